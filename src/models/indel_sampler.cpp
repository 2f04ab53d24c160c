// Samplers of the next composite state given the known sequences' column.
#include <cfloat>
#include <cmath>
#include <initializer_list>
#include <vector>

#include "models/indel.h"
#include "sequence/random.h"
#include "sequence/util.h"

namespace {

[[noreturn]] void unreasonable(int value, const char* where) {
    fatal("Unreasonable state ", value, where);
}

// Draws one of the candidates, weighted by their transition probabilities
// from row. Candidates without a possible entry are left out, unless none is
// possible; one uniform is drawn in every case.
template <class Row>
int draw(const Row& row, const int* cand, int n) {
    int keep[4];
    std::vector<double> w;
    w.reserve(n);
    int k = 0;
    for (int i = 0; i < n; ++i) {
        if (row[cand[i]] > -DBL_MAX) {
            keep[k++] = cand[i];
            w.push_back(std::exp(row[cand[i]]));
        }
    }
    if (k == 0) {
        for (int i = 0; i < n; ++i) {
            keep[k++] = cand[i];
            w.push_back(0.0);
        }
    }
    return keep[randomchoice(w)];
}

bool in(int v, std::initializer_list<int> set) {
    for (int s : set)
        if (s == v) return true;
    return false;
}

}  // namespace

// ---------------------------------------------------------------- triplet

triplet_zus indel::nexttriplet(triplet_zus cur, zustand outer) const {
    if (cur < 0 || cur > 7) unreasonable(cur, " in function nexttriplet_wint\n");
    const double w6 = std::exp(T[cur][6]);
    const std::vector<double> w{w6, 1.0 - w6};
    if (randomchoice(w) == 0) return triplet_zus(6);
    return nexttriplet_wint(cur, outer);
}

triplet_zus indel::nexttriplet_wint(triplet_zus cur, zustand outer) const {
    if (cur < 0 || cur > 7) unreasonable(cur, " in function nexttriplet_wint\n");
    int c[2];
    int n = 0;
    switch (outer) {
    case MATCH:
        c[n++] = 0;
        break;
    case INSERTION:
        c[n++] = 1;
        if (in(cur, {0, 2, 4, 7})) c[n++] = 4;
        else if (in(cur, {1, 5, 6})) c[n++] = 5;
        break;
    case DELETION:
        c[n++] = 2;
        c[n++] = 3;
        break;
    case END:
        c[n++] = 8;
        break;
    default:
        unreasonable(outer, " in function nexttriplet\n");
    }
    return triplet_zus(draw(T[cur], c, n));
}

// ---------------------------------------------------------------- quartet

quart_zus indel::nextquartet(quart_zus cur, triplet_zus outer) const {
    if (cur < 0 || cur > 15) unreasonable(cur, " in function nextquartet\n");
    const double w8 = std::exp(Q[cur][8]);
    const std::vector<double> w{w8, 1.0 - w8};
    if (randomchoice(w) == 0) return quart_zus(8);
    return nextquartet_wint(cur, outer);
}

quart_zus indel::nextquartet_wint(quart_zus cur, triplet_zus outer) const {
    if (cur < 0 || cur > 15) unreasonable(cur, " in function nextquartet\n");
    int c[2];
    int n = 0;
    switch (static_cast<int>(outer)) {
    case 0: c[n++] = 0; break;
    case 1: c[n++] = 1; break;
    case 2: c[n++] = 2; break;
    case 3:
        if (in(cur, {0, 1, 2, 4, 11, 12, 14})) c[n++] = 14;
        else if (cur != 7) c[n++] = 13;
        c[n++] = 6;
        break;
    case 4:
    case 5:
        if (in(cur, {0, 2, 11})) c[n++] = 11;
        else if (in(cur, {1, 4, 12})) c[n++] = 12;
        else if (in(cur, {5, 8, 10})) c[n++] = 10;
        else if (!in(cur, {7, 13, 14})) c[n++] = 9;
        c[n++] = 5;
        break;
    case 6:
        c[n++] = 4;
        c[n++] = 7;
        break;
    case 8: c[n++] = 16; break;
    case 9: c[n++] = 3; break;
    default:
        unreasonable(outer, " in function nextquartet\n");
    }
    return quart_zus(draw(Q[cur], c, n));
}

// ---------------------------------------------------------------- hextet

hex_zus indel::nexthextet(hex_zus cur, quart_zus outer) const {
    if (cur < 0 || cur > 33) unreasonable(cur, " in function nexthextet\n");
    // Hidden states 29 (not after 10, where c is closed), 18, 20; the marker
    // takes what is left, one weight subtracted at a time.
    int hid[3];
    std::vector<double> w;
    int n = 0;
    for (int h : {29, 18, 20}) {
        if (!(H[cur][h] > -DBL_MAX)) continue;
        hid[n++] = h;
        w.push_back(std::exp(H[cur][h]));
    }
    double marker = 1.0;
    for (double x : w) marker -= x;
    w.push_back(marker);
    const int i = randomchoice(w);
    if (i < n) return hex_zus(hid[i]);
    return nexthextet_wint(cur, outer);
}

hex_zus indel::nexthextet_wint(hex_zus cur, quart_zus outer) const {
    if (cur < 0 || cur > 33) unreasonable(cur, " in function nexthextet\n");
    int c[3];
    int n = 0;
    switch (static_cast<int>(outer)) {
    case 0: c[n++] = 0; break;
    case 1: c[n++] = 4; break;
    case 2: c[n++] = 2; break;
    case 3: c[n++] = 11; break;
    case 4:
        c[n++] = 8;
        c[n++] = 6;
        break;
    case 5: c[n++] = 15; break;
    case 6: c[n++] = 13; break;
    case 7:
        c[n++] = 10;
        c[n++] = 9;
        c[n++] = 7;
        break;
    case 8:
        c[n++] = 19;
        c[n++] = 17;
        if (in(cur, {0, 1, 11, 12, 21, 33})) c[n++] = 21;
        else if (in(cur, {2, 3, 13, 14, 22})) c[n++] = 22;
        else if (in(cur, {4, 5, 15, 16, 23})) c[n++] = 23;
        else if (in(cur, {6, 7, 17, 18, 24})) c[n++] = 24;
        else if (in(cur, {8, 9, 19, 20, 25})) c[n++] = 25;
        break;
    case 9:
    case 10:
    case 11:
    case 12:
        c[n++] = 16;
        if ((cur >= 4 && cur <= 7) || (cur >= 15 && cur <= 18) ||
            in(cur, {23, 24, 28, 29, 31})) {
            c[n++] = 28;
            c[n++] = 31;
        } else if (in(cur, {8, 9, 19, 20, 25, 32})) {
            c[n++] = 28;
        } else if (cur != 10) {
            c[n++] = 28;
            c[n++] = 30;
        }
        break;
    case 13:
    case 14:
        c[n++] = 14;
        if (cur != 10) {
            c[n++] = 27;
            if (!in(cur, {8, 9, 19, 20, 25})) c[n++] = 32;
        }
        break;
    case 16: c[n++] = 34; break;
    case 18: c[n++] = 1; break;
    case 19: c[n++] = 5; break;
    case 20: c[n++] = 3; break;
    case 21:
        c[n++] = 12;
        if (cur != 10) c[n++] = 26;
        break;
    default:
        unreasonable(outer, " in function nexthextet\n");
    }
    return hex_zus(draw(H[cur], c, n));
}
