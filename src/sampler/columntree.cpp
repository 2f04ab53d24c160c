// Column subtrees in flat form, from a tree or straight from tables of its
// nodes.
#include "sampler/columntree.h"

#include <unordered_map>

#include "sequence/fatal.h"

int flatten(baum* x, coltree& ct, double t) {
    std::vector<int> mine;
    for (neighbor& r : x->neighbors) {
        if (r.isparent) continue;
        mine.push_back(flatten(r.node, ct, r.brl));
    }
    coltree::node nd;
    nd.leaf = x->isLeaf();
    nd.row = x->id.number;
    nd.table = -1;
    nd.first = static_cast<int>(ct.kids.size());
    nd.count = static_cast<int>(mine.size());
    nd.t = t;
    ct.kids.insert(ct.kids.end(), mine.begin(), mine.end());
    ct.nodes.push_back(nd);
    return static_cast<int>(ct.nodes.size()) - 1;
}

columntrees::columntrees(baum* root, const std::vector<std::string>& names)
    : root_(root), names_(names) {}

// teilbaum copies the tree below the root with each node's parent record
// last, names the leaves in post-order, re-roots the copy at the first leaf
// with a residue, drops the branches without residues below them and, top
// down, fuses every node left with one child into that child. These tables
// hold the copy.
void columntrees::read() {
    std::unordered_map<std::string, int> index;
    for (size_t i = 0; i < names_.size(); ++i) index.emplace(names_[i], static_cast<int>(i));
    std::vector<char> found(names_.size(), 0);

    struct walk {
        columntrees& c;
        const std::unordered_map<std::string, int>& index;
        std::vector<char>& found;

        int visit(baum* x, int parent, const baum* px) {
            const int me = static_cast<int>(c.begin_.size());
            int deg = parent >= 0 ? 1 : 0;
            for (const neighbor& r : x->neighbors) deg += r.isparent ? 0 : 1;
            int slot = static_cast<int>(c.adj_.size());
            c.begin_.push_back(slot);
            c.adj_.resize(c.adj_.size() + static_cast<size_t>(deg));
            c.isleaf_.push_back(deg < 2);
            c.number_.push_back(x->id.number);
            for (const neighbor& r : x->neighbors) {
                if (r.isparent) continue;
                const int child = visit(r.node, me, x);
                c.adj_[slot++] = {child, r.brl};
            }
            if (parent >= 0) c.adj_[slot++] = {parent, x->neighbors[x->whichone(px)].brl};
            if (deg < 2) {
                auto it = index.find(x->id.name);
                if (it == index.end())
                    fatal("A leaf of the tree was not found among the names in abuse_fix\n");
                if (found[it->second]) fatal("One name was found twice in the tree\n");
                found[it->second] = 1;
                c.number_[me] = it->second;
                c.leaves_.push_back(me);
            }
            return me;
        }
    } w{*this, index, found};
    w.visit(root_, -1, nullptr);
    begin_.push_back(static_cast<int>(adj_.size()));
    for (char f : found)
        if (!f) fatal("At least one of the names was not found in the tree\n");
    read_ = true;
}

void columntrees::make(const std::vector<char>& column, coltree& ct) {
    if (names_.size() != column.size())
        fatal("Unequal numbers of identifiers and of sequences in abuse_fix\n", names_.size(), "\t",
              column.size(), "\n");
    if (!read_) read();
    present_.resize(column.size());
    for (size_t i = 0; i < column.size(); ++i) present_[i] = column[i] != '-' && column[i] != '_';
    int first = -1;
    for (int l : leaves_)
        if (present_[number_[l]]) {
            first = l;
            break;
        }
    if (first < 0) fatal("Lost tree\n");

    // Orientation from the column's root (mostly the same leaf as for the
    // column before), and which subtrees hold residues.
    const size_t N = isleaf_.size();
    if (first != oriented_) {
        up_.resize(N);
        order_.clear();
        stack_.assign(1, first);
        up_[first] = -1;
        while (!stack_.empty()) {
            const int v = stack_.back();
            stack_.pop_back();
            order_.push_back(v);
            for (int a = begin_[v]; a < begin_[v + 1]; ++a)
                if (adj_[a].node != up_[v]) {
                    up_[adj_[a].node] = v;
                    stack_.push_back(adj_[a].node);
                }
        }
        oriented_ = first;
    }
    below_.assign(N, 0);
    for (size_t k = order_.size(); k-- > 0;) {
        const int v = order_[k];
        if (isleaf_[v]) below_[v] = present_[number_[v]];
        if (up_[v] >= 0 && below_[v]) below_[up_[v]] = 1;
    }

    ct.nodes.clear();
    ct.kids.clear();
    built_.clear();
    emit(first, -1, 0.0, true, ct);
}

int columntrees::emit(int v, int from, double t, bool isroot, coltree& ct) {
    int src = v, srcfrom = from;
    if (!isroot) {
        int kept = 0, only = -1;
        double down = 0.0, upwards = 0.0;
        for (int a = begin_[v]; a < begin_[v + 1]; ++a) {
            const adjacent& e = adj_[a];
            if (e.node == from) {
                upwards = e.brl;
            } else if (below_[e.node]) {
                ++kept;
                only = e.node;
                down = e.brl;
            }
        }
        if (kept == 1) {
            // v takes over its one child: node and branches below it, the
            // two branch lengths added.
            t = upwards + down;
            src = only;
            srcfrom = v;
        }
    }
    const size_t base = built_.size();
    for (int a = begin_[src]; a < begin_[src + 1]; ++a) {
        const adjacent& e = adj_[a];
        if (e.node == srcfrom || !below_[e.node]) continue;
        const int child = emit(e.node, src, e.brl, false, ct);
        built_.push_back(child);
    }
    coltree::node nd;
    nd.count = static_cast<int>(built_.size() - base);
    nd.leaf = (isroot ? 0 : 1) + nd.count < 2;
    nd.row = number_[src];
    nd.table = -1;
    nd.first = static_cast<int>(ct.kids.size());
    nd.t = t;
    ct.kids.insert(ct.kids.end(), built_.begin() + static_cast<long>(base), built_.end());
    built_.resize(base);
    ct.nodes.push_back(nd);
    return static_cast<int>(ct.nodes.size()) - 1;
}
