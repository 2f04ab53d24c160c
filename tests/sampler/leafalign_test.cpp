// Leaf alignment from branch alignments, column patterns, and the sampler
// state's copies.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "sampler/mult_align.h"
#include "sampler_fixtures.h"
#include "support/fatal.h"

namespace {

using samplertest::link;
using samplertest::mknode;
using samplertest::str;

std::vector<std::string> rows_of(const mdataset& m) {
    std::vector<std::string> out;
    for (auto& r : m.seqs) out.push_back(str(r));
    return out;
}

std::vector<std::string> names_of(const mdataset& m) {
    std::vector<std::string> out;
    for (auto& r : m.names) out.push_back(str(r));
    return out;
}

std::string ungapped(const std::string& row) {
    std::string s;
    for (char c : row)
        if (c != '_') s += c;
    return s;
}

using strings = std::vector<std::string>;

}  // namespace

// ---------------------------------------------------------------------------
// Hand-made trees with known leaf alignments

struct handcase {
    const char* what;
    baum* (*build)();
    strings names;
    strings rows;
};

class LeafAlignment : public ::testing::TestWithParam<handcase> {};

TEST_P(LeafAlignment, RowsAndOrder) {
    const handcase& c = GetParam();
    baum* root = c.build();
    mdataset m(root, NUC);
    EXPECT_EQ(names_of(m), c.names) << c.what;
    EXPECT_EQ(rows_of(m), c.rows) << c.what;
    EXPECT_EQ(m.type, 4);
    delete root;
}

namespace {

// R = ACG over L = AG as match, deletion, match.
baum* two_leaves() {
    baum* r = mknode("R", 1, "ACG");
    baum* l = mknode("L", 0, "AG");
    link(r, l, 1.0, "MDM");
    return r;
}

// R - X - (B, Y) with the parent record first or last in X's list.
baum* order_parent_last() {
    baum* r = mknode("R", 2, "A");
    baum* x = mknode("", -1, "A");
    link(x, mknode("B", 0, "A"), 1.0, "M");
    link(x, mknode("Y", 1, "A"), 1.0, "M");
    link(r, x, 1.0, "M");
    return r;
}
baum* order_parent_first() {
    baum* r = mknode("R", 2, "A");
    baum* x = mknode("", -1, "A");
    link(r, x, 1.0, "M");
    link(x, mknode("B", 0, "A"), 1.0, "M");
    link(x, mknode("Y", 1, "A"), 1.0, "M");
    return r;
}

// Both children and the parent insert between X's A and C: the first
// child's columns, then the second's; the parent's residue comes after.
baum* insertions_same_place() {
    baum* r = mknode("R", 2, "AGC");
    baum* x = mknode("", -1, "AC");
    link(x, mknode("B", 0, "AGGC"), 1.0, "MIIM");
    link(x, mknode("C", 1, "ATC"), 1.0, "MIM");
    link(r, x, 1.0, "MDM");
    return r;
}

// X's C is deleted on both child branches: R's C shares no column with a
// residue below X, and B's insertion T comes after it.
baum* deleted_on_both() {
    baum* r = mknode("R", 2, "ACG");
    baum* x = mknode("", -1, "ACG");
    link(x, mknode("B", 0, "ATG"), 1.0, "MDIM");
    link(x, mknode("C", 1, "AG"), 1.0, "MDM");
    link(r, x, 1.0, "MMM");
    return r;
}

// Pure matches of equal lengths.
baum* all_matches() {
    baum* r = mknode("R", 3, "ACGT");
    baum* x = mknode("", -1, "ACGA");
    baum* y = mknode("", -1, "ACGA");
    link(y, mknode("D", 1, "TCGA"), 2.0, "MMMM");
    link(y, mknode("E", 2, "GGGG"), 2.0, "MMMM");
    link(x, mknode("B", 0, "ACCA"), 1.0, "MMMM");
    link(x, y, 1.0, "MMMM");
    link(r, x, 1.0, "MMMM");
    return r;
}

// An inner node without residues: its subtree's columns are those of its
// first child, then those of its second; the parent's residue stands alone.
baum* empty_inner() {
    baum* r = mknode("R", 2, "T");
    baum* x = mknode("", -1, "");
    link(x, mknode("B", 0, "AC"), 1.0, "II");
    link(x, mknode("C", 1, "G"), 1.0, "I");
    link(r, x, 1.0, "D");
    return r;
}

// All leaves empty: no columns.
baum* no_columns() {
    baum* r = mknode("R", 2, "");
    baum* x = mknode("", -1, "AC");
    link(x, mknode("B", 0, ""), 1.0, "DD");
    link(x, mknode("C", 1, ""), 1.0, "DD");
    link(r, x, 1.0, "II");
    return r;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(
    HandMade, LeafAlignment,
    ::testing::Values(
        handcase{"two leaves", two_leaves, {"L", "R"}, {"A_G", "ACG"}},
        handcase{"parent last", order_parent_last, {"B", "Y", "R"}, {"A", "A", "A"}},
        handcase{"parent first", order_parent_first, {"B", "Y", "R"}, {"A", "A", "A"}},
        handcase{
            "insertions", insertions_same_place, {"B", "C", "R"}, {"AGG__C", "A__T_C", "A___GC"}},
        handcase{"deleted on both", deleted_on_both, {"B", "C", "R"}, {"A_TG", "A__G", "AC_G"}},
        handcase{
            "all matches", all_matches, {"B", "D", "E", "R"}, {"ACCA", "TCGA", "GGGG", "ACGT"}},
        handcase{"empty inner", empty_inner, {"B", "C", "R"}, {"AC__", "__G_", "___T"}},
        handcase{"no columns", no_columns, {"B", "C", "R"}, {"", "", ""}}));

// ---------------------------------------------------------------------------
// Random trees: the columns are exactly the classes of homologous residues.

namespace {

struct randomtree {
    std::mt19937 rng;
    int leaves = 0;
    // Homology class of every residue of every node.
    std::map<baum*, std::vector<int>> ids;
    int nextid = 0;
    std::vector<baum*> leaforder;  // depth-first in list order

    explicit randomtree(unsigned seed) : rng(seed) {}

    bool coin(double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }
    char letter() { return "ACGT"[std::uniform_int_distribution<int>(0, 3)(rng)]; }

    // A child of parent: its path and sequence; residues matched to the
    // parent inherit its classes.
    baum* child_of(baum* parent, int depth) {
        const std::vector<int>& pid = ids[parent];
        std::string path, seq;
        std::vector<int> cid;
        for (size_t i = 0; i <= pid.size(); ++i) {
            while (coin(0.25)) {
                path += 'I';
                seq += letter();
                cid.push_back(nextid++);
            }
            if (i == pid.size()) break;
            if (coin(0.7)) {
                path += 'M';
                seq += letter();
                cid.push_back(pid[i]);
            } else {
                path += 'D';
            }
        }
        const bool inner = depth > 0 && coin(0.6);
        baum* c = mknode(inner ? "" : "L" + std::to_string(leaves), inner ? -1 : leaves, seq);
        if (!inner) ++leaves;
        ids[c] = cid;
        const bool parentfirst = coin(0.5);
        if (parentfirst) link(parent, c, 1.0, path);
        if (inner) {
            child_of(c, depth - 1);
            child_of(c, depth - 1);
            if (coin(0.3)) child_of(c, depth - 1);
        }
        if (!parentfirst) link(parent, c, 1.0, path);
        return c;
    }

    void collect(baum* x) {
        if (x->isLeaf()) {
            leaforder.push_back(x);
            return;
        }
        for (neighbor& r : x->neighbors)
            if (!r.isparent) collect(r.node);
    }

    baum* make() {
        baum* r = mknode("R", 999, "");
        std::string seq;
        std::uniform_int_distribution<int> len(0, 6);
        for (int k = len(rng); k > 0; --k) {
            seq += letter();
            ids[r].push_back(nextid++);
        }
        r->seq = bioseq(chars(seq), 4);
        ids[r].resize(seq.size());
        child_of(r, 3);
        collect(r->neighbors[0].node);
        leaforder.push_back(r);
        return r;
    }
};

}  // namespace

TEST(LeafAlignmentRandom, ColumnsAreHomologyClasses) {
    for (unsigned seed = 1; seed <= 300; ++seed) {
        randomtree g(seed);
        baum* root = g.make();
        mdataset m(root, NUC);
        ASSERT_EQ(m.seqs.size(), g.leaforder.size()) << seed;
        const size_t len = m.seqs[0].size();
        std::vector<size_t> counter(m.seqs.size(), 0);
        std::set<int> seen;
        for (size_t b = 0; b < len; ++b) {
            std::set<int> here;
            for (size_t r = 0; r < m.seqs.size(); ++r) {
                ASSERT_EQ(m.seqs[r].size(), len) << seed;
                if (m.seqs[r][b] == '_') continue;
                here.insert(g.ids[g.leaforder[r]][counter[r]++]);
            }
            ASSERT_EQ(here.size(), 1u) << "seed " << seed << " column " << b;
            ASSERT_TRUE(seen.insert(*here.begin()).second) << "seed " << seed << " column " << b;
        }
        for (size_t r = 0; r < m.seqs.size(); ++r) {
            baum* leaf = g.leaforder[r];
            EXPECT_EQ(str(m.names[r]), leaf->id.name) << seed;
            std::string letters;
            for (int c : leaf->seq) letters += state_to_char(c, NUC);
            EXPECT_EQ(ungapped(str(m.seqs[r])), letters) << seed;
        }
        delete root;
    }
}

// ---------------------------------------------------------------------------
// The small members and the failures of the merge

TEST(MdatasetMembers, ValidcolumnNotatendRow) {
    mdataset m;
    std::vector<char> gaps{'_', '-', '_'}, one{'_', 'A', '_'};
    EXPECT_FALSE(m.validcolumn(gaps, 3));
    EXPECT_TRUE(m.validcolumn(one, 3));

    bool allstart = false;
    std::vector<zustand> ends{END, END}, starts{START, START}, mixed{START, END};
    EXPECT_FALSE(m.notatend(ends, allstart));
    EXPECT_FALSE(allstart);
    EXPECT_TRUE(m.notatend(starts, allstart));
    EXPECT_TRUE(allstart);
    EXPECT_TRUE(m.notatend(mixed, allstart));
    EXPECT_FALSE(allstart);

    m.seqs = {{'A', 'C'}, {'G', '_'}, {'T', 'T'}};
    m.names = {{'a'}, {'b'}, {'c'}};
    std::vector<char> col{'x'};
    m.row(1, col);
    EXPECT_EQ(str(col), "C_T");
    m.row(0, col);
    EXPECT_EQ(str(col), "AGT");

    // Copies and assignment are values.
    mdataset c(m);
    mdataset d;
    d = c;
    c.seqs[0][0] = 'G';
    EXPECT_EQ(d.seqs, m.seqs);
    EXPECT_EQ(d.names, m.names);
}

struct fatalcase {
    const char* what;
    void (*run)();
    const char* err;
};

class MergeFailures : public ::testing::TestWithParam<fatalcase> {};

TEST_P(MergeFailures, Message) {
    const fatalcase& c = GetParam();
    EXPECT_TRUE(ends_fatally(c.run, c.err)) << c.what;
}

namespace {

void null_node() {
    mdataset m;
    std::vector<int> a, b;
    std::vector<std::vector<char>> n, r;
    m.push_mult(nullptr, a, b, n, r);
}
void lone_root() { mdataset m(mknode("R", 0, "A"), NUC); }
void inner_root() {
    baum* x = mknode("", -1, "A");
    link(x, mknode("B", 0, "A"), 1.0, "M");
    link(x, mknode("C", 1, "A"), 1.0, "M");
    mdataset m(x, NUC);
}
// The parent's walk of X ends after X's first residue: a map of X of the
// wrong length.
void short_parent_walk() {
    baum* r = mknode("R", 2, "A");
    baum* x = mknode("", -1, "AC");
    link(x, mknode("B", 0, "AC"), 1.0, "MM");
    link(x, mknode("C", 1, "AC"), 1.0, "MM");
    link(r, x, 1.0, "MD");
    r->neighbors[0].posmap = {0};
    x->neighbors[2].posmap = {0};
    mdataset m(r, NUC);
}
// A child branch's map of X one entry short.
void short_child_map() {
    baum* r = mknode("R", 2, "AC");
    baum* x = mknode("", -1, "AC");
    link(x, mknode("B", 0, "AC"), 1.0, "MM");
    link(x, mknode("C", 1, "AC"), 1.0, "MM");
    link(r, x, 1.0, "MM");
    x->neighbors[1].posmap = {0};
    mdataset m(r, NUC);
}
// A leaf's map towards its parent one entry short.
void short_leaf_map() {
    baum* r = mknode("R", 1, "AC");
    baum* l = mknode("L", 0, "AC");
    link(r, l, 1.0, "MM");
    l->neighbors[0].posmap = {0};
    mdataset m(r, NUC);
}
// A child's maps that leave the path.
void off_path() {
    baum* r = mknode("R", 1, "AC");
    baum* l = mknode("L", 0, "AC");
    link(r, l, 1.0, "MM");
    l->neighbors[0].posmap = {1, 0};
    mdataset m(r, NUC);
}
void wrong_column_size() {
    mdataset m;
    std::vector<char> col{'A', '_', 'C'};
    m.validcolumn(col, 2);
}
void row_without_rows() {
    mdataset m;
    std::vector<char> col;
    m.row(0, col);
}
void row_beyond_end() {
    mdataset m;
    m.seqs = {{'A', 'C'}, {'G', 'T'}};
    std::vector<char> col;
    m.row(2, col);
}
void row_huge_index() {
    mdataset m;
    m.seqs = {{'A', 'C'}};
    std::vector<char> col;
    m.row(4294967295u, col);
}
void row_short_other_row() {
    mdataset m;
    m.seqs = {{'A', 'C'}, {'G'}};
    std::vector<char> col;
    m.row(1, col);
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(
    Fatal, MergeFailures,
    ::testing::Values(
        fatalcase{"null", null_node, "Error in function push_mult: tree points to NULL\n"},
        fatalcase{"lone root", lone_root, "Pathological situation\n"},
        fatalcase{"inner root", inner_root, "Argument of whichone(baum *T) is NULL\n"},
        fatalcase{"short parent walk", short_parent_walk, "Asynchronous start in push_mult\n"},
        fatalcase{"short child map", short_child_map, "Asynchronous start in push_mult\n"},
        fatalcase{"short leaf map", short_leaf_map, "Asynchronous start in push_mult\n"},
        fatalcase{"off path", off_path, "0 und 0 ergeben keinen Zustand in iter_zust\n"},
        fatalcase{"column size", wrong_column_size,
                  "Alignment column has 3 entries, yet there should be 2\n"},
        fatalcase{"no rows", row_without_rows, "There is no row 0 in the alignment\n"},
        fatalcase{"beyond end", row_beyond_end, "There is no row 2 in the alignment\n"},
        fatalcase{"huge index", row_huge_index, "There is no row 4294967295 in the alignment\n"},
        fatalcase{"short other row", row_short_other_row, "There is no row 1 in the alignment\n"}));

// ---------------------------------------------------------------------------
// Column patterns

namespace {

mdataset alignment_of(const strings& names, const strings& rows) {
    mdataset m;
    for (auto& n : names) m.names.emplace_back(n.begin(), n.end());
    for (auto& r : rows) m.seqs.emplace_back(r.begin(), r.end());
    m.type = 4;
    return m;
}

strings columns_of(const compact_subst_pattern& p) {
    strings out;
    for (auto& c : p.columns) out.push_back(str(c));
    return out;
}

}  // namespace

struct patterncase {
    strings rows;
    strings columns;
    std::vector<int> counts;
};

class Patterns : public ::testing::TestWithParam<patterncase> {};

TEST_P(Patterns, DistinctColumnsDescending) {
    const patterncase& c = GetParam();
    strings names;
    for (size_t i = 0; i < c.rows.size(); ++i) names.push_back("n" + std::to_string(i));
    mdataset m = alignment_of(names, c.rows);
    compact_subst_pattern p(m);
    EXPECT_EQ(columns_of(p), c.columns);
    EXPECT_EQ(p.counts, c.counts);
    EXPECT_EQ(p.names, names);
}

INSTANTIATE_TEST_SUITE_P(Known, Patterns,
                         ::testing::Values(
                             // Columns AC, A_, CA, AC.
                             patterncase{{"AACA", "C_AC"}, {"CA", "A_", "AC"}, {1, 1, 2}},
                             patterncase{{"GGGGG", "TTTTT", "AAAAA"}, {"GTA"}, {5}},
                             // '-' and '_' are different characters.
                             patterncase{{"AAA", "-_-"}, {"A_", "A-"}, {1, 2}},
                             patterncase{{"", ""}, {}, {}}));

TEST(Patterns, CountsMatchBruteForce) {
    std::mt19937 rng(7);
    const char letters[] = "AC_";
    strings rows(4, std::string(60, 'A'));
    for (auto& r : rows)
        for (auto& ch : r) ch = letters[rng() % 3];
    mdataset m = alignment_of({"a", "b", "c", "d"}, rows);
    compact_subst_pattern p(m);
    int total = 0;
    for (size_t k = 0; k < p.columns.size(); ++k) {
        if (k > 0) {
            EXPECT_GT(p.columns[k - 1], p.columns[k]);
        }
        int brute = 0;
        for (size_t b = 0; b < 60; ++b) {
            bool same = true;
            for (size_t r = 0; r < 4; ++r) same = same && rows[r][b] == p.columns[k][r];
            brute += same;
        }
        EXPECT_EQ(p.counts[k], brute);
        total += p.counts[k];
    }
    EXPECT_EQ(total, 60);
}

TEST(Patterns, Equivalence) {
    std::vector<char> a{'A', '_'}, b{'C', '-'}, c{'_', 'C'}, d{'G', 'T'};
    EXPECT_TRUE(patternequivalent(a, b));
    EXPECT_FALSE(patternequivalent(a, c));
    EXPECT_FALSE(patternequivalent(a, d));
    EXPECT_TRUE(patternequivalent(d, d));
}

TEST(Patterns, Failures) {
    EXPECT_TRUE(ends_fatally(
        [] {
            mdataset m;
            compact_subst_pattern p(m);
        },
        "Alignment without taxa\n"));
    EXPECT_TRUE(ends_fatally(
        [] {
            std::vector<char> a{'A', '_'}, b{'A', 'C', 'G'};
            patternequivalent(a, b);
        },
        "You were trying to compare position patterns with different sizes\n"));
}

// ---------------------------------------------------------------------------
// Sampler state: copies, working copies and destruction

namespace {

// R - X - (B, C), read-tree order: parent record first in X's list.
baum* small_tree() {
    baum* r = mknode("R", 2, "AC");
    baum* x = mknode("", -1, "AC");
    link(r, x, 2.0, "MM");
    link(x, mknode("B", 0, "AG"), 3.0, "MM");
    link(x, mknode("C", 1, "A"), 5.0, "MD");
    return r;
}

mult_alignment small_state() {
    return mult_alignment(substmodel(), indel(std::vector<double>{0.01, 0.011}, TKF1), small_tree(),
                          keepfixed(), cooling());
}

void expect_same_tree(baum* a, baum* b) {
    ASSERT_NE(a, b);
    EXPECT_EQ(a->id.name, b->id.name);
    EXPECT_EQ(std::vector<int>(a->seq), std::vector<int>(b->seq));
    ASSERT_EQ(a->neighbors.size(), b->neighbors.size());
    // A copy lists the children in order, then the parent record.
    std::vector<const neighbor*> ka, kb;
    const neighbor* pa = nullptr;
    for (auto& r : a->neighbors) {
        if (r.isparent) pa = &r;
        else ka.push_back(&r);
    }
    for (auto& r : b->neighbors)
        if (!r.isparent) kb.push_back(&r);
    ASSERT_EQ(ka.size(), kb.size());
    if (pa != nullptr) {
        EXPECT_TRUE(b->neighbors.back().isparent);
        EXPECT_EQ(pa->posmap, b->neighbors.back().posmap);
    }
    for (size_t k = 0; k < ka.size(); ++k) {
        EXPECT_EQ(ka[k]->brl, kb[k]->brl);
        EXPECT_EQ(ka[k]->posmap, kb[k]->posmap);
        expect_same_tree(ka[k]->node, kb[k]->node);
    }
}

}  // namespace

TEST(SamplerState, StartValuesAndDerivedMembers) {
    mult_alignment s = small_state();
    EXPECT_EQ(s.tnew, nullptr);
    EXPECT_EQ(s.counter, 0u);
    EXPECT_EQ(names_of(s.malign), (strings{"B", "C", "R"}));
    EXPECT_EQ(rows_of(s.malign), (strings{"AG", "A_", "AC"}));
    EXPECT_EQ(s.pattern.counts.size(), 2u);
    EXPECT_EQ(s.loglik, s.complik(s.pattern, s.told));
    EXPECT_EQ(s.tempali, 1.0);
    EXPECT_EQ(s.rateparam, 0.0);
    EXPECT_EQ(s.widthindex, 8u);
    EXPECT_TRUE(s.widthdown);
    EXPECT_EQ(s.widthgain, std::vector<double>(8, 0.0));
    EXPECT_EQ(s.widthcount, std::vector<int>(8, 0));
}

TEST(SamplerState, CopyIsIndependent) {
    mult_alignment* src = new mult_alignment(small_state());
    src->counter = 17;
    src->loglik = -12.5;
    src->tempali = 3.0;
    src->tempparam = 4.0;
    src->rateali = 0.25;
    src->rateparam = 0.125;
    src->widthindex = 3;
    src->widthround = 9;
    src->widthdown = false;
    src->widthgain[2] = 1.5;
    src->widthcount[5] = 6;
    src->cool.delta = 0.3;
    src->ausaltmachneu();

    mult_alignment* copy = new mult_alignment(*src);
    EXPECT_EQ(copy->tnew, nullptr);
    EXPECT_EQ(copy->counter, 17u);
    EXPECT_EQ(copy->loglik, -12.5);
    EXPECT_EQ(copy->tempali, 3.0);
    EXPECT_EQ(copy->tempparam, 4.0);
    EXPECT_EQ(copy->rateali, 0.25);
    EXPECT_EQ(copy->rateparam, 0.125);
    EXPECT_EQ(copy->widthindex, 3u);
    EXPECT_EQ(copy->widthround, 9u);
    EXPECT_FALSE(copy->widthdown);
    EXPECT_EQ(copy->widthgain, src->widthgain);
    EXPECT_EQ(copy->widthcount, src->widthcount);
    EXPECT_EQ(copy->cool.delta, 0.3);
    EXPECT_EQ(rows_of(copy->malign), rows_of(src->malign));
    EXPECT_EQ(copy->pattern.columns, src->pattern.columns);
    expect_same_tree(src->told, copy->told);

    // Changing or destroying the copy leaves the source alone.
    copy->told->seq[0] = 3;
    copy->told->neighbors[0].posmap[0] = 1;
    delete copy;
    EXPECT_EQ(src->told->seq[0], 0);
    EXPECT_EQ(src->told->neighbors[0].posmap[0], 0);
    EXPECT_EQ(rows_of(mdataset(src->told, NUC)), (strings{"AG", "A_", "AC"}));
    delete src;
}

TEST(SamplerState, WorkingCopies) {
    mult_alignment s = small_state();
    baum* t1 = s.ausaltmachneu();
    EXPECT_EQ(t1, s.tnew);
    expect_same_tree(s.told, s.tnew);
    baum* x = s.tnew->neighbors[0].node;
    // Parent record last in the copy, so the children move up one slot.
    EXPECT_TRUE(x->neighbors[2].isparent);
    EXPECT_EQ(x->neighbors[0].node->id.name, "B");
    EXPECT_EQ(x->neighbors[1].node->id.name, "C");

    s.tnew->neighbors[0].brl = 7.0;
    x->neighbors[2].brl = 7.0;
    baum* t2 = s.ausneumachalt();
    EXPECT_EQ(t2, s.told);
    EXPECT_NE(t2, s.tnew);
    EXPECT_EQ(s.told->neighbors[0].brl, 7.0);
    expect_same_tree(s.tnew, s.told);
    s.ausaltmachneu();
    expect_same_tree(s.told, s.tnew);
}

TEST(SamplerState, RootChangedWarnings) {
    // A working tree re-rooted elsewhere is re-rooted back before deletion.
    ChildResult r = run_in_child([] {
        mult_alignment s = small_state();
        s.ausaltmachneu();
        baum* leaf = s.tnew->neighbors[0].node->neighbors[0].node;
        leaf->reroot(nullptr);
        s.ausaltmachneu();
        if (!s.tnew->isRoot()) std::exit(2);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "WARNING: tnew's root has changed\n");

    r = run_in_child([] {
        mult_alignment s = small_state();
        s.ausaltmachneu();
        s.told->neighbors[0].node->neighbors[1].node->reroot(nullptr);
        s.tnew->neighbors[0].node->neighbors[1].node->reroot(nullptr);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "WARNING: told's root has changed\nWARNING: tnew's root has changed\n");

    r = run_in_child([] {
        mult_alignment s = small_state();
        s.ausaltmachneu();
        s.told->neighbors[0].node->neighbors[1].node->reroot(nullptr);
        s.ausneumachalt();
        if (!s.told->isRoot()) std::exit(2);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "WARNING: told's root has changed\n");
}

TEST(SamplerState, ReRootedTreesAreFreedWhole) {
    // In this process, so that a leak checker sees every node freed.
    mult_alignment s = small_state();
    s.ausaltmachneu();
    s.tnew->neighbors[0].node->neighbors[0].node->reroot(nullptr);
    s.ausaltmachneu();
    s.tnew->neighbors[0].node->neighbors[1].node->reroot(nullptr);
    s.told->neighbors[0].node->neighbors[0].node->reroot(nullptr);
}

TEST(SamplerState, DefaultConstructorFails) {
    EXPECT_FATAL(mult_alignment s,
                 "You tried to construct an uninitialized object of the class mult_alignment.\n");
}
