#include "sequence/outfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <string>
#include <vector>

namespace {

// Links followed before a name counts as a loop, as the system does.
constexpr int max_link_hops = 40;

#ifdef O_PATH
constexpr int folder_flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int folder_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// How the run opens a result file for appending.
constexpr int append_flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY;

// The folder part of a name as written ("." when it has none) and its last
// part, which is empty for a name that ends in '/'.
void split_name(const std::string& name, std::string& folder, std::string& last) {
    const std::size_t slash = name.find_last_of('/');
    if (slash == std::string::npos) {
        folder = ".";
        last = name;
        return;
    }
    folder = slash == 0 ? "/" : name.substr(0, slash);
    last = name.substr(slash + 1);
}

// An open folder, closed when it goes.
class folder_handle {
public:
    folder_handle() = default;
    folder_handle(const folder_handle&) = delete;
    folder_handle& operator=(const folder_handle&) = delete;
    ~folder_handle() { reset(-1); }
    int fd() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// The target of the link last in the folder dir; empty on failure.
std::string link_target(int dir, const std::string& last) {
    std::vector<char> buf(256);
    for (;;) {
        const ssize_t n = ::readlinkat(dir, last.c_str(), buf.data(), buf.size());
        if (n < 0) return "";
        if (static_cast<std::size_t>(n) < buf.size())
            return std::string(buf.data(), static_cast<std::size_t>(n));
        buf.resize(buf.size() * 2);
    }
}

// The folder a file named name would be created in, open in dir, and its
// name there in last. Each step is taken from the open folder before it, so
// no joined path grows with the chain of links.
bool find_place(const std::string& name, folder_handle& dir, std::string& last) {
    std::string folder;
    split_name(name, folder, last);
    dir.reset(::open(folder.c_str(), folder_flags));
    if (dir.fd() < 0) return false;
    for (int hops = 0;; ++hops) {
        struct stat st;
        if (last.empty() || ::fstatat(dir.fd(), last.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISLNK(st.st_mode))
            break;
        if (hops == max_link_hops) return false;
        const std::string target = link_target(dir.fd(), last);
        if (target.empty()) return false;
        split_name(target, folder, last);
        dir.reset(target[0] == '/' ? ::open(folder.c_str(), folder_flags)
                                   : ::openat(dir.fd(), folder.c_str(), folder_flags));
        if (dir.fd() < 0) return false;
    }
    return !(last.empty() || last == "." || last == "..");
}

// SIGINT, SIGTERM and SIGHUP held back while it lasts or until release,
// then acting as they would have.
class signals_held {
public:
    explicit signals_held(bool hold) : held_(hold) {
        if (!held_) return;
        sigset_t set;
        sigemptyset(&set);
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, sig);
        held_ = ::sigprocmask(SIG_BLOCK, &set, &before_) == 0;
    }
    signals_held(const signals_held&) = delete;
    signals_held& operator=(const signals_held&) = delete;
    ~signals_held() { release(); }
    void release() {
        if (held_) ::sigprocmask(SIG_SETMASK, &before_, nullptr);
        held_ = false;
    }

private:
    bool held_;
    sigset_t before_;
};

bool write_all(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0) done += static_cast<std::size_t>(n);
        else if (n < 0 && errno == EINTR) continue;
        else return false;
    }
    return true;
}

// Removes the file last in dir when it is still the file open as fd.
bool remove_made(int dir, const std::string& last, int fd) {
    struct stat made, there;
    return ::fstat(fd, &made) == 0 &&
           ::fstatat(dir, last.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
           made.st_dev == there.st_dev && made.st_ino == there.st_ino &&
           ::unlinkat(dir, last.c_str(), 0) == 0;
}

// Whether the file open as fd is known to hold length bytes; an append
// that wrote nothing needs no cut-back, which an append-only file refuses.
bool length_is(int fd, off_t length) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && st.st_size == length;
}

}  // namespace

file_kind kind_of(const std::string& name) {
    struct stat st;
    if (::stat(name.c_str(), &st) == 0)
        return S_ISREG(st.st_mode) ? file_kind::regular : file_kind::other;
    return errno == ENOENT ? file_kind::absent : file_kind::other;
}

bool creation_place_of(const std::string& name, creation_place& out) {
    folder_handle dir;
    std::string last;
    struct stat st;
    if (!find_place(name, dir, last) || ::fstat(dir.fd(), &st) != 0) return false;
    out.device = st.st_dev;
    out.inode = st.st_ino;
    out.last = last;
    return true;
}

bool same_file(const std::string& a, const std::string& b) {
    const file_kind ka = kind_of(a), kb = kind_of(b);
    if (ka != kb || ka == file_kind::other) return false;
    if (ka == file_kind::regular) {
        struct stat sa, sb;
        return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 &&
               sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    }
    creation_place pa, pb;
    return creation_place_of(a, pa) && creation_place_of(b, pb) && pa.device == pb.device &&
           pa.inode == pb.inode && pa.last == pb.last;
}

bool appendable(const std::string& name) {
    switch (kind_of(name)) {
    case file_kind::regular: {
        const int fd = ::open(name.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd < 0) return false;
        ::close(fd);
        return true;
    }
    case file_kind::other: {
        struct stat st;
        if (::stat(name.c_str(), &st) != 0 || S_ISDIR(st.st_mode) || S_ISSOCK(st.st_mode))
            return false;
        if (S_ISCHR(st.st_mode)) {
            const int fd = ::open(name.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            if (fd < 0) return false;
            ::close(fd);
            return true;
        }
        return ::access(name.c_str(), W_OK) == 0;
    }
    case file_kind::absent: break;
    }
    folder_handle dir;
    std::string last;
    return find_place(name, dir, last) && ::faccessat(dir.fd(), ".", W_OK | X_OK, 0) == 0;
}

bool readable(const std::string& name) {
    struct stat st;
    return ::stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) &&
           ::access(name.c_str(), R_OK) == 0;
}

append_outcome append_whole(const std::string& name, const std::string& text) {
    const file_kind kind = kind_of(name);
    signals_held hold(kind != file_kind::other);
    // A file not yet there is created where opening the name would create
    // it, and only then counts as made by this append.
    folder_handle dir;
    std::string last;
    int fd = -1;
    bool made = false;
    if (kind == file_kind::absent && find_place(name, dir, last)) {
        fd = ::openat(dir.fd(), last.c_str(), append_flags | O_EXCL, 0666);
        made = fd >= 0;
    }
    if (fd < 0) fd = ::open(name.c_str(), append_flags, 0666);
    if (fd < 0) return append_outcome::not_opened;
    struct stat st;
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!regular) hold.release();
    const off_t earlier = regular ? st.st_size : 0;
    append_outcome outcome =
        write_all(fd, text) ? append_outcome::written : append_outcome::not_written;
    if (outcome != append_outcome::written && regular &&
        !(made && remove_made(dir.fd(), last, fd)) && !length_is(fd, earlier)) {
        int cut;
        while ((cut = ::ftruncate(fd, earlier)) != 0 && errno == EINTR) {
        }
        if (cut != 0) outcome = append_outcome::not_cut_back;
    }
    if (::close(fd) != 0 && errno != EINTR && outcome == append_outcome::written)
        outcome = append_outcome::not_written;
    return outcome;
}

std::string append_result(const std::string& name, const std::string& text) {
    switch (append_whole(name, text)) {
    case append_outcome::written: return "";
    case append_outcome::not_opened: return "Cannot open output file " + name + "\n";
    case append_outcome::not_written: break;
    case append_outcome::not_cut_back:
        return "Cannot write output file " + name +
               ", and it could not be cut back to what it held before\n";
    }
    return "Cannot write output file " + name + "\n";
}

bool hold_standard_streams() {
    // The lowest free descriptor is taken first, so this fills 0, 1 and 2
    // in turn until an open one comes out above them.
    for (;;) {
        const int fd = ::open("/", folder_flags & ~O_CLOEXEC);
        if (fd < 0) return false;
        if (fd > 2) {
            ::close(fd);
            return true;
        }
    }
}

void writes_fail_instead_of_signals() {
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
}
