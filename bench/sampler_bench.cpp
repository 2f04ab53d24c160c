// Runs the sampler with a fixed seed on simulated data sets of 8, 16 and 32
// sequences of 200 and 500 residues (nucleotides under HKY, amino acids
// under JTT, TKF1 indels; analysis type 0 from a star guide tree) and prints
// steps per second, the peak memory and where the time of a cycle goes.
// With "one KIND N LEN CYCLES" (KIND dna or protein) it runs that one data
// set and prints cycles per second and a checksum of the final state.
// Times are wall-clock times; a last argument "cpu" makes them CPU times of
// the process, which other programs on the machine disturb less.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "control/eingabe.h"
#include "sampler/mult_align.h"
#include "sequence/random.h"
#include "simdata.h"

namespace {

bool cpu_clock = false;  // CPU time of the process instead of wall-clock time

// The time in s on the chosen clock.
double now() {
    if (!cpu_clock)
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double since(double t0) { return now() - t0; }

// Peak resident memory of the process in kB.
long peak_kb() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

struct Timing {
    double startup = 0, step = 0, params = 0;
    double copy = 0, sweep = 0, leafali = 0, lik = 0;
};

// The fixed-seed start state of a simulated data set; the seed of the
// sampler's draws is set before it is built.
mult_alignment* start(bool protein, int n, int len, int steps, double& startup) {
    const std::vector<std::string> seqs =
        simulate(1000u * n + len + (protein ? 7 : 0), n, len, alphabet(protein));
    const std::string dir = (std::filesystem::temp_directory_path() / "quillmar_bench").string();
    std::filesystem::create_directories(dir);
    eingabe_parameter P = write_data_set(dir, seqs, protein);
    P.cool.burnin = static_cast<std::uint32_t>(steps / 2);  // half burn-in, half annealing

    seedrandom(4711u);
    std::streambuf* keep = std::cout.rdbuf();
    std::ostringstream sink;
    std::cout.rdbuf(sink.rdbuf());  // start-up progress lines
    const auto t0 = now();
    mult_alignment* s = new mult_alignment(P, 0);
    startup = since(t0);
    std::cout.rdbuf(keep);
    std::filesystem::remove_all(dir);
    return s;
}

// FNV-1a of the state's log entry (parameters, tree, alignment).
std::uint64_t state_hash(mult_alignment& s) {
    std::ostringstream os;
    os.precision(17);
    s.bericht(os);
    return fnv1a(os.str());
}

// Cycles per second of one data set, with the final log likelihood and
// the hash of the final state.
void one(bool protein, int n, int len, int steps) {
    double startup = 0;
    mult_alignment* s = start(protein, n, len, steps, startup);
    const auto t0 = now();
    for (int k = 0; k < steps; ++k) {
        s->maunewton();
        s->sampparams();
    }
    const double secs = since(t0);
    std::printf("%s %d %d cycles %d  cycles/s %.3f  lnL %.17g  hash %016llx\n",
                protein ? "protein" : "dna", n, len, steps, steps / secs, s->likelihood(),
                static_cast<unsigned long long>(state_hash(*s)));
    delete s;
}

void run(const char* kind, bool protein, int n, int len, int steps) {
    Timing t;
    std::unique_ptr<mult_alignment> state(start(protein, n, len, steps, t.startup));
    mult_alignment& s = *state;
    double t0;
    for (int k = 0; k < steps; ++k) {
        t0 = now();
        s.maunewton();
        t.step += since(t0);
        t0 = now();
        s.sampparams();
        t.params += since(t0);
    }
    // Parts of a step, measured on the final state.
    const int reps = 3;
    for (int r = 0; r < reps; ++r) {
        t0 = now();
        s.ausaltmachneu();
        t.copy += since(t0) / reps;
        t0 = now();
        s.uphill(s.tnew);
        t.sweep += since(t0) / reps;
        t0 = now();
        mdataset m(s.tnew, s.submodel.retalf());
        compact_subst_pattern pat(m);
        t.leafali += since(t0) / reps;
        t0 = now();
        volatile double L = s.complik(pat, s.tnew);
        (void)L;
        t.lik += since(t0) / reps;
    }
    const double cycle = (t.step + t.params) / steps;
    std::printf("%-8s %3d %4d %6.2f %9.1f %9.1f %7.1f %7.1f %7.1f %7.1f %7.1f %9ld %12.6f\n", kind,
                n, len, t.startup, steps / (t.step + t.params), 1000 * cycle, 1000 * t.copy,
                1000 * t.sweep, 1000 * t.leafali, 1000 * t.lik, 1000 * t.params / steps, peak_kb(),
                s.likelihood());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[argc - 1], "cpu") == 0) {
        cpu_clock = true;
        --argc;
    }
    if (argc == 6 && std::strcmp(argv[1], "one") == 0) {
        one(std::strcmp(argv[2], "protein") == 0, std::atoi(argv[3]), std::atoi(argv[4]),
            std::atoi(argv[5]));
        return 0;
    }
    // An optional factor on the number of steps per data set.
    const double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
    std::printf("%-8s %3s %4s %6s %9s %9s %7s %7s %7s %7s %7s %9s %12s\n", "data", "n", "len",
                "start", "steps/s", "cycle ms", "copy", "sweep", "leafali", "lik", "param",
                "peak kB", "final lnL");
    std::printf("%-8s %3s %4s %6s %9s %9s %7s %7s %7s %7s %7s\n", "", "", "", "[s]", "", "", "[ms]",
                "[ms]", "[ms]", "[ms]", "[ms]");
    for (bool protein : {false, true})
        for (int len : {200, 500})
            for (int n : {8, 16, 32}) {
                const int steps = static_cast<int>(scale * (n == 8 ? 40 : n == 16 ? 20 : 10));
                run(protein ? "protein" : "dna", protein, n, len, steps < 1 ? 1 : steps);
            }
    return 0;
}
