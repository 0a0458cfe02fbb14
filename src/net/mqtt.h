#pragma once

#include <mqtt/async_client.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The device's one connection to the MQTT broker, or to one broker of a cluster. Connects at
// construction; after a loss its own thread reconnects, to the next broker of the list first,
// each attempt after a random wait ("full jitter"), so that a fleet that lost its broker at
// the same moment does not come back in the same moment. Failures are reported by log lines
// and bool results; no library exception leaves this class.
//
// Every subscription is remembered, also one asked for while the connection is down, and made
// again each time the connection comes up: the device uses clean sessions, so the broker
// forgets them with every reconnection.
class MQTTClient {
public:
    // What the client needs from the configuration store. The default constructor takes it
    // from Config::Get; tests may pass their own.
    struct Settings {
        // URI, e.g. tcp://127.0.0.1:1883, or several separated by commas: brokers of one
        // cluster, tried in order.
        std::string server;
        std::string clientId;
        std::string userName;
        std::string password;
        int qos = 0;
        // For an ssl:// or mqtts:// server: the PEM file of the CAs that may sign the broker's
        // certificate (empty: the system's CA store), and an optional client certificate and
        // its key for brokers that require one. The broker's certificate and host name are
        // always verified.
        std::string caFile;
        std::string certFile;
        std::string keyFile;
        // Where the device tells whether it is reachable: "online" (retained) after every
        // connection, "offline" as the last will and from PublishOffline. Empty: neither.
        std::string statusTopic;
        // How soon the broker notices a device that vanished and publishes its will.
        std::chrono::seconds keepAlive{30};
        // How long construction waits for the first connection, whatever the broker does (a
        // broker that accepts TCP and then says nothing included). Both protocol versions are
        // tried within it, and within each later attempt too; afterwards the reconnecting
        // thread keeps trying in the background.
        std::chrono::seconds firstConnectLimit{10};
        // The wait before reconnection attempt n (0 for the first after a loss) is drawn
        // uniformly from [0, min(reconnectCap, reconnectBase * 2^n)].
        std::chrono::milliseconds reconnectBase{1000};
        std::chrono::milliseconds reconnectCap{60000};
        // Uniform in [0, 1), called on the client's reconnecting thread only. Empty: a
        // generator of the client's own, seeded from std::random_device.
        std::function<double()> random;
        // Called on the library's thread after every connection (the first included), once
        // the status and the subscriptions are on their way. It must only hand work over.
        std::function<void()> onConnected;
    };
    static Settings SettingsFromConfig();

    // Any thread. The members of a comma-separated server list, blanks around them removed
    // (empty members kept, so that the check names them).
    static std::vector<std::string> SplitServers(const std::string& servers);

    // Any thread. Whether the library can use `uri` as a broker address: scheme tcp, mqtt,
    // ssl, mqtts, ws or wss, "://", a host, an optional port 1..65535 (and a path for ws/wss);
    // or a bare host[:port], which means tcp.
    // Otherwise false, with the reason in `reason`. Never throws; makes no connection.
    static bool CheckServerUri(const std::string& uri, std::string& reason);

    // Connects and returns when the first attempt has succeeded or failed, at the latest after
    // Settings::firstConnectLimit; the reconnecting thread goes on after a failure.
    MQTTClient();
    explicit MQTTClient(const Settings& settings);
    // Disconnects if connected.
    ~MQTTClient();

    MQTTClient(const MQTTClient&) = delete;
    MQTTClient& operator=(const MQTTClient&) = delete;

    // Any thread. Hands the message to the library without waiting for delivery; false when
    // not connected or refused.
    bool Publish(const std::string& topic, const std::string& payload);

    // Any thread. A retained message at QoS kStatusQos, handed to the library; with a
    // `confirm` above zero (never on the library's thread), waits that long at most until the
    // broker has it. False when not connected, refused or not confirmed.
    bool PublishRetained(const std::string& topic, const std::string& payload,
                         std::chrono::milliseconds confirm = std::chrono::milliseconds(0));

    // Any thread except the library's own. Makes `callback` receive the payloads of `topic`
    // (exact topic, no wildcards) on the library's delivery thread. Only live messages are
    // delivered: a retained one, which the broker replays at every subscription, is dropped. A topic already known only
    // gets its callback replaced. While the connection is down the topic is remembered and
    // subscribed once it is up, but the call still reports false.
    bool Subscribe(const std::string& topic, std::function<void(const std::string&)> callback);

    // Any thread.
    bool IsConnected() const;

    // Any thread except the library's own. Publishes the retained "offline" status and waits
    // (at most `timeout`) until the broker has it, so that a disconnection right after it
    // cannot lose it. False when not connected, without a status topic, or not confirmed.
    bool PublishOffline(std::chrono::milliseconds timeout);

    static constexpr const char* kOnline = "online";
    static constexpr const char* kOffline = "offline";
    static constexpr int kStatusQos = 1;

    // Whether `uri` names a TLS transport (ssl://, mqtts://, wss://).
    static bool IsTlsUri(const std::string& uri);

    // Any thread. The wait before reconnection attempt `attempt` (0: the first after a loss),
    // drawn with `unit`, a number in [0, 1): what the reconnecting thread waits.
    std::chrono::milliseconds ReconnectDelay(int attempt, double unit) const;
    // Reconnecting thread (or tests, while no reconnection runs): draws from Settings::random.
    double DrawUnit();

private:
    using Callback = std::function<void(const std::string&)>;

    // Logs the outcome of subscriptions made from the library's threads, where nobody may wait.
    class RenewListener : public mqtt::iaction_listener {
    public:
        void on_failure(const mqtt::token& token) override;
        void on_success(const mqtt::token& token) override;
    };

    // A library client for `uri` with this object's handlers. Each reconnection gets a new one,
    // made once the old one is gone: the library's threads, which idle in one-second waits once
    // a connection is gone, then start afresh with it, so that the attempt goes out when its
    // wait ends, not at their next turn (where the waits of a whole fleet would bunch again).
    std::shared_ptr<mqtt::async_client> NewLibraryClient(const std::string& uri);
    // Any thread: the library client of the current connection (or attempt).
    std::shared_ptr<mqtt::async_client> Current() const;
    void InstallHandlers(mqtt::async_client& library);
    mqtt::connect_options ConnectOptions() const;
    // Reconnecting thread: makes the first connection at once, then waits for a loss and
    // reconnects, until the destructor stops it.
    void Reconnect();
    // Reconnecting thread: one bounded connection attempt to servers[index].
    bool ConnectOnce(std::size_t index, bool fresh, std::string& failure);
    // Reconnecting thread: waits `delay` unless stopping; false when stopping.
    bool Pause(std::chrono::milliseconds delay);
    // Library thread: announces "online" without waiting.
    void PublishOnline(mqtt::async_client& library);
    // Library thread: asks the broker again for every known topic, without waiting.
    void RenewSubscriptions(mqtt::async_client& library);
    void Deliver(const std::string& topic, const std::string& payload);
    mqtt::subscribe_options SubscribeOptions() const;

    const Settings settings;
    const std::vector<std::string> servers;
    int qos;
    std::string statusTopic;
    std::function<double()> random;

    // Shared by the library's handlers, the constructor and the reconnecting thread.
    std::mutex linkMutex;
    std::condition_variable linkChanged;
    bool lost = false;         // a connection was lost and nobody reconnects yet
    bool stopping = false;     // the destructor runs
    bool firstOutcome = false; // the first attempt of the run has succeeded or failed
    std::string firstFailure;  // why it failed, for the constructor to report
    // Declared before the library client so that they outlive it: the client's threads read
    // them until it is destroyed.
    std::map<std::string, Callback> subscriptions;
    mutable std::mutex subscriptionsMutex;
    RenewListener renewListener;
    mutable std::mutex clientMutex;
    std::shared_ptr<mqtt::async_client> asyncClient;  // under clientMutex
    // Last: started once everything it uses exists.
    std::thread reconnector;
};
