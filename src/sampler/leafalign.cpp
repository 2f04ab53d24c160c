// The leaf alignment read from a tree and its distinct column patterns.
#include "sampler/mult_align.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "sequence/logspace.h"
#include "sequence/random.h"
#include "sequence/util.h"
#include "sampler/mult_align_internal.h"

using namespace mult_align_detail;

// ---------------------------------------------------------------------------
// Leaf alignment

mdataset::mdataset() = default;

mdataset::mdataset(baum* root, alphsize a) {
    type = a;
    std::vector<int> parentmap, columnmap;
    push_mult(root, parentmap, columnmap, names, seqs);
}

mdataset::mdataset(baum* root, int a) : mdataset(root, static_cast<alphsize>(a)) {}

mdataset::mdataset(const mdataset& other) = default;

mdataset& mdataset::operator=(mdataset other) {
    names = std::move(other.names);
    seqs = std::move(other.seqs);
    type = other.type;
    return *this;
}

mdataset::~mdataset() = default;

bool mdataset::validcolumn(std::vector<char>& column, unsigned int nrows) {
    if (column.size() != nrows)
        fatal("Alignment column has ", column.size(), " entries, yet there should be ", nrows,
              "\n");
    for (char c : column)
        if (!isgap(c)) return true;
    return false;
}

bool mdataset::notatend(std::vector<zustand>& states, bool& allstart) {
    bool allend = true;
    allstart = true;
    for (zustand s : states) {
        if (s != END) allend = false;
        if (s != START) allstart = false;
    }
    return !allend;
}

void mdataset::row(unsigned int b, std::vector<char>& column) {
    // Every row must reach column b; an alignment without rows has none.
    bool ok = !seqs.empty();
    for (const std::vector<char>& r : seqs)
        if (b >= r.size()) ok = false;
    if (!ok) fatal("There is no row ", b, " in the alignment\n");
    column.resize(seqs.size());
    for (size_t i = 0; i < seqs.size(); ++i) column[i] = seqs[i][b];
}

void mdataset::push_mult(baum* node, std::vector<int>& parentmap, std::vector<int>& columnmap,
                         std::vector<std::vector<char>>& outnames,
                         std::vector<std::vector<char>>& outrows) {
    if (node == nullptr) fatal("Error in function push_mult: tree points to NULL\n");
    const alphsize alph = static_cast<alphsize>(type);

    // The subtrees below the node's children, in list order.
    struct childpart {
        std::vector<int> pmap, cmap;
        std::vector<std::vector<char>> names, rows;
    };
    std::vector<childpart> kids;
    for (neighbor& r : node->neighbors) {
        if (r.isparent) continue;
        kids.emplace_back();
        childpart& k = kids.back();
        push_mult(r.node, k.pmap, k.cmap, k.names, k.rows);
    }
    const size_t mylen = node->seq.size();

    if (node->isLeaf()) {
        if (node->neighbors.size() != 1) fatal("Pathological situation\n");
        baum* p = node->parent();
        if (p != nullptr) {
            // A leaf's columns are its residues: the branch's own maps.
            neighbor& down = p->neighbors[p->whichone(node)];
            neighbor& up = node->neighbors[0];
            if (down.posmap.size() != p->seq.size() || up.posmap.size() != mylen)
                fatal("Asynchronous start in push_mult\n");
            outnames.assign(1, chars_of(node->id.name));
            std::vector<char> letters(mylen);
            for (size_t i = 0; i < mylen; ++i) letters[i] = state_to_char(node->seq[i], alph);
            outrows.assign(1, std::move(letters));
            parentmap = down.posmap;
            columnmap = up.posmap;
            return;
        }

        // The root leaf against its child's columns.
        childpart& y = kids[0];
        if (y.pmap.size() != mylen) fatal("Asynchronous start in push_mult\n");
        const size_t ny = y.rows.size();
        outnames = y.names;
        outnames.push_back(chars_of(node->id.name));
        outrows.assign(ny + 1, std::vector<char>());
        const size_t ncols = y.cmap.size();
        for (auto& r : outrows) r.reserve(ncols + mylen);
        std::vector<int> pos{-1, -1};
        for (;;) {
            const int i = pos[0], j = pos[1];
            const int s = iter_zust(y.pmap, y.cmap, pos);
            if (s == END) break;
            switch (s) {
            case MATCH:
                for (size_t r = 0; r < ny; ++r) outrows[r].push_back(y.rows[r][j]);
                outrows[ny].push_back(state_to_char(node->seq[i], alph));
                break;
            case INSERTION:
                for (size_t r = 0; r < ny; ++r) outrows[r].push_back(y.rows[r][j]);
                outrows[ny].push_back('_');
                break;
            case DELETION:
                for (size_t r = 0; r < ny; ++r) outrows[r].push_back('_');
                outrows[ny].push_back(state_to_char(node->seq[i], alph));
                break;
            case START:
                break;
            default:
                fatal("Unreasonable state in function push_mult\n");
            }
        }
        parentmap.clear();
        columnmap.clear();
        return;
    }

    // Inner node: one walk per child, against the child's columns, and one
    // against the parent; the node is the first sequence of every walk.
    const int prec = parent_record(node);
    baum* p = node->neighbors[prec].node;
    std::vector<int>& upmap = node->neighbors[prec].posmap;
    std::vector<int>& downmap = p->neighbors[p->whichone(node)].posmap;
    if (upmap.size() != mylen || downmap.size() != p->seq.size())
        fatal("Asynchronous start in push_mult\n");
    for (const childpart& k : kids)
        if (k.pmap.size() != mylen) fatal("Asynchronous start in push_mult\n");

    const size_t nkids = kids.size();
    const size_t nwalks = nkids + 1;  // the parent walk last
    std::vector<size_t> firstrow(nkids);
    size_t nrows = 0;
    outnames.clear();
    for (size_t k = 0; k < nkids; ++k) {
        firstrow[k] = nrows;
        nrows += kids[k].rows.size();
        for (auto& nm : kids[k].names) outnames.push_back(nm);
    }
    outrows.assign(nrows, std::vector<char>());
    parentmap.clear();
    columnmap.clear();

    std::vector<std::vector<int>> pos(nwalks, std::vector<int>{-1, -1});
    std::vector<int> saved(2 * nwalks);
    std::vector<zustand> st(nwalks);
    std::vector<char> column(nrows);
    int ncols = 0;
    auto walkmaps = [&](size_t w, std::vector<int>*& a, std::vector<int>*& b) {
        if (w < nkids) {
            a = &kids[w].pmap;
            b = &kids[w].cmap;
        } else {
            a = &upmap;
            b = &downmap;
        }
    };

    for (;;) {
        for (size_t w = 0; w < nwalks; ++w) {
            saved[2 * w] = pos[w][0];
            saved[2 * w + 1] = pos[w][1];
            std::vector<int>* a;
            std::vector<int>* b;
            walkmaps(w, a, b);
            st[w] = static_cast<zustand>(iter_zust(*a, *b, pos[w]));
        }
        bool allstart = false;
        if (!notatend(st, allstart)) break;
        if (allstart) continue;
        for (size_t w = 0; w < nwalks; ++w)
            if (st[w] == START) fatal("Asynchronous start in push_mult\n");

        // Insertions first: earlier children, then the parent.
        long ins = -1;
        for (size_t w = 0; w < nkids && ins < 0; ++w)
            if (st[w] == INSERTION) ins = static_cast<long>(w);
        if (ins < 0 && st[nkids] == INSERTION) ins = static_cast<long>(nkids);

        std::fill(column.begin(), column.end(), '_');
        if (ins >= 0) {
            if (static_cast<size_t>(ins) < nkids) {
                const childpart& c = kids[ins];
                const int j = saved[2 * ins + 1];
                for (size_t r = 0; r < c.rows.size(); ++r) column[firstrow[ins] + r] = c.rows[r][j];
            }
        } else {
            for (size_t k = 0; k < nkids; ++k) {
                if (st[k] == MATCH) {
                    const int j = saved[2 * k + 1];
                    for (size_t r = 0; r < kids[k].rows.size(); ++r)
                        column[firstrow[k] + r] = kids[k].rows[r][j];
                } else if (st[k] != DELETION) {
                    fatal("Impossible state ", static_cast<int>(st[k]), " in push_mult\n");
                }
            }
            // The parent walk must pass the node's residue as well.
            if (st[nkids] != MATCH && st[nkids] != DELETION)
                fatal("Impossible state ", static_cast<int>(st[nkids]), " in push_mult\n");
        }

        const bool parentmatch = ins < 0 && st[nkids] == MATCH;
        if (validcolumn(column, static_cast<unsigned>(outnames.size()))) {
            for (size_t r = 0; r < nrows; ++r) outrows[r].push_back(column[r]);
            ++ncols;
            const int np = static_cast<int>(parentmap.size());
            columnmap.push_back(parentmatch ? np : np - 1);
        }
        if (parentmatch || ins == static_cast<long>(nkids)) parentmap.push_back(ncols - 1);

        if (ins >= 0)
            for (size_t w = 0; w < nwalks; ++w)
                if (static_cast<long>(w) != ins) {
                    pos[w][0] = saved[2 * w];
                    pos[w][1] = saved[2 * w + 1];
                }
    }
}

// ---------------------------------------------------------------------------
// Column patterns

compact_subst_pattern::compact_subst_pattern() = default;

compact_subst_pattern::compact_subst_pattern(mdataset& align) {
    if (align.seqs.empty() || align.names.empty()) fatal("Alignment without taxa\n");
    const unsigned len = static_cast<unsigned>(align.seqs[0].size());
    std::vector<std::vector<char>> all(len);
    for (unsigned b = 0; b < len; ++b) align.row(b, all[b]);
    std::sort(all.begin(), all.end());
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        if (columns.empty() || *it != columns.back()) {
            columns.push_back(std::move(*it));
            counts.push_back(1);
        } else {
            ++counts.back();
        }
    }
    names.reserve(align.names.size());
    for (const std::vector<char>& nm : align.names) names.emplace_back(nm.begin(), nm.end());
}

compact_subst_pattern::compact_subst_pattern(const compact_subst_pattern& other) = default;

compact_subst_pattern& compact_subst_pattern::operator=(compact_subst_pattern other) {
    columns = std::move(other.columns);
    counts = std::move(other.counts);
    names = std::move(other.names);
    return *this;
}

compact_subst_pattern::~compact_subst_pattern() = default;

bool patternequivalent(std::vector<char>& a, std::vector<char>& b) {
    if (a.size() != b.size())
        fatal("You were trying to compare position patterns with different sizes\n");
    for (size_t i = 0; i < a.size(); ++i)
        if (isgap(a[i]) != isgap(b[i])) return false;
    return true;
}
