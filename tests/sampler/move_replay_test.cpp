// Parameter proposal and local swap: the reuse of the substitution part and
// the draw made for every column of a hextet path.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "sampler/mult_align.h"
#include "sampler_fixtures.h"
#include "sequence/random.h"
#include "support/subprocess.h"

namespace {

using samplertest::bits_equal;
using samplertest::link;
using samplertest::mknode;

substmodel rb_hky() {
    return substmodel(NUC, HKY, std::vector<double>{0.1, 0.2, 0.3, 0.4}, std::vector<double>{2.0});
}

// A two-leaf state under HKY and TKF1, every parameter free.
mult_alignment* rb_pairstate(const cooling& c) {
    baum* r = mknode("R", 1, "ACGTTGCA");
    baum* l = mknode("L", 0, "ACTTGGCA");
    link(r, l, 4.0, "MMMMMMMM");
    keepfixed f;
    f.subfix = {false};
    f.indfix = {false, false};
    return new mult_alignment(rb_hky(), indel(std::vector<double>{0.01, 0.011}, TKF1), r, f, c);
}

}  // namespace

// ---------------------------------------------------------------------------
// The substitution part taken over: the same bits as recomputing it

namespace {

std::string rb_dna(unsigned seed, int len) {
    std::string s;
    unsigned x = seed * 2654435761u + 7u;
    for (int i = 0; i < len; ++i) {
        x = x * 1103515245u + 12345u;
        s += "ACGT"[(x >> 16) & 3];
    }
    return s;
}

mult_alignment* rb_genrev_state(int seed) {
    const std::string dir = make_temp_dir();
    const std::string base = rb_dna(3, 36);
    std::string fasta;
    for (int i = 0; i < 5; ++i) {
        std::string s = base;
        for (size_t k = i; k < s.size(); k += 4 + i) s[k] = "ACGT"[(k + i) % 4];
        if (i == 3) s = s.substr(2, 30);
        fasta += ">S" + std::to_string(i) + "\n" + s + "\n";
    }
    write_file(dir + "/seqs.fasta", fasta);
    write_file(dir + "/guide.tree", "((S0,S1),S2,S3,S4);");
    eingabe_parameter P;
    P.files.infile = dir + "/seqs.fasta";
    P.files.guidetree = dir + "/guide.tree";
    P.subst.model = GENREV;
    P.subst.params = {1.5, 2.0, 0.5, 0.8, 3.0, 1.2};
    P.subst.params_given = true;
    P.fix = keepfixed(GENREV, TKF1);
    // Two of six free: a proposal leaves the model unchanged when none of
    // its three indices is one of them.
    P.fix.subfix = {true, false, true, true, false, true};
    P.fix.indfix = {false, false};
    P.cool.delta = 3.0;
    P.cool.burnin = 15;
    idum = -seed;
    testing::internal::CaptureStdout();
    mult_alignment* s = new mult_alignment(P, 0);
    testing::internal::GetCapturedStdout();
    return s;
}

}  // namespace

TEST(ReplaySampParams, KeptSubstitutionPartWithRateParameters) {
    mult_alignment* a = rb_genrev_state(21);
    mult_alignment* b = rb_genrev_state(21);
    int kept = 0, changed = 0;
    for (int k = 1; k <= 30; ++k) {
        idum = -k;
        testing::internal::CaptureStderr();
        a->maunewton();
        testing::internal::GetCapturedStderr();
        std::vector<double> before;
        a->submodel.paramsOf(before);
        {
            // Whether the proposal drawn next repeats the substitution
            // parameters; both proposals then start from the same seed.
            idum = -1000 - k;
            substmodel sm(a->submodel);
            indel im(a->indmodel);
            mult_alignment::proposal p(sm, im, a->fix);
            kept += a->subkept && p.subpar == before;
            idum = -1000 - k;
        }
        a->sampparams();
        std::vector<double> now;
        a->submodel.paramsOf(now);
        changed += before != now;
        idum = -k;
        testing::internal::CaptureStderr();
        b->maunewton();
        testing::internal::GetCapturedStderr();
        b->subkept = false;
        idum = -1000 - k;
        b->sampparams();
        ASSERT_TRUE(bits_equal(a->loglik, b->loglik)) << k;
        EXPECT_TRUE(bits_equal(a->loglik, a->complik(a->pattern, a->told))) << k;
    }
    EXPECT_GT(kept, 0);
    EXPECT_GT(changed, 0);
    delete a;
    delete b;
}

// ---------------------------------------------------------------------------
// Writing a hextet path: the draw of every column, with its models

namespace {

mult_alignment& rb_state() {
    static mult_alignment* s = rb_pairstate(cooling());
    return *s;
}

// The residues of N and M for one column, drawn as the column table of the
// writer gives them (X = N, Y = M unless the table names M first).
void rb_draw(mult_alignment& st, int s, int& n, int& m, const substmodel& Ma, const substmodel& Mb,
             const substmodel& Mc, const substmodel& Md, const substmodel& Me, int U, int B, int D,
             int E) {
    switch (s) {
    case 0: st.infer_six(n, m, Mc, U, Ma, B, Mb, D, Md, E, Me); break;
    case 1: st.infer_five(n, m, Mc, U, Ma, D, Md, E, Me); break;
    case 2: st.infer_five(m, n, Mc, E, Me, B, Mb, U, Ma); break;
    case 3: st.infer_line(n, m, Mc, U, Ma, E, Me); break;
    case 4: st.infer_five(m, n, Mc, D, Md, B, Mb, U, Ma); break;
    case 5: st.infer_line(n, m, Mc, U, Ma, D, Md); break;
    case 6: st.infer_star(m, n, Mc, U, Ma, B, Mb); break;
    case 7: st.infer_three(m, n, Mc, U, Ma); break;
    case 8: n = st.infer_base(U, Ma, B, Mb); break;
    case 9: n = st.infer_base(U, Ma); break;
    case 11: st.infer_five(n, m, Mc, B, Mb, D, Md, E, Me); break;
    case 12: st.infer_star(n, m, Mc, D, Md, E, Me); break;
    case 13: st.infer_line(n, m, Mc, B, Mb, E, Me); break;
    case 14: st.infer_three(n, m, Mc, E, Me); break;
    case 15: st.infer_line(n, m, Mc, B, Mb, D, Md); break;
    case 16: st.infer_three(n, m, Mc, D, Md); break;
    case 17: st.infer_three(m, n, Mc, B, Mb); break;
    case 18: Mc.choosepair(n, m); break;
    case 19: n = st.infer_base(B, Mb); break;
    case 20: n = st.submodel.choosebase(); break;
    case 26: m = st.infer_base(D, Md, E, Me); break;
    case 27: m = st.infer_base(E, Me); break;
    case 28: m = st.infer_base(D, Md); break;
    case 29: m = st.submodel.choosebase(); break;
    default: break;
    }
}

// Holders of a hextet state among U, N, B, M, D, E (in this bit order).
unsigned rb_holders(int s) {
    static const char* t[33] = {
        "UNMBDE", "UNMDE", "UNMBE", "UNME", "UNMBD", "UNMD", "UNMB", "UNM", "UNB", "UN", "U",
        "NMBDE",  "NMDE",  "NMBE",  "NME",  "NMBD",  "NMD",  "NMB",  "NM",  "NB",  "N",  "B",
        "B",      "B",     "B",     "B",    "MDE",   "ME",   "MD",   "M",   "D",   "D",  "E"};
    unsigned h = 0;
    for (const char* c = t[s]; *c; ++c) h |= 1u << std::string("UNBMDE").find(*c);
    return h;
}

}  // namespace

TEST(ReplayWriteCentpair, EveryColumnDrawsWithTheModelsOfItsBranches) {
    mult_alignment& st = rb_state();
    const double tP = 1.3, tS = 2.1, tc = 3.7, tR1 = 4.4, tR2 = 5.9;
    const int K = 12;
    using flag = mult_alignment::swapflag;
    for (flag f : {mult_alignment::SWAP_P_R1, mult_alignment::SWAP_P_R2, mult_alignment::SWAP_S_R1,
                   mult_alignment::SWAP_S_R2})
        for (int s = 0; s < HEX_START; ++s) {
            baum* P = mknode("P", 0);
            baum* A = mknode("", -1);
            baum* S = mknode("S", 1);
            baum* R = mknode("", -1);
            baum* R1 = mknode("R1", 2);
            baum* R2 = mknode("R2", 3);
            link(P, A, tP);
            link(A, S, tS);
            link(A, R, tc);
            link(R, R1, tR1);
            link(R, R2, tR2);
            // Roles U, N, B, M, D, E after exchange f, and their branch times.
            baum* role[6];
            double t[6];
            switch (f) {
            case mult_alignment::SWAP_P_R1:
                role[0] = P, role[1] = R, role[2] = R2, role[3] = A, role[4] = R1, role[5] = S;
                break;
            case mult_alignment::SWAP_P_R2:
                role[0] = P, role[1] = R, role[2] = R1, role[3] = A, role[4] = S, role[5] = R2;
                break;
            case mult_alignment::SWAP_S_R1:
                role[0] = P, role[1] = A, role[2] = R1, role[3] = R, role[4] = S, role[5] = R2;
                break;
            default: role[0] = P, role[1] = A, role[2] = R2, role[3] = R, role[4] = R1, role[5] = S;
            }
            for (int k = 0; k < 6; ++k)
                t[k] = role[k] == P    ? tP
                       : role[k] == S  ? tS
                       : role[k] == R1 ? tR1
                       : role[k] == R2 ? tR2
                                       : tc;
            const unsigned h = rb_holders(s);
            std::mt19937 g(static_cast<unsigned>(f * 100 + s));
            for (int k : {0, 2, 4, 5}) {
                role[k]->seq.clear();
                if (h & (1u << k))
                    for (int c = 0; c < K; ++c) role[k]->seq.push_back(static_cast<int>(g() % 4));
            }
            std::vector<hex_zus> path(1, HEX_START);
            for (int c = 0; c < K; ++c) path.push_back(hex_zus(s));
            path.push_back(HEX_END);

            std::vector<quart_zus> none;
            std::vector<unsigned> kd{0, 1, 2};
            const bool pmoves = f == mult_alignment::SWAP_P_R1 || f == mult_alignment::SWAP_P_R2;
            const bool r1moves = f == mult_alignment::SWAP_P_R1 || f == mult_alignment::SWAP_S_R1;
            mult_alignment::mercedes_stern an(A, none, kd, pmoves ? 0 : 1);
            mult_alignment::mercedes_stern re(R, none, kd, r1moves ? 1 : 2);
            idum = -(f * 100 + s + 1);
            st.write_centpair(path, an, re, f);
            const int after = idum;

            substmodel Ma(st.submodel), Mb(st.submodel), Mc(st.submodel), Md(st.submodel),
                Me(st.submodel);
            Ma.settime(t[0]);
            Mb.settime(t[2]);
            Mc.settime(tc);
            Md.settime(t[4]);
            Me.settime(t[5]);
            std::vector<int> wantN, wantM;
            idum = -(f * 100 + s + 1);
            for (int c = 0; c < K; ++c) {
                auto at = [&](int k) { return (h & (1u << k)) ? role[k]->seq[c] : -1; };
                int n = -1, m = -1;
                rb_draw(st, s, n, m, Ma, Mb, Mc, Md, Me, at(0), at(2), at(4), at(5));
                if (h & 2u) wantN.push_back(n);
                if (h & 8u) wantM.push_back(m);
            }
            EXPECT_EQ(idum, after) << f << " " << s;
            EXPECT_EQ(std::vector<int>(role[1]->seq.begin(), role[1]->seq.end()), wantN)
                << f << " " << s;
            EXPECT_EQ(std::vector<int>(role[3]->seq.begin(), role[3]->seq.end()), wantM)
                << f << " " << s;
            delete P;
        }
}
