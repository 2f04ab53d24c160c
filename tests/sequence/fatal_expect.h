// Helpers of the sequence tests.
#ifndef QUILLMAR_TESTS_SEQUENCE_FATAL_EXPECT_H
#define QUILLMAR_TESTS_SEQUENCE_FATAL_EXPECT_H

#include "support/fatal.h"

#include <string>
#include <vector>

inline std::vector<char> chars(const std::string& s) {
    return std::vector<char>(s.begin(), s.end());
}

#endif
