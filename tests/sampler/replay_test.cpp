// Random draws: the inversion order of the residue draws, the uniform drawn
// before any nested draw, the number of draws of a centre step and of the
// sweep's windows, the roles of a centre's branches, and the triplet step
// and the path writers replayed from their public parts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "sampler/mult_align.h"
#include "sampler_fixtures.h"
#include "sequence/precision.h"
#include "sequence/random.h"

namespace {

using samplertest::above;
using samplertest::all_nodes;
using samplertest::below;
using samplertest::drawn_since;
using samplertest::f81;
using samplertest::f81_p;
using samplertest::four_leaf_tree;
using samplertest::kFreqs;
using samplertest::link;
using samplertest::mknode;
using samplertest::uniform_at;

mult_alignment& st() {
    static mult_alignment* s = [] {
        baum* r = mknode("R", 1, "A");
        link(r, mknode("L", 0, "A"), 1.0);
        r->neighbors[0].posmap = {0};
        r->NB(0)->neighbors[0].posmap = {0};
        return new mult_alignment(f81(1.0), indel(std::vector<double>{0.02, 0.021}, TKF1), r,
                                  keepfixed(), cooling());
    }();
    return *s;
}

// First index whose running sum of the normalised weights reaches u; -2
// when u lies too near a boundary to decide against rounding.
int inverted(const std::vector<double>& w, double u) {
    double z = 0.0;
    for (double v : w) z += v;
    double sum = 0.0;
    for (size_t i = 0; i < w.size(); ++i) {
        sum += w[i] / z;
        if (std::fabs(sum - u) < 1e-9) return -2;
        if (sum >= u) return static_cast<int>(i);
    }
    return -2;
}

std::vector<double> single(const std::function<double(int)>& f) {
    std::vector<double> w;
    for (int i = 0; i < 4; ++i) w.push_back(f(i));
    return w;
}

std::vector<double> pair(const std::function<double(int, int)>& f) {
    std::vector<double> w;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) w.push_back(f(i, j));
    return w;
}

const double ta = 6.0, tb = 25.0, tc = 3.0, te = 40.0, txy = 11.0;

}  // namespace

// The candidate drawn by a given uniform, in index order (a chi-square
// test cannot tell the order apart).
TEST(ReplayDraws, SingleDrawsInvertInIndexOrder) {
    mult_alignment& s = st();
    const substmodel Ma = f81(ta), Mb = f81(tb), Mc = f81(tc);
    const int a = 5, b = 4, c = 3;
    struct form {
        std::function<int()> draw;
        std::vector<double> w;
    };
    const std::vector<form> forms{
        {[&] { return s.infer_base(a, Ma, b, Mb, c, Mc); },
         single([&](int i) { return above(a, i, ta) * below(i, b, tb) * below(i, c, tc); })},
        {[&] { return s.infer_base(a, Ma, b, Mb); },
         single([&](int i) { return above(a, i, ta) * below(i, b, tb); })},
        {[&] { return s.infer_base(0, Ma); }, single([&](int i) { return above(0, i, ta); })},
    };
    for (size_t f = 0; f < forms.size(); ++f) {
        int checked = 0;
        for (int seed = 1; seed <= 200; ++seed) {
            const int want = inverted(forms[f].w, uniform_at(seed, 0));
            if (want == -2) continue;
            idum = -seed;
            EXPECT_EQ(forms[f].draw(), want) << "form " << f << " seed " << seed;
            ++checked;
        }
        EXPECT_GT(checked, 190);
    }
}

TEST(ReplayDraws, PairDrawsInvertRowByRow) {
    mult_alignment& s = st();
    const substmodel Mxy = f81(txy), Ma = f81(ta), Mb = f81(tb), Mc = f81(tc), Me = f81(te);
    const int a = 4, b = 1, c = 3, e = 5;
    auto pi = [](int i) { return kFreqs[static_cast<size_t>(i)]; };
    struct form {
        const char* name;
        std::function<void(int&, int&)> draw;
        std::vector<double> w;
    };
    const std::vector<form> forms{
        {"six", [&](int& x, int& y) { s.infer_six(x, y, Mxy, a, Ma, b, Mb, c, Mc, e, Me); },
         pair([&](int i, int j) {
             return above(a, i, ta) * below(i, b, tb) * f81_p(i, j, txy) * below(j, c, tc) *
                    below(j, e, te);
         })},
        {"five", [&](int& x, int& y) { s.infer_five(x, y, Mxy, a, Ma, b, Mb, c, Mc); },
         pair([&](int i, int j) {
             return above(a, i, ta) * f81_p(i, j, txy) * below(j, b, tb) * below(j, c, tc);
         })},
        {"line", [&](int& x, int& y) { s.infer_line(x, y, Mxy, a, Ma, b, Mb); },
         pair([&](int i, int j) { return above(a, i, ta) * f81_p(i, j, txy) * below(j, b, tb); })},
        {"star", [&](int& x, int& y) { s.infer_star(x, y, Mxy, a, Ma, b, Mb); },
         pair([&](int i, int j) {
             return pi(i) * f81_p(i, j, txy) * below(j, a, ta) * below(j, b, tb);
         })},
        {"three", [&](int& x, int& y) { s.infer_three(x, y, Mxy, a, Ma); },
         pair([&](int i, int j) { return pi(i) * f81_p(i, j, txy) * below(j, a, ta); })},
    };
    for (const form& f : forms) {
        int checked = 0;
        for (int seed = 1; seed <= 200; ++seed) {
            const int want = inverted(f.w, uniform_at(seed, 0));
            if (want == -2) continue;
            idum = -seed;
            int x = -1, y = -1;
            f.draw(x, y);
            EXPECT_EQ(4 * x + y, want) << f.name << " seed " << seed;
            // Exactly one uniform.
            const double next = randomunitintervall();
            EXPECT_EQ(next, uniform_at(seed, 1)) << f.name;
            ++checked;
        }
        EXPECT_GT(checked, 190) << f.name;
    }
}

// A shortcut's nested single draw uses the uniform after the pair draw's
// own first one, and a second nested draw the one after that.
TEST(ReplayDraws, NestedDrawsFollowTheFirstUniform) {
    mult_alignment& s = st();
    const substmodel Z = f81(0.0), Mxy = f81(txy), Ma = f81(ta), Mb = f81(tb), Mc = f81(tc),
                     Me = f81(te);
    const int a = 4, b = 1, c = 3, e = 2;
    struct nested {
        const char* name;
        std::function<void(int&, int&)> draw;
        int fixed_x, fixed_y;                       // -1: drawn
        std::function<std::vector<double>(int)> w;  // of the drawn one, from the coin's u
        int uniforms;
    };
    const std::vector<nested> cases{
        {"five_b", [&](int& x, int& y) { s.infer_five(x, y, Mxy, a, Ma, b, Z, c, Mc); }, -1, b,
         [&](int) { return single([&](int i) { return above(a, i, ta) * below(i, b, txy); }); }, 2},
        {"five_c", [&](int& x, int& y) { s.infer_five(x, y, Mxy, a, Ma, b, Mb, c, Z); }, -1, c,
         [&](int) { return single([&](int i) { return above(a, i, ta) * below(i, c, txy); }); }, 2},
        {"five_a", [&](int& x, int& y) { s.infer_five(x, y, Mxy, a, Z, b, Mb, c, Mc); }, a, -1,
         [&](int) {
             return single(
                 [&](int i) { return above(a, i, txy) * below(i, b, tb) * below(i, c, tc); });
         },
         2},
        {"five_xy", [&](int& x, int& y) { s.infer_five(x, y, Z, a, Ma, b, Mb, c, Mc); }, -3, -3,
         [&](int) {
             return single(
                 [&](int i) { return above(a, i, ta) * below(i, b, tb) * below(i, c, tc); });
         },
         2},
        {"six_a", [&](int& x, int& y) { s.infer_six(x, y, Mxy, a, Z, b, Mb, c, Mc, e, Me); }, a, -1,
         [&](int) {
             return single(
                 [&](int i) { return above(a, i, txy) * below(i, c, tc) * below(i, e, te); });
         },
         2},
        {"six_c", [&](int& x, int& y) { s.infer_six(x, y, Mxy, a, Ma, b, Mb, c, Z, e, Me); }, -1, c,
         [&](int) {
             return single(
                 [&](int i) { return above(a, i, ta) * below(i, b, tb) * below(i, c, txy); });
         },
         2},
        {"six_xy", [&](int& x, int& y) { s.infer_six(x, y, Z, a, Ma, b, Mb, c, Mc, e, Me); }, -3,
         -3,
         [&](int seed) {
             if (single_precision(uniform_at(seed, 0)) < 0.5)
                 return single([&](int i) { return above(a, i, ta) * below(i, b, tb); });
             return single([&](int i) { return above(c, i, tc) * below(i, e, te); });
         },
         2},
        {"line_b", [&](int& x, int& y) { s.infer_line(x, y, Mxy, a, Ma, b, Z); }, -1, b,
         [&](int) { return single([&](int i) { return above(a, i, ta) * below(i, b, txy); }); }, 2},
        {"line_a", [&](int& x, int& y) { s.infer_line(x, y, Mxy, a, Z, b, Mb); }, a, -1,
         [&](int) { return single([&](int i) { return above(a, i, txy) * below(i, b, tb); }); }, 2},
        {"line_xy", [&](int& x, int& y) { s.infer_line(x, y, Z, a, Ma, b, Mb); }, -3, -3,
         [&](int) { return single([&](int i) { return above(a, i, ta) * below(i, b, tb); }); }, 2},
        {"star_b", [&](int& x, int& y) { s.infer_star(x, y, Mxy, a, Ma, b, Z); }, -1, b,
         [&](int) { return single([&](int i) { return above(b, i, txy); }); }, 2},
        {"star_a", [&](int& x, int& y) { s.infer_star(x, y, Mxy, a, Z, b, Mb); }, -1, a,
         [&](int) { return single([&](int i) { return above(a, i, txy); }); }, 2},
        {"star_xy", [&](int& x, int& y) { s.infer_star(x, y, Z, a, Ma, b, Mb); }, -3, -3,
         [&](int) { return single([&](int i) { return above(a, i, ta) * below(i, b, tb); }); }, 3},
        {"three_a", [&](int& x, int& y) { s.infer_three(x, y, Mxy, a, Z); }, -1, a,
         [&](int) { return single([&](int i) { return above(a, i, txy); }); }, 2},
        {"three_xy", [&](int& x, int& y) { s.infer_three(x, y, Z, a, Ma); }, -3, -3,
         [&](int) { return single([&](int i) { return above(a, i, ta); }); }, 3},
    };
    for (const nested& nc : cases) {
        int checked = 0;
        for (int seed = 1; seed <= 120; ++seed) {
            const int want = inverted(nc.w(seed), uniform_at(seed, 1));
            if (want == -2) continue;
            idum = -seed;
            int x = -1, y = -1;
            nc.draw(x, y);
            const double next = randomunitintervall();
            EXPECT_EQ(next, uniform_at(seed, nc.uniforms)) << nc.name;
            if (nc.fixed_x == -3) {
                EXPECT_EQ(x, want) << nc.name << " seed " << seed;
                EXPECT_EQ(y, want) << nc.name << " seed " << seed;
            } else if (nc.fixed_x >= 0) {
                EXPECT_EQ(x, nc.fixed_x) << nc.name;
                EXPECT_EQ(y, want) << nc.name << " seed " << seed;
            } else {
                EXPECT_EQ(y, nc.fixed_y) << nc.name;
                EXPECT_EQ(x, want) << nc.name << " seed " << seed;
            }
            ++checked;
        }
        EXPECT_GT(checked, 110) << nc.name;
    }
}

// ---------------------------------------------------------------------------
// Replays of the tree operations

namespace {

// A root leaf, bifurcating below, neighbour lists in mixed order; the same
// seed gives the same tree.
struct randtree {
    std::mt19937 g;
    baum* root = nullptr;
    explicit randtree(unsigned seed, int leaves) : g(seed) {
        root = mknode("R", leaves - 1, seq());
        std::vector<int> rest;
        for (int i = 0; i < leaves - 1; ++i) rest.push_back(i);
        grow(root, rest);
    }
    ~randtree() { delete root; }
    randtree(const randtree&) = delete;
    randtree& operator=(const randtree&) = delete;
    std::string seq() {
        const int len = 3 + static_cast<int>(g() % 18);
        std::string s;
        for (int i = 0; i < len; ++i) s += "ACGT"[g() % 4];
        return s;
    }
    double length() { return 1.0 + static_cast<double>(g() % 4000) / 100.0; }
    void grow(baum* parent, std::vector<int> ids) {
        baum* x = ids.size() == 1 ? mknode("L" + std::to_string(ids[0]), ids[0], seq())
                                  : mknode("", -1, "");
        const bool parentfirst = g() % 2 == 0;
        if (parentfirst) link(parent, x, length());
        if (ids.size() > 1) {
            std::shuffle(ids.begin(), ids.end(), g);
            const size_t cut = 1 + g() % (ids.size() - 1);
            grow(x, std::vector<int>(ids.begin(), ids.begin() + cut));
            grow(x, std::vector<int>(ids.begin() + cut, ids.end()));
        }
        if (!parentfirst) link(parent, x, length());
    }
};

// Every sequence and every map, in a fixed order.
std::string snapshot(baum* root) {
    std::vector<baum*> nodes;
    all_nodes(root, nullptr, nodes);
    std::string s;
    for (baum* x : nodes) {
        for (int c : x->seq) s += std::to_string(c) + ",";
        s += "|";
        for (neighbor& r : x->neighbors) {
            for (int v : r.posmap) s += std::to_string(v) + ",";
            s += ";";
        }
        s += "\n";
    }
    return s;
}

// The triplet step as the text gives it.
void midseq_replay(baum* x, std::vector<unsigned>& nbs) {
    mult_alignment& s = st();
    baum* B = x->NB(static_cast<int>(nbs[0]));
    baum* C = x->NB(static_cast<int>(nbs[1]));
    const double b = x->neighbors[nbs[0]].brl, c = x->neighbors[nbs[1]].brl;
    alignment al(C->seq, B->seq, b + c, s.submodel, s.indmodel, s.cool.coolali, 2147483647);
    s.indmodel.fillT(b, c);
    std::vector<zustand> pairpath;
    int i = -1, j = -1;
    for (;;) {
        pairpath.push_back(al.iter_zust(&i, &j));
        if (pairpath.back() == END) break;
    }
    std::vector<triplet_zus> path{TRIPLET_START};
    size_t k = 0;
    while (path.back() != TRIPLET_END && k < pairpath.size()) {
        if (path.back() != TRIPLET_HIDDEN_N) ++k;
        path.push_back(s.indmodel.nexttriplet(path.back(), pairpath[k]));
    }
    s.write_midseq_to_tree(path, x, nbs);
}

void construct_replay(baum* x) {
    mult_alignment& s = st();
    if (x->isLeaf() && !x->isRoot()) return;
    std::vector<unsigned> kids;
    for (size_t k = 0; k < x->neighbors.size(); ++k)
        if (!x->neighbors[k].isparent) {
            construct_replay(x->neighbors[k].node);
            kids.push_back(static_cast<unsigned>(k));
        }
    if (x->neighbors.size() == 3) {
        midseq_replay(x, kids);
    } else {
        baum* y = x->neighbors[0].node;
        alignment al(x->seq, y->seq, x->neighbors[0].brl, s.submodel, s.indmodel, s.cool.coolali,
                     2147483647);
        al.zurueck(x, y);
    }
}

}  // namespace

TEST(ReplayReplay, ConstructAlignAndMidseq) {
    for (unsigned seed = 1; seed <= 10; ++seed) {
        const int leaves = 2 + static_cast<int>(seed % 6);
        randtree t1(300 + seed, leaves), t2(300 + seed, leaves);
        ASSERT_EQ(snapshot(t1.root), snapshot(t2.root));
        seedrandom(seed);
        st().construct_align(t1.root);
        const double after1 = randomunitintervall();
        seedrandom(seed);
        construct_replay(t2.root);
        const double after2 = randomunitintervall();
        EXPECT_EQ(snapshot(t1.root), snapshot(t2.root)) << seed;
        EXPECT_EQ(after1, after2) << seed;
    }
}

// ---------------------------------------------------------------------------
// The centre step and the sweep, seen through the generators

namespace {

// Whether residue i of x and residue j of y are matched on their branch.
bool matched(baum* x, int i, baum* y, int j) {
    const std::vector<int>& there = x->neighbors[x->whichone(y)].posmap;
    const std::vector<int>& back = y->neighbors[y->whichone(x)].posmap;
    return there[i] == j && back[j] == i;
}

}  // namespace

// Every quartet step draws one uniform, and one more unless it returns the
// hidden state; every new centre residue takes one. So a centre step draws
// 2 (outer columns + 1 for the end) + hidden residues + centre residues,
// where the outer columns are the centre residues with a matched neighbour
// and the neighbours' residues matched to no centre residue.
TEST(DrawCounts, CentreStepByColumnsAndResidues) {
    int steps = 0, hidden = 0;
    for (unsigned seed = 1; seed <= 10; ++seed) {
        const int leaves = 3 + static_cast<int>(seed % 5);
        randtree t(400 + seed, leaves);
        seedrandom(seed);
        st().construct_align(t.root);
        std::vector<baum*> inner;
        t.root->intnodes(inner);
        for (size_t k = 0; k < inner.size(); ++k) {
            baum* x = inner[k];
            std::vector<unsigned> fam;
            st().familie(fam, x);
            const int g = static_cast<int>(1000 * seed + k);
            idum = -g;
            st().samp_centseq(x, fam, st().submodel, st().indmodel);
            const long drawn = drawn_since(g);
            long outer = 0, alone = 0;
            for (int i = 0; i < x->seq.laen(); ++i) {
                bool any = false;
                for (unsigned f : fam) {
                    baum* y = x->NB(static_cast<int>(f));
                    const int j = x->neighbors[f].posmap[i];
                    any = any || (j >= 0 && matched(x, i, y, j));
                }
                outer += any;
                alone += !any;
            }
            for (unsigned f : fam) {
                baum* y = x->NB(static_cast<int>(f));
                const std::vector<int>& back = y->neighbors[y->whichone(x)].posmap;
                for (int j = 0; j < y->seq.laen(); ++j)
                    outer += !(back[j] >= 0 && matched(x, back[j], y, j));
            }
            EXPECT_EQ(drawn, 2 * (outer + 1) + alone + x->seq.laen()) << seed << " " << k;
            ++steps;
            hidden += alone > 0;
        }
    }
    EXPECT_GT(steps, 20);
    EXPECT_GT(hidden, 0);
}

// With one of the three branches very short the new centre is that
// neighbour: its residues, matched one to one. The neighbours' columns hold
// all three of them or one, the single ones between two full columns in the
// order B, C, U of a quartet path, so nothing forces a centre residue that
// the short neighbour lacks. This tells the roles of the branches apart in
// the quartet table and in the residue draws.
TEST(CentreStep, ShortBranchNeighbourIsCopied) {
    const std::string cols = "3U3BC33BU3C3BU3";  // 3: all of U, B, C; else that one alone
    for (int role = 0; role < 3; ++role) {
        for (int seed = 1; seed <= 8; ++seed) {
            std::string u, b, c, ux, xb, xc;
            for (size_t j = 0; j < cols.size(); ++j) {
                const bool all = cols[j] == '3';
                if (all || cols[j] == 'U') u += "ACGT"[j % 4];
                if (all || cols[j] == 'B') b += "ACGT"[(j + 1) % 4];
                if (all || cols[j] == 'C') c += "ACGT"[(j + 2) % 4];
                ux += all || cols[j] == 'U' ? 'M' : 'I';
                xb += all || cols[j] == 'B' ? 'M' : 'D';
                xc += all || cols[j] == 'C' ? 'M' : 'D';
            }
            double len[3] = {30.0, 30.0, 30.0};
            len[role] = 1e-4;
            baum* r = mknode("U", 2, u);
            baum* x = mknode("", -1, std::string(cols.size(), 'T'));
            link(r, x, len[0], ux);
            link(x, mknode("B", 0, b), len[1], xb);
            link(x, mknode("C", 1, c), len[2], xc);
            std::vector<unsigned> fam;
            st().familie(fam, x);
            baum* nb = x->NB(static_cast<int>(fam[role]));
            seedrandom(static_cast<unsigned>(seed));
            st().samp_centseq(x, fam, st().submodel, st().indmodel);
            EXPECT_EQ(std::vector<int>(x->seq.begin(), x->seq.end()),
                      std::vector<int>(nb->seq.begin(), nb->seq.end()))
                << "role " << role << " seed " << seed;
            for (int i = 0; i < x->seq.laen() && i < nb->seq.laen(); ++i)
                EXPECT_TRUE(matched(x, i, nb, i)) << "role " << role << " seed " << seed;
            delete r;
        }
    }
}

// The sweep re-aligns a window of every branch once, each placed with one
// draw of the standard library's generator when the upper sequence is
// longer than the window.
TEST(DrawCounts, SweepPlacesOneWindowPerBranch) {
    cooling narrow;
    narrow.resamprange = 1;
    mult_alignment s(
        st().submodel, st().indmodel,
        [] {
            baum* r = mknode("R", 1, "A");
            link(r, mknode("L", 0, "A"), 1.0, "M");
            return r;
        }(),
        keepfixed(), narrow);
    for (unsigned seed = 1; seed <= 8; ++seed) {
        const int leaves = 3 + static_cast<int>(seed % 5);
        randtree t(500 + seed, leaves);
        seedrandom(seed);
        s.construct_align(t.root);
        std::vector<baum*> en;
        std::vector<unsigned> ei;
        t.root->edges(en, ei);

        seedrandom(77 + seed);
        ASSERT_TRUE(s.uphill(t.root)) << seed;
        for (baum* p : en) ASSERT_GT(p->seq.laen(), 1) << seed;
        const int a = std::rand(), b = std::rand();
        // The seeding itself takes the first value.
        std::srand(77 + seed);
        int prev = std::rand(), n = 0;
        for (int next = std::rand(); !(prev == a && next == b) && n < 100000; next = std::rand())
            prev = next, ++n;
        EXPECT_EQ(n - 1, static_cast<int>(en.size())) << seed;
    }
}

// The path writers: one draw per centre residue, in column order, with the
// neighbours present in the column at their own branch times.
TEST(ReplayReplay, WritersDrawPerColumnAtTheBranchTimes) {
    mult_alignment& s = st();
    auto make = [](baum*& r, baum*& x) {
        r = mknode("R", 2, "ACGTA");
        x = mknode("", -1, "");
        link(x, mknode("B", 0, "TTGA"), 17.0);
        link(x, mknode("C", 1, "GACT"), 4.0);
        link(r, x, 31.0);
    };
    // U N B C, U, N B, C, U N, N C, N, U N C, B, U N B.
    const std::vector<int> q{QUART_START, 0, 7, 5, 13, 4, 6, 8, 2, 9, 1, QUART_END};
    for (int seed = 1; seed <= 30; ++seed) {
        baum *r, *x;
        make(r, x);
        std::vector<quart_zus> path;
        for (int v : q) path.push_back(quart_zus(v));
        std::vector<unsigned> fam{2, 0, 1};
        seedrandom(static_cast<unsigned>(seed));
        s.write_centseq(path, x, fam, s.submodel);
        std::vector<int> got(x->seq.begin(), x->seq.end());

        seedrandom(static_cast<unsigned>(seed));
        substmodel Mu = f81(31.0), Mb = f81(17.0), Mc = f81(4.0);
        const bioseq &U = r->seq, &B = x->NB(0)->seq, &C = x->NB(1)->seq;
        std::vector<int> want{s.infer_base(U[0], Mu, B[0], Mb, C[0], Mc),
                              s.infer_base(B[1], Mb),
                              s.infer_base(U[2], Mu),
                              s.infer_base(C[2], Mc),
                              s.submodel.choosebase(),
                              s.infer_base(U[3], Mu, C[3], Mc),
                              s.infer_base(U[4], Mu, B[3], Mb)};
        EXPECT_EQ(got, want) << seed;
        delete r;

        make(r, x);
        std::vector<triplet_zus> t{TRIPLET_START};
        // N B C, B, N C, C, N, N B, B, C.
        for (int v : {0, 4, 2, 3, 6, 1, 5, 3}) t.push_back(triplet_zus(v));
        t.push_back(TRIPLET_END);
        std::vector<unsigned> nbs{1, 0};  // B's role for C, C's for B
        seedrandom(static_cast<unsigned>(seed));
        s.write_midseq_to_tree(t, x, nbs);
        got.assign(x->seq.begin(), x->seq.end());
        seedrandom(static_cast<unsigned>(seed));
        const bioseq &Bm = x->NB(1)->seq, &Cm = x->NB(0)->seq;
        substmodel Mbm = f81(4.0), Mcm = f81(17.0);
        want = {s.infer_base(Bm[0], Mbm, Cm[0], Mcm), s.infer_base(Cm[1], Mcm),
                s.submodel.choosebase(), s.infer_base(Bm[2], Mbm)};
        EXPECT_EQ(got, want) << seed;
        delete r;
    }
}

// Paths through every column state of the two writers: the maps by hand,
// the residues replayed draw by draw, and no draw more than those.
TEST(ReplayReplay, WritersOverEveryState) {
    mult_alignment& s = st();
    auto map = [](baum* a, baum* b) { return a->neighbors[a->whichone(b)].posmap; };
    for (int seed = 1; seed <= 30; ++seed) {
        baum* r = mknode("R", 2, "ACGTA");
        baum* x = mknode("", -1, "");
        baum* B = mknode("B", 0, "TTGACGTC");
        baum* C = mknode("C", 1, "GACTTA");
        link(x, B, 17.0);
        link(x, C, 4.0);
        link(r, x, 31.0);
        // N B C, B (four variants), C, U N B C, U N B, U N C, U N, N B,
        // N C, U, N, B, C.
        std::vector<quart_zus> path{QUART_START};
        for (int v : {3, 10, 11, 12, 14, 0, 1, 2, 4, 5, 6, 7, 8, 9, 13})
            path.push_back(quart_zus(v));
        path.push_back(QUART_END);
        std::vector<unsigned> fam{2, 0, 1};
        seedrandom(static_cast<unsigned>(seed));
        s.write_centseq(path, x, fam, s.submodel);
        std::vector<int> got(x->seq.begin(), x->seq.end());
        const double next = randomunitintervall();

        seedrandom(static_cast<unsigned>(seed));
        substmodel Mu = f81(31.0), Mb = f81(17.0), Mc = f81(4.0);
        const bioseq &U = r->seq, &Bs = B->seq, &Cs = C->seq;
        std::vector<int> want;
        want.push_back(s.infer_base(Bs[0], Mb, Cs[0], Mc));
        want.push_back(s.infer_base(U[0], Mu, Bs[4], Mb, Cs[2], Mc));
        want.push_back(s.infer_base(U[1], Mu, Bs[5], Mb));
        want.push_back(s.infer_base(U[2], Mu, Cs[3], Mc));
        want.push_back(s.infer_base(U[3], Mu));
        want.push_back(s.infer_base(Bs[6], Mb));
        want.push_back(s.infer_base(Cs[4], Mc));
        want.push_back(s.submodel.choosebase());
        EXPECT_EQ(got, want) << seed;
        EXPECT_EQ(randomunitintervall(), next) << seed;
        EXPECT_EQ(map(x, r), (std::vector<int>{-1, 0, 1, 2, 3, 3, 3, 4}));
        EXPECT_EQ(map(x, B), (std::vector<int>{0, 4, 5, 5, 5, 6, 6, 6}));
        EXPECT_EQ(map(x, C), (std::vector<int>{0, 2, 2, 3, 3, 3, 4, 4}));
        EXPECT_EQ(map(r, x), (std::vector<int>{1, 2, 3, 4, 6}));
        EXPECT_EQ(map(B, x), (std::vector<int>{0, 0, 0, 0, 1, 2, 5, 7}));
        EXPECT_EQ(map(C, x), (std::vector<int>{0, 0, 1, 3, 6, 7}));

        B->seq.assign({1, 3, 0, 2});
        C->seq.assign({2, 2, 1, 0});
        // B, C, N B C, B, N B, N, N C, C.
        std::vector<triplet_zus> t{TRIPLET_START};
        for (int v : {4, 3, 0, 5, 1, 6, 2, 3}) t.push_back(triplet_zus(v));
        t.push_back(TRIPLET_END);
        std::vector<unsigned> nbs{0, 1};
        seedrandom(static_cast<unsigned>(seed));
        s.write_midseq_to_tree(t, x, nbs);
        got.assign(x->seq.begin(), x->seq.end());
        const double after = randomunitintervall();
        seedrandom(static_cast<unsigned>(seed));
        want = {s.infer_base(Bs[1], Mb, Cs[1], Mc), s.infer_base(Bs[3], Mb),
                s.submodel.choosebase(), s.infer_base(Cs[2], Mc)};
        EXPECT_EQ(got, want) << seed;
        EXPECT_EQ(randomunitintervall(), after) << seed;
        EXPECT_EQ(map(x, B), (std::vector<int>{1, 3, 3, 3}));
        EXPECT_EQ(map(x, C), (std::vector<int>{1, 1, 1, 2}));
        EXPECT_EQ(map(B, x), (std::vector<int>{-1, 0, 0, 1}));
        EXPECT_EQ(map(C, x), (std::vector<int>{-1, 0, 3, 3}));
        delete r;
    }
}

// ---------------------------------------------------------------------------
// The indel part, bit for bit in its order of accumulation: the running sum
// of each node takes its branch terms one by one, the length term once per
// child branch, then the child's own sum.

TEST(ReplayIndel, RunningSumInTheGivenOrder) {
    baum* r = four_leaf_tree();
    indel im(std::vector<double>{0.013, 0.0137}, TKF1), ref = im;
    auto terms = [&](double& L, double t, const std::string& p) {
        ref.fillP(t);
        int prev = START;
        for (char c : p + "E") {
            const int e = c == 'M' ? MATCH : c == 'I' ? INSERTION : c == 'D' ? DELETION : END;
            L += ref.retlnprob(prev, e);
            prev = e;
        }
    };
    double LY = 0.0;
    terms(LY, 4.0, "MM");
    LY -= ref.logprob_of_seqlen(2);
    LY += 0.0;
    terms(LY, 1.0, "IMD");
    LY -= ref.logprob_of_seqlen(2);
    LY += 0.0;
    double LX = 0.0;
    terms(LX, 2.0, "DMM");
    LX -= ref.logprob_of_seqlen(3);
    LX += LY;
    terms(LX, 0.5, "MIMM");
    LX -= ref.logprob_of_seqlen(3);
    LX += 0.0;
    double LR = 0.0;
    terms(LR, 1.5, "MDMM");
    LR += LX;
    const double got = st().indlik(r, im);
    EXPECT_EQ(std::memcmp(&got, &LR, sizeof got), 0) << got << " " << LR;
    delete r;
}
