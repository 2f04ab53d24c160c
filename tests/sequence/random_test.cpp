// random numbers and the seed file.
#include "sequence/random.h"

#include "support/fatal.h"
#include "support/subprocess.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Known values from a Python transcription of the generator's steps (32-bit
// truncating arithmetic, Schrage steps, shuffle table); the script is
// tests/sequence/ran2_reference.py.
struct Known {
    int idum;
    std::vector<double> u;
};

const std::vector<Known> kKnown = {
    {0,
     {0x1.243ae3f20f1b6p-2, 0x1.037054444897fp-2, 0x1.7ed8dbbe3c01fp-4, 0x1.378ce78ae391cp-1,
      0x1.ce8d19af29b31p-1}},
    {-1,
     {0x1.243ae3f20f1b6p-2, 0x1.037054444897fp-2, 0x1.7ed8dbbe3c01fp-4, 0x1.378ce78ae391cp-1,
      0x1.ce8d19af29b31p-1}},
    {-12345,
     {0x1.bda23ba7edbbap-6, 0x1.e2f0eec0b3fe9p-5, 0x1.e9d0d7e544af6p-3, 0x1.8ef0e988ebfb1p-6,
      0x1.d6ff5738c58ffp-4}},
    {-1804289383,
     {0x1.279e24204f040p-1, 0x1.d9c5c6ba9d55fp-6, 0x1.d676d00c6ae62p-1, 0x1.cfd1c08c0149ep-1,
      0x1.de6787f5b0c04p-1}},
};

// The uniforms that the next n draws from the state idum = seed give.
std::vector<double> uniforms(int seed, int n) {
    idum = seed;
    std::vector<double> u;
    for (int i = 0; i < n; ++i) u.push_back(randomunitintervall());
    idum = seed;
    return u;
}

// rand_exp by its recursive definition, from the same generator.
double rand_exp_recursive(double rate) {
    const double u = randomunitintervall();
    if (u > 0.99) return -std::log(u) / rate;
    return rand_exp_recursive(rate) + -std::log(0.99) / rate;
}

// The (r+1)-th free index, chooser's rule.
std::vector<int> chooser_reference(int n, int k, const std::vector<double>& u) {
    std::vector<bool> taken(n, false);
    std::vector<int> out;
    for (int i = 0; i < k; ++i) {
        int r = static_cast<int>(std::floor(u[i] * (n - i)));
        for (int idx = 0; idx < n; ++idx) {
            if (taken[idx]) continue;
            if (r-- == 0) {
                out.push_back(idx);
                taken[idx] = true;
                break;
            }
        }
    }
    return out;
}

}  // namespace

TEST(Random, KnownValues) {
    for (const auto& k : kKnown) {
        SCOPED_TRACE(k.idum);
        idum = k.idum;
        for (double want : k.u) EXPECT_EQ(randomunitintervall(), want);
    }
}

TEST(Random, ResetRebuildsTheTable) {
    idum = 0;
    std::vector<double> first;
    for (int i = 0; i < 1000; ++i) first.push_back(randomunitintervall());
    EXPECT_EQ(first[999], 0x1.c08a7be9dbf64p-1);  // 0.8760565493557633 from the reference
    for (int reset : {0, -1}) {
        idum = reset;
        for (int i = 0; i < 1000; ++i) ASSERT_EQ(randomunitintervall(), first[i]) << i;
    }
    // -INT_MIN is not an int: the seed counts as not positive and gives 1.
    idum = INT_MIN;
    EXPECT_EQ(randomunitintervall(), first[0]);
}

TEST(Random, RangeAndMean) {
    idum = -4242;
    double sum = 0.0, lo = 1.0, hi = 0.0;
    const int n = 200000;
    for (int i = 0; i < n; ++i) {
        const double u = randomunitintervall();
        sum += u;
        lo = std::min(lo, u);
        hi = std::max(hi, u);
    }
    EXPECT_GE(lo, 1.0 / 2147483563.0);
    EXPECT_LE(hi, 0.99999988);
    EXPECT_GT(lo, 0.0);
    EXPECT_LT(hi, 1.0);
    EXPECT_NEAR(sum / n, 0.5, 0.005);
}

TEST(Random, SeedrandomMatchesGlibc) {
    // srandom(1); rand() gives 1804289383 then 846930886 in glibc.
    seedrandom(1);
    EXPECT_EQ(idum, -1804289383);
    EXPECT_EQ(std::rand(), 846930886);
    EXPECT_EQ(randomunitintervall(), kKnown[3].u[0]);
    seedrandom(12345);
    EXPECT_EQ(idum, -383100999);
    for (unsigned s : {0u, 2u, 777u, 4000000000u}) {
        srandom(s);
        const int r = std::rand();
        const int next = std::rand();
        seedrandom(s);
        EXPECT_EQ(idum, -r) << s;
        EXPECT_EQ(std::rand(), next) << s;
    }
}

// The seed is taken at initrandom and written only by append_seed, which
// the run calls once it knows no input is the seed file.
TEST(Random, AppendSeedAppendsTheSeedOfInitrandom) {
    const std::string dir = make_temp_dir();
    const long t0 = static_cast<long>(std::time(nullptr));
    for (int run = 0; run < 2; ++run) {
        auto r = run_in_child([&] {
            if (chdir(dir.c_str()) != 0) _exit(3);
            const std::string before = read_file("Zufallszahl");
            initrandom();
            const int got = idum;
            if (read_file("Zufallszahl") != before) std::printf("written by initrandom\n");
            if (!append_seed()) std::printf("append failed\n");
            // The seed is the number just written; idum is -rand() after srandom(seed).
            std::string text = read_file("Zufallszahl");
            std::istringstream lines(text);
            std::string line, last;
            while (std::getline(lines, line)) last = line;
            srandom(static_cast<unsigned>(std::stoul(last)));
            std::printf("%s\n", got == -std::rand() ? "ok" : "mismatch");
            std::printf("%s\n", last_seed() == std::stoul(last) ? "ok" : "mismatch");
        });
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "ok\nok\n");
        EXPECT_EQ(r.err, "");
    }
    const long t1 = static_cast<long>(std::time(nullptr));
    const std::string text = read_file(dir + "/Zufallszahl");
    std::istringstream lines(text);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        ASSERT_FALSE(line.empty());
        EXPECT_EQ(line.find_first_not_of("0123456789"), std::string::npos) << line;
        const long seed = std::stol(line);
        EXPECT_GE(seed, t0);
        EXPECT_LE(seed, t1);
    }
    EXPECT_EQ(count, 2);
    EXPECT_EQ(text.back(), '\n');
}

TEST(Random, AppendSeedReportsAnUnwritableSeedFile) {
    const std::string dir = make_temp_dir();
    ASSERT_EQ(mkdir((dir + "/Zufallszahl").c_str(), 0755), 0);
    auto r = run_in_child([&] {
        if (chdir(dir.c_str()) != 0) _exit(3);
        initrandom();
        std::printf("%d %d\n", idum < 0 || idum == 0 ? 1 : 0, append_seed() ? 1 : 0);
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "1 0\n");
    EXPECT_EQ(r.err, "");
}

TEST(Random, ZzinitrandomReseedsFromTheFirstSeed) {
    const std::string dir = make_temp_dir();
    write_file(dir + "/Zufallszahl", "12345\n999\n");
    auto r = run_in_child([&] {
        if (chdir(dir.c_str()) != 0) _exit(3);
        zzinitrandom();
        std::printf("%d\n", idum);
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "-383100999\n");
    EXPECT_EQ(read_file(dir + "/Zufallsctrl"), "12345\n");
    EXPECT_EQ(read_file(dir + "/Zufallszahl"), "12345\n999\n");
}

TEST(Random, Randominteger) {
    idum = -99;
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(randominteger(1), 0);
        EXPECT_EQ(randominteger(0), 0);
    }
    for (int seed : {0, -7, -12345, -1804289383}) {
        const auto u = uniforms(seed, 4);
        const int ns[] = {2, 10, 37, 1000000};
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(randominteger(ns[i]), static_cast<int>(std::floor(u[i] * ns[i])));
    }
    idum = -5;
    std::vector<int> counts(10, 0);
    for (int i = 0; i < 100000; ++i) {
        const int r = randominteger(10);
        ASSERT_GE(r, 0);
        ASSERT_LT(r, 10);
        ++counts[r];
    }
    for (int c : counts) EXPECT_NEAR(c, 10000, 500);
}

TEST(Random, RandomchoiceInt) {
    // u = 0.2853808990946861 after idum = 0.
    struct C {
        std::vector<int> w;
        int want;
    };
    const std::vector<C> cases = {
        {{1, 1}, 0},                                       // target 0.57 <= 1
        {{1, 3}, 1},                                       // target 1.14
        {{0, 0, 5}, 2},  {{0, 0, 0}, 0}, {{3, -2, 1}, 0},  // target 1.14: negatives weigh nothing
        {{-5, 0, 2}, 2},                                   // target 0.57 reached at index 2 only
        {{-5, -1}, 0},                                     // S = 0: index 0
        {{0, 7}, 1},
    };
    for (const auto& c : cases) {
        idum = 0;
        EXPECT_EQ(randomchoice(c.w), c.want);
    }
    // Always 2 for {0,0,5}; never 1 for {3,-2,1}; all draws use one uniform each.
    idum = -31;
    std::vector<int> a{0, 0, 5}, b{3, -2, 1};
    int zeros = 0;
    for (int i = 0; i < 2000; ++i) {
        EXPECT_EQ(randomchoice(a), 2);
        const int r = randomchoice(b);
        EXPECT_NE(r, 1);
        zeros += r == 0;
    }
    EXPECT_NEAR(zeros, 1500, 100);
    // Against the rule applied by hand to the same uniform.
    std::vector<int> w{4, 0, -3, 2, 9, 1};
    for (int seed = -1; seed > -60; --seed) {
        const double u = uniforms(seed, 1)[0];
        const double target = u * 16;
        int want = -1, run = 0;
        for (int i = 0; i < 6 && want < 0; ++i) {
            if (w[i] > 0) run += w[i];
            if (run >= target - 2.2250738585072014e-308) want = i;
        }
        EXPECT_EQ(randomchoice(w), want) << seed;
    }
    // Sums beyond INT_MAX do not overflow.
    idum = -1804289383;  // u = 0.577
    std::vector<int> big{INT_MAX, INT_MAX, INT_MAX};
    EXPECT_EQ(randomchoice(big), 1);
    std::vector<int> none;
    EXPECT_FATAL(
        randomchoice(none),
        "randomchoice(vector<int> &clust) cannot find\na random member of an empty vector.\n");
}

TEST(Random, RandomchoiceDouble) {
    std::vector<double> half{0.5, 0.5};
    idum = 0;  // u = 0.285
    EXPECT_EQ(randomchoice(half), 0);
    idum = -1804289383;  // u = 0.577
    EXPECT_EQ(randomchoice(half), 1);
    for (int seed = -1; seed > -200; --seed) {
        const double u = uniforms(seed, 1)[0];
        EXPECT_EQ(randomchoice(half), u <= 0.5 ? 0 : 1) << seed;
    }
    std::vector<double> w{0.0, 0.25, 0.0, 1.5, 0.0};
    for (int seed = -1; seed > -100; --seed) {
        idum = seed;
        const int r = randomchoice(w);
        EXPECT_TRUE(r == 1 || r == 3) << seed;
    }
    std::vector<double> zero{0.0, 0.0};
    idum = -3;
    EXPECT_EQ(randomchoice(zero), 0);
    std::vector<double> none;
    EXPECT_FATAL(randomchoice(none),
                 "Error in funnction indel::randomchoice\nvariable stateidx out of range\n");
    // Negative weights sum below zero: with u = 0.285 no running sum reaches -2u.
    std::vector<double> neg{-1.0, -1.0};
    idum = 0;
    EXPECT_FATAL(randomchoice(neg),
                 "Error in funnction indel::randomchoice\nvariable stateidx out of range\n");
    idum = -1804289383;  // u = 0.577: -1 >= -1.15
    EXPECT_EQ(randomchoice(neg), 0);
}

TEST(Random, Chooser) {
    for (int seed : {0, -3, -12345}) {
        const auto u = uniforms(seed, 5);
        std::vector<int> v(6, -1);
        chooser(7, 4, v);
        const auto want = chooser_reference(7, 4, u);
        EXPECT_EQ(std::vector<int>(v.begin(), v.begin() + 4), want) << seed;
        EXPECT_EQ(v[4], -1);
        EXPECT_EQ(v[5], -1);
        // Exactly four uniforms were used.
        EXPECT_EQ(randomunitintervall(), u[4]);
    }
    // Outside the contract (k > n, a vector shorter than k): a fatal stop.
    std::vector<int> v(3), shortv(1);
    EXPECT_FATAL(chooser(2, 3, v), "Internal error in function chooser: cannot choose 3 of 2\n");
    EXPECT_FATAL(chooser(5, 2, shortv),
                 "Internal error in function chooser: cannot choose 2 of 5\n");
}

TEST(Random, Rndorder) {
    std::vector<int> v{5, 6, 7};
    idum = -8;
    const double next = uniforms(-8, 1)[0];
    rndorder(v, 0);
    EXPECT_TRUE(v.empty());
    EXPECT_EQ(randomunitintervall(), next);  // nothing was drawn
    rndorder(v, 1);
    EXPECT_EQ(v, std::vector<int>{0});
    for (int seed : {0, -11, -999}) {
        const auto u = uniforms(seed, 9);
        rndorder(v, 9);
        EXPECT_EQ(v, chooser_reference(9, 9, u)) << seed;
        std::vector<int> sorted = v;
        std::sort(sorted.begin(), sorted.end());
        for (int i = 0; i < 9; ++i) EXPECT_EQ(sorted[i], i);
    }
}

TEST(Random, RandExpMatchesTheRecursion) {
    for (int seed : {0, -1, -777, -4242, -1804289383}) {
        for (double rate : {2.0, 0.3, 1.0}) {
            idum = seed;
            std::vector<double> rec;
            for (int i = 0; i < 20; ++i) rec.push_back(rand_exp_recursive(rate));
            const double after = randomunitintervall();
            idum = seed;
            for (int i = 0; i < 20; ++i)
                ASSERT_EQ(rand_exp(rate), rec[i]) << seed << " " << rate << " " << i;
            EXPECT_EQ(randomunitintervall(), after);
        }
    }
    // The same values from the Python transcription (same libm log).
    idum = -777;
    EXPECT_DOUBLE_EQ(rand_exp(2.0), 0.046503401385112164);
    EXPECT_DOUBLE_EQ(rand_exp(2.0), 0.028783589181710974);
    EXPECT_DOUBLE_EQ(rand_exp(2.0), 0.2945086174549331);
}

TEST(Random, RandExpMean) {
    idum = -2024;
    const int n = 20000;
    double sum = 0.0, sq = 0.0;
    int below = 0;
    for (int i = 0; i < n; ++i) {
        const double x = rand_exp(2.0);
        ASSERT_GT(x, 0.0);
        sum += x;
        sq += x * x;
        below += x < -std::log(0.99) / 2.0;
    }
    const double mean = sum / n;
    EXPECT_NEAR(mean, 0.5, 0.02);
    EXPECT_NEAR(sq / n - mean * mean, 0.25, 0.03);
    EXPECT_NEAR(below, 0.01 * n, 60);
}
