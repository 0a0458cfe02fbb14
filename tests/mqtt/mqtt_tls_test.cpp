// MQTTClient over TLS against a real mosquitto whose certificates the test makes, and the
// availability topic.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "inbox.h"
#include "mosquitto.h"
#include "net/mqtt.h"
#include "pki.h"
#include "probe.h"
#include "process.h"

using namespace std::chrono_literals;

namespace {

MQTTClient::Settings TlsSettings(const std::string& uri, const std::string& id,
                                 const std::string& caFile) {
    MQTTClient::Settings settings;
    settings.server = uri;
    settings.clientId = id;
    settings.caFile = caFile;
    settings.statusTopic = "dev/" + id + "/status";
    return settings;
}

// The retained status of `topic`, as a controller that subscribes now sees it (or, while
// nothing is retained, the first one published within `timeout`).
std::string StatusOf(const fixture::Mosquitto& broker, const std::string& topic,
                     std::chrono::milliseconds timeout = 30s) {
    Probe probe(broker.uri(), "status-reader");
    probe.Subscribe(topic);
    Probe::Message message;
    return probe.Next(message, timeout) ? message.payload : "(none)";
}

bool Connects(const MQTTClient::Settings& settings, std::string& log) {
    testing::internal::CaptureStderr();
    bool connected = false;
    {
        MQTTClient client(settings);
        connected = client.IsConnected();
    }
    log = testing::internal::GetCapturedStderr();
    return connected;
}

}  // namespace

TEST(MQTTTlsTest, VerifiedBrokerCarriesCommandsAndStatus) {
    fixture::TestPki pki;
    auto server = pki.Issue("localhost", "DNS:localhost");
    fixture::Mosquitto broker(fixture::Mosquitto::Tls{server.certFile, server.keyFile, "", false});
    ASSERT_TRUE(broker.start()) << broker.log();
    const std::string uri = "ssl://localhost:" + std::to_string(broker.tlsPort());

    auto settings = TlsSettings(uri, "device-tls", pki.caFile());
    MQTTClient client(settings);
    ASSERT_TRUE(client.IsConnected()) << broker.log();
    EXPECT_EQ(StatusOf(broker, settings.statusTopic), "online");

    Inbox inbox;
    EXPECT_TRUE(client.Subscribe("dev/command", inbox.Callback()));
    Probe controller(broker.uri(), "controller-tls");
    controller.Subscribe("dev/event");
    controller.Publish("dev/command", "over tls");
    std::string got;
    ASSERT_TRUE(inbox.Next(got, 30s));
    EXPECT_EQ(got, "over tls");
    EXPECT_TRUE(client.Publish("dev/event", "answer"));
    Probe::Message answer;
    ASSERT_TRUE(controller.Next(answer, 30s));
    EXPECT_EQ(answer.payload, "answer");

    // A restarted broker forgot everything; the device says "online" again once it is back.
    ASSERT_TRUE(broker.restart());
    ASSERT_TRUE(fixture::WaitFor([&] { return client.IsConnected(); }, 60s));
    EXPECT_TRUE(fixture::WaitFor([&] { return StatusOf(broker, settings.statusTopic) == "online"; }, 60s));

    EXPECT_TRUE(client.PublishOffline(30s));
    EXPECT_EQ(StatusOf(broker, settings.statusTopic), "offline");

    // The mqtts:// spelling is the same transport.
    auto mqtts = TlsSettings("mqtts://localhost:" + std::to_string(broker.tlsPort()), "device-mqtts",
                             pki.caFile());
    std::string log;
    EXPECT_TRUE(Connects(mqtts, log)) << log;
}

TEST(MQTTTlsTest, RefusesUnverifiedBrokersAndNeedsTheClientCertificateWhenAsked) {
    fixture::TestPki pki;
    fixture::TestPki stranger("stranger CA");
    auto server = pki.Issue("localhost", "DNS:localhost");
    auto device = pki.Issue("k5-device", "DNS:k5-device");
    fixture::Mosquitto broker(
        fixture::Mosquitto::Tls{server.certFile, server.keyFile, pki.caFile(), true});
    ASSERT_TRUE(broker.start()) << broker.log();
    const std::string port = std::to_string(broker.tlsPort());

    auto good = TlsSettings("ssl://localhost:" + port, "device-mtls", pki.caFile());
    good.certFile = device.certFile;
    good.keyFile = device.keyFile;
    std::string log;
    struct Case {
        const char* what;
        MQTTClient::Settings settings;
    };
    auto wrongCa = good;
    wrongCa.caFile = stranger.caFile();
    auto wrongHost = good;  // the certificate names localhost, not 127.0.0.1
    wrongHost.server = "ssl://127.0.0.1:" + port;
    auto noClientCert = good;
    noClientCert.certFile.clear();
    noClientCert.keyFile.clear();
    auto systemStore = good;  // the test CA is not among the system's
    systemStore.caFile.clear();
    for (const Case& c : {Case{"wrong CA", wrongCa}, Case{"wrong host", wrongHost},
                          Case{"no client certificate", noClientCert},
                          Case{"system store", systemStore}}) {
        EXPECT_FALSE(Connects(c.settings, log)) << c.what;
        EXPECT_NE(log.find("[ERROR][../src/net/mqtt:"), std::string::npos) << c.what << "\n" << log;
    }
    // Nothing came to be retained: a short look is enough.
    EXPECT_EQ(StatusOf(broker, good.statusTopic, 5s), "(none)");

    {
        // The client publishes "online" from its connection handler, which may still be on its
        // way when the connection is reported: it stays until the status is seen.
        MQTTClient client(good);
        EXPECT_TRUE(client.IsConnected()) << broker.log();
        EXPECT_EQ(StatusOf(broker, good.statusTopic), "online");
    }
    EXPECT_EQ(StatusOf(broker, good.statusTopic), "online") << "a clean disconnection leaves it";

    // A certificate that names the address itself serves a URI with that address.
    auto byAddress = pki.Issue("127.0.0.1", "IP:127.0.0.1");
    fixture::Mosquitto second(
        fixture::Mosquitto::Tls{byAddress.certFile, byAddress.keyFile, pki.caFile(), true});
    ASSERT_TRUE(second.start()) << second.log();
    auto address = good;
    address.server = "ssl://127.0.0.1:" + std::to_string(second.tlsPort());
    EXPECT_TRUE(Connects(address, log)) << log;
}

TEST(MQTTTlsTest, LastWillSaysOfflineWhenTheDeviceDies) {
    fixture::Mosquitto broker;
    ASSERT_TRUE(broker.start());
    const std::string dir = fixture::MakeTempDir("k5-will-");
    std::vector<std::string> argv{K5_STATUS_CLIENT, broker.uri(), "device-will", "dev/will/status", "1"};
#ifdef K5_EMULATOR
    argv.insert(argv.begin(), K5_EMULATOR);
#endif
    fixture::Process device(argv, dir + "/client.log");
    EXPECT_TRUE(fixture::WaitFor([&] { return StatusOf(broker, "dev/will/status") == "online"; }, 60s))
        << fixture::ReadFile(dir + "/client.log");
    device.stop(SIGKILL);
    // The broker gives up on it after one and a half keep-alive periods.
    EXPECT_TRUE(fixture::WaitFor([&] { return StatusOf(broker, "dev/will/status") == "offline"; }, 60s))
        << broker.log();
    fixture::RemoveTree(dir);
}
