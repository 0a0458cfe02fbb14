#include "net/mqtt.h"

#include <algorithm>
#include <chrono>
#include <random>
#include <utility>
#include <vector>

#include "config.h"
#include "utils/logger.h"

namespace {
// Keeps Subscribe from hanging on a connection that is dropping under it; a topic whose
// subscription did not complete is still renewed with the next connection.
constexpr auto kSubscribeTimeout = std::chrono::seconds(10);
constexpr auto kDisconnectTimeout = std::chrono::seconds(10);
// How often a connection attempt under way looks whether the client is being destroyed.
constexpr auto kAttemptSlice = std::chrono::milliseconds(100);

std::function<double()> OwnRandom() {
    auto engine = std::make_shared<std::mt19937_64>(std::random_device{}());
    return [engine]() { return std::uniform_real_distribution<double>(0.0, 1.0)(*engine); };
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}
}  // namespace

MQTTClient::Settings MQTTClient::SettingsFromConfig() {
    Settings settings;
    settings.qos = std::stoi(Config::Get(MQTT_QOS));
    settings.server = Config::Get(MQTT_SERVER);
    settings.clientId = Config::Get(MQTT_CLIENT_ID);
    settings.userName = Config::Get(MQTT_USERNAME);
    settings.password = Config::Get(MQTT_PASSWORD);
    settings.caFile = Config::Get(MQTT_CA_FILE);
    settings.certFile = Config::Get(MQTT_CERT_FILE);
    settings.keyFile = Config::Get(MQTT_KEY_FILE);
    settings.statusTopic = Config::Get(MQTT_TOPIC_STATUS);
    return settings;
}

std::vector<std::string> MQTTClient::SplitServers(const std::string& servers) {
    std::vector<std::string> list;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t comma = servers.find(',', begin);
        std::string member = servers.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin);
        const std::size_t first = member.find_first_not_of(" \t");
        const std::size_t last = member.find_last_not_of(" \t");
        list.push_back(first == std::string::npos ? std::string() : member.substr(first, last - first + 1));
        if (comma == std::string::npos) return list;
        begin = comma + 1;
    }
}

bool MQTTClient::CheckServerUri(const std::string& uri, std::string& reason) {
    const std::size_t separator = uri.find("://");
    // A bare host[:port] is taken as tcp:// by the library.
    const std::string scheme = separator == std::string::npos ? "tcp" : uri.substr(0, separator);
    static const char* const kSchemes[] = {"tcp", "mqtt", "ssl", "mqtts", "ws", "wss"};
    bool known = false;
    for (const char* candidate : kSchemes) known = known || scheme == candidate;
    if (!known) {
        reason = "scheme \"" + scheme + "\" is not one of tcp, mqtt, ssl, mqtts, ws, wss";
        return false;
    }
    std::string rest = separator == std::string::npos ? uri : uri.substr(separator + 3);
    const bool web = scheme == "ws" || scheme == "wss";
    const std::size_t slash = rest.find('/');
    if (slash != std::string::npos) {
        if (!web) {
            reason = separator == std::string::npos
                         ? "it is neither scheme://host[:port] (e.g. tcp://host:1883) nor host[:port]"
                         : "a path is only allowed with ws:// and wss://";
            return false;
        }
        rest.erase(slash);
    }
    std::string host = rest;
    const std::size_t colon = rest.rfind(':');
    const bool bracketed = !rest.empty() && rest[0] == '[';
    if (colon != std::string::npos && (!bracketed || colon > rest.find(']'))) {
        host = rest.substr(0, colon);
        const std::string port = rest.substr(colon + 1);
        long number = 0;
        bool digits = !port.empty() && port.size() <= 5;
        for (char c : port) {
            digits = digits && c >= '0' && c <= '9';
            if (digits) number = number * 10 + (c - '0');
        }
        if (!digits || number < 1 || number > 65535) {
            reason = "port \"" + port + "\" is not a number between 1 and 65535";
            return false;
        }
    }
    if (host.empty() || host.find_first_of(" \t@") != std::string::npos) {
        reason = "it names no usable host";
        return false;
    }
    try {
        // The library's own check of the address; creating a client does not connect.
        mqtt::async_client probe(uri, "k5-uri-check", nullptr);
    } catch (const std::exception& e) {
        reason = std::string("the MQTT library refuses it: ") + e.what();
        return false;
    }
    return true;
}

MQTTClient::MQTTClient() : MQTTClient(SettingsFromConfig()) {}

MQTTClient::MQTTClient(const Settings& clientSettings)
    : settings(clientSettings),
      servers(SplitServers(clientSettings.server)),
      qos(clientSettings.qos),
      statusTopic(clientSettings.statusTopic),
      random(clientSettings.random ? clientSettings.random : OwnRandom()),
      asyncClient(NewLibraryClient(servers.front())) {
    reconnector = std::thread([this]() { Reconnect(); });
    std::unique_lock<std::mutex> lock(linkMutex);
    // Not waited for to the end: a broker that never answers would hold up every timer and
    // the start-up. The reconnecting thread goes on after it.
    if (!linkChanged.wait_for(lock, settings.firstConnectLimit, [this] { return firstOutcome; })) {
        LOG_ERROR << "MQTT broker " << settings.server << " did not answer within "
                  << settings.firstConnectLimit.count()
                  << " s; going on, the connection is retried in the background.";
    } else if (!firstFailure.empty()) {
        LOG_ERROR << firstFailure;
    }
}

std::chrono::milliseconds MQTTClient::ReconnectDelay(int attempt, double unit) const {
    const auto cap = std::max(settings.reconnectCap, std::chrono::milliseconds(0));
    auto bound = std::max(settings.reconnectBase, std::chrono::milliseconds(0));
    for (int doubled = 0; doubled < attempt && bound < cap; ++doubled) bound *= 2;
    bound = std::min(bound, cap);
    unit = std::min(std::max(unit, 0.0), 1.0);
    return std::chrono::milliseconds(static_cast<int64_t>(unit * static_cast<double>(bound.count())));
}

double MQTTClient::DrawUnit() {
    return random();
}

bool MQTTClient::Pause(std::chrono::milliseconds delay) {
    std::unique_lock<std::mutex> lock(linkMutex);
    return !linkChanged.wait_for(lock, delay, [this] { return stopping; });
}

std::shared_ptr<mqtt::async_client> MQTTClient::NewLibraryClient(const std::string& uri) {
    auto library = std::make_shared<mqtt::async_client>(uri, settings.clientId, nullptr);
    try {
        InstallHandlers(*library);
    } catch (const mqtt::exception& e) {
        LOG_ERROR << e.what();
    }
    return library;
}

std::shared_ptr<mqtt::async_client> MQTTClient::Current() const {
    std::lock_guard<std::mutex> lock(clientMutex);
    return asyncClient;
}

bool MQTTClient::ConnectOnce(std::size_t index, bool fresh, std::string& failure) {
    mqtt::connect_options options = ConnectOptions();
    options.set_servers(std::make_shared<mqtt::string_collection>(servers[index]));
    // Both protocol versions may be tried, each up to the connect timeout.
    const auto limit = 2 * std::max(std::chrono::seconds(1), settings.firstConnectLimit / 2) +
                       std::chrono::seconds(1);
    try {
        std::shared_ptr<mqtt::async_client> library = Current();
        if (fresh) {
            // The old one goes first: the library's threads end with its last client and
            // start again with the new one.
            {
                std::lock_guard<std::mutex> lock(clientMutex);
                asyncClient.reset();
            }
            library.reset();  // destroyed here unless a caller still holds it for a moment
            library = NewLibraryClient(servers[index]);
            std::lock_guard<std::mutex> lock(clientMutex);
            asyncClient = library;
        }
        const auto started = std::chrono::steady_clock::now();
        auto token = library->connect(options);
        const auto deadline = started + limit;
        while (!token->wait_for(kAttemptSlice)) {
            std::lock_guard<std::mutex> lock(linkMutex);
            if (stopping || std::chrono::steady_clock::now() >= deadline) {
                failure = "MQTT broker " + servers[index] + " did not answer in time.";
                return false;
            }
        }
        LOG_DEBUG << "MQTT broker " << servers[index] << " answered in "
                  << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count()
                  << " ms.";
        return true;
    } catch (const mqtt::exception& e) {
        failure = e.what();
        return false;
    }
}

void MQTTClient::Reconnect() {
    std::size_t index = 0;
    int attempt = -1;  // the first connection of the run is made at once
    for (;;) {
        if (attempt >= 0 && !Pause(ReconnectDelay(attempt, DrawUnit()))) return;
        {
            // A loss reported from here on is one of the connection being made.
            std::lock_guard<std::mutex> lock(linkMutex);
            lost = false;
        }
        std::string failure;
        const bool connected = ConnectOnce(index, attempt >= 0, failure);
        {
            std::lock_guard<std::mutex> lock(linkMutex);
            // The constructor reports the first failure of the run itself.
            if (!firstOutcome) firstFailure = failure;
            else if (!connected && attempt == 0) LOG_WARN << failure;
            else if (!connected) LOG_DEBUG << failure;
            firstOutcome = true;
        }
        linkChanged.notify_all();
        if (!connected) {
            index = (index + 1) % servers.size();
            attempt = std::min(attempt + 1, 30);
            continue;
        }
        std::unique_lock<std::mutex> lock(linkMutex);
        linkChanged.wait(lock, [this] { return stopping || lost; });
        if (stopping) return;
        // The broker that was lost may be the one that is down: the next one first.
        index = (index + 1) % servers.size();
        attempt = 0;
    }
}

bool MQTTClient::IsTlsUri(const std::string& uri) {
    return StartsWith(uri, "ssl://") || StartsWith(uri, "mqtts://") || StartsWith(uri, "wss://");
}

mqtt::connect_options MQTTClient::ConnectOptions() const {
    mqtt::connect_options options;
    options.set_user_name(settings.userName);
    options.set_password(settings.password);
    options.set_keep_alive_interval(settings.keepAlive);
    options.set_clean_session(true);
    // The library tries two protocol versions one after the other, each up to this long: both
    // fit into the bound of the first connection.
    options.set_connect_timeout(std::max(std::chrono::seconds(1), settings.firstConnectLimit / 2));
    if (!statusTopic.empty()) {
        options.set_will(mqtt::will_options(statusTopic, std::string(kOffline), kStatusQos, true));
    }
    bool tls = false;
    for (const auto& uri : servers) tls = tls || IsTlsUri(uri);
    if (tls) {
        mqtt::ssl_options ssl;
        // No setting turns verification off: a device that talks to any broker which
        // answers would hand its password to whoever sits on its network.
        ssl.set_enable_server_cert_auth(true);
        ssl.set_verify(true);  // the certificate must name the host of the URI
        ssl.set_ssl_version(MQTT_SSL_VERSION_TLS_1_2);
        if (!settings.caFile.empty()) {
            ssl.set_trust_store(settings.caFile);
        }
        if (!settings.certFile.empty()) {
            ssl.set_key_store(settings.certFile);
        }
        if (!settings.keyFile.empty()) {
            ssl.set_private_key(settings.keyFile);
        }
        // Library thread: only logs. The connection is retried like any lost one.
        ssl.set_error_handler([](const std::string& reason) {
            LOG_ERROR << "MQTT TLS: " << reason.substr(0, reason.find_last_not_of(" \r\n") + 1);
        });
        options.set_ssl(std::move(ssl));
    }
    return options;
}

void MQTTClient::InstallHandlers(mqtt::async_client& library) {
    // The handlers run on this library client's threads, which end before it is destroyed.
    mqtt::async_client* self = &library;
    // Only hands the loss to the reconnecting thread: nothing may wait on the library's thread.
    library.set_connection_lost_handler([this, self](const std::string&) {
        LOG_WARN << "MQTT connection lost.";
        if (Current().get() != self) return;  // a client already replaced
        {
            std::lock_guard<std::mutex> lock(linkMutex);
            lost = true;
        }
        linkChanged.notify_all();
    });
    library.set_disconnected_handler(
        [](const mqtt::properties&, mqtt::ReasonCode) { LOG_WARN << "MQTT disconnected."; });
    library.set_connected_handler([this, self](const std::string&) {
        LOG_INFO << "MQTT connected.";
        PublishOnline(*self);
        RenewSubscriptions(*self);
        if (settings.onConnected) settings.onConnected();
    });
    library.set_message_callback([this](mqtt::const_message_ptr message) {
        if (!message) {
            return;
        }
        // A retained command is an old one the broker replays at every subscription, i.e. at
        // every start: acting on it would repeat it forever.
        if (message->is_retained()) {
            LOG_DEBUG << "MQTT retained message on topic " << message->get_topic() << " dropped.";
            return;
        }
        Deliver(message->get_topic(), message->get_payload_str());
    });
}

MQTTClient::~MQTTClient() {
    {
        std::lock_guard<std::mutex> lock(linkMutex);
        stopping = true;
    }
    linkChanged.notify_all();
    if (reconnector.joinable()) reconnector.join();
    try {
        std::shared_ptr<mqtt::async_client> library = Current();
        if (library && library->is_connected()) {
            auto token = library->disconnect();
            if (!token->wait_for(kDisconnectTimeout)) {
                LOG_ERROR << "MQTT disconnect did not complete.";
            }
        }
    } catch (const mqtt::exception& e) {
        LOG_ERROR << e.what();
    }
}

bool MQTTClient::IsConnected() const {
    const std::shared_ptr<mqtt::async_client> library = Current();
    return library && library->is_connected();
}

void MQTTClient::PublishOnline(mqtt::async_client& library) {
    if (statusTopic.empty()) {
        return;
    }
    try {
        // Never wait here: this runs on the library's thread, which completes the token.
        library.publish(statusTopic, kOnline, std::char_traits<char>::length(kOnline),
                            kStatusQos, true);
    } catch (const mqtt::exception& e) {
        LOG_ERROR << e.what();
    }
}

bool MQTTClient::PublishOffline(std::chrono::milliseconds timeout) {
    if (statusTopic.empty()) {
        return false;
    }
    const std::shared_ptr<mqtt::async_client> library = Current();
    try {
        if (!library || !library->is_connected()) {
            LOG_WARN << "MQTT not connected: \"" << kOffline << "\" left to the last will.";
            return false;
        }
        auto token = library->publish(statusTopic, kOffline,
                                         std::char_traits<char>::length(kOffline), kStatusQos, true);
        if (!token->wait_for(timeout)) {
            LOG_ERROR << "MQTT \"" << kOffline << "\" status was not confirmed.";
            return false;
        }
        LOG_INFO << "MQTT status " << kOffline << " published.";
        return true;
    } catch (const mqtt::exception& e) {
        LOG_ERROR << e.what();
        return false;
    }
}

mqtt::subscribe_options MQTTClient::SubscribeOptions() const {
    mqtt::subscribe_options options;
    options.set_no_local(true);
    return options;
}

bool MQTTClient::Publish(const std::string& topic, const std::string& payload) {
    const std::shared_ptr<mqtt::async_client> library = Current();
    try {
        if (!library || !library->is_connected()) {
            LOG_ERROR << "MQTT did not connect yet.";
            return false;
        }
        library->publish(topic, payload.data(), payload.size(), qos, false);
        LOG_DEBUG << payload << " to topic: " << topic;
        return true;
    } catch (const mqtt::exception& e) {
        LOG_ERROR << e.what();
        return false;
    }
}

bool MQTTClient::PublishRetained(const std::string& topic, const std::string& payload,
                                 std::chrono::milliseconds confirm) {
    const std::shared_ptr<mqtt::async_client> library = Current();
    try {
        if (!library || !library->is_connected()) {
            LOG_DEBUG << "MQTT not connected: " << topic << " not published.";
            return false;
        }
        auto token = library->publish(topic, payload.data(), payload.size(), kStatusQos, true);
        if (confirm.count() > 0 && !token->wait_for(confirm)) {
            LOG_WARN << "MQTT message on " << topic << " was not confirmed.";
            return false;
        }
        LOG_DEBUG << payload << " to topic: " << topic;
        return true;
    } catch (const mqtt::exception& e) {
        LOG_ERROR << e.what();
        return false;
    }
}

bool MQTTClient::Subscribe(const std::string& topic, std::function<void(const std::string&)> callback) {
    {
        std::lock_guard<std::mutex> lock(subscriptionsMutex);
        auto found = subscriptions.find(topic);
        if (found != subscriptions.end()) {
            found->second = std::move(callback);
            return true;
        }
        // Remembered before the connection test: a connection that comes up from now on
        // renews it in the connected handler.
        subscriptions[topic] = std::move(callback);
    }
    const std::shared_ptr<mqtt::async_client> library = Current();
    try {
        if (!library || !library->is_connected()) {
            LOG_ERROR << "MQTT did not connect yet.";
            return false;
        }
        auto token = library->subscribe(topic, qos, SubscribeOptions(), mqtt::properties());
        if (!token->wait_for(kSubscribeTimeout)) {
            LOG_ERROR << "MQTT subscription of " << topic << " did not complete.";
            return false;
        }
        return true;
    } catch (const mqtt::exception& e) {
        LOG_ERROR << e.what();
        // Refused by a live connection: forgotten. Failed because the connection dropped
        // meanwhile: kept, the next connection renews it.
        if (library && library->is_connected()) {
            std::lock_guard<std::mutex> lock(subscriptionsMutex);
            subscriptions.erase(topic);
        }
        return false;
    }
}

void MQTTClient::RenewSubscriptions(mqtt::async_client& library) {
    std::vector<std::string> topics;
    {
        std::lock_guard<std::mutex> lock(subscriptionsMutex);
        for (const auto& entry : subscriptions) {
            topics.push_back(entry.first);
        }
    }
    for (const auto& topic : topics) {
        try {
            // Never wait here: this runs on the library's thread, which completes the token.
            library.subscribe(topic, qos, nullptr, renewListener, SubscribeOptions(),
                                  mqtt::properties());
            LOG_DEBUG << "MQTT subscribing again to topic: " << topic;
        } catch (const mqtt::exception& e) {
            LOG_ERROR << e.what();
        }
    }
}

void MQTTClient::Deliver(const std::string& topic, const std::string& payload) {
    Callback callback;
    {
        std::lock_guard<std::mutex> lock(subscriptionsMutex);
        auto found = subscriptions.find(topic);
        if (found == subscriptions.end() || !found->second) {
            return;
        }
        callback = found->second;
    }
    callback(payload);
}

void MQTTClient::RenewListener::on_failure(const mqtt::token& token) {
    LOG_ERROR << "MQTT subscription failed, return code: " << token.get_return_code();
}

void MQTTClient::RenewListener::on_success(const mqtt::token&) {
    LOG_DEBUG << "MQTT subscription renewed.";
}
