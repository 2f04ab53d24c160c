// Construction, rate matrix, decomposition and transition probabilities.
#include "models/substmod.h"

#include "sequence/util.h"
#include "support/fatal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

std::vector<double> nuc_freqs() { return {0.1, 0.2, 0.3, 0.4}; }

// Uneven positive amino-acid frequencies that do not sum to 1.
std::vector<double> aa_freqs() {
    std::vector<double> f(20);
    for (int i = 0; i < 20; ++i) f[i] = 1.0 + (i * 7 % 11);
    return f;
}

// Deterministic values in [lo, hi).
std::vector<double> lcg_values(int count, unsigned seed, double lo, double hi) {
    std::vector<double> v(count);
    unsigned long long x = seed;
    for (int i = 0; i < count; ++i) {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        v[i] = lo + (hi - lo) * static_cast<double>(x >> 11) / 9007199254740992.0;
    }
    return v;
}

struct Kind {
    const char* name;
    alphsize a;
    subarch m;
    std::vector<double> params;
};

std::vector<Kind> all_kinds() {
    return {
        {"GENREV", NUC, GENREV, {1, 1, 1, 1, 1, 1}},
        {"GENREV_random", NUC, GENREV, lcg_values(6, 3, 0.05, 20.0)},
        {"TAMNEI", NUC, TAMNEI, {0.5, 1.0}},
        {"TAMNEI_skew", NUC, TAMNEI, {3.0, 0.2}},
        {"HKY", NUC, HKY, {0.5}},
        {"HKY_strong", NUC, HKY, {7.5}},
        {"KIMURA2P", NUC, KIMURA2P, {0.5}},
        {"KIMURA3P", NUC, KIMURA3P, {0.5, 1.0}},
        {"FEL81", NUC, FEL81, {}},
        {"JC69", NUC, JC69, {}},
        {"MV2000", AA, MV2000, std::vector<double>(190, 1.0)},
        {"MV2000_random", AA, MV2000, lcg_values(190, 11, 0.01, 50.0)},
        {"JTT", AA, JTT, {}},
        {"DAYHOFF", AA, DAYHOFF, {}},
        {"MTREV24", AA, MTREV24, {}},
        {"BLOSUM62", AA, BLOSUM62, {}},
    };
}

substmodel build(const Kind& k) {
    std::vector<double> f = (k.a == NUC) ? nuc_freqs() : aa_freqs();
    std::vector<double> p = k.params;
    return substmodel(k.a, k.m, f, p);
}

std::vector<double> matmul(const sqmatrix& a, const sqmatrix& b) {
    const int n = a.size();
    std::vector<double> c(n * n, 0.0);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            for (int k = 0; k < n; ++k) c[i * n + j] += a[i][k] * b[k][j];
    return c;
}

class SubstKinds : public ::testing::TestWithParam<Kind> {};

TEST_P(SubstKinds, TransitionMatrixInvariants) {
    substmodel m = build(GetParam());
    const int n = m.alf;
    double fsum = 0.0;
    for (double f : m.freqs) fsum += f;

    // Q rows sum to 0; the expected rate is 0.01 per time unit.
    double rate = 0.0;
    for (int i = 0; i < n; ++i) {
        double r = 0.0;
        for (int j = 0; j < n; ++j) r += m.ratemat[i][j];
        EXPECT_NEAR(r, 0.0, 1e-15);
        rate -= m.freqs[i] * m.ratemat[i][i];
    }
    EXPECT_NEAR(rate, 0.01, 1e-15);

    m.settime(0.0);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) EXPECT_NEAR(m.probmat[i][j], i == j ? 1.0 : 0.0, 1e-12);

    for (double t : {0.1, 1.0, 10.0, 100.0, 1000.0}) {
        m.settime(t);
        for (int i = 0; i < n; ++i) {
            double r = 0.0;
            for (int j = 0; j < n; ++j) {
                r += m.probmat[i][j];
                EXPECT_NEAR(m.freqs[i] * m.probmat[i][j], m.freqs[j] * m.probmat[j][i], 1e-14)
                    << "t=" << t << " i=" << i << " j=" << j;
            }
            EXPECT_NEAR(r, 1.0, 1e-12) << "t=" << t << " row " << i;
        }
    }

    // Chapman-Kolmogorov.
    for (auto st :
         std::vector<std::pair<double, double>>{{0.5, 2.0}, {7.0, 30.0}, {100.0, 250.0}}) {
        substmodel a = m, b = m, c = m;
        a.settime(st.first);
        b.settime(st.second);
        c.settime(st.first + st.second);
        std::vector<double> ab = matmul(a.probmat, b.probmat);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) EXPECT_NEAR(ab[i * n + j], c.probmat[i][j], 1e-12);
    }

    m.settime(1e6);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) EXPECT_NEAR(m.probmat[i][j], m.freqs[j] / fsum, 1e-9);
}

TEST_P(SubstKinds, BuildsWithoutWarnings) {
    const Kind k = GetParam();
    ChildResult r = run_in_child([k] {
        substmodel m = build(k);
        m.settime(25.0);
        std::vector<double> p = k.params;
        if (!p.empty()) {
            for (double& x : p) x *= 1.5;
            m.setparams(p);
        }
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(SubstAll, SubstKinds, ::testing::ValuesIn(all_kinds()),
                         [](const ::testing::TestParamInfo<Kind>& i) {
                             return std::string(i.param.name);
                         });

// Closed forms.
struct ClosedCase {
    const char* name;
    subarch m;
    std::vector<double> params;
    std::vector<double> freqs;
    double t;
    std::function<double(int, int, double)> p;
};

double jc(int i, int j, double t) {
    const double e = std::exp(-t / 75.0);
    return i == j ? 0.25 + 0.75 * e : 0.25 - 0.25 * e;
}

std::function<double(int, int, double)> k2p(double R) {
    return [R](int i, int j, double t) {
        const double alpha = 0.01 * R / (R + 1.0), beta = 0.005 / (R + 1.0);
        const double e1 = std::exp(-4.0 * beta * t), e2 = std::exp(-2.0 * (alpha + beta) * t);
        if (i == j) return 0.25 + 0.25 * e1 + 0.5 * e2;
        if ((i ^ j) == 2) return 0.25 + 0.25 * e1 - 0.5 * e2;  // A-G, C-T
        return 0.25 - 0.25 * e1;
    };
}

std::function<double(int, int, double)> f81(std::vector<double> f) {
    return [f](int i, int j, double t) {
        double h = 0.0;
        for (double x : f) h += x * x;
        const double e = std::exp(-0.01 / (1.0 - h) * t);
        return f[j] * (1.0 - e) + (i == j ? e : 0.0);
    };
}

TEST(SubstClosedForms, MatchWithinTolerance) {
    const std::vector<double> eq(4, 0.25);
    const std::vector<ClosedCase> cases = {
        {"JC69 t=1", JC69, {}, eq, 1.0, jc},
        {"JC69 t=0.01", JC69, {}, eq, 0.01, jc},
        {"JC69 t=300", JC69, {}, eq, 300.0, jc},
        {"K2P R=2 t=10", KIMURA2P, {2.0}, eq, 10.0, k2p(2.0)},
        {"K2P R=0.5 t=40", KIMURA2P, {0.5}, eq, 40.0, k2p(0.5)},
        {"K2P R=9 t=3", KIMURA2P, {9.0}, eq, 3.0, k2p(9.0)},
        {"HKY equal freqs R=4 t=17", HKY, {4.0}, {1, 1, 1, 1}, 17.0, k2p(4.0)},
        {"K3P y=1 R=3 t=12", KIMURA3P, {3.0, 1.0}, eq, 12.0, k2p(3.0)},
        {"F81 t=10", FEL81, {}, {0.1, 0.2, 0.3, 0.4}, 10.0, f81({0.1, 0.2, 0.3, 0.4})},
        {"F81 t=123", FEL81, {}, {0.05, 0.45, 0.3, 0.2}, 123.0, f81({0.05, 0.45, 0.3, 0.2})},
    };
    for (const ClosedCase& c : cases) {
        std::vector<double> f = c.freqs, p = c.params;
        substmodel m(NUC, c.m, f, p);
        m.settime(c.t);
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j)
                EXPECT_NEAR(m.probmat[i][j], c.p(i, j, c.t), 1e-12) << c.name;
    }
}

TEST(SubstClosedForms, ValuesComputedIndependently) {
    // JC69 at t = 1; TAMNEI and GENREV rows from a separate eigen solver.
    substmodel jc69;
    EXPECT_NEAR(jc69.probmat[0][0], 0.990066371355, 1e-12);
    EXPECT_NEAR(jc69.probmat[0][1], 0.003311209548, 1e-12);

    std::vector<double> f = {0.4, 0.2, 0.2, 0.2}, p = {1.0, 3.0};
    substmodel tn(NUC, TAMNEI, f, p);
    tn.settime(5.0);
    for (int j = 1; j < 4; ++j) EXPECT_NEAR(tn.probmat[0][j], 0.0110468341, 1e-10);
    const double rowc[4] = {0.0220936683, 0.934821401, 0.0110468341, 0.0320380966};
    for (int j = 0; j < 4; ++j) EXPECT_NEAR(tn.probmat[1][j], rowc[j], 1e-9);

    f = {0.1, 0.2, 0.3, 0.4};
    p = {1, 2, 3, 4, 5, 6};
    substmodel gr(NUC, GENREV, f, p);
    gr.settime(7.0);
    const double rowa[4] = {0.9562414933, 0.0046321055, 0.0132477199, 0.0258786813};
    for (int j = 0; j < 4; ++j) EXPECT_NEAR(gr.probmat[0][j], rowa[j], 1e-10);
}

// KIMURA3P with unequal transition rates, A-G at 2/3 and C-T at 4/3 of the
// transversions. Reference values from tests/models/kimura3p_reference.py
// (the rate matrix in exact rationals, exp(Qt) by its Taylor series).
TEST(SubstClosedForms, Kimura3pKeepsItsTwoTransitionsApart) {
    struct Case {
        double t;
        double p[4][4];
    } cases[] = {
        {7.0,
         {{0.940307453453504, 0.022277545063597, 0.015137456419302, 0.022277545063597},
          {0.022277545063597, 0.926137484809837, 0.022277545063597, 0.029307425062969},
          {0.015137456419302, 0.022277545063597, 0.940307453453504, 0.022277545063597},
          {0.022277545063597, 0.029307425062969, 0.022277545063597, 0.926137484809837}}},
        {60.0,
         {{0.619040800545601, 0.137667758970695, 0.105623681513009, 0.137667758970695},
          {0.137667758970695, 0.558952601463604, 0.137667758970695, 0.165711880595006},
          {0.105623681513009, 0.137667758970695, 0.619040800545601, 0.137667758970695},
          {0.137667758970695, 0.165711880595006, 0.137667758970695, 0.558952601463604}}},
    };
    std::vector<double> f = {0.1, 0.2, 0.3, 0.4}, p = {0.5, 2.0};
    substmodel m(NUC, KIMURA3P, f, p);
    for (const Case& c : cases) {
        m.settime(c.t);
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j)
                EXPECT_NEAR(m.probmat[i][j], c.p[i][j], 1e-12) << "t " << c.t << " " << i << j;
    }
}

TEST(SubstRateMatrix, JukesCantorEntries) {
    substmodel m;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            EXPECT_NEAR(m.ratemat[i][j], i == j ? -0.01 : 1.0 / 300.0, 1e-18);
}

TEST(SubstRateMatrix, ScaleOfExchangeabilitiesCancels) {
    std::vector<double> f = {0.1, 0.2, 0.3, 0.4}, p = {1, 2, 3, 4, 5, 6}, p2(6), p3(6);
    for (int i = 0; i < 6; ++i) {
        p2[i] = 2.0 * p[i];
        p3[i] = 3.0 * p[i];
    }
    substmodel a(NUC, GENREV, f, p), b(NUC, GENREV, f, p2), c(NUC, GENREV, f, p3);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            EXPECT_EQ(a.ratemat[i][j], b.ratemat[i][j]);  // a power of two is exact
            EXPECT_EQ(a.probmat[i][j], b.probmat[i][j]);
            EXPECT_NEAR(a.probmat[i][j], c.probmat[i][j], 1e-13);
        }
}

TEST(SubstRateMatrix, Kimura2pAtHalfEqualsJukesCantor) {
    std::vector<double> f(4, 0.25), p = {0.5}, none;
    substmodel k(NUC, KIMURA2P, f, p), j(NUC, JC69, f, none);
    for (double t : {1.0, 33.0}) {
        k.settime(t);
        j.settime(t);
        for (int a = 0; a < 4; ++a)
            for (int b = 0; b < 4; ++b) EXPECT_NEAR(k.probmat[a][b], j.probmat[a][b], 1e-15);
    }
}

TEST(SubstRateMatrix, ExchangeabilityBuilders) {
    substmodel m;
    m.model = TAMNEI;
    m.params = {1.0, 3.0};
    m.tamneimod();
    EXPECT_EQ(m.ratemat[0][2], 1.0);
    EXPECT_EQ(m.ratemat[2][0], 1.0);
    EXPECT_EQ(m.ratemat[1][3], 3.0);
    EXPECT_EQ(m.ratemat[0][1], 1.0);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(m.ratemat[i][i], 0.0);

    m.params = {1, 2, 3, 4, 5, 6};
    m.genrevmod();
    const double s[4][4] = {{0, 1, 2, 3}, {1, 0, 4, 5}, {2, 4, 0, 6}, {3, 5, 6, 0}};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_EQ(m.ratemat[i][j], s[i][j]);

    std::vector<double> f = aa_freqs(), p = lcg_values(190, 5, 0.1, 2.0);
    substmodel mv(AA, MV2000, f, p);
    mv.mv2000mod();
    int k = 0;
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(mv.ratemat[i][i], 0.0);
        for (int j = i + 1; j < 20; ++j, ++k) {
            EXPECT_EQ(mv.ratemat[i][j], p[k]);
            EXPECT_EQ(mv.ratemat[j][i], p[k]);
        }
    }
}

// Construction, queries and setters.
TEST(SubstConstruct, FrequenciesNormalisedOrReplaced) {
    std::vector<double> f = {4, 2, 2, 2}, one = {0.5}, none;
    substmodel h(NUC, HKY, f, one);
    EXPECT_DOUBLE_EQ(h.freqs[0], 0.4);
    EXPECT_DOUBLE_EQ(h.freqs[1], 0.2);
    substmodel k(NUC, KIMURA2P, f, one);
    for (double x : k.freqs) EXPECT_EQ(x, 0.25);
    std::vector<double> af = aa_freqs();
    substmodel jtt(AA, JTT, af, none);
    EXPECT_EQ(jtt.freqs[0], 0.077);
    EXPECT_EQ(jtt.freqs[19], 0.066);
    std::vector<double> ones(190, 1.0);
    substmodel mv(AA, MV2000, af, ones);
    double s = 0.0;
    for (double x : af) s += x;
    for (int i = 0; i < 20; ++i) EXPECT_EQ(mv.freqs[i], af[i] / s);
}

// Counted frequencies of data that lack a state hold zeros; the kinds with
// their own frequencies build the same model from them.
TEST(SubstConstruct, OwnFrequenciesMakeZeroCountsHarmless) {
    std::vector<double> aa_zero = aa_freqs();
    aa_zero[4] = 0.0;   // C
    aa_zero[17] = 0.0;  // W
    const std::vector<double> nuc_zero = {0.5, 0.0, 0.0, 0.5};
    for (const Kind& k : all_kinds()) {
        if (k.m != KIMURA2P && k.m != KIMURA3P && k.m != JC69 && k.m != JTT && k.m != DAYHOFF &&
            k.m != MTREV24 && k.m != BLOSUM62)
            continue;
        SCOPED_TRACE(k.name);
        std::vector<double> zero = k.a == NUC ? nuc_zero : aa_zero, p = k.params;
        const substmodel ref = build(k);
        const substmodel m(k.a, k.m, zero, p);
        EXPECT_EQ(m.freqs, ref.freqs);
        EXPECT_EQ(m.params, ref.params);
        const substmodel m3(k.a, k.m, zero);
        EXPECT_EQ(m3.freqs, ref.freqs);
        const int n = k.a;
        EXPECT_TRUE(std::equal(m.probmat.data(), m.probmat.data() + n * n, ref.probmat.data()));
        EXPECT_TRUE(std::equal(m3.probmat.data(), m3.probmat.data() + n * n, ref.probmat.data()));
    }
}

TEST(SubstConstruct, OtherConstructors) {
    substmodel d;
    EXPECT_EQ(d.model, JC69);
    EXPECT_EQ(d.alf, 4);
    EXPECT_EQ(d.logalf, 15);
    EXPECT_EQ(d.timeOf(), 1.0);
    substmodel a20(AA);
    EXPECT_EQ(a20.model, DAYHOFF);
    EXPECT_EQ(a20.retalf(), 20);
    EXPECT_EQ(a20.logalf, 23);
    substmodel a4(NUC);
    EXPECT_EQ(a4.model, JC69);

    std::vector<double> f = {1, 2, 3, 4};
    substmodel g(NUC, GENREV, f);
    std::vector<double> out;
    EXPECT_EQ(g.paramsOf(out), GENREV);
    EXPECT_EQ(out, std::vector<double>(6, 1.0));
    EXPECT_DOUBLE_EQ(g.freqs[3], 0.4);
    substmodel t(NUC, TAMNEI, f);
    t.paramsOf(out);
    EXPECT_EQ(out, (std::vector<double>{0.5, 1.0}));
    substmodel k2(NUC, KIMURA2P, f);
    k2.paramsOf(out);
    EXPECT_EQ(out, std::vector<double>{0.5});
    k2.freqsOf(out);
    EXPECT_EQ(out, std::vector<double>(4, 0.25));
}

TEST(SubstConstruct, KindWithoutFrequenciesIsReplacedWithNoteOnStdout) {
    struct Case {
        alphsize a;
        subarch asked, got;
        std::vector<double> params;
        std::string out;
    };
    const std::vector<Case> cases = {
        {NUC,
         GENREV,
         KIMURA3P,
         {0.5, 1.0},
         "The Tamura Nei model and the general reversible model\nneed base frequencies. Kimura3P "
         "will be used instead.\n"},
        {NUC,
         TAMNEI,
         KIMURA3P,
         {0.5, 1.0},
         "The Tamura Nei model and the general reversible model\nneed base frequencies. Kimura3P "
         "will be used instead.\n"},
        {NUC,
         HKY,
         KIMURA2P,
         {0.5},
         "The HKY model needs base frequencies.\nKimura2P will be used instead.\n"},
        {NUC,
         FEL81,
         JC69,
         {},
         "The Felsenstein model needs base frequencies.\nThe Jukes Cantor model will be used "
         "instead.\n"},
        {AA,
         MV2000,
         DAYHOFF,
         {},
         "The general reversible model for proteins needs amino acid frequencies.\n"
         "The Dayhoff model will be used instead.\n"},
        {NUC, KIMURA3P, KIMURA3P, {0.5, 1.0}, ""},
        {NUC, KIMURA2P, KIMURA2P, {0.5}, ""},
        {NUC, JC69, JC69, {}, ""},
        {AA, BLOSUM62, BLOSUM62, {}, ""},
    };
    for (const Case& c : cases) {
        ChildResult r = run_in_child([&c] {
            substmodel m(c.a, c.asked);
            std::vector<double> p;
            if (m.paramsOf(p) != c.got || p != c.params) _exit(3);
        });
        EXPECT_EQ(r.status, 0) << c.asked;
        EXPECT_EQ(r.out, c.out) << c.asked;
        EXPECT_EQ(r.err, "") << c.asked;
    }
}

TEST(SubstConstruct, ParameterNotesOnStderr) {
    struct Case {
        alphsize a;
        subarch m;
        std::vector<double> params;
        std::vector<double> expect;
        std::string err;
    };
    const std::vector<Case> cases = {
        {NUC,
         GENREV,
         {1, 2, 3, 4, 5},
         std::vector<double>(6, 1.0),
         "The general reversible model uses six rate parameters.\nBy default each rate is set to "
         "1.0.\n"},
        {NUC,
         TAMNEI,
         {1.0},
         {0.5, 1.0},
         "The Tamura Nei and the K3P model use two rate parameters.\nBy default they are set to "
         "0.5 and 1.0.\n"},
        {NUC,
         KIMURA3P,
         {},
         {0.5, 1.0},
         "The Tamura Nei and the K3P model use two rate parameters.\nBy default they are set to "
         "0.5 and 1.0.\n"},
        {NUC,
         HKY,
         {1.0, 2.0},
         {0.5},
         "The HKY and the K2P model use only one rate parameter.\nThe program will use the default "
         "value 0.5.\n"},
        {NUC,
         KIMURA2P,
         {},
         {0.5},
         "The HKY and the K2P model use only one rate parameter.\nThe program will use the default "
         "value 0.5.\n"},
        {NUC,
         JC69,
         {1.0},
         {},
         "The Felsenstein model and the Jukes Cantor do not use\nany rate parameters. They will be "
         "ignored!\n"},
        {NUC,
         FEL81,
         {1.0, 2.0},
         {},
         "The Felsenstein model and the Jukes Cantor do not use\nany rate parameters. They will be "
         "ignored!\n"},
        {AA,
         MV2000,
         {1.0},
         std::vector<double>(190, 1.0),
         "The general reversible model for amino acids uses 190 rate parameters.\nBy default each "
         "rate is set to 1.0.\n"},
        {AA, JTT, {1.0, 2.0}, {}, ""},
        {NUC, GENREV, {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}, ""},
        {NUC, HKY, {2.0}, {2.0}, ""},
    };
    for (const Case& c : cases) {
        ChildResult r = run_in_child([&c] {
            std::vector<double> f = (c.a == NUC) ? nuc_freqs() : aa_freqs();
            std::vector<double> p = c.params, out;
            substmodel m(c.a, c.m, f, p);
            if (m.paramsOf(out) != c.m || out != c.expect) _exit(3);
        });
        EXPECT_EQ(r.status, 0) << c.m;
        EXPECT_EQ(r.err, c.err) << c.m;
        EXPECT_EQ(r.out, "") << c.m;
    }
}

TEST(SubstConstruct, SetparamsKeepsTimeAndRebuilds) {
    std::vector<double> f = nuc_freqs(), p = {1.0}, q = {3.0};
    substmodel m(NUC, HKY, f, p);
    m.settime(12.5);
    m.setparams(q);
    EXPECT_EQ(m.timeOf(), 12.5);
    substmodel fresh(NUC, HKY, f, q);
    fresh.settime(12.5);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_EQ(m.probmat[i][j], fresh.probmat[i][j]);
}

TEST(SubstConstruct, SetfreqsNormalisesAndRebuilds) {
    std::vector<double> f = nuc_freqs(), g = {2, 2, 4, 8}, p = {1, 2, 3, 4, 5, 6};
    substmodel m(NUC, GENREV, f, p);
    m.setfreqs(g);
    EXPECT_EQ(m.freqs[3], 0.5);
    substmodel fresh(NUC, GENREV, g, p);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_EQ(m.probmat[i][j], fresh.probmat[i][j]);
}

TEST(SubstConstruct, CopiesAreIndependent) {
    std::vector<double> f = aa_freqs(), none;
    substmodel a(AA, JTT, f, none);
    a.settime(3.0);
    const double before = a.probmat[2][5];
    const double lbefore = a.logProb_ij(2, 5);
    substmodel b = a;
    b.settime(40.0);
    EXPECT_EQ(a.probmat[2][5], before);
    EXPECT_EQ(a.logProb_ij(2, 5), lbefore);
    EXPECT_NE(b.probmat[2][5], before);
    substmodel c;
    c = b;
    EXPECT_EQ(c.alf, 20);
    EXPECT_EQ(c.probmat[2][5], b.probmat[2][5]);
}

TEST(SubstConstruct, SettimeIsRepeatable) {
    std::vector<double> f = aa_freqs(), none;
    substmodel a(AA, BLOSUM62, f, none);
    a.settime(17.0);
    std::vector<double> first(a.probmat.data(), a.probmat.data() + 400);
    a.settime(2.0);
    a.settime(17.0);
    for (int k = 0; k < 400; ++k) EXPECT_EQ(a.probmat.data()[k], first[k]);
    // At t = 0 the probabilities are non-negative.
    a.settime(0.0);
    for (int k = 0; k < 400; ++k) EXPECT_GE(a.probmat.data()[k], 0.0);
}

// Fatal conditions.
struct FatalCase {
    const char* name;
    std::function<void()> fn;
    std::string err;
};

void expect_fatal(const std::vector<FatalCase>& cases) {
    for (const FatalCase& c : cases) EXPECT_TRUE(ends_fatally(c.fn, c.err)) << c.name;
}

TEST(SubstFatal, ConstructorChecks) {
    const double nan = std::nan("");
    expect_fatal({
        {"3 freqs",
         [] {
             std::vector<double> f = {0.3, 0.3, 0.4}, p;
             substmodel m(NUC, JC69, f, p);
         },
         "The data type has 4 states,\nyet there are only 3 frequencies.\n"},
        {"5 freqs",
         [] {
             std::vector<double> f = {0.2, 0.2, 0.2, 0.2, 0.2}, p;
             substmodel m(NUC, HKY, f, p);
         },
         "The data type has 4 states,\nyet there are only 5 frequencies.\n"},
        {"19 freqs, 3-argument form",
         [] {
             std::vector<double> f(19, 0.05);
             substmodel m(AA, JTT, f);
         },
         "The data type has 20 states,\nyet there are only 19 frequencies.\n"},
        {"zero under TAMNEI",
         [] {
             std::vector<double> f = {0.5, 0.0, 0.25, 0.25}, p = {0.5, 1.0};
             substmodel m(NUC, TAMNEI, f, p);
         },
         "The frequency of at least one state is not positive.\n"},
        {"zero under MV2000",
         [] {
             std::vector<double> f = aa_freqs(), p(190, 1.0);
             f[17] = 0.0;
             substmodel m(AA, MV2000, f, p);
         },
         "The frequency of at least one state is not positive.\n"},
        {"zero, 3-argument form",
         [] {
             std::vector<double> f = {0.5, 0.25, 0.0, 0.25};
             substmodel m(NUC, HKY, f);
         },
         "The frequency of at least one state is not positive.\n"},
        {"subnormal",
         [] {
             std::vector<double> f = {0.5, 1e-310, 0.25, 0.25}, p;
             substmodel m(NUC, FEL81, f, p);
         },
         "The frequency of at least one state is not positive.\n"},
        {"NaN",
         [nan] {
             std::vector<double> f = {0.5, nan, 0.25, 0.25}, p;
             substmodel m(NUC, GENREV, f, p);
         },
         "The frequency of at least one state is not positive.\n"},
        {"infinity",
         [] {
             std::vector<double> f = {0.5, HUGE_VAL, 0.25, 0.25}, p;
             substmodel m(NUC, HKY, f, p);
         },
         "The frequency of at least one state is not positive.\n"},
        {"SH94",
         [] {
             std::vector<double> f = aa_freqs(), p;
             substmodel m(AA, SH94, f, p);
         },
         "Unknown substitution model\n"},
        {"SH94 two-argument", [] { substmodel m(AA, SH94); }, "Unknown substitution model\n"},
        {"HKY on 20 states, no note",
         [] {
             std::vector<double> f = aa_freqs(), p = {0.5};
             substmodel m(AA, HKY, f, p);
         },
         "You were trying to analyse amino acid sequences\nwith an inadequate substitution "
         "model.\n"},
        {"GENREV on 20 states, note first",
         [] {
             std::vector<double> f = aa_freqs(), p;
             substmodel m(AA, GENREV, f, p);
         },
         "The general reversible model uses six rate parameters.\nBy default each rate is set to "
         "1.0.\n"
         "You were trying to analyse amino acid sequences\nwith an inadequate substitution "
         "model.\n"},
        {"JTT on 4 states",
         [] {
             std::vector<double> f = nuc_freqs(), p;
             substmodel m(NUC, JTT, f, p);
         },
         "You were trying to analyse nucleotide sequences\nwith an inadequate substitution "
         "model.\n"},
        {"alphabet size 5", [] { substmodel m(static_cast<alphsize>(5)); }, "Unknown alphabet 5\n"},
        {"NaN exchangeability never converges",
         [nan] {
             std::vector<double> f = nuc_freqs(), p = {1, nan, 1, 1, 1, 1};
             substmodel m(NUC, GENREV, f, p);
         },
         "\n\n\nHALT: PLEASE REPORT ERROR B TO DEVELOPERS\n\n\n"},
    });
}

TEST(SubstFatal, SettersAndBuilders) {
    expect_fatal({
        {"setparams length",
         [] {
             std::vector<double> f = nuc_freqs(), p = {0.5}, q = {0.5, 1.0};
             substmodel m(NUC, HKY, f, p);
             m.setparams(q);
         },
         "Inadequate number of parameters in function setparams\n"},
        {"setfreqs on JC69",
         [] {
             substmodel m;
             std::vector<double> f = nuc_freqs();
             m.setfreqs(f);
         },
         "You were trying to change the base or amino acid frequencies\n"},
        {"setfreqs count",
         [] {
             std::vector<double> f = nuc_freqs(), p, g = {1, 1, 1};
             substmodel m(NUC, FEL81, f, p);
             m.setfreqs(g);
         },
         "The data type has 4 states,\nyet there are only 3 frequencies.\n"},
        {"setfreqs zero",
         [] {
             std::vector<double> f = nuc_freqs(), p, g = {1, 0, 1, 1};
             substmodel m(NUC, FEL81, f, p);
             m.setfreqs(g);
         },
         "The frequency of at least one state is not positive.\n"},
        {"genrevmod",
         [] {
             substmodel m;
             m.params = {1, 2};
             m.genrevmod();
         },
         "The general reversible model needs six parameters,\nyet there are 2\n"},
        {"tamneimod",
         [] {
             substmodel m;
             m.tamneimod();
         },
         "The Tamura Nei model needs two parameters,\nyet there are 0\n"},
        {"hkymod",
         [] {
             substmodel m;
             m.hkymod();
         },
         "The HKY model needs one parameter,\nyet there are 0\n"},
        {"kimura2mod",
         [] {
             substmodel m;
             m.params = {1, 2, 3};
             m.kimura2mod();
         },
         "The Kimura 2 parameter model needs one parameter,\nyet there are 3\n"},
        {"kimura3mod",
         [] {
             substmodel m;
             m.kimura3mod();
         },
         "The Kimura 3 parameter model needs two parameters,\nyet there are 0\n"},
        {"mv2000mod",
         [] {
             substmodel m(AA);
             m.params = {1};
             m.mv2000mod();
         },
         "The general reversible model for amino acids needs 190 parameters,\nyet there are 1\n"},
        {"distribution size",
         [] {
             substmodel m;
             m.freqs.resize(3);
             m.tranprobmat();
         },
         "Alphabet has size 4,\nbut the distribution has  3 states!\n"},
        {"row of eigenvectors zero in single precision",
         [] {
             substmodel m;
             for (int j = 0; j < 4; ++j) m.evecs[1][j] = 1e-50;
             m.luinverse();
         },
         "\n\n\nHALT: PLEASE REPORT ERROR C TO DEVELOPERS\n\n\n"},
        {"zero row of eigenvectors",
         [] {
             substmodel m;
             for (int j = 0; j < 4; ++j) m.evecs[2][j] = 0.0;
             m.luinverse();
         },
         "\n\n\nHALT: PLEASE REPORT ERROR C TO DEVELOPERS\n\n\n"},
    });
}

TEST(SubstWarnings, ResidualAndInverseChecks) {
    ChildResult r = run_in_child([] {
        substmodel m;
        m.evecs[0][1] += 0.01;  // no longer an inverse of ievecs
        m.checkevector();
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "\nWARNING: Inversion of eigenvector matrix not perfect!\n");
}

// Inversion on matrices that need row exchanges.
TEST(SubstInverse, LuInverseWithPivoting) {
    const std::vector<std::vector<double>> mats = {
        {0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 1, 0, 0, 0},  // cyclic permutation
        {0, 2, 1, 3, 4, 1, 0, 2, 1, 3, 5, 0, 2, 0, 1, 1},  // dense, zero first pivot
        {1, 2, 3, 4, 2, 1, 1, 0, 3, 1, 4, 1, 0, 2, 1, 5},  // first non-zero in row 0
        {1e-3, 5, 0, 0, 7, 1e-4, 2, 0, 0, 3, 1e-5, 9, 4, 0, 6, 1e-6},
        {1, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 1, 0},  // identity with a swap
    };
    for (const auto& v : mats) {
        substmodel m;
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) m.evecs[i][j] = v[i * 4 + j];
        m.luinverse();
        std::vector<double> a = matmul(m.evecs, m.ievecs), b = matmul(m.ievecs, m.evecs);
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) {
                EXPECT_NEAR(a[i * 4 + j], i == j ? 1.0 : 0.0, 1e-13) << v[1] << " " << i << j;
                EXPECT_NEAR(b[i * 4 + j], i == j ? 1.0 : 0.0, 1e-13) << v[1] << " " << i << j;
            }
    }
}

TEST(SubstInverse, KnownInverse) {
    // Inverse of [[0,2,1,3],[4,1,0,2],[1,3,5,0],[2,0,1,1]] by exact rational
    // arithmetic, times 68.
    const double inv68[16] = {-11, 16, 2, 1, 2, 28, 12, -62, 1, -20, 6, 37, 21, -12, -10, 29};
    substmodel m;
    const double v[16] = {0, 2, 1, 3, 4, 1, 0, 2, 1, 3, 5, 0, 2, 0, 1, 1};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) m.evecs[i][j] = v[i * 4 + j];
    m.luinverse();
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_NEAR(m.ievecs[i][j], inv68[i * 4 + j] / 68.0, 1e-14);
}

// The QR routine on a matrix with complex eigenvalues.
TEST(SubstEigen, ComplexPairsFromHqr2) {
    substmodel m;
    // Block upper triangular: a rotation-like 2x2 block (eigenvalues 1 +- 2i)
    // and a 2x2 block with eigenvalues 3 and -1, mixed by a similarity.
    const double v[16] = {1, -2, 0.5, 0.25, 2, 1, -0.75, 1.5, 0, 0, 1, 2, 0, 0, 2, 1};
    double** a = new_dmatrix(4, 4);
    double* wi = new_dvector(4);
    int* perm = new_ivector(4);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) a[i][j] = v[i * 4 + j];
    m.elmhes(a, perm, 4);
    m.eltran(a, perm, 4);
    m.hqr2(4, 1, 4, a, wi);
    int complex_seen = 0;
    for (int k = 0; k < 4; ++k) {
        if (wi[k] > 0) {
            ++complex_seen;
            // Vector u + i w in columns k and k + 1 for evals[k] + i wi[k].
            for (int r = 0; r < 4; ++r) {
                double au = 0, aw = 0;
                for (int c = 0; c < 4; ++c) {
                    au += v[r * 4 + c] * m.evecs[c][k];
                    aw += v[r * 4 + c] * m.evecs[c][k + 1];
                }
                EXPECT_NEAR(au, m.evals[k] * m.evecs[r][k] - wi[k] * m.evecs[r][k + 1], 1e-12);
                EXPECT_NEAR(aw, wi[k] * m.evecs[r][k] + m.evals[k] * m.evecs[r][k + 1], 1e-12);
            }
            EXPECT_NEAR(m.evals[k], 1.0, 1e-12);
            EXPECT_NEAR(wi[k], 2.0, 1e-12);
            EXPECT_EQ(m.evals[k + 1], m.evals[k]);
            EXPECT_EQ(wi[k + 1], -wi[k]);
        } else if (wi[k] == 0) {
            for (int r = 0; r < 4; ++r) {
                double av = 0;
                for (int c = 0; c < 4; ++c) av += v[r * 4 + c] * m.evecs[c][k];
                EXPECT_NEAR(av, m.evals[k] * m.evecs[r][k], 1e-12);
            }
            EXPECT_TRUE(std::fabs(m.evals[k] - 3.0) < 1e-12 || std::fabs(m.evals[k] + 1.0) < 1e-12);
        }
    }
    EXPECT_EQ(complex_seen, 1);
    free_ivector(perm);
    free_dvector(wi);
    free_dmatrix(a);
}

// A V = V diag(evals) for the real and complex eigenpairs of a general
// matrix, relative to the sizes of A and of the vector.
void check_general_eigensystem(const std::vector<double>& v, int n, int& complex_pairs) {
    substmodel m(n == 4 ? NUC : AA);
    double** a = new_dmatrix(n, n);
    double* wi = new_dvector(n);
    int* perm = new_ivector(n);
    double anorm = 0.0;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            a[i][j] = v[i * n + j];
            anorm = std::fmax(anorm, std::fabs(v[i * n + j]));
        }
    m.elmhes(a, perm, n);
    m.eltran(a, perm, n);
    m.hqr2(n, 1, n, a, wi);
    complex_pairs = 0;
    for (int k = 0; k < n; ++k) {
        const bool cplx = wi[k] != 0.0;
        const double im = cplx ? wi[k] : 0.0;
        const int kr = (cplx && wi[k] < 0) ? k - 1 : k;  // real part column
        if (cplx && wi[k] > 0) ++complex_pairs;
        double vnorm = 0.0;
        for (int r = 0; r < n; ++r) {
            vnorm = std::fmax(vnorm, std::fabs(m.evecs[r][kr]));
            if (cplx) vnorm = std::fmax(vnorm, std::fabs(m.evecs[r][kr + 1]));
        }
        ASSERT_GT(vnorm, 0.0);
        for (int r = 0; r < n; ++r) {
            double au = 0, aw = 0;
            for (int c = 0; c < n; ++c) {
                au += v[r * n + c] * m.evecs[c][kr];
                if (cplx) aw += v[r * n + c] * m.evecs[c][kr + 1];
            }
            const double ur = m.evecs[r][kr], wr = cplx ? m.evecs[r][kr + 1] : 0.0;
            const double lam = m.evals[k], mu = (cplx && wi[k] < 0) ? -im : im;
            const double tol = 1e-11 * n * anorm * vnorm;
            EXPECT_NEAR(au, lam * ur - mu * wr, tol) << n << " k=" << k << " r=" << r;
            if (cplx) {
                EXPECT_NEAR(aw, mu * ur + lam * wr, tol) << n << " k=" << k << " r=" << r;
            }
        }
    }
    free_ivector(perm);
    free_dvector(wi);
    free_dmatrix(a);
}

TEST(SubstEigen, GeneralMatrices) {
    struct Case {
        int n;
        std::vector<double> v;
        bool expect_complex;
    };
    std::vector<double> sparse = lcg_values(400, 21, -1.0, 1.0);
    for (size_t k = 0; k < sparse.size(); ++k)
        if (k % 3 != 0) sparse[k] = 0.0;
    std::vector<double> upper(400, 0.0);  // triangular: nothing to reduce
    for (int i = 0; i < 20; ++i)
        for (int j = i; j < 20; ++j) upper[i * 20 + j] = 1.0 + ((i * 7 + j) % 5);
    for (int i = 0; i < 20; ++i) upper[i * 21] = i + 1.0;
    const std::vector<Case> cases = {
        {4, lcg_values(16, 2, -1.0, 1.0), false},
        {20, lcg_values(400, 8, -1.0, 1.0), true},
        {20, lcg_values(400, 9, 0.0, 1.0), true},
        {20, sparse, true},
        {20, upper, false},
    };
    for (const Case& c : cases) {
        int pairs = 0;
        check_general_eigensystem(c.v, c.n, pairs);
        if (c.expect_complex) {
            EXPECT_GT(pairs, 0);
        }
    }
}

TEST(SubstEigen, ElmhesSkipsPivotsThatRoundToZero) {
    // A pivot of 1e-50 is zero in single precision: the column is left alone.
    for (double tiny : {1e-50, 1e-30}) {
        substmodel m;
        double** a = new_dmatrix(4, 4);
        int* perm = new_ivector(4);
        const double v[16] = {1, 2, 3, 4, tiny, 1, 2, 3, tiny, 5, 1, 2, tiny, 1, 3, 1};
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) a[i][j] = v[i * 4 + j];
        m.elmhes(a, perm, 4);
        if (tiny == 1e-50) {
            EXPECT_EQ(a[2][0], tiny);
            EXPECT_EQ(a[3][0], tiny);
        } else {
            EXPECT_EQ(a[2][0], 1.0);  // multiplier tiny / tiny
            EXPECT_EQ(a[3][0], 1.0);
        }
        free_ivector(perm);
        free_dmatrix(a);
    }
}

TEST(SubstEigen, SinglePrecisionZeroThresholds) {
    EXPECT_TRUE(sp_iszero(0.0));
    EXPECT_TRUE(sp_iszero(-0.0));
    EXPECT_TRUE(sp_iszero(1e-46));
    EXPECT_TRUE(sp_iszero(0x1p-150));
    EXPECT_TRUE(sp_iszero(-0x1p-150));
    EXPECT_FALSE(sp_iszero(1.5 * 0x1p-150));
    EXPECT_FALSE(sp_iszero(std::nan("")));
    EXPECT_FALSE(sp_isnegative(-1e-46));
    EXPECT_TRUE(sp_isnegative(-1.5 * 0x1p-150));
    EXPECT_FALSE(sp_isnegative(std::nan("")));
    // Agrees with rounding to float where the cast is defined.
    for (double x : {0x1p-151, 0x1p-150, 0x1.0000001p-150, 0x1p-149, 1e-45, 3e-40, 1.0}) {
        EXPECT_EQ(sp_iszero(x), static_cast<float>(x) == 0.0f) << x;
        EXPECT_EQ(sp_isnegative(-x), static_cast<float>(-x) < 0.0f) << x;
    }
}

}  // namespace

namespace {

// Bit patterns of doubles, folded with FNV-1a (bytes from the lowest up).
struct bithash {
    std::uint64_t h = 0xcbf29ce484222325ull;
    void add(double x) {
        std::uint64_t b;
        std::memcpy(&b, &x, sizeof b);
        for (int k = 0; k < 8; ++k) {
            h ^= (b >> (8 * k)) & 0xffu;
            h *= 0x100000001b3ull;
        }
    }
    void add(const sqmatrix& m) {
        for (int i = 0; i < m.size() * m.size(); ++i) add(m.data()[i]);
    }
};

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Expected values below come from a separate transliteration of the
// published EISPACK routines and of Crout's inversion, run in IEEE double
// arithmetic without fused operations.
TEST(SubstBits, GenrevDecompositionAndProbabilities) {
    const double evals[4] = {0x0.0p+0, -0x1.cd863942ef825p-8, -0x1.1ae078d913b4ep-6,
                             -0x1.bac96683ae488p-7};
    const double evecs[16] = {
        0x1.46cefa8d9df4ep-1, 0x1.26178c6465ec2p+0,  0x1.65a9ec2803006p-4,  0x1.9748a66140a59p-4,
        0x1.46cefa8d9df4fp-1, -0x1.9aa269872a8c2p-3, 0x1.a3638eda6666ap-3,  0x1.75245f56b8458p-1,
        0x1.46cefa8d9df4cp-1, -0x1.02b48b808a6c6p-3, 0x1.40389bc173507p-1,  -0x1.58c0e98073ef8p-2,
        0x1.46cefa8d9df4ep-1, -0x1.79acf6c99d838p-4, -0x1.2fc4360da361ep-1, -0x1.18107538eaba0p-3};
    const double ievecs[16] = {
        0x1.40da740da741ap-3, 0x1.40da740da741ap-2,  0x1.e147ae147ae1bp-2,  0x1.40da740da740bp-1,
        0x1.8ce16faa60e03p-1, -0x1.1513f7fe2dec2p-2, -0x1.05d82728efe58p-2, -0x1.fdad805b47dd9p-3,
        0x1.0b9d40532f300p-5, 0x1.39cc7cbe7eb21p-3,  0x1.6765de0c3ce9fp-1,  -0x1.c692d1410f895p-1,
        0x1.11e4b995ecebep-4, 0x1.f5ddfc8fe5b8dp-1,  -0x1.5bc391fccadadp-1, -0x1.78ae038bb0f79p-2};
    const double p7[16] = {
        0x1.e9987c29d4dc4p-1, 0x1.2f91d56b8ef20p-8, 0x1.b219ede38d330p-7, 0x1.a7ff0e78ba232p-6,
        0x1.2f91d56b8ef30p-9, 0x1.dbd2f87291c5ep-1, 0x1.a77984c4a89b0p-6, 0x1.5c1a991dd6658p-5,
        0x1.21669e97b378cp-8, 0x1.1a51032dc5be0p-6, 0x1.db0c67b883fa6p-1, 0x1.9de42f0de70c6p-5,
        0x1.a7ff0e78ba21ep-8, 0x1.5c1a991dd6658p-6, 0x1.366b234a6d47ep-5, 0x1.de687ae579041p-1};
    std::vector<double> f = {0.1, 0.2, 0.3, 0.4}, p = {1, 2, 3, 4, 5, 6};
    substmodel m(NUC, GENREV, f, p);
    m.settime(7.0);
    for (int k = 0; k < 4; ++k) EXPECT_TRUE(same_bits(m.evals[k], evals[k])) << k;
    for (int k = 0; k < 16; ++k) {
        EXPECT_TRUE(same_bits(m.evecs.data()[k], evecs[k])) << k;
        EXPECT_TRUE(same_bits(m.ievecs.data()[k], ievecs[k])) << k;
        EXPECT_TRUE(same_bits(m.probmat.data()[k], p7[k])) << k;
    }
}

// Q, the decomposition, P(13), the log table of all code pairs and the log
// frequencies of all codes, hashed.
TEST(SubstBits, WholeModelsHashed) {
    struct Case {
        alphsize a;
        subarch m;
        std::vector<double> f, p;
        double t;
        std::uint64_t hash;
    };
    const std::vector<Case> cases = {
        {AA, JTT, aa_freqs(), {}, 13.0, 0x2219226126a21e4bull},
        {AA, DAYHOFF, aa_freqs(), {}, 13.0, 0xc64d309c473c642full},
        {AA, MTREV24, aa_freqs(), {}, 13.0, 0x79a0dd0103edc455ull},
        {AA, BLOSUM62, aa_freqs(), {}, 13.0, 0x8ad265b178629bb4ull},
        {AA, MV2000, aa_freqs(), lcg_values(190, 11, 0.01, 50.0), 13.0, 0xc482d82b47658f59ull},
        {NUC, HKY, {0.4, 0.2, 0.2, 0.2}, {2.0}, 3.0, 0x490705b1ad2464eaull},
    };
    for (const Case& c : cases) {
        std::vector<double> f = c.f, p = c.p;
        substmodel m(c.a, c.m, f, p);
        m.settime(c.t);
        bithash h;
        h.add(m.ratemat);
        for (double x : m.evals) h.add(x);
        h.add(m.evecs);
        h.add(m.ievecs);
        h.add(m.probmat);
        for (int i = 0; i < m.logalf; ++i)
            for (int j = 0; j < m.logalf; ++j) h.add(m.logProb_ij(i, j));
        for (int i = 0; i < m.logalf; ++i) h.add(m.logfreqofstate(i));
        EXPECT_EQ(h.h, c.hash) << c.m;
    }
}

// elmhes, eltran and hqr2 on general matrices: one needing both exceptional
// shifts (29 iterations for one eigenvalue), one with ties in the pivot
// search, a cyclic permutation, a dense 20 x 20 matrix and two defective ones.
TEST(SubstBits, GeneralEigenproblemsHashed) {
    struct Case {
        const char* name;
        int n;
        std::vector<double> v;
        std::uint64_t hash;
    };
    const std::vector<Case> cases = {
        {"two exceptional shifts",
         4,
         {0, 1, 1, 1, 2, 0, -1, 0, 0, 0, 1, 1, -1, 0, 0, -1},
         0x2675931d99396d12ull},
        {"pivot ties", 4, {2, 1, 3, 1, 1, 4, 1, 2, -1, 2, 5, 1, 1, 1, 2, 3}, 0x59678ac2a2fa803dull},
        {"cyclic", 4, {0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 1, 0, 0, 0}, 0xa9491a39c17b2afdull},
        {"dense", 20, lcg_values(400, 8, -1.0, 1.0), 0x37a1a97b78cdc180ull},
        // Zero denominators in the back-substitution, with overflow control:
        // a triangular matrix with a repeated real eigenvalue and a
        // non-diagonalisable pair of repeated complex eigenvalues.
        {"repeated real",
         4,
         {1, 2, 3, 4, 0, 1, 5, 1, 0, 0, 1, 3, 0, 0, 0, 1},
         0xd15756d549ebcb19ull},
        {"repeated complex",
         4,
         {0, -1, 1, 0, 1, 0, 0, 1, 0, 0, 0, -1, 0, 0, 1, 0},
         0x0ee868665a4e23c5ull},
        // Entries far below the single-precision range count as zero and
        // as non-negative.
        {"tiny entries, zero tests",
         4,
         {1e-47, 1e-47, 1e-47, -1, 1, 1e-47, 1, 0, 1e-47, 2, 1, 0, 0, -1e-50, 1e-47, 1},
         0x662e662d7b784209ull},
        {"tiny entries, sign tests",
         4,
         {1e-50, 1, 1e-47, 1e-50, 1, 0, 0, 1e-47, 1e-50, 2, 0, 0, 0, 1e-47, 0, 2},
         0x3f166dd1de179224ull},
        {"tiny diagonal sum",
         4,
         {-1, 1e-47, 2, 0, 1e-50, 0, 2, -1e-50, 0, -1e-50, -1e-47, 1, 1e-50, 0, -1e-47, 0},
         0x7fbaadf1a13acc70ull},
        {"tiny 3 x 3",
         3,
         {1e-50, -1e-50, 0, 1e-50, 0, 1e-47, 0, -1e-47, 1e-47},
         0x9f0f04c07116b0faull},
    };
    for (const Case& c : cases) {
        const int n = c.n;
        substmodel m(n == 4 ? NUC : AA);
        double** a = new_dmatrix(n, n);
        double* wi = new_dvector(n);
        int* perm = new_ivector(n);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) a[i][j] = c.v[i * n + j];
        m.elmhes(a, perm, n);
        m.eltran(a, perm, n);
        m.hqr2(n, 1, n, a, wi);
        bithash h;
        for (int k = 0; k < n; ++k) h.add(m.evals[k]);
        for (int k = 0; k < n; ++k) h.add(wi[k]);
        h.add(m.evecs);
        EXPECT_EQ(h.h, c.hash) << c.name;
        free_ivector(perm);
        free_dvector(wi);
        free_dmatrix(a);
    }
}

// Equal scaled pivot candidates: the later row is taken.
TEST(SubstBits, LuInversePivotTieGoesToTheLaterRow) {
    const double v[16] = {-3, -2, -2, 2, -1, 1, 1, 0, -3, -1, 3, 3, 2, 5, 1, -3};
    const double inv[16] = {-0x0.0p+0,
                            -0x1.5555555555558p+0,
                            0x1.5555555555555p-2,
                            0x1.5555555555558p-2,
                            0x1.8000000000003p-2,
                            -0x1.0000000000002p+0,
                            0x1.8000000000003p-2,
                            0x1.4000000000001p-1,
                            -0x1.8000000000002p-2,
                            0x1.5555555555556p-1,
                            -0x1.555555555555ap-5,
                            -0x1.2aaaaaaaaaaabp-2,
                            0x1.0000000000002p-1,
                            -0x1.2aaaaaaaaaaacp+1,
                            0x1.aaaaaaaaaaaacp-1,
                            0x1.aaaaaaaaaaaacp-1};
    substmodel m;
    for (int k = 0; k < 16; ++k) m.evecs.data()[k] = v[k];
    m.luinverse();
    for (int k = 0; k < 16; ++k) EXPECT_TRUE(same_bits(m.ievecs.data()[k], inv[k])) << k;
}

}  // namespace
