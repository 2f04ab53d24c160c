// Fatal stops and warnings: fatal and fatal_text end the process with status
// 1 after writing to standard error; warn and warn_text write to standard
// error and return.
#ifndef QUILLMAR_SEQUENCE_FATAL_H
#define QUILLMAR_SEQUENCE_FATAL_H

#include <sstream>
#include <string>

// Writes the text to standard error and ends the process with status 1.
[[noreturn]] void fatal_text(const std::string& text);

// Streams every argument to standard error (default stream formatting) and
// ends the process with status 1.
template <class... A>
[[noreturn]] void fatal(const A&... parts) {
    std::ostringstream os;
    (os << ... << parts);
    fatal_text(os.str());
}

// Streams every argument to standard error; the run goes on.
void warn_text(const std::string& text);
template <class... A>
void warn(const A&... parts) {
    std::ostringstream os;
    (os << ... << parts);
    warn_text(os.str());
}

#endif
