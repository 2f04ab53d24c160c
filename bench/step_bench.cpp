// Times the sampler on simulated nucleotide data (HKY, TKF1, analysis type
// 0, 300 residues), in CPU time: cycles per second for 32 sequences and the
// mean step time for 16 and 64 sequences with their ratio. Per data set it
// prints a checksum of the final state (log likelihood and a hash of
// parameters, tree and alignment) so that two builds can be compared run
// for run. Arguments: a factor on the number of cycles, and optionally one
// number of sequences to run alone (e.g. under a profiler) and its length
// (300 when not given).
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>

#include "sampler/mult_align.h"
#include "sequence/random.h"
#include "simdata.h"

namespace {

// CPU time of the process: less disturbed by other programs on the machine
// than the wall clock.
double now() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

struct Result {
    double step = 0, params = 0;  // mean times in s
};

Result run(int n, int len, int cycles) {
    const std::string dir = (std::filesystem::temp_directory_path() /
                             ("quillmar_step_bench_" + std::to_string(getpid())))
                                .string();
    const eingabe_parameter P = dataset_files(dir, false, n, len, cycles);
    seedrandom(4711u);
    std::streambuf* keep = std::cout.rdbuf();
    std::ostringstream sink;
    std::cout.rdbuf(sink.rdbuf());  // progress lines
    mult_alignment s(P, 0);
    Result r;
    for (int k = 0; k < cycles; ++k) {
        double t0 = now();
        s.maunewton();
        r.step += now() - t0;
        t0 = now();
        s.sampparams();
        r.params += now() - t0;
    }
    std::ostringstream state;
    s.print_params(state);
    s.print_tree(state);
    s.print_phylip(state);
    std::cout.rdbuf(keep);
    std::filesystem::remove_all(dir);
    r.step /= cycles;
    r.params /= cycles;
    std::printf(
        "n %3d len %4d cycles %4d: step %8.2f ms  param %8.2f ms  cycles/s %8.2f  "
        "lnL %.17g  hash %016llx\n",
        n, len, cycles, 1000 * r.step, 1000 * r.params, 1 / (r.step + r.params), s.likelihood(),
        static_cast<unsigned long long>(fnv1a(state.str())));
    std::fflush(stdout);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    // An optional factor on the number of cycles per data set.
    const double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
    auto cycles = [&](int c) { return std::max(2, static_cast<int>(scale * c)); };
    int len = 300;
    if (argc > 2) {
        // Only the data set of this many sequences, e.g. for a profiler.
        const int n = std::atoi(argv[2]);
        if (argc > 3) len = std::atoi(argv[3]);
        run(n, len, cycles(n <= 16 ? 40 : n <= 32 ? 30 : 16));
        return 0;
    }
    const Result r16 = run(16, len, cycles(40));
    const Result r32 = run(32, len, cycles(30));
    const Result r64 = run(64, len, cycles(16));
    std::printf("summary: cycles/s(32) %.3f  step(16) %.3f ms  step(64) %.3f ms  ratio %.3f\n",
                1 / (r32.step + r32.params), 1000 * r16.step, 1000 * r64.step, r64.step / r16.step);
    return 0;
}
