// Sampler state, the multiple alignment of the leaves, its column patterns
// and the joint log likelihood of a tree with its branch alignments.
#ifndef QUILLMAR_SAMPLER_MULT_ALIGN_H
#define QUILLMAR_SAMPLER_MULT_ALIGN_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "control/eingabe.h"
#include "models/indel.h"
#include "models/substmod.h"
#include "pairwise/profalign.h"
#include "sequence/data.h"
#include "sequence/seqcode.h"
#include "tree/treespec.h"

// The multiple alignment of a tree's leaves, merged from its branch
// alignments: rows in depth-first order below the root's child, the root
// leaf's row last; gaps are '_'.
class mdataset : public dataset {
public:
    mdataset();
    // From the root of a tree (a leaf with one neighbour) and the alphabet.
    mdataset(baum* root, alphsize a);
    mdataset(baum* root, int a);
    mdataset(const mdataset& other);
    mdataset& operator=(mdataset other);
    ~mdataset();

    // Names and rows of the leaves below node; for a node with a parent P
    // also the maps of P's sequence (first) against the subtree's columns.
    void push_mult(baum* node, std::vector<int>& parentmap, std::vector<int>& columnmap,
                   std::vector<std::vector<char>>& names,
                   std::vector<std::vector<char>>& rows);
    // False when every entry is a gap; a column of the wrong size is fatal.
    bool validcolumn(std::vector<char>& column, unsigned int nrows);
    // False when every state is END; allstart := every state is START.
    bool notatend(std::vector<zustand>& states, bool& allstart);
    // Column b of the alignment, one character per row.
    void row(unsigned int b, std::vector<char>& column);
};

// The distinct columns of a leaf alignment in descending order, with counts.
class compact_subst_pattern {
public:
    std::vector<std::vector<char>> columns;
    std::vector<int> counts;
    std::vector<std::string> names;

    compact_subst_pattern();
    explicit compact_subst_pattern(mdataset& align);
    compact_subst_pattern(const compact_subst_pattern& other);
    compact_subst_pattern& operator=(compact_subst_pattern other);
    ~compact_subst_pattern();
};

// True when the two columns have gaps ('_' or '-') in exactly the same rows.
bool patternequivalent(std::vector<char>& a, std::vector<char>& b);

// The whole state of the sampler.
class mult_alignment {
public:
    substmodel submodel;
    indel indmodel;
    baum* told = nullptr;   // current tree, owned through its root leaf
    baum* tnew = nullptr;   // working tree, owned; scratch
    keepfixed fix;
    cooling cool;
    std::uint32_t counter = 0;
    mdataset malign;
    compact_subst_pattern pattern;
    double loglik = 0.0;
    double tempali = 1.0;
    double tempparam = 1.0;
    double rateali = 0.0;
    double rateparam = 0.0;
    unsigned widthindex = 8;
    unsigned widthround = 0;
    bool widthdown = true;
    std::vector<double> widthgain = std::vector<double>(8, 0.0);
    std::vector<int> widthcount = std::vector<int>(8, 0);

    // Not to be used: fatal.
    mult_alignment();
    // A state around a given tree (a root leaf with sequences and branch
    // alignments everywhere), which it takes over; alignment, patterns and
    // log likelihood are derived, the annealing fields get start values.
    mult_alignment(const substmodel& sm, const indel& im, baum* tree, const keepfixed& f,
                   const cooling& c);
    // Deep copy of the current tree; no working tree.
    mult_alignment(const mult_alignment& other);
    // Two states never share a tree; assignment would.
    mult_alignment& operator=(const mult_alignment&) = delete;
    ~mult_alignment();

    // tnew := a fresh deep copy of told; returns tnew.
    baum* ausaltmachneu();
    // told := a fresh deep copy of tnew; returns told.
    baum* ausneumachalt();

    // Joint log likelihood of a tree with its patterns.
    double complik(compact_subst_pattern& pat, baum* root);
    double complik(compact_subst_pattern& pat, baum* root, indel& im, substmodel& sm);
    // Indel part of the subtree below a node.
    double indlik(baum* node, indel& im);
    // Substitution part over all patterns: pattern terms summed pairwise
    // by halving; transition tables, column subtrees and partial vectors
    // of repeated sub-columns are computed once per call.
    double sublik(compact_subst_pattern& pat, baum* root, substmodel& sm);
    // Log probability of one column on its column subtree.
    double logprobofpattern(std::vector<char>& column, baum* root, substmodel& sm);
    // Partial log likelihoods of the subtree below a node.
    void childliks(std::vector<char>& column, baum* node, substmodel& sm,
                   std::vector<double>& v, int n);

    // --- Inner residues, initial inner sequences, resampling sweep ---

    // --- Local swap with hextet re-alignment ---

    // --- Start-up, accessors, log entries and result files ---

    // --- Sampler step, parameter proposals, nearest-neighbour interchange ---
};

// The annealing loop over the current state: runs until the step limit or
// the stop rule, keeping the best state seen; returns the count for the
// parameter file's last line.
std::uint32_t annealing_loop(mult_alignment*& current, mult_alignment*& best, int type,
                             std::ostream& log);

#endif
