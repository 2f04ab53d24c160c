// States the sampler reaches, checked against direct computations: every
// tree it builds holds complete, mutually consistent branch alignments over
// the unchanged leaves; its log likelihood equals the TKF link probabilities
// along every branch plus the substitution part summed over all unobserved
// states of every column; and every tree move and parameter proposal is
// taken or refused by the annealed rule on the last uniform it drew.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "sampler/mult_align.h"
#include "sampler_fixtures.h"
#include "sequence/random.h"
#include "support/subprocess.h"

namespace {

using samplertest::all_nodes;
using samplertest::bits_equal;
using samplertest::capture_out;
using samplertest::drawn_since;
using samplertest::uniform_at;

// ---------------------------------------------------------------------------
// Substitution: P(t) = exp(Qt) from the model's exchangeabilities

using mat4 = std::array<std::array<double, 4>, 4>;

mat4 times(const mat4& a, const mat4& b) {
    mat4 c{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            for (int k = 0; k < 4; ++k) c[i][j] += a[i][k] * b[k][j];
    return c;
}

// Scaling and squaring of the Taylor series.
mat4 expm(const mat4& Q, double t) {
    double norm = 0.0;
    for (const auto& row : Q) {
        double s = 0.0;
        for (double v : row) s += std::fabs(v);
        norm = std::max(norm, s * t);
    }
    int halvings = 0;
    while (norm > 0.05) {
        norm /= 2;
        ++halvings;
    }
    const double h = std::ldexp(t, -halvings);
    mat4 E{}, term{};
    for (int i = 0; i < 4; ++i) E[i][i] = term[i][i] = 1.0;
    for (int k = 1; k <= 20; ++k) {
        mat4 next{};
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) {
                for (int l = 0; l < 4; ++l) next[i][j] += term[i][l] * Q[l][j] * h;
                next[i][j] /= k;
            }
        term = next;
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) E[i][j] += term[i][j];
    }
    for (int k = 0; k < halvings; ++k) E = times(E, E);
    return E;
}

struct nucmodel {
    std::array<double, 4> pi;
    mat4 Q;  // 0.01 expected changes per PAM unit at equilibrium
};

// Exchangeabilities AC, AG, AT, CG, CT, GT of a kind and its parameters
// (nucleotides A, C, G, T are states 0 to 3).
nucmodel nucleotide_model(subarch kind, const std::vector<double>& params,
                          std::array<double, 4> pi) {
    std::array<double, 6> s{1, 1, 1, 1, 1, 1};
    if (kind == HKY) s[1] = s[4] = 2 * params.at(0);
    else if (kind == GENREV) std::copy(params.begin(), params.end(), s.begin());
    else if (kind == JC69) pi = {0.25, 0.25, 0.25, 0.25};
    else if (kind != FEL81) ADD_FAILURE() << "no direct form for kind " << kind;
    nucmodel m{pi, {}};
    const int pairs[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
    for (int k = 0; k < 6; ++k) {
        const int i = pairs[k][0], j = pairs[k][1];
        m.Q[i][j] = s[k] * pi[j];
        m.Q[j][i] = s[k] * pi[i];
    }
    double total = 0.0;
    for (int i = 0; i < 4; ++i) {
        double out = 0.0;
        for (int j = 0; j < 4; ++j)
            if (j != i) out += m.Q[i][j];
        m.Q[i][i] = -out;
        total += pi[i] * out;
    }
    for (auto& row : m.Q)
        for (double& v : row) v *= 0.01 / total;
    return m;
}

// ---------------------------------------------------------------------------
// Insertions and deletions: TKF links
//
// Birth rate lambda, death rate mu, time t; alpha = exp(-mu t) the survival
// of a residue, beta = lambda (1 - e) / (mu - lambda e) with
// e = exp(-(mu - lambda) t), gamma the chance that a dead residue has left
// descendants, 1 - gamma = mu (1 - e) / ((1 - alpha)(mu - lambda e)).
// Given the ancestor, each link independently has:
//   the immortal link, n inserted residues:         (1 - beta) beta^n
//   a surviving residue, n inserted after it:        alpha (1 - beta) beta^n
//   a dead residue, none inserted:                   (1 - alpha)(1 - gamma)
//   a dead residue, n >= 1 inserted:                 (1 - alpha) gamma (1 - beta) beta^(n-1)
// and an ancestor has n links with chance (1 - kappa) kappa^n, kappa =
// lambda / mu. In the fragment model (r > 0) the links carry fragments of
// k residues with chance (1 - r) r^(k-1); a run of k equal columns can be cut
// into fragments in every way, and the sum over the cuts of a run whose
// fragments weigh x each is (1 - r) x (r + (1 - r) x)^(k-1) (x^k for r = 0).

struct tkfmodel {
    double lambda, mu, r;
};

double ln_run(int k, double x, double r) {
    return std::log1p(-r) + std::log(x) + (k - 1) * std::log(r + (1 - r) * x);
}

double ln_length(unsigned n, const tkfmodel& m) {
    const double kappa = m.lambda / m.mu;
    return std::log1p(-kappa) + (n > 0 ? ln_run(static_cast<int>(n), kappa, m.r) : 0.0);
}

// Joint log probability of an ancestor and a descendant aligned by path
// ('M', 'D' ancestor residue alone, 'I' descendant residue alone).
double ln_pair(const std::string& path, const tkfmodel& m, double t) {
    const double kappa = m.lambda / m.mu;
    const double alpha = std::exp(-m.mu * t);
    const double e = std::exp(-(m.mu - m.lambda) * t);
    const double one_e = -std::expm1(-(m.mu - m.lambda) * t);
    const double beta = m.lambda * one_e / (m.mu - m.lambda * e);
    const double dead_alone = m.mu * one_e / (-std::expm1(-m.mu * t) * (m.mu - m.lambda * e));
    const double gamma = 1 - dead_alone;
    size_t p = 0;
    auto run_of = [&](char c) {
        const size_t q = path.find_first_not_of(c, p);
        const int k = static_cast<int>((q == std::string::npos ? path.size() : q) - p);
        p += k;
        return k;
    };
    double L = std::log1p(-kappa) + std::log1p(-beta);
    if (int k = run_of('I')) L += ln_run(k, beta, m.r);
    while (p < path.size()) {
        const char c = path[p];
        const int k = run_of(c);
        const int ins = run_of('I');
        if (c == 'M') {
            L += ln_run(k, kappa * alpha * (1 - beta), m.r);
            if (ins) L += ln_run(ins, beta, m.r);
        } else {
            L += ln_run(k, kappa * (1 - alpha) * dead_alone, m.r);
            // The last dead residue of the run takes the insertions that follow.
            if (ins)
                L += std::log(gamma * (1 - beta) / (dead_alone * beta)) + ln_run(ins, beta, m.r);
        }
    }
    return L;
}

// ---------------------------------------------------------------------------
// A tree read directly from its nodes and maps

struct readtree {
    std::vector<baum*> nodes;               // pre-order, the root leaf first
    std::vector<int> up;                    // index of the parent, -1 for the root
    std::vector<double> t;                  // length of the branch to the parent
    std::vector<std::string> path;          // alignment of that branch, parent first
    std::vector<std::vector<int>> columns;  // leaf columns: a code per node, -1 none
    std::string fault;
};

// The path of two position maps (first sequence's map first): each
// residue maps to its partner or, unmatched, to the last residue of the
// other sequence before it. Empty with a fault when the maps are not one
// complete path.
std::string walk(const std::vector<int>& a, const std::vector<int>& b, std::string& fault) {
    const int m = static_cast<int>(a.size()), n = static_cast<int>(b.size());
    std::string path;
    int i = 0, j = 0;
    while (i < m || j < n) {
        if (i < m && j < n && a[i] == j && b[j] == i) {
            path += 'M', ++i, ++j;
        } else if (i < m && a[i] == j - 1) {
            path += 'D', ++i;
        } else if (j < n && b[j] == i - 1) {
            path += 'I', ++j;
        } else {
            fault = "maps disagree at " + std::to_string(i) + ", " + std::to_string(j);
            return "";
        }
    }
    return path;
}

int find(std::vector<int>& uf, int x) {
    while (uf[x] != x) x = uf[x] = uf[uf[x]];
    return x;
}

readtree read_tree(baum* root) {
    readtree rt;
    all_nodes(root, nullptr, rt.nodes);
    const int N = static_cast<int>(rt.nodes.size());
    std::map<baum*, int> index;
    for (int k = 0; k < N; ++k) index[rt.nodes[k]] = k;
    rt.up.assign(N, -1);
    rt.t.assign(N, 0.0);
    rt.path.assign(N, "");
    std::vector<int> offset(N + 1, 0);
    for (int k = 0; k < N; ++k) offset[k + 1] = offset[k] + rt.nodes[k]->seq.laen();
    std::vector<int> uf(offset[N]);
    std::iota(uf.begin(), uf.end(), 0);
    for (int k = 0; k < N; ++k) {
        baum* x = rt.nodes[k];
        for (neighbor& down : x->neighbors) {
            if (down.isparent) continue;
            baum* y = down.node;
            const int c = index.at(y);
            const neighbor& back = y->neighbors[y->whichone(x)];
            if (!back.isparent || !bits_equal(back.brl, down.brl))
                rt.fault = "branch halves differ below node " + std::to_string(k);
            rt.up[c] = k;
            rt.t[c] = down.brl;
            if (down.posmap.size() != x->seq.size() || back.posmap.size() != y->seq.size()) {
                rt.fault = "map sizes differ from the sequences";
                return rt;
            }
            rt.path[c] = walk(down.posmap, back.posmap, rt.fault);
            if (!rt.fault.empty()) return rt;
            int i = 0, j = 0;
            for (char s : rt.path[c]) {
                if (s == 'M') uf[find(uf, offset[k] + i)] = find(uf, offset[c] + j);
                i += s != 'I';
                j += s != 'D';
            }
        }
    }
    std::map<int, std::vector<int>> byclass;
    for (int k = 0; k < N; ++k) {
        if (!rt.nodes[k]->isLeaf()) continue;
        for (int i = 0; i < rt.nodes[k]->seq.laen(); ++i) {
            std::vector<int>& col = byclass[find(uf, offset[k] + i)];
            if (col.empty()) col.assign(N, -1);
            col[k] = rt.nodes[k]->seq[i];
        }
    }
    for (auto& [cls, col] : byclass) rt.columns.push_back(col);
    // A residue class never holds two residues of one node.
    std::vector<std::set<int>> seen(offset[N]);
    for (int k = 0; k < N; ++k)
        for (int i = offset[k]; i < offset[k + 1]; ++i)
            if (!seen[find(uf, i)].insert(k).second) rt.fault = "two residues of one node joined";
    return rt;
}

// ln P of the tree under the two models: the root's length, every branch's
// descendant given its ancestor, and every leaf column summed over the
// states of all nodes without a residue in it.
double direct_loglik(const readtree& rt, const nucmodel& sub, const tkfmodel& ind) {
    const int N = static_cast<int>(rt.nodes.size());
    double L = ln_length(static_cast<unsigned>(rt.nodes[0]->seq.size()), ind);
    std::vector<mat4> P(N);
    for (int c = 1; c < N; ++c) {
        const unsigned above = static_cast<unsigned>(rt.nodes[rt.up[c]]->seq.size());
        // The pair's joint probability over the ancestor's own length.
        L += ln_pair(rt.path[c], ind, rt.t[c]) - ln_length(above, ind);
        P[c] = expm(sub.Q, rt.t[c]);
    }
    for (const std::vector<int>& col : rt.columns) {
        std::vector<int> open;
        for (int k = 0; k < N; ++k)
            if (col[k] < 0) open.push_back(k);
        std::vector<int> x = col;
        double sum = 0.0;
        for (long code = 0; code < (1L << (2 * open.size())); ++code) {
            for (size_t k = 0; k < open.size(); ++k) x[open[k]] = (code >> (2 * k)) & 3;
            double p = sub.pi[x[0]];
            for (int c = 1; c < N; ++c) p *= P[c][x[rt.up[c]]][x[c]];
            sum += p;
        }
        L += std::log(sum);
    }
    return L;
}

// ---------------------------------------------------------------------------
// Runs

struct runcase {
    const char* name;
    std::vector<std::string> seqs;  // named A, B, C, ...
    const char* guide;
    int type;
    std::string models;  // SUBST and INDEL sections, KEEP if any
    const char* delta;   // half-width of the branch shifts
};

void PrintTo(const runcase& c, std::ostream* os) { *os << c.name; }

const std::vector<runcase> kRuns{
    {"five_hky_tkf1_resolved_at_random",
     {"ACGTTGCAACGTAGCTAGCTAGGATC", "ACGTTGCAACGTTGCTAGCAGGATC", "ACTTTGCAACGAAGCTAGCTAGGCATC",
      "ACGATGCAAGGTAGCTTGCTAGGA", "ACGATGCAGGGTAGCTTGCAAGGATTC"},
     "((A,B),C,D,E);",
     0,
     "SUBST:\nmodel = HKY\nparameter = (2.0)\nfreqs = (0.3, 0.2, 0.2, 0.3)\n"
     "INDEL:\nmodel = TKF1\nparameter = (0.02, 0.022)\n",
     "2"},
    {"four_genrev_tkf2_neighbour_joining",
     {"GATTACAGATTACATTGACCA", "GATTCCAGATTAGATTGACA", "GTTACAGAATTACATTGACGCA",
      "GATTACAGTTTACATGACCA"},
     "(A,B,C,D);",
     1,
     "SUBST:\nmodel = GENREV\nparameter = (1.0, 2.0, 0.5, 0.8, 2.5, 1.0)\n"
     "freqs = (0.3, 0.2, 0.2, 0.3)\n"
     "INDEL:\nmodel = TKF2\nparameter = (0.02, 0.022, 0.4)\nKEEP:\nsubstmod [1, 4]\n"
     "indmod [0, 1]\n",
     "2"},
    {"three_jc69_tkf1_unequal_lengths",
     {"TTGACCATGCA", "TTGACGATGCATTAGCA", "TGACCAGCA"},
     "(A,B,C);",
     0,
     "SUBST:\nmodel = JC69\nINDEL:\nmodel = TKF1\nparameter = (0.03, 0.033)\n",
     "1"},
};

mult_alignment* start(const runcase& c, unsigned seed) {
    const std::string dir = make_temp_dir();
    std::string fasta;
    for (size_t i = 0; i < c.seqs.size(); ++i)
        fasta += ">" + std::string(1, static_cast<char>('A' + i)) + "\n" + c.seqs[i] + "\n";
    write_file(dir + "/seqs.fasta", fasta);
    write_file(dir + "/guide.tree", c.guide);
    write_file(dir + "/control.txt",
               c.models + "FILES:\ninfile = " + dir + "/seqs.fasta\nguidetree = " + dir +
                   "/guide.tree\nCOOL:\ndelta = " + c.delta + "\nburnin = 4\n");
    eingabe_parameter P;
    P.from_file((dir + "/control.txt").c_str());
    seedrandom(seed);
    mult_alignment* s = nullptr;
    capture_out([&] { s = new mult_alignment(P, c.type); });
    return s;
}

// The frequencies every run is given.
const std::array<double, 4> kFreqs{0.3, 0.2, 0.2, 0.3};

nucmodel nucleotides_of(const substmodel& sm) {
    std::vector<double> p;
    sm.paramsOf(p);
    return nucleotide_model(sm.model, p, kFreqs);
}

tkfmodel indels_of(const indel& im) {
    return {im.params[0], im.params[1], im.model == TKF2 ? im.params[2] : 0.0};
}

// The leaves hold the input, the maps are complete paths, the state's leaf
// alignment has exactly the residue classes as columns; returns the direct
// log likelihood.
double checked_loglik(baum* root, const mult_alignment& s, const runcase& c, const nucmodel& sub,
                      const tkfmodel& ind, bool own_alignment) {
    const readtree rt = read_tree(root);
    EXPECT_EQ(rt.fault, "");
    if (!rt.fault.empty()) return std::nan("");
    std::multiset<std::string> direct, stated;
    std::map<std::string, int> leaf;
    for (size_t k = 0; k < rt.nodes.size(); ++k) {
        baum* x = rt.nodes[k];
        if (!x->isLeaf()) continue;
        std::string seq;
        for (int code : x->seq) seq += "ACGT"[code];
        EXPECT_EQ(seq, c.seqs.at(static_cast<size_t>(x->id.name[0] - 'A'))) << x->id.name;
        leaf[x->id.name] = static_cast<int>(k);
    }
    if (own_alignment) {
        const auto& rows = s.malign.seqs;
        for (size_t b = 0; b < rows[0].size(); ++b) {
            std::string col;
            for (const auto& row : rows) col += row[b];
            stated.insert(col);
        }
        for (const std::vector<int>& col : rt.columns) {
            std::string text;
            for (const auto& name : s.malign.names) {
                const int code = col[leaf.at(std::string(name.begin(), name.end()))];
                text += code < 0 ? '_' : "ACGT"[code];
            }
            direct.insert(text);
        }
        EXPECT_EQ(direct, stated);
    }
    return direct_loglik(rt, sub, ind);
}

// The annealed rule on a score difference d: 1 take, 0 refuse, -1 when d
// lies too near a boundary to tell against the rounding of the direct sums.
int rule(double d, double u, std::uint32_t step, std::uint32_t burnin, double rate, double temp) {
    const double tol = 1e-7;
    const double e = step > burnin ? d * ((step - burnin) * rate + 1) / temp : d;
    if (d > tol || e > std::log(u) + tol) return 1;
    if (d < -tol && e < std::log(u) - tol) return 0;
    return -1;
}

// The splits of a tree as sets of leaf names below each branch.
std::set<std::set<std::string>> splits(baum* root) {
    std::vector<baum*> nodes;
    all_nodes(root, nullptr, nodes);
    std::set<std::set<std::string>> out;
    std::map<baum*, std::set<std::string>> below;
    for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
        baum* x = *it;
        std::set<std::string>& mine = below[x];
        if (x->isLeaf() && !x->isRoot()) mine.insert(x->id.name);
        for (neighbor& r : x->neighbors)
            if (!r.isparent) mine.insert(below[r.node].begin(), below[r.node].end());
        out.insert(mine);
    }
    return out;
}

struct tally {
    int taken = 0, refused = 0, exchanged = 0, annealed = 0;
};

void expect_near_loglik(double got, double want, const std::string& what) {
    EXPECT_NEAR(got, want, 1e-9 * std::fabs(want)) << what;
}

// A move's outcome against the annealed rule on the direct score difference
// d and the move's uniform u, and the temperature after it (temp0 before).
void judge(tally& moves, bool taken, double d, double u, std::uint32_t step, std::uint32_t burnin,
           double rate, double temp0, double temp1) {
    if (std::isfinite(d)) {
        const int want = rule(d, u, step, burnin, rate, temp0);
        if (want >= 0) {
            EXPECT_EQ(taken, want == 1) << "step " << step;
        }
        moves.annealed += want >= 0 && step > burnin;
    }
    ++(taken ? moves.taken : moves.refused);
    // A taken gain above it becomes the temperature, in burn-in from step 2.
    if (taken && step <= burnin && step > 1) {
        if (std::fabs(d - temp0) > 1e-6) {
            EXPECT_NEAR(temp1, std::max(d, temp0), 1e-9 * std::max(d, temp0));
        }
    } else {
        EXPECT_EQ(temp1, temp0);
    }
}

// One tree move from a fixed generator state, with its decision.
void tree_move(mult_alignment* s, const runcase& c, int seed, tally& moves) {
    const double L0 = s->loglik, temp0 = s->tempali, rate0 = s->rateali;
    const auto splits0 = splits(s->told);
    idum = -seed;
    testing::internal::CaptureStderr();
    s->maunewton();
    testing::internal::GetCapturedStderr();
    const long n = drawn_since(seed);
    ASSERT_GT(n, 0);
    const double u = uniform_at(seed, n - 1);
    const nucmodel sub = nucleotides_of(s->submodel);
    const tkfmodel ind = indels_of(s->indmodel);
    // The working tree stays as the proposal, taken or not.
    const double proposed = checked_loglik(s->tnew, *s, c, sub, ind, false);
    moves.exchanged += splits(s->tnew) != splits0;
    const bool taken = !bits_equal(s->loglik, L0);
    judge(moves, taken, proposed - L0, u, s->counter, s->cool.burnin, rate0, temp0, s->tempali);
    if (taken) expect_near_loglik(s->loglik, proposed, "taken tree");
}

// One parameter proposal from a fixed generator state, with its decision.
void param_move(mult_alignment* s, int seed, tally& moves) {
    const double L0 = s->loglik, temp0 = s->tempparam, rate0 = s->rateparam;
    substmodel sm(s->submodel);
    indel im(s->indmodel);
    idum = -seed;
    mult_alignment::proposal p(sm, im, s->fix);
    const long np = drawn_since(seed);
    idum = -seed;
    s->sampparams();
    const long n = drawn_since(seed);
    // One uniform after the proposal's own draws decides.
    ASSERT_EQ(n, np + 1);
    const double u = uniform_at(seed, np);
    const readtree rt = read_tree(s->told);
    ASSERT_EQ(rt.fault, "");
    const tkfmodel ind = s->indmodel.model == TKF2 ? tkfmodel{p.idpar[0], p.idpar[1], p.idpar[2]}
                                                   : tkfmodel{p.idpar[0], p.idpar[1], 0.0};
    const double newL =
        direct_loglik(rt, nucleotide_model(s->submodel.model, p.subpar, kFreqs), ind);
    const double d = newL + p.lognew - (L0 + p.logold);
    std::vector<double> sub1, ind1;
    s->submodel.paramsOf(sub1);
    s->indmodel.returnparams(ind1);
    const bool taken = sub1 == p.subpar && ind1 == p.idpar;
    judge(moves, taken, d, u, s->counter, s->cool.burnin, rate0, temp0, s->tempparam);
    if (taken) {
        expect_near_loglik(s->loglik, newL, "taken parameters");
    } else {
        EXPECT_TRUE(bits_equal(s->loglik, L0));
    }
}

class SampledRun : public ::testing::TestWithParam<runcase> {};

}  // namespace

TEST_P(SampledRun, StatesAndDecisionsAgreeWithDirectSums) {
    const runcase& c = GetParam();
    tally trees, params;
    for (unsigned seed : {3u, 8u, 13u}) {
        mult_alignment* s = start(c, seed);
        for (int k = 0; k <= 20; ++k) {
            SCOPED_TRACE(testing::Message() << "seed " << seed << " step " << k);
            if (k > 0) {
                tree_move(s, c, static_cast<int>(1000 * seed) + k, trees);
                param_move(s, static_cast<int>(1000 * seed) + 500 + k, params);
            }
            const double want = checked_loglik(s->told, *s, c, nucleotides_of(s->submodel),
                                               indels_of(s->indmodel), true);
            expect_near_loglik(s->loglik, want, "current state");
        }
        delete s;
    }
    EXPECT_GT(trees.taken, 0);
    EXPECT_GT(trees.refused, 0);
    EXPECT_GT(params.taken, 0);
    EXPECT_GT(params.refused, 0);
    EXPECT_GT(trees.annealed, 0);
    EXPECT_GT(params.annealed, 0);
    if (c.seqs.size() > 3) {
        EXPECT_GT(trees.exchanged, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, SampledRun, ::testing::ValuesIn(kRuns),
                         [](const ::testing::TestParamInfo<runcase>& p) { return p.param.name; });
