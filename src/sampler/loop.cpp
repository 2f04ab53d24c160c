// The annealing loop: periods of still cycles, interchange passes, reports,
// the best state and the two stop rules.
#include "sampler/mult_align.h"

#include <cfloat>
#include <iostream>
#include <utility>

namespace {

void step_move(mult_alignment& s) { s.maunewton(); }
void params_move(mult_alignment& s) { s.sampparams(); }
bool nni_move(mult_alignment& s, unsigned n) { return s.nearestneighbor(n); }

}  // namespace

std::uint32_t mult_alignment::annealing_schedule(mult_alignment*& current, mult_alignment*& best,
                                                 int type, std::ostream& log,
                                                 const loop_moves& moves) {
    double prevL = -DBL_MAX;
    std::uint32_t stale = 0;
    std::uint32_t nobetter = 0;
    std::uint32_t nni_report = 0;
    for (;;) {
        if (!current->inrange()) break;
        const std::uint32_t n = current->spez();
        if (nobetter >= 20 * n + 1) break;
        if (stale != 0 && stale % (100 * n) == 0 && !current->burnin()) {
            if (nobetter < 20 * n && type == 2) moves.nni(*current, n);
            ++nobetter;
        }
        const double L = current->likelihood();
        if (L - 1 > prevL || prevL > L + 1) stale = 0;
        else ++stale;
        if (current->report()) {
            current->bericht(log);
            // Flushed: in a batch job standard output is block-buffered.
            std::cout << "log likelihood after " << current->step()
                      << " steps: " << current->likelihood() << std::endl;
        }
        prevL = current->likelihood();
        moves.step(*current);
        moves.params(*current);
        if (current->likelihood() > best->likelihood()) {
            nobetter = 0;
            // The old best state goes before the copy is made; the slot is
            // empty, not dangling, in between.
            delete std::exchange(best, nullptr);
            best = new mult_alignment(*current);
            // The count the parameter file reports: nobetter as just reset.
            if (type == 2) nni_report = nobetter;
        }
    }
    return nni_report;
}

std::uint32_t annealing_loop(mult_alignment*& current, mult_alignment*& best, int type,
                             std::ostream& log) {
    const mult_alignment::loop_moves moves{step_move, params_move, nni_move};
    return mult_alignment::annealing_schedule(current, best, type, log, moves);
}
