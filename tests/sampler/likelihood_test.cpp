// Log likelihood of a tree with its branch alignments: indel part along the
// branches, substitution part by pruning over the column subtrees.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "sampler/mult_align.h"
#include "sampler_fixtures.h"

namespace {

using samplertest::bits_equal;
using samplertest::four_leaf_tree;
using samplertest::link;
using samplertest::mknode;
using samplertest::tkf;

std::string residues(const std::string& path, const char* kinds) {
    std::string s;
    for (char c : path)
        if (std::string(kinds).find(c) != std::string::npos) s += 'A';
    return s;
}

// Any state will do to call the likelihood members on other trees.
mult_alignment& state() {
    static mult_alignment* s = [] {
        baum* r = mknode("R", 1, "A");
        link(r, mknode("L", 0, "A"), 1.0, "M");
        return new mult_alignment(substmodel(), tkf(), r, keepfixed(), cooling());
    }();
    return *s;
}

compact_subst_pattern patterns(const std::vector<std::string>& names,
                               const std::vector<std::string>& columns,
                               const std::vector<int>& counts) {
    compact_subst_pattern p;
    p.names = names;
    for (auto& c : columns) p.columns.emplace_back(c.begin(), c.end());
    p.counts = counts;
    return p;
}

// The five-leaf tree R - X, X - (Y, W), Y - (D, E), W - (F, G); rows of the
// leaf alignment D, E, F, G, R. Branch lengths all different.
struct fiveleaf {
    baum* root;
    std::vector<std::string> names{"D", "E", "F", "G", "R"};
    double tRX = 1.5, tXY = 2.5, tXW = 0.7, tYD = 4.0, tYE = 1.1, tWF = 9.0, tWG = 0.3;
    fiveleaf() {
        root = mknode("R", 4, "");
        baum* x = mknode("", -1, "");
        baum* y = mknode("", -1, "");
        baum* w = mknode("", -1, "");
        link(y, mknode("D", 0, ""), tYD);
        link(y, mknode("E", 1, ""), tYE);
        link(w, mknode("F", 2, ""), tWF);
        link(w, mknode("G", 3, ""), tWG);
        link(x, y, tXY);
        link(x, w, tXW);
        link(root, x, tRX);
    }
    ~fiveleaf() { delete root; }
};

// JC69 in closed form; one PAM is 0.01 expected substitutions.
double jc(int i, int j, double t) {
    const double e = std::exp(-4.0 / 3.0 * t / 100.0);
    return i == j ? 0.25 + 0.75 * e : 0.25 - 0.25 * e;
}

// Brute force over the states of all nodes, gaps as missing data.
double jc_brute(const fiveleaf& f, const std::string& col) {
    auto leaf = [&](int parent, char c, double t) {
        if (c == '_') return 1.0;
        return jc(parent, whichbase(c, 4), t);
    };
    double total = 0.0;
    for (int r = 0; r < 4; ++r)
        for (int x = 0; x < 4; ++x)
            for (int y = 0; y < 4; ++y)
                for (int w = 0; w < 4; ++w) {
                    if (col[4] != '_' && whichbase(col[4], 4) != r) continue;
                    total += 0.25 * jc(r, x, f.tRX) * jc(x, y, f.tXY) * jc(x, w, f.tXW) *
                             leaf(y, col[0], f.tYD) * leaf(y, col[1], f.tYE) *
                             leaf(w, col[2], f.tWF) * leaf(w, col[3], f.tWG);
                }
    return std::log(total);
}

// The specified summation: levels of P, P/2, P/4, ... entries (while above
// 1); entry j of a level is added to entry j mod size of the next.
double halving_sum(const std::vector<double>& terms) {
    std::vector<std::vector<double>> lv{terms};
    for (size_t s = terms.size() / 2; s > 1; s /= 2) lv.emplace_back(s, 0.0);
    for (size_t l = 1; l < lv.size(); ++l)
        for (size_t j = 0; j < lv[l - 1].size(); ++j) lv[l][j % lv[l].size()] += lv[l - 1][j];
    double r = 0.0;
    for (double e : lv.back()) r += e;
    return r;
}

// sublik the plain way: a new column subtree for every pattern.
double sublik_reference(compact_subst_pattern& p, baum* root, substmodel& sm) {
    std::vector<double> terms;
    for (size_t i = 0; i < p.columns.size(); ++i) {
        baum* sub = root->teilbaum(p.names, p.columns[i]);
        terms.push_back(p.counts[i] * state().logprobofpattern(p.columns[i], sub, sm));
        delete sub;
    }
    return halving_sum(terms);
}

}  // namespace

// ---------------------------------------------------------------------------
// Indel part

struct pathcase {
    const char* path;
    double expected;  // TKF91 link formula, lambda 0.01, mu 0.011, t 1
};

class IndelTwoLeaves : public ::testing::TestWithParam<pathcase> {};

TEST_P(IndelTwoLeaves, PairPathAtBranchTime) {
    const pathcase& c = GetParam();
    baum* r = mknode("R", 1, residues(c.path, "MD"));
    link(r, mknode("Y", 0, residues(c.path, "MI")), 1.0, c.path);
    indel im = tkf();
    EXPECT_NEAR(state().indlik(r, im), c.expected, 1e-12 * std::fabs(c.expected));
    delete r;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, IndelTwoLeaves,
    ::testing::Values(pathcase{"MMM", -2.7566073401938467}, pathcase{"MDM", -7.2559673047109765},
                      pathcase{"MIM", -7.2559673047109765}, pathcase{"", -2.407840654793997},
                      pathcase{"IIMDDIMI", -31.034189115452016},
                      pathcase{"DI", -12.339215886583798}, pathcase{"ID", -11.639071707428155}));

TEST(IndelTree, ThreeLeavesLengthTermOncePerChildBranch) {
    baum* r = mknode("R", 2, "AC");
    baum* x = mknode("", -1, "AC");
    link(x, mknode("B", 0, "AC"), 3.0, "MM");
    link(x, mknode("C", 1, "A"), 5.0, "MD");
    link(r, x, 2.0, "MM");
    indel im = tkf();
    EXPECT_NEAR(state().indlik(r, im), -5.950345171301673, 1e-12 * 6);
    // The pair table is left at the last branch visited.
    EXPECT_EQ(im.tP, 5.0);
    delete r;
}

TEST(IndelTree, FourLeavesWithInnerChild) {
    baum* r = four_leaf_tree();
    indel im = tkf();
    EXPECT_NEAR(state().indlik(r, im), -25.661255407141915, 1e-12 * 26);
    delete r;
}

// ---------------------------------------------------------------------------
// Substitution part

TEST(SubstTwoLeaves, KnownValuesAndFormula) {
    struct {
        double t;
        const char* col;
        double value;
    } cases[] = {{1.0, "AA", -1.396278},
                 {1.0, "AC", -7.096736},
                 {10.0, "AA", -1.484591},
                 {10.0, "AC", -4.853418}};
    for (auto& c : cases) {
        baum* r = mknode("R", 1, "");
        link(r, mknode("Y", 0, ""), c.t);
        compact_subst_pattern p = patterns({"Y", "R"}, {c.col}, {1});
        substmodel sm;
        const double got = state().sublik(p, r, sm);
        EXPECT_NEAR(got, c.value, 5e-7) << c.col << " " << c.t;
        // The column subtree is rooted at Y, the first leaf in post-order.
        substmodel ref;
        ref.settime(c.t);
        const int y = whichbase(c.col[0], 4), rr = whichbase(c.col[1], 4);
        EXPECT_TRUE(bits_equal(got, ref.logfreqofstate(y) + (0.0 + ref.logProb_ij(y, rr))));
        delete r;
    }
}

TEST(SubstColumns, GapsAreMissingData) {
    fiveleaf f;
    const char* cols[] = {"ACGTA", "AAAAA", "_CGTA", "AC__G", "__G_T",
                          "T____", "____C", "_A_A_", "GG__G", "CA_TT"};
    substmodel sm;
    for (const char* c : cols) {
        compact_subst_pattern p = patterns(f.names, {c}, {1});
        const double want = jc_brute(f, c);
        EXPECT_NEAR(state().sublik(p, f.root, sm), want, 1e-12 * std::fabs(want)) << c;
    }
}

TEST(SubstColumns, SingleResidueIsLogFrequency) {
    std::vector<double> fr{0.1, 0.2, 0.3, 0.4}, none;
    substmodel sm(NUC, FEL81, fr, none);
    fiveleaf f;
    struct {
        const char* col;
        double freq;
    } cases[] = {{"__G__", 0.3}, {"____T", 0.4}, {"R____", 0.1 + 0.3}, {"___N_", 1.0}};
    for (auto& c : cases) {
        compact_subst_pattern p = patterns(f.names, {c.col}, {1});
        EXPECT_NEAR(state().sublik(p, f.root, sm), std::log(c.freq), 1e-15) << c.col;
    }
}

TEST(SubstColumns, NoPatternsGiveZero) {
    fiveleaf f;
    compact_subst_pattern p = patterns(f.names, {}, {});
    substmodel sm;
    sm.settime(3.0);
    EXPECT_EQ(state().sublik(p, f.root, sm), 0.0);
    EXPECT_EQ(sm.timeOf(), 3.0);
}

// The halving summation, bit for bit, on values where the order shows.
TEST(SubstSummation, HalvingShape) {
    std::vector<double> fr{0.1, 0.2, 0.3, 0.4}, none;
    substmodel sm(NUC, FEL81, fr, none);
    fiveleaf f;
    const char* singles[] = {"A____", "_C___", "__G__", "___T_", "____A"};
    const std::vector<int> counts{1000003, 7,  123456789, 3, 99991, 17, 5,    2000000011, 13,
                                  1,       77, 65537,     9, 4099,  31, 8191, 2};
    auto lf = [&](const char* c) {
        for (int k = 0; k < 5; ++k)
            if (c[k] != '_') return sm.logfreqofstate(whichbase(c[k], 4));
        return 0.0;
    };
    for (size_t P : {1u, 2u, 3u, 4u, 5u, 10u, 17u}) {
        std::vector<std::string> cols;
        std::vector<int> cnt;
        std::vector<double> terms;
        for (size_t i = 0; i < P; ++i) {
            cols.push_back(singles[(i * 3) % 5]);
            cnt.push_back(counts[i]);
            terms.push_back(cnt.back() * lf(cols.back().c_str()));
        }
        compact_subst_pattern p = patterns(f.names, cols, cnt);
        const double got = state().sublik(p, f.root, sm);
        EXPECT_TRUE(bits_equal(got, halving_sum(terms))) << P;
        if (P == 4) {
            EXPECT_TRUE(bits_equal(got, (terms[0] + terms[2]) + (terms[1] + terms[3])));
        }
        if (P == 10) {
            std::vector<double> l1(5);
            for (int k = 0; k < 5; ++k) l1[k] = terms[k] + terms[k + 5];
            const double want = ((l1[0] + l1[2]) + l1[4]) + (l1[1] + l1[3]);
            EXPECT_TRUE(bits_equal(got, want));
            double naive = 0.0;
            for (double t : terms) naive += t;
            EXPECT_FALSE(bits_equal(want, naive)) << "values do not tell the orders apart";
        }
        if (P <= 3) {
            double plain = 0.0;
            for (double t : terms) plain += t;
            EXPECT_TRUE(bits_equal(got, plain)) << P;
        }
    }
}

// sublik with its caches against a new subtree and plain pruning per
// pattern: the same bits, and the model left at the same time.
TEST(SubstReuse, BitIdenticalToPlainPruning) {
    std::vector<double> nucfr{0.1, 0.2, 0.3, 0.4}, aafr(20, 0.05), hkypar{2.0}, none;
    struct modelcase {
        const char* what;
        int alph;
        std::function<substmodel()> make;
        const char* letters;
    } models[] = {
        {"HKY", 4, [&] { return substmodel(NUC, HKY, nucfr, hkypar); }, "ACGTACGTRYN"},
        {"JTT", 20, [&] { return substmodel(AA, JTT, aafr, none); }, "ARNDCQEGHILKMFPSTWYVBZX"},
    };
    for (auto& m : models) {
        std::mt19937 rng(11);
        fiveleaf f;
        mdataset al;
        for (auto& n : f.names) al.names.emplace_back(n.begin(), n.end());
        al.seqs.assign(5, std::vector<char>());
        const std::string letters = m.letters;
        for (int b = 0; b < 300; ++b) {
            bool any = false;
            for (int r = 0; r < 5; ++r) {
                const bool gap = rng() % 3 == 0;
                char c = gap ? '_' : letters[rng() % (b < 150 ? 4 : letters.size())];
                any = any || !gap;
                if (r == 4 && !any) c = letters[0];
                al.seqs[r].push_back(c);
            }
        }
        compact_subst_pattern p(al);
        ASSERT_GT(p.columns.size(), 60u);
        substmodel fast = m.make(), plain = m.make();
        const double got = state().sublik(p, f.root, fast);
        const double want = sublik_reference(p, f.root, plain);
        EXPECT_TRUE(bits_equal(got, want)) << m.what << " " << got << " " << want;
        EXPECT_TRUE(bits_equal(fast.timeOf(), plain.timeOf())) << m.what;
        // And it does not depend on what the model held before.
        fast.settime(123.0);
        EXPECT_TRUE(bits_equal(state().sublik(p, f.root, fast), want)) << m.what;
    }
}

namespace {

// A random tree of up to 2^depth leaves below the root leaf's child, with
// branch lengths from a few values so that fused lengths repeat.
baum* random_tree(std::mt19937& rng, int depth, std::vector<std::string>& names) {
    const double lengths[] = {0.5, 1.0, 2.5, 4.0, 7.5};
    std::function<baum*(int)> grow = [&](int d) -> baum* {
        if (d == 0 || rng() % 5 == 0) {
            names.push_back("L" + std::to_string(names.size()));
            return mknode(names.back(), static_cast<int>(names.size()) - 1, "");
        }
        baum* x = mknode("", -1, "");
        for (int k = 0; k < 2; ++k) link(x, grow(d - 1), lengths[rng() % 5]);
        return x;
    };
    baum* x = grow(depth);
    names.push_back("R");
    baum* r = mknode("R", static_cast<int>(names.size()) - 1, "");
    link(r, x, 3.0);
    return r;
}

}  // namespace

TEST(SubstReuse, BitIdenticalOnLargerTrees) {
    std::mt19937 rng(3);
    for (int round = 0; round < 4; ++round) {
        std::vector<std::string> names;
        baum* root = random_tree(rng, 5, names);
        mdataset al;
        for (auto& n : names) al.names.emplace_back(n.begin(), n.end());
        al.seqs.assign(names.size(), std::vector<char>());
        for (int b = 0; b < 400; ++b) {
            const char common = "ACGT"[rng() % 4];
            const unsigned gaps = rng() % 4;  // rows with a gap: none, few or many
            for (size_t r = 0; r < names.size(); ++r) {
                char c = rng() % 10 < 8 ? common : "ACGTN"[rng() % 5];
                if (r + 1 < names.size() && rng() % 8 < gaps) c = '_';
                al.seqs[r].push_back(c);
            }
        }
        compact_subst_pattern p(al);
        std::vector<double> fr{0.2, 0.3, 0.1, 0.4}, par{1.5};
        substmodel fast(NUC, HKY, fr, par), plain = fast;
        const double got = state().sublik(p, root, fast);
        const double want = sublik_reference(p, root, plain);
        EXPECT_TRUE(bits_equal(got, want)) << round << " " << got << " " << want;
        EXPECT_TRUE(bits_equal(fast.timeOf(), plain.timeOf())) << round;
        delete root;
    }
}

TEST(SubstRecursion, ChildliksOnWholeTree) {
    // Pruning from the root leaf over the whole tree agrees with brute force.
    fiveleaf f;
    substmodel sm;
    std::vector<char> col{'A', 'C', 'C', 'G', 'T'};
    const double got = state().logprobofpattern(col, f.root, sm);
    EXPECT_NEAR(got, jc_brute(f, "ACCGT"), 1e-12 * std::fabs(got));
}

// ---------------------------------------------------------------------------
// The sum of both parts

TEST(Complik, IndelPlusSubstitution) {
    baum* r = mknode("R", 2, "ACGT");
    baum* x = mknode("", -1, "AGT");
    link(x, mknode("B", 0, "GT"), 2.0, "DMM");
    link(x, mknode("C", 1, "ACGT"), 0.5, "MIMM");
    link(r, x, 1.5, "MDMM");
    std::vector<double> fr{0.1, 0.2, 0.3, 0.4}, par{0.7};
    substmodel sm(NUC, HKY, fr, par), sm2 = sm;
    indel im = tkf(), im2 = im;
    mult_alignment s(sm, im, r, keepfixed(), cooling());
    const double ind = s.indlik(r, im2);
    const double sub = s.sublik(s.pattern, r, sm2);
    EXPECT_TRUE(bits_equal(s.complik(s.pattern, r, im, sm), ind + sub));
    EXPECT_TRUE(bits_equal(s.loglik, ind + sub));
    EXPECT_TRUE(bits_equal(s.complik(s.pattern, r), ind + sub));
}
