// The one expectation on fatal stops: exit status 1, exactly the given text
// on standard error, nothing on standard output.
#ifndef QUILLMAR_TESTS_SUPPORT_FATAL_H
#define QUILLMAR_TESTS_SUPPORT_FATAL_H

#include "support/subprocess.h"

#include <gtest/gtest.h>
#include <string>

// The child must have ended with exit status 1, having written exactly err
// to standard error and nothing to standard output.
inline ::testing::AssertionResult fatal_with(const ChildResult& r, const std::string& err) {
    if (r.timed_out) return ::testing::AssertionFailure() << "child killed after the time limit";
    if (!r.exited) return ::testing::AssertionFailure() << "child did not exit (signal " << r.signal << ")";
    if (r.status != 1) return ::testing::AssertionFailure() << "exit status " << r.status << ", stderr: " << r.err;
    if (r.err != err)
        return ::testing::AssertionFailure() << "stderr is\n[" << r.err << "]\nexpected\n[" << err << "]";
    if (!r.out.empty()) return ::testing::AssertionFailure() << "stdout not empty: " << r.out;
    return ::testing::AssertionSuccess();
}

// Seconds a statement expected to stop may run before it counts as hung.
constexpr unsigned fatal_time_limit = 60;

// The statement, run in a child process, ends the process with exit status 1
// and exactly this message.
#define EXPECT_FATAL(statement, text) \
    EXPECT_TRUE(fatal_with(run_in_child([&] { statement; }, fatal_time_limit), (text)))

#endif
