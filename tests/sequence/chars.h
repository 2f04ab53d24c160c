// chars: the bytes of a string as a vector of char, for the sequence tests.
#ifndef QUILLMAR_TESTS_SEQUENCE_CHARS_H
#define QUILLMAR_TESTS_SEQUENCE_CHARS_H

#include <string>
#include <vector>

inline std::vector<char> chars(const std::string& s) {
    return std::vector<char>(s.begin(), s.end());
}

#endif
