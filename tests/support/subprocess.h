// Runs code or a program in a child process and captures what it writes.
#ifndef QUILLMAR_TESTS_SUBPROCESS_H
#define QUILLMAR_TESTS_SUBPROCESS_H

#include <functional>
#include <string>
#include <vector>

struct ChildResult {
    bool exited = false;     // ended by exit or return
    int status = -1;         // exit status when exited
    int signal = 0;          // terminating signal otherwise
    bool timed_out = false;  // killed after the time limit
    std::string out;         // standard output, byte for byte
    std::string err;         // standard error, byte for byte
};

// Runs fn in a forked child; a normal return counts as exit status 0.
// The child is killed after timeout_s seconds.
ChildResult run_in_child(const std::function<void()>& fn, unsigned timeout_s = 60);

// Runs a program with arguments in the folder cwd, standard input closed.
ChildResult run_program(const std::vector<std::string>& argv, const std::string& cwd,
                        unsigned timeout_s = 300);

// A fresh empty folder under the system's temporary folder.
std::string make_temp_dir();
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);

#endif
