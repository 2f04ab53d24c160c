// Log probabilities with ambiguity codes and the state samplers.
#include "models/substmod.h"

#include "sequence/random.h"
#include "support/fatal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

std::vector<int> members(int code, int n) {
    std::vector<bool> mask(n);
    whichwildcard(code, mask);
    std::vector<int> out;
    for (int s = 0; s < n; ++s)
        if (mask[s]) out.push_back(s);
    return out;
}

// ln P(j | i) straight from the definition of the ambiguity codes.
double brute_logprob(const substmodel& m, int i, int j) {
    double num = 0.0, den = 0.0;
    for (int k : members(i, m.alf)) {
        double row = 0.0;
        for (int l : members(j, m.alf)) row += m.probmat[k][l];
        num += m.freqs[k] * row;
        den += m.freqs[k];
    }
    return std::log(num / den);
}

substmodel hky() {
    std::vector<double> f = {0.4, 0.2, 0.2, 0.2}, p = {2.0};
    substmodel m(NUC, HKY, f, p);
    m.settime(3.0);
    return m;
}

TEST(SubstLogProb, AmbiguityCodesNucleotides) {
    substmodel m = hky();
    for (int i = 0; i < 15; ++i)
        for (int j = 0; j < 15; ++j)
            EXPECT_NEAR(m.logProb_ij(i, j), brute_logprob(m, i, j), 1e-14) << i << " " << j;
    const int R = 4, Y = 5, N = 14;
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(m.logProb_ij(i, N), 0.0, 1e-14);
        EXPECT_NEAR(m.logProb_ij(N, i), std::log(m.freqs[i]), 1e-14);
        EXPECT_EQ(m.logProb_ij(i, i), std::log(m.probmat[i][i]));
    }
    EXPECT_NEAR(m.logProb_ij(N, N), 0.0, 1e-14);
    const auto& P = m.probmat;
    const auto& f = m.freqs;
    EXPECT_NEAR(m.logProb_ij(R, Y),
                std::log((f[0] * (P[0][1] + P[0][3]) + f[2] * (P[2][1] + P[2][3])) / (f[0] + f[2])),
                1e-14);
    EXPECT_NEAR(m.logProb_ij(R, R),
                std::log((f[0] * (P[0][0] + P[0][2]) + f[2] * (P[2][0] + P[2][2])) / (f[0] + f[2])),
                1e-14);
    EXPECT_NEAR(m.logfreqofstate(R), std::log(0.6), 1e-15);
    EXPECT_NEAR(m.logfreqofstate(N), 0.0, 1e-15);
    EXPECT_EQ(m.logfreqofstate(1), std::log(0.2));
    substmodel jc;
    EXPECT_NEAR(jc.logfreqofstate(R), std::log(0.5), 1e-15);
}

TEST(SubstLogProb, AmbiguityCodesAminoAcids) {
    std::vector<double> f(20), none;
    for (int i = 0; i < 20; ++i) f[i] = 1.0 + i % 3;
    substmodel m(AA, JTT, f, none);
    m.settime(20.0);
    for (int i : {0, 2, 3, 5, 6, 19, 20, 21, 22})
        for (int j : {0, 2, 3, 5, 6, 19, 20, 21, 22})
            EXPECT_NEAR(m.logProb_ij(i, j), brute_logprob(m, i, j), 1e-14) << i << " " << j;
    EXPECT_NEAR(m.logfreqofstate(20), std::log(0.043 + 0.052), 1e-15);  // B = N or D
    EXPECT_NEAR(m.logfreqofstate(21), std::log(0.041 + 0.062), 1e-15);  // Z = Q or E
    EXPECT_NEAR(m.logfreqofstate(22), 0.0, 1e-15);
}

TEST(SubstLogProb, FollowsTheCurrentTime) {
    substmodel m = hky();
    const double before = m.logProb_ij(0, 2), amb = m.logProb_ij(4, 5);
    substmodel copy = m;
    m.settime(50.0);
    EXPECT_EQ(m.logProb_ij(0, 2), std::log(m.probmat[0][2]));
    EXPECT_NE(m.logProb_ij(0, 2), before);
    EXPECT_NEAR(m.logProb_ij(4, 5), brute_logprob(m, 4, 5), 1e-14);
    EXPECT_NE(m.logProb_ij(4, 5), amb);
    EXPECT_EQ(copy.logProb_ij(0, 2), before);
    // The three-argument form sets the time first.
    EXPECT_EQ(copy.logProb_ij(0, 2, 50.0), m.logProb_ij(0, 2));
    EXPECT_EQ(copy.timeOf(), 50.0);
    // After a rebuild the values follow the new parameters.
    std::vector<double> p = {0.1};
    m.setparams(p);
    EXPECT_EQ(m.logProb_ij(0, 2), std::log(m.probmat[0][2]));
}

TEST(SubstLogProb, ExactZeroIsNotClamped) {
    substmodel m;
    m.settime(0.0);
    int zeros = 0;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            if (m.probmat[i][j] == 0.0) {
                ++zeros;
                EXPECT_EQ(m.logProb_ij(i, j), -HUGE_VAL);
            }
    EXPECT_GT(zeros, 0);
}

TEST(SubstLogProb, BadCodesAreFatal) {
    struct Case {
        int i, j;
        bool freq;
        std::string err;
    };
    const std::vector<Case> cases = {
        {15, 0, false, "Indices too big: i = 15, j = 0\n"},
        {0, 15, false, "Indices too big: i = 0, j = 15\n"},
        {-1, 0, false, "Indices too big: i = -1, j = 0\n"},
        {2, -3, false, "Indices too big: i = 2, j = -3\n"},
        {-1, 0, true, "Indexing error in logfreqofstate: idx=-1\n"},
        {15, 0, true, "Indexing error in logfreqofstate: idx=15\n"},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(ends_fatally(
            [c] {
                substmodel m;
                if (c.freq) m.logfreqofstate(c.i);
                else m.logProb_ij(c.i, c.j);
            },
            c.err));
    }
}

// The uniform the generator gives first after idum = -seed.
double first_uniform(int seed) {
    idum = -seed;
    return randomunitintervall();
}

int walk(const std::vector<double>& w, double u) {
    double s = 0.0;
    for (size_t k = 0; k < w.size(); ++k) {
        s += w[k];
        if (s > u) return static_cast<int>(k);
    }
    return -1;
}

TEST(SubstSample, ChoosebaseTakesFirstCumulativeAboveU) {
    std::vector<double> f = {0.125, 0.25, 0.125, 0.5}, none;
    substmodel m(NUC, FEL81, f, none);
    int seen[4] = {0, 0, 0, 0};
    for (int seed = 1; seed <= 3000; ++seed) {
        const double u = first_uniform(seed);
        const int expect = u < 0.125 ? 0 : u < 0.375 ? 1 : u < 0.5 ? 2 : 3;
        idum = -seed;
        const int got = m.choosebase();
        EXPECT_EQ(got, expect) << u;
        ++seen[got];
    }
    for (int k = 0; k < 4; ++k) EXPECT_GT(seen[k], 0);
}

// A running sum equal to u does not stop the walk: the next state is drawn.
TEST(SubstSample, RunningSumEqualToUIsNotGreater) {
    int seed = 1;
    while (seed < 1000 && !(first_uniform(seed) >= 0.25 && first_uniform(seed) < 0.5)) ++seed;
    const double u = first_uniform(seed);
    ASSERT_LT(u, 0.5);
    std::vector<double> f = {u, 0.5 - u, 0.25, 0.25}, none;
    ASSERT_EQ(((f[0] + f[1]) + f[2]) + f[3], 1.0);
    substmodel m(NUC, FEL81, f, none);
    ASSERT_EQ(m.freqs[0], u);
    idum = -seed;
    EXPECT_EQ(m.choosebase(), 1);

    // Pairs: the weight of (0, 0) is exactly u under equal frequencies.
    substmodel jc;
    jc.probmat[0][0] = 4.0 * u;
    jc.probmat[0][1] = 0.5;
    idum = -seed;
    int i = -1, j = -1;
    EXPECT_EQ(jc.choosepair(i, j), 1);
    EXPECT_EQ(i, 0);
    EXPECT_EQ(j, 1);
}

// Chi-square statistic; cells expecting fewer than 5 draws are pooled.
double chi_square(const std::vector<double>& expect, const std::vector<long>& count, int& dof) {
    double stat = 0.0, pe = 0.0;
    long pc = 0;
    int cells = 0;
    for (size_t k = 0; k < expect.size(); ++k) {
        if (expect[k] < 5.0) {
            pe += expect[k];
            pc += count[k];
            continue;
        }
        const double c = static_cast<double>(count[k]);
        stat += (c - expect[k]) * (c - expect[k]) / expect[k];
        ++cells;
    }
    if (pe > 0.0) {
        const double c = static_cast<double>(pc);
        stat += (c - pe) * (c - pe) / pe;
        ++cells;
    }
    dof = cells - 1;
    return stat;
}

// Upper 0.1% points of the chi-square distribution.
double chi_square_limit(int dof) {
    // Wilson-Hilferty approximation, z = 3.09.
    const double a = 2.0 / (9.0 * dof);
    const double c = 1.0 - a + 3.09 * std::sqrt(a);
    return dof * c * c * c;
}

TEST(SubstSample, ChoosebaseFrequencies) {
    for (subarch kind : {JTT, MTREV24}) {
        std::vector<double> f(20, 1.0), none;
        substmodel m(AA, kind, f, none);
        double total = 0.0;
        for (double x : m.freqs) total += x;
        const long draws = 200000;
        std::vector<long> count(20, 0);
        idum = -4242;
        for (long d = 0; d < draws; ++d) ++count[m.choosebase()];
        std::vector<double> expect(20);
        for (int k = 0; k < 20; ++k) expect[k] = draws * m.freqs[k] / total;
        int dof = 0;
        const double stat = chi_square(expect, count, dof);
        EXPECT_LT(stat, chi_square_limit(dof)) << kind;
    }
}

TEST(SubstSample, ChoosepairJointDistribution) {
    struct Case {
        alphsize a;
        subarch m;
        std::vector<double> params;
        double t;
    };
    const std::vector<Case> cases = {
        {NUC, HKY, {3.0}, 20.0}, {AA, JTT, {}, 50.0}, {AA, MTREV24, {}, 30.0}};
    for (const Case& c : cases) {
        std::vector<double> f(c.a, 1.0);
        for (int k = 0; k < c.a; ++k) f[k] += k % 4;
        std::vector<double> p = c.params;
        substmodel m(c.a, c.m, f, p);
        m.settime(c.t);
        const int n = m.alf;
        const long draws = 300000;
        std::vector<long> count(n * n, 0);
        idum = -777;
        for (long d = 0; d < draws; ++d) {
            int i = -1, j = -1;
            EXPECT_EQ(m.choosepair(i, j), 1);
            ++count[i * n + j];
        }
        double total = 0.0;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) total += m.freqs[i] * m.probmat[i][j];
        std::vector<double> expect(n * n);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j)
                expect[i * n + j] = draws * m.freqs[i] * m.probmat[i][j] / total;
        int dof = 0;
        const double stat = chi_square(expect, count, dof);
        EXPECT_LT(stat, chi_square_limit(dof)) << c.m;
    }
}

TEST(SubstSample, ChoosepairAtTimeZeroKeepsTheState) {
    std::vector<double> f = {1, 2, 3, 4}, p = {1, 2, 3, 4, 5, 6};
    substmodel m(NUC, GENREV, f, p);
    m.settime(0.0);
    idum = -99;
    for (int d = 0; d < 20000; ++d) {
        int i, j;
        m.choosepair(i, j);
        EXPECT_EQ(i, j);
    }
}

TEST(SubstSample, UniformAboveTheWeightsTotal) {
    // MTREV24 frequencies sum to 0.999: a uniform above that used to end the
    // run; the excess is mapped back onto the weights instead.
    std::vector<double> f(20, 1.0), none;
    substmodel m(AA, MTREV24, f, none);
    double total = 0.0;
    for (double x : m.freqs) total += x;
    int seed = 0;
    double u = 0.0;
    for (int s = 1; s < 100000 && seed == 0; ++s) {
        u = first_uniform(s);
        if (u > total) seed = s;
    }
    ASSERT_NE(seed, 0);
    const int expect = walk(m.freqs, (u - total) * total / (1.0 - total));
    ASSERT_GE(expect, 0);
    ChildResult r = run_in_child([&m, seed, expect] {
        idum = -seed;
        if (m.choosebase() != expect) _exit(3);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");

    // The same for pairs, at a time where the pair weights total below u.
    m.settime(10.0);
    std::vector<double> w;
    for (int i = 0; i < 20; ++i)
        for (int j = 0; j < 20; ++j) w.push_back(m.freqs[i] * m.probmat[i][j]);
    double wt = 0.0;
    for (double x : w) wt += x;
    ASSERT_LT(wt, u);
    const int pexpect = walk(w, (u - wt) * wt / (1.0 - wt));
    ASSERT_GE(pexpect, 0);
    r = run_in_child([&m, seed, pexpect] {
        idum = -seed;
        int i = -1, j = -1;
        if (m.choosepair(i, j) != 1 || i * 20 + j != pexpect) _exit(3);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

TEST(SubstSample, AllWeightsZeroIsFatal) {
    EXPECT_TRUE(ends_fatally(
        [] {
            substmodel m;
            for (double& x : m.freqs) x = 0.0;
            m.choosebase();
        },
        "Reached the end of function choosebase\n"));
    EXPECT_TRUE(ends_fatally(
        [] {
            substmodel m;
            for (double& x : m.freqs) x = 0.0;
            int i, j;
            m.choosepair(i, j);
        },
        "Reached the end of function choosepair\n"));
}

}  // namespace

namespace {

// Kept times give exactly what a recomputation gives.
void expect_same_state(substmodel& kept, const substmodel& base, double t) {
    substmodel fresh = base;
    fresh.settime(t);
    const int n = kept.alf, nl = kept.logalf;
    for (int i = 0; i < n * n; ++i) {
        ASSERT_EQ(kept.probmat.data()[i], fresh.probmat.data()[i]) << t;
        ASSERT_EQ(kept.expievecs.data()[i], fresh.expievecs.data()[i]) << t;
    }
    for (int i = 0; i < nl; ++i)
        for (int j = 0; j < nl; ++j) {
            const double a = kept.logProb_ij(i, j), b = fresh.logProb_ij(i, j);
            ASSERT_TRUE(a == b || (std::isnan(a) && std::isnan(b))) << t << " " << i << " " << j;
        }
}

TEST(SubstCache, RecentTimesAreBitIdentical) {
    for (alphsize a : {NUC, AA}) {
        std::vector<double> f(a, 1.0), p;
        for (int k = 0; k < a; ++k) f[k] += (k * 5) % 7;
        if (a == NUC) p = {1, 2, 3, 4, 5, 6};
        else p.assign(190, 1.0);
        substmodel m(a, a == NUC ? GENREV : MV2000, f, p);
        substmodel base = m;
        // More distinct times than slots, visited over and over, with partial
        // use of the log table between visits.
        idum = -5;
        std::vector<double> times;
        for (int k = 0; k < 90; ++k) times.push_back(0.01 + 30.0 * randomunitintervall());
        for (int round = 0; round < 6; ++round) {
            for (size_t k = 0; k < times.size(); k += 1 + round % 3) {
                m.settime(times[k]);
                m.logProb_ij(static_cast<int>(k % m.logalf), round % m.logalf);
                if (k % 17 == 0) expect_same_state(m, base, times[k]);
            }
        }
        // A rebuild forgets the kept times.
        for (double& x : p) x *= 1.7;
        m.setparams(p);
        base = m;
        for (int round = 0; round < 3; ++round)
            for (size_t k = 0; k < 20; ++k) {
                m.settime(times[k]);
                if (round == 2) expect_same_state(m, base, times[k]);
            }
        // A copy of a model with kept times behaves the same.
        substmodel c = m;
        for (size_t k = 0; k < 20; ++k) {
            c.settime(times[k]);
            expect_same_state(c, base, times[k]);
        }
    }
}

}  // namespace
