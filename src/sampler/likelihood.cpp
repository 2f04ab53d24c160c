// The joint log likelihood: the indel part along every branch and the
// substitution part by pruning over the distinct columns.
#include "sampler/mult_align.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "sampler/columntree.h"
#include "sampler/mult_align_internal.h"
#include "sequence/logspace.h"

using namespace mult_align_detail;

// ---------------------------------------------------------------------------
// Log likelihood

double mult_alignment::complik(compact_subst_pattern& pat, baum* root) {
    return complik(pat, root, indmodel, submodel);
}

double mult_alignment::complik(compact_subst_pattern& pat, baum* root, indel& im, substmodel& sm) {
    const double ind = indlik(root, im);
    const double sub = sublik(pat, root, sm);
    return ind + sub;
}

double mult_alignment::indlik(baum* node, indel& im) {
    double L = 0.0;
    const bool isroot = node->isRoot();
    for (size_t k = 0; k < node->neighbors.size(); ++k) {
        neighbor& r = node->neighbors[k];
        if (r.isparent) continue;
        baum* y = r.node;
        im.fillP(r.brl);
        std::vector<int>& back = y->neighbors[y->whichone(node)].posmap;
        std::vector<int> pos{-1, -1};
        int prev = iter_zust(r.posmap, back, pos);
        while (prev != END) {
            const int e = iter_zust(r.posmap, back, pos);
            L += im.retlnprob(prev, e);
            prev = e;
        }
        if (!isroot) L -= im.logprob_of_seqlen(static_cast<unsigned>(node->seq.size()));
        L += indlik(y, im);
    }
    return L;
}

void mult_alignment::childliks(std::vector<char>& column, baum* node, substmodel& sm,
                               std::vector<double>& v, int n) {
    v.assign(node->isLeaf() ? alftologalf(n) : n, 0.0);
    std::vector<double> terms(n);
    for (neighbor& r : node->neighbors) {
        if (r.isparent) continue;
        baum* y = r.node;
        if (y->isLeaf()) {
            const int b = whichbase(column[y->id.number], n);
            sm.settime(r.brl);
            for (size_t s = 0; s < v.size(); ++s) v[s] += sm.logProb_ij(static_cast<int>(s), b);
        } else {
            std::vector<double> w(n);
            childliks(column, y, sm, w, n);
            sm.settime(r.brl);
            for (size_t s = 0; s < v.size(); ++s) {
                for (int d = 0; d < n; ++d) terms[d] = sm.logProb_ij(static_cast<int>(s), d) + w[d];
                v[s] += addlog(terms);
            }
        }
    }
}

double mult_alignment::logprobofpattern(std::vector<char>& column, baum* root, substmodel& sm) {
    const int n = sm.retalf();
    std::vector<double> v;
    childliks(column, root, sm, v, n);
    if (root->isLeaf()) {
        const int a = whichbase(column[root->id.number], n);
        const double term = sm.logfreqofstate(a) + v[a];
        return addlog(&term, 1);
    }
    std::vector<double> terms(n);
    for (int s = 0; s < n; ++s) terms[s] = sm.logfreqofstate(s) + v[s];
    return addlog(terms);
}

namespace {

// Partial vectors of inner nodes with two children, kept by what they are
// computed from: for each child its branch's table and its code (a leaf)
// or its kept entry (an inner node). Equal inputs give equal bits, in any
// column subtree.
struct partkey {
    std::uint64_t a, b;
    bool operator==(const partkey& o) const { return a == o.a && b == o.b; }
};

// partkey -> kept entry, open addressing with linear probing; entries are
// never removed.
class partmemo {
public:
    struct slot {
        partkey first;
        long second;  // -1: empty
    };

    partmemo() : slots_(kStart, slot{{0, 0}, -1}) {}

    const slot* find(const partkey& k) const {
        for (size_t i = home(k);; i = (i + 1) & (slots_.size() - 1)) {
            const slot& s = slots_[i];
            if (s.second < 0) return nullptr;
            if (s.first == k) return &s;
        }
    }
    const slot* end() const { return nullptr; }
    // k must not be present yet.
    void emplace(const partkey& k, long v) {
        if (2 * (count_ + 1) > slots_.size()) grow();
        put(k, v);
        ++count_;
    }

private:
    static constexpr size_t kStart = 1024;
    std::vector<slot> slots_;
    size_t count_ = 0;

    size_t home(const partkey& k) const {
        std::uint64_t h = k.a * 0x9E3779B97F4A7C15ull ^ k.b;
        h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ull;
        h = (h ^ (h >> 27)) * 0x94D049BB133111EBull;
        h ^= h >> 31;
        return static_cast<size_t>(h) & (slots_.size() - 1);
    }
    void put(const partkey& k, long v) {
        size_t i = home(k);
        while (slots_[i].second >= 0) i = (i + 1) & (slots_.size() - 1);
        slots_[i] = slot{k, v};
    }
    void grow() {
        std::vector<slot> old(2 * slots_.size(), slot{{0, 0}, -1});
        old.swap(slots_);
        for (const slot& s : old)
            if (s.second >= 0) put(s.first, s.second);
    }
};

// ln P(t) with the ambiguity codes, one table per exact branch time, made
// of the model's own logProb_ij values: rows of states at once, rows of
// ambiguity codes when first asked for.
class logprob_cache {
public:
    logprob_cache(substmodel& sm, int n) : sm_(sm), n_(n), codes_(alftologalf(n)) {}

    int table_of(double t) {
        std::uint64_t key;
        std::memcpy(&key, &t, sizeof key);
        auto it = index_.find(key);
        if (it != index_.end()) return it->second;
        const int idx = static_cast<int>(times_.size());
        times_.push_back(t);
        tables_.emplace_back(static_cast<size_t>(codes_) * codes_, 0.0);
        filled_.emplace_back(codes_, false);
        index_.emplace(key, idx);
        for (int s = 0; s < n_; ++s) fill_row(idx, s);
        return idx;
    }

    const double* row(int idx, int s) {
        if (!filled_[idx][s]) fill_row(idx, s);
        return tables_[idx].data() + static_cast<size_t>(s) * codes_;
    }

    // The table; its rows of states are always filled.
    const double* states(int idx) const { return tables_[idx].data(); }
    int codes() const { return codes_; }

    // Leaves the model at time t, as the pruning would.
    void settle(double t) { at(t); }

private:
    void at(double t) {
        if (!have_ || std::memcmp(&t, &cur_, sizeof t) != 0) {
            sm_.settime(t);
            cur_ = t;
            have_ = true;
        }
    }
    void fill_row(int idx, int s) {
        at(times_[idx]);
        double* out = tables_[idx].data() + static_cast<size_t>(s) * codes_;
        for (int b = 0; b < codes_; ++b) out[b] = sm_.logProb_ij(s, b);
        filled_[idx][s] = true;
    }

    substmodel& sm_;
    const int n_;
    const int codes_;
    std::unordered_map<std::uint64_t, int> index_;
    std::vector<double> times_;
    std::vector<std::vector<double>> tables_;
    std::vector<std::vector<bool>> filled_;
    double cur_ = 0.0;
    bool have_ = false;
};

// Kept partial vectors, n doubles each, in blocks that never move.
class partstore {
public:
    explicit partstore(int n) : n_(n) {}
    long size() const { return count_; }
    const double* at(long e) const { return blocks_[e / kPer].get() + (e % kPer) * n_; }
    long add(const double* v) {
        if (count_ % kPer == 0) blocks_.emplace_back(new double[static_cast<size_t>(kPer) * n_]);
        std::copy(v, v + n_, blocks_.back().get() + (count_ % kPer) * n_);
        return count_++;
    }

private:
    static constexpr long kPer = 1024;
    const int n_;
    long count_ = 0;
    std::vector<std::unique_ptr<double[]>> blocks_;
};

// At most this many doubles of kept partial vectors per call.
const long kKeepBudget = 1L << 22;

}  // namespace

double mult_alignment::sublik(compact_subst_pattern& pat, baum* root, substmodel& sm) {
    const size_t P = pat.columns.size();
    std::vector<std::vector<double>> levels(1, std::vector<double>(P, 0.0));
    for (size_t s = P / 2; s > 1; s /= 2) levels.emplace_back(s, 0.0);

    const int n = sm.retalf();
    logprob_cache cache(sm, n);
    const size_t ncodes = static_cast<size_t>(cache.codes());
    std::vector<coltree> trees;
    columntrees subtrees(root, pat.names);
    coltree built;  // grows once, each tree is kept at its size
    std::unordered_map<std::string, int> bymask;
    std::string mask;
    int cur = -1;
    bool visited = false;
    double lastt = 0.0;
    partmemo memo;
    partstore kept(n);

    // Per node of the current subtree: the leaf's code or the inner node's
    // kept entry (-1 when not kept, its vector then in work).
    std::vector<long> id;
    std::vector<double> work;
    std::vector<double> terms(static_cast<size_t>(n) * n);
    std::vector<double> sums(n);
    std::vector<double> fin(n);  // the root's vector over all states
    auto partial = [&](size_t k) -> const double* {
        return id[k] >= 0 ? kept.at(id[k]) : work.data() + k * static_cast<size_t>(n);
    };
    auto input = [&](int ci) -> std::uint64_t {
        const coltree::node& ch = trees[cur].nodes[ci];
        return (static_cast<std::uint64_t>(ch.table) << 32) |
               (static_cast<std::uint64_t>(id[ci]) << 1) | (ch.leaf ? 0u : 1u);
    };

    // V[s] over the children of node k, s from 0 to n - 1, into out.
    auto prune = [&](const coltree& ct, const coltree::node& nd, double* out) {
        for (int s = 0; s < n; ++s) out[s] = 0.0;
        for (int c = 0; c < nd.count; ++c) {
            const int ci = ct.kids[nd.first + c];
            const coltree::node& ch = ct.nodes[ci];
            const double* tab = cache.states(ch.table);
            if (ch.leaf) {
                const double* lp = tab + id[ci];
                for (int s = 0; s < n; ++s) out[s] += lp[static_cast<size_t>(s) * ncodes];
            } else {
                const double* wc = partial(ci);
                for (int s = 0; s < n; ++s) {
                    const double* lp = tab + static_cast<size_t>(s) * ncodes;
                    double* row = terms.data() + static_cast<size_t>(s) * n;
                    for (int d = 0; d < n; ++d) row[d] = lp[d] + wc[d];
                }
                addlog_rows(terms.data(), n, n, sums.data());
                for (int s = 0; s < n; ++s) out[s] += sums[s];
            }
        }
    };

    for (size_t i = 0; i < P; ++i) {
        std::vector<char>& col = pat.columns[i];
        if (i == 0 || !patternequivalent(pat.columns[i - 1], col)) {
            mask.resize(col.size());
            for (size_t r = 0; r < col.size(); ++r) mask[r] = isgap(col[r]) ? '_' : 'x';
            auto it = bymask.find(mask);
            if (it != bymask.end()) {
                cur = it->second;
            } else {
                subtrees.make(col, built);
                for (size_t k = 0; k + 1 < built.nodes.size(); ++k)
                    built.nodes[k].table = cache.table_of(built.nodes[k].t);
                trees.push_back(built);
                cur = static_cast<int>(trees.size()) - 1;
                bymask.emplace(mask, cur);
            }
            const size_t nn = trees[cur].nodes.size();
            if (id.size() < nn) {
                id.resize(nn);
                work.resize(nn * static_cast<size_t>(n));
            }
        }
        coltree& ct = trees[cur];

        // Every node but the root, in post-order.
        const size_t rootidx = ct.nodes.size() - 1;
        for (size_t k = 0; k < rootidx; ++k) {
            const coltree::node& nd = ct.nodes[k];
            if (nd.leaf) {
                id[k] = whichbase(col[nd.row], n);
                continue;
            }
            double* scratch = work.data() + k * static_cast<size_t>(n);
            id[k] = -1;
            if (nd.count != 2 || id[ct.kids[nd.first]] < 0 || id[ct.kids[nd.first + 1]] < 0) {
                prune(ct, nd, scratch);
                continue;
            }
            const partkey key{input(ct.kids[nd.first]), input(ct.kids[nd.first + 1])};
            auto it = memo.find(key);
            if (it != memo.end()) {
                id[k] = it->second;
                continue;
            }
            prune(ct, nd, scratch);
            if ((kept.size() + 1) * n <= kKeepBudget) {
                id[k] = kept.add(scratch);
                memo.emplace(key, id[k]);
            }
        }

        // The root: only the entry of its own code when it is a leaf, else
        // the vector over all states.
        const coltree::node& rt = ct.nodes[rootidx];
        auto rootterm = [&](int s) {
            double v = 0.0;
            for (int c = 0; c < rt.count; ++c) {
                const int ci = ct.kids[rt.first + c];
                const coltree::node& ch = ct.nodes[ci];
                const double* lp = cache.row(ch.table, s);
                if (ch.leaf) {
                    v += lp[id[ci]];
                } else {
                    const double* wc = partial(ci);
                    for (int d = 0; d < n; ++d) terms[d] = lp[d] + wc[d];
                    v += addlog(terms.data(), n);
                }
            }
            return v;
        };
        double lp;
        if (rt.leaf) {
            const int a = whichbase(col[rt.row], n);
            const double term = sm.logfreqofstate(a) + rootterm(a);
            lp = addlog(&term, 1);
        } else {
            prune(ct, rt, fin.data());
            for (int s = 0; s < n; ++s) fin[s] = sm.logfreqofstate(s) + fin[s];
            lp = addlog(fin);
        }
        if (rt.count > 0) {
            visited = true;
            lastt = ct.nodes[ct.kids[rt.first + rt.count - 1]].t;
        }
        levels[0][i] = static_cast<double>(pat.counts[i]) * lp;
    }

    for (size_t l = 1; l < levels.size(); ++l) {
        const size_t sz = levels[l].size();
        for (size_t j = 0; j < levels[l - 1].size(); ++j) levels[l][j % sz] += levels[l - 1][j];
    }
    double result = 0.0;
    for (double e : levels.back()) result += e;
    if (visited) cache.settle(lastt);
    return result;
}
