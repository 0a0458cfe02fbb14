// Main's command protocol end to end: a real broker (password variant), the real Main thread,
// and a controller client that sends commands and reads the responses.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <thread>

#include "config.h"
#include "device_config.h"
#include "mosquitto.h"
#include "probe.h"
#include "process.h"
#include "service/main.h"

using namespace std::chrono_literals;

namespace {

fixture::Mosquitto* broker = nullptr;
DeviceConfig device;
const char* kUser = "k5";
const char* kPassword = "pa ss\"word";
const char* kPasswordJson = "pa ss\\\"word";

// The response with its "time" value replaced by T, after checking that value is now.
std::string WithoutTime(const std::string& response) {
    const std::string key = "\"time\":";
    size_t at = response.find(key);
    if (at == std::string::npos) return "no time in " + response;
    size_t begin = at + key.size();
    size_t end = begin;
    if (end < response.size() && response[end] == '-') ++end;
    while (end < response.size() && response[end] >= '0' && response[end] <= '9') ++end;
    if (end == begin) return "no time in " + response;
    long long seconds = std::stoll(response.substr(begin, end - begin));
    long long now = static_cast<long long>(std::time(nullptr));
    if (seconds < now - 10 || seconds > now + 1) return "stale time in " + response;
    return response.substr(0, begin) + "T" + response.substr(end);
}

class MainProtocolTest : public testing::Test {
protected:
    void SetUp() override {
        controller = std::make_unique<Probe>(broker->uri(), "controller-" + std::to_string(++clients), kUser,
                                             kPassword);
        controller->Subscribe(device.Topic("event"));
        controller->Subscribe(device.Topic("heartbeat"));
        // The device subscribes from its own thread: knock until it answers.
        ASSERT_TRUE(AnswersEventually(30s));
    }

    bool AnswersEventually(std::chrono::seconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            try {
                if (!controller->Client().is_connected()) {
                    controller = std::make_unique<Probe>(broker->uri(), "controller-" + std::to_string(++clients),
                                                         kUser, kPassword);
                    controller->Subscribe(device.Topic("event"));
                }
                controller->Publish(device.Topic("command"), "{\"type\":\"version\"}");
            } catch (const mqtt::exception&) {
                std::this_thread::sleep_for(500ms);
                continue;
            }
            Probe::Message message;
            if (controller->Next(message, 500ms)) {
                // A knock still on its way (sent while the first answer was late) is answered
                // too: wait until the device has been quiet for longer than a late answer takes
                // on a loaded sanitizer build.
                Drain(2s);
                return true;
            }
        }
        return false;
    }

    void Drain(std::chrono::milliseconds quiet = 300ms) {
        Probe::Message message;
        while (controller->Next(message, quiet)) {
        }
    }

    void Send(const std::string& payload) { controller->Publish(device.Topic("command"), payload); }

    std::string NextEvent() {
        Probe::Message message;
        if (!controller->Next(message, 5s)) return "nothing";
        if (message.topic != device.Topic("event")) return "on " + message.topic + ": " + message.payload;
        return WithoutTime(message.payload);
    }

    std::string Expected(const std::string& members) {
        return "{\"id\":\"" + device.DeviceId() + "\",\"time\":T," + members + "}";
    }

    static int clients;
    std::unique_ptr<Probe> controller;
};
int MainProtocolTest::clients = 0;

TEST(CommandWordTest, ReadsOnlyStrictObjectsWithAStringMember) {
    std::string word;
    EXPECT_TRUE(ReadCommandWord("{\"type\":\"version\"}", "type", word));
    EXPECT_EQ(word, "version");
    EXPECT_TRUE(ReadCommandWord(" \t\r\n{\"type\":\"reboot\",\"type\":\"version\"} \n", "type", word));
    EXPECT_EQ(word, "reboot");
    EXPECT_TRUE(ReadCommandWord("{\"type\":\"ver\\u0000sion\"}", "type", word));
    EXPECT_EQ(word, std::string("ver\0sion", 8));
    // The text ends at the first zero byte.
    EXPECT_TRUE(ReadCommandWord(std::string("{\"type\":\"version\"}\0junk", 23), "type", word));
    EXPECT_FALSE(ReadCommandWord(std::string("{\"type\":\"vers\0ion\"}", 19), "type", word));
    EXPECT_FALSE(ReadCommandWord(std::string("\0{\"type\":\"version\"}", 19), "type", word));

    for (const char* bad : {"", " ", "{", "}", "[1,2]", "\"version\"", "null", "{\"type\":5}",
                            "{\"type\":null}", "{\"type\":[\"version\"]}", "{\"cmd\":\"version\"}",
                            "{\"type\":\"version\"}x", "{\"type\":\"version\"}{}", "{\"type\":\"version\",}",
                            "{'type':'version'}", "{\"type\":\"version\"} // c", "{\"Type\":\"version\"}",
                            "\xef\xbb\xbf{\"type\":\"version\"}"}) {
        EXPECT_FALSE(ReadCommandWord(bad, "type", word)) << bad;
    }
    // Nesting deep enough to overflow any stack in a recursive parser.
    std::string nested(100000, '[');
    EXPECT_FALSE(ReadCommandWord(nested + std::string(100000, ']'), "type", word));
    EXPECT_FALSE(ReadCommandWord("{\"type\":\"version\",\"x\":" + nested + std::string(100000, ']') + "}",
                                 "type", word) &&
                 word != "version");
}

TEST_F(MainProtocolTest, AnswersEachCommandWithItsExactDocument) {
    Send("{\"type\":\"version\"}");
    EXPECT_EQ(NextEvent(), Expected("\"fw\":\"1.0.7 \\\"rc\\\\1\\\"\",\"type\":\"version\""));
    Send("{\"type\":\"reboot\"}");
    EXPECT_EQ(NextEvent(), Expected("\"result\":\"success\",\"type\":\"reboot\""));
    Send("{\"type\":\"download\",\"url\":\"ftp-path\"}");
    EXPECT_EQ(NextEvent(), Expected("\"result\":\"success\",\"type\":\"download\""));
    Send("{\"type\":\"reset_factory\"}");
    EXPECT_EQ(NextEvent(), Expected("\"result\":\"success\",\"type\":\"reset_factory\""));
    // First member wins; white space after the root is fine.
    Send("{\"type\":\"reboot\",\"type\":\"version\"}\n\t ");
    EXPECT_EQ(NextEvent(), Expected("\"result\":\"success\",\"type\":\"reboot\""));
    // Two identical commands in a row get two responses.
    Send("{\"type\":\"download\"}");
    Send("{\"type\":\"download\"}");
    EXPECT_EQ(NextEvent(), Expected("\"result\":\"success\",\"type\":\"download\""));
    EXPECT_EQ(NextEvent(), Expected("\"result\":\"success\",\"type\":\"download\""));
}

TEST_F(MainProtocolTest, IgnoresEveryMalformedOrUnknownCommand) {
    std::string nested(100000, '[');
    nested += std::string(100000, ']');
    std::string big = "{\"type\":\"" + std::string(1 << 20, 'v') + "\"}";
    std::string garbage(1 << 20, '\xff');
    // 1 MB of nesting: half a million levels, far beyond any thread's stack for a recursive parser.
    std::string deepest = std::string(1 << 19, '[') + std::string(1 << 19, ']');
    const std::string ignored[] = {
        "not json",
        "{\"type\":\"version\"",
        "[1,2]",
        "\"version\"",
        "",
        "{\"cmd\":\"version\"}",
        "{\"type\":5}",
        "{\"type\":null}",
        "{\"type\":\"Version\"}",
        "{\"type\":\" version\"}",
        "{\"type\":\"VIEW_CAM\"}",
        "{\"type\":\"unknown\"}",
        "{\"type\":\"version\"}x",
        "{\"type\":\"version\"}{\"type\":\"version\"}",
        std::string("{\"type\":\"vers\0ion\"}", 19),
        std::string("\0{\"type\":\"version\"}", 19),
        "{\"type\":\"version\\u0000\"}",
        nested,
        "{\"type\":" + nested + "}",
        big,
        garbage,
        deepest,
    };
    for (const auto& payload : ignored) Send(payload);
    // Everything above went first on the same connection: the next response must be this one.
    Send("{\"type\":\"reboot\"}");
    EXPECT_EQ(NextEvent(), Expected("\"result\":\"success\",\"type\":\"reboot\""));
    Probe::Message message;
    EXPECT_FALSE(controller->Next(message, 1s)) << message.payload;
}

TEST_F(MainProtocolTest, AnswersAgainAfterBrokerRestart) {
    controller.reset();
    ASSERT_TRUE(broker->restart());
    controller = std::make_unique<Probe>(broker->uri(), "controller-after", kUser, kPassword);
    controller->Subscribe(device.Topic("event"));
    // The device reconnects after its jittered back-off and subscribes again.
    ASSERT_TRUE(AnswersEventually(40s));
    Send("{\"type\":\"reset_factory\"}");
    EXPECT_EQ(NextEvent(), Expected("\"result\":\"success\",\"type\":\"reset_factory\""));
}

// Last in this file: it stops the Main thread while commands keep arriving.
TEST_F(MainProtocolTest, StopsCleanlyWhileCommandsArrive) {
    std::atomic<bool> done{false};
    std::thread flood([&] {
        Probe sender(broker->uri(), "flooder", kUser, kPassword);
        while (!done) {
            sender.Publish(device.Topic("command"), "{\"type\":\"version\"}");
        }
    });
    std::this_thread::sleep_for(300ms);
    auto main = Main::GetInstance("", nullptr);
    main->stop();
    main->wait();
    done = true;
    flood.join();
    Drain();
    // The table is gone with the thread: nothing answers any more, and nothing crashes.
    Send("{\"type\":\"version\"}");
    Probe::Message message;
    EXPECT_FALSE(controller->Next(message, 1500ms)) << message.payload;
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Test discovery only lists: no broker, no device.
    if (testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
    fixture::Mosquitto mosquitto(kUser, kPassword);
    if (!mosquitto.start()) {
        std::fprintf(stderr, "mosquitto did not start:\n%s\n", mosquitto.log().c_str());
        return 1;
    }
    broker = &mosquitto;
    std::string dir = fixture::MakeTempDir("k5-main-");
    device = DeviceConfig::Write(dir, mosquitto.uri(), kUser, kPasswordJson, "\"1.0.7 \\\"rc\\\\1\\\"\"");
    Config::SetSource(device.file, device.netRoot);
    if (!Config::Loaded()) return 1;
    Main::GetInstance("Main", nullptr)->start();
    int result = RUN_ALL_TESTS();
    auto main = Main::GetInstance("", nullptr);
    main->stop();
    main->wait();
    fixture::RemoveTree(dir);
    return result;
}
