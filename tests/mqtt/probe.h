#pragma once

#include <mqtt/async_client.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

// The controller's side in tests and benchmarks: a plain Paho client that publishes commands
// and collects what arrives on the topics it subscribed, in arrival order.
class Probe {
public:
    struct Message {
        std::string topic;
        std::string payload;
    };

    Probe(const std::string& uri, const std::string& clientId, const std::string& user = "",
          const std::string& password = "")
        : client(uri, clientId, nullptr) {
        client.set_message_callback([this](mqtt::const_message_ptr message) {
            std::lock_guard<std::mutex> lock(mutex);
            received.push_back({message->get_topic(), message->get_payload_str()});
            arrived.notify_all();
        });
        mqtt::connect_options options;
        options.set_clean_session(true);
        options.set_keep_alive_interval(std::chrono::seconds(30));
        if (!user.empty()) {
            options.set_user_name(user);
            options.set_password(password);
        }
        client.connect(options)->wait();
    }

    ~Probe() {
        try {
            if (client.is_connected()) client.disconnect()->wait_for(std::chrono::seconds(5));
        } catch (const mqtt::exception&) {
        }
    }

    void Subscribe(const std::string& topic) { client.subscribe(topic, 0)->wait(); }

    void Publish(const std::string& topic, const std::string& payload, bool retained = false) {
        client.publish(topic, payload.data(), payload.size(), 0, retained)->wait();
    }

    // The next message in arrival order, or false after `timeout`.
    bool Next(Message& message, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!arrived.wait_for(lock, timeout, [this] { return !received.empty(); })) return false;
        message = std::move(received.front());
        received.pop_front();
        return true;
    }

    size_t Pending() {
        std::lock_guard<std::mutex> lock(mutex);
        return received.size();
    }

    mqtt::async_client& Client() { return client; }

private:
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<Message> received;
    mqtt::async_client client;
};
