#include "service/main.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <chrono>
#include <cstdint>

#include "config.h"
#include "utils/logger.h"

namespace {
int64_t NowSeconds() {
    auto since = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() /
                                1000000000);
}
}  // namespace

std::shared_ptr<Main> Main::GetInstance(const std::string& name, std::shared_ptr<Thread> parent) {
    static std::shared_ptr<Main> _instance(new Main(name, std::move(parent)));
    return _instance;
}

Main::Main(const std::string& name, std::shared_ptr<Thread> parent)
    : Thread(name, std::move(parent)) {}

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

    setEventHandler<VersionEvent>([this](std::shared_ptr<VersionEvent>) {
        MQTTPublishCommandResponse(
            {{Config::Get(KEY_FW), Config::Get(FW_VERSION)}, {Config::Get(KEY_TYPE), Config::Get(CMD_VERSION)}});
    });
    setEventHandler<DownloadEvent>(
        [this](std::shared_ptr<DownloadEvent>) { RespondSuccess(Config::Get(CMD_DOWNLOAD)); });
    setEventHandler<RebootEvent>(
        [this](std::shared_ptr<RebootEvent>) { RespondSuccess(Config::Get(CMD_REBOOT)); });
    setEventHandler<ResetFactoryEvent>(
        [this](std::shared_ptr<ResetFactoryEvent>) { RespondSuccess(Config::Get(CMD_RESET_FACTORY)); });

    // The only subscription of the device. If the broker is not reachable yet, the client
    // remembers it and subscribes as soon as the connection is up.
    client.Subscribe(Config::Get(MQTT_TOPIC_COMMAND),
                     [this](const std::string& payload) { ParseMQTTCommand(payload); });
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
    Thread::onExit();
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
    post(event);
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
