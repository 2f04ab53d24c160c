#include "support/subprocess.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

namespace {

std::string slurp_fd(int fd) {
    std::string text;
    lseek(fd, 0, SEEK_SET);
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    return text;
}

int temp_fd() {
    char name[] = "/tmp/quillmar-capture-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) {
        std::perror("mkstemp");
        std::abort();
    }
    unlink(name);
    return fd;
}

ChildResult wait_child(pid_t pid, int outfd, int errfd, unsigned timeout_s) {
    ChildResult r;
    int status = 0;
    unsigned waited_ms = 0;
    for (;;) {
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid) break;
        if (w < 0 && errno != EINTR) break;
        if (waited_ms >= timeout_s * 1000u) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            r.timed_out = true;
            break;
        }
        usleep(2000);
        waited_ms += 2;
    }
    if (WIFEXITED(status)) {
        r.exited = true;
        r.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        r.signal = WTERMSIG(status);
    }
    r.out = slurp_fd(outfd);
    r.err = slurp_fd(errfd);
    close(outfd);
    close(errfd);
    return r;
}

}  // namespace

ChildResult run_in_child(const std::function<void()>& fn, unsigned timeout_s) {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    int outfd = temp_fd(), errfd = temp_fd();
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        std::abort();
    }
    if (pid == 0) {
        dup2(outfd, 1);
        dup2(errfd, 2);
        fn();
        std::cout.flush();
        std::cerr.flush();
        std::fflush(nullptr);
        _exit(0);
    }
    return wait_child(pid, outfd, errfd, timeout_s);
}

ChildResult run_program(const std::vector<std::string>& argv, const std::string& cwd,
                        unsigned timeout_s) {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    int outfd = temp_fd(), errfd = temp_fd();
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        std::abort();
    }
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(outfd, 1);
        dup2(errfd, 2);
        if (chdir(cwd.c_str()) != 0) _exit(127);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return wait_child(pid, outfd, errfd, timeout_s);
}

std::string make_temp_dir() {
    char name[] = "/tmp/quillmar-test-XXXXXX";
    if (!mkdtemp(name)) {
        std::perror("mkdtemp");
        std::abort();
    }
    return name;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream os;
    os << in.rdbuf();
    return os.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}
