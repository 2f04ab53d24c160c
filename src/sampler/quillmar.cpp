// The run: command line, control file, log, start-up, annealing loop, end of
// run with the summary and the three result files.
#include "sampler/quillmar.h"

#include <unistd.h>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <system_error>

#include "control/eingabe.h"
#include "sampler/mult_align.h"
#include "sequence/random.h"
#include "sequence/util.h"

namespace {

namespace fs = std::filesystem;

// Links followed before a name counts as a loop, as the system does.
constexpr int max_link_hops = 40;

// The name made absolute, with every folder on the way resolved; a file need
// not exist for this.
fs::path normal_path(const fs::path& name) {
    std::error_code ec;
    const fs::path abs = fs::absolute(name, ec);
    if (ec) return name.lexically_normal();
    const fs::path normal = fs::weakly_canonical(abs, ec);
    return ec ? abs.lexically_normal() : normal;
}

// What a name leads to, as opening it would find it: a regular file,
// nothing yet (the run would create a regular file), or anything else (a
// device, a FIFO, a folder, a loop of links), which two names cannot share
// as one file.
enum class kind { regular, absent, other };

kind kind_of(const std::string& name) {
    std::error_code ec;
    const fs::file_status st = fs::status(name, ec);
    if (st.type() == fs::file_type::not_found) return kind::absent;
    if (ec) return kind::other;
    return fs::is_regular_file(st) ? kind::regular : kind::other;
}

// Where the file of a name that leads to nothing would be created: links
// followed, each relative target taken from its link's folder. False for a
// chain of links too long to follow.
bool creation_path(const std::string& name, fs::path& out) {
    fs::path p = normal_path(name);
    for (int hops = 0;; ++hops) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(p, ec))) break;
        if (hops == max_link_hops) return false;
        const fs::path target = fs::read_symlink(p, ec);
        if (ec) return false;
        p = normal_path(target.is_absolute() ? target : p.parent_path() / target);
    }
    out = p;
    return true;
}

// Two names of one regular file: the same existing file, or the same place
// where a file is yet to be created. Devices such as /dev/null may be named
// any number of times.
bool same_file(const std::string& a, const std::string& b) {
    const kind ka = kind_of(a), kb = kind_of(b);
    if (ka != kb || ka == kind::other) return false;
    std::error_code ec;
    if (ka == kind::regular) return fs::equivalent(a, b, ec) && !ec;
    fs::path pa, pb;
    return creation_path(a, pa) && creation_path(b, pb) && pa == pb;
}

struct named_file {
    const std::string& name;
    const char* what;
    const char* harm;  // what writing it would do to an input
};

// The seed file is appended to and the log is truncated before the inputs
// are read, and the results are appended at the end: no file the run writes
// may be an input or another file the run writes.
void refuse_shared_names(const eingabe_parameter& P, const std::string& control) {
    const std::string seed(seed_file);
    const named_file inputs[] = {{control, "control file", ""},
                                 {P.files.infile, "sequence file", ""},
                                 {P.files.guidetree, "guide tree file", ""}};
    const char* const appended = "; the results would be appended to it\n";
    const named_file outputs[] = {{seed, "seed file", "; the seed would be appended to it\n"},
                                  {P.files.logfile, "logfile", "; it would be overwritten\n"},
                                  {P.files.outalign, "alignment file", appended},
                                  {P.files.outtree, "tree file", appended},
                                  {P.files.outparam, "parameter file", appended}};
    const std::size_t count = sizeof outputs / sizeof outputs[0];
    for (std::size_t k = 0; k < count; ++k) {
        const named_file& out = outputs[k];
        for (const auto& in : inputs)
            if (same_file(out.name, in.name))
                fatal("The ", out.what, " ", out.name, " is the ", in.what, out.harm);
        for (std::size_t j = 0; j < k; ++j)
            if (same_file(out.name, outputs[j].name))
                fatal("The ", out.what, " ", out.name, " is the ", outputs[j].what,
                      "; both would be written into one file\n");
    }
}

// Whether a result file can be opened for appending; nothing is created or
// changed, and only a regular file is opened (a FIFO is opened once, at the
// end).
bool appendable(const std::string& name) {
    if (!fs::path(name).has_filename()) return false;
    std::error_code ec;
    switch (kind_of(name)) {
    case kind::regular: {
        std::ofstream out(name, std::ios::out | std::ios::app);
        return static_cast<bool>(out);
    }
    case kind::other: {
        const fs::file_status st = fs::status(name, ec);
        return !ec && !fs::is_directory(st) && access(name.c_str(), W_OK) == 0;
    }
    case kind::absent: break;
    }
    fs::path target;
    if (!creation_path(name, target)) return false;
    const fs::path dir = target.parent_path();
    return fs::is_directory(dir, ec) && access(dir.c_str(), W_OK | X_OK) == 0;
}

// Appends a finished text to a result file; returns the message of a
// failure, empty on success. The file never holds part of a record.
std::string append_result(const std::string& name, const std::string& text) {
    switch (append_whole(name, text)) {
    case append_outcome::written: return "";
    case append_outcome::not_opened: return "Cannot open output file " + name + "\n";
    case append_outcome::not_written: break;
    }
    return "Cannot write output file " + name + "\n";
}

}  // namespace

int quillmar_run(int argc, char** argv) {
    if (argc != 3)
        fatal(
            "Please invoke quillmar with the name of the control file and the type of analysis as "
            "arguments.\n");

    eingabe_parameter P;
    P.from_file(argv[1]);

    int type = 0;
    switch (argv[2][0]) {
    case '0': type = 0; break;
    case '1': type = 1; break;
    case '2': type = 2; break;
    default: fatal("unknown option ", argv[2][0], "\n");
    }

    refuse_shared_names(P, argv[1]);
    // A result file that cannot be opened is found before the run, not after,
    // and before anything is written.
    for (const std::string* name : {&P.files.outalign, &P.files.outtree, &P.files.outparam})
        if (!appendable(*name)) fatal("Cannot open output file ", *name, "\n");
    if (!append_seed())
        warn("WARNING: Cannot write the seed file ", seed_file, "; the seed of this run is ",
             last_seed(), "\n");
    std::ofstream log(P.files.logfile, std::ios::out | std::ios::trunc);
    if (!log) fatal("Cannot open logfile ", P.files.logfile, "\n");

    // Declared first, so the best state is destroyed after the current one.
    owned_slot<mult_alignment> best(nullptr);
    owned_slot<mult_alignment> current(new mult_alignment(P, type));
    best.slot() = new mult_alignment(*current);

    const std::uint32_t nni_report = annealing_loop(current.slot(), best.slot(), type, log);

    current->bericht(log);
    log << "Time: " << static_cast<long long>(std::clock() / 1000000) << "\n";
    log.close();
    // A failed log does not discard the results: they are written first.
    std::string failures;
    if (log.fail()) failures += "Cannot write logfile " + P.files.logfile + "\n";

    std::cout << "final log likelihood (after " << current->step()
              << " steps): " << current->likelihood() << std::endl;
    std::cout << "highest log likelihood: " << best->likelihood() << std::endl;

    // Each result is complete before its file is opened, and a file that
    // fails does not keep the others from being written.
    std::ostringstream ali, tree, par;
    best->print_phylip(ali);
    best->print_tree(tree);
    best->print_params(par);
    par << "likelihood = " << best->likelihood() << "\nreached after " << best->step()
        << " iterations"
        << "\nand " << nni_report << " NNIs\n";

    failures += append_result(P.files.outalign, ali.str());
    failures += append_result(P.files.outtree, tree.str());
    failures += append_result(P.files.outparam, par.str());
    if (!failures.empty()) fatal(failures);
    return 0;
}
