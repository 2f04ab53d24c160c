// Pairwise alignment under a pair HMM (TKF indel model + substitution model):
// position maps, forward tables, greedy and sampled traceback, window and
// linear-space re-alignment, branch-length estimation and line minimisers.
#ifndef QUILLMAR_PAIRWISE_PROFALIGN_H
#define QUILLMAR_PAIRWISE_PROFALIGN_H

#include <cstddef>
#include <memory>
#include <vector>

#include "models/indel.h"
#include "models/substmod.h"
#include "sequence/data.h"
#include "tree/treespec.h"

// Walk along a pair of position maps, the first sequence's map first; m and n
// are the sizes of the maps. pos holds (first index, second index).
int get_zust(const std::vector<int>& mapA, const std::vector<int>& mapB, int i, int j);
int iter_zust(const std::vector<int>& mapA, const std::vector<int>& mapB, std::vector<int>& pos);

// Turns non-negative weights into probabilities; tempered by x^n when n > 0.
void distrib_pow(std::vector<double>& w, double x, unsigned long n);

// Emission terms of one substitution model at one time, computed on first use.
struct emission_cache {
    const substmodel* sm = nullptr;
    int L = 0;
    std::vector<double> lf;
    std::vector<double> lp;
    std::vector<unsigned char> havef;
    std::vector<unsigned char> havep;

    void reset(const substmodel* s);
    double f(int c) {
        if (c < 0 || c >= L) return sm->logfreqofstate(c);
        if (!havef[c]) {
            lf[c] = sm->logfreqofstate(c);
            havef[c] = 1;
        }
        return lf[c];
    }
    double p(int a, int b) {
        if (a < 0 || a >= L || b < 0 || b >= L) return sm->logProb_ij(a, b);
        const int k = a * L + b;
        if (!havep[k]) {
            lp[k] = sm->logProb_ij(a, b);
            havep[k] = 1;
        }
        return lp[k];
    }
};

// Probabilities of the sampled steps on one forward table, per (cell,
// state), each computed on its first use. A slot's entry is valid when it
// points back to the slot, so forgetting them all is clearing the entries.
struct step_memo {
    std::vector<unsigned> at;       // entry of each slot
    std::vector<std::size_t> slot;  // slot of each entry
    std::vector<double> w;          // P(MATCH), P(MATCH) + P(INSERTION) of each entry

    void reset(std::size_t slots);
    // The entry of a slot, or nullptr.
    const double* find(std::size_t k) const {
        const std::size_t e = at[k];
        return e < slot.size() && slot[e] == k ? &w[2 * e] : nullptr;
    }
    const double* add(std::size_t k, double w0, double w01);
};

class alignment {
public:
    const bioseq* seq1;
    const bioseq* seq2;
    std::vector<int> map1;
    std::vector<int> map2;
    // Copies owned by the object, set to the time of the pair.
    std::unique_ptr<substmodel> smodel;
    std::unique_ptr<indel> imodel;
    double coolval;
    unsigned long steps;
    std::vector<std::vector<double>> transcounts;
    std::vector<std::vector<double>> substcounts;

    // Scratch reused by the fills of this object (not copied).
    mutable std::vector<double> tabscratch;
    mutable bool tabbusy = false;
    mutable std::vector<double> rowscratch;
    mutable emission_cache emis;
    mutable step_memo memoscratch;

    alignment();
    alignment(const bioseq& a, const bioseq& b, double t, const substmodel& sm, const indel& im,
              double x, unsigned long y);
    alignment(const bioseq& a, const bioseq& b, double t, const substmodel& sm, const indel& im);
    alignment(const baum& x, const baum& y, const substmodel& sm, const indel& im, double v,
              unsigned long w);
    alignment(const alignment& o);
    ~alignment();

    // The sequences are kept by pointer: temporaries are refused.
    alignment(bioseq&&, const bioseq&, double, const substmodel&, const indel&, double,
              unsigned long) = delete;
    alignment(const bioseq&, bioseq&&, double, const substmodel&, const indel&, double,
              unsigned long) = delete;
    alignment(bioseq&&, bioseq&&, double, const substmodel&, const indel&, double,
              unsigned long) = delete;
    alignment(bioseq&&, const bioseq&, double, const substmodel&, const indel&) = delete;
    alignment(const bioseq&, bioseq&&, double, const substmodel&, const indel&) = delete;
    alignment(bioseq&&, bioseq&&, double, const substmodel&, const indel&) = delete;
    alignment& operator=(const alignment&) = delete;

    zustand get_zust(int i, int j) const;
    zustand iter_zust(int* i, int* j) const;
    void zurueck(baum* x, baum* y);

    // Re-alignment.
    void sample();
    void teilsample(int a, int b, int c, int d);
    void teilsample(int a, int b);
    void teilsample(int w);
    void hirschberg(bool cnt);
    void hirschberg(int i0, int j0, int i1, int j1, std::vector<zustand>& path, zustand s0,
                    zustand s1);

    // Branch-length estimation.
    double EMloglikl(double t, double s);
    void sample_paths();
    void optimal_time(double& t);
    void optimal_time(double& t, double& s);
    double opt_for_giv();

    // Line minimisers of EMloglikl; which = false minimises over the time,
    // true over the indel factor, other is the fixed coordinate.
    double brent(double ax, double bx, double cx, double tol, double* fmin, double* curv, double fa,
                 double fb, double fc, double other, bool which);
    void onedimenmin(double lo, double x0, double hi, double& xmin, double tol, double* fmin,
                     double* curv, double other, bool which);
    void twodimenmin(double tol, int free1, double lo1, double& x1, double hi1, double* se1,
                     int free2, double lo2, double& x2, double hi2, double* se2);

    // Sizes both count tables and sets them to 0, then counts the current path.
    void count_path();

private:
    void check_constructed() const;
    void check_written(const baum* x, const baum* y) const;
    void write_path(const std::vector<zustand>& path, int p, int q);
    void count_pair(int ca, int cb);
    void size_counts();
    void forced_counts();
};

// Forward values of every column inside a window between two fixed columns.
class align_graph {
public:
    int i0, j0, i1, j1;
    const alignment* al;
    zustand s0 = NOSTATE, s1 = NOSTATE;
    int r = -1, s = -1;     // last residues of A and B inside the window
    int W = 0;              // cells per row (j0 .. s)
    double* tab = nullptr;  // rows i0 .. r, each W cells of (M, I, D)
    double T[4][5];

    align_graph(const alignment& al, int i0, int j0, int i1, int j1);
    align_graph(const alignment& al, int i0, int j0, int i1, int j1, zustand s0, zustand s1);
    ~align_graph();
    align_graph(const align_graph&) = delete;
    align_graph& operator=(const align_graph&) = delete;

    void beschrifte();
    void beschrifte(zustand s0, zustand s1);

    zustand maxwk_schritt(zustand s, int a, int b, int ca, int cb) const;
    zustand zufallsschritt(zustand s, int a, int b, int ca, int cb, double x,
                           unsigned long n) const;
    // zufallsschritt(s, a, b, ca, cb, 1.0, 0) with ca, cb the residues of
    // the column s at (a, b); its probabilities are kept per (a, b, s)
    // until the table is filled again.
    zustand sampled_step(zustand s, int a, int b) const;

    // Forward values; only the cells of the window's ranges are computed,
    // the others hold DBL_MAX.
    double mat(int i, int j) const { return cell(i, j)[0]; }
    double ins(int i, int j) const { return cell(i, j)[1]; }
    double del(int i, int j) const { return cell(i, j)[2]; }

private:
    std::vector<double> own;
    bool uses_scratch = false;
    mutable step_memo own_memo;
    mutable step_memo* memo = nullptr;  // set up by the first sampled step of a fill
    const double* cell(int i, int j) const {
        return tab + (static_cast<long>(i - i0) * W + (j - j0)) * 3;
    }
    void candidates(zustand st, int a, int b, int ca, int cb, double& cM, double& cI,
                    double& cD) const;
    // The step forced on the window's border, or NOSTATE after checking st.
    zustand forced_step(zustand st, int a, int b) const;
    // P(MATCH) and P(MATCH) + P(INSERTION) of the step back from (a, b) in st.
    void step_weights(zustand st, int a, int b, int ca, int cb, double x, unsigned long n,
                      double w[2]) const;
};

#endif
