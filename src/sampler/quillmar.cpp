// The run: command line, control file, log, start-up, annealing loop, end of
// run with the summary and the three result files.
#include "sampler/quillmar.h"

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
#include "sequence/util.h"

namespace {

bool same_file(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (!std::filesystem::exists(a, ec) || !std::filesystem::exists(b, ec)) return false;
    const bool same = std::filesystem::equivalent(a, b, ec);
    return !ec && same;
}

// The log is truncated before the inputs are read: it must not be one of them.
void refuse_log_on_input(const eingabe_parameter& P, const std::string& control) {
    const std::string& log = P.files.logfile;
    const struct {
        const std::string& name;
        const char* what;
    } inputs[] = {{control, "control file"},
                  {P.files.infile, "sequence file"},
                  {P.files.guidetree, "guide tree file"}};
    for (const auto& in : inputs)
        if (same_file(log, in.name))
            fatal("The logfile ", log, " is the ", in.what, "; it would be overwritten\n");
}

// Appends a finished text to a result file.
void append_result(const std::string& name, const std::string& text) {
    std::ofstream out(name, std::ios::out | std::ios::app);
    if (!out) fatal("Cannot open output file ", name, "\n");
    out << text;
    out.close();
    if (out.fail()) fatal("Cannot write output file ", name, "\n");
}

}  // namespace

int quillmar_run(int argc, char** argv) {
    if (argc != 3)
        fatal("Please invoke quillmar with the name of the control file and the type of analysis as "
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

    refuse_log_on_input(P, argv[1]);
    std::ofstream log(P.files.logfile, std::ios::out | std::ios::trunc);
    if (!log) fatal("Cannot open logfile ", P.files.logfile, "\n");

    mult_alignment* current = new mult_alignment(P, type);
    mult_alignment* best = new mult_alignment(*current);

    const std::uint32_t nni_report = annealing_loop(current, best, type, log);

    current->bericht(log);
    log << "Time: " << static_cast<long long>(std::clock() / 1000000) << "\n";
    log.close();
    if (log.fail()) fatal("Cannot write logfile ", P.files.logfile, "\n");

    std::cout << "final log likelihood (after " << current->step()
              << " steps): " << current->likelihood() << "\n";
    std::cout << "highest log likelihood: " << best->likelihood() << "\n";

    // Each result is complete before its file is opened.
    std::ostringstream ali, tree, par;
    best->print_phylip(ali);
    best->print_tree(tree);
    best->print_params(par);
    par << "likelihood = " << best->likelihood() << "\nreached after " << best->step()
        << " iterations" << "\nand " << nni_report << " NNIs\n";

    append_result(P.files.outalign, ali.str());
    append_result(P.files.outtree, tree.str());
    append_result(P.files.outparam, par.str());

    delete current;
    delete best;
    return 0;
}
