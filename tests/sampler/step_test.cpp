// Sampler step: annealed acceptance, cooling rates, step widths, parameter
// proposals, the four-point choice, and whole steps and interchange passes
// on small data sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "sampler/mult_align.h"
#include "sampler_fixtures.h"
#include "sequence/random.h"
#include "support/fatal.h"

namespace {

using samplertest::bits_equal;
using samplertest::link;
using samplertest::mknode;
using samplertest::tkf;

// Two leaves R (root) and L on one branch, aligned by the path over M, I, D.
baum* pairtree(const std::string& r, const std::string& l, const std::string& path, double t) {
    baum* root = mknode("R", 1, r);
    link(root, mknode("L", 0, l), t, path);
    return root;
}

substmodel jc69() {
    return substmodel(NUC, JC69, std::vector<double>{0.25, 0.25, 0.25, 0.25},
                      std::vector<double>{});
}

// A two-leaf state with four alignment columns (three matches, one deletion).
mult_alignment* pairstate(const cooling& c = cooling(), const substmodel& sm = jc69(),
                          const indel& im = tkf(), const keepfixed& f = keepfixed()) {
    keepfixed fx = f;
    if (fx.subfix.empty() && fx.indfix.empty()) {
        std::vector<double> p;
        sm.paramsOf(p);
        fx.subfix.assign(p.size(), false);
        std::vector<double> q;
        im.returnparams(q);
        fx.indfix.assign(q.size(), false);
    }
    return new mult_alignment(sm, im, pairtree("ACGT", "ACT", "MMDM", 5.0), fx, c);
}

// The state of the generator after n uniforms from seed k.
int idum_after(int k, int n) {
    idum = -k;
    for (int i = 0; i < n; ++i) randomunitintervall();
    return idum;
}

// ln of the exponential density with the given mean at v.
double log_expdens(double v, double mean) { return -std::log(mean) - v / mean; }

}  // namespace

// ---------------------------------------------------------------------------
// The annealed rule

TEST(StepAcceptance, RuleTable) {
    const double e1 = 0.36787944117144233;   // exp(-1)
    const double e3 = 0.049787068367863944;  // exp(-3)
    struct Case {
        const char* what;
        double newscore, oldscore, u;
        std::uint32_t step, burnin;
        double rate, temp;
        bool accepted;
    } cases[] = {
        {"higher, any uniform", -10.0, -11.0, 0.9999999, 5, 10, 0.0, 1.0, true},
        {"higher after burn-in", -10.0, -11.0, 0.9999999, 50, 10, 0.5, 3.0, true},
        {"equal", -7.25, -7.25, 0.9999999, 5, 10, 0.0, 1.0, true},
        {"equal after burn-in", -7.25, -7.25, 0.9999999, 500, 10, 0.3, 0.2, true},
        {"lower, uniform just below", -11.0, -10.0, e1 * (1 - 1e-9), 5, 10, 0.0, 1.0, true},
        {"lower, uniform just above", -11.0, -10.0, e1 * (1 + 1e-9), 5, 10, 0.0, 1.0, false},
        // At step burnin the rule is still plain; temperature and rate unused.
        {"at burnin, below", -11.0, -10.0, e1 * (1 - 1e-9), 10, 10, 7.0, 0.01, true},
        {"at burnin, above", -11.0, -10.0, e1 * (1 + 1e-9), 10, 10, 7.0, 0.01, false},
        // 10 steps after burn-in: (10 * 0.05 + 1) / 0.5 = 3.
        {"annealed, below", -11.0, -10.0, e3 * (1 - 1e-9), 20, 10, 0.05, 0.5, true},
        {"annealed, above", -11.0, -10.0, e3 * (1 + 1e-9), 20, 10, 0.05, 0.5, false},
        // (0 * 1 + 1) / 2: a hot start right after burn-in with rate 0.
        {"rate 0 after burn-in", -12.0, -10.0, e1 * (1 - 1e-9), 11, 10, 0.0, 2.0, true},
        {"new score NaN", std::nan(""), -10.0, 1e-300, 5, 10, 0.0, 1.0, false},
        {"old score NaN", -10.0, std::nan(""), 1e-300, 5, 10, 0.0, 1.0, false},
        {"new score -inf", -HUGE_VAL, -10.0, 1e-300, 5, 10, 0.0, 1.0, false},
        {"both -inf", -HUGE_VAL, -HUGE_VAL, 1e-300, 5, 10, 0.0, 1.0, false},
        // The step difference is unsigned: no wrap-around to a negative factor.
        {"largest step", -10.5, -10.0, 1e-300, 4294967295u, 0, 1.0, 1.0, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(
            mult_alignment::annealed(c.newscore, c.oldscore, c.u, c.step, c.burnin, c.rate, c.temp),
            c.accepted)
            << c.what;
}

// The working tree is a copy of the current one, so its log likelihood is
// the state's own; shifting the stored value gives any difference wanted.
struct StepTreeAcceptance : ::testing::Test {
    mult_alignment* s = nullptr;
    double L0 = 0.0;
    void SetUp() override {
        cooling c;
        c.burnin = 10;
        s = pairstate(c);
        L0 = s->loglik;
        s->ausaltmachneu();
    }
    void TearDown() override { delete s; }
};

TEST_F(StepTreeAcceptance, DrawsOneUniformAndTakesTheTree) {
    s->counter = 5;
    s->loglik = L0 - 0.5;
    idum = -77;
    EXPECT_TRUE(s->alteroderneuerbaum());
    EXPECT_EQ(idum, idum_after(77, 1));
    EXPECT_TRUE(bits_equal(s->loglik, L0));
    EXPECT_EQ(s->tempali, 1.0);  // a gain of 0.5 is below the temperature
}

TEST_F(StepTreeAcceptance, RejectionKeepsEverything) {
    // exp(-40) is below any uniform the generator gives.
    s->counter = 5;
    s->loglik = L0 + 40.0;
    baum* before = s->told;
    idum = -5;
    EXPECT_FALSE(s->alteroderneuerbaum());
    EXPECT_EQ(s->told, before);
    EXPECT_EQ(s->loglik, L0 + 40.0);
    EXPECT_EQ(s->tempali, 1.0);
    EXPECT_EQ(s->rateali, 0.0);
}

TEST_F(StepTreeAcceptance, BurnInTemperatureTable) {
    struct Case {
        std::uint32_t counter;
        double gain, tempali;
    } cases[] = {
        {5, 3.0, 3.0},   // gain above the temperature in burn-in
        {10, 3.0, 3.0},  // the last burn-in step still counts
        {1, 3.0, 1.0},   // never at step 1
        {11, 3.0, 1.0},  // never after burn-in
        {5, 1.0, 1.0},   // equal to the temperature: kept
        {5, 0.75, 1.0},
    };
    for (const Case& c : cases) {
        s->ausaltmachneu();
        s->counter = c.counter;
        s->tempali = 1.0;
        s->loglik = L0 - c.gain;
        EXPECT_TRUE(s->alteroderneuerbaum());
        EXPECT_EQ(s->tempali, c.tempali) << c.counter << " " << c.gain;
    }
}

TEST_F(StepTreeAcceptance, RateIsSetOnceExactlyAtBurnin) {
    // n = 2 rows, 4 columns: 0.5 / (0.5 * 2 - 0.5 * L / 4), from the
    // log likelihood after the acceptance.
    const double expected = 0.5 / (1.0 - 0.125 * L0);
    for (std::uint32_t c : {9u, 11u}) {
        s->ausaltmachneu();
        s->counter = c;
        s->alteroderneuerbaum();
        EXPECT_EQ(s->rateali, 0.0) << c;
    }
    s->ausaltmachneu();
    s->counter = 10;
    s->loglik = L0 - 2.0;
    s->alteroderneuerbaum();
    EXPECT_NEAR(s->rateali, expected, 1e-15);
    EXPECT_GT(s->rateali, 0.0);
    // A rejected move at burnin sets the rate from the unchanged value
    // (and the unchanged alignment, here made 400 columns long).
    s->ausaltmachneu();
    s->rateali = 0.0;
    s->loglik = L0 + 40.0;
    for (auto& row : s->malign.seqs) row.assign(400, 'A');
    EXPECT_FALSE(s->alteroderneuerbaum());
    EXPECT_NEAR(s->rateali, 0.5 / (1.0 - 0.5 * (L0 + 40.0) / 400), 1e-15);
}

TEST(StepCoolingRate, TableWithGuards) {
    mult_alignment* s = pairstate();
    const std::string warning =
        "WARNING: The cooling rate of the tree is not a positive finite number; it is set to 0.\n";
    struct Case {
        const char* what;
        double alpha, loglik;
        unsigned len;
        double rate;
        bool warns;
    } cases[] = {
        {"usual", 0.5, -10.0, 4, 0.5 / 2.25, false},
        {"alpha 1", 1.0, -10.0, 4, 0.5 / 2.5, false},
        {"negative denominator", 2.0, -1.0, 4, 0.0, true},
        {"zero denominator", 1.0, 0.0, 4, 0.0, true},
        {"NaN likelihood", 0.5, std::nan(""), 4, 0.0, true},
        // Without columns: -10 / 0 is -inf, the denominator +inf, the rate 0.
        {"no columns", 0.5, -10.0, 0, 0.0, false},
        {"no columns, alpha 1", 1.0, -10.0, 0, 0.0, false},
        {"no columns, positive", 0.5, 3.0, 0, 0.0, true},
        // 0 / 0 is undefined: the term counts 0, so 0.5 / (0.5 * 2).
        {"no columns, log likelihood 0", 0.5, 0.0, 0, 0.5 / 1.0, false},
        {"no columns, log likelihood 0, alpha 1", 1.0, 0.0, 0, 0.0, true},
        {"no columns, NaN likelihood", 0.5, std::nan(""), 0, 0.0, true},
    };
    for (const Case& c : cases) {
        s->loglik = c.loglik;
        for (auto& row : s->malign.seqs) row.assign(c.len, 'A');
        ChildResult r = run_in_child([&] {
            const double rate = s->coolingrate(0.5, c.alpha, "tree");
            std::exit(rate == c.rate ? 0 : 3);
        });
        EXPECT_TRUE(r.exited) << c.what;
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_EQ(r.err, c.warns ? warning : "") << c.what;
    }
    delete s;
}

// ---------------------------------------------------------------------------
// Step widths

TEST(StepWidth, MultiplierWalksWithPeriod14) {
    mult_alignment* s = pairstate();
    s->cool.delta = 2.0;
    const unsigned expected[] = {8, 7, 6, 5, 4, 3, 2, 1, 2, 3, 4, 5, 6, 7, 8,
                                 7, 6, 5, 4, 3, 2, 1, 2, 3, 4, 5, 6, 7, 8};
    for (unsigned k = 0; k < 29; ++k) {
        EXPECT_EQ(s->widthindex, expected[k]) << k;
        EXPECT_EQ(s->halfwidth(), expected[k] * 2.0 / 4.0) << k;
        s->counter = k + 1;
        s->widthstep(0.0);
    }
    EXPECT_EQ(s->cool.delta, 2.0);
    delete s;
}

// Runs the 400 steps of one adaptation period with a gain per multiplier.
void period(mult_alignment* s, const std::function<double(unsigned)>& gain) {
    const std::uint32_t start = s->counter;
    for (std::uint32_t k = 1; k <= 400; ++k) {
        s->counter = start + k;
        s->widthstep(gain(s->widthindex));
    }
}

TEST(StepWidth, AdaptationTable) {
    struct Case {
        const char* what;
        std::function<double(unsigned)> gain;
        double delta;
    } cases[] = {
        {"no gains", [](unsigned) { return 0.0; }, 1.0},
        // Ends are visited half as often: equal means, not equal sums.
        {"equal means", [](unsigned) { return 1.0; }, 1.0},
        {"multiplier 6 best", [](unsigned m) { return m == 6 ? 2.0 : 1.0; }, 6.0 / 4.0},
        {"multiplier 1 best", [](unsigned m) { return m == 1 ? 0.5 : 0.0; }, 1.0 / 4.0},
        {"multiplier 8 best", [](unsigned m) { return m == 8 ? 0.5 : 0.0; }, 8.0 / 4.0},
        {"first of two best", [](unsigned m) { return m == 2 || m == 7 ? 3.0 : 1.0; }, 2.0 / 4.0},
        {"4 ties with a better", [](unsigned m) { return m == 3 ? 0.0 : 1.0; }, 1.0},
    };
    for (const Case& c : cases) {
        mult_alignment* s = pairstate();
        period(s, c.gain);
        EXPECT_EQ(s->cool.delta, c.delta) << c.what;
        EXPECT_EQ(s->widthindex, 8u) << c.what;
        EXPECT_TRUE(s->widthdown) << c.what;
        EXPECT_EQ(s->widthround, 1u) << c.what;
        for (unsigned j = 0; j < 8; ++j) {
            EXPECT_EQ(s->widthgain[j], 0.0) << c.what;
            EXPECT_EQ(s->widthcount[j], 0) << c.what;
        }
        delete s;
    }
}

TEST(StepWidth, SecondPeriodNarrowsTowardsDelta) {
    mult_alignment* s = pairstate();
    period(s, [](unsigned m) { return m == 6 ? 2.0 : 1.0; });
    ASSERT_EQ(s->cool.delta, 1.5);
    // Widths (1 + m) / 5 times delta; then multiplier 2 of round 1 wins:
    // delta * (1 + 1 + 1) / 5.
    for (unsigned m = 8; m >= 1; --m) {
        EXPECT_EQ(s->widthindex, m);
        EXPECT_EQ(s->halfwidth(), (1.0 + m) * 1.5 / 5.0);
        s->counter += 1;
        s->widthstep(0.0);
    }
    s->counter = 400;
    period(s, [](unsigned m) { return m == 2 ? 1.0 : 0.0; });
    EXPECT_EQ(s->cool.delta, 1.5 * 3.0 / 5.0);
    EXPECT_EQ(s->widthround, 2u);
    delete s;
}

// ---------------------------------------------------------------------------
// Parameter proposals

TEST(StepProposal, EverythingFixedRepeatsTheValuesWithoutDraws) {
    substmodel sm = jc69();  // no rate parameters
    indel im = tkf(0.02, 0.03);
    keepfixed f;
    f.indfix = {true, true};
    idum = -9;
    mult_alignment::proposal p(sm, im, f);
    EXPECT_EQ(idum, -9);
    EXPECT_TRUE(p.subpar.empty());
    EXPECT_EQ(p.idpar, (std::vector<double>{0.02, 0.03}));
    EXPECT_EQ(p.lognew, 0.0);
    EXPECT_EQ(p.logold, 0.0);
}

TEST(StepProposal, Tkf1InsertionRateByTheExponentialRule) {
    substmodel sm = jc69();
    indel im = tkf(0.02, 0.03);
    keepfixed f;
    f.indfix = {false, true};
    idum = -31;
    const double y = rand_exp(1.0 / 0.02);
    const int after = idum;
    idum = -31;
    mult_alignment::proposal p(sm, im, f);
    EXPECT_EQ(idum, after);
    EXPECT_EQ(p.idpar[0], y);
    EXPECT_EQ(p.idpar[1], 0.03);
    // Prior Exp(1) plus the reverse or forward proposal density.
    EXPECT_NEAR(p.lognew, log_expdens(y, 1.0) + log_expdens(0.02, y), 1e-9);
    EXPECT_NEAR(p.logold, log_expdens(0.02, 1.0) + log_expdens(y, 0.02), 1e-9);
}

TEST(StepProposal, Tkf1DeletionRateThroughZ) {
    substmodel sm = jc69();
    indel im = tkf(0.02, 0.03);  // z = 0.02 / 0.01 = 2
    for (bool lamfree : {false, true}) {
        keepfixed f;
        f.indfix = {!lamfree, false};
        idum = -44;
        const double y0 = lamfree ? rand_exp(1.0 / 0.02) : 0.02;
        const double z = rand_exp(1.0 / 2.0);
        const int after = idum;
        idum = -44;
        mult_alignment::proposal p(sm, im, f);
        EXPECT_EQ(idum, after);
        EXPECT_EQ(p.idpar[0], y0);
        EXPECT_NEAR(p.idpar[1], y0 + y0 / z, 1e-15);
        EXPECT_GT(p.idpar[1], p.idpar[0]);
        const double zn = p.idpar[0] / (p.idpar[1] - p.idpar[0]);
        EXPECT_NEAR(zn, z, 1e-9 * z);
        double ln = log_expdens(zn, 1.0) + log_expdens(2.0, zn);
        double lo = log_expdens(2.0, 1.0) + log_expdens(zn, 2.0);
        if (lamfree) {
            ln += log_expdens(y0, 1.0) + log_expdens(0.02, y0);
            lo += log_expdens(0.02, 1.0) + log_expdens(y0, 0.02);
        }
        EXPECT_NEAR(p.lognew, ln, 1e-9) << lamfree;
        EXPECT_NEAR(p.logold, lo, 1e-9) << lamfree;
    }
}

TEST(StepProposal, Tkf2DeletionPinnedAndFragmentThroughW) {
    substmodel sm = jc69();
    indel im(std::vector<double>{0.02, 0.03, 0.5}, TKF2);
    keepfixed f;
    f.indfix = {false, false, false};
    const double c = 1.000100010001;
    const double wold = 1 / 0.5 - c;
    idum = -12;
    const double y0 = rand_exp(1.0 / 0.02);
    const double w = rand_exp(1.0 / wold);
    const int after = idum;
    idum = -12;
    mult_alignment::proposal p(sm, im, f);
    EXPECT_EQ(idum, after);
    ASSERT_EQ(p.idpar.size(), 3u);
    EXPECT_EQ(p.idpar[0], y0);
    EXPECT_EQ(p.idpar[1], y0 * 1.00001);
    EXPECT_NEAR(p.idpar[2], 1 / (w + c), 1e-15);
    EXPECT_LT(p.idpar[2], 1 / c);
    const double wn = 1 / p.idpar[2] - c;
    EXPECT_NEAR(
        p.lognew,
        log_expdens(y0, 1.0) + log_expdens(0.02, y0) + log_expdens(wn, 1.0) + log_expdens(wold, wn),
        1e-9);
    EXPECT_NEAR(p.logold,
                log_expdens(0.02, 1.0) + log_expdens(y0, 0.02) + log_expdens(wold, 1.0) +
                    log_expdens(wn, wold),
                1e-9);
}

TEST(StepProposal, FragmentAtTheBoundIsHeldWithOneWarning) {
    ChildResult r = run_in_child([] {
        substmodel sm = jc69();
        indel im(std::vector<double>{0.02, 0.03, 0.99995}, TKF2);
        keepfixed f;
        f.indfix = {true, true, false};
        for (int k = 0; k < 3; ++k) {
            idum = -3;
            mult_alignment::proposal p(sm, im, f);
            if (idum != -3 || p.idpar[2] != 0.99995 || p.lognew != 0.0 || p.logold != 0.0)
                std::exit(3);
        }
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err,
              "WARNING: The TKF2 fragment parameter 0.99995 is not below 1/1.000100010001; it is "
              "kept fixed.\n");
}

TEST(StepProposal, GenrevChangesTheThreeDrawnIndices) {
    const std::vector<double> rates{1.5, 2.0, 0.5, 0.8, 3.0, 1.2};
    substmodel sm(NUC, GENREV, std::vector<double>{0.1, 0.2, 0.3, 0.4}, rates);
    indel im = tkf();
    for (int seed : {1, 2, 3, 4, 5, 6, 7, 8}) {
        keepfixed f;
        f.subfix = {false, true, false, false, false, false};
        f.indfix = {true, true};
        idum = -seed;
        std::set<int> picked;
        for (int k = 0; k < 3; ++k) picked.insert(randominteger(6));
        std::vector<double> expected = rates;
        double ln = 0.0, lo = 0.0;
        for (int q = 0; q < 6; ++q)
            if (picked.count(q) && !f.subfix[q]) {
                const double y = rand_exp(1.0 / rates[q]);
                expected[q] = y;
                ln += log_expdens(y, 1.0) + log_expdens(rates[q], y);
                lo += log_expdens(rates[q], 1.0) + log_expdens(y, rates[q]);
            }
        const int after = idum;
        idum = -seed;
        mult_alignment::proposal p(sm, im, f);
        EXPECT_EQ(idum, after) << seed;
        EXPECT_EQ(p.subpar, expected) << seed;
        EXPECT_NEAR(p.lognew, ln, 1e-9) << seed;
        EXPECT_NEAR(p.logold, lo, 1e-9) << seed;
        EXPECT_EQ(p.idpar, (std::vector<double>{0.01, 0.011}));
    }
}

TEST(StepProposal, FatalConditions) {
    struct Case {
        const char* what;
        std::function<void()> fn;
        const char* message;
    } cases[] = {
        {"subfix size",
         [] {
             substmodel sm(NUC, HKY, std::vector<double>{0.25, 0.25, 0.25, 0.25},
                           std::vector<double>{2.0});
             indel im = tkf();
             keepfixed f;
             f.indfix = {false, false};
             mult_alignment::proposal p(sm, im, f);
         },
         "vector subfix has the wrong size\n"},
        {"indfix size",
         [] {
             substmodel sm = jc69();
             indel im = tkf();
             keepfixed f;
             f.indfix = {false, false, false};
             mult_alignment::proposal p(sm, im, f);
         },
         "vector indfix has the wrong size\n"},
        {"unknown kind",
         [] {
             substmodel sm = jc69();
             indel im = tkf();
             im.model = static_cast<idarch>(2);
             keepfixed f;
             f.indfix = {false, false};
             mult_alignment::proposal p(sm, im, f);
         },
         "Unknown indel model in function propos_idpar\n"},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(ends_fatally(c.fn, c.message)) << c.what;
    }
}

TEST(StepSampParams, FixedModelsAreAlwaysTakenAgain) {
    keepfixed f;
    f.indfix = {true, true};
    mult_alignment* s = pairstate(cooling(), jc69(), tkf(), f);
    const double L0 = s->loglik;
    s->counter = 5000;  // after burn-in, any temperature
    s->rateparam = 0.3;
    for (int k = 0; k < 5; ++k) {
        idum = -(k + 1);
        s->sampparams();
        EXPECT_EQ(idum, idum_after(k + 1, 1));
        EXPECT_TRUE(bits_equal(s->loglik, L0));
    }
    delete s;
}

TEST(StepSampParams, StateStaysConsistentAndRateIsSetAtBurnin) {
    cooling c;
    c.burnin = 30;
    substmodel sm(NUC, HKY, std::vector<double>{0.1, 0.2, 0.3, 0.4}, std::vector<double>{2.0});
    mult_alignment* s = pairstate(c, sm, tkf(), keepfixed());
    idum = -123;
    int taken = 0;
    for (std::uint32_t k = 1; k <= 40; ++k) {
        s->counter = k;
        const double before = s->loglik;
        std::vector<double> ip0;
        s->indmodel.returnparams(ip0);
        s->sampparams();
        std::vector<double> ip;
        s->indmodel.returnparams(ip);
        if (ip != ip0) {
            ++taken;
            EXPECT_LT(ip[0], ip[1]);
        } else {
            EXPECT_EQ(s->loglik, before);
        }
        EXPECT_TRUE(bits_equal(s->loglik, s->complik(s->pattern, s->told)));
        if (k < 30) {
            EXPECT_EQ(s->rateparam, 0.0);
        }
        if (k == 30) {
            EXPECT_GT(s->rateparam, 0.0);
            EXPECT_EQ(s->rateparam, s->coolingrate(0.5, 0.5, "parameters"));
        }
    }
    EXPECT_GT(taken, 0);
    EXPECT_GE(s->tempparam, 1.0);
    delete s;
}

// ---------------------------------------------------------------------------
// Four-point choice

TEST(StepFourPoint, ChoiceTable) {
    const double nan = std::nan("");
    struct Case {
        const char* what;
        double d01, d02, d03, d12, d13, d23;
        int choice;
    } cases[] = {
        {"current pairing smallest", 1, 5, 5, 5, 5, 1, 1},
        {"Q0 with Q2 smallest", 5, 1, 5, 5, 1, 5, 2},
        {"Q0 with Q3 smallest", 5, 5, 1, 1, 5, 5, 3},
        {"tie of the other two", 5, 1, 1, 1, 1, 5, 1},
        {"tie with the current", 1, 1, 5, 5, 1, 1, 1},
        {"tie current and Q3", 1, 5, 1, 1, 5, 1, 1},
        {"all equal", 2, 2, 2, 2, 2, 2, 1},
        {"NaN in S02", 5, nan, 5, 5, 1, 5, 1},
        {"NaN in S01", nan, 1, 5, 5, 1, 5, 1},
        {"NaN in S01, S03 smallest", nan, 5, 1, 1, 5, 5, 1},
        // Unequal distances within each pair: a sum built from a wrong pair
        // changes the choice. Sums S01, S02, S03 in the names.
        {"distinct, 7 6 8", 1, 2, 3, 5, 4, 6, 2},
        {"distinct, 8 7 6", 2, 3, 1, 5, 4, 6, 3},
        {"distinct, 6 7 8", 1, 3, 2, 6, 4, 5, 1},
        {"unequal pairs, 6 7 2", 3, 2, 1, 1, 5, 3, 3},
    };
    for (const Case& c : cases) {
        double D[4][4] = {{0, c.d01, c.d02, c.d03},
                          {c.d01, 0, c.d12, c.d13},
                          {c.d02, c.d12, 0, c.d23},
                          {c.d03, c.d13, c.d23, 0}};
        EXPECT_EQ(mult_alignment::fourpoint(D), c.choice) << c.what;
    }
}

// ---------------------------------------------------------------------------
// Whole steps and interchange passes on small data sets

namespace {

// A nucleotide sequence from a small congruential generator.
std::string randomdna(unsigned seed, int len) {
    std::string s;
    unsigned x = seed * 2654435761u + 12345u;
    for (int i = 0; i < len; ++i) {
        x = x * 1103515245u + 12345u;
        s += "ACGT"[(x >> 16) & 3];
    }
    return s;
}

// The sequence with every k-th residue changed.
std::string mutated(std::string s, int k) {
    for (size_t i = k / 2; i < s.size(); i += k) s[i] = s[i] == 'A' ? 'G' : 'A';
    return s;
}

struct Data {
    std::vector<std::string> names, seqs;
};

// A start-up state (JC69, TKF1, type 0) from sequences and a guide tree.
mult_alignment* startstate(const Data& d, const std::string& guide, double delta, int seed) {
    const std::string dir = make_temp_dir();
    std::string fasta;
    for (size_t i = 0; i < d.names.size(); ++i) fasta += ">" + d.names[i] + "\n" + d.seqs[i] + "\n";
    write_file(dir + "/seqs.fasta", fasta);
    write_file(dir + "/guide.tree", guide);
    eingabe_parameter P;
    P.files.infile = dir + "/seqs.fasta";
    P.files.guidetree = dir + "/guide.tree";
    P.fix = keepfixed(JC69, TKF1);
    P.cool.delta = delta;
    P.cool.burnin = 20;
    idum = -seed;
    testing::internal::CaptureStdout();
    mult_alignment* s = new mult_alignment(P, 0);
    testing::internal::GetCapturedStdout();
    return s;
}

Data fiveseqs() {
    Data d;
    d.names = {"A", "B", "C", "D", "E"};
    const std::string base = randomdna(1, 40);
    for (int i = 0; i < 5; ++i) d.seqs.push_back(mutated(base, 3 + i));
    d.seqs[4] = d.seqs[4].substr(0, 33);
    return d;
}

// Leaf names below node, away from the record `from`.
std::set<std::string> below(baum* node, baum* from) {
    std::set<std::string> out;
    if (node->isLeaf()) out.insert(node->id.name);
    for (neighbor& r : node->neighbors)
        if (r.node != from) {
            std::set<std::string> sub = below(r.node, node);
            out.insert(sub.begin(), sub.end());
        }
    return out;
}

// The splits of a tree, each as the side without the smallest name.
std::set<std::set<std::string>> splits(baum* root) {
    std::set<std::set<std::string>> out;
    const std::set<std::string> all = below(root, nullptr);
    std::vector<std::pair<baum*, baum*>> stack{{root->NB(0), root}};
    while (!stack.empty()) {
        auto [node, from] = stack.back();
        stack.pop_back();
        std::set<std::string> side = below(node, from);
        if (side.count(*all.begin())) {
            std::set<std::string> other;
            for (const std::string& n : all)
                if (!side.count(n)) other.insert(n);
            side = other;
        }
        if (side.size() > 1 && side.size() + 1 < all.size()) out.insert(side);
        for (neighbor& r : node->neighbors)
            if (r.node != from) stack.push_back({r.node, node});
    }
    return out;
}

std::string newick(mult_alignment* s) {
    std::ostringstream os;
    s->told->print(os);
    return os.str();
}

// The state's alignment, columns and log likelihood describe its tree.
void expect_consistent(mult_alignment* s, const Data& d) {
    mdataset m(s->told, 4);
    compact_subst_pattern p(m);
    EXPECT_TRUE(bits_equal(s->loglik, s->complik(p, s->told)));
    ASSERT_EQ(s->malign.seqs.size(), d.names.size());
    for (size_t r = 0; r < s->malign.seqs.size(); ++r) {
        std::string row;
        for (char c : s->malign.seqs[r])
            if (c != '_' && c != '-') row += c;
        const std::string name(s->malign.names[r].begin(), s->malign.names[r].end());
        const size_t i = std::find(d.names.begin(), d.names.end(), name) - d.names.begin();
        ASSERT_LT(i, d.names.size());
        EXPECT_EQ(row, d.seqs[i]);
    }
}

}  // namespace

TEST(StepTree, StepsKeepGuideSplitsAndAreReproducible) {
    const Data d = fiveseqs();
    const std::string guide = "((A,B),C,D,E);";
    std::string first;
    bool moved = false;
    for (int rerun = 0; rerun < 2; ++rerun) {
        mult_alignment* s = startstate(d, guide, 30.0, 5);
        const std::set<std::set<std::string>> start = splits(s->told);
        std::string trace;
        for (std::uint32_t k = 1; k <= 25; ++k) {
            testing::internal::CaptureStderr();
            s->maunewton();
            testing::internal::GetCapturedStderr();
            EXPECT_EQ(s->counter, k);
            expect_consistent(s, d);
            const std::set<std::set<std::string>> now = splits(s->told);
            EXPECT_EQ(now.count({"C", "D", "E"}), 1u) << k;  // A, B apart
            EXPECT_EQ(now.size(), 2u);
            if (now != start) moved = true;
            std::ostringstream os;
            os.precision(17);
            os << s->loglik << " " << newick(s);
            trace += os.str();
        }
        EXPECT_EQ(s->widthindex, 5u);  // 8 .. 1 .. 8 .. 1, then 2, 3, 4
        if (rerun == 0) first = trace;
        else EXPECT_EQ(trace, first);
        delete s;
    }
    EXPECT_TRUE(moved);
}

TEST(StepNni, NothingToDoForThreeLeaves) {
    Data d;
    d.names = {"A", "B", "C"};
    d.seqs = {randomdna(1, 30), randomdna(2, 30), randomdna(3, 30)};
    mult_alignment* s = startstate(d, "(A,B,C);", 1.0, 3);
    const double L = s->loglik;
    EXPECT_FALSE(s->nearestneighbor(3));
    EXPECT_EQ(s->tnew, nullptr);
    EXPECT_EQ(s->loglik, L);
    delete s;
}

TEST(StepNni, FixedInnerBranchIsNeverCrossed) {
    Data d;
    d.names = {"A", "B", "C", "D"};
    const std::string x = randomdna(4, 50), y = randomdna(5, 50);
    // The data pair A with C, the guide tree A with B.
    d.seqs = {x, y, mutated(x, 9), mutated(y, 9)};
    mult_alignment* s = startstate(d, "((A,B),(C,D));", 1.0, 4);
    baum* before = s->told;
    const double L = s->loglik;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(s->nearestneighbor(4));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_NE(s->tnew, nullptr);
    EXPECT_EQ(s->told, before);
    EXPECT_EQ(s->loglik, L);
    delete s;
}

TEST(StepNni, FourPointTestPicksTheDataPairing) {
    Data d;
    d.names = {"A", "B", "C", "D"};
    const std::string x = randomdna(6, 30), y = randomdna(7, 30);
    d.seqs = {x, y, mutated(x, 10), mutated(y, 10)};
    const std::set<std::set<std::string>> wanted{{"B", "D"}};
    int exchanged = 0;
    for (int seed = 1; seed <= 3; ++seed) {
        mult_alignment* s = startstate(d, "(A,B,C,D);", 1.0, seed);
        const bool already = splits(s->told) == wanted;
        testing::internal::CaptureStdout();
        const bool changed = s->nearestneighbor(4);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(changed, !already) << seed;
        EXPECT_EQ(out, changed ? "Performing nearest neighbour interchange\n" : "") << seed;
        EXPECT_EQ(splits(s->told), wanted) << seed;
        expect_consistent(s, d);
        exchanged += changed;
        delete s;
    }
    EXPECT_GT(exchanged, 0);
}

TEST(StepNni, EmptySequenceNextToTheBranch) {
    Data d;
    d.names = {"A", "B", "C", "D"};
    d.seqs = {randomdna(8, 30), randomdna(9, 30), randomdna(10, 30), ""};
    for (int seed = 1; seed <= 3; ++seed) {
        testing::internal::CaptureStderr();
        mult_alignment* s = startstate(d, "(A,B,C,D);", 1.0, seed);
        testing::internal::CaptureStdout();
        s->nearestneighbor(4);
        testing::internal::GetCapturedStderr();
        testing::internal::GetCapturedStdout();
        expect_consistent(s, d);
        delete s;
    }
}

TEST(StepSampParams, KeptSubstitutionPartGivesTheSameRun) {
    // JC69 has no rate parameter: every proposal leaves the substitution
    // model as it is, and its part is taken over while the tree stays.
    const Data d = fiveseqs();
    mult_alignment* a = startstate(d, "((A,B),C,D,E);", 1.0, 8);
    mult_alignment* b = startstate(d, "((A,B),C,D,E);", 1.0, 8);
    int kept = 0;
    for (int k = 1; k <= 30; ++k) {
        idum = -k;
        a->maunewton();
        kept += a->subkept;
        a->sampparams();
        idum = -k;
        b->maunewton();
        b->subkept = false;
        b->sampparams();
        ASSERT_TRUE(bits_equal(a->loglik, b->loglik)) << k;
        EXPECT_TRUE(bits_equal(a->loglik, a->complik(a->pattern, a->told))) << k;
    }
    EXPECT_GT(kept, 0);
    delete a;
    delete b;
}

namespace {

// Nodes with one residue 'A', every branch a match.
baum* onenode(const std::string& name, int number) { return mknode(name, number, "A"); }

void matchlink(baum* parent, baum* child, bool fixed) {
    neighbor down, up;
    down.posmap = {0};
    up.posmap = {0};
    down.brl = up.brl = 2.0;
    down.fixed = up.fixed = fixed;
    down.node = child;
    up.node = parent;
    up.isparent = true;
    parent->neighbors.push_back(down);
    child->neighbors.push_back(up);
}

// A tree given as (parent, child, fixed) links over named nodes; names that
// never occur as parents are leaves, numbered in order of appearance.
baum* linked(const std::vector<std::tuple<std::string, std::string, bool>>& links) {
    std::map<std::string, baum*> nodes;
    std::set<std::string> parents;
    for (auto& l : links) parents.insert(std::get<0>(l));
    int leaves = 0;
    auto get = [&](const std::string& n) {
        if (!nodes.count(n)) {
            const bool leaf = !parents.count(n) || n == "R";
            nodes[n] = leaf ? onenode(n, leaves++) : onenode("", -1);
        }
        return nodes[n];
    };
    for (auto& l : links) matchlink(get(std::get<0>(l)), get(std::get<1>(l)), std::get<2>(l));
    return nodes["R"];
}

}  // namespace

TEST(StepNni, BranchesWithoutTwoSubtreesOnEachSide) {
    using L = std::tuple<std::string, std::string, bool>;
    struct Case {
        const char* message;
        std::vector<L> links;
    } cases[] = {
        {"Error I in NNI routine\n",
         {L{"R", "X", true}, L{"X", "A", true}, L{"X", "Z", true}, L{"X", "Y", false},
          L{"Y", "B", true}, L{"Y", "C", true}}},
        {"Error II in NNI routine\n",
         {L{"R", "X", true}, L{"X", "Y", false}, L{"Y", "B", true}, L{"Y", "W", true},
          L{"W", "C", true}, L{"W", "D", true}}},
        {"Error III in NNI routine\n",
         {L{"R", "X", true}, L{"X", "A", true}, L{"X", "Y", false}, L{"Y", "B", true},
          L{"Y", "C", true}, L{"Y", "D", true}}},
        {"Error IV in NNI routine\n",
         {L{"R", "X", true}, L{"X", "V", true}, L{"X", "Y", false}, L{"V", "E", true},
          L{"V", "F", true}, L{"Y", "B", true}}},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(ends_fatally(
            [&] {
                mult_alignment s(jc69(), tkf(), linked(c.links), keepfixed(), cooling());
                s.nearestneighbor(10);
            },
            c.message));
    }
}
