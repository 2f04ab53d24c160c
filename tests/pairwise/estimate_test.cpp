// Branch-length estimation: counts, the objective, Monte-Carlo EM and the
// maximum-likelihood time of a fixed path.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <random>

#include "fixtures.h"
#include "sequence/logspace.h"
#include "sequence/random.h"

namespace {

const indel& quiet_indel() {
    static const indel im(std::vector<double>{1e-10, 2e-10}, TKF1);
    return im;
}

// k residues, the first d of them changed in the second sequence.
void gapless_pair(int k, int d, std::string& a, std::string& b) {
    std::mt19937 gen(k * 31 + d);
    a.clear();
    for (int i = 0; i < k; ++i) a += "ACGT"[gen() % 4];
    b = a;
    for (int i = 0; i < d; ++i) {
        const int at = i * k / d;
        b[at] = "ACGT"[("ACGT" + std::string()).find(a[at]) ^ 1];
    }
}

TEST(OptForGiv, MatchesTheJukesCantorDistance) {
    struct Case {
        int k, d;
        double t;
        double tol;
    };
    const Case cases[] = {
        {100, 10, 10.73256, 1e-4}, {100, 1, 1.006727, 1e-5}, {50, 20, 57.16050, 1e-3}};
    for (const Case& c : cases) {
        std::string sa, sb;
        gapless_pair(c.k, c.d, sa, sb);
        bioseq a = dna(sa), b = dna(sb);
        alignment al(a, b, 5.0, jc69(), quiet_indel(), 1.0, 0);
        ASSERT_EQ(columns(al), std::vector<int>(c.k, MATCH));
        EXPECT_NEAR(al.opt_for_giv(), c.t, c.tol) << c.k << " " << c.d;
    }
    // Identical sequences: the lower bound.
    bioseq a = dna("ACGTACGTAC");
    alignment al(a, a, 5.0, jc69(), quiet_indel(), 1.0, 0);
    EXPECT_NEAR(al.opt_for_giv(), 1e-6, 1e-6);
}

TEST(OptForGiv, StartOutsideTheRangeIsPulledIn) {
    std::string sa, sb;
    gapless_pair(100, 10, sa, sb);
    bioseq a = dna(sa), b = dna(sb);
    alignment ref(a, b, 1e-6, jc69(), quiet_indel(), 1.0, 0);
    const double from_lo = ref.opt_for_giv();
    for (double t0 : {0.0, -3.0, std::nan("")}) {
        alignment al(a, b, 1e-6, jc69(), quiet_indel(), 1.0, 0);
        al.smodel->time = t0;
        EXPECT_EQ(al.opt_for_giv(), from_lo) << t0;
    }
    alignment hi(a, b, 5000.0, jc69(), quiet_indel(), 1.0, 0);
    const double t = hi.opt_for_giv();
    EXPECT_GE(t, 1e-6);
    EXPECT_LE(t, 1000.0);
    EXPECT_NEAR(t, 10.7326, 2e-4);
}

TEST(CountPath, TransitionsAndResiduePairs) {
    bioseq a = dna("ACGTA"), same = dna("ACGTA");
    alignment al(a, same, 1.0, jc69(), quiet_indel());
    path_to_maps(std::vector<int>(5, MATCH), al.map1, al.map2);
    al.count_path();
    EXPECT_EQ(al.transcounts[START][MATCH], 1.0);
    EXPECT_EQ(al.transcounts[MATCH][MATCH], 4.0);
    EXPECT_EQ(al.transcounts[MATCH][END], 1.0);
    EXPECT_EQ(al.substcounts[0][0], 2.0);
    double diag = 0.0, all = 0.0;
    for (int x = 0; x < 4; ++x)
        for (int y = 0; y < 4; ++y) {
            all += al.substcounts[x][y];
            if (x == y) diag += al.substcounts[x][y];
        }
    EXPECT_EQ(diag, 5.0);
    EXPECT_EQ(all, 5.0);

    // Ambiguity codes spread over all states; gaps count transitions only.
    bioseq c = dna("GNT"), d = dna("NAT");
    alignment amb(c, d, 1.0, jc69(), quiet_indel());
    path_to_maps({MATCH, MATCH, DELETION, INSERTION}, amb.map1, amb.map2);
    amb.count_path();
    const std::vector<std::vector<double>> expect_sub = {{0.0625, 0.0625, 0.0625, 0.0625},
                                                         {0.0625, 0.0625, 0.0625, 0.0625},
                                                         {0.3125, 0.3125, 0.3125, 0.3125},
                                                         {0.0625, 0.0625, 0.0625, 0.0625}};
    // G with N adds 0.25 across row G; N with A adds 0.25 down column A.
    std::vector<std::vector<double>> sub = expect_sub;
    for (auto& row : sub) std::fill(row.begin(), row.end(), 0.0);
    for (int y = 0; y < 4; ++y) sub[2][y] += 0.25;
    for (int x = 0; x < 4; ++x) sub[x][0] += 0.25;
    EXPECT_EQ(amb.substcounts, sub);
    EXPECT_EQ(amb.transcounts[MATCH][DELETION], 1.0);
    EXPECT_EQ(amb.transcounts[DELETION][INSERTION], 1.0);
    EXPECT_EQ(amb.transcounts[INSERTION][END], 1.0);
}

TEST(EMloglikl, ZeroCountsGiveZeroAndSetTheTimes) {
    bioseq a = dna("AC"), b = dna("AG");
    alignment al(a, b, 1.0, jc69(), quiet_indel());
    al.transcounts.assign(4, std::vector<double>(5, 0.0));
    al.substcounts.assign(4, std::vector<double>(4, 0.0));
    EXPECT_EQ(al.EMloglikl(3.5, 2.0), 0.0);
    EXPECT_EQ(al.smodel->timeOf(), 3.5);
    EXPECT_EQ(al.imodel->tP, 7.0);
}

TEST(EMloglikl, SumsCountsTimesLogProbabilities) {
    bioseq a = dna("ACGTTA"), b = dna("ACCTA");
    alignment al(a, b, 1.0, jc69(), indel());
    path_to_maps({MATCH, MATCH, MATCH, DELETION, MATCH, MATCH}, al.map1, al.map2);
    al.count_path();
    substmodel sm = jc69();
    indel im;
    sm.settime(12.0);
    im.fillP(6.0);
    const double expect =
        -(im.retlnprob(START, MATCH) + 2 * im.retlnprob(MATCH, MATCH) +
          im.retlnprob(MATCH, DELETION) + im.retlnprob(DELETION, MATCH) +
          im.retlnprob(MATCH, MATCH) + im.retlnprob(MATCH, END) + 4 * sm.logProb_ij(0, 0) +
          sm.logProb_ij(1, 1) * 0 + sm.logProb_ij(2, 1));
    EXPECT_NEAR(al.EMloglikl(12.0, 0.5), expect, 1e-12);
}

TEST(EMloglikl, ZeroCountOfAnImpossiblePairContributesNothing) {
    bioseq a = dna("AA"), b = dna("AA");
    alignment al(a, b, 1.0, jc69(), quiet_indel());
    path_to_maps({MATCH, MATCH}, al.map1, al.map2);
    al.count_path();
    al.smodel->settime(1e-320);
    ASSERT_EQ(al.smodel->logProb_ij(0, 1), -HUGE_VAL);
    EXPECT_TRUE(std::isfinite(al.EMloglikl(1e-320, 1.0)));
}

TEST(SamplePaths, EmptySequencesCountTheForcedPathWithoutDrawing) {
    struct Case {
        std::string a, b;
    };
    for (const Case& c : {Case{"", "ACG"}, Case{"ACGT", ""}, Case{"", ""}}) {
        bioseq a = dna(c.a), b = dna(c.b);
        alignment al(a, b, 1.0, jc69(), indel());
        idum = -9;
        al.sample_paths();
        const double next = randomunitintervall();
        idum = -9;
        EXPECT_EQ(randomunitintervall(), next);
        std::vector<std::vector<double>> tc(4, std::vector<double>(5, 0.0));
        const int m = a.laen(), n = b.laen();
        if (m == 0 && n == 0) {
            tc[START][END] = 1;
        } else {
            const int g = m == 0 ? INSERTION : DELETION;
            tc[START][g] = 1;
            tc[g][g] = std::max(m, n) - 1;
            tc[g][END] = 1;
        }
        EXPECT_EQ(al.transcounts, tc);
        EXPECT_EQ(al.substcounts, std::vector<std::vector<double>>(4, std::vector<double>(4, 0.0)));
    }
}

TEST(OptimalTime, EmptySequenceGivesATimeInRange) {
    bioseq e = dna(""), b = dna("ACGTTG");
    for (double start : {0.0, 10.0}) {
        alignment al(e, b, 1.0, jc69(), indel());
        double t = start, s = 1.0;
        al.optimal_time(t);
        EXPECT_GE(t, 1e-6);
        EXPECT_LE(t, 1000.0);
        alignment al2(b, e, 1.0, jc69(), indel());
        t = start;
        al2.optimal_time(t, s);
        EXPECT_GE(t, 1e-6);
        EXPECT_LE(t, 1000.0);
        EXPECT_GE(s, 1e-6);
        EXPECT_LE(s, 1000.0);
    }
}

TEST(SamplePaths, MeansAreConsistentAndFollowTheModel) {
    bioseq a = dna("A"), b = dna("C");
    indel im(std::vector<double>{0.05, 0.1}, TKF1);
    alignment al(a, b, 30.0, jc69(), im);
    align_graph g(al, -1, -1, 1, 1);
    const double cM = g.mat(0, 0) + al.imodel->retlnprob(MATCH, END);
    const double cI = g.ins(0, 0) + al.imodel->retlnprob(INSERTION, END);
    const double cD = g.del(0, 0) + al.imodel->retlnprob(DELETION, END);
    const double pM = std::exp(cM) / (std::exp(cM) + std::exp(cI) + std::exp(cD));
    idum = -21;
    double sumM = 0.0;
    const int calls = 100;
    for (int k = 0; k < calls; ++k) {
        al.sample_paths();
        sumM += al.transcounts[START][MATCH];
        EXPECT_DOUBLE_EQ(al.transcounts[START][MATCH] + al.transcounts[START][INSERTION] +
                             al.transcounts[START][DELETION],
                         1.0);
        EXPECT_DOUBLE_EQ(al.transcounts[MATCH][END] + al.transcounts[INSERTION][END] +
                             al.transcounts[DELETION][END],
                         1.0);
        EXPECT_EQ(al.transcounts[START][MATCH], al.substcounts[0][1]);
    }
    const double N = 200.0 * calls;
    EXPECT_NEAR(sumM / calls, pM, 4 * std::sqrt(pM * (1 - pM) / N));
}

TEST(SamplePaths, FlowIsConservedOnLongerPairs) {
    bioseq a = dna("ACGTTGCAAC"), b = dna("ACTTGCCAC");
    indel im(std::vector<double>{0.02, 0.03}, TKF1);
    alignment al(a, b, 20.0, jc69(), im);
    idum = -4;
    al.sample_paths();
    for (int s = MATCH; s <= DELETION; ++s) {
        double in = 0.0, out = 0.0;
        for (int k = 0; k < 4; ++k) in += al.transcounts[k][s];
        for (int l = 0; l < 5; ++l) out += al.transcounts[s][l];
        EXPECT_NEAR(in, out, 1e-12) << s;
    }
    double residuesA = 0.0;
    for (int s : {MATCH, DELETION})
        for (int l = 0; l < 5; ++l) residuesA += al.transcounts[s][l];
    EXPECT_NEAR(residuesA, 10.0, 1e-12);
    // Same seed, same counts, bit for bit.
    alignment again(a, b, 20.0, jc69(), im);
    idum = -4;
    again.sample_paths();
    EXPECT_EQ(again.transcounts, al.transcounts);
    EXPECT_EQ(again.substcounts, al.substcounts);
}

TEST(SamplePaths, AnObjectFilledAgainCountsAsAFreshOne) {
    bioseq a = dna("ACGTTGCAAGTCCATGGACTTAGC"), b = dna("ACTTGCCAGTTCAGGGACTAGCA");
    indel im(std::vector<double>{0.02, 0.03}, TKF1);
    alignment reused(a, b, 0.3, jc69(), im);
    auto at_time = [&reused](double t) {
        reused.smodel->settime(t);
        reused.imodel->fillP(t);
    };
    for (double t : {0.3, 2.0, 0.05}) {
        at_time(t);
        alignment fresh(a, b, t, jc69(), im);
        idum = -9;
        reused.sample_paths();
        idum = -9;
        fresh.sample_paths();
        EXPECT_EQ(reused.transcounts, fresh.transcounts) << t;
        EXPECT_EQ(reused.substcounts, fresh.substcounts) << t;
    }
    // Whole estimates, each after the tables of the one before.
    for (double t0 : {0.5, 3.0}) {
        at_time(t0);
        alignment fresh(a, b, t0, jc69(), im);
        double t1 = t0, t2 = t0;
        idum = -31;
        reused.optimal_time(t1);
        idum = -31;
        fresh.optimal_time(t2);
        EXPECT_EQ(t1, t2) << t0;
    }
}

TEST(OptimalTime, GaplessPairGivesTheJukesCantorDistance) {
    std::string sa, sb;
    gapless_pair(300, 30, sa, sb);
    bioseq a = dna(sa), b = dna(sb);
    alignment al(a, b, 1.0, jc69(), quiet_indel());
    double t = 1.0;
    idum = -1;
    al.optimal_time(t);
    EXPECT_NEAR(t, 10.7326, 1e-3);

    alignment al2(a, b, 10.0, jc69(), quiet_indel());
    double t2 = 10.0, s2 = 1.0;
    al2.optimal_time(t2, s2);
    EXPECT_NEAR(t2, 10.7326, 1e-2);
    EXPECT_GE(s2, 1e-6);
    EXPECT_LE(s2, 1000.0);
}

TEST(OptimalTime, SmallFirstEstimateStopsAfterOneIteration) {
    bioseq a = dna("ACGTTGCAACGT");
    alignment al(a, a, 1.0, jc69(), quiet_indel());
    double t = 1.0;
    idum = -13;
    al.optimal_time(t);
    EXPECT_LT(t, 0.01);
    const double next = randomunitintervall();
    // One iteration: 200 paths of 12 drawn steps each.
    idum = -13;
    for (int k = 0; k < 200 * 12; ++k) randomunitintervall();
    EXPECT_EQ(randomunitintervall(), next);
}

}  // namespace

namespace {

// The 200 sampled walks replayed from the forward values: one uniform per
// interior step, drawn before the weights, counts [new][standing].
void replay_paths(const alignment& al, const align_graph& g, std::vector<std::vector<double>>& tc,
                  std::vector<std::vector<double>>& sc) {
    const bioseq& A = *al.seq1;
    const bioseq& B = *al.seq2;
    const substmodel& sm = *al.smodel;
    const indel& im = *al.imodel;
    tc.assign(4, std::vector<double>(5, 0.0));
    sc.assign(4, std::vector<double>(4, 0.0));
    for (int it = 0; it < 200; ++it) {
        int a = A.laen(), b = B.laen(), ca = -1, cb = -1, st = END;
        while (a > 0 || b > 0) {
            int nw;
            if (a == 0) {
                nw = INSERTION;
            } else if (b == 0) {
                nw = DELETION;
            } else {
                const double u = randomunitintervall();
                double e = 0.0;
                if (st == MATCH) e = sm.logfreqofstate(ca) + sm.logProb_ij(ca, cb);
                if (st == INSERTION) e = sm.logfreqofstate(cb);
                if (st == DELETION) e = sm.logfreqofstate(ca);
                const double cM = g.mat(a - 1, b - 1) + im.retlnprob(MATCH, st) + e;
                const double cI = g.ins(a - 1, b - 1) + im.retlnprob(INSERTION, st) + e;
                const double cD = g.del(a - 1, b - 1) + im.retlnprob(DELETION, st) + e;
                const double z = addlog(cM, cI, cD);
                double w[3] = {std::exp(cM - z), std::exp(cI - z), std::exp(cD - z)};
                const double sum = w[0] + w[1] + w[2];
                for (double& x : w) x /= sum;
                nw = w[0] > u ? MATCH : (w[0] + w[1] > u ? INSERTION : DELETION);
            }
            tc[nw][st] += 1.0;
            if (nw != INSERTION) --a;
            if (nw != DELETION) --b;
            ca = nw != INSERTION ? A[a] : -1;
            cb = nw != DELETION ? B[b] : -1;
            if (nw == MATCH) sc[ca][cb] += 1.0;
            st = nw;
        }
        tc[START][st] += 1.0;
    }
    for (auto& row : tc)
        for (double& v : row) v /= 200.0;
    for (auto& row : sc)
        for (double& v : row) v /= 200.0;
}

TEST(SamplePaths, ReplaysTheDrawsOfTwoHundredWalks) {
    bioseq a = dna("ACGTTGCAAG"), b = dna("AGTTCGAAC");
    indel im(std::vector<double>{0.05, 0.1}, TKF1);
    alignment al(a, b, 20.0, jc69(), im);
    std::vector<std::vector<double>> tc, sc;
    idum = -7;
    {
        align_graph g(al, -1, -1, a.laen(), b.laen());
        replay_paths(al, g, tc, sc);
    }
    const double next = randomunitintervall();
    idum = -7;
    al.sample_paths();
    EXPECT_EQ(al.transcounts, tc);
    EXPECT_EQ(al.substcounts, sc);
    EXPECT_EQ(randomunitintervall(), next);
}

TEST(OptimalTime, ReplaysTheIterations) {
    // Pairs and seeds whose iterations end by the rule on the estimate
    // before last; each E-step at the models as the minimiser left them.
    indel im(std::vector<double>{0.01, 0.02}, TKF1);
    bioseq a = dna("GCTAGGGACTTTCCCGATAGACAT"), b = dna("GCTAGTACAGTCCGGTAGAAT");
    alignment al(a, b, 3.0, jc69(), im);
    alignment twin(a, b, 3.0, jc69(), im);
    twin.transcounts.assign(4, std::vector<double>(5, 0.0));
    twin.substcounts.assign(4, std::vector<double>(4, 0.0));
    idum = -344;
    double t = 3.0, last = 0.0, before = DBL_MIN;
    bool by_before = false;
    for (int it = 0; it < 100; ++it) {
        if (it > 0) before = last;
        last = t;
        twin.sample_paths();
        double fmin, curv;
        twin.onedimenmin(1e-6, last, 1000.0, t, 1e-6, &fmin, &curv, 1.0, false);
        if (std::fabs(t - last) < 0.01) break;
        if (std::fabs(t - before) < 0.01) {
            by_before = true;
            break;
        }
    }
    ASSERT_TRUE(by_before);
    const double next = randomunitintervall();
    idum = -344;
    double got = 3.0;
    al.optimal_time(got);
    EXPECT_EQ(got, t);
    EXPECT_EQ(al.smodel->timeOf(), twin.smodel->timeOf());
    EXPECT_EQ(randomunitintervall(), next);

    // Time and indel factor together.
    bioseq c = dna("CGATAAACAACACCTGTGAGCACC"), d = dna("TGATCAATAACATGGAGCAC");
    alignment al2(c, d, 3.0, jc69(), im);
    alignment twin2(c, d, 3.0, jc69(), im);
    twin2.transcounts.assign(4, std::vector<double>(5, 0.0));
    twin2.substcounts.assign(4, std::vector<double>(4, 0.0));
    idum = -877;
    double pt = 3.0, ps = 1.0, bt = 0.0, bs = 0.0, x = 3.0, y = 1.0;
    by_before = false;
    for (int it = 0; it < 100; ++it) {
        if (it > 0) {
            bt = pt;
            bs = ps;
            pt = x;
            ps = y;
        }
        twin2.sample_paths();
        double se1, se2;
        twin2.twodimenmin(1e-6, 1, 1e-6, x, 1000.0, &se1, 1, 1e-6, y, 1000.0, &se2);
        if (std::fabs(x - pt) < 0.01 && std::fabs(y - ps) < 0.01) break;
        if (std::fabs(x - bt) < 0.01 && std::fabs(y - bs) < 0.01) {
            by_before = true;
            break;
        }
    }
    ASSERT_TRUE(by_before);
    const double next2 = randomunitintervall();
    idum = -877;
    double t2 = 3.0, s2 = 1.0;
    al2.optimal_time(t2, s2);
    EXPECT_EQ(t2, x);
    EXPECT_EQ(s2, y);
    EXPECT_EQ(al2.imodel->tP, twin2.imodel->tP);
    EXPECT_EQ(randomunitintervall(), next2);
}

}  // namespace
