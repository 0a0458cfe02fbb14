#include "utils/thread.h"

#include <algorithm>
#include <chrono>

#include "utils/logger.h"

Thread::Thread(const std::string& name, std::shared_ptr<Thread> parent)
    : threadName(name), parentThread(std::move(parent)) {
    loop.setHandler(CHILD_FINISHED_EVENT_ID,
                    [this](std::shared_ptr<EventBase> event) { onChildFinished(event); });
    loop.setHandler(TASK_EVENT_ID,
                    [this](std::shared_ptr<EventBase> event) { onTaskEvent(event); });
}

Thread::~Thread() = default;

namespace {
// Every thread between start() and the end of its main(); each entry is kept alive by the
// reference that main() holds.
std::mutex registryMutex;
std::vector<Thread*> registry;

void Unregister(Thread* thread) {
    std::lock_guard<std::mutex> lock(registryMutex);
    registry.erase(std::remove(registry.begin(), registry.end(), thread), registry.end());
}
}  // namespace

void Thread::start() {
    std::shared_ptr<Thread> self = shared_from_this();
    if (parentThread) {
        // Listed before the thread exists: a parent stopping at any moment from now on stops
        // and joins this child too.
        std::lock_guard<std::mutex> lock(parentThread->childrenMutex);
        if (std::find(parentThread->children.begin(), parentThread->children.end(), self) ==
            parentThread->children.end()) {
            parentThread->children.push_back(self);
        }
    }
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        registry.push_back(this);
    }
    try {
        std::lock_guard<std::mutex> lock(threadMutex);
        thread = std::thread(&Thread::main, self);
    } catch (...) {
        Unregister(this);
        if (parentThread) {
            std::lock_guard<std::mutex> lock(parentThread->childrenMutex);
            parentThread->children.remove(self);
        }
        throw;
    }
    LOG_DEBUG << "Started new thread: " << threadName;
}

void Thread::ReportProgress() {
    if (EventLoop* loop = EventLoop::current()) {
        loop->reportProgress();
    }
}

std::vector<std::string> Thread::RunningThreads() {
    std::lock_guard<std::mutex> lock(registryMutex);
    std::vector<std::string> names;
    for (Thread* thread : registry) {
        names.push_back(thread->threadName);
    }
    return names;
}

std::vector<std::string> Thread::StuckThreads(std::chrono::steady_clock::duration limit) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(registryMutex);
    std::vector<std::string> names;
    for (Thread* thread : registry) {
        std::chrono::steady_clock::time_point since;
        if (thread->loop.busySince(since) && now - since > limit) {
            names.push_back(thread->threadName);
        }
    }
    return names;
}

bool Thread::tryPost(std::shared_ptr<EventBase> event, std::size_t capacity, const char* source) {
    return loop.tryPush(std::move(event), capacity, source);
}

void Thread::stop() {
    loop.stop();
}

void Thread::wait() {
    join();
}

void Thread::join() {
    std::thread running;
    {
        std::lock_guard<std::mutex> lock(threadMutex);
        running = std::move(thread);
    }
    if (running.joinable()) {
        running.join();
    }
}

void Thread::post(std::shared_ptr<EventBase> event) {
    // A loop that is stopping never dispatches what comes after its stop event: say so
    // rather than lose the event without a trace.
    if (loop.stopRequested() || loop.getState() == EventLoop::Stopped) {
        LOG_WARN << "Thread " << threadName << " is no longer running: event ID " << event->id
                 << " dropped.";
        return;
    }
    loop.push(std::move(event));
}

void Thread::post(const unsigned& id) {
    post(std::make_shared<EventBase>(id));
}

void Thread::post(const std::function<void()>& task) {
    post(std::make_shared<TaskEvent>(task));
}

void Thread::setEventHandler(const unsigned& id,
                             const std::function<void(std::shared_ptr<EventBase>)>& handler) {
    if (handler) {
        loop.setHandler(id, handler);
    } else {
        loop.removeHandler(id);
    }
}

std::size_t Thread::getChildCount() {
    std::lock_guard<std::mutex> lock(childrenMutex);
    return children.size();
}

void Thread::childFinished(std::shared_ptr<Thread> child) {
    child->join();
}

int Thread::main(std::shared_ptr<Thread> self) {
    {
        // Wait until start() has finished assigning the std::thread member.
        std::lock_guard<std::mutex> lock(self->threadMutex);
    }
    self->onInit();
    auto begin = std::chrono::steady_clock::now();
    self->loop.run();
    auto end = std::chrono::steady_clock::now();
    double seconds =
        std::chrono::duration_cast<std::chrono::nanoseconds>(end - begin).count() / 1e9;
    LOG_DEBUG << "Thread: " << self->threadName << " run in: " << seconds << " seconds.";
    self->onExit();
    Unregister(self.get());
    return 0;
}

void Thread::onInit() {
    if (!parentThread) {
        return;
    }
    std::lock_guard<std::mutex> lock(parentThread->childrenMutex);
    for (const auto& child : parentThread->children) {
        if (child.get() == this) {
            return;
        }
    }
    parentThread->children.push_back(shared_from_this());
}

void Thread::onExit() {
    {
        // Ask every child to stop before waiting for any of them.
        std::lock_guard<std::mutex> lock(childrenMutex);
        for (auto it = children.rbegin(); it != children.rend(); ++it) {
            (*it)->stop();
        }
    }
    for (;;) {
        std::shared_ptr<Thread> child;
        {
            std::lock_guard<std::mutex> lock(childrenMutex);
            if (children.empty()) {
                break;
            }
            child = children.back();
            children.pop_back();
        }
        // Joined outside the lock: the child may still be appending grandchildren elsewhere,
        // and its own exit never touches this list once it is out of it.
        child->join();
    }
    if (parentThread && parentThread->getState() != EventLoop::Stopped &&
        !parentThread->loop.stopRequested()) {
        parentThread->post(std::make_shared<ChildFinishedEvent>(shared_from_this()));
    }
}

void Thread::onTaskEvent(std::shared_ptr<EventBase> event) {
    auto task = std::dynamic_pointer_cast<TaskEvent>(event);
    std::function<void()> work = task->get<0>();
    work();
}

void Thread::onChildFinished(std::shared_ptr<EventBase> event) {
    auto finished = std::dynamic_pointer_cast<ChildFinishedEvent>(event);
    std::shared_ptr<Thread> child = finished->get<0>();
    {
        std::lock_guard<std::mutex> lock(childrenMutex);
        children.remove_if([&child](const std::shared_ptr<Thread>& c) { return c == child; });
    }
    childFinished(child);
}
