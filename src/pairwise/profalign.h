// Pairwise alignment under a pair HMM (TKF indel model + substitution model):
// position maps, forward tables, greedy and sampled traceback, window and
// linear-space re-alignment, branch-length estimation and line minimisers.
#ifndef QUILLMAR_PAIRWISE_PROFALIGN_H
#define QUILLMAR_PAIRWISE_PROFALIGN_H

#include <cfloat>
#include <cmath>
#include <vector>

#include "models/indel.h"
#include "models/substmod.h"
#include "sequence/data.h"
#include "sequence/util.h"
#include "tree/treespec.h"

// Walk along a pair of position maps, the first sequence's map first; m and n
// are the sizes of the maps. pos holds (first index, second index).
int get_zust(const std::vector<int>& mapA, const std::vector<int>& mapB, int i, int j);
int iter_zust(const std::vector<int>& mapA, const std::vector<int>& mapB, std::vector<int>& pos);

// Turns non-negative weights into probabilities; tempered by x^n when n > 0.
void distrib_pow(std::vector<double>& w, double x, unsigned long n);

// Emission terms of one substitution model at one time, computed on first use.
struct emission_cache {
    const substmodel* sm = nullptr;
    int L = 0;
    std::vector<double> lf;
    std::vector<double> lp;
    std::vector<unsigned char> havef;
    std::vector<unsigned char> havep;

    void reset(const substmodel* s);
    double f(int c) {
        if (c < 0 || c >= L) return sm->logfreqofstate(c);
        if (!havef[c]) {
            lf[c] = sm->logfreqofstate(c);
            havef[c] = 1;
        }
        return lf[c];
    }
    double p(int a, int b) {
        if (a < 0 || a >= L || b < 0 || b >= L) return sm->logProb_ij(a, b);
        const int k = a * L + b;
        if (!havep[k]) {
            lp[k] = sm->logProb_ij(a, b);
            havep[k] = 1;
        }
        return lp[k];
    }
};

class alignment {
public:
    const bioseq* seq1;
    const bioseq* seq2;
    std::vector<int> map1;
    std::vector<int> map2;
    substmodel* smodel;
    indel* imodel;
    double coolval;
    unsigned long steps;
    std::vector<std::vector<double>> transcounts;
    std::vector<std::vector<double>> substcounts;

    // Scratch reused by the fills of this object (not copied).
    mutable std::vector<double> tabscratch;
    mutable bool tabbusy = false;
    mutable std::vector<double> rowscratch;
    mutable emission_cache emis;

    alignment();
    alignment(const bioseq& a, const bioseq& b, double t, const substmodel& sm, const indel& im,
              double x, unsigned long y);
    alignment(const bioseq& a, const bioseq& b, double t, const substmodel& sm, const indel& im);
    alignment(const baum& x, const baum& y, const substmodel& sm, const indel& im, double v,
              unsigned long w);
    alignment(const alignment& o);
    ~alignment();

    // The sequences are kept by pointer: temporaries are refused.
    alignment(bioseq&&, const bioseq&, double, const substmodel&, const indel&, double,
              unsigned long) = delete;
    alignment(const bioseq&, bioseq&&, double, const substmodel&, const indel&, double,
              unsigned long) = delete;
    alignment(bioseq&&, bioseq&&, double, const substmodel&, const indel&, double,
              unsigned long) = delete;
    alignment(bioseq&&, const bioseq&, double, const substmodel&, const indel&) = delete;
    alignment(const bioseq&, bioseq&&, double, const substmodel&, const indel&) = delete;
    alignment(bioseq&&, bioseq&&, double, const substmodel&, const indel&) = delete;
    alignment& operator=(const alignment&) = delete;

    zustand get_zust(int i, int j) const;
    zustand iter_zust(int* i, int* j) const;
    void zurueck(baum* x, baum* y);

    // Re-alignment.
    void sample();
    void teilsample(int a, int b, int c, int d);
    void teilsample(int a, int b);
    void teilsample(int w);
    void hirschberg(bool cnt);
    void hirschberg(int i0, int j0, int i1, int j1, std::vector<zustand>& path, zustand s0,
                    zustand s1);

    // Branch-length estimation.
    double EMloglikl(double t, double s);
    void sample_paths();
    void optimal_time(double& t);
    void optimal_time(double& t, double& s);
    double opt_for_giv();

    // Line minimisers of EMloglikl; which = false minimises over the time,
    // true over the indel factor, other is the fixed coordinate.
    double brent(double ax, double bx, double cx, double tol, double* fmin, double* curv, double fa,
                 double fb, double fc, double other, bool which);
    void onedimenmin(double lo, double x0, double hi, double& xmin, double tol, double* fmin,
                     double* curv, double other, bool which);
    void twodimenmin(double tol, int free1, double lo1, double& x1, double hi1, double* se1,
                     int free2, double lo2, double& x2, double hi2, double* se2);

    // Sizes both count tables and sets them to 0, then counts the current path.
    void count_path();

private:
    void check_constructed() const;
    void check_written(const baum* x, const baum* y) const;
    void write_path(const std::vector<zustand>& path, int p, int q);
    void count_pair(int ca, int cb);
    void size_counts();
    void forced_counts();
};

// Forward values of every column inside a window between two fixed columns.
class align_graph {
public:
    int i0, j0, i1, j1;
    const alignment* al;
    zustand s0 = NOSTATE, s1 = NOSTATE;
    int r = -1, s = -1;   // last residues of A and B inside the window
    int W = 0;            // cells per row (j0 .. s)
    double* tab = nullptr;  // rows i0 .. r, each W cells of (M, I, D)
    double T[4][5];

    align_graph(const alignment& al, int i0, int j0, int i1, int j1);
    align_graph(const alignment& al, int i0, int j0, int i1, int j1, zustand s0, zustand s1);
    ~align_graph();
    align_graph(const align_graph&) = delete;
    align_graph& operator=(const align_graph&) = delete;

    void beschrifte();
    void beschrifte(zustand s0, zustand s1);

    zustand maxwk_schritt(zustand s, int a, int b, int ca, int cb) const;
    zustand zufallsschritt(zustand s, int a, int b, int ca, int cb, double x,
                           unsigned long n) const;

    // Forward values; only the cells of the window's ranges are computed,
    // the others hold DBL_MAX.
    double mat(int i, int j) const { return cell(i, j)[0]; }
    double ins(int i, int j) const { return cell(i, j)[1]; }
    double del(int i, int j) const { return cell(i, j)[2]; }

private:
    std::vector<double> own;
    bool uses_scratch = false;
    const double* cell(int i, int j) const { return tab + (static_cast<long>(i - i0) * W + (j - j0)) * 3; }
    void candidates(zustand st, int a, int b, int ca, int cb, double& cM, double& cI,
                    double& cD) const;
};

// Brent's minimiser on a bracketing triple (a, b, c) with known values.
template <class F>
double brent_core(F&& f, double ax, double bx, double cx, double tol, double* fmin, double* curv,
                  double fa, double fb, double fc) {
    const double CGOLD = 0.381966;
    const double ZEPS = 1e-10;
    auto sgn = [](double a, double b) { return single_precision(b) >= 0.0 ? std::fabs(a) : -std::fabs(a); };
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
        w = ax; fw = fa; v = cx; fv = fc;
    } else {
        w = cx; fw = fc; v = ax; fv = fa;
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
            if (!(std::isfinite(p) && std::isfinite(q)) || std::fabs(p) >= std::fabs(0.5 * q * etemp) ||
                p <= q * (a - x) || p >= q * (b - x)) {
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
            if (u >= x) a = x; else b = x;
            v = w; fv = fw;
            w = x; fw = fx;
            x = u; fx = fu;
        } else {
            if (u < x) a = u; else b = u;
            if (fu <= fw || w == x) {
                v = w; fv = fw;
                w = u; fw = fu;
            } else if (fu <= fv || v == x || v == w) {
                v = u; fv = fu;
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

// Alternating one-dimensional minimisations of f(x1, x2) over the free
// coordinates; returns the number of passes made.
template <class F2>
int twodimenmin_core(F2&& f, double tol, int free1, double lo1, double& x1, double hi1, double* se1,
                     int free2, double lo2, double& x2, double hi2, double* se2) {
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
        if (free1) {
            const double other = x2;
            one([&f, other](double x) { return f(x, other); }, lo1, x1, hi1, se1, changed);
        }
        if (free2) {
            const double other = x1;
            one([&f, other](double x) { return f(other, x); }, lo2, x2, hi2, se2, changed);
        }
        ++passes;
        if (nfree == 1 || passes >= 10 || !changed) break;
    }
    return passes;
}

#endif
