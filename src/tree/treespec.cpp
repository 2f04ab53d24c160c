// Tree nodes and branches, the Newick writer, neighbour joining,
// re-rooting, swaps and column subtrees (the guide-tree reader is in
// guidetree.cpp).
#include "tree/treespec.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <utility>

#include "sequence/fatal.h"
#include "sequence/precision.h"
#include "sequence/random.h"

// ---- identifier ----

identifier identifier::operator=(identifier other) {
    name = std::move(other.name);
    number = other.number;
    text = std::move(other.text);
    return *this;
}

bool identifier::operator==(const identifier& other) const { return name == other.name; }

void identifier::setnumber(std::vector<std::vector<char>> names) {
    number = -1;
    for (size_t i = 0; i < names.size(); ++i) {
        std::string s(names[i].begin(), names[i].end());
        if (s == name) {
            if (number != -1) fatal("Two sequences in the data set have the same name!\n");
            number = static_cast<int>(i);
        }
    }
    if (number == -1) {
        std::string msg = "Taxon " + name + " was not found in the following data set:\n";
        for (const auto& n : names) msg += std::string(n.begin(), n.end()) + "\n";
        fatal(msg);
    }
}

// ---- neighbor ----

neighbor neighbor::operator=(neighbor other) {
    brl = other.brl;
    fixed = other.fixed;
    isparent = other.isparent;
    node = other.node;
    posmap = std::move(other.posmap);
    return *this;
}

neighbor neighbor::operator<=(neighbor other) {
    brl = other.brl;
    fixed = other.fixed;
    isparent = other.isparent;
    node = other.node;
    return *this;
}

// ---- baum: construction and destruction ----

baum::baum(const identifier& x) : id(x) {}

baum::baum(const baum& src) : id(src.id), seq(src.seq) { copy_children(src, false); }

baum::baum(const baum& src, bool topologyonly) {
    if (!topologyonly) fatal("Improper use of the topologyonly copy constructor of class baum\n");
    id = src.id;
    copy_children(src, true);
}

void baum::copy_children(const baum& src, bool topologyonly) {
    bool parentseen = false;
    neighbors.reserve(src.neighbors.size());
    for (const neighbor& r : src.neighbors) {
        if (r.node == nullptr) fatal("One tree node has a null pointer as neighbour\n");
        if (r.isparent) {
            if (parentseen)
                fatal("More than one parent in the\n", "copy constructor of class baum\n");
            parentseen = true;
            continue;
        }
        const baum& srcchild = *r.node;
        baum* child = topologyonly ? new baum(srcchild, true) : new baum(srcchild);
        neighbor down = r;
        down.node = child;
        if (topologyonly) down.posmap.clear();
        neighbors.push_back(std::move(down));
        neighbor up = srcchild.neighbors[srcchild.whichone(&src)];
        up.node = this;
        if (topologyonly) up.posmap.clear();
        child->neighbors.push_back(std::move(up));
    }
}

baum::~baum() {
    for (neighbor& r : neighbors)
        if (!r.isparent && r.node != nullptr) {
            delete r.node;
            r.node = nullptr;
        }
}

// ---- queries ----

baum* baum::NB(int i) const {
    if (i < 0 || i >= static_cast<int>(neighbors.size()))
        fatal("Index out of range in baum::NB(int i)\n");
    return neighbors[i].node;
}

int baum::whichone(const baum* T) const {
    if (T == nullptr) fatal("Argument of whichone(baum *T) is NULL\n");
    int found = -1;
    for (size_t i = 0; i < neighbors.size(); ++i)
        if (neighbors[i].node == T) {
            if (found != -1) fatal("One node appears twice in baum::whichone(baum *T)\n");
            found = static_cast<int>(i);
        }
    if (found == -1) fatal("Node T could not be found in baum::whichone(baum *T)\n");
    return found;
}

baum* baum::parent() const {
    baum* p = nullptr;
    bool seen = false;
    for (const neighbor& r : neighbors)
        if (r.isparent) {
            if (seen) fatal("There is more than one parent in baum::parent()\n");
            seen = true;
            p = r.node;
        }
    return p;
}

baum* baum::root() {
    baum* x = this;
    for (baum* p = x->parent(); p != nullptr; p = x->parent()) x = p;
    return x;
}

bool baum::isLeaf() const { return neighbors.size() < 2; }

bool baum::isRoot() const { return parent() == nullptr; }

unsigned baum::numleaves() const {
    if (isLeaf()) return 1;
    unsigned s = 0;
    for (const neighbor& r : neighbors)
        if (!r.isparent && r.node != nullptr) s += r.node->numleaves();
    return s;
}

int baum::size() const {
    int s = 1;
    for (const neighbor& r : neighbors)
        if (!r.isparent && r.node != nullptr) s += r.node->size();
    return s;
}

double baum::laenge() const {
    double s = 0.0;
    for (const neighbor& r : neighbors)
        if (!r.isparent && r.node != nullptr) s += r.node->laenge() + r.brl;
    return s;
}

int baum::depth() const {
    const baum* p = parent();
    return p == nullptr ? 0 : p->depth() + 1;
}

double baum::aprxspan() const {
    double s = 0.0;
    int k = 0;
    for (const neighbor& r : neighbors)
        if (!r.isparent && r.node != nullptr) {
            s += r.node->aprxspan() + r.brl;
            ++k;
        }
    return k == 0 ? 0.0 : s / k;
}

double baum::aprxheight() const { return aprxspan(); }

double baum::opt_delta() const { return 0.03 * aprxheight(); }

void baum::setid(const identifier& x) { id = x; }

baum* baum::findLeaf(const identifier& x) {
    if (isLeaf() && id == x) return this;
    for (neighbor& r : neighbors)
        if (!r.isparent && r.node != nullptr) {
            baum* f = r.node->findLeaf(x);
            if (f != nullptr) return f;
        }
    return nullptr;
}

std::string baum::clustname() {
    if (isLeaf() && !isRoot()) return id.name;
    std::vector<std::string> parts;
    for (neighbor& r : neighbors)
        if (!r.isparent && r.node != nullptr) parts.push_back(r.node->clustname());
    std::sort(parts.begin(), parts.end());
    std::string s;
    for (const std::string& p : parts) s += p;
    return s + ".";
}

bool baum::operator==(baum& other) {
    baum* R1 = root();
    baum* R2 = other.root();
    baum* L1 = R1->pickrandleaf();
    baum* L2 = R2->findLeaf(L1->id);
    if (L2 == nullptr) return false;
    L1->reroot(nullptr);
    L2->reroot(nullptr);
    bool same = L2->clustname() == L1->clustname();
    R1->reroot(nullptr);
    R2->reroot(nullptr);
    return same;
}

// ---- writer ----

namespace {

std::string fixed6(double x) {
    int n = std::snprintf(nullptr, 0, "%.6f", x);
    if (n < 0) return std::string();
    std::string s(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(&s[0], s.size(), "%.6f", x);
    s.resize(static_cast<size_t>(n));
    return s;
}

}  // namespace

void baum::update_tree() {
    if (isLeaf() && !isRoot()) {
        id.text = id.name;
        return;
    }
    if (neighbors.empty()) {  // a lone node has no branch to split
        id.text = id.name;
        return;
    }
    const bool splitroot = isRoot() && isLeaf();
    int lastchild = -1;
    for (size_t i = 0; i < neighbors.size(); ++i)
        if (!neighbors[i].isparent && neighbors[i].node != nullptr) lastchild = static_cast<int>(i);
    std::string t = "(";
    std::string len;
    for (size_t i = 0; i < neighbors.size(); ++i) {
        const neighbor& r = neighbors[i];
        if (r.isparent || r.node == nullptr) continue;
        r.node->update_tree();
        len = fixed6(splitroot ? r.brl / 2 : r.brl);
        t += r.node->id.text;
        t += ":";
        t += len;
        if (splitroot) t += ",";
        else t += static_cast<int>(i) == lastchild ? ")" : ",";
    }
    if (splitroot) t += id.name + ":" + len + ")";
    id.text = std::move(t);
}

std::ostream& baum::print(std::ostream& os) {
    if (!isRoot()) reroot(nullptr);
    update_tree();
    os << id.text << ";\n";
    return os;
}

// Constrained neighbour joining on one growing distance matrix.

namespace {

[[noreturn]] void nj_error() { fatal("Error in the neighbor joining algorithm\n"); }

}  // namespace

// Leaves must be distinct rows of D; inner nodes below the root need three
// records at least.
void baum::nj_check(const std::vector<std::vector<double>>& D, std::vector<char>& seen) const {
    if (isLeaf()) {
        if (id.number < 0 || id.number >= static_cast<int>(D.size()) || seen[id.number]) nj_error();
        seen[id.number] = 1;
    } else if (!isRoot() && neighbors.size() < 3) {
        nj_error();
    }
    for (const neighbor& r : neighbors) {
        if (r.isparent) continue;
        if (r.node == nullptr) nj_error();
        r.node->nj_check(D, seen);
    }
}

void baum::NeighborJoining(std::vector<std::vector<double>>& D, unsigned& n) {
    const bool atroot = isRoot();
    if (atroot && !isLeaf())
        fatal("The Neighbor Joining algorithm works only with a leaf as the root!\n");
    for (const auto& row : D)
        if (row.size() != D.size()) nj_error();
    std::vector<char> seen(D.size(), 0);
    nj_check(D, seen);

    nj_resolve(D, n);

    if (atroot) {
        if (neighbors.size() != 1) nj_error();
        baum* child = neighbors[0].node;
        const int c = child->id.number;
        if (c < 0 || c >= static_cast<int>(D.size())) nj_error();
        const double len = D[id.number][c];
        neighbors[0].brl = len;
        child->neighbors[child->whichone(this)].brl = len;
    }
}

void baum::nj_resolve(std::vector<std::vector<double>>& D, unsigned& n) {
    if (isLeaf() && !isRoot()) return;

    std::vector<int> K;
    for (size_t i = 0; i < neighbors.size(); ++i) {
        if (neighbors[i].isparent) continue;
        baum* child = neighbors[i].node;
        child->nj_resolve(D, n);
        K.push_back(child->id.number);
    }

    while (K.size() > 1) {
        const size_t N = D.size();
        if (n < 3) nj_error();
        const double dn = static_cast<double>(n - 2);
        const double dn2 = static_cast<double>(2 * (n - 2));

        // Row sums over the whole matrix, for the candidate rows.
        std::vector<double> rK(K.size(), 0.0);
        for (size_t a = 0; a < K.size(); ++a) {
            double s = 0.0;
            for (size_t j = 0; j < N; ++j) s += D[K[a]][j];
            rK[a] = s;
        }

        double best = DBL_MAX;
        int ba = -1, bb = -1;
        for (size_t a = 0; a < K.size(); ++a)
            for (size_t b = a + 1; b < K.size(); ++b) {
                const double Q = D[K[a]][K[b]] - (rK[a] + rK[b]) / dn;
                if (Q < best) {
                    best = Q;
                    ba = static_cast<int>(a);
                    bb = static_cast<int>(b);
                }
            }
        if (ba < 0) nj_error();
        const int q = K[ba], p = K[bb];
        const double rq = rK[ba], rp = rK[bb];

        int iq = -1, ip = -1;
        for (size_t i = 0; i < neighbors.size(); ++i) {
            if (neighbors[i].isparent || neighbors[i].node == nullptr) continue;
            if (neighbors[i].node->id.number == q && iq < 0) iq = static_cast<int>(i);
            else if (neighbors[i].node->id.number == p && ip < 0) ip = static_cast<int>(i);
        }
        if (iq < 0 || ip < 0) nj_error();

        const double dqp = D[q][p];
        double g = dqp / 2 + (rq - rp) / dn2;
        double o = dqp - g;
        if (g < DBL_MIN) {
            g = 0.1 * dqp;
            o = dqp - g;
        } else if (o < DBL_MIN) {
            o = 0.1 * dqp;
            g = dqp - o;
        }

        baum* cq = neighbors[iq].node;
        baum* cp = neighbors[ip].node;
        const int jq = cq->whichone(this);
        const int jp = cp->whichone(this);
        const bool last = K.size() == 2;
        if (last) {
            id.number = static_cast<int>(N);
            neighbors[iq].brl = g;
            cq->neighbors[jq].brl = g;
            neighbors[ip].brl = o;
            cp->neighbors[jp].brl = o;
        } else {
            baum* M = new baum(id);
            M->id.number = static_cast<int>(N);
            neighbor rq_rec = neighbors[iq];
            neighbor rp_rec = neighbors[ip];
            rq_rec.brl = g;
            rp_rec.brl = o;
            cq->neighbors[jq].brl = g;
            cq->neighbors[jq].node = M;
            cp->neighbors[jp].brl = o;
            cp->neighbors[jp].node = M;

            std::vector<neighbor> kept;
            kept.reserve(neighbors.size() - 1);
            for (size_t i = 0; i < neighbors.size(); ++i)
                if (static_cast<int>(i) != iq && static_cast<int>(i) != ip)
                    kept.push_back(neighbors[i]);
            neighbor down;
            down.node = M;
            kept.push_back(down);
            neighbors.swap(kept);

            M->neighbors.reserve(3);
            if (iq < ip) {
                M->neighbors.push_back(rq_rec);
                M->neighbors.push_back(rp_rec);
            } else {
                M->neighbors.push_back(rp_rec);
                M->neighbors.push_back(rq_rec);
            }
            neighbor up;
            up.isparent = true;
            up.node = this;
            M->neighbors.push_back(up);
        }
        --n;

        // New column N, cleared rows and columns q and p, new row N.
        std::vector<double> col(N + 1, 0.0);
        for (size_t i = 0; i < N; ++i) {
            double v;
            if (static_cast<int>(i) == q) v = g;
            else if (static_cast<int>(i) == p) v = o;
            else {
                v = (D[q][i] + D[p][i] - dqp) / 2;
                if (v < DBL_MIN) v = 0.00001;
            }
            col[i] = v;
        }
        for (size_t i = 0; i < N; ++i) {
            D[q][i] = 0.0;
            D[p][i] = 0.0;
            D[i][q] = 0.0;
            D[i][p] = 0.0;
        }
        for (size_t i = 0; i < N; ++i) D[i].push_back(col[i]);
        col[N] = 0.0;
        D.push_back(col);

        if (last) break;
        K.clear();
        for (const neighbor& r : neighbors)
            if (!r.isparent && r.node != nullptr) K.push_back(r.node->id.number);
    }
}

// Re-rooting, fusion and splitting of nodes; swaps, branch-length draws,
// enumeration of branches and inner nodes; the star tree.

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
    if (neighbors[0].isparent && neighbors[1].isparent)
        fatal("Impossible: two neighbours are parents\n");
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

// Column subtrees: the tree restricted to the rows with a residue.

baum* baum::teilbaum(const std::vector<std::string>& names, const std::vector<char>& column) {
    baum* copy = new baum(*this, true);
    baum* first = copy->abuse_fix(names, column);
    first->trim();
    first->fuseblindnodes(true);
    return first;
}

baum* baum::abuse_fix(const std::vector<std::string>& names, const std::vector<char>& column) {
    if (names.size() != column.size())
        fatal("Unequal numbers of identifiers and of sequences in abuse_fix\n", names.size(), "\t",
              column.size(), "\n");
    std::vector<bool> present(column.size());
    for (size_t i = 0; i < column.size(); ++i) present[i] = column[i] != '-' && column[i] != '_';
    std::vector<bool> found(names.size(), false);
    baum* first = nullptr;
    findnames(first, present, names, found);
    for (bool f : found)
        if (!f) fatal("At least one of the names was not found in the tree\n");
    if (first == nullptr) fatal("Lost tree\n");
    first->reroot(nullptr);
    first->post_order_abuse_fix(present);
    return first;
}

void baum::findnames(baum*& first, std::vector<bool>& present,
                     const std::vector<std::string>& names, std::vector<bool>& found) {
    for (neighbor& r : neighbors)
        if (!r.isparent && r.node != nullptr) r.node->findnames(first, present, names, found);
    if (!isLeaf()) return;
    size_t i = 0;
    while (i < names.size() && names[i] != id.name) ++i;
    if (i == names.size()) fatal("A leaf of the tree was not found among the names in abuse_fix\n");
    id.number = static_cast<int>(i);
    if (first == nullptr && present[i]) first = this;
    if (found[i]) fatal("One name was found twice in the tree\n");
    found[i] = true;
}

bool baum::post_order_abuse_fix(std::vector<bool>& present) {
    bool result = false;
    int up = -1;
    for (size_t i = 0; i < neighbors.size(); ++i) {
        if (neighbors[i].isparent) {
            up = static_cast<int>(i);
            continue;
        }
        if (neighbors[i].node == nullptr) continue;
        // Every child is visited: its marks are needed even when result is set.
        const bool below = neighbors[i].node->post_order_abuse_fix(present);
        result = result || below;
    }
    if (isLeaf()) result = present[id.number];
    if (up >= 0) {
        neighbors[up].fixed = result;
        baum* p = neighbors[up].node;
        p->neighbors[p->whichone(this)].fixed = result;
    }
    return result;
}

void baum::trim() {
    std::vector<neighbor> kept;
    kept.reserve(neighbors.size());
    for (neighbor& r : neighbors) {
        if (r.isparent) {
            kept.push_back(r);
        } else if (r.node != nullptr && r.fixed) {
            r.node->trim();
            kept.push_back(r);
        } else if (r.node != nullptr) {
            delete r.node;  // its record for this node is its parent record
            r.node = nullptr;
        }
    }
    neighbors.swap(kept);
}
