// Shared helpers for the model tests.
#ifndef QUILLMAR_TESTS_MODEL_HELPERS_H
#define QUILLMAR_TESTS_MODEL_HELPERS_H

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/subprocess.h"

namespace modeltest {

// Runs fn in a child and expects exit status 1 with exactly this message.
inline void expect_fatal(const std::function<void()>& fn, const std::string& msg) {
    const ChildResult r = run_in_child(fn, 30);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, msg);
}

}  // namespace modeltest

#endif
