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
    const unsigned toR = static_cast<unsigned>(anc->centre->whichone(rec->centre));
    if (toR != anc->kd[1] && toR != anc->kd[2]) fatal("Error I in function which_pair_swaps\n");
    const unsigned sIdx = (toR == anc->kd[1]) ? anc->kd[2] : anc->kd[1];
    if (rec->centre->NB(static_cast<int>(rec->kd[0])) != anc->centre)
        fatal("Error II in function which_pair_swaps\n");

    const unsigned ca = static_cast<unsigned>(anc->childtochange);
    const unsigned cr = static_cast<unsigned>(rec->childtochange);
    if (ca == anc->kd[0]) {
        if (cr == rec->kd[1]) return SWAP_P_R1;
        if (cr == rec->kd[2]) return SWAP_P_R2;
        fatal("Error III in function which_pair_swaps\n");
    }
    if (ca == sIdx) {
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
    int h = -1;
    if (quart_ins_c(a)) {
        // An insertion on the centre branch: rec's column lacks A, its U.
        h = r == 3 ? 26 : r == 5 ? 28 : r == 6 ? 27 : r == QUART_HIDDEN_N ? HEX_HIDDEN_M : -1;
    } else {
        switch (a) {
        case 0: h = r == 0 ? 0 : r == 1 ? 4 : r == 2 ? 2 : r == 4 ? 6 : -1; break;
        case 1: h = r == QUART_U_ALONE ? 8 : -1; break;
        case 2: h = r == 0 ? 1 : r == 1 ? 5 : r == 2 ? 3 : r == 4 ? 7 : -1; break;
        case 3: h = r == 0 ? 11 : r == 1 ? 15 : r == 2 ? 13 : r == 4 ? 17 : -1; break;
        case 4: h = r == QUART_U_ALONE ? 9 : -1; break;
        case 5: h = r == QUART_U_ALONE ? 19 : -1; break;
        case 6: h = r == 0 ? 12 : r == 1 ? 16 : r == 2 ? 14 : r == 4 ? HEX_HIDDEN_NM : -1; break;
        case QUART_HIDDEN_N: h = r == QUART_U_ALONE ? HEX_HIDDEN_N : -1; break;
        case QUART_START: h = r == QUART_START ? HEX_START : -1; break;
        case QUART_END: h = r == QUART_END ? HEX_END : -1; break;
        default: break;
        }
    }
    if (h < 0) fatal("Unreasonable state in m2.ali\n");
    ++idx[0];
    ++idx[1];
    return hex_zus(h);
}

quart_zus mult_alignment::hex_to_quart(hex_zus h) {
    static const int q[35] = {
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
    static const int nc[22] = {0,  UBC, 2, 3, UC,          BC,        6,    7, 13, 9, 10,
                               11, 12,  8, 8, QUART_START, QUART_END, NONE, 1, UB, 4, 5};
    static const int nb[22] = {0, 1, UBC, 3,  UB,          5,         BC,   7, 9, 8,  8,
                               8, 8, 13,  14, QUART_START, QUART_END, NONE, 2, 4, UC, 6};
    if (q < 0 || q > QUART_OUTER_BC) fatal("Strange state in function swap_quart_zus\n");
    if (unmoved_by_exchange(q)) return q;
    if (pairs_p_with_r2(swp)) return quart_zus(nc[q]);
    if (pairs_p_with_r1(swp)) return quart_zus(nb[q]);
    fatal("swapflag=", static_cast<int>(swp), "\n");
}

void mult_alignment::fillH(mercedes_stern& anc, mercedes_stern& rec, swapflag swp) {
    baum* A = anc.centre;
    baum* R = rec.centre;
    if (R->parent() != A) fatal("anc is not the parent of rec in function fillH\n");
    const unsigned toR = static_cast<unsigned>(A->whichone(R));
    if (toR != anc.kd[1] && toR != anc.kd[2]) fatal("Error I in function fillH\n");
    const unsigned sIdx = (toR == anc.kd[1]) ? anc.kd[2] : anc.kd[1];
    if (static_cast<unsigned>(R->whichone(A)) != rec.kd[0]) fatal("Error II in function fillH\n");

    double t[5] = {A->neighbors[anc.kd[0]].brl, A->neighbors[sIdx].brl, A->neighbors[toR].brl,
                   R->neighbors[rec.kd[1]].brl, R->neighbors[rec.kd[2]].brl};
    if (pairs_p_with_r1(swp)) std::swap(t[1], t[3]);
    else if (pairs_p_with_r2(swp)) std::swap(t[1], t[4]);
    else fatal("Impossible value of swp\n");
    indmodel.fillH(t[0], t[1], t[2], t[3], t[4]);
}

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
    baum* A = anc.centre;
    baum* R = rec.centre;
    if (R->parent() != A) fatal("anc is not the parent of rec in function fillH\n");
    if (swp < SWAP_P_R1 || swp > SWAP_S_R2) fatal("Impossible value of swp in write_centpair\n");

    // Outer nodes with their centre and slot before the exchange.
    const int toR = A->whichone(R);
    const int toA = R->whichone(A);
    const int sIdx = (A->NB(static_cast<int>(anc.kd[1])) == R) ? static_cast<int>(anc.kd[2])
                                                               : static_cast<int>(anc.kd[1]);
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
    baum* U = outer[rU];
    baum* B = outer[rB];
    baum* D = outer[rD];
    baum* E = outer[rE];

    auto map = [](baum* x, int k) -> std::vector<int>& { return x->neighbors[k].posmap; };
    const int toM = N == A ? toR : toA, toN = M == A ? toR : toA;
    hextet_roles r{U, N, B, M, D, E,
                   // U, B, D, E to their centres, in their records of the old ones
                   map(U, back[rU]), map(B, back[rB]), map(D, back[rD]), map(E, back[rE]),
                   // N and M to their neighbours
                   map(N, postslot[rU]), map(N, postslot[rB]), map(M, postslot[rD]),
                   map(M, postslot[rE]), map(N, toM), map(M, toN),
                   // branches a to e, timed below
                   submodel, submodel, submodel, submodel, submodel};
    r.Ma.settime(brl[rU]);
    r.Mb.settime(brl[rB]);
    r.Mc.settime(A->neighbors[toR].brl);
    r.Md.settime(brl[rD]);
    r.Me.settime(brl[rE]);
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
