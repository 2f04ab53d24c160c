// Times the start-up of analysis type 1 (pairwise EM distances in two
// passes, then the rest of the construction) on simulated data sets and
// prints the seconds per pairwise estimate with a checksum of the start-up
// output, the distances written to 17 digits; equal checksums of two builds
// mean equal distances. Then the forward fill and the 200 sampled walks of
// one EM iteration on a pair of 300 nucleotides.
// Times are processor times of this process, which a busy machine disturbs
// less than wall-clock times.
// Options: -v prints the start-up output, -q runs the first data set only,
// "-set KIND N LEN [P]" (KIND dna or protein) runs only that data set and
// adds the CPU seconds per estimate of the distance passes alone (from the
// first start-up line to "Building the initial NJ tree") and those of the
// rest; P is the substitution probability per simulated branch (0.06; the
// indel probability is P/15), larger for more distant sequences.
#include <unistd.h>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "sampler/mult_align.h"
#include "sequence/random.h"
#include "simdata.h"

namespace {

double since(std::clock_t t0) { return static_cast<double>(std::clock() - t0) / CLOCKS_PER_SEC; }

// Output sink that notes the CPU time at each flush (every start-up line
// ends with std::endl) with the length of the text written so far.
class timed_sink : public std::stringbuf {
public:
    std::vector<std::pair<std::size_t, std::clock_t>> marks;

protected:
    int sync() override {
        marks.emplace_back(str().size(), std::clock());
        return 0;
    }
};

// CPU seconds between the flush of the line that starts with from and the
// flush of the line that starts with to; -1 when one is missing.
double between(const timed_sink& sink, const std::string& from, const std::string& to) {
    const std::string text = sink.str();
    auto flushed = [&](const std::string& head) -> const std::clock_t* {
        const std::size_t at = text.find(head);
        if (at == std::string::npos) return nullptr;
        const std::size_t end = text.find('\n', at);
        for (const auto& m : sink.marks)
            if (m.first > end) return &m.second;
        return nullptr;
    };
    const std::clock_t* a = flushed(from);
    const std::clock_t* b = flushed(to);
    if (a == nullptr || b == nullptr) return -1.0;
    return static_cast<double>(*b - *a) / CLOCKS_PER_SEC;
}

std::string scratch_dir() {
    const auto dir =
        std::filesystem::temp_directory_path() / ("quillmar_startup_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    return dir.string();
}

void startup(const char* kind, bool protein, int n, int len, bool verbose, bool parts = false,
             double p = 0.06) {
    const std::string dir = scratch_dir();
    const std::vector<std::string> seqs =
        simulate(2000u * n + len + (protein ? 7 : 0), n, len, alphabet(protein), p, p / 15);
    const eingabe_parameter P = write_data_set(dir, seqs, protein);

    seedrandom(4711u);
    std::streambuf* keep = std::cout.rdbuf();
    const std::streamsize prec = std::cout.precision(17);
    timed_sink sink;
    std::cout.rdbuf(&sink);
    const auto t0 = std::clock();
    sink.marks.emplace_back(0, t0);
    mult_alignment s(P, 1);
    const double sec = since(t0);
    std::cout.rdbuf(keep);
    std::cout.precision(prec);
    std::filesystem::remove_all(dir);

    const int estimates = n * (n - 1);  // two passes over the pairs
    std::printf("%-8s %3d %4d %8.2f %10.4f  %016llx %.17g", kind, n, len, sec, sec / estimates,
                static_cast<unsigned long long>(fnv1a(sink.str())), s.likelihood());
    if (parts) {
        // The first start-up line is flushed before the first estimate.
        const double em = between(sink, "Computing pairwise", "Building the initial NJ tree");
        std::printf("  EM s/estimate %.4f  rest s %.3f", em / estimates, sec - em);
    }
    std::printf("\n");
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
    const char* set_kind = nullptr;
    int set_n = 0, set_len = 0;
    double set_p = 0.06;
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "-v") == 0) verbose = true;
        else if (std::strcmp(argv[k], "-q") == 0) quick = true;
        else if (std::strcmp(argv[k], "-set") == 0 && k + 3 < argc) {
            set_kind = argv[k + 1];
            set_n = std::atoi(argv[k + 2]);
            set_len = std::atoi(argv[k + 3]);
            k += 3;
            if (k + 1 < argc && argv[k + 1][0] != '-') set_p = std::atof(argv[++k]);
        }
    }
    if (set_kind != nullptr) {
        const bool protein = std::strcmp(set_kind, "protein") == 0;
        std::printf("%-8s %3s %4s %8s %10s  %-16s %s\n", "data", "n", "len", "start[s]",
                    "s/estimate", "checksum", "start lnL");
        startup(protein ? "protein" : "dna", protein, set_n, set_len, verbose, true, set_p);
        return 0;
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
