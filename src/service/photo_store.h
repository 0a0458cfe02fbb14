#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "net/ftp.h"
#include "utils/thread.h"
#include "utils/timer.h"

// Owns the life of every photo after the camera: its place on the card, the record of the
// photos not yet delivered, the free-space floor of the card, and the upload thread.
//
// On the card, next to the photos, <sdfolder>/photo/.pending/ holds one empty marker file per
// undelivered photo, its name telling which ("<seconds>_<camera>.<year>-<month>-<day>.pending").
// A marker is created (and its folder synced) before the capture starts and removed only after
// the server confirmed the photo under its final name. Creating or removing an empty file is
// atomic by itself and costs a FAT card one directory entry, no data cluster. Start-up reads
// that one folder, never the photo tree.
//
// Fresh photos are uploaded as they come; undelivered photos of earlier runs or failed
// attempts (the backlog) go oldest first, one between fresh ones. After a failure the backlog
// waits, doubling the wait from firstRetry up to maxRetry; a fresh photo is always tried.
class PhotoStore : public Thread {
public:
    struct Settings {
        std::string sdFolder;
        int64_t minFreeBytes = 64LL * 1024 * 1024;  // free space kept on the card (0: none)
        std::string ftpUser;
        std::string ftpPassword;
        std::string ftpHost;
        int ftpPort = 0;
        FTPClient::Trust ftpTrust;  // what the photo server must prove (FTPS CA, SFTP host key)
        // What Shutdown gives the uploads before what is left stays pending for the next run.
        std::chrono::milliseconds drainBound{10000};
        std::chrono::seconds firstRetry{5};
        std::chrono::seconds maxRetry{300};
        // Called from a running transfer about once a second: "still making progress".
        std::function<void()> keepAlive;

        // From the configuration (sdfolder, sdfolder_min_free_mb, ftp_photo).
        static Settings FromConfig();
    };

    // A photo being taken: where the tool writes, where the photo goes, its marker's name.
    struct Shot {
        std::string path;
        std::string temporary;
        std::string marker;
    };

    PhotoStore(const std::string& name, std::shared_ptr<Thread> parent, Settings settings);
    ~PhotoStore() override;

    // Capturing thread (one at a time). Makes room on the card, chooses the new photo's path
    // (its day folder exists afterwards) and records the photo as undelivered.
    Shot Prepare(int camera);
    // Capturing thread. The tool finished with success: moves its file into place and queues
    // the upload. False, with an ERROR line, when the tool left no picture.
    bool Commit(const Shot& shot);
    // Capturing thread. The capture failed: removes its temporary file and its marker.
    void Abandon(const Shot& shot);

    // Owner's thread, once captures have stopped. Stops the upload thread: queued uploads run
    // until drainBound has passed (a transfer still running then is aborted), the rest stays
    // pending on the card. Returns once the thread has ended.
    void Shutdown();

    // Any thread. The server path of a photo: its path without the first occurrence of the
    // storage folder (normally "/photo/...").
    std::string RemoteName(const std::string& path) const;

    // Any thread. Pure helpers on the card layout.
    // "<seconds>_<camera>.<year>-<month>-<day>.pending" for "<year>/<month>/<day>/<seconds>_<camera>.jpg"
    // (a path below photo/), "" for anything else; MarkedPhoto is its inverse.
    static std::string MarkerName(const std::string& relative);
    static std::string MarkedPhoto(const std::string& marker);
    static bool ParsePhotoName(const std::string& name, int64_t& seconds, int& camera);

protected:
    void onInit() override;
    void onExit() override;

private:
    struct Entry {
        int64_t seconds;
        int camera;
        std::string relative;  // below <sdfolder>/photo/
        bool operator<(const Entry& other) const;
    };

    // Capturing thread.
    void EnsureRoom();
    bool DeleteOldest(bool undelivered);
    int64_t FreeBytes() const;

    // Upload thread.
    void LoadPending();
    void OnCaptured(const std::string& relative);
    void OnDrain();
    void OnRetry();
    bool Deliver(const Entry& entry);
    void Backoff(bool again);
    void ServerIsBack();
    void QueueDrain();
    void PostUnlessStopping(std::shared_ptr<EventBase> event);
    bool PastDeadline() const;

    // Any thread: the card.
    bool WriteMarker(const std::string& marker) const;
    void RemoveMarker(const std::string& marker) const;

    const Settings settings;
    const std::string photoRoot;    // <sdfolder>/photo
    const std::string pendingRoot;  // <sdfolder>/photo/.pending
    const int64_t startSeconds;     // markers from before this run may be leftovers

    // Upload thread only.
    std::set<Entry> backlog;
    bool drainQueued = false;
    bool waiting = false;  // backing off after a failure
    std::chrono::seconds retry{0};
    std::unique_ptr<Timer> retryTimer;

    // Shutdown and the posting of the thread's own follow-up events.
    std::mutex stopMutex;
    bool stopping = false;
    std::atomic<int64_t> deadlineNs{0};  // steady clock; 0: no deadline yet
};
