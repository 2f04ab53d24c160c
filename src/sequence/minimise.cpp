#include "sequence/minimise.h"

double brent(double ax, double bx, double cx, double (*f)(double), double tol, double* fmin,
             double* curv, double fa, double fb, double fc) {
    return brent_core(f, ax, bx, cx, tol, fmin, curv, fa, fb, fc);
}

double onedimenmin(double lo, double x0, double hi, double (*f)(double), double tol, double* fmin,
                   double* curv) {
    return onedimenmin_core(f, lo, x0, hi, tol, fmin, curv);
}

void twodimenmin(double tol, int free1, double lo1, double* x1, double hi1, double (*f1)(double),
                 double* se1, int free2, double lo2, double* x2, double hi2, double (*f2)(double),
                 double* se2) {
    twodimenmin_pair(f1, f2, tol, free1, lo1, *x1, hi1, se1, free2, lo2, *x2, hi2, se2);
}
