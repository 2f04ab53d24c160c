// Times the start-up of analysis type 1 (pairwise EM distances in two
// passes, then the rest of the construction) on simulated data sets and
// prints the seconds per pairwise estimate with a checksum of the start-up
// output, the distances written to 17 digits; equal checksums of two builds
// mean equal distances. Then the forward fill and the 200 sampled walks of
// one EM iteration on a pair of 300 nucleotides.
// Times are processor times of this process, which a busy machine disturbs
// less than wall-clock times.
// Options: -v prints the start-up output, -q runs the first data set only.
#include <ctime>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>
#include <unistd.h>

#include "sampler/mult_align.h"
#include "sequence/random.h"
#include "simdata.h"

namespace {

double since(std::clock_t t0) { return static_cast<double>(std::clock() - t0) / CLOCKS_PER_SEC; }

std::string scratch_dir() {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("quillmar_startup_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    return dir.string();
}

void startup(const char* kind, bool protein, int n, int len, bool verbose) {
    const std::string dir = scratch_dir();
    const std::vector<std::string> seqs =
        simulate(2000u * n + len + (protein ? 7 : 0), n, len, alphabet(protein));
    const eingabe_parameter P = write_data_set(dir, seqs, protein);

    seedrandom(4711u);
    std::streambuf* keep = std::cout.rdbuf();
    const std::streamsize prec = std::cout.precision(17);
    std::ostringstream sink;
    std::cout.rdbuf(sink.rdbuf());
    const auto t0 = std::clock();
    mult_alignment s(P, 1);
    const double sec = since(t0);
    std::cout.rdbuf(keep);
    std::cout.precision(prec);
    std::filesystem::remove_all(dir);

    const int estimates = n * (n - 1);  // two passes over the pairs
    std::printf("%-8s %3d %4d %8.2f %10.4f  %016llx %.17g\n", kind, n, len, sec, sec / estimates,
                static_cast<unsigned long long>(fnv1a(sink.str())), s.likelihood());
    if (verbose) std::fputs(sink.str().c_str(), stdout);
    std::fflush(stdout);
}

// Forward fill alone and whole E-steps (fill and 200 walks).
void estep() {
    const std::vector<std::string> seqs = simulate(77u, 2, 300, alphabet(false));
    const bioseq a(std::vector<char>(seqs[0].begin(), seqs[0].end()), 4);
    const bioseq b(std::vector<char>(seqs[1].begin(), seqs[1].end()), 4);
    const substmodel sm(NUC, HKY, std::vector<double>(4, 0.25), std::vector<double>{2.0});
    const indel im(eingabe_parameter().indelp.params, TKF1);
    alignment al(a, b, 0.15, sm, im);
    // Fastest of several batches, fills and E-steps taking turns.
    double check = 0.0, fill = 1e9, step = 1e9;
    seedrandom(99u);
    for (int batch = 0; batch < 8; ++batch) {
        const int reps = 5;
        auto t0 = std::clock();
        for (int r = 0; r < reps; ++r) {
            align_graph g(al, -1, -1, a.laen(), b.laen());
            check += g.mat(a.laen() - 1, b.laen() - 1);
        }
        fill = std::min(fill, since(t0) / reps);
        t0 = std::clock();
        for (int r = 0; r < reps; ++r) {
            al.sample_paths();
            for (const auto& row : al.transcounts)
                for (double v : row) check += v;
        }
        step = std::min(step, since(t0) / reps);
    }
    std::printf("E-step %d x %d: fill %.3f ms, 200 walks %.3f ms, total %.3f ms  (%.17g)\n",
                a.laen(), b.laen(), 1000 * fill, 1000 * (step - fill), 1000 * step, check);
}

}  // namespace

int main(int argc, char** argv) {
    bool verbose = false, quick = false;
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "-v") == 0) verbose = true;
        else if (std::strcmp(argv[k], "-q") == 0) quick = true;
    }
    std::printf("%-8s %3s %4s %8s %10s  %-16s %s\n", "data", "n", "len", "start[s]", "s/estimate",
                "checksum", "start lnL");
    startup("dna", false, 8, 300, verbose);
    if (!quick) {
        startup("dna", false, 12, 300, verbose);
        startup("protein", true, 8, 200, verbose);
    }
    estep();
    return 0;
}
