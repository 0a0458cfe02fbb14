#pragma once

#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

// What this process holds open, read from /proc/self/fd: tests use it to prove that a class
// keeps exactly the descriptors it should and leaks none on its failure paths.
namespace descriptors {

inline std::string PathOf(int fd) {
    char target[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), target, sizeof(target) - 1);
    return n < 0 ? std::string() : std::string(target, static_cast<size_t>(n));
}

// Paths of the open descriptors (the directory stream reading them excluded).
inline std::vector<std::string> OpenPaths() {
    std::vector<std::string> paths;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return paths;
    const int own = ::dirfd(dir);
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const int fd = std::atoi(entry->d_name);
        if (fd != own) paths.push_back(PathOf(fd));
    }
    ::closedir(dir);
    return paths;
}

inline size_t CountOpenAt(const std::string& path) {
    size_t count = 0;
    for (const auto& p : OpenPaths()) count += p == path ? 1 : 0;
    return count;
}

// Closes standard input for the lifetime of the object, so that the next open gets
// descriptor 0, as it does in a daemon started with its standard input closed.
class StdinClosed {
public:
    StdinClosed() : saved_(::dup(0)) { ::close(0); }
    ~StdinClosed() {
        ::dup2(saved_, 0);
        ::close(saved_);
    }
    StdinClosed(const StdinClosed&) = delete;
    StdinClosed& operator=(const StdinClosed&) = delete;

private:
    int saved_;
};

}  // namespace descriptors
