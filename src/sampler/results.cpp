// Log entries and result-file writers of the sampler state, and the resets of
// its step counter and of its tree's root, which the run does not use.
#include "sampler/mult_align.h"

#include <ostream>
#include <vector>

void mult_alignment::bericht(std::ostream& os) {
    os << "Step " << counter << ":\n";
    os << "log likelihood = " << loglik << "\n";
    os << "optimal delta = " << cool.delta << "\n";
    print_params(os);
    os << "tree : ";
    print_tree(os);
    os << "alignment :\n";
    print_phylip(os);
    os << "\n";
    // A fatal stop later in the run keeps the entries written so far.
    os.flush();
}

void mult_alignment::print_params(std::ostream& os) {
    std::vector<double> v;
    submodel.paramsOf(v);
    os << "substitution model: ";
    for (double x : v) os << x << " ";
    os << "\n";
    indmodel.returnparams(v);
    os << "indel model: ";
    for (double x : v) os << x << " ";
    os << "\n";
}

void mult_alignment::print_tree(std::ostream& os) { told->print(os); }

void mult_alignment::print_phylip(std::ostream& os) { malign.print_phylip(os); }

void mult_alignment::print_screen(std::ostream& os) { malign.print_screen(os); }

void mult_alignment::counterreset() {
    counter = counter < cool.reportafter ? 0 : counter - cool.reportafter;
}

void mult_alignment::toldWurz() {
    told = told->reroot();
    malign = mdataset(told, submodel.retalf());
    pattern = compact_subst_pattern(malign);
    loglik = complik(pattern, told);
    subkept = false;
}
