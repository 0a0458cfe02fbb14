// MQTTClient against a real mosquitto on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "inbox.h"
#include "ftp_servers.h"
#include "mosquitto.h"
#include "net/mqtt.h"
#include "probe.h"
#include "process.h"

using namespace std::chrono_literals;

namespace {

MQTTClient::Settings SettingsFor(const fixture::Mosquitto& broker, const std::string& id,
                                 const std::string& user = "", const std::string& password = "") {
    MQTTClient::Settings settings;
    settings.server = broker.uri();
    settings.clientId = id;
    settings.userName = user;
    settings.password = password;
    settings.qos = 0;
    return settings;
}

// Publishes `payload` on `topic` until `inbox` receives it: the subscription that the client
// renews after a connection is made asynchronously.
bool DeliveredEventually(Probe& probe, Inbox& inbox, const std::string& topic,
                         const std::string& payload, std::chrono::seconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        probe.Publish(topic, payload);
        std::string got;
        while (inbox.Next(got, 200ms)) {
            if (got == payload) return true;
        }
    }
    return false;
}

}  // namespace

TEST(MQTTClientTest, SubscribesDeliversAndReplacesCallbacks) {
    fixture::Mosquitto broker;
    ASSERT_TRUE(broker.start());
    MQTTClient client(SettingsFor(broker, "device-a"));
    ASSERT_TRUE(client.IsConnected());

    // A command left retained on the topic is replayed at the subscription: dropped.
    Probe controller(broker.uri(), "controller-a");
    controller.Publish("dev/command", "retained", true);
    Inbox first;
    EXPECT_TRUE(client.Subscribe("dev/command", first.Callback()));
    controller.Publish("dev/other", "not for us");
    controller.Publish("dev/command", "hello");
    std::string got;
    ASSERT_TRUE(first.Next(got, 5s));
    EXPECT_EQ(got, "hello");

    // An empty payload arrives as empty text; a 1 MB payload with zero bytes arrives whole.
    controller.Publish("dev/command", "");
    ASSERT_TRUE(first.Next(got, 5s));
    EXPECT_EQ(got, "");
    std::string big(1 << 20, 'x');
    big[10] = '\0';
    big[big.size() - 1] = '\0';
    controller.Publish("dev/command", big);
    ASSERT_TRUE(first.Next(got, 10s));
    EXPECT_EQ(got, big);

    // A second Subscribe of the topic only replaces the callback.
    Inbox second;
    EXPECT_TRUE(client.Subscribe("dev/command", second.Callback()));
    controller.Publish("dev/command", "to the second");
    ASSERT_TRUE(second.Next(got, 5s));
    EXPECT_EQ(got, "to the second");
    EXPECT_EQ(first.Size(), 0u);

    // Publish hands the message over, logs it and returns true.
    controller.Subscribe("dev/event");
    testing::internal::CaptureStderr();
    bool published = client.Publish("dev/event", "{\"a\":1}");
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(published);
    EXPECT_NE(log.find("[DEBUG][../src/net/mqtt:"), std::string::npos) << log;
    EXPECT_NE(log.find("] Publish(): {\"a\":1} to topic: dev/event"), std::string::npos) << log;
    Probe::Message message;
    ASSERT_TRUE(controller.Next(message, 5s));
    EXPECT_EQ(message.topic, "dev/event");
    EXPECT_EQ(message.payload, "{\"a\":1}");
}

TEST(MQTTClientTest, PasswordBrokerAcceptsOnlyTheRightCredentials) {
    fixture::Mosquitto broker("device", "s3cret");
    ASSERT_TRUE(broker.start());
    {
        MQTTClient client(SettingsFor(broker, "device-good", "device", "s3cret"));
        EXPECT_TRUE(client.IsConnected());
        Inbox inbox;
        EXPECT_TRUE(client.Subscribe("dev/command", inbox.Callback()));
        Probe controller(broker.uri(), "controller-b", "device", "s3cret");
        controller.Publish("dev/command", "authenticated");
        std::string got;
        ASSERT_TRUE(inbox.Next(got, 5s));
        EXPECT_EQ(got, "authenticated");
    }

    testing::internal::CaptureStderr();
    auto refused = std::make_unique<MQTTClient>(SettingsFor(broker, "device-bad", "device", "wrong"));
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(refused->IsConnected());
    EXPECT_NE(log.find("[ERROR][../src/net/mqtt:"), std::string::npos) << log;
    EXPECT_NE(log.find("] MQTTClient(): "), std::string::npos) << log;

    testing::internal::CaptureStderr();
    EXPECT_FALSE(refused->Publish("dev/event", "lost"));
    log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("] Publish(): MQTT did not connect yet."), std::string::npos) << log;

    // A client that never connected has nothing to disconnect and says nothing when destroyed.
    testing::internal::CaptureStderr();
    refused.reset();
    log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log, "");
}

TEST(MQTTClientTest, SubscriptionAskedWhileBrokerDownIsMadeOnceItIsUp) {
    fixture::Mosquitto broker;  // port chosen, broker not running yet
    fixture::FirstConnection attempt(broker.port());  // until the device first tries it

    testing::internal::CaptureStderr();
    MQTTClient client(SettingsFor(broker, "device-late"));
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(client.IsConnected());
    EXPECT_NE(log.find("] MQTTClient(): "), std::string::npos) << log;

    Inbox inbox;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(client.Subscribe("dev/command", inbox.Callback()));
    EXPECT_FALSE(client.Publish("dev/event", "lost"));
    log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("[ERROR][../src/net/mqtt:"), std::string::npos) << log;
    EXPECT_NE(log.find("] Subscribe(): MQTT did not connect yet."), std::string::npos) << log;
    EXPECT_NE(log.find("] Publish(): MQTT did not connect yet."), std::string::npos) << log;

    // The broker comes up once the device has tried to reach it.
    ASSERT_TRUE(attempt.wait(30s)) << "the device never tried to connect";
    ASSERT_TRUE(broker.start());
    // The client retries a failed first connection after its jittered back-off.
    ASSERT_TRUE(fixture::WaitFor([&] { return client.IsConnected(); }, 40s));
    Probe controller(broker.uri(), "controller-c");
    EXPECT_TRUE(DeliveredEventually(controller, inbox, "dev/command", "after the boot", 10s));
    EXPECT_TRUE(client.Publish("dev/event", "now connected"));
}

TEST(MQTTClientTest, SubscriptionsAreRenewedAfterBrokerRestart) {
    fixture::Mosquitto broker;
    ASSERT_TRUE(broker.start());
    MQTTClient client(SettingsFor(broker, "device-restart"));
    ASSERT_TRUE(client.IsConnected());
    Inbox inbox;
    ASSERT_TRUE(client.Subscribe("dev/command", inbox.Callback()));
    {
        Probe controller(broker.uri(), "controller-d");
        EXPECT_TRUE(DeliveredEventually(controller, inbox, "dev/command", "before", 5s));
    }

    ASSERT_TRUE(broker.restart());
    ASSERT_TRUE(fixture::WaitFor([&] { return client.IsConnected(); }, 40s));
    Probe controller(broker.uri(), "controller-e");
    EXPECT_TRUE(DeliveredEventually(controller, inbox, "dev/command", "after", 10s));
}

// A broker that accepts the connection and then says nothing holds construction up for the
// bound only, not for the library's own timeouts of both protocol versions.
TEST(MQTTClientTest, SilentBrokerHoldsConstructionUpForTheBoundOnly) {
    fixture::SilentServer silent;
    MQTTClient::Settings settings;
    settings.server = "tcp://127.0.0.1:" + std::to_string(silent.port());
    settings.clientId = "device-silent";
    settings.firstConnectLimit = std::chrono::seconds(2);
    testing::internal::CaptureStderr();
    const auto started = std::chrono::steady_clock::now();
    auto client = std::make_unique<MQTTClient>(settings);
    const auto took = std::chrono::steady_clock::now() - started;
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_LT(took, 6s);
    EXPECT_FALSE(client->IsConnected());
    EXPECT_NE(log.find("] MQTTClient(): "), std::string::npos) << log;
    EXPECT_FALSE(client->Publish("dev/event", "lost"));
    client.reset();  // with the attempt still under way
}

// The waits of the reconnecting thread, drawn as it draws them: each attempt's spread over
// the whole of [0, min(cap, base * 2^attempt)], not bunched, never beyond it.
TEST(MQTTClientTest, ReconnectWaitsSpreadOverTheirWholeBound) {
    fixture::Mosquitto broker;
    ASSERT_TRUE(broker.start());
    MQTTClient::Settings settings = SettingsFor(broker, "device-jitter");
    settings.reconnectBase = 1000ms;
    settings.reconnectCap = 60000ms;
    std::mt19937 engine(5);
    int draws = 0;
    settings.random = [&]() {
        ++draws;
        return std::uniform_real_distribution<double>(0.0, 1.0)(engine);
    };
    // Connected, so that the reconnecting thread draws nothing meanwhile.
    MQTTClient client(settings);
    ASSERT_TRUE(client.IsConnected());
    EXPECT_EQ(draws, 0) << "the first connection waits for nothing";
    constexpr int kSamples = 4000;
    for (int attempt = 0; attempt <= 8; ++attempt) {
        const double bound = std::min(60000.0, 1000.0 * (1 << attempt));
        int quarters[4] = {0, 0, 0, 0};
        double sum = 0, smallest = bound, largest = 0;
        for (int i = 0; i < kSamples; ++i) {
            const double wait = static_cast<double>(client.ReconnectDelay(attempt, client.DrawUnit()).count());
            ASSERT_GE(wait, 0.0);
            ASSERT_LE(wait, bound);
            sum += wait;
            smallest = std::min(smallest, wait);
            largest = std::max(largest, wait);
            ++quarters[std::min(3, static_cast<int>(4 * wait / bound))];
        }
        EXPECT_NEAR(sum / kSamples / bound, 0.5, 0.03) << "attempt " << attempt;
        EXPECT_LT(smallest, 0.01 * bound) << "attempt " << attempt;
        EXPECT_GT(largest, 0.99 * bound) << "attempt " << attempt;
        for (int quarter : quarters) EXPECT_NEAR(quarter, kSamples / 4, kSamples / 20) << "attempt " << attempt;
    }
    // Long outages stay at the cap, however many attempts.
    EXPECT_EQ(client.ReconnectDelay(1000, 0.999999), std::chrono::milliseconds(59999));
    EXPECT_EQ(client.ReconnectDelay(0, 1.0), std::chrono::milliseconds(1000));
}
