// chars: the bytes of a string as a vector of char, as data sets and
// sequences take them.
#ifndef QUILLMAR_TESTS_SUPPORT_CHARS_H
#define QUILLMAR_TESTS_SUPPORT_CHARS_H

#include <string>
#include <vector>

inline std::vector<char> chars(const std::string& s) {
    return std::vector<char>(s.begin(), s.end());
}

#endif
