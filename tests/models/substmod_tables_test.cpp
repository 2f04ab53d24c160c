// The empirical amino-acid tables and the model guess by frequencies.
#include "models/substmod.h"

#include "support/fatal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

const char kAmino[] = "ARNDCQEGHILKMFPSTWYV";

int aa(char c) { return static_cast<int>(std::string(kAmino).find(c)); }

struct Telling {
    char a, b;
    double value;  // four significant digits
};

struct TableCase {
    const char* name;
    subarch m;
    std::vector<double> freqs;
    std::vector<Telling> telling;
};

std::vector<TableCase> table_cases() {
    return {
        {"JTT",
         JTT,
         {0.077, 0.051, 0.043, 0.052, 0.020, 0.041, 0.062, 0.074, 0.023, 0.052,
          0.091, 0.059, 0.024, 0.040, 0.051, 0.069, 0.059, 0.014, 0.032, 0.066},
         {{'A', 'R', 3.163},
          {'A', 'N', 3.280},
          {'A', 'D', 4.848},
          {'I', 'V', 57.70},
          {'D', 'E', 45.45},
          {'R', 'K', 39.24},
          {'H', 'Y', 35.12},
          {'K', 'F', 0.1492},
          {'N', 'W', 0.1671},
          {'D', 'F', 0.1934}}},
        {"DAYHOFF",
         DAYHOFF,
         {0.087, 0.041, 0.040, 0.047, 0.033, 0.038, 0.050, 0.089, 0.034, 0.037,
          0.085, 0.080, 0.015, 0.040, 0.051, 0.070, 0.058, 0.010, 0.030, 0.065},
         {{'A', 'R', 0.9647},
          {'A', 'N', 3.593},
          {'A', 'D', 4.320},
          {'D', 'E', 40.56},
          {'N', 'D', 32.46},
          {'I', 'V', 31.53},
          {'Q', 'E', 25.48},
          {'K', 'F', 0.006664},
          {'C', 'K', 0.008078},
          {'D', 'F', 0.01296}}},
        {"MTREV24",
         MTREV24,
         {0.072, 0.019, 0.039, 0.019, 0.006, 0.025, 0.024, 0.056, 0.028, 0.088,
          0.168, 0.023, 0.054, 0.061, 0.054, 0.072, 0.086, 0.029, 0.033, 0.043},
         {{'A', 'R', 12.20},
          {'A', 'N', 14.18},
          {'A', 'D', 9.299},
          {'I', 'V', 643.7},
          {'N', 'D', 418.1},
          {'H', 'Y', 352.7},
          {'N', 'K', 320.4}}},
        {"BLOSUM62",
         BLOSUM62,
         {0.074, 0.052, 0.045, 0.054, 0.025, 0.034, 0.054, 0.074, 0.026, 0.068,
          0.099, 0.058, 0.025, 0.047, 0.039, 0.057, 0.051, 0.013, 0.032, 0.073},
         {{'A', 'R', 0.7358},
          {'A', 'N', 0.4854},
          {'A', 'D', 0.5432},
          {'I', 'V', 8.312},
          {'F', 'Y', 6.747},
          {'L', 'M', 6.031},
          {'Q', 'E', 5.529},
          {'C', 'E', 0.1407},
          {'Q', 'F', 0.1444},
          {'D', 'W', 0.1453}}},
    };
}

void write_table(substmodel& m) {
    switch (m.model) {
    case JTT: m.jttdata(); break;
    case DAYHOFF: m.dyhfdata(); break;
    case MTREV24: m.mtrevdata(); break;
    default: m.blosum62data(); break;
    }
}

std::vector<double> uneven() {
    std::vector<double> f(20);
    for (int i = 0; i < 20; ++i) f[i] = 0.5 + i;
    return f;
}

TEST(SubstTables, ExchangeabilitiesAndFrequencies) {
    for (const TableCase& c : table_cases()) {
        std::vector<double> f = uneven(), none;
        substmodel m(AA, c.m, f, none);
        for (int i = 0; i < 20; ++i)
            EXPECT_EQ(m.freqs[i], c.freqs[i]) << c.name << " " << kAmino[i];
        write_table(m);
        double lo = HUGE_VAL, hi = 0.0;
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(m.ratemat[i][i], 0.0) << c.name;
            for (int j = 0; j < 20; ++j)
                if (i != j) {
                    EXPECT_EQ(m.ratemat[i][j], m.ratemat[j][i]) << c.name;
                    lo = std::fmin(lo, m.ratemat[i][j]);
                    hi = std::fmax(hi, m.ratemat[i][j]);
                }
        }
        EXPECT_EQ(m.ratemat[aa('Y')][aa('V')], 1.0) << c.name;
        for (const Telling& t : c.telling) {
            const double tol = 0.5 * std::pow(10.0, std::floor(std::log10(t.value)) - 3);
            EXPECT_NEAR(m.ratemat[aa(t.a)][aa(t.b)], t.value, tol)
                << c.name << " " << t.a << "-" << t.b;
        }
        // Telling value 3 is the table's largest, value 7 its smallest
        // (MTREV24: the smallest is 1).
        EXPECT_NEAR(hi, c.telling[3].value, 0.5 * std::pow(10.0, std::floor(std::log10(hi)) - 3))
            << c.name;
        if (c.m == MTREV24) {
            EXPECT_EQ(lo, 1.0);
        } else {
            EXPECT_NEAR(lo, c.telling[7].value,
                        0.5 * std::pow(10.0, std::floor(std::log10(lo)) - 3))
                << c.name;
        }
    }
}

TEST(SubstTables, Mtrev24UnitPairs) {
    const char* pairs[27] = {"AW", "RD", "RE", "RI", "RM", "RY", "NV", "DC", "DL",
                             "DM", "DV", "CE", "CK", "CV", "QW", "EL", "EM", "EW",
                             "GH", "GM", "GF", "GP", "HV", "IW", "KV", "SV", "YV"};
    std::vector<double> f = uneven(), none;
    substmodel m(AA, MTREV24, f, none);
    m.mtrevdata();
    int ones = 0;
    for (int i = 0; i < 20; ++i)
        for (int j = i + 1; j < 20; ++j) {
            EXPECT_GE(m.ratemat[i][j], 1.0);
            if (m.ratemat[i][j] == 1.0) ++ones;
        }
    EXPECT_EQ(ones, 27);
    for (const char* p : pairs) EXPECT_EQ(m.ratemat[aa(p[0])][aa(p[1])], 1.0) << p;
    EXPECT_NEAR(m.logfreqofstate(22), std::log(0.999), 1e-15);
}

TEST(SubstTables, GuessmodelPicksNearestTable) {
    for (const TableCase& c : table_cases()) {
        const std::string expect = c.m == DAYHOFF   ? "Dayhoff model fitted best\n"
                                   : c.m == JTT     ? "JTT model fitted best\n"
                                   : c.m == MTREV24 ? "mtRev24 model fitted best\n"
                                                    : "Blosum62 model fitted best\n";
        const std::vector<double> target = c.freqs;
        ChildResult r = run_in_child([target, c] {
            substmodel m(AA);
            std::vector<double> f = target;
            for (double& x : f) x += 0.0005;  // near, not equal
            m.guessmodel(f);
            if (m.model != c.m) _exit(3);
            // Left holding the last table written.
            if (m.freqs[10] != 0.099) _exit(4);
        });
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(r.out, expect) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
    }
}

TEST(SubstTables, GuessmodelNeedsAminoAcids) {
    const std::string err = "guessmodel needs an amino acid model and 20 frequencies\n";
    EXPECT_TRUE(ends_fatally(
        [] {
            substmodel m;
            std::vector<double> f(20, 0.05);
            m.guessmodel(f);
        },
        err));
    EXPECT_TRUE(ends_fatally(
        [] {
            substmodel m(AA);
            std::vector<double> f(4, 0.25);
            m.guessmodel(f);
        },
        err));
}

}  // namespace
