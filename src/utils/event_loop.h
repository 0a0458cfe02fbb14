#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>

class Thread;

// Base of all events: a numeric id, shared by reference counting, downcast at run time.
class EventBase {
public:
    explicit EventBase(unsigned eventIdValue) : id(eventIdValue) {}
    virtual ~EventBase() = default;

    const uint32_t id;
};

// A typed event: every object of one instantiation carries the same id and a payload tuple.
template <unsigned ID, class... Args>
class Event : public EventBase {
public:
    using Handler = std::function<void(std::shared_ptr<Event<ID, Args...>>)>;
    static constexpr unsigned eventId = ID;

    explicit Event(Args... args) : EventBase(ID), payload(args...) {}

    template <std::size_t N>
    auto& get() {
        return std::get<N>(payload);
    }

private:
    std::tuple<Args...> payload;
};

// Reserved ids of the framework; application events count up from 0.
constexpr unsigned STOP_EVENT_ID = 0xFFFFFFFFu;
constexpr unsigned TASK_EVENT_ID = 0xFFFFFFFEu;
constexpr unsigned CHILD_FINISHED_EVENT_ID = 0xFFFFFFFDu;

using StopEvent = Event<STOP_EVENT_ID>;
using TaskEvent = Event<TASK_EVENT_ID, std::function<void()>>;
using ChildFinishedEvent = Event<CHILD_FINISHED_EVENT_ID, std::shared_ptr<Thread>>;

// Events of the Main thread.
using VersionEvent = Event<0>;
using ResetFactoryEvent = Event<1>;
using DownloadEvent = Event<2>;
using RebootEvent = Event<3>;
using ViewCamEvent = Event<4>;
using HeartbeatEvent = Event<5>;
using UploadPhotoEvent = Event<6, std::string, std::string>;  // local path, remote path

// Events of the StreamController thread; the payload is the camera number.
using StartStreamEvent = Event<0, int>;
using StopStreamEvent = Event<1, int>;
using CapturePhotoEvent = Event<2, int>;
using StreamEndedEvent = Event<3, int>;  // posted by a stream's worker when its run is over

// A FIFO of events with one consumer (the owning thread) and a handler per event id.
class EventLoop {
public:
    enum State : uint32_t { Created = 0, Running = 1, Idle = 2, Stopped = 3 };
    using Handler = std::function<void(std::shared_ptr<EventBase>)>;

    EventLoop() = default;
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Owning thread only, or before run() starts.
    void setHandler(const unsigned& id, const Handler& handler);
    void removeHandler(const unsigned& id);

    // Any thread. Events are dispatched strictly in push order; a push wakes an idle loop. Once
    // run() has returned, an event pushed is released at once (and tryPush says false).
    void push(std::shared_ptr<EventBase> event);
    // Any thread. Like push, but refuses the event (false) while `capacity` events are already
    // waiting: for what the network fills, so that a flood cannot grow the queue without bound.
    // The first refusal of a burst logs one WARN naming `source`; the burst ends when the loop
    // has worked off its queue.
    bool tryPush(std::shared_ptr<EventBase> event, std::size_t capacity, const char* source);
    // Any thread. Queues a stop event behind everything pushed so far; does not wait.
    void stop();

    // Owning thread only, once: dispatches until the stop event has been handled.
    void run();
    // Owning thread only (used by run): false for the stop event.
    bool dispatch(std::shared_ptr<EventBase> event);

    // Any thread.
    State getState() const { return state.load(); }
    // Any thread: true once stop() was called; events pushed after it are never dispatched.
    bool stopRequested() const { return stopping.load(); }

    // Any thread. Since when the loop has been inside one handler without saying it progresses
    // (steady clock); false when it is not inside a handler.
    bool busySince(std::chrono::steady_clock::time_point& since) const;
    // Any thread, normally the owning one from a long handler: the handler is not stuck.
    void reportProgress();
    // The loop whose handler runs on the calling thread, or nullptr.
    static EventLoop* current();

private:
    // steady_clock nanoseconds since its epoch at which the running handler started or last
    // reported progress; 0 outside handlers.
    std::atomic<int64_t> busySinceNs{0};
    bool dropping = false;  // guarded by mutex
    bool ended = false;     // guarded by mutex: run() is over, pushes are released at once
    std::atomic<State> state{Created};
    std::atomic<bool> stopping{false};
    std::map<unsigned, Handler> handlers;
    std::deque<std::shared_ptr<EventBase>> queue;
    std::mutex mutex;
    std::condition_variable wake;
};
