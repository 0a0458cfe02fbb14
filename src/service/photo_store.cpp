#include "service/photo_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

#include "config.h"
#include "net/ftp.h"
#include "service/stream.h"
#include "utils/clock.h"
#include "utils/logger.h"
#include "utils/shell.h"

namespace {

// Events of the upload thread.
using PhotoCapturedEvent = Event<0, std::string>;  // path below <sdfolder>/photo/
using DrainEvent = Event<1>;
using RetryEvent = Event<2>;

constexpr const char* kMarkerSuffix = ".pending";

int64_t SteadyNs() {
    return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    std::chrono::steady_clock::now().time_since_epoch())
                                    .count());
}

int64_t WallSeconds() {
    return wallclock::Seconds();
}

bool AllDigits(const std::string& text, std::size_t maxLength) {
    return !text.empty() && text.size() <= maxLength &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
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

// Numeric sub-folders (year, month, day: not zero-padded), smallest first.
std::vector<std::pair<long long, std::string>> NumberedFolders(const std::string& path) {
    std::vector<std::pair<long long, std::string>> folders;
    for (const std::string& name : ListFolder(path)) {
        if (AllDigits(name, 9)) folders.emplace_back(std::stoll(name), name);
    }
    std::sort(folders.begin(), folders.end());
    return folders;
}

// Makes a finished rename or removal in `folder` durable.
void SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

bool SyncFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

bool Exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
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
      pendingRoot(settings.sdFolder + "/photo/.pending"),
      startSeconds(WallSeconds()) {
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

bool PhotoStore::ParsePhotoName(const std::string& name, int64_t& seconds, int& camera) {
    const std::size_t underscore = name.find('_');
    const std::size_t dot = name.find('.');
    if (underscore == std::string::npos || dot == std::string::npos || dot < underscore) return false;
    const std::string first = name.substr(0, underscore);
    const std::string second = name.substr(underscore + 1, dot - underscore - 1);
    if (!AllDigits(first, 18) || !AllDigits(second, 9)) return false;
    seconds = static_cast<int64_t>(std::stoll(first));
    camera = std::stoi(second);
    return true;
}

std::string PhotoStore::MarkerName(const std::string& relative) {
    // <year>/<month>/<day>/<seconds>_<camera>.jpg -> <seconds>_<camera>.<year>-<month>-<day>.pending
    std::vector<std::string> parts;
    std::size_t begin = 0;
    for (std::size_t slash = relative.find('/'); slash != std::string::npos; slash = relative.find('/', begin)) {
        parts.push_back(relative.substr(begin, slash - begin));
        begin = slash + 1;
    }
    const std::string fileName = relative.substr(begin);
    int64_t seconds = 0;
    int camera = 0;
    if (parts.size() != 3 || !EndsWith(fileName, ".jpg") || fileName.find('.') != fileName.size() - 4 ||
        !ParsePhotoName(fileName, seconds, camera)) {
        return std::string();
    }
    for (const std::string& part : parts) {
        if (!AllDigits(part, 9)) return std::string();
    }
    return fileName.substr(0, fileName.size() - 4) + "." + parts[0] + "-" + parts[1] + "-" + parts[2] +
           kMarkerSuffix;
}

std::string PhotoStore::MarkedPhoto(const std::string& marker) {
    const std::size_t dot = marker.find('.');
    if (dot == std::string::npos || !EndsWith(marker, kMarkerSuffix)) return std::string();
    std::string date = marker.substr(dot + 1, marker.size() - dot - 1 - std::strlen(kMarkerSuffix));
    std::replace(date.begin(), date.end(), '-', '/');
    const std::string relative = date + "/" + marker.substr(0, dot) + ".jpg";
    return MarkerName(relative) == marker ? relative : std::string();
}

std::string PhotoStore::RemoteName(const std::string& path) const {
    std::string remote = path;
    const std::size_t at = remote.find(settings.sdFolder);
    if (at != std::string::npos) remote.erase(at, settings.sdFolder.size());
    return remote;
}

// ----------------------------------------------------------------------- the card

bool PhotoStore::WriteMarker(const std::string& marker) const {
    // An empty file whose name says everything: it appears whole or not at all, and it costs
    // the card a directory entry, no data block.
    const std::string path = pendingRoot + "/" + marker;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 && errno == ENOENT) {
        // The first photo on this card (or the folder was removed since).
        CreateDirectory(pendingRoot);
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    }
    if (fd < 0) {
        LOG_ERROR << "Cannot record photo " << MarkedPhoto(marker) << " as pending in " << pendingRoot << ": "
                  << std::strerror(errno);
        return false;
    }
    ::close(fd);
    SyncFolder(pendingRoot);
    return true;
}

void PhotoStore::RemoveMarker(const std::string& marker) const {
    if (::unlink((pendingRoot + "/" + marker).c_str()) == 0) SyncFolder(pendingRoot);
}

int64_t PhotoStore::FreeBytes() const {
    struct statvfs info {};
    if (::statvfs(settings.sdFolder.c_str(), &info) != 0) return -1;
    return static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize);
}

// ----------------------------------------------------------------- capturing thread

PhotoStore::Shot PhotoStore::Prepare(int camera) {
    EnsureRoom();
    Shot shot;
    shot.path = Photo::GeneratePhotoPath(settings.sdFolder, camera);
    const std::size_t slash = shot.path.rfind('/');
    const std::string fileName = shot.path.substr(slash + 1);
    shot.temporary = shot.path.substr(0, slash + 1) + "." + fileName + ".part";
    shot.marker = MarkerName(shot.path.substr(photoRoot.size() + 1));
    // Without its marker the photo would still go out in this run, only not after a restart.
    if (!shot.marker.empty()) WriteMarker(shot.marker);
    return shot;
}

bool PhotoStore::Commit(const Shot& shot) {
    struct stat info {};
    if (::stat(shot.temporary.c_str(), &info) != 0 || info.st_size == 0) {
        LOG_ERROR << "Capture of " << shot.path << " left no picture.";
        Abandon(shot);
        return false;
    }
    // The picture is on the card before its name says it is complete.
    SyncFile(shot.temporary);
    if (::rename(shot.temporary.c_str(), shot.path.c_str()) != 0) {
        LOG_ERROR << "Cannot rename " << shot.temporary << " to " << shot.path << ": "
                  << std::strerror(errno);
        Abandon(shot);
        return false;
    }
    SyncFolder(shot.path.substr(0, shot.path.rfind('/')));
    post(std::make_shared<PhotoCapturedEvent>(shot.path.substr(photoRoot.size() + 1)));
    return true;
}

void PhotoStore::Abandon(const Shot& shot) {
    ::unlink(shot.temporary.c_str());
    RemoveMarker(shot.marker);
}

void PhotoStore::EnsureRoom() {
    if (settings.minFreeBytes <= 0) return;
    const int64_t free = FreeBytes();
    if (free < 0 || free >= settings.minFreeBytes) return;
    // Delivered photos go first; undelivered ones only when nothing else is left.
    if (DeleteOldest(false) || DeleteOldest(true)) return;
    LOG_WARN << "Storage card " << settings.sdFolder << " has " << FreeBytes() / (1024 * 1024)
             << " MiB free, below its floor of " << settings.minFreeBytes / (1024 * 1024)
             << " MiB, and no photo is left to delete.";
}

// Deletes photos oldest first until the floor is reached; true once it is.
bool PhotoStore::DeleteOldest(bool undelivered) {
    for (const auto& year : NumberedFolders(photoRoot)) {
        const std::string yearPath = photoRoot + "/" + year.second;
        for (const auto& month : NumberedFolders(yearPath)) {
            const std::string monthPath = yearPath + "/" + month.second;
            for (const auto& day : NumberedFolders(monthPath)) {
                const std::string dayPath = monthPath + "/" + day.second;
                std::vector<std::pair<std::pair<int64_t, int>, std::string>> photos;
                for (const std::string& name : ListFolder(dayPath)) {
                    int64_t seconds = 0;
                    int camera = 0;
                    const std::string relative = year.second + "/" + month.second + "/" + day.second + "/" + name;
                    if (!MarkerName(relative).empty() && ParsePhotoName(name, seconds, camera)) {
                        photos.push_back({{seconds, camera}, name});
                    } else if (name[0] == '.' && EndsWith(name, ".part")) {
                        // A capture cut short by a power loss: never a photo.
                        ::unlink((dayPath + "/" + name).c_str());
                    }
                }
                std::sort(photos.begin(), photos.end());
                bool enough = false;
                for (const auto& photo : photos) {
                    const std::string marker =
                        MarkerName(year.second + "/" + month.second + "/" + day.second + "/" + photo.second);
                    const bool pending = Exists(pendingRoot + "/" + marker);
                    if (pending != undelivered) continue;
                    const std::string path = dayPath + "/" + photo.second;
                    if (pending) {
                        LOG_WARN << "Storage card full: deleting undelivered photo " << path << ".";
                    }
                    if (::unlink(path.c_str()) != 0) continue;
                    if (pending) RemoveMarker(marker);
                    if (FreeBytes() >= settings.minFreeBytes) {
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

// --------------------------------------------------------------------- upload thread

void PhotoStore::onInit() {
    Thread::onInit();
    setEventHandler<PhotoCapturedEvent>(
        [this](std::shared_ptr<PhotoCapturedEvent> event) { OnCaptured(event->get<0>()); });
    setEventHandler<DrainEvent>([this](std::shared_ptr<DrainEvent>) { OnDrain(); });
    setEventHandler<RetryEvent>([this](std::shared_ptr<RetryEvent>) { OnRetry(); });

    // The timer's firing threads may outlive this object; they hold it only weakly.
    std::weak_ptr<Thread> self = shared_from_this();
    retryTimer = std::make_unique<Timer>([self]() {
        if (auto store = std::static_pointer_cast<PhotoStore>(self.lock())) {
            store->PostUnlessStopping(std::make_shared<RetryEvent>());
        }
    });
    retry = settings.firstRetry;

    LoadPending();
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
    if (!backlog.empty()) {
        LOG_INFO << backlog.size() << " photos stay pending for the next run.";
    }
    Thread::onExit();
}

void PhotoStore::LoadPending() {
    for (const std::string& name : ListFolder(pendingRoot)) {
        int64_t seconds = 0;
        int camera = 0;
        const std::string relative = MarkedPhoto(name);
        if (relative.empty() || !ParsePhotoName(name, seconds, camera)) continue;
        const std::string photo = photoRoot + "/" + relative;
        if (!Exists(photo)) {
            // Written before a capture that never finished (or a photo deleted since); a
            // marker of this run belongs to a capture that may still be under way.
            if (seconds < startSeconds) {
                const std::size_t slash = photo.rfind('/');
                ::unlink((photo.substr(0, slash + 1) + "." + photo.substr(slash + 1) + ".part").c_str());
                RemoveMarker(name);
            }
            continue;
        }
        backlog.insert(Entry{seconds, camera, relative});
    }
}

void PhotoStore::OnCaptured(const std::string& relative) {
    if (PastDeadline()) return;  // stays pending for the next run
    const std::size_t slash = relative.rfind('/');
    Entry entry{0, 0, relative};
    ParsePhotoName(relative.substr(slash == std::string::npos ? 0 : slash + 1), entry.seconds,
                   entry.camera);
    if (!Deliver(entry)) {
        backlog.insert(entry);
        if (!waiting) Backoff(false);
        return;
    }
    if (waiting) ServerIsBack();
    QueueDrain();
}

void PhotoStore::OnDrain() {
    drainQueued = false;
    while (!waiting && !backlog.empty() && !PastDeadline()) {
        const Entry oldest = *backlog.begin();
        if (!Deliver(oldest)) {
            Backoff(false);
            return;
        }
        backlog.erase(oldest);
        std::lock_guard<std::mutex> lock(stopMutex);
        if (!stopping) {
            if (!backlog.empty()) {
                // Behind whatever was posted meanwhile: fresh photos are not held up by the
                // backlog.
                drainQueued = true;
                post(std::make_shared<DrainEvent>());
            }
            return;
        }
        // Stopping: nothing new can arrive, so the rest of the bounded time goes to the backlog.
    }
}

void PhotoStore::OnRetry() {
    if (!waiting) return;
    if (backlog.empty() || PastDeadline()) {
        waiting = false;
        retryTimer->setEnabled(false);
        return;
    }
    const Entry oldest = *backlog.begin();
    if (!Deliver(oldest)) {
        Backoff(true);
        return;
    }
    backlog.erase(oldest);
    ServerIsBack();
    QueueDrain();
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

bool PhotoStore::Deliver(const Entry& entry) {
    const std::string local = photoRoot + "/" + entry.relative;
    const std::string marker = MarkerName(entry.relative);
    if (!Exists(local)) {
        LOG_WARN << "Photo " << local << " is no longer on the card; it is not uploaded.";
        RemoveMarker(marker);
        return true;
    }
    bool uploaded = false;
    std::string reason;
    try {
        // One connection per photo, closed before the outcome is logged.
        FTPClient ftp(settings.ftpUser, settings.ftpPassword, settings.ftpHost, settings.ftpPort,
                      settings.ftpTrust);
        ftp.SetProgressHandler([this]() {
            if (settings.keepAlive) settings.keepAlive();
            return !PastDeadline();
        });
        uploaded = ftp.Upload(local, RemoteName(local));
        reason = ftp.lastMessage();
    } catch (const std::exception& error) {
        reason = error.what();
    }
    LOG_DEBUG << "Upload FTP Photo " << local << " status: " << (uploaded ? 1 : 0);
    if (!uploaded) {
        if (reason.empty()) reason = "no reason given by the FTP client";
        if (PastDeadline()) reason = "shutting down; " + reason;
        LOG_WARN << "Upload of photo " << local << " failed (" << reason
                 << "); it stays pending and is tried again later.";
        return false;
    }
    RemoveMarker(marker);
    return true;
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
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        if (stopping) return;
        stopping = true;
        deadlineNs = SteadyNs() + static_cast<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                           settings.drainBound)
                                                           .count());
        stop();
    }
    wait();
}
