// Re-rooting, fusion and splitting of nodes; swaps, branch-length draws,
// enumeration of branches and inner nodes; the star tree.
#include "tree/treespec.h"

#include <cfloat>
#include <cmath>

#include "sequence/random.h"
#include "sequence/util.h"

// ---- re-rooting ----

baum* baum::pickrandleaf() {
    if ((isLeaf() && !isRoot()) || neighbors.empty()) return this;
    std::vector<int> w;
    w.reserve(neighbors.size() + 1);
    for (const neighbor& r : neighbors)
        w.push_back(r.isparent || r.node == nullptr ? 0 : static_cast<int>(r.node->numleaves()));
    if (isRoot() && isLeaf()) w.push_back(static_cast<int>(numleaves()));
    const int k = randomchoice(w);
    if (k < static_cast<int>(neighbors.size())) return neighbors[k].node->pickrandleaf();
    return this;
}

unsigned baum::reroot(baum* from) {
    for (size_t i = 0; i < neighbors.size(); ++i) {
        baum* far = neighbors[i].node;
        if (far == nullptr) fatal("Neighbor points to nil\n");
        const int j = far->whichone(this);
        if (far != from) {
            far->neighbors[j].isparent = true;
            neighbors[i].isparent = false;
        }
        if (!neighbors[i].isparent) far->reroot(this);
    }
    return static_cast<unsigned>(neighbors.size());
}

baum* baum::reroot() {
    baum* leaf = pickrandleaf();
    leaf->reroot(nullptr);
    return leaf;
}

// ---- fusion ----

void baum::fusenodes() {
    if (neighbors.size() != 2) return;
    if (neighbors[0].isparent && neighbors[1].isparent) fatal("Impossible: two neighbours are parents\n");
    const int k = neighbors[1].isparent ? 1 : 0;
    const int o = 1 - k;
    baum* Q = neighbors[o].node;
    baum* P = neighbors[k].node;
    if (Q == nullptr || P == nullptr) fatal("Neighbor points to nil\n");

    neighbor K = neighbors[k];
    K.brl = K.brl + neighbors[o].brl;
    K.fixed = K.fixed || neighbors[o].fixed;
    neighbor& back = P->neighbors[P->whichone(this)];
    back.brl = K.brl;
    back.fixed = K.fixed;

    id = Q->id;
    seq = Q->seq;

    std::vector<neighbor> list;
    list.reserve(Q->neighbors.size());
    list.push_back(std::move(K));
    for (neighbor& r : Q->neighbors) {
        if (r.node == this) continue;
        if (r.node != nullptr) r.node->neighbors[r.node->whichone(Q)].node = this;
        list.push_back(r);
    }
    neighbors.swap(list);
    Q->neighbors.clear();
    delete Q;
}

unsigned baum::fuseblindnodes(bool makeroot) {
    if (makeroot) reroot(nullptr);
    fusenodes();
    for (size_t i = 0; i < neighbors.size(); ++i) {
        if (neighbors[i].isparent) continue;
        if (neighbors[i].node == nullptr) fatal("Neighbor points to nil\n");
        neighbors[i].node->fuseblindnodes(false);
    }
    return static_cast<unsigned>(neighbors.size());
}

// ---- splitting ----

void baum::splitnode() {
    if (neighbors.size() < 4) return;
    std::vector<int> side(neighbors.size(), 0);
    int firstchild = -1;
    bool any1 = false, any2 = false;
    for (size_t i = 0; i < neighbors.size(); ++i) {
        if (neighbors[i].isparent) continue;
        if (firstchild < 0) firstchild = static_cast<int>(i);
        const double u = randomunitintervall();
        side[i] = single_precision(u) < 0.5 ? 1 : 2;
        (side[i] == 1 ? any1 : any2) = true;
    }
    if (!any2) side[firstchild] = 2;
    else if (!any1) side[firstchild] = 1;

    baum* G[2] = {new baum(id), new baum(id)};
    std::vector<neighbor> own;
    for (size_t i = 0; i < neighbors.size(); ++i) {
        neighbor& r = neighbors[i];
        if (side[i] == 0) {
            own.push_back(r);
            continue;
        }
        baum* g = G[side[i] - 1];
        r.node->neighbors[r.node->whichone(this)].node = g;
        g->neighbors.push_back(r);
    }
    neighbors.swap(own);

    for (baum* g : G) {
        if (g->neighbors.size() == 1) {
            neighbor r = g->neighbors[0];
            r.node->neighbors[r.node->whichone(g)].node = this;
            neighbors.push_back(r);
            g->neighbors.clear();
            delete g;
            continue;
        }
        double m = g->neighbors[0].brl;
        for (const neighbor& r : g->neighbors)
            if (r.brl < m) m = r.brl;
        const double h = m / 2;
        for (neighbor& r : g->neighbors) {
            r.brl = r.brl - h;
            r.node->neighbors[r.node->whichone(g)].brl = r.brl;
        }
        neighbor down;
        down.brl = h;
        down.node = g;
        neighbors.push_back(down);
        neighbor up;
        up.brl = h;
        up.isparent = true;
        up.node = this;
        g->neighbors.push_back(up);
    }
}

unsigned baum::bifurcate(bool makeroot) {
    if (makeroot) reroot(nullptr);
    fusenodes();
    splitnode();
    for (size_t i = 0; i < neighbors.size(); ++i) {
        if (neighbors[i].isparent) continue;
        if (neighbors[i].node == nullptr) fatal("Neighbor points to nil\n");
        neighbors[i].node->bifurcate(false);
    }
    return static_cast<unsigned>(neighbors.size());
}

int baum::allebisauf(std::vector<int>& v, unsigned n, int k) {
    v.assign(n, 1);
    if (k >= 0 && static_cast<unsigned>(k) < n) v[k] = 0;
    return static_cast<int>(n);
}

// ---- swap across a branch ----

void baum::swapbr(int a, int b, int c) {
    baum* U = NB(a);
    baum* X = NB(b);
    baum* Y = U->NB(c);
    const int d = X->whichone(this);
    const int e = Y->whichone(U);
    if (U == X || Y == X || Y == this) fatal("There are loops in the tree\n");
    const bool xpar = neighbors[b].isparent;
    const bool ypar = U->neighbors[c].isparent;
    if (xpar && ypar) fatal("The tree seems to have more than one root!\n");

    const double ybrl = Y->neighbors[e].brl;
    const bool yfix = Y->neighbors[e].fixed;
    const double xbrl = X->neighbors[d].brl;
    const bool xfix = X->neighbors[d].fixed;
    neighbors[b].node = Y;
    neighbors[b].brl = ybrl;
    neighbors[b].fixed = yfix;
    Y->neighbors[e].node = this;
    U->neighbors[c].node = X;
    U->neighbors[c].brl = xbrl;
    U->neighbors[c].fixed = xfix;
    X->neighbors[d].node = U;

    if (neighbors[a].fixed) fatal("Destroyed a branch which should have been fixed!\n");

    // Exactly one of the two moved subtrees was above the branch: orient
    // all flags again from the unchanged root.
    if (ypar) Y->root()->reroot(nullptr);
    if (xpar) X->root()->reroot(nullptr);
}

// ---- branch lengths ----

double baum::rndbrl(double x, double d, bool fixed) {
    const double lo = fixed ? 0.0 : -DBL_MAX;
    if (x - d > lo) {
        const double u = randomunitintervall();
        return x + (2 * d * u - d);
    }
    const double s = x - lo;
    const double u1 = randomunitintervall();
    const double u2 = randomunitintervall();
    return lo + ((d - s) * (d - s) * u1 + 2 * s * s * u2 + s * (d - s)) / d;
}

double baum::shiftnodes(double d, int i) {
    baum* far = NB(i);
    const double y = rndbrl(neighbors[i].brl, d, neighbors[i].fixed);
    const double len = std::fabs(y);
    neighbors[i].brl = len;
    far->neighbors[far->whichone(this)].brl = len;
    return y;
}

double baum::shiftnodes(double d, int i, bool keepsign) {
    if (!keepsign) return shiftnodes(d, i);
    baum* far = NB(i);
    const double y = rndbrl(neighbors[i].brl, d, true);
    neighbors[i].brl = y;
    far->neighbors[far->whichone(this)].brl = y;
    return y;
}

int baum::rndchild(int i) {
    if (i < 0 || i >= static_cast<int>(neighbors.size()) || neighbors.size() < 2)
        fatal("Argument to function rndchild out of range\n");
    std::vector<int> w(neighbors.size(), 1);
    w[i] = 0;
    return randomchoice(w);
}

// ---- enumeration ----

unsigned baum::edges(std::vector<baum*>& nodes, std::vector<unsigned>& idx) {
    if (nodes.empty() && !isRoot()) reroot(nullptr);
    edges_walk(nodes, idx);
    return static_cast<unsigned>(neighbors.size());
}

void baum::edges_walk(std::vector<baum*>& nodes, std::vector<unsigned>& idx) {
    for (size_t i = 0; i < neighbors.size(); ++i) {
        if (neighbors[i].isparent || neighbors[i].node == nullptr) continue;
        nodes.push_back(this);
        idx.push_back(static_cast<unsigned>(i));
        neighbors[i].node->edges_walk(nodes, idx);
    }
}

unsigned baum::internaledges(std::vector<baum*>& nodes, std::vector<unsigned>& idx) {
    for (size_t i = 0; i < neighbors.size(); ++i) {
        if (neighbors[i].isparent || neighbors[i].node == nullptr) continue;
        baum* child = neighbors[i].node;
        if (!isLeaf() && !child->isLeaf()) {
            nodes.push_back(this);
            idx.push_back(static_cast<unsigned>(i));
        }
        child->internaledges(nodes, idx);
    }
    return static_cast<unsigned>(neighbors.size());
}

unsigned baum::intnodes(std::vector<baum*>& nodes) {
    for (size_t i = 0; i < neighbors.size(); ++i) {
        if (neighbors[i].isparent || neighbors[i].node == nullptr) continue;
        if (!isLeaf()) nodes.push_back(this);
        neighbors[i].node->intnodes(nodes);
    }
    return static_cast<unsigned>(neighbors.size());
}

// ---- star tree ----

baum::baum(dataset& ds) {
    id.number = -1;
    neighbors.reserve(ds.names.size());
    for (size_t i = 0; i < ds.names.size(); ++i) {
        identifier li;
        li.name = std::string(ds.names[i].begin(), ds.names[i].end());
        li.number = static_cast<int>(i);
        baum* leaf = new baum(li);
        leaf->seq = bioseq(ds.seqs[i], ds.type);
        neighbor down;
        down.brl = 0.1;
        down.fixed = true;
        down.node = leaf;
        neighbors.push_back(down);
        neighbor up;
        up.brl = 0.1;
        up.fixed = true;
        up.isparent = true;
        up.node = this;
        leaf->neighbors.push_back(up);
    }
}
