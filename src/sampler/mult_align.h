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
                   std::vector<std::vector<char>>& names, std::vector<std::vector<char>>& rows);
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
    baum* told = nullptr;  // current tree, owned through its root leaf
    baum* tnew = nullptr;  // working tree, owned; scratch
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
    void childliks(std::vector<char>& column, baum* node, substmodel& sm, std::vector<double>& v,
                   int n);

    // --- Inner residues, initial inner sequences, resampling sweep ---
    // Draws of inner residues from their posterior given the neighbours'
    // residues, each with its model at the branch time; one uniform is
    // always drawn first. A zero-length branch copies that neighbour's code.
    int infer_base(int a, const substmodel& Ma, int b, const substmodel& Mb, int c,
                   const substmodel& Mc);
    int infer_base(int a, const substmodel& Ma, int b, const substmodel& Mb);
    int infer_base(int a, const substmodel& Ma);
    // Joint draws of two adjacent inner nodes x - y (model Mxy); a is on
    // x's side and roots the local tree.
    void infer_six(int& x, int& y, const substmodel& Mxy, int a, const substmodel& Ma, int b,
                   const substmodel& Mb, int c, const substmodel& Mc, int e, const substmodel& Me);
    void infer_five(int& x, int& y, const substmodel& Mxy, int a, const substmodel& Ma, int b,
                    const substmodel& Mb, int c, const substmodel& Mc);
    void infer_line(int& x, int& y, const substmodel& Mxy, int a, const substmodel& Ma, int b,
                    const substmodel& Mb);
    void infer_star(int& x, int& y, const substmodel& Mxy, int a, const substmodel& Ma, int b,
                    const substmodel& Mb);
    void infer_three(int& x, int& y, const substmodel& Mxy, int a, const substmodel& Ma);

    // Sequences of the inner nodes and alignments of the branches below
    // node, bottom-up; the tree must be bifurcating and rooted at a leaf.
    void construct_align(baum* node);
    // New sequence of node sampled from its two neighbours nbs (B, C) and
    // the alignments of node-B and node-C.
    void midseq(baum* node, std::vector<unsigned>& nbs);
    void write_midseq_to_tree(std::vector<triplet_zus>& path, baum* node,
                              std::vector<unsigned>& nbs);

    // One sweep in random order over inner nodes and branches; false when
    // an inner sequence came out empty or far too long.
    bool uphill(baum* tree);
    bool uphill(baum* tree, substmodel& sm, indel& im);
    // fam := [parent side, first other, second other] neighbour indices.
    void familie(std::vector<unsigned>& fam, baum* node);
    void samp_centseq(baum* centre, std::vector<unsigned>& fam, substmodel& sm, indel& im);
    // Quartet path of the centre from its three edge alignments.
    void quartali(std::vector<quart_zus>& path, baum* centre, std::vector<unsigned>& fam);
    quart_zus which_quartet_zus(std::vector<zustand>& z);
    // Projection of a quartet path onto the three neighbours.
    void quart_to_tri(std::vector<quart_zus>& path, std::vector<triplet_zus>& tri);
    void write_centseq(std::vector<quart_zus>& path, baum* centre, std::vector<unsigned>& fam,
                       substmodel& sm);

    // --- Local swap with hextet re-alignment ---
    // The exchange about to happen (P, S: parent side and other child of
    // the upper centre; R1, R2: children of the lower centre).
    enum swapflag : int { SWAP_P_R1 = 1, SWAP_P_R2, SWAP_S_R1, SWAP_S_R2 };
    // One end of the swapped branch with its three neighbours.
    struct mercedes_stern {
        baum* centre = nullptr;      // inner node with three neighbours
        std::vector<quart_zus> ali;  // its quartet path
        std::vector<unsigned> kd;    // family vector, partner last if a child
        int childtochange = 0;       // slot of the exchanged subtree
        mercedes_stern(baum* centre, std::vector<quart_zus>& ali, std::vector<unsigned>& kd,
                       int childtochange);
        // Not to be used: fatal.
        mercedes_stern();
        ~mercedes_stern();
    };
    // Resamples the sequences of node and nb and the five alignments around
    // them for the topology after node->swapbr(index of nb, c1, c2).
    void hexali(baum* node, baum* nb, int c1, int c2);
    // The family vector, with partner moved from fam[1] to fam[2].
    void familie(std::vector<unsigned>& fam, baum* node, baum* partner);
    // Samples the hextet path and writes it into the tree.
    void central_pair(mercedes_stern& m1, mercedes_stern& m2);
    swapflag which_pair_swaps(mercedes_stern& m1, mercedes_stern& m2, mercedes_stern*& anc,
                              mercedes_stern*& rec);
    // The outer path over (U, B, D, E) after the exchange.
    void zweimalvier(std::vector<quart_zus>& outer, mercedes_stern& anc, mercedes_stern& rec,
                     swapflag swp);
    // Next merged column of the two quartet paths; idx: read positions.
    hex_zus two_quart_to_hex(mercedes_stern& anc, mercedes_stern& rec, std::vector<unsigned>& idx);
    // A hextet column seen from (P, S, R1, R2).
    quart_zus hex_to_quart(hex_zus h);
    // The same column with roles relabelled for the exchange.
    quart_zus swap_quart_zus(quart_zus q, swapflag swp);
    // Hextet table of indmodel for the roles after the exchange.
    void fillH(mercedes_stern& anc, mercedes_stern& rec, swapflag swp);
    // After an exchange of the subtrees at slot k1 of first and slot k2 of
    // second, the pending branch list goes on naming the same subtrees.
    void keeptrack(std::vector<baum*>& nodes, std::vector<unsigned>& idx, baum* first, int k1,
                   baum* second, int k2);
    // Centre sequences and the ten maps of the post-exchange topology.
    void write_centpair(std::vector<hex_zus>& path, mercedes_stern& anc, mercedes_stern& rec,
                        swapflag swp);

    // --- Start-up, accessors, log entries and result files ---

    // Start-up of a run from its parameters and the analysis type 0, 1, 2:
    // sequences, models, distances (types 1, 2), start tree, inner
    // sequences, alignments and branch lengths.
    mult_alignment(eingabe_parameter P, int type);
    // Pairwise distances in two EM passes; indmodel's rates are multiplied
    // by the median scale of the first pass in between.
    void compute_distmat(dataset& ds, std::vector<std::vector<double>>& D);
    // Median of the upper triangle; 1.0 when it is empty.
    double median_scale(std::vector<std::vector<double>>& S);
    // Every branch length := the best time of its fixed alignment; then the
    // leaf alignment, patterns and log likelihood again.
    void optim_times();
    void optimaltime(baum* node);
    // Resamples a copy re-rooted at a random leaf; taken only if better.
    bool trytoimprove();

    // Log entry and result-file writers.
    void bericht(std::ostream& os);
    void print_params(std::ostream& os);
    void print_tree(std::ostream& os);
    void print_phylip(std::ostream& os);
    void print_screen(std::ostream& os);

    double delta() const { return cool.delta; }
    bool burnin() const { return counter < cool.burnin; }
    bool inrange() const { return counter < cool.maxsteps; }
    // Every reportafter steps from step 0; a zero interval reports step 0 only.
    bool report() const {
        return cool.reportafter == 0 ? counter == 0 : counter % cool.reportafter == 0;
    }
    double likelihood() const { return loglik; }
    std::uint32_t step() const { return counter; }
    unsigned spez() const { return static_cast<unsigned>(malign.spez()); }
    void counterreset();
    void setcounter(std::uint32_t c) { counter = c; }
    // Re-roots told at a random leaf and derives alignment, patterns and
    // log likelihood again.
    void toldWurz();

    // --- Sampler step, parameter proposals, nearest-neighbour interchange ---

    // One step over tree, branch lengths, inner sequences and alignments.
    void maunewton();
    // Annealed acceptance of the working tree; true when it was taken.
    bool alteroderneuerbaum();
    // Half-width of the branch shifts for the current multiplier.
    double halfwidth() const;
    // Width bookkeeping after a step with the given gain |oldL - loglik|:
    // the multiplier walks 8..1..8, and every 400 steps delta is adapted.
    void widthstep(double gain);
    // The annealed rule: a strictly higher score, or a > u with a = exp(d)
    // up to burnin and exp(d * ((step - burnin) * rate + 1) / temp) after.
    static bool annealed(double newscore, double oldscore, double u, std::uint32_t step,
                         std::uint32_t burnin, double rate, double temp);
    // c / ((1 - alpha) * n - alpha * loglik / len) from the leaf alignment;
    // 0 with a warning when that is not a positive finite number.
    double coolingrate(double c, double alpha, const char* what) const;

    // New model parameters drawn from exponentials around the current ones,
    // with the log prior and proposal terms of both directions.
    class proposal {
    public:
        std::vector<double> subpar;
        std::vector<double> idpar;
        double lognew = 0.0;
        double logold = 0.0;

        proposal(substmodel& sm, indel& im, keepfixed& f);
        ~proposal();
        void propos_subpar(substmodel& sm, std::vector<bool>& subfix);
        void propos_idpar(indel& im, std::vector<bool>& indfix);

    private:
        // New value from Exp(mean x), adding both directions' terms.
        double draw(double x);
        // Terms of a move from x to y.
        void terms(double x, double y);
    };
    // One parameter proposal and its annealed acceptance.
    void sampparams();

    // One pass of nearest-neighbour interchanges over at most maxedges
    // unfixed inner branches; true when the tree changed.
    bool nearestneighbor(unsigned maxedges);
    // Four-point choice on the distances of Q0, Q1 (one side) and Q2, Q3
    // (other side): 2 or 3 when pairing Q0 with Q2 or Q3 has the strictly
    // smallest sum (Q1 goes to that place), else 1 (no exchange).
    static int fourpoint(const double D[4][4]);

    // The annealing loop with replaceable moves (the program uses
    // maunewton, sampparams and nearestneighbor).
    struct loop_moves {
        void (*step)(mult_alignment&);
        void (*params)(mult_alignment&);
        bool (*nni)(mult_alignment&, unsigned);
    };
    static std::uint32_t annealing_schedule(mult_alignment*& current, mult_alignment*& best,
                                            int type, std::ostream& log, const loop_moves& moves);

    // The substitution part of loglik as last computed on told itself, for
    // proposals that leave the substitution model as it is; trusted only
    // while told and loglik are those it was kept with (copies drop it).
    bool subkept = false;
    double subkept_value = 0.0;
    double subkept_loglik = 0.0;
    const baum* subkept_tree = nullptr;

private:
    // --- Local swap: the roles after the exchange ---
    // Nodes of the hextet roles after exchange swp, the records that will
    // join them and the times of their branches, read from the two stars;
    // badflag is the message for a flag outside the four exchanges.
    struct exchange_roles;
    static exchange_roles roles_after(const mercedes_stern& anc, const mercedes_stern& rec,
                                      swapflag swp, const char* badflag);
    // The role nodes with the maps they get and the models of their branches.
    struct hextet_roles;
    hextet_roles exchanged_roles(mercedes_stern& anc, mercedes_stern& rec, swapflag swp);
    // The centres' sequences and the maps written anew from the path, the
    // centre residues drawn column by column.
    void write_hextet_path(std::vector<hex_zus>& path, hextet_roles& r);
};

// The annealing loop over the current state: runs until the step limit or
// the stop rule, keeping the best state seen; returns the count for the
// parameter file's last line. A state replaced in a slot is deleted by the
// loop; the caller owns what the slots hold at the end.
std::uint32_t annealing_loop(mult_alignment*& current, mult_alignment*& best, int type,
                             std::ostream& log);

// Owns one heap object through a plain pointer that it lends out as a slot
// (T*&) to operations that replace the object in it; deletes whatever the
// slot holds when the owner goes.
template <class T>
class owned_slot {
public:
    explicit owned_slot(T* p) noexcept : p_(p) {}
    ~owned_slot() { delete p_; }
    owned_slot(const owned_slot&) = delete;
    owned_slot& operator=(const owned_slot&) = delete;

    T*& slot() noexcept { return p_; }
    T* get() const noexcept { return p_; }
    T& operator*() const noexcept { return *p_; }
    T* operator->() const noexcept { return p_; }

private:
    T* p_;
};

#endif
