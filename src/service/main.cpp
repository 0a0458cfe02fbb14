#include "service/main.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>

#include "config.h"
#include "service/photo_store.h"
#include "service/stream.h"
#include "utils/clock.h"
#include "utils/logger.h"

namespace {
int64_t NowSeconds() {
    return wallclock::Seconds();
}
}  // namespace

Main::Settings Main::Settings::FromConfig() {
    Settings settings;
    settings.heartbeatInterval = std::chrono::seconds(std::stoi(Config::Get(HEARTBEAT_INTERVAL)));
    settings.mqtt = MQTTClient::SettingsFromConfig();
    settings.cameras = StreamController::Settings::FromConfig();
    return settings;
}

std::shared_ptr<Main> Main::Instance(const std::function<Main*()>& create) {
    static std::shared_ptr<Main> _instance(create());
    return _instance;
}

std::shared_ptr<Main> Main::GetInstance(const std::string& name, std::shared_ptr<Thread> parent) {
    return Instance([&] { return new Main(name, parent, Settings::FromConfig()); });
}

std::shared_ptr<Main> Main::GetInstance(const std::string& name, std::shared_ptr<Thread> parent,
                                        const Settings& settings) {
    return Instance([&] { return new Main(name, parent, settings); });
}

Main::Main(const std::string& name, std::shared_ptr<Thread> parent, const Settings& settings)
    : Thread(name, std::move(parent)),
      heartbeatInterval(settings.heartbeatInterval),
      stateInterval(settings.stateInterval),
      photoSettings(settings.photos),
      cameraSettings(settings.cameras),
      client(WithConnectHook(settings.mqtt, this)) {}

MQTTClient::Settings Main::WithConnectHook(MQTTClient::Settings settings, Main* self) {
    // The client is the first member destroyed, so its hook never outlives this object. A
    // connection made while this thread is not started yet is handled once it runs.
    settings.onConnected = [self]() { self->post([self]() { self->OnConnected(); }); };
    return settings;
}

Main::~Main() = default;

void Main::onInit() {
    Thread::onInit();

    {
        std::lock_guard<std::mutex> lock(commandEventsMutex);
        commandEvents[Config::Get(CMD_VERSION)] = std::make_shared<VersionEvent>();
        commandEvents[Config::Get(CMD_DOWNLOAD)] = std::make_shared<DownloadEvent>();
        commandEvents[Config::Get(CMD_HEARTBEAT)] = std::make_shared<HeartbeatEvent>();
        commandEvents[Config::Get(CMD_REBOOT)] = std::make_shared<RebootEvent>();
        commandEvents[Config::Get(CMD_RESET_FACTORY)] = std::make_shared<ResetFactoryEvent>();
        commandEvents[Config::Get(CMD_VIEW_CAM)] = std::make_shared<ViewCamEvent>();
    }

    // Handlers in the order version, download, heartbeat, reboot, reset_factory, view_cam.
    setEventHandler<VersionEvent>([this](std::shared_ptr<VersionEvent>) {
        MQTTPublishCommandResponse(
            {{Config::Get(KEY_FW), Config::Get(FW_VERSION)}, {Config::Get(KEY_TYPE), Config::Get(CMD_VERSION)}});
    });
    setEventHandler<DownloadEvent>(
        [this](std::shared_ptr<DownloadEvent>) { RespondSuccess(Config::Get(CMD_DOWNLOAD)); });
    setEventHandler<HeartbeatEvent>([this](std::shared_ptr<HeartbeatEvent>) { MQTTPublishHeartBreath(); });
    setEventHandler<RebootEvent>(
        [this](std::shared_ptr<RebootEvent>) { RespondSuccess(Config::Get(CMD_REBOOT)); });
    setEventHandler<ResetFactoryEvent>(
        [this](std::shared_ptr<ResetFactoryEvent>) { RespondSuccess(Config::Get(CMD_RESET_FACTORY)); });
    setEventHandler<ViewCamEvent>([this](std::shared_ptr<ViewCamEvent>) {
        viewCamQueued = false;
        std::map<std::string, std::string> response = {
            {Config::Get(KEY_RESULT), "success"}, {Config::Get(KEY_TYPE), Config::Get(CMD_VIEW_CAM)}};
        const std::pair<FIELD, FIELD> cameras[] = {{CAM1_INDEX, KEY_CAM1}, {CAM2_INDEX, KEY_CAM2}};
        for (const auto& camera : cameras) {
            const int number = std::stoi(Config::Get(camera.first));
            if (StreamController::CameraDeviceIsConnected(number)) {
                response[Config::Get(camera.second)] = "1";
                StreamController::GetInstance("", nullptr)->post(std::make_shared<StartStreamEvent>(number));
            } else {
                response[Config::Get(camera.second)] = "0";
                LOG_ERROR << "Can't start stream for camera: " << number << ", device is not connected yet.";
            }
        }
        MQTTPublishCommandResponse(response);
    });
    // Started before the camera thread, which hands it every photo it takes.
    std::weak_ptr<Main> self = std::static_pointer_cast<Main>(shared_from_this());
    PhotoStore::Settings photos = photoSettings ? photoSettings() : PhotoStore::Settings::FromConfig();
    // Delivery thread: hands the figures over, nothing more.
    photos.onState = [self](const PhotoStore::State& state) {
        auto main = self.lock();
        if (!main) return;
        {
            std::lock_guard<std::mutex> lock(main->lastReportMutex);
            main->lastReport = state;
            main->lastReportSet = true;
        }
        std::weak_ptr<Main> weak = main;
        main->post([weak, state]() {
            if (auto owner = weak.lock()) {
                owner->photoState = state;
                owner->photosReported = true;
                owner->PublishState(false);
            }
        });
    };
    photoStore = std::make_shared<PhotoStore>("Uploader", shared_from_this(), photos);
    photoStore->start();

    // The only subscription of the device. If the broker is not reachable yet, the client
    // remembers it and subscribes as soon as the connection is up.
    client.Subscribe(Config::Get(MQTT_TOPIC_COMMAND),
                     [this](const std::string& payload) { ParseMQTTCommand(payload); });

    // The timers' threads may outlive this object at process exit; they hold it only weakly.
    heartbeatTimer = std::make_unique<Timer>([self]() {
        if (auto main = self.lock()) {
            main->MQTTPublishHeartBreath();
        }
    });
    heartbeatTimer->setInterval(heartbeatInterval);
    heartbeatTimer->setEnabled(true);

    stateTimer = std::make_unique<Timer>([self]() {
        if (auto main = self.lock()) {
            main->post([self]() {
                if (auto owner = self.lock()) {
                    if (owner->stateTimer) owner->stateTimer->setEnabled(false);
                    owner->PublishState(false);
                }
            });
        }
    });

    StreamController::Settings cameras = cameraSettings;
    // Controller thread: hands the set over, nothing more.
    cameras.onStreams = [self](const std::set<int>& numbers) {
        if (auto main = self.lock()) {
            std::weak_ptr<Main> weak = main;
            main->post([weak, numbers]() {
                if (auto owner = weak.lock()) {
                    owner->streaming = numbers;
                    owner->PublishState(false);
                }
            });
        }
    };
    auto controller = StreamController::GetInstance("StreamController", shared_from_this(), cameras);
    controller->SetPhotoStore(photoStore);
    controller->start();
    const int cam1 = std::stoi(Config::Get(CAM1_INDEX));
    const int cam2 = std::stoi(Config::Get(CAM2_INDEX));
    // On the controller's thread, after its start-up has restored the streams of the last run.
    controller->post([controller, cam1, cam2]() {
        controller->StartCapturePhotoTimer(cam1);
        controller->StartCapturePhotoTimer(cam2);
    });
}

void Main::onExit() {
    if (heartbeatTimer) {
        heartbeatTimer->setEnabled(false);
        heartbeatTimer.reset();
    }
    if (stateTimer) {
        stateTimer->setEnabled(false);
        stateTimer.reset();
    }
    {
        std::lock_guard<std::mutex> lock(commandEventsMutex);
        commandEvents.clear();
    }
    // Captures stop first: a photo being taken completes and reaches the store. Then the
    // uploads get their bounded time; what is not delivered stays pending on the card.
    auto controller = StreamController::GetInstance("", nullptr);
    controller->stop();
    controller->wait();
    if (photoStore) {
        const int64_t deadline = uploadDeadlineNs.load();
        if (deadline != 0) {
            photoStore->Shutdown(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadline)));
        } else {
            photoStore->Shutdown();
        }
    }
    // The run's last figures, which the delivery thread reported while the uploads ended.
    {
        std::lock_guard<std::mutex> lock(lastReportMutex);
        if (lastReportSet) photoState = lastReport;
    }
    PublishState(true, std::chrono::seconds(1));
    Thread::onExit();
    photoStore.reset();
}

void Main::StopBy(std::chrono::steady_clock::time_point deadline) {
    uploadDeadlineNs = static_cast<int64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count());
    stop();
}

void Main::RespondSuccess(const std::string& commandWord) {
    MQTTPublishCommandResponse(
        {{Config::Get(KEY_RESULT), "success"}, {Config::Get(KEY_TYPE), commandWord}});
}

void Main::ParseMQTTCommand(const std::string& payload) {
    std::string word;
    if (!ReadCommandWord(payload, Config::Get(KEY_TYPE), word)) {
        return;
    }
    std::shared_ptr<EventBase> event;
    {
        std::lock_guard<std::mutex> lock(commandEventsMutex);
        auto found = commandEvents.find(word);
        if (found == commandEvents.end()) {
            return;
        }
        event = found->second;
    }
    if (!TakeAllowance(word)) {
        return;
    }
    const bool viewCam = event->id == ViewCamEvent::eventId;
    if (viewCam && viewCamQueued.exchange(true)) {
        return;  // the one already waiting starts the streams and answers
    }
    if (!tryPost(event, kCommandQueueCapacity, "commands from the broker") && viewCam) {
        viewCamQueued = false;
    }
}

bool Main::TakeAllowance(const std::string& word) {
    std::lock_guard<std::mutex> lock(allowanceMutex);
    Allowance& allowance = allowances[word];  // one entry per known command word
    const auto now = std::chrono::steady_clock::now();
    if (allowance.at != std::chrono::steady_clock::time_point{}) {
        allowance.tokens += std::chrono::duration<double>(now - allowance.at).count() * kCommandsPerSecond;
    }
    allowance.at = now;
    if (allowance.tokens >= kCommandBurst) {
        allowance.tokens = kCommandBurst;
        allowance.flooded = false;  // quiet long enough: a later flood is a new one
    }
    if (allowance.tokens < 1) {
        if (!allowance.flooded) {
            allowance.flooded = true;
            LOG_WARN << "More than " << kCommandsPerSecond << " \"" << word
                     << "\" commands per second from the broker, dropping them until the flood ends.";
        }
        return false;
    }
    allowance.tokens -= 1;
    return true;
}

std::string Main::CompressResponseCommandMessage(const std::map<std::string, std::string>& members) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    const std::string& idKey = Config::Get(KEY_ID);
    const std::string& deviceId = Config::Get(DEVICE_ID);
    writer.Key(idKey.data(), static_cast<rapidjson::SizeType>(idKey.size()));
    writer.String(deviceId.data(), static_cast<rapidjson::SizeType>(deviceId.size()));
    const std::string& timeKey = Config::Get(KEY_TIME);
    writer.Key(timeKey.data(), static_cast<rapidjson::SizeType>(timeKey.size()));
    writer.Int64(NowSeconds());
    for (const auto& member : members) {
        writer.Key(member.first.data(), static_cast<rapidjson::SizeType>(member.first.size()));
        writer.String(member.second.data(), static_cast<rapidjson::SizeType>(member.second.size()));
    }
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

void Main::MQTTPublishCommandResponse(const std::map<std::string, std::string>& members) {
    client.Publish(Config::Get(MQTT_TOPIC_EVENT), CompressResponseCommandMessage(members));
}

std::string Main::CompressHeartBreathMesage() {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    auto key = [&writer](FIELD field) {
        const std::string& name = Config::Get(field);
        writer.Key(name.data(), static_cast<rapidjson::SizeType>(name.size()));
    };
    auto text = [&writer](FIELD field) {
        const std::string& value = Config::Get(field);
        writer.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
    };
    writer.StartObject();
    key(KEY_ID);
    text(DEVICE_ID);
    key(KEY_TIME);
    writer.Int64(NowSeconds());
    key(KEY_TYPE);
    text(CMD_HEARTBEAT);
    key(KEY_CAM1);
    writer.Bool(StreamController::CameraDeviceIsConnected(std::stoi(Config::Get(CAM1_INDEX))));
    key(KEY_CAM2);
    writer.Bool(StreamController::CameraDeviceIsConnected(std::stoi(Config::Get(CAM2_INDEX))));
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

void Main::AnnounceOffline(std::chrono::milliseconds timeout) {
    client.PublishOffline(timeout);
}

void Main::MQTTPublishHeartBreath() {
    // The next connection sends one at once: nothing is owed for the time without one.
    if (!client.IsConnected()) {
        LOG_DEBUG << "Heartbeat skipped: the broker is not connected.";
        return;
    }
    client.Publish(Config::Get(MQTT_TOPIC_HEARTBEAT), CompressHeartBreathMesage());
}

void Main::OnConnected() {
    MQTTPublishHeartBreath();
    if (heartbeatTimer) {
        heartbeatTimer->setEnabled(false);  // re-armed: the next one an interval from now
        heartbeatTimer->setEnabled(true);
    }
    // Before the photo store's first figures, which come within moments of the start, the
    // state would say nothing waits: the first figures publish it instead.
    if (photosReported) PublishState(true);
}

void Main::PublishState(bool now, std::chrono::milliseconds confirm) {
    const bool cam1 = streaming.count(std::stoi(Config::Get(CAM1_INDEX))) != 0;
    const bool cam2 = streaming.count(std::stoi(Config::Get(CAM2_INDEX))) != 0;
    const std::string document = StateDocument(photoState, cam1, cam2);
    if (!now && document == statePublished) return;
    const auto at = std::chrono::steady_clock::now();
    if (!now && statePublishedAt != std::chrono::steady_clock::time_point{} &&
        at - statePublishedAt < stateInterval) {
        if (stateTimer && !stateTimer->getEnabled()) {
            const auto left = std::chrono::ceil<std::chrono::seconds>(stateInterval - (at - statePublishedAt));
            stateTimer->setInterval(std::max(left, std::chrono::seconds(1)));
            stateTimer->setEnabled(true);
        }
        return;
    }
    if (client.PublishRetained(Config::Get(MQTT_TOPIC_STATE), document, confirm)) {
        statePublished = document;
        statePublishedAt = at;
    }
}

std::string Main::StateDocument(const PhotoStore::State& photos, bool cam1Streams, bool cam2Streams) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    auto text = [&writer](const std::string& value) {
        writer.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
    };
    writer.StartObject();
    writer.Key("waiting");
    writer.Int64(photos.delivery.waiting);
    writer.Key("oldest_waiting");
    writer.Int64(photos.delivery.waiting > 0 ? photos.delivery.oldestWaiting : 0);
    writer.Key("set_aside");
    writer.Int64(photos.delivery.setAside);
    writer.Key("last_delivery");
    writer.Int64(photos.lastDelivery);
    writer.Key("server");
    text(photos.delivery.server);
    writer.Key("server_error");
    text(photos.delivery.serverError);
    writer.Key("card_free_mb");
    writer.Int64(photos.cardFreeMb);
    writer.Key("card_free_files");
    writer.Int64(photos.cardFreeFiles);
    writer.Key("fw");
    text(Config::Get(FW_VERSION));
    writer.Key("streams");
    writer.StartObject();
    writer.Key("cam1");
    writer.Bool(cam1Streams);
    writer.Key("cam2");
    writer.Bool(cam2Streams);
    writer.EndObject();
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}
