// the free-function forms of the line minimisers.
#include "sequence/minimise.h"

#include <gtest/gtest.h>
#include <cmath>
#include <vector>

namespace {

std::vector<double> g_points;

double quadratic(double x) {
    g_points.push_back(x);
    return (x - 3.0) * (x - 3.0) + 1.0;
}

double g_x1 = 0.0, g_x2 = 0.0;
double joint(double x1, double x2) {
    return (x1 - 2.0) * (x1 - 2.0) + (x2 - 5.0) * (x2 - 5.0) + 0.5 * (x1 - 2.0) * (x2 - 5.0);
}
double over_x1(double x) {
    g_points.push_back(x);
    return joint(x, g_x2);
}
double over_x2(double x) { return joint(g_x1, x); }  // not called: x2 is held

}  // namespace

TEST(FreeMinimiser, BrentFindsTheMinimum) {
    g_points.clear();
    double fmin = 0, curv = 0;
    // (The curvature of the last parabola is accurate only while its three
    // points lie well apart compared with the rounding of f: tolerance 1e-4.)
    const double x = brent(0.0, 1.0, 10.0, quadratic, 1e-4, &fmin, &curv, 10.0, 5.0, 50.0);
    EXPECT_NEAR(x, 3.0, 1e-3);
    EXPECT_NEAR(fmin, 1.0, 1e-6);
    EXPECT_NEAR(curv, 2.0, 1e-4);
    const double x8 = brent(0.0, 1.0, 10.0, quadratic, 1e-8, &fmin, &curv, 10.0, 5.0, 50.0);
    EXPECT_NEAR(x8, 3.0, 1e-6);
    EXPECT_NEAR(fmin, 1.0, 1e-12);
    EXPECT_LE(g_points.size(), 100u);
    // The known values are not evaluated again.
    for (double p : g_points) {
        EXPECT_NE(p, 0.0);
        EXPECT_NE(p, 1.0);
        EXPECT_NE(p, 10.0);
    }
}

TEST(FreeMinimiser, OnedimenminBracket) {
    g_points.clear();
    double fmin = 0, curv = 0;
    const double x = onedimenmin(1e-6, 3.0, 1000.0, quadratic, 1e-6, &fmin, &curv);
    EXPECT_NEAR(x, 3.0, 1e-5);
    ASSERT_GE(g_points.size(), 3u);
    const double h = 3.0 * 1e-6 * 50.0;
    EXPECT_EQ(g_points[0], 3.0 - h);
    EXPECT_EQ(g_points[1], 3.0);
    EXPECT_EQ(g_points[2], 3.0 + h);

    // From 10 the lower end of [9.9995, 10.0005] is lower: lo and hi follow.
    g_points.clear();
    const double y = onedimenmin(1e-6, 10.0, 1000.0, quadratic, 1e-6, &fmin, &curv);
    EXPECT_NEAR(y, 3.0, 1e-4);
    ASSERT_GE(g_points.size(), 5u);
    EXPECT_DOUBLE_EQ(g_points[0], 9.9995);
    EXPECT_EQ(g_points[1], 10.0);
    EXPECT_DOUBLE_EQ(g_points[2], 10.0005);
    EXPECT_EQ(g_points[3], 1e-6);
    EXPECT_EQ(g_points[4], 1000.0);

    // At x0 = lo the lower bracket end is lo itself and is evaluated once.
    g_points.clear();
    onedimenmin(1e-6, 1e-6, 1000.0, quadratic, 1e-6, &fmin, &curv);
    ASSERT_GE(g_points.size(), 4u);
    EXPECT_EQ(g_points[0], 1e-6);
    EXPECT_EQ(g_points[1], 1e-6);
    EXPECT_EQ(g_points[3], 1000.0);  // lo is not evaluated again
}

TEST(FreeMinimiser, Twodimenmin) {
    // Only the first coordinate free: one pass.
    g_points.clear();
    g_x2 = 5.0;
    double x1 = 1e-6, x2 = 5.0, se1 = 0, se2 = -1;
    twodimenmin(1e-6, 1, 1e-6, &x1, 1000.0, over_x1, &se1, 0, 1e-6, &x2, 1000.0, over_x2, &se2);
    ASSERT_GE(g_points.size(), 2u);
    EXPECT_EQ(g_points[1], 1e-6 + 0.2 * (1000.0 - 1e-6));  // start moved to 200.0000008
    EXPECT_NEAR(x1, 2.0, 1e-4);
    EXPECT_EQ(x2, 5.0);
    EXPECT_EQ(se2, -1);
    EXPECT_NEAR(se1, std::sqrt(1.0 / 2.0), 1e-3);

    // Both free: alternate until nothing moves; x1, x2 are read by the objectives.
    struct Bind {
        static double f1(double x) {
            g_x1 = x;
            return joint(x, g_x2);
        }
        static double f2(double x) {
            g_x2 = x;
            return joint(g_x1, x);
        }
    };
    g_x1 = 1000.0;
    g_x2 = 1.0;
    x1 = 1000.0;
    x2 = 1.0;
    twodimenmin(1e-6, 1, 1e-6, &x1, 1000.0, Bind::f1, &se1, 1, 1e-6, &x2, 1000.0, Bind::f2, &se2);
    EXPECT_NEAR(x1, 2.0, 1e-3);
    EXPECT_NEAR(x2, 5.0, 1e-3);
}
