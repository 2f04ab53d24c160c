// Records, copies, queries, the Newick writer and the star tree.
#include <gtest/gtest.h>

#include "tree_helpers.h"

using namespace treetest;

namespace {

// The guide tree (A:1,(B:2,C:3):4) rooted at A with the old root fused away:
// A - X(B, C), X's list [A (parent), B, C], the branch A-X 5 long.
baum* rooted_abc() {
    baum* t = new baum("(A:1,(B:2,C:3):4);", true);
    baum* a = leaf_named(t, "A");
    a->reroot(nullptr);
    a->fuseblindnodes(true);
    return a;
}

TEST(Records, IdentifierAndNeighbor) {
    identifier a;
    EXPECT_EQ(a.number, -1);
    a.name = "n";
    a.text = "t";
    a.number = 3;
    identifier b;
    identifier c = (b = a);
    EXPECT_EQ(b.name, "n");
    EXPECT_EQ(b.text, "t");
    EXPECT_EQ(b.number, 3);
    EXPECT_EQ(c.number, 3);
    identifier d;
    d.name = "n";
    d.number = 7;
    EXPECT_TRUE(d == a);  // names only
    d.name = "m";
    EXPECT_FALSE(d == a);

    neighbor n;
    EXPECT_EQ(n.brl, 0.0);
    EXPECT_FALSE(n.fixed);
    EXPECT_FALSE(n.isparent);
    EXPECT_EQ(n.node, nullptr);
    neighbor m;
    m.brl = 2;
    m.fixed = true;
    m.isparent = true;
    m.posmap = {1, 2};
    n.posmap = {9};
    neighbor r = (n <= m);
    EXPECT_EQ(n.brl, 2);
    EXPECT_TRUE(n.fixed && n.isparent);
    EXPECT_EQ(n.posmap, std::vector<int>{9});
    EXPECT_EQ(r.posmap, std::vector<int>{9});
    n = m;
    EXPECT_EQ(n.posmap, (std::vector<int>{1, 2}));
}

TEST(Records, SetNumber) {
    identifier x;
    x.name = "B";
    x.setnumber({chars("A"), chars("B"), chars("C")});
    EXPECT_EQ(x.number, 1);
    EXPECT_TRUE(ends_fatally(
        [] {
            identifier y;
            y.name = "B";
            y.setnumber({chars("B"), chars("B")});
        },
        "Two sequences in the data set have the same name!\n"));
    EXPECT_TRUE(ends_fatally(
        [] {
            identifier y;
            y.name = "Q";
            y.setnumber({chars("A"), chars("B ")});
        },
        "Taxon Q was not found in the following data set:\nA\nB \n"));
}

TEST(Queries, OnRootedTree) {
    baum* a = rooted_abc();
    check_tree(a);
    EXPECT_EQ(shape(a), "((B:2,C:3):5)A");
    baum* x = a->NB(0);
    EXPECT_TRUE(a->isLeaf() && a->isRoot());
    EXPECT_FALSE(x->isLeaf() || x->isRoot());
    EXPECT_EQ(a->numleaves(), 1u);  // the root leaf counts itself only
    EXPECT_EQ(x->numleaves(), 2u);
    EXPECT_EQ(a->size(), 4);
    EXPECT_EQ(x->size(), 3);
    EXPECT_EQ(a->laenge(), 10.0);
    EXPECT_EQ(x->laenge(), 5.0);
    EXPECT_EQ(a->depth(), 0);
    EXPECT_EQ(leaf_named(a, "C")->depth(), 2);
    EXPECT_EQ(x->aprxspan(), 2.5);
    EXPECT_EQ(a->aprxspan(), 7.5);
    EXPECT_EQ(a->aprxheight(), 7.5);
    EXPECT_EQ(a->opt_delta(), 0.03 * 7.5);
    EXPECT_EQ(leaf_named(a, "B")->aprxspan(), 0.0);
    EXPECT_EQ(x->parent(), a);
    EXPECT_EQ(leaf_named(a, "C")->root(), a);
    EXPECT_EQ(x->whichone(a), 0);
    EXPECT_EQ(leaf_named(a, "A"), a);
    EXPECT_EQ(leaf_named(a, "Z"), nullptr);
    EXPECT_EQ(a->clustname(), "BC..");
    EXPECT_EQ(x->clustname(), "BC.");
    identifier ni;
    ni.name = "new";
    x->setid(ni);
    EXPECT_EQ(x->id.name, "new");
    baum lone(ni);
    EXPECT_TRUE(lone.isLeaf() && lone.isRoot());
    EXPECT_EQ(lone.numleaves(), 1u);
    delete a;
}

TEST(Queries, Failures) {
    EXPECT_FATAL(rooted_abc()->NB(1), "Index out of range in baum::NB(int i)\n");
    EXPECT_FATAL(rooted_abc()->NB(-1), "Index out of range in baum::NB(int i)\n");
    EXPECT_FATAL(rooted_abc()->whichone(nullptr), "Argument of whichone(baum *T) is NULL\n");
    EXPECT_TRUE(ends_fatally(
        [] {
            baum* a = rooted_abc();
            a->whichone(leaf_named(a, "B"));
        },
        "Node T could not be found in baum::whichone(baum *T)\n"));
    EXPECT_TRUE(ends_fatally(
        [] {
            baum* a = rooted_abc();
            baum* x = a->NB(0);
            x->neighbors[2].node = x->neighbors[1].node;
            x->whichone(x->neighbors[1].node);
        },
        "One node appears twice in baum::whichone(baum *T)\n"));
    EXPECT_TRUE(ends_fatally(
        [] {
            baum* a = rooted_abc();
            a->NB(0)->neighbors[1].isparent = true;
            a->NB(0)->parent();
        },
        "There is more than one parent in baum::parent()\n"));
}

TEST(Copy, DeepCopyMovesParentLastAndIsIndependent) {
    dataset ds = make_ds({"A", "B", "C", "D"});
    baum* t = new baum("(A:1,(B:2,(C:3,D:4):5):6);", true, ds);
    baum* a = leaf_named(t, "A");
    a->reroot(nullptr);  // old root keeps [A, inner]; inner keeps [parent, B, ...]
    baum* inner = t->NB(1);
    inner->neighbors[1].posmap = {0, 1, 2};
    inner->NB(1)->neighbors[0].posmap = {5};
    const std::string before = dump(a);

    baum* c = new baum(*inner);  // a copy from inside the tree
    check_tree(c);
    EXPECT_EQ(dump(a), before);
    EXPECT_EQ(c->neighbors.size(), 2u);  // the parent record is not copied
    EXPECT_EQ(c->NB(0)->id.name, "B");   // index one less than in the source
    EXPECT_EQ(c->neighbors[0].posmap, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(c->NB(0)->neighbors[0].posmap, std::vector<int>{5});
    EXPECT_EQ(c->NB(0)->seq, inner->NB(1)->seq);
    baum* cd = c->NB(1);
    ASSERT_EQ(cd->neighbors.size(), 3u);
    EXPECT_EQ(cd->NB(0)->id.name, "C");
    EXPECT_EQ(cd->NB(1)->id.name, "D");
    EXPECT_TRUE(cd->neighbors[2].isparent);
    EXPECT_EQ(cd->neighbors[2].node, c);
    EXPECT_EQ(shape(c), "(B:2,(C:3,D:4):5)");

    // a copy of a copy whose parent records stand last keeps the indices
    baum* cc = new baum(*c);
    EXPECT_EQ(dump(cc), dump(c));

    delete a;  // the source tree goes; the copies stay intact
    check_tree(c);
    EXPECT_EQ(shape(c), "(B:2,(C:3,D:4):5)");
    c->NB(0)->neighbors[0].brl = 99;
    EXPECT_EQ(shape(cc), "(B:2,(C:3,D:4):5)");
    delete c;
    delete cc;
}

TEST(Copy, TopologyOnly) {
    dataset ds = make_ds({"A", "B", "C"});
    baum* t = new baum("(A:1,(B:2,C:3):4);", true, ds);
    t->NB(1)->neighbors[1].posmap = {1};
    t->NB(1)->NB(1)->neighbors[0].posmap = {2};
    baum* c = new baum(*t, true);
    check_tree(c);
    EXPECT_EQ(shape(c), shape(t));
    std::vector<baum*> nodes;
    collect(c, nodes);
    for (baum* n : nodes) {
        EXPECT_TRUE(n->seq.empty());
        for (const neighbor& r : n->neighbors) {
            EXPECT_TRUE(r.posmap.empty());
            EXPECT_TRUE(r.fixed);
        }
    }
    EXPECT_EQ(leaf_named(c, "B")->id.number, 1);
    delete c;
    delete t;
    EXPECT_TRUE(ends_fatally(
        [] {
            baum t2("(A,B);", true);
            baum c2(t2, false);
        },
        "Improper use of the topologyonly copy constructor of class baum\n"));
    EXPECT_TRUE(ends_fatally(
        [] {
            baum t2("(A,B);", true);
            t2.neighbors[1].node = nullptr;
            baum c2(t2);
        },
        "One tree node has a null pointer as neighbour\n"));
    EXPECT_TRUE(ends_fatally(
        [] {
            baum t2("(A,(B,C));", true);
            baum* x = t2.NB(1);
            x->neighbors[2].isparent = true;
            baum c2(*x, true);
        },
        "More than one parent in the\ncopy constructor of class baum\n"));
}

TEST(Equality, TopologyRegardlessOfRootAndOrder) {
    baum* t1 = new baum("((A,B),(C,D),E);", true);
    baum* t2 = new baum("(E:3,(D,C):7,(B:1,A));", true);
    baum* t3 = new baum("((A,C),(B,D),E);", true);
    baum* t4 = new baum("((A,B),(C,F),E);", true);
    idum = -5;
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(*t1 == *t2);
        EXPECT_FALSE(*t1 == *t3);
    }
    int absent = 0;
    for (int i = 0; i < 20; ++i) absent += !(*t4 == *t1);
    EXPECT_EQ(absent, 20);
    // the roots are restored
    for (baum* t : {t1, t2, t3, t4}) {
        EXPECT_TRUE(t->isRoot());
        check_tree(t);
    }
    delete t1;
    delete t2;
    delete t3;
    delete t4;
}

TEST(Writer, ExactStrings) {
    // parent first (as read) and parent last (as copied)
    baum* a = rooted_abc();
    a->NB(0)->neighbors[1].brl = 2.5;
    a->NB(0)->NB(1)->neighbors[0].brl = 2.5;
    a->NB(0)->neighbors[2].brl = 0.25;
    a->NB(0)->NB(2)->neighbors[0].brl = 0.25;
    a->neighbors[0].brl = 1;
    a->NB(0)->neighbors[0].brl = 1;
    std::ostringstream os;
    a->print(os);
    EXPECT_EQ(os.str(), "((B:2.500000,C:0.250000):0.500000,A:0.500000);\n");
    baum* c = new baum(*a);
    ASSERT_TRUE(c->NB(0)->neighbors[2].isparent);
    std::ostringstream oc;
    EXPECT_EQ(&c->print(oc), &oc);
    EXPECT_EQ(oc.str(), os.str());
    EXPECT_EQ(c->NB(0)->id.text, "(B:2.500000,C:0.250000)");
    EXPECT_EQ(c->id.text, "((B:2.500000,C:0.250000):0.500000,A:0.500000)");
    delete c;

    // an inner root is a plain group; small and large lengths
    baum* t = new baum("(A:0.1,(B:0,C:0.0000004):1e40,D:123.4567896);", true);
    std::ostringstream ot;
    t->print(ot);
    EXPECT_EQ(ot.str(),
              "(A:0.100000,(B:0.000000,C:0.000000):"
              "10000000000000000303786028427003666890752.000000,D:123.456790);\n");
    delete t;

    // print on a leaf inside the tree re-roots there and leaves it so
    baum* b = leaf_named(a, "B");
    std::ostringstream ob;
    b->print(ob);
    EXPECT_EQ(ob.str(), "((A:1.000000,C:0.250000):1.250000,B:1.250000);\n");
    EXPECT_TRUE(b->isRoot());
    check_tree(b);
    delete b;

    baum lone(identifier{});
    lone.id.name = "solo";
    std::ostringstream ol;
    lone.print(ol);
    EXPECT_EQ(ol.str(), "solo;\n");
}

TEST(Writer, RoundTripOnRandomTrees) {
    idum = -11;
    for (int rep = 0; rep < 30; ++rep) {
        const int L = 2 + rep % 12;
        std::vector<std::string> names = leaf_names(L);
        std::vector<std::string> shuffled;
        std::vector<int> order;
        rndorder(order, L);
        for (int i : order) shuffled.push_back(names[i]);
        baum* t = new baum(random_newick_rec(shuffled) + ";", true);
        baum* r = t->reroot();
        r->fuseblindnodes(true);
        r->bifurcate(true);
        check_tree(r);
        std::ostringstream os;
        r->print(os);
        std::string text = os.str();
        ASSERT_EQ(text.back(), '\n');
        baum* back = new baum(text.substr(0, text.size() - 1), true);
        check_tree(back);
        baum* rb = leaf_named(back, r->id.name);
        ASSERT_NE(rb, nullptr);
        rb->reroot(nullptr);
        rb->fuseblindnodes(true);
        check_tree(rb);
        EXPECT_EQ(shape(rb), shape(r)) << text;
        EXPECT_EQ(leaf_paths(rb), leaf_paths(r));
        std::ostringstream again;
        rb->print(again);
        EXPECT_EQ(again.str(), text);
        delete r;
        delete rb;
    }
}

TEST(StarTree, OneLeafPerSequence) {
    dataset ds = make_ds({"x", "y", "z"});
    ds.seqs[1] = chars("TT");
    baum* s = new baum(ds);
    check_tree(s);
    EXPECT_EQ(s->id.number, -1);
    EXPECT_EQ(s->id.name, "");
    EXPECT_EQ(shape(s), "(x:0.1,y:0.1,z:0.1)");
    for (int i = 0; i < 3; ++i) {
        baum* l = s->NB(i);
        EXPECT_EQ(l->id.number, i);
        EXPECT_EQ(l->id.text, "");
        ASSERT_EQ(l->neighbors.size(), 1u);
        EXPECT_TRUE(l->neighbors[0].isparent);
        EXPECT_TRUE(l->neighbors[0].fixed);
        EXPECT_TRUE(s->neighbors[i].fixed);
        EXPECT_FALSE(s->neighbors[i].isparent);
    }
    EXPECT_EQ(s->NB(1)->seq, bioseq(chars("TT"), 4));
    delete s;
}

}  // namespace
