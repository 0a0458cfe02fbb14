#include "service/photo_card.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "service/card_files.h"
#include "service/photo_layout.h"
#include "utils/logger.h"
#include "utils/unique_fd.h"

namespace layout = photo_layout;
using namespace card_files;

namespace {

// How many later seconds a photo may move to when its name is taken.
constexpr int kMaxNameTries = 1000;

}  // namespace

bool CardPhoto::operator<(const CardPhoto& other) const {
    if (seconds != other.seconds) return seconds < other.seconds;
    if (camera != other.camera) return camera < other.camera;
    return relative < other.relative;
}

bool CardPhoto::Parse(const std::string& relative, CardPhoto& photo) {
    std::string day;
    photo.relative = relative;
    photo.claimed = false;
    return layout::ParseRelative(relative, day, photo.seconds, photo.camera);
}

void CardFaults::CardError(const std::string& what, const std::string& path, int error) {
    if (error == EROFS) {
        if (!readOnlyReported_.exchange(true)) {
            LOG_ERROR << "Storage card " << sdFolder_ << " is read-only (" << std::strerror(error) << "): cannot "
                      << what << " " << path << "; photos already on it are still delivered, no new photo is kept.";
        } else {
            LOG_DEBUG << "Read-only card: cannot " << what << " " << path << ".";
        }
        return;
    }
    LOG_ERROR << "Cannot " << what << " " << path << ": " << std::strerror(error);
}

PhotoCard::PhotoCard(std::string sdFolder, int64_t minFreeBytes, CardFaults& faults)
    : sdFolder_(std::move(sdFolder)),
      minFreeBytes_(minFreeBytes),
      photoRoot_(sdFolder_ + "/photo"),
      pendingRoot_(sdFolder_ + "/photo/" + layout::kPendingFolder),
      captureRoot_(sdFolder_ + "/photo/" + layout::kCaptureFolder),
      faults_(faults) {}

void PhotoCard::SyncFolder(const std::string& folder) {
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) {
        faults_.CardError("open the folder to sync", folder, errno);
        return;
    }
    if (::fsync(fd.get()) != 0) faults_.CardError("sync the folder", folder, errno);
}

bool PhotoCard::IsPending(const std::string& relative) const {
    return Exists(pendingRoot_ + "/" + layout::MarkerPath(relative)) ||
           Exists(pendingRoot_ + "/" + layout::MarkerName(relative));
}

bool PhotoCard::HasClaimRecord(const std::string& relative) const {
    const std::string record = layout::ClaimRecordPath(relative);
    return !record.empty() && Exists(pendingRoot_ + "/" + record);
}

// An empty file below .pending/, created exclusively and its folder synced: 0, -EEXIST when
// it is there already, another -errno (logged). It appears whole or not at all.
int PhotoCard::WriteRecord(const std::string& below) {
    if (below.empty()) return -EINVAL;
    const std::string path = pendingRoot_ + "/" + below;
    const std::string folder = path.substr(0, path.rfind('/'));
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd fd(::open(path.c_str(), flags, 0600));
    if (!fd.valid() && errno == ENOENT) {
        // The first photo of the day, or of this card.
        if (const int error = EnsureFolder(folder)) {
            faults_.CardError("create the folder of pending records", folder, error);
            return -error;
        }
        fd.reset(::open(path.c_str(), flags, 0600));
    }
    if (!fd.valid()) {
        const int error = errno;
        if (error != EEXIST) faults_.CardError("record the photo as pending in", path, error);
        return -error;
    }
    fd.reset();
    SyncFolder(folder);
    return 0;
}

// The photo's marker and claim record go (the day's folder of records too, once empty).
int PhotoCard::RemoveRecords(const std::string& relative) {
    const std::string claim = pendingRoot_ + "/" + layout::ClaimRecordPath(relative);
    if (::unlink(claim.c_str()) != 0 && errno != ENOENT) faults_.CardError("remove the claim record", claim, errno);
    const std::string current = pendingRoot_ + "/" + layout::MarkerPath(relative);
    const std::string legacy = pendingRoot_ + "/" + layout::MarkerName(relative);
    for (const std::string& path : {current, legacy}) {
        if (::unlink(path.c_str()) == 0) {
            const std::string folder = path.substr(0, path.rfind('/'));
            if (folder != pendingRoot_ && ::rmdir(folder.c_str()) == 0) {
                SyncFolder(pendingRoot_);  // the day's last record went, and its folder
            } else {
                SyncFolder(folder);
            }
            return 0;
        }
        if (errno != ENOENT) {
            const int error = errno;
            faults_.CardError("remove the pending record", path, error);
            return -error;
        }
    }
    return 0;  // none there: nothing to remove
}

int PhotoCard::Delivered(const CardPhoto& photo) {
    K5_ASSERT_THREAD(bound_);
    return RemoveRecords(photo.relative);
}

int PhotoCard::RecordClaim(const CardPhoto& photo) {
    K5_ASSERT_THREAD(bound_);
    const int result = WriteRecord(layout::ClaimRecordPath(photo.relative));
    return result == -EEXIST ? 0 : result;
}

int PhotoCard::Place(int64_t seconds, int camera, const std::string& temporary, CardPhoto& placed) {
    K5_ASSERT_THREAD(bound_);
    const std::string day = layout::DayOf(seconds);
    const std::string dayPath = photoRoot_ + "/" + day;
    if (const int error = EnsureFolder(dayPath)) {
        faults_.CardError("use the day folder", dayPath, error);
        ::unlink(temporary.c_str());
        return -error;
    }
    const std::string wanted = layout::Relative(day, seconds, camera);
    // Without its record the photo still goes out in this run, only not after a restart.
    const int error =
        MoveToFreeName(temporary, day, seconds, camera, 0, false, "move the capture into place as", placed);
    if (error != 0) {
        if (error == -EEXIST) {
            LOG_ERROR << "No free name for the photo of camera " << camera << " near " << photoRoot_ << "/" << wanted
                      << "; capture dropped.";
        }
        ::unlink(temporary.c_str());
        return error;
    }
    SyncFolder(captureRoot_);
    if (placed.relative != wanted) {
        LOG_WARN << "Photo " << photoRoot_ << "/" << wanted << " exists already (clock set back?): the new photo is "
                 << photoRoot_ << "/" << placed.relative << ".";
    }
    return 0;
}

int PhotoCard::MoveOn(const CardPhoto& photo, CardPhoto& moved) {
    K5_ASSERT_THREAD(bound_);
    std::string day;
    int64_t seconds = 0;
    int camera = 0;
    if (!layout::ParseRelative(photo.relative, day, seconds, camera)) return -EINVAL;
    const int error = MoveToFreeName(Path(photo), day, seconds, camera, 1, true, "rename the photo to", moved);
    if (error == 0) RemoveRecords(photo.relative);
    return error;
}

// Moves `from` to the first name <seconds+k>_<camera>.jpg (k from `first`) of `day` that is
// free on the card, its record created first and never replacing anything. Without
// `needRecord` a record that cannot be made does not stop the move.
int PhotoCard::MoveToFreeName(const std::string& from, const std::string& day, int64_t seconds, int camera,
                              int first, bool needRecord, const char* what, CardPhoto& placed) {
    for (int k = first; k < kMaxNameTries; ++k) {
        const std::string candidate = layout::Relative(day, seconds + k, camera);
        if (Exists(photoRoot_ + "/" + candidate) || IsPending(candidate)) continue;
        const int recorded = WriteRecord(layout::MarkerPath(candidate));
        if (recorded == -EEXIST) continue;
        if (recorded != 0 && needRecord) return recorded;  // logged
        const int error = RenameNoReplace(from, photoRoot_ + "/" + candidate);
        if (error == EEXIST) {
            if (recorded == 0) RemoveRecords(candidate);
            continue;
        }
        if (error != 0) {
            faults_.CardError(what, photoRoot_ + "/" + candidate, error);
            if (recorded == 0) RemoveRecords(candidate);
            return -error;
        }
        SyncFolder(photoRoot_ + "/" + day);
        placed = CardPhoto{seconds + k, camera, candidate, false};
        return 0;
    }
    return -EEXIST;
}

std::vector<CardPhoto> PhotoCard::LoadPending() {
    K5_ASSERT_THREAD(bound_);
    std::vector<std::string> markers;
    for (const std::string& name : List(pendingRoot_)) {
        struct stat info {};
        const std::string path = pendingRoot_ + "/" + name;
        if (!Lstat(path, info)) continue;
        if (S_ISDIR(info.st_mode)) {
            for (const std::string& marker : List(path)) markers.push_back(marker);
        } else if (S_ISREG(info.st_mode)) {
            markers.push_back(name);  // kept flat by older versions
        }
    }
    std::vector<CardPhoto> photos;
    for (const std::string& marker : markers) {
        CardPhoto photo;
        const std::string relative = layout::MarkedPhoto(marker);
        if (relative.empty() || !CardPhoto::Parse(relative, photo)) continue;
        if (!Exists(Path(photo))) {
            // Its capture never finished (a power loss), or the photo was deleted since. An
            // older version captured into the day folder: its leftover goes too.
            const std::string day = relative.substr(0, relative.rfind('/'));
            const std::string old = photoRoot_ + "/" + day + "/." + layout::PhotoName(photo.seconds, photo.camera) + ".part";
            struct stat info {};
            if (Lstat(old, info) && S_ISREG(info.st_mode)) ::unlink(old.c_str());
            RemoveRecords(relative);
            continue;
        }
        photo.claimed = HasClaimRecord(relative);
        photos.push_back(photo);
    }
    std::sort(photos.begin(), photos.end());
    return photos;
}

std::vector<CardPhoto> PhotoCard::RecoverCaptures(long ownPid) {
    K5_ASSERT_THREAD(bound_);
    std::vector<CardPhoto> kept;
    const std::string ownSuffix = "." + std::to_string(ownPid) + ".part";
    for (const std::string& name : List(captureRoot_)) {
        const std::string path = captureRoot_ + "/" + name;
        int64_t seconds = 0;
        int camera = 0;
        if (!layout::ParsePhotoName(name, seconds, camera) ||
            (name.size() > ownSuffix.size() &&
             name.compare(name.size() - ownSuffix.size(), ownSuffix.size(), ownSuffix) == 0)) {
            continue;
        }
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat info {};
        if (!fd.valid() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
            LOG_WARN << "Not a capture but something else in the capture folder, left alone: " << path << ".";
            continue;
        }
        const bool whole = IsWholeJpeg(fd.get(), static_cast<int64_t>(info.st_size)) && ::fsync(fd.get()) == 0;
        fd.reset();
        CardPhoto placed;
        if (!whole) {
            LOG_WARN << "Dropping the unfinished capture " << path << ".";
            if (::unlink(path.c_str()) != 0) faults_.CardError("remove the unfinished capture", path, errno);
        } else if (Place(seconds, camera, path, placed) == 0) {
            LOG_INFO << "Kept the interrupted capture " << path << " as " << Path(placed) << ".";
            kept.push_back(placed);
        }
    }
    return kept;
}

bool PhotoCard::Roomy() const {
    struct statvfs info {};
    if (::statvfs(sdFolder_.c_str(), &info) != 0) return true;  // nothing to judge by
    if (minFreeBytes_ > 0 &&
        static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize) < minFreeBytes_) {
        return false;
    }
    // File systems that count no inodes (FAT) report 0 of them: judged by space alone.
    if (info.f_files == 0) return true;
    const uint64_t floor = std::max<uint64_t>(16, static_cast<uint64_t>(info.f_files) / 100);
    return static_cast<uint64_t>(info.f_favail) >= floor;
}

std::vector<CardPhoto> PhotoCard::MakeRoom() {
    K5_ASSERT_THREAD(bound_);
    std::vector<CardPhoto> deleted;
    if (Roomy()) return deleted;
    // Delivered photos go first; undelivered ones only when nothing else is left.
    if (DeleteOldest(false, deleted) || DeleteOldest(true, deleted)) return deleted;
    struct statvfs info {};
    ::statvfs(sdFolder_.c_str(), &info);
    LOG_WARN << "Storage card " << sdFolder_ << " has "
             << static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize) / (1024 * 1024)
             << " MiB and " << static_cast<uint64_t>(info.f_favail) << " files free, below its floor of "
             << minFreeBytes_ / (1024 * 1024) << " MiB or 1 % of its files, and no photo is left to delete.";
    return deleted;
}

// Deletes photos oldest first until the floor is reached; true once it is.
bool PhotoCard::DeleteOldest(bool undelivered, std::vector<CardPhoto>& deleted) {
    for (const auto& year : NumberedFolders(photoRoot_)) {
        const std::string yearPath = photoRoot_ + "/" + year.second;
        for (const auto& month : NumberedFolders(yearPath)) {
            const std::string monthPath = yearPath + "/" + month.second;
            for (const auto& day : NumberedFolders(monthPath)) {
                const std::string dayName = year.second + "/" + month.second + "/" + day.second;
                const std::string dayPath = monthPath + "/" + day.second;
                std::vector<CardPhoto> photos;
                for (const std::string& name : List(dayPath)) {
                    CardPhoto photo;
                    struct stat info {};
                    const std::string path = dayPath + "/" + name;
                    if (CardPhoto::Parse(dayName + "/" + name, photo)) {
                        photos.push_back(photo);
                    } else if (name[0] == '.' && name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0 &&
                               Lstat(path, info) && S_ISREG(info.st_mode)) {
                        // A capture of an older version cut short by a power loss: never a photo.
                        ::unlink(path.c_str());
                    }
                }
                std::sort(photos.begin(), photos.end());
                bool enough = false;
                for (const CardPhoto& photo : photos) {
                    const bool pending = IsPending(photo.relative);
                    if (pending != undelivered) continue;
                    const std::string path = Path(photo);
                    struct stat info {};
                    if (!Lstat(path, info) || !S_ISREG(info.st_mode)) {
                        LOG_WARN << "Not a photo but something else under its name, left alone: " << path << ".";
                        continue;
                    }
                    if (::unlink(path.c_str()) != 0) {
                        faults_.CardError("delete the photo", path, errno);
                        continue;
                    }
                    if (pending) {
                        LOG_WARN << "Storage card full: deleting undelivered photo " << path << ".";
                        RemoveRecords(photo.relative);
                        deleted.push_back(photo);
                    }
                    if (Roomy()) {
                        enough = true;
                        break;
                    }
                }
                ::rmdir(dayPath.c_str());  // only when it is empty
                if (enough) {
                    ::rmdir(monthPath.c_str());
                    ::rmdir(yearPath.c_str());
                    return true;
                }
            }
            ::rmdir(monthPath.c_str());
        }
        ::rmdir(yearPath.c_str());
    }
    return false;
}
