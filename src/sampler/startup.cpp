// Start-up of the sampler state from the run parameters: data set, guide tree,
// pairwise distances, start tree, branch lengths; one try to improve the start.
#include "sampler/mult_align.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <fstream>
#include <iostream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "sequence/fatal.h"

namespace {

// Branch lengths of the guide tree as read must not be negative.
void check_lengths(baum* node, const baum* from) {
    for (auto& nb : node->neighbors) {
        if (nb.node == from || nb.node == nullptr) continue;
        if (nb.brl < 0.0) fatal("The guide tree has a negative branch length (", nb.brl, ")\n");
        check_lengths(nb.node, node);
    }
}

// Calls f on every leaf below node, the node included.
template <class F>
void for_leaves(baum* node, const F& f) {
    if (node->id.number >= 0) f(node);
    for (const auto& nb : node->neighbors)
        if (!nb.isparent && nb.node != nullptr) for_leaves(nb.node, f);
}

// Sequences that the guide tree leaves out take no part in the alignment.
void warn_unnamed(const std::vector<std::vector<char>>& left_out) {
    std::string missing;
    for (const auto& name : left_out) {
        missing.append(name.begin(), name.end());
        missing += "\n";
    }
    if (!missing.empty())
        warn("WARNING: The guide tree does not name these sequences, which are left out:\n",
             missing);
}

// The result alignment writes ten characters of a name and the result tree
// the whole name: longer names are listed in data-set order, then those
// that agree in their first ten in groups, each in data-set order.
void warn_cut_names(const std::vector<std::vector<char>>& names) {
    constexpr std::size_t kept = 10;
    std::string longer;
    for (const auto& name : names)
        if (name.size() > kept) {
            longer.append(name.begin(), name.end());
            longer += "\n";
        }
    if (!longer.empty())
        warn(
            "WARNING: The result alignment keeps only the first ten characters of each name, "
            "and cuts these, which the result tree keeps whole:\n",
            longer);
    std::unordered_map<std::string, std::size_t> group_of;
    std::vector<std::vector<std::size_t>> groups;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto cut =
            names[i].begin() + static_cast<std::ptrdiff_t>(std::min(kept, names[i].size()));
        const auto found = group_of.emplace(std::string(names[i].begin(), cut), groups.size());
        if (found.second) groups.emplace_back();
        groups[found.first->second].push_back(i);
    }
    std::string text;
    for (const auto& g : groups) {
        if (g.size() < 2) continue;
        if (!text.empty()) text += "\n";
        for (std::size_t i : g) {
            text.append(names[i].begin(), names[i].end());
            text += "\n";
        }
    }
    if (!text.empty())
        warn(
            "WARNING: The result alignment keeps only the first ten characters of each name, "
            "and these sequences share them:\n",
            text);
}

// The guide-tree file, read before the sequence file for its leaf names:
// only their rows are stored. A guide tree that does not read cleanly keeps
// every row; its fault is reported when its text is taken, after those of
// the sequence file.
class guide_file {
public:
    explicit guide_file(const std::string& filename) : name(filename) {
        read = read_guide_file(name.c_str(), text);
        filtered = read == guide_read::ok && guide_leaf_names(text, leaves);
    }

    // The rows for the sequence reader to store; empty: every row.
    row_filter filter() const {
        if (!filtered) return nullptr;
        return [this](const std::vector<char>& row_name) { return stored(row_name); };
    }
    bool stored(const std::vector<char>& row_name) const {
        return !filtered || leaves.count(std::string(row_name.begin(), row_name.end())) != 0;
    }
    // The text of the tree, taken once; a fault of the file ends the run here.
    std::string take_text() {
        check_guide_read(read, name.c_str());
        return std::move(text);
    }

private:
    std::string name;
    std::string text;
    guide_read read = guide_read::ok;
    std::unordered_set<std::string> leaves;
    bool filtered = false;
};

// The data set of the run: the sequences the tree names, in file order,
// with their rows moved out of the file's; the leaves are renumbered as its
// rows and get their sequences. left_out := the names of the others, in
// file order.
void take_named(baum* tree, dataset& file, const guide_file& guide, dataset& ds,
                std::vector<std::vector<char>>& left_out) {
    std::vector<bool> named(file.names.size(), false);
    for_leaves(tree,
               [&named](baum* leaf) { named[static_cast<std::size_t>(leaf->id.number)] = true; });
    // A leaf whose row the reader passed over would align an empty sequence.
    for (std::size_t i = 0; i < named.size(); ++i)
        if (named[i] && !guide.stored(file.names[i]))
            fatal(
                "Internal error: the guide tree names a sequence whose residues were not "
                "read\n");
    std::vector<int> row_of(file.names.size(), -1);
    for (std::size_t i = 0; i < named.size(); ++i) {
        if (!named[i]) {
            left_out.push_back(std::move(file.names[i]));
            continue;
        }
        row_of[i] = ds.spez();
        ds.names.push_back(std::move(file.names[i]));
        ds.seqs.push_back(std::move(file.seqs[i]));
    }
    std::vector<std::vector<char>>().swap(file.seqs);
    ds.guesstype();
    for_leaves(tree, [&](baum* leaf) {
        leaf->id.number = row_of[static_cast<std::size_t>(leaf->id.number)];
        leaf->seq = bioseq(ds.seqs[static_cast<std::size_t>(leaf->id.number)], ds.type);
    });
}

// The guide tree on the sequence file, with ds and left_out as take_named
// leaves them. Reading the tree draws no random number.
baum* read_guided(const filenames& files, int type, dataset& ds,
                  std::vector<std::vector<char>>& left_out) {
    std::ifstream in(files.infile);
    if (!in) fatal("Cannot open sequence file ", files.infile, "\n");
    guide_file guide(files.guidetree);
    dataset file(in, files.format, guide.filter());
    if (file.spez() < 2)
        fatal("There are ", file.spez(), " sequences.\n", "There is nothing to align.\n");

    // The leaves are matched against every name of the file; their rows are
    // coded once the named sequences are known.
    baum* tree = new baum(guide.take_text(), true, file.names);
    if (type == 0) check_lengths(tree, nullptr);
    take_named(tree, file, guide, ds, left_out);
    return tree;
}

}  // namespace

mult_alignment::mult_alignment(eingabe_parameter P, int type) {
    dataset ds;
    std::vector<std::vector<char>> left_out;
    baum* tree = read_guided(P.files, type, ds, left_out);

    std::vector<double> freqs;
    if (P.subst.freqs_given) freqs = P.subst.freqs;
    else ds.getfreqs(freqs);
    const alphsize alph = static_cast<alphsize>(ds.type);

    submodel = substmodel(alph, P.subst.model, freqs, P.subst.params);
    indmodel = indel(P.indelp.params, P.indelp.model);
    fix = P.fix;
    cool = P.cool;

    warn_unnamed(left_out);
    warn_cut_names(ds.names);

    std::vector<std::vector<double>> D;
    if (type == 1 || type == 2) {
        std::cout << "Computing pairwise distances in an approximate EM step" << std::endl;
        compute_distmat(ds, D);
    }

    told = tree->reroot();
    told->fuseblindnodes(true);

    if (type == 1 || type == 2) {
        std::cout << "Building the initial NJ tree" << std::endl;
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
                          << " scale=" << S[i][j] << std::endl;
            }
        }
    }

    const double s = median_scale(S);
    indmodel.rescale(s);
    std::cout << "Second round of EM algorithm.\nInsertion rate multiplied with " << s << std::endl;

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
                std::cout << ds.names[i] << " " << ds.names[j] << " distance=" << D[i][j]
                          << std::endl;
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
    std::cout << "Optimising branch lengths" << std::endl;
    optimaltime(told);
    malign = mdataset(told, submodel.retalf());
    pattern = compact_subst_pattern(malign);
    loglik = complik(pattern, told);
    subkept = false;
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
    subkept = false;
    return true;
}
