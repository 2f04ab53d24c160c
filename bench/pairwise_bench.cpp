// Times the forward fill and one Monte-Carlo EM time estimate for pairs of
// related random nucleotide sequences; prints cells per second.
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "models/indel.h"
#include "models/substmod.h"
#include "pairwise/profalign.h"
#include "sequence/data.h"
#include "sequence/random.h"

namespace {

std::string related(std::mt19937& gen, const std::string& a) {
    std::uniform_real_distribution<double> u(0, 1);
    std::string b;
    for (char c : a) {
        const double x = u(gen);
        if (x < 0.03) continue;
        if (x < 0.06) b += "ACGT"[gen() % 4];
        b += (u(gen) < 0.15) ? "ACGT"[gen() % 4] : c;
    }
    return b;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main() {
    std::mt19937 gen(1);
    std::vector<double> freqs{0.25, 0.25, 0.25, 0.25}, kappa{2.0};
    substmodel sm(NUC, HKY, freqs, kappa);
    indel im(std::vector<double>{0.002, 0.003}, TKF1);
    std::printf("%8s %8s %12s %14s %12s %10s\n", "m", "n", "fill [s]", "cells/s", "EM [s]", "t");
    for (int len : {100, 300, 1000}) {
        std::string sa;
        for (int k = 0; k < len; ++k) sa += "ACGT"[gen() % 4];
        const std::string sb = related(gen, sa);
        bioseq a(std::vector<char>(sa.begin(), sa.end()), 4);
        bioseq b(std::vector<char>(sb.begin(), sb.end()), 4);
        alignment al(a, b, 10.0, sm, im);

        const int reps = len >= 1000 ? 5 : (len >= 300 ? 30 : 200);
        double check = 0.0;
        auto t0 = std::chrono::steady_clock::now();
        for (int r = 0; r < reps; ++r) {
            align_graph g(al, -1, -1, a.laen(), b.laen());
            check += g.mat(a.laen() - 1, b.laen() - 1);
        }
        const double fill = seconds_since(t0) / reps;
        const double cells = static_cast<double>(a.laen()) * b.laen();

        seedrandom(12345u);
        alignment em(a, b, 10.0, sm, im);
        double t = 10.0;
        t0 = std::chrono::steady_clock::now();
        em.optimal_time(t);
        const double emtime = seconds_since(t0);
        std::printf("%8d %8d %12.6f %14.4g %12.4f %10.5f  (%g)\n", a.laen(), b.laen(), fill,
                    cells / fill, emtime, t, check / reps);
    }
    return 0;
}
