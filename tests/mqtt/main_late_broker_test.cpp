// The device boots while its broker is down; the broker comes up 5 s later. The command
// subscription asked for at boot must be made then, so that the device answers.
#include <gtest/gtest.h>

#include <chrono>
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

TEST(MainLateBrokerTest, SubscribesAndAnswersOnceTheBrokerIsUp) {
    fixture::Mosquitto broker;  // port chosen, not running
    std::string dir = fixture::MakeTempDir("k5-late-");
    DeviceConfig device = DeviceConfig::Write(dir, broker.uri(), "", "", "\"2.0\"");
    Config::SetSource(device.file, device.netRoot);
    ASSERT_TRUE(Config::Loaded());

    testing::internal::CaptureStderr();
    auto main = Main::GetInstance("Main", nullptr);
    main->start();
    // Version answered while disconnected: the publish fails with the client's line.
    main->post(std::make_shared<VersionEvent>());
    std::this_thread::sleep_for(5s);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("] Subscribe(): MQTT did not connect yet."), std::string::npos) << log;
    EXPECT_NE(log.find("] Publish(): MQTT did not connect yet."), std::string::npos) << log;

    ASSERT_TRUE(broker.start());
    Probe controller(broker.uri(), "controller-late");
    controller.Subscribe(device.Topic("event"));
    bool answered = false;
    auto deadline = std::chrono::steady_clock::now() + 40s;
    Probe::Message message;
    while (!answered && std::chrono::steady_clock::now() < deadline) {
        controller.Publish(device.Topic("command"), "{\"type\":\"reboot\"}");
        answered = controller.Next(message, 500ms);
    }
    ASSERT_TRUE(answered);
    EXPECT_NE(message.payload.find("\"result\":\"success\",\"type\":\"reboot\"}"), std::string::npos)
        << message.payload;

    main->stop();
    main->wait();
    fixture::RemoveTree(dir);
}
