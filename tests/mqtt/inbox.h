#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

// Collects payloads handed to a subscription callback on the library's thread.
class Inbox {
public:
    std::function<void(const std::string&)> Callback() {
        return [this](const std::string& payload) {
            std::lock_guard<std::mutex> lock(mutex);
            payloads.push_back(payload);
            arrived.notify_all();
        };
    }

    bool Next(std::string& payload, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!arrived.wait_for(lock, timeout, [this] { return !payloads.empty(); })) return false;
        payload = std::move(payloads.front());
        payloads.pop_front();
        return true;
    }

    size_t Size() {
        std::lock_guard<std::mutex> lock(mutex);
        return payloads.size();
    }

private:
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<std::string> payloads;
};
