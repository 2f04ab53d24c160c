// The name checks of the files a run writes, against what opening the names
// does, and the whole-or-nothing append.
#include "sequence/outfile.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <csignal>
#include <set>
#include <string>
#include <vector>

#include "support/subprocess.h"

namespace {

// A scratch folder, the working folder while a test runs:
//   file, hard (a hard link of file), sub/, fifo,
//   flink -> file, dlink -> sub, sub/rel -> ../file, sub/up -> ../made,
//   dangling -> sub/new, dangling_nod -> nod/new,
//   dangling_dotdot -> nod/../p.param, chain1 -> chain2 -> sub/../c.txt,
//   loop1 <-> loop2, and long0 -> long1 -> ... -> long41 -> file.
class Names : public ::testing::Test {
protected:
    void SetUp() override {
        char here[4096];
        ASSERT_NE(getcwd(here, sizeof here), nullptr);
        home_ = here;
        dir_ = make_temp_dir();
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        write_file("file", "x");
        ASSERT_EQ(::link("file", "hard"), 0);
        ASSERT_EQ(mkdir("sub", 0755), 0);
        ASSERT_EQ(mkfifo("fifo", 0644), 0);
        const std::vector<std::pair<const char*, const char*>> links{
            {"flink", "file"},
            {"dlink", "sub"},
            {"sub/rel", "../file"},
            {"sub/up", "../made"},
            {"dangling", "sub/new"},
            {"dangling_nod", "nod/new"},
            {"dangling_dotdot", "nod/../p.param"},
            {"chain1", "chain2"},
            {"chain2", "sub/../c.txt"},
            {"loop1", "loop2"},
            {"loop2", "loop1"}};
        for (const auto& l : links) ASSERT_EQ(::symlink(l.second, l.first), 0) << l.first;
        for (int k = 0; k < 42; ++k) {
            const std::string target = k == 41 ? "file" : "long" + std::to_string(k + 1);
            ASSERT_EQ(::symlink(target.c_str(), ("long" + std::to_string(k)).c_str()), 0);
        }
    }
    void TearDown() override { ASSERT_EQ(chdir(home_.c_str()), 0); }

    // Every name in the scratch folder and in sub.
    static std::set<std::string> listing() {
        std::set<std::string> names;
        for (const char* d : {".", "sub"}) {
            DIR* h = opendir(d);
            if (h == nullptr) continue;
            while (const dirent* e = readdir(h)) names.insert(std::string(d) + "/" + e->d_name);
            closedir(h);
        }
        return names;
    }

    std::string home_, dir_;
};

// What the run does at the end: opening for appending, created if missing.
// A FIFO is opened without waiting, so it fails here for want of a reader.
int open_as_the_run(const std::string& name) {
    return ::open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
}

TEST_F(Names, AppendableIsWhatOpeningFinds) {
    struct tcase {
        const char* name;
        bool appendable;
    };
    const std::vector<tcase> cases{
        {"file", true},
        {"hard", true},
        {"new", true},
        {"sub/new", true},
        {"sub/./new", true},
        {"sub/../new", true},
        {"dlink/new", true},
        {"dlink/../new", true},  // dlink's folder is sub, and sub/.. is here
        {"flink", true},
        {"sub/rel", true},
        {"sub/up", true},
        {"dangling", true},
        {"chain1", true},
        {"/dev/null", true},
        // a ".." is taken from the folder the part before it leads to
        {"nod/../new", false},
        {"file/../new", false},
        {"flink/../new", false},
        {"dangling_nod", false},
        {"dangling_dotdot", false},
        {"nod/new", false},
        {"file/new", false},
        {"sub", false},
        {"sub/", false},
        {"dlink", false},
        {"new/", false},
        {".", false},
        {"..", false},
        {"", false},
        {"loop1", false},
        {"long0", false},  // more links than the system follows
    };
    for (const auto& c : cases) {
        const std::set<std::string> before = listing();
        EXPECT_EQ(appendable(c.name), c.appendable) << c.name;
        EXPECT_EQ(listing(), before) << c.name << ": the check changed the folder";
        const int fd = open_as_the_run(c.name);
        EXPECT_EQ(fd >= 0, c.appendable) << c.name << ": opening it does otherwise";
        if (fd >= 0) ::close(fd);
    }
    // A FIFO is found appendable; the run opens it once, at the end.
    EXPECT_TRUE(appendable("fifo"));
}

TEST_F(Names, SameFileIsWhatOpeningBothFinds) {
    struct tcase {
        const char* a;
        const char* b;
        bool same;
    };
    const std::vector<tcase> cases{
        {"file", "file", true},
        {"file", "./file", true},
        {"file", "hard", true},
        {"file", "flink", true},
        {"file", "sub/rel", true},
        {"file", "sub/../file", true},
        {"new", "./new", true},
        {"new", "sub/../new", true},
        {"new", "dlink/../new", true},
        {"sub/new", "dlink/new", true},
        {"sub/new", "dangling", true},
        {"c.txt", "chain1", true},
        {"made", "sub/up", true},
        {"new", "nod/../new", false},
        {"new", "file/../new", false},
        {"new", "flink/../new", false},
        {"p.param", "dangling_dotdot", false},
        {"file", "new", false},
        {"sub/new", "new", false},
        {"/dev/null", "/dev/null", false},
        {"fifo", "fifo", false},
        {"loop1", "loop2", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(same_file(c.a, c.b), c.same) << c.a << " ~ " << c.b;
        EXPECT_EQ(same_file(c.b, c.a), c.same) << c.b << " ~ " << c.a;
        // Opened as the run opens them: one regular file, or two things.
        const int fa = open_as_the_run(c.a), fb = open_as_the_run(c.b);
        struct stat sa, sb;
        const bool one = fa >= 0 && fb >= 0 && fstat(fa, &sa) == 0 && fstat(fb, &sb) == 0 &&
                         S_ISREG(sa.st_mode) && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
        EXPECT_EQ(one, c.same) << c.a << " ~ " << c.b << ": opening them finds otherwise";
        for (int fd : {fa, fb})
            if (fd >= 0) ::close(fd);
        for (const char* made : {"new", "sub/new", "c.txt", "made", "p.param"}) ::unlink(made);
    }
}

TEST_F(Names, KindOfAName) {
    struct tcase {
        const char* name;
        file_kind kind;
    };
    const std::vector<tcase> cases{
        {"file", file_kind::regular},      {"flink", file_kind::regular},
        {"new", file_kind::absent},        {"dangling", file_kind::absent},
        {"nod/../new", file_kind::absent}, {"sub", file_kind::other},
        {"fifo", file_kind::other},        {"/dev/null", file_kind::other},
        {"loop1", file_kind::other},       {"file/new", file_kind::other},
    };
    for (const auto& c : cases) EXPECT_EQ(kind_of(c.name), c.kind) << c.name;
    std::string at;
    ASSERT_TRUE(creation_path("dlink/../made", at));
    EXPECT_EQ(at, dir_ + "/made");
    ASSERT_TRUE(creation_path("sub/up", at));
    EXPECT_EQ(at, dir_ + "/made");
    EXPECT_FALSE(creation_path("dangling_dotdot", at));
}

TEST_F(Names, ReadableInputs) {
    EXPECT_TRUE(readable("file"));
    EXPECT_TRUE(readable("flink"));
    EXPECT_TRUE(readable("fifo"));
    EXPECT_FALSE(readable("new"));
    EXPECT_FALSE(readable("sub"));
    EXPECT_FALSE(readable("nod/../file"));
    EXPECT_FALSE(readable("loop1"));
}

// ---------------------------------------------------------------------------
// Appends

TEST_F(Names, AppendResultMessages) {
    EXPECT_EQ(append_result("new", "abc\n"), "");
    EXPECT_EQ(append_result("new", "de\n"), "");
    EXPECT_EQ(read_file("new"), "abc\nde\n");
    EXPECT_EQ(append_result("nod/new", "x"), "Cannot open output file nod/new\n");
    EXPECT_EQ(append_result("sub", "x"), "Cannot open output file sub\n");
    if (::access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(append_result("/dev/full", "x"), "Cannot write output file /dev/full\n");
    }
}

// An append past a file-size limit, with SIGXFSZ at its default as a shell
// gives it: the write fails and the file keeps exactly what it held.
TEST_F(Names, AppendPastASizeLimitIsCutBack) {
    struct tcase {
        std::size_t earlier;  // bytes in the file first, 0 for none
        bool ignore;          // writes_fail_at_size_limit called first
    };
    const std::vector<tcase> cases{{1020, true}, {0, true}, {1020, false}};
    for (const auto& c : cases) {
        ::unlink("res");
        const std::string before(c.earlier, 'x');
        if (c.earlier > 0) write_file("res", before);
        const ChildResult r = run_in_child([&] {
            const rlimit fsize{1024, 1024};
            setrlimit(RLIMIT_FSIZE, &fsize);
            std::signal(SIGXFSZ, SIG_DFL);
            if (c.ignore) writes_fail_at_size_limit();
            const std::string record(c.earlier > 0 ? 100 : 2000, 'r');
            _exit(append_whole("res", record) == append_outcome::not_written ? 3 : 4);
        });
        if (c.ignore) {
            EXPECT_TRUE(r.exited) << c.earlier << ": signal " << r.signal;
            EXPECT_EQ(r.status, 3) << c.earlier;
            EXPECT_EQ(read_file("res"), before) << c.earlier;
        } else {
            EXPECT_FALSE(r.exited);
            EXPECT_EQ(r.signal, SIGXFSZ);
        }
    }
}

}  // namespace
