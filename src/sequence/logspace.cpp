#include "sequence/logspace.h"

#include "sequence/util.h"

double addlog(const double* terms, int n) {
    if (n < 1) fatal("Not enough arguments to addlog\n");
    double sum = terms[0];
    for (int i = 1; i < n; ++i) sum = addlog(sum, terms[i]);
    return sum;
}

double addlog(const std::vector<double>& terms) {
    return addlog(terms.data(), static_cast<int>(terms.size()));
}

int maximum(int a, int b) { return a > b ? a : b; }
double maximum(double a, double b) { return a > b ? a : b; }
double maximum(double a, double b, double c) { return maximum(maximum(a, b), c); }
