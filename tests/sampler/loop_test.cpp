// Annealing loop schedule with scripted moves: periods, interchange passes,
// reports, best-state replacement and the two stop rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "sampler/mult_align.h"
#include "sampler_fixtures.h"

namespace {

using samplertest::link;
using samplertest::mknode;

// The scripted run: the step sets the log likelihood that the script gives
// for the new step counter; the pass records when it ran.
struct Script {
    std::function<double(std::uint32_t)> loglik;
    std::vector<std::uint32_t> passes;  // step counters at interchange passes
    std::vector<unsigned> maxedges;
    std::uint32_t steps = 0, proposals = 0;
    std::function<void(mult_alignment&)> on_pass;
};
Script* script = nullptr;

void step(mult_alignment& s) {
    ++s.counter;
    ++script->steps;
    s.loglik = script->loglik(s.counter);
}
void params(mult_alignment&) { ++script->proposals; }
bool pass(mult_alignment& s, unsigned n) {
    script->passes.push_back(s.counter);
    script->maxedges.push_back(n);
    if (script->on_pass) script->on_pass(s);
    return false;
}

// Two leaves with one matched residue: spez() is 2, so a period is 200
// still cycles, passes run while fewer than 40 periods are counted, and
// the 41st ends the run.
mult_alignment* twoleaf(std::uint32_t maxsteps, std::uint32_t burnin, std::uint32_t reportafter) {
    baum* r = mknode("R", 1, "A");
    link(r, mknode("L", 0, "A"), 1.0, "M");
    cooling c;
    c.maxsteps = maxsteps;
    c.burnin = burnin;
    c.reportafter = reportafter;
    keepfixed f;
    f.indfix = {false, false};
    return new mult_alignment(
        substmodel(NUC, JC69, std::vector<double>{0.25, 0.25, 0.25, 0.25}, std::vector<double>{}),
        indel(std::vector<double>{0.01, 0.011}, TKF1), r, f, c);
}

struct LoopRun {
    mult_alignment* current;
    mult_alignment* best;
    mult_alignment* first_best;
    std::uint32_t result;
    std::string out, log;
};

LoopRun run(Script& s, int type, std::uint32_t maxsteps, std::uint32_t burnin,
            std::uint32_t reportafter = 4000000000u, double start = -100.0) {
    script = &s;
    LoopRun r;
    r.current = twoleaf(maxsteps, burnin, reportafter);
    r.current->loglik = start;
    r.best = new mult_alignment(*r.current);
    r.first_best = r.best;
    std::ostringstream log;
    const mult_alignment::loop_moves moves{step, params, pass};
    testing::internal::CaptureStdout();
    r.result = mult_alignment::annealing_schedule(r.current, r.best, type, log, moves);
    r.out = testing::internal::GetCapturedStdout();
    r.log = log.str();
    script = nullptr;
    return r;
}

void finish(LoopRun& r) {
    delete r.current;
    delete r.best;
}

// Counters of the periods of a run whose log likelihood never moves: the
// still count before the cycle at counter k is k - 1.
std::vector<std::uint32_t> periods(std::uint32_t first, unsigned count) {
    std::vector<std::uint32_t> v;
    for (unsigned i = 0; i < count; ++i) v.push_back(first + 200 * i);
    return v;
}

}  // namespace

TEST(LoopSchedule, StillRunStopsAfter41PeriodsInEveryType) {
    for (int type : {0, 1, 2}) {
        Script s;
        s.loglik = [](std::uint32_t) { return -100.0; };
        LoopRun r = run(s, type, 4000000000u, 50);
        // Periods at 201, 401, ...; the 41st, at 8201, still has its step.
        EXPECT_EQ(r.current->step(), 8202u) << type;
        EXPECT_EQ(s.steps, 8202u) << type;
        EXPECT_EQ(s.proposals, 8202u) << type;
        if (type == 2) {
            EXPECT_EQ(s.passes, periods(201, 40));
            EXPECT_EQ(s.maxedges, std::vector<unsigned>(40, 2u));
        } else {
            EXPECT_TRUE(s.passes.empty()) << type;
        }
        // Equal scores never replace the best state.
        EXPECT_EQ(r.best, r.first_best) << type;
        EXPECT_EQ(r.best->step(), 0u) << type;
        EXPECT_EQ(r.result, 0u);
        finish(r);
    }
}

TEST(LoopSchedule, NoPeriodDuringBurnIn) {
    Script s;
    s.loglik = [](std::uint32_t) { return -100.0; };
    LoopRun r = run(s, 2, 4000000000u, 1000);
    // The first cycle with step counter >= 1000 and a still count that is
    // a multiple of 200 is at counter 1001.
    EXPECT_EQ(s.passes, periods(1001, 40));
    EXPECT_EQ(r.current->step(), 1001u + 40 * 200 + 1);
    finish(r);
}

TEST(LoopSchedule, MovesOfAtMostOneCountAsStill) {
    // Alternating by exactly 1: the first rise is a new best, later equal
    // values are not; the still count is never reset.
    Script s;
    s.loglik = [](std::uint32_t k) { return k % 2 ? -99.0 : -100.0; };
    LoopRun r = run(s, 2, 4000000000u, 0);
    EXPECT_EQ(r.best->step(), 1u);
    EXPECT_EQ(r.best->likelihood(), -99.0);
    EXPECT_EQ(s.passes, periods(201, 40));
    EXPECT_EQ(r.current->step(), 8202u);
    finish(r);
}

TEST(LoopSchedule, LargerMovesRestartTheStillCount) {
    // Moves of 1.5 until step 3000, then still: falls and rises each restart
    // the count on their own.
    const struct {
        const char* name;
        std::function<double(std::uint32_t)> loglik;
    } cases[] = {
        {"alternating", [](std::uint32_t k) { return k < 3000 ? -100.0 - 1.5 * (k % 2) : -100.0; }},
        {"falls only", [](std::uint32_t k) { return -100.0 - 1.5 * std::min(k, 3000u); }},
        {"rises only", [](std::uint32_t k) { return -100.0 + 1.5 * std::min(k, 3000u); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Script s;
        s.loglik = c.loglik;
        LoopRun r = run(s, 2, 4000000000u, 0);
        // At the cycle of counter 3000 the still count is 0; the first period
        // is 200 still cycles later.
        ASSERT_FALSE(s.passes.empty());
        EXPECT_EQ(s.passes.front(), 3201u);
        EXPECT_EQ(r.current->step(), 3201u + 40 * 200 + 1);
        finish(r);
    }
}

TEST(LoopSchedule, NewBestResetsThePeriodCount) {
    // Still at -100, a new best of -99.5 at step 5000 (a move within 1, so
    // the still count goes on), still again.
    Script s;
    s.loglik = [](std::uint32_t k) { return k >= 5000 ? -99.5 : -100.0; };
    LoopRun r = run(s, 2, 4000000000u, 0);
    EXPECT_EQ(r.best->step(), 5000u);
    EXPECT_EQ(r.best->likelihood(), -99.5);
    EXPECT_EQ(r.result, 0u);
    // 24 periods before step 5000 (201 ... 4801), then 41 more from 5001.
    EXPECT_EQ(s.passes.size(), 24u + 40u);
    EXPECT_EQ(s.passes[24], 5001u);
    EXPECT_EQ(r.current->step(), 5001u + 40 * 200 + 1);
    finish(r);
}

TEST(LoopSchedule, LikelihoodAfterAPassIsTheOneCompared) {
    // A pass that lowers the log likelihood by 5 restarts the still count.
    Script s;
    s.loglik = [](std::uint32_t) { return -100.0; };
    s.on_pass = [](mult_alignment& m) { m.loglik -= 5.0; };
    LoopRun r = run(s, 2, 30000, 0);
    // The cycle of the pass at 201 sees a move of 5, the next one the move
    // back: the still count starts again from the cycle at 202.
    ASSERT_GE(s.passes.size(), 2u);
    EXPECT_EQ(s.passes[0], 201u);
    EXPECT_EQ(s.passes[1], 403u);
    EXPECT_EQ(s.passes[2], 605u);
    finish(r);
}

TEST(LoopSchedule, StepLimitAndReports) {
    struct Case {
        std::uint32_t maxsteps, reportafter;
        std::vector<std::uint32_t> reported;
    } cases[] = {
        {10, 3, {0, 3, 6, 9}}, {10, 5, {0, 5}}, {1, 1000, {0}}, {4, 1, {0, 1, 2, 3}}, {0, 7, {}},
    };
    for (const Case& c : cases) {
        Script s;
        s.loglik = [](std::uint32_t k) { return -100.0 - k; };
        LoopRun r = run(s, 2, c.maxsteps, 0, c.reportafter);
        EXPECT_EQ(r.current->step(), c.maxsteps);
        std::string out, steps;
        for (std::uint32_t k : c.reported) {
            out += "log likelihood after " + std::to_string(k) +
                   " steps: " + std::to_string(-100 - static_cast<int>(k)) + "\n";
            steps += "Step " + std::to_string(k) + ":\n";
        }
        EXPECT_EQ(r.out, out) << c.maxsteps << " " << c.reportafter;
        std::string logsteps;
        std::istringstream in(r.log);
        for (std::string line; std::getline(in, line);)
            if (line.rfind("Step ", 0) == 0) logsteps += line + "\n";
        EXPECT_EQ(logsteps, steps);
        // Worse and worse: the start state stays the best.
        EXPECT_EQ(r.best, r.first_best);
        finish(r);
    }
}

TEST(LoopSchedule, StrictImprovementsCopyTheCurrentState) {
    Script s;
    s.loglik = [](std::uint32_t k) { return k <= 6 ? -100.0 + k : -95.0; };
    LoopRun r = run(s, 2, 9, 0);
    EXPECT_NE(r.best, r.current);
    EXPECT_EQ(r.best->step(), 6u);
    EXPECT_EQ(r.best->likelihood(), -94.0);
    EXPECT_NE(r.best->told, r.current->told);
    EXPECT_EQ(r.result, 0u);
    finish(r);
}

TEST(LoopSchedule, OwnedSlotsKeepTheReplacedBestState) {
    // The program's owners lend their slots to the loop, which replaces the
    // best state six times; each owner frees what its slot holds at the end
    // (the sanitizer build checks that no state leaks or is freed twice).
    Script s;
    s.loglik = [](std::uint32_t k) { return k <= 6 ? -100.0 + k : -95.0; };
    script = &s;
    owned_slot<mult_alignment> current(twoleaf(9, 0, 4000000000u));
    current->loglik = -100.0;
    owned_slot<mult_alignment> best(new mult_alignment(*current));
    std::ostringstream log;
    const mult_alignment::loop_moves moves{step, params, pass};
    testing::internal::CaptureStdout();
    mult_alignment::annealing_schedule(current.slot(), best.slot(), 2, log, moves);
    testing::internal::GetCapturedStdout();
    script = nullptr;
    EXPECT_EQ(best.get(), best.slot());
    EXPECT_EQ(best->step(), 6u);
    EXPECT_EQ(best->likelihood(), -94.0);
    EXPECT_EQ(current->step(), 9u);
}
