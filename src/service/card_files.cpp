#include "service/card_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "utils/shell.h"

namespace card_files {

namespace {

// A JPEG may carry zero padding after its end marker (some UVC cameras fill their buffers).
constexpr int64_t kMaxPadding = 4096;

bool AllDigits(const std::string& text) {
    return !text.empty() && text.size() <= 9 && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::vector<std::string> List(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

bool Lstat(const std::string& path, struct stat& info) { return ::lstat(path.c_str(), &info) == 0; }

bool IsRealFolder(const std::string& path) {
    struct stat info {};
    return Lstat(path, info) && S_ISDIR(info.st_mode);
}

bool Exists(const std::string& path) {
    struct stat info {};
    return Lstat(path, info);
}

int EnsureFolder(const std::string& path) {
    if (IsRealFolder(path)) return 0;
    if (::mkdir(path.c_str(), 0700) == 0) return 0;
    int error = errno;
    if (error == ENOENT) {
        CreateDirectory(path);
        if (IsRealFolder(path)) return 0;
        error = ::mkdir(path.c_str(), 0700) == 0 ? 0 : errno;
    }
    if (error == EEXIST) return IsRealFolder(path) ? 0 : ENOTDIR;  // a link or a file
    return error;
}

std::vector<std::pair<long long, std::string>> NumberedFolders(const std::string& path) {
    std::vector<std::pair<long long, std::string>> folders;
    for (const std::string& name : List(path)) {
        if (AllDigits(name) && IsRealFolder(path + "/" + name)) folders.emplace_back(std::stoll(name), name);
    }
    std::sort(folders.begin(), folders.end());
    return folders;
}

bool IsWholeJpeg(int fd, int64_t size) {
    unsigned char head[2] = {0, 0};
    if (size < 4 || ::pread(fd, head, 2, 0) != 2 || head[0] != 0xFF || head[1] != 0xD8) return false;
    const int64_t span = std::min<int64_t>(size - 2, kMaxPadding + 2);
    std::vector<unsigned char> tail(static_cast<std::size_t>(span));
    if (::pread(fd, tail.data(), tail.size(), static_cast<off_t>(size - span)) != static_cast<ssize_t>(span)) {
        return false;
    }
    std::size_t end = tail.size();
    while (end > 0 && tail[end - 1] == 0x00) --end;
    return end >= 2 && tail[end - 2] == 0xFF && tail[end - 1] == 0xD9;
}

int RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return 0;
    }
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) return errno;
    if (Exists(to)) return EEXIST;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

}  // namespace card_files
