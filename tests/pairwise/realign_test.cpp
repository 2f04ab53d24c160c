// Window and linear-space re-alignment.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "fixtures.h"
#include "sequence/random.h"
#include "support/fatal.h"

namespace {

std::string random_dna(std::mt19937& gen, int n) {
    std::string s;
    for (int k = 0; k < n; ++k) s += "ACGT"[gen() % 4];
    return s;
}

// B from A by substitutions, deletions and insertions at the given rates.
std::string mutate(std::mt19937& gen, const std::string& a, double sub, double gap) {
    std::uniform_real_distribution<double> u(0, 1);
    std::string b;
    for (char c : a) {
        const double x = u(gen);
        if (x < gap) continue;
        if (x < 2 * gap) b += "ACGT"[gen() % 4];
        b += (u(gen) < sub) ? "ACGT"[gen() % 4] : c;
    }
    return b;
}

// The whole pair aligned greedily from one full table.
std::vector<int> table_route(alignment& al) {
    const int m = al.seq1->laen(), n = al.seq2->laen();
    align_graph g(al, -1, -1, m, n, START, END);
    std::vector<int> rev;
    int a = m, b = n, ca = -1, cb = -1;
    zustand st = END;
    while (a > 0 || b > 0) {
        st = g.maxwk_schritt(st, a, b, ca, cb);
        if (st != INSERTION) --a;
        if (st != DELETION) --b;
        ca = st != INSERTION ? (*al.seq1)[a] : -1;
        cb = st != DELETION ? (*al.seq2)[b] : -1;
        rev.push_back(st);
    }
    return std::vector<int>(rev.rbegin(), rev.rend());
}

std::vector<int> hirschberg_route(alignment& al) {
    al.hirschberg(false);
    return columns(al);
}

void expect_complete(const alignment& al) {
    int na = 0, nb = 0;
    for (int s : columns(al)) {
        if (s != INSERTION) ++na;
        if (s != DELETION) ++nb;
    }
    EXPECT_EQ(na, al.seq1->laen());
    EXPECT_EQ(nb, al.seq2->laen());
}

// Transitions (START to END) and residue pairs of a path of column states.
struct PathCounts {
    std::vector<std::vector<double>> trans, subst;
};
PathCounts counts_of(const std::vector<int>& path, const bioseq& A, const bioseq& B) {
    PathCounts c{std::vector<std::vector<double>>(4, std::vector<double>(5, 0.0)),
                 std::vector<std::vector<double>>(4, std::vector<double>(4, 0.0))};
    int prev = START, i = 0, j = 0;
    for (int st : path) {
        c.trans[prev][st] += 1.0;
        if (st == MATCH) c.subst[A[i]][B[j]] += 1.0;
        if (st != INSERTION) ++i;
        if (st != DELETION) ++j;
        prev = st;
    }
    c.trans[prev][END] += 1.0;
    return c;
}

// Every match of the path split into a deletion and an insertion.
std::vector<int> scrambled(const std::vector<int>& path) {
    std::vector<int> out;
    for (int st : path) {
        if (st == MATCH) {
            out.push_back(DELETION);
            out.push_back(INSERTION);
        } else {
            out.push_back(st);
        }
    }
    return out;
}

struct WindowFixture {
    std::mt19937 gen{11};
    std::string sa = random_dna(gen, 40);
    bioseq a = dna(sa);
    bioseq b = dna(mutate(gen, sa, 0.15, 0.05));
    indel im{std::vector<double>{0.02, 0.03}, TKF1};
    alignment al{a, b, 15.0, jc69(), im, 1.0, 2147483647UL};
    std::vector<int> best = columns(al);
    WindowFixture() { path_to_maps(scrambled(best), al.map1, al.map2); }
    int m() const { return a.laen(); }
    int n() const { return b.laen(); }
};

// Entries of residues outside the window (a, b)-(c, d) are untouched.
void expect_outside_kept(const alignment& before, const alignment& after, int a, int b, int c,
                         int d) {
    for (int i = 0; i < static_cast<int>(before.map1.size()); ++i)
        if (i <= a || i >= c) {
            EXPECT_EQ(before.map1[i], after.map1[i]) << i;
        }
    for (int j = 0; j < static_cast<int>(before.map2.size()); ++j)
        if (j <= b || j >= d) {
            EXPECT_EQ(before.map2[j], after.map2[j]) << j;
        }
}

TEST(Teilsample, RandomWindowOfEachKind) {
    WindowFixture f;
    const int w = 6, m = f.m(), n = f.n();
    bool seen[3] = {false, false, false};
    for (unsigned seed = 1; seed < 200 && !(seen[0] && seen[1] && seen[2]); ++seed) {
        std::srand(seed);
        const int x = std::rand() % (w + m);
        const int following = std::rand();
        const int kind = x >= m ? 2 : (x + w < m ? 0 : 1);
        if (seen[kind]) continue;
        seen[kind] = true;
        alignment drawn(f.al), explicit_window(f.al);
        std::srand(seed);
        drawn.teilsample(w);
        EXPECT_EQ(std::rand(), following);  // one draw only
        int a, b, c, d;
        if (kind == 0) {
            a = x;
            c = x + w;
        } else if (kind == 1) {
            a = m - w;
            c = m;
        } else {
            a = -1;
            c = w;
        }
        b = a < 0 ? -1 : f.al.map1[a];
        d = c == m ? n : f.al.map1[c];
        explicit_window.teilsample(a, b, c, d);
        EXPECT_EQ(drawn.map1, explicit_window.map1) << kind;
        EXPECT_EQ(drawn.map2, explicit_window.map2) << kind;
        EXPECT_NE(drawn.map1, f.al.map1) << kind;
        expect_outside_kept(f.al, drawn, a, b, c, d);
        expect_complete(drawn);
    }
    EXPECT_TRUE(seen[0] && seen[1] && seen[2]);
}

TEST(Teilsample, WholePairCases) {
    WindowFixture f;
    alignment whole(f.al);
    whole.sample();
    EXPECT_EQ(columns(whole), f.best);

    // w >= m: the whole pair, no draw.
    std::srand(5);
    const int first = std::rand();
    std::srand(5);
    alignment big(f.al);
    big.teilsample(f.m());
    EXPECT_EQ(std::rand(), first);
    EXPECT_EQ(big.map1, whole.map1);

    // Two residues of A with no residue of B between their columns.
    alignment same(f.al);
    int k = 0;
    while (f.al.map1[k] != f.al.map1[k + 1]) ++k;
    same.teilsample(k, k + 1);
    EXPECT_EQ(same.map1, whole.map1);

    // w = 0 warns, then re-aligns the whole pair.
    auto r = run_in_child([&f, &whole] {
        alignment zero(f.al);
        zero.teilsample(0);
        std::exit(zero.map1 == whole.map1 && zero.map2 == whole.map2 ? 0 : 2);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "unsinniger Parameter in alignment::teilsample(...)\n");
}

TEST(Teilsample, AdjacentCornersChangeNothing) {
    WindowFixture f;
    for (int a = 0; a + 1 < f.m(); a += 7) {
        alignment al(f.al);
        al.teilsample(a, al.map1[a], a + 1, al.map1[a + 1]);
        EXPECT_EQ(al.map1, f.al.map1);
        EXPECT_EQ(al.map2, f.al.map2);
    }
}

TEST(Teilsample, CornerOffThePathIsFatal) {
    EXPECT_TRUE(ends_fatally(
        [] {
            WindowFixture f;
            f.al.teilsample(-1, -1, 5, 30);
        },
        "5 und 30 ergeben keinen Zustand in alignment::iter_zust\n"));
}

TEST(Hirschberg, ForcedPathsAgreeWithTheTables) {
    // Low indel rates and closely related pairs: one path dominates.
    std::mt19937 gen(5);
    indel im(std::vector<double>{1e-5, 2e-5}, TKF1);
    for (int rep = 0; rep < 20; ++rep) {
        std::string sa = random_dna(gen, static_cast<int>(6 + gen() % 50));
        std::string sb = mutate(gen, sa, 0.03, 0.0);
        if (rep % 2) {
            // One deletion with a context that places it uniquely.
            for (std::size_t k = sb.size() / 2; k + 2 < sb.size(); ++k)
                if (sa[k - 1] != sa[k] && sa[k] != sa[k + 1] && sa[k - 1] != sa[k + 1] &&
                    sa.compare(k - 2, 5, sb, k - 2, 5) == 0) {
                    sb.erase(k, 1);
                    break;
                }
        }
        bioseq a = dna(sa), b = dna(sb);
        alignment al(a, b, 5.0, jc69(), im);
        EXPECT_EQ(table_route(al), hirschberg_route(al)) << sa << " " << sb;
    }
}

TEST(Hirschberg, PathsAreCompleteOnRandomPairs) {
    std::mt19937 gen(3);
    indel im(std::vector<double>{0.02, 0.03}, TKF1);
    for (int rep = 0; rep < 60; ++rep) {
        const int m = static_cast<int>(gen() % 45), n = static_cast<int>(gen() % 45);
        bioseq a = dna(random_dna(gen, m)), b = dna(random_dna(gen, n));
        alignment al(a, b, 20.0, jc69(), im);
        std::vector<zustand> path;
        al.hirschberg(-1, -1, m, n, path, START, END);
        const std::vector<int> states(path.begin(), path.end());
        al.hirschberg(rep % 2 == 0);
        expect_complete(al);
        std::vector<int> map1, map2;
        path_to_maps(states, map1, map2);
        EXPECT_EQ(al.map1, map1);
        EXPECT_EQ(al.map2, map2);
        if (rep % 2 == 0) {
            const PathCounts c = counts_of(states, a, b);
            EXPECT_EQ(al.transcounts, c.trans) << rep;
            EXPECT_EQ(al.substcounts, c.subst) << rep;
        } else {
            EXPECT_TRUE(al.transcounts.empty());
        }
    }
}

// Homopolymer pairs of different lengths: a path and its mirror image are
// equally likely, and here the two best columns of the middle row (A[mid]
// matched with B[j] and with B[n-1-j]) score exactly alike. The crossing
// keeps the smaller j, which puts the gap block at the start for extra
// residues of A and at the end for extra residues of B.
TEST(Hirschberg, CrossingTiesGoToTheSmallerColumn) {
    substmodel hky(NUC, HKY, std::vector<double>{0.1, 0.2, 0.3, 0.4}, std::vector<double>{2.0});
    indel tkf2(std::vector<double>{0.02, 0.03, 0.5}, TKF2);
    struct Case {
        const char* a;
        const char* b;
        const char* path;
    };
    const Case cases[] = {
        {"GGGGG", "GGG", "DDMMM"},         // mid 2: A[2] with B[0], not B[2]
        {"GGGGGGG", "GGGG", "DDDMMMM"},    // mid 3: A[3] with B[0], not B[3]
        {"GGGGGGG", "GGGGGG", "DMMMMMM"},  // mid 3: A[3] with B[2], not B[3]
        {"GGGGG", "GGGGGG", "MMMMMI"},     // mid 2: A[2] with B[2], not B[3]
        {"AAAAA", "AAAAAAA", "MMMMMII"},   // mid 2: A[2] with B[2], not B[4]
    };
    for (const Case& c : cases) {
        bioseq a = dna(c.a), b = dna(c.b);
        alignment al(a, b, 1.0, hky, tkf2);
        std::vector<zustand> path;
        al.hirschberg(-1, -1, a.laen(), b.laen(), path, START, END);
        std::string got;
        for (zustand st : path) got += "MID"[st];
        EXPECT_EQ(got, c.path) << c.a << " " << c.b;
    }
}

TEST(Hirschberg, WindowWithoutResiduesOfB) {
    bioseq a = dna("ACGTAC"), b = dna("G");
    alignment al(a, b, 1.0, jc69(), indel());
    std::vector<zustand> path;
    al.hirschberg(-1, -1, 6, 0, path, START, MATCH);
    EXPECT_EQ(path, std::vector<zustand>(6, DELETION));
    al.hirschberg(1, 0, 6, 1, path, MATCH, END);
    EXPECT_EQ(path, std::vector<zustand>(4, DELETION));
}

TEST(Hirschberg, UnreasonableLastStateIsFatal) {
    EXPECT_TRUE(ends_fatally(
        [] {
            bioseq a = dna("ACGTAC"), b = dna("G");
            alignment al(a, b, 1.0, jc69(), indel());
            std::vector<zustand> path;
            al.hirschberg(-1, -1, 6, 1, path, START, START);
        },
        "Unreasonable last state in hirschberg()\n"));
}

// Greedy walk over the tables of one window with given corner states.
std::vector<zustand> window_route(alignment& al, int i0, int j0, zustand s0, int i1, int j1,
                                  zustand s1) {
    const bioseq& A = *al.seq1;
    const bioseq& B = *al.seq2;
    int r = s1 == INSERTION ? i1 : i1 - 1, s = s1 == DELETION ? j1 : j1 - 1;
    if (s1 == END) {
        r = A.laen() - 1;
        s = B.laen() - 1;
    }
    std::vector<zustand> out;
    if (r < i0 + 1 || s < j0 + 1) {
        for (int k = i0 + 1; k <= r; ++k) out.push_back(DELETION);
        for (int k = j0 + 1; k <= s; ++k) out.push_back(INSERTION);
        return out;
    }
    align_graph g(al, i0, j0, i1, j1, s0, s1);
    int a = r + 1, b = s + 1;
    int ca = s1 == MATCH || s1 == DELETION ? A[i1] : -1;
    int cb = s1 == MATCH || s1 == INSERTION ? B[j1] : -1;
    zustand st = s1;
    while (a > i0 + 1 || b > j0 + 1) {
        st = g.maxwk_schritt(st, a, b, ca, cb);
        if (st != INSERTION) --a;
        if (st != DELETION) --b;
        ca = st != INSERTION ? A[a] : -1;
        cb = st != DELETION ? B[b] : -1;
        out.push_back(st);
    }
    return std::vector<zustand>(out.rbegin(), out.rend());
}

// The split step of the linear-space aligner on the whole pair, from sums
// over enumerated paths: the crossing maximises the probability of the paths
// through a column of the middle row, the walks compare prefix and suffix sums.
bool split_by_enumeration(alignment& al, std::vector<zustand>& path) {
    const bioseq& A = *al.seq1;
    const bioseq& B = *al.seq2;
    const int m = A.laen(), n = B.laen();
    const int mid = (m - 1) / 2;
    const indel& im = *al.imodel;
    const substmodel& sm = *al.smodel;
    auto T = [&](int k, int l) { return im.retlnprob(k, l); };
    // through[k][j]: paths through column k at (mid, j); pre[k][i][j]: prefixes.
    std::vector<std::vector<double>> through(3, std::vector<double>(n, 0.0));
    std::vector<std::vector<std::vector<double>>> pre(
        3, std::vector<std::vector<double>>(m, std::vector<double>(n, 0.0)));
    struct Col {
        int k, i, j;
    };
    std::vector<Col> cols;
    std::function<void(int, int, int, double)> rec = [&](int i, int j, int last, double sc) {
        if (i >= 0 && j >= 0 && last < 3) pre[last][i][j] += std::exp(sc);
        if (i == m - 1 && j == n - 1) {
            const double p = std::exp(sc + T(last, END));
            for (const Col& c : cols)
                if (c.i == mid && c.j >= 0) through[c.k][c.j] += p;
            return;
        }
        auto step = [&](int k, int ni, int nj, double e) {
            cols.push_back({k, ni, nj});
            rec(ni, nj, k, sc + T(last, k) + e);
            cols.pop_back();
        };
        if (i < m - 1 && j < n - 1)
            step(MATCH, i + 1, j + 1,
                 sm.logfreqofstate(A[i + 1]) + sm.logProb_ij(A[i + 1], B[j + 1]));
        if (j < n - 1) step(INSERTION, i, j + 1, sm.logfreqofstate(B[j + 1]));
        if (i < m - 1) step(DELETION, i + 1, j, sm.logfreqofstate(A[i + 1]));
    };
    rec(-1, -1, START, 0.0);

    bool clear = true;
    auto choose = [&clear](double cM, double cI, double cD) {
        const double hi = std::max(cM, std::max(cI, cD));
        int near =
            (std::fabs(cM - hi) < 1e-9) + (std::fabs(cI - hi) < 1e-9) + (std::fabs(cD - hi) < 1e-9);
        if (near > 1) clear = false;
        if (cM < cD) return cD < cI ? INSERTION : DELETION;
        return cM < cI ? INSERTION : MATCH;
    };

    double best = -DBL_MAX, second = -DBL_MAX;
    int kc = NOSTATE, jc = 0;
    for (int j = 0; j < n; ++j)
        for (int k : {MATCH, INSERTION, DELETION}) {
            const double sc = std::log(through[k][j]);
            if (sc > best) {
                second = best;
                best = sc;
                kc = k;
                jc = j;
            } else if (sc > second) {
                second = sc;
            }
        }
    if (best - second < 1e-9) clear = false;

    std::vector<zustand> left;
    int ci = mid, cj = jc;
    zustand ck = static_cast<zustand>(kc);
    while (ci == mid || ck == INSERTION) {
        if ((ck == MATCH || ck == INSERTION) && cj == 0) {
            if (ck == MATCH) --ci;
            cj = -1;
            ck = DELETION;
            left.push_back(ck);
            break;
        }
        const int pi = ck == INSERTION ? ci : ci - 1;
        const int pj = ck == DELETION ? cj : cj - 1;
        const zustand nw = choose(std::log(pre[MATCH][pi][pj]) + T(MATCH, ck),
                                  std::log(pre[INSERTION][pi][pj]) + T(INSERTION, ck),
                                  std::log(pre[DELETION][pi][pj]) + T(DELETION, ck));
        left.push_back(nw);
        ci = pi;
        cj = pj;
        ck = nw;
    }
    const int iL = ci, jL = cj;
    const zustand kL = ck;

    std::vector<zustand> right;
    ci = mid;
    cj = jc;
    ck = static_cast<zustand>(kc);
    while (ci == mid) {
        zustand nw = DELETION;
        if (cj < n - 1) {
            auto suffix = [&](int k, int i, int j) {
                return brute_force(al, i, j, static_cast<zustand>(k), m - 1, n - 1, END);
            };
            const double fa = sm.logfreqofstate(A[ci + 1]);
            nw = choose(
                suffix(MATCH, ci + 1, cj + 1) + T(ck, MATCH) + fa +
                    sm.logProb_ij(A[ci + 1], B[cj + 1]),
                suffix(INSERTION, ci, cj + 1) + T(ck, INSERTION) + sm.logfreqofstate(B[cj + 1]),
                suffix(DELETION, ci + 1, cj) + T(ck, DELETION) + fa);
        }
        if (nw != INSERTION) ++ci;
        if (nw != DELETION) ++cj;
        right.push_back(nw);
        ck = nw;
    }
    path = window_route(al, -1, -1, START, iL, jL, kL);
    path.insert(path.end(), left.rbegin(), left.rend());
    path.push_back(static_cast<zustand>(kc));
    path.insert(path.end(), right.begin(), right.end());
    const std::vector<zustand> tail = window_route(al, ci, cj, ck, m, n, END);
    path.insert(path.end(), tail.begin(), tail.end());
    return clear;
}

TEST(Hirschberg, SplitStepAgreesWithPathEnumeration) {
    std::mt19937 gen(23);
    indel im(std::vector<double>{0.04, 0.06}, TKF1);
    int checked = 0;
    for (int rep = 0; rep < 80; ++rep) {
        const int m = 4 + gen() % 4, n = 1 + gen() % 4;
        bioseq a = dna(random_dna(gen, m)), b = dna(random_dna(gen, n));
        alignment al(a, b, 10.0 + static_cast<double>(gen() % 40), jc69(), im);
        std::vector<zustand> expect;
        if (!split_by_enumeration(al, expect)) continue;
        ++checked;
        std::vector<zustand> path;
        al.hirschberg(-1, -1, m, n, path, START, END);
        EXPECT_EQ(path, expect) << rep;
    }
    EXPECT_GT(checked, 60);
}

// Pairs just below and just above the switch to linear space.
TEST(Sample, SwitchesToLinearSpaceAbove1500Squared) {
    std::mt19937 gen(17);
    indel im(std::vector<double>{0.02, 0.03}, TKF1);
    std::string base = random_dna(gen, 1600);
    struct Case {
        int m, n;
        bool linear;
    };
    for (const Case c : {Case{1498, 1499, false}, Case{1500, 1499, true}}) {
        std::string sa = base.substr(0, c.m);
        std::string sb = mutate(gen, sa, 0.3, 0.05);
        sb.resize(c.n, 'A');
        while (static_cast<int>(sb.size()) < c.n) sb += 'C';
        bioseq a = dna(sa), b = dna(sb);
        alignment al(a, b, 30.0, jc69(), im, 1.0, 0);
        alignment tab(a, b, 30.0, jc69(), im);
        alignment lin(a, b, 30.0, jc69(), im);
        const std::vector<int> t = table_route(tab);
        const std::vector<int> h = hirschberg_route(lin);
        ASSERT_NE(t, h);
        EXPECT_EQ(columns(al), c.linear ? h : t) << c.m;
        if (c.linear) {
            // The time estimation takes one linear-space path, counts undivided.
            alignment est(a, b, 30.0, jc69(), im);
            idum = -2;
            est.sample_paths();
            EXPECT_EQ(columns(est), h);
            const PathCounts counted = counts_of(h, a, b);
            EXPECT_EQ(est.transcounts, counted.trans);
            EXPECT_EQ(est.substcounts, counted.subst);
        }
    }
}

}  // namespace

namespace {

// A pair whose linear-space route splits sub-windows ending in a match or a
// deletion; the maps were computed by a separate script of the same steps.
struct DeepPair {
    bioseq a = dna("AGTCGGAGACACGCTGTATACGGAGACCACCATTTA");
    bioseq b = dna("ACTCTGGAGGGACCGTTCCTAACGGAGACTACCATTTA");
    indel im{std::vector<double>{0.03, 0.08}, TKF1};
    const std::vector<int> lin1 = {0,  1,  2,  4,  5,  6,  7,  8,  11, 12, 13, 13,
                                   14, 18, 19, 19, 19, 20, 20, 21, 22, 23, 24, 25,
                                   26, 27, 27, 28, 30, 31, 32, 33, 34, 35, 36, 37};
    const std::vector<int> lin2 = {0,  0,  2,  2,  2,  4,  5,  6,  7,  7,  7,  7,  9,
                                   9,  12, 12, 12, 12, 13, 14, 17, 19, 20, 21, 22, 22,
                                   24, 25, 27, 27, 27, 29, 30, 31, 32, 32, 34, 35};
};

TEST(Hirschberg, DeepRecursionMatchesAnIndependentTrace) {
    DeepPair d;
    alignment al(d.a, d.b, 25.0, jc69(), d.im);
    al.hirschberg(false);
    EXPECT_EQ(al.map1, d.lin1);
    EXPECT_EQ(al.map2, d.lin2);
    alignment tab(d.a, d.b, 25.0, jc69(), d.im, 1.0, 0);
    const std::vector<int> tab1 = {0,  2,  2,  3,  5,  6,  7,  8,  11, 12, 13, 13,
                                   14, 17, 18, 18, 19, 20, 20, 21, 22, 23, 26, 27,
                                   30, 30, 31, 32, 33, 33, 33, 33, 34, 36, 36, 37};
    EXPECT_EQ(tab.map1, tab1);

    // Here the sub-windows' last columns decide: no end transition is added
    // for a sub-window that ends before the end of the pair.
    bioseq c = dna("CCAATGCTCGTCTTCCCCTGGAAGAAGGTGCAGTTTAC");
    bioseq e = dna("CCATGCTCTTCATCCTCCTGGAAACAGGGTGGCAGATTTAA");
    indel im2(std::vector<double>{0.03, 0.09}, TKF1);
    alignment al2(c, e, 25.0, jc69(), im2);
    al2.hirschberg(false);
    EXPECT_EQ(al2.map1, (std::vector<int>{0,  1,  2,  2,  3,  4,  5,  6,  7,  11, 12, 13, 15,
                                          15, 15, 16, 17, 17, 18, 19, 20, 21, 22, 24, 24, 25,
                                          26, 28, 29, 34, 34, 35, 35, 36, 37, 38, 39, 40}));
    EXPECT_EQ(al2.map2, (std::vector<int>{0,  1,  1,  4,  5,  6,  6,  8,  8,  8,  8,  8,  10, 11,
                                          11, 11, 15, 15, 18, 18, 20, 20, 22, 22, 22, 25, 26, 26,
                                          26, 28, 28, 28, 28, 28, 28, 31, 33, 33, 35, 36, 36}));

    // Here the left walk passes insertions on the row before the middle row.
    bioseq f = dna("CCTTAATTGATTG"), g = dna("CTCACAAATTTGACGG");
    indel im3(std::vector<double>{0.02, 0.07}, TKF1);
    alignment al3(f, g, 32.0, jc69(), im3);
    al3.hirschberg(false);
    EXPECT_EQ(al3.map1, (std::vector<int>{0, 2, 2, 2, 3, 5, 8, 10, 11, 12, 13, 13, 14}));
    EXPECT_EQ(al3.map2, (std::vector<int>{0, 0, 0, 4, 4, 5, 5, 5, 6, 6, 6, 8, 9, 9, 12, 12}));
}

TEST(Teilsample, WindowsMatchAnIndependentTrace) {
    DeepPair d;
    alignment base(d.a, d.b, 25.0, jc69(), d.im);
    base.map1 = d.lin1;
    base.map2 = d.lin2;
    // Inner window between the matches of A[5] and A[12]: B[11] moves.
    alignment inner(base);
    inner.teilsample(5, 12);
    std::vector<int> e2 = d.lin2;
    e2[11] = 8;
    EXPECT_EQ(inner.map1, d.lin1);
    EXPECT_EQ(inner.map2, e2);
    // From the match of A[30] to the end.
    alignment tail(base);
    tail.teilsample(30, 32, 36, 38);
    e2 = d.lin2;
    e2[35] = 33;
    e2[36] = 33;
    EXPECT_EQ(tail.map1, d.lin1);
    EXPECT_EQ(tail.map2, e2);
    // From the start to the match of A[6].
    alignment head(base);
    head.teilsample(-1, -1, 6, 7);
    std::vector<int> e1 = d.lin1;
    e1[1] = 2;
    e1[3] = 3;
    e2 = d.lin2;
    e2[2] = 0;
    e2[3] = 3;
    e2[4] = 3;
    e2[6] = 4;
    EXPECT_EQ(head.map1, e1);
    EXPECT_EQ(head.map2, e2);
}

TEST(Teilsample, EndWindowsWithoutResiduesOfBRealignTheWholePair) {
    // A[0..4] before any residue of B, all of B before A[7]: with w = 4 both
    // end windows hold no residue of B.
    bioseq a = dna("ACGTACGTACGT"), b = dna("CGTACG");
    const std::vector<int> start = {DELETION, DELETION,  DELETION,  DELETION,  DELETION,  MATCH,
                                    MATCH,    INSERTION, INSERTION, INSERTION, INSERTION, DELETION,
                                    DELETION, DELETION,  DELETION,  DELETION};
    alignment base(a, b, 10.0, jc69(), indel());
    path_to_maps(start, base.map1, base.map2);
    ASSERT_EQ(base.map1[4], -1);
    ASSERT_EQ(base.map1[8], 5);
    alignment whole(base);
    whole.sample();
    ASSERT_NE(whole.map1, base.map1);
    const int w = 4, m = 12;
    bool seen[2] = {false, false};
    for (unsigned seed = 1; seed < 400 && !(seen[0] && seen[1]); ++seed) {
        std::srand(seed);
        const int x = std::rand() % (w + m);
        const int following = std::rand();
        if (x < m - w) continue;
        const int kind = x >= m ? 0 : 1;
        if (seen[kind]) continue;
        seen[kind] = true;
        alignment al(base);
        std::srand(seed);
        al.teilsample(w);
        EXPECT_EQ(std::rand(), following);
        EXPECT_EQ(al.map1, whole.map1) << kind;
        EXPECT_EQ(al.map2, whole.map2) << kind;
    }
    EXPECT_TRUE(seen[0] && seen[1]);
}

TEST(Teilsample, WindowWithOneStepOfBChangesNothing) {
    // The window from A[0]'s deletion to A[4]'s deletion holds B[0] (placed
    // after A[0]); d - b = 1, so the window is left as it is.
    bioseq a = dna("ACGTAC"), b = dna("G");
    alignment al(a, b, 10.0, jc69(), indel());
    path_to_maps({DELETION, INSERTION, DELETION, DELETION, DELETION, DELETION, DELETION}, al.map1,
                 al.map2);
    const std::vector<int> m1 = al.map1, m2 = al.map2;
    alignment whole(al);
    whole.sample();
    ASSERT_NE(whole.map2, m2);
    al.teilsample(0, -1, 4, 0);
    EXPECT_EQ(al.map1, m1);
    EXPECT_EQ(al.map2, m2);
}

}  // namespace
