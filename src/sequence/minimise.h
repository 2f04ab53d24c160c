// Line minimisers over any callable objective (a NaN value counts as +inf):
// brent_core, onedimenmin_core, twodimenmin_pair and twodimenmin_core. The
// free-function forms brent, onedimenmin and twodimenmin are in util.h.
#ifndef QUILLMAR_SEQUENCE_MINIMISE_H
#define QUILLMAR_SEQUENCE_MINIMISE_H

#include <cmath>

#include "sequence/precision.h"

// Brent's minimiser on a bracketing triple (a, b, c) with known values.
template <class F>
double brent_core(F&& f, double ax, double bx, double cx, double tol, double* fmin, double* curv,
                  double fa, double fb, double fc) {
    const double CGOLD = 0.381966;
    const double ZEPS = 1e-10;
    auto sgn = [](double a, double b) {
        return single_precision(b) >= 0.0 ? std::fabs(a) : -std::fabs(a);
    };
    auto eval = [&f](double u) {
        double y = f(u);
        return std::isnan(y) ? HUGE_VAL : y;
    };
    if (std::isnan(fa)) fa = HUGE_VAL;
    if (std::isnan(fb)) fb = HUGE_VAL;
    if (std::isnan(fc)) fc = HUGE_VAL;
    double a = ax < cx ? ax : cx;
    double b = ax < cx ? cx : ax;
    double x = bx, fx = fb;
    double w, fw, v, fv;
    if (fa < fc) {
        w = ax;
        fw = fa;
        v = cx;
        fv = fc;
    } else {
        w = cx;
        fw = fc;
        v = ax;
        fv = fa;
    }
    double d = 0.0, e = 0.0;
    for (int iter = 0; iter < 100; ++iter) {
        const double xm = 0.5 * (a + b);
        const double tol1 = tol * std::fabs(x) + ZEPS;
        const double tol2 = 2.0 * tol1;
        if (std::fabs(x - xm) <= tol2 - 0.5 * (b - a)) break;
        bool golden = true;
        if (std::fabs(e) > tol1) {
            const double r = (x - w) * (fx - fv);
            double q = (x - v) * (fx - fw);
            double p = (x - v) * q - (x - w) * r;
            q = 2.0 * (q - r);
            if (single_precision(q) >= 0.0) p = -p;
            q = std::fabs(q);
            const double etemp = e;
            e = d;
            if (!(std::isfinite(p) && std::isfinite(q)) ||
                std::fabs(p) >= std::fabs(0.5 * q * etemp) || p <= q * (a - x) ||
                p >= q * (b - x)) {
                golden = true;
            } else {
                golden = false;
                d = p / q;
                const double u = x + d;
                if (u - a < tol2 || b - u < tol2) d = sgn(tol1, xm - x);
            }
        }
        if (golden) {
            e = (x >= xm) ? a - x : b - x;
            d = CGOLD * e;
        }
        const double u = (std::fabs(d) >= tol1) ? x + d : x + sgn(tol1, d);
        const double fu = eval(u);
        if (fu <= fx) {
            if (u >= x) a = x;
            else b = x;
            v = w;
            fv = fw;
            w = x;
            fw = fx;
            x = u;
            fx = fu;
        } else {
            if (u < x) a = u;
            else b = u;
            if (fu <= fw || w == x) {
                v = w;
                fv = fw;
                w = u;
                fw = fu;
            } else if (fu <= fv || v == x || v == w) {
                v = u;
                fv = fu;
            }
        }
    }
    *fmin = fx;
    *curv = 2.0 * (fw * (v - x) + fx * (w - v) + fv * (x - w)) /
            (w * w * (v - x) + x * x * (w - v) + v * v * (x - w));
    return x;
}

// Minimises f over [lo, hi] from x0 (pulled into the range first).
template <class F>
double onedimenmin_core(F&& f, double lo, double x0, double hi, double tol, double* fmin,
                        double* curv) {
    auto g = [&f](double u) {
        const double y = f(u);
        return std::isnan(y) ? HUGE_VAL : y;
    };
    if (!(x0 >= lo)) x0 = lo;
    if (!(x0 <= hi)) x0 = hi;
    const double h = x0 * tol * 50.0;
    double ax = x0 - h;
    if (ax < lo) ax = lo;
    double cx = x0 + h;
    if (cx > hi) cx = hi;
    double fa = g(ax);
    const double fx = g(x0);
    double fc = g(cx);
    double x;
    if (fa < fx || fc < fx) {
        if (ax != lo) fa = g(lo);
        if (cx != hi) fc = g(hi);
        x = brent_core(g, lo, x0, hi, tol, fmin, curv, fa, fx, fc);
    } else {
        x = brent_core(g, ax, x0, cx, tol, fmin, curv, fa, fx, fc);
    }
    if (!(x >= lo)) x = lo;
    if (!(x <= hi)) x = hi;
    return x;
}

// Alternating one-dimensional minimisations over the free coordinates: f1
// is the objective over x1 (reading x2 where the caller keeps it), f2 the one
// over x2; returns the number of passes made.
template <class F1, class F2>
int twodimenmin_pair(F1&& f1, F2&& f2, double tol, int free1, double lo1, double& x1, double hi1,
                     double* se1, int free2, double lo2, double& x2, double hi2, double* se2) {
    const int nfree = (free1 != 0) + (free2 != 0);
    int passes = 0;
    auto one = [tol](auto&& g, double lo, double& x, double hi, double* se, bool& changed) {
        if (x <= lo) x = lo + 0.2 * (hi - lo);
        if (x >= hi) x = hi - 0.2 * (hi - lo);
        const double start = x;
        double fmin = 0.0, curv = 0.0;
        x = onedimenmin_core(g, lo, x, hi, tol, &fmin, &curv);
        if (x < lo) x = lo;
        if (x > hi) x = hi;
        if (std::fabs(x - start) > 3.3 * tol) changed = true;
        const double c = std::fabs(curv);
        if (se) *se = (c > 1.0 / (hi * hi)) ? std::sqrt(1.0 / c) : hi;
    };
    for (;;) {
        bool changed = false;
        if (free1) one(f1, lo1, x1, hi1, se1, changed);
        if (free2) one(f2, lo2, x2, hi2, se2, changed);
        ++passes;
        if (nfree == 1 || passes >= 10 || !changed) break;
    }
    return passes;
}

// The same for one objective f(x1, x2) of both coordinates.
template <class F>
int twodimenmin_core(F&& f, double tol, int free1, double lo1, double& x1, double hi1, double* se1,
                     int free2, double lo2, double& x2, double hi2, double* se2) {
    return twodimenmin_pair([&f, &x2](double x) { return f(x, x2); },
                            [&f, &x1](double x) { return f(x1, x); }, tol, free1, lo1, x1, hi1, se1,
                            free2, lo2, x2, hi2, se2);
}

#endif
