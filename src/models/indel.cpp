// The TKF insertion-deletion models: parameters, branch quantities,
// composed transition tables and the next-state samplers.
#include "models/indel.h"

#include <array>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

#include "sequence/fatal.h"
#include "sequence/precision.h"
#include "sequence/random.h"

namespace {

[[noreturn]] void count_mismatch() {
    fatal("The number of parameters needed by the indel model\n",
          "and the length of the parameter vector that was passed\n",
          "to its constructor are not equal.\n");
}

// Insertion rate positive (in single precision), below the deletion rate,
// both finite.
void check_rates(double lambda, double mu, idarch model) {
    if (!std::isfinite(lambda) || !std::isfinite(mu) || lambda >= mu ||
        single_precision(lambda) <= 0.0) {
        if (model == TKF2)
            fatal("In the TKF2 model the insertion rate has to be positive\n",
                  "and smaller than the deletion rate.\n");
        fatal("In the TKF1 model the insertion rate has to be positive\n",
              "and smaller than the deletion rate.\n");
    }
}

void check_fragment(double r) {
    if (!std::isfinite(r) || single_precision(r) <= 0.0 || single_precision(r) >= 1.0)
        fatal("The third parameter of the TKF2 model should be positive\n",
              "and smaller than 1.\n");
}

void check_pair_states(int from, int to) {
    if (from < 0 || from > START || to < 0 || to > END)
        fatal("At least one of the states that was passed\n", "to retprob is out of range.\n");
}

}  // namespace

indel::indel() : indel(0.001, 0.0011) {}

indel::indel(std::vector<double> p, idarch m) : model(m) {
    if (m != TKF1 && m != TKF2) fatal("Unknown indel model\n");
    const size_t need = (m == TKF1) ? 2 : 3;
    if (p.size() != need) count_mismatch();
    params = p;
    check_rates(params[0], params[1], m);
    if (m == TKF2) check_fragment(params[2]);
    tP = 1.0;
    tT.fill(1.0);
    tQ.fill(1.0);
    tH.fill(1.0);
    refill();
}

indel::indel(double lambda, double mu) : indel(std::vector<double>{lambda, mu}, TKF1) {}

indel indel::operator=(indel other) {
    params = std::move(other.params);
    model = other.model;
    tP = other.tP;
    tT = other.tT;
    tQ = other.tQ;
    tH = other.tH;
    P = other.P;
    T = other.T;
    Q = other.Q;
    H = other.H;
    return *this;
}

int indel::returnparams(std::vector<double>& v) const {
    v.resize(params.size());
    for (size_t i = 0; i < params.size(); ++i) v[i] = params[i];
    return static_cast<int>(model);
}

void indel::setparams(const std::vector<double>& v) {
    if (v.size() != params.size()) count_mismatch();
    params = v;
    refill();
}

void indel::refill() {
    fillP(tP);
    fillT(tT[0], tT[1]);
    fillQ(tQ[0], tQ[1], tQ[2]);
    fillH(tH[0], tH[1], tH[2], tH[3], tH[4]);
}

void indel::rescale(double x) {
    if (model != TKF1 && model != TKF2) fatal("Unknown indel model in function rescale\n");
    params[0] *= x;
    params[1] *= x;
}

double indel::logprob_of_seqlen(unsigned n) const {
    const double kappa = params[0] / params[1];
    const double ln1k = std::log1p(-kappa);
    if (model == TKF1) return static_cast<double>(n) * std::log(kappa) + ln1k;
    if (model == TKF2) {
        if (n == 0) return ln1k;
        const double r = params[2];
        return ln1k + std::log(kappa) + std::log1p(-r) +
               static_cast<double>(n - 1) * std::log(r + (1.0 - r) * kappa);
    }
    fatal("Unknown indel model\n");
}

double indel::retlnprob(int from, int to) const {
    check_pair_states(from, to);
    return P[from][to];
}

double indel::retprob(zustand from, zustand to) const {
    check_pair_states(from, to);
    return std::exp(P[from][to]);
}

double untidy_addlog(double a, double b) {
    if (a > b) return a + std::log(1.0 + std::exp(b - a));
    return b + std::log(1.0 + std::exp(a - b));
}

// Samplers of the next composite state given the known sequences' column.

namespace {

[[noreturn]] void unreasonable(int value, const char* where) {
    fatal("Unreasonable state ", value, where);
}

// Draws one of the candidates, weighted by their transition probabilities
// from row. Candidates without a possible entry are left out, unless none is
// possible; one uniform is drawn in every case.
template <class Row>
int draw(const Row& row, const int* cand, int n) {
    int keep[4];
    double w[4];
    int k = 0;
    for (int i = 0; i < n; ++i) {
        if (row[cand[i]] > -DBL_MAX) {
            keep[k] = cand[i];
            w[k++] = std::exp(row[cand[i]]);
        }
    }
    if (k == 0) {
        for (int i = 0; i < n; ++i) {
            keep[k] = cand[i];
            w[k++] = 0.0;
        }
    }
    return keep[randomchoice(w, k)];
}

bool in(int v, std::initializer_list<int> set) {
    for (int s : set)
        if (s == v) return true;
    return false;
}

}  // namespace

// ---------------------------------------------------------------- triplet

triplet_zus indel::nexttriplet(triplet_zus cur, zustand outer) const {
    if (cur < 0 || cur > TRIPLET_START) unreasonable(cur, " in function nexttriplet_wint\n");
    const double wh = std::exp(T[cur][TRIPLET_HIDDEN_N]);
    const double w[2] = {wh, 1.0 - wh};
    if (randomchoice(w, 2) == 0) return TRIPLET_HIDDEN_N;
    return nexttriplet_wint(cur, outer);
}

triplet_zus indel::nexttriplet_wint(triplet_zus cur, zustand outer) const {
    if (cur < 0 || cur > TRIPLET_START) unreasonable(cur, " in function nexttriplet_wint\n");
    int c[2];
    int n = 0;
    switch (outer) {
    case MATCH: c[n++] = 0; break;
    case INSERTION:
        c[n++] = 1;
        if (in(cur, {0, 2, 4, TRIPLET_START})) c[n++] = 4;
        else if (in(cur, {1, 5, TRIPLET_HIDDEN_N})) c[n++] = 5;
        break;
    case DELETION:
        c[n++] = 2;
        c[n++] = 3;
        break;
    case END: c[n++] = TRIPLET_END; break;
    default: unreasonable(outer, " in function nexttriplet\n");
    }
    return triplet_zus(draw(T[cur], c, n));
}

// ---------------------------------------------------------------- quartet

quart_zus indel::nextquartet(quart_zus cur, triplet_zus outer) const {
    if (cur < 0 || cur > QUART_START) unreasonable(cur, " in function nextquartet\n");
    const double wh = std::exp(Q[cur][QUART_HIDDEN_N]);
    const double w[2] = {wh, 1.0 - wh};
    if (randomchoice(w, 2) == 0) return QUART_HIDDEN_N;
    return nextquartet_wint(cur, outer);
}

quart_zus indel::nextquartet_wint(quart_zus cur, triplet_zus outer) const {
    if (cur < 0 || cur > QUART_START) unreasonable(cur, " in function nextquartet\n");
    int c[2];
    int n = 0;
    switch (static_cast<int>(outer)) {
    case 0: c[n++] = 0; break;
    case 1: c[n++] = 1; break;
    case 2: c[n++] = 2; break;
    case 3:
        if (in(cur, {0, 1, 2, 4, 11, 12, 14})) c[n++] = 14;
        else if (cur != 7) c[n++] = 13;
        c[n++] = 6;
        break;
    case 4:
    case 5:
        if (in(cur, {0, 2, 11})) c[n++] = 11;
        else if (in(cur, {1, 4, 12})) c[n++] = 12;
        else if (in(cur, {5, QUART_HIDDEN_N, 10})) c[n++] = 10;
        else if (!in(cur, {7, 13, 14})) c[n++] = 9;
        c[n++] = 5;
        break;
    case 6:
        c[n++] = 4;
        c[n++] = 7;
        break;
    case TRIPLET_END: c[n++] = QUART_END; break;
    case TRIPLET_OUTER_BC: c[n++] = 3; break;
    default: unreasonable(outer, " in function nextquartet\n");
    }
    return quart_zus(draw(Q[cur], c, n));
}

// ---------------------------------------------------------------- hextet

hex_zus indel::nexthextet(hex_zus cur, quart_zus outer) const {
    if (cur < 0 || cur > HEX_START) unreasonable(cur, " in function nexthextet\n");
    // Hidden states M (not after 10, where c is closed), N M, N; the marker
    // takes what is left, one weight subtracted at a time.
    int hid[3];
    double w[4];
    int n = 0;
    for (int h : {HEX_HIDDEN_M, HEX_HIDDEN_NM, HEX_HIDDEN_N}) {
        if (!(H[cur][h] > -DBL_MAX)) continue;
        hid[n] = h;
        w[n++] = std::exp(H[cur][h]);
    }
    double marker = 1.0;
    for (int k = 0; k < n; ++k) marker -= w[k];
    w[n] = marker;
    const int i = randomchoice(w, n + 1);
    if (i < n) return hex_zus(hid[i]);
    return nexthextet_wint(cur, outer);
}

hex_zus indel::nexthextet_wint(hex_zus cur, quart_zus outer) const {
    if (cur < 0 || cur > HEX_START) unreasonable(cur, " in function nexthextet\n");
    int c[3];
    int n = 0;
    switch (static_cast<int>(outer)) {
    case 0: c[n++] = 0; break;
    case 1: c[n++] = 4; break;
    case 2: c[n++] = 2; break;
    case 3: c[n++] = 11; break;
    case 4:
        c[n++] = 8;
        c[n++] = 6;
        break;
    case 5: c[n++] = 15; break;
    case 6: c[n++] = 13; break;
    case 7:
        c[n++] = 10;
        c[n++] = 9;
        c[n++] = 7;
        break;
    case 8:
        c[n++] = 19;
        c[n++] = 17;
        if (in(cur, {0, 1, 11, 12, 21, HEX_START})) c[n++] = 21;
        else if (in(cur, {2, 3, 13, 14, 22})) c[n++] = 22;
        else if (in(cur, {4, 5, 15, 16, 23})) c[n++] = 23;
        else if (in(cur, {6, 7, 17, HEX_HIDDEN_NM, 24})) c[n++] = 24;
        else if (in(cur, {8, 9, 19, HEX_HIDDEN_N, 25})) c[n++] = 25;
        break;
    case 9:
    case 10:
    case 11:
    case 12:
        c[n++] = 16;
        if ((cur >= 4 && cur <= 7) || (cur >= 15 && cur <= 18) ||
            in(cur, {23, 24, 28, HEX_HIDDEN_M, 31})) {
            c[n++] = 28;
            c[n++] = 31;
        } else if (in(cur, {8, 9, 19, HEX_HIDDEN_N, 25, 32})) {
            c[n++] = 28;
        } else if (cur != 10) {
            c[n++] = 28;
            c[n++] = 30;
        }
        break;
    case 13:
    case 14:
        c[n++] = 14;
        if (cur != 10) {
            c[n++] = 27;
            if (!in(cur, {8, 9, 19, HEX_HIDDEN_N, 25})) c[n++] = 32;
        }
        break;
    case QUART_END: c[n++] = HEX_END; break;
    case QUART_OUTER_UBC: c[n++] = 1; break;
    case QUART_OUTER_UB: c[n++] = 5; break;
    case QUART_OUTER_UC: c[n++] = 3; break;
    case QUART_OUTER_BC:
        c[n++] = 12;
        if (cur != 10) c[n++] = 26;
        break;
    default: unreasonable(outer, " in function nexthextet\n");
    }
    return hex_zus(draw(H[cur], c, n));
}

// Branch quantities and the composed transition tables P, T, Q, H.
//
// Every table follows one composition rule over a small rooted tree: the
// states' holder sets and branch statuses (beta, gamma, closed) decide which
// log terms make up an entry. The rule is evaluated once per tree into
// recipes (lists of term indices); a fill computes the branch logs and sums
// the terms of each recipe.

namespace {

// ---------------------------------------------------------------- branches

struct branch_q {
    double a;   // alpha
    double ca;  // 1 - alpha
    double b;   // beta
    double g;   // gamma
};

double clamp_q(double v) {
    if (single_precision(v) > 1.0) v = 1.0;
    if (v < DBL_MIN) v = DBL_MIN;
    return v;
}

// mu (1 - e^(-lambda t)) - lambda (1 - e^(-mu t)), the numerator of gamma.
// For short times as lambda mu d t^2 sum_k (-t)^k h_k / (k+2)! with
// d = mu - lambda and h_k = sum_j mu^j lambda^(k-j), free of cancellation.
double gamma_numerator(double lambda, double mu, double t) {
    const double d = mu - lambda;
    if (std::fmax(std::fabs(lambda), std::fabs(mu)) * t < 1.0) {
        double sum = 0.0, h = 1.0, mupow = 1.0, tpow = 1.0, fact = 2.0;
        for (int k = 0; k < 60; ++k) {
            const double term = tpow * h / fact;
            sum += term;
            if (std::fabs(term) <= 1e-17 * std::fabs(sum)) break;
            mupow *= mu;
            h = mupow + lambda * h;
            tpow *= -t;
            fact *= static_cast<double>(k + 3);
        }
        return lambda * mu * d * t * t * sum;
    }
    return lambda * std::expm1(-mu * t) - mu * std::expm1(-lambda * t);
}

// alpha, beta, gamma of a branch, clamped; at time 0 their limits 1, 0, 0.
branch_q branch_quantities(double lambda, double mu, double t) {
    branch_q q{1.0, 0.0, 0.0, 0.0};
    const double ca = -std::expm1(-mu * t);
    if (t > 0.0 && ca != 0.0) {
        const double d = mu - lambda;
        const double emd = std::expm1(-d * t);  // e^(-dt) - 1
        const double den = d - lambda * emd;    // mu - lambda e^(-dt)
        const double g = std::exp(-d * t) * gamma_numerator(lambda, mu, t) / (ca * den);
        // For subnormal times the quotient of gamma can be 0/0: such a time
        // counts as 0. Rates out of order keep their values that are not finite.
        if (std::isfinite(g) || !(lambda < mu)) {
            q.a = std::exp(-mu * t);
            q.ca = ca;
            q.b = -lambda * emd / den;
            q.g = g;
        }
    }
    const double a = clamp_q(q.a);
    if (a != q.a && a == 1.0) q.ca = 0.0;
    q.a = a;
    q.b = clamp_q(q.b);
    q.g = clamp_q(q.g);
    return q;
}

// ---------------------------------------------------------------- trees

enum status_t : int { S_BETA = 0, S_GAMMA = 1, S_CLOSED = 2, S_ANY = -1 };
enum origin_t : int { O_INSERTED = 0, O_DESCENDED = 1 };
enum kind_t : int { K_EMIT, K_INS, K_START, K_END };

constexpr int maxbranch = 5;
constexpr int maxterms = 12;

struct state_def {
    int kind;
    unsigned holders;    // bit per role
    int branch;          // insertions: the branch inserted on
    int req[maxbranch];  // variant condition per branch
    int origin_req;
};

struct tree_def {
    int nbranch;
    int parent[maxbranch];  // roles at the ends of each branch
    int child[maxbranch];
    int slot[maxbranch];            // post-order, the root's branch last
    int origin_branch;              // quartet: branch a (origin of N's residue), else -1
    std::vector<state_def> states;  // values 0 .. end
};

state_def emit(unsigned h) { return {K_EMIT, h, -1, {S_ANY, S_ANY, S_ANY, S_ANY, S_ANY}, S_ANY}; }
state_def ins(int x, unsigned h,
              std::array<int, maxbranch> req = {S_ANY, S_ANY, S_ANY, S_ANY, S_ANY},
              int origin = S_ANY) {
    return {K_INS, h, x, {req[0], req[1], req[2], req[3], req[4]}, origin};
}
state_def frame(int kind) { return {kind, 0u, -1, {S_ANY, S_ANY, S_ANY, S_ANY, S_ANY}, S_ANY}; }

constexpr int X = S_ANY, Bt = S_BETA, Gm = S_GAMMA, Cl = S_CLOSED;

tree_def pair_tree() {
    enum { A, B };
    tree_def t{1, {A}, {B}, {0}, -1, {}};
    const unsigned aa = role_bit(A), bb = role_bit(B);
    t.states = {emit(aa | bb), ins(0, bb), emit(aa), frame(K_START), frame(K_END)};
    return t;
}

tree_def triplet_tree() {
    using namespace triplet_role;
    enum { b, c };
    tree_def t{2, {N, N}, {B, C}, {b, c}, -1, {}};
    const unsigned n = role_bit(N), bb = role_bit(B), cc = role_bit(C);
    t.states = {emit(n | bb | cc),
                emit(n | bb),
                emit(n | cc),
                ins(c, cc),
                ins(b, bb, {X, Bt, X, X, X}),
                ins(b, bb, {X, Gm, X, X, X}),
                emit(n),
                frame(K_START),
                frame(K_END)};
    return t;
}

tree_def quartet_tree() {
    using namespace quart_role;
    enum { a, b, c };
    tree_def t{3, {U, N, N}, {N, B, C}, {b, c, a}, a, {}};
    const int I = O_INSERTED, D = O_DESCENDED;
    const unsigned u = role_bit(U), n = role_bit(N), bb = role_bit(B), cc = role_bit(C);
    t.states = {emit(u | n | bb | cc),
                emit(u | n | bb),
                emit(u | n | cc),
                ins(a, n | bb | cc),
                emit(u | n),
                ins(a, n | bb),
                ins(a, n | cc),
                emit(u),
                ins(a, n),
                ins(b, bb, {X, X, Bt, X, X}, I),
                ins(b, bb, {X, X, Gm, X, X}, I),
                ins(b, bb, {X, X, Bt, X, X}, D),
                ins(b, bb, {X, X, Gm, X, X}, D),
                ins(c, cc, {X, X, X, X, X}, I),
                ins(c, cc, {X, X, X, X, X}, D),
                frame(K_START),
                frame(K_END)};
    return t;
}

tree_def hextet_tree() {
    using namespace hex_role;
    enum { a, b, c, d, e };
    tree_def t{5, {U, N, N, M, M}, {N, B, M, D, E}, {b, d, e, c, a}, -1, {}};
    const unsigned u = role_bit(U), n = role_bit(N), bb = role_bit(B), m = role_bit(M),
                   dd = role_bit(D), ee = role_bit(E);
    t.states = {emit(u | n | m | bb | dd | ee),
                emit(u | n | m | dd | ee),
                emit(u | n | m | bb | ee),
                emit(u | n | m | ee),
                emit(u | n | m | bb | dd),
                emit(u | n | m | dd),
                emit(u | n | m | bb),
                emit(u | n | m),
                emit(u | n | bb),
                emit(u | n),
                emit(u),
                ins(a, n | m | bb | dd | ee),
                ins(a, n | m | dd | ee),
                ins(a, n | m | bb | ee),
                ins(a, n | m | ee),
                ins(a, n | m | bb | dd),
                ins(a, n | m | dd),
                ins(a, n | m | bb),
                ins(a, n | m),
                ins(a, n | bb),
                ins(a, n),
                ins(b, bb, {X, X, Bt, Bt, Bt}),
                ins(b, bb, {X, X, Bt, Gm, Bt}),
                ins(b, bb, {X, X, Bt, Bt, Gm}),
                ins(b, bb, {X, X, Bt, Gm, Gm}),
                ins(b, bb, {X, X, Gm, Cl, Cl}),
                ins(c, m | dd | ee),
                ins(c, m | ee),
                ins(c, m | dd),
                ins(c, m),
                ins(d, dd, {X, X, X, X, Bt}),
                ins(d, dd, {X, X, X, X, Gm}),
                ins(e, ee),
                frame(K_START),
                frame(K_END)};
    return t;
}

// ---------------------------------------------------------------- recipes

struct row_status {
    int st[maxbranch];
    int origin;
    bool known;
};

struct recipe {
    int n;  // number of terms; -1 for an impossible entry
    std::uint8_t idx[maxterms];
};

struct table_recipe {
    int rows = 0, cols = 0;
    std::vector<recipe> e;  // rows * cols
    std::vector<int> rep;   // first row with the same recipes
};

// Term indices: 6 per branch (ln a, ln(1-a), ln b, ln(1-b), ln g, ln(1-g)),
// then ln kappa and ln(1 - kappa).
enum { T_LA = 0, T_LCA, T_LB, T_L1B, T_LG, T_L1G };
int term(int branch, int which) { return 6 * branch + which; }

// Is the parent role of branch z in the subtree rooted at role w?
bool below(const tree_def& t, int z, int w) {
    int r = t.parent[z];
    for (;;) {
        if (r == w) return true;
        int up = -1;
        for (int y = 0; y < t.nbranch; ++y)
            if (t.child[y] == r) up = t.parent[y];
        if (up < 0) return false;
        r = up;
    }
}

int slot_pos(const tree_def& t, int y) {
    for (int i = 0; i < t.nbranch; ++i)
        if (t.slot[i] == y) return i;
    return -1;
}

void emission_status(const tree_def& t, unsigned holders, int z, int* st) {
    const bool p = holders & role_bit(t.parent[z]);
    const bool c = holders & role_bit(t.child[z]);
    st[z] = p ? (c ? S_BETA : S_GAMMA) : S_CLOSED;
}

// Statuses (and origin) that state s leaves after a row with statuses `from`.
row_status leave(const tree_def& t, int s, const row_status& from) {
    const state_def& d = t.states[s];
    row_status out = from;
    out.known = true;
    if (d.kind == K_START) {
        for (int y = 0; y < t.nbranch; ++y) out.st[y] = S_BETA;
        out.origin = O_INSERTED;
    } else if (d.kind == K_EMIT) {
        for (int y = 0; y < t.nbranch; ++y) emission_status(t, d.holders, y, out.st);
        if (t.origin_branch >= 0)
            out.origin =
                (d.holders & role_bit(t.child[t.origin_branch])) ? O_DESCENDED : O_INSERTED;
    } else if (d.kind == K_INS) {
        const int x = d.branch;
        const int px = slot_pos(t, x);
        for (int y = 0; y < t.nbranch; ++y) {
            if (y == x) {
                out.st[y] = S_BETA;
            } else if (below(t, y, t.child[x])) {
                emission_status(t, d.holders, y, out.st);
            } else if (slot_pos(t, y) < px) {
                out.st[y] = S_CLOSED;
            }
        }
        if (x == t.origin_branch) out.origin = O_INSERTED;
    }
    return out;
}

void add_term(recipe& r, int i) {
    if (r.n >= maxterms) fatal("Internal error: too many terms in a composed table entry\n");
    r.idx[r.n++] = static_cast<std::uint8_t>(i);
}

void pass_term(recipe& r, const row_status& rs, int y) {
    if (rs.st[y] == S_BETA) add_term(r, term(y, T_L1B));
    if (rs.st[y] == S_GAMMA) add_term(r, term(y, T_L1G));
}

void descent(recipe& r, const tree_def& t, int w, unsigned holders) {
    for (int z = 0; z < t.nbranch; ++z) {
        if (!below(t, z, w) || !(holders & role_bit(t.parent[z]))) continue;
        add_term(r, term(z, (holders & role_bit(t.child[z])) ? T_LA : T_LCA));
    }
}

bool possible_step(const tree_def& t, const row_status& rs, int s) {
    const state_def& d = t.states[s];
    if (d.kind == K_START) return false;
    if (d.kind != K_INS) return true;
    if (rs.st[d.branch] == S_CLOSED) return false;
    for (int y = 0; y < t.nbranch; ++y)
        if (d.req[y] != S_ANY && d.req[y] != rs.st[y]) return false;
    if (d.origin_req != S_ANY && d.origin_req != rs.origin) return false;
    return true;
}

recipe entry_recipe(const tree_def& t, const row_status& rs, int s) {
    recipe r{};
    r.n = 0;
    if (!possible_step(t, rs, s)) {
        r.n = -1;
        return r;
    }
    const state_def& d = t.states[s];
    const int kt = 6 * t.nbranch;
    if (d.kind == K_END || d.kind == K_EMIT) {
        for (int i = 0; i < t.nbranch; ++i) pass_term(r, rs, t.slot[i]);
        if (d.kind == K_END) {
            add_term(r, kt + 1);
        } else {
            add_term(r, kt);
            descent(r, t, t.parent[t.slot[t.nbranch - 1]], d.holders);
        }
        return r;
    }
    const int x = d.branch;
    for (int i = 0; i < slot_pos(t, x); ++i) pass_term(r, rs, t.slot[i]);
    add_term(r, term(x, rs.st[x] == S_BETA ? T_LB : T_LG));
    descent(r, t, t.child[x], d.holders);
    return r;
}

bool same_recipe(const recipe& a, const recipe& b) {
    if (a.n != b.n) return false;
    for (int i = 0; i < a.n; ++i)
        if (a.idx[i] != b.idx[i]) return false;
    return true;
}

table_recipe build(const tree_def& t) {
    const int nstates = static_cast<int>(t.states.size());
    const int start = nstates - 2;
    table_recipe tr;
    tr.rows = start + 1;
    tr.cols = nstates;
    // Statuses left by each row, from the start state onwards.
    std::vector<row_status> rows(tr.rows);
    for (auto& r : rows) r.known = false;
    row_status none{};
    rows[start] = leave(t, start, none);
    bool changed = true;
    while (changed) {
        changed = false;
        for (int s = 0; s < tr.rows; ++s) {
            if (!rows[s].known) continue;
            for (int n = 0; n < start; ++n) {
                if (!possible_step(t, rows[s], n)) continue;
                const row_status l = leave(t, n, rows[s]);
                if (!rows[n].known) {
                    rows[n] = l;
                    changed = true;
                } else {
                    bool same = true;
                    for (int y = 0; y < t.nbranch; ++y) same = same && rows[n].st[y] == l.st[y];
                    // The origin matters only while a branch below N is open.
                    if (t.origin_branch >= 0) {
                        bool open = false;
                        for (int z = 0; z < t.nbranch; ++z)
                            open = open || (below(t, z, t.child[t.origin_branch]) &&
                                            rows[n].st[z] != S_CLOSED);
                        if (open) same = same && rows[n].origin == l.origin;
                    }
                    if (!same)
                        fatal("Internal error: a composed table row has no well-defined status\n");
                }
            }
        }
    }
    tr.e.resize(static_cast<size_t>(tr.rows * tr.cols));
    tr.rep.resize(tr.rows);
    for (int s = 0; s < tr.rows; ++s) {
        if (!rows[s].known) fatal("Internal error: a composed table row was never reached\n");
        for (int n = 0; n < tr.cols; ++n) tr.e[s * tr.cols + n] = entry_recipe(t, rows[s], n);
    }
    for (int s = 0; s < tr.rows; ++s) {
        tr.rep[s] = s;
        for (int o = 0; o < s; ++o) {
            bool same = true;
            for (int n = 0; n < tr.cols && same; ++n)
                same = same_recipe(tr.e[s * tr.cols + n], tr.e[o * tr.cols + n]);
            if (same) {
                tr.rep[s] = o;
                break;
            }
        }
    }
    return tr;
}

const table_recipe& recipe_P() {
    static const table_recipe r = build(pair_tree());
    return r;
}
const table_recipe& recipe_T() {
    static const table_recipe r = build(triplet_tree());
    return r;
}
const table_recipe& recipe_Q() {
    static const table_recipe r = build(quartet_tree());
    return r;
}
const table_recipe& recipe_H() {
    static const table_recipe r = build(hextet_tree());
    return r;
}

std::vector<unsigned> holders_of(const tree_def& t) {
    std::vector<unsigned> h;
    for (const state_def& d : t.states) h.push_back(d.holders);
    return h;
}

// ---------------------------------------------------------------- fills

struct terms_t {
    double v[6 * maxbranch + 2];
    bool zero[6 * maxbranch + 2];  // the factor's probability is 0
};

void branch_terms(terms_t& tm, int k, double lambda, double mu, double t) {
    const branch_q q = branch_quantities(lambda, mu, t);
    double* v = tm.v + 6 * k;
    v[T_LA] = std::log(q.a);
    v[T_LCA] = std::log(q.ca);
    v[T_LB] = std::log(q.b);
    v[T_L1B] = std::log1p(-q.b);
    v[T_LG] = std::log(q.g);
    v[T_L1G] = std::log1p(-q.g);
    for (int i = 0; i < 6; ++i) tm.zero[6 * k + i] = (v[i] == -HUGE_VAL);
}

template <size_t R, size_t C>
void fill_table(std::array<std::array<double, C>, R>& tab, const table_recipe& tr,
                const terms_t& tm, const std::vector<double>& params, idarch model) {
    for (size_t s = 0; s < R; ++s) {
        const size_t rep = static_cast<size_t>(tr.rep[s]);
        if (rep != s) {
            tab[s] = tab[rep];
            continue;
        }
        for (size_t n = 0; n < C; ++n) {
            const recipe& r = tr.e[s * C + n];
            if (r.n < 0) {
                tab[s][n] = -DBL_MAX;
                continue;
            }
            bool zero = tm.zero[r.idx[0]];
            double sum = tm.v[r.idx[0]];
            for (int i = 1; i < r.n; ++i) {
                zero = zero || tm.zero[r.idx[i]];
                sum += tm.v[r.idx[i]];
            }
            tab[s][n] = zero ? -DBL_MAX : sum;
        }
    }
    if (model != TKF2) return;
    // Fragment pass: a column repeats the state before it with probability r.
    const double lnr = std::log(params[2]);
    const double ln1r = std::log1p(-params[2]);
    for (size_t s = 0; s + 1 < R; ++s) {
        for (size_t n = 0; n < C; ++n) {
            if (tab[s][n] > -DBL_MAX) tab[s][n] += ln1r;
            if (n == s) tab[s][n] = untidy_addlog(lnr, tab[s][n]);
        }
    }
}

void check_model(idarch model) {
    if (model != TKF1 && model != TKF2) fatal("Unknown indel model\n");
}

void kappa_terms(terms_t& tm, int nbranch, const std::vector<double>& params) {
    const double kappa = params[0] / params[1];
    tm.v[6 * nbranch] = std::log(kappa);
    tm.v[6 * nbranch + 1] = std::log1p(-kappa);
    tm.zero[6 * nbranch] = false;
    tm.zero[6 * nbranch + 1] = false;
}

}  // namespace

const std::vector<unsigned>& triplet_holder_table() {
    static const std::vector<unsigned> h = holders_of(triplet_tree());
    return h;
}

const std::vector<unsigned>& quart_holder_table() {
    static const std::vector<unsigned> h = holders_of(quartet_tree());
    return h;
}

const std::vector<unsigned>& hex_holder_table() {
    static const std::vector<unsigned> h = holders_of(hextet_tree());
    return h;
}

double indel::tkf1_alpha(double mu, double t) const { return branch_quantities(0.0, mu, t).a; }

double indel::tkf1_beta(double lambda, double mu, double t) const {
    return branch_quantities(lambda, mu, t).b;
}

double indel::tkf1_gamma(double lambda, double mu, double t) const {
    return branch_quantities(lambda, mu, t).g;
}

void indel::fillP(double t) {
    tP = t;
    check_model(model);
    terms_t tm;
    branch_terms(tm, 0, params[0], params[1], t);
    kappa_terms(tm, 1, params);
    fill_table(P, recipe_P(), tm, params, model);
}

void indel::fillT(double tb, double tc) {
    tT = {tb, tc};
    check_model(model);
    terms_t tm;
    branch_terms(tm, 0, params[0], params[1], tb);
    branch_terms(tm, 1, params[0], params[1], tc);
    kappa_terms(tm, 2, params);
    fill_table(T, recipe_T(), tm, params, model);
}

void indel::fillQ(double ta, double tb, double tc) {
    tQ = {ta, tb, tc};
    check_model(model);
    terms_t tm;
    branch_terms(tm, 0, params[0], params[1], ta);
    branch_terms(tm, 1, params[0], params[1], tb);
    branch_terms(tm, 2, params[0], params[1], tc);
    kappa_terms(tm, 3, params);
    fill_table(Q, recipe_Q(), tm, params, model);
}

void indel::fillH(double ta, double tb, double tc, double td, double te) {
    tH = {ta, tb, tc, td, te};
    check_model(model);
    terms_t tm;
    const double ts[5] = {ta, tb, tc, td, te};
    for (int k = 0; k < 5; ++k) branch_terms(tm, k, params[0], params[1], ts[k]);
    kappa_terms(tm, 5, params);
    fill_table(H, recipe_H(), tm, params, model);
}
