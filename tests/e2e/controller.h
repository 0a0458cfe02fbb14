#pragma once

#include <mqtt/async_client.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// The remote controller of the device, as an operator's program would be: a plain Paho client
// that publishes commands and keeps every message of the topics it subscribed, with the moment
// it arrived.
class Controller {
public:
    struct Message {
        std::string topic;
        std::string payload;
        std::chrono::steady_clock::time_point at;
    };

    Controller(const std::string& uri, const std::string& clientId) : client(uri, clientId, nullptr) {
        client.set_message_callback([this](mqtt::const_message_ptr message) {
            std::lock_guard<std::mutex> lock(mutex);
            received.push_back(
                {message->get_topic(), message->get_payload_str(), std::chrono::steady_clock::now()});
            arrived.notify_all();
        });
        mqtt::connect_options options;
        options.set_clean_session(true);
        options.set_keep_alive_interval(std::chrono::seconds(30));
        client.connect(options)->wait_for(std::chrono::seconds(10));
    }

    ~Controller() {
        try {
            if (client.is_connected()) client.disconnect()->wait_for(std::chrono::seconds(5));
        } catch (const mqtt::exception&) {
        }
    }

    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    bool Connected() { return client.is_connected(); }

    void Subscribe(const std::string& topic) { client.subscribe(topic, 0)->wait_for(std::chrono::seconds(10)); }

    // `retain`: the broker keeps the message and hands it to every later subscriber.
    void Publish(const std::string& topic, const std::string& payload, bool retain = false) {
        client.publish(topic, payload.data(), payload.size(), 0, retain)->wait_for(std::chrono::seconds(10));
    }

    // Everything received so far, in arrival order.
    std::vector<Message> Messages() {
        std::lock_guard<std::mutex> lock(mutex);
        return received;
    }

    std::vector<Message> On(const std::string& topic) {
        std::vector<Message> result;
        for (auto& message : Messages())
            if (message.topic == topic) result.push_back(message);
        return result;
    }

    // Waits until `condition` holds for the messages received so far; false after `timeout`.
    // The condition runs under the lock: it must look only at its argument.
    bool WaitUntil(const std::function<bool(const std::vector<Message>&)>& condition,
                   std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, timeout, [&] { return condition(received); });
    }

    // Waits for a message on `topic` that contains `text`; fills `found` with the first one.
    bool WaitFor(const std::string& topic, const std::string& text, std::chrono::milliseconds timeout,
                 Message* found = nullptr) {
        return WaitUntil(
            [&](const std::vector<Message>& messages) {
                for (const auto& message : messages) {
                    if (message.topic == topic && message.payload.find(text) != std::string::npos) {
                        if (found) *found = message;
                        return true;
                    }
                }
                return false;
            },
            timeout);
    }

private:
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Message> received;
    mqtt::async_client client;
};
