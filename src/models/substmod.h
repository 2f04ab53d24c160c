// Reversible substitution models on 4 nucleotide or 20 amino-acid states:
// rate matrix in PAM units, eigen decomposition, transition probabilities,
// log probabilities with ambiguity codes and random draws of states.
//
// The fields are public for reading. Change them only through the
// operations: logProb_ij keeps the logarithms of P per code pair, and a model
// whose time changes often keeps P and those logarithms for recent times
// (each result is bit-identical to a recomputation).
#ifndef QUILLMAR_MODELS_SUBSTMOD_H
#define QUILLMAR_MODELS_SUBSTMOD_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sequence/seqcode.h"

// Square matrix of doubles held in one block; m[i][j] is row i, column j.
class sqmatrix {
public:
    sqmatrix() = default;
    explicit sqmatrix(int n) : n_(n), v_(static_cast<std::size_t>(n) * n, 0.0) {}
    // Makes it n x n, all entries 0.
    void resize(int n) {
        n_ = n;
        v_.assign(static_cast<std::size_t>(n) * n, 0.0);
    }
    int size() const { return n_; }
    double* operator[](int i) { return v_.data() + static_cast<std::size_t>(i) * n_; }
    const double* operator[](int i) const { return v_.data() + static_cast<std::size_t>(i) * n_; }
    double* data() { return v_.data(); }
    const double* data() const { return v_.data(); }

private:
    int n_ = 0;
    std::vector<double> v_;
};

class substmodel {
public:
    std::vector<double> params;  // rate parameters of the kind
    subarch model;               // kind, 0 to 11
    int alf;                     // number of states (4 or 20)
    int logalf;                  // number of codes with ambiguity codes (15 or 23)
    std::vector<double> freqs;   // state frequencies
    sqmatrix ratemat;            // exchangeabilities, then the scaled rate matrix Q
    double time;                 // current time in PAM units
    sqmatrix probmat;            // P(time), row = from-state
    std::vector<double> evals;   // eigenvalues of Q (real parts)
    sqmatrix evecs;              // eigenvectors of Q as columns
    sqmatrix ievecs;             // inverse of evecs
    sqmatrix expievecs;          // ievecs, row k times exp(evals[k] * time)

    substmodel();
    substmodel(alphsize a, subarch m, const std::vector<double>& freqs,
               const std::vector<double>& params);
    explicit substmodel(alphsize a);
    substmodel(alphsize a, subarch m);
    substmodel(alphsize a, subarch m, const std::vector<double>& freqs);
    // A copy starts without the times kept by the original.
    substmodel(const substmodel& other);
    substmodel(substmodel&&) = default;
    substmodel operator=(substmodel other);
    ~substmodel() = default;

    // P(t) from the kept decomposition; nothing is done when t is bitwise
    // the current time.
    void settime(double t);
    double timeOf() const { return time; }
    int retalf() const { return alf; }
    int paramsOf(std::vector<double>& out) const;
    void freqsOf(std::vector<double>& out) const;
    void setparams(const std::vector<double>& p);
    void setfreqs(const std::vector<double>& f);

    // Log probabilities; codes at or above alf are ambiguity codes.
    double logfreqofstate(int c) const;
    double logProb_ij(int i, int j) const;
    double logProb_ij(int i, int j, double t);
    int choosebase() const;
    int choosepair(int& i, int& j) const;

    // Picks the empirical amino-acid table closest to f (20 states only).
    void guessmodel(const std::vector<double>& f);

    // Exchangeability builders, one per parametric kind.
    void genrevmod();
    void tamneimod();
    void hkymod();
    void kimura2mod();
    void kimura3mod();
    void fel81mod();
    void jcmod();
    void mv2000mod();
    // Table writers of the empirical amino-acid kinds.
    void jttdata();
    void dyhfdata();
    void mtrevdata();
    void blosum62data();

    // Rate matrix, decomposition, inversion and P(t).
    void onepamratematrix();
    void tranprobmat();
    void eigensystem();
    void elmhes(double** a, int* perm, int n);
    void eltran(double** a, int* perm, int n);
    void hqr2(int n, int low, int high, double** a, double* wi);
    static void mcdiv(double ar, double ai, double br, double bi, double* cr, double* ci);
    void luinverse();
    void checkevector();
    // Recomputes expievecs and probmat for time and forgets the kept times.
    void tprobmtrx();

private:
    // ln P for pairs of codes at the current time, logalf x logalf, filled on
    // first use; +HUGE_VAL where not yet computed.
    mutable std::vector<double> logpcache_;
    // Bits of the time that probmat belongs to.
    std::uint64_t ptime_ = 0;
    bool pvalid_ = false;
    // Recent times: slots holding P, the exponentials of the eigenvalues and
    // the log table, made once the time has changed often enough.
    int recomputes_ = 0;
    int curslot_ = -1;
    std::vector<std::uint64_t> slotkey_;
    std::vector<char> slotused_;
    std::vector<double> slotdata_;
    int nextslot_ = 0;   // slot to fill next
    int lastslot_ = -1;  // slot last filled or found

    void compute_p(double* eout);
    void forget_times();
    void decomposition_changed();
    std::size_t slot_stride() const;
    void size_storage();
    void check_freqs(const std::vector<double>& f, double& sum) const;
    void normalise(const std::vector<double>& f, double sum);
    void default_params(int count, double value);
    double logprob_uncached(int i, int j) const;
    double logprob_fill(int i, int j) const;
};

inline double substmodel::logProb_ij(int i, int j) const {
    const unsigned la = static_cast<unsigned>(logalf);
    if (static_cast<unsigned>(i) < la && static_cast<unsigned>(j) < la) {
        const std::size_t idx = static_cast<std::size_t>(i) * la + static_cast<unsigned>(j);
        if (idx < logpcache_.size()) {
            const double v = logpcache_[idx];
            if (v != HUGE_VAL) return v;
        }
    }
    return logprob_fill(i, j);
}

// Comparisons with zero as on single-precision values: |x| <= 2^-150 rounds
// to a float zero.
constexpr double kSingleZero = 0x1p-150;
inline bool sp_iszero(double x) { return x <= kSingleZero && x >= -kSingleZero; }
inline bool sp_isnegative(double x) { return x < -kSingleZero; }

#endif
