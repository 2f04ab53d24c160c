#include "sequence/fatal.h"

#include <unistd.h>
#include <cstdio>
#include <iostream>
#include <string>

void fatal_text(const std::string& text) {
    std::cout.flush();
    std::cerr << text;
    std::cerr.flush();
    std::fflush(nullptr);
    // Memory still owned at a fatal stop is released by the system.
    _exit(1);
}

void warn_text(const std::string& text) {
    std::cerr << text;
    std::cerr.flush();
}
