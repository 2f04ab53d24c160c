// Simulated data sets for the benchmark programs: sequences along a balanced
// tree, written as a FASTA file with a star guide tree, and the parameters
// of a run on them; a checksum of texts.
#ifndef QUILLMAR_BENCH_SIMDATA_H
#define QUILLMAR_BENCH_SIMDATA_H

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "control/eingabe.h"

// FNV-1a hash of a text, for checksums of results.
inline std::uint64_t fnv1a(const std::string& s) {
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

// Substitutions with probability p, single-residue insertions and deletions
// with probability q each.
inline std::string evolve(std::mt19937& g, const std::string& a, const std::string& alpha, double p,
                          double q) {
    std::uniform_real_distribution<double> u(0, 1);
    std::string b;
    for (char c : a) {
        const double x = u(g);
        if (x < q) continue;
        if (x < 2 * q) b += alpha[g() % alpha.size()];
        b += u(g) < p ? alpha[g() % alpha.size()] : c;
    }
    return b;
}

// n sequences along a balanced tree from a random root of length len; p and
// q are the substitution and the insertion (and deletion) probabilities per
// branch.
inline std::vector<std::string> simulate(unsigned seed, int n, int len, const std::string& alpha,
                                         double p = 0.06, double q = 0.004) {
    std::mt19937 g(seed);
    std::vector<std::string> level{std::string()};
    for (int i = 0; i < len; ++i) level[0] += alpha[g() % alpha.size()];
    while (static_cast<int>(level.size()) < n) {
        std::vector<std::string> next;
        for (const std::string& s : level) {
            next.push_back(evolve(g, s, alpha, p, q));
            next.push_back(evolve(g, s, alpha, p, q));
        }
        level = next;
    }
    level.resize(n);
    return level;
}

inline std::string alphabet(bool protein) { return protein ? "ARNDCQEGHILKMFPSTWYV" : "ACGT"; }

// Writes seqs.fasta and a star guide.tree into dir and returns the
// parameters of a run on them: HKY (kappa 2) or JTT with equal
// frequencies, TKF1 indels.
inline eingabe_parameter write_data_set(const std::string& dir,
                                        const std::vector<std::string>& seqs, bool protein) {
    std::string fasta, guide = "(";
    for (std::size_t i = 0; i < seqs.size(); ++i) {
        fasta += ">s" + std::to_string(i + 1) + "\n" + seqs[i] + "\n";
        guide += (i ? ",s" : "s") + std::to_string(i + 1);
    }
    guide += ");\n";
    std::ofstream(dir + "/seqs.fasta") << fasta;
    std::ofstream(dir + "/guide.tree") << guide;

    const std::string alpha = alphabet(protein);
    eingabe_parameter P;
    P.files.infile = dir + "/seqs.fasta";
    P.files.guidetree = dir + "/guide.tree";
    P.subst.model = protein ? JTT : HKY;
    P.subst.params = protein ? std::vector<double>{} : std::vector<double>{2.0};
    P.subst.freqs_given = true;
    P.subst.freqs.assign(alpha.size(), 1.0 / static_cast<double>(alpha.size()));
    P.fix = keepfixed(P.subst.model, TKF1);
    return P;
}

// A simulated data set of n sequences of about len residues in dir, and the
// parameters of a run on it with half of steps in burn-in.
inline eingabe_parameter dataset_files(const std::string& dir, bool protein, int n, int len,
                                       int steps) {
    std::filesystem::create_directories(dir);
    eingabe_parameter P = write_data_set(
        dir, simulate(1000u * n + len + (protein ? 7 : 0), n, len, alphabet(protein)), protein);
    P.cool.burnin = static_cast<std::uint32_t>(steps / 2);  // half burn-in, half annealing
    return P;
}

#endif
