// single_precision: a value rounded to single precision, for the comparisons
// that are made in single precision.
#ifndef QUILLMAR_SEQUENCE_PRECISION_H
#define QUILLMAR_SEQUENCE_PRECISION_H

#include <cfloat>
#include <cmath>

// The value rounded to single precision, for the range tests that compare in
// single precision. NaN stays NaN; a value beyond the float range is returned
// unchanged (it compares like the infinity it would round to against any
// bound within the range).
inline double single_precision(double x) {
    if (std::isnan(x) || std::fabs(x) > static_cast<double>(FLT_MAX)) return x;
    return static_cast<double>(static_cast<float>(x));
}

#endif
