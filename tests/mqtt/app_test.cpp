// The daemon binary itself, unmodified, in a private mount namespace where a test
// configuration is bind-mounted over /etc/config.json.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "config_namespace.h"
#include "device_config.h"
#include "mosquitto.h"
#include "probe.h"
#include "process.h"

using namespace std::chrono_literals;

namespace {

std::vector<std::string> InNamespace(const std::string& config, const std::string& work) {
#ifdef K5CAM_EMULATOR
    return fixture::InConfigNamespace(config, work, {K5CAM_EMULATOR, K5CAM_BINARY});
#else
    return fixture::InConfigNamespace(config, work, {K5CAM_BINARY});
#endif
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::string LoopbackMac() {
    std::ifstream in("/sys/class/net/lo/address");
    std::string word, mac;
    in >> word;
    for (char c : word)
        if (c != ':') mac += c;
    return mac;
}

class AppTest : public testing::Test {
protected:
    void SetUp() override {
        dir = fixture::MakeTempDir("k5-app-");
        logFile = dir + "/daemon.log";
        ASSERT_TRUE(broker.start());
    }
    void TearDown() override { fixture::RemoveTree(dir); }

    std::string dir;
    std::string logFile;
    fixture::Mosquitto broker;
};

TEST_F(AppTest, AnnouncesVersionFirstPostsTaskOnceAndStopsOnSigterm) {
    DeviceConfig device = DeviceConfig::Write(dir, broker.uri(), "", "", "\"3.1.4\"");
    device.mac = LoopbackMac();  // the daemon reads the real /sys/class/net
    Probe controller(broker.uri(), "controller-app");
    controller.Subscribe(device.Topic("event"));

    Probe watcher(broker.uri(), "watcher-app");
    watcher.Subscribe(device.Topic("status"));

    fixture::Process daemon(InNamespace(device.file, dir + "/ns"), logFile);
    Probe::Message first;
    ASSERT_TRUE(controller.Next(first, 15s)) << fixture::ReadFile(logFile);
    auto firstAt = std::chrono::steady_clock::now();
    EXPECT_EQ(first.topic, device.Topic("event"));
    EXPECT_NE(first.payload.find("{\"id\":\"" + device.DeviceId() + "\",\"time\":"), std::string::npos)
        << first.payload;
    EXPECT_NE(first.payload.find(",\"fw\":\"3.1.4\",\"type\":\"version\"}"), std::string::npos)
        << first.payload;

    ASSERT_TRUE(fixture::WaitFor(
        [&] { return fixture::ReadFile(logFile).find("Post async task.") != std::string::npos; }, 5s))
        << fixture::ReadFile(logFile);
    auto taskAt = std::chrono::steady_clock::now();
    EXPECT_LT(taskAt - firstAt, 5s);

    // The daemon answers commands meanwhile.
    controller.Publish(device.Topic("command"), "{\"type\":\"reboot\"}");
    Probe::Message answer;
    ASSERT_TRUE(controller.Next(answer, 5s));
    EXPECT_NE(answer.payload.find("\"result\":\"success\",\"type\":\"reboot\"}"), std::string::npos);

    auto stopAt = std::chrono::steady_clock::now();
    daemon.signal(SIGTERM);
    int status = -1;
    ASSERT_TRUE(daemon.wait(5s, &status)) << fixture::ReadFile(logFile);
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 5s);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // "online" once connected, "offline" from the daemon itself before it disconnected.
    Probe::Message announced;
    ASSERT_TRUE(watcher.Next(announced, 30s));
    EXPECT_EQ(announced.topic, device.Topic("status"));
    EXPECT_EQ(announced.payload, "online");
    ASSERT_TRUE(watcher.Next(announced, 30s));
    EXPECT_EQ(announced.payload, "offline");
    EXPECT_FALSE(watcher.Next(announced, std::chrono::milliseconds(200)));
    Probe later(broker.uri(), "later-app");
    later.Subscribe(device.Topic("status"));
    ASSERT_TRUE(later.Next(announced, 30s));
    EXPECT_EQ(announced.payload, "offline");  // retained

    std::string log = fixture::ReadFile(logFile);
    EXPECT_EQ(Count(log, "Post async task."), 1u) << log;
    EXPECT_NE(log.find("[INFO][../src/app:"), std::string::npos) << log;
    EXPECT_NE(log.find("operator()(): Post async task."), std::string::npos) << log;
    // Every thread ended through its loop: Main, its camera thread and its uploader.
    EXPECT_EQ(Count(log, "Thread: Main run in"), 1u) << log;
    EXPECT_EQ(Count(log, "Thread: StreamController run in"), 1u) << log;
    EXPECT_EQ(Count(log, "Thread: Uploader run in"), 1u) << log;
    EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
}

TEST_F(AppTest, RefusesToRunOnAnIncompleteConfiguration) {
    DeviceConfig device = DeviceConfig::Write(dir, broker.uri(), "", "", "\"3.1.4\"");
    std::string text = fixture::ReadFile(device.file);
    text.replace(text.find("\"netif\""), 1, "\"_");  // the required "netif" member is gone
    fixture::WriteFile(device.file, text);

    fixture::Process daemon(InNamespace(device.file, dir + "/ns"), logFile);
    int status = -1;
    ASSERT_TRUE(daemon.wait(10s, &status)) << fixture::ReadFile(logFile);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 0);
    std::string log = fixture::ReadFile(logFile);
    EXPECT_NE(log.find("[ERROR]"), std::string::npos) << log;
    EXPECT_EQ(log.find("MQTT connected."), std::string::npos) << log;
    EXPECT_EQ(broker.log().find("New client connected"), std::string::npos) << broker.log();
}

}  // namespace
