// Line minimisers: evaluation order, bracketing, pull-in and results.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "fixtures.h"
#include "sequence/minimise.h"

namespace {

// f(x) = (x - 3)^2 + 0.05 (x - 3)^3, recording where it is evaluated.
struct Recorder {
    std::vector<double> at;
    double operator()(double x) {
        at.push_back(x);
        const double y = x - 3.0;
        return y * y + 0.05 * (y * y * y);
    }
};

TEST(Minimiser, EvaluationOrderMatchesAnIndependentTrace) {
    // Evaluation points computed once with a separate script of the same steps.
    struct Case {
        double x0, result;
        std::vector<double> at;
    };
    const std::vector<Case> cases = {
        {10.0,
         0x1.80000125529bep+1,
         {0x1.3ffbe76c8b439p+3, 0x1.4000000000000p+3, 0x1.4004189374bc7p+3, 0x1.0c6f7a0b5ed8dp-20,
          0x1.f400000000000p+9, 0x1.84257689ca18cp+8, 0x1.36d969c70e9d9p+2, 0x1.5e6850f581a3ap+1,
          0x1.97e4568a949ecp+1, 0x1.7f714a3839730p+1, 0x1.7fd7fb01ee042p+1, 0x1.7fff28c69d5bfp+1,
          0x1.80000125529bep+1, 0x1.7fffe7faa81ddp+1, 0x1.80001a4ffd19fp+1}},
        {3.2,
         0x1.7fffff2bd599fp+1,
         {0x1.99945b6c3760cp+1, 0x1.999999999999ap+1, 0x1.999ed7c6fbd28p+1, 0x1.0c6f7a0b5ed8dp-20,
          0x1.f400000000000p+9, 0x1.7ff196e660f29p+8, 0x1.a8e3e97242841p+0, 0x1.8cb8fb4432bbcp+1,
          0x1.7eb6691815d12p+1, 0x1.800d9ef47f896p+1, 0x1.7fff37073adb9p+1, 0x1.7fffff2bd599fp+1,
          0x1.800018567ff6ep+1, 0x1.7fffe6012b3d0p+1}},
        {3.0,
         0x1.8000000000000p+1,
         {0x1.7ffb15b573eabp+1, 0x1.8000000000000p+1, 0x1.8004ea4a8c155p+1, 0x1.7ffe1f60239e7p+1,
          0x1.8000192aaa6adp+1, 0x1.7fffe6d555953p+1}},
    };
    for (const Case& c : cases) {
        Recorder rec;
        double fmin, curv;
        const double x = onedimenmin_core(std::ref(rec), 1e-6, c.x0, 1000.0, 1e-6, &fmin, &curv);
        EXPECT_EQ(x, c.result) << c.x0;
        EXPECT_EQ(rec.at, c.at) << c.x0;
        EXPECT_EQ(fmin, (x - 3) * (x - 3) + 0.05 * ((x - 3) * (x - 3) * (x - 3)));
        EXPECT_NEAR(curv, 2.0, 1e-3);
    }
}

TEST(Minimiser, FirstBracketAndWideningRule) {
    Recorder rec;
    double fmin, curv;
    onedimenmin_core(std::ref(rec), 1e-6, 10.0, 1000.0, 1e-6, &fmin, &curv);
    ASSERT_GE(rec.at.size(), 5u);
    EXPECT_DOUBLE_EQ(rec.at[0], 9.9995);
    EXPECT_EQ(rec.at[1], 10.0);
    EXPECT_DOUBLE_EQ(rec.at[2], 10.0005);
    // The lower end is better: lo and hi next.
    EXPECT_EQ(rec.at[3], 1e-6);
    EXPECT_EQ(rec.at[4], 1000.0);

    // Start at the lower bound: the bracket's lower end is lo itself.
    Recorder low;
    onedimenmin_core(std::ref(low), 3.0, 3.0, 1000.0, 1e-6, &fmin, &curv);
    EXPECT_EQ(low.at[0], 3.0);
    EXPECT_EQ(low.at[1], 3.0);
    EXPECT_DOUBLE_EQ(low.at[2], 3.00015);
}

TEST(Minimiser, StartsOutsideTheRangeArePulledIn) {
    for (double x0 : {0.0, -5.0, 1e-9, 5000.0, HUGE_VAL, std::nan("")}) {
        Recorder rec;
        double fmin, curv;
        const double x = onedimenmin_core(std::ref(rec), 1e-6, x0, 1000.0, 1e-6, &fmin, &curv);
        for (double at : rec.at) {
            EXPECT_GE(at, 1e-6) << x0;
            EXPECT_LE(at, 1000.0) << x0;
        }
        EXPECT_NEAR(x, 3.0, 1e-4) << x0;
    }
}

TEST(Minimiser, NanObjectiveDoesNotLeaveTheRange) {
    auto f = [](double x) { return x > 500 ? std::nan("") : (x - 3) * (x - 3); };
    double fmin, curv;
    const double x = onedimenmin_core(f, 1e-6, 10.0, 1000.0, 1e-6, &fmin, &curv);
    EXPECT_NEAR(x, 3.0, 1e-4);
}

TEST(Minimiser, TwoDimensionsPullInAndPasses) {
    // Only the first coordinate free: one pass, pulled in from the bounds.
    for (double start : {1e-6, 0.0, 1000.0, 2000.0}) {
        std::vector<double> firsts;
        int calls = 0;
        auto f = [&](double x, double y) {
            if (calls++ == 1) firsts.push_back(x);
            return (x - 3) * (x - 3) + (y - 1) * (y - 1);
        };
        double x1 = start, x2 = 7.0, se1 = 0, se2 = -1;
        const int passes =
            twodimenmin_core(f, 1e-6, 1, 1e-6, x1, 1000.0, &se1, 0, 1e-6, x2, 1000.0, &se2);
        EXPECT_EQ(passes, 1);
        EXPECT_EQ(x2, 7.0);
        EXPECT_EQ(se2, -1);
        EXPECT_NEAR(x1, 3.0, 1e-4);
        EXPECT_NEAR(se1, std::sqrt(0.5), 1e-3);
        ASSERT_EQ(firsts.size(), 1u);
        EXPECT_DOUBLE_EQ(firsts[0], start <= 1e-6 ? 200.0000008 : 800.0000002) << start;
    }
    // Both free, coupled: alternate until neither moves, at most 10 passes.
    auto g = [](double x, double y) {
        return (x - 3) * (x - 3) + (y - 1) * (y - 1) + 0.9 * (x - 3) * (y - 1);
    };
    double x1 = 10.0, x2 = 10.0, se1, se2;
    const int passes =
        twodimenmin_core(g, 1e-6, 1, 1e-6, x1, 1000.0, &se1, 1, 1e-6, x2, 1000.0, &se2);
    EXPECT_GT(passes, 1);
    EXPECT_LE(passes, 10);
    EXPECT_NEAR(x1, 3.0, 1e-2);
    EXPECT_NEAR(x2, 1.0, 1e-2);
    // Separable: the second pass changes nothing.
    auto h = [](double x, double y) { return (x - 3) * (x - 3) + (y - 1) * (y - 1); };
    x1 = 10.0;
    x2 = 10.0;
    EXPECT_EQ(twodimenmin_core(h, 1e-6, 1, 1e-6, x1, 1000.0, &se1, 1, 1e-6, x2, 1000.0, &se2), 2);
}

TEST(Minimiser, MembersLeaveTheModelsAtTheLastEvaluatedTime) {
    std::string sa = "ACGTACGTTGCAACGTAGCT", sb = "ACGTACCTTGCAACGTTGCT";
    bioseq a = dna(sa), b = dna(sb);
    indel im(std::vector<double>{1e-4, 2e-4}, TKF1);
    alignment al(a, b, 4.0, jc69(), im, 1.0, 0);
    alignment twin(a, b, 4.0, jc69(), im, 1.0, 0);
    twin.count_path();
    std::vector<double> at;
    auto f = [&](double x) {
        at.push_back(x);
        return twin.EMloglikl(x, 1.0);
    };
    double fmin, curv;
    const double expect = onedimenmin_core(f, 1e-6, 4.0, 1000.0, 1e-6, &fmin, &curv);
    EXPECT_EQ(al.opt_for_giv(), expect);
    EXPECT_EQ(al.smodel->timeOf(), at.back());
    EXPECT_EQ(al.imodel->tP, at.back());
    EXPECT_NE(at.back(), expect);

    // The indel factor as the free coordinate.
    alignment f2(a, b, 4.0, jc69(), im, 1.0, 0);
    f2.count_path();
    double s;
    f2.onedimenmin(1e-6, 1.0, 1000.0, s, 1e-6, &fmin, &curv, 5.0, true);
    EXPECT_EQ(f2.smodel->timeOf(), 5.0);
    EXPECT_GE(s, 1e-6);
    EXPECT_LE(s, 1000.0);
}

TEST(Minimiser, SpreadFromTheCurvature) {
    // sqrt(1 / |curv|) while |curv| > 1 / hi^2, else hi.
    for (double k : {1e-5, 1e-7}) {
        auto f = [k](double x, double y) { return k * (x - 3) * (x - 3) + (y - 1) * (y - 1); };
        double x1 = 10.0, x2 = 1.0, se1 = 0.0, se2 = -1.0;
        twodimenmin_core(f, 1e-6, 1, 1e-6, x1, 1000.0, &se1, 0, 1e-6, x2, 1000.0, &se2);
        if (k > 1e-6) {
            EXPECT_NEAR(se1, std::sqrt(1.0 / (2.0 * k)), 0.5);
        } else {
            EXPECT_EQ(se1, 1000.0);
        }
    }
}

TEST(Minimiser, TwoDimensionsMatchAnIndependentTrace) {
    // Results, pass counts and spreads computed once with a separate script
    // of the same steps; the second case is stopped by the pass limit.
    struct Case {
        double c;
        int passes;
        double x1, x2, se1, se2;
    };
    const Case cases[] = {
        {0.4, 7, 0x1.7ffffe742d022p+1, 0x1.fffffd5daea5ep-1, 0x1.6a0e08e1cad0ap-1,
         0x1.6a07219f62587p-1},
        {1.4, 10, 0x1.7f5feba4c6b32p+1, 0x1.00e01c7fb69edp+0, 0x1.6a0a5d093fc16p-1,
         0x1.6a0fabbff301ap-1},
    };
    for (const Case& k : cases) {
        const double c = k.c;
        auto g = [c](double x, double y) {
            return (x - 3) * (x - 3) + (y - 1) * (y - 1) + c * (x - 3) * (y - 1);
        };
        double x1 = 10.0, x2 = 10.0, se1 = 0.0, se2 = 0.0;
        EXPECT_EQ(twodimenmin_core(g, 1e-6, 1, 1e-6, x1, 1000.0, &se1, 1, 1e-6, x2, 1000.0, &se2),
                  k.passes);
        EXPECT_EQ(x1, k.x1) << c;
        EXPECT_EQ(x2, k.x2) << c;
        EXPECT_EQ(se1, k.se1) << c;
        EXPECT_EQ(se2, k.se2) << c;
    }
}

TEST(Minimiser, TiesOfAStepObjectiveMatchAnIndependentTrace) {
    // A quantised parabola: many evaluations tie with the best so far.
    struct Case {
        double x0, result;
        std::vector<double> at;
    };
    const std::vector<Case> cases = {
        {10.0,
         0x1.7fd9e9116b0c1p+1,
         {0x1.3ffbe76c8b439p+3, 0x1.4000000000000p+3, 0x1.4004189374bc7p+3, 0x1.0c6f7a0b5ed8dp-20,
          0x1.f400000000000p+9, 0x1.84257689ca18cp+8, 0x1.7fef74a2b6edep+1, 0x1.7fd9c7294825cp+1,
          0x1.7fe49de5ff89dp+1, 0x1.7fe07a0b0d466p+1, 0x1.7fddeb043efc4p+1, 0x1.7fdc56301943bp+1,
          0x1.7fdb5bfd6f9dap+1, 0x1.7fdac15bf2e04p+1, 0x1.7fda61cac58e0p+1, 0x1.7fda26ba75e1ap+1,
          0x1.7fda023998137p+1, 0x1.7fd9e9116b0c1p+1}},
        {4.0,
         0x1.7fd774a360144p+1,
         {0x1.fff972474538fp+1, 0x1.0000000000000p+2, 0x1.000346dc5d639p+2, 0x1.0c6f7a0b5ed8dp-20,
          0x1.f400000000000p+9, 0x1.807029ae4f335p+8, 0x1.7fd747122079fp+1, 0x1.7ff25682870e8p+1,
          0x1.7fe4ceca53c44p+1, 0x1.7fdfa3c46a367p+1, 0x1.7fdc72180fbd9p+1, 0x1.7fda78be7e7a4p+1,
          0x1.7fd9406bb3ebap+1, 0x1.7fd87f64ec61bp+1, 0x1.7fd80818e8d93p+1, 0x1.7fd7be5e24864p+1,
          0x1.7fd790cce51e5p+1, 0x1.7fd774a360144p+1}},
    };
    for (const Case& c : cases) {
        std::vector<double> at;
        auto q = [&at](double x) {
            at.push_back(x);
            const double y = x - 3.0;
            return std::floor(y * y * 100.0) / 100.0;
        };
        double fmin, curv;
        EXPECT_EQ(onedimenmin_core(q, 1e-6, c.x0, 1000.0, 1e-6, &fmin, &curv), c.result) << c.x0;
        EXPECT_EQ(at, c.at) << c.x0;
    }
    // A staircase in |x - 7|: a trial point ties with the second best.
    std::vector<double> at;
    auto stairs = [&at](double x) {
        at.push_back(x);
        return std::floor(std::fabs(x - 7.0));
    };
    const std::vector<double> expect = {
        0x1.fff972474538fp+0, 0x1.0000000000000p+1, 0x1.000346dc5d639p+1, 0x1.0c6f7a0b5ed8dp-20,
        0x1.f400000000000p+9, 0x1.7f33baba7b918p+8, 0x1.081be5d6f20fbp+6, 0x1.a93296fba25cdp+3,
        0x1.a93299148150ep+2, 0x1.d908de8c0da45p+2, 0x1.c11dbbd0477aap+2, 0x1.b7fae76cd7e87p+2,
        0x1.b2556d8209245p+2, 0x1.aed813058d3d5p+2, 0x1.acaff394d850ep+2, 0x1.ab5ab887984cap+2,
        0x1.aa87d4233a5ecp+2, 0x1.aa057d79c8446p+2, 0x1.a9b4efbe836f4p+2, 0x1.a98326d01f27bp+2,
        0x1.a96462031c9acp+2, 0x1.a9515de1a5dd2p+2, 0x1.a9459d360d118p+2, 0x1.a93e59c02718fp+2,
        0x1.a939dc8a6f501p+2, 0x1.a937164a3e0f9p+2, 0x1.a9355f54b5a22p+2, 0x1.a934500a0ba35p+2,
        0x1.a933a85f2c7b7p+2, 0x1.a93340bf61320p+2, 0x1.a93300b44d0cdp+2, 0x1.a932d91f95bcdp+2,
        0x1.a932bd41d40f1p+2};
    double fmin, curv;
    EXPECT_EQ(onedimenmin_core(stairs, 1e-6, 2.0, 1000.0, 1e-6, &fmin, &curv),
              0x1.a932bd41d40f1p+2);
    EXPECT_EQ(at, expect);
}

}  // namespace
