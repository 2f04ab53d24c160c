// Shared fixtures for the tree tests: data sets, random trees, the invariant
// checker, compact descriptions of trees, and leaf look-up.
#ifndef QUILLMAR_TESTS_TREE_HELPERS_H
#define QUILLMAR_TESTS_TREE_HELPERS_H

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sequence/data.h"
#include "sequence/random.h"
#include "support/chars.h"
#include "support/fatal.h"
#include "tree/treespec.h"

namespace treetest {

inline baum* leaf_named(baum* root, const std::string& name) {
    identifier x;
    x.name = name;
    return root->findLeaf(x);
}

// Reads the text, roots it at the named leaf and fuses the old root away.
inline baum* start_tree(const std::string& text, const std::string& rootname) {
    baum* t = new baum(text, true);
    baum* r = leaf_named(t, rootname);
    r->reroot(nullptr);
    r->fuseblindnodes(true);
    return r;
}

// Nucleotide data set with the given names, every row "ACGT".
inline dataset make_ds(const std::vector<std::string>& names) {
    dataset ds;
    ds.type = 4;
    for (const std::string& n : names) {
        ds.names.push_back(chars(n));
        ds.seqs.push_back(chars("ACGT"));
    }
    return ds;
}

inline std::string num(double x) {
    std::ostringstream os;
    os << x;
    return os.str();
}

// Children in list order with their lengths, e.g. "(A:1,(B:2,C:3):4)";
// the parent record is skipped wherever it stands.
inline std::string shape(const baum* x) {
    std::string s;
    bool any = false;
    for (const neighbor& r : x->neighbors) {
        if (r.isparent || r.node == nullptr) continue;
        s += any ? "," : "(";
        any = true;
        s += shape(r.node) + ":" + num(r.brl);
    }
    if (any) s += ")";
    return s + x->id.name;
}

// Everything a node holds, in list order, for before/after comparisons.
inline std::string dump(const baum* x) {
    std::ostringstream os;
    os << "{" << x->id.name << "|" << x->id.text << "|" << x->id.number << "|";
    for (int v : x->seq) os << v << " ";
    for (const neighbor& r : x->neighbors) {
        os << "[" << r.brl << (r.fixed ? "F" : "f") << (r.isparent ? "P" : "c");
        for (int v : r.posmap) os << " " << v;
        os << "]";
    }
    for (const neighbor& r : x->neighbors)
        if (!r.isparent && r.node != nullptr) os << dump(r.node);
    os << "}";
    return os.str();
}

// Halves equal, one parent flag per non-root node pointing towards the root,
// the root unflagged, every node owned exactly once. Returns the node count.
inline int check_tree(baum* root) {
    EXPECT_TRUE(root->isRoot());
    std::set<const baum*> seen;
    std::vector<baum*> stack{root};
    seen.insert(root);
    while (!stack.empty()) {
        baum* x = stack.back();
        stack.pop_back();
        int flagged = 0;
        for (const neighbor& r : x->neighbors) {
            EXPECT_NE(r.node, nullptr);
            if (r.node == nullptr) return -1;
            int back = 0;
            const neighbor* half = nullptr;
            for (const neighbor& b : r.node->neighbors)
                if (b.node == x) {
                    ++back;
                    half = &b;
                }
            EXPECT_EQ(back, 1);
            if (back != 1) return -1;
            EXPECT_EQ(half->brl, r.brl);
            EXPECT_EQ(half->fixed, r.fixed);
            EXPECT_FALSE(half->isparent && r.isparent) << "two-way parent flag";
            EXPECT_TRUE(half->isparent || r.isparent) << "unflagged branch";
            if (r.isparent) ++flagged;
            if (!r.isparent) {
                EXPECT_TRUE(seen.insert(r.node).second) << "node owned twice";
                if (seen.size() > 100000) return -1;
                stack.push_back(r.node);
            }
        }
        EXPECT_EQ(flagged, x == root ? 0 : 1);
    }
    EXPECT_EQ(static_cast<int>(seen.size()), root->size());
    return static_cast<int>(seen.size());
}

// Path lengths between all pairs of named leaves (sums in path order from
// both ends towards their meeting point).
inline std::map<std::pair<std::string, std::string>, double> leaf_paths(baum* root) {
    std::vector<baum*> all;
    std::vector<baum*> stack{root};
    while (!stack.empty()) {
        baum* x = stack.back();
        stack.pop_back();
        all.push_back(x);
        for (const neighbor& r : x->neighbors)
            if (!r.isparent) stack.push_back(r.node);
    }
    std::map<std::pair<std::string, std::string>, double> out;
    for (baum* a : all) {
        if (!a->isLeaf()) continue;
        // distances from a by a walk over all records
        std::map<const baum*, double> dist{{a, 0.0}};
        std::vector<baum*> st{a};
        while (!st.empty()) {
            baum* x = st.back();
            st.pop_back();
            for (const neighbor& r : x->neighbors)
                if (!dist.count(r.node)) {
                    dist[r.node] = dist[x] + r.brl;
                    st.push_back(r.node);
                }
        }
        for (baum* b : all)
            if (b->isLeaf() && b != a) out[{a->id.name, b->id.name}] = dist[b];
    }
    return out;
}

// A random Newick text over the given leaf names: groups of 2 to 4 members,
// lengths that are multiples of 1/8 (halved a few times, still exact in
// six decimals).
inline std::string random_newick_rec(std::vector<std::string> names) {
    if (names.size() == 1) return names[0];
    int k = 2 + randominteger(3);
    if (k > static_cast<int>(names.size())) k = static_cast<int>(names.size());
    std::vector<std::vector<std::string>> parts(k);
    for (int i = 0; i < k; ++i) parts[i].push_back(names[i]);
    for (size_t i = k; i < names.size(); ++i) parts[randominteger(k)].push_back(names[i]);
    std::string s = "(";
    for (int i = 0; i < k; ++i) {
        if (i) s += ",";
        char buf[32];
        std::snprintf(buf, sizeof buf, "%g", (1 + randominteger(64)) / 8.0);
        s += random_newick_rec(parts[i]) + ":" + buf;
    }
    return s + ")";
}

inline std::vector<std::string> leaf_names(int n) {
    std::vector<std::string> v;
    for (int i = 0; i < n; ++i) v.push_back("L" + std::to_string(i));
    return v;
}

inline std::string random_newick(int leaves) { return random_newick_rec(leaf_names(leaves)) + ";"; }

// Pre-order list of the nodes below x.
inline void collect(baum* x, std::vector<baum*>& out) {
    out.push_back(x);
    for (const neighbor& r : x->neighbors)
        if (!r.isparent) collect(r.node, out);
}

}  // namespace treetest

#endif
