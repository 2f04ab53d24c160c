// Forward tables and the traceback steps.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "fixtures.h"
#include "sequence/logspace.h"
#include "sequence/random.h"
#include "support/fatal.h"

namespace {

double forward_into(const align_graph& g, int r, int s, zustand s1) {
    const indel& im = *g.al->imodel;
    return addlog(g.mat(r, s) + im.retlnprob(MATCH, s1), g.ins(r, s) + im.retlnprob(INSERTION, s1),
                  g.del(r, s) + im.retlnprob(DELETION, s1));
}

TEST(AlignGraph, OneByOneCellsByHand) {
    bioseq a = dna("A"), b = dna("A"), c = dna("C");
    alignment al(a, b, 1.0, jc69(), indel());
    align_graph g(al, -1, -1, 1, 1);
    EXPECT_NEAR(g.mat(0, 0), -1.493687, 1e-6);
    EXPECT_NEAR(g.del(0, 0), -16.590698, 1e-6);
    EXPECT_NEAR(g.ins(0, 0), -17.284045, 1e-6);
    const indel& im = *al.imodel;
    EXPECT_EQ(g.del(0, 0),
              al.smodel->logfreqofstate(0) + g.ins(-1, 0) + im.retlnprob(INSERTION, DELETION));
    EXPECT_EQ(g.ins(0, 0),
              al.smodel->logfreqofstate(0) + g.del(0, -1) + im.retlnprob(DELETION, INSERTION));
    alignment al2(a, c, 1.0, jc69(), indel());
    align_graph g2(al2, -1, -1, 1, 1);
    EXPECT_NEAR(g2.mat(0, 0), -7.194146, 1e-6);
}

TEST(AlignGraph, ForwardEqualsSumOverAllPaths) {
    const char* seqs[][2] = {{"A", "C"}, {"AC", "G"}, {"GT", "GAT"}, {"ACG", "TG"}, {"CAT", "CTA"}};
    indel im(std::vector<double>{0.03, 0.05}, TKF1);
    for (auto& sp : seqs) {
        bioseq a = dna(sp[0]), b = dna(sp[1]);
        const int m = a.laen(), n = b.laen();
        for (double t : {0.5, 20.0}) {
            alignment al(a, b, t, jc69(), im);
            align_graph g(al, -1, -1, m, n);
            EXPECT_NEAR(forward_into(g, m - 1, n - 1, END),
                        brute_force(al, -1, -1, START, m - 1, n - 1, END), 1e-10)
                << sp[0] << " " << sp[1] << " " << t;
        }
    }
}

TEST(AlignGraph, WindowWithGivenCornerStates) {
    // Corners inside a longer pair: the columns at (0, 0) and (4, 3).
    bioseq a = dna("ACGTA"), b = dna("AGTC");
    indel im(std::vector<double>{0.03, 0.05}, TKF1);
    alignment al(a, b, 10.0, jc69(), im);
    struct W {
        zustand s0, s1;
        int i1, j1, r, s;
    };
    const W ws[] = {{MATCH, MATCH, 4, 3, 3, 2},
                    {DELETION, INSERTION, 3, 3, 3, 2},
                    {INSERTION, DELETION, 4, 2, 3, 2},
                    {START, END, 5, 4, 4, 3}};
    for (const W& w : ws) {
        const int i0 = w.s0 == START ? -1 : 0, j0 = w.s0 == START ? -1 : 0;
        align_graph g(al, i0, j0, w.i1, w.j1, w.s0, w.s1);
        EXPECT_EQ(g.r, w.r);
        EXPECT_EQ(g.s, w.s);
        EXPECT_NEAR(forward_into(g, w.r, w.s, w.s1), brute_force(al, i0, j0, w.s0, w.r, w.s, w.s1),
                    1e-10);
    }
}

// Each cell from its neighbours in the table, summed in the order D, M, I;
// the cells outside the window's ranges hold DBL_MAX.
void expect_cells_from_neighbours(const align_graph& g, const std::string& label) {
    const alignment& al = *g.al;
    const bioseq& A = *al.seq1;
    const bioseq& B = *al.seq2;
    const indel& im = *al.imodel;
    auto T = [&im](int k, int l) { return im.retlnprob(k, l); };
    auto f = [&al](int c) { return al.smodel->logfreqofstate(c); };
    const int p = g.i0 + 1, q = g.j0 + 1;
    int wrong = 0, unset = 0;
    for (int i = g.i0; i <= g.r; ++i)
        for (int j = g.j0; j <= g.s; ++j) {
            const double cell[3] = {g.mat(i, j), g.ins(i, j), g.del(i, j)};
            double want[3] = {DBL_MAX, DBL_MAX, DBL_MAX};
            if (i >= p && j >= q) {
                const double eM = f(A[i]) + al.smodel->logProb_ij(A[i], B[j]);
                if (i == p && j == q) want[MATCH] = eM + T(g.s0, MATCH);
                else if (i == p) want[MATCH] = eM + g.ins(i - 1, j - 1) + T(INSERTION, MATCH);
                else if (j == q) want[MATCH] = eM + g.del(i - 1, j - 1) + T(DELETION, MATCH);
                else
                    want[MATCH] = eM + addlog(g.del(i - 1, j - 1) + T(DELETION, MATCH),
                                              g.mat(i - 1, j - 1) + T(MATCH, MATCH),
                                              g.ins(i - 1, j - 1) + T(INSERTION, MATCH));
            }
            if (j >= q && (i >= p || i == g.i0)) {
                if (i == g.i0 && j == q) want[INSERTION] = f(B[j]) + T(g.s0, INSERTION);
                else if (i == g.i0)
                    want[INSERTION] = f(B[j]) + g.ins(i, j - 1) + T(INSERTION, INSERTION);
                else if (j == q)
                    want[INSERTION] = f(B[j]) + g.del(i, j - 1) + T(DELETION, INSERTION);
                else
                    want[INSERTION] = f(B[j]) + addlog(g.del(i, j - 1) + T(DELETION, INSERTION),
                                                       g.mat(i, j - 1) + T(MATCH, INSERTION),
                                                       g.ins(i, j - 1) + T(INSERTION, INSERTION));
            }
            if (i >= p) {
                if (i == p && j == g.j0) want[DELETION] = f(A[i]) + T(g.s0, DELETION);
                else if (j == g.j0)
                    want[DELETION] = f(A[i]) + g.del(i - 1, j) + T(DELETION, DELETION);
                else if (i == p)
                    want[DELETION] = f(A[i]) + g.ins(i - 1, j) + T(INSERTION, DELETION);
                else
                    want[DELETION] = f(A[i]) + addlog(g.del(i - 1, j) + T(DELETION, DELETION),
                                                      g.mat(i - 1, j) + T(MATCH, DELETION),
                                                      g.ins(i - 1, j) + T(INSERTION, DELETION));
            }
            for (int k = 0; k < 3; ++k) {
                if (cell[k] != want[k]) ++wrong;
                if (want[k] == DBL_MAX) ++unset;
            }
        }
    EXPECT_EQ(wrong, 0) << label;
    EXPECT_GT(unset, 0) << label;
}

TEST(AlignGraph, EveryCellFromItsNeighboursInSumOrder) {
    bioseq a = dna("ACGTTGCAAGTCC"), b = dna("ACTTGCCAGTTC");
    indel im(std::vector<double>{0.02, 0.03}, TKF1);
    alignment al(a, b, 0.4, jc69(), im);
    const int m = a.laen(), n = b.laen();
    // Whole tables and windows with odd and even numbers of rows and
    // columns, each after a larger table of the same object.
    const struct {
        int i0, j0, i1, j1;
        zustand s0, s1;
    } windows[] = {{-1, -1, m, n, START, END},     {3, 2, m, n, MATCH, END},
                   {2, 2, 9, 8, DELETION, MATCH},  {1, 0, 5, 9, INSERTION, INSERTION},
                   {4, 5, 6, 10, MATCH, DELETION}, {0, 0, 2, 2, MATCH, MATCH},
                   {-1, -1, 1, 6, START, MATCH}};
    for (const auto& w : windows) {
        { align_graph big(al, -1, -1, m, n, START, END); }
        align_graph g(al, w.i0, w.j0, w.i1, w.j1, w.s0, w.s1);
        expect_cells_from_neighbours(g, std::to_string(w.i0) + " " + std::to_string(w.j0) + " " +
                                            std::to_string(w.i1) + " " + std::to_string(w.j1));
    }
}

void all_sequences(int n, std::vector<std::string>& out) {
    out.assign(1, "");
    for (int k = 0; k < n; ++k) {
        std::vector<std::string> next;
        for (const std::string& s : out)
            for (char c : std::string("ACGT")) next.push_back(s + c);
        out = next;
    }
}

TEST(AlignGraph, SummingOverSecondSequencesGivesTheAncestorsProbability) {
    indel im(std::vector<double>{0.002, 0.02}, TKF1);
    std::vector<double> freqs{0.1, 0.2, 0.3, 0.4}, kappa{2.0};
    substmodel sm(NUC, HKY, freqs, kappa);
    for (const std::string sa : {"G", "TA"}) {
        bioseq a = dna(sa);
        const int m = a.laen();
        bioseq empty = dna("");
        alignment al(a, empty, 15.0, sm, im);
        // Second sequence empty: the one path of deletions.
        double total;
        {
            alignment e(a, empty, 15.0, sm, im);
            double sc = e.imodel->retlnprob(START, DELETION);
            for (int i = 0; i < m; ++i) sc += e.smodel->logfreqofstate(a[i]);
            for (int i = 1; i < m; ++i) sc += e.imodel->retlnprob(DELETION, DELETION);
            total = std::exp(sc + e.imodel->retlnprob(DELETION, END));
        }
        for (int n = 1; n <= 7; ++n) {
            std::vector<std::string> bs;
            all_sequences(n, bs);
            for (const std::string& sb : bs) {
                bioseq b = dna(sb);
                al.seq2 = &b;
                align_graph g(al, -1, -1, m, n, START, END);
                total += std::exp(forward_into(g, m - 1, n - 1, END));
            }
        }
        double expect = std::exp(im.logprob_of_seqlen(m));
        for (int i = 0; i < m; ++i) expect *= std::exp(sm.logfreqofstate(a[i]));
        EXPECT_NEAR(total / expect, 1.0, 1e-7) << sa;
    }
}

// A 3 x 3 graph whose cells before (2, 2) are overwritten to test the step.
struct StepFixture {
    bioseq a = dna("ACG"), b = dna("ACG");
    alignment al{a, b, 1.0, jc69(), indel()};
    align_graph g{al, -1, -1, 3, 3};
    void set(double cM, double cI, double cD) {
        for (int k = 0; k < 3; ++k) g.T[k][END] = 0.0;
        double* c = g.tab + ((1 + 1) * g.W + (1 + 1)) * 3;
        c[0] = cM;
        c[1] = cI;
        c[2] = cD;
    }
};

TEST(AlignGraph, GreedyStepTies) {
    struct Case {
        double cM, cI, cD;
        zustand expect;
    };
    const Case cases[] = {
        {-5, -5, -5, MATCH},     {-6, -5, -5, DELETION},
        {-5, -5, -6, MATCH},     {-5, -6, -5, MATCH},
        {-6, -4, -5, INSERTION}, {-6, -5, -4, DELETION},
        {-4, -5, -5, MATCH},     {-DBL_MAX, -DBL_MAX, -DBL_MAX, MATCH},
    };
    for (const Case& c : cases) {
        StepFixture f;
        f.set(c.cM, c.cI, c.cD);
        EXPECT_EQ(f.g.maxwk_schritt(END, 2, 2, -1, -1), c.expect) << c.cM << c.cI << c.cD;
    }
}

TEST(AlignGraph, GreedyStepOnOneResidueEach) {
    bioseq a = dna("A"), b = dna("C");
    alignment al(a, b, 1.0, jc69(), indel());
    align_graph g(al, -1, -1, 1, 1);
    const indel& im = *al.imodel;
    const double cM = g.mat(0, 0) + im.retlnprob(MATCH, END);
    const double cI = g.ins(0, 0) + im.retlnprob(INSERTION, END);
    const double cD = g.del(0, 0) + im.retlnprob(DELETION, END);
    const zustand expect = cI > cD ? (cI > cM ? INSERTION : MATCH) : (cD > cM ? DELETION : MATCH);
    EXPECT_EQ(g.maxwk_schritt(END, 1, 1, -1, -1), expect);
    // Border rules decide without comparing.
    EXPECT_EQ(g.maxwk_schritt(INSERTION, 1, 0, -1, 1), DELETION);
    EXPECT_EQ(g.maxwk_schritt(DELETION, 0, 1, 0, -1), INSERTION);
}

TEST(AlignGraph, SampledStepDrawsOnceInsideAndFollowsTheWeights) {
    bioseq a = dna("A"), b = dna("C");
    indel im(std::vector<double>{0.05, 0.1}, TKF1);
    alignment al(a, b, 30.0, jc69(), im);
    align_graph g(al, -1, -1, 1, 1);
    // Border steps draw nothing; an interior step draws exactly one number.
    idum = -11;
    EXPECT_EQ(g.zufallsschritt(INSERTION, 1, 0, -1, 1, 1.0, 0), DELETION);
    g.zufallsschritt(END, 1, 1, -1, -1, 1.0, 0);
    const double after = randomunitintervall();
    idum = -11;
    randomunitintervall();
    EXPECT_EQ(randomunitintervall(), after);

    const double cM = g.mat(0, 0) + al.imodel->retlnprob(MATCH, END);
    const double cI = g.ins(0, 0) + al.imodel->retlnprob(INSERTION, END);
    const double cD = g.del(0, 0) + al.imodel->retlnprob(DELETION, END);
    const double z = addlog(cM, cI, cD);
    const double p[3] = {std::exp(cM - z), std::exp(cI - z), std::exp(cD - z)};
    int count[3] = {0, 0, 0};
    const int N = 40000;
    idum = -3;
    for (int k = 0; k < N; ++k) ++count[g.zufallsschritt(END, 1, 1, -1, -1, 1.0, 0)];
    for (int k = 0; k < 3; ++k) {
        const double sd = std::sqrt(N * p[k] * (1 - p[k]));
        EXPECT_NEAR(count[k], N * p[k], 4 * sd + 1) << k;
    }
}

// Walks from the end corner of a window to its start corner, each step by
// kept or by freshly computed probabilities; the states in walk order and
// the number after the last draw.
std::vector<int> walks(const align_graph& g, bool kept, int seed, double& after) {
    const bioseq& A = *g.al->seq1;
    const bioseq& B = *g.al->seq2;
    std::vector<int> out;
    idum = seed;
    for (int w = 0; w < 30; ++w) {
        int a = A.laen(), b = B.laen(), ca = -1, cb = -1;
        zustand st = END;
        while (a > g.i0 + 1 || b > g.j0 + 1) {
            st = kept ? g.sampled_step(st, a, b) : g.zufallsschritt(st, a, b, ca, cb, 1.0, 0);
            out.push_back(st);
            if (st != INSERTION) --a;
            if (st != DELETION) --b;
            ca = st != INSERTION ? A[a] : -1;
            cb = st != DELETION ? B[b] : -1;
        }
    }
    after = randomunitintervall();
    return out;
}

void expect_kept_as_fresh(const align_graph& g, const std::string& label) {
    double after_kept, after_fresh;
    const std::vector<int> kept = walks(g, true, -5, after_kept);
    const std::vector<int> fresh = walks(g, false, -5, after_fresh);
    EXPECT_EQ(kept, fresh) << label;
    EXPECT_EQ(after_kept, after_fresh) << label;
}

TEST(AlignGraph, KeptStepsFollowEveryFillOfTheTable) {
    bioseq a = dna("ACGTTGCAAGTCCATGGACTTAGC"), b = dna("ACTTGCCAGTTCAGGGACTAGCA");
    indel im(std::vector<double>{0.02, 0.03}, TKF1);
    alignment al(a, b, 0.3, jc69(), im);
    auto at_time = [&al](double t) {
        al.smodel->settime(t);
        al.imodel->fillP(t);
    };
    // One object's tables one after the other: new times and windows.
    const struct {
        double t;
        int i0, j0;
    } fills[] = {{0.3, -1, -1}, {2.0, -1, -1}, {2.0, 5, 3}, {0.3, 5, 3}, {0.05, -1, -1}};
    for (const auto& f : fills) {
        at_time(f.t);
        align_graph g(al, f.i0, f.j0, a.laen(), b.laen(), f.i0 < 0 ? START : MATCH, END);
        expect_kept_as_fresh(g, std::to_string(f.t) + " " + std::to_string(f.i0));
    }
    // Two tables of one object at once.
    at_time(0.3);
    align_graph g1(al, -1, -1, a.laen(), b.laen());
    at_time(2.0);
    align_graph g2(al, -1, -1, a.laen(), b.laen());
    expect_kept_as_fresh(g1, "first");
    expect_kept_as_fresh(g2, "second");
    expect_kept_as_fresh(g1, "first again");
}

TEST(DistribPow, NormalisesAndTempers) {
    std::vector<double> w{0.2, 0.6, 0.2};
    distrib_pow(w, 2.0, 4);
    EXPECT_EQ(w, (std::vector<double>{0, 1, 0}));
    w = {1, 3};
    distrib_pow(w, 2.0, 1);
    EXPECT_DOUBLE_EQ(w[0], 0.1);
    EXPECT_DOUBLE_EQ(w[1], 0.9);
    w = {1, 3};
    distrib_pow(w, 1.0, 0);
    EXPECT_EQ(w, (std::vector<double>{0.25, 0.75}));
    w = {0.5, 0.5, 0.2};
    distrib_pow(w, 5.0, 2);  // one-hot at the first largest
    EXPECT_EQ(w, (std::vector<double>{1, 0, 0}));
}

TEST(DistribPow, FatalVectors) {
    EXPECT_TRUE(ends_fatally(
        [] {
            std::vector<double> w{0, 0, 0};
            distrib_pow(w, 1.0, 0);
        },
        "The probability vector that was passed to distrib_pow is empty!\n"));
    EXPECT_TRUE(ends_fatally(
        [] {
            std::vector<double> w{0.5, -0.1, 0.6};
            distrib_pow(w, 1.0, 0);
        },
        "One of the frequencies in distrib_pow is negative!\n"));
}

TEST(AlignGraph, ImpossibleCornersAndStepsAreFatal) {
    struct Case {
        std::function<void()> fn;
        std::string err;
    };
    const std::vector<Case> cases = {
        {[] {
             bioseq a = dna("ACG"), b = dna("ACG");
             alignment al(a, b, 1.0, jc69(), indel());
             align_graph g(al, -1, -1, 3, 3, START, START);
         },
         "komischer laststate in align_graph::beschrifte(...)\n"},
        {[] {
             bioseq a = dna("ACG"), b = dna("ACG");
             alignment al(a, b, 1.0, jc69(), indel());
             align_graph g(al, -1, -1, 3, 3, END, END);
         },
         "komischer firststate in align_graph::beschrifte(...)\n"},
        {[] {
             bioseq a = dna("ACG"), b = dna("ACG");
             alignment al(a, b, 1.0, jc69(), indel());
             align_graph g(al, -1, -1, 3, 3);
             g.maxwk_schritt(START, 2, 2, 0, 0);
         },
         "Unreasonable state nextstep\n"},
        {[] {
             bioseq a = dna("ACG"), b = dna("ACG");
             alignment al(a, b, 1.0, jc69(), indel());
             align_graph g(al, 0, 0, 3, 3, MATCH, END);
             g.maxwk_schritt(MATCH, 0, 2, 0, 0);
         },
         "Fehler: zu kleine Parameter in align_graph::zufallsschritt!!!\n"},
    };
    for (const Case& c : cases) EXPECT_TRUE(ends_fatally(c.fn, c.err));
}

}  // namespace
