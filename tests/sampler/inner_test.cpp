// Inner residues, initial inner sequences and the resampling sweep.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "sampler/mult_align.h"
#include "sampler_fixtures.h"
#include "sequence/precision.h"
#include "sequence/random.h"
#include "support/fatal.h"

namespace {

using samplertest::above;
using samplertest::all_nodes;
using samplertest::below;
using samplertest::f81;
using samplertest::f81_p;
using samplertest::kFreqs;
using samplertest::link;
using samplertest::mknode;

mult_alignment& st() {
    static mult_alignment* s = [] {
        baum* r = mknode("R", 1, "A");
        link(r, mknode("L", 0, "A"), 1.0, "M");
        return new mult_alignment(f81(1.0), indel(std::vector<double>{0.02, 0.021}, TKF1), r,
                                  keepfixed(), cooling());
    }();
    return *s;
}

double chi_square(const std::vector<int>& counts, const std::vector<double>& p, int draws) {
    double c = 0.0;
    for (size_t k = 0; k < p.size(); ++k) {
        const double e = p[k] * draws;
        c += (counts[k] - e) * (counts[k] - e) / e;
    }
    return c;
}

// ---------------------------------------------------------------------------
// Random trees: a root leaf, bifurcating below, neighbour lists in mixed
// order, random sequences and branch lengths.

struct randtree {
    std::mt19937 g;
    int next = 0;
    baum* root = nullptr;

    randtree(unsigned seed, int leaves, bool empties = false) : g(seed) {
        root = mknode("R", leaves - 1, seq(empties));
        std::vector<int> rest;
        for (int i = 0; i < leaves - 1; ++i) rest.push_back(i);
        grow(root, rest, empties);
    }
    ~randtree() { delete root; }
    randtree(const randtree&) = delete;
    randtree& operator=(const randtree&) = delete;
    std::string seq(bool empties) {
        const int len = empties ? 0 : 3 + static_cast<int>(g() % 20);
        std::string s;
        for (int i = 0; i < len; ++i) s += "ACGT"[g() % 4];
        return s;
    }
    double length() { return 1.0 + static_cast<double>(g() % 3000) / 100.0; }
    void grow(baum* parent, std::vector<int> ids, bool empties) {
        baum* x = ids.size() == 1 ? mknode("L" + std::to_string(ids[0]), ids[0], seq(empties))
                                  : mknode("", -1, "");
        const bool parentfirst = g() % 2 == 0;
        if (parentfirst) link(parent, x, length());
        if (ids.size() > 1) {
            std::shuffle(ids.begin(), ids.end(), g);
            const size_t cut = 1 + g() % (ids.size() - 1);
            grow(x, std::vector<int>(ids.begin(), ids.begin() + cut), empties);
            grow(x, std::vector<int>(ids.begin() + cut, ids.end()), empties);
        }
        if (!parentfirst) link(parent, x, length());
    }
};

// Every branch: maps as long as the sequences, a walk from start to end
// that uses every residue of both sides.
void expect_branch(baum* x, baum* y) {
    const std::vector<int>& there = x->neighbors[x->whichone(y)].posmap;
    const std::vector<int>& back = y->neighbors[y->whichone(x)].posmap;
    ASSERT_EQ(there.size(), x->seq.size());
    ASSERT_EQ(back.size(), y->seq.size());
    std::vector<int> pos{-1, -1};
    int m = 0, i = 0, d = 0;
    ASSERT_EQ(iter_zust(there, back, pos), START);
    for (int s = iter_zust(there, back, pos); s != END; s = iter_zust(there, back, pos)) {
        if (s == MATCH) ++m;
        else if (s == INSERTION) ++i;
        else if (s == DELETION) ++d;
        else FAIL() << "state " << s;
    }
    EXPECT_EQ(m + d, x->seq.laen());
    EXPECT_EQ(m + i, y->seq.laen());
}

void expect_consistent(baum* root) {
    std::vector<baum*> nodes;
    all_nodes(root, nullptr, nodes);
    for (baum* x : nodes) {
        for (neighbor& r : x->neighbors) expect_branch(x, r.node);
        if (!x->isLeaf())
            for (int c : x->seq) {
                EXPECT_GE(c, 0);
                EXPECT_LT(c, 4);
            }
    }
}

using homology = std::set<std::set<std::pair<std::string, int>>>;

// Leaf alignment built from the tree: each row without gaps is the leaf's
// sequence; the columns as sets of (leaf, residue index).
homology leaf_homology(baum* root) {
    mdataset m(root, NUC);
    std::map<std::string, std::string> leafseq;
    std::vector<baum*> nodes;
    all_nodes(root, nullptr, nodes);
    for (baum* x : nodes)
        if (x->isLeaf()) {
            std::string s;
            for (int c : x->seq) s += state_to_char(c, NUC);
            leafseq[x->id.name] = s;
        }
    EXPECT_EQ(m.seqs.size(), leafseq.size());
    homology h;
    const size_t len = m.seqs.empty() ? 0 : m.seqs[0].size();
    std::vector<int> count(m.seqs.size(), 0);
    for (size_t b = 0; b < len; ++b) {
        std::set<std::pair<std::string, int>> col;
        for (size_t r = 0; r < m.seqs.size(); ++r)
            if (m.seqs[r][b] != '_')
                col.insert({std::string(m.names[r].begin(), m.names[r].end()), count[r]++});
        EXPECT_FALSE(col.empty());
        h.insert(col);
    }
    for (size_t r = 0; r < m.seqs.size(); ++r) {
        std::string name(m.names[r].begin(), m.names[r].end()), row;
        for (char c : m.seqs[r])
            if (c != '_') row += c;
        EXPECT_EQ(row, leafseq[name]) << name;
    }
    return h;
}

std::map<std::string, bioseq> leaf_sequences(baum* root) {
    std::vector<baum*> nodes;
    all_nodes(root, nullptr, nodes);
    std::map<std::string, bioseq> out;
    for (baum* x : nodes)
        if (x->isLeaf()) out[x->id.name] = x->seq;
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Conversions between the column-state alphabets, derived from the roles
// that hold a residue in each state.

namespace {
// Holders of the quartet states 0 to 14 (U, N, B, C) and of the triplet
// codes over (U, B, C), U in the triplet's N role.
const std::vector<std::string> kQuartHolders{"UNBC", "UNB", "UNC", "NBC", "UN", "NB", "NC", "U",
                                             "N",    "B",   "B",   "B",   "B",  "C",  "C"};
const std::map<int, std::string> kTriHolders{{0, "UBC"}, {1, "UB"}, {2, "UC"}, {3, "C"},
                                             {4, "B"},   {5, "B"},  {6, "U"},  {9, "BC"}};
std::string without_n(const std::string& s) {
    std::string r;
    for (char c : s)
        if (c != 'N') r += c;
    return r;
}
}  // namespace

TEST(InnerConversion, WhichQuartetFromHolders) {
    for (int mask = 0; mask < 8; ++mask) {
        std::vector<zustand> z;
        std::string holders = "N";
        const char role[3] = {'U', 'B', 'C'};
        for (int k = 0; k < 3; ++k) {
            const bool match = !(mask & (4 >> k));
            z.push_back(match ? MATCH : DELETION);
            if (match) holders += role[k];
        }
        int expected = -1;
        for (int q = 0; q < QUART_START; ++q) {
            std::string h = kQuartHolders[static_cast<size_t>(q)];
            if (std::set<char>(h.begin(), h.end()) ==
                std::set<char>(holders.begin(), holders.end()))
                expected = q;
        }
        ASSERT_NE(expected, -1);
        EXPECT_EQ(st().which_quartet_zus(z), expected) << holders;
    }
}

TEST(InnerConversion, QuartToTriFromHolders) {
    std::vector<quart_zus> path{QUART_START};
    std::vector<int> expected{TRIPLET_START};
    for (int q = 0; q < QUART_START; ++q) {
        path.push_back(quart_zus(q));
        const std::string h = without_n(kQuartHolders[static_cast<size_t>(q)]);
        if (h.empty()) continue;  // the centre alone is no outer column
        int code = -1;
        for (auto& [c, th] : kTriHolders)
            if (th == h && code == -1) code = c;  // the first of equal variants
        expected.push_back(code);
    }
    path.push_back(QUART_END);
    expected.push_back(TRIPLET_END);
    std::vector<triplet_zus> tri{triplet_zus(3)};
    st().quart_to_tri(path, tri);
    EXPECT_EQ(std::vector<int>(tri.begin(), tri.end()), expected);
}

namespace {
struct deathcase {
    const char* name;
    std::function<void()> run;
    const char* err;
};

void PrintTo(const deathcase& c, std::ostream* os) { *os << c.name; }
}  // namespace

class InnerFailures : public ::testing::TestWithParam<deathcase> {};

TEST_P(InnerFailures, Message) {
    const deathcase& c = GetParam();
    EXPECT_TRUE(ends_fatally(c.run, c.err));
}

namespace {
std::vector<quart_zus> qpath(const std::vector<int>& v) {
    std::vector<quart_zus> p;
    for (int q : v) p.push_back(quart_zus(q));
    return p;
}
std::vector<triplet_zus> tpath(const std::vector<int>& v) {
    std::vector<triplet_zus> p;
    for (int t : v) p.push_back(triplet_zus(t));
    return p;
}

void conv(std::vector<int> q) {
    std::vector<quart_zus> p = qpath(q);
    std::vector<triplet_zus> t;
    st().quart_to_tri(p, t);
}

void which(std::vector<zustand> z) { st().which_quartet_zus(z); }

// Inner node X with parent R and children B, C; the maps as given (each
// read with the first-named node first).
struct star {
    baum* r;
    baum* x;
    std::vector<unsigned> fam{2, 0, 1};
    star(const std::string& xs, const std::string& rs, const std::string& bs, const std::string& cs,
         const std::string& rx = "", const std::string& xb = "", const std::string& xc = "") {
        r = mknode("R", 2, rs);
        x = mknode("", -1, xs);
        link(x, mknode("B", 0, bs), 5.0, xb);
        link(x, mknode("C", 1, cs), 7.0, xc);
        link(r, x, 3.0, rx);
    }
    ~star() { delete r; }
};

void write_mid(std::vector<int> p, const std::string& bs, const std::string& cs) {
    star s("", "A", bs, cs);
    std::vector<triplet_zus> path = tpath(p);
    std::vector<unsigned> nbs{0, 1};
    st().write_midseq_to_tree(path, s.x, nbs);
}

void write_cent(std::vector<int> p, const std::string& rs, const std::string& bs,
                const std::string& cs) {
    star s("", rs, bs, cs);
    std::vector<quart_zus> path = qpath(p);
    substmodel sm = st().submodel;
    st().write_centseq(path, s.x, s.fam, sm);
}

void walk(const std::string& rx, const std::string& xb, const std::string& xc) {
    std::string rs, bs, cs, xs;
    for (char c : rx) {
        if (c != 'I') rs += 'A';
        if (c != 'D') xs += 'A';
    }
    for (char c : xb)
        if (c != 'D') bs += 'A';
    for (char c : xc)
        if (c != 'D') cs += 'A';
    star s(xs, rs, bs, cs, rx, xb, xc);
    std::vector<quart_zus> path;
    st().quartali(path, s.x, s.fam);
}
}  // namespace

INSTANTIATE_TEST_SUITE_P(
    InnerConversions, InnerFailures,
    ::testing::Values(deathcase{"which_short",
                                [] {
                                    which({MATCH, MATCH});
                                },
                                "A strange argument was passed to which_quartet_zus!\n"},
                      deathcase{"which_insertion",
                                [] {
                                    which({MATCH, INSERTION, MATCH});
                                },
                                "Unreasonable state in function which_quartet_zus\n"},
                      deathcase{"tri_late_start",
                                [] {
                                    conv({QUART_START, 0, QUART_START, QUART_END});
                                },
                                "Late start of vector quart in quart_to_tri\n"},
                      deathcase{"tri_early_end",
                                [] {
                                    conv({QUART_START, QUART_END, 0, QUART_END});
                                },
                                "Premature end of vector quart in quart_to_tri\n"},
                      deathcase{"tri_strange",
                                [] {
                                    conv({QUART_START, QUART_MARKER, QUART_END});
                                },
                                "Strange state in function quart_to_tri\n"},
                      deathcase{"tri_no_end",
                                [] {
                                    conv({QUART_START, 0, QUART_HIDDEN_N});
                                },
                                "Error in function quart_to_tri\n"}));

// ---------------------------------------------------------------------------
// Drawing inner residues

namespace {
// Number of uniforms a call consumes, from a known generator state.
int uniforms_used(const std::function<void()>& f) {
    idum = -11;
    f();
    const double after = randomunitintervall();
    for (int k = 0; k < 8; ++k) {
        idum = -11;
        for (int j = 0; j < k; ++j) randomunitintervall();
        if (randomunitintervall() == after) return k;
    }
    return -1;
}

double first_uniform() {
    idum = -11;
    return randomunitintervall();
}

struct shortcut {
    const char* name;
    std::function<void(int&, int&)> run;
    int x, y;  // expected; -2: any state
    int uniforms;
};
}  // namespace

TEST(InnerDraw, ZeroTimeShortcutsCopyTheNeighbour) {
    mult_alignment& s = st();
    const substmodel Z = f81(0.0), T1 = f81(4.0), T2 = f81(9.0), T3 = f81(13.0);
    const int coin = single_precision(first_uniform()) < 0.5 ? 0 : 2;
    const std::vector<shortcut> cases{
        {"one", [&](int& x, int&) { x = s.infer_base(14, Z); }, 14, -1, 1},
        {"two_b", [&](int& x, int&) { x = s.infer_base(0, T1, 5, Z); }, 5, -1, 1},
        {"two_a_first", [&](int& x, int&) { x = s.infer_base(0, Z, 5, Z); }, 0, -1, 1},
        {"three_c", [&](int& x, int&) { x = s.infer_base(1, T1, 2, T2, 9, Z); }, 9, -1, 1},
        {"three_b", [&](int& x, int&) { x = s.infer_base(1, T1, 2, Z, 9, Z); }, 2, -1, 1},
        {"six_ab", [&](int& x, int& y) { s.infer_six(x, y, T1, 1, Z, 3, Z, 0, T2, 2, T3); }, 1, -2,
         2},
        {"six_xy", [&](int& x, int& y) { s.infer_six(x, y, Z, 0, Z, 1, T1, 2, Z, 3, T2); }, coin,
         coin, 2},
        {"six_e", [&](int& x, int& y) { s.infer_six(x, y, T1, 1, T2, 3, T3, 0, T2, 12, Z); }, -2,
         12, 2},
        {"five_xy_b", [&](int& x, int& y) { s.infer_five(x, y, Z, 0, T1, 6, Z, 2, T2); }, 6, 6, 2},
        {"five_b", [&](int& x, int& y) { s.infer_five(x, y, T1, 0, T2, 3, Z, 2, T2); }, -2, 3, 2},
        {"five_c", [&](int& x, int& y) { s.infer_five(x, y, T1, 0, T2, 3, T3, 2, Z); }, -2, 2, 2},
        {"five_a", [&](int& x, int& y) { s.infer_five(x, y, T1, 7, Z, 3, T2, 2, T3); }, 7, -2, 2},
        {"line_b", [&](int& x, int& y) { s.infer_line(x, y, T1, 0, T2, 3, Z); }, -2, 3, 2},
        {"line_ab", [&](int& x, int& y) { s.infer_line(x, y, T1, 0, Z, 3, Z); }, 0, 3, 2},
        {"line_xy", [&](int& x, int& y) { s.infer_line(x, y, Z, 1, Z, 3, T1); }, 1, 1, 2},
        {"star_ab", [&](int& x, int& y) { s.infer_star(x, y, T1, 0, Z, 3, Z); }, -2, 3, 2},
        {"star_xy_b", [&](int& x, int& y) { s.infer_star(x, y, Z, 0, T1, 3, Z); }, 3, 3, 2},
        {"star_a", [&](int& x, int& y) { s.infer_star(x, y, T1, 11, Z, 3, T2); }, -2, 11, 2},
        {"three_a", [&](int& x, int& y) { s.infer_three(x, y, T1, 13, Z); }, -2, 13, 2},
        {"three_xy", [&](int& x, int& y) { s.infer_three(x, y, Z, 13, T1); }, -3, -3, 3},
    };
    for (const shortcut& c : cases) {
        int x = -1, y = -1;
        const int used = uniforms_used([&] { c.run(x, y); });
        EXPECT_EQ(used, c.uniforms) << c.name;
        if (c.x >= 0) {
            EXPECT_EQ(x, c.x) << c.name;
        }
        if (c.y >= 0) {
            EXPECT_EQ(y, c.y) << c.name;
        }
        EXPECT_TRUE(c.x >= 0 || (x >= 0 && x < 4)) << c.name;
        EXPECT_TRUE(c.y != -2 || (y >= 0 && y < 4)) << c.name;
        EXPECT_TRUE(c.x != -3 || x == y) << c.name;
    }
}

TEST(InnerDraw, OracleMatchesModel) {
    const substmodel m = f81(17.0);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 15; ++j)
            EXPECT_NEAR(std::exp(m.logProb_ij(i, j)), below(i, j, 17.0), 1e-12);
}

// Posterior of the single draws against the closed form; 20000 draws,
// 3 degrees of freedom, bound at p = 0.001.
TEST(InnerDraw, SingleDrawsFollowThePosterior) {
    mult_alignment& s = st();
    const double ta = 6.0, tb = 25.0, tc = 3.0;
    const substmodel Ma = f81(ta), Mb = f81(tb), Mc = f81(tc);
    const int a = 5, b = 4, c = 3;  // Y, R, T
    struct form {
        std::function<int()> draw;
        std::function<double(int)> weight;
    };
    const std::vector<form> forms{
        {[&] { return s.infer_base(a, Ma, b, Mb, c, Mc); },
         [&](int i) { return above(a, i, ta) * below(i, b, tb) * below(i, c, tc); }},
        {[&] { return s.infer_base(a, Ma, b, Mb); },
         [&](int i) { return above(a, i, ta) * below(i, b, tb); }},
        {[&] { return s.infer_base(0, Ma); }, [&](int i) { return above(0, i, ta); }},
    };
    seedrandom(12345);
    const int draws = 20000;
    for (size_t f = 0; f < forms.size(); ++f) {
        std::vector<double> p(4);
        double z = 0.0;
        for (int i = 0; i < 4; ++i) z += p[static_cast<size_t>(i)] = forms[f].weight(i);
        for (double& v : p) v /= z;
        std::vector<int> counts(4, 0);
        for (int k = 0; k < draws; ++k) {
            const int x = forms[f].draw();
            ASSERT_TRUE(x >= 0 && x < 4);
            ++counts[static_cast<size_t>(x)];
        }
        EXPECT_LT(chi_square(counts, p, draws), 16.27) << "form " << f;
    }
}

// The pair draws on 16 cells against the closed form; bound at p = 0.001
// for 15 degrees of freedom.
TEST(InnerDraw, PairDrawsFollowThePosterior) {
    mult_alignment& s = st();
    const double txy = 11.0, ta = 6.0, tb = 25.0, tc = 3.0, te = 40.0;
    const substmodel Mxy = f81(txy), Ma = f81(ta), Mb = f81(tb), Mc = f81(tc), Me = f81(te);
    const int a = 4, b = 1, c = 3, e = 5;
    struct form {
        const char* name;
        std::function<void(int&, int&)> draw;
        std::function<double(int, int)> weight;
    };
    auto pi = [](int i) { return kFreqs[static_cast<size_t>(i)]; };
    const std::vector<form> forms{
        {"six", [&](int& x, int& y) { s.infer_six(x, y, Mxy, a, Ma, b, Mb, c, Mc, e, Me); },
         [&](int i, int j) {
             return above(a, i, ta) * below(i, b, tb) * f81_p(i, j, txy) * below(j, c, tc) *
                    below(j, e, te);
         }},
        {"five", [&](int& x, int& y) { s.infer_five(x, y, Mxy, a, Ma, b, Mb, c, Mc); },
         [&](int i, int j) {
             return above(a, i, ta) * f81_p(i, j, txy) * below(j, b, tb) * below(j, c, tc);
         }},
        {"line", [&](int& x, int& y) { s.infer_line(x, y, Mxy, a, Ma, b, Mb); },
         [&](int i, int j) { return above(a, i, ta) * f81_p(i, j, txy) * below(j, b, tb); }},
        {"star", [&](int& x, int& y) { s.infer_star(x, y, Mxy, a, Ma, b, Mb); },
         [&](int i, int j) {
             return pi(i) * f81_p(i, j, txy) * below(j, a, ta) * below(j, b, tb);
         }},
        {"three", [&](int& x, int& y) { s.infer_three(x, y, Mxy, a, Ma); },
         [&](int i, int j) { return pi(i) * f81_p(i, j, txy) * below(j, a, ta); }},
    };
    seedrandom(777);
    const int draws = 20000;
    for (const form& f : forms) {
        std::vector<double> p(16);
        double z = 0.0;
        for (int k = 0; k < 16; ++k) z += p[static_cast<size_t>(k)] = f.weight(k / 4, k % 4);
        for (double& v : p) v /= z;
        std::vector<int> counts(16, 0);
        for (int k = 0; k < draws; ++k) {
            int x = -1, y = -1;
            f.draw(x, y);
            ASSERT_TRUE(x >= 0 && x < 4 && y >= 0 && y < 4) << f.name;
            ++counts[static_cast<size_t>(4 * x + y)];
        }
        EXPECT_LT(chi_square(counts, p, draws), 37.70) << f.name;
    }
}

TEST(InnerDraw, AminoAcidDrawsStayInRange) {
    mult_alignment& s = st();
    substmodel m(AA, JTT);
    m.settime(30.0);
    seedrandom(5);
    std::set<int> seen;
    for (int k = 0; k < 400; ++k) {
        const int x = s.infer_base(k % 23, m, (k * 7) % 23, m, (k * 3) % 20, m);
        ASSERT_TRUE(x >= 0 && x < 20) << x;
        seen.insert(x);
        int p = -1, q = -1;
        s.infer_star(p, q, m, k % 20, m, 22, m);
        ASSERT_TRUE(p >= 0 && p < 20 && q >= 0 && q < 20);
    }
    EXPECT_GT(seen.size(), 10u);
}

// Weights that are not numbers exhaust the inversion: the warning, and the
// fallback chosen by the uniform.
TEST(InnerDraw, ExhaustedInversionFallsBack) {
    // Generator states whose first uniform lies in each sixth and quarter.
    std::vector<int> seeds;
    std::vector<double> us;
    std::set<int> bins;
    for (int k = 1; seeds.size() < 8 && k < 100000; ++k) {
        idum = -k;
        const double u = randomunitintervall();
        const int bin = static_cast<int>(u * 6) * 4 + static_cast<int>(u * 4);
        if (bins.insert(bin).second) {
            seeds.push_back(k);
            us.push_back(u);
        }
    }
    ASSERT_EQ(seeds.size(), 8u);
    struct form {
        const char* name;
        std::function<int(mult_alignment&, const substmodel&)> draw;
        std::function<int(double)> expected;
        const char* warning;
    };
    const int a = 0, b = 1, c = 2, e = 3;
    const std::vector<form> forms{
        {"I",
         [&](mult_alignment& s, const substmodel& N) { return s.infer_base(a, N, b, N, c, N); },
         [&](double u) { return u < 1.0 / 3   ? a
                                : u < 2.0 / 3 ? c
                                              : b; },
         "Warning: Reached end of infer_base I\n"},
        {"II", [&](mult_alignment& s, const substmodel& N) { return s.infer_base(a, N, b, N); },
         [&](double u) { return single_precision(u) < 0.5 ? b : a; },
         "Warning: Reached end of infer_base II\n"},
        {"III", [&](mult_alignment& s, const substmodel& N) { return s.infer_base(a, N); },
         [&](double) { return a; }, "Warning: Reached end of infer_base III\n"},
        {"six",
         [&](mult_alignment& s, const substmodel& N) {
             int x, y;
             s.infer_six(x, y, N, a, N, b, N, c, N, e, N);
             return x == y ? x : -1;
         },
         [&](double u) {
             const double f = single_precision(u);
             return f < 0.25 ? a : f < 0.5 ? b : f < 0.75 ? c : e;
         },
         "Warning: Problems in function infer_six\n"},
        {"five",
         [&](mult_alignment& s, const substmodel& N) {
             int x, y;
             s.infer_five(x, y, N, a, N, b, N, c, N);
             return x == y ? x : -1;
         },
         [&](double u) { return u < 1.0 / 3   ? a
                                : u < 2.0 / 3 ? b
                                              : c; },
         "Warning: Problems in function infer_five\n"},
        {"line",
         [&](mult_alignment& s, const substmodel& N) {
             int x, y;
             s.infer_line(x, y, N, a, N, b, N);
             return x == y ? x : -1;
         },
         [&](double u) { return single_precision(u) < 0.5 ? a : b; },
         "Warning: Problems in function infer_line\n"},
        {"star",
         [&](mult_alignment& s, const substmodel& N) {
             int x, y;
             s.infer_star(x, y, N, a, N, b, N);
             return x == y ? x : -1;
         },
         [&](double u) { return single_precision(u) < 0.5 ? a : b; },
         "Warning: Problems in function infer_star\n"},
        {"three",
         [&](mult_alignment& s, const substmodel& N) {
             int x, y;
             s.infer_three(x, y, N, a, N);
             return x == y ? x : -1;
         },
         [&](double) { return a; }, "Warning: Problems in function infer_three\n"},
    };
    for (const form& f : forms) {
        ChildResult r = run_in_child(
            [&] {
                substmodel nanmodel = f81(std::nan(""));
                for (int k : seeds) {
                    idum = -k;
                    std::printf("%d\n", f.draw(st(), nanmodel));
                }
                std::fflush(stdout);
            },
            30);
        std::string out, err;
        for (double u : us) {
            out += std::to_string(f.expected(u)) + "\n";
            err += f.warning;
        }
        EXPECT_EQ(r.status, 0) << f.name;
        EXPECT_EQ(r.out, out) << f.name;
        EXPECT_EQ(r.err, err) << f.name;
    }
}

// ---------------------------------------------------------------------------
// Initial inner sequences and the sweep on random trees

TEST(InnerTree, ConstructAlignBuildsConsistentBranches) {
    for (unsigned seed = 1; seed <= 16; ++seed) {
        const int leaves = 2 + static_cast<int>(seed % 5);
        randtree t(seed, leaves, seed == 16);
        seedrandom(seed);
        const auto before = leaf_sequences(t.root);
        st().construct_align(t.root);
        SCOPED_TRACE(seed);
        expect_consistent(t.root);
        leaf_homology(t.root);
        EXPECT_EQ(leaf_sequences(t.root), before);
    }
}

// Resampling a centre keeps the alignment its neighbours have through it.
TEST(InnerTree, CentreResamplingKeepsLeafHomology) {
    for (unsigned seed = 1; seed <= 12; ++seed) {
        const int leaves = 3 + static_cast<int>(seed % 5);
        randtree t(100 + seed, leaves);
        seedrandom(seed);
        st().construct_align(t.root);
        const homology h = leaf_homology(t.root);
        const auto seqs = leaf_sequences(t.root);
        std::vector<baum*> inner;
        t.root->intnodes(inner);
        std::vector<unsigned> fam;
        for (size_t k = 0; k < inner.size(); ++k) {
            SCOPED_TRACE(testing::Message() << "seed " << seed << " step " << k);
            st().familie(fam, inner[k]);
            st().samp_centseq(inner[k], fam, st().submodel, st().indmodel);
            expect_consistent(t.root);
            EXPECT_EQ(leaf_homology(t.root), h);
            EXPECT_EQ(leaf_sequences(t.root), seqs);
        }
    }
}

// The sweep, branch windows included, leaves every branch consistent and
// the leaves as they were.
TEST(InnerTree, SweepKeepsBranchesConsistent) {
    int finished = 0;
    for (unsigned seed = 1; seed <= 12; ++seed) {
        const int leaves = 2 + static_cast<int>(seed % 6);
        randtree t(200 + seed, leaves);
        seedrandom(seed);
        st().construct_align(t.root);
        const auto seqs = leaf_sequences(t.root);
        for (int round = 0; round < 3; ++round) {
            SCOPED_TRACE(testing::Message() << "seed " << seed << " round " << round);
            if (st().uphill(t.root)) ++finished;
            expect_consistent(t.root);
            leaf_homology(t.root);
            EXPECT_EQ(leaf_sequences(t.root), seqs);
        }
    }
    EXPECT_EQ(finished, 36);
}

// The triplet step on any two neighbours, the parent side included; the
// third branch is left to the caller.
TEST(InnerTree, MidseqOnTheParentSide) {
    randtree t(31, 5);
    seedrandom(8);
    st().construct_align(t.root);
    std::vector<baum*> inner;
    t.root->intnodes(inner);
    for (baum* x : inner) {
        std::vector<unsigned> fam;
        st().familie(fam, x);
        std::vector<unsigned> nbs{fam[0], fam[2]};
        const std::vector<int> untouched =
            x->NB(static_cast<int>(fam[1]))
                ->neighbors[x->NB(static_cast<int>(fam[1]))->whichone(x)]
                .posmap;
        st().midseq(x, nbs);
        expect_branch(x, x->NB(static_cast<int>(fam[0])));
        expect_branch(x, x->NB(static_cast<int>(fam[2])));
        baum* b = x->NB(static_cast<int>(fam[1]));
        EXPECT_EQ(b->neighbors[b->whichone(x)].posmap, untouched);
        st().construct_align(t.root);
    }
    expect_consistent(t.root);
}

TEST(InnerTree, TwoLeavesAlignOnlyTheRootBranch) {
    baum* r = mknode("R", 1, "ACGTTA");
    baum* l = mknode("L", 0, "ACTA");
    link(r, l, 5.0);
    seedrandom(3);
    st().construct_align(r);
    expect_consistent(r);
    seedrandom(4);
    EXPECT_TRUE(st().uphill(r));
    expect_consistent(r);
    EXPECT_EQ(r->seq.laen(), 6);
    EXPECT_EQ(l->seq.laen(), 4);
    delete r;
}

// With every leaf empty the one inner node is either empty or infinitely
// longer than its neighbours: the sweep stops with false, the tree valid.
TEST(InnerTree, DegenerateCentreStopsTheSweep) {
    for (unsigned seed = 1; seed <= 4; ++seed) {
        randtree t(seed, 3, true);
        seedrandom(seed);
        st().construct_align(t.root);
        ChildResult r = run_in_child(
            [&] {
                const bool ok = st().uphill(t.root);
                std::printf("%d", ok ? 1 : 0);
                std::fflush(stdout);
            },
            30);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "0") << seed;
    }
}

// ---------------------------------------------------------------------------
// The quartet walk over the centre's three edge alignments

namespace {
struct walkcase {
    const char* rx;  // parent side, parent first
    const char* xb;  // centre first
    const char* xc;
    std::vector<int> path;
};

void PrintTo(const walkcase& c, std::ostream* os) { *os << c.rx << " " << c.xb << " " << c.xc; }
}  // namespace

class InnerQuartali : public ::testing::TestWithParam<walkcase> {};

TEST_P(InnerQuartali, InsertionsOrderedWithinAGap) {
    const walkcase& c = GetParam();
    std::string rs, bs, cs, xs;
    for (char k : std::string(c.rx)) {
        if (k != 'I') rs += 'A';
        if (k != 'D') xs += 'A';
    }
    for (char k : std::string(c.xb))
        if (k != 'D') bs += 'A';
    for (char k : std::string(c.xc))
        if (k != 'D') cs += 'A';
    star s(xs, rs, bs, cs, c.rx, c.xb, c.xc);
    std::vector<quart_zus> path{quart_zus(4)};
    st().quartali(path, s.x, s.fam);
    EXPECT_EQ(std::vector<int>(path.begin(), path.end()), c.path);
}

// The parent-side paths are read parent first: D there is a parent residue
// alone (U insertion seen from the centre), I a centre residue alone.
INSTANTIATE_TEST_SUITE_P(
    InnerWalks, InnerQuartali,
    ::testing::Values(walkcase{"MDM", "MIM", "MIM", {QUART_START, 0, 11, 14, 7, 0, QUART_END}},
                      walkcase{"IM", "MIM", "MIM", {QUART_START, 3, 9, 13, 0, QUART_END}},
                      walkcase{"IM", "MIM", "DIM", {QUART_START, 5, 10, 13, 0, QUART_END}},
                      walkcase{"MI", "MID", "DIM", {QUART_START, 1, 12, 14, 6, QUART_END}},
                      walkcase{"", "", "", {QUART_START, QUART_END}},
                      walkcase{"D", "I", "", {QUART_START, 9, 7, QUART_END}}));

INSTANTIATE_TEST_SUITE_P(
    InnerWalks, InnerFailures,
    ::testing::Values(deathcase{"async_III", [] { walk("M", "MM", "MM"); },
                                "Error: pairwise alignments are asynchronous III\n"},
                      deathcase{"async_IV", [] { walk("M", "MM", "MD"); },
                                "Error: pairwise alignments are asynchronous IV\n"},
                      deathcase{"quartali_args",
                                [] {
                                    std::vector<quart_zus> p;
                                    std::vector<unsigned> fam{0, 1};
                                    st().quartali(p, nullptr, fam);
                                },
                                "Unreasonable arguments to quartali!\n"}));

// ---------------------------------------------------------------------------
// Failures of the tree operations and the path writers

namespace {
// Root leaf R - X; X with the given number of children (leaves).
baum* fan(int children, bool rootstar = false) {
    baum* r = mknode("R", children, "AC");
    if (rootstar) {
        for (int k = 0; k < children; ++k) link(r, mknode("L" + std::to_string(k), k, "A"), 1.0);
        return r;
    }
    baum* x = mknode("", -1, "");
    for (int k = 0; k < children; ++k) link(x, mknode("L" + std::to_string(k), k, "A"), 1.0);
    link(r, x, 1.0);
    return r;
}
}  // namespace

INSTANTIATE_TEST_SUITE_P(
    InnerTrees, InnerFailures,
    ::testing::Values(deathcase{"construct_four", [] { st().construct_align(fan(3)); },
                                "Tree in function construct_align is not bifurcating!\n"},
                      deathcase{"construct_two", [] { st().construct_align(fan(1)); },
                                "Tree in function construct_align is not bifurcating!\n"},
                      deathcase{"construct_rootstar", [] { st().construct_align(fan(3, true)); },
                                "Tree in function midseq is not bifurcating!\n"},
                      deathcase{"midseq_one",
                                [] {
                                    baum* r = fan(2);
                                    std::vector<unsigned> nbs{0};
                                    st().midseq(r->NB(0), nbs);
                                },
                                "Tree in function midseq is not bifurcating!\n"},
                      deathcase{"lost_root", [] { st().uphill(fan(2)->NB(0)); }, "Lost root\n"},
                      deathcase{"familie_null",
                                [] {
                                    std::vector<unsigned> f;
                                    st().familie(f, nullptr);
                                },
                                "The tree in function familie is a NULL pointer!\n"},
                      deathcase{"familie_two",
                                [] {
                                    std::vector<unsigned> f;
                                    st().familie(f, fan(1)->NB(0));
                                },
                                "An internal node turned out not to be internal!\nnb.size()=2\n"},
                      deathcase{"familie_two_parents",
                                [] {
                                    baum* x = fan(2)->NB(0);
                                    x->neighbors[0].isparent = true;
                                    std::vector<unsigned> f;
                                    st().familie(f, x);
                                },
                                "More than one neighbour lies towards the root!\n"},
                      deathcase{"familie_root",
                                [] {
                                    baum* x = fan(2)->NB(0);
                                    x->neighbors[2].isparent = false;
                                    std::vector<unsigned> f;
                                    st().familie(f, x);
                                },
                                "Error while looking for grand parent and children!\n"},
                      deathcase{"samp_args",
                                [] {
                                    std::vector<unsigned> f{0, 1};
                                    st().samp_centseq(fan(2)->NB(0), f, st().submodel,
                                                      st().indmodel);
                                },
                                "Unreasonable arguments to samp_midseq!\n"}));

INSTANTIATE_TEST_SUITE_P(
    InnerWriterPaths, InnerFailures,
    ::testing::Values(
        deathcase{"mid_state",
                  [] {
                      write_mid({TRIPLET_START, TRIPLET_OUTER_BC, TRIPLET_END}, "", "");
                  },
                  "Impossible state in write_midseq_to_tree\n"},
        deathcase{"mid_late_start",
                  [] {
                      write_mid({TRIPLET_START, TRIPLET_START, TRIPLET_END}, "", "");
                  },
                  "Impossible state in write_midseq_to_tree\n"},
        deathcase{"mid_early_end",
                  [] {
                      write_mid({TRIPLET_START, TRIPLET_END, TRIPLET_END}, "", "");
                  },
                  "Impossible state in write_midseq_to_tree\n"},
        deathcase{"mid_too_many_b",
                  [] {
                      write_mid({TRIPLET_START, 4, 4, TRIPLET_END}, "A", "CC");
                  },
                  "Error in function write_midseq_to_tree:\n0 -1 2\n"},
        deathcase{"mid_too_many_c",
                  [] {
                      write_mid({TRIPLET_START, 0, 3, TRIPLET_END}, "AG", "C");
                  },
                  "Error in function write_midseq_to_tree:\n0 1 -1\n"},
        deathcase{"mid_too_few",
                  [] {
                      write_mid({TRIPLET_START, 1, TRIPLET_END}, "AG", "C");
                  },
                  "Error in function write_midseq_to_tree:\n0 1 1\n"},
        deathcase{"cent_args",
                  [] {
                      star s("", "A", "A", "A");
                      std::vector<quart_zus> p = qpath({QUART_START, QUART_END});
                      std::vector<unsigned> fam{2, 0};
                      st().write_centseq(p, s.x, fam, st().submodel);
                  },
                  "Strange arguments to function writecentseq!\n"},
        deathcase{"cent_state",
                  [] {
                      write_cent({QUART_START, QUART_MARKER, QUART_END}, "", "", "");
                  },
                  "Impossible state in write_centseq\n"},
        deathcase{"cent_late_start",
                  [] {
                      write_cent({QUART_START, QUART_START, QUART_END}, "", "", "");
                  },
                  "Impossible state in write_centseq\n"},
        deathcase{"cent_too_many_u",
                  [] {
                      write_cent({QUART_START, 7, 7, QUART_END}, "A", "", "GG");
                  },
                  "Impossible state in write_centseq\n-1 0 2\n"},
        deathcase{"cent_too_many_b",
                  [] {
                      write_cent({QUART_START, 0, 9, QUART_END}, "A", "C", "G");
                  },
                  "Impossible state in write_centseq\n0 -1 0\n"},
        deathcase{"cent_too_few",
                  [] {
                      write_cent({QUART_START, 1, QUART_END}, "A", "CC", "G");
                  },
                  "Impossible state in write_centseq\n0 1 1\n"}));

// A valid path written by hand: the maps and the residues copied over
// zero-length branches.
TEST(InnerWriters, HandPathsGiveTheirMaps) {
    star s("", "ACG", "TT", "GA");
    for (neighbor& r : s.x->neighbors) r.brl = 0.0;
    for (baum* y : {s.r, s.x->NB(0), s.x->NB(1)}) y->neighbors[y->whichone(s.x)].brl = 0.0;
    // U N B C, U alone, N B, C alone, U N over U = ACG, B = TT, C = GA.
    std::vector<quart_zus> p = qpath({QUART_START, 0, 7, 5, 13, 4, QUART_END});
    substmodel sm = st().submodel;
    st().write_centseq(p, s.x, s.fam, sm);
    // Centre residues: column 0 copies U (first neighbour at time 0), column
    // 5 (N B) copies B[1], column 4 (U N) copies U[2].
    EXPECT_EQ(std::vector<int>(s.x->seq.begin(), s.x->seq.end()), (std::vector<int>{0, 3, 2}));
    auto map = [&](baum* a, baum* b) { return a->neighbors[a->whichone(b)].posmap; };
    baum* B = s.x->NB(0);
    baum* C = s.x->NB(1);
    EXPECT_EQ(map(s.x, s.r), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(map(s.r, s.x), (std::vector<int>{0, 0, 2}));
    EXPECT_EQ(map(s.x, B), (std::vector<int>{0, 1, 1}));
    EXPECT_EQ(map(B, s.x), (std::vector<int>{0, 1}));
    EXPECT_EQ(map(s.x, C), (std::vector<int>{0, 0, 1}));
    EXPECT_EQ(map(C, s.x), (std::vector<int>{0, 1}));
    expect_consistent(s.r);

    std::vector<triplet_zus> t = tpath({TRIPLET_START, 4, 0, TRIPLET_HIDDEN_N, 3, TRIPLET_END});
    std::vector<unsigned> nbs{0, 1};
    st().write_midseq_to_tree(t, s.x, nbs);
    EXPECT_EQ(s.x->seq.laen(), 2);
    EXPECT_EQ(s.x->seq[0], 3);  // B[1] over a zero-length branch
    EXPECT_EQ(map(s.x, B), (std::vector<int>{1, 1}));
    EXPECT_EQ(map(B, s.x), (std::vector<int>{-1, 0}));
    EXPECT_EQ(map(s.x, C), (std::vector<int>{0, 0}));
    EXPECT_EQ(map(C, s.x), (std::vector<int>{0, 1}));
}
