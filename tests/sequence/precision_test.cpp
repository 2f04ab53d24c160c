// rounding to single precision.
#include "sequence/precision.h"

#include <gtest/gtest.h>
#include <cfloat>
#include <cmath>
#include <vector>

TEST(SinglePrecision, RoundsWithinTheFloatRange) {
    struct Case {
        double x, want;
    };
    const std::vector<Case> cases = {
        {0.1, 0x1.99999ap-4},
        {-0.1, -0x1.99999ap-4},
        {0.5 - 0x1p-30, 0.5},  // a uniform just below 0.5 compares as 0.5
        {0.5 - 0x1p-25, 0.5 - 0x1p-25},
        {0.5 - 0x1p-26, 0.5},  // halfway: to even
        {0.5 - 0x1p-26 - 0x1p-40, 0.5 - 0x1p-25},
        {1.0 + 0x1p-24, 1.0},
        {1.0 + 0x1p-24 + 0x1p-40, 1.0 + 0x1p-23},
        {static_cast<double>(FLT_MAX), static_cast<double>(FLT_MAX)},
        {1e-46, 0.0},
        {1e-45, 0x1p-149},
        {0.0, 0.0},
    };
    for (const auto& c : cases) EXPECT_EQ(single_precision(c.x), c.want) << c.x;
}

TEST(SinglePrecision, NanAndValuesBeyondTheRangeStay) {
    EXPECT_TRUE(std::isnan(single_precision(std::nan(""))));
    for (double x :
         {static_cast<double>(FLT_MAX) * (1.0 + 0x1p-30), 1e39, -1e300, HUGE_VAL, -HUGE_VAL})
        EXPECT_EQ(single_precision(x), x) << x;
}
