#include "sequence/logspace.h"

#include "sequence/fatal.h"

double addlog(const double* terms, int n) {
    if (n < 1) fatal("Not enough arguments to addlog\n");
    double sum = terms[0];
    for (int i = 1; i < n; ++i) sum = addlog(sum, terms[i]);
    return sum;
}

void addlog_rows(const double* terms, int rows, int n, double* sums) {
    if (n < 1) fatal("Not enough arguments to addlog\n");
    const size_t w = static_cast<size_t>(n);
    int r = 0;
    for (; r + 4 <= rows; r += 4) {
        const double* t0 = terms + static_cast<size_t>(r) * w;
        const double* t1 = t0 + w;
        const double* t2 = t1 + w;
        const double* t3 = t2 + w;
        double s0 = t0[0], s1 = t1[0], s2 = t2[0], s3 = t3[0];
        for (int i = 1; i < n; ++i) {
            s0 = addlog(s0, t0[i]);
            s1 = addlog(s1, t1[i]);
            s2 = addlog(s2, t2[i]);
            s3 = addlog(s3, t3[i]);
        }
        sums[r] = s0;
        sums[r + 1] = s1;
        sums[r + 2] = s2;
        sums[r + 3] = s3;
    }
    for (; r < rows; ++r) sums[r] = addlog(terms + static_cast<size_t>(r) * w, n);
}

double addlog(const std::vector<double>& terms) {
    return addlog(terms.data(), static_cast<int>(terms.size()));
}

int maximum(int a, int b) { return a > b ? a : b; }
double maximum(double a, double b) { return a > b ? a : b; }
double maximum(double a, double b, double c) { return maximum(maximum(a, b), c); }
