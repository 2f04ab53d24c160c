// Small fixtures shared by the pairwise tests.
#ifndef QUILLMAR_TESTS_PAIRWISE_FIXTURES_H
#define QUILLMAR_TESTS_PAIRWISE_FIXTURES_H

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "models/indel.h"
#include "models/substmod.h"
#include "pairwise/profalign.h"
#include "sequence/data.h"
#include "support/chars.h"
#include "support/path_maps.h"

inline bioseq dna(const std::string& s) { return bioseq(chars(s), 4); }

inline substmodel jc69() { return substmodel(NUC, JC69); }

// The states of an alignment's path, START and END included.
inline std::vector<int> walk(const alignment& al) {
    std::vector<int> out;
    int i = -1, j = -1;
    for (;;) {
        const zustand s = al.iter_zust(&i, &j);
        out.push_back(s);
        if (s == END) break;
    }
    return out;
}

// Column states only (no START, END).
inline std::vector<int> columns(const alignment& al) {
    std::vector<int> w = walk(al);
    return std::vector<int>(w.begin() + 1, w.end() - 1);
}

// log of the summed probability of every path between two corners, by
// enumeration: transitions from s0 to the first column up to the end state,
// emissions of the columns strictly between.
inline double brute_force(const alignment& al, int i0, int j0, zustand s0, int r, int s,
                          zustand s1) {
    const bioseq& A = *al.seq1;
    const bioseq& B = *al.seq2;
    double total = 0.0;
    std::function<void(int, int, int, double)> rec = [&](int i, int j, int last, double sc) {
        if (i == r && j == s) {
            total += std::exp(sc + al.imodel->retlnprob(last, s1));
            return;
        }
        if (i < r && j < s)
            rec(i + 1, j + 1, MATCH,
                sc + al.imodel->retlnprob(last, MATCH) + al.smodel->logfreqofstate(A[i + 1]) +
                    al.smodel->logProb_ij(A[i + 1], B[j + 1]));
        if (j < s)
            rec(i, j + 1, INSERTION,
                sc + al.imodel->retlnprob(last, INSERTION) + al.smodel->logfreqofstate(B[j + 1]));
        if (i < r)
            rec(i + 1, j, DELETION,
                sc + al.imodel->retlnprob(last, DELETION) + al.smodel->logfreqofstate(A[i + 1]));
    };
    rec(i0, j0, s0, 0.0);
    return std::log(total);
}

#endif
