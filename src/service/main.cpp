#include "service/main.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

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
      cameraSettings(settings.cameras),
      client(settings.mqtt) {}

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
    photoStore = std::make_shared<PhotoStore>("Uploader", shared_from_this(),
                                              PhotoStore::Settings::FromConfig());
    photoStore->start();

    // The only subscription of the device. If the broker is not reachable yet, the client
    // remembers it and subscribes as soon as the connection is up.
    client.Subscribe(Config::Get(MQTT_TOPIC_COMMAND),
                     [this](const std::string& payload) { ParseMQTTCommand(payload); });

    // The timer's threads may outlive this object at process exit; they hold it only weakly.
    std::weak_ptr<Main> self = std::static_pointer_cast<Main>(shared_from_this());
    heartbeatTimer = std::make_unique<Timer>([self]() {
        if (auto main = self.lock()) {
            main->MQTTPublishHeartBreath();
        }
    });
    heartbeatTimer->setInterval(heartbeatInterval);
    heartbeatTimer->setEnabled(true);

    auto controller = StreamController::GetInstance("StreamController", shared_from_this(), cameraSettings);
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
    client.Publish(Config::Get(MQTT_TOPIC_HEARTBEAT), CompressHeartBreathMesage());
}
