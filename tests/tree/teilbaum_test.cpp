// Column subtrees.
#include <gtest/gtest.h>

#include <algorithm>

#include "tree_helpers.h"

using namespace treetest;

namespace {

void postorder_leaves(const baum* x, std::vector<std::string>& out) {
    for (const neighbor& r : x->neighbors)
        if (!r.isparent) postorder_leaves(r.node, out);
    if (x->isLeaf()) out.push_back(x->id.name);
}

TEST(Teilbaum, TwoOfThree) {
    baum* a = start_tree("(A:1,(B:2,C:3):4);", "A");
    const std::string before = dump(a);
    std::vector<std::string> names{"A", "B", "C"};
    std::vector<char> column = chars("-xy");
    baum* s = a->teilbaum(names, column);
    check_tree(s);
    EXPECT_EQ(s->id.name, "B");
    EXPECT_EQ(s->id.number, 1);
    ASSERT_EQ(s->neighbors.size(), 1u);
    EXPECT_EQ(s->neighbors[0].brl, 5.0);
    EXPECT_TRUE(s->neighbors[0].fixed);
    EXPECT_EQ(s->NB(0)->id.name, "C");
    EXPECT_EQ(s->NB(0)->id.number, 2);
    EXPECT_EQ(s->size(), 2);
    EXPECT_EQ(dump(a), before);
    delete s;
    delete a;
}

TEST(Teilbaum, EveryRowPresentGivesTheWholeTree) {
    baum* a = start_tree("(A:1,(B:2,(C:3,D:4):5):6);", "A");
    std::vector<std::string> names{"D", "A", "C", "B"};
    std::vector<char> column = chars("aaaa");
    baum* s = a->teilbaum(names, column);
    check_tree(s);
    EXPECT_EQ(s->id.name, "B");  // first leaf in post-order
    EXPECT_EQ(s->size(), a->size());
    EXPECT_EQ(leaf_paths(s), leaf_paths(a));
    EXPECT_EQ(leaf_named(s, "A")->id.number, 1);
    EXPECT_EQ(leaf_named(s, "D")->id.number, 0);
    delete s;
    delete a;
}

TEST(Teilbaum, OneResidueGivesALoneNode) {
    baum* a = start_tree("(A:1,(B:2,(C:3,D:4):5):6);", "A");
    std::vector<std::string> names{"A", "B", "C", "D"};
    std::vector<char> column = chars("--_C");
    baum* s = a->teilbaum(names, column);
    EXPECT_EQ(s->id.name, "D");
    EXPECT_EQ(s->id.number, 3);
    EXPECT_TRUE(s->neighbors.empty());
    delete s;
    delete a;
}

// One top-down fusion pass: of two consecutive two-record nodes one stays,
// and the path is kept as two branches.
TEST(Teilbaum, ChainOfTwoRecordNodes) {
    baum* a = start_tree("(A:1,(B:2,(C:3,D:4):5):6);", "A");
    baum* c = new baum(*a);  // copy order: parent records last
    std::vector<std::string> names{"B", "C", "D", "A"};
    std::vector<char> column = chars("-x-y");
    for (baum* src : {a, c}) {
        baum* s = src->teilbaum(names, column);
        check_tree(s);
        EXPECT_EQ(s->id.name, "C");
        EXPECT_EQ(s->id.number, 1);
        ASSERT_EQ(s->size(), 3);
        EXPECT_EQ(s->neighbors[0].brl, 8.0);
        baum* mid = s->NB(0);
        ASSERT_EQ(mid->neighbors.size(), 2u);
        EXPECT_EQ(mid->neighbors[1].brl, 7.0);
        EXPECT_EQ(mid->NB(1)->id.name, "A");
        EXPECT_EQ(mid->NB(1)->id.number, 3);
        delete s;
    }
    delete c;
    delete a;
}

TEST(Teilbaum, RandomColumns) {
    idum = -71;
    int pruned = 0;
    for (int rep = 0; rep < 60; ++rep) {
        const int L = 2 + rep % 14;
        baum* t = new baum(random_newick(L), true);
        baum* r = t->reroot();
        r->fuseblindnodes(true);
        if (rep % 2) r->bifurcate(true);
        if (rep % 3 == 0) {
            baum* c = new baum(*r);
            delete r;
            r = c;
        }
        std::vector<std::string> names = leaf_names(L);
        std::vector<int> order;
        rndorder(order, L);
        std::vector<std::string> rows;
        for (int i : order) rows.push_back(names[i]);
        std::vector<char> column(L);
        int present = 0;
        for (int i = 0; i < L; ++i) {
            const double u = randomunitintervall();
            column[i] = u < 0.4 ? '-' : u < 0.5 ? '_' : "ACGT"[i % 4];
            present += column[i] != '-' && column[i] != '_';
        }
        if (present == 0) column[randominteger(L)] = 'A';
        const std::string before = dump(r);
        const auto paths = leaf_paths(r);
        std::vector<std::string> post;
        postorder_leaves(r, post);

        baum* s = r->teilbaum(rows, column);
        check_tree(s);
        EXPECT_EQ(dump(r), before);

        std::vector<std::string> expect_leaves, got_leaves;
        for (int i = 0; i < L; ++i)
            if (column[i] != '-' && column[i] != '_') expect_leaves.push_back(rows[i]);
        std::vector<baum*> nodes;
        collect(s, nodes);
        for (baum* v : nodes) {
            EXPECT_TRUE(v->seq.empty());
            for (const neighbor& n : v->neighbors) {
                EXPECT_TRUE(n.fixed);
                EXPECT_TRUE(n.posmap.empty());
            }
            if (!v->isLeaf()) continue;
            got_leaves.push_back(v->id.name);
            ASSERT_GE(v->id.number, 0);
            ASSERT_LT(v->id.number, L);
            EXPECT_EQ(rows[v->id.number], v->id.name);
        }
        std::sort(expect_leaves.begin(), expect_leaves.end());
        std::sort(got_leaves.begin(), got_leaves.end());
        EXPECT_EQ(got_leaves, expect_leaves);
        pruned += static_cast<int>(expect_leaves.size()) < L;

        // rooted at the first present leaf in post-order
        for (const std::string& n : post)
            if (std::binary_search(expect_leaves.begin(), expect_leaves.end(), n)) {
                EXPECT_EQ(s->id.name, n);
                break;
            }
        for (auto& kv : leaf_paths(s)) EXPECT_EQ(kv.second, paths.at(kv.first));
        delete s;
        delete r;
    }
    EXPECT_GT(pruned, 40);
}

TEST(Teilbaum, Failures) {
    auto tree = [] { return start_tree("(A:1,(B:2,C:3):4);", "A"); };
    EXPECT_TRUE(ends_fatally(
        [&] {
            std::vector<std::string> names{"A", "B", "C"};
            std::vector<char> column = chars("--");
            tree()->teilbaum(names, column);
        },
        "Unequal numbers of identifiers and of sequences in abuse_fix\n3\t2\n"));
    EXPECT_TRUE(ends_fatally(
        [&] {
            std::vector<std::string> names{"A", "B", "C"};
            std::vector<char> column = chars("-_-");
            tree()->teilbaum(names, column);
        },
        "Lost tree\n"));
    EXPECT_TRUE(ends_fatally(
        [&] {
            std::vector<std::string> names{"A", "B", "C", "Q"};
            std::vector<char> column = chars("-_-x");
            tree()->teilbaum(names, column);
        },
        "At least one of the names was not found in the tree\n"));
    EXPECT_TRUE(ends_fatally(
        [&] {
            std::vector<std::string> names{"A", "B"};
            std::vector<char> column = chars("xx");
            tree()->teilbaum(names, column);
        },
        "A leaf of the tree was not found among the names in abuse_fix\n"));
    EXPECT_TRUE(ends_fatally(
        [&] {
            dataset ds = make_ds({"A", "A", "B"});
            baum star(ds);
            std::vector<std::string> names{"A", "B", "C"};
            std::vector<char> column = chars("xxx");
            star.teilbaum(names, column);
        },
        "One name was found twice in the tree\n"));
}

// The marks are set on every branch, also after a present leaf was seen:
// a later subtree without residues loses its guide-tree flag and goes.
TEST(Teilbaum, MarkingVisitsEveryChild) {
    baum* a = start_tree("(A:1,(B:2,(C:3,D:4):5,E:1):6);", "A");
    baum* copy = start_tree("(A:1,(B:2,(C:3,D:4):5,E:1):6);", "A");  // parents first
    std::vector<std::string> names{"A", "B", "C", "D", "E"};
    std::vector<bool> present{true, false, true, false, false};
    std::vector<bool> found(5, false);
    baum* first = nullptr;
    copy->findnames(first, present, names, found);
    ASSERT_EQ(first, leaf_named(copy, "C"));
    first->reroot(nullptr);
    EXPECT_TRUE(first->post_order_abuse_fix(present));
    for (const char* n : {"A", "B", "D", "E"}) {
        baum* l = leaf_named(first, n);
        EXPECT_EQ(l->neighbors[0].fixed, n[0] == 'A') << n;
        EXPECT_EQ(l->NB(0)->neighbors[l->NB(0)->whichone(l)].fixed, n[0] == 'A') << n;
    }
    baum* y = first->NB(0);
    baum* x = leaf_named(first, "A")->NB(0);
    EXPECT_TRUE(first->neighbors[0].fixed);
    EXPECT_TRUE(y->neighbors[y->whichone(x)].fixed);
    first->trim();
    EXPECT_EQ(first->size(), 4);
    delete first;

    std::vector<char> column = chars("x-x--");
    baum* s = a->teilbaum(names, column);
    check_tree(s);
    EXPECT_EQ(s->numleaves() + s->NB(0)->numleaves(), 2u);
    EXPECT_EQ(s->size(), 3);
    EXPECT_EQ(leaf_paths(s).at({"C", "A"}), 3.0 + 5.0 + 7.0);
    delete s;
    delete a;
}

}  // namespace
