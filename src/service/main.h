#pragma once

#include <rapidjson/document.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "net/mqtt.h"
#include "service/photo_store.h"
#include "service/stream.h"
#include "utils/event_loop.h"
#include "utils/thread.h"
#include "utils/timer.h"

// Any thread. Reads `payload` as a command document and gives the text of its first member
// named `key` in `word`. The document is a JSON object in the strict grammar; the text ends at
// its first zero byte; white space may surround the root value, nothing else may follow it.
// Parsed without recursion, so that no nesting depth can exhaust the caller's stack. False for
// anything that is not such a document or whose member is missing or not a string.
inline bool ReadCommandWord(const std::string& payload, const std::string& key, std::string& word) {
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(payload.c_str());
    if (document.HasParseError() || !document.IsObject()) {
        return false;
    }
    rapidjson::Value name(rapidjson::StringRef(key.data(), key.size()));
    auto member = document.FindMember(name);
    if (member == document.MemberEnd() || !member->value.IsString()) {
        return false;
    }
    word.assign(member->value.GetString(), member->value.GetStringLength());
    return true;
}

// The device controller: owns the broker connection and the command protocol. Commands arrive
// on the MQTT delivery thread, become events of this thread and are answered from here.
class Main : public Thread {
public:
    // What the controller and the threads it starts need from the configuration.
    // FromConfig() gives the daemon's; tests pass their own.
    struct Settings {
        std::chrono::seconds heartbeatInterval{30};
        // The state topic carries a change at most this often; one made sooner goes out when
        // the interval ends.
        std::chrono::seconds stateInterval{10};
        // Where the photo store lives (tests pass their own; default: from the configuration).
        std::function<PhotoStore::Settings()> photos;
        MQTTClient::Settings mqtt;
        StreamController::Settings cameras;
        static Settings FromConfig();
    };

    // Any thread. The first call creates the instance (with Settings::FromConfig() unless
    // given); later calls ignore their arguments. Other modules call it only after the program
    // has created the instance.
    static std::shared_ptr<Main> GetInstance(const std::string& name, std::shared_ptr<Thread> parent);
    static std::shared_ptr<Main> GetInstance(const std::string& name, std::shared_ptr<Thread> parent,
                                             const Settings& settings);

    ~Main() override;

    // MQTT delivery thread (any thread). Turns a command document into the matching event of
    // this thread; anything else is ignored without a trace. A flood cannot sink the device:
    // commands of one kind beyond kCommandBurst at once or kCommandsPerSecond on average are
    // dropped (one WARN per flood and kind; other kinds still pass), at most
    // kCommandQueueCapacity wait, and a "view_cam" that is already waiting absorbs the next ones.
    void ParseMQTTCommand(const std::string& payload);
    static constexpr std::size_t kCommandQueueCapacity = 256;
    static constexpr int kCommandBurst = 10;
    static constexpr int kCommandsPerSecond = 10;

    // Any thread. The response document: "id", "time", then `members` in their order.
    static std::string CompressResponseCommandMessage(const std::map<std::string, std::string>& members);
    // Any thread. Publishes the response on the event topic.
    void MQTTPublishCommandResponse(const std::map<std::string, std::string>& members);

    // Any thread. The heartbeat document and its publication on the heartbeat topic; skipped
    // (DEBUG) while the broker is not connected.
    static std::string CompressHeartBreathMesage();
    void MQTTPublishHeartBreath();

    // Any thread. The state document: the photos waiting, set aside and delivered, the photo
    // server's condition, the card's free space, the firmware and which cameras stream.
    static std::string StateDocument(const PhotoStore::State& photos, bool cam1Streams, bool cam2Streams);

    // Any thread but the library's, after this thread has stopped. Tells the broker that the
    // device goes away on purpose ("offline" on the status topic), waiting at most `timeout`.
    void AnnounceOffline(std::chrono::milliseconds timeout);

    // Any thread. Stops this thread like stop(); the photo uploads of the orderly stop end by
    // `deadline` (steady clock), whatever the link: what is not delivered by then stays
    // pending, and what a cut transfer sent is resumed by the next run.
    void StopBy(std::chrono::steady_clock::time_point deadline);

protected:
    // Main thread only.
    void onInit() override;
    void onExit() override;

private:
    Main(const std::string& name, std::shared_ptr<Thread> parent, const Settings& settings);
    static std::shared_ptr<Main> Instance(const std::function<Main*()>& create);

    void RespondSuccess(const std::string& commandWord);
    // Main thread: a connection came up (the first or a later one): heartbeat and state at
    // once, the next heartbeat an interval later.
    void OnConnected();
    // Main thread: publishes the state if it changed, at most once per stateInterval (a later
    // change is published when the interval ends); `now` ignores the interval and publishes
    // even an unchanged state (after a connection, or at the stop, waiting up to `confirm`).
    void PublishState(bool now, std::chrono::milliseconds confirm = std::chrono::milliseconds(0));
    static MQTTClient::Settings WithConnectHook(MQTTClient::Settings settings, Main* self);

    const std::chrono::seconds heartbeatInterval;
    const std::chrono::seconds stateInterval;
    const std::function<PhotoStore::Settings()> photoSettings;
    const StreamController::Settings cameraSettings;
    std::unique_ptr<Timer> heartbeatTimer;
    // The state topic's figures and what went out last. Main thread only.
    PhotoStore::State photoState;
    bool photosReported = false;  // photoState holds the store's figures
    std::set<int> streaming;
    std::string statePublished;
    std::chrono::steady_clock::time_point statePublishedAt{};
    std::unique_ptr<Timer> stateTimer;  // ends an interval in which a change waits
    // The photo store's last report, for the stop, when this thread no longer takes events:
    // written by the delivery thread, read here in onExit.
    std::mutex lastReportMutex;
    bool lastReportSet = false;
    PhotoStore::State lastReport;
    // Child thread that keeps the photos and uploads them, so that a slow transfer never
    // delays the answer to a command. Main thread only; empty after onExit.
    std::shared_ptr<PhotoStore> photoStore;
    // Written by this thread in onInit and onExit, read by the delivery thread: the lock keeps
    // a lookup from running while onExit clears the table.
    std::map<std::string, std::shared_ptr<EventBase>> commandEvents;
    std::mutex commandEventsMutex;
    // A "view_cam" is queued and not yet handled: set by the delivery thread, cleared by this
    // thread when it handles it.
    std::atomic<bool> viewCamQueued{false};
    // Set by StopBy before the stop event: nanoseconds of the steady clock, 0 for none.
    std::atomic<int64_t> uploadDeadlineNs{0};
    // The delivery thread's allowance of commands per kind (token buckets), under their lock.
    struct Allowance {
        double tokens = kCommandBurst;
        std::chrono::steady_clock::time_point at{};
        bool flooded = false;
    };
    std::mutex allowanceMutex;
    std::map<std::string, Allowance> allowances;
    bool TakeAllowance(const std::string& word);
    // Last, so that it is destroyed first: once the connection is closed, no delivery can
    // reach the members above any more.
    MQTTClient client;
};
