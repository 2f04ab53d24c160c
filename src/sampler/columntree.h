// Column subtrees in flat form: the tree restricted to the rows of a column
// that hold a residue, as the substitution part of the log likelihood prunes
// over it.
#ifndef QUILLMAR_SAMPLER_COLUMNTREE_H
#define QUILLMAR_SAMPLER_COLUMNTREE_H

#include <string>
#include <vector>

#include "tree/treespec.h"

// Nodes in post-order (children in list order before their parent), the
// root last.
struct coltree {
    struct node {
        bool leaf;
        int row;    // its id.number: for a leaf the row of its residue in the column
        int table;  // index of the log-probability table of its branch; -1 until set
        int first;  // children: kids[first .. first + count)
        int count;
        double t;  // length of its branch; 0 at the root
    };
    std::vector<node> nodes;
    std::vector<int> kids;
};

// Appends the tree below x (x its root, its branch of length t) to ct.
int flatten(baum* x, coltree& ct, double t = 0.0);

// flatten(root->teilbaum(names, column)) for any number of columns, without
// building the subtrees: the tree is read once into tables of its nodes.
// The tree and the names must stay as they are while it is used.
class columntrees {
public:
    columntrees(baum* root, const std::vector<std::string>& names);

    // ct := the flat column subtree; the failures are those of teilbaum.
    void make(const std::vector<char>& column, coltree& ct);

private:
    struct adjacent {
        int node;
        double brl;  // of this node's record
    };

    baum* root_;
    const std::vector<std::string>& names_;
    bool read_ = false;
    // Per node, numbered in pre-order from the root: its records in the
    // order of teilbaum's copy (children first, the parent last), whether
    // it is a leaf there, its id.number (leaves: the index of its name).
    std::vector<int> begin_;
    std::vector<adjacent> adj_;
    std::vector<char> isleaf_;
    std::vector<int> number_;
    std::vector<int> leaves_;  // leaves in post-order

    // Per column.
    std::vector<char> present_;  // by row
    std::vector<char> below_;    // a residue in the node's subtree
    int oriented_ = -1;          // the column's root that up_ and order_ belong to
    std::vector<int> up_;        // parent towards the column's root
    std::vector<int> order_;     // pre-order from the column's root
    std::vector<int> stack_;
    std::vector<int> built_;  // indices of built children awaiting their parent

    void read();
    int emit(int v, int from, double t, bool isroot, coltree& ct);
};

#endif
