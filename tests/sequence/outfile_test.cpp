// The name checks of the files a run writes, against what opening the names
// does, and the whole-or-nothing append.
#include "sequence/outfile.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstring>
#include <iostream>
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
}

// The place of a file not yet made is its folder's identity and its name.
TEST_F(Names, CreationPlaces) {
    struct stat here, root;
    ASSERT_EQ(::stat(".", &here), 0);
    ASSERT_EQ(::stat("/", &root), 0);
    const std::string top = "/quillmar-absent-" + std::to_string(::getpid());
    ASSERT_NE(::access(top.c_str(), F_OK), 0);
    struct tcase {
        std::string name;
        const struct stat& folder;
        std::string last;
    };
    const std::vector<tcase> cases{{"dlink/../made", here, "made"},
                                   {"sub/up", here, "made"},
                                   {dir_ + "/made", here, "made"},
                                   {top, root, top.substr(1)},
                                   {"/tmp/.." + top, root, top.substr(1)}};
    for (const auto& c : cases) {
        creation_place at;
        ASSERT_TRUE(creation_place_of(c.name, at)) << c.name;
        EXPECT_EQ(at.device, c.folder.st_dev) << c.name;
        EXPECT_EQ(at.inode, c.folder.st_ino) << c.name;
        EXPECT_EQ(at.last, c.last) << c.name;
    }
    creation_place at;
    EXPECT_FALSE(creation_place_of("dangling_dotdot", at));
    EXPECT_FALSE(creation_place_of("sub/", at));
    EXPECT_TRUE(same_file(top, "/tmp/.." + top));
    EXPECT_FALSE(same_file(top, "/tmp" + top));
}

// Chains of links to a file not yet made: followed as far as the system
// follows them (40 links), however long the path they join to would be.
TEST_F(Names, ChainsOfLinksToAFileNotYetMade) {
    for (int length : {40, 41}) {
        const std::string stem = "c" + std::to_string(length) + "_";
        for (int k = 0; k < length; ++k) {
            const std::string target =
                k + 1 == length ? "end" + std::to_string(length) : stem + std::to_string(k + 1);
            ASSERT_EQ(::symlink(target.c_str(), (stem + std::to_string(k)).c_str()), 0);
        }
    }
    EXPECT_TRUE(appendable("c40_0"));
    EXPECT_TRUE(same_file("c40_0", "end40"));
    EXPECT_FALSE(appendable("c41_0"));
    EXPECT_FALSE(same_file("c41_0", "end41"));
    for (const char* name : {"c40_0", "c41_0"}) {
        const int fd = open_as_the_run(name);
        EXPECT_EQ(fd >= 0, appendable(name)) << name << ": opening it does otherwise";
        if (fd >= 0) ::close(fd);
    }
    ::unlink("end40");

    // 30 links, each through a folder of 200 characters and back with "..".
    const std::string wide(200, 'w');
    ASSERT_EQ(mkdir(wide.c_str(), 0755), 0);
    for (int k = 0; k < 30; ++k) {
        const std::string next = k == 29 ? "far" : "r" + std::to_string(k + 1);
        ASSERT_EQ(::symlink((wide + "/../" + next).c_str(), ("r" + std::to_string(k)).c_str()), 0);
    }
    EXPECT_TRUE(appendable("r0"));
    EXPECT_TRUE(same_file("r0", "far"));
    EXPECT_TRUE(same_file("r0", "r17"));
    EXPECT_FALSE(same_file("r0", wide + "/far"));

    // A target longer than the first read of a link takes (308 characters).
    const std::string deep(100, 'e');
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    const std::string target = wide + "/../" + deep + "/new";
    ASSERT_EQ(::symlink(target.c_str(), "longtarget"), 0);
    EXPECT_TRUE(appendable("longtarget"));
    EXPECT_TRUE(same_file("longtarget", deep + "/new"));
    EXPECT_FALSE(same_file("longtarget", target.substr(0, 256)));
    EXPECT_EQ(append_whole("longtarget", "abc\n"), append_outcome::written);
    EXPECT_EQ(read_file(deep + "/new"), "abc\n");
}

// A working folder deeper than the longest path the system takes whole.
TEST_F(Names, DeepWorkingFolder) {
    const ChildResult r = run_in_child([] {
        const std::string step(200, 'd');
        int depth = 0;
        for (; depth < 30; ++depth)
            if (mkdir(step.c_str(), 0755) != 0 || chdir(step.c_str()) != 0) _exit(10);
        const bool ok = appendable("x") && same_file("x", "./x") &&
                        same_file("x", "../" + step + "/x") && !same_file("x", "y") &&
                        append_whole("x", "abc\n") == append_outcome::written &&
                        same_file("x", "./x") && read_file("x") == "abc\n";
        ::unlink("x");
        for (; depth > 0; --depth)
            if (chdir("..") != 0 || rmdir(step.c_str()) != 0) _exit(11);
        _exit(ok ? 0 : 12);
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
}

// A user other than root may make a result file in a folder it may write
// and search but not read: the walk only passes through folders. Where the
// tests run as root, a child takes the user nobody.
TEST_F(Names, FolderThatMayNotBeRead) {
    ASSERT_EQ(mkdir("wx", 0333), 0);
    ASSERT_EQ(::chmod("wx", 0333), 0);
    ASSERT_EQ(::chmod(".", 0711), 0);
    const ChildResult r = run_in_child([] {
        const gid_t nogroup = 65534;
        const uid_t nobody = 65534;
        if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(nogroup) != 0 ||
                                 ::setuid(nobody) != 0 || ::setuid(0) == 0))
            _exit(77);
        if (::open("wx", O_RDONLY | O_DIRECTORY) >= 0) _exit(78);
        creation_place at;
        const bool ok = appendable("wx/new") && creation_place_of("wx/new", at) &&
                        at.last == "new" && same_file("wx/new", "./wx/new") &&
                        !same_file("wx/new", "wx/other") &&
                        append_whole("wx/new", "abc\n") == append_outcome::written &&
                        append_result("wx/new", "de\n").empty() && appendable("wx/new");
        _exit(ok ? 0 : 1);
    });
    if (r.exited && r.status == 77) GTEST_SKIP() << "cannot become another user here";
    if (r.exited && r.status == 78) GTEST_SKIP() << "this user may read any folder";
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file("wx/new"), "abc\nde\n");
}

// One folder under two mounts: a file not yet made there has two names.
TEST_F(Names, OneFolderUnderTwoMounts) {
    ASSERT_EQ(mkdir("m", 0755), 0);
    const ChildResult r = run_in_child([] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("sub", "m", nullptr, MS_BIND, nullptr) != 0)
            _exit(77);
        const bool ok = same_file("sub/x", "m/x") && same_file("m/x", "dlink/x") &&
                        !same_file("sub/x", "m/y") && !same_file("m/x", "x");
        _exit(ok ? 0 : 1);
    });
    if (r.exited && r.status == 77) GTEST_SKIP() << "no bind mount here";
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
}

// A socket cannot be opened as a file; a character device is tried as the
// run opens it, so /dev/tty without a terminal is refused.
TEST_F(Names, SocketsAndDevicesThatCannotBeOpened) {
    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "sock");
    ASSERT_EQ(::bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_FALSE(appendable("sock"));
    EXPECT_EQ(open_as_the_run("sock"), -1);
    ::close(s);

    const ChildResult r = run_in_child([] {
        if (::setsid() < 0) _exit(10);
        const int fd = ::open("/dev/tty", O_WRONLY | O_NONBLOCK | O_NOCTTY);
        _exit(fd < 0 && !appendable("/dev/tty") && appendable("/dev/null") ? 0 : 1);
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
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
        bool ignore;          // writes_fail_instead_of_signals called first
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
            if (c.ignore) writes_fail_instead_of_signals();
            const std::string record(c.earlier > 0 ? 100 : 2000, 'r');
            _exit(append_whole("res", record) == append_outcome::not_written ? 3 : 4);
        });
        if (c.ignore) {
            EXPECT_TRUE(r.exited) << c.earlier << ": signal " << r.signal;
            EXPECT_EQ(r.status, 3) << c.earlier;
            EXPECT_EQ(read_file("res"), before) << c.earlier;
            // A file the failed append made is removed again.
            EXPECT_EQ(::access("res", F_OK) == 0, c.earlier > 0) << c.earlier;
        } else {
            EXPECT_FALSE(r.exited);
            EXPECT_EQ(r.signal, SIGXFSZ);
        }
    }
}

// A failed append removes the file it made, at the place the name leads
// to, and nothing else; the seed file's append is one of these.
TEST_F(Names, FailedAppendRemovesTheFileItMade) {
    const ChildResult r = run_in_child([] {
        const rlimit none{0, 0};
        setrlimit(RLIMIT_FSIZE, &none);
        writes_fail_instead_of_signals();
        const bool ok = append_whole("res", "abc\n") == append_outcome::not_written &&
                        append_whole("dangling", "abc\n") == append_outcome::not_written &&
                        append_whole("file", "abc\n") == append_outcome::not_written &&
                        append_whole("new", "") == append_outcome::written;
        _exit(ok ? 0 : 1);
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(::access("res", F_OK), 0);
    EXPECT_NE(::access("sub/new", F_OK), 0);
    struct stat st;
    EXPECT_EQ(::lstat("dangling", &st), 0) << "the link stays";
    EXPECT_EQ(read_file("file"), "x");
    EXPECT_EQ(::access("new", F_OK), 0) << "an empty text fits any limit";
}

// An append-only file refuses to be cut back: where the failed append left
// part of the record that is said, and where it wrote nothing (the file was
// at the limit already) there is nothing to cut back and the plain message
// is true.
TEST_F(Names, CutBackThatFailsIsSaid) {
    struct tcase {
        std::size_t earlier;  // bytes in the file first; the limit is 1024
        std::string message;
    };
    const std::vector<tcase> cases{
        {1020,
         "Cannot write output file res, and it could not be cut back to what it held before\n"},
        {1024, "Cannot write output file res\n"}};
    for (const auto& c : cases) {
        write_file("res", std::string(c.earlier, 'x'));
        const int fd = ::open("res", O_RDONLY);
        ASSERT_GE(fd, 0);
        int flags = 0;
        const bool set = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                         (flags |= FS_APPEND_FL, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
        if (!set) {
            ::close(fd);
            GTEST_SKIP() << "no append-only files here";
        }
        const ChildResult r = run_in_child([] {
            const rlimit fsize{1024, 1024};
            setrlimit(RLIMIT_FSIZE, &fsize);
            writes_fail_instead_of_signals();
            std::cout << append_result("res", std::string(100, 'r'));
        });
        flags &= ~FS_APPEND_FL;
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
        ::close(fd);
        EXPECT_TRUE(r.exited) << c.earlier;
        EXPECT_EQ(r.out, c.message) << c.earlier;
        const std::string held = read_file("res");
        EXPECT_EQ(held.size(), 1024u) << c.earlier;
        EXPECT_EQ(held.substr(0, c.earlier), std::string(c.earlier, 'x')) << c.earlier;
        ASSERT_EQ(::unlink("res"), 0);
    }
}

// A FIFO whose reader leaves while a record waits in it: with SIGPIPE at
// its default, as a shell gives it, the write fails instead of ending the
// process once the process-wide settings are made.
TEST_F(Names, FifoWhoseReaderLeaves) {
    for (bool settings : {true, false}) {
        const int reader = ::open("fifo", O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader, 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(reader);
            std::signal(SIGPIPE, SIG_DFL);
            if (settings) writes_fail_instead_of_signals();
            // More than a pipe holds, so the write waits on the reader.
            const std::string message = append_result("fifo", std::string(1 << 20, 'r'));
            _exit(message == "Cannot write output file fifo\n" ? 0 : 1);
        }
        // The reader leaves once the record has started to arrive.
        int waiting = 0;
        for (int k = 0; k < 20000 && waiting == 0; ++k) {
            ::ioctl(reader, FIONREAD, &waiting);
            if (waiting == 0) ::usleep(500);
        }
        EXPECT_GT(waiting, 0);
        ::close(reader);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        if (settings) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        } else {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << status;
        }
    }
}

// A signal while a record is appended to a regular file acts after the
// append: the file holds the whole record. At a FIFO it acts at once.
TEST_F(Names, SignalDuringAnAppendActsAfterIt) {
    const std::string record = std::string(20 << 20, 'r') + ";\n";
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        ::unlink("res");
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int s : {SIGTERM, SIGINT, SIGHUP}) std::signal(s, SIG_DFL);
            append_whole("res", record);
            _exit(0);
        }
        // The signal comes as the file appears, while it grows.
        for (long spins = 0; ::access("res", F_OK) != 0 && spins < 100000000; ++spins) {
        }
        ::kill(child, sig);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << sig << ": " << status;
        EXPECT_TRUE(read_file("res") == record) << sig << ": part of the record";
    }
    ::unlink("res");

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGTERM, SIG_DFL);
        append_whole("fifo", "waits for a reader\n");
        _exit(0);
    }
    ::usleep(20000);
    ::kill(child, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
}

}  // namespace
