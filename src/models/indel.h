// TKF insertion-deletion models: branch quantities, sequence-length law,
// log transition tables of pair HMMs composed along small trees, and the
// samplers of the next composite column state.
#ifndef QUILLMAR_MODELS_INDEL_H
#define QUILLMAR_MODELS_INDEL_H

#include <array>
#include <vector>

#include "sequence/seqcode.h"

// Column states of a pair alignment (A the first, ancestor-side sequence,
// B the second). NOSTATE answers a position pair that is no column.
enum zustand : int { MATCH = 0, INSERTION, DELETION, START, END, NOSTATE };

// Column states along the small trees. Values up to the end state index
// the transition tables; higher values are markers or codes of the known
// sequences' own column. The states the code singles out have names; the
// others are used by number.
//
// triplet_zus (N with children B, C; branches b, c):
//   0 NBC, 1 NB, 2 NC, 3 C (insertion on c), 4 B (insertion on b, c beta),
//   5 B (insertion on b, c gamma), 6 N (hidden), 7 start, 8 end,
//   9 outer code B,C, 10 sampler marker.
enum triplet_zus : int {
    TRIPLET_HIDDEN_N = 6,
    TRIPLET_START = 7,
    TRIPLET_END = 8,
    TRIPLET_OUTER_BC = 9,  // B and C without N: a known column only
    TRIPLET_MARKER = 10,   // sampler: a column with a known residue comes next
};

// quart_zus (U parent of N; N with children B, C; branches a, b, c):
//   0 UNBC, 1 UNB, 2 UNC, 3 NBC, 4 UN, 5 NB, 6 NC, 7 U, 8 N (hidden),
//   9-12 B insertions (9, 10: N's residue inserted or none; 11, 12: descended;
//   9, 11 with c beta, 10, 12 with c gamma), 13, 14 C insertions (inserted /
//   descended), 15 start, 16 end, 17 marker, 18 UBC, 19 UB, 20 UC, 21 BC
//   (outer codes).
enum quart_zus : int {
    QUART_U_ALONE = 7,
    QUART_HIDDEN_N = 8,
    QUART_INS_B = 9,   // first of the insertions on b
    QUART_INS_C = 13,  // first of the insertions on c
    QUART_START = 15,
    QUART_END = 16,
    QUART_MARKER = 17,              // sampler: a known column comes next
    QUART_NO_KNOWN = QUART_MARKER,  // a hextet column without known residue
    QUART_OUTER_UBC = 18,           // outer codes: known roles without N
    QUART_OUTER_UB = 19,
    QUART_OUTER_UC = 20,
    QUART_OUTER_BC = 21,
};

// Quartet columns of B alone (insertions on b) and of C alone (on c).
constexpr bool quart_ins_b(int q) { return q >= QUART_INS_B && q < QUART_INS_C; }
constexpr bool quart_ins_c(int q) { return q >= QUART_INS_C && q < QUART_START; }

// hex_zus (U-a-N, N-b-B, N-c-M, M-d-D, M-e-E):
//   0-10 root emissions, 11-20 insertions on a (18, 20 hidden),
//   21-25 insertions on b, 26-29 on c (29 hidden), 30, 31 on d, 32 on e,
//   33 start, 34 end, 35 marker.
enum hex_zus : int {
    HEX_U_ALONE = 10,
    HEX_HIDDEN_NM = 18,
    HEX_HIDDEN_N = 20,
    HEX_INS_B = 21,  // first of the insertions on b
    HEX_HIDDEN_M = 29,
    HEX_INS_D = 30,  // first of the insertions on d
    HEX_INS_E = 32,
    HEX_START = 33,
    HEX_END = 34,
    HEX_MARKER = 35,  // sampler: a column with a known residue comes next
};

// Roles of the small trees, root first. A holder set has role_bit(r) for
// every role r that holds a residue in the column.
namespace triplet_role {
enum : int { N, B, C };
}
namespace quart_role {
enum : int { U, N, B, C };
}
namespace hex_role {
enum : int { U, N, B, M, D, E };
}
constexpr unsigned role_bit(int role) { return 1u << role; }

// Holder sets of the states from 0 to the end state (start and end hold
// nothing), taken from the small trees of the transition tables.
const std::vector<unsigned>& triplet_holder_table();
const std::vector<unsigned>& quart_holder_table();
const std::vector<unsigned>& hex_holder_table();

class indel {
public:
    std::vector<double> params;  // [lambda, mu] or [lambda, mu, r]
    idarch model;
    double tP;                 // time of P
    std::array<double, 2> tT;  // b, c
    std::array<double, 3> tQ;  // a, b, c
    std::array<double, 5> tH;  // a, b, c, d, e
    // Natural-log transition tables [from][to], from every state up to the
    // start to every state up to the end; -DBL_MAX is impossible.
    std::array<std::array<double, END + 1>, START + 1> P;
    std::array<std::array<double, TRIPLET_END + 1>, TRIPLET_START + 1> T;
    std::array<std::array<double, QUART_END + 1>, QUART_START + 1> Q;
    std::array<std::array<double, HEX_END + 1>, HEX_START + 1> H;

    indel();
    indel(std::vector<double> params, idarch model);
    indel(double lambda, double mu);
    indel(const indel&) = default;
    ~indel() = default;
    indel operator=(indel other);

    int returnparams(std::vector<double>& v) const;
    void setparams(const std::vector<double>& v);
    void rescale(double x);

    double tkf1_alpha(double mu, double t) const;
    double tkf1_beta(double lambda, double mu, double t) const;
    double tkf1_gamma(double lambda, double mu, double t) const;

    double logprob_of_seqlen(unsigned n) const;
    double retlnprob(int from, int to) const;
    double retprob(zustand from, zustand to) const;

    void fillP(double t);
    void fillT(double tb, double tc);
    void fillQ(double ta, double tb, double tc);
    void fillH(double ta, double tb, double tc, double td, double te);

    triplet_zus nexttriplet(triplet_zus cur, zustand outer) const;
    triplet_zus nexttriplet_wint(triplet_zus cur, zustand outer) const;
    quart_zus nextquartet(quart_zus cur, triplet_zus outer) const;
    quart_zus nextquartet_wint(quart_zus cur, triplet_zus outer) const;
    hex_zus nexthextet(hex_zus cur, quart_zus outer) const;
    hex_zus nexthextet_wint(hex_zus cur, quart_zus outer) const;

private:
    void refill();  // all four tables at the times they hold
};

// ln(e^a + e^b) as the larger plus ln(1 + e^(smaller - larger)).
double untidy_addlog(double a, double b);

#endif
