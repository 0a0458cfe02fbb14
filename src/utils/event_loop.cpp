#include "utils/event_loop.h"

#include <chrono>

#include "utils/logger.h"

void EventLoop::setHandler(const unsigned& id, const Handler& handler) {
    handlers[id] = handler;
}

void EventLoop::removeHandler(const unsigned& id) {
    handlers.erase(id);
}

void EventLoop::push(std::shared_ptr<EventBase> event) {
    LOG_DEBUG << "Push event ID: " << event->id;
    {
        std::lock_guard<std::mutex> lock(mutex);
        queue.push_back(std::move(event));
    }
    wake.notify_one();
}

void EventLoop::stop() {
    stopping = true;
    push(std::make_shared<StopEvent>());
}

void EventLoop::run() {
    for (;;) {
        state = Running;
        std::unique_lock<std::mutex> lock(mutex);
        if (queue.empty()) {
            // Sleep until the next push: an idle loop costs no wake-ups at all.
            state = Idle;
            wake.wait(lock, [this] { return !queue.empty(); });
            continue;
        }
        std::shared_ptr<EventBase> event = std::move(queue.front());
        queue.pop_front();
        lock.unlock();
        if (!dispatch(std::move(event))) {
            break;
        }
    }
    state = Stopped;
}

bool EventLoop::dispatch(std::shared_ptr<EventBase> event) {
    auto it = handlers.find(event->id);
    if (it != handlers.end()) {
        // Copy: a handler may replace or remove its own table entry while it runs.
        Handler handler = it->second;
        auto begin = std::chrono::steady_clock::now();
        handler(event);
        auto end = std::chrono::steady_clock::now();
        double seconds =
            std::chrono::duration_cast<std::chrono::nanoseconds>(end - begin).count() / 1e9;
        LOG_DEBUG << "Event ID: " << event->id << " run in: " << seconds << " seconds.";
    }
    if (event->id == STOP_EVENT_ID) {
        LOG_DEBUG << "Received stop event.";
        return false;
    }
    return true;
}
