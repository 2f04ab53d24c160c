// Control files written to a scratch folder and read in process or in a
// child process.
#ifndef QUILLMAR_TESTS_CONTROL_FILES_H
#define QUILLMAR_TESTS_CONTROL_FILES_H

#include "control/eingabe.h"

#include "support/fatal.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>

class ControlFile : public ::testing::Test {
protected:
    std::string dir = make_temp_dir();
    int count = 0;

    ~ControlFile() override { std::filesystem::remove_all(dir); }

    std::string write(const std::string& text) {
        std::string path = dir + "/control" + std::to_string(++count);
        write_file(path, text);
        return path;
    }

    // Reads the file in this process, standard error silenced.
    eingabe_parameter read(const std::string& text) {
        std::string path = write(text);
        std::cerr.flush();
        std::fflush(stderr);
        int saved = dup(2);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 2);
        close(devnull);
        eingabe_parameter p;
        p.from_file(path.c_str());
        std::cerr.flush();
        std::fflush(stderr);
        dup2(saved, 2);
        close(saved);
        return p;
    }

    static ChildResult read_path_in_child(const std::string& path) {
        return run_in_child(
            [path] {
                eingabe_parameter p;
                p.from_file(path.c_str());
            },
            fatal_time_limit);
    }

    ChildResult read_in_child(const std::string& text) { return read_path_in_child(write(text)); }

    // The read ends the run with exactly this message.
    void expect_fatal(const std::string& text, const std::string& err) {
        EXPECT_TRUE(fatal_with(read_in_child(text), err));
    }

    // The read completes; standard error holds exactly these warnings.
    bool expect_read(const std::string& text, const std::string& err) {
        ChildResult r = read_in_child(text);
        EXPECT_FALSE(r.timed_out);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, err);
        return r.exited && r.status == 0;
    }
};

struct FatalCase {
    const char* name;
    std::string text;
    std::string err;
};

struct ReadCase {
    const char* name;
    std::string text;
    std::function<void(const eingabe_parameter&)> check;
    std::string err;  // warnings expected on standard error
};

#define RUN_FATAL_CASES(cases)         \
    for (const FatalCase& c : cases) { \
        SCOPED_TRACE(c.name);          \
        expect_fatal(c.text, c.err);   \
    }

#define RUN_READ_CASES(cases)                                  \
    for (const ReadCase& c : cases) {                          \
        SCOPED_TRACE(c.name);                                  \
        if (expect_read(c.text, c.err)) c.check(read(c.text)); \
    }

#endif
