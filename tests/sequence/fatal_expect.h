// Expectations on fatal stops, run in a child process.
#ifndef QUILLMAR_TESTS_SEQUENCE_FATAL_EXPECT_H
#define QUILLMAR_TESTS_SEQUENCE_FATAL_EXPECT_H

#include "support/subprocess.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

// The child must end with exit status 1, having written exactly err to
// standard error and nothing to standard output.
inline ::testing::AssertionResult fatal_with(const ChildResult& r, const std::string& err) {
    if (!r.exited) return ::testing::AssertionFailure() << "child did not exit (signal " << r.signal << ")";
    if (r.status != 1) return ::testing::AssertionFailure() << "exit status " << r.status << ", stderr: " << r.err;
    if (r.err != err)
        return ::testing::AssertionFailure() << "stderr is\n[" << r.err << "]\nexpected\n[" << err << "]";
    if (!r.out.empty()) return ::testing::AssertionFailure() << "stdout not empty: " << r.out;
    return ::testing::AssertionSuccess();
}

#define EXPECT_FATAL(statement, text) EXPECT_TRUE(fatal_with(run_in_child([&] { statement; }), (text)))

inline std::vector<char> chars(const std::string& s) { return std::vector<char>(s.begin(), s.end()); }

#endif
