#include "sequence/logspace.h"

#include "support/fatal.h"

#include <gtest/gtest.h>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>

TEST(Addlog, TwoTerms) {
    EXPECT_DOUBLE_EQ(addlog(0.0, 0.0), std::log(2.0));
    EXPECT_DOUBLE_EQ(addlog(-3.5, -3.5), -3.5 + std::log(2.0));
    EXPECT_EQ(addlog(-1000.0, 0.0), 0.0);
    EXPECT_EQ(addlog(-DBL_MAX, 0.0), 0.0);
    EXPECT_EQ(addlog(-DBL_MAX, -DBL_MAX), -DBL_MAX);
    EXPECT_EQ(addlog(-1.25, -7.5), addlog(-7.5, -1.25));
}

TEST(Addlog, InfinitiesGiveTheOtherTerm) {
    const double inf = HUGE_VAL;
    EXPECT_EQ(addlog(-inf, -inf), -inf);
    EXPECT_EQ(addlog(-inf, -2.0), -2.0);
    EXPECT_EQ(addlog(-2.0, -inf), -2.0);
    std::vector<double> v{-inf, -inf, 0.0};
    EXPECT_EQ(addlog(v), 0.0);
}

TEST(Addlog, VectorFoldsLeftToRight) {
    std::vector<double> one{-4.25};
    EXPECT_EQ(addlog(one), -4.25);
    std::vector<double> three{-1.0, -30.0, -0.3};
    EXPECT_EQ(addlog(three), addlog(addlog(-1.0, -30.0), -0.3));
    EXPECT_EQ(addlog(-1.0, -30.0, -0.3), addlog(three));
    std::vector<double> four{0.1, -2.0, -0.7, -9.0};
    EXPECT_EQ(addlog(four), addlog(addlog(addlog(0.1, -2.0), -0.7), -9.0));
}

TEST(Addlog, SumsTakenTogetherEqualSumsTakenAlone) {
    // Lanes of every kind side by side, compared bit for bit.
    const double inf = HUGE_VAL, nan = std::nan("");
    const double a[] = {0.0, -3.5, -1000.0, -inf,   -2.0,  -inf, -DBL_MAX, nan,
                        1.0, -0.0, 0.0,     1e-300, -1.25, -7.5, 700.0,    -6.5};
    const double b[] = {0.0, -3.5, 0.0,  -2.0,    -inf, -inf,  0.0,   1.0,
                        nan, 0.0,  -0.0, -1e-300, -7.5, -1.25, 699.0, -0.1};
    constexpr int N = sizeof(a) / sizeof(a[0]);
    double together[N];
    addlog_each<N>(a, b, together);
    for (int k = 0; k < N; ++k) {
        const double alone = addlog(a[k], b[k]);
        EXPECT_EQ(std::memcmp(&together[k], &alone, sizeof alone), 0) << k;
    }
    EXPECT_EQ(together[0], std::log(2.0));
    EXPECT_EQ(together[3], -2.0);
    EXPECT_EQ(together[5], -inf);
    EXPECT_TRUE(std::isnan(together[7]));
}

TEST(Addlog, EmptyVectorIsFatal) {
    EXPECT_TRUE(ends_fatally(
        [] {
            std::vector<double> none;
            addlog(none);
        },
        "Not enough arguments to addlog\n"));
}

TEST(Addlog, RowsGiveTheFoldOfEachRowBitForBit) {
    // Entries from a pool with infinities, signed zeros, ties and spreads
    // far beyond the precision of a double.
    const double inf = HUGE_VAL;
    const double pool[] = {-inf,  -inf,   0.0,    -0.0,   -1.5,  -1.5,     -1.5,  -2.75, 3.0,
                           -40.0, -745.0, -1e300, 1e-300, 700.0, -DBL_MAX, -36.7, -0.1,  -9.0};
    std::mt19937 g(17);
    std::uniform_int_distribution<size_t> pick(0, sizeof pool / sizeof pool[0] - 1);
    std::normal_distribution<double> near(-6.0, 4.0);
    const int widths[] = {1, 2, 3, 20};
    for (int n : widths) {
        for (int rows = 0; rows <= 9; ++rows) {
            for (int trial = 0; trial < 20; ++trial) {
                std::vector<double> t(static_cast<size_t>(rows) * n);
                for (double& x : t) x = g() % 3 == 0 ? near(g) : pool[pick(g)];
                if (trial % 4 == 0)  // one row a copy of another
                    for (int r = 1; r < rows; ++r)
                        std::copy(t.begin(), t.begin() + n, t.begin() + static_cast<long>(r) * n);
                std::vector<double> sums(static_cast<size_t>(rows) + 1, 42.0);
                addlog_rows(t.data(), rows, n, sums.data());
                for (int r = 0; r < rows; ++r) {
                    const double want = addlog(t.data() + static_cast<size_t>(r) * n, n);
                    EXPECT_EQ(std::memcmp(&sums[r], &want, sizeof want), 0)
                        << "n " << n << " rows " << rows << " trial " << trial << " row " << r
                        << ": " << sums[r] << " vs " << want;
                }
                EXPECT_EQ(sums[rows], 42.0) << "wrote past the last row";
            }
        }
    }
}

TEST(Addlog, RowsOfNoEntriesAreFatal) {
    EXPECT_TRUE(ends_fatally(
        [] {
            double t = 0.0, s = 0.0;
            addlog_rows(&t, 1, 0, &s);
        },
        "Not enough arguments to addlog\n"));
}

TEST(Maximum, Forms) {
    EXPECT_EQ(maximum(3, 3), 3);
    EXPECT_EQ(maximum(-1, 2), 2);
    EXPECT_EQ(maximum(2.5, -1.0), 2.5);
    EXPECT_EQ(maximum(1.0, 4.0, 2.0), 4.0);
}
