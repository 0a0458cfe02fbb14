#pragma once

#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "utils/event_loop.h"

// An actor: one OS thread running one EventLoop. Other threads talk to it only through post().
// Threads form a tree: a thread that ends first stops and joins its children, then tells its
// parent, which joins it. Always owned by a std::shared_ptr.
class Thread : public std::enable_shared_from_this<Thread> {
public:
    Thread(const std::string& name, std::shared_ptr<Thread> parent);
    virtual ~Thread();

    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Any thread, once. Throws std::bad_weak_ptr when not owned by a shared_ptr.
    void start();
    // Any thread. Queues the stop event; returns at once.
    void stop();
    // Owner of a top-level thread, after stop(). Joins the OS thread.
    void wait();

    // Any thread.
    void post(std::shared_ptr<EventBase> event);
    // Any thread: post unless `capacity` events already wait (see EventLoop::tryPush).
    bool tryPost(std::shared_ptr<EventBase> event, std::size_t capacity, const char* source);
    void post(const unsigned& id);
    void post(const std::function<void()>& task);

    // Owning thread only, or before start(). An empty handler removes the entry.
    void setEventHandler(const unsigned& id,
                         const std::function<void(std::shared_ptr<EventBase>)>& handler);

    // Typed registration: the handler receives the event downcast to EventT (empty when an
    // event of another type arrives under the same id).
    template <class EventT>
    void setEventHandler(const typename EventT::Handler& handler) {
        setEventHandler(EventT::eventId, [handler](std::shared_ptr<EventBase> event) {
            handler(std::dynamic_pointer_cast<EventT>(event));
        });
    }

    // Parent's thread only: joins a child that has ended.
    void childFinished(std::shared_ptr<Thread> child);

    static int main(std::shared_ptr<Thread> self);

    // Any thread.
    const std::string& getName() const { return threadName; }
    EventLoop::State getState() const { return loop.getState(); }
    std::size_t getChildCount();

    // Any thread; meant for a handler of this framework's threads that does long work which
    // keeps progressing (a transfer with progress): the calling thread's handler is not stuck.
    // Does nothing on other threads.
    static void ReportProgress();
    // Any thread. Names of the started threads that have not ended yet.
    static std::vector<std::string> RunningThreads();
    // Any thread. Names of the running threads that have been inside one handler for longer
    // than `limit` without reporting progress: their event loop has stopped keeping up.
    static std::vector<std::string> StuckThreads(std::chrono::steady_clock::duration limit);

protected:
    // Run on the thread itself around its loop. Overrides call the base onInit() first and
    // the base onExit() last.
    virtual void onInit();
    virtual void onExit();

    void onTaskEvent(std::shared_ptr<EventBase> event);
    void onChildFinished(std::shared_ptr<EventBase> event);

private:
    void join();

    std::thread thread;
    // start() assigns `thread` after the OS thread already runs; the new thread and every
    // joiner synchronise on this mutex so that nobody sees the member half-assigned.
    std::mutex threadMutex;
    std::string threadName;
    std::shared_ptr<Thread> parentThread;
    // Changed by children (start() appends, so that a stop arriving before the child's thread
    // runs still reaches it) and by this thread (removal, draining).
    std::list<std::shared_ptr<Thread>> children;
    std::mutex childrenMutex;
    EventLoop loop;
};
