#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// File operations on the storage card that the photo parts share. Any thread; none follows
// a link where a photo of ours could be expected.
namespace card_files {

// The names in a folder ("." and ".." left out); empty when it cannot be read.
std::vector<std::string> List(const std::string& path);
bool Lstat(const std::string& path, struct stat& info);
bool IsRealFolder(const std::string& path);
bool Exists(const std::string& path);
// Makes `path` a folder of ours (with its parents): 0, or the errno that stood in the way.
int EnsureFolder(const std::string& path);
// Numeric sub-folders (year, month, day: not zero-padded), smallest first; links are never
// entered.
std::vector<std::pair<long long, std::string>> NumberedFolders(const std::string& path);
// A whole JPEG: the start marker first, the end marker last (zero padding after it allowed).
bool IsWholeJpeg(int fd, int64_t size);
// Moves `from` to `to` unless `to` exists: 0, EEXIST, or another errno. File systems without
// RENAME_NOREPLACE take a hard link; FAT, which has neither, a look first (one thread names
// photos, so nothing of ours appears in between).
int RenameNoReplace(const std::string& from, const std::string& to);

}  // namespace card_files
