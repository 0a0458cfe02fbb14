#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "net/ftp.h"
#include "net/s3.h"
#include "service/capture_slot.h"
#include "service/delivery_queue.h"
#include "service/photo_card.h"
#include "utils/thread.h"

class PhotoUploader;
class PhotoServer;

// The life of every photo after the camera, in three parts on three threads: the capturing
// thread fills a CaptureSlot; this thread (the card's) owns the PhotoCard (names, records,
// retention) and hands every photo to the delivery thread (PhotoUploader, a child of this
// one), which owns the queue and the server's session and tells this thread what the card must
// do. The card's work never waits for the network.
class PhotoStore : public Thread {
public:
    // What the photos stand at, for the state topic.
    struct State {
        DeliveryFigures delivery;
        int64_t lastDelivery = 0;  // wall clock seconds of the last delivery in this run (0: none)
        int64_t cardFreeMb = 0;
        int64_t cardFreeFiles = 0;  // 0 where the file system counts none (FAT)
    };
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
        // How long a partial copy on the server must hold still before it is resumed.
        std::chrono::milliseconds settle{2000};
        // Where delivery keeps its waits and its fresh photos between runs ("": not kept).
        std::string deliveryStateFile;
        // Called from a running transfer about once a second: "still making progress".
        std::function<void()> keepAlive;
        // The wall clock in seconds since the epoch (tests replay a clock; default: the system's).
        std::function<int64_t()> clock;
        // Milliseconds on a clock that runs on across runs, any thread (default: boot time).
        std::function<int64_t()> waitClock;
        // Called on the delivery thread whenever the state changes (at most as often as a
        // photo is added, tried or removed).
        std::function<void(const State&)> onState;
        // An object store that takes the photos instead of the FTP server (photo_bucket; an
        // empty endpoint: none), its keys below bucketFolder ("{mac}" already replaced).
        S3Bucket::Account bucket;
        std::string bucketFolder;
        // The photo server (tests hand in a fake; null: the one of the ftp members).
        std::function<std::unique_ptr<PhotoServer>()> server;

        // From the configuration (sdfolder, sdfolder_min_free_mb, ftp_photo, the MAC).
        static Settings FromConfig();
    };

    using Shot = CaptureSlot::Shot;

    PhotoStore(const std::string& name, std::shared_ptr<Thread> parent, Settings settings);
    ~PhotoStore() override;

    // Capturing thread (one capture at a time per camera): see CaptureSlot. Prepare also asks
    // this thread to keep the card above its floor.
    bool Prepare(int camera, Shot& shot);
    bool Commit(const Shot& shot);
    void Abandon(const Shot& shot);

    // Owner's thread, once captures have stopped. Photos handed over before the call are still
    // placed on the card; uploads go on until `deadline` (a transfer still running then is cut;
    // the server keeps what it got, for the next run to resume). Returns once this thread has
    // ended. Without a deadline: drainBound from now.
    void Shutdown();
    void Shutdown(std::chrono::steady_clock::time_point deadline);

    // Any thread: the wall clock of the settings.
    int64_t Now() const;

protected:
    void onInit() override;
    void onExit() override;

private:
    // This thread.
    void OnCaptured(const Shot& shot);
    void MakeRoom();
    void MoveOn(const CardPhoto& photo, const std::string& why);
    void PostUnlessStopping(std::shared_ptr<EventBase> event);

    const Settings settings;
    CardFaults faults;
    PhotoCard card;       // this thread only
    CaptureSlot capture;  // the capturing thread only
    std::shared_ptr<PhotoUploader> uploader;

    std::mutex stopMutex;
    bool stopping = false;
};
