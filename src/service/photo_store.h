#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <mutex>
#include <set>
#include <string>

#include "net/ftp.h"
#include "utils/thread.h"
#include "utils/timer.h"

// Owns the life of every photo after the camera: its name and place on the card, the record
// of the photos not yet delivered, the card's free-space and free-inode floor, and the
// delivery to the photo server. All of that state changes on this one thread ("Uploader");
// the camera thread only captures into a temporary file and hands it over. The names are
// photo_layout's.
//
// A photo never replaces anything: its name is the capture's second, or the next free second
// when that name (or its marker) is taken on the card or by another file on the server. Its
// marker is created exclusively before the photo is moved into place (without replacing) and
// removed only once the server reports the photo under its final name with its size.
//
// Delivery asks the server first: a photo already there with its size counts as delivered
// (a confirmation lost to a kill), a temporary copy of this device is resumed from where it
// broke off. Fresh photos go as they come; undelivered photos of earlier runs or failed
// attempts (the backlog) go oldest first, one between fresh ones, all over one session. An
// unreachable server makes the whole backlog wait (firstRetry doubling up to maxRetry); a
// server that refuses one photo sets only that photo aside with a wait of its own.
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
        // The server folder of this device's photos ("{mac}" already replaced; "": the root).
        std::string remoteFolder;
        // Whether names on the server are claimed before a file moves into them (a claim
        // folder made exclusively): needed where other devices may use the same folder.
        bool claimNames = true;
        // The device's MAC (12 hex digits): its temporary files on the server carry it.
        std::string mac = "000000000000";
        // What Shutdown() without a deadline gives the uploads.
        std::chrono::milliseconds drainBound{10000};
        std::chrono::seconds firstRetry{5};
        std::chrono::seconds maxRetry{300};
        // Called from a running transfer about once a second: "still making progress".
        std::function<void()> keepAlive;
        // The wall clock in seconds since the epoch (tests replay a clock; default: the system's).
        std::function<int64_t()> clock;

        // From the configuration (sdfolder, sdfolder_min_free_mb, ftp_photo, the MAC).
        static Settings FromConfig();
    };

    // A capture: the camera, the second it was taken, the temporary file the tool writes.
    struct Shot {
        int camera = 0;
        int64_t seconds = 0;
        std::string temporary;
    };

    PhotoStore(const std::string& name, std::shared_ptr<Thread> parent, Settings settings);
    ~PhotoStore() override;

    // Capturing thread (one capture at a time per camera). Picks the capture's time and
    // temporary file and asks this thread to keep the card above its floor. False (with an
    // ERROR) when the card cannot take a file at all.
    bool Prepare(int camera, Shot& shot);
    // Capturing thread. The tool reported success: the file is handed over when it is one
    // whole JPEG that reached the card; otherwise an ERROR names it and it goes.
    bool Commit(const Shot& shot);
    // Capturing thread. The capture failed: its temporary file goes.
    void Abandon(const Shot& shot);

    // Owner's thread, once captures have stopped. Uploads go on until `deadline` (a transfer
    // still running then is cut; the server keeps what it got, for the next run to resume);
    // photos handed over before the call are still placed on the card. Returns once this
    // thread has ended. Without a deadline: drainBound from now.
    void Shutdown();
    void Shutdown(std::chrono::steady_clock::time_point deadline);

    // Any thread: the wall clock of the settings.
    int64_t Now() const;

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
    // A photo the server refused: it waits on its own.
    struct Aside {
        std::chrono::steady_clock::time_point until;
        std::chrono::seconds wait;
    };
    enum class Outcome { Delivered, Gone, ServerDown, Refused, Aborted };

    // This thread: the card.
    void LoadPending();
    void RecoverCaptures();
    bool Place(int64_t seconds, int camera, const std::string& temporary, std::string& relative);
    int MoveToFreeName(const std::string& from, const std::string& day, int64_t seconds, int camera, int first,
                       bool needRecord, const char* what, std::string& relative);
    void EnsureRoom();
    bool Roomy() const;
    bool DeleteOldest(bool undelivered);
    bool IsPending(const std::string& relative) const;
    bool WriteMarker(const std::string& relative);
    bool RemoveMarker(const std::string& relative);
    void SyncFolder(const std::string& folder);
    void CardError(const std::string& what, const std::string& path, int error);

    // This thread: delivery.
    void OnCaptured(const Shot& shot);
    void OnDrain();
    void OnRetry();
    void Settle(const Entry& entry, Outcome outcome);
    Outcome Deliver(Entry& entry);
    Outcome Send(Entry& entry, int fd, int64_t size, std::string& reason);
    bool Claims() const { return settings.claimNames && !claimsRefused; }
    // What one delivery learned about its names on the server so far.
    struct Naming {
        int claimsLost = 0;   // names it found claimed by another device
        std::string madeNow;  // the claim it made last: it holds nothing yet
        bool known = false;   // that claim is in a day folder made just now: nothing under its name
    };
    std::optional<Outcome> ClaimAnew(Entry& entry, const std::string& remote, int64_t size, Naming& naming,
                                     std::string& reason);
    FTPClient::Result MakeFolders(const std::string& folder);
    static Outcome Failed(const FTPClient::Result& result, std::string& reason);
    bool MoveAside(Entry& entry, const std::string& taken, int64_t takenSize, int64_t size, Entry& moved);
    const Entry* NextEligible() const;
    void ArmWake();
    void Backoff(bool again);
    void ServerIsBack();
    void QueueDrain();
    void PostUnlessStopping(std::shared_ptr<EventBase> event);
    bool PastDeadline() const;
    std::string Local(const Entry& entry) const;

    const Settings settings;
    const std::string photoRoot;    // <sdfolder>/photo
    const std::string pendingRoot;  // <sdfolder>/photo/.pending
    const std::string captureRoot;  // <sdfolder>/photo/.capture

    // This thread only.
    std::set<Entry> backlog;
    std::map<std::string, Aside> aside;  // by relative path
    std::unique_ptr<FTPClient> session;  // open while photos flow; closed when idle or failed
    std::set<std::string> ourClaims;     // claims made this run whose photo is not in place yet
    bool claimsRefused = false;          // the server makes no folders for us: no claims this run
    bool drainQueued = false;
    bool waiting = false;  // the server is unreachable: the backlog waits
    std::chrono::seconds retry{0};
    std::unique_ptr<Timer> retryTimer;

    // Any thread: the card said "read-only" (reported once per run).
    std::atomic<bool> readOnlyReported{false};

    // Shutdown and the posting of the thread's own follow-up events.
    std::mutex stopMutex;
    bool stopping = false;
    std::atomic<int64_t> deadlineNs{0};  // steady clock; 0: no deadline yet
};
