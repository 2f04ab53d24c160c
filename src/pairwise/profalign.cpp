// Pairwise alignment: position maps, forward tables, traceback, window and
// linear-space re-alignment, branch-length estimation.
#include "pairwise/profalign.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>

#include "pairwise/forward_rows.h"
#include "sequence/fatal.h"
#include "sequence/logspace.h"
#include "sequence/minimise.h"
#include "sequence/precision.h"
#include "sequence/random.h"
#include "sequence/seqcode.h"

namespace {

const double kUncomputed = DBL_MAX;
const char* const kTooLarge = "Fehler: zu grosse Parameter in align_graph::zufallsschritt!!!\n";

bool is_column(int s) { return s == MATCH || s == INSERTION || s == DELETION; }

const char* const kMemberWhere = " in alignment::iter_zust\n";
const char* const kFreeWhere = " in iter_zust\n";

// State of the column at position pair (i, j) of the path held in two maps.
// A pair outside the sequences is refused rather than read.
int zust_core(const std::vector<int>& mA, const std::vector<int>& mB, int i, int j, bool member) {
    const int m = static_cast<int>(mA.size());
    const int n = static_cast<int>(mB.size());
    if (i < -1 || i > m || j < -1 || j > n)
        fatal(i, " und ", j, " liegen ausserhalb des Alignments in ",
              member ? "alignment::get_zust\n" : "get_zust\n");
    if (i == -1) {
        if (j == -1) return START;
        if (j == n) return NOSTATE;
        return mB[j] == -1 ? INSERTION : NOSTATE;
    }
    if (i == m) return j == n ? END : NOSTATE;
    if (j == -1) return mA[i] == -1 ? DELETION : NOSTATE;
    if (j == n) return NOSTATE;
    if (mA[i] == j) {
        if (mB[j] == i) return MATCH;
        if (mB[j] < i) return DELETION;
        return NOSTATE;
    }
    if (mB[j] == i && mA[i] < j) return INSERTION;
    return NOSTATE;
}

// Returns the state at (i, j) and moves to the next column of the path.
int iter_core(const std::vector<int>& mA, const std::vector<int>& mB, int& i, int& j, bool member) {
    const int m = static_cast<int>(mA.size());
    const int n = static_cast<int>(mB.size());
    const int st = zust_core(mA, mB, i, j, member);
    if (st == END) return st;
    if (st < 0 || st > END)
        fatal(i, " und ", j, " ergeben keinen Zustand", member ? kMemberWhere : kFreeWhere);
    if (i == m - 1) {
        ++j;
        if (j == n) ++i;
    } else if (j == n - 1) {
        ++i;
    } else if (mA[i + 1] == j) {
        ++i;
    } else {
        ++j;
        if (mB[j] != i) ++i;
    }
    return st;
}

// Last residues (r, s) of A and B inside a window, by its end state.
bool window_ends(zustand s1, int i1, int j1, int m, int n, int& r, int& s) {
    switch (s1) {
    case MATCH:
        r = i1 - 1;
        s = j1 - 1;
        return true;
    case INSERTION:
        r = i1;
        s = j1 - 1;
        return true;
    case DELETION:
        r = i1 - 1;
        s = j1;
        return true;
    case END:
        r = m - 1;
        s = n - 1;
        return true;
    default: return false;
    }
}

void read_table(const indel& im, double T[4][5]) {
    for (int k = 0; k < 4; ++k)
        for (int l = 0; l < 5; ++l) T[k][l] = im.retlnprob(k, l);
}

// Ties go to MATCH, then DELETION, then INSERTION.
zustand pick(double cM, double cI, double cD) {
    if (cM < cD) return cD < cI ? INSERTION : DELETION;
    return cM < cI ? INSERTION : MATCH;
}

struct walk_texts {
    const char* endstate;
    const char* step;
    const char* outside;
};
const walk_texts kTeilTexts = {"unmoeglicher \"nextstate\" in teilsample(...)\n",
                               "unmoeglicher \"nextstate\" in resample!!!\n",
                               "Bereich verlassen in  alignment::teilsample(...)\n"};
const walk_texts kHirschTexts = {"unmoeglicher \"nextstate\" in hirschberg(...)\n",
                                 "unmoeglicher \"nextstate\" in hirschberg!!!\n",
                                 "Bereich verlassen in  alignment::hirschberg(...)\n"};

// Greedy walk from the end column (c, d) of state z back to the column after
// the start corner (a, b); the states in walk order.
void greedy_walk(const align_graph& g, const bioseq& A, const bioseq& B, int a, int b, int c, int d,
                 zustand z, const walk_texts& texts, std::vector<zustand>& out) {
    out.clear();
    int ra, rb, ca = -1, cb = -1;
    switch (z) {
    case MATCH:
        ra = c;
        rb = d;
        ca = A[c];
        cb = B[d];
        break;
    case INSERTION:
        ra = c + 1;
        rb = d;
        cb = B[d];
        break;
    case DELETION:
        ra = c;
        rb = d + 1;
        ca = A[c];
        break;
    case END:
        ra = A.laen();
        rb = B.laen();
        break;
    default: fatal(texts.endstate);
    }
    zustand st = z;
    while (ra > a + 1 || rb > b + 1) {
        const zustand nw = g.maxwk_schritt(st, ra, rb, ca, cb);
        switch (nw) {
        case MATCH:
            --ra;
            --rb;
            ca = A[ra];
            cb = B[rb];
            break;
        case INSERTION:
            --rb;
            ca = -1;
            cb = B[rb];
            break;
        case DELETION:
            --ra;
            ca = A[ra];
            cb = -1;
            break;
        default: fatal(texts.step);
        }
        out.push_back(nw);
        st = nw;
        if (ra < a || rb < b) fatal(texts.outside);
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Free walk over two maps

int get_zust(const std::vector<int>& mapA, const std::vector<int>& mapB, int i, int j) {
    return zust_core(mapA, mapB, i, j, false);
}

int iter_zust(const std::vector<int>& mapA, const std::vector<int>& mapB, std::vector<int>& pos) {
    if (pos.size() < 2) pos.resize(2, -1);
    return iter_core(mapA, mapB, pos[0], pos[1], false);
}

// ---------------------------------------------------------------------------
// Probabilities from weights

namespace {
void distrib_pow_raw(double* w, int k, double x, unsigned long n) {
    const char* empty = "The probability vector that was passed to distrib_pow is empty!\n";
    if (n == 0) {
        double sum = 0.0;
        for (int l = 0; l < k; ++l) {
            if (single_precision(w[l]) < 0.0)
                fatal("One of the frequencies in distrib_pow is negative!\n");
            sum += w[l];
        }
        if (sum < DBL_MIN) fatal(empty);
        for (int l = 0; l < k; ++l) w[l] /= sum;
        return;
    }
    const double e = std::pow(x, static_cast<double>(n));
    if (single_precision(e) >= 10.0) {
        double best = -1.0;
        int at = -1;
        for (int l = 0; l < k; ++l)
            if (w[l] > best) {
                best = w[l];
                at = l;
            }
        for (int l = 0; l < k; ++l) w[l] = (l == at) ? 1.0 : 0.0;
        return;
    }
    double sum = 0.0;
    for (int l = 0; l < k; ++l) {
        w[l] = std::pow(w[l], e);
        sum += w[l];
    }
    if (sum < DBL_MIN) fatal(empty);
    for (int l = 0; l < k; ++l) w[l] /= sum;
}
}  // namespace

void distrib_pow(std::vector<double>& w, double x, unsigned long n) {
    distrib_pow_raw(w.data(), static_cast<int>(w.size()), x, n);
}

void step_memo::reset(std::size_t slots) {
    if (at.size() < slots) at.resize(slots, 0u);
    slot.clear();
    w.clear();
}

const double* step_memo::add(std::size_t k, double w0, double w01) {
    at[k] = static_cast<unsigned>(slot.size());
    slot.push_back(k);
    w.push_back(w0);
    w.push_back(w01);
    return &w[w.size() - 2];
}

void emission_cache::reset(const substmodel* s) {
    sm = s;
    L = alftologalf(s->retalf());
    lf.assign(L, 0.0);
    havef.assign(L, 0);
    lp.assign(static_cast<std::size_t>(L) * L, 0.0);
    havep.assign(static_cast<std::size_t>(L) * L, 0);
}

// ---------------------------------------------------------------------------
// alignment: construction, walk, write-back

alignment::alignment() : seq1(nullptr), seq2(nullptr), coolval(0.0), steps(0) {
    fatal("You were trying to construct an empty alignment!\n");
}

alignment::alignment(const bioseq& a, const bioseq& b, double t, const substmodel& sm,
                     const indel& im, double x, unsigned long y)
    : seq1(&a),
      seq2(&b),
      map1(a.laen()),
      map2(b.laen()),
      smodel(std::make_unique<substmodel>(sm)),
      imodel(std::make_unique<indel>(im)),
      coolval(x),
      steps(y) {
    smodel->settime(t);
    imodel->fillP(t);
    if (a.laen() == 0) std::fill(map2.begin(), map2.end(), -1);
    else if (b.laen() == 0) std::fill(map1.begin(), map1.end(), -1);
    else sample();
}

alignment::alignment(const bioseq& a, const bioseq& b, double t, const substmodel& sm,
                     const indel& im)
    : seq1(&a),
      seq2(&b),
      map1(a.laen(), -1),
      map2(b.laen(), -1),
      smodel(std::make_unique<substmodel>(sm)),
      imodel(std::make_unique<indel>(im)),
      coolval(0.0),
      steps(0) {
    smodel->settime(t);
    imodel->fillP(t);
}

alignment::alignment(const baum& x, const baum& y, const substmodel& sm, const indel& im, double v,
                     unsigned long w)
    : seq1(&x.seq), seq2(&y.seq), coolval(v), steps(w) {
    const int kx = x.whichone(&y);
    const int ky = y.whichone(&x);
    map1 = x.neighbors[kx].posmap;
    map2 = y.neighbors[ky].posmap;
    const double t = x.neighbors[kx].brl;
    smodel = std::make_unique<substmodel>(sm);
    imodel = std::make_unique<indel>(im);
    smodel->settime(t);
    imodel->fillP(t);
    check_constructed();
}

alignment::alignment(const alignment& o)
    : seq1(o.seq1),
      seq2(o.seq2),
      map1(o.map1),
      map2(o.map2),
      smodel(std::make_unique<substmodel>(*o.smodel)),
      imodel(std::make_unique<indel>(*o.imodel)),
      coolval(o.coolval),
      steps(o.steps) {}

// The substitution model goes first, as the members alone would not do it.
alignment::~alignment() {
    smodel.reset();
    imodel.reset();
}

zustand alignment::get_zust(int i, int j) const {
    return static_cast<zustand>(zust_core(map1, map2, i, j, true));
}

zustand alignment::iter_zust(int* i, int* j) const {
    return static_cast<zustand>(iter_core(map1, map2, *i, *j, true));
}

void alignment::check_constructed() const {
    const int m = seq1->laen();
    const int n = seq2->laen();
    const int sa = static_cast<int>(map1.size());
    const int sb = static_cast<int>(map2.size());
    if (sa > 0 && sb > 0) {
        if (sb == n && sa == m &&
            ((map2.back() == m - 1 && map1.back() <= n - 1) ||
             (map1.back() == n - 1 && map2.back() <= m - 1)))
            return;
        fatal("Found inconsistencies while constructing an alignment!\n", sb - 1, " ", n - 1, " ",
              map1.back(), "\n", sa - 1, " ", m - 1, " ", map2.back(), "\n");
    }
    if (sb == n && sa == m) {
        warn("Warning:there are internal sequences with length 0\n");
        return;
    }
    fatal("Found inconsistencies while constructing an alignment!\n", sb, " ", n, "\n", sa, " ", m,
          "\n");
}

void alignment::check_written(const baum* x, const baum* y) const {
    const int sa = static_cast<int>(map1.size());
    const int sb = static_cast<int>(map2.size());
    if (sa > 0 && sb > 0) {
        const int m = x->seq.laen();
        const int n = y->seq.laen();
        if (sb == n && sa == m &&
            ((map2.back() == m - 1 && map1.back() <= n - 1) ||
             (map1.back() == n - 1 && map2.back() <= m - 1)))
            return;
        fatal("Found inconsistencies while writing an alignment!\n", sb, " ", n, " ", map1.back(),
              "\n", sa, " ", m, " ", map2.back(), "\n");
    }
    check_constructed();
}

void alignment::zurueck(baum* x, baum* y) {
    check_written(x, y);
    x->neighbors[x->whichone(y)].posmap = map1;
    y->neighbors[y->whichone(x)].posmap = map2;
}

void alignment::write_path(const std::vector<zustand>& path, int p, int q) {
    const int m = static_cast<int>(map1.size());
    const int n = static_cast<int>(map2.size());
    for (zustand st : path) {
        switch (st) {
        case MATCH:
            ++p;
            ++q;
            break;
        case INSERTION: ++q; break;
        case DELETION: ++p; break;
        default: continue;
        }
        if (p >= m || q >= n) {
            if ((st != INSERTION && p >= m) || (st != DELETION && q >= n))
                fatal("Path leaves the sequences while writing an alignment\n");
        }
        if (st != INSERTION) map1[p] = q;
        if (st != DELETION) map2[q] = p;
    }
}

// ---------------------------------------------------------------------------
// Forward tables

align_graph::align_graph(const alignment& a, int i0_, int j0_, int i1_, int j1_)
    : i0(i0_), j0(j0_), i1(i1_), j1(j1_), al(&a) {
    beschrifte();
}

align_graph::align_graph(const alignment& a, int i0_, int j0_, int i1_, int j1_, zustand s0_,
                         zustand s1_)
    : i0(i0_), j0(j0_), i1(i1_), j1(j1_), al(&a) {
    beschrifte(s0_, s1_);
}

align_graph::~align_graph() {
    if (uses_scratch) al->tabbusy = false;
}

void align_graph::beschrifte() { beschrifte(al->get_zust(i0, j0), al->get_zust(i1, j1)); }

void align_graph::beschrifte(zustand s0_, zustand s1_) {
    s0 = s0_;
    s1 = s1_;
    const int m = al->seq1->laen();
    const int n = al->seq2->laen();
    read_table(*al->imodel, T);
    if (!window_ends(s1, i1, j1, m, n, r, s))
        fatal("komischer laststate in align_graph::beschrifte(...)\n");
    if (s0 < MATCH || s0 > START) fatal("komischer firststate in align_graph::beschrifte(...)\n");
    const int p = i0 + 1, q = j0 + 1;
    if (i0 < -1 || j0 < -1 || r >= m || s >= n || p > r || q > s)
        fatal("Fenster ohne Residuen in align_graph::beschrifte(...)\n");
    W = s - j0 + 1;
    const std::size_t cells = static_cast<std::size_t>(r - i0 + 1) * W * 3;
    std::vector<double>* store = &own;
    if (!al->tabbusy) {
        al->tabbusy = true;
        uses_scratch = true;
        store = &al->tabscratch;
    }
    // The rows below write every cell but these of the first row and column.
    store->resize(cells);
    tab = store->data();
    for (int j = 0; j < W; ++j) {
        tab[j * 3] = kUncomputed;
        tab[j * 3 + 2] = kUncomputed;
    }
    tab[1] = kUncomputed;
    for (int i = p; i <= r; ++i) {
        double* c = tab + static_cast<std::size_t>(i - i0) * W * 3;
        c[0] = kUncomputed;
        c[1] = kUncomputed;
    }
    memo = nullptr;
    al->emis.reset(al->smodel.get());
    forward_rows fw{al->seq1->data(), al->seq2->data(), i0, j0, p, q, s, s0, T, &al->emis};
    fw.first(tab);
    auto row = [this](int i) { return tab + static_cast<std::size_t>(i - i0) * W * 3; };
    for (int i = p; i <= r; i += 2) {
        const int band = std::min(2, r - i + 1);
        double* rows[2] = {row(i), band > 1 ? row(i + 1) : nullptr};
        fw.band(i, band, row(i - 1), rows);
    }
}

void align_graph::candidates(zustand st, int a, int b, int ca, int cb, double& cM, double& cI,
                             double& cD) const {
    double e = 0.0;
    switch (st) {
    case MATCH: e = al->emis.f(ca) + al->emis.p(ca, cb); break;
    case INSERTION: e = al->emis.f(cb); break;
    case DELETION: e = al->emis.f(ca); break;
    case END: e = 0.0; break;
    default: fatal("Unreasonable state nextstep\n");
    }
    if (a - 1 > r || b - 1 > s) fatal(kTooLarge);
    const double* c = cell(a - 1, b - 1);
    cM = c[0] + T[MATCH][st] + e;
    cI = c[1] + T[INSERTION][st] + e;
    cD = c[2] + T[DELETION][st] + e;
}

// The step forced on the window's first row or column (u, v: cells from
// its corner), or NOSTATE inside the window.
static zustand border_step(int u, int v) {
    if (u < 0 || v < 0) fatal("Fehler: zu kleine Parameter in align_graph::zufallsschritt!!!\n");
    if (u <= 0) {
        if (v <= 0) fatal("Fehler: a,b<=0 in  align_graph::zufallsschritt !!!\n");
        return INSERTION;
    }
    if (v == 0) return DELETION;
    return NOSTATE;
}

zustand align_graph::maxwk_schritt(zustand st, int a, int b, int ca, int cb) const {
    const zustand forced = border_step(a - i0 - 1, b - j0 - 1);
    if (forced != NOSTATE) return forced;
    double cM, cI, cD;
    candidates(st, a, b, ca, cb, cM, cI, cD);
    if (cI > cD) return cI > cM ? INSERTION : MATCH;
    return cD > cM ? DELETION : MATCH;
}

zustand align_graph::forced_step(zustand st, int a, int b) const {
    const zustand forced = border_step(a - i0 - 1, b - j0 - 1);
    if (forced == NOSTATE && st != MATCH && st != INSERTION && st != DELETION && st != END)
        fatal("Unreasonable state nextstep\n");
    return forced;
}

void align_graph::step_weights(zustand st, int a, int b, int ca, int cb, double x, unsigned long n,
                               double w[2]) const {
    double cM, cI, cD;
    candidates(st, a, b, ca, cb, cM, cI, cD);
    const double z = addlog(cM, cI, cD);
    double p[3] = {std::exp(cM - z), std::exp(cI - z), std::exp(cD - z)};
    distrib_pow_raw(p, 3, x, n);
    w[0] = p[0];
    w[1] = p[0] + p[1];
}

static zustand drawn_state(const double w[2], double uu) {
    if (w[0] > uu) return MATCH;
    if (w[1] > uu) return INSERTION;
    return DELETION;
}

zustand align_graph::zufallsschritt(zustand st, int a, int b, int ca, int cb, double x,
                                    unsigned long n) const {
    const zustand forced = forced_step(st, a, b);
    if (forced != NOSTATE) return forced;
    const double uu = randomunitintervall();
    double w[2];
    step_weights(st, a, b, ca, cb, x, n, w);
    return drawn_state(w, uu);
}

zustand align_graph::sampled_step(zustand st, int a, int b) const {
    const zustand forced = forced_step(st, a, b);
    if (forced != NOSTATE) return forced;
    const double uu = randomunitintervall();
    const int rows = r - i0, cols = s - j0;  // interior steps start inside these
    if (memo == nullptr) {
        memo = uses_scratch ? &al->memoscratch : &own_memo;
        memo->reset(static_cast<std::size_t>(rows) * cols * 4);
    }
    const int u = a - i0 - 1, v = b - j0 - 1;
    if (u > rows || v > cols) fatal(kTooLarge);
    const std::size_t k =
        (static_cast<std::size_t>(u - 1) * cols + (v - 1)) * 4 + (st == END ? 3 : st);
    const double* w = memo->find(k);
    if (w == nullptr) {
        const bioseq& A = *al->seq1;
        const bioseq& B = *al->seq2;
        const int ca = (st == MATCH || st == DELETION) ? A[a] : -1;
        const int cb = (st == MATCH || st == INSERTION) ? B[b] : -1;
        double f[2];
        step_weights(st, a, b, ca, cb, 1.0, 0, f);
        w = memo->add(k, f[0], f[1]);
    }
    return drawn_state(w, uu);
}

// ---------------------------------------------------------------------------
// Window re-alignment

void alignment::sample() {
    teilsample(-1, -1, static_cast<int>(map1.size()), static_cast<int>(map2.size()));
}

void alignment::teilsample(int a, int b, int c, int d) {
    if (c - a < 2 || d - b < 2) return;
    if (std::log(static_cast<double>(c - a)) + std::log(static_cast<double>(d - b)) >
        std::log(1500.0) + std::log(1500.0)) {
        hirschberg(false);
        return;
    }
    const zustand z = get_zust(c, d);
    if (!is_column(z) && z != END) fatal(c, " und ", d, " ergeben keinen Zustand", kMemberWhere);
    const zustand z0 = get_zust(a, b);
    if (!is_column(z0) && z0 != START)
        fatal(a, " und ", b, " ergeben keinen Zustand", kMemberWhere);
    std::vector<zustand> states;
    {
        align_graph g(*this, a, b, c, d);
        greedy_walk(g, *seq1, *seq2, a, b, c, d, z, kTeilTexts, states);
    }
    std::reverse(states.begin(), states.end());
    for (zustand st : states)
        if (!is_column(st) && st != END) fatal("unmoeglicher \"nextstate\" in teilsample!!!\n");
    write_path(states, a, b);
}

void alignment::teilsample(int a, int b) {
    const int m = static_cast<int>(map1.size());
    if (a < 0 || b < 0 || a >= m || b >= m)
        fatal("unsinniger Parameter in alignment::teilsample(...)\n");
    if (map1[a] == map1[b]) sample();
    else teilsample(a, map1[a], b, map1[b]);
}

void alignment::teilsample(int w) {
    const int m = static_cast<int>(map1.size());
    const int n = static_cast<int>(map2.size());
    if (w < 1) {
        warn("unsinniger Parameter in alignment::teilsample(...)\n");
        if (w < 0) w = 0;
    }
    if (w >= m) {
        sample();
        return;
    }
    const int x = std::rand() % (w + m);
    if (x < m) {
        if (x + w < m) {
            teilsample(x, x + w);
        } else if (map1[m - w] == n - 1) {
            sample();
        } else {
            teilsample(m - w, map1[m - w], m, n);
        }
    } else if (map1[w] == -1) {
        sample();
    } else {
        teilsample(-1, -1, w, map1[w]);
    }
}

// ---------------------------------------------------------------------------
// Linear-space alignment

void alignment::hirschberg(bool cnt) {
    std::vector<zustand> path;
    hirschberg(-1, -1, static_cast<int>(map1.size()), static_cast<int>(map2.size()), path, START,
               END);
    for (zustand st : path)
        if (!is_column(st)) fatal("Impossible state in Hirschberg algorithm\n");
    write_path(path, -1, -1);
    if (cnt) count_path();
}

void alignment::hirschberg(int i0, int j0, int i1, int j1, std::vector<zustand>& path, zustand s0,
                           zustand s1) {
    path.clear();
    const bioseq& A = *seq1;
    const bioseq& B = *seq2;
    const int m = A.laen(), n = B.laen();
    const int p = i0 + 1, q = j0 + 1;
    int r, s;
    if (!window_ends(s1, i1, j1, m, n, r, s)) fatal("Unreasonable last state in hirschberg()\n");
    if (s0 < MATCH || s0 > START) fatal("Unreasonable first state in hirschberg()\n");
    double T[4][5];
    read_table(*imodel, T);

    if (r - p > 2 && q <= s) {
        const int mid = (p + r) / 2;
        const int W = s - j0 + 1;
        rowscratch.assign(static_cast<std::size_t>(W) * 3 * 4, kUncomputed);
        double* f0 = rowscratch.data();  // forward row mid
        double* fm1 = f0 + W * 3;        // forward row mid - 1
        double* b0 = fm1 + W * 3;        // backward row mid
        double* b1 = b0 + W * 3;         // backward row mid + 1
        emis.reset(smodel.get());
        emission_cache& em = emis;

        // Forward pass over rows p .. mid, two rows kept.
        forward_rows fw{A.data(), B.data(), i0, j0, p, q, s, s0, T, &em};
        fw.first(fm1);
        for (int i = p; i <= mid; ++i) {
            fw.next(i, fm1, f0);
            if (i < mid) std::swap(f0, fm1);
        }

        // Backward pass over rows r .. mid, two rows kept.
        double* cur = b1;
        double* below = nullptr;
        for (int i = r; i >= mid; --i) {
            for (int j = s; j >= q; --j) {
                double* c = cur + (j - j0) * 3;
                for (int k = 0; k < 3; ++k) {
                    if (i == r && j == s) {
                        c[k] = (s1 == END) ? T[k][END] : 0.0;
                    } else if (i == r) {
                        c[k] = T[k][INSERTION] + em.f(B[j + 1]) + c[4];
                    } else if (j == s) {
                        c[k] = T[k][DELETION] + em.f(A[i + 1]) + below[(j - j0) * 3 + 2];
                    } else {
                        c[k] = addlog(T[k][DELETION] + em.f(A[i + 1]) + below[(j - j0) * 3 + 2],
                                      T[k][MATCH] + em.f(A[i + 1]) + em.p(A[i + 1], B[j + 1]) +
                                          below[(j + 1 - j0) * 3],
                                      T[k][INSERTION] + em.f(B[j + 1]) + c[4]);
                    }
                }
            }
            if (i > mid) {
                below = cur;
                cur = (cur == b1) ? b0 : b1;
            }
        }
        // cur holds row mid, below row mid + 1.
        b0 = cur;
        b1 = below;

        // Crossing of row mid.
        double best = -DBL_MAX;
        zustand kc = NOSTATE;
        int jc = q;
        for (int j = q; j <= s; ++j) {
            const double* fc = f0 + (j - j0) * 3;
            const double* bc = b0 + (j - j0) * 3;
            const zustand order[3] = {MATCH, INSERTION, DELETION};
            for (zustand k : order) {
                const double sc = fc[k] + bc[k];
                if (sc > best) {
                    best = sc;
                    kc = k;
                    jc = j;
                }
            }
        }

        // Left walk toward the start.
        std::vector<zustand> left;
        int ci = mid, cj = jc;
        zustand ck = kc;
        while (ci == mid || ck == INSERTION) {
            if (!is_column(ck)) fatal("Impossible state in hirschberg I\n");
            if ((ck == MATCH || ck == INSERTION) && cj == q) {
                // Only a deletion can precede a column holding B[q].
                if (ck == MATCH) --ci;
                cj = j0;
                ck = DELETION;
                left.push_back(ck);
                break;
            }
            int pi = ci, pj = cj;
            if (ck == MATCH) {
                --pi;
                --pj;
            } else if (ck == INSERTION) --pj;
            else --pi;
            const double* fr = (pi == mid ? f0 : fm1) + (pj - j0) * 3;
            const double cD = fr[2] + T[DELETION][ck];
            const double cM = fr[0] + T[MATCH][ck];
            const double cI = fr[1] + T[INSERTION][ck];
            const zustand nw = pick(cM, cI, cD);
            left.push_back(nw);
            ci = pi;
            cj = pj;
            ck = nw;
        }
        const int iL = ci, jL = cj;
        const zustand kL = ck;

        // Right walk toward the end.
        std::vector<zustand> right;
        ci = mid;
        cj = jc;
        ck = kc;
        while (ci == mid) {
            if (!is_column(ck)) {
                std::string t = "Impossible state in hirschberg II\nAha: \n";
                std::ostringstream os;
                for (int k = 0; k < 4; ++k) {
                    for (int l = 0; l < 5; ++l) os << T[k][l] << " ";
                    os << "\n";
                }
                fatal(t, os.str());
            }
            zustand nw;
            if (cj == s) {
                nw = DELETION;
            } else {
                const double fa = em.f(A[ci + 1]);
                const double cD = b1[(cj - j0) * 3 + 2] + T[ck][DELETION] + fa;
                const double cM =
                    b1[(cj + 1 - j0) * 3 + 0] + T[ck][MATCH] + fa + em.p(A[ci + 1], B[cj + 1]);
                const double cI = b0[(cj + 1 - j0) * 3 + 1] + T[ck][INSERTION] + em.f(B[cj + 1]);
                nw = pick(cM, cI, cD);
            }
            if (nw == MATCH) {
                ++ci;
                ++cj;
            } else if (nw == INSERTION) ++cj;
            else ++ci;
            right.push_back(nw);
            ck = nw;
        }
        const int iR = ci, jR = cj;
        const zustand kR = ck;

        std::vector<zustand> part;
        hirschberg(i0, j0, iL, jL, part, s0, kL);
        path = part;
        for (auto it = left.rbegin(); it != left.rend(); ++it) path.push_back(*it);
        path.push_back(kc);
        path.insert(path.end(), right.begin(), right.end());
        hirschberg(iR, jR, i1, j1, part, kR, s1);
        path.insert(path.end(), part.begin(), part.end());
    } else if (r < p || s < q) {
        for (int k = p; k <= r; ++k) path.push_back(DELETION);
        for (int k = q; k <= s; ++k) path.push_back(INSERTION);
    } else {
        std::vector<zustand> states;
        {
            align_graph g(*this, i0, j0, i1, j1, s0, s1);
            greedy_walk(g, A, B, i0, j0, i1, j1, s1, kHirschTexts, states);
        }
        path.assign(states.rbegin(), states.rend());
    }

    int na = 0, nb = 0;
    for (zustand st : path) {
        switch (st) {
        case MATCH:
            ++na;
            ++nb;
            break;
        case INSERTION: ++nb; break;
        case DELETION: ++na; break;
        default: fatal("Impossible state in Hirschberg algorithm\n");
        }
    }
    if ((na != r - i0 && i0 < r) || (nb != s - j0 && j0 < s))
        fatal("verw: ", na, " ", nb, "\n", i0, " ", r, " ", j0, " ", s, "\n");
}

// ---------------------------------------------------------------------------
// Branch-length estimation

void alignment::size_counts() {
    const int K = smodel->retalf();
    transcounts.assign(4, std::vector<double>(5, 0.0));
    substcounts.assign(K, std::vector<double>(K, 0.0));
}

void alignment::count_pair(int ca, int cb) {
    const int K = smodel->retalf();
    if (ca < K && cb < K) {
        substcounts[ca][cb] += 1.0;
    } else if (ca < K) {
        for (int b = 0; b < K; ++b) substcounts[ca][b] += 1.0 / K;
    } else if (cb < K) {
        for (int a = 0; a < K; ++a) substcounts[a][cb] += 1.0 / K;
    } else {
        for (int a = 0; a < K; ++a)
            for (int b = 0; b < K; ++b) substcounts[a][b] += 1.0 / (K * K);
    }
}

void alignment::count_path() {
    size_counts();
    int i = -1, j = -1;
    zustand prev = iter_zust(&i, &j);
    for (;;) {
        const int pi = i, pj = j;
        const zustand cur = iter_zust(&i, &j);
        if (!is_column(cur) && cur != END)
            fatal("unmoeglicher \"nextstate\" ", static_cast<int>(cur), " in opt_for_giv!!!\n");
        transcounts[prev][cur] += 1.0;
        if (cur == MATCH) count_pair((*seq1)[pi], (*seq2)[pj]);
        if (cur == END) break;
        prev = cur;
    }
}

// The one path of a pair with an empty sequence.
void alignment::forced_counts() {
    const int m = seq1->laen(), n = seq2->laen();
    if (m == 0 && n == 0) {
        transcounts[START][END] = 1.0;
    } else if (m == 0) {
        transcounts[START][INSERTION] = 1.0;
        transcounts[INSERTION][INSERTION] = n - 1;
        transcounts[INSERTION][END] = 1.0;
    } else {
        transcounts[START][DELETION] = 1.0;
        transcounts[DELETION][DELETION] = m - 1;
        transcounts[DELETION][END] = 1.0;
    }
}

void alignment::sample_paths() {
    const int m = seq1->laen(), n = seq2->laen();
    if (std::log(static_cast<double>(m + 1)) + std::log(static_cast<double>(n + 1)) >
        std::log(1500.0) + std::log(1500.0)) {
        hirschberg(true);
        return;
    }
    size_counts();
    if (m == 0 || n == 0) {
        forced_counts();
        return;
    }
    const bioseq& A = *seq1;
    const bioseq& B = *seq2;
    align_graph g(*this, -1, -1, m, n);
    for (int it = 0; it < 200; ++it) {
        int a = m, b = n;
        zustand st = END;
        while (a > 0 || b > 0) {
            const zustand nw = g.sampled_step(st, a, b);
            if (!is_column(nw)) fatal("unmoeglicher \"nextstate\" in resample!!!\n");
            transcounts[nw][st] += 1.0;
            switch (nw) {
            case MATCH:
                --a;
                --b;
                count_pair(A[a], B[b]);
                break;
            case INSERTION: --b; break;
            default: --a; break;
            }
            st = nw;
        }
        transcounts[START][st] += 1.0;
    }
    for (auto& row : substcounts)
        for (double& v : row) v /= 200.0;
    for (auto& row : transcounts)
        for (double& v : row) v /= 200.0;
}

double alignment::EMloglikl(double t, double s) {
    smodel->settime(t);
    imodel->fillP(t * s);
    double si = 0.0;
    for (std::size_t k = 0; k < transcounts.size(); ++k)
        for (std::size_t l = 0; l < transcounts[k].size(); ++l)
            if (transcounts[k][l] > 0.0)
                si +=
                    transcounts[k][l] * imodel->retlnprob(static_cast<int>(k), static_cast<int>(l));
    double ss = 0.0;
    for (std::size_t a = 0; a < substcounts.size(); ++a)
        for (std::size_t b = 0; b < substcounts[a].size(); ++b)
            if (substcounts[a][b] != 0.0)
                ss += substcounts[a][b] *
                      smodel->logProb_ij(static_cast<int>(a), static_cast<int>(b));
    return -(si + ss);
}

void alignment::optimal_time(double& t) {
    double before = DBL_MIN, last = 0.0;
    size_counts();
    for (int it = 0; it < 100; ++it) {
        if (it > 0) before = last;
        last = t;
        sample_paths();
        double fmin, curv;
        onedimenmin(1e-6, last, 1000.0, t, 1e-6, &fmin, &curv, 1.0, false);
        if (!std::isfinite(t)) {
            t = last;
            break;
        }
        if (std::fabs(t - last) < 0.01 || std::fabs(t - before) < 0.01) break;
    }
}

void alignment::optimal_time(double& t, double& s) {
    double bt = 0.0, bs = 0.0;
    size_counts();
    double x = t, y = s;
    for (int it = 0; it < 100; ++it) {
        if (it > 0) {
            bt = t;
            bs = s;
            t = x;
            s = y;
        }
        sample_paths();
        double se1, se2;
        twodimenmin(1e-6, 1, 1e-6, x, 1000.0, &se1, 1, 1e-6, y, 1000.0, &se2);
        if (!std::isfinite(x) || !std::isfinite(y)) {
            x = t;
            y = s;
            break;
        }
        if ((std::fabs(x - t) < 0.01 && std::fabs(y - s) < 0.01) ||
            (std::fabs(x - bt) < 0.01 && std::fabs(y - bs) < 0.01))
            break;
    }
    t = x;
    s = y;
}

double alignment::opt_for_giv() {
    const double t0 = smodel->timeOf();
    count_path();
    double x, fmin, curv;
    onedimenmin(1e-6, t0, 1000.0, x, 1e-6, &fmin, &curv, 1.0, false);
    return x;
}

// ---------------------------------------------------------------------------
// Line minimisers

double alignment::brent(double ax, double bx, double cx, double tol, double* fmin, double* curv,
                        double fa, double fb, double fc, double other, bool which) {
    auto f = [this, other, which](double x) {
        return which ? EMloglikl(other, x) : EMloglikl(x, other);
    };
    return brent_core(f, ax, bx, cx, tol, fmin, curv, fa, fb, fc);
}

void alignment::onedimenmin(double lo, double x0, double hi, double& xmin, double tol, double* fmin,
                            double* curv, double other, bool which) {
    auto f = [this, other, which](double x) {
        return which ? EMloglikl(other, x) : EMloglikl(x, other);
    };
    xmin = onedimenmin_core(f, lo, x0, hi, tol, fmin, curv);
}

void alignment::twodimenmin(double tol, int free1, double lo1, double& x1, double hi1, double* se1,
                            int free2, double lo2, double& x2, double hi2, double* se2) {
    auto f = [this](double t, double s) { return EMloglikl(t, s); };
    twodimenmin_core(f, tol, free1, lo1, x1, hi1, se1, free2, lo2, x2, hi2, se2);
}
