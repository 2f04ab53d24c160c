// Column subtrees built from tables of the tree's nodes, against the route
// through teilbaum and flatten.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "sampler/columntree.h"
#include "sampler_fixtures.h"
#include "support/fatal.h"

using namespace samplertest;

namespace {

// The route through a copy of the tree.
coltree via_teilbaum(baum* root, const std::vector<std::string>& names,
                     const std::vector<char>& column) {
    baum* sub = root->teilbaum(names, column);
    coltree ct;
    flatten(sub, ct);
    delete sub;
    return ct;
}

// Field by field; the row only where it names a residue.
std::string differences(const coltree& got, const coltree& want) {
    std::ostringstream os;
    if (got.nodes.size() != want.nodes.size())
        os << "nodes " << got.nodes.size() << " vs " << want.nodes.size() << "\n";
    if (got.kids != want.kids) os << "kids differ\n";
    for (size_t k = 0; k < std::min(got.nodes.size(), want.nodes.size()); ++k) {
        const coltree::node& g = got.nodes[k];
        const coltree::node& w = want.nodes[k];
        if (g.leaf != w.leaf || (w.leaf && g.row != w.row) || g.table != w.table ||
            g.first != w.first || g.count != w.count || !bits_equal(g.t, w.t))
            os << "node " << k << ": leaf " << g.leaf << "/" << w.leaf << " row " << g.row << "/"
               << w.row << " count " << g.count << "/" << w.count << " t " << g.t << "/" << w.t
               << "\n";
    }
    return os.str();
}

// A random tree below a root leaf (or, with inner_root, an inner root):
// nodes with one to four children, so that chains of one-child nodes occur,
// each child's parent record at a random place in its list, the two halves
// of a branch sometimes of different lengths. Leaves are named L0, L1, ...;
// an inner root has two children at least.
baum* random_tree(std::mt19937& rng, int leaves, bool inner_root, std::vector<std::string>& names) {
    const double lengths[] = {0.25, 0.5, 1.0, 1.5, 3.0};
    std::function<baum*(int, bool)> grow = [&](int budget, bool top) -> baum* {
        if (budget <= 1) {
            names.push_back("L" + std::to_string(names.size()));
            return mknode(names.back(), -1);
        }
        baum* x = mknode("", 7);
        int k = 1 + static_cast<int>(rng() % 4);
        if (k > budget) k = budget;
        if (k == 1 && (top || rng() % 2)) k = 2;  // fewer chains than branchings
        int left = budget;
        for (int c = 0; c < k; ++c) {
            const int spare = left - (k - c - 1);  // the others get one leaf at least
            const int share = c + 1 == k ? left : 1 + static_cast<int>(rng() % spare);
            left -= share;
            baum* child = grow(share, false);
            const int pos = static_cast<int>(rng() % (child->neighbors.size() + 1));
            link(x, child, lengths[rng() % 5], "", pos);
            if (rng() % 4 == 0) child->neighbors[pos].brl = lengths[rng() % 5];
        }
        return x;
    };
    if (inner_root) return grow(leaves, true);
    names.push_back("R");
    baum* r = mknode("R", -1);
    link(r, grow(leaves - 1, false), lengths[rng() % 5]);
    return r;
}

}  // namespace

// Many trees and columns, one table object per tree for all its columns:
// columns whose first residue (in post-order) lies in different leaves
// follow each other.
TEST(ColumnTrees, SameAsTheSubtreeThroughACopy) {
    std::mt19937 rng(20240611);
    int compared = 0, lone = 0, chains = 0;
    for (int round = 0; round < 300; ++round) {
        const int L = 2 + static_cast<int>(rng() % 40);
        std::vector<std::string> names;
        baum* root = random_tree(rng, L, round % 7 == 3, names);
        std::shuffle(names.begin(), names.end(), rng);
        std::vector<std::vector<char>> columns;
        for (int c = 0; c < 12; ++c) {
            const unsigned gaps = static_cast<unsigned>(rng() % 10);  // none to nearly all rows
            std::vector<char> col(names.size());
            bool any = false;
            for (char& x : col) {
                x = rng() % 10 < gaps ? (rng() % 2 ? '-' : '_') : "ACGTN"[rng() % 5];
                any = any || (x != '-' && x != '_');
            }
            if (!any) col[rng() % col.size()] = 'A';
            columns.push_back(col);
        }
        columntrees made(root, names);
        coltree ct;
        for (const std::vector<char>& col : columns) {
            made.make(col, ct);
            const coltree want = via_teilbaum(root, names, col);
            const std::string diff = differences(ct, want);
            EXPECT_TRUE(diff.empty())
                << "round " << round << " column " << std::string(col.begin(), col.end()) << "\n"
                << diff;
            ++compared;
            lone += want.nodes.size() == 1;
            for (const coltree::node& nd : want.nodes) chains += !nd.leaf && nd.count == 1;
        }
        delete root;
    }
    EXPECT_EQ(compared, 3600);
    EXPECT_GT(lone, 50);
    EXPECT_GT(chains, 50);
}

// By hand: rooted at E (the first leaf with a residue), the path E - Y - X - R
// remains; Y fuses with X (lengths 1 and 2 added), X is not fused again.
TEST(ColumnTrees, ChainOfTheFourLeafTree) {
    baum* r = four_leaf_tree();  // R -1.5- X, X -2- Y, X -0.5- C, Y -4- D, Y -1- E
    const std::vector<std::string> names{"D", "E", "C", "R"};
    const std::vector<char> column{'-', 'A', '_', 'G'};
    columntrees made(r, names);
    coltree ct;
    made.make(column, ct);
    ASSERT_EQ(ct.nodes.size(), 3u);
    EXPECT_TRUE(ct.nodes[0].leaf);
    EXPECT_EQ(ct.nodes[0].row, 3);
    EXPECT_EQ(ct.nodes[0].t, 1.5);
    EXPECT_FALSE(ct.nodes[1].leaf);
    EXPECT_EQ(ct.nodes[1].count, 1);
    EXPECT_EQ(ct.nodes[1].t, 3.0);
    EXPECT_TRUE(ct.nodes[2].leaf);
    EXPECT_EQ(ct.nodes[2].row, 1);
    EXPECT_EQ(ct.nodes[2].count, 1);
    EXPECT_EQ(ct.kids, (std::vector<int>{0, 1}));
    EXPECT_EQ(differences(ct, via_teilbaum(r, names, column)), "");
    delete r;
}

TEST(ColumnTrees, FailuresAsTeilbaum) {
    struct failcase {
        std::vector<std::string> names;
        std::string column;
        bool twin;  // leaf E renamed D
        const char* message;
    } cases[] = {
        {{"D", "E", "C", "R"},
         "AAA",
         false,
         "Unequal numbers of identifiers and of sequences in abuse_fix\n4\t3\n"},
        {{"D", "E", "C", "R"}, "-_--", false, "Lost tree\n"},
        {{"D", "E", "C", "R", "Q"},
         "AAAAA",
         false,
         "At least one of the names was not found in the tree\n"},
        {{"D", "E", "C"},
         "AAA",
         false,
         "A leaf of the tree was not found among the names in abuse_fix\n"},
        {{"D", "E", "C", "R"}, "AAAA", true, "One name was found twice in the tree\n"},
    };
    for (const failcase& c : cases) {
        const std::vector<char> column(c.column.begin(), c.column.end());
        for (bool direct : {true, false}) {
            EXPECT_TRUE(ends_fatally(
                [&] {
                    baum* t = four_leaf_tree();
                    if (c.twin) t->NB(0)->NB(0)->NB(1)->id.name = "D";
                    if (direct) {
                        columntrees made(t, c.names);
                        coltree ct;
                        made.make(column, ct);
                    } else {
                        via_teilbaum(t, c.names, column);
                    }
                },
                c.message))
                << (direct ? "direct" : "teilbaum");
        }
    }
}
