// The local swap: conversions between the column-state alphabets, the two
// stars, the hextet table times, the writer of the hextet path and the
// whole re-alignment followed by the exchange of subtrees.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "sampler/mult_align.h"
#include "sampler_fixtures.h"
#include "sequence/random.h"
#include "support/fatal.h"

namespace {

using samplertest::link;
using samplertest::tkf;

using star = mult_alignment::mercedes_stern;
using swapflag = mult_alignment::swapflag;

// The four exchanges: P or S with R1 or R2.
constexpr swapflag P_R1 = mult_alignment::SWAP_P_R1, P_R2 = mult_alignment::SWAP_P_R2,
                   S_R1 = mult_alignment::SWAP_S_R1, S_R2 = mult_alignment::SWAP_S_R2;
const std::vector<swapflag> kFlags = {P_R1, P_R2, S_R1, S_R2};

// Start, end and marker of the quartet and hextet paths.
constexpr int qs = QUART_START, qe = QUART_END;
constexpr int hs = HEX_START, he = HEX_END, hm = HEX_MARKER;

// ---------------------------------------------------------------------------
// Holder sets of the column-state alphabets

// quart_zus roles U, N, B, C; start, end and marker hold nothing.
enum : unsigned { qU = 1, qN = 2, qB = 4, qC = 8 };
unsigned quart_holders(int q) {
    switch (q) {
    case 0: return qU | qN | qB | qC;
    case 1: return qU | qN | qB;
    case 2: return qU | qN | qC;
    case 3: return qN | qB | qC;
    case 4: return qU | qN;
    case 5: return qN | qB;
    case 6: return qN | qC;
    case 7: return qU;
    case 8: return qN;
    case 9:
    case 10:
    case 11:
    case 12: return qB;
    case 13:
    case 14: return qC;
    case 18: return qU | qB | qC;
    case 19: return qU | qB;
    case 20: return qU | qC;
    case 21: return qB | qC;
    default: return 0;
    }
}

// hex_zus roles U, N, B, M, D, E.
enum : unsigned { xU = 1, xN = 2, xB = 4, xM = 8, xD = 16, xE = 32 };
unsigned hex_holders(int h) {
    static const std::map<int, std::string> t = {
        {0, "UNMBDE"}, {1, "UNMDE"}, {2, "UNMBE"}, {3, "UNME"},  {4, "UNMBD"}, {5, "UNMD"},
        {6, "UNMB"},   {7, "UNM"},   {8, "UNB"},   {9, "UN"},    {10, "U"},    {11, "NMBDE"},
        {12, "NMDE"},  {13, "NMBE"}, {14, "NME"},  {15, "NMBD"}, {16, "NMD"},  {17, "NMB"},
        {18, "NM"},    {19, "NB"},   {20, "N"},    {21, "B"},    {22, "B"},    {23, "B"},
        {24, "B"},     {25, "B"},    {26, "MDE"},  {27, "ME"},   {28, "MD"},   {29, "M"},
        {30, "D"},     {31, "D"},    {32, "E"},    {33, ""},     {34, ""}};
    unsigned s = 0;
    for (char c : t.at(h)) {
        s |= c == 'U' ? xU : c == 'N' ? xN : c == 'B' ? xB : c == 'M' ? xM : c == 'D' ? xD : xE;
    }
    return s;
}

template <class Z>
std::vector<Z> states(const std::vector<int>& v) {
    std::vector<Z> out;
    for (int x : v) out.push_back(Z(x));
    return out;
}

// The smallest quartet code (outer codes included, start and end not) with
// the given holders.
int quart_with(unsigned holders) {
    for (int q = 0; q <= QUART_OUTER_BC; ++q)
        if (q != QUART_START && q != QUART_END && quart_holders(q) == holders) return q;
    return -1;
}

// ---------------------------------------------------------------------------
// Trees

baum* mknode(const std::string& name, int number, const std::vector<int>& seq = {}) {
    identifier id;
    id.name = name;
    id.number = number;
    baum* b = new baum(id);
    b->seq.assign(seq.begin(), seq.end());
    return b;
}

// Any state will do to call the members on other trees.
mult_alignment& state() {
    static mult_alignment* s = [] {
        baum* r = mknode("R", 2, {0});
        baum* x = mknode("", -1, {0});
        link(r, x, 1.0, "M");
        link(x, mknode("B", 0, {0}), 1.0, "M");
        link(x, mknode("C", 1, {0}), 1.0, "M");
        return new mult_alignment(substmodel(), tkf(), r, keepfixed(), cooling());
    }();
    return *s;
}

// The smallest tree with two adjacent centres: root leaf P above anc's
// centre A, whose children are S and rec's centre R with children R1, R2.
// Sequences and maps are left empty.
struct fragment {
    baum *P, *A, *S, *R, *R1, *R2;
    fragment(double tP, double tS, double tc, double tR1, double tR2) {
        P = mknode("P", 0);
        A = mknode("", -1);
        S = mknode("S", 1);
        R = mknode("", -1);
        R1 = mknode("R1", 2);
        R2 = mknode("R2", 3);
        link(P, A, tP);
        link(A, S, tS);
        link(A, R, tc);
        link(R, R1, tR1);
        link(R, R2, tR2);
    }
    ~fragment() { delete P; }
    fragment(const fragment&) = delete;
    fragment& operator=(const fragment&) = delete;
    // The stars with empty quartet paths; slot ca of A and cr of R exchange.
    star anc(int ca) {
        std::vector<quart_zus> ali;
        std::vector<unsigned> kd{0, 1, 2};
        return star(A, ali, kd, ca);
    }
    star rec(int cr) {
        std::vector<quart_zus> ali;
        std::vector<unsigned> kd{0, 1, 2};
        return star(R, ali, kd, cr);
    }
};

// The slots of A and R that exchange f swaps (A: P = 0, S = 1; R: R1 = 1, R2 = 2).
int anc_slot(swapflag f) { return (f == P_R1 || f == P_R2) ? 0 : 1; }
int rec_slot(swapflag f) { return (f == P_R1 || f == S_R1) ? 1 : 2; }

// The hextet roles U, N, B, M, D, E of the topology after exchange f.
std::vector<baum*> roles(fragment& t, swapflag f) {
    switch (f) {
    case P_R1: return {t.P, t.R, t.R2, t.A, t.R1, t.S};
    case P_R2: return {t.P, t.R, t.R1, t.A, t.S, t.R2};
    case S_R1: return {t.P, t.A, t.R1, t.R, t.S, t.R2};
    default: return {t.P, t.A, t.R2, t.R, t.R1, t.S};
    }
}

// ---------------------------------------------------------------------------
// Independent checks of a tree

// The unique path through a pair of maps, or false when there is none.
bool valid_pair(const std::vector<int>& a, const std::vector<int>& b, int m, int n) {
    if (static_cast<int>(a.size()) != m || static_cast<int>(b.size()) != n) return false;
    int i = -1, j = -1;
    while (i < m - 1 || j < n - 1) {
        const bool M = i + 1 < m && j + 1 < n && a[i + 1] == j + 1 && b[j + 1] == i + 1;
        const bool D = i + 1 < m && a[i + 1] == j;
        const bool I = j + 1 < n && b[j + 1] == i;
        if (M + D + I != 1) return false;
        if (M) {
            ++i;
            ++j;
        } else if (D) {
            ++i;
        } else {
            ++j;
        }
    }
    return true;
}

void collect(baum* node, std::vector<baum*>& out) {
    out.push_back(node);
    for (auto& r : node->neighbors)
        if (!r.isparent) collect(r.node, out);
}

// Tree invariants and a consistent alignment on every branch; the message
// names the first fault.
std::string tree_fault(baum* root) {
    if (!root->isRoot()) return "root has a parent";
    std::vector<baum*> all;
    collect(root, all);
    for (baum* x : all) {
        int parents = 0;
        for (auto& r : x->neighbors) {
            if (r.node == nullptr) return "null neighbour";
            int back = -1, count = 0;
            for (std::size_t k = 0; k < r.node->neighbors.size(); ++k)
                if (r.node->neighbors[k].node == x) back = static_cast<int>(k), ++count;
            if (count != 1) return "branch not held twice";
            const neighbor& o = r.node->neighbors[back];
            if (o.brl != r.brl || o.fixed != r.fixed) return "halves differ";
            if (r.isparent && o.isparent) return "both halves flagged";
            if (r.isparent) ++parents;
            if (!valid_pair(r.posmap, o.posmap, static_cast<int>(x->seq.size()),
                            static_cast<int>(r.node->seq.size())))
                return "inconsistent alignment";
        }
        if (x != root && parents != 1) return "not one parent";
        if (x->neighbors.size() != 1 && x->neighbors.size() != 3) return "bad degree";
    }
    return "";
}

using residue = std::pair<std::string, int>;
using partition = std::set<std::vector<residue>>;

// Which leaf residues share a column of the leaf alignment.
partition leaf_homology(baum* root, std::vector<std::string>& ungapped) {
    mdataset m(root, 4);
    partition p;
    ungapped.clear();
    std::vector<int> count(m.seqs.size(), 0);
    for (auto& row : m.seqs) {
        std::string s;
        for (char c : row)
            if (c != '_') s += c;
        ungapped.push_back(s);
    }
    const std::size_t len = m.seqs.empty() ? 0 : m.seqs[0].size();
    for (std::size_t c = 0; c < len; ++c) {
        std::vector<residue> col;
        for (std::size_t r = 0; r < m.seqs.size(); ++r)
            if (m.seqs[r][c] != '_')
                col.push_back({std::string(m.names[r].begin(), m.names[r].end()), count[r]++});
        std::sort(col.begin(), col.end());
        p.insert(col);
    }
    return p;
}

// Classes of residues linked by match columns along the branches, over the
// residues of all nodes but the two excluded ones.
using noderes = std::pair<int, int>;
std::set<std::vector<noderes>> node_homology(baum* root, const std::map<baum*, int>& ids,
                                             baum* skip1, baum* skip2) {
    std::map<noderes, noderes> up;
    std::function<noderes(noderes)> find = [&](noderes x) {
        auto it = up.find(x);
        if (it == up.end() || it->second == x) return x;
        return it->second = find(it->second);
    };
    std::vector<baum*> all;
    collect(root, all);
    for (baum* x : all)
        for (int i = 0; i < static_cast<int>(x->seq.size()); ++i)
            up[{ids.at(x), i}] = {ids.at(x), i};
    for (baum* x : all)
        for (auto& r : x->neighbors) {
            const auto& b = r.node->neighbors[r.node->whichone(x)].posmap;
            for (int i = 0; i < static_cast<int>(r.posmap.size()); ++i) {
                const int j = r.posmap[i];
                if (j >= 0 && b[j] == i) up[find({ids.at(x), i})] = find({ids.at(r.node), j});
            }
        }
    std::map<noderes, std::vector<noderes>> cls;
    for (auto& e : up)
        if (ids.at(skip1) != e.first.first && ids.at(skip2) != e.first.first)
            cls[find(e.first)].push_back(e.first);
    std::set<std::vector<noderes>> out;
    for (auto& c : cls) out.insert(c.second);
    return out;
}

// A random bifurcating tree below a root leaf with random parent slots and
// branch alignments projected from a random multiple alignment of all nodes.
struct randtree {
    baum* root = nullptr;
    std::vector<baum*> all;
    std::map<baum*, int> ids;

    explicit randtree(unsigned seed) {
        std::mt19937 g(seed);
        int leaves = 4 + static_cast<int>(g() % 4);
        int number = 0;
        root = mknode("L" + std::to_string(leaves - 1), leaves - 1);
        baum* top = grow(leaves - 1, g, number);
        const double t = 0.5 + static_cast<double>(g() % 100) / 10.0;
        link(root, top, t, "", static_cast<int>(g() % 3));
        collect(root, all);
        for (std::size_t k = 0; k < all.size(); ++k) ids[all[k]] = static_cast<int>(k);

        // Some alignments are short enough to leave sequences empty.
        const int ncol = static_cast<int>(g() % 14);
        std::vector<std::vector<bool>> present(all.size(), std::vector<bool>(ncol));
        for (std::size_t k = 0; k < all.size(); ++k) {
            all[k]->seq.clear();
            for (int c = 0; c < ncol; ++c) {
                present[k][c] = g() % 100 < 60;
                if (!present[k][c]) continue;
                // Now and then an ambiguity code.
                const int code = static_cast<int>(g() % 40);
                all[k]->seq.push_back(code < 4 ? code : code < 36 ? code % 4 : 4 + code % 11);
            }
        }
        for (std::size_t k = 0; k < all.size(); ++k)
            for (auto& r : all[k]->neighbors) {
                if (r.isparent) continue;
                const std::size_t c = static_cast<std::size_t>(ids[r.node]);
                std::string path;
                for (int col = 0; col < ncol; ++col) {
                    if (present[k][col] && present[c][col]) path += 'M';
                    else if (present[k][col]) path += 'D';
                    else if (present[c][col]) path += 'I';
                }
                auto& back = r.node->neighbors[r.node->whichone(all[k])];
                path_to_maps(path_states(path), r.posmap, back.posmap);
            }
    }
    ~randtree() { delete root; }
    randtree(const randtree&) = delete;
    randtree& operator=(const randtree&) = delete;

    baum* grow(int k, std::mt19937& g, int& number) {
        if (k == 1) {
            const int no = number++;
            return mknode("L" + std::to_string(no), no);
        }
        baum* x = mknode("", -1);
        const int left = 1 + static_cast<int>(g() % (k - 1));
        baum* a = grow(left, g, number);
        baum* b = grow(k - left, g, number);
        for (baum* c : {a, b}) {
            const double t = 0.5 + static_cast<double>(g() % 100) / 10.0;
            link(x, c, t, "", static_cast<int>(g() % 3));
        }
        return x;
    }
};

}  // namespace

// ---------------------------------------------------------------------------
// Conversions, derived from the holder sets

TEST(SwapConversion, TwoQuartToHexEveryCell) {
    fragment t(1, 1, 1, 1, 1);
    for (int a = 0; a <= QUART_END; ++a)
        for (int r = 0; r <= QUART_END; ++r) {
            // Expected from the merge order and the holders of both columns:
            // the first hextet state with the merged holders h.
            int want = -1;
            unsigned h = 0, adv0 = 1, adv1 = 1;
            const unsigned ha = quart_holders(a), hr = quart_holders(r);
            if (ha == qB) {  // S alone
                h = xB, adv1 = 0;
            } else if (hr == qB) {  // R1 alone
                h = xD, adv0 = 0;
            } else if (hr == qC) {  // R2 alone
                h = xE, adv0 = 0;
            } else if (ha == qU) {  // P alone
                h = xU, adv1 = 0;
            } else if (a == QUART_START || a == QUART_END || r == QUART_START || r == QUART_END) {
                want = (a == r) ? (a == QUART_START ? HEX_START : HEX_END) : -1;
            } else if (((ha & qN) != 0) == ((hr & qU) != 0) &&
                       ((ha & qC) != 0) == ((hr & qN) != 0)) {
                // anc: U P, N A, B S, C R; rec: U A, N R, B R1, C R2.
                if (ha & qU) h |= xU;
                if (ha & qN) h |= xN;
                if (ha & qB) h |= xB;
                if (ha & qC) h |= xM;
                if (hr & qB) h |= xD;
                if (hr & qC) h |= xE;
            }
            for (int s = 0; s < HEX_START && h != 0 && want < 0; ++s)
                if (hex_holders(s) == h) want = s;
            std::vector<quart_zus> aa(1, quart_zus(a)), rr(1, quart_zus(r));
            std::vector<unsigned> kd{0, 1, 2};
            star an(t.A, aa, kd, 0), re(t.R, rr, kd, 1);
            if (want >= 0) {
                std::vector<unsigned> idx{0, 0};
                EXPECT_EQ(state().two_quart_to_hex(an, re, idx), want) << a << " " << r;
                EXPECT_EQ(idx, (std::vector<unsigned>{adv0, adv1})) << a << " " << r;
            } else {
                EXPECT_TRUE(ends_fatally(
                    [&] {
                        std::vector<unsigned> idx{0, 0};
                        state().two_quart_to_hex(an, re, idx);
                    },
                    "Unreasonable state in m2.ali\n"))
                    << a << " " << r;
            }
        }
}

TEST(SwapConversion, TwoQuartToHexRejects) {
    fragment t(1, 1, 1, 1, 1);
    struct bad {
        int a, r;
        std::vector<unsigned> idx;
        const char* err;
    };
    const std::vector<bad> cases = {
        {QUART_MARKER, 0, {0, 0}, "Unreasonable state in m1.ali\n"},
        {0, QUART_MARKER, {0, 0}, "Unreasonable state in m2.ali\n"},
        {QUART_INS_B, QUART_MARKER, {0, 0}, "Unreasonable state in m2.ali\n"},
        {QUART_U_ALONE, QUART_OUTER_BC, {0, 0}, "Unreasonable state in m2.ali\n"},
        {0, 0, {0}, "Inadequate index vector in function two_quart_to_hex!\n"},
        {0, 0, {1, 0}, "Inadequate index vector in function two_quart_to_hex!\n"},
    };
    for (const bad& b : cases) {
        EXPECT_TRUE(ends_fatally(
            [&] {
                std::vector<quart_zus> aa(1, quart_zus(b.a)), rr(1, quart_zus(b.r));
                std::vector<unsigned> kd{0, 1, 2}, idx = b.idx;
                star an(t.A, aa, kd, 0), re(t.R, rr, kd, 1);
                state().two_quart_to_hex(an, re, idx);
            },
            b.err))
            << b.a << " " << b.r;
    }
}

TEST(SwapConversion, HexToQuartEveryState) {
    for (int h = 0; h <= HEX_END; ++h) {
        const unsigned x = hex_holders(h);
        // Seen from (P, S, R1, R2) = pre-exchange (U, B, D, E) as (U, N, B, C).
        unsigned q = 0;
        if (x & xU) q |= qU;
        if (x & xB) q |= qN;
        if (x & xD) q |= qB;
        if (x & xE) q |= qC;
        const int want = h == HEX_START ? QUART_START : h == HEX_END ? QUART_END : quart_with(q);
        EXPECT_EQ(state().hex_to_quart(hex_zus(h)), want) << h;
    }
    for (int h : {hm, hm + 1, -1}) {
        EXPECT_FATAL(state().hex_to_quart(hex_zus(h)),
                     "Strange hextett state in function hex_to_quart\n");
    }
}

TEST(SwapConversion, SwapQuartZusEveryCode) {
    for (swapflag f : kFlags)
        for (int q = 0; q <= QUART_OUTER_BC; ++q) {
            // N exchanged with C when P joins R2, with B when P joins R1.
            const unsigned h = quart_holders(q);
            const bool p_r2 = f == P_R1 || f == S_R2;
            const unsigned other = p_r2 ? qC : qB;
            unsigned s = h & ~(qN | other);
            if (h & qN) s |= other;
            if (h & other) s |= qN;
            const int want = (s == h) ? q : quart_with(s);
            EXPECT_EQ(state().swap_quart_zus(quart_zus(q), f), want) << f << " " << q;
        }
    // Codes whose holders no flag moves (N, B and C all or none) need no
    // valid flag; the others stop on one.
    int unmoved = 0;
    for (int q = 0; q <= QUART_OUTER_BC; ++q) {
        const unsigned nbc = quart_holders(q) & (qN | qB | qC);
        if (nbc == 0 || nbc == (qN | qB | qC)) {
            EXPECT_EQ(state().swap_quart_zus(quart_zus(q), swapflag(9)), q);
            ++unmoved;
        } else {
            EXPECT_FATAL(state().swap_quart_zus(quart_zus(q), swapflag(9)), "swapflag=9\n");
        }
    }
    EXPECT_EQ(unmoved, 6);  // UNBC, NBC, U, start, end, marker
    EXPECT_FATAL(state().swap_quart_zus(quart_zus(QUART_OUTER_BC + 1), P_R1),
                 "Strange state in function swap_quart_zus\n");
    EXPECT_FATAL(state().swap_quart_zus(quart_zus(9), swapflag(5)), "swapflag=5\n");
}

// ---------------------------------------------------------------------------
// Stars, flags and table times

TEST(SwapStar, ConstructorChecks) {
    fragment t(1, 1, 1, 1, 1);
    struct bad {
        baum* centre;
        std::vector<unsigned> kd;
        int child;
        const char* err;
    };
    const std::vector<bad> cases = {
        {nullptr, {0, 1, 2}, 0, "Unreasonable tree pointer in constructor of mercedes_stern\n"},
        {t.S, {0, 1, 2}, 0, "Unreasonable tree pointer in constructor of mercedes_stern\n"},
        {t.A, {0, 1}, 0, "Unreasonable vector kd in constructor of mercedes_stern\n"},
        {t.A,
         {0, 1, 2},
         3,
         "Unreasonable value of childtochange in constructor of mercedes_stern\n"},
        {t.A,
         {0, 1, 2},
         -1,
         "Unreasonable value of childtochange in constructor of mercedes_stern\n"},
    };
    for (const bad& b : cases) {
        EXPECT_TRUE(ends_fatally(
            [&] {
                std::vector<quart_zus> ali;
                std::vector<unsigned> kd = b.kd;
                star s(b.centre, ali, kd, b.child);
            },
            b.err));
    }
    EXPECT_FATAL(star s, "Leerer Mercedesstern unsinnig\n");

    std::vector<quart_zus> ali{QUART_START, QUART_END};
    std::vector<unsigned> kd{0, 2, 1};
    star s(t.A, ali, kd, 2);
    EXPECT_EQ(s.centre, t.A);
    EXPECT_EQ(s.ali, ali);
    EXPECT_EQ(s.kd, kd);
    EXPECT_EQ(s.childtochange, 2);
}

TEST(SwapStar, FamilyWithPartnerLast) {
    // A: [R, P, S] with its partner R at fam[1] before the exchange of the
    // two children; R: [R1, A, R2] with its partner as parent.
    baum* P = mknode("P", 0);
    baum* A = mknode("", -1);
    baum* R = mknode("", -1);
    link(R, mknode("R1", 2), 1.0);
    link(R, mknode("R2", 3), 1.0);
    link(A, R, 1.0, "", 1);
    link(A, mknode("S", 1), 1.0);
    link(P, A, 1.0, "", 1);
    std::vector<unsigned> fa, fr;
    state().familie(fa, A, R);
    state().familie(fr, R, A);
    EXPECT_EQ(fa, (std::vector<unsigned>{1u, 2u, 0u}));
    EXPECT_EQ(fr, (std::vector<unsigned>{1u, 0u, 2u}));
    delete P;
}

TEST(SwapStar, WhichPairSwaps) {
    fragment t(1, 1, 1, 1, 1);
    for (swapflag f : kFlags) {
        star an = t.anc(anc_slot(f)), re = t.rec(rec_slot(f));
        star *pa = nullptr, *pr = nullptr;
        EXPECT_EQ(state().which_pair_swaps(an, re, pa, pr), f);
        EXPECT_EQ(pa, &an);
        EXPECT_EQ(pr, &re);
        EXPECT_EQ(state().which_pair_swaps(re, an, pa, pr), f);
        EXPECT_EQ(pa, &an);
        EXPECT_EQ(pr, &re);
    }
    struct bad {
        int ca, cr;
        const char* err;
    };
    const std::vector<bad> cases = {
        {0, 0, "Error III in function which_pair_swaps\n"},
        {1, 0, "Error IV in function which_pair_swaps\n"},
        {2, 1, "Error V in function which_pair_swaps\n"},
    };
    for (const bad& b : cases) {
        EXPECT_TRUE(ends_fatally(
            [&] {
                star an = t.anc(b.ca), re = t.rec(b.cr);
                star *pa, *pr;
                state().which_pair_swaps(an, re, pa, pr);
            },
            b.err));
    }
    // Two centres of which neither is the other's parent.
    EXPECT_TRUE(ends_fatally(
        [&] {
            star an = t.anc(0), an2 = t.anc(1);
            star *pa, *pr;
            state().which_pair_swaps(an, an2, pa, pr);
        },
        "Error I in function which_pair_swaps\n"));
}

TEST(SwapStar, FillHTimesOfTheNewRoles) {
    const double tP = 1.5, tS = 2.5, tc = 3.5, tR1 = 4.5, tR2 = 5.5;
    fragment t(tP, tS, tc, tR1, tR2);
    std::map<baum*, double> brl = {{t.P, tP}, {t.S, tS}, {t.R1, tR1}, {t.R2, tR2}};
    for (swapflag f : kFlags) {
        std::vector<baum*> r = roles(t, f);
        star an = t.anc(anc_slot(f)), re = t.rec(rec_slot(f));
        state().fillH(an, re, f);
        indel ref = tkf();
        ref.fillH(brl[r[0]], brl[r[2]], tc, brl[r[4]], brl[r[5]]);
        EXPECT_EQ(state().indmodel.tH, ref.tH) << f;
        EXPECT_EQ(state().indmodel.H, ref.H) << f;
    }
    struct bad {
        bool reversed;
        int f;
        const char* err;
    };
    for (const bad& b :
         std::vector<bad>{{true, P_R1, "anc is not the parent of rec in function fillH\n"},
                          {false, 0, "Impossible value of swp\n"},
                          {false, 5, "Impossible value of swp\n"}}) {
        EXPECT_TRUE(ends_fatally(
            [&] {
                star an = t.anc(0), re = t.rec(1);
                if (b.reversed) state().fillH(re, an, swapflag(b.f));
                else state().fillH(an, re, swapflag(b.f));
            },
            b.err));
    }
}

TEST(SwapStar, ZweimalvierDropsCentreOnlyColumns) {
    fragment t(1, 1, 1, 1, 1);
    std::vector<unsigned> kd{0, 1, 2};
    auto run = [&](std::vector<int> a, std::vector<int> r, swapflag f) {
        std::vector<quart_zus> aa = states<quart_zus>(a), rr = states<quart_zus>(r);
        star an(t.A, aa, kd, anc_slot(f)), re(t.R, rr, kd, rec_slot(f));
        std::vector<quart_zus> outer{quart_zus(3)};
        state().zweimalvier(outer, an, re, f);
        return std::vector<int>(outer.begin(), outer.end());
    };
    // Merged 20, 18 and 29 hold no outer residue.
    EXPECT_EQ(run({qs, 8, 6, 13, qe}, {qs, 7, 4, 8, qe}, P_R1), (std::vector<int>{qs, qe}));
    // S inserts, then R1 alone; P with S and R1 (hextet 4 -> quartet 1).
    EXPECT_EQ(run({qs, 9, 0, qe}, {qs, 9, 1, qe}, P_R1), (std::vector<int>{qs, 13, 9, 18, qe}));
    EXPECT_EQ(run({qs, 9, 0, qe}, {qs, 9, 1, qe}, S_R1), (std::vector<int>{qs, 9, 8, 1, qe}));

    for (auto& p : std::vector<std::pair<std::vector<int>, std::vector<int>>>{
             {{qs, qe, qe}, {qs, qe}}, {{qs, 7}, {qs, qe}}, {{}, {}}}) {
        EXPECT_FATAL(run(p.first, p.second, P_R1), "Error in function zweimalvier\n");
    }
}

// ---------------------------------------------------------------------------
// Branch list bookkeeping

TEST(SwapKeeptrack, PendingBranchesFollowTheirSubtrees) {
    baum* a = mknode("a", 0);
    baum* b = mknode("b", 1);
    baum* c = mknode("c", 2);
    struct entry {
        std::vector<baum*> nodes;
        std::vector<unsigned> idx;
        std::vector<baum*> want_nodes;
        std::vector<unsigned> want_idx;
    };
    const std::vector<entry> cases = {
        {{a, b, c}, {0, 0, 1}, {a, b, c}, {0, 0, 1}},              // neither pair
        {{c, a, b}, {1, 1, 0}, {c, b, b}, {1, 2, 0}},              // (first, k1)
        {{b, c}, {2, 1}, {a, c}, {1, 1}},                          // (second, k2)
        {{a, c, b, a}, {1, 0, 2, 2}, {b, c, a, a}, {2, 0, 1, 2}},  // both
        {{}, {}, {}, {}},
    };
    for (const entry& e : cases) {
        std::vector<baum*> nodes = e.nodes;
        std::vector<unsigned> idx = e.idx;
        state().keeptrack(nodes, idx, a, 1, b, 2);
        EXPECT_EQ(nodes, e.want_nodes);
        EXPECT_EQ(idx, e.want_idx);
    }
    delete a;
    delete b;
    delete c;
}

// ---------------------------------------------------------------------------
// Writing a hextet path

namespace {

// The ten maps of the post-exchange topology, by role pair, as written.
struct rolemaps {
    std::vector<int> UN, NU, NB, BN, NM, MN, MD, DM, ME, EM;
};

rolemaps read_roles(const std::vector<baum*>& r) {
    auto m = [](baum* x, baum* y) { return x->neighbors[x->whichone(y)].posmap; };
    baum *U = r[0], *N = r[1], *B = r[2], *M = r[3], *D = r[4], *E = r[5];
    return {m(U, N), m(N, U), m(N, B), m(B, N), m(N, M),
            m(M, N), m(M, D), m(D, M), m(M, E), m(E, M)};
}

// A fragment whose role nodes for flag f carry sequences of the given
// lengths (U, B, D, E); every residue is the code of its role.
void fill_roles(fragment& t, swapflag f, int lu, int lb, int ld, int le) {
    std::vector<baum*> r = roles(t, f);
    r[0]->seq.assign(lu, 0);
    r[2]->seq.assign(lb, 1);
    r[4]->seq.assign(ld, 2);
    r[5]->seq.assign(le, 3);
    r[1]->seq.assign(3, 0);
    r[3]->seq.assign(3, 0);
}

void write(fragment& t, swapflag f, const std::vector<int>& p) {
    std::vector<hex_zus> path = states<hex_zus>(p);
    star an = t.anc(anc_slot(f)), re = t.rec(rec_slot(f));
    state().write_centpair(path, an, re, f);
}

void exchange(fragment& t, swapflag f) {
    t.A->swapbr(t.A->whichone(t.R), anc_slot(f), rec_slot(f));
}

}  // namespace

TEST(SwapWriteCentpair, RecordsOfTheNewTopology) {
    using V = std::vector<int>;
    struct wcase {
        std::vector<int> path;
        int lu, lb, ld, le, ln, lm;
        rolemaps want;
    };
    const std::vector<wcase> cases = {
        // A full column, then outer residues alone, then both centres alone.
        {{hs, 0, 10, 21, 21, 30, 30, 30, 32, 32, 32, 32, 18, he},
         2,
         3,
         4,
         5,
         2,
         2,
         {V{0, 0}, V{0, 1}, V{0, 2}, V{0, 0, 0}, V{0, 1}, V{0, 1}, V{0, 3}, V{0, 0, 0, 0}, V{0, 4},
          V{0, 0, 0, 0, 0}}},
        // Outer residues before any centre residue point at -1.
        {{hs, 10, 21, 30, 32, 9, 29, he},
         2,
         1,
         1,
         1,
         1,
         1,
         {V{-1, 0}, V{1}, V{0}, V{-1}, V{-1}, V{0}, V{0}, V{-1}, V{0}, V{-1}}},
        // Start and end only.
        {{hs, he}, 0, 0, 0, 0, 0, 0, {}},
    };
    for (swapflag f : kFlags)
        for (const wcase& w : cases) {
            fragment t(1, 2, 3, 4, 5);
            fill_roles(t, f, w.lu, w.lb, w.ld, w.le);
            // Stale maps everywhere: all ten must be rewritten.
            for (baum* x : {t.P, t.A, t.S, t.R, t.R1, t.R2})
                for (auto& r : x->neighbors) r.posmap.assign(7, 5);
            seedrandom(11);
            write(t, f, w.path);
            std::vector<baum*> r = roles(t, f);
            // U's map to its new centre lies in its record of anc's centre.
            EXPECT_EQ(t.P->neighbors[t.P->whichone(t.A)].posmap, w.want.UN) << f;
            exchange(t, f);
            rolemaps got = read_roles(r);
            EXPECT_EQ(got.UN, w.want.UN) << f;
            EXPECT_EQ(got.NU, w.want.NU) << f;
            EXPECT_EQ(got.NB, w.want.NB) << f;
            EXPECT_EQ(got.BN, w.want.BN) << f;
            EXPECT_EQ(got.NM, w.want.NM) << f;
            EXPECT_EQ(got.MN, w.want.MN) << f;
            EXPECT_EQ(got.MD, w.want.MD) << f;
            EXPECT_EQ(got.DM, w.want.DM) << f;
            EXPECT_EQ(got.ME, w.want.ME) << f;
            EXPECT_EQ(got.EM, w.want.EM) << f;
            EXPECT_EQ(static_cast<int>(r[1]->seq.size()), w.ln) << f;
            EXPECT_EQ(static_cast<int>(r[3]->seq.size()), w.lm) << f;
            EXPECT_EQ(tree_fault(t.P), "") << f;
        }
}

TEST(SwapWriteCentpair, ResiduesComeFromTheCentresOwnNeighbours) {
    // Every column with both centres. With zero-length outer branches a
    // centre with an outer neighbour in the column copies one of them
    // (U = 0, B = 1 for N; D = 2, E = 3 for M).
    const std::vector<int> path = {hs, 0,  1,  2,  3,  4,  5,  6,  7,  8,  9, 11,
                                   12, 13, 14, 15, 16, 17, 19, 26, 27, 28, he};
    for (swapflag f : kFlags) {
        fragment t(0, 0, 3, 0, 0);
        int lens[4] = {0, 0, 0, 0};
        for (int s : path) {
            const unsigned h = s >= HEX_START ? 0 : hex_holders(s);
            lens[0] += (h & xU) != 0;
            lens[1] += (h & xB) != 0;
            lens[2] += (h & xD) != 0;
            lens[3] += (h & xE) != 0;
        }
        fill_roles(t, f, lens[0], lens[1], lens[2], lens[3]);
        seedrandom(5);
        write(t, f, path);
        std::vector<baum*> r = roles(t, f);
        int n = -1, m = -1;
        for (int s : path) {
            if (s >= HEX_START) continue;
            const unsigned h = hex_holders(s);
            if (h & xN) {
                ++n;
                if (h & (xU | xB)) {
                    const int want = (h & xU) && (h & xB) ? -1 : (h & xU) ? 0 : 1;
                    const int got = r[1]->seq[n];
                    if (want < 0) EXPECT_TRUE(got == 0 || got == 1) << f << " " << s;
                    else EXPECT_EQ(got, want) << f << " " << s;
                }
            }
            if (h & xM) {
                ++m;
                if (h & (xD | xE)) {
                    const int want = (h & xD) && (h & xE) ? -1 : (h & xD) ? 2 : 3;
                    const int got = r[3]->seq[m];
                    if (want < 0) EXPECT_TRUE(got == 2 || got == 3) << f << " " << s;
                    else EXPECT_EQ(got, want) << f << " " << s;
                }
            }
        }
    }
}

TEST(SwapWriteCentpair, ZeroCentralBranchGivesEqualCentres) {
    const std::vector<int> path = {hs, 0, 1, 2, 3, 4, 5, 6, 7, 11, 12, 13, 14, 15, 16, 17, 18, he};
    for (swapflag f : kFlags) {
        fragment t(7, 9, 0, 11, 13);
        fill_roles(t, f, 8, 8, 8, 8);
        std::vector<baum*> r = roles(t, f);
        std::mt19937 g(f);
        for (int k : {0, 2, 4, 5})
            for (int& x : r[k]->seq) x = static_cast<int>(g() % 4);
        seedrandom(17 + f);
        write(t, f, path);
        EXPECT_EQ(r[1]->seq.size(), 16u);
        EXPECT_EQ(r[1]->seq, r[3]->seq) << f;
    }
}

TEST(SwapWriteCentpair, Rejects) {
    struct bad {
        std::vector<int> path;
        swapflag f;
        bool reversed;
        int lu;
        const char* err;
    };
    const swapflag none = swapflag(0);
    const std::vector<bad> cases = {
        {{hs, he}, P_R1, true, 0, "anc is not the parent of rec in function fillH\n"},
        {{hs, he}, none, false, 0, "Impossible value of swp in write_centpair\n"},
        {{hs, hm, he}, P_R1, false, 0, "Unknown state in function write_centpair\n"},
        {{hs, hs, he}, P_R2, false, 0, "Late start in function write_centpair\n"},
        {{hs, he, 10, he}, S_R1, false, 1, "Early end in function write_centpair\n"},
        // Paths that do not fit the outer sequences.
        {{hs, 10, 10, he}, S_R2, false, 1, "Unknown state in function write_centpair\n-1 0 0 0\n"},
        {{hs, 21, he}, P_R2, false, 0, "Unknown state in function write_centpair\n0 -1 0 0\n"},
        {{hs, he}, P_R1, false, 1, "Unknown state in function write_centpair\n1 0 0 0\n"},
    };
    for (const bad& b : cases) {
        EXPECT_TRUE(ends_fatally(
            [&] {
                fragment t(1, 1, 1, 1, 1);
                fill_roles(t, b.f == none ? P_R1 : b.f, b.lu, 0, 0, 0);
                std::vector<hex_zus> path = states<hex_zus>(b.path);
                star an = t.anc(0), re = t.rec(1);
                if (b.reversed) state().write_centpair(path, re, an, b.f);
                else state().write_centpair(path, an, re, b.f);
            },
            b.err));
    }
}

// ---------------------------------------------------------------------------
// The whole swap on random trees

TEST(SwapHexali, RandomTreesKeepHomologyForAllFlags) {
    std::set<swapflag> flags;
    int runs = 0;
    for (unsigned seed = 1; seed <= 30; ++seed) {
        // Every inner branch, from either end, with every pair of subtrees.
        std::vector<std::pair<int, int>> branches;  // (ids of node, nb)
        {
            randtree t(seed);
            for (baum* x : t.all)
                for (auto& r : x->neighbors)
                    if (!r.isparent && !x->isLeaf() && !r.node->isLeaf())
                        branches.push_back({t.ids[x], t.ids[r.node]});
        }
        for (auto [xi, yi] : branches)
            for (int turn = 0; turn < 2; ++turn)
                for (int k1 = 0; k1 < 2; ++k1)
                    for (int k2 = 0; k2 < 2; ++k2) {
                        randtree t(seed);
                        baum* node = t.all[turn ? yi : xi];
                        baum* nb = t.all[turn ? xi : yi];
                        int c1 = -1, c2 = -1;
                        for (int i = 0, seen = 0; i < 3; ++i)
                            if (node->NB(i) != nb && seen++ == k1) c1 = i;
                        for (int i = 0, seen = 0; i < 3; ++i)
                            if (nb->NB(i) != node && seen++ == k2) c2 = i;
                        // The flag from the exchange itself.
                        baum* A = turn ? nb : node;
                        baum* R = turn ? node : nb;
                        const int ca = turn ? c2 : c1, cr = turn ? c1 : c2;
                        const bool parentside = A->neighbors[ca].isparent;
                        int firstchild = -1;
                        for (int i = 0; i < 3 && firstchild < 0; ++i)
                            if (!R->neighbors[i].isparent) firstchild = i;
                        flags.insert(parentside ? (cr == firstchild ? P_R1 : P_R2)
                                                : (cr == firstchild ? S_R1 : S_R2));

                        std::vector<std::string> rows0, rows1;
                        const partition before = leaf_homology(t.root, rows0);
                        const auto inner0 = node_homology(t.root, t.ids, node, nb);
                        std::vector<bioseq> outer0;
                        for (baum* x : t.all)
                            if (x != node && x != nb) outer0.push_back(x->seq);

                        idum = -static_cast<int>(seed * 100 + turn * 4 + k1 * 2 + k2 + 1);
                        state().hexali(node, nb, c1, c2);
                        ++runs;
                        node->swapbr(node->whichone(nb), c1, c2);

                        const std::string what = "seed " + std::to_string(seed) + " branch " +
                                                 std::to_string(xi) + "-" + std::to_string(yi) +
                                                 " turn " + std::to_string(turn) + " " +
                                                 std::to_string(k1) + std::to_string(k2);
                        ASSERT_EQ(tree_fault(t.root), "") << what;
                        EXPECT_TRUE(t.root->isRoot() && t.root->isLeaf()) << what;
                        EXPECT_EQ(leaf_homology(t.root, rows1), before) << what;
                        EXPECT_EQ(node_homology(t.root, t.ids, node, nb), inner0) << what;
                        std::vector<bioseq> outer1;
                        for (baum* x : t.all)
                            if (x != node && x != nb) outer1.push_back(x->seq);
                        EXPECT_EQ(outer1, outer0) << what;
                        // Removing the gaps of a row gives the leaf's sequence.
                        std::sort(rows0.begin(), rows0.end());
                        std::sort(rows1.begin(), rows1.end());
                        EXPECT_EQ(rows1, rows0) << what;
                    }
    }
    EXPECT_EQ(flags, std::set<swapflag>(kFlags.begin(), kFlags.end()));
    EXPECT_GT(runs, 300);
}
