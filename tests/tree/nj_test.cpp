// Constrained neighbour joining.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>

#include "tree_helpers.h"

using namespace treetest;

namespace {

using Matrix = std::vector<std::vector<double>>;

// Reads the text over the data set, roots it at the named leaf and fuses
// the old root away, as the start-up does.
baum* start_tree(const std::string& text, dataset& ds, const std::string& rootname) {
    baum* t = new baum(text, true, ds);
    baum* r = leaf_named(t, rootname);
    r->reroot(nullptr);
    r->fuseblindnodes(true);
    return r;
}

TEST(NeighborJoining, WorkedExample) {
    dataset ds = make_ds({"A", "B", "C", "D"});
    baum* a = start_tree("(A,(B,C,D));", ds, "A");
    baum* x = a->NB(0);
    ASSERT_EQ(x->neighbors.size(), 4u);
    ASSERT_TRUE(x->neighbors[0].isparent);
    Matrix D = {{0, 3, 4, 5}, {3, 0, 5, 6}, {4, 5, 0, 7}, {5, 6, 7, 0}};
    unsigned n = 4;
    baum* b = x->NB(1);
    baum* c = x->NB(2);
    baum* d = x->NB(3);
    a->NeighborJoining(D, n);
    check_tree(a);

    EXPECT_EQ(n, 2u);
    const double e = 0.00001;
    const Matrix expected = {
        {0, 0, 0, 0, 0, 1},   {0, 0, 0, 0, 0, e},   {0, 0, 0, 0, 0, e},
        {0, 0, 0, 0, 0, 1.5}, {0, 0, 0, 0, 0, 2.5}, {1, e, e, 1.5, 2.5, 0},
    };
    EXPECT_EQ(D, expected);

    ASSERT_EQ(a->NB(0), x);
    EXPECT_EQ(x->id.number, 5);
    ASSERT_EQ(x->neighbors.size(), 3u);
    EXPECT_TRUE(x->neighbors[0].isparent);
    EXPECT_EQ(x->NB(1), d);
    baum* m = x->NB(2);
    EXPECT_EQ(m->id.number, 4);
    ASSERT_EQ(m->neighbors.size(), 3u);
    EXPECT_EQ(m->NB(0), b);
    EXPECT_EQ(m->NB(1), c);
    EXPECT_TRUE(m->neighbors[2].isparent);
    EXPECT_EQ(m->NB(2), x);

    EXPECT_EQ(a->neighbors[0].brl, 1.0);
    EXPECT_EQ(x->neighbors[1].brl, 1.5);
    EXPECT_EQ(x->neighbors[2].brl, 2.5);
    EXPECT_EQ(m->neighbors[0].brl, 2.0);
    EXPECT_EQ(m->neighbors[1].brl, 3.0);
    EXPECT_EQ(m->neighbors[2].brl, 2.5);
    // guide-tree branches keep their flag, the new one is unfixed
    EXPECT_TRUE(a->neighbors[0].fixed);
    EXPECT_TRUE(x->neighbors[1].fixed);
    EXPECT_FALSE(x->neighbors[2].fixed);
    EXPECT_TRUE(m->neighbors[0].fixed && m->neighbors[1].fixed);
    EXPECT_TRUE(m->seq.empty() && m->neighbors[2].posmap.empty());
    delete a;
}

// Three leaves: one join in which the inner node itself becomes the joined
// node; g = D[B][C] / 2 + (r[B] - r[C]) / 2 with the fallbacks.
TEST(NeighborJoining, LengthFallbacks) {
    struct Case {
        double ab, ac, bc;
        double lb, lc, la;
    };
    const Case cases[] = {
        {3, 4, 5, 2, 3, 1},         // plain: g = 2.5 + (8 - 9) / 2
        {1, 10, 2, 0.2, 1.8, 4.5},  // g = -3.5: 10 percent to B
        {10, 1, 2, 1.8, 0.2, 4.5},  // o = -3.5: 10 percent to C
        {1, 1, 0, 0, 0, 1},         // zero distance: two zero branches
        {1, 3, 2, 0.2, 1.8, 1},     // g exactly 0 counts as too short
        {3, 1, 2, 1.8, 0.2, 1},     // o exactly 0 likewise
    };
    for (const Case& k : cases) {
        dataset ds = make_ds({"A", "B", "C"});
        baum* a = start_tree("(A,(B,C));", ds, "A");
        Matrix D = {{0, k.ab, k.ac}, {k.ab, 0, k.bc}, {k.ac, k.bc, 0}};
        unsigned n = 3;
        a->NeighborJoining(D, n);
        check_tree(a);
        baum* x = a->NB(0);
        EXPECT_EQ(n, 2u);
        EXPECT_EQ(x->id.number, 3);
        EXPECT_EQ(x->neighbors.size(), 3u);
        EXPECT_DOUBLE_EQ(leaf_named(a, "B")->neighbors[0].brl, k.lb);
        EXPECT_DOUBLE_EQ(leaf_named(a, "C")->neighbors[0].brl, k.lc);
        EXPECT_DOUBLE_EQ(a->neighbors[0].brl, k.la);
        EXPECT_EQ(D.size(), 4u);
        delete a;
    }
}

TEST(NeighborJoining, BinaryGuideTreeKeepsTopology) {
    dataset ds = make_ds({"A", "B", "C", "D", "E"});
    baum* a = start_tree("(A,((B,C),(D,E)));", ds, "A");
    const std::string before = shape(a);
    Matrix D(5, std::vector<double>(5, 0.0));
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 5; ++j)
            if (i != j) D[i][j] = 1 + i + j;
    unsigned n = 5;
    a->NeighborJoining(D, n);
    check_tree(a);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(D.size(), 8u);  // three joins
    // same topology and list order, every length set
    std::string after = shape(a);
    auto strip = [](std::string s) {
        std::string o;
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] == ':') {
                while (i + 1 < s.size() && s[i + 1] != ',' && s[i + 1] != ')') ++i;
                continue;
            }
            o += s[i];
        }
        return o;
    };
    EXPECT_EQ(strip(after), strip(before));
    EXPECT_EQ(strip(after), "(((B,C),(D,E)))A");
    std::vector<baum*> nodes;
    collect(a, nodes);
    for (baum* v : nodes) {
        EXPECT_GE(v->id.number, 0);
        for (const neighbor& r : v->neighbors) EXPECT_NE(r.brl, 0.1);
    }
    delete a;
}

TEST(NeighborJoining, ResolvesRandomGuideTrees) {
    idum = -21;
    for (int rep = 0; rep < 20; ++rep) {
        const int L = 3 + rep % 10;
        std::vector<std::string> names = leaf_names(L);
        dataset ds = make_ds(names);
        baum* t = new baum(random_newick(L), true, ds);
        baum* r = t->reroot();
        r->fuseblindnodes(true);
        Matrix D(L, std::vector<double>(L, 0.0));
        for (int i = 0; i < L; ++i)
            for (int j = i + 1; j < L; ++j) D[i][j] = D[j][i] = 0.5 + randomunitintervall();
        unsigned n = static_cast<unsigned>(L);
        r->NeighborJoining(D, n);
        check_tree(r);
        EXPECT_EQ(n, 2u);
        EXPECT_EQ(D.size(), static_cast<size_t>(2 * L - 2));
        std::vector<baum*> nodes;
        collect(r, nodes);
        for (baum* v : nodes)
            if (!v->isLeaf()) {
                EXPECT_EQ(v->neighbors.size(), 3u);
            }
        EXPECT_EQ(r->numleaves() + r->NB(0)->numleaves(), static_cast<unsigned>(L));
        delete r;
    }
}

// Every node in pre-order: name, number, then its records in list order
// (P for the parent record, F or f for the fixed flag, the length).
std::string nj_desc(const baum* x) {
    std::string s = x->id.name + "#" + std::to_string(x->id.number) + "[";
    for (size_t i = 0; i < x->neighbors.size(); ++i) {
        const neighbor& r = x->neighbors[i];
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17g", r.brl);
        if (i) s += ",";
        s += std::string(r.isparent ? "P" : "") + (r.fixed ? "F" : "f") + buf;
    }
    s += "]";
    for (const neighbor& r : x->neighbors)
        if (!r.isparent) s += nj_desc(r.node);
    return s;
}

// Three unresolved nodes resolved in post-order on one growing matrix; the
// expected values come from a separate literal transcription of the joins
// (row sums over the whole matrix, first smallest pair, both fallbacks, the
// 0.00001 floor).
TEST(NeighborJoining, NestedNodesAgainstIndependentTranscription) {
    dataset ds = make_ds({"A", "B", "C", "D", "E", "F", "G", "H"});
    baum* a = start_tree("(A,(B,C,D,E),(F,G,H));", ds, "A");
    Matrix D(8, std::vector<double>(8, 0.0));
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j)
            if (i != j) D[i][j] = ((i + 1) * (j + 1) * 7 + i + j) % 11 + 2;
    unsigned n = 8;
    a->NeighborJoining(D, n);
    check_tree(a);
    EXPECT_EQ(n, 2u);
    ASSERT_EQ(D.size(), 14u);
    EXPECT_EQ(nj_desc(a),
              "A#0[F1.5625]#13[PF1.5625,F9.0000000000000002e-06,F1.0000000000000002e-06]"
              "#10[PF9.0000000000000002e-06,F3.8125,f0.68749500000000019]B#1[PF3.8125]"
              "#9[F1.0000000000000002e-06,f9.0000000000000002e-06,Pf0.68749500000000019]"
              "C#2[PF1.0000000000000002e-06]"
              "#8[F2.3333333333333335,F3.6666666666666665,Pf9.0000000000000002e-06]"
              "D#3[PF2.3333333333333335]E#4[PF3.6666666666666665]"
              "#12[PF1.0000000000000002e-06,F1.3437325000000007,f4.6562674999999993]"
              "G#6[PF1.3437325000000007]#11[F2.875,F6.125,Pf4.6562674999999993]"
              "F#5[PF2.875]H#7[PF6.125]");
    std::string sums;
    for (const auto& row : D) {
        double s = 0.0;
        for (double v : row) s += v;
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17g", s);
        sums += std::string(sums.empty() ? "" : " ") + buf;
    }
    EXPECT_EQ(
        sums,
        "1.5625 1.90625 5.0000000000000004e-06 5.0000000000000004e-06 5.0000000000000004e-06 "
        "1.0000000000000001e-05 0.6718612500000003 0.031244999999999998 5.0000000000000004e-06 "
        "0.34374750000000009 9.0000000000000002e-06 2.3281287499999999 1.0000000000000002e-06 "
        "6.8437725000000009");
    delete a;
}

TEST(NeighborJoining, Failures) {
    const std::string err = "Error in the neighbor joining algorithm\n";
    using Start = std::function<baum*(dataset&)>;
    // The tree as read, rooted at its inner node.
    const auto as_read = [](const char* text) -> Start {
        return [text](dataset& ds) { return new baum(text, true, ds); };
    };
    // Rooted at leaf A as the start-up does.
    const auto at_a = [](const char* text) -> Start {
        return [text](dataset& ds) { return start_tree(text, ds, "A"); };
    };
    struct tcase {
        const char* what;
        std::vector<std::string> names;
        Start start;
        size_t rows, cols;
        double fill;
        unsigned n;
        std::string err;
    };
    const std::vector<tcase> cases{
        {"a root that is not a leaf",
         {"A", "B", "C"},
         as_read("(A,(B,C));"),
         3,
         3,
         1.0,
         3,
         "The Neighbor Joining algorithm works only with a leaf as the root!\n"},
        {"a leaf number that is not a row",
         {"A", "B", "C", "D"},
         at_a("(A,(B,C,D));"),
         3,
         3,
         1.0,
         3,
         err},
        {"two leaves with one number",
         {"A", "B", "C", "D"},
         [](dataset& ds) {
             baum* a = start_tree("(A,(B,C,D));", ds, "A");
             leaf_named(a, "D")->id.number = 1;
             return a;
         },
         4,
         4,
         1.0,
         4,
         err},
        {"an inner node with two records",
         {"A", "B", "C"},
         [](dataset& ds) {
             baum* a = leaf_named(new baum("(A,(B,C));", true, ds), "A");
             a->reroot(nullptr);
             return a;
         },
         3,
         3,
         1.0,
         3,
         err},
        {"too few active nodes: n - 2 would wrap",
         {"A", "B", "C"},
         at_a("(A,(B,C));"),
         3,
         3,
         1.0,
         2,
         err},
        {"a matrix that is not square", {"A", "B", "C"}, at_a("(A,(B,C));"), 3, 2, 1.0, 3, err},
        {"no pair below the largest double",
         {"A", "B", "C"},
         at_a("(A,(B,C));"),
         3,
         3,
         std::nan(""),
         3,
         err},
    };
    for (const tcase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FATAL(
            {
                dataset ds = make_ds(c.names);
                baum* a = c.start(ds);
                Matrix D(c.rows, std::vector<double>(c.cols, c.fill));
                unsigned n = c.n;
                a->NeighborJoining(D, n);
            },
            c.err);
    }
}

}  // namespace
