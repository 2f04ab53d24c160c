#include "sampler/mult_align.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "sequence/logspace.h"
#include "sequence/random.h"
#include "sequence/util.h"

namespace {

bool isgap(char c) { return c == '_' || c == '-'; }

std::vector<char> chars_of(const std::string& s) { return std::vector<char>(s.begin(), s.end()); }

// The record of node whose far end is the node's parent; fatal (in
// whichone) for a root.
int parent_record(baum* node) { return node->whichone(node->parent()); }

}  // namespace

// ---------------------------------------------------------------------------
// Leaf alignment

mdataset::mdataset() = default;

mdataset::mdataset(baum* root, alphsize a) {
    type = a;
    std::vector<int> parentmap, columnmap;
    push_mult(root, parentmap, columnmap, names, seqs);
}

mdataset::mdataset(baum* root, int a) : mdataset(root, static_cast<alphsize>(a)) {}

mdataset::mdataset(const mdataset& other) = default;

mdataset& mdataset::operator=(mdataset other) {
    names = std::move(other.names);
    seqs = std::move(other.seqs);
    type = other.type;
    return *this;
}

mdataset::~mdataset() = default;

bool mdataset::validcolumn(std::vector<char>& column, unsigned int nrows) {
    if (column.size() != nrows)
        fatal("Alignment column has ", column.size(), " entries, yet there should be ", nrows,
              "\n");
    for (char c : column)
        if (!isgap(c)) return true;
    return false;
}

bool mdataset::notatend(std::vector<zustand>& states, bool& allstart) {
    bool allend = true;
    allstart = true;
    for (zustand s : states) {
        if (s != END) allend = false;
        if (s != START) allstart = false;
    }
    return !allend;
}

void mdataset::row(unsigned int b, std::vector<char>& column) {
    // Every row must reach column b; an alignment without rows has none.
    bool ok = !seqs.empty();
    for (const std::vector<char>& r : seqs)
        if (b >= r.size()) ok = false;
    if (!ok) fatal("There is no row ", b, " in the alignment\n");
    column.resize(seqs.size());
    for (size_t i = 0; i < seqs.size(); ++i) column[i] = seqs[i][b];
}

void mdataset::push_mult(baum* node, std::vector<int>& parentmap, std::vector<int>& columnmap,
                         std::vector<std::vector<char>>& outnames,
                         std::vector<std::vector<char>>& outrows) {
    if (node == nullptr) fatal("Error in function push_mult: tree points to NULL\n");
    const alphsize alph = static_cast<alphsize>(type);

    // The subtrees below the node's children, in list order.
    struct childpart {
        std::vector<int> pmap, cmap;
        std::vector<std::vector<char>> names, rows;
    };
    std::vector<childpart> kids;
    for (neighbor& r : node->neighbors) {
        if (r.isparent) continue;
        kids.emplace_back();
        childpart& k = kids.back();
        push_mult(r.node, k.pmap, k.cmap, k.names, k.rows);
    }
    const size_t mylen = node->seq.size();

    if (node->isLeaf()) {
        if (node->neighbors.size() != 1) fatal("Pathological situation\n");
        baum* p = node->parent();
        if (p != nullptr) {
            // A leaf's columns are its residues: the branch's own maps.
            neighbor& down = p->neighbors[p->whichone(node)];
            neighbor& up = node->neighbors[0];
            if (down.posmap.size() != p->seq.size() || up.posmap.size() != mylen)
                fatal("Asynchronous start in push_mult\n");
            outnames.assign(1, chars_of(node->id.name));
            std::vector<char> letters(mylen);
            for (size_t i = 0; i < mylen; ++i) letters[i] = state_to_char(node->seq[i], alph);
            outrows.assign(1, std::move(letters));
            parentmap = down.posmap;
            columnmap = up.posmap;
            return;
        }

        // The root leaf against its child's columns.
        childpart& y = kids[0];
        if (y.pmap.size() != mylen) fatal("Asynchronous start in push_mult\n");
        const size_t ny = y.rows.size();
        outnames = y.names;
        outnames.push_back(chars_of(node->id.name));
        outrows.assign(ny + 1, std::vector<char>());
        const size_t ncols = y.cmap.size();
        for (auto& r : outrows) r.reserve(ncols + mylen);
        std::vector<int> pos{-1, -1};
        for (;;) {
            const int i = pos[0], j = pos[1];
            const int s = iter_zust(y.pmap, y.cmap, pos);
            if (s == END) break;
            switch (s) {
            case MATCH:
                for (size_t r = 0; r < ny; ++r) outrows[r].push_back(y.rows[r][j]);
                outrows[ny].push_back(state_to_char(node->seq[i], alph));
                break;
            case INSERTION:
                for (size_t r = 0; r < ny; ++r) outrows[r].push_back(y.rows[r][j]);
                outrows[ny].push_back('_');
                break;
            case DELETION:
                for (size_t r = 0; r < ny; ++r) outrows[r].push_back('_');
                outrows[ny].push_back(state_to_char(node->seq[i], alph));
                break;
            case START:
                break;
            default:
                fatal("Unreasonable state in function push_mult\n");
            }
        }
        parentmap.clear();
        columnmap.clear();
        return;
    }

    // Inner node: one walk per child, against the child's columns, and one
    // against the parent; the node is the first sequence of every walk.
    const int prec = parent_record(node);
    baum* p = node->neighbors[prec].node;
    std::vector<int>& upmap = node->neighbors[prec].posmap;
    std::vector<int>& downmap = p->neighbors[p->whichone(node)].posmap;
    if (upmap.size() != mylen || downmap.size() != p->seq.size())
        fatal("Asynchronous start in push_mult\n");
    for (const childpart& k : kids)
        if (k.pmap.size() != mylen) fatal("Asynchronous start in push_mult\n");

    const size_t nkids = kids.size();
    const size_t nwalks = nkids + 1;  // the parent walk last
    std::vector<size_t> firstrow(nkids);
    size_t nrows = 0;
    outnames.clear();
    for (size_t k = 0; k < nkids; ++k) {
        firstrow[k] = nrows;
        nrows += kids[k].rows.size();
        for (auto& nm : kids[k].names) outnames.push_back(nm);
    }
    outrows.assign(nrows, std::vector<char>());
    parentmap.clear();
    columnmap.clear();

    std::vector<std::vector<int>> pos(nwalks, std::vector<int>{-1, -1});
    std::vector<int> saved(2 * nwalks);
    std::vector<zustand> st(nwalks);
    std::vector<char> column(nrows);
    int ncols = 0;
    auto walkmaps = [&](size_t w, std::vector<int>*& a, std::vector<int>*& b) {
        if (w < nkids) {
            a = &kids[w].pmap;
            b = &kids[w].cmap;
        } else {
            a = &upmap;
            b = &downmap;
        }
    };

    for (;;) {
        for (size_t w = 0; w < nwalks; ++w) {
            saved[2 * w] = pos[w][0];
            saved[2 * w + 1] = pos[w][1];
            std::vector<int>* a;
            std::vector<int>* b;
            walkmaps(w, a, b);
            st[w] = static_cast<zustand>(iter_zust(*a, *b, pos[w]));
        }
        bool allstart = false;
        if (!notatend(st, allstart)) break;
        if (allstart) continue;
        for (size_t w = 0; w < nwalks; ++w)
            if (st[w] == START) fatal("Asynchronous start in push_mult\n");

        // Insertions first: earlier children, then the parent.
        long ins = -1;
        for (size_t w = 0; w < nkids && ins < 0; ++w)
            if (st[w] == INSERTION) ins = static_cast<long>(w);
        if (ins < 0 && st[nkids] == INSERTION) ins = static_cast<long>(nkids);

        std::fill(column.begin(), column.end(), '_');
        if (ins >= 0) {
            if (static_cast<size_t>(ins) < nkids) {
                const childpart& c = kids[ins];
                const int j = saved[2 * ins + 1];
                for (size_t r = 0; r < c.rows.size(); ++r) column[firstrow[ins] + r] = c.rows[r][j];
            }
        } else {
            for (size_t k = 0; k < nkids; ++k) {
                if (st[k] == MATCH) {
                    const int j = saved[2 * k + 1];
                    for (size_t r = 0; r < kids[k].rows.size(); ++r)
                        column[firstrow[k] + r] = kids[k].rows[r][j];
                } else if (st[k] != DELETION) {
                    fatal("Impossible state ", static_cast<int>(st[k]), " in push_mult\n");
                }
            }
            // The parent walk must pass the node's residue as well.
            if (st[nkids] != MATCH && st[nkids] != DELETION)
                fatal("Impossible state ", static_cast<int>(st[nkids]), " in push_mult\n");
        }

        const bool parentmatch = ins < 0 && st[nkids] == MATCH;
        if (validcolumn(column, static_cast<unsigned>(outnames.size()))) {
            for (size_t r = 0; r < nrows; ++r) outrows[r].push_back(column[r]);
            ++ncols;
            const int np = static_cast<int>(parentmap.size());
            columnmap.push_back(parentmatch ? np : np - 1);
        }
        if (parentmatch || ins == static_cast<long>(nkids)) parentmap.push_back(ncols - 1);

        if (ins >= 0)
            for (size_t w = 0; w < nwalks; ++w)
                if (static_cast<long>(w) != ins) {
                    pos[w][0] = saved[2 * w];
                    pos[w][1] = saved[2 * w + 1];
                }
    }
}

// ---------------------------------------------------------------------------
// Column patterns

compact_subst_pattern::compact_subst_pattern() = default;

compact_subst_pattern::compact_subst_pattern(mdataset& align) {
    if (align.seqs.empty() || align.names.empty()) fatal("Alignment without taxa\n");
    const unsigned len = static_cast<unsigned>(align.seqs[0].size());
    std::vector<std::vector<char>> all(len);
    for (unsigned b = 0; b < len; ++b) align.row(b, all[b]);
    std::sort(all.begin(), all.end());
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        if (columns.empty() || *it != columns.back()) {
            columns.push_back(std::move(*it));
            counts.push_back(1);
        } else {
            ++counts.back();
        }
    }
    names.reserve(align.names.size());
    for (const std::vector<char>& nm : align.names) names.emplace_back(nm.begin(), nm.end());
}

compact_subst_pattern::compact_subst_pattern(const compact_subst_pattern& other) = default;

compact_subst_pattern& compact_subst_pattern::operator=(compact_subst_pattern other) {
    columns = std::move(other.columns);
    counts = std::move(other.counts);
    names = std::move(other.names);
    return *this;
}

compact_subst_pattern::~compact_subst_pattern() = default;

bool patternequivalent(std::vector<char>& a, std::vector<char>& b) {
    if (a.size() != b.size())
        fatal("You were trying to compare position patterns with different sizes\n");
    for (size_t i = 0; i < a.size(); ++i)
        if (isgap(a[i]) != isgap(b[i])) return false;
    return true;
}

// ---------------------------------------------------------------------------
// Sampler state

mult_alignment::mult_alignment() {
    fatal("You tried to construct an uninitialized object of the class mult_alignment.\n");
}

mult_alignment::mult_alignment(const substmodel& sm, const indel& im, baum* tree,
                               const keepfixed& f, const cooling& c)
    : submodel(sm), indmodel(im), told(tree), tnew(nullptr), fix(f), cool(c) {
    malign = mdataset(told, submodel.retalf());
    pattern = compact_subst_pattern(malign);
    loglik = complik(pattern, told);
}

mult_alignment::mult_alignment(const mult_alignment& o)
    : submodel(o.submodel),
      indmodel(o.indmodel),
      told(o.told != nullptr ? new baum(*o.told) : nullptr),
      tnew(nullptr),
      fix(o.fix),
      cool(o.cool),
      counter(o.counter),
      malign(o.malign),
      pattern(o.pattern),
      loglik(o.loglik),
      tempali(o.tempali),
      tempparam(o.tempparam),
      rateali(o.rateali),
      rateparam(o.rateparam),
      widthindex(o.widthindex),
      widthround(o.widthround),
      widthdown(o.widthdown),
      widthgain(o.widthgain),
      widthcount(o.widthcount) {}

namespace {

// Deletes a tree held through the given node, re-rooting it there first if
// the node is no longer its root.
void dispose(baum*& t, const char* warning) {
    if (t == nullptr) return;
    if (!t->isRoot()) {
        t->reroot(t);
        warn(warning);
    }
    delete t;
    t = nullptr;
}

}  // namespace

mult_alignment::~mult_alignment() {
    dispose(told, "WARNING: told's root has changed\n");
    dispose(tnew, "WARNING: tnew's root has changed\n");
}

baum* mult_alignment::ausaltmachneu() {
    dispose(tnew, "WARNING: tnew's root has changed\n");
    tnew = told != nullptr ? new baum(*told) : nullptr;
    return tnew;
}

baum* mult_alignment::ausneumachalt() {
    dispose(told, "WARNING: told's root has changed\n");
    told = tnew != nullptr ? new baum(*tnew) : nullptr;
    return told;
}

// ---------------------------------------------------------------------------
// Log likelihood

double mult_alignment::complik(compact_subst_pattern& pat, baum* root) {
    return complik(pat, root, indmodel, submodel);
}

double mult_alignment::complik(compact_subst_pattern& pat, baum* root, indel& im,
                               substmodel& sm) {
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

// A column subtree in flat form: nodes in post-order (children in list
// order before their parent), the root last.
struct coltree {
    struct node {
        bool leaf;
        int row;      // leaf: the row of its residue in the column
        int table;    // index of the log-probability table of its branch
        int first;    // children: kids[first .. first + count)
        int count;
        double t;     // length of its branch
    };
    std::vector<node> nodes;
    std::vector<int> kids;
};

// Partial vectors of inner nodes with two children, kept by what they are
// computed from: for each child its branch's table and its code (a leaf)
// or its kept entry (an inner node). Equal inputs give equal bits, in any
// column subtree.
struct partkey {
    std::uint64_t a, b;
    bool operator==(const partkey& o) const { return a == o.a && b == o.b; }
};
struct partkey_hash {
    size_t operator()(const partkey& k) const {
        return std::hash<std::uint64_t>()(k.a * 0x9E3779B97F4A7C15ull ^ k.b);
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

int flatten(baum* x, coltree& ct, logprob_cache& cache, double t) {
    std::vector<int> mine;
    for (neighbor& r : x->neighbors) {
        if (r.isparent) continue;
        mine.push_back(flatten(r.node, ct, cache, r.brl));
    }
    coltree::node nd;
    nd.leaf = x->isLeaf();
    nd.row = x->id.number;
    nd.table = x->isRoot() ? -1 : cache.table_of(t);
    nd.first = static_cast<int>(ct.kids.size());
    nd.count = static_cast<int>(mine.size());
    nd.t = t;
    ct.kids.insert(ct.kids.end(), mine.begin(), mine.end());
    ct.nodes.push_back(nd);
    return static_cast<int>(ct.nodes.size()) - 1;
}

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
    std::unordered_map<std::string, int> bymask;
    std::string mask;
    int cur = -1;
    bool visited = false;
    double lastt = 0.0;
    std::unordered_map<partkey, long, partkey_hash> memo;
    partstore kept(n);

    // Per node of the current subtree: the leaf's code or the inner node's
    // kept entry (-1 when not kept, its vector then in work).
    std::vector<long> id;
    std::vector<double> work;
    std::vector<double> terms(n);
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
                    for (int d = 0; d < n; ++d) terms[d] = lp[d] + wc[d];
                    out[s] += addlog(terms.data(), n);
                }
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
                baum* sub = root->teilbaum(pat.names, col);
                trees.emplace_back();
                coltree& ct = trees.back();
                flatten(sub, ct, cache, 0.0);
                delete sub;
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

        // The root: only the entry of its own code when it is a leaf.
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
            std::vector<double> fin(n);
            for (int s = 0; s < n; ++s) fin[s] = rootterm(s);
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

// Inner residues drawn from their neighbours, the initial inner sequences
// built bottom-up, and the resampling sweep over inner nodes and branches.


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
                w[i * n + j] =
                    r + Mxy.logProb_ij(i, j) + Mc.logProb_ij(j, c) + Me.logProb_ij(j, e);
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
                w[i * n + j] =
                    r + Mxy.logProb_ij(i, j) + Mb.logProb_ij(j, b) + Mc.logProb_ij(j, c);
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
                w[i * n + j] =
                    r + Mxy.logProb_ij(i, j) + Ma.logProb_ij(j, a) + Mb.logProb_ij(j, b);
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

    std::vector<triplet_zus> path{triplet_zus(7)};
    size_t i = 0;
    while (path.back() != 8 && i < pair.size()) {
        const int last = path.back();
        if (last != 6) {
            if (last < 0 || last > 7) fatal("Impossible state in function midseq\n");
            ++i;
            if (i >= pair.size()) fatal("Error in function midseq\n");
        }
        path.push_back(indmodel.nexttriplet(path.back(), pair[i]));
    }
    if (path.back() != 8) fatal("Error in function midseq\n");
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
    auto advB = [&]() {
        if (++b >= lb) stop();
    };
    auto advC = [&]() {
        if (++c >= lc) stop();
    };

    for (size_t k = 0; k < path.size(); ++k) {
        const int s = path[k];
        switch (s) {
        case 0:
            ++n, advB(), advC();
            node->seq.push_back(infer_base(residue(B->seq, b), Mb, residue(C->seq, c), Mc));
            toB.posmap.push_back(b);
            toC.posmap.push_back(c);
            Bmap.push_back(n);
            Cmap.push_back(n);
            break;
        case 1:
            ++n, advB();
            node->seq.push_back(infer_base(residue(B->seq, b), Mb));
            toB.posmap.push_back(b);
            toC.posmap.push_back(c);
            Bmap.push_back(n);
            break;
        case 2:
            ++n, advC();
            node->seq.push_back(infer_base(residue(C->seq, c), Mc));
            toB.posmap.push_back(b);
            toC.posmap.push_back(c);
            Cmap.push_back(n);
            break;
        case 3:
            advC();
            Cmap.push_back(n);
            break;
        case 4:
        case 5:
            advB();
            Bmap.push_back(n);
            break;
        case 6:
            ++n;
            node->seq.push_back(submodel.choosebase());
            toB.posmap.push_back(b);
            toC.posmap.push_back(c);
            break;
        case 7:
            if (k != 0) fatal("Impossible state in write_midseq_to_tree\n");
            break;
        case 8:
            if (k + 1 != path.size()) fatal("Impossible state in write_midseq_to_tree\n");
            break;
        default:
            fatal("Impossible state in write_midseq_to_tree\n");
        }
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
            al.teilsample(static_cast<int>(cool.resamprange));
            al.zurueck(p, q);
        }
    }
    return true;
}

void mult_alignment::familie(std::vector<unsigned>& fam, baum* node) {
    if (node == nullptr) fatal("The tree in function familie is a NULL pointer!\n");
    if (node->neighbors.size() != 3)
        fatal("An internal node turned out not to be internal!\n", "nb.size()=",
              node->neighbors.size(), "\n");
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
    std::vector<quart_zus> path{quart_zus(15)};
    size_t i = 1;
    while (path.back() != 16 && i < tri.size()) {
        const quart_zus s = im.nextquartet(path.back(), tri[i]);
        if (s > 16 || s == 15 || s < 0) fatal("Unreasonable state in samp_centseq!\n");
        path.push_back(s);
        if (s != 8) ++i;
    }
    if (path.back() != 16) fatal("Error in function samp_centseq!\n");
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

    while (path.empty() || path.back() != 16) {
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
            path.push_back(quart_zus(15));
            break;
        case END:
            for (int k = 0; k < 3; ++k)
                if (st[k] != END) fatal("Error: pairwise alignments are asynchronous II\n");
            path.push_back(quart_zus(16));
            break;
        case MATCH:
        case DELETION: {
            for (int k = 0; k < 3; ++k)
                if (st[k] != MATCH && st[k] != DELETION) {
                    if (st[r] == MATCH) fatal("Error: pairwise alignments are asynchronous III\n");
                    fatal("Error: pairwise alignments are asynchronous IV\n");
                }
            std::vector<zustand> z{st[0], st[1], st[2]};
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
                case 0: case 2: case 11: out = 11; break;
                case 1: case 4: case 12: out = 12; break;
                case 3: case 6: case 9: case 15: out = 9; break;
                case 5: case 8: case 10: out = 10; break;
                default: fatal("Nonsense in function quartali\n");
                }
            } else {
                switch (L) {
                case 0: case 1: case 2: case 4: case 11: case 12: case 14: out = 14; break;
                case 3: case 5: case 6: case 8: case 9: case 10: case 13: case 15: out = 13; break;
                default: fatal("Nonsense in function quartali\n");
                }
            }
            path.push_back(quart_zus(out));
            break;
        }
        default:
            fatal("Unreasonable state in function quartali!\n");
        }
    }
}

quart_zus mult_alignment::which_quartet_zus(std::vector<zustand>& z) {
    if (z.size() != 3) fatal("A strange argument was passed to which_quartet_zus!\n");
    static const int code[8] = {0, 1, 2, 4, 3, 5, 6, 8};  // M = 0, D = 1; z0 most significant
    int idx = 0;
    for (zustand s : z) {
        if (s != MATCH && s != DELETION) fatal("Unreasonable state in function which_quartet_zus\n");
        idx = 2 * idx + (s == DELETION ? 1 : 0);
    }
    return quart_zus(code[idx]);
}

void mult_alignment::quart_to_tri(std::vector<quart_zus>& path, std::vector<triplet_zus>& tri) {
    static const int code[17] = {0, 1, 2, 9, 6, 4, 3, 6, -1, 4, 4, 4, 4, 3, 3, 7, 8};
    tri.clear();
    for (size_t k = 0; k < path.size(); ++k) {
        const int q = path[k];
        if (q < 0 || q > 16) fatal("Strange state in function quart_to_tri\n");
        if (q == 15 && k != 0) fatal("Late start of vector quart in quart_to_tri\n");
        if (q == 16 && k + 1 != path.size()) fatal("Premature end of vector quart in quart_to_tri\n");
        if (code[q] >= 0) tri.push_back(triplet_zus(code[q]));
    }
    if (tri.empty() || tri.back() != 8) fatal("Error in function quart_to_tri\n");
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
    auto advU = [&]() {
        if (++u >= lu) stop();
    };
    auto advB = [&]() {
        if (++b >= lb) stop();
    };
    auto advC = [&]() {
        if (++c >= lc) stop();
    };
    auto centre_maps = [&]() {
        toU.posmap.push_back(u);
        toB.posmap.push_back(b);
        toC.posmap.push_back(c);
    };

    for (size_t k = 0; k < path.size(); ++k) {
        const int s = path[k];
        switch (s) {
        case 0:
            advU(), ++n, advB(), advC();
            centre->seq.push_back(infer_base(residue(U->seq, u), Mu, residue(B->seq, b), Mb,
                                             residue(C->seq, c), Mc));
            centre_maps();
            Umap.push_back(n);
            Bmap.push_back(n);
            Cmap.push_back(n);
            break;
        case 1:
            advU(), ++n, advB();
            centre->seq.push_back(infer_base(residue(U->seq, u), Mu, residue(B->seq, b), Mb));
            centre_maps();
            Umap.push_back(n);
            Bmap.push_back(n);
            break;
        case 2:
            advU(), ++n, advC();
            centre->seq.push_back(infer_base(residue(U->seq, u), Mu, residue(C->seq, c), Mc));
            centre_maps();
            Umap.push_back(n);
            Cmap.push_back(n);
            break;
        case 3:
            ++n, advB(), advC();
            centre->seq.push_back(infer_base(residue(B->seq, b), Mb, residue(C->seq, c), Mc));
            centre_maps();
            Bmap.push_back(n);
            Cmap.push_back(n);
            break;
        case 4:
            advU(), ++n;
            centre->seq.push_back(infer_base(residue(U->seq, u), Mu));
            centre_maps();
            Umap.push_back(n);
            break;
        case 5:
            ++n, advB();
            centre->seq.push_back(infer_base(residue(B->seq, b), Mb));
            centre_maps();
            Bmap.push_back(n);
            break;
        case 6:
            ++n, advC();
            centre->seq.push_back(infer_base(residue(C->seq, c), Mc));
            centre_maps();
            Cmap.push_back(n);
            break;
        case 7:
            advU();
            Umap.push_back(n);
            break;
        case 8:
            ++n;
            centre->seq.push_back(sm.choosebase());
            centre_maps();
            break;
        case 9:
        case 10:
        case 11:
        case 12:
            advB();
            Bmap.push_back(n);
            break;
        case 13:
        case 14:
            advC();
            Cmap.push_back(n);
            break;
        case 15:
            if (k != 0) fatal("Impossible state in write_centseq\n");
            break;
        case 16:
            if (k + 1 != path.size()) fatal("Impossible state in write_centseq\n");
            break;
        default:
            fatal("Impossible state in write_centseq\n");
        }
    }
    if (lu != u + 1 || lb != b + 1 || lc != c + 1) stop();
}

// The annealing loop: periods of still cycles, interchange passes, reports,
// the best state and the two stop rules.


namespace {

void step_move(mult_alignment& s) { s.maunewton(); }
void params_move(mult_alignment& s) { s.sampparams(); }
bool nni_move(mult_alignment& s, unsigned n) { return s.nearestneighbor(n); }

}  // namespace

std::uint32_t mult_alignment::annealing_schedule(mult_alignment*& current, mult_alignment*& best,
                                                 int type, std::ostream& log,
                                                 const loop_moves& moves) {
    double prevL = -DBL_MAX;
    std::uint32_t stale = 0;
    std::uint32_t nobetter = 0;
    std::uint32_t nni_report = 0;
    for (;;) {
        if (!current->inrange()) break;
        const std::uint32_t n = current->spez();
        if (nobetter >= 20 * n + 1) break;
        if (stale != 0 && stale % (100 * n) == 0 && !current->burnin()) {
            if (nobetter < 20 * n && type == 2) moves.nni(*current, n);
            ++nobetter;
        }
        const double L = current->likelihood();
        if (L - 1 > prevL || prevL > L + 1)
            stale = 0;
        else
            ++stale;
        if (current->report()) {
            current->bericht(log);
            std::cout << "log likelihood after " << current->step()
                      << " steps: " << current->likelihood() << "\n";
        }
        prevL = current->likelihood();
        moves.step(*current);
        moves.params(*current);
        if (current->likelihood() > best->likelihood()) {
            nobetter = 0;
            delete best;
            best = new mult_alignment(*current);
            // The count the parameter file reports: nobetter as just reset.
            if (type == 2) nni_report = nobetter;
        }
    }
    return nni_report;
}

std::uint32_t annealing_loop(mult_alignment*& current, mult_alignment*& best, int type,
                             std::ostream& log) {
    const mult_alignment::loop_moves moves{step_move, params_move, nni_move};
    return mult_alignment::annealing_schedule(current, best, type, log, moves);
}

// Start-up of the sampler state, its log entries, result-file writers and
// accessors.


namespace {

// Branch lengths of the guide tree as read must not be negative.
void check_lengths(baum* node, const baum* from) {
    for (auto& nb : node->neighbors) {
        if (nb.node == from || nb.node == nullptr) continue;
        if (nb.brl < 0.0) fatal("The guide tree has a negative branch length (", nb.brl, ")\n");
        check_lengths(nb.node, node);
    }
}

}  // namespace

mult_alignment::mult_alignment(eingabe_parameter P, int type) {
    const std::string& seqname = P.files.infile;
    std::ifstream in(seqname);
    if (!in) fatal("Cannot open sequence file ", seqname, "\n");
    dataset ds(in, P.files.format);
    if (ds.spez() < 2) fatal("There are ", ds.spez(), " sequences.\n", "There is nothing to align.\n");

    std::vector<double> freqs;
    if (P.subst.freqs_given) freqs = P.subst.freqs;
    else ds.getfreqs(freqs);
    if (in.is_open()) in.close();
    const alphsize alph = static_cast<alphsize>(ds.type);

    submodel = substmodel(alph, P.subst.model, freqs, P.subst.params);
    indmodel = indel(P.indelp.params, P.indelp.model);
    fix = P.fix;
    cool = P.cool;

    std::vector<std::vector<double>> D;
    if (type == 1 || type == 2) {
        std::cout << "Computing pairwise distances in an approximate EM step\n";
        compute_distmat(ds, D);
    }

    baum* tree;
    {
        clustal text(P.files.guidetree.c_str());
        tree = new baum(text, true, ds);
    }
    if (type == 0) check_lengths(tree, nullptr);

    told = tree->reroot();
    told->fuseblindnodes(true);

    if (type == 1 || type == 2) {
        std::cout << "Building the initial NJ tree\n";
        unsigned n = static_cast<unsigned>(D.size());
        told->NeighborJoining(D, n);
    } else {
        told->bifurcate(true);
    }

    tnew = nullptr;
    counter = 0;

    construct_align(told);
    uphill(told);

    malign = mdataset(told, alph);
    pattern = compact_subst_pattern(malign);
    loglik = complik(pattern, told);

    optim_times();

    tempali = 1.0;
    tempparam = 1.0;
    rateali = 0.0;
    rateparam = 0.0;
    widthindex = 8;
    widthround = 0;
    widthdown = true;
    widthgain.assign(8, 0.0);
    widthcount.assign(8, 0);

    if (!std::isfinite(loglik))
        warn("WARNING: The log likelihood of the start state is not finite (", loglik, ")\n");
}

void mult_alignment::compute_distmat(dataset& ds, std::vector<std::vector<double>>& D) {
    const int n = ds.spez();
    D.assign(n, std::vector<double>(n, 0.0));
    std::vector<std::vector<double>> S(n, std::vector<double>(n, 0.0));

    for (int i = 0; i < n; ++i) {
        const bioseq si(ds.seqs[i], ds.type);
        for (int j = 0; j < n; ++j) {
            if (j == i) {
                D[i][i] = 0.0;
                S[i][i] = 1.0;
            } else if (j < i) {
                D[i][j] = D[j][i];
                S[i][j] = S[j][i];
            } else {
                D[i][j] = 10.0;
                S[i][j] = 1.0;
                const bioseq sj(ds.seqs[j], ds.type);
                alignment al(si, sj, D[i][j], submodel, indmodel);
                al.optimal_time(D[i][j], S[i][j]);
                std::cout << ds.names[i] << " " << ds.names[j] << " distance=" << D[i][j]
                          << " scale=" << S[i][j] << "\n";
            }
        }
    }

    const double s = median_scale(S);
    indmodel.rescale(s);
    std::cout << "Second round of EM algorithm.\nInsertion rate multiplied with " << s << "\n";

    for (int i = 0; i < n; ++i) {
        const bioseq si(ds.seqs[i], ds.type);
        for (int j = 0; j < n; ++j) {
            if (j == i) {
                D[i][i] = 0.0;
            } else if (j < i) {
                D[i][j] = D[j][i];
            } else {
                const bioseq sj(ds.seqs[j], ds.type);
                alignment al(si, sj, D[i][j], submodel, indmodel);
                al.optimal_time(D[i][j]);
                std::cout << ds.names[i] << " " << ds.names[j] << " distance=" << D[i][j] << "\n";
            }
        }
    }
}

double mult_alignment::median_scale(std::vector<std::vector<double>>& S) {
    std::vector<double> v;
    for (std::size_t i = 0; i < S.size(); ++i)
        for (std::size_t j = i + 1; j < S[i].size(); ++j) v.push_back(S[i][j]);
    if (v.empty()) return 1.0;
    std::sort(v.begin(), v.end());
    const std::size_t c = v.size();
    if (c % 2 == 1) return v[c / 2];
    return (v[c / 2 - 1] + v[c / 2]) / 2.0;
}

void mult_alignment::optim_times() {
    std::cout << "Optimising branch lengths\n";
    optimaltime(told);
    malign = mdataset(told, submodel.retalf());
    pattern = compact_subst_pattern(malign);
    loglik = complik(pattern, told);
}

void mult_alignment::optimaltime(baum* node) {
    for (std::size_t k = 0; k < node->neighbors.size(); ++k) {
        if (node->neighbors[k].isparent) continue;
        baum* child = node->neighbors[k].node;
        alignment al(*node, *child, submodel, indmodel, cool.coolali, 2147483647);
        const double t = al.opt_for_giv();
        node->neighbors[k].brl = t;
        child->neighbors[child->whichone(node)].brl = t;
        optimaltime(child);
    }
}

bool mult_alignment::trytoimprove() {
    ausaltmachneu();
    tnew = tnew->reroot();
    uphill(tnew);
    mdataset m(tnew, submodel.retalf());
    compact_subst_pattern p(m);
    const double l = complik(p, tnew);
    if (!(l > loglik)) return false;
    ausneumachalt();
    malign = m;
    pattern = p;
    loglik = l;
    return true;
}

void mult_alignment::bericht(std::ostream& os) {
    os << "Step " << counter << ":\n";
    os << "log likelihood = " << loglik << "\n";
    os << "optimal delta = " << cool.delta << "\n";
    print_params(os);
    os << "tree : ";
    print_tree(os);
    os << "alignment :\n";
    print_phylip(os);
    os << "\n";
    // A fatal stop later in the run keeps the entries written so far.
    os.flush();
}

void mult_alignment::print_params(std::ostream& os) {
    std::vector<double> v;
    submodel.paramsOf(v);
    os << "substitution model: ";
    for (double x : v) os << x << " ";
    os << "\n";
    indmodel.returnparams(v);
    os << "indel model: ";
    for (double x : v) os << x << " ";
    os << "\n";
}

void mult_alignment::print_tree(std::ostream& os) { told->print(os); }

void mult_alignment::print_phylip(std::ostream& os) { malign.print_phylip(os); }

void mult_alignment::print_screen(std::ostream& os) { malign.print_screen(os); }

void mult_alignment::counterreset() {
    counter = counter < cool.reportafter ? 0 : counter - cool.reportafter;
}

void mult_alignment::toldWurz() {
    told = told->reroot();
    malign = mdataset(told, submodel.retalf());
    pattern = compact_subst_pattern(malign);
    loglik = complik(pattern, told);
}

// The sampler step over tree and alignments with its annealed acceptance and
// step-width adaptation, the parameter proposals, and the nearest-neighbour
// interchange pass.



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

}  // namespace

// ---------------------------------------------------------------------------
// Annealed acceptance and step width

bool mult_alignment::annealed(double newscore, double oldscore, double u, std::uint32_t step,
                              std::uint32_t burnin, double rate, double temp) {
    double a;
    if (step > burnin)
        a = std::exp((newscore - oldscore) * (static_cast<double>(step - burnin) * rate + 1) / temp);
    else
        a = std::exp(newscore - oldscore);
    return newscore > oldscore || a > u;
}

double mult_alignment::coolingrate(double c, double alpha, const char* what) const {
    const double n = static_cast<double>(malign.seqs.size());
    const double len = malign.seqs.empty() ? 0.0 : static_cast<double>(malign.seqs[0].size());
    // An alignment without columns contributes nothing per column.
    const double percolumn = len > 0.0 ? alpha * loglik / len : 0.0;
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
    if (accepted || keep || same_model(sm, submodel)) {
        // sub is now the substitution part of told under submodel.
        subkept = true;
        subkept_value = sub;
        subkept_tree = told;
        subkept_loglik = loglik;
    }
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
        warn("WARNING: One of the internal sequences has either length 0 \nor is much longer than "
             "its longest neighbour.\n");
    alteroderneuerbaum();
    widthstep(std::fabs(oldL - loglik));
}

bool mult_alignment::alteroderneuerbaum() {
    mdataset ma(tnew, submodel.retalf());
    compact_subst_pattern pa(ma);
    const double newL = complik(pa, tnew);
    const double u = randomunitintervall();
    const bool accepted = annealed(newL, loglik, u, counter, cool.burnin, rateali, tempali);
    if (accepted) {
        subkept = false;
        ausneumachalt();
        malign = std::move(ma);
        pattern = std::move(pa);
        if (counter <= cool.burnin && newL - loglik > tempali && counter > 1) tempali = newL - loglik;
        loglik = newL;
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
            std::cout << "Performing nearest neighbour interchange\n";
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
        subkept = true;
        subkept_value = sub;
        subkept_tree = told;
        subkept_loglik = loglik;
    }
    return changed;
}

// The local swap: before two subtrees are exchanged across an inner branch,
// the two end nodes' sequences and the five alignments around them are
// resampled through a hextet path for the topology after the exchange.



namespace {

// Holders of the hextet states, one bit per role.
enum : unsigned { hU = 1, hN = 2, hB = 4, hM = 8, hD = 16, hE = 32 };

unsigned hex_holders(int s) {
    static const unsigned h[35] = {
        hU | hN | hM | hB | hD | hE,  // 0
        hU | hN | hM | hD | hE,       // 1
        hU | hN | hM | hB | hE,       // 2
        hU | hN | hM | hE,            // 3
        hU | hN | hM | hB | hD,       // 4
        hU | hN | hM | hD,            // 5
        hU | hN | hM | hB,            // 6
        hU | hN | hM,                 // 7
        hU | hN | hB,                 // 8
        hU | hN,                      // 9
        hU,                           // 10
        hN | hM | hB | hD | hE,       // 11
        hN | hM | hD | hE,            // 12
        hN | hM | hB | hE,            // 13
        hN | hM | hE,                 // 14
        hN | hM | hB | hD,            // 15
        hN | hM | hD,                 // 16
        hN | hM | hB,                 // 17
        hN | hM,                      // 18
        hN | hB,                      // 19
        hN,                           // 20
        hB, hB, hB, hB, hB,           // 21-25
        hM | hD | hE,                 // 26
        hM | hE,                      // 27
        hM | hD,                      // 28
        hM,                           // 29
        hD, hD,                       // 30, 31
        hE,                           // 32
        0, 0                          // 33, 34
    };
    return h[s];
}

// Outer roles of the local swap: P, S (anc's side), R1, R2 (rec's side).
enum { oP = 0, oS = 1, oR1 = 2, oR2 = 3 };

}  // namespace

// ---------------------------------------------------------------------------
// The two stars

mult_alignment::mercedes_stern::mercedes_stern(baum* c, std::vector<quart_zus>& a,
                                               std::vector<unsigned>& k, int child) {
    if (c == nullptr || c->neighbors.size() != 3)
        fatal("Unreasonable tree pointer in constructor of mercedes_stern\n");
    centre = c;
    ali = a;
    if (k.size() != 3) fatal("Unreasonable vector kd in constructor of mercedes_stern\n");
    kd = k;
    if (child < 0 || child > 2)
        fatal("Unreasonable value of childtochange in constructor of mercedes_stern\n");
    childtochange = child;
}

mult_alignment::mercedes_stern::mercedes_stern() { fatal("Leerer Mercedesstern unsinnig\n"); }

mult_alignment::mercedes_stern::~mercedes_stern() = default;

void mult_alignment::familie(std::vector<unsigned>& fam, baum* node, baum* partner) {
    familie(fam, node);
    if (node->NB(static_cast<int>(fam[1])) == partner) std::swap(fam[1], fam[2]);
}

// ---------------------------------------------------------------------------
// Swap with hextet re-alignment

void mult_alignment::hexali(baum* node, baum* nb, int c1, int c2) {
    std::vector<unsigned> fam1, fam2;
    familie(fam1, node, nb);
    familie(fam2, nb, node);
    std::vector<quart_zus> ali1, ali2;
    quartali(ali1, node, fam1);
    quartali(ali2, nb, fam2);
    mercedes_stern m1(node, ali1, fam1, c1);
    mercedes_stern m2(nb, ali2, fam2, c2);
    central_pair(m1, m2);
}

void mult_alignment::central_pair(mercedes_stern& m1, mercedes_stern& m2) {
    mercedes_stern* anc = nullptr;
    mercedes_stern* rec = nullptr;
    const swapflag swp = which_pair_swaps(m1, m2, anc, rec);
    std::vector<quart_zus> outer;
    zweimalvier(outer, *anc, *rec, swp);
    fillH(*anc, *rec, swp);

    std::vector<hex_zus> path(1, hex_zus(33));
    std::size_t i = 1;
    while (path.back() != 34) {
        if (i >= outer.size()) fatal("Error in function central_pair\n");
        const hex_zus s = indmodel.nexthextet(path.back(), outer[i]);
        path.push_back(s);
        if (s == 18 || s == 20 || s == 29) continue;
        if (s == 34) {
            if (i + 1 != outer.size()) fatal("Premature end in central_pair\n");
            continue;
        }
        if (s == 33 || s > 34 || s < 0) fatal("Unreasonable state in function central_pair\n");
        ++i;
    }
    write_centpair(path, *anc, *rec, swp);
}

mult_alignment::swapflag mult_alignment::which_pair_swaps(mercedes_stern& m1, mercedes_stern& m2,
                                                          mercedes_stern*& anc,
                                                          mercedes_stern*& rec) {
    if (m1.centre->parent() == m2.centre) {
        anc = &m2;
        rec = &m1;
    } else if (m2.centre->parent() == m1.centre) {
        anc = &m1;
        rec = &m2;
    } else {
        // Neither centre hangs from the other.
        fatal("Error I in function which_pair_swaps\n");
    }
    const unsigned toR = static_cast<unsigned>(anc->centre->whichone(rec->centre));
    if (toR != anc->kd[1] && toR != anc->kd[2]) fatal("Error I in function which_pair_swaps\n");
    const unsigned sIdx = (toR == anc->kd[1]) ? anc->kd[2] : anc->kd[1];
    if (rec->centre->NB(static_cast<int>(rec->kd[0])) != anc->centre)
        fatal("Error II in function which_pair_swaps\n");

    const unsigned ca = static_cast<unsigned>(anc->childtochange);
    const unsigned cr = static_cast<unsigned>(rec->childtochange);
    if (ca == anc->kd[0]) {
        if (cr == rec->kd[1]) return swapflag(1);
        if (cr == rec->kd[2]) return swapflag(2);
        fatal("Error III in function which_pair_swaps\n");
    }
    if (ca == sIdx) {
        if (cr == rec->kd[1]) return swapflag(3);
        if (cr == rec->kd[2]) return swapflag(4);
        fatal("Error IV in function which_pair_swaps\n");
    }
    fatal("Error V in function which_pair_swaps\n");
}

void mult_alignment::zweimalvier(std::vector<quart_zus>& outer, mercedes_stern& anc,
                                 mercedes_stern& rec, swapflag swp) {
    outer.clear();
    std::vector<unsigned> idx(2, 0);
    while (idx[0] < anc.ali.size() && idx[1] < rec.ali.size()) {
        const hex_zus h = two_quart_to_hex(anc, rec, idx);
        const quart_zus q = swap_quart_zus(hex_to_quart(h), swp);
        if (q == 17) continue;
        outer.push_back(q);
        if (q == 16) break;
    }
    if (idx[0] != anc.ali.size() || idx[1] != rec.ali.size() || outer.empty() ||
        outer.back() != 16)
        fatal("Error in function zweimalvier\n");
}

hex_zus mult_alignment::two_quart_to_hex(mercedes_stern& anc, mercedes_stern& rec,
                                         std::vector<unsigned>& idx) {
    if (idx.size() != 2 || idx[0] >= anc.ali.size() || idx[1] >= rec.ali.size())
        fatal("Inadequate index vector in function two_quart_to_hex!\n");
    const int a = anc.ali[idx[0]];
    const int r = rec.ali[idx[1]];
    if (a > 16 || a < 0) fatal("Unreasonable state in m1.ali\n");
    const bool rok = r >= 0 && r <= 16;
    // Insertions on S's branch first, then on R1's and R2's, then P alone.
    if (a >= 9 && a <= 12 && rok) {
        ++idx[0];
        return hex_zus(21);
    }
    if (r >= 9 && r <= 12) {
        ++idx[1];
        return hex_zus(30);
    }
    if (r == 13 || r == 14) {
        ++idx[1];
        return hex_zus(32);
    }
    if (a == 7 && rok) {
        ++idx[0];
        return hex_zus(10);
    }
    int h = -1;
    switch (a) {
    case 0: h = r == 0 ? 0 : r == 1 ? 4 : r == 2 ? 2 : r == 4 ? 6 : -1; break;
    case 1: h = r == 7 ? 8 : -1; break;
    case 2: h = r == 0 ? 1 : r == 1 ? 5 : r == 2 ? 3 : r == 4 ? 7 : -1; break;
    case 3: h = r == 0 ? 11 : r == 1 ? 15 : r == 2 ? 13 : r == 4 ? 17 : -1; break;
    case 4: h = r == 7 ? 9 : -1; break;
    case 5: h = r == 7 ? 19 : -1; break;
    case 6: h = r == 0 ? 12 : r == 1 ? 16 : r == 2 ? 14 : r == 4 ? 18 : -1; break;
    case 8: h = r == 7 ? 20 : -1; break;
    case 13:
    case 14: h = r == 3 ? 26 : r == 5 ? 28 : r == 6 ? 27 : r == 8 ? 29 : -1; break;
    case 15: h = r == 15 ? 33 : -1; break;
    case 16: h = r == 16 ? 34 : -1; break;
    default: break;
    }
    if (h < 0) fatal("Unreasonable state in m2.ali\n");
    ++idx[0];
    ++idx[1];
    return hex_zus(h);
}

quart_zus mult_alignment::hex_to_quart(hex_zus h) {
    static const int q[35] = {0,  18, 2,  20, 1,  19, 4,  7,  4,  7,  7,  3,  21, 6,  13, 5,  9, 8,
                              17, 8,  17, 8,  8,  8,  8,  8,  21, 13, 9,  17, 9,  9,  13, 15, 16};
    if (h < 0 || h > 34) fatal("Strange hextett state in function hex_to_quart\n");
    return quart_zus(q[h]);
}

quart_zus mult_alignment::swap_quart_zus(quart_zus q, swapflag swp) {
    // Roles N and C exchanged (flags 1, 4), N and B exchanged (flags 2, 3).
    static const int nc[22] = {0, 18, 2, 3, 20, 21, 6, 7, 13, 9, 10,
                               11, 12, 8, 8, 15, 16, 17, 1, 19, 4, 5};
    static const int nb[22] = {0, 1, 18, 3, 19, 5, 21, 7, 9, 8, 8,
                               8, 8, 13, 14, 15, 16, 17, 2, 4, 20, 6};
    if (q < 0 || q > 21) fatal("Strange state in function swap_quart_zus\n");
    if (q == 0 || q == 3 || q == 7 || q == 15 || q == 16 || q == 17) return q;
    if (swp == 1 || swp == 4) return quart_zus(nc[q]);
    if (swp == 2 || swp == 3) return quart_zus(nb[q]);
    fatal("swapflag=", static_cast<int>(swp), "\n");
}

void mult_alignment::fillH(mercedes_stern& anc, mercedes_stern& rec, swapflag swp) {
    baum* A = anc.centre;
    baum* R = rec.centre;
    if (R->parent() != A) fatal("anc is not the parent of rec in function fillH\n");
    const unsigned toR = static_cast<unsigned>(A->whichone(R));
    if (toR != anc.kd[1] && toR != anc.kd[2]) fatal("Error I in function fillH\n");
    const unsigned sIdx = (toR == anc.kd[1]) ? anc.kd[2] : anc.kd[1];
    if (static_cast<unsigned>(R->whichone(A)) != rec.kd[0]) fatal("Error II in function fillH\n");

    double t[5] = {A->neighbors[anc.kd[0]].brl, A->neighbors[sIdx].brl, A->neighbors[toR].brl,
                   R->neighbors[rec.kd[1]].brl, R->neighbors[rec.kd[2]].brl};
    if (swp == 2 || swp == 3)
        std::swap(t[1], t[3]);
    else if (swp == 1 || swp == 4)
        std::swap(t[1], t[4]);
    else
        fatal("Impossible value of swp\n");
    indmodel.fillH(t[0], t[1], t[2], t[3], t[4]);
}

void mult_alignment::keeptrack(std::vector<baum*>& nodes, std::vector<unsigned>& idx, baum* first,
                               int k1, baum* second, int k2) {
    for (std::size_t i = 0; i < nodes.size() && i < idx.size(); ++i) {
        if (nodes[i] == second && k2 >= 0 && idx[i] == static_cast<unsigned>(k2)) {
            nodes[i] = first;
            idx[i] = static_cast<unsigned>(k1);
        } else if (nodes[i] == first && k1 >= 0 && idx[i] == static_cast<unsigned>(k1)) {
            nodes[i] = second;
            idx[i] = static_cast<unsigned>(k2);
        }
    }
}

// ---------------------------------------------------------------------------
// Writing the hextet path

void mult_alignment::write_centpair(std::vector<hex_zus>& path, mercedes_stern& anc,
                                    mercedes_stern& rec, swapflag swp) {
    baum* A = anc.centre;
    baum* R = rec.centre;
    if (R->parent() != A) fatal("anc is not the parent of rec in function fillH\n");
    if (swp < 1 || swp > 4) fatal("Impossible value of swp in write_centpair\n");

    // Outer nodes with their centre and slot before the exchange.
    const int toR = A->whichone(R);
    const int toA = R->whichone(A);
    const int sIdx =
        (A->NB(static_cast<int>(anc.kd[1])) == R) ? static_cast<int>(anc.kd[2])
                                                  : static_cast<int>(anc.kd[1]);
    baum* outer[4] = {A->NB(static_cast<int>(anc.kd[0])), A->NB(sIdx),
                      R->NB(static_cast<int>(rec.kd[1])), R->NB(static_cast<int>(rec.kd[2]))};
    baum* centre[4] = {A, A, R, R};
    int slot[4] = {static_cast<int>(anc.kd[0]), sIdx, static_cast<int>(rec.kd[1]),
                   static_cast<int>(rec.kd[2])};
    double brl[4];
    int back[4];  // outer node's record of its centre before the exchange
    for (int k = 0; k < 4; ++k) {
        brl[k] = centre[k]->neighbors[slot[k]].brl;
        back[k] = outer[k]->whichone(centre[k]);
    }
    // After the exchange an exchanged node sits in its partner's slot.
    static const int pair[5][2] = {{0, 0}, {oP, oR1}, {oP, oR2}, {oS, oR1}, {oS, oR2}};
    int postslot[4] = {slot[0], slot[1], slot[2], slot[3]};
    std::swap(postslot[pair[swp][0]], postslot[pair[swp][1]]);

    // Roles U, B, D, E per flag; N and M are the centres.
    static const int roles[5][4] = {{0, 0, 0, 0},
                                    {oP, oR2, oR1, oS},
                                    {oP, oR1, oS, oR2},
                                    {oP, oR1, oS, oR2},
                                    {oP, oR2, oR1, oS}};
    baum* N = (swp <= 2) ? R : A;
    baum* M = (swp <= 2) ? A : R;
    const int rU = roles[swp][0], rB = roles[swp][1], rD = roles[swp][2], rE = roles[swp][3];
    baum* U = outer[rU];
    baum* B = outer[rB];
    baum* D = outer[rD];
    baum* E = outer[rE];

    std::vector<int>& mUN = U->neighbors[back[rU]].posmap;
    std::vector<int>& mBN = B->neighbors[back[rB]].posmap;
    std::vector<int>& mDM = D->neighbors[back[rD]].posmap;
    std::vector<int>& mEM = E->neighbors[back[rE]].posmap;
    std::vector<int>& mNU = N->neighbors[postslot[rU]].posmap;
    std::vector<int>& mNB = N->neighbors[postslot[rB]].posmap;
    std::vector<int>& mMD = M->neighbors[postslot[rD]].posmap;
    std::vector<int>& mME = M->neighbors[postslot[rE]].posmap;
    std::vector<int>& mNM = N->neighbors[N == A ? toR : toA].posmap;
    std::vector<int>& mMN = M->neighbors[M == A ? toR : toA].posmap;

    substmodel Ma(submodel), Mb(submodel), Mc(submodel), Md(submodel), Me(submodel);
    Ma.settime(brl[rU]);
    Mb.settime(brl[rB]);
    Mc.settime(A->neighbors[toR].brl);
    Md.settime(brl[rD]);
    Me.settime(brl[rE]);

    for (std::vector<int>* m : {&mUN, &mBN, &mDM, &mEM, &mNU, &mNB, &mMD, &mME, &mNM, &mMN})
        m->clear();
    N->seq.clear();
    M->seq.clear();

    const bioseq& Us = U->seq;
    const bioseq& Bs = B->seq;
    const bioseq& Ds = D->seq;
    const bioseq& Es = E->seq;
    int u = -1, n = -1, b = -1, m = -1, d = -1, e = -1;
    const int lu = static_cast<int>(Us.size()), lb = static_cast<int>(Bs.size()),
              ld = static_cast<int>(Ds.size()), le = static_cast<int>(Es.size());
    // The path must hold exactly the outer residues: no read beyond a
    // sequence, none left over at the end; the shortfalls of U, B, D, E.
    auto stop = [&]() {
        fatal("Unknown state in function write_centpair\n", lu - u - 1, " ", lb - b - 1, " ",
              ld - d - 1, " ", le - e - 1, "\n");
    };
    auto step = [&](int& c, int l) {
        if (++c >= l) stop();
    };

    const std::size_t len = path.size();
    for (std::size_t k = 0; k < len; ++k) {
        const int s = path[k];
        if (s > 34 || s < 0) fatal("Unknown state in function write_centpair\n");
        if (s == 33) {
            if (k != 0) fatal("Late start in function write_centpair\n");
            continue;
        }
        if (s == 34) {
            if (k + 1 != len) fatal("Early end in function write_centpair\n");
            continue;
        }
        const unsigned h = hex_holders(s);
        if (h & hU) step(u, lu);
        if (h & hN) ++n;
        if (h & hB) step(b, lb);
        if (h & hM) ++m;
        if (h & hD) step(d, ld);
        if (h & hE) step(e, le);

        if (h & hU) mUN.push_back(n);
        if (h & hB) mBN.push_back(n);
        if (h & hN) {
            mNU.push_back(u);
            mNB.push_back(b);
            mNM.push_back(m);
        }
        if (h & hM) {
            mMN.push_back(n);
            mMD.push_back(d);
            mME.push_back(e);
        }
        if (h & hD) mDM.push_back(m);
        if (h & hE) mEM.push_back(m);

        // Residues of N (x) and M (y); a pair draw takes the centre with
        // fewer known neighbours as its first node.
        int x = -1, y = -1;
        switch (s) {
        case 0: infer_six(x, y, Mc, Us[u], Ma, Bs[b], Mb, Ds[d], Md, Es[e], Me); break;
        case 1: infer_five(x, y, Mc, Us[u], Ma, Ds[d], Md, Es[e], Me); break;
        case 2: infer_five(y, x, Mc, Es[e], Me, Bs[b], Mb, Us[u], Ma); break;
        case 3: infer_line(x, y, Mc, Us[u], Ma, Es[e], Me); break;
        case 4: infer_five(y, x, Mc, Ds[d], Md, Bs[b], Mb, Us[u], Ma); break;
        case 5: infer_line(x, y, Mc, Us[u], Ma, Ds[d], Md); break;
        case 6: infer_star(y, x, Mc, Us[u], Ma, Bs[b], Mb); break;
        case 7: infer_three(y, x, Mc, Us[u], Ma); break;
        case 8: x = infer_base(Us[u], Ma, Bs[b], Mb); break;
        case 9: x = infer_base(Us[u], Ma); break;
        case 11: infer_five(x, y, Mc, Bs[b], Mb, Ds[d], Md, Es[e], Me); break;
        case 12: infer_star(x, y, Mc, Ds[d], Md, Es[e], Me); break;
        case 13: infer_line(x, y, Mc, Bs[b], Mb, Es[e], Me); break;
        case 14: infer_three(x, y, Mc, Es[e], Me); break;
        case 15: infer_line(x, y, Mc, Bs[b], Mb, Ds[d], Md); break;
        case 16: infer_three(x, y, Mc, Ds[d], Md); break;
        case 17: infer_three(y, x, Mc, Bs[b], Mb); break;
        case 18: Mc.choosepair(x, y); break;
        case 19: x = infer_base(Bs[b], Mb); break;
        case 20: x = submodel.choosebase(); break;
        case 26: y = infer_base(Ds[d], Md, Es[e], Me); break;
        case 27: y = infer_base(Es[e], Me); break;
        case 28: y = infer_base(Ds[d], Md); break;
        case 29: y = submodel.choosebase(); break;
        default: break;  // outer residues only
        }
        if (h & hN) N->seq.push_back(x);
        if (h & hM) M->seq.push_back(y);
    }

    if (u + 1 != lu || b + 1 != lb || d + 1 != ld || e + 1 != le) stop();
}
