// The local swap across an inner branch: the two end nodes' sequences and the five
// alignments around them resampled through a hextet path for the topology after the exchange.
#include "sampler/mult_align.h"

#include <cstddef>
#include <utility>
#include <vector>

#include "models/indel.h"
#include "sequence/fatal.h"

namespace {

// Holder bits of the hextet roles.
constexpr unsigned hU = role_bit(hex_role::U), hN = role_bit(hex_role::N),
                   hB = role_bit(hex_role::B), hM = role_bit(hex_role::M),
                   hD = role_bit(hex_role::D), hE = role_bit(hex_role::E);

// Short names of the quartet codes without N (outer codes), and of the
// code of a column without any known residue.
enum : int {
    UBC = QUART_OUTER_UBC,
    UB = QUART_OUTER_UB,
    UC = QUART_OUTER_UC,
    BC = QUART_OUTER_BC,
    NONE = QUART_NO_KNOWN
};

// Outer roles of the local swap: P, S (anc's side), R1, R2 (rec's side).
enum { oP = 0, oS = 1, oR1 = 2, oR2 = 3 };

using swapflag = mult_alignment::swapflag;

// After the exchange P and R2 share a centre (P with R1, S with R2
// exchanged), or P and R1 do (P with R2, S with R1).
bool pairs_p_with_r2(swapflag swp) {
    return swp == mult_alignment::SWAP_P_R1 || swp == mult_alignment::SWAP_S_R2;
}
bool pairs_p_with_r1(swapflag swp) {
    return swp == mult_alignment::SWAP_P_R2 || swp == mult_alignment::SWAP_S_R1;
}

// The slot of anc's centre that holds S: the one of kd[1], kd[2] that does
// not hold rec's centre (at toR); -1 when neither holds it.
int s_slot(const std::vector<unsigned>& kd, int toR) {
    if (toR == static_cast<int>(kd[1])) return static_cast<int>(kd[2]);
    if (toR == static_cast<int>(kd[2])) return static_cast<int>(kd[1]);
    return -1;
}

// Columns that neither relabelling moves: N, B and C all hold a residue or
// none does.
bool unmoved_by_exchange(int q) {
    if (q == QUART_NO_KNOWN) return true;
    if (q < 0 || q > QUART_END) return false;
    const unsigned nbc =
        role_bit(quart_role::N) | role_bit(quart_role::B) | role_bit(quart_role::C);
    const unsigned h = quart_holder_table()[static_cast<std::size_t>(q)] & nbc;
    return h == 0 || h == nbc;
}

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

    std::vector<hex_zus> path(1, HEX_START);
    std::size_t i = 1;
    while (path.back() != HEX_END) {
        if (i >= outer.size()) fatal("Error in function central_pair\n");
        const hex_zus s = indmodel.nexthextet(path.back(), outer[i]);
        path.push_back(s);
        if (s == HEX_HIDDEN_NM || s == HEX_HIDDEN_N || s == HEX_HIDDEN_M) continue;
        if (s == HEX_END) {
            if (i + 1 != outer.size()) fatal("Premature end in central_pair\n");
            continue;
        }
        if (s == HEX_START || s > HEX_END || s < 0)
            fatal("Unreasonable state in function central_pair\n");
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
    const int sIdx = s_slot(anc->kd, anc->centre->whichone(rec->centre));
    if (sIdx < 0) fatal("Error I in function which_pair_swaps\n");
    if (rec->centre->NB(static_cast<int>(rec->kd[0])) != anc->centre)
        fatal("Error II in function which_pair_swaps\n");

    const unsigned ca = static_cast<unsigned>(anc->childtochange);
    const unsigned cr = static_cast<unsigned>(rec->childtochange);
    if (ca == anc->kd[0]) {
        if (cr == rec->kd[1]) return SWAP_P_R1;
        if (cr == rec->kd[2]) return SWAP_P_R2;
        fatal("Error III in function which_pair_swaps\n");
    }
    if (ca == static_cast<unsigned>(sIdx)) {
        if (cr == rec->kd[1]) return SWAP_S_R1;
        if (cr == rec->kd[2]) return SWAP_S_R2;
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
        if (q == QUART_NO_KNOWN) continue;
        outer.push_back(q);
        if (q == QUART_END) break;
    }
    if (idx[0] != anc.ali.size() || idx[1] != rec.ali.size() || outer.empty() ||
        outer.back() != QUART_END)
        fatal("Error in function zweimalvier\n");
}

hex_zus mult_alignment::two_quart_to_hex(mercedes_stern& anc, mercedes_stern& rec,
                                         std::vector<unsigned>& idx) {
    if (idx.size() != 2 || idx[0] >= anc.ali.size() || idx[1] >= rec.ali.size())
        fatal("Inadequate index vector in function two_quart_to_hex!\n");
    const int a = anc.ali[idx[0]];
    const int r = rec.ali[idx[1]];
    if (a > QUART_END || a < 0) fatal("Unreasonable state in m1.ali\n");
    const bool rok = r >= 0 && r <= QUART_END;
    // Insertions on S's branch first, then on R1's and R2's, then P alone:
    // the first hextet state of that single residue.
    if (quart_ins_b(a) && rok) {
        ++idx[0];
        return HEX_INS_B;
    }
    if (quart_ins_b(r)) {
        ++idx[1];
        return HEX_INS_D;
    }
    if (quart_ins_c(r)) {
        ++idx[1];
        return HEX_INS_E;
    }
    if (a == QUART_U_ALONE && rok) {
        ++idx[0];
        return HEX_U_ALONE;
    }
    // The merged column when both positions advance, by a and r; -1: none.
    // Rows 7 and 9 to 12, and columns 9 to 14, are taken by the rules above.
    // clang-format off
    static const int joint[QUART_END + 1][QUART_END + 1] = {
        // r:  0   1   2   3   4   5   6   7   8   9  10  11  12  13  14  15  16
        /*  0 */ { 0,  4,  2, -1,  6, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},
        /*  1 */ {-1, -1, -1, -1, -1, -1, -1,  8, -1, -1, -1, -1, -1, -1, -1, -1, -1},
        /*  2 */ { 1,  5,  3, -1,  7, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},
        /*  3 */ {11, 15, 13, -1, 17, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},
        /*  4 */ {-1, -1, -1, -1, -1, -1, -1,  9, -1, -1, -1, -1, -1, -1, -1, -1, -1},
        /*  5 */ {-1, -1, -1, -1, -1, -1, -1, 19, -1, -1, -1, -1, -1, -1, -1, -1, -1},
        /*  6 */ {12, 16, 14, -1, 18, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},
        /*  7 */ {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},
        /*  8 */ {-1, -1, -1, -1, -1, -1, -1, 20, -1, -1, -1, -1, -1, -1, -1, -1, -1},
        /*  9 */ {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},
        /* 10 */ {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},
        /* 11 */ {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},
        /* 12 */ {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},
        /* 13 */ {-1, -1, -1, 26, -1, 28, 27, -1, 29, -1, -1, -1, -1, -1, -1, -1, -1},
        /* 14 */ {-1, -1, -1, 26, -1, 28, 27, -1, 29, -1, -1, -1, -1, -1, -1, -1, -1},
        /* 15 */ {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 33, -1},
        /* 16 */ {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 34},
    };
    // clang-format on
    const int h = rok ? joint[a][r] : -1;
    if (h < 0) fatal("Unreasonable state in m2.ali\n");
    ++idx[0];
    ++idx[1];
    return hex_zus(h);
}

quart_zus mult_alignment::hex_to_quart(hex_zus h) {
    static const int q[HEX_END + 1] = {
        0,           UBC,      2,  UC,   1, UB, 4, 7,    4, 7,    7,  // 0-10 root emissions
        3,           BC,       6,  13,   5, 9,  8, NONE, 8, NONE,     // 11-20 insertions on a
        8,           8,        8,  8,    8,                           // 21-25 on b
        BC,          13,       9,  NONE,                              // 26-29 on c
        9,           9,        13,                                    // 30-32 on d, e
        QUART_START, QUART_END};
    if (h < 0 || h > HEX_END) fatal("Strange hextett state in function hex_to_quart\n");
    return quart_zus(q[h]);
}

quart_zus mult_alignment::swap_quart_zus(quart_zus q, swapflag swp) {
    // Roles N and C exchanged when P joins R2, N and B when P joins R1.
    static const int nc[QUART_OUTER_BC + 1] = {
        0,           UBC,       2,    3,  UC, BC, 6, 7, 13,  // 0-8
        9,           10,        11,   12, 8,  8,             // 9-14 insertions on b, c
        QUART_START, QUART_END, NONE,                        // 15-17
        1,           UB,        4,    5};                    // 18-21 outer codes
    static const int nb[QUART_OUTER_BC + 1] = {
        0,           1,         UBC,  3, UB, 5,  BC, 7, 9,  // 0-8
        8,           8,         8,    8, 13, 14,            // 9-14 insertions on b, c
        QUART_START, QUART_END, NONE,                       // 15-17
        2,           4,         UC,   6};                   // 18-21 outer codes
    if (q < 0 || q > QUART_OUTER_BC) fatal("Strange state in function swap_quart_zus\n");
    if (unmoved_by_exchange(q)) return q;
    if (pairs_p_with_r2(swp)) return quart_zus(nc[q]);
    if (pairs_p_with_r1(swp)) return quart_zus(nb[q]);
    fatal("swapflag=", static_cast<int>(swp), "\n");
}

// ---------------------------------------------------------------------------
// The roles after the exchange

struct mult_alignment::exchange_roles {
    baum *U, *N, *B, *M, *D, *E;
    // XY: the record of X that points to Y once the exchange is done.
    int UN, BN, DM, EM, NU, NB, MD, ME, NM, MN;
    double ta, tb, tc, td, te;  // times of branches a to e
};

mult_alignment::exchange_roles mult_alignment::roles_after(const mercedes_stern& anc,
                                                           const mercedes_stern& rec, swapflag swp,
                                                           const char* badflag) {
    baum* A = anc.centre;
    baum* R = rec.centre;
    if (R->parent() != A) fatal("anc is not the parent of rec in function fillH\n");
    const int toR = A->whichone(R);
    const int sIdx = s_slot(anc.kd, toR);
    if (sIdx < 0) fatal("Error I in function fillH\n");
    const int toA = R->whichone(A);
    if (static_cast<unsigned>(toA) != rec.kd[0]) fatal("Error II in function fillH\n");
    if (swp < SWAP_P_R1 || swp > SWAP_S_R2) fatal(badflag);

    // Outer nodes with their centre and slot before the exchange.
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
    static const int pair[SWAP_S_R2 + 1][2] = {{0, 0}, {oP, oR1}, {oP, oR2}, {oS, oR1}, {oS, oR2}};
    int postslot[4] = {slot[0], slot[1], slot[2], slot[3]};
    std::swap(postslot[pair[swp][0]], postslot[pair[swp][1]]);

    // Roles U, B, D, E per exchange (U is P); N and M are the centres, N
    // the one P hangs from after the exchange.
    static const int roles[SWAP_S_R2 + 1][4] = {{0, 0, 0, 0},
                                                {oP, oR2, oR1, oS},
                                                {oP, oR1, oS, oR2},
                                                {oP, oR1, oS, oR2},
                                                {oP, oR2, oR1, oS}};
    const bool p_moves = swp == SWAP_P_R1 || swp == SWAP_P_R2;
    baum* N = p_moves ? R : A;
    baum* M = p_moves ? A : R;
    const int rU = roles[swp][0], rB = roles[swp][1], rD = roles[swp][2], rE = roles[swp][3];

    exchange_roles x{};
    x.U = outer[rU];
    x.N = N;
    x.B = outer[rB];
    x.M = M;
    x.D = outer[rD];
    x.E = outer[rE];
    x.UN = back[rU];
    x.BN = back[rB];
    x.DM = back[rD];
    x.EM = back[rE];
    x.NU = postslot[rU];
    x.NB = postslot[rB];
    x.MD = postslot[rD];
    x.ME = postslot[rE];
    x.NM = N == A ? toR : toA;
    x.MN = M == A ? toR : toA;
    x.ta = brl[rU];
    x.tb = brl[rB];
    x.tc = A->neighbors[toR].brl;
    x.td = brl[rD];
    x.te = brl[rE];
    return x;
}

void mult_alignment::fillH(mercedes_stern& anc, mercedes_stern& rec, swapflag swp) {
    const exchange_roles x = roles_after(anc, rec, swp, "Impossible value of swp\n");
    indmodel.fillH(x.ta, x.tb, x.tc, x.td, x.te);
}

// ---------------------------------------------------------------------------
// Branch list bookkeeping

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

struct mult_alignment::hextet_roles {
    baum *U, *N, *B, *M, *D, *E;
    // Maps of the branches after the exchange, from the first-named node.
    std::vector<int>&UN, &BN, &DM, &EM, &NU, &NB, &MD, &ME, &NM, &MN;
    substmodel Ma, Mb, Mc, Md, Me;  // at the times of branches a to e
};

void mult_alignment::write_centpair(std::vector<hex_zus>& path, mercedes_stern& anc,
                                    mercedes_stern& rec, swapflag swp) {
    hextet_roles r = exchanged_roles(anc, rec, swp);
    write_hextet_path(path, r);
}

mult_alignment::hextet_roles mult_alignment::exchanged_roles(mercedes_stern& anc,
                                                             mercedes_stern& rec, swapflag swp) {
    const exchange_roles x =
        roles_after(anc, rec, swp, "Impossible value of swp in write_centpair\n");
    auto map = [](baum* n, int k) -> std::vector<int>& { return n->neighbors[k].posmap; };
    hextet_roles r{x.U, x.N, x.B, x.M, x.D, x.E,
                   // U, B, D, E to their centres
                   map(x.U, x.UN), map(x.B, x.BN), map(x.D, x.DM), map(x.E, x.EM),
                   // the centres to U, B, D, E
                   map(x.N, x.NU), map(x.N, x.NB), map(x.M, x.MD), map(x.M, x.ME),
                   // the branch between the centres
                   map(x.N, x.NM), map(x.M, x.MN),
                   // branches a to e, timed below
                   submodel, submodel, submodel, submodel, submodel};
    r.Ma.settime(x.ta);
    r.Mb.settime(x.tb);
    r.Mc.settime(x.tc);
    r.Md.settime(x.td);
    r.Me.settime(x.te);
    return r;
}

void mult_alignment::write_hextet_path(std::vector<hex_zus>& path, hextet_roles& r) {
    for (std::vector<int>* m :
         {&r.UN, &r.BN, &r.DM, &r.EM, &r.NU, &r.NB, &r.MD, &r.ME, &r.NM, &r.MN})
        m->clear();
    r.N->seq.clear();
    r.M->seq.clear();

    const bioseq& Us = r.U->seq;
    const bioseq& Bs = r.B->seq;
    const bioseq& Ds = r.D->seq;
    const bioseq& Es = r.E->seq;
    const substmodel &Ma = r.Ma, &Mb = r.Mb, &Mc = r.Mc, &Md = r.Md, &Me = r.Me;
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

    const std::vector<unsigned>& holders = hex_holder_table();
    const std::size_t len = path.size();
    for (std::size_t k = 0; k < len; ++k) {
        const int s = path[k];
        if (s > HEX_END || s < 0) fatal("Unknown state in function write_centpair\n");
        if (s == HEX_START) {
            if (k != 0) fatal("Late start in function write_centpair\n");
            continue;
        }
        if (s == HEX_END) {
            if (k + 1 != len) fatal("Early end in function write_centpair\n");
            continue;
        }
        const unsigned h = holders[static_cast<std::size_t>(s)];
        if (h & hU) step(u, lu);
        if (h & hN) ++n;
        if (h & hB) step(b, lb);
        if (h & hM) ++m;
        if (h & hD) step(d, ld);
        if (h & hE) step(e, le);

        if (h & hU) r.UN.push_back(n);
        if (h & hB) r.BN.push_back(n);
        if (h & hN) {
            r.NU.push_back(u);
            r.NB.push_back(b);
            r.NM.push_back(m);
        }
        if (h & hM) {
            r.MN.push_back(n);
            r.MD.push_back(d);
            r.ME.push_back(e);
        }
        if (h & hD) r.DM.push_back(m);
        if (h & hE) r.EM.push_back(m);

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
        case HEX_HIDDEN_NM: Mc.choosepair(x, y); break;
        case 19: x = infer_base(Bs[b], Mb); break;
        case HEX_HIDDEN_N: x = submodel.choosebase(); break;
        case 26: y = infer_base(Ds[d], Md, Es[e], Me); break;
        case 27: y = infer_base(Es[e], Me); break;
        case 28: y = infer_base(Ds[d], Md); break;
        case HEX_HIDDEN_M: y = submodel.choosebase(); break;
        default: break;  // outer residues only
        }
        if (h & hN) r.N->seq.push_back(x);
        if (h & hM) r.M->seq.push_back(y);
    }

    if (u + 1 != lu || b + 1 != lb || d + 1 != ld || e + 1 != le) stop();
}
