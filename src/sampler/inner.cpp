// Inner residues drawn from their neighbours, the initial inner sequences
// built bottom-up, and the resampling sweep over inner nodes and branches.
#include "sampler/mult_align.h"

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <vector>

#include "models/indel.h"
#include "models/substmod.h"
#include "sequence/data.h"
#include "sequence/fatal.h"
#include "sequence/logspace.h"
#include "sequence/precision.h"
#include "sequence/random.h"

namespace {

// 100 times the smallest normalised double: below it a branch has length 0.
const double kZeroTime = 2.2250738585072014e-306;

bool is_short(const substmodel& m) { return m.timeOf() < kZeroTime; }

// Scratch of n doubles, on the stack up to N of them.
template <int N>
class scratch {
public:
    explicit scratch(int n) {
        if (n > N) big_.resize(static_cast<size_t>(n));
        p_ = n > N ? big_.data() : fixed_;
    }
    double& operator[](int i) { return p_[i]; }
    double* data() { return p_; }

private:
    double fixed_[N];
    std::vector<double> big_;
    double* p_;
};
using vec_scratch = scratch<20>;
using table_scratch = scratch<400>;

// Index of the first entry at which the running sum of exp(w - z) reaches
// u, or -1 when it never does.
int invert(const double* w, int n, double z, double u) {
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        sum += std::exp(w[i] - z);
        if (sum >= u) return i;
    }
    return -1;
}

// Joint table of two nodes, row = x's state, column = y's state, inverted
// row by row: z over the rows' own sums in row order.
bool invert_table(const double* w, int n, double u, int& x, int& y) {
    double z = -DBL_MAX;
    for (int i = 0; i < n; ++i) z = addlog(z, addlog(w + static_cast<size_t>(i) * n, n));
    double sum = 0.0;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            sum += std::exp(w[static_cast<size_t>(i) * n + j] - z);
            if (sum >= u) {
                x = i;
                y = j;
                return true;
            }
        }
    return false;
}

void check_set(int x, int y) {
    if (x == -1 || y == -1) fatal("Error while inferring internal bases\n");
}

// Residue k of a sequence, read only when the path stays within it.
int residue(const bioseq& s, int k) { return s[static_cast<size_t>(k)]; }

// The known neighbours' residues of a column in which an inner node holds
// one, in the order of the node's roles, each with its branch model; the
// node's residue is drawn from them, or from the frequencies when none is
// known.
struct known_residues {
    int res[3] = {};
    const substmodel* mod[3] = {};
    int count = 0;
    void add(int r, const substmodel& m) {
        res[count] = r;
        mod[count++] = &m;
    }
    int draw(mult_alignment& ma, const substmodel& alone) const {
        switch (count) {
        case 0: return alone.choosebase();
        case 1: return ma.infer_base(res[0], *mod[0]);
        case 2: return ma.infer_base(res[0], *mod[0], res[1], *mod[1]);
        default: return ma.infer_base(res[0], *mod[0], res[1], *mod[1], res[2], *mod[2]);
        }
    }
};

}  // namespace

// ---------------------------------------------------------------------------
// Single draws

int mult_alignment::infer_base(int a, const substmodel& Ma, int b, const substmodel& Mb, int c,
                               const substmodel& Mc) {
    const int n = Ma.retalf();
    vec_scratch w(n);
    const double u = randomunitintervall();
    if (is_short(Ma)) return a;
    if (is_short(Mb)) return b;
    if (is_short(Mc)) return c;
    const double la = Ma.logfreqofstate(a);
    for (int i = 0; i < n; ++i)
        w[i] = la + Ma.logProb_ij(a, i) + Mb.logProb_ij(i, b) + Mc.logProb_ij(i, c);
    const int k = invert(w.data(), n, addlog(w.data(), n), u);
    if (k >= 0) return k;
    warn("Warning: Reached end of infer_base I\n");
    if (u < 1.0 / 3) return a;
    if (u < 2.0 / 3) return c;
    return b;
}

int mult_alignment::infer_base(int a, const substmodel& Ma, int b, const substmodel& Mb) {
    const int n = Ma.retalf();
    vec_scratch w(n);
    const double u = randomunitintervall();
    if (is_short(Ma)) return a;
    if (is_short(Mb)) return b;
    const double la = Ma.logfreqofstate(a);
    for (int i = 0; i < n; ++i) w[i] = la + Ma.logProb_ij(a, i) + Mb.logProb_ij(i, b);
    const int k = invert(w.data(), n, addlog(w.data(), n), u);
    if (k >= 0) return k;
    warn("Warning: Reached end of infer_base II\n");
    return single_precision(u) < 0.5 ? b : a;
}

int mult_alignment::infer_base(int a, const substmodel& Ma) {
    const int n = Ma.retalf();
    vec_scratch w(n);
    const double u = randomunitintervall();
    if (is_short(Ma)) return a;
    const double la = Ma.logfreqofstate(a);
    for (int i = 0; i < n; ++i) w[i] = la + Ma.logProb_ij(a, i);
    const int k = invert(w.data(), n, addlog(w.data(), n), u);
    if (k >= 0) return k;
    warn("Warning: Reached end of infer_base III\n");
    return a;
}

// ---------------------------------------------------------------------------
// Pair draws

void mult_alignment::infer_six(int& x, int& y, const substmodel& Mxy, int a, const substmodel& Ma,
                               int b, const substmodel& Mb, int c, const substmodel& Mc, int e,
                               const substmodel& Me) {
    const int n = Mxy.retalf();
    table_scratch w(n * n);
    x = y = -1;
    const double u = randomunitintervall();
    if (is_short(Mxy)) {
        if (single_precision(u) < 0.5) x = infer_base(a, Ma, b, Mb);
        else x = infer_base(c, Mc, e, Me);
        y = x;
    } else {
        if (is_short(Ma)) x = a;
        else if (is_short(Mb)) x = b;
        if (x == -1) {
            if (is_short(Mc)) y = c;
            else if (is_short(Me)) y = e;
            if (y != -1) x = infer_base(a, Ma, b, Mb, y, Mxy);
        } else {
            y = infer_base(x, Mxy, c, Mc, e, Me);
        }
    }
    if (x == -1) {
        const double la = Ma.logfreqofstate(a);
        for (int i = 0; i < n; ++i) {
            const double r = la + Ma.logProb_ij(a, i) + Mb.logProb_ij(i, b);
            for (int j = 0; j < n; ++j)
                w[i * n + j] = r + Mxy.logProb_ij(i, j) + Mc.logProb_ij(j, c) + Me.logProb_ij(j, e);
        }
        if (!invert_table(w.data(), n, u, x, y)) {
            warn("Warning: Problems in function infer_six\n");
            const double s = single_precision(u);
            x = s < 0.25 ? a : s < 0.5 ? b : s < 0.75 ? c : e;
            y = x;
        }
    }
    check_set(x, y);
}

void mult_alignment::infer_five(int& x, int& y, const substmodel& Mxy, int a, const substmodel& Ma,
                                int b, const substmodel& Mb, int c, const substmodel& Mc) {
    const int n = Mxy.retalf();
    table_scratch w(n * n);
    x = y = -1;
    const double u = randomunitintervall();
    if (is_short(Mxy)) {
        x = y = infer_base(a, Ma, b, Mb, c, Mc);
    } else {
        if (is_short(Ma)) x = a;
        if (x == -1) {
            if (is_short(Mb)) y = b;
            else if (is_short(Mc)) y = c;
            if (y != -1) x = infer_base(a, Ma, y, Mxy);
        } else {
            y = infer_base(x, Mxy, b, Mb, c, Mc);
        }
    }
    if (x == -1) {
        const double la = Ma.logfreqofstate(a);
        for (int i = 0; i < n; ++i) {
            const double r = la + Ma.logProb_ij(a, i);
            for (int j = 0; j < n; ++j)
                w[i * n + j] = r + Mxy.logProb_ij(i, j) + Mb.logProb_ij(j, b) + Mc.logProb_ij(j, c);
        }
        if (!invert_table(w.data(), n, u, x, y)) {
            warn("Warning: Problems in function infer_five\n");
            x = u < 1.0 / 3 ? a : u < 2.0 / 3 ? b : c;
            y = x;
        }
    }
    check_set(x, y);
}

void mult_alignment::infer_line(int& x, int& y, const substmodel& Mxy, int a, const substmodel& Ma,
                                int b, const substmodel& Mb) {
    const int n = Mxy.retalf();
    table_scratch w(n * n);
    x = y = -1;
    const double u = randomunitintervall();
    if (is_short(Mxy)) {
        x = y = infer_base(a, Ma, b, Mb);
    } else {
        if (is_short(Ma)) x = a;
        if (x == -1) {
            if (is_short(Mb)) y = b;
            if (y != -1) x = infer_base(a, Ma, y, Mxy);
        } else {
            y = infer_base(x, Mxy, b, Mb);
        }
    }
    if (x == -1) {
        const double la = Ma.logfreqofstate(a);
        for (int i = 0; i < n; ++i) {
            const double r = la + Ma.logProb_ij(a, i);
            for (int j = 0; j < n; ++j)
                w[i * n + j] = r + Mxy.logProb_ij(i, j) + Mb.logProb_ij(j, b);
        }
        if (!invert_table(w.data(), n, u, x, y)) {
            warn("Warning: Problems in function infer_line\n");
            x = y = single_precision(u) < 0.5 ? a : b;
        }
    }
    check_set(x, y);
}

void mult_alignment::infer_star(int& x, int& y, const substmodel& Mxy, int a, const substmodel& Ma,
                                int b, const substmodel& Mb) {
    const int n = Mxy.retalf();
    table_scratch w(n * n);
    x = y = -1;
    const double u = randomunitintervall();
    if (is_short(Mb)) y = b;
    else if (is_short(Ma)) y = a;
    else if (is_short(Mxy)) y = infer_base(a, Ma, b, Mb);
    if (y != -1) x = infer_base(y, Mxy);
    if (x == -1) {
        for (int i = 0; i < n; ++i) {
            const double r = Mxy.logfreqofstate(i);
            for (int j = 0; j < n; ++j)
                w[i * n + j] = r + Mxy.logProb_ij(i, j) + Ma.logProb_ij(j, a) + Mb.logProb_ij(j, b);
        }
        if (!invert_table(w.data(), n, u, x, y)) {
            warn("Warning: Problems in function infer_star\n");
            x = y = single_precision(u) < 0.5 ? a : b;
        }
    }
    check_set(x, y);
}

void mult_alignment::infer_three(int& x, int& y, const substmodel& Mxy, int a,
                                 const substmodel& Ma) {
    const int n = Mxy.retalf();
    table_scratch w(n * n);
    x = y = -1;
    const double u = randomunitintervall();
    if (is_short(Ma)) y = a;
    else if (is_short(Mxy)) y = infer_base(a, Ma);
    if (y != -1) x = infer_base(y, Mxy);
    if (x == -1) {
        for (int i = 0; i < n; ++i) {
            const double r = Mxy.logfreqofstate(i);
            for (int j = 0; j < n; ++j)
                w[i * n + j] = r + Mxy.logProb_ij(i, j) + Ma.logProb_ij(j, a);
        }
        if (!invert_table(w.data(), n, u, x, y)) {
            warn("Warning: Problems in function infer_three\n");
            x = y = a;
        }
    }
    check_set(x, y);
}

// ---------------------------------------------------------------------------
// Initial inner sequences

void mult_alignment::construct_align(baum* node) {
    if (node->isLeaf() && !node->isRoot()) return;
    std::vector<unsigned> children;
    for (size_t i = 0; i < node->neighbors.size(); ++i) {
        if (node->neighbors[i].isparent) continue;
        construct_align(node->neighbors[i].node);
        children.push_back(static_cast<unsigned>(i));
    }
    if (node->neighbors.size() == 3) {
        midseq(node, children);
    } else if (node->neighbors.size() == 1 && !children.empty()) {
        neighbor& r = node->neighbors[children[0]];
        baum* child = r.node;
        alignment al(node->seq, child->seq, r.brl, submodel, indmodel, cool.coolali, 2147483647);
        al.zurueck(node, child);
    } else {
        fatal("Tree in function construct_align is not bifurcating!\n");
    }
}

void mult_alignment::midseq(baum* node, std::vector<unsigned>& nbs) {
    if (nbs.size() != 2) fatal("Tree in function midseq is not bifurcating!\n");
    baum* B = node->NB(static_cast<int>(nbs[0]));
    baum* C = node->NB(static_cast<int>(nbs[1]));
    const double tb = node->neighbors[nbs[0]].brl;
    const double tc = node->neighbors[nbs[1]].brl;
    alignment al(C->seq, B->seq, tb + tc, submodel, indmodel, cool.coolali, 2147483647);
    indmodel.fillT(tb, tc);

    std::vector<zustand> pair;
    int pi = -1, pj = -1;
    for (;;) {
        const zustand s = al.iter_zust(&pi, &pj);
        pair.push_back(s);
        if (s == END) break;
    }

    std::vector<triplet_zus> path{TRIPLET_START};
    size_t i = 0;
    while (path.back() != TRIPLET_END && i < pair.size()) {
        const int last = path.back();
        if (last != TRIPLET_HIDDEN_N) {
            if (last < 0 || last > TRIPLET_START) fatal("Impossible state in function midseq\n");
            ++i;
            if (i >= pair.size()) fatal("Error in function midseq\n");
        }
        path.push_back(indmodel.nexttriplet(path.back(), pair[i]));
    }
    if (path.back() != TRIPLET_END) fatal("Error in function midseq\n");
    write_midseq_to_tree(path, node, nbs);
}

void mult_alignment::write_midseq_to_tree(std::vector<triplet_zus>& path, baum* node,
                                          std::vector<unsigned>& nbs) {
    if (nbs.size() != 2) fatal("Tree in function midseq is not bifurcating!\n");
    baum* B = node->NB(static_cast<int>(nbs[0]));
    baum* C = node->NB(static_cast<int>(nbs[1]));
    neighbor& toB = node->neighbors[nbs[0]];
    neighbor& toC = node->neighbors[nbs[1]];
    std::vector<int>& Bmap = B->neighbors[B->whichone(node)].posmap;
    std::vector<int>& Cmap = C->neighbors[C->whichone(node)].posmap;
    node->seq.clear();
    toB.posmap.clear();
    toC.posmap.clear();
    Bmap.clear();
    Cmap.clear();

    int n = -1, b = -1, c = -1;
    substmodel Mb(submodel), Mc(submodel);
    Mb.settime(toB.brl);
    Mc.settime(toC.brl);
    const int lb = B->seq.laen(), lc = C->seq.laen();
    auto stop = [&]() {
        fatal("Error in function write_midseq_to_tree:\n", node->seq.laen() - n - 1, " ",
              lb - b - 1, " ", lc - c - 1, "\n");
    };
    // Counters move on first; a path with more columns of B or C than
    // residues stops before reading beyond them.
    auto advance = [&](int& k, int l) {
        if (++k >= l) stop();
    };

    const std::vector<unsigned>& holders = triplet_holder_table();
    for (size_t k = 0; k < path.size(); ++k) {
        const int s = path[k];
        if (s < 0 || s > TRIPLET_END || (s == TRIPLET_START && k != 0) ||
            (s == TRIPLET_END && k + 1 != path.size()))
            fatal("Impossible state in write_midseq_to_tree\n");
        const unsigned h = holders[static_cast<size_t>(s)];
        const bool hn = h & role_bit(triplet_role::N), hb = h & role_bit(triplet_role::B),
                   hc = h & role_bit(triplet_role::C);
        if (hn) ++n;
        if (hb) advance(b, lb);
        if (hc) advance(c, lc);

        if (hb) Bmap.push_back(n);
        if (hc) Cmap.push_back(n);
        if (!hn) continue;
        toB.posmap.push_back(b);
        toC.posmap.push_back(c);
        known_residues kn;
        if (hb) kn.add(residue(B->seq, b), Mb);
        if (hc) kn.add(residue(C->seq, c), Mc);
        node->seq.push_back(kn.draw(*this, submodel));
    }
    if (node->seq.laen() != n + 1 || lb != b + 1 || lc != c + 1) stop();
}

// ---------------------------------------------------------------------------
// Resampling sweep

bool mult_alignment::uphill(baum* tree) { return uphill(tree, submodel, indmodel); }

bool mult_alignment::uphill(baum* tree, substmodel& sm, indel& im) {
    if (tree == nullptr || !tree->isRoot()) fatal("Lost root\n");
    std::vector<baum*> enodes, inner;
    std::vector<unsigned> eidx;
    tree->edges(enodes, eidx);
    tree->intnodes(inner);
    std::vector<int> order;
    rndorder(order, static_cast<unsigned>(inner.size() + enodes.size()));
    std::vector<unsigned> fam;
    std::vector<double> table;  // window tables of the re-alignments, one block for all
    for (int k : order) {
        if (static_cast<size_t>(k) < inner.size()) {
            baum* x = inner[static_cast<size_t>(k)];
            familie(fam, x);
            samp_centseq(x, fam, sm, im);
            const long lx = x->seq.laen();
            if (lx == 0) return false;
            bool fits = false;
            for (const neighbor& r : x->neighbors)
                if (lx < 10L * r.node->seq.laen()) fits = true;
            if (!fits) return false;
        } else {
            const size_t e = static_cast<size_t>(k) - inner.size();
            baum* p = enodes[e];
            baum* q = p->NB(static_cast<int>(eidx[e]));
            alignment al(*p, *q, sm, im, cool.coolali, 2147483647);
            al.tabscratch.swap(table);
            al.teilsample(static_cast<int>(cool.resamprange));
            al.tabscratch.swap(table);
            al.zurueck(p, q);
        }
    }
    return true;
}

void mult_alignment::familie(std::vector<unsigned>& fam, baum* node) {
    if (node == nullptr) fatal("The tree in function familie is a NULL pointer!\n");
    if (node->neighbors.size() != 3)
        fatal("An internal node turned out not to be internal!\n",
              "nb.size()=", node->neighbors.size(), "\n");
    fam.assign(3, 0);
    bool haveparent = false;
    unsigned kids = 0;
    for (unsigned i = 0; i < 3; ++i) {
        if (node->neighbors[i].isparent) {
            if (haveparent) fatal("More than one neighbour lies towards the root!\n");
            haveparent = true;
            fam[0] = i;
        } else {
            if (kids == 2) fatal("Error while looking for grand parent and children!\n");
            fam[1 + kids++] = i;
        }
    }
}

void mult_alignment::samp_centseq(baum* centre, std::vector<unsigned>& fam, substmodel& sm,
                                  indel& im) {
    if (centre == nullptr || fam.size() != 3) fatal("Unreasonable arguments to samp_midseq!\n");
    std::vector<quart_zus> path0;
    quartali(path0, centre, fam);
    std::vector<triplet_zus> tri;
    quart_to_tri(path0, tri);
    im.fillQ(centre->neighbors[fam[0]].brl, centre->neighbors[fam[1]].brl,
             centre->neighbors[fam[2]].brl);
    std::vector<quart_zus> path{QUART_START};
    size_t i = 1;
    while (path.back() != QUART_END && i < tri.size()) {
        const quart_zus s = im.nextquartet(path.back(), tri[i]);
        if (s > QUART_END || s == QUART_START || s < 0)
            fatal("Unreasonable state in samp_centseq!\n");
        path.push_back(s);
        if (s != QUART_HIDDEN_N) ++i;
    }
    if (path.back() != QUART_END) fatal("Error in function samp_centseq!\n");
    write_centseq(path, centre, fam, sm);
}

void mult_alignment::quartali(std::vector<quart_zus>& path, baum* centre,
                              std::vector<unsigned>& fam) {
    if (centre == nullptr || fam.size() != 3) fatal("Unreasonable arguments to quartali!\n");
    const std::vector<int>* mine[3];
    const std::vector<int>* theirs[3];
    for (int k = 0; k < 3; ++k) {
        baum* nb = centre->NB(static_cast<int>(fam[k]));
        if (nb == nullptr) fatal("Encountered NULL pointer\n");
        mine[k] = &centre->neighbors[fam[k]].posmap;
        theirs[k] = &nb->neighbors[nb->whichone(centre)].posmap;
    }
    path.clear();
    std::vector<int> pos[3], col[3];
    zustand st[3] = {START, START, START};
    bool advance[3] = {true, true, true};
    for (int k = 0; k < 3; ++k) pos[k].assign(2, -1);
    std::vector<zustand> z(3);

    while (path.empty() || path.back() != QUART_END) {
        for (int k = 0; k < 3; ++k) {
            if (!advance[k]) continue;
            col[k] = pos[k];
            st[k] = static_cast<zustand>(iter_zust(*mine[k], *theirs[k], pos[k]));
            advance[k] = false;
        }
        int r = 0;
        int s = col[0][0];
        for (int k = 1; k < 3; ++k)
            if (col[k][0] <= s && st[k] != END) {
                r = k;
                s = col[k][0];
            }
        switch (st[r]) {
        case START:
            for (int k = 0; k < 3; ++k)
                if (st[k] != START) fatal("Error: pairwise alignments are asynchronous I\n");
            for (int k = 0; k < 3; ++k) advance[k] = true;
            path.push_back(QUART_START);
            break;
        case END:
            for (int k = 0; k < 3; ++k)
                if (st[k] != END) fatal("Error: pairwise alignments are asynchronous II\n");
            path.push_back(QUART_END);
            break;
        case MATCH:
        case DELETION: {
            for (int k = 0; k < 3; ++k)
                if (st[k] != MATCH && st[k] != DELETION) {
                    if (st[r] == MATCH) fatal("Error: pairwise alignments are asynchronous III\n");
                    fatal("Error: pairwise alignments are asynchronous IV\n");
                }
            for (int k = 0; k < 3; ++k) z[k] = st[k];
            for (int k = 0; k < 3; ++k) advance[k] = true;
            path.push_back(which_quartet_zus(z));
            break;
        }
        case INSERTION: {
            if (r == 2 && st[1] == INSERTION && col[1][0] == s) r = 1;
            advance[r] = true;
            const int L = path.back();
            int out = 0;
            if (r == 0) {
                out = 7;
            } else if (r == 1) {
                switch (L) {
                case 0:
                case 2:
                case 11: out = 11; break;
                case 1:
                case 4:
                case 12: out = 12; break;
                case 3:
                case 6:
                case 9:
                case QUART_START: out = 9; break;
                case 5:
                case QUART_HIDDEN_N:
                case 10: out = 10; break;
                default: fatal("Nonsense in function quartali\n");
                }
            } else {
                switch (L) {
                case 0:
                case 1:
                case 2:
                case 4:
                case 11:
                case 12:
                case 14: out = 14; break;
                case 3:
                case 5:
                case 6:
                case QUART_HIDDEN_N:
                case 9:
                case 10:
                case 13:
                case QUART_START: out = 13; break;
                default: fatal("Nonsense in function quartali\n");
                }
            }
            path.push_back(quart_zus(out));
            break;
        }
        default: fatal("Unreasonable state in function quartali!\n");
        }
    }
}

quart_zus mult_alignment::which_quartet_zus(std::vector<zustand>& z) {
    if (z.size() != 3) fatal("A strange argument was passed to which_quartet_zus!\n");
    // M = 0, D = 1; z0 most significant
    static const int code[8] = {0, 1, 2, 4, 3, 5, 6, QUART_HIDDEN_N};
    int idx = 0;
    for (zustand s : z) {
        if (s != MATCH && s != DELETION)
            fatal("Unreasonable state in function which_quartet_zus\n");
        idx = 2 * idx + (s == DELETION ? 1 : 0);
    }
    return quart_zus(code[idx]);
}

void mult_alignment::quart_to_tri(std::vector<quart_zus>& path, std::vector<triplet_zus>& tri) {
    // Triplet codes over (U, B, C); the centre alone (-1) is dropped.
    static const int code[17] = {0, 1, 2, TRIPLET_OUTER_BC, 6,          4, 3, 6, -1, 4, 4, 4,
                                 4, 3, 3, TRIPLET_START,    TRIPLET_END};
    tri.clear();
    for (size_t k = 0; k < path.size(); ++k) {
        const int q = path[k];
        if (q < 0 || q > QUART_END) fatal("Strange state in function quart_to_tri\n");
        if (q == QUART_START && k != 0) fatal("Late start of vector quart in quart_to_tri\n");
        if (q == QUART_END && k + 1 != path.size())
            fatal("Premature end of vector quart in quart_to_tri\n");
        if (code[q] >= 0) tri.push_back(triplet_zus(code[q]));
    }
    if (tri.empty() || tri.back() != TRIPLET_END) fatal("Error in function quart_to_tri\n");
}

void mult_alignment::write_centseq(std::vector<quart_zus>& path, baum* centre,
                                   std::vector<unsigned>& fam, substmodel& sm) {
    if (fam.size() != 3 || centre == nullptr || centre->neighbors.size() != 3 || fam[0] > 2 ||
        fam[1] > 2 || fam[2] > 2)
        fatal("Strange arguments to function writecentseq!\n");
    neighbor& toU = centre->neighbors[fam[0]];
    neighbor& toB = centre->neighbors[fam[1]];
    neighbor& toC = centre->neighbors[fam[2]];
    baum* U = toU.node;
    baum* B = toB.node;
    baum* C = toC.node;
    std::vector<int>& Umap = U->neighbors[U->whichone(centre)].posmap;
    std::vector<int>& Bmap = B->neighbors[B->whichone(centre)].posmap;
    std::vector<int>& Cmap = C->neighbors[C->whichone(centre)].posmap;
    centre->seq.clear();
    toU.posmap.clear();
    toB.posmap.clear();
    toC.posmap.clear();
    Umap.clear();
    Bmap.clear();
    Cmap.clear();

    int u = -1, n = -1, b = -1, c = -1;
    substmodel Mu(sm), Mb(sm), Mc(sm);
    Mu.settime(toU.brl);
    Mb.settime(toB.brl);
    Mc.settime(toC.brl);
    const int lu = U->seq.laen(), lb = B->seq.laen(), lc = C->seq.laen();
    auto stop = [&]() {
        fatal("Impossible state in write_centseq\n", lu - u - 1, " ", lb - b - 1, " ", lc - c - 1,
              "\n");
    };
    // A path with more columns of a neighbour than it has residues stops
    // before reading beyond them.
    auto advance = [&](int& k, int l) {
        if (++k >= l) stop();
    };

    const std::vector<unsigned>& holders = quart_holder_table();
    for (size_t k = 0; k < path.size(); ++k) {
        const int s = path[k];
        if (s < 0 || s > QUART_END || (s == QUART_START && k != 0) ||
            (s == QUART_END && k + 1 != path.size()))
            fatal("Impossible state in write_centseq\n");
        const unsigned h = holders[static_cast<size_t>(s)];
        const bool hu = h & role_bit(quart_role::U), hn = h & role_bit(quart_role::N),
                   hb = h & role_bit(quart_role::B), hc = h & role_bit(quart_role::C);
        if (hu) advance(u, lu);
        if (hn) ++n;
        if (hb) advance(b, lb);
        if (hc) advance(c, lc);

        if (hu) Umap.push_back(n);
        if (hb) Bmap.push_back(n);
        if (hc) Cmap.push_back(n);
        if (!hn) continue;
        toU.posmap.push_back(u);
        toB.posmap.push_back(b);
        toC.posmap.push_back(c);
        known_residues kn;
        if (hu) kn.add(residue(U->seq, u), Mu);
        if (hb) kn.add(residue(B->seq, b), Mb);
        if (hc) kn.add(residue(C->seq, c), Mc);
        centre->seq.push_back(kn.draw(*this, sm));
    }
    if (lu != u + 1 || lb != b + 1 || lc != c + 1) stop();
}
