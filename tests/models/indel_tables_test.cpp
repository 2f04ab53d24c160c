// The composed transition tables P, T, Q, H: printed values, row sums,
// impossible patterns, marginalisation onto smaller trees and the TKF1
// factorisation of composed paths into pair paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include "models/indel.h"
#include "sequence/random.h"
#include "support/fatal.h"

namespace {

using Mat = std::vector<std::vector<double>>;

template <class Tab>
Mat to_mat(const Tab& t) {
    Mat m;
    for (const auto& row : t) m.emplace_back(row.begin(), row.end());
    return m;
}

Mat probs(const Mat& t) {
    Mat p = t;
    for (auto& row : p)
        for (double& v : row) v = v > -DBL_MAX ? std::exp(v) : 0.0;
    return p;
}

bool possible(double v) { return v > -DBL_MAX; }

// Holder sets of the states, one letter per role, from the alphabet tables.
struct tree {
    std::string roles;                            // root first
    std::vector<std::string> holders;             // states 0 .. end-2
    std::vector<std::pair<char, char>> branches;  // parent, child
};

const tree pair_tree{"AB", {"AB", "B", "A"}, {{'A', 'B'}}};
const tree triplet_tree{"NBC", {"NBC", "NB", "NC", "C", "B", "B", "N"}, {{'N', 'B'}, {'N', 'C'}}};
const tree quartet_tree{
    "UNBC",
    {"UNBC", "UNB", "UNC", "NBC", "UN", "NB", "NC", "U", "N", "B", "B", "B", "B", "C", "C"},
    {{'U', 'N'}, {'N', 'B'}, {'N', 'C'}}};
const tree hextet_tree{
    "UNBMDE",
    {"UNMBDE", "UNMDE", "UNMBE", "UNME", "UNMBD", "UNMD", "UNMB", "UNM", "UNB", "UN", "U",
     "NMBDE",  "NMDE",  "NMBE",  "NME",  "NMBD",  "NMD",  "NMB",  "NM",  "NB",  "N",  "B",
     "B",      "B",     "B",     "B",    "MDE",   "ME",   "MD",   "M",   "D",   "D",  "E"},
    {{'U', 'N'}, {'N', 'B'}, {'N', 'M'}, {'M', 'D'}, {'M', 'E'}}};

bool holds(const tree& t, int state, char role) {
    return t.holders[state].find(role) != std::string::npos;
}

void expect_rows_are_distributions(const Mat& t, double tol) {
    for (size_t r = 0; r < t.size(); ++r) {
        double s = 0;
        for (double v : t[r]) {
            EXPECT_TRUE(v == -DBL_MAX || std::isfinite(v)) << "row " << r << " value " << v;
            if (possible(v)) s += std::exp(v);
        }
        EXPECT_NEAR(s, 1.0, tol) << "row " << r;
    }
}

int count_impossible(const Mat& t) {
    int n = 0;
    for (const auto& row : t)
        for (double v : row) n += !possible(v);
    return n;
}

std::vector<Mat> all_tables(const indel& m) {
    return {to_mat(m.P), to_mat(m.T), to_mat(m.Q), to_mat(m.H)};
}

indel filled(std::vector<double> p, idarch k, const double (&t)[5]) {
    indel m(p, k);
    m.fillP(t[0]);
    m.fillT(t[0], t[1]);
    m.fillQ(t[0], t[1], t[2]);
    m.fillH(t[0], t[1], t[2], t[3], t[4]);
    return m;
}

// Solves A x = b by Gaussian elimination with partial pivoting.
std::vector<double> solve(Mat a, std::vector<double> b) {
    const size_t n = b.size();
    for (size_t c = 0; c < n; ++c) {
        size_t piv = c;
        for (size_t r = c + 1; r < n; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[piv][c])) piv = r;
        std::swap(a[c], a[piv]);
        std::swap(b[c], b[piv]);
        for (size_t r = c + 1; r < n; ++r) {
            const double f = a[r][c] / a[c][c];
            for (size_t k = c; k < n; ++k) a[r][k] -= f * a[c][k];
            b[r] -= f * b[c];
        }
    }
    std::vector<double> x(n);
    for (size_t i = n; i-- > 0;) {
        double s = b[i];
        for (size_t k = i + 1; k < n; ++k) s -= a[i][k] * x[k];
        x[i] = s / a[i][i];
    }
    return x;
}

// From row r of a chain p (states 0..C-1, rows 0..C-2), the distribution of
// the next state that is not silent, by class.
std::vector<double> lumped_row(const Mat& p, int r, const std::vector<int>& cls, int nclasses) {
    const int C = static_cast<int>(p[0].size());
    std::vector<int> sil;
    for (int s = 0; s < C; ++s)
        if (cls[s] < 0) sil.push_back(s);
    const size_t k = sil.size();
    std::vector<double> y;
    if (k) {
        Mat a(k, std::vector<double>(k));
        std::vector<double> b(k);
        for (size_t i = 0; i < k; ++i) {
            b[i] = p[r][sil[i]];
            for (size_t j = 0; j < k; ++j) a[i][j] = (i == j) - p[sil[j]][sil[i]];
        }
        y = solve(a, b);
    }
    std::vector<double> out(nclasses, 0.0);
    for (int v = 0; v < C; ++v) {
        if (cls[v] < 0) continue;
        double x = p[r][v];
        for (size_t i = 0; i < k; ++i) x += y[i] * p[sil[i]][v];
        out[cls[v]] += x;
    }
    return out;
}

// A larger table seen through a map of its states onto the states of a
// smaller one (-1: the state holds no residue of the smaller tree's roles).
// Twin states of the smaller table share a class.
void expect_marginalises(const Mat& big, const std::vector<int>& map, const Mat& small,
                         const std::vector<int>& small_cls, double tol) {
    const int nclasses = *std::max_element(small_cls.begin(), small_cls.end()) + 1;
    std::vector<int> cls(map.size());
    for (size_t s = 0; s < map.size(); ++s) cls[s] = map[s] < 0 ? -1 : small_cls[map[s]];
    const Mat pb = probs(big), ps = probs(small);
    for (size_t r = 0; r < big.size(); ++r) {
        if (map[r] < 0) continue;
        const std::vector<double> got = lumped_row(pb, static_cast<int>(r), cls, nclasses);
        std::vector<double> want(nclasses, 0.0);
        for (size_t v = 0; v < small_cls.size(); ++v) want[small_cls[v]] += ps[map[r]][v];
        for (int c = 0; c < nclasses; ++c)
            EXPECT_NEAR(got[c], want[c], tol) << "row " << r << " class " << c;
    }
}

std::vector<int> identity(int n) {
    std::vector<int> v(n);
    for (int i = 0; i < n; ++i) v[i] = i;
    return v;
}

const double times_sets[][5] = {
    {1e-6, 3e-6, 2e-6, 5e-7, 4e-6}, {1.0, 1.0, 1.0, 1.0, 1.0},     {0.7, 1.3, 0.4, 2.1, 0.9},
    {1000, 1200, 900, 700, 1500},   {0.01, 40.0, 3.0, 0.2, 300.0},
};

}  // namespace

// The holder tables of the unit, one bit per role in the roles' order,
// against the holder letters of the alphabets; start and end hold nothing.
TEST(IndelTables, HolderTablesFollowTheAlphabets) {
    struct alphabet {
        const tree* t;
        const std::vector<unsigned>* holders;
        int start, end;
    };
    const alphabet cases[] = {{&triplet_tree, &triplet_holder_table(), TRIPLET_START, TRIPLET_END},
                              {&quartet_tree, &quart_holder_table(), QUART_START, QUART_END},
                              {&hextet_tree, &hex_holder_table(), HEX_START, HEX_END}};
    for (const alphabet& c : cases) {
        const tree& t = *c.t;
        const std::vector<unsigned>& got = *c.holders;
        ASSERT_EQ(got.size(), t.holders.size() + 2) << t.roles;
        EXPECT_EQ(c.start, static_cast<int>(t.holders.size())) << t.roles;
        EXPECT_EQ(c.end, c.start + 1) << t.roles;
        for (size_t s = 0; s < got.size(); ++s) {
            unsigned want = 0;
            if (s < t.holders.size())
                for (char r : t.holders[s]) want |= role_bit(static_cast<int>(t.roles.find(r)));
            EXPECT_EQ(got[s], want) << t.roles << " state " << s;
        }
    }
    // The hidden states hold residues of the drawn roles only.
    EXPECT_EQ(triplet_holder_table()[TRIPLET_HIDDEN_N], role_bit(triplet_role::N));
    EXPECT_EQ(quart_holder_table()[QUART_HIDDEN_N], role_bit(quart_role::N));
    EXPECT_EQ(hex_holder_table()[HEX_HIDDEN_NM], role_bit(hex_role::N) | role_bit(hex_role::M));
    EXPECT_EQ(hex_holder_table()[HEX_HIDDEN_N], role_bit(hex_role::N));
    EXPECT_EQ(hex_holder_table()[HEX_HIDDEN_M], role_bit(hex_role::M));
}

TEST(IndelTables, PrintedPairValues) {
    indel d;
    const double want3[5] = {-0.097410, -6.908805, -6.909305, -DBL_MAX, -2.398895};
    const double want2[5] = {-0.096910, -7.602152, -6.908805, -DBL_MAX, -2.398395};
    for (int c = 0; c < 5; ++c) {
        if (c == START) {
            EXPECT_EQ(d.P[3][c], -DBL_MAX);
            EXPECT_EQ(d.P[2][c], -DBL_MAX);
            continue;
        }
        EXPECT_NEAR(d.P[3][c], want3[c], 5e-7);
        EXPECT_NEAR(d.P[2][c], want2[c], 5e-7);
    }
    EXPECT_EQ(d.P[0], d.P[3]);
    EXPECT_EQ(d.P[1], d.P[3]);

    // TKF2, lambda 0.01, mu 0.011, r 0.5, t 1 (40-digit arithmetic).
    indel two({0.01, 0.011, 0.5}, TKF2);
    const double ref[4][5] = {
        {-0.0564393120, -5.308762707, -5.313757707, -DBL_MAX, -3.100987835},
        {-0.8094027424, -0.683299736, -5.313757707, -DBL_MAX, -3.100987835},
        {-0.8044077424, -6.003911886, -0.683299736, -DBL_MAX, -3.095992835},
        {-0.1162555618, -4.615615526, -4.620610526, -DBL_MAX, -2.407840655},
    };
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 5; ++c) {
            if (ref[r][c] == -DBL_MAX) EXPECT_EQ(two.P[r][c], -DBL_MAX);
            else EXPECT_NEAR(two.P[r][c], ref[r][c], 2e-9) << r << "," << c;
        }
    // The start rows of both models are the same bits.
    indel one({0.01, 0.011}, TKF1);
    EXPECT_EQ(two.P[START], one.P[START]);
    EXPECT_EQ(two.T[7], one.T[7]);
    EXPECT_EQ(two.Q[15], one.Q[15]);
    EXPECT_EQ(two.H[33], one.H[33]);
}

TEST(IndelTables, TellingEntriesOfTheLargerTables) {
    const double l = 0.05, mu = 0.1;
    indel m({l, mu}, TKF1);
    const double ta = 0.7, tb = 1.3, tc = 0.4, td = 2.1, te = 0.9;
    m.fillT(tb, tc);
    m.fillQ(ta, tb, tc);
    m.fillH(ta, tb, tc, td, te);
    auto la = [&](double t) { return std::log(m.tkf1_alpha(mu, t)); };
    auto l1a = [&](double t) { return std::log(1 - m.tkf1_alpha(mu, t)); };
    auto lb = [&](double t) { return std::log(m.tkf1_beta(l, mu, t)); };
    auto l1b = [&](double t) { return std::log(1 - m.tkf1_beta(l, mu, t)); };
    auto lg = [&](double t) { return std::log(m.tkf1_gamma(l, mu, t)); };
    auto l1g = [&](double t) { return std::log(1 - m.tkf1_gamma(l, mu, t)); };
    const double lk = std::log(l / mu), l1k = std::log(1 - l / mu);
    const double tol = 1e-12;
    EXPECT_NEAR(m.T[7][0], l1b(tb) + l1b(tc) + lk + la(tb) + la(tc), tol);
    EXPECT_NEAR(m.T[7][3], l1b(tb) + lb(tc), tol);
    EXPECT_NEAR(m.T[7][4], lb(tb), tol);
    EXPECT_EQ(m.T[7][5], -DBL_MAX);
    EXPECT_NEAR(m.T[1][5], lb(tb), tol);
    EXPECT_NEAR(m.T[3][0], l1b(tc) + lk + la(tb) + la(tc), tol);
    EXPECT_NEAR(m.T[6][8], l1g(tb) + l1g(tc) + l1k, tol);
    EXPECT_NEAR(m.T[4][4], lb(tb), tol);
    EXPECT_NEAR(m.T[5][5], lb(tb), tol);
    EXPECT_EQ(m.T[4][5], -DBL_MAX);
    EXPECT_EQ(m.T[5][4], -DBL_MAX);

    EXPECT_NEAR(m.Q[15][3], l1b(tb) + l1b(tc) + lb(ta) + la(tb) + la(tc), tol);
    EXPECT_NEAR(m.Q[7][8], lg(ta) + l1a(tb) + l1a(tc), tol);
    EXPECT_NEAR(m.Q[7][4], l1g(ta) + lk + la(ta) + l1a(tb) + l1a(tc), tol);
    EXPECT_EQ(m.Q[3][11], -DBL_MAX);
    EXPECT_NEAR(m.Q[3][9], lb(tb), tol);
    EXPECT_EQ(m.Q[3][9], m.Q[0][11]);
    EXPECT_NEAR(m.Q[6][9], lg(tb), tol);
    EXPECT_EQ(m.Q[6][9], m.Q[2][11]);

    EXPECT_NEAR(m.H[33][21], lb(tb), tol);
    EXPECT_NEAR(m.H[33][30], l1b(tb) + lb(td), tol);
    EXPECT_NEAR(m.H[33][32], l1b(tb) + l1b(td) + lb(te), tol);
    EXPECT_NEAR(m.H[33][26], l1b(tb) + l1b(td) + l1b(te) + lb(tc) + la(td) + la(te), tol);
    EXPECT_NEAR(m.H[33][0],
                l1b(ta) + l1b(tb) + l1b(tc) + l1b(td) + l1b(te) + lk + la(ta) + la(tb) + la(tc) +
                    la(td) + la(te),
                tol);
    EXPECT_NEAR(m.H[33][0], -1.48567997297, 1e-11);  // 40-digit arithmetic
    EXPECT_NEAR(m.H[10][20], lg(ta) + l1a(tb) + l1a(tc), tol);
    EXPECT_NEAR(m.H[10][34], l1g(ta) + l1k, tol);
    // Only U holds the residue: every insertion below N and the start are impossible.
    std::set<int> imp;
    for (int c = 0; c <= HEX_END; ++c)
        if (!possible(m.H[10][c])) imp.insert(c);
    EXPECT_EQ(imp, (std::set<int>{21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33}));
}

TEST(IndelTables, RowsAreDistributionsWithTheImpossibleCounts) {
    const int counts[4] = {4, 17, 84, 229};
    for (const auto& ts : times_sets) {
        SCOPED_TRACE(testing::Message() << "times " << ts[0] << " " << ts[1] << " " << ts[4]);
        const indel one = filled({0.01, 0.011}, TKF1, ts);
        const indel two = filled({0.01, 0.011, 0.6}, TKF2, ts);
        const auto t1 = all_tables(one), t2 = all_tables(two);
        for (int k = 0; k < 4; ++k) {
            expect_rows_are_distributions(t1[k], 1e-12);
            expect_rows_are_distributions(t2[k], 1e-12);
            EXPECT_EQ(count_impossible(t1[k]), counts[k]);
            for (size_t r = 0; r < t1[k].size(); ++r)
                for (size_t c = 0; c < t1[k][r].size(); ++c) {
                    EXPECT_EQ(possible(t1[k][r][c]), possible(t2[k][r][c]));
                    if (r + 1 < t1[k].size() && r == c) {
                        EXPECT_TRUE(possible(t2[k][r][c]));
                    }
                }
        }
    }
}

TEST(IndelTables, ZeroTimesGiveNoNaNOrInfinity) {
    const double zeros[][5] = {{0, 0, 0, 0, 0},
                               {0, 1.0, 0, 2.0, 0},
                               {1.0, 0, 3.0, 0, 1e-300},
                               {5e-324, 1e-320, 2e-319, 1e-310, DBL_MIN},
                               {1e-320, 1.0, 2e-319, 0, 3.0}};
    for (const auto& ts : zeros) {
        SCOPED_TRACE(testing::Message() << "times " << ts[0] << " " << ts[1] << " " << ts[2]);
        for (const indel& m :
             {filled({0.01, 0.011}, TKF1, ts), filled({0.01, 0.011, 0.3}, TKF2, ts)})
            for (const Mat& t : all_tables(m)) expect_rows_are_distributions(t, 1e-12);
    }
    // At time 0 a residue cannot be lost; insertions stay barely possible.
    indel m({0.01, 0.011}, TKF1);
    m.fillP(0.0);
    EXPECT_EQ(m.P[MATCH][DELETION], -DBL_MAX);
    EXPECT_EQ(m.P[START][DELETION], -DBL_MAX);
    EXPECT_DOUBLE_EQ(m.P[MATCH][INSERTION], std::log(DBL_MIN));
    EXPECT_DOUBLE_EQ(m.P[MATCH][MATCH], std::log(0.01 / 0.011));
}

TEST(IndelTables, SubnormalTimesGiveTheLimitsOfTimeZero) {
    const double none[5] = {0, 0, 0, 0, 0};
    for (const auto& p : {std::vector<double>{0.01, 0.011}, std::vector<double>{0.3, 0.9}}) {
        const indel at0 = filled(p, TKF1, none);
        for (double t : {5e-324, 1e-320, 2e-319, 4e-319, 1e-310, DBL_MIN}) {
            SCOPED_TRACE(testing::Message() << "rates " << p[0] << " " << p[1] << " time " << t);
            const double ts[5] = {t, t, t, t, t};
            const indel m = filled(p, TKF1, ts);
            EXPECT_EQ(m.tkf1_alpha(p[1], t), 1.0);
            EXPECT_EQ(m.tkf1_beta(p[0], p[1], t), DBL_MIN);
            EXPECT_EQ(m.tkf1_gamma(p[0], p[1], t), DBL_MIN);
            const auto tabs = all_tables(m), tabs0 = all_tables(at0);
            for (size_t k = 0; k < tabs.size(); ++k)
                for (size_t r = 0; r < tabs[k].size(); ++r)
                    for (size_t c = 0; c < tabs[k][r].size(); ++c) {
                        const double v = tabs[k][r][c], v0 = tabs0[k][r][c];
                        ASSERT_TRUE(v == -DBL_MAX || std::isfinite(v)) << k << " " << r << " " << c;
                        // What time 0 allows keeps its value; the rest is at
                        // most as likely as a loss within a time of DBL_MIN.
                        if (possible(v0)) EXPECT_NEAR(v, v0, 1e-12) << k << " " << r << " " << c;
                        else EXPECT_LT(v, -700.0) << k << " " << r << " " << c;
                    }
        }
    }
}

TEST(IndelTables, VariantsFollowExactlyTheirListedStates) {
    struct variant {
        int table, state;
        std::set<int> follows;
    };
    const std::vector<variant> vs = {
        {1, 4, {0, 2, 4, 7}},
        {1, 5, {1, 5, 6}},
        {2, 9, {3, 6, 9, 15}},
        {2, 10, {5, 8, 10}},
        {2, 11, {0, 2, 11}},
        {2, 12, {1, 4, 12}},
        {2, 13, {3, 5, 6, 8, 9, 10, 13, 15}},
        {2, 14, {0, 1, 2, 4, 11, 12, 14}},
        {3, 21, {0, 1, 11, 12, 21, 33}},
        {3, 22, {2, 3, 13, 14, 22}},
        {3, 23, {4, 5, 15, 16, 23}},
        {3, 24, {6, 7, 17, 18, 24}},
        {3, 25, {8, 9, 19, 20, 25}},
        {3, 30, {0, 1, 2, 3, 11, 12, 13, 14, 21, 22, 26, 27, 30, 33}},
        {3, 31, {4, 5, 6, 7, 15, 16, 17, 18, 23, 24, 28, 29, 31}},
    };
    const auto tabs = all_tables(filled({0.01, 0.011}, TKF1, times_sets[2]));
    for (const auto& v : vs) {
        std::set<int> got;
        const Mat& t = tabs[v.table];
        for (size_t r = 0; r < t.size(); ++r)
            if (possible(t[r][v.state])) got.insert(static_cast<int>(r));
        EXPECT_EQ(got, v.follows) << "state " << v.state;
    }
}

TEST(IndelTables, EqualRowGroups) {
    const std::vector<std::vector<std::set<int>>> groups = {
        {{0, 1, 3}},
        {{0, 4, 7}, {1, 5}},
        {{0, 11}, {1, 12}, {3, 9, 15}, {5, 10}},
        {{0, 11, 21, 33},
         {1, 12},
         {2, 13, 22},
         {3, 14},
         {4, 15, 23},
         {5, 16},
         {6, 17, 24},
         {7, 18},
         {8, 19, 25},
         {9, 20},
         {26, 30},
         {28, 31}},
    };
    const auto tabs = all_tables(filled({0.01, 0.011}, TKF1, times_sets[2]));
    for (int k = 0; k < 4; ++k) {
        const Mat& t = tabs[k];
        for (size_t a = 0; a < t.size(); ++a)
            for (size_t b = a + 1; b < t.size(); ++b) {
                bool grouped = false;
                for (const auto& g : groups[k])
                    grouped =
                        grouped || (g.count(static_cast<int>(a)) && g.count(static_cast<int>(b)));
                EXPECT_EQ(t[a] == t[b], grouped) << "table " << k << " rows " << a << ", " << b;
            }
    }
}

TEST(IndelTables, QuartetTwinsSwapTheirTwinColumns) {
    const indel m = filled({0.01, 0.011}, TKF1, times_sets[2]);
    const int twins[3][2] = {{9, 11}, {10, 12}, {13, 14}};
    const std::vector<std::vector<int>> cols = {{9, 11, 13, 14}, {10, 12, 13, 14}, {13, 14}};
    for (int i = 0; i < 3; ++i) {
        const int a = twins[i][0], b = twins[i][1];
        for (int c = 0; c <= QUART_END; ++c) {
            bool twin_col = false;
            for (int x : cols[i]) twin_col = twin_col || x == c;
            if (!twin_col) {
                EXPECT_EQ(m.Q[a][c], m.Q[b][c]) << a << " " << c;
                continue;
            }
            // The twin of column c.
            int tc = c;
            for (const auto& t : twins) {
                if (t[0] == c) tc = t[1];
                if (t[1] == c) tc = t[0];
            }
            EXPECT_EQ(m.Q[a][c], m.Q[b][tc]) << a << " " << c;
        }
    }
}

TEST(IndelTables, InsertionRunEqualsDeletionRun) {
    for (double t : {1e-6, 1e-3, 0.01, 1.0, 100.0, 5000.0})
        for (const indel& m0 : {indel({0.01, 0.011}, TKF1), indel({0.01, 0.011, 0.4}, TKF2)}) {
            indel m = m0;
            m.fillP(t);
            EXPECT_NEAR(m.P[INSERTION][INSERTION], m.P[DELETION][DELETION],
                        1e-12 * std::fabs(m.P[DELETION][DELETION]))
                << t;
        }
}

TEST(IndelTables, ComposedTablesMarginaliseOntoSmallerTrees) {
    const std::vector<int> p_id = identity(5), t_id = identity(9);
    // Quartet twins share a class.
    const std::vector<int> q_cls = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 9, 10, 11, 11, 12, 13};
    // Maps of the larger tables' states onto the smaller ones.
    const std::vector<int> t_to_nb = {0, 0, 2, -1, 1, 1, 2, 3, 4};
    const std::vector<int> t_to_nc = {0, 2, 0, 1, -1, -1, 2, 3, 4};
    const std::vector<int> q_to_t = {0, 1, 2, 0, 6, 1, 2, -1, 6, 4, 5, 4, 5, 3, 3, 7, 8};
    const std::vector<int> q_to_un = {0, 0, 0, 1, 0, 1, 1, 2, 1, -1, -1, -1, -1, -1, -1, 3, 4};
    const std::vector<int> h_to_q = {0, 2, 0, 2, 0, 2, 0, 2,  1,  4,  7,  3,  6,  3,  6,  3,  6, 3,
                                     6, 5, 8, 9, 9, 9, 9, 10, 13, 13, 13, 13, -1, -1, -1, 15, 16};
    const std::vector<int> h_to_q_at_m = {0,  0,  2, 2, 1, 1, 4, 4,  7,  7,  -1, 0,
                                          0,  2,  2, 1, 1, 4, 4, 7,  7,  -1, -1, -1,
                                          -1, -1, 3, 6, 5, 8, 9, 10, 13, 15, 16};
    const std::vector<int> h_to_t_at_m = {0,  0,  2, 2, 1, 1, 6, 6,  -1, -1, -1, 0,
                                          0,  2,  2, 1, 1, 6, 6, -1, -1, -1, -1, -1,
                                          -1, -1, 0, 2, 1, 6, 4, 5,  3,  7,  8};
    const double tol = 1e-13;
    for (const auto& ts : times_sets) {
        const double ta = ts[0], tb = ts[1], tc = ts[2], td = ts[3], te = ts[4];
        SCOPED_TRACE(testing::Message() << "times " << ta << " " << tb << " " << tc);
        for (const indel& m0 : {indel({0.05, 0.1}, TKF1), indel({0.05, 0.1, 0.6}, TKF2)}) {
            indel big = m0, small = m0, small2 = m0;
            big.fillT(tb, tc);
            small.fillP(tb);
            small2.fillP(tc);
            expect_marginalises(to_mat(big.T), t_to_nb, to_mat(small.P), p_id, tol);
            expect_marginalises(to_mat(big.T), t_to_nc, to_mat(small2.P), p_id, tol);

            big.fillQ(ta, tb, tc);
            small.fillT(tb, tc);
            small2.fillP(ta);
            expect_marginalises(to_mat(big.Q), q_to_t, to_mat(small.T), t_id, tol);
            expect_marginalises(to_mat(big.Q), q_to_un, to_mat(small2.P), p_id, tol);

            big.fillH(ta, tb, tc, td, te);
            small.fillQ(ta, tb, tc);
            expect_marginalises(to_mat(big.H), h_to_q, to_mat(small.Q), q_cls, tol);
            small.fillT(td, te);
            expect_marginalises(to_mat(big.H), h_to_t_at_m, to_mat(small.T), t_id, tol);
            // The quartet around M, rooted at N.
            small.fillQ(tc, td, te);
            expect_marginalises(to_mat(big.H), h_to_q_at_m, to_mat(small.Q), q_cls, tol);
        }
    }
}

TEST(IndelTables, PairModelLengthMarginalsFollowTheLengthLaw) {
    // Sum out the other sequence's own states, then count emissions.
    for (const indel& m0 : {indel({0.05, 0.1}, TKF1), indel({0.08, 0.1, 0.6}, TKF2)})
        for (double t : {0.0, 0.3, 7.0}) {
            indel m = m0;
            m.fillP(t);
            const Mat p = probs(to_mat(m.P));
            for (int side = 0; side < 2; ++side) {
                // Ancestor: INSERTION silent; descendant: DELETION silent.
                const int emit2 = side == 0 ? DELETION : INSERTION;
                std::vector<int> cls = {0, -1, -1, 2, 3};
                cls[emit2] = 1;
                std::vector<double> from[2];
                from[0] = lumped_row(p, MATCH, cls, 4);
                from[1] = lumped_row(p, emit2, cls, 4);
                const std::vector<double> st = lumped_row(p, START, cls, 4);
                EXPECT_NEAR(st[3], std::exp(m.logprob_of_seqlen(0)), 1e-14);
                double h[2] = {st[0], st[1]};
                for (unsigned n = 1; n < 40; ++n) {
                    const double law = h[0] * from[0][3] + h[1] * from[1][3];
                    EXPECT_NEAR(law / std::exp(m.logprob_of_seqlen(n)), 1.0, 1e-12) << n;
                    const double h0 = h[0] * from[0][0] + h[1] * from[1][0];
                    const double h1 = h[0] * from[0][1] + h[1] * from[1][1];
                    h[0] = h0;
                    h[1] = h1;
                }
            }
        }
}

namespace {

// A path drawn from a table as a Markov chain, start to end.
template <class Tab>
std::vector<int> draw_path(const Tab& tab) {
    const int start = static_cast<int>(tab.size()) - 1, end = start + 1;
    std::vector<int> path{start};
    while (path.back() != end) {
        std::vector<double> w;
        for (double v : tab[path.back()]) w.push_back(possible(v) ? std::exp(v) : 0.0);
        path.push_back(randomchoice(w));
    }
    return path;
}

template <class Tab>
double path_lnprob(const Tab& tab, const std::vector<int>& path) {
    double s = 0;
    for (size_t i = 1; i < path.size(); ++i) s += tab[path[i - 1]][path[i]];
    return s;
}

// Sum of the pair-path log probabilities of every branch minus the length
// terms of the nodes that several branches share.
double factorised(const tree& t, const std::vector<double>& times, const std::vector<int>& path,
                  const indel& model) {
    double s = 0;
    const int end = static_cast<int>(t.holders.size()) + 1;
    for (size_t b = 0; b < t.branches.size(); ++b) {
        indel m = model;
        m.fillP(times[b]);
        std::vector<int> pp{START};
        for (int st : path) {
            if (st >= end - 1) continue;
            const bool p = holds(t, st, t.branches[b].first),
                       c = holds(t, st, t.branches[b].second);
            if (p && c) pp.push_back(MATCH);
            else if (p) pp.push_back(DELETION);
            else if (c) pp.push_back(INSERTION);
        }
        pp.push_back(END);
        s += path_lnprob(m.P, pp);
    }
    for (char role : t.roles) {
        int k = 0;
        for (const auto& br : t.branches) k += br.first == role;
        if (role == t.roles[0]) --k;
        unsigned len = 0;
        for (int st : path)
            if (st < end - 1 && holds(t, st, role)) ++len;
        s -= k * model.logprob_of_seqlen(len);
    }
    return s;
}

}  // namespace

TEST(IndelTables, Tkf1ComposedPathsFactoriseIntoPairPaths) {
    idum = -17;
    indel m({0.08, 0.1}, TKF1);
    const std::vector<double> tt = {3.0, 5.0}, tq = {2.0, 4.0, 6.0}, th = {3.0, 5.0, 2.0, 7.0, 4.0};
    m.fillT(tt[0], tt[1]);
    m.fillQ(tq[0], tq[1], tq[2]);
    m.fillH(th[0], th[1], th[2], th[3], th[4]);
    for (int i = 0; i < 200; ++i) {
        const std::vector<int> pt = draw_path(m.T), pq = draw_path(m.Q), ph = draw_path(m.H);
        EXPECT_NEAR(path_lnprob(m.T, pt), factorised(triplet_tree, tt, pt, m), 1e-10);
        EXPECT_NEAR(path_lnprob(m.Q, pq), factorised(quartet_tree, tq, pq, m), 1e-10);
        EXPECT_NEAR(path_lnprob(m.H, ph), factorised(hextet_tree, th, ph, m), 1e-10);
    }
    // The pair tree itself needs no length terms.
    m.fillP(2.5);
    for (int i = 0; i < 20; ++i) {
        const std::vector<int> pp = draw_path(m.P);
        EXPECT_NEAR(path_lnprob(m.P, pp), factorised(pair_tree, {2.5}, pp, m), 1e-12);
    }
}

// ---------------------------------------------------------------- samplers

namespace {

// A sampler with its tree, the roles it knows and the outer codes it reads.
struct sampler {
    const tree* t;
    std::string known;
    std::vector<std::pair<int, std::string>> codes;  // "$": the end code
    int start, end;
    int (*first)(const indel&, int, int);
    int (*second)(const indel&, int, int);
    Mat (*table)(const indel&);
    void (*set_row)(indel&, int, double);
};

const sampler triplet_s{
    &triplet_tree,
    "BC",
    {{MATCH, "BC"}, {INSERTION, "B"}, {DELETION, "C"}, {END, "$"}},
    7,
    8,
    [](const indel& m, int c, int o) { return int(m.nexttriplet(triplet_zus(c), zustand(o))); },
    [](const indel& m, int c, int o) {
        return int(m.nexttriplet_wint(triplet_zus(c), zustand(o)));
    },
    [](const indel& m) { return to_mat(m.T); },
    [](indel& m, int r, double v) { m.T[r].fill(v); }};
const sampler quartet_s{
    &quartet_tree,
    "UBC",
    {{0, "UBC"}, {1, "UB"}, {2, "UC"}, {3, "C"}, {4, "B"}, {5, "B"}, {6, "U"}, {8, "$"}, {9, "BC"}},
    15,
    16,
    [](const indel& m, int c, int o) { return int(m.nextquartet(quart_zus(c), triplet_zus(o))); },
    [](const indel& m, int c, int o) {
        return int(m.nextquartet_wint(quart_zus(c), triplet_zus(o)));
    },
    [](const indel& m) { return to_mat(m.Q); },
    [](indel& m, int r, double v) { m.Q[r].fill(v); }};
const sampler hextet_s{
    &hextet_tree,
    "UBDE",
    {{0, "UBDE"}, {1, "UBD"}, {2, "UBE"},  {3, "BDE"}, {4, "UB"},  {5, "BD"}, {6, "BE"},
     {7, "U"},    {8, "B"},   {9, "D"},    {10, "D"},  {11, "D"},  {12, "D"}, {13, "E"},
     {14, "E"},   {16, "$"},  {18, "UDE"}, {19, "UD"}, {20, "UE"}, {21, "DE"}},
    33,
    34,
    [](const indel& m, int c, int o) { return int(m.nexthextet(hex_zus(c), quart_zus(o))); },
    [](const indel& m, int c, int o) { return int(m.nexthextet_wint(hex_zus(c), quart_zus(o))); },
    [](const indel& m) { return to_mat(m.H); },
    [](indel& m, int r, double v) { m.H[r].fill(v); }};
const sampler* const samplers[3] = {&triplet_s, &quartet_s, &hextet_s};

std::set<char> known_of(const sampler& s, int state) {
    std::set<char> k;
    if (state >= s.start) return k;
    for (char r : s.t->holders[state])
        if (s.known.find(r) != std::string::npos) k.insert(r);
    return k;
}

// The states that match the code and follow cur with a possible entry.
std::set<int> derived(const sampler& s, const Mat& tab, int cur, const std::string& code) {
    std::set<int> out;
    if (code == "$") {
        if (possible(tab[cur][s.end])) out.insert(s.end);
        return out;
    }
    const std::set<char> want(code.begin(), code.end());
    for (int st = 0; st < s.start; ++st)
        if (known_of(s, st) == want && possible(tab[cur][st])) out.insert(st);
    return out;
}

indel sampler_model(std::vector<double> p, idarch k, const double (&ts)[5]) {
    return filled(p, k, ts);
}

const double long_times[5] = {8.0, 12.0, 6.0, 10.0, 9.0};

double chi_square(const std::vector<int>& obs, const std::vector<double>& p, int n) {
    double x = 0;
    for (size_t i = 0; i < p.size(); ++i) {
        const double e = p[i] * n;
        x += (obs[i] - e) * (obs[i] - e) / e;
    }
    return x;
}

// Critical values of chi-square at 1e-4 by degrees of freedom 1 to 4.
const double chi_crit[5] = {0, 15.14, 18.42, 21.11, 23.51};

}  // namespace

TEST(IndelSampler, SecondStageSupportIsTheDerivedCandidateSet) {
    idum = -3;
    for (const indel& m : {sampler_model({0.01, 0.011}, TKF1, times_sets[2]),
                           sampler_model({0.01, 0.011, 0.5}, TKF2, times_sets[4])})
        for (const sampler* s : samplers) {
            const Mat real = s->table(m);
            for (int cur = 0; cur <= s->start; ++cur) {
                // Equal weights on every listed candidate.
                indel flat = m;
                s->set_row(flat, cur, 0.0);
                for (const auto& code : s->codes) {
                    std::set<int> got;
                    for (int i = 0; i < 200; ++i) got.insert(s->second(flat, cur, code.first));
                    EXPECT_EQ(got, derived(*s, real, cur, code.second))
                        << "start " << s->start << " cur " << cur << " code " << code.first;
                }
            }
        }
}

TEST(IndelSampler, CandidatesAreOrderedAsListed) {
    struct order_case {
        const sampler* s;
        int cur, code;
        std::vector<int> list;
    };
    const std::vector<order_case> cases = {
        {&triplet_s, 7, INSERTION, {1, 4}}, {&triplet_s, 6, INSERTION, {1, 5}},
        {&triplet_s, 0, DELETION, {2, 3}},  {&quartet_s, 0, 3, {14, 6}},
        {&quartet_s, 9, 3, {13, 6}},        {&quartet_s, 0, 4, {11, 5}},
        {&quartet_s, 3, 5, {9, 5}},         {&quartet_s, 7, 6, {4, 7}},
        {&hextet_s, 0, 4, {8, 6}},          {&hextet_s, 0, 7, {10, 9, 7}},
        {&hextet_s, 33, 8, {19, 17, 21}},   {&hextet_s, 4, 9, {16, 28, 31}},
        {&hextet_s, 0, 12, {16, 28, 30}},   {&hextet_s, 0, 13, {14, 27, 32}},
        {&hextet_s, 0, 21, {12, 26}},
    };
    const indel m = sampler_model({0.01, 0.011}, TKF1, times_sets[2]);
    for (const auto& c : cases) {
        indel flat = m;
        c.s->set_row(flat, c.cur, 0.0);
        for (int seed = 1; seed <= 30; ++seed) {
            idum = -seed;
            const double u = randomunitintervall();
            const int n = static_cast<int>(c.list.size());
            int k = 0;
            while (k + 1 < u * n - DBL_MIN) ++k;
            idum = -seed;
            EXPECT_EQ(c.s->second(flat, c.cur, c.code), c.list[k])
                << "cur " << c.cur << " code " << c.code << " u " << u;
        }
    }
}

TEST(IndelSampler, SecondStageFrequenciesFollowTheTable) {
    idum = -11;
    const indel m = sampler_model({0.05, 0.1}, TKF1, long_times);
    const int n = 4000;
    int tested = 0;
    for (const sampler* s : samplers) {
        const Mat tab = s->table(m);
        for (int cur = 0; cur <= s->start; ++cur)
            for (const auto& code : s->codes) {
                const std::set<int> cand = derived(*s, tab, cur, code.second);
                if (cand.size() < 2) continue;
                std::vector<int> states(cand.begin(), cand.end());
                std::vector<double> p;
                double sum = 0;
                for (int st : states) sum += std::exp(tab[cur][st]);
                for (int st : states) p.push_back(std::exp(tab[cur][st]) / sum);
                if (*std::min_element(p.begin(), p.end()) * n < 10) continue;
                std::vector<int> obs(states.size(), 0);
                for (int i = 0; i < n; ++i) {
                    const int r = s->second(m, cur, code.first);
                    for (size_t j = 0; j < states.size(); ++j) obs[j] += r == states[j];
                }
                EXPECT_LT(chi_square(obs, p, n), chi_crit[states.size() - 1])
                    << "cur " << cur << " code " << code.first;
                ++tested;
            }
    }
    EXPECT_GT(tested, 100);
}

TEST(IndelSampler, FirstStageDrawsHiddenStatesByTheirEntries) {
    idum = -23;
    const indel m = sampler_model({0.05, 0.1}, TKF1, long_times);
    const int n = 4000;
    const std::vector<std::vector<int>> hidden = {{6}, {8}, {29, 18, 20}};
    for (int k = 0; k < 3; ++k) {
        const sampler& s = *samplers[k];
        const Mat tab = s.table(m);
        for (int cur = 0; cur <= s.start; ++cur) {
            std::vector<double> p;
            double rest = 1;
            for (int h : hidden[k]) {
                p.push_back(possible(tab[cur][h]) ? std::exp(tab[cur][h]) : 0.0);
                rest -= p.back();
            }
            p.push_back(rest);
            std::vector<int> obs(p.size(), 0);
            for (int i = 0; i < n; ++i) {
                const int r = s.first(m, cur, s.codes[0].first);
                size_t j = 0;
                while (j < hidden[k].size() && hidden[k][j] != r) ++j;
                ++obs[j];
            }
            std::vector<int> o2;
            std::vector<double> p2;
            for (size_t j = 0; j < p.size(); ++j) {
                if (p[j] == 0) {
                    EXPECT_EQ(obs[j], 0) << "cur " << cur;  // e.g. 29 after 10
                    continue;
                }
                o2.push_back(obs[j]);
                p2.push_back(p[j]);
            }
            EXPECT_LT(chi_square(o2, p2, n), chi_crit[p2.size() - 1]) << "cur " << cur;
        }
    }
}

TEST(IndelSampler, OneUniformPerStage) {
    const indel m = sampler_model({0.05, 0.1}, TKF1, long_times);
    const std::vector<std::vector<int>> hidden = {{6}, {8}, {29, 18, 20}};
    for (int k = 0; k < 3; ++k) {
        const sampler& s = *samplers[k];
        for (int seed = 1; seed <= 40; ++seed) {
            idum = -seed;
            double u[3];
            for (double& x : u) x = randomunitintervall();
            // A single candidate still takes its uniform.
            idum = -seed;
            EXPECT_EQ(s.second(m, 0, s.codes[0].first), 0);
            EXPECT_EQ(randomunitintervall(), u[1]);
            idum = -seed;
            const int r = s.first(m, 0, s.codes[0].first);
            bool hid = false;
            for (int h : hidden[k]) hid = hid || h == r;
            EXPECT_EQ(randomunitintervall(), u[hid ? 1 : 2]);
        }
    }
}

TEST(IndelSampler, ZeroTimesNeverYieldAnImpossibleState) {
    idum = -5;
    const double zeros[][5] = {{0, 0, 0, 0, 0}, {0, 2.0, 0, 1.0, 0}, {1.0, 0, 2.0, 0, 3.0}};
    for (const auto& ts : zeros)
        for (const indel& m :
             {sampler_model({0.01, 0.011}, TKF1, ts), sampler_model({0.01, 0.011, 0.4}, TKF2, ts)})
            for (const sampler* s : samplers) {
                const Mat tab = s->table(m);
                for (int cur = 0; cur <= s->start; ++cur)
                    for (const auto& code : s->codes) {
                        const std::set<int> cand = derived(*s, tab, cur, code.second);
                        if (cand.empty()) continue;  // the known column is itself impossible
                        for (int i = 0; i < 30; ++i) {
                            const int r = s->first(m, cur, code.first);
                            EXPECT_TRUE(possible(tab[cur][r]));
                            if (r < s->start && known_of(*s, r).empty()) continue;  // hidden
                            EXPECT_TRUE(cand.count(r)) << cur << " " << code.first << " " << r;
                        }
                    }
            }
}

TEST(IndelSampler, UnreasonableStatesAreFatal) {
    const indel m;
    struct bad {
        std::function<void()> fn;
        std::string msg;
    };
    const std::string tw = " in function nexttriplet_wint\n", tr = " in function nexttriplet\n";
    const std::string q = " in function nextquartet\n", h = " in function nexthextet\n";
    const std::vector<bad> cases = {
        {[&] { m.nexttriplet_wint(triplet_zus(0), START); }, "Unreasonable state 3" + tr},
        {[&] { m.nexttriplet_wint(triplet_zus(0), NOSTATE); }, "Unreasonable state 5" + tr},
        {[&] { m.nexttriplet_wint(TRIPLET_END, START); }, "Unreasonable state 8" + tw},
        {[&] { m.nexttriplet(TRIPLET_END, MATCH); }, "Unreasonable state 8" + tw},
        {[&] { m.nexttriplet(TRIPLET_OUTER_BC, MATCH); }, "Unreasonable state 9" + tw},
        {[&] { m.nexttriplet(TRIPLET_MARKER, MATCH); }, "Unreasonable state 10" + tw},
        {[&] { m.nexttriplet(triplet_zus(-1), MATCH); }, "Unreasonable state -1" + tw},
        {[&] { m.nexttriplet_wint(triplet_zus(11), MATCH); }, "Unreasonable state 11" + tw},
        {[&] { m.nextquartet(QUART_END, triplet_zus(0)); }, "Unreasonable state 16" + q},
        {[&] { m.nextquartet(QUART_MARKER, triplet_zus(0)); }, "Unreasonable state 17" + q},
        {[&] { m.nextquartet_wint(QUART_END, triplet_zus(3)); }, "Unreasonable state 16" + q},
        {[&] { m.nextquartet_wint(QUART_OUTER_UBC, triplet_zus(0)); }, "Unreasonable state 18" + q},
        {[&] { m.nextquartet(quart_zus(-2), triplet_zus(0)); }, "Unreasonable state -2" + q},
        {[&] { m.nextquartet_wint(quart_zus(0), TRIPLET_START); }, "Unreasonable state 7" + q},
        {[&] { m.nextquartet_wint(quart_zus(0), TRIPLET_MARKER); }, "Unreasonable state 10" + q},
        {[&] { m.nextquartet_wint(quart_zus(0), triplet_zus(-1)); }, "Unreasonable state -1" + q},
        {[&] { m.nexthextet(HEX_END, quart_zus(0)); }, "Unreasonable state 34" + h},
        {[&] { m.nexthextet(HEX_MARKER, quart_zus(0)); }, "Unreasonable state 35" + h},
        {[&] { m.nexthextet_wint(HEX_END, quart_zus(8)); }, "Unreasonable state 34" + h},
        {[&] { m.nexthextet_wint(hex_zus(36), quart_zus(0)); }, "Unreasonable state 36" + h},
        {[&] { m.nexthextet_wint(hex_zus(0), QUART_START); }, "Unreasonable state 15" + h},
        {[&] { m.nexthextet_wint(hex_zus(0), QUART_MARKER); }, "Unreasonable state 17" + h},
        {[&] { m.nexthextet_wint(hex_zus(0), quart_zus(22)); }, "Unreasonable state 22" + h},
        {[&] { m.nexthextet_wint(hex_zus(0), quart_zus(-1)); }, "Unreasonable state -1" + h},
    };
    for (const auto& c : cases) EXPECT_TRUE(ends_fatally(c.fn, c.msg));
}

TEST(IndelSampler, FirstStageOrderAndMarkerWeight) {
    // Hidden states in the order 29, 18, 20, then the marker with the rest.
    const indel m = sampler_model({0.05, 0.1}, TKF1, long_times);
    for (int cur : {0, 7, 10, 26, 33}) {
        std::vector<int> hid;
        std::vector<double> w;
        double marker = 1.0;
        for (int h : {29, 18, 20}) {
            if (!possible(m.H[cur][h])) continue;
            hid.push_back(h);
            w.push_back(std::exp(m.H[cur][h]));
            marker -= w.back();
        }
        w.push_back(marker);
        for (int seed = 1; seed <= 300; ++seed) {
            idum = -seed;
            const double u = randomunitintervall();
            double total = 0, run = 0;
            for (double x : w) total += x;
            size_t k = 0;
            while ((run += w[k]) < u * total - DBL_MIN) ++k;
            idum = -seed;
            const int r = m.nexthextet(hex_zus(cur), quart_zus(0));
            if (k < hid.size()) EXPECT_EQ(r, hid[k]) << cur << " " << u;
            else EXPECT_TRUE(r != 29 && r != 18 && r != 20) << cur << " " << u;
        }
    }
}

namespace {

bool one_of(int v, std::initializer_list<int> s) {
    return std::find(s.begin(), s.end(), v) != s.end();
}

// The candidate lists of the second stage, in their listed order.
std::vector<int> listed_triplet(int cur, int outer) {
    switch (outer) {
    case MATCH: return {0};
    case INSERTION:
        if (one_of(cur, {0, 2, 4, 7})) return {1, 4};
        if (one_of(cur, {1, 5, 6})) return {1, 5};
        return {1};
    case DELETION: return {2, 3};
    default: return {8};
    }
}

std::vector<int> listed_quartet(int cur, int outer) {
    std::vector<int> v;
    switch (outer) {
    case 0: return {0};
    case 1: return {1};
    case 2: return {2};
    case 3:
        if (one_of(cur, {0, 1, 2, 4, 11, 12, 14})) v.push_back(14);
        else if (cur != 7) v.push_back(13);
        v.push_back(6);
        return v;
    case 4:
    case 5:
        if (one_of(cur, {0, 2, 11})) v.push_back(11);
        else if (one_of(cur, {1, 4, 12})) v.push_back(12);
        else if (one_of(cur, {5, 8, 10})) v.push_back(10);
        else if (!one_of(cur, {7, 13, 14})) v.push_back(9);
        v.push_back(5);
        return v;
    case 6: return {4, 7};
    case 8: return {16};
    default: return {3};
    }
}

std::vector<int> listed_hextet(int cur, int outer) {
    std::vector<int> v;
    switch (outer) {
    case 0: return {0};
    case 1: return {4};
    case 2: return {2};
    case 3: return {11};
    case 4: return {8, 6};
    case 5: return {15};
    case 6: return {13};
    case 7: return {10, 9, 7};
    case 8:
        v = {19, 17};
        if (one_of(cur, {0, 1, 11, 12, 21, 33})) v.push_back(21);
        else if (one_of(cur, {2, 3, 13, 14, 22})) v.push_back(22);
        else if (one_of(cur, {4, 5, 15, 16, 23})) v.push_back(23);
        else if (one_of(cur, {6, 7, 17, 18, 24})) v.push_back(24);
        else if (one_of(cur, {8, 9, 19, 20, 25})) v.push_back(25);
        return v;
    case 9:
    case 10:
    case 11:
    case 12:
        v = {16};
        if (one_of(cur, {4, 5, 6, 7, 15, 16, 17, 18, 23, 24, 28, 29, 31})) {
            v.push_back(28);
            v.push_back(31);
        } else if (one_of(cur, {8, 9, 19, 20, 25, 32})) {
            v.push_back(28);
        } else if (cur != 10) {
            v.push_back(28);
            v.push_back(30);
        }
        return v;
    case 13:
    case 14:
        v = {14};
        if (cur != 10) {
            v.push_back(27);
            if (!one_of(cur, {8, 9, 19, 20, 25})) v.push_back(32);
        }
        return v;
    case 16: return {34};
    case 18: return {1};
    case 19: return {5};
    case 20: return {3};
    default:
        v = {12};
        if (cur != 10) v.push_back(26);
        return v;
    }
}

// A seed whose first uniform lies well inside the k-th of n equal bins.
int seed_in_bin(int k, int n) {
    for (int seed = 1; seed < 100000; ++seed) {
        idum = -seed;
        const double u = randomunitintervall() * n;
        if (u > k + 0.1 && u < k + 0.9) return seed;
    }
    return 1;
}

}  // namespace

TEST(IndelSampler, EverySecondStageListInItsOrder) {
    // With equal weights the k-th of n candidates takes the k-th bin of the uniform.
    int seeds[4][4];
    for (int n = 1; n <= 3; ++n)
        for (int k = 0; k < n; ++k) seeds[n][k] = seed_in_bin(k, n);
    std::vector<int> (*const lists[3])(int, int) = {listed_triplet, listed_quartet, listed_hextet};
    const indel m = sampler_model({0.01, 0.011}, TKF1, times_sets[2]);
    int checked = 0;
    for (int s = 0; s < 3; ++s) {
        const sampler& sm = *samplers[s];
        for (int cur = 0; cur <= sm.start; ++cur) {
            indel flat = m;
            sm.set_row(flat, cur, 0.0);
            for (const auto& code : sm.codes) {
                const std::vector<int> want = lists[s](cur, code.first);
                // The list is the derived candidate set of the real table.
                const std::set<int> as_set(want.begin(), want.end());
                EXPECT_EQ(as_set, derived(sm, sm.table(m), cur, code.second))
                    << "start " << sm.start << " cur " << cur << " code " << code.first;
                const int n = static_cast<int>(want.size());
                for (int k = 0; k < n; ++k) {
                    idum = -seeds[n][k];
                    EXPECT_EQ(sm.second(flat, cur, code.first), want[k])
                        << "start " << sm.start << " cur " << cur << " code " << code.first
                        << " place " << k;
                    ++checked;
                }
            }
        }
    }
    EXPECT_GT(checked, 900);
}

TEST(IndelSampler, FirstStageHiddenStateComesBeforeTheMarker) {
    // Triplet and quartet: candidates (hidden, marker) with weights (w, 1 - w).
    const indel m = sampler_model({0.05, 0.1}, TKF1, long_times);
    const int hidden[2] = {6, 8};
    for (int k = 0; k < 2; ++k) {
        const sampler& s = *samplers[k];
        const Mat tab = s.table(m);
        for (int cur = 0; cur <= s.start; ++cur) {
            const double w = std::exp(tab[cur][hidden[k]]);
            for (int seed = 1; seed <= 200; ++seed) {
                idum = -seed;
                const double u = randomunitintervall();
                const bool hid = w >= u * (w + (1.0 - w)) - DBL_MIN;
                idum = -seed;
                const int r = s.first(m, cur, s.codes[0].first);
                if (hid) EXPECT_EQ(r, hidden[k]) << "cur " << cur << " u " << u;
                else EXPECT_NE(r, hidden[k]) << "cur " << cur << " u " << u;
            }
        }
    }
}

TEST(IndelTables, WeightedSumsOfEveryEntryMatchExtendedPrecision) {
    // Per table: the sum of every possible entry times 1 + (37 r + 11 c) mod 13,
    // and the sum of (r * columns + c + 1)^2 over the impossible entries; from
    // the composition rule evaluated with 400-digit arithmetic.
    struct set_case {
        std::vector<double> p;
        idarch k;
        double ts[5];
        double sum[4];
        long pattern[4];
    };
    const set_case cases[] = {
        {{0.05, 0.1},
         TKF1,
         {0.7, 1.3, 0.4, 2.1, 0.9},
         {-266.57486608695258, -1231.5909692939674, -5642.8789151640063, -36811.186227844994},
         {654, 31311, 2223494, 112629227}},
        {{0.05, 0.1, 0.6},
         TKF2,
         {0.7, 1.3, 0.4, 2.1, 0.9},
         {-285.36258760129958, -1385.3847555437376, -6282.0320780706344, -41632.045870552578},
         {654, 31311, 2223494, 112629227}},
        {{0.05, 0.1, 0.3},
         TKF2,
         {1e4, 300, 2000, 50, 800},
         {-25402.118377727388, -29079.721346338554, -419866.00568292907, -2743514.8346505812},
         {654, 31311, 2223494, 112629227}},
    };
    for (const auto& c : cases) {
        indel m(c.p, c.k);
        m.fillP(c.ts[0]);
        m.fillT(c.ts[1], c.ts[2]);
        m.fillQ(c.ts[0], c.ts[1], c.ts[2]);
        m.fillH(c.ts[0], c.ts[1], c.ts[2], c.ts[3], c.ts[4]);
        const auto tabs = all_tables(m);
        for (int k = 0; k < 4; ++k) {
            double s = 0;
            long pat = 0;
            const long cols = static_cast<long>(tabs[k][0].size());
            for (size_t r = 0; r < tabs[k].size(); ++r)
                for (size_t j = 0; j < tabs[k][r].size(); ++j) {
                    const double v = tabs[k][r][j];
                    if (possible(v)) s += v * static_cast<double>(1 + (37 * r + 11 * j) % 13);
                    else
                        pat += (static_cast<long>(r) * cols + static_cast<long>(j) + 1) *
                               (static_cast<long>(r) * cols + static_cast<long>(j) + 1);
                }
            EXPECT_NEAR(s, c.sum[k], 1e-12 * std::fabs(c.sum[k]))
                << "table " << k << " time " << c.ts[0];
            EXPECT_EQ(pat, c.pattern[k]) << "table " << k;
        }
    }
}
