// The device boots while its broker is down; the broker comes up once the device has tried to
// connect. The command subscription asked for at boot must be made then, so that the device
// answers.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>

#include "config.h"
#include "device_config.h"
#include "mosquitto.h"
#include "probe.h"
#include "process.h"
#include "service/main.h"

using namespace std::chrono_literals;

TEST(MainLateBrokerTest, SubscribesAndAnswersOnceTheBrokerIsUp) {
    fixture::Mosquitto broker;  // port chosen, not running
    fixture::FirstConnection attempt(broker.port());  // until the device first tries it
    std::string dir = fixture::MakeTempDir("k5-late-");
    DeviceConfig device = DeviceConfig::Write(dir, broker.uri(), "", "", "\"2.0\"");
    Config::SetSource(device.file, device.netRoot);
    ASSERT_TRUE(Config::Loaded());

    testing::internal::CaptureStderr();
    auto main = Main::GetInstance("Main", nullptr);
    main->start();
    // Version answered while disconnected: the publish fails with the client's line.
    main->post(std::make_shared<VersionEvent>());
    // Main handles its events in order: once this one ran, the start-up's subscription and the
    // version's publication have been tried.
    auto handled = std::make_shared<std::promise<void>>();
    main->post([handled] { handled->set_value(); });
    const bool turned = handled->get_future().wait_for(30s) == std::future_status::ready;
    std::string log = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(turned);
    ASSERT_TRUE(attempt.wait(30s)) << "the device never tried to connect";
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
