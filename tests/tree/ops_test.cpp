// Re-rooting, fusion, splitting, swaps, branch-length draws, enumeration.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "tree_helpers.h"

using namespace treetest;

namespace {

// Number of uniform draws fn makes, from the state after idum = -seed.
int draws_of(const std::function<void()>& fn, int seed = 3) {
    idum = -seed;
    fn();
    const double next = randomunitintervall();
    idum = -seed;
    for (int k = 0; k < 1000; ++k)
        if (randomunitintervall() == next) return k;
    return -1;
}

// Makes every branch of the tree unfixed.
void unfix(baum* root) {
    std::vector<baum*> nodes;
    collect(root, nodes);
    for (baum* v : nodes)
        for (neighbor& r : v->neighbors) r.fixed = false;
}

TEST(Reroot, OnlyFlagsChange) {
    baum* t = new baum("(A:1,(B:2,C:3):4,(D:1,E:1):2);", true);
    const std::string shapes = shape(t);
    std::vector<baum*> nodes;
    collect(t, nodes);
    std::vector<std::vector<baum*>> lists;
    for (baum* v : nodes) {
        std::vector<baum*> l;
        for (const neighbor& r : v->neighbors) l.push_back(r.node);
        lists.push_back(l);
    }
    for (baum* v : nodes) {
        EXPECT_EQ(v->reroot(nullptr), static_cast<unsigned>(v->neighbors.size()));
        check_tree(v);
        EXPECT_EQ(v->reroot(v), static_cast<unsigned>(v->neighbors.size()));
        check_tree(v);
        for (size_t i = 0; i < nodes.size(); ++i) {
            std::vector<baum*> l;
            for (const neighbor& r : nodes[i]->neighbors) l.push_back(r.node);
            EXPECT_EQ(l, lists[i]);
        }
    }
    t->reroot(nullptr);
    EXPECT_EQ(shape(t), shapes);
    delete t;
}

TEST(Reroot, PickRandLeafIsUniformWithOneDrawPerLevel) {
    // caterpillar rooted at A: A - (B, (C, (D, (E, F))))
    baum* a = start_tree("(A,(B,(C,(D,(E,F)))));", "A");
    check_tree(a);
    std::map<std::string, int> count;
    idum = -9;
    const int N = 6000;
    for (int i = 0; i < N; ++i) count[a->pickrandleaf()->id.name]++;
    ASSERT_EQ(count.size(), 6u);
    const double sd = std::sqrt(N * (1.0 / 6) * (5.0 / 6));
    for (auto& kv : count) EXPECT_NEAR(kv.second, N / 6.0, 5 * sd) << kv.first;

    for (int seed = 1; seed < 40; ++seed) {
        baum* got = nullptr;
        const int k = draws_of([&] { got = a->pickrandleaf(); }, seed);
        EXPECT_EQ(k, got == a ? 1 : got->depth()) << got->id.name;
    }
    // a leaf that is not the root, and a lone node: no draw
    baum* f = leaf_named(a, "F");
    EXPECT_EQ(draws_of([&] { EXPECT_EQ(f->pickrandleaf(), f); }), 0);
    baum lone{identifier{}};
    EXPECT_EQ(draws_of([&] { EXPECT_EQ(lone.pickrandleaf(), &lone); }), 0);

    // reroot() keeps the root with probability 1/L
    int kept = 0;
    idum = -4;
    for (int i = 0; i < N; ++i) {
        baum* r = a->root()->reroot();
        kept += r == a;
        check_tree(r);
        a->reroot(nullptr);
    }
    EXPECT_NEAR(kept, N / 6.0, 5 * sd);
    delete a;
}

// Weights in list order, the root leaf's own weight last: at A the child
// weighs 2 and A itself 1; at X the parent record 0, B 1 and C 1.
TEST(Reroot, PickRandLeafWeightsInListOrder) {
    baum* a = start_tree("(A,(B,C));", "A");
    std::map<std::string, int> count;
    for (int seed = 1; seed <= 60; ++seed) {
        idum = -seed;
        const double u0 = randomunitintervall();
        const double u1 = randomunitintervall();
        const std::string expect = 3 * u0 > 2 ? "A" : 2 * u1 <= 1 ? "B" : "C";
        idum = -seed;
        const std::string got = a->pickrandleaf()->id.name;
        EXPECT_EQ(got, expect) << seed;
        count[got]++;
    }
    EXPECT_EQ(count.size(), 3u);
    delete a;
}

TEST(Fusion, OldRootAfterRerooting) {
    baum* t = new baum("(A:1,(B:2,C:3):4);", true);
    baum* a = leaf_named(t, "A");
    a->reroot(nullptr);
    ASSERT_EQ(t->neighbors.size(), 2u);
    EXPECT_TRUE(t->neighbors[0].isparent);
    EXPECT_EQ(a->fuseblindnodes(true), 1u);
    check_tree(a);
    // the old root stays in place and takes over the inner node
    EXPECT_EQ(a->NB(0), t);
    EXPECT_EQ(shape(a), "((B:2,C:3):5)A");
    ASSERT_EQ(t->neighbors.size(), 3u);
    EXPECT_TRUE(t->neighbors[0].isparent);
    EXPECT_EQ(t->NB(1)->id.name, "B");
    EXPECT_EQ(t->NB(1)->NB(0), t);
    delete a;
}

TEST(Fusion, RootWithTwoChildrenAndFlags) {
    baum* t = new baum("(A:1,B:2);", true);
    baum* a = t->NB(0);
    t->neighbors[0].fixed = false;
    a->neighbors[0].fixed = false;
    t->seq = bioseq(chars("A"), 4);
    t->NB(1)->seq = bioseq(chars("GG"), 4);
    t->fusenodes();
    check_tree(t);
    EXPECT_EQ(t->id.name, "B");
    EXPECT_EQ(t->seq, bioseq(chars("GG"), 4));
    ASSERT_EQ(t->neighbors.size(), 1u);
    EXPECT_EQ(t->NB(0), a);
    EXPECT_EQ(t->neighbors[0].brl, 3.0);
    EXPECT_TRUE(t->neighbors[0].fixed);  // unfixed OR fixed
    EXPECT_EQ(a->neighbors[0].brl, 3.0);
    EXPECT_TRUE(a->neighbors[0].fixed);
    delete t;

    EXPECT_TRUE(ends_fatally(
        [] {
            baum t2("(A,B);", true);
            t2.neighbors[0].isparent = true;
            t2.neighbors[1].isparent = true;
            t2.fusenodes();
        },
        "Impossible: two neighbours are parents\n"));
    EXPECT_TRUE(ends_fatally(
        [] {
            baum t2("(A,B,C);", true);
            t2.neighbors[2].node = nullptr;
            t2.fuseblindnodes(false);
        },
        "Neighbor points to nil\n"));
    EXPECT_TRUE(ends_fatally(
        [] {
            baum t2("(A,B,C);", true);
            t2.neighbors[1].node = nullptr;
            t2.reroot(nullptr);
        },
        "Neighbor points to nil\n"));
}

// Which child of a node [P, A, B, C] ends up linked directly after a split.
TEST(Split, ThreeChildrenDistribution) {
    idum = -17;
    std::map<std::string, int> alone;
    const int N = 4000;
    for (int i = 0; i < N; ++i) {
        baum* p = start_tree("(P:1,(A:2,B:3,C:5):4);", "P");
        baum* x = p->NB(0);
        x->splitnode();
        check_tree(p);
        ASSERT_EQ(x->neighbors.size(), 3u);
        EXPECT_TRUE(x->neighbors[0].isparent);
        baum* lone = x->NB(1)->isLeaf() ? x->NB(1) : x->NB(2);
        baum* grp = x->NB(1)->isLeaf() ? x->NB(2) : x->NB(1);
        ASSERT_TRUE(lone->isLeaf());
        ASSERT_EQ(grp->neighbors.size(), 3u);
        EXPECT_TRUE(grp->neighbors[2].isparent);
        EXPECT_FALSE(grp->neighbors[2].fixed);
        EXPECT_TRUE(grp->seq.empty());
        // the group lists its members in the node's order
        EXPECT_LT(grp->NB(0)->id.name, grp->NB(1)->id.name);
        // the new branch is half the shorter member branch
        const double m = std::min(grp->neighbors[0].brl, grp->neighbors[1].brl);
        EXPECT_EQ(grp->neighbors[2].brl, m);  // after shortening, min = m/2
        alone[lone->id.name]++;
        auto paths = leaf_paths(p);
        EXPECT_EQ((paths[{"P", "A"}]), 7.0);
        EXPECT_EQ((paths[{"P", "B"}]), 8.0);
        EXPECT_EQ((paths[{"P", "C"}]), 10.0);
        delete p;
    }
    const double s2 = std::sqrt(N * 0.25), s4 = std::sqrt(N * 0.1875);
    EXPECT_NEAR(alone["A"], N / 2.0, 5 * s2);
    EXPECT_NEAR(alone["B"], N / 4.0, 5 * s4);
    EXPECT_NEAR(alone["C"], N / 4.0, 5 * s4);
}

TEST(Split, OneDrawPerChildAndGroupOrder) {
    for (int seed = 1; seed <= 30; ++seed) {
        baum* p = start_tree("(P:1,(A:1,B:1,C:1,D:0,E:1):1);", "P");
        baum* x = p->NB(0);
        // sides by the rule: u in single precision below 0.5 is group 1
        idum = -seed;
        std::vector<int> side;
        for (int i = 0; i < 5; ++i)
            side.push_back(static_cast<float>(randomunitintervall()) < 0.5f ? 1 : 2);
        bool all1 = true, all2 = true;
        for (int s : side) (s == 1 ? all2 : all1) = false;
        if (all1) side[0] = 2;
        if (all2) side[0] = 1;
        EXPECT_EQ(draws_of([&] { x->splitnode(); }, seed), 5);
        check_tree(p);
        // leaves of the node's parts in list order: group 1 first
        std::string order, expect1, expect2;
        for (int i = 0; i < 5; ++i)
            (side[i] == 1 ? expect1 : expect2) += std::string(1, "ABCDE"[i]);
        for (size_t i = 1; i < x->neighbors.size(); ++i) {
            baum* c = x->NB(static_cast<int>(i));
            if (c->isLeaf()) {
                order += c->id.name;
            } else {
                for (size_t j = 0; j + 1 < c->neighbors.size(); ++j)
                    order += c->NB(static_cast<int>(j))->id.name;
            }
        }
        EXPECT_EQ(order, expect1 + expect2);
        // a group holding D (length 0) gets a zero branch; lengths keep paths
        auto paths = leaf_paths(p);
        for (const char* l : {"A", "B", "C", "E"}) EXPECT_EQ((paths[{"P", l}]), 3.0);
        EXPECT_EQ((paths[{"P", "D"}]), 2.0);
        delete p;
    }
    // fewer than four records: nothing, no draw
    baum* p = start_tree("(P,(A,B));", "P");
    EXPECT_EQ(draws_of([&] { p->NB(0)->splitnode(); }), 0);
    EXPECT_EQ(p->NB(0)->neighbors.size(), 3u);
    delete p;
}

// The coin compares u rounded to single precision: after idum = -8374958
// the first draw is 0.49999999138526585, which rounds to 0.5 and sends the
// first child to group 2 (in double precision it would go to group 1).
TEST(Split, CoinInSinglePrecision) {
    idum = -8374958;
    std::vector<double> u;
    for (int i = 0; i < 6; ++i) u.push_back(randomunitintervall());
    ASSERT_LT(u[0], 0.5);
    ASSERT_EQ(static_cast<float>(u[0]), 0.5f);
    // the other draws: 1 1 1 1 2
    for (int i = 1; i < 5; ++i) ASSERT_LT(u[i], 0.5);
    ASSERT_GT(u[5], 0.5);
    baum* p = start_tree("(P:1,(A:1,B:2,C:3,D:4,E:5,F:6):1);", "P");
    baum* x = p->NB(0);
    idum = -8374958;
    x->splitnode();
    check_tree(p);
    ASSERT_EQ(x->neighbors.size(), 3u);
    EXPECT_TRUE(x->neighbors[0].isparent);
    EXPECT_EQ(shape(x->NB(1)), "(B:1,C:2,D:3,E:4)");
    EXPECT_EQ(shape(x->NB(2)), "(A:0.5,F:5.5)");
    EXPECT_EQ(x->neighbors[1].brl, 1.0);
    EXPECT_EQ(x->neighbors[2].brl, 0.5);
    delete p;
}

// Path lengths from the root leaf to every leaf.
std::map<std::string, double> root_paths(baum* r) {
    std::map<std::string, double> out;
    for (auto& kv : leaf_paths(r))
        if (kv.first.first == r->id.name) out[kv.first.second] = kv.second;
    return out;
}

// A split keeps the path from the node to each member, so every path from
// the root; paths between members of one group shrink.
TEST(Bifurcate, RandomTreesBecomeBinaryWithRootPathsKept) {
    idum = -23;
    for (int rep = 0; rep < 40; ++rep) {
        const int L = 2 + rep % 15;
        baum* t = new baum(random_newick(L), true);
        auto before = leaf_paths(t);
        baum* r = t->reroot();
        check_tree(r);
        EXPECT_EQ(leaf_paths(r), before);
        baum* copy = new baum(*r);
        r->fuseblindnodes(true);
        check_tree(r);
        EXPECT_EQ(leaf_paths(r), before);
        const auto fromroot = root_paths(r);
        EXPECT_EQ(fromroot.size(), static_cast<size_t>(L - 1));
        EXPECT_EQ(r->bifurcate(true), 1u);
        check_tree(r);
        EXPECT_EQ(root_paths(r), fromroot);
        std::vector<baum*> nodes;
        collect(r, nodes);
        for (baum* v : nodes) {
            if (!v->isLeaf()) {
                EXPECT_EQ(v->neighbors.size(), 3u);
            }
            for (const neighbor& n : v->neighbors) EXPECT_GE(n.brl, 0.0);
        }
        // bifurcate fuses as it goes: the same from the unfused copy
        copy->bifurcate(true);
        check_tree(copy);
        EXPECT_EQ(root_paths(copy), fromroot);
        EXPECT_EQ(copy->size(), r->size());
        delete r;
        delete copy;
    }
}

// Top-down order of the draws, worked by hand: after idum = -56 the coins in
// single precision give sides 1 1 1 2 | 2 1 2 | 2 1 1. X splits first
// (A B C | Y, Y alone goes back), then the new group (B | A C), then Y
// (E F | D). P's branch is 1 + 1 after the fusion of the old root.
TEST(Bifurcate, DrawOrderTopDown) {
    idum = -56;
    std::vector<int> side;
    for (int i = 0; i < 10; ++i)
        side.push_back(static_cast<float>(randomunitintervall()) < 0.5f ? 1 : 2);
    ASSERT_EQ(side, (std::vector<int>{1, 1, 1, 2, 2, 1, 2, 2, 1, 1}));
    baum* p = start_tree("(P:1,(A:1,B:1,C:1,(D:1,E:1,F:1):1):1);", "P");
    EXPECT_EQ(draws_of([&] { p->bifurcate(true); }, 56), 10);
    check_tree(p);
    EXPECT_EQ(shape(p), "(((B:0.5,(A:0.25,C:0.25):0.25):0.5,((E:0.5,F:0.5):0.5,D:1):1):2)P");
    delete p;
}

TEST(Allebisauf, Weights) {
    baum x{identifier{}};
    std::vector<int> v{7};
    EXPECT_EQ(x.allebisauf(v, 4, 2), 4);
    EXPECT_EQ(v, (std::vector<int>{1, 1, 0, 1}));
    x.allebisauf(v, 3, 5);
    EXPECT_EQ(v, (std::vector<int>{1, 1, 1}));
    x.allebisauf(v, 2, -1);
    EXPECT_EQ(v, (std::vector<int>{1, 1}));
}

// R - P; P: s, T; T: X = (x1, x2), U; U: Y = (y1, y2), z.
baum* swap_tree() {
    baum* r = start_tree("(R:1,s:1,((x1:1,x2:1):2,((y1:1,y2:1):3,z:1):4):5);", "R");
    return r;
}

struct SwapNodes {
    baum *P, *T, *X, *U, *Y, *Z;
};

SwapNodes swap_nodes(baum* r) {
    SwapNodes n;
    n.P = r->NB(0);
    n.X = leaf_named(r, "x1")->NB(0);
    n.T = n.X->parent();
    n.Y = leaf_named(r, "y1")->NB(0);
    n.U = n.Y->parent();
    n.Z = leaf_named(r, "z");
    return n;
}

bool same_topology(baum* r, const std::string& text) {
    baum* e = new baum(text, true);
    idum = -1;
    bool same = true;
    for (int i = 0; i < 8; ++i) same = same && (*r == *e);
    delete e;
    return same;
}

TEST(Swap, AllFourParentConfigurations) {
    struct Case {
        const char* name;
        const char* expected;
    };
    const Case cases[] = {
        {"T parent of U", "(R,s,((y1,y2),((x1,x2),z)));"},
        {"X parent of T", "(R,s,(z,((x1,x2),(y1,y2))));"},
        {"Y parent of U", "(R,s,((y1,y2),((x1,x2),z)));"},
        {"U parent of T", "(R,s,(z,((x1,x2),(y1,y2))));"},
    };
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE(cases[k].name);
        baum* r = swap_tree();
        ASSERT_TRUE(same_topology(r, "(R,s,((x1,x2),((y1,y2),z)));"));
        SwapNodes n = swap_nodes(r);
        n.T->neighbors[n.T->whichone(n.U)].fixed = false;
        n.U->neighbors[n.U->whichone(n.T)].fixed = false;
        baum *self, *u, *x, *y;
        if (k == 0) {
            self = n.T;
            u = n.U;
            x = n.X;
            y = n.Y;
        } else if (k == 1) {
            self = n.T;
            u = n.U;
            x = n.P;
            y = n.Y;
        } else if (k == 2) {
            self = n.U;
            u = n.T;
            x = n.Z;
            y = n.P;
        } else {
            self = n.U;
            u = n.T;
            x = n.Z;
            y = n.X;
        }
        const int a = self->whichone(u), b = self->whichone(x), c = u->whichone(y);
        const int d = x->whichone(self), e = y->whichone(u);
        // X's branch unfixed, Y's fixed: the flags travel with the subtrees
        self->neighbors[b].fixed = false;
        x->neighbors[d].fixed = false;
        const double xb = x->neighbors[d].brl, yb = y->neighbors[e].brl;
        const bool xf = x->neighbors[d].fixed, yf = y->neighbors[e].fixed;
        self->neighbors[b].posmap = {1};
        y->neighbors[e].posmap = {2};
        u->neighbors[c].posmap = {3};
        x->neighbors[d].posmap = {4};
        const size_t s1 = self->neighbors.size(), s2 = u->neighbors.size();
        self->swapbr(a, b, c);
        check_tree(r);
        EXPECT_TRUE(r->isRoot());
        EXPECT_EQ(self->NB(b), y);
        EXPECT_EQ(u->NB(c), x);
        EXPECT_EQ(self->neighbors[b].brl, yb);
        EXPECT_EQ(u->neighbors[c].brl, xb);
        EXPECT_EQ(self->neighbors[b].fixed, yf);
        EXPECT_EQ(u->neighbors[c].fixed, xf);
        EXPECT_TRUE(self->neighbors[b].fixed);
        EXPECT_FALSE(u->neighbors[c].fixed);
        EXPECT_FALSE(x->neighbors[d].fixed);
        EXPECT_EQ(x->NB(d), u);
        EXPECT_EQ(y->NB(e), self);
        EXPECT_EQ(self->neighbors[b].posmap, std::vector<int>{1});
        EXPECT_EQ(y->neighbors[e].posmap, std::vector<int>{2});
        EXPECT_EQ(u->neighbors[c].posmap, std::vector<int>{3});
        EXPECT_EQ(x->neighbors[d].posmap, std::vector<int>{4});
        EXPECT_EQ(self->neighbors.size(), s1);
        EXPECT_EQ(u->neighbors.size(), s2);
        EXPECT_TRUE(same_topology(r, cases[k].expected));
        delete r;
    }
}

TEST(Swap, RandomSwapsKeepInvariants) {
    idum = -31;
    int config[4] = {0, 0, 0, 0};
    for (int rep = 0; rep < 10; ++rep) {
        baum* r = new baum(random_newick(12), true);
        r = r->reroot();
        r->bifurcate(true);
        unfix(r);
        const int size = r->size();
        const auto leaves = r->NB(0)->clustname();
        for (int s = 0; s < 100; ++s) {
            std::vector<baum*> nodes;
            std::vector<unsigned> idx;
            r->internaledges(nodes, idx);
            ASSERT_FALSE(nodes.empty());
            const int k = randominteger(static_cast<int>(nodes.size()));
            baum* self = nodes[k];
            baum* u = self->NB(static_cast<int>(idx[k]));
            if (randominteger(2)) std::swap(self, u);  // from either end
            const int a = self->whichone(u);
            const int b = self->rndchild(a);
            const int c = u->rndchild(u->whichone(self));
            const bool xpar = self->neighbors[b].isparent;
            const bool ypar = u->neighbors[c].isparent;
            const bool selfabove = u->neighbors[u->whichone(self)].isparent;
            config[xpar ? 0 : ypar ? 1 : selfabove ? 2 : 3]++;
            self->swapbr(a, b, c);
            ASSERT_EQ(check_tree(r), size);
            EXPECT_EQ(self->NB(a), u);
        }
        std::string lv;
        for (char ch : r->NB(0)->clustname())
            if (ch != '.') lv += ch;
        std::string lw;
        for (char ch : leaves)
            if (ch != '.') lw += ch;
        std::sort(lv.begin(), lv.end());
        std::sort(lw.begin(), lw.end());
        EXPECT_EQ(lv, lw);  // the same leaves below the root's child
        delete r;
    }
    for (int c : config) EXPECT_GT(c, 50);
}

TEST(Swap, Failures) {
    EXPECT_TRUE(ends_fatally(
        [] {
            baum* r = swap_tree();
            SwapNodes n = swap_nodes(r);
            const int a = n.T->whichone(n.U);
            n.T->swapbr(a, a, 0);
        },
        "There are loops in the tree\n"));
    EXPECT_TRUE(ends_fatally(
        [] {
            baum* r = swap_tree();
            SwapNodes n = swap_nodes(r);
            n.T->swapbr(n.T->whichone(n.U), n.T->whichone(n.X), n.U->whichone(n.T));
        },
        "There are loops in the tree\n"));
    EXPECT_TRUE(ends_fatally(
        [] {
            baum* r = swap_tree();
            SwapNodes n = swap_nodes(r);
            n.U->neighbors[n.U->whichone(n.Y)].isparent = true;  // a broken tree
            n.T->swapbr(n.T->whichone(n.U), n.T->whichone(n.P), n.U->whichone(n.Y));
        },
        "The tree seems to have more than one root!\n"));
    EXPECT_TRUE(ends_fatally(
        [] {
            baum* r = swap_tree();
            SwapNodes n = swap_nodes(r);
            n.T->swapbr(n.T->whichone(n.U), n.T->whichone(n.X), n.U->whichone(n.Y));
        },
        "Destroyed a branch which should have been fixed!\n"));
    EXPECT_TRUE(ends_fatally(
        [] {
            baum* r = swap_tree();
            SwapNodes n = swap_nodes(r);
            n.T->swapbr(n.T->whichone(n.U), 7, 0);
        },
        "Index out of range in baum::NB(int i)\n"));
}

TEST(BranchLength, FixedBranchNearZero) {
    baum x{identifier{}};
    idum = -41;
    const int N = 20000;
    double sum = 0, lo = 1, hi = 0;
    int below = 0;
    for (int i = 0; i < N; ++i) {
        const double y = x.rndbrl(0.3, 0.5, true);
        sum += y;
        lo = std::min(lo, y);
        hi = std::max(hi, y);
        below += y < 0.2;
    }
    // (0.04 u1 + 0.18 u2 + 0.06) / 0.5: mean 0.34, variance 0.034 / 3
    EXPECT_NEAR(sum / N, 0.34, 5 * std::sqrt(0.034 / 3 / N));
    EXPECT_GE(lo, 0.12);
    EXPECT_LE(hi, 0.56);
    EXPECT_LT(lo, 0.13);
    EXPECT_GT(hi, 0.55);
    // P(A + B < 0.08) with A ~ U(0, 0.08), B ~ U(0, 0.36) is 1/9
    EXPECT_NEAR(below, N / 9.0, 5 * std::sqrt(N / 9.0 * 8 / 9));
    EXPECT_EQ(draws_of([&] { x.rndbrl(0.3, 0.5, true); }), 2);
    EXPECT_EQ(draws_of([&] { x.rndbrl(0.6, 0.5, true); }), 1);
    EXPECT_EQ(draws_of([&] { x.rndbrl(0.3, 0.5, false); }), 1);
    // the boundary x - d = 0 is the two-draw case; the result never below 0
    EXPECT_EQ(draws_of([&] { EXPECT_GE(x.rndbrl(0.5, 0.5, true), 0.0); }), 2);
    // u1 weighs (d - s)^2, u2 weighs 2 s^2, in this draw order
    idum = -6;
    const double v1 = randomunitintervall();
    const double v2 = randomunitintervall();
    ASSERT_NE(v1, v2);
    idum = -6;
    const double s3 = 0.3, d5 = 0.5;
    EXPECT_EQ(x.rndbrl(0.3, 0.5, true),
              0.0 + ((d5 - s3) * (d5 - s3) * v1 + 2 * s3 * s3 * v2 + s3 * (d5 - s3)) / d5);
    EXPECT_NE(x.rndbrl(0.3, 0.5, true), 0.0);
    // s = 0 gives exactly d * u1
    idum = -5;
    const double u1 = randomunitintervall();
    idum = -5;
    EXPECT_EQ(x.rndbrl(0.0, 0.25, true), 0.25 * 0.25 * u1 / 0.25);
}

TEST(BranchLength, UnfixedUniformAndShiftnodes) {
    baum x{identifier{}};
    idum = -43;
    const int N = 20000;
    double sum = 0;
    int neg = 0;
    double lo = 1, hi = 0;
    for (int i = 0; i < N; ++i) {
        const double y = x.rndbrl(0.3, 0.5, false);
        sum += y;
        neg += y < 0;
        lo = std::min(lo, y);
        hi = std::max(hi, y);
    }
    EXPECT_NEAR(sum / N, 0.3, 5 * std::sqrt(1.0 / 12 / N));
    EXPECT_NEAR(neg, 0.2 * N, 5 * std::sqrt(N * 0.16));
    EXPECT_GE(lo, -0.2);
    EXPECT_LE(hi, 0.8);
    // u = the next draw: x + 2 d u - d
    idum = -8;
    const double u = randomunitintervall();
    idum = -8;
    EXPECT_EQ(x.rndbrl(0.3, 0.5, false), 0.3 + (2 * 0.5 * u - 0.5));

    // shiftnodes stores |y| in both halves and returns y
    baum* r = start_tree("(A:1,(B:0.3,C:3):4);", "A");
    baum* xx = r->NB(0);
    baum* b = leaf_named(r, "B");
    const int ib = xx->whichone(b);
    xx->neighbors[ib].fixed = false;
    b->neighbors[0].fixed = false;
    int negatives = 0;
    idum = -47;
    for (int i = 0; i < 200; ++i) {
        xx->neighbors[ib].brl = b->neighbors[0].brl = 0.3;
        const double y = xx->shiftnodes(0.5, ib);
        EXPECT_EQ(xx->neighbors[ib].brl, std::fabs(y));
        EXPECT_EQ(b->neighbors[0].brl, std::fabs(y));
        negatives += y < 0;
    }
    EXPECT_GT(negatives, 10);
    // keepsign on the fixed branch to C: the draw itself, never negative
    const int ic = xx->whichone(leaf_named(r, "C"));
    xx->neighbors[ic].brl = leaf_named(r, "C")->neighbors[0].brl = 0.1;
    const double y = xx->shiftnodes(0.5, ic, true);
    EXPECT_GE(y, 0.0);
    EXPECT_EQ(leaf_named(r, "C")->neighbors[0].brl, y);
    check_tree(r);
    delete r;
    EXPECT_TRUE(ends_fatally(
        [] {
            baum* t = start_tree("(A,(B,C));", "A");
            t->shiftnodes(0.1, 1);
        },
        "Index out of range in baum::NB(int i)\n"));
}

TEST(Rndchild, UniformOverOtherRecords) {
    baum* r = start_tree("(A,(B,C));", "A");
    baum* x = r->NB(0);
    idum = -51;
    int c1 = 0;
    const int N = 4000;
    for (int i = 0; i < N; ++i) {
        const int k = x->rndchild(0);
        ASSERT_TRUE(k == 1 || k == 2);
        c1 += k == 1;
    }
    EXPECT_NEAR(c1, N / 2.0, 5 * std::sqrt(N / 4.0));
    EXPECT_EQ(draws_of([&] { x->rndchild(2); }), 1);
    // the excluded index is the argument, whichever it is
    for (int ex : {1, 2}) {
        int seen[3] = {0, 0, 0};
        for (int i = 0; i < 400; ++i) seen[x->rndchild(ex)]++;
        EXPECT_EQ(seen[ex], 0);
        for (int k = 0; k < 3; ++k) {
            if (k != ex) {
                EXPECT_GT(seen[k], 100);
            }
        }
    }
    for (int i : {-1, 3})
        EXPECT_FATAL(x->rndchild(i), "Argument to function rndchild out of range\n");
    EXPECT_FATAL(r->rndchild(0), "Argument to function rndchild out of range\n");
    delete r;
}

TEST(Enumeration, SmallExample) {
    baum* a = start_tree("(A,(B,C));", "A");
    baum* x = a->NB(0);
    std::vector<baum*> nodes;
    std::vector<unsigned> idx;
    EXPECT_EQ(a->edges(nodes, idx), 1u);
    EXPECT_EQ(nodes, (std::vector<baum*>{a, x, x}));
    EXPECT_EQ(idx, (std::vector<unsigned>{0, static_cast<unsigned>(x->whichone(leaf_named(a, "B"))),
                                          static_cast<unsigned>(x->whichone(leaf_named(a, "C")))}));
    nodes.clear();
    idx.clear();
    a->internaledges(nodes, idx);
    EXPECT_TRUE(nodes.empty() && idx.empty());
    a->intnodes(nodes);
    EXPECT_EQ(nodes, (std::vector<baum*>{x, x}));
    delete a;
}

TEST(Enumeration, RandomTrees) {
    idum = -61;
    for (int rep = 0; rep < 20; ++rep) {
        baum* r = new baum(random_newick(3 + rep), true);
        r = r->reroot();
        r->bifurcate(true);
        std::vector<baum*> all;
        collect(r, all);
        // edges from a node inside the tree re-roots there first
        baum* start = all[1 + randominteger(static_cast<int>(all.size()) - 1)];
        std::vector<baum*> nodes;
        std::vector<unsigned> idx;
        start->edges(nodes, idx);
        EXPECT_TRUE(start->isRoot());
        check_tree(start);
        ASSERT_EQ(nodes.size(), all.size() - 1);
        std::set<const baum*> below;
        std::set<std::pair<baum*, unsigned>> seen;
        for (size_t i = 0; i < nodes.size(); ++i) {
            EXPECT_FALSE(nodes[i]->neighbors[idx[i]].isparent);  // the upper end
            EXPECT_TRUE(seen.insert({nodes[i], idx[i]}).second);
            // pre-order: the branch above a node comes earlier
            EXPECT_TRUE(nodes[i] == start || below.count(nodes[i]));
            below.insert(nodes[i]->NB(static_cast<int>(idx[i])));
        }
        start->reroot(nullptr);
        r->reroot(nullptr);
        std::vector<baum*> inner;
        std::vector<unsigned> iidx;
        r->internaledges(inner, iidx);
        int expect_inner = 0, expect_intnodes = 0;
        for (baum* v : all)
            for (const neighbor& n : v->neighbors)
                if (!n.isparent) {
                    if (!v->isLeaf() && !n.node->isLeaf()) ++expect_inner;
                    if (!v->isLeaf()) ++expect_intnodes;
                }
        EXPECT_EQ(static_cast<int>(inner.size()), expect_inner);
        EXPECT_EQ(static_cast<int>(inner.size()),
                  static_cast<int>(r->numleaves() + r->NB(0)->numleaves()) - 3);
        std::vector<baum*> in;
        r->intnodes(in);
        EXPECT_EQ(static_cast<int>(in.size()), expect_intnodes);
        for (baum* v : in) EXPECT_NE(v, r);
        delete r;
    }
}

}  // namespace
