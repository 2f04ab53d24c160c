// The run: command line, control file, log, start-up, annealing loop, end of
// run with the summary and the three result files.
#include "sampler/quillmar.h"

#include <cstdint>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "control/eingabe.h"
#include "sampler/mult_align.h"
#include "sequence/fatal.h"
#include "sequence/outfile.h"
#include "sequence/random.h"

namespace {

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

}  // namespace

int quillmar_run(int argc, char** argv) {
    if (!hold_standard_streams()) fatal("Cannot fill a closed standard stream\n");
    writes_fail_instead_of_signals();
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
    std::ofstream log(P.files.logfile, std::ios::out | std::ios::trunc);
    if (!log) fatal("Cannot open logfile ", P.files.logfile, "\n");
    // A run bound to stop for an input it cannot open leaves no seed line;
    // the fault itself is reported where the input is read.
    if (readable(P.files.infile) && readable(P.files.guidetree) && !append_seed())
        warn("WARNING: Cannot write the seed file ", seed_file, "; the seed of this run is ",
             last_seed(), "\n");

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
