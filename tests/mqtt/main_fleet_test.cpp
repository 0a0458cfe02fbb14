// A device of a fleet, against two real brokers of one cluster and a real FTP server: what its
// state topic says about the card and the server, and how it moves between the brokers.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "config.h"
#include "device_config.h"
#include "ftp_servers.h"
#include "mosquitto.h"
#include "probe.h"
#include "process.h"
#include "service/main.h"
#include "service/photo_layout.h"

using namespace std::chrono_literals;

namespace {

fixture::Mosquitto* first = nullptr;
fixture::Mosquitto* second = nullptr;
fixture::FtpServer* ftp = nullptr;
DeviceConfig device;
std::string sd;
// The backlog of an earlier run; the server refuses the second photo's name.
const std::vector<std::string> kBacklog = {"2026/1/4/1767484800_1.jpg", "2026/1/4/1767484860_1.jpg",
                                           "2026/1/4/1767484920_2.jpg"};
std::mutex unitsMutex;
std::vector<double> units;  // what the reconnecting thread drew

void MakeDirectories(const std::string& path) {
    for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
        ::mkdir(path.substr(0, at).c_str(), 0700);
    }
    ::mkdir(path.c_str(), 0700);
}

// The photos the card still has to deliver (its pending markers).
int PendingOnCard() {
    int pending = 0;
    for (const std::string& photo : kBacklog) {
        struct stat info {};
        pending += ::stat((sd + "/photo/.pending/" + photo_layout::MarkerPath(photo)).c_str(), &info) == 0;
    }
    return pending;
}

// Reads `topic` (retained state first) until a document satisfies `wanted`; its text, or "".
std::string WaitForDocument(Probe& probe, const std::string& topic,
                            const std::function<bool(const rapidjson::Document&)>& wanted,
                            std::chrono::seconds timeout, std::string* last = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Probe::Message message;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!probe.Next(message, 200ms) || message.topic != topic) continue;
        if (last) *last = message.payload;
        rapidjson::Document document;
        document.Parse(message.payload.c_str());
        if (!document.HasParseError() && document.IsObject() && wanted(document)) return message.payload;
    }
    return "";
}

bool Answers(Probe& controller) {
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (std::chrono::steady_clock::now() < deadline) {
        controller.Publish(device.Topic("command"), "{\"type\":\"version\"}");
        Probe::Message message;
        while (controller.Next(message, 300ms)) {
            if (message.topic == device.Topic("event") && message.payload.find("\"type\":\"version\"") != std::string::npos)
                return true;
        }
    }
    return false;
}

// The retained message of `topic` on `broker`, as a new subscriber gets it ("" for none).
std::string Retained(const fixture::Mosquitto& broker, const std::string& topic) {
    Probe probe(broker.uri(), "retained-reader");
    probe.Subscribe(topic);
    Probe::Message message;
    while (probe.Next(message, 1s)) {
        if (message.topic == topic) return message.payload;
    }
    return "";
}

// After a backlog, a refusal and deliveries, the state topic holds exactly what the card and
// the server hold; once the server takes the refused photo, nothing waits any more.
TEST(MainFleetTest, StateTopicTellsWhatTheCardAndTheServerHold) {
    Probe watcher(first->uri(), "state-watcher");
    watcher.Subscribe(device.Topic("state"));
    const std::string refusedOnServer = ftp->root() + "/photo/" + kBacklog[1];
    std::string last;
    const std::string stuck = WaitForDocument(
        watcher, device.Topic("state"),
        [](const rapidjson::Document& d) { return d["set_aside"].GetInt64() == 1 && d["waiting"].GetInt64() == 1; },
        60s, &last);
    ASSERT_FALSE(stuck.empty()) << last;
    rapidjson::Document state;
    state.Parse(stuck.c_str());
    // Exactly the fixed members, in a compact document.
    EXPECT_EQ(state.MemberCount(), 10u) << stuck;
    EXPECT_EQ(stuck.find(' '), std::string::npos) << stuck;
    EXPECT_EQ(PendingOnCard(), 1);
    EXPECT_EQ(state["oldest_waiting"].GetInt64(), 1767484860) << stuck;
    EXPECT_GT(state["last_delivery"].GetInt64(), 1767484800) << stuck;
    EXPECT_STREQ(state["server"].GetString(), "up") << stuck;
    EXPECT_EQ(std::string(state["server_error"].GetString()).find(ftp->password()), std::string::npos) << stuck;
    EXPECT_STREQ(state["fw"].GetString(), "4.0");
    EXPECT_FALSE(state["streams"]["cam1"].GetBool());
    EXPECT_FALSE(state["streams"]["cam2"].GetBool());
    struct statvfs card {};
    ASSERT_EQ(::statvfs(sd.c_str(), &card), 0);
    const long long freeMb = static_cast<long long>(card.f_bavail) * static_cast<long long>(card.f_frsize) / (1024 * 1024);
    // Others write to the same file system meanwhile.
    EXPECT_NEAR(static_cast<double>(state["card_free_mb"].GetInt64()), static_cast<double>(freeMb), 64.0) << stuck;
    EXPECT_NEAR(static_cast<double>(state["card_free_files"].GetInt64()), static_cast<double>(card.f_favail), 2000.0);
    EXPECT_EQ(fixture::ReadFile(ftp->root() + "/photo/" + kBacklog[0]), fixture::ReadFile(sd + "/photo/" + kBacklog[0]));
    EXPECT_EQ(fixture::ReadFile(ftp->root() + "/photo/" + kBacklog[2]), fixture::ReadFile(sd + "/photo/" + kBacklog[2]));

    // The server takes it at its next try.
    fixture::RemoveTree(refusedOnServer);
    const std::string done = WaitForDocument(
        watcher, device.Topic("state"),
        [](const rapidjson::Document& d) { return d["waiting"].GetInt64() == 0; }, 60s, &last);
    ASSERT_FALSE(done.empty()) << last;
    state.Parse(done.c_str());
    EXPECT_EQ(state["oldest_waiting"].GetInt64(), 0);
    EXPECT_EQ(state["set_aside"].GetInt64(), 0);
    EXPECT_STREQ(state["server"].GetString(), "up");
    EXPECT_EQ(PendingOnCard(), 0);
    EXPECT_EQ(fixture::ReadFile(refusedOnServer), fixture::ReadFile(sd + "/photo/" + kBacklog[1]));
    // Retained: what a watcher that comes later reads first.
    EXPECT_EQ(Retained(*first, device.Topic("state")), done);
}

// The first broker goes away: the device is on the second within its back-off, with its
// status, heartbeat, commands and state there; the first one back changes nothing; the second
// going away brings the device back to the first. (The test's own clients keep the MQTT
// library's threads alive in this process, which costs each reconnection up to 2 s more than in
// the daemon: bench/fleet measures the daemon's.)
TEST(MainFleetTest, MovesToTheNextBrokerAndStaysWhole) {
    Probe onSecond(second->uri(), "controller-second");
    onSecond.Subscribe(device.Topic("heartbeat"));
    onSecond.Subscribe(device.Topic("event"));
    const auto stoppedAt = std::chrono::steady_clock::now();
    first->stop();
    const auto stopTook = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stoppedAt);
    const std::string heartbeat = WaitForDocument(
        onSecond, device.Topic("heartbeat"), [](const rapidjson::Document&) { return true; }, 15s);
    ASSERT_FALSE(heartbeat.empty()) << "no heartbeat on the second broker";
    const auto moved = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stoppedAt);
    std::printf("on the second broker with a heartbeat %lld ms after the first was stopped (the stop took %lld ms)\n",
                static_cast<long long>(moved.count()), static_cast<long long>(stopTook.count()));
    EXPECT_NE(heartbeat.find("\"type\":\"heartbeat\""), std::string::npos) << heartbeat;
    EXPECT_TRUE(Answers(onSecond));
    EXPECT_EQ(Retained(*second, device.Topic("status")), MQTTClient::kOnline);
    const std::string state = Retained(*second, device.Topic("state"));
    EXPECT_EQ(state.rfind("{\"waiting\":", 0), 0u) << state;
    {
        std::lock_guard<std::mutex> lock(unitsMutex);
        ASSERT_FALSE(units.empty()) << "the reconnection drew no wait";
    }

    // The first one back: the device stays where it is and keeps answering.
    ASSERT_TRUE(first->start());
    EXPECT_TRUE(Answers(onSecond));
    EXPECT_EQ(Retained(*second, device.Topic("status")), MQTTClient::kOnline);
    EXPECT_EQ(Retained(*second, device.Topic("state")), state);

    // The second goes away: back to the first, everything with it.
    Probe onFirst(first->uri(), "controller-first");
    onFirst.Subscribe(device.Topic("heartbeat"));
    onFirst.Subscribe(device.Topic("event"));
    second->stop();
    EXPECT_FALSE(WaitForDocument(onFirst, device.Topic("heartbeat"), [](const rapidjson::Document&) { return true; }, 15s)
                     .empty());
    EXPECT_TRUE(Answers(onFirst));
    EXPECT_EQ(Retained(*first, device.Topic("status")), MQTTClient::kOnline);
    EXPECT_EQ(Retained(*first, device.Topic("state")), state);
    ASSERT_TRUE(second->start());
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Test discovery only lists: no broker, no device.
    if (testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
    fixture::Mosquitto brokerA;
    fixture::Mosquitto brokerB;
    if (!brokerA.start() || !brokerB.start()) return 1;
    first = &brokerA;
    second = &brokerB;
    fixture::FtpServer server;
    ftp = &server;

    const std::string workDir = fixture::MakeTempDir("k5-fleet-");
    device = DeviceConfig::Write(workDir, brokerA.uri() + "," + brokerB.uri(), "", "", "\"4.0\"");
    Config::SetSource(device.file, device.netRoot);
    if (!Config::Loaded()) return 1;
    sd = workDir + "/sd";
    for (std::size_t i = 0; i < kBacklog.size(); ++i) {
        const std::string& photo = kBacklog[i];
        MakeDirectories(sd + "/photo/" + photo.substr(0, photo.rfind('/')));
        fixture::WriteFile(sd + "/photo/" + photo, "\xFF\xD8" + std::string(30000 + i, static_cast<char>('a' + i)) + "\xFF\xD9");
        const std::string marker = sd + "/photo/.pending/" + photo_layout::MarkerPath(photo);
        MakeDirectories(marker.substr(0, marker.rfind('/')));
        fixture::WriteFile(marker, "");
    }
    // A folder under the second photo's name: the server refuses to rename a file onto it.
    MakeDirectories(server.root() + "/photo/" + kBacklog[1]);

    Main::Settings settings = Main::Settings::FromConfig();
    settings.heartbeatInterval = 30s;  // only the heartbeats at connection come within a test
    settings.stateInterval = 1s;
    settings.mqtt.reconnectBase = 200ms;
    settings.mqtt.reconnectCap = 1s;
    auto engine = std::make_shared<std::mt19937>(11);
    settings.mqtt.random = [engine]() {
        const double unit = std::uniform_real_distribution<double>(0.0, 1.0)(*engine);
        std::lock_guard<std::mutex> lock(unitsMutex);
        units.push_back(unit);
        return unit;
    };
    settings.photos = [&server, workDir]() {
        PhotoStore::Settings photos;
        photos.sdFolder = workDir + "/sd";
        photos.minFreeBytes = 0;
        photos.ftpUser = server.user();
        photos.ftpPassword = server.password();
        photos.ftpHost = "127.0.0.1";
        photos.ftpPort = server.port();
        photos.firstRetry = 1s;
        photos.maxRetry = 2s;
        return photos;
    };
    Main::GetInstance("Main", nullptr, settings)->start();
    int result = RUN_ALL_TESTS();
    auto main = Main::GetInstance("", nullptr);
    main->stop();
    main->wait();
    fixture::RemoveTree(workDir);
    return result;
}
