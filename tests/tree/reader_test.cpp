// Guide-tree reader: the clustal text, Newick levels, the tree constructor.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "tree_helpers.h"

using namespace treetest;

namespace {

std::string clustal_of(const std::string& content) {
    std::string dir = make_temp_dir();
    std::string path = dir + "/tree.txt";
    write_file(path, content);
    clustal c(path.c_str());
    return std::string(c);
}

struct ClustalCase {
    const char* file;
    const char* text;
};

TEST(Clustal, KeepsPrintableTextUpToFirstSemicolonOutsideComments) {
    const ClustalCase cases[] = {
        {"(A,B);", "(A,B);"},
        {"[a comment; with a semicolon](A:1,B:2);", "(A:1,B:2);"},
        {"( sp 1 :1,\n\tB:2 )\r\n;", "(sp1:1,B:2);"},
        {"(A,B);(C,D);\n", "(A,B);"},
        {"(A,B);]]] garbage", "(A,B);"},
        {"(A\x01,B\x7f\xef\xbb\xbf);", "(A,B);"},
        {"(A[x[y;]z,B);", "(Az,B);"},
    };
    for (const ClustalCase& c : cases) EXPECT_EQ(clustal_of(c.file), c.text) << c.file;
}

TEST(Clustal, Failures) {
    EXPECT_FATAL(clustal_of("[a[b]c](A,B);"), "Unreadable tree format\n");
    EXPECT_FATAL(clustal_of("(A,B]);"), "Unreadable tree format\n");
    EXPECT_FATAL(clustal_of("(A,B)\n"), "No semicolon at the end of the tree\n");
    EXPECT_FATAL(clustal_of("(A,B)[;]"), "No semicolon at the end of the tree\n");
    EXPECT_FATAL(clustal c("/nonexistent/dir/tree"), "cannot open file /nonexistent/dir/tree\n");
    // a folder opens as a stream, and fails at the first read
    const std::string dir = make_temp_dir();
    EXPECT_FATAL(clustal c(dir.c_str()), "cannot read file " + dir + "\n");
    EXPECT_TRUE(ends_fatally(
        [&] {
            std::ifstream in(dir);
            clustal c(in);
        },
        "cannot read the guide tree file\n"));
}

TEST(Clustal, FromOpenStream) {
    std::string dir = make_temp_dir();
    write_file(dir + "/t", "[x](A,B);rest");
    std::ifstream in(dir + "/t");
    clustal c(in);
    EXPECT_EQ(std::string(c), "(A,B);");
    std::string rest;
    in >> rest;
    EXPECT_EQ(rest, "rest");  // nothing after the ';' was read
}

TEST(Clustal, TextReadWithoutReportingFaults) {
    const std::string dir = make_temp_dir();
    struct tcase {
        const char* content;  // nullptr: no file
        bool read;
        const char* text;
    };
    const tcase cases[] = {
        {"[x](A, B);(C,D);", true, "(A,B);"},
        {"(A,B)\n", false, ""},
        {"(A,B]);", false, ""},
        {nullptr, false, ""},
    };
    for (const tcase& c : cases) {
        const std::string path = dir + "/t";
        std::remove(path.c_str());
        if (c.content) write_file(path, c.content);
        ChildResult r = run_in_child([&] {
            std::string text = "stale";
            const bool read = read_guide_text(path.c_str(), text);
            _exit(read == c.read && text == c.text ? 0 : 3);
        });
        EXPECT_EQ(r.status, 0) << (c.content ? c.content : "no file");
        EXPECT_EQ(r.err, "");
    }
    std::string text;
    EXPECT_FALSE(read_guide_text(dir.c_str(), text));  // a folder
}

// The leaf names of the built tree, in no order.
std::set<std::string> built_leaves(const std::string& text) {
    baum* tree = new baum(text, false);
    std::set<std::string> names;
    std::vector<baum*> todo{tree};
    while (!todo.empty()) {
        baum* x = todo.back();
        todo.pop_back();
        if (x->isLeaf()) names.insert(x->id.name);
        for (auto& nb : x->neighbors)
            if (!nb.isparent && nb.node) todo.push_back(nb.node);
    }
    delete tree;
    return names;
}

std::set<std::string> leaf_names(const std::string& text, bool& read) {
    std::unordered_set<std::string> names;
    read = guide_leaf_names(text, names);
    return std::set<std::string>(names.begin(), names.end());
}

TEST(GuideTree, LeafNamesAreTheReadersOwn) {
    struct tcase {
        const char* text;
        std::set<std::string> names;
    };
    const std::vector<tcase> cases{
        {"(A,B);", {"A", "B"}},
        {"(A:1,(B:2,C:3)x:4);", {"A", "B", "C"}},
        {"(A:1,(B:0.5):0.7,(C):0.7);", {"A", "B", "C"}},
        {"(a:b:1,c);", {"a:b", "c"}},
        {"(((A:1,B:2):3),C);", {"(A:1,B:2)", "C"}},
        {"((s1,s10,s100),s1000);", {"s1", "s10", "s100", "s1000"}},
        // text just before a one-member group: the group's member is the leaf
        {"(AB:1(C),D,E);", {"B", "D", "E"}},
        {"(x(A),D,E);", {"(A", "D", "E"}},
        {"((x)(y),z);", {"x)(y", "z"}},
    };
    for (const auto& c : cases) {
        bool read = false;
        EXPECT_EQ(leaf_names(c.text, read), c.names) << c.text;
        EXPECT_TRUE(read) << c.text;
        EXPECT_EQ(built_leaves(c.text), c.names) << c.text;
    }
    // Texts the reader refuses give no names, and nothing is reported.
    for (const char* text : {"((A,B);", "(A:x,B);", "(,B);", "(:1,B);", "(A,()B);"}) {
        bool read = true;
        EXPECT_TRUE(leaf_names(text, read).empty()) << text;
        EXPECT_FALSE(read) << text;
    }
}

// Random texts of tree punctuation and names: where the names are read, the
// tree is built with exactly those leaves; where they are not, building it
// stops with a message.
TEST(GuideTree, LeafNamesAgreeWithTheBuiltTreeOnRandomTexts) {
    const std::string alphabet = "((()),,::AB1";
    unsigned long state = 20261211;
    auto next = [&state](std::size_t n) {
        state = state * 6364136223846793005ul + 1442695040888963407ul;
        return static_cast<std::size_t>((state >> 33) % n);
    };
    int read_count = 0, refused_checked = 0;
    for (int k = 0; k < 3000; ++k) {
        std::string text = "(";
        const std::size_t len = 2 + next(12);
        for (std::size_t i = 0; i < len; ++i) text += alphabet[next(alphabet.size())];
        text += ");";
        bool read = false;
        const std::set<std::string> names = leaf_names(text, read);
        if (read) {
            ++read_count;
            EXPECT_EQ(names, built_leaves(text)) << text;
        } else if (refused_checked < 40) {
            ++refused_checked;
            const ChildResult r = run_in_child([&] {
                baum tree(text, false);
                _exit(0);
            });
            EXPECT_EQ(r.status, 1) << text;
            EXPECT_FALSE(r.err.empty()) << text;
        }
    }
    EXPECT_GT(read_count, 100);
    EXPECT_EQ(refused_checked, 40);
}

struct ShapeCase {
    const char* text;
    const char* shape;
};

TEST(GuideTree, ValidTexts) {
    const ShapeCase cases[] = {
        {"(A,B);", "(A:0.1,B:0.1)"},
        {"(A:0.2,B:0.3):0.5;", "(A:0.2,B:0.3)"},
        {"(A:1,(B:2,C:3)x:4);", "(A:1,(B:2,C:3):4)"},
        {"(A,B,C,D)root;", "(A:0.1,B:0.1,C:0.1,D:0.1)"},
        {"(A:1,(B:0.5):0.7,(C):0.7);", "(A:1,B:0.5,C:0.7)"},
        {"((A:1,B:2):3,(C:1e-3,D:25):0);", "((A:1,B:2):3,(C:0.001,D:25):0)"},
        {"(A:1.5abc,B:-2);", "(A:1.5,B:-2)"},
        {"(A;,B);", "(A;:0,B:0.1)"},
        {"(A,(B,C)):1:2;", "(A:0.1,(B:0.1,C:0.1):0.1)"},
    };
    for (const ShapeCase& c : cases) {
        baum* t = new baum(c.text, true);
        EXPECT_EQ(shape(t), c.shape) << c.text;
        check_tree(t);
        delete t;
    }
}

TEST(GuideTree, NodesRecordsAndOrder) {
    dataset ds = make_ds({"C", "A", "B"});
    ds.seqs[2] = chars("GG-T");
    baum* t = new baum("(A:1,(B:2,C:3)x:4);", true, ds);
    ASSERT_EQ(t->neighbors.size(), 2u);
    EXPECT_EQ(t->id.number, -1);
    EXPECT_EQ(t->id.name, "");
    baum* a = t->NB(0);
    baum* x = t->NB(1);
    EXPECT_EQ(a->id.name, "A");
    EXPECT_EQ(a->id.text, "A");
    EXPECT_EQ(a->id.number, 1);
    EXPECT_EQ(x->id.number, -1);
    EXPECT_TRUE(x->seq.empty());
    // a non-root node: parent first, then its children in text order
    ASSERT_EQ(x->neighbors.size(), 3u);
    EXPECT_TRUE(x->neighbors[0].isparent);
    EXPECT_EQ(x->neighbors[0].node, t);
    EXPECT_EQ(x->NB(1)->id.name, "B");
    EXPECT_EQ(x->NB(2)->id.name, "C");
    EXPECT_EQ(x->NB(1)->id.number, 2);
    EXPECT_EQ(x->NB(2)->id.number, 0);
    EXPECT_EQ(x->NB(1)->seq, bioseq(chars("GG-T"), 4));
    EXPECT_EQ(x->NB(1)->seq.laen(), 3);
    for (baum* n : {a, x, x->NB(1), x->NB(2)})
        for (const neighbor& r : n->neighbors) {
            EXPECT_TRUE(r.fixed);
            EXPECT_TRUE(r.posmap.empty());
        }
    check_tree(t);
    delete t;
}

TEST(GuideTree, Failures) {
    struct Case {
        const char* text;
        const char* msg;
    };
    const Case cases[] = {
        {"(A:1,,B:2);", "An empty string was passed to the constructor Newick\n"},
        {"(A,);", "An empty string was passed to the constructor Newick\n"},
        {"(A:1,:2);", "Leaf has no name\n"},
        {"(A,());", "Leaf has no name\n"},
        {"(A,(:0.5));", "Leaf has no name\n"},
        {"(A:x,B:1);", "Cannot scan from string\nx\n"},
        {"(A:,B);", "Cannot scan from string\n\n"},
        {"(A,B:nan);", "Cannot scan from string\nnan\n"},
        {"(A,B:-inf);", "Cannot scan from string\n-inf\n"},
        {"(A,B:1e999);", "Cannot scan from string\n1e999\n"},
        {"(A,(B:x));", "Cannot scan from string\nx)\n"},
        {"(A,(B,C):y);", "Cannot scan from string\ny\n"},
        {"((A:1,B:2);", "1 more '(' than ')' or v.v. in subtree\n((A:1,B:2)\n"},
        {"(A:1,B:2));", "-1 more '(' than ')' or v.v. in subtree\n(A:1,B:2))\n"},
        {"(A,(B,(C);", "2 more '(' than ')' or v.v. in subtree\n(A,(B,(C)\n"},
        {"(A,B;", "1 more '(' than ')' or v.v. in subtree\n(A,B;\n"},
        // commas are taken at depth 1 of each part, wherever its groups close
        {"(x(A,B),C);", "1 more '(' than ')' or v.v. in subtree\n(A\n"},
        {"((A,B)x(C,D),E);", "-1 more '(' than ')' or v.v. in subtree\nB)\n"},
        {"(A:1);", "The guide tree has fewer than two leaves\n"},
        {"A:1;", "The guide tree has fewer than two leaves\n"},
        {"A;", "The guide tree has fewer than two leaves\n"},
        {"((A:1,B:2):3);", "The guide tree has fewer than two leaves\n"},
        {"(A,B,(C,A));", "One name was found twice in the tree\n"},
        {"(A,A);", "One name was found twice in the tree\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_FATAL(baum t(c.text, true), c.msg);
    }
    EXPECT_FATAL(Newick n(""), "An empty string was passed to the constructor Newick\n");
    EXPECT_FATAL(Newick n("(A,B);)"), "Error in Clustal tree: \n(A,B);)\n");
    EXPECT_FATAL(Newick n("(A,B);:1"), "Error in Clustal tree: \n(A,B);:1\n");
}

TEST(GuideTree, DataSetMatching) {
    dataset ds = make_ds({"A", "B", "C"});
    EXPECT_FATAL(baum t("(A,B,Z);", true, ds),
                 "Taxon Z was not found in the following data set:\nA\nB\nC\n");
    dataset dup = make_ds({"A", "B", "A"});
    EXPECT_FATAL(baum t("(A,B);", true, dup),
                 "Two sequences in the data set have the same name!\n");
    // a duplicate that no leaf names goes unnoticed; unnamed rows are dropped
    baum t("(B,C);", true, ds);
    EXPECT_EQ(t.numleaves(), 2u);
}

// The match of leaves to the names of the rows reads, checks and reports as
// the constructor on the data set does, in the same order; it codes no row.
TEST(GuideTree, NameMatchAgreesWithTheDataSetConstructor) {
    dataset ds = make_ds({"C", "A", "B", "D"});
    ds.seqs[2] = chars("GG-T");
    ds.seqs[3] = chars("T");
    dataset dup = make_ds({"A", "B", "A", "C"});
    const std::string no_z = "Taxon Z was not found in the following data set:\nC\nA\nB\nD\n";
    const std::string fewer = "The guide tree has fewer than two leaves\n";
    struct tcase {
        const char* text;
        dataset* data;
        std::string err;  // empty: the tree is read
    };
    const std::vector<tcase> cases{
        {"(A,B);", &ds, ""},
        {"(A:1,(B:2,C:3)x:4);", &ds, ""},
        {"((D,(A)):2,(B:0.5):1,C);", &ds, ""},
        {"(B,C);", &dup, ""},  // a duplicate that no leaf names
        {"(A,B,Z);", &ds, no_z},
        {"(Z,(A:x,B));", &ds, no_z},                            // the leaf comes first
        {"((A:x,B),Z);", &ds, "Cannot scan from string\nx\n"},  // the fault comes first
        {"(A,Z,A);", &ds, no_z},                                // before the duplicate check
        {"(A,B,(C,A));", &ds, "One name was found twice in the tree\n"},
        {"Z;", &ds, fewer},  // before the match
        {"((Z:1,B:2):3);", &ds, fewer},
        {"(A,(B,(C);", &ds, "2 more '(' than ')' or v.v. in subtree\n(A,(B,(C)\n"},
        {"(A:1,,Z:2);", &ds, "An empty string was passed to the constructor Newick\n"},
        {"(A:1,:2);", &ds, "Leaf has no name\n"},
        {"(A,B);", &dup, "Two sequences in the data set have the same name!\n"},
    };
    for (const tcase& c : cases) {
        SCOPED_TRACE(c.text);
        dataset& data = *c.data;
        const ChildResult by_rows = run_in_child([&] { baum t(c.text, true, data); });
        const ChildResult by_names = run_in_child([&] { baum t(c.text, true, data.names); });
        if (!c.err.empty()) {
            EXPECT_TRUE(fatal_with(by_rows, c.err));
            EXPECT_TRUE(fatal_with(by_names, c.err));
            continue;
        }
        ASSERT_EQ(by_rows.status, 0) << by_rows.err;
        ASSERT_EQ(by_names.status, 0) << by_names.err;
        EXPECT_EQ(by_rows.err + by_names.err, "");

        baum* coded = new baum(c.text, true, data);
        baum* matched = new baum(c.text, true, data.names);
        check_tree(matched);
        std::vector<baum*> nodes;
        collect(coded, nodes);
        for (baum* x : nodes) {
            if (!x->isLeaf()) continue;
            const std::vector<char>& row_name = data.names.at(static_cast<size_t>(x->id.number));
            EXPECT_EQ(std::string(row_name.begin(), row_name.end()), x->id.name);
            EXPECT_EQ(x->seq, bioseq(data.seqs[static_cast<size_t>(x->id.number)], data.type));
            x->seq.clear();
        }
        // Everything else alike, down to the order of the records.
        EXPECT_EQ(dump(matched), dump(coded));
        delete coded;
        delete matched;
    }

    // A row that cannot be coded stops the constructor, not the match.
    dataset bad = make_ds({"A", "B"});
    bad.seqs[1] = chars("AC!T");
    EXPECT_FATAL(baum t("(A,B);", true, bad),
                 "Unknown symbol for base: ! in function chartobase\n");
    baum t("(B,A);", true, bad.names);
    EXPECT_EQ(leaf_named(&t, "A")->id.number, 0);
    EXPECT_EQ(leaf_named(&t, "B")->id.number, 1);
    EXPECT_TRUE(leaf_named(&t, "B")->seq.empty());
}

TEST(GuideTree, MatchesPhylipNames) {
    // names shorter than ten columns are padded with blanks
    std::istringstream in("3 2\nalpha     AC\nb         GT\nabcdefghijCC\n");
    dataset ds;
    ds.fromphylip(in);
    ds.guesstype();
    const char* text = "(b,(abcdefghij,alpha));";
    ChildResult r = run_in_child([&] { baum t(text, true, ds); });
    ASSERT_EQ(r.status, 0) << r.err;
    baum t(text, true, ds);
    EXPECT_EQ(leaf_named(&t, "alpha")->id.number, 0);
    EXPECT_EQ(leaf_named(&t, "b")->id.number, 1);
    EXPECT_EQ(leaf_named(&t, "abcdefghij")->id.number, 2);
    EXPECT_EQ(leaf_named(&t, "b")->seq, bioseq(chars("GT"), 4));
}

// Groups nested to the given level: each holds leaf Li and the next group,
// the innermost holds L(levels-1) and Z.
std::string caterpillar(unsigned levels) {
    std::string t;
    for (unsigned i = 0; i + 1 < levels; ++i)
        t += "(L" + std::to_string(i) + ":" + std::to_string(i % 7 + 1) + ",";
    t += "(L" + std::to_string(levels - 1) + ":1,Z:2)";
    for (unsigned i = 0; i + 1 < levels; ++i) t += ":0.5)";
    return t + ";";
}

TEST(GuideTree, DeepNesting) {
    const std::string msg =
        "The guide tree is nested more than " + std::to_string(max_guide_depth) + " levels deep\n";
    EXPECT_FATAL(baum t(caterpillar(max_guide_depth + 1), true), msg);
    EXPECT_FATAL(baum t(caterpillar(200000), true), msg);

    const unsigned n = max_guide_depth;
    baum* t = new baum(caterpillar(n), true);
    EXPECT_EQ(check_tree(t), static_cast<int>(2 * n + 1));
    EXPECT_EQ(t->numleaves(), n + 1);
    // walk down the groups: parent first, then the leaf, then the next group
    baum* x = t;
    for (unsigned i = 0; i < n; ++i) {
        const size_t first = i == 0 ? 0 : 1;
        ASSERT_EQ(x->neighbors.size(), first + 2) << i;
        if (i > 0) {
            EXPECT_TRUE(x->neighbors[0].isparent);
            EXPECT_EQ(x->neighbors[0].brl, 0.5);
        }
        const neighbor& leaf = x->neighbors[first];
        const neighbor& next = x->neighbors[first + 1];
        EXPECT_EQ(leaf.node->id.name, "L" + std::to_string(i));
        if (i + 1 < n) {
            EXPECT_EQ(leaf.brl, i % 7 + 1.0);
            EXPECT_EQ(next.brl, 0.5);
            x = next.node;
        } else {
            EXPECT_EQ(leaf.brl, 1.0);
            EXPECT_EQ(next.node->id.name, "Z");
            EXPECT_EQ(next.brl, 2.0);
        }
    }
    delete t;
}

TEST(Newick, Levels) {
    Newick a("(A:1,(B:2,C:3)x:4,D);");
    EXPECT_FALSE(a.leaf);
    EXPECT_EQ(a.label, "(A:1,(B:2,C:3)x:4,D)");
    EXPECT_EQ(a.length, 0.0);
    EXPECT_EQ(a.subtexts, (std::vector<std::string>{"A:1", "(B:2,C:3)x:4", "D"}));
    Newick b("(B:2,C:3)x:4");
    EXPECT_EQ(b.label, "(B:2,C:3)");
    EXPECT_EQ(b.length, 4.0);
    Newick c("(B:2,C:3)x");
    EXPECT_EQ(c.length, 0.1);
    Newick d("sp:0.25");
    EXPECT_TRUE(d.leaf);
    EXPECT_EQ(d.label, "sp");
    EXPECT_EQ(d.length, 0.25);
    EXPECT_TRUE(d.subtexts.empty());
    Newick e("(A:0.5):0.7");
    EXPECT_TRUE(e.leaf);
    EXPECT_EQ(e.label, "A");
    EXPECT_EQ(e.length, 0.5);
    Newick f("(A):0.7");
    EXPECT_TRUE(f.leaf);
    EXPECT_EQ(f.label, "A");
    EXPECT_EQ(f.length, 0.7);
    Newick g("((A:1,B:2):3)");
    EXPECT_TRUE(g.leaf);
    EXPECT_EQ(g.label, "(A:1,B:2)");
    EXPECT_EQ(g.length, 3.0);
}

}  // namespace
