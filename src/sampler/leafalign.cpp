// The leaf alignment read from a tree and its distinct column patterns.
#include "sampler/mult_align.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <limits>
#include <utility>
#include <vector>

#include "sampler/mult_align_internal.h"
#include "sequence/fatal.h"

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

namespace {

// The alignment of the leaves below one node, held in the node's own
// columns: for every child the child's column in each of them (or -1), for
// a leaf its character in each of them. Rows are written once, at the end,
// through the composed column maps.
struct leafblock {
    std::vector<int> pmap, cmap;  // push_mult's parentmap and columnmap
    int ncols = 0;
    int nrows = 0;
    std::vector<int> kids;              // the children's blocks, in list order
    std::vector<std::vector<int>> src;  // per child: its column in each column, or -1
    std::vector<char> letters;          // a leaf: its character in each column
    std::vector<char> has;              // per column: a residue in one of its rows
};

class leafblocks {
public:
    leafblocks(mdataset& md, std::vector<std::vector<char>>& names)
        : md_(md), alph_(static_cast<alphsize>(md.type)), names_(names) {}

    // The block of the tree below node; names of its leaves appended in row order.
    int build(baum* node);
    // rows[first ..] := the rows of block b in the columns cols (-1: none of b's).
    void fill(int b, const std::vector<int>& cols, size_t depth,
              std::vector<std::vector<char>>& rows, size_t first);
    leafblock& at(int b) { return blocks_[static_cast<size_t>(b)]; }

private:
    mdataset& md_;
    alphsize alph_;
    std::vector<std::vector<char>>& names_;
    std::vector<leafblock> blocks_;
    std::deque<std::vector<int>> maps_;  // per depth of fill; they stay in place
};

int leafblocks::build(baum* node) {
    if (node == nullptr) fatal("Error in function push_mult: tree points to NULL\n");
    std::vector<int> kids;
    for (neighbor& r : node->neighbors) {
        if (r.isparent) continue;
        kids.push_back(build(r.node));
    }
    const size_t mylen = node->seq.size();
    const int me = static_cast<int>(blocks_.size());
    blocks_.emplace_back();
    leafblock& b = blocks_.back();
    b.kids = std::move(kids);

    if (node->isLeaf()) {
        if (node->neighbors.size() != 1) fatal("Pathological situation\n");
        baum* p = node->parent();
        if (p != nullptr) {
            // A leaf's columns are its residues: the branch's own maps.
            neighbor& down = p->neighbors[p->whichone(node)];
            neighbor& up = node->neighbors[0];
            if (down.posmap.size() != p->seq.size() || up.posmap.size() != mylen)
                fatal("Asynchronous start in push_mult\n");
            names_.push_back(chars_of(node->id.name));
            b.letters.resize(mylen);
            b.has.resize(mylen);
            for (size_t i = 0; i < mylen; ++i) {
                b.letters[i] = state_to_char(node->seq[i], alph_);
                b.has[i] = !isgap(b.letters[i]);
            }
            b.ncols = static_cast<int>(mylen);
            b.nrows = 1;
            b.pmap = down.posmap;
            b.cmap = up.posmap;
            return me;
        }

        // The root leaf against its child's columns.
        const leafblock& y = blocks_[static_cast<size_t>(b.kids[0])];
        if (y.pmap.size() != mylen) fatal("Asynchronous start in push_mult\n");
        names_.push_back(chars_of(node->id.name));
        b.src.assign(1, std::vector<int>());
        std::vector<int>& ycol = b.src[0];
        const size_t ncols = y.cmap.size();
        ycol.reserve(ncols + mylen);
        b.letters.reserve(ncols + mylen);
        std::vector<int> pos{-1, -1};
        for (;;) {
            const int i = pos[0], j = pos[1];
            const int s = iter_zust(y.pmap, y.cmap, pos);
            if (s == END) break;
            switch (s) {
            case MATCH:
                ycol.push_back(j);
                b.letters.push_back(state_to_char(node->seq[i], alph_));
                break;
            case INSERTION:
                ycol.push_back(j);
                b.letters.push_back('_');
                break;
            case DELETION:
                ycol.push_back(-1);
                b.letters.push_back(state_to_char(node->seq[i], alph_));
                break;
            case START: break;
            default: fatal("Unreasonable state in function push_mult\n");
            }
        }
        b.ncols = static_cast<int>(ycol.size());
        b.nrows = y.nrows + 1;
        return me;
    }

    // Inner node: one walk per child, against the child's columns, and one
    // against the parent; the node is the first sequence of every walk.
    const int prec = parent_record(node);
    baum* p = node->neighbors[prec].node;
    std::vector<int>& upmap = node->neighbors[prec].posmap;
    std::vector<int>& downmap = p->neighbors[p->whichone(node)].posmap;
    if (upmap.size() != mylen || downmap.size() != p->seq.size())
        fatal("Asynchronous start in push_mult\n");
    for (int k : b.kids)
        if (blocks_[static_cast<size_t>(k)].pmap.size() != mylen)
            fatal("Asynchronous start in push_mult\n");

    const size_t nkids = b.kids.size();
    const size_t nwalks = nkids + 1;  // the parent walk last
    b.src.assign(nkids, std::vector<int>());
    for (int k : b.kids) b.nrows += blocks_[static_cast<size_t>(k)].nrows;

    std::vector<std::vector<int>> pos(nwalks, std::vector<int>{-1, -1});
    std::vector<int> saved(2 * nwalks);
    std::vector<zustand> st(nwalks);
    std::vector<int> col(nkids);
    auto walkmaps = [&](size_t w, std::vector<int>*& x, std::vector<int>*& y) {
        if (w < nkids) {
            leafblock& c = blocks_[static_cast<size_t>(b.kids[w])];
            x = &c.pmap;
            y = &c.cmap;
        } else {
            x = &upmap;
            y = &downmap;
        }
    };

    // A walk held back at an insertion of another keeps its state and
    // position for the next round: the same step would give them again.
    std::vector<char> held(nwalks, 0);
    for (;;) {
        for (size_t w = 0; w < nwalks; ++w) {
            if (held[w]) {
                held[w] = 0;
                continue;
            }
            saved[2 * w] = pos[w][0];
            saved[2 * w + 1] = pos[w][1];
            std::vector<int>* x;
            std::vector<int>* y;
            walkmaps(w, x, y);
            st[w] = static_cast<zustand>(iter_zust(*x, *y, pos[w]));
        }
        bool allstart = false;
        if (!md_.notatend(st, allstart)) break;
        if (allstart) continue;
        for (size_t w = 0; w < nwalks; ++w)
            if (st[w] == START) fatal("Asynchronous start in push_mult\n");

        // Insertions first: earlier children, then the parent.
        long ins = -1;
        for (size_t w = 0; w < nkids && ins < 0; ++w)
            if (st[w] == INSERTION) ins = static_cast<long>(w);
        if (ins < 0 && st[nkids] == INSERTION) ins = static_cast<long>(nkids);

        std::fill(col.begin(), col.end(), -1);
        if (ins >= 0) {
            if (static_cast<size_t>(ins) < nkids) col[ins] = saved[2 * ins + 1];
        } else {
            for (size_t k = 0; k < nkids; ++k) {
                if (st[k] == MATCH) col[k] = saved[2 * k + 1];
                else if (st[k] != DELETION)
                    fatal("Impossible state ", static_cast<int>(st[k]), " in push_mult\n");
            }
            // The parent walk must pass the node's residue as well.
            if (st[nkids] != MATCH && st[nkids] != DELETION)
                fatal("Impossible state ", static_cast<int>(st[nkids]), " in push_mult\n");
        }

        // Only columns with a residue in one of their rows are kept.
        bool valid = false;
        for (size_t k = 0; k < nkids && !valid; ++k)
            valid = col[k] >= 0 && blocks_[static_cast<size_t>(b.kids[k])].has[col[k]];
        const bool parentmatch = ins < 0 && st[nkids] == MATCH;
        if (valid) {
            for (size_t k = 0; k < nkids; ++k) b.src[k].push_back(col[k]);
            ++b.ncols;
            const int np = static_cast<int>(b.pmap.size());
            b.cmap.push_back(parentmatch ? np : np - 1);
        }
        if (parentmatch || ins == static_cast<long>(nkids)) b.pmap.push_back(b.ncols - 1);

        if (ins >= 0)
            for (size_t w = 0; w < nwalks; ++w)
                if (static_cast<long>(w) != ins) held[w] = 1;
    }
    b.has.assign(static_cast<size_t>(b.ncols), 1);
    return me;
}

void leafblocks::fill(int bi, const std::vector<int>& cols, size_t depth,
                      std::vector<std::vector<char>>& rows, size_t first) {
    const leafblock& b = at(bi);
    const size_t n = cols.size();
    for (size_t k = 0; k < b.kids.size(); ++k) {
        const leafblock& kid = at(b.kids[k]);
        const std::vector<int>& src = b.src[k];
        if (kid.kids.empty()) {
            // A leaf child: its row straight through both maps.
            std::vector<char>& row = rows[first];
            row.resize(n);
            for (size_t c = 0; c < n; ++c) {
                const int x = cols[c] >= 0 ? src[static_cast<size_t>(cols[c])] : -1;
                row[c] = x >= 0 ? kid.letters[static_cast<size_t>(x)] : '_';
            }
        } else {
            if (maps_.size() <= depth) maps_.resize(depth + 1);
            std::vector<int>& mine = maps_[depth];
            mine.resize(n);
            for (size_t c = 0; c < n; ++c)
                mine[c] = cols[c] >= 0 ? src[static_cast<size_t>(cols[c])] : -1;
            fill(b.kids[k], mine, depth + 1, rows, first);
        }
        first += static_cast<size_t>(kid.nrows);
    }
    if (!b.letters.empty() || b.kids.empty()) {
        std::vector<char>& row = rows[first];
        row.resize(n);
        for (size_t c = 0; c < n; ++c)
            row[c] = cols[c] >= 0 ? b.letters[static_cast<size_t>(cols[c])] : '_';
    }
}

}  // namespace

void mdataset::push_mult(baum* node, std::vector<int>& parentmap, std::vector<int>& columnmap,
                         std::vector<std::vector<char>>& outnames,
                         std::vector<std::vector<char>>& outrows) {
    std::vector<std::vector<char>> leafnames;
    leafblocks blocks(*this, leafnames);
    const int top = blocks.build(node);
    leafblock& b = blocks.at(top);
    std::vector<int> all(static_cast<size_t>(b.ncols));
    for (int c = 0; c < b.ncols; ++c) all[static_cast<size_t>(c)] = c;
    outrows.assign(static_cast<size_t>(b.nrows), std::vector<char>());
    blocks.fill(top, all, 0, outrows, 0);
    outnames = std::move(leafnames);
    parentmap = std::move(b.pmap);
    columnmap = std::move(b.cmap);
}

// ---------------------------------------------------------------------------
// Column patterns

compact_subst_pattern::compact_subst_pattern() = default;

compact_subst_pattern::compact_subst_pattern(mdataset& align) {
    if (align.seqs.empty() || align.names.empty()) fatal("Alignment without taxa\n");
    const unsigned len = static_cast<unsigned>(align.seqs[0].size());
    const size_t nrows = align.seqs.size();
    // Every row must reach every column: the first column missing in a row
    // is the one reported.
    size_t reach = len;
    for (const std::vector<char>& r : align.seqs) reach = std::min(reach, r.size());
    if (reach < len) fatal("There is no row ", static_cast<unsigned>(reach), " in the alignment\n");
    // Columns side by side, a signed char's sign bit flipped: memcmp on
    // them orders as the comparison of the columns as vectors of char.
    const unsigned flip = std::numeric_limits<char>::is_signed ? 0x80u : 0u;
    std::vector<unsigned char> flat(static_cast<size_t>(len) * nrows);
    for (size_t i = 0; i < nrows; ++i) {
        const char* r = align.seqs[i].data();
        for (size_t b = 0; b < len; ++b)
            flat[b * nrows + i] =
                static_cast<unsigned char>(static_cast<unsigned char>(r[b]) ^ flip);
    }
    auto at = [&](unsigned b) { return flat.data() + static_cast<size_t>(b) * nrows; };
    std::vector<unsigned> order(len);
    for (unsigned b = 0; b < len; ++b) order[b] = b;
    std::sort(order.begin(), order.end(),
              [&](unsigned x, unsigned y) { return std::memcmp(at(x), at(y), nrows) < 0; });
    // Distinct columns from the greatest down, with their numbers.
    const unsigned char* last = nullptr;
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        const unsigned char* c = at(*it);
        if (last != nullptr && std::memcmp(c, last, nrows) == 0) {
            ++counts.back();
            continue;
        }
        std::vector<char> col(nrows);
        for (size_t i = 0; i < nrows; ++i) col[i] = static_cast<char>(c[i] ^ flip);
        columns.push_back(std::move(col));
        counts.push_back(1);
        last = c;
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
