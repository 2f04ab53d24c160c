// Sums of probabilities held as natural logarithms.
#ifndef QUILLMAR_SEQUENCE_LOGSPACE_H
#define QUILLMAR_SEQUENCE_LOGSPACE_H

#include <cmath>
#include <vector>

// ln(e^a + e^b). Two negative infinities give negative infinity.
inline double addlog(double a, double b) {
    if (a == -HUGE_VAL) return b;
    if (b == -HUGE_VAL) return a;
    if (a > b) return a + std::log(std::exp(b - a) + 1.0);
    return b + std::log(std::exp(a - b) + 1.0);
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
