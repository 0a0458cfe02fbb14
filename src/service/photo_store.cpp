#include "service/photo_store.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <future>

#include "config.h"
#include "service/bucket_delivery.h"
#include "service/photo_layout.h"
#include "service/photo_server.h"
#include "service/photo_uploader.h"
#include "utils/clock.h"
#include "utils/logger.h"
#include "utils/shell.h"

namespace layout = photo_layout;

namespace {

// Events of this thread.
using PhotoCapturedEvent = Event<0, PhotoStore::Shot>;
using RoomEvent = Event<1>;
using FinishEvent = Event<2, std::chrono::steady_clock::time_point>;
using DeliveredEvent = Event<3, CardPhoto>;
using MoveOnEvent = Event<4, CardPhoto, std::string>;
using UploaderDoneEvent = Event<5>;

// How long delivery waits for the card to record a claim (the card thread may be deleting
// old photos); without the record a kill would cost a rename, not a photo.
constexpr std::chrono::seconds kRecordWait{5};

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
    // A folder of this device's own needs no claims: no other device names files there. Nor
    // does SFTP (the scheme in any case): its rename never replaces an existing file.
    settings.claimNames =
        Config::Get(FTP_PHOTO_FOLDER).find("{mac}") == std::string::npos && !IsSftpHost(settings.ftpHost);
    settings.bucket = S3Bucket::Account{Config::Get(PHOTO_BUCKET_ENDPOINT),   Config::Get(PHOTO_BUCKET_BUCKET),
                                        Config::Get(PHOTO_BUCKET_REGION),     Config::Get(PHOTO_BUCKET_ACCESS_KEY),
                                        Config::Get(PHOTO_BUCKET_SECRET_KEY), Config::Get(PHOTO_BUCKET_CA_FILE)};
    settings.bucketFolder = layout::RemoteFolder(Config::Get(PHOTO_BUCKET_FOLDER), settings.mac);
    settings.deliveryStateFile = RuntimeDirectory() + "/photos";
    // A long transfer that still moves keeps the watchdog's keep-alives coming.
    settings.keepAlive = []() { Thread::ReportProgress(); };
    return settings;
}

PhotoStore::PhotoStore(const std::string& name, std::shared_ptr<Thread> parent, Settings values)
    : Thread(name, std::move(parent)),
      settings(std::move(values)),
      faults(settings.sdFolder),
      card(settings.sdFolder, settings.minFreeBytes, faults),
      capture(card.captureRoot(), faults, [this]() { return Now(); },
              [this](const Shot& shot) { PostUnlessStopping(std::make_shared<PhotoCapturedEvent>(shot)); }) {
    struct stat sd {};
    struct stat root {};
    if (::stat(settings.sdFolder.c_str(), &sd) != 0) {
        LOG_WARN << "Storage folder " << settings.sdFolder
                 << " does not exist: photos go to the root file system (is the card mounted?).";
    } else if (::stat("/", &root) == 0 && sd.st_dev == root.st_dev) {
        LOG_WARN << "Storage folder " << settings.sdFolder << " lies on the root file system (is the card mounted?).";
    }
}

PhotoStore::~PhotoStore() = default;

int64_t PhotoStore::Now() const { return settings.clock ? settings.clock() : wallclock::Seconds(); }

bool PhotoStore::Prepare(int camera, Shot& shot) {
    PostUnlessStopping(std::make_shared<RoomEvent>());
    return capture.Prepare(camera, shot);
}

bool PhotoStore::Commit(const Shot& shot) { return capture.Commit(shot); }

void PhotoStore::Abandon(const Shot& shot) { capture.Abandon(shot); }

void PhotoStore::onInit() {
    Thread::onInit();
    setEventHandler<PhotoCapturedEvent>([this](std::shared_ptr<PhotoCapturedEvent> event) {
        OnCaptured(event->get<0>());
    });
    setEventHandler<RoomEvent>([this](std::shared_ptr<RoomEvent>) { MakeRoom(); });
    setEventHandler<DeliveredEvent>([this](std::shared_ptr<DeliveredEvent> event) { card.Delivered(event->get<0>()); });
    setEventHandler<MoveOnEvent>([this](std::shared_ptr<MoveOnEvent> event) {
        MoveOn(event->get<0>(), event->get<1>());
    });
    setEventHandler<FinishEvent>([this](std::shared_ptr<FinishEvent> event) { uploader->Finish(event->get<0>()); });
    setEventHandler<UploaderDoneEvent>([this](std::shared_ptr<UploaderDoneEvent>) { stop(); });

    PhotoUploader::Settings delivery;
    delivery.photoRoot = card.photoRoot();
    delivery.account = PhotoServerAccount{settings.ftpUser, settings.ftpPassword, settings.ftpHost, settings.ftpPort,
                                          settings.ftpTrust, !settings.claimNames};
    delivery.delivery.remoteFolder = settings.remoteFolder;
    delivery.delivery.mac = settings.mac;
    delivery.delivery.photoRoot = card.photoRoot();
    delivery.delivery.settle = settings.settle;
    delivery.queue.firstRetry = settings.firstRetry;
    delivery.queue.maxRetry = settings.maxRetry;
    delivery.queue.stateFile = settings.deliveryStateFile;
    delivery.queue.clock = settings.waitClock;
    delivery.keepAlive = settings.keepAlive;
    delivery.wallClock = [this]() { return Now(); };
    if (settings.onState) {
        delivery.report = [this](const DeliveryFigures& figures, int64_t lastDelivery) {
            State state;
            state.delivery = figures;
            state.lastDelivery = lastDelivery;
            struct statvfs sd {};
            if (::statvfs(settings.sdFolder.c_str(), &sd) == 0) {
                state.cardFreeMb = static_cast<int64_t>(sd.f_bavail) * static_cast<int64_t>(sd.f_frsize) /
                                   (1024 * 1024);
                state.cardFreeFiles = static_cast<int64_t>(sd.f_favail);
            }
            settings.onState(state);
        };
    }

    // Delivery posts what the card must do; it outlives none of it (this thread ends after it).
    PhotoUploader::CardSide side;
    side.delivered = [this](const CardPhoto& photo) { post(std::make_shared<DeliveredEvent>(photo)); };
    side.gone = side.delivered;
    side.moveOn = [this](const CardPhoto& photo, const std::string& why) {
        post(std::make_shared<MoveOnEvent>(photo, why));
    };
    side.recordClaim = [this](const CardPhoto& photo) {
        auto answer = std::make_shared<std::promise<bool>>();
        std::future<bool> recorded = answer->get_future();
        post([this, photo, answer]() { answer->set_value(card.RecordClaim(photo) == 0); });
        return recorded.wait_for(kRecordWait) == std::future_status::ready && recorded.get();
    };
    side.finished = [this]() { post(std::make_shared<UploaderDoneEvent>()); };
    PhotoUploader::MakeDelivery make;
    if (settings.server) {
        const PhotoDelivery::Settings steps = delivery.delivery;
        make = [this, steps](const DeliveryHooks& hooks, const std::function<bool()>&) {
            return std::make_unique<PhotoDelivery>(settings.server(), steps, hooks);
        };
    } else if (!settings.bucket.endpoint.empty()) {
        const BucketDelivery::Settings bucket{settings.bucket, settings.bucketFolder, settings.mac};
        make = [bucket](const DeliveryHooks& hooks, const std::function<bool()>& keepGoing) {
            return std::make_unique<BucketDelivery>(bucket, hooks, keepGoing);
        };
    }
    uploader = std::make_shared<PhotoUploader>("Delivery", shared_from_this(), delivery, side, make);
    uploader->start();

    std::vector<CardPhoto> backlog = card.LoadPending();
    for (const CardPhoto& photo : card.RecoverCaptures(static_cast<long>(::getpid()))) backlog.push_back(photo);
    MakeRoom();
    if (!backlog.empty()) LOG_INFO << backlog.size() << " photos of earlier runs are waiting for upload.";
    for (const CardPhoto& photo : backlog) uploader->Add(photo, false);
}

void PhotoStore::onExit() {
    Thread::onExit();  // delivery has ended before: its last word was UploaderDoneEvent
    uploader.reset();
}

void PhotoStore::MakeRoom() {
    for (const CardPhoto& deleted : card.MakeRoom()) uploader->Remove(deleted);
}

void PhotoStore::OnCaptured(const Shot& shot) {
    MakeRoom();
    CardPhoto photo;
    if (card.Place(shot.seconds, shot.camera, shot.temporary, photo) == 0) uploader->Add(photo, true);
}

void PhotoStore::MoveOn(const CardPhoto& photo, const std::string& why) {
    CardPhoto moved;
    const int error = card.MoveOn(photo, moved);
    if (error != 0) {
        uploader->NotMoved(photo, why + " and the photo cannot take another name");
        return;
    }
    LOG_WARN << why << ": photo " << card.Path(photo) << " goes on as " << card.Path(moved)
             << " on the card and on the server.";
    uploader->Moved(photo, moved);
}

void PhotoStore::PostUnlessStopping(std::shared_ptr<EventBase> event) {
    std::lock_guard<std::mutex> lock(stopMutex);
    if (!stopping) post(std::move(event));
}

void PhotoStore::Shutdown() { Shutdown(std::chrono::steady_clock::now() + settings.drainBound); }

void PhotoStore::Shutdown(std::chrono::steady_clock::time_point deadline) {
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        if (stopping) return;
        stopping = true;
        // Behind the captures handed over already: they are placed and recorded first.
        post(std::make_shared<FinishEvent>(deadline));
    }
    wait();
}
