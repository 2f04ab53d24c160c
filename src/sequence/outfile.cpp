#include "sequence/outfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

// Links followed before a name counts as a loop, as the system does.
constexpr int max_link_hops = 40;

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

bool is_folder(const std::string& name) {
    struct stat st;
    return ::stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

file_kind kind_of(const std::string& name) {
    struct stat st;
    if (::stat(name.c_str(), &st) == 0)
        return S_ISREG(st.st_mode) ? file_kind::regular : file_kind::other;
    return errno == ENOENT ? file_kind::absent : file_kind::other;
}

bool creation_path(const std::string& name, std::string& out) {
    std::string p = name;
    for (int hops = 0;; ++hops) {
        struct stat st;
        if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        if (hops == max_link_hops) return false;
        std::error_code ec;
        const std::string target = std::filesystem::read_symlink(p, ec).string();
        if (ec || target.empty()) return false;
        if (target[0] == '/') {
            p = target;
        } else {
            std::string folder, last;
            split_name(p, folder, last);
            p = folder + "/" + target;
        }
    }
    // The folder part is resolved by the system, so a ".." in it steps out of
    // the folder that the part before it leads to, and only from a folder.
    std::string folder, last;
    split_name(p, folder, last);
    if (last.empty() || last == "." || last == "..") return false;
    char* real = ::realpath(folder.c_str(), nullptr);
    if (real == nullptr) return false;
    const std::string dir(real);
    std::free(real);
    if (!is_folder(dir)) return false;
    out = (dir == "/" ? "" : dir) + "/" + last;
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
    std::string pa, pb;
    return creation_path(a, pa) && creation_path(b, pb) && pa == pb;
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
        return ::stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) &&
               ::access(name.c_str(), W_OK) == 0;
    }
    case file_kind::absent: break;
    }
    std::string target, folder, last;
    if (!creation_path(name, target)) return false;
    split_name(target, folder, last);
    return ::access(folder.c_str(), W_OK | X_OK) == 0;
}

bool readable(const std::string& name) {
    struct stat st;
    return ::stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) &&
           ::access(name.c_str(), R_OK) == 0;
}

append_outcome append_whole(const std::string& name, const std::string& text) {
    const int fd = ::open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return append_outcome::not_opened;
    struct stat st;
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const off_t earlier = regular ? st.st_size : 0;
    bool ok = true;
    for (std::size_t done = 0; ok && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0) done += static_cast<std::size_t>(n);
        else if (n < 0 && errno == EINTR) continue;
        else ok = false;
    }
    if (!ok && regular) {
        while (::ftruncate(fd, earlier) != 0 && errno == EINTR) {
        }
    }
    if (::close(fd) != 0 && errno != EINTR) ok = false;
    return ok ? append_outcome::written : append_outcome::not_written;
}

std::string append_result(const std::string& name, const std::string& text) {
    switch (append_whole(name, text)) {
    case append_outcome::written: return "";
    case append_outcome::not_opened: return "Cannot open output file " + name + "\n";
    case append_outcome::not_written: break;
    }
    return "Cannot write output file " + name + "\n";
}

void writes_fail_at_size_limit() { std::signal(SIGXFSZ, SIG_IGN); }
