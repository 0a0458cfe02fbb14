#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "service/delivery_queue.h"
#include "service/photo_delivery.h"
#include "service/photo_server.h"
#include "utils/thread.h"
#include "utils/timer.h"

// The delivery thread: owns the queue of photos to deliver, the photo server's session and
// the delivery of each photo. It never changes the card: what the card must do (records go,
// a photo moves to another name, a claim is recorded) goes to the card's owner through
// `CardSide`, whose calls post to that thread. The session is open only while photos flow.
class PhotoUploader : public Thread {
public:
    struct Settings {
        std::string photoRoot;  // <sdfolder>/photo: where the photos are read from
        PhotoServerAccount account;
        PhotoDelivery::Settings delivery;
        DeliveryQueue::Settings queue;  // its clock must be readable from any thread
        // Called from a running transfer about once a second: "still making progress".
        std::function<void()> keepAlive;
        // Called on this thread whenever the figures change; `lastDelivery` is the wall clock
        // (seconds) of the last photo delivered in this run, 0 before.
        std::function<void(const DeliveryFigures& figures, int64_t lastDelivery)> report;
        std::function<int64_t()> wallClock;
    };
    // What the card's owner does for delivery; each may be called on this thread only.
    struct CardSide {
        std::function<void(const CardPhoto&)> delivered;   // the photo's records may go
        std::function<void(const CardPhoto&)> gone;        // no longer on the card: its records go
        // Its name is taken (`why`, a sentence): it moves to the next free second.
        std::function<void(const CardPhoto&, const std::string& why)> moveOn;
        std::function<bool(const CardPhoto&)> recordClaim; // waits for the card's answer
        std::function<void()> finished;                    // the last thing this thread does
    };
    // How photos reach the server, made on this thread; null: a file server of settings.account
    // (FTP, FTPS or SFTP). `keepGoing` is what a running request asks about once a second.
    using MakeDelivery = std::function<std::unique_ptr<Delivery>(const DeliveryHooks& hooks,
                                                                 const std::function<bool()>& keepGoing)>;
    PhotoUploader(const std::string& name, std::shared_ptr<Thread> parent, Settings settings, CardSide card,
                  MakeDelivery makeDelivery = nullptr);
    ~PhotoUploader() override;

    // Any thread.
    void Add(const CardPhoto& photo, bool fresh);
    void Remove(const CardPhoto& photo);
    void Moved(const CardPhoto& from, const CardPhoto& to);
    void NotMoved(const CardPhoto& photo, const std::string& reason);
    // No more photos come: deliver until `deadline` (a transfer running then is cut), keep the
    // waits for the next run, call card.finished and end.
    void Finish(std::chrono::steady_clock::time_point deadline);

protected:
    void onInit() override;
    void onExit() override;

private:
    void OnDrain();
    void QueueDrain();
    DeliveryOutcome DeliverOne(const CardPhoto& photo);
    void ArmWake(int64_t delayMs);
    void Report();
    bool PastDeadline() const { return queue_.PastDeadline(); }
    static DeliveryQueue::Settings WithWake(DeliveryQueue::Settings settings, PhotoUploader* self);

    Settings settings_;
    const CardSide card_;
    const MakeDelivery makeDelivery_;
    DeliveryQueue queue_;
    std::unique_ptr<Delivery> delivery_;
    std::unique_ptr<Timer> wakeTimer_;
    std::map<std::string, int> claimsLost_;  // by photo: names lost to other devices' claims
    bool drainQueued_ = false;
    DeliveryFigures reported_;
    bool reportedOnce_ = false;
    int64_t lastDelivery_ = 0;
    bool finishing_ = false;
};
