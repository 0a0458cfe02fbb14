#include "service/photo_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <thread>
#include <utility>
#include <vector>

#include "config.h"
#include "net/ftp.h"
#include "service/photo_layout.h"
#include "utils/clock.h"
#include "utils/logger.h"
#include "utils/shell.h"

namespace layout = photo_layout;

namespace {

// Events of this thread.
using PhotoCapturedEvent = Event<0, PhotoStore::Shot>;
using DrainEvent = Event<1>;
using RetryEvent = Event<2>;
using RoomEvent = Event<3>;

// How many later seconds a photo may move to when its name is taken.
constexpr int kMaxNameTries = 1000;
// How long a partial copy on the server must hold still before it is resumed.
constexpr std::chrono::seconds kSettle{2};
// How often one delivery moves a photo on because another device claimed its name before the
// photo is set aside (a bound, should claims keep failing for a reason the server does not say).
constexpr int kMaxClaimsLost = 3;
// A JPEG may carry zero padding after its end marker (some UVC cameras fill their buffers).
constexpr int64_t kMaxPadding = 4096;

int64_t SteadyNs() {
    return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    std::chrono::steady_clock::now().time_since_epoch())
                                    .count());
}

int64_t WallSeconds() {
    return wallclock::Seconds();
}

bool AllDigits(const std::string& text) {
    return !text.empty() && text.size() <= 9 && text.find_first_not_of("0123456789") == std::string::npos;
}

std::vector<std::string> ListFolder(const std::string& path) {
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

// Makes `path` a folder of ours (with its parents): 0, or the errno that stood in the way.
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

// Numeric sub-folders (year, month, day: not zero-padded), smallest first; links are not
// folders of ours and are never entered.
std::vector<std::pair<long long, std::string>> NumberedFolders(const std::string& path) {
    std::vector<std::pair<long long, std::string>> folders;
    for (const std::string& name : ListFolder(path)) {
        if (AllDigits(name) && IsRealFolder(path + "/" + name)) folders.emplace_back(std::stoll(name), name);
    }
    std::sort(folders.begin(), folders.end());
    return folders;
}

// A whole JPEG: the start marker first, the end marker last (zero padding after it allowed).
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

// Moves `from` to `to` unless `to` exists: 0, EEXIST, or another errno. File systems without
// RENAME_NOREPLACE take a hard link; FAT, which has neither, a look first (this thread is
// the only one that names photos, so nothing of ours appears in between).
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

}  // namespace

PhotoStore::Settings PhotoStore::Settings::FromConfig() {
    Settings settings;
    settings.sdFolder = Config::Get(SD_FOLDER);
    const std::string& floor = Config::Get(SD_MIN_FREE_MB);
    settings.minFreeBytes = (floor.empty() ? 64LL : std::stoll(floor)) * 1024 * 1024;
    settings.ftpUser = Config::Get(FTP_PHOTO_USERNAME);
    settings.ftpPassword = Config::Get(FTP_PHOTO_PASSWORD);
    settings.ftpHost = Config::Get(FTP_PHOTO_SERVER);
    settings.ftpPort = std::stoi(Config::Get(FTP_PHOTO_PORT));
    settings.ftpTrust = FTPClient::TrustFromConfig();
    settings.mac = Config::Get(MAC_ADDRESS);
    std::transform(settings.mac.begin(), settings.mac.end(), settings.mac.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    settings.remoteFolder = layout::RemoteFolder(Config::Get(FTP_PHOTO_FOLDER), settings.mac);
    // A folder of this device's own needs no claims: no other device names files there.
    // Nor does SFTP: its rename never replaces an existing file.
    settings.claimNames = Config::Get(FTP_PHOTO_FOLDER).find("{mac}") == std::string::npos &&
                          settings.ftpHost.compare(0, 7, "sftp://") != 0;
    // A long transfer that still moves keeps the watchdog's keep-alives coming.
    settings.keepAlive = []() { Thread::ReportProgress(); };
    return settings;
}

bool PhotoStore::Entry::operator<(const Entry& other) const {
    if (seconds != other.seconds) return seconds < other.seconds;
    if (camera != other.camera) return camera < other.camera;
    return relative < other.relative;
}

PhotoStore::PhotoStore(const std::string& name, std::shared_ptr<Thread> parent, Settings values)
    : Thread(name, std::move(parent)),
      settings(std::move(values)),
      photoRoot(settings.sdFolder + "/photo"),
      pendingRoot(settings.sdFolder + "/photo/" + layout::kPendingFolder),
      captureRoot(settings.sdFolder + "/photo/" + layout::kCaptureFolder) {
    struct stat card {};
    struct stat root {};
    if (::stat(settings.sdFolder.c_str(), &card) != 0) {
        LOG_WARN << "Storage folder " << settings.sdFolder
                 << " does not exist: photos go to the root file system (is the card mounted?).";
    } else if (::stat("/", &root) == 0 && card.st_dev == root.st_dev) {
        LOG_WARN << "Storage folder " << settings.sdFolder
                 << " lies on the root file system (is the card mounted?).";
    }
}

PhotoStore::~PhotoStore() = default;

int64_t PhotoStore::Now() const { return settings.clock ? settings.clock() : WallSeconds(); }

std::string PhotoStore::Local(const Entry& entry) const { return photoRoot + "/" + entry.relative; }

// ----------------------------------------------------------------- capturing thread

bool PhotoStore::Prepare(int camera, Shot& shot) {
    PostUnlessStopping(std::make_shared<RoomEvent>());
    shot.camera = camera;
    shot.seconds = Now();
    shot.temporary = captureRoot + "/" + layout::CaptureName(shot.seconds, camera, static_cast<long>(::getpid()));
    if (const int error = EnsureFolder(captureRoot)) {
        CardError("create the capture folder", captureRoot, error);
        return false;
    }
    // Created here, exclusively and not through a link, so that the tool writes into a file
    // of ours; and a card that takes no file at all is known before the tool runs.
    int fd = ::open(shot.temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST && ::unlink(shot.temporary.c_str()) == 0) {
        fd = ::open(shot.temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    }
    if (fd < 0) {
        CardError("create the capture file", shot.temporary, errno);
        return false;
    }
    ::close(fd);
    return true;
}

bool PhotoStore::Commit(const Shot& shot) {
    const int fd = ::open(shot.temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0) {
        LOG_ERROR << "Capture of " << shot.temporary << " left no picture.";
        if (fd >= 0) ::close(fd);
        Abandon(shot);
        return false;
    }
    bool whole = IsWholeJpeg(fd, static_cast<int64_t>(info.st_size));
    if (!whole) {
        LOG_ERROR << "Capture of " << shot.temporary << " is not a whole JPEG (" << info.st_size
                  << " bytes without its start or end marker); it is dropped.";
    } else if (::fsync(fd) != 0) {
        CardError("sync the capture", shot.temporary, errno);
        whole = false;
    }
    ::close(fd);
    if (!whole) {
        Abandon(shot);
        return false;
    }
    PostUnlessStopping(std::make_shared<PhotoCapturedEvent>(shot));
    return true;
}

void PhotoStore::Abandon(const Shot& shot) {
    if (::unlink(shot.temporary.c_str()) != 0 && errno != ENOENT) {
        CardError("remove the failed capture", shot.temporary, errno);
    }
}

// ----------------------------------------------------------------------- the card

void PhotoStore::CardError(const std::string& what, const std::string& path, int error) {
    if (error == EROFS) {
        if (!readOnlyReported.exchange(true)) {
            LOG_ERROR << "Storage card " << settings.sdFolder << " is read-only (" << std::strerror(error)
                      << "): cannot " << what << " " << path
                      << "; photos already on it are still delivered, no new photo is kept.";
        } else {
            LOG_DEBUG << "Read-only card: cannot " << what << " " << path << ".";
        }
        return;
    }
    LOG_ERROR << "Cannot " << what << " " << path << ": " << std::strerror(error);
}

void PhotoStore::SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        CardError("open the folder to sync", folder, errno);
        return;
    }
    if (::fsync(fd) != 0) CardError("sync the folder", folder, errno);
    ::close(fd);
}

bool PhotoStore::IsPending(const std::string& relative) const {
    return Exists(pendingRoot + "/" + layout::MarkerPath(relative)) ||
           Exists(pendingRoot + "/" + layout::MarkerName(relative));
}

// 0 once the marker exists (new), EEXIST when one is there already, another errno on failure
// (logged). An empty file appears whole or not at all and costs a directory entry, no data.
bool PhotoStore::WriteMarker(const std::string& relative) {
    const std::string markerPath = layout::MarkerPath(relative);
    if (markerPath.empty()) {
        errno = EINVAL;
        return false;
    }
    const std::string path = pendingRoot + "/" + markerPath;
    const std::string folder = path.substr(0, path.rfind('/'));
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(path.c_str(), flags, 0600);
    if (fd < 0 && errno == ENOENT) {
        // The first photo of the day, or of this card.
        if (const int error = EnsureFolder(folder)) {
            CardError("create the folder of pending records", folder, error);
            errno = error;
            return false;
        }
        fd = ::open(path.c_str(), flags, 0600);
    }
    if (fd < 0) {
        const int error = errno;
        if (error != EEXIST) CardError("record the photo as pending in", path, error);
        errno = error;
        return false;
    }
    ::close(fd);
    SyncFolder(folder);
    return true;
}

bool PhotoStore::RemoveMarker(const std::string& relative) {
    const std::string current = pendingRoot + "/" + layout::MarkerPath(relative);
    const std::string legacy = pendingRoot + "/" + layout::MarkerName(relative);
    for (const std::string& path : {current, legacy}) {
        if (::unlink(path.c_str()) == 0) {
            const std::string folder = path.substr(0, path.rfind('/'));
            if (folder != pendingRoot && ::rmdir(folder.c_str()) == 0) {
                SyncFolder(pendingRoot);  // the day's last record went, and its folder
            } else {
                SyncFolder(folder);
            }
            return true;
        }
        if (errno != ENOENT) {
            CardError("remove the pending record", path, errno);
            return false;
        }
    }
    return true;  // none there: nothing to remove
}

// Moves a whole capture into place under its second or the next free one, recorded as
// pending first; false (logged) when it cannot be kept.
bool PhotoStore::Place(int64_t seconds, int camera, const std::string& temporary, std::string& relative) {
    const std::string day = layout::DayOf(seconds);
    const std::string dayPath = photoRoot + "/" + day;
    if (const int error = EnsureFolder(dayPath)) {
        CardError("use the day folder", dayPath, error);
        ::unlink(temporary.c_str());
        return false;
    }
    const std::string wanted = layout::Relative(day, seconds, camera);
    // Without its marker the photo still goes out in this run, only not after a restart.
    const int error = MoveToFreeName(temporary, day, seconds, camera, 0, false, "move the capture into place as",
                                     relative);
    if (error != 0) {
        if (error == EEXIST) {
            LOG_ERROR << "No free name for the photo of camera " << camera << " near " << photoRoot << "/" << wanted
                      << "; capture dropped.";
        }
        ::unlink(temporary.c_str());
        return false;
    }
    SyncFolder(captureRoot);
    if (relative != wanted) {
        LOG_WARN << "Photo " << photoRoot << "/" << wanted << " exists already (clock set back?): the new photo is "
                 << photoRoot << "/" << relative << ".";
    }
    return true;
}

// Moves `from` to the first name <seconds+k>_<camera>.jpg (k from `first`) of `day` that is
// free on the card, its marker created first and never replacing anything: 0 with `relative`
// set, EEXIST when no name is free, or the errno that stood in the way (logged). Without
// `needRecord` a marker that cannot be made does not stop the move.
int PhotoStore::MoveToFreeName(const std::string& from, const std::string& day, int64_t seconds, int camera,
                               int first, bool needRecord, const char* what, std::string& relative) {
    for (int k = first; k < kMaxNameTries; ++k) {
        const std::string candidate = layout::Relative(day, seconds + k, camera);
        if (Exists(photoRoot + "/" + candidate) || IsPending(candidate)) continue;
        const bool marked = WriteMarker(candidate);
        if (!marked) {
            const int error = errno;
            if (error == EEXIST) continue;
            if (needRecord) return error;  // logged
        }
        const int error = RenameNoReplace(from, photoRoot + "/" + candidate);
        if (error == EEXIST) {
            if (marked) RemoveMarker(candidate);
            continue;
        }
        if (error != 0) {
            CardError(what, photoRoot + "/" + candidate, error);
            if (marked) RemoveMarker(candidate);
            return error;
        }
        SyncFolder(photoRoot + "/" + day);
        relative = candidate;
        return 0;
    }
    return EEXIST;
}

bool PhotoStore::Roomy() const {
    struct statvfs info {};
    if (::statvfs(settings.sdFolder.c_str(), &info) != 0) return true;  // nothing to judge by
    if (settings.minFreeBytes > 0 &&
        static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize) < settings.minFreeBytes) {
        return false;
    }
    // File systems that count no inodes (FAT) report 0 of them: judged by space alone.
    if (info.f_files == 0) return true;
    const uint64_t floor = std::max<uint64_t>(16, static_cast<uint64_t>(info.f_files) / 100);
    return static_cast<uint64_t>(info.f_favail) >= floor;
}

void PhotoStore::EnsureRoom() {
    if (Roomy()) return;
    // Delivered photos go first; undelivered ones only when nothing else is left.
    if (DeleteOldest(false) || DeleteOldest(true)) return;
    struct statvfs info {};
    ::statvfs(settings.sdFolder.c_str(), &info);
    LOG_WARN << "Storage card " << settings.sdFolder << " has "
             << static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize) / (1024 * 1024)
             << " MiB and " << static_cast<uint64_t>(info.f_favail) << " files free, below its floor of "
             << settings.minFreeBytes / (1024 * 1024) << " MiB or 1 % of its files, and no photo is left to delete.";
}

// Deletes photos oldest first until the floor is reached; true once it is.
bool PhotoStore::DeleteOldest(bool undelivered) {
    for (const auto& year : NumberedFolders(photoRoot)) {
        const std::string yearPath = photoRoot + "/" + year.second;
        for (const auto& month : NumberedFolders(yearPath)) {
            const std::string monthPath = yearPath + "/" + month.second;
            for (const auto& day : NumberedFolders(monthPath)) {
                const std::string dayName = year.second + "/" + month.second + "/" + day.second;
                const std::string dayPath = monthPath + "/" + day.second;
                std::vector<std::pair<std::pair<int64_t, int>, std::string>> photos;
                for (const std::string& name : ListFolder(dayPath)) {
                    std::string parsedDay;
                    int64_t seconds = 0;
                    int camera = 0;
                    struct stat info {};
                    const std::string path = dayPath + "/" + name;
                    if (layout::ParseRelative(dayName + "/" + name, parsedDay, seconds, camera)) {
                        photos.push_back({{seconds, camera}, name});
                    } else if (name[0] == '.' && name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0 &&
                               Lstat(path, info) && S_ISREG(info.st_mode)) {
                        // A capture of an older version cut short by a power loss: never a photo.
                        ::unlink(path.c_str());
                    }
                }
                std::sort(photos.begin(), photos.end());
                bool enough = false;
                for (const auto& photo : photos) {
                    const std::string relative = dayName + "/" + photo.second;
                    const bool pending = IsPending(relative);
                    if (pending != undelivered) continue;
                    const std::string path = dayPath + "/" + photo.second;
                    struct stat info {};
                    if (!Lstat(path, info) || !S_ISREG(info.st_mode)) {
                        LOG_WARN << "Not a photo but something else under its name, left alone: " << path << ".";
                        continue;
                    }
                    if (::unlink(path.c_str()) != 0) {
                        CardError("delete the photo", path, errno);
                        continue;
                    }
                    if (pending) {
                        LOG_WARN << "Storage card full: deleting undelivered photo " << path << ".";
                        RemoveMarker(relative);
                        backlog.erase(Entry{photo.first.first, photo.first.second, relative});
                        aside.erase(relative);
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

// --------------------------------------------------------------------- this thread

void PhotoStore::onInit() {
    Thread::onInit();
    setEventHandler<PhotoCapturedEvent>(
        [this](std::shared_ptr<PhotoCapturedEvent> event) { OnCaptured(event->get<0>()); });
    setEventHandler<DrainEvent>([this](std::shared_ptr<DrainEvent>) { OnDrain(); });
    setEventHandler<RetryEvent>([this](std::shared_ptr<RetryEvent>) { OnRetry(); });
    setEventHandler<RoomEvent>([this](std::shared_ptr<RoomEvent>) { EnsureRoom(); });

    // The timer's firing threads may outlive this object; they hold it only weakly.
    std::weak_ptr<Thread> self = shared_from_this();
    retryTimer = std::make_unique<Timer>([self]() {
        if (auto store = std::static_pointer_cast<PhotoStore>(self.lock())) {
            store->PostUnlessStopping(std::make_shared<RetryEvent>());
        }
    });
    retry = settings.firstRetry;

    LoadPending();
    RecoverCaptures();
    EnsureRoom();
    if (!backlog.empty()) {
        LOG_INFO << backlog.size() << " photos of earlier runs are waiting for upload.";
    }
    QueueDrain();
}

void PhotoStore::onExit() {
    if (retryTimer) {
        retryTimer->setEnabled(false);
        retryTimer.reset();
    }
    session.reset();
    if (!backlog.empty()) {
        LOG_INFO << backlog.size() << " photos stay pending for the next run.";
    }
    Thread::onExit();
}

// Start-up reads the pending records only, never the photo tree.
void PhotoStore::LoadPending() {
    std::vector<std::string> markers;
    for (const std::string& name : ListFolder(pendingRoot)) {
        struct stat info {};
        const std::string path = pendingRoot + "/" + name;
        if (!Lstat(path, info)) continue;
        if (S_ISDIR(info.st_mode)) {
            for (const std::string& marker : ListFolder(path)) markers.push_back(marker);
        } else if (S_ISREG(info.st_mode)) {
            markers.push_back(name);  // kept flat by older versions
        }
    }
    for (const std::string& marker : markers) {
        const std::string relative = layout::MarkedPhoto(marker);
        std::string day;
        int64_t seconds = 0;
        int camera = 0;
        if (relative.empty() || !layout::ParseRelative(relative, day, seconds, camera)) continue;
        if (!Exists(photoRoot + "/" + relative)) {
            // Its capture never finished (a power loss), or the photo was deleted since. An
            // older version captured into the day folder: its leftover goes too.
            const std::string old = photoRoot + "/" + day + "/." + layout::PhotoName(seconds, camera) + ".part";
            struct stat info {};
            if (Lstat(old, info) && S_ISREG(info.st_mode)) ::unlink(old.c_str());
            RemoveMarker(relative);
            continue;
        }
        backlog.insert(Entry{seconds, camera, relative});
    }
}

// Captures that a power loss or a kill interrupted: a whole picture is kept like a fresh one.
void PhotoStore::RecoverCaptures() {
    const std::string ownSuffix = "." + std::to_string(static_cast<long>(::getpid())) + ".part";
    for (const std::string& name : ListFolder(captureRoot)) {
        const std::string path = captureRoot + "/" + name;
        int64_t seconds = 0;
        int camera = 0;
        if (!layout::ParsePhotoName(name, seconds, camera) ||
            (name.size() > ownSuffix.size() && name.compare(name.size() - ownSuffix.size(), ownSuffix.size(), ownSuffix) == 0)) {
            continue;
        }
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat info {};
        if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            if (fd >= 0) ::close(fd);
            LOG_WARN << "Not a capture but something else in the capture folder, left alone: " << path << ".";
            continue;
        }
        const bool whole = IsWholeJpeg(fd, static_cast<int64_t>(info.st_size)) && ::fsync(fd) == 0;
        ::close(fd);
        std::string relative;
        if (!whole) {
            LOG_WARN << "Dropping the unfinished capture " << path << ".";
            if (::unlink(path.c_str()) != 0) CardError("remove the unfinished capture", path, errno);
        } else if (Place(seconds, camera, path, relative)) {
            LOG_INFO << "Kept the interrupted capture " << path << " as " << photoRoot << "/" << relative << ".";
            backlog.insert(Entry{seconds, camera, relative});
        }
    }
}

void PhotoStore::OnCaptured(const Shot& shot) {
    EnsureRoom();
    std::string relative;
    if (!Place(shot.seconds, shot.camera, shot.temporary, relative)) return;
    std::string day;
    Entry entry{0, 0, relative};
    layout::ParseRelative(relative, day, entry.seconds, entry.camera);
    backlog.insert(entry);
    if (PastDeadline()) return;  // stays pending for the next run
    // A fresh photo is always tried: it is also how a server that came back is noticed.
    const Outcome outcome = Deliver(entry);
    Settle(entry, outcome);
    if (outcome == Outcome::ServerDown || outcome == Outcome::Aborted) return;
    if (waiting) ServerIsBack();
    QueueDrain();
}

void PhotoStore::OnDrain() {
    drainQueued = false;
    while (!waiting && !PastDeadline()) {
        const Entry* next = NextEligible();
        if (next == nullptr) {
            session.reset();  // the drain is over: log out
            ArmWake();
            return;
        }
        Entry entry = *next;
        const Outcome outcome = Deliver(entry);
        Settle(entry, outcome);
        if (outcome == Outcome::ServerDown || outcome == Outcome::Aborted) return;
        std::lock_guard<std::mutex> lock(stopMutex);
        if (!stopping) {
            // Behind whatever was posted meanwhile: fresh photos are not held up by the backlog.
            drainQueued = true;
            post(std::make_shared<DrainEvent>());
            return;
        }
        // Stopping: nothing new can arrive, so the rest of the bounded time goes to the backlog.
    }
}

void PhotoStore::OnRetry() {
    if (!waiting) {
        // A photo set aside is due again.
        retryTimer->setEnabled(false);
        QueueDrain();
        return;
    }
    if (backlog.empty() || PastDeadline()) {
        waiting = false;
        retryTimer->setEnabled(false);
        return;
    }
    const Entry* next = NextEligible();
    if (next == nullptr) return;  // everything is set aside: the next firing looks again
    Entry entry = *next;
    const Outcome outcome = Deliver(entry);
    Settle(entry, outcome);
    if (outcome == Outcome::ServerDown) {
        Backoff(true);
        return;
    }
    if (outcome == Outcome::Aborted) return;
    ServerIsBack();
    QueueDrain();
}

void PhotoStore::Settle(const Entry& entry, Outcome outcome) {
    switch (outcome) {
    case Outcome::Delivered:
    case Outcome::Gone:
        backlog.erase(entry);
        aside.erase(entry.relative);
        break;
    case Outcome::Refused: {
        auto found = aside.find(entry.relative);
        const std::chrono::seconds wait =
            found == aside.end() ? settings.firstRetry : std::min(found->second.wait * 2, settings.maxRetry);
        aside[entry.relative] = Aside{std::chrono::steady_clock::now() + wait, wait};
        break;
    }
    case Outcome::ServerDown:
        session.reset();
        if (!waiting) Backoff(false);
        break;
    case Outcome::Aborted:
        session.reset();
        break;
    }
}

const PhotoStore::Entry* PhotoStore::NextEligible() const {
    const auto now = std::chrono::steady_clock::now();
    for (const Entry& entry : backlog) {
        auto found = aside.find(entry.relative);
        if (found == aside.end() || found->second.until <= now) return &entry;
    }
    return nullptr;
}

// Nothing can go now: wake up when the first photo set aside is due.
void PhotoStore::ArmWake() {
    if (waiting || aside.empty()) return;
    auto first = std::chrono::steady_clock::time_point::max();
    for (const auto& item : aside) first = std::min(first, item.second.until);
    const auto left = std::chrono::duration_cast<std::chrono::seconds>(first - std::chrono::steady_clock::now()) +
                      std::chrono::seconds(1);
    retryTimer->setEnabled(false);
    retryTimer->setInterval(std::max(left, std::chrono::seconds(1)));
    retryTimer->setEnabled(true);
}

// The server took a photo again: the backlog need not wait any longer.
void PhotoStore::ServerIsBack() {
    waiting = false;
    retry = settings.firstRetry;
    retryTimer->setEnabled(false);
}

void PhotoStore::QueueDrain() {
    if (!backlog.empty() && !drainQueued) {
        drainQueued = true;
        PostUnlessStopping(std::make_shared<DrainEvent>());
    }
}

void PhotoStore::Backoff(bool again) {
    if (again) retry = std::min(retry * 2, settings.maxRetry);
    waiting = true;
    retryTimer->setEnabled(false);
    retryTimer->setInterval(retry);
    retryTimer->setEnabled(true);
}

PhotoStore::Outcome PhotoStore::Deliver(Entry& entry) {
    const std::string local = Local(entry);
    // Never through a link, never anything but a regular file: the card is removable and
    // anyone may have put anything under a photo's name. Non-blocking: a FIFO must not hang us.
    const int fd = ::open(local.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const int openError = errno;
    if (fd < 0 && openError == ENOENT) {
        LOG_WARN << "Photo " << local << " is no longer on the card; it is not uploaded.";
        RemoveMarker(entry.relative);
        return Outcome::Gone;
    }
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        if (fd >= 0) ::close(fd);
        if (fd < 0 && openError != ELOOP) {
            LOG_WARN << "Upload of photo " << local << " failed (cannot read it from the card: "
                     << std::strerror(openError) << "); it is set aside and the others go on.";
            return Outcome::Refused;
        }
        // Left where it is, its record too: only its owner knows what it is.
        LOG_WARN << "Not a photo but " << (fd < 0 ? "a link" : "something else") << " under the name " << local
                 << ": left alone, never sent.";
        return Outcome::Gone;
    }
    std::string reason;
    const Outcome outcome = Send(entry, fd, static_cast<int64_t>(info.st_size), reason);
    ::close(fd);
    const std::string sent = Local(entry);  // the photo may have moved to a free name
    LOG_DEBUG << "Upload FTP Photo " << sent << " status: " << (outcome == Outcome::Delivered ? 1 : 0);
    if (outcome == Outcome::Delivered) {
        RemoveMarker(entry.relative);
        return outcome;
    }
    if (reason.empty()) reason = "no reason given by the FTP client";
    if (PastDeadline()) reason = "shutting down; " + reason;
    if (outcome == Outcome::Refused) {
        LOG_WARN << "Upload of photo " << sent << " failed (" << reason
                 << "); the server refuses this photo: it is set aside and the others go on.";
    } else {
        LOG_WARN << "Upload of photo " << sent << " failed (" << reason
                 << "); it stays pending and is tried again later.";
    }
    return outcome;
}

namespace {

// The session is gone (server down, or the deadline came): nothing more to ask it.
bool Cut(const FTPClient::Result& result) {
    return result.kind == FTPClient::Result::Kind::ServerDown || result.kind == FTPClient::Result::Kind::Aborted;
}

}  // namespace

PhotoStore::Outcome PhotoStore::Failed(const FTPClient::Result& result, std::string& reason) {
    reason = result.message;
    if (result.replyCode != 0) reason += " (server reply " + std::to_string(result.replyCode) + ")";
    switch (result.kind) {
    case FTPClient::Result::Kind::Refused:
    case FTPClient::Result::Kind::LocalError: return Outcome::Refused;
    case FTPClient::Result::Kind::Aborted: return Outcome::Aborted;
    default: return Outcome::ServerDown;
    }
}

// The delivery of one photo over the session: claim, ask, resume or send, rename, confirm.
PhotoStore::Outcome PhotoStore::Send(Entry& entry, int fd, int64_t size, std::string& reason) {
    auto failed = [&reason](const FTPClient::Result& result) { return Failed(result, reason); };
    if (!session) {
        try {
            session = std::make_unique<FTPClient>(settings.ftpUser, settings.ftpPassword, settings.ftpHost,
                                                  settings.ftpPort, settings.ftpTrust);
        } catch (const std::exception& error) {
            reason = error.what();
            return Outcome::ServerDown;
        }
        session->SetProgressHandler([this]() {
            if (settings.keepAlive) settings.keepAlive();
            return !PastDeadline();
        });
    }
    Naming naming;
    for (int hop = 0; hop < kMaxNameTries; ++hop) {
        if (PastDeadline()) {
            reason = "no time left";
            return Outcome::Aborted;
        }
        const std::string remote = layout::RemoteName(settings.remoteFolder, entry.relative);
        const std::string temporary = layout::RemoteTemporary(remote, settings.mac, Claims());
        const std::string claim = layout::RemoteClaim(remote);
        // Claim the name first, ask about it after: of the devices sharing the account only the
        // one that made the claim folder moves a file into the name, and a file another device
        // finished there before our claim is seen by the question below.
        bool claimed = false;  // ours: made by this device, now or earlier in this run
        bool fresh = false;    // made just now: it holds nothing yet
        FTPClient::Result result;
        if (Claims()) {
            claimed = ourClaims.count(claim) != 0;
            fresh = claimed && claim == naming.madeNow;
            if (!claimed) {
                result = session->MakeFolder(claim);
                if (Cut(result)) return failed(result);
                fresh = claimed = result.kind == FTPClient::Result::Kind::Ok;
                if (claimed) ourClaims.insert(claim);
            }
            if (!claimed) {
                // Not made: the day is new (its folder is missing), or the claim stands (an
                // earlier run's of this device, another device's), or this account makes no folders.
                const std::string day = remote.substr(0, remote.rfind('/'));
                result = session->MakeFolder(day);
                if (Cut(result)) return failed(result);
                bool made = result.kind == FTPClient::Result::Kind::Ok;
                if (!made) {
                    result = session->FolderExists(day);
                    if (Cut(result)) return failed(result);
                    if (result.kind == FTPClient::Result::Kind::Absent) {
                        result = MakeFolders(day);  // a new month, a new account
                        if (Cut(result)) return failed(result);
                        made = result.kind == FTPClient::Result::Kind::Ok;
                    }
                }
                if (made) {
                    // A new day: its claims and the claim, with nothing under the name to ask about.
                    const std::optional<Outcome> outcome = ClaimAnew(entry, remote, size, naming, reason);
                    if (outcome) return *outcome;
                    naming.known = naming.madeNow == claim;
                    continue;
                }
            }
        }
        int64_t there = 0;
        if (naming.known) {
            result = FTPClient::Result{};
            result.kind = FTPClient::Result::Kind::Absent;
        } else {
            result = session->Stat(remote, there);
        }
        naming.known = false;
        if (result.kind == FTPClient::Result::Kind::Ok) {
            ourClaims.erase(claim);  // nothing of ours goes there; the claim may stand
            if (there == size) {
                LOG_INFO << "Photo " << Local(entry) << " is on the server already as " << remote
                         << "; counted as delivered.";
                return Outcome::Delivered;
            }
            Entry moved;
            if (!MoveAside(entry, remote, there, size, moved)) {
                reason = remote + " holds another file and the photo cannot take another name";
                return Outcome::Refused;
            }
            entry = moved;
            continue;
        }
        if (result.kind != FTPClient::Result::Kind::Absent) return failed(result);
        int64_t offset = 0;
        bool partial = false;  // a copy of an earlier attempt is there
        if (Claims() && !claimed) {
            // A claim an earlier run of this device made holds what that run sent: continued,
            // not sent again.
            result = session->Stat(temporary, offset);
            if (result.kind == FTPClient::Result::Kind::Absent) {
                const std::optional<Outcome> outcome = ClaimAnew(entry, remote, size, naming, reason);
                if (outcome) return *outcome;
                continue;
            }
            if (result.kind != FTPClient::Result::Kind::Ok) return failed(result);
            partial = true;
            if (offset > size) offset = 0;
            ourClaims.insert(claim);
        } else if (!fresh) {
            // Ours since an earlier attempt of this run, or no claims: a partial copy of that
            // attempt is continued, not sent again. Without claims it lies beside the photo.
            result = session->Stat(temporary, offset);
            if (result.kind == FTPClient::Result::Kind::Ok) {
                partial = true;
                if (offset > size) offset = 0;
            } else if (result.kind != FTPClient::Result::Kind::Absent) {
                return failed(result);
            } else if (claimed) {
                // Empty: made again in case it went meanwhile (a refusal says it is still there).
                result = session->MakeFolder(claim);
                if (Cut(result)) return failed(result);
            }
        }
        if (partial && offset > 0) {
            // The server may still be taking in what an earlier connection of ours sent before it
            // was cut (a slow server reads its buffers long after the sender is gone): appending
            // before that ends would garble the file. Resume only from a copy that holds still.
            std::this_thread::sleep_for(kSettle);
            int64_t again = 0;
            result = session->Stat(temporary, again);
            if (result.kind != FTPClient::Result::Kind::Ok) return failed(result);
            if (again != offset) {
                reason = "the server is still writing an earlier transfer of it (" + std::to_string(offset) +
                         " then " + std::to_string(again) + " bytes)";
                return Outcome::Refused;
            }
        }
        if (offset < size) {
            if (offset > 0) LOG_INFO << "Resuming photo " << Local(entry) << " at byte " << offset << ".";
            result = session->Send(fd, size, offset, temporary);
            if (result.kind != FTPClient::Result::Kind::Ok) return failed(result);
        }
        if (partial) {
            // Never a garbled copy under the photo's name: what was there before is checked.
            int64_t sent = 0;
            result = session->Stat(temporary, sent);
            if (result.kind != FTPClient::Result::Kind::Ok && result.kind != FTPClient::Result::Kind::Absent) {
                return failed(result);
            }
            if (sent != size) {
                reason = "its temporary copy holds " + std::to_string(sent) + " bytes, not " + std::to_string(size);
                return Outcome::Refused;
            }
        }
        result = session->Rename(temporary, remote);
        if (result.kind != FTPClient::Result::Kind::Ok) return failed(result);
        result = session->Stat(remote, there);
        if (result.kind != FTPClient::Result::Kind::Ok && result.kind != FTPClient::Result::Kind::Absent) {
            return failed(result);
        }
        if (result.kind == FTPClient::Result::Kind::Absent || there != size) {
            reason = "the server reports " + (result.kind == FTPClient::Result::Kind::Absent ? std::string("nothing")
                                                                                        : std::to_string(there) + " bytes") +
                     " under " + remote + " after the rename, not " + std::to_string(size);
            return Outcome::Refused;
        }
        // The name is taken by the photo itself now: the claim has done its work and stays.
        ourClaims.erase(claim);
        return Outcome::Delivered;
    }
    reason = "no free name on the server";
    return Outcome::Refused;
}

// The photo's claim could not be made in its day's folder and holds nothing of ours: the day
// is new or has no claims yet (its folder made by an older version or by someone else), another
// device holds the claim (or an empty one a killed run left), or this account makes no folders.
// Nothing: go on, with the name claimed, under another name or without claims.
std::optional<PhotoStore::Outcome> PhotoStore::ClaimAnew(Entry& entry, const std::string& remote, int64_t size,
                                                         Naming& naming, std::string& reason) {
    const std::string claim = layout::RemoteClaim(remote);
    const std::string claims = layout::RemoteClaims(remote);
    FTPClient::Result result = session->MakeFolder(claims);
    if (Cut(result)) return Failed(result, reason);
    if (result.kind != FTPClient::Result::Kind::Ok) {
        result = session->FolderExists(claim);
        if (Cut(result)) return Failed(result, reason);
        if (result.kind == FTPClient::Result::Kind::Ok) {
            // Another device holds the name: the photo takes the next one.
            if (++naming.claimsLost > kMaxClaimsLost) {
                reason = "the server refuses the claim " + claim + " (" + result.message + ")";
                return Outcome::Refused;
            }
            Entry moved;
            if (!MoveAside(entry, remote, -1, size, moved)) {
                reason = remote + " is claimed by another device and the photo cannot take another name";
                return Outcome::Refused;
            }
            entry = moved;
            return std::nullopt;
        }
        if (result.kind != FTPClient::Result::Kind::Absent) return Failed(result, reason);
    }
    result = session->MakeFolder(claim);
    if (Cut(result)) return Failed(result, reason);
    if (result.kind == FTPClient::Result::Kind::Ok) {
        ourClaims.insert(claim);
        naming.madeNow = claim;
        return std::nullopt;  // asked again, now under the claim
    }
    // The server makes no folders for this account at all: names cannot be claimed on it, and
    // the photo goes without (as where no other device can race).
    claimsRefused = true;
    LOG_WARN << "The photo server refuses to make the folder " << claim << " (" << result.message
             << (result.replyCode != 0 ? " (server reply " + std::to_string(result.replyCode) + ")" : std::string())
             << "): photo names are not claimed on it in this run, so devices sharing its folders "
                "could replace each other's photos (an ftp_photo.folder with {mac} gives each "
                "device its own).";
    return std::nullopt;
}

// Makes `folder` where its parent is missing too: from the nearest folder above it that can be
// made down to it (a new month costs the month's folder and the day's, not a question per level).
FTPClient::Result PhotoStore::MakeFolders(const std::string& folder) {
    std::vector<std::string> below{folder};
    FTPClient::Result result;
    result.kind = FTPClient::Result::Kind::Refused;
    for (;;) {
        const std::size_t slash = below.back().rfind('/');
        if (slash == std::string::npos || slash == 0) return result;  // none could be made
        const std::string parent = below.back().substr(0, slash);
        result = session->MakeFolder(parent);
        if (Cut(result) || result.kind == FTPClient::Result::Kind::Ok) break;
        below.push_back(parent);
    }
    for (auto level = below.rbegin(); level != below.rend() && result.kind == FTPClient::Result::Kind::Ok; ++level) {
        result = session->MakeFolder(*level);
    }
    return result;
}

// The server holds another file under the photo's name (another device on the account, an
// earlier boot with the same clock): the photo takes the next second free on the card.
bool PhotoStore::MoveAside(Entry& entry, const std::string& taken, int64_t takenSize, int64_t size, Entry& moved) {
    std::string day;
    int64_t seconds = 0;
    int camera = 0;
    if (!layout::ParseRelative(entry.relative, day, seconds, camera)) return false;
    std::string candidate;
    if (MoveToFreeName(Local(entry), day, seconds, camera, 1, true, "rename the photo to", candidate) == 0) {
        RemoveMarker(entry.relative);
        if (takenSize < 0) {
            LOG_WARN << "Another device claimed " << taken << " first: photo " << Local(entry) << " goes on as "
                     << photoRoot << "/" << candidate << " on the card and on the server.";
        } else {
            LOG_WARN << "The server holds another file (" << takenSize << " bytes, the photo has " << size
                     << ") under " << taken << ": photo " << Local(entry) << " goes on as " << photoRoot << "/"
                     << candidate << " on the card and on the server.";
        }
        int64_t movedSeconds = 0;
        layout::ParseRelative(candidate, day, movedSeconds, camera);
        moved = Entry{movedSeconds, camera, candidate};
        auto found = aside.find(entry.relative);
        if (found != aside.end()) {
            aside[candidate] = found->second;
            aside.erase(found);
        }
        backlog.erase(entry);
        backlog.insert(moved);
        return true;
    }
    return false;
}

void PhotoStore::PostUnlessStopping(std::shared_ptr<EventBase> event) {
    std::lock_guard<std::mutex> lock(stopMutex);
    if (!stopping) post(std::move(event));
}

bool PhotoStore::PastDeadline() const {
    const int64_t deadline = deadlineNs.load();
    return deadline != 0 && SteadyNs() >= deadline;
}

void PhotoStore::Shutdown() {
    Shutdown(std::chrono::steady_clock::now() + settings.drainBound);
}

void PhotoStore::Shutdown(std::chrono::steady_clock::time_point deadline) {
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        if (stopping) return;
        stopping = true;
        deadlineNs = static_cast<int64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count());
        stop();
    }
    wait();
}
