#include "utils/thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "log_capture.h"
#include "process.h"

using namespace std::chrono_literals;

namespace {

// Records what happens to a thread, from any thread.
struct Journal {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> entries;

    void add(const std::string& entry) {
        std::lock_guard<std::mutex> lock(mutex);
        entries.push_back(entry);
        changed.notify_all();
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return entries;
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return entries.size() >= count; });
    }
};

class Recording : public Thread {
public:
    Recording(const std::string& name, std::shared_ptr<Thread> parent, Journal& journal)
        : Thread(name, std::move(parent)), journal_(journal) {}

protected:
    void onInit() override {
        Thread::onInit();
        journal_.add(getName() + " init");
    }
    void onExit() override {
        journal_.add(getName() + " exit");
        Thread::onExit();
        journal_.add(getName() + " exited");
    }

private:
    Journal& journal_;
};

}  // namespace

TEST(Thread, TaskRunsOnTheTargetThreadAndIsLoggedWithTheTaskId) {
    LogCapture capture;
    Journal journal;
    auto thread = std::make_shared<Recording>("worker", nullptr, journal);
    std::atomic<std::thread::id> ranOn{};
    thread->start();
    thread->post([&] { ranOn = std::this_thread::get_id(); });
    thread->stop();
    thread->wait();
    EXPECT_NE(ranOn.load(), std::thread::id{});
    EXPECT_NE(ranOn.load(), std::this_thread::get_id());

    auto lines = capture.lines();
    EXPECT_EQ(Matching(lines, "] start(): Started new thread: worker").size(), 1u);
    EXPECT_EQ(Matching(lines, "Push event ID: 4294967294").size(), 1u);
    EXPECT_EQ(Matching(lines, "Event ID: 4294967294 run in: ").size(), 1u);
    auto runLine = Matching(lines, "[DEBUG][../src/utils/thread:");
    EXPECT_EQ(Matching(runLine, "] main(): Thread: worker run in: ").size(), 1u);
    EXPECT_EQ(journal.snapshot(), (std::vector<std::string>{"worker init", "worker exit",
                                                            "worker exited"}));
}

// Events posted before start() run after init; those posted behind the stop, or after the loop
// has ended, are never handled and each says so.
TEST(Thread, EventsPostedBeforeStartRunAfterInitAndThoseAfterTheStopAreReported) {
    LogCapture capture;
    Journal journal;
    auto thread = std::make_shared<Recording>("early", nullptr, journal);
    thread->setEventHandler(7, [&](std::shared_ptr<EventBase>) { journal.add("event 7"); });
    thread->post(7u);
    thread->start();
    thread->stop();
    thread->post(7u);  // behind the stop event: never handled
    thread->wait();
    thread->post([&] { journal.add("task"); });  // the loop has ended

    EXPECT_EQ(journal.snapshot(),
              (std::vector<std::string>{"early init", "event 7", "early exit", "early exited"}));
    auto warnings = Matching(capture.lines(), "[WARN][../src/utils/thread:");
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_EQ(Matching(warnings, "] post(): Thread early is no longer running: event ID 7 dropped.").size(), 1u);
    EXPECT_EQ(Matching(warnings, "] post(): Thread early is no longer running: event ID 4294967294 dropped.").size(),
              1u);
}

TEST(Thread, TypedHandlerGetsEmptyPointerForABareIdAndUntypedGetsTheBase) {
    auto thread = std::make_shared<Thread>("typed", nullptr);
    std::vector<std::string> seen;
    thread->setEventHandler<Event<7>>([&](std::shared_ptr<Event<7>> e) {
        seen.push_back(e ? "typed" : "typed-empty");
    });
    thread->setEventHandler(8, [&](std::shared_ptr<EventBase> e) {
        seen.push_back(e && e->id == 8 ? "base" : "bad");
    });
    thread->setEventHandler<StartStreamEvent>([&](std::shared_ptr<StartStreamEvent> e) {
        seen.push_back("camera " + std::to_string(e->get<0>()));
    });
    thread->post(7u);
    thread->post(std::make_shared<Event<7>>());
    thread->post(8u);
    thread->post(std::make_shared<StartStreamEvent>(3));
    thread->setEventHandler(8, nullptr);  // removed before the loop runs
    thread->start();
    thread->stop();
    thread->wait();
    EXPECT_EQ(seen, (std::vector<std::string>{"typed-empty", "typed", "camera 3"}));
}

TEST(Thread, FinishedChildIsRemovedAndJoinedByItsRunningParent) {
    Journal journal;
    auto parent = std::make_shared<Recording>("parent", nullptr, journal);
    parent->start();
    auto child = std::make_shared<Recording>("child", parent, journal);
    // Start the child from the parent's own thread, as application code does.
    parent->post([child] { child->start(); });
    ASSERT_TRUE(fixture::WaitFor([&] { return parent->getChildCount() == 1; }, 30s));
    child->stop();
    ASSERT_TRUE(fixture::WaitFor([&] { return parent->getChildCount() == 0; }, 30s));
    // The child leaves the list just before the parent joins it: once a task queued behind
    // that has run, the join is over and the child's exit is complete.
    std::atomic<bool> behind{false};
    parent->post([&behind] { behind = true; });
    ASSERT_TRUE(fixture::WaitFor([&] { return behind.load(); }, 30s));
    auto entries = journal.snapshot();
    EXPECT_EQ(entries.back(), "child exited");
    parent->stop();
    parent->wait();
    EXPECT_EQ(journal.snapshot().back(), "parent exited");
}

TEST(Thread, ParentStopsEveryChildBeforeJoiningAny) {
    Journal journal;
    auto parent = std::make_shared<Recording>("parent", nullptr, journal);
    std::vector<std::shared_ptr<Thread>> children;
    // Each child's stop handler waits until all three children have received their stop: if the
    // parent joined one before stopping the others, this would not complete.
    std::atomic<int> stopped{0};
    for (int i = 0; i < 3; ++i) {
        auto child = std::make_shared<Recording>("child" + std::to_string(i), parent, journal);
        child->setEventHandler(STOP_EVENT_ID, [&stopped](std::shared_ptr<EventBase>) {
            stopped.fetch_add(1);
            fixture::WaitFor([&] { return stopped.load() == 3; }, 10s);
        });
        children.push_back(child);
    }
    parent->post([&children] {
        for (auto& c : children) c->start();
    });
    parent->start();
    ASSERT_TRUE(fixture::WaitFor([&] { return parent->getChildCount() == 3; }, 5s));
    auto begin = std::chrono::steady_clock::now();
    parent->stop();
    parent->wait();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 9s);
    EXPECT_EQ(stopped.load(), 3);
    auto entries = journal.snapshot();
    // Every child has fully exited before the parent's exit finished; the parent posts nothing.
    EXPECT_EQ(entries.back(), "parent exited");
    int exited = 0;
    for (const auto& e : entries) exited += e.find("child") == 0 && e.find(" exited") != std::string::npos;
    EXPECT_EQ(exited, 3);
    EXPECT_EQ(parent->getChildCount(), 0u);
}

TEST(Thread, NestedTreeShutsDownFromTheTop) {
    Journal journal;
    auto top = std::make_shared<Recording>("top", nullptr, journal);
    auto middle = std::make_shared<Recording>("middle", top, journal);
    auto leaf = std::make_shared<Recording>("leaf", middle, journal);
    middle->post([leaf] { leaf->start(); });
    top->post([middle] { middle->start(); });
    top->start();
    ASSERT_TRUE(fixture::WaitFor([&] { return middle->getChildCount() == 1; }, 5s));
    top->stop();
    top->wait();
    auto entries = journal.snapshot();
    auto pos = [&](const std::string& s) {
        return std::find(entries.begin(), entries.end(), s) - entries.begin();
    };
    EXPECT_LT(pos("leaf exited"), pos("middle exited"));
    EXPECT_LT(pos("middle exited"), pos("top exited"));
}

TEST(Thread, StartRequiresSharedOwnership) {
    Thread unowned("unowned", nullptr);
    EXPECT_THROW(unowned.start(), std::bad_weak_ptr);
}

// A child is its parent's from start() on: a parent stopped at once, before the child's thread
// has even run, still stops and joins it.
TEST(Thread, ChildStartedJustBeforeItsParentStopsIsJoinedWithIt) {
    for (int round = 0; round < 20; ++round) {
        auto parent = std::make_shared<Thread>("Parent", nullptr);
        std::shared_ptr<Thread> child = std::make_shared<Thread>("Child", parent);
        parent->post([child] { child->start(); });
        parent->start();
        parent->stop();
        parent->wait();
        EXPECT_EQ(child->getState(), EventLoop::Stopped) << "round " << round;
        const auto running = Thread::RunningThreads();
        EXPECT_EQ(std::count(running.begin(), running.end(), "Child"), 0) << "round " << round;
    }
}

// The liveness the watchdog reads: a thread inside one handler is "stuck" once the limit is
// over, a handler that reports progress moves its mark, and an idle thread is never stuck.
// Events from the network go through a bounded post whose drops log one WARN per burst.
TEST(Thread, LivenessAndBoundedPosting) {
    auto worker = std::make_shared<Thread>("Worker", nullptr);
    worker->start();
    ASSERT_TRUE(fixture::WaitFor([&] { return worker->getState() == EventLoop::Idle; }, 30s));
    EXPECT_TRUE(Thread::StuckThreads(0ms).empty());
    auto running = Thread::RunningThreads();
    EXPECT_EQ(std::count(running.begin(), running.end(), "Worker"), 1);

    std::mutex mutex;
    std::condition_variable changed;
    bool inside = false, release = false, progressed = false;
    worker->post([&] {
        std::unique_lock<std::mutex> lock(mutex);
        std::chrono::steady_clock::time_point first, second;
        EventLoop::current()->busySince(first);
        std::this_thread::sleep_for(2ms);
        Thread::ReportProgress();
        EventLoop::current()->busySince(second);
        progressed = second > first;
        inside = true;
        changed.notify_all();
        changed.wait(lock, [&] { return release; });
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 30s, [&] { return inside; }));
    }
    EXPECT_TRUE(progressed);
    EXPECT_TRUE(fixture::WaitFor(
        [] {
            auto stuck = Thread::StuckThreads(1ms);
            return std::count(stuck.begin(), stuck.end(), "Worker") == 1;
        },
        30s));
    EXPECT_TRUE(Thread::StuckThreads(std::chrono::hours(1)).empty());

    LogCapture capture;
    std::atomic<int> handled{0};
    auto event = std::make_shared<EventBase>(7);
    worker->setEventHandler(7, [&](std::shared_ptr<EventBase>) { ++handled; });
    int accepted = 0;
    for (int i = 0; i < 100; ++i) accepted += worker->tryPost(event, 10, "test input") ? 1 : 0;
    EXPECT_EQ(accepted, 10);
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    changed.notify_all();
    EXPECT_TRUE(fixture::WaitFor(
        [&] { return handled == 10 && worker->getState() == EventLoop::Idle; }, 30s));
    for (int i = 0; i < 100; ++i) worker->tryPost(event, 0, "test input");  // a second burst
    worker->stop();
    worker->wait();
    EXPECT_EQ(handled, 10);
    auto warnings = Matching(capture.lines(), "[WARN]");
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_NE(warnings[0].find("dropping test input"), std::string::npos) << warnings[0];
    running = Thread::RunningThreads();
    EXPECT_EQ(std::count(running.begin(), running.end(), "Worker"), 0);
}
