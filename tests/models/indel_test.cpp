// The TKF model object: construction checks, parameters, branch quantities,
// the length law and the pair-table accessors.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <string>
#include <vector>

#include "models/indel.h"
#include "support/fatal.h"

namespace {

const std::string count_msg =
    "The number of parameters needed by the indel model\n"
    "and the length of the parameter vector that was passed\n"
    "to its constructor are not equal.\n";
const std::string tkf1_rate_msg =
    "In the TKF1 model the insertion rate has to be positive\n"
    "and smaller than the deletion rate.\n";
const std::string tkf2_rate_msg =
    "In the TKF2 model the insertion rate has to be positive\n"
    "and smaller than the deletion rate.\n";
const std::string frag_msg =
    "The third parameter of the TKF2 model should be positive\n"
    "and smaller than 1.\n";
const std::string range_msg =
    "At least one of the states that was passed\n"
    "to retprob is out of range.\n";

void expect_ok(const std::function<void()>& fn) {
    const ChildResult r = run_in_child(fn, 30);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

const double inf = HUGE_VAL;
const double nan_ = std::nan("");

struct ctor_case {
    std::vector<double> p;
    idarch model;
    std::string msg;  // empty: accepted
};

}  // namespace

TEST(IndelModel, ConstructorChecksInOrder) {
    const double tiny_reject = std::ldexp(1.0, -150);  // rounds to 0 in float
    const double tiny_accept = std::ldexp(1.0, -149);  // the smallest float
    const std::vector<ctor_case> cases = {
        {{0.01, 0.02}, FID, "Unknown indel model\n"},
        {{0.01, 0.02, 0.5, 1.0}, FID, "Unknown indel model\n"},
        {{0.01, 0.02, 0.5}, TKF1, count_msg},
        {{0.03, 0.02, 0.5}, TKF1, count_msg},  // count before rates
        {{0.03, 0.02}, TKF2, count_msg},
        {{0.02, 0.02}, TKF1, tkf1_rate_msg},
        {{0.03, 0.02}, TKF1, tkf1_rate_msg},
        {{0.0, 0.02}, TKF1, tkf1_rate_msg},
        {{-0.01, 0.02}, TKF1, tkf1_rate_msg},
        {{tiny_reject, 1.0}, TKF1, tkf1_rate_msg},
        {{tiny_accept, 1.0}, TKF1, ""},
        {{0.02 * (1 - 1e-15), 0.02}, TKF1, ""},
        {{0.01, inf}, TKF1, tkf1_rate_msg},
        {{0.01, nan_}, TKF1, tkf1_rate_msg},
        {{nan_, 0.02}, TKF1, tkf1_rate_msg},
        {{0.02, 0.02, 0.5}, TKF2, tkf2_rate_msg},
        {{0.01, nan_, 0.5}, TKF2, tkf2_rate_msg},
        {{0.03, 0.02, 1.5}, TKF2, tkf2_rate_msg},  // rates before r
        {{0.01, 0.02, 1.0}, TKF2, frag_msg},
        {{0.01, 0.02, 1.0 - 1e-9}, TKF2, frag_msg},
        {{0.01, 0.02, 1.0 - std::ldexp(1.0, -25)}, TKF2, frag_msg},
        {{0.01, 0.02, 1.0 - std::ldexp(1.0, -24)}, TKF2, ""},
        {{0.01, 0.02, 0.0}, TKF2, frag_msg},
        {{0.01, 0.02, tiny_reject}, TKF2, frag_msg},
        {{0.01, 0.02, tiny_accept}, TKF2, ""},
        {{0.01, 0.02, nan_}, TKF2, frag_msg},
        {{0.01, 0.02, inf}, TKF2, frag_msg},
        {{0.01, 0.02, 0.5}, TKF2, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "params " << c.p.size() << " first " << c.p[0] << " model " << c.model);
        auto fn = [&] { indel m(c.p, c.model); };
        if (c.msg.empty()) expect_ok(fn);
        else EXPECT_TRUE(ends_fatally(fn, c.msg));
    }
    EXPECT_FATAL(indel m(0.02, 0.01), tkf1_rate_msg);
    EXPECT_FATAL(indel m(0.01, inf), tkf1_rate_msg);
}

TEST(IndelModel, DefaultModelAndLengthLaw) {
    indel m;
    std::vector<double> v{9, 9, 9, 9};
    EXPECT_EQ(m.returnparams(v), 0);
    EXPECT_EQ(v, (std::vector<double>{0.001, 0.0011}));
    EXPECT_EQ(m.tP, 1.0);
    for (double t : m.tH) EXPECT_EQ(t, 1.0);
    EXPECT_NEAR(m.logprob_of_seqlen(0), std::log(1.0 / 11), 1e-14);
    for (unsigned n : {1u, 2u, 50u})
        EXPECT_NEAR(m.logprob_of_seqlen(n) - m.logprob_of_seqlen(n - 1), std::log(10.0 / 11),
                    1e-13);

    indel two({0.01, 0.011, 0.5}, TKF2);
    EXPECT_EQ(two.returnparams(v), 1);
    EXPECT_EQ(v, (std::vector<double>{0.01, 0.011, 0.5}));
    // Values computed with 40-digit arithmetic.
    indel one({0.01, 0.011}, TKF1);
    const double ref[2][3] = {{-2.3978952728, -2.4932054526, -3.35099707084},
                              {-2.3978952728, -3.18635263316, -3.60503277388}};
    const unsigned ns[3] = {0, 1, 10};
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(one.logprob_of_seqlen(ns[i]), ref[0][i], 1e-10);
        EXPECT_NEAR(two.logprob_of_seqlen(ns[i]), ref[1][i], 1e-10);
    }
}

TEST(IndelModel, LengthLawSumsToOneWithItsMean) {
    const double kappa = 0.05 / 0.1;
    indel one({0.05, 0.1}, TKF1);
    indel two({0.05, 0.1, 0.7}, TKF2);
    double s1 = 0, m1 = 0, s2 = 0, m2 = 0;
    for (unsigned n = 0; n < 2000; ++n) {
        const double p1 = std::exp(one.logprob_of_seqlen(n));
        const double p2 = std::exp(two.logprob_of_seqlen(n));
        s1 += p1;
        m1 += n * p1;
        s2 += p2;
        m2 += n * p2;
    }
    EXPECT_NEAR(s1, 1.0, 1e-13);
    EXPECT_NEAR(s2, 1.0, 1e-13);
    EXPECT_NEAR(m1, kappa / (1 - kappa), 1e-12);
    EXPECT_NEAR(m2, kappa / ((1 - kappa) * (1 - 0.7)), 1e-12);
}

TEST(IndelModel, BranchQuantitiesMatchExtendedPrecision) {
    // alpha, beta, gamma of the literal formulas evaluated with 60 digits.
    struct row {
        double lambda, mu, t, a, b, g;
    };
    const row rows[] = {
        {0.001, 0.0011, 1, 0.998900604778228, 0.000998951100512003, 0.000499375655147982},
        {0.05, 0.1, 1.3, 0.878095430920561, 0.0592065201264427, 0.0286414927095802},
        {0.01, 0.011, 100, 0.33287108369808, 0.487606696972141, 0.196006418605587},
        {0.001, 0.0011, 1e-6, 0.99999999890000002, 9.9999999894999995e-10, 4.9999999937500004e-10},
        {0.001, 0.0011, 1e-4, 0.999999890000006, 9.9999989500001096e-08, 4.9999993750000657e-08},
        {0.01, 0.011, 1e-6, 0.99999998900000009, 9.9999998950000011e-09, 4.9999999375000007e-09},
        {0.05, 0.1, 1e-5, 0.99999900000050002, 4.9999962500027083e-07, 2.4999975000018231e-07},
        {0.001, 0.0011, 0.01, 0.99998900006049973, 9.9998950011016547e-06, 4.9999375006558265e-06},
        {0.01, 0.011, 1000, 1.6701700790245659e-05, 0.86341047414375749, 0.050232615711194042},
        {0.5, 0.9, 3, 0.06720551273974977, 0.46624171966892808, 0.10030011233340035},
    };
    indel m;
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.lambda << " " << r.mu << " " << r.t);
        const double tol = r.t >= 1 ? 1e-12 : 1e-6;
        EXPECT_NEAR(m.tkf1_alpha(r.mu, r.t) / r.a, 1.0, 1e-13);
        EXPECT_NEAR(m.tkf1_beta(r.lambda, r.mu, r.t) / r.b, 1.0, tol);
        EXPECT_NEAR(m.tkf1_gamma(r.lambda, r.mu, r.t) / r.g, 1.0, tol);
    }
}

TEST(IndelModel, BranchQuantityLimitsAndIdentity) {
    indel m;
    // Time 0: alpha 1, beta and gamma 0 clamped to DBL_MIN; never NaN.
    EXPECT_EQ(m.tkf1_alpha(0.0011, 0.0), 1.0);
    EXPECT_EQ(m.tkf1_beta(0.001, 0.0011, 0.0), DBL_MIN);
    EXPECT_EQ(m.tkf1_gamma(0.001, 0.0011, 0.0), DBL_MIN);
    // Very long branches: alpha clamped, beta tends to kappa, gamma to 0.
    EXPECT_EQ(m.tkf1_alpha(0.0011, 1e7), DBL_MIN);
    EXPECT_NEAR(m.tkf1_beta(0.001, 0.0011, 1e7), 0.001 / 0.0011, 1e-15);
    EXPECT_EQ(m.tkf1_gamma(0.001, 0.0011, 1e7), DBL_MIN);
    // (1 - gamma)(1 - alpha) lambda = mu beta at every time.
    for (double t : {1e-9, 1e-6, 1e-3, 0.5, 1.0, 30.0, 700.0}) {
        const double l = 0.001, mu = 0.0011;
        const double a = m.tkf1_alpha(mu, t), b = m.tkf1_beta(l, mu, t), g = m.tkf1_gamma(l, mu, t);
        const double one_minus_a = -std::expm1(-mu * t);
        EXPECT_NEAR((1 - g) * one_minus_a * l / (mu * b), 1.0, 1e-12) << t;
        EXPECT_LE(a, 1.0);
    }
}

TEST(IndelModel, SetparamsRefillsAtStoredTimes) {
    indel m({0.01, 0.011}, TKF1);
    m.fillP(0.4);
    m.fillT(0.3, 0.7);
    m.fillQ(0.2, 0.5, 0.9);
    m.fillH(0.1, 0.2, 0.3, 0.4, 0.5);
    std::vector<double> v{0.02, 0.05};
    m.setparams(v);
    indel ref({0.02, 0.05}, TKF1);
    ref.fillP(0.4);
    ref.fillT(0.3, 0.7);
    ref.fillQ(0.2, 0.5, 0.9);
    ref.fillH(0.1, 0.2, 0.3, 0.4, 0.5);
    EXPECT_EQ(m.P, ref.P);
    EXPECT_EQ(m.T, ref.T);
    EXPECT_EQ(m.Q, ref.Q);
    EXPECT_EQ(m.H, ref.H);
    EXPECT_EQ(m.params, ref.params);
    EXPECT_EQ(m.tT, ref.tT);

    EXPECT_TRUE(ends_fatally(
        [] {
            indel k;
            std::vector<double> w{0.01, 0.02, 0.5};
            k.setparams(w);
        },
        count_msg));
}

TEST(IndelModel, SetparamsOutOfRangeGivesNonFiniteResults) {
    // No range check: the proposals reject on a non-finite likelihood.
    for (const std::vector<double>& v :
         {std::vector<double>{0.02, 0.02}, std::vector<double>{0.03, 0.02}}) {
        indel m({0.01, 0.02}, TKF1);
        m.setparams(v);
        EXPECT_EQ(m.params, v);
        EXPECT_FALSE(std::isfinite(m.P[START][END]));
        EXPECT_FALSE(std::isfinite(m.logprob_of_seqlen(3)));
    }
}

TEST(IndelModel, RescaleLeavesTablesUntilTheNextFill) {
    indel m({0.01, 0.011, 0.4}, TKF2);
    m.fillP(0.8);
    const indel before = m;
    m.rescale(2.0);
    EXPECT_EQ(m.params, (std::vector<double>{0.02, 0.022, 0.4}));
    EXPECT_EQ(m.P, before.P);
    EXPECT_EQ(m.H, before.H);
    EXPECT_EQ(m.retlnprob(0, 0), before.P[0][0]);
    m.fillP(0.8);
    indel fresh({0.02, 0.022, 0.4}, TKF2);
    fresh.fillP(0.8);
    EXPECT_EQ(m.P, fresh.P);
    // The tables depend on the rates only through rate times time.
    indel slow = before;
    slow.fillP(1.6);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 5; ++c)
            EXPECT_NEAR(m.P[r][c], slow.P[r][c], 1e-12 * (1 + std::fabs(m.P[r][c])));
}

TEST(IndelModel, CopyAndAssignmentAreIndependent) {
    indel a({0.01, 0.011}, TKF1);
    a.fillT(0.2, 0.3);
    indel b;
    b = a;
    EXPECT_EQ(b.T, a.T);
    EXPECT_EQ(b.tT, a.tT);
    b.fillT(5.0, 6.0);
    std::vector<double> v{0.02, 0.03};
    b.setparams(v);
    EXPECT_EQ(a.tT[0], 0.2);
    EXPECT_EQ(a.params[0], 0.01);
    EXPECT_NE(a.T, b.T);
}

TEST(IndelModel, PairAccessorsRejectEveryOutOfRangeState) {
    indel m({0.01, 0.011}, TKF1);
    m.fillP(1.0);
    const double kappa = 0.01 / 0.011;
    const double beta = m.tkf1_beta(0.01, 0.011, 1.0);
    EXPECT_NEAR(m.retlnprob(START, END), std::log(1 - beta) + std::log(1 - kappa), 1e-14);
    EXPECT_EQ(m.retlnprob(MATCH, START), -DBL_MAX);
    EXPECT_EQ(m.retprob(DELETION, START), 0.0);
    EXPECT_DOUBLE_EQ(m.retprob(MATCH, INSERTION), beta);
    const int bad[][2] = {{4, 0}, {5, 0}, {0, 5}, {-1, 0}, {0, -1}, {6, 1}, {1, 7}, {100, 100}};
    for (const auto& b : bad) {
        SCOPED_TRACE(testing::Message() << b[0] << "," << b[1]);
        EXPECT_FATAL(m.retlnprob(b[0], b[1]), range_msg);
        EXPECT_FATAL(m.retprob(zustand(b[0]), zustand(b[1])), range_msg);
    }
}

TEST(IndelModel, UnknownModelKindIsFatalInEveryUse) {
    EXPECT_TRUE(ends_fatally(
        [] {
            indel m;
            m.model = FID;
            m.rescale(2.0);
        },
        "Unknown indel model in function rescale\n"));
    EXPECT_TRUE(ends_fatally(
        [] {
            indel m;
            m.model = FID;
            m.logprob_of_seqlen(2);
        },
        "Unknown indel model\n"));
    EXPECT_TRUE(ends_fatally(
        [] {
            indel m;
            m.model = FID;
            m.fillQ(2.0, 3.0, 4.0);
        },
        "Unknown indel model\n"));
}

TEST(IndelModel, UntidyAddlog) {
    EXPECT_DOUBLE_EQ(untidy_addlog(-2.0, -2.0), -2.0 + std::log(2.0));
    EXPECT_DOUBLE_EQ(untidy_addlog(std::log(0.25), std::log(0.5)), std::log(0.75));
    EXPECT_DOUBLE_EQ(untidy_addlog(std::log(0.5), std::log(0.25)), std::log(0.75));
    EXPECT_EQ(untidy_addlog(std::log(0.3), -DBL_MAX), std::log(0.3));
    EXPECT_EQ(untidy_addlog(-DBL_MAX, -DBL_MAX), -DBL_MAX);
}
