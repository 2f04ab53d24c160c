// The sampler step with its annealed acceptance and step-width adaptation,
// the parameter proposals, and the nearest-neighbour interchange pass.
#include "sampler/mult_align.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <utility>
#include <vector>

#include "sequence/fatal.h"
#include "sequence/precision.h"
#include "sequence/random.h"

namespace {

// 1/r - c is the transformed TKF2 fragment parameter; r stays below 1/c.
const double kFragmentShift = 1.000100010001;

bool fragment_warned = false;

bool same_bits(const double* a, const double* b, size_t n) {
    return n == 0 || std::memcmp(a, b, n * sizeof(double)) == 0;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && same_bits(a.data(), b.data(), a.size());
}

bool same_bits(const sqmatrix& a, const sqmatrix& b) {
    const size_t n = static_cast<size_t>(a.size());
    return a.size() == b.size() && same_bits(a.data(), b.data(), n * n);
}

// Two models that give the same bits for every probability.
bool same_model(const substmodel& a, const substmodel& b) {
    return a.model == b.model && a.alf == b.alf && a.logalf == b.logalf &&
           same_bits(&a.time, &b.time, 1) && same_bits(a.params, b.params) &&
           same_bits(a.freqs, b.freqs) && same_bits(a.evals, b.evals) &&
           same_bits(a.ratemat, b.ratemat) && same_bits(a.evecs, b.evecs) &&
           same_bits(a.ievecs, b.ievecs) && same_bits(a.expievecs, b.expievecs) &&
           same_bits(a.probmat, b.probmat);
}

// Two trees with the same fields in every node and record, records in the
// same order: every log likelihood gives the same bits on both.
bool same_tree(const baum* a, const baum* b) {
    if (a->id.name != b->id.name || a->id.text != b->id.text || a->id.number != b->id.number ||
        a->seq != b->seq || a->neighbors.size() != b->neighbors.size())
        return false;
    for (size_t k = 0; k < a->neighbors.size(); ++k) {
        const neighbor& x = a->neighbors[k];
        const neighbor& y = b->neighbors[k];
        if (x.isparent != y.isparent || x.fixed != y.fixed || !same_bits(&x.brl, &y.brl, 1) ||
            x.posmap != y.posmap)
            return false;
        if (!x.isparent && !same_tree(x.node, y.node)) return false;
    }
    return true;
}

// Keeps sub as the substitution part of s.loglik on s.told under s.submodel.
void keep_subst(mult_alignment& s, double sub) {
    s.subkept = true;
    s.subkept_value = sub;
    s.subkept_tree = s.told;
    s.subkept_loglik = s.loglik;
}

}  // namespace

// ---------------------------------------------------------------------------
// Annealed acceptance and step width

bool mult_alignment::annealed(double newscore, double oldscore, double u, std::uint32_t step,
                              std::uint32_t burnin, double rate, double temp) {
    double a;
    if (step > burnin)
        a = std::exp((newscore - oldscore) * (static_cast<double>(step - burnin) * rate + 1) /
                     temp);
    else a = std::exp(newscore - oldscore);
    return newscore > oldscore || a > u;
}

double mult_alignment::coolingrate(double c, double alpha, const char* what) const {
    const double n = static_cast<double>(malign.seqs.size());
    const double len = malign.seqs.empty() ? 0.0 : static_cast<double>(malign.seqs[0].size());
    // Without columns the per-column term is infinite, which gives a rate of
    // 0 or a negative denominator; only where it is undefined (a log
    // likelihood of 0) does it count as 0.
    double percolumn = alpha * loglik / len;
    if (len == 0.0 && std::isnan(percolumn) && !std::isnan(loglik)) percolumn = 0.0;
    const double denom = (1 - alpha) * n - percolumn;
    const double rate = c / denom;
    if (!(denom > 0.0) || !std::isfinite(rate)) {
        warn("WARNING: The cooling rate of the ", what,
             " is not a positive finite number; it is set to 0.\n");
        return 0.0;
    }
    return rate;
}

double mult_alignment::halfwidth() const {
    return static_cast<double>(widthround + widthindex) * cool.delta /
           static_cast<double>(widthround + 4);
}

void mult_alignment::widthstep(double gain) {
    widthgain[widthindex - 1] += gain;
    widthcount[widthindex - 1] += 1;
    if (counter % 400 != 0) {
        if (widthdown) {
            --widthindex;
            if (widthindex == 1) widthdown = false;
        } else {
            ++widthindex;
            if (widthindex == 8) widthdown = true;
        }
        return;
    }
    unsigned best = 3;
    for (unsigned j = 0; j < 8; ++j)
        if (widthgain[j] / widthcount[j] > widthgain[best] / widthcount[best]) best = j;
    cool.delta = cool.delta * static_cast<double>(widthround + best + 1) /
                 static_cast<double>(widthround + 4);
    widthindex = 8;
    widthdown = true;
    ++widthround;
    std::fill(widthgain.begin(), widthgain.end(), 0.0);
    std::fill(widthcount.begin(), widthcount.end(), 0);
}

// ---------------------------------------------------------------------------
// Parameter proposals

mult_alignment::proposal::proposal(substmodel& sm, indel& im, keepfixed& f) {
    lognew = 0.0;
    logold = 0.0;
    propos_subpar(sm, f.subfix);
    propos_idpar(im, f.indfix);
}

mult_alignment::proposal::~proposal() = default;

void mult_alignment::proposal::terms(double x, double y) {
    lognew += -y - (x / y + std::log(y));
    logold += -x - (y / x + std::log(x));
}

double mult_alignment::proposal::draw(double x) {
    const double y = rand_exp(1.0 / x);
    terms(x, y);
    return y;
}

void mult_alignment::proposal::propos_subpar(substmodel& sm, std::vector<bool>& subfix) {
    std::vector<double> old;
    sm.paramsOf(old);
    const size_t k = old.size();
    if (subfix.size() != k) fatal("vector subfix has the wrong size\n");
    subpar.assign(k, 0.0);
    std::vector<bool> held(subfix);
    if (k > 3) {
        int pick[3];
        for (int& p : pick) p = randominteger(static_cast<int>(k));
        for (size_t p = 0; p < k; ++p)
            if (static_cast<int>(p) != pick[0] && static_cast<int>(p) != pick[1] &&
                static_cast<int>(p) != pick[2])
                held[p] = true;
    }
    for (size_t p = 0; p < k; ++p) subpar[p] = held[p] ? old[p] : draw(old[p]);
}

void mult_alignment::proposal::propos_idpar(indel& im, std::vector<bool>& indfix) {
    std::vector<double> old;
    const int kind = im.returnparams(old);
    if (indfix.size() != old.size()) fatal("vector indfix has the wrong size\n");
    if (kind == 0) {
        idpar.assign(2, 0.0);
        idpar[0] = indfix[0] ? old[0] : draw(old[0]);
        if (indfix[1]) {
            idpar[1] = old[1];
        } else {
            const double zold = old[0] / (old[1] - old[0]);
            const double z = rand_exp(1.0 / zold);
            idpar[1] = idpar[0] * (1 + 1 / z);
            terms(zold, idpar[0] / (idpar[1] - idpar[0]));
        }
    } else if (kind == 1) {
        idpar.assign(3, 0.0);
        idpar[0] = indfix[0] ? old[0] : draw(old[0]);
        idpar[1] = indfix[1] ? old[1] : idpar[0] * 1.00001;
        const double wold = 1 / old[2] - kFragmentShift;
        if (indfix[2]) {
            idpar[2] = old[2];
        } else if (!(wold > 0.0)) {
            // No exponential has a mean at or below 0: r is held.
            idpar[2] = old[2];
            if (!fragment_warned) {
                fragment_warned = true;
                warn("WARNING: The TKF2 fragment parameter ", old[2],
                     " is not below 1/1.000100010001; it is kept fixed.\n");
            }
        } else {
            const double w = rand_exp(old[2] / (1 - kFragmentShift * old[2]));
            idpar[2] = 1 / (w + kFragmentShift);
            terms(wold, 1 / idpar[2] - kFragmentShift);
        }
    } else {
        fatal("Unknown indel model in function propos_idpar\n");
    }
}

void mult_alignment::sampparams() {
    substmodel sm(submodel);
    indel im(indmodel);
    proposal p(sm, im, fix);
    sm.setparams(p.subpar);
    im.setparams(p.idpar);
    // complik(pattern, told, im, sm), with the substitution part taken over
    // when the model has not changed.
    const bool keep = subkept && subkept_tree == told && same_bits(&subkept_loglik, &loglik, 1) &&
                      same_model(sm, submodel);
    const double ind = indlik(told, im);
    const double sub = keep ? subkept_value : sublik(pattern, told, sm);
    const double newL = ind + sub;
    const double u = randomunitintervall();
    const double A = newL + p.lognew;
    const double B = loglik + p.logold;
    const bool accepted = annealed(A, B, u, counter, cool.burnin, rateparam, tempparam);
    if (accepted) {
        submodel = sm;
        indmodel = im;
        loglik = newL;
        if (counter <= cool.burnin && A - B > tempparam && counter > 1) tempparam = A - B;
    }
    // sub is now the substitution part of told under submodel.
    if (accepted || keep || same_model(sm, submodel)) keep_subst(*this, sub);
    if (counter == cool.burnin) rateparam = coolingrate(cool.cparam, cool.alphaparam, "parameters");
}

// ---------------------------------------------------------------------------
// Sampler step

void mult_alignment::maunewton() {
    const double oldL = loglik;
    ausaltmachneu();
    std::vector<baum*> nodes;
    std::vector<unsigned> idx;
    tnew->edges(nodes, idx);
    std::vector<int> order;
    rndorder(order, static_cast<unsigned>(nodes.size()));
    for (int k : order) {
        baum* node = nodes[k];
        const int i = static_cast<int>(idx[k]);
        baum* nb = node->NB(i);
        const double r = node->shiftnodes(halfwidth(), i);
        if (single_precision(r) < 0.0) {
            // The shift carried node past nb: exchange subtrees across the branch.
            const int c1 = node->rndchild(i);
            const int c2 = nb->rndchild(nb->whichone(node));
            hexali(node, nb, c1, c2);
            node->swapbr(i, c1, c2);
            keeptrack(nodes, idx, node, c1, nb, c2);
        }
    }
    ++counter;
    if (!uphill(tnew))
        warn(
            "WARNING: One of the internal sequences has either length 0 \nor is much longer than "
            "its longest neighbour.\n");
    alteroderneuerbaum();
    widthstep(std::fabs(oldL - loglik));
}

bool mult_alignment::alteroderneuerbaum() {
    mdataset ma(tnew, submodel.retalf());
    compact_subst_pattern pa(ma);
    // complik(pa, tnew), keeping its substitution part.
    const double ind = indlik(tnew, indmodel);
    const double sub = sublik(pa, tnew, submodel);
    const double newL = ind + sub;
    const double u = randomunitintervall();
    const bool accepted = annealed(newL, loglik, u, counter, cool.burnin, rateali, tempali);
    if (accepted) {
        subkept = false;
        ausneumachalt();
        malign = std::move(ma);
        pattern = std::move(pa);
        if (counter <= cool.burnin && newL - loglik > tempali && counter > 1)
            tempali = newL - loglik;
        loglik = newL;
        // told is a copy of tnew; sub is its part only if the copy kept
        // every record in its place.
        if (same_tree(told, tnew)) keep_subst(*this, sub);
    }
    if (counter == cool.burnin) rateali = coolingrate(cool.ctree, cool.alphatree, "tree");
    return accepted;
}

// ---------------------------------------------------------------------------
// Nearest-neighbour interchange

namespace {

// Indices of the node's records whose far ends are neither a nor b.
std::vector<unsigned> others(const baum* node, const baum* a, const baum* b) {
    std::vector<unsigned> v;
    for (size_t r = 0; r < node->neighbors.size(); ++r)
        if (node->neighbors[r].node != a && node->neighbors[r].node != b)
            v.push_back(static_cast<unsigned>(r));
    return v;
}

// The two records of x not pointing to y; too many or too few is fatal.
std::vector<unsigned> outer(const baum* x, const baum* y, const char* many, const char* few) {
    std::vector<unsigned> v;
    for (size_t r = 0; r < x->neighbors.size(); ++r) {
        if (x->neighbors[r].node == y) continue;
        if (v.size() == 2) fatal(many);
        v.push_back(static_cast<unsigned>(r));
    }
    if (v.size() < 2) fatal(few);
    return v;
}

}  // namespace

int mult_alignment::fourpoint(const double D[4][4]) {
    const double s01 = D[0][1] + D[2][3];
    const double s02 = D[0][2] + D[1][3];
    const double s03 = D[0][3] + D[1][2];
    if (s01 > s02 && s03 > s02) return 2;
    if (s01 > s03 && s02 > s03) return 3;
    return 1;
}

bool mult_alignment::nearestneighbor(unsigned maxedges) {
    if (told->neighbors.empty() || told->NB(0)->numleaves() <= 2) return false;
    ausaltmachneu();
    std::vector<baum*> nodes;
    std::vector<unsigned> idx;
    tnew->internaledges(nodes, idx);
    std::vector<int> order;
    rndorder(order, static_cast<unsigned>(nodes.size()));
    std::vector<int> unfixed;
    for (int p : order)
        if (!nodes[p]->neighbors[idx[p]].fixed) unfixed.push_back(p);
    const size_t count = std::min(unfixed.size(), static_cast<size_t>(maxedges));
    bool changed = false;
    for (size_t k = 0; k < count; ++k) {
        baum* x = nodes[unfixed[k]];
        baum* y = x->NB(static_cast<int>(idx[unfixed[k]]));
        const std::vector<unsigned> ox =
            outer(x, y, "Error I in NNI routine\n", "Error II in NNI routine\n");
        const std::vector<unsigned> oy =
            outer(y, x, "Error III in NNI routine\n", "Error IV in NNI routine\n");
        baum* Q[4] = {x->NB(ox[0]), x->NB(ox[1]), y->NB(oy[0]), y->NB(oy[1])};
        for (baum* q : Q) {
            if (q->isLeaf()) continue;
            std::vector<unsigned> nbs = others(q, x, y);
            midseq(q, nbs);
        }
        double D[4][4];
        for (int a = 0; a < 4; ++a) {
            D[a][a] = 0.0;
            for (int b = a + 1; b < 4; ++b) {
                D[a][b] = 1.0;
                alignment al(Q[a]->seq, Q[b]->seq, D[a][b], submodel, indmodel);
                al.optimal_time(D[a][b]);
                D[b][a] = D[a][b];
            }
        }
        const int partner = fourpoint(D);
        if (partner != 1) {
            std::cout << "Performing nearest neighbour interchange" << std::endl;
            const int J = static_cast<int>(ox[1]);
            const int K = static_cast<int>(oy[partner - 2]);
            x->swapbr(x->whichone(y), J, K);
            keeptrack(nodes, idx, x, J, y, K);
            changed = true;
        }
        std::vector<unsigned> nx = others(x, y, y);
        midseq(x, nx);
        std::vector<unsigned> ny = others(y, x, x);
        midseq(y, ny);
        const bool yabove = x->neighbors[x->whichone(y)].isparent;
        baum* U = yabove ? y : x;
        baum* L = yabove ? x : y;
        alignment al(U->seq, L->seq, U->neighbors[U->whichone(L)].brl, submodel, indmodel,
                     cool.coolali, 2147483647);
        al.zurueck(U, L);
    }
    if (changed) {
        ausneumachalt();
        malign = mdataset(told, submodel.retalf());
        pattern = compact_subst_pattern(malign);
        // complik(pattern, told), keeping its substitution part.
        const double ind = indlik(told, indmodel);
        const double sub = sublik(pattern, told, submodel);
        loglik = ind + sub;
        keep_subst(*this, sub);
    }
    return changed;
}
