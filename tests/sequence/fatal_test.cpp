// fatal stops and warnings.
#include "sequence/fatal.h"

#include "support/fatal.h"
#include "support/subprocess.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <cstdio>
#include <iostream>
#include <string>

TEST(FatalStop, StreamsEveryPartWithDefaultFormatting) {
    EXPECT_FATAL(fatal("x=", 3, " y=", 2.5, ' ', 1.0 / 3.0, " ", -7L, "\n"),
                 "x=3 y=2.5 0.333333 -7\n");
    EXPECT_FATAL(fatal(std::string("no newline")), "no newline");
    EXPECT_FATAL(fatal_text("as it is\n"), "as it is\n");
}

TEST(FatalStop, OutputWrittenBeforeTheStopIsKept) {
    // Standard output is a pipe in the child and the file a stdio stream, both
    // fully buffered: without the flushes the pending text would be lost.
    const std::string path = make_temp_dir() + "/open";
    const ChildResult r = run_in_child(
        [&path] {
            FILE* f = std::fopen(path.c_str(), "w");
            if (!f) _exit(3);
            std::fputs("pending", f);
            std::cout << "from cout ";
            std::printf("from printf\n");
            std::fputs("to stderr first, ", stderr);
            fatal("then the stop\n");
        },
        fatal_time_limit);
    EXPECT_TRUE(fatal_with_output(r, "to stderr first, then the stop\n"));
    EXPECT_EQ(r.out, "from cout from printf\n");
    EXPECT_EQ(read_file(path), "pending");
}

TEST(FatalStop, WarningsReturn) {
    const ChildResult r = run_in_child([] {
        warn("Warning: ", 2, " of ", 3.5, "\n");
        warn_text("plain");
        std::printf("went on\n");
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Warning: 2 of 3.5\nplain");
    EXPECT_EQ(r.out, "went on\n");
}
