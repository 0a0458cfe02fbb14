#include "utils/event_loop.h"

#include <chrono>
#include <exception>

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
        if (ended) {
            return;  // released here, outside the lock: nothing will ever dispatch it
        }
        queue.push_back(std::move(event));
    }
    wake.notify_one();
}

bool EventLoop::tryPush(std::shared_ptr<EventBase> event, std::size_t capacity, const char* source) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (ended) {
            return false;
        }
        if (queue.size() >= capacity) {
            if (!dropping) {
                dropping = true;
                LOG_WARN << "Event queue full (" << queue.size() << " events waiting), dropping "
                         << source << " until it drains.";
            }
            return false;
        }
        queue.push_back(std::move(event));
    }
    wake.notify_one();
    return true;
}

namespace {
thread_local EventLoop* runningLoop = nullptr;

int64_t SteadyNowNs() {
    return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    std::chrono::steady_clock::now().time_since_epoch())
                                    .count());
}
}  // namespace

EventLoop* EventLoop::current() { return runningLoop; }

bool EventLoop::busySince(std::chrono::steady_clock::time_point& since) const {
    const int64_t ns = busySinceNs.load();
    if (ns == 0) {
        return false;
    }
    since = std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::nanoseconds(ns)));
    return true;
}

void EventLoop::reportProgress() {
    if (busySinceNs.load() != 0) {
        busySinceNs.store(SteadyNowNs());
    }
}

void EventLoop::stop() {
    stopping = true;
    push(std::make_shared<StopEvent>());
}

void EventLoop::run() {
    EventLoop* outer = runningLoop;
    runningLoop = this;
    for (;;) {
        state = Running;
        std::unique_lock<std::mutex> lock(mutex);
        if (queue.empty()) {
            dropping = false;  // the backlog is worked off: a later overflow is a new burst
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
    // What came after the stop event is never dispatched: release it now, not with the loop. An
    // event may hold its own loop's owner (a finished child's event holds the child, which holds
    // its parent), and kept in the queue it would keep both alive for good.
    std::deque<std::shared_ptr<EventBase>> left;
    {
        std::lock_guard<std::mutex> lock(mutex);
        ended = true;
        left.swap(queue);
    }
    left.clear();
    state = Stopped;
    runningLoop = outer;
}

bool EventLoop::dispatch(std::shared_ptr<EventBase> event) {
    auto it = handlers.find(event->id);
    if (it != handlers.end()) {
        // Copy: a handler may replace or remove its own table entry while it runs.
        Handler handler = it->second;
        auto begin = std::chrono::steady_clock::now();
        busySinceNs.store(SteadyNowNs());
        try {
            handler(event);
        } catch (const std::exception& e) {
            // One failed event must not end the thread (and with it the process).
            LOG_ERROR << "Handler of event ID " << event->id << " failed: " << e.what();
        } catch (...) {
            LOG_ERROR << "Handler of event ID " << event->id << " failed.";
        }
        busySinceNs.store(0);
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
