// Sums of probabilities held as natural logarithms.
#ifndef QUILLMAR_SEQUENCE_LOGSPACE_H
#define QUILLMAR_SEQUENCE_LOGSPACE_H

#include <cmath>
#include <vector>

// r[k] := ln(e^a[k] + e^b[k]) for k < N. Two negative infinities give
// negative infinity. The library calls of the N sums are interleaved, so
// that independent sums overlap; each sum is computed as for N = 1.
template <int N>
inline void addlog_each(const double* a, const double* b, double* r) {
    bool done[N];
    double hi[N], d[N], e[N];
    for (int k = 0; k < N; ++k) {
        done[k] = true;
        if (a[k] == -HUGE_VAL) {
            r[k] = b[k];
        } else if (b[k] == -HUGE_VAL) {
            r[k] = a[k];
        } else {
            done[k] = false;
            hi[k] = a[k] > b[k] ? a[k] : b[k];
            d[k] = a[k] > b[k] ? b[k] - a[k] : a[k] - b[k];
        }
    }
    for (int k = 0; k < N; ++k)
        if (!done[k]) e[k] = std::exp(d[k]);
    for (int k = 0; k < N; ++k)
        if (!done[k]) r[k] = hi[k] + std::log(e[k] + 1.0);
}

// ln(e^a + e^b).
inline double addlog(double a, double b) {
    double r;
    addlog_each<1>(&a, &b, &r);
    return r;
}

inline double addlog(double a, double b, double c) { return addlog(addlog(a, b), c); }

// Left fold over the entries; an empty vector is fatal.
double addlog(const std::vector<double>& terms);
// Left fold over n entries (n >= 1).
double addlog(const double* terms, int n);
// sums[r] := addlog(terms + r * n, n) for r < rows, bit for bit; the rows
// are folded four at a time, their chains interleaved.
void addlog_rows(const double* terms, int rows, int n, double* sums);

int maximum(int a, int b);
double maximum(double a, double b);
double maximum(double a, double b, double c);

#endif
