#include "sampler/mult_align.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <unordered_map>
#include <utility>

#include "sequence/logspace.h"
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
