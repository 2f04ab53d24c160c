// The one expectation on fatal stops: exit status 1, exactly the given text
// on standard error, nothing on standard output.
#ifndef QUILLMAR_TESTS_SUPPORT_FATAL_H
#define QUILLMAR_TESTS_SUPPORT_FATAL_H

#include "support/subprocess.h"

#include <gtest/gtest.h>
#include <functional>
#include <string>

// The child must have ended with exit status 1, having written exactly err
// to standard error; what it wrote to standard output is left to the caller
// (a whole run that prints its progress before it stops).
inline ::testing::AssertionResult fatal_with_output(const ChildResult& r, const std::string& err) {
    if (r.timed_out) return ::testing::AssertionFailure() << "child killed after the time limit";
    if (!r.exited)
        return ::testing::AssertionFailure() << "child did not exit (signal " << r.signal << ")";
    if (r.status != 1)
        return ::testing::AssertionFailure() << "exit status " << r.status << ", stderr: " << r.err;
    if (r.err != err)
        return ::testing::AssertionFailure()
               << "stderr is\n[" << r.err << "]\nexpected\n[" << err << "]";
    return ::testing::AssertionSuccess();
}

// The child must have ended with exit status 1, having written exactly err
// to standard error and nothing to standard output.
inline ::testing::AssertionResult fatal_with(const ChildResult& r, const std::string& err) {
    ::testing::AssertionResult stop = fatal_with_output(r, err);
    if (!stop) return stop;
    if (!r.out.empty()) return ::testing::AssertionFailure() << "stdout not empty: " << r.out;
    return ::testing::AssertionSuccess();
}

// Seconds a statement expected to stop may run before it counts as hung.
constexpr unsigned fatal_time_limit = 60;

// fn, run in a child process, ends it with exit status 1 and exactly this
// message, within the time limit.
inline ::testing::AssertionResult ends_fatally(const std::function<void()>& fn,
                                               const std::string& err) {
    return fatal_with(run_in_child(fn, fatal_time_limit), err);
}

// The statement, run in a child process, ends the process with exit status 1
// and exactly this message. A statement with commas outside parentheses
// goes to ends_fatally in a lambda instead.
#define EXPECT_FATAL(statement, text) EXPECT_TRUE(ends_fatally([&] { statement; }, (text)))

#endif
