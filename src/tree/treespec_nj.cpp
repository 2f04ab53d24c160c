// Constrained neighbour joining on one growing distance matrix.
#include "tree/treespec.h"

#include <algorithm>
#include <cfloat>

#include "sequence/util.h"

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
    if (atroot && !isLeaf()) fatal("The Neighbor Joining algorithm works only with a leaf as the root!\n");
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
                if (static_cast<int>(i) != iq && static_cast<int>(i) != ip) kept.push_back(neighbors[i]);
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
            if (static_cast<int>(i) == q)
                v = g;
            else if (static_cast<int>(i) == p)
                v = o;
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
