#include "utils/event_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "process.h"

using namespace std::chrono_literals;

namespace {

// Runs a loop on its own thread for the duration of a test.
struct RunningLoop {
    EventLoop loop;
    std::thread runner;
    void start() {
        runner = std::thread([this] { loop.run(); });
    }
    ~RunningLoop() {
        if (runner.joinable()) {
            loop.stop();
            runner.join();
        }
    }
};

}  // namespace

TEST(EventLoop, DispatchesInPushOrderAndLogsPushesAndRuns) {
    LogCapture capture;
    EventLoop loop;
    std::vector<std::pair<unsigned, int>> seen;
    int sequence = 0;
    loop.setHandler(5, [&](std::shared_ptr<EventBase> e) { seen.push_back({e->id, sequence++}); });
    auto first = std::make_shared<EventBase>(5);
    loop.push(first);
    loop.push(std::make_shared<EventBase>(6));
    loop.push(std::make_shared<EventBase>(5));
    loop.stop();
    loop.run();  // on this thread: everything is queued already

    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].second, 0);
    EXPECT_EQ(seen[1].second, 1);
    EXPECT_EQ(loop.getState(), EventLoop::Stopped);

    auto lines = capture.lines();
    auto pushes = Matching(lines, "] push(): Push event ID: ");
    ASSERT_EQ(pushes.size(), 4u);
    EXPECT_NE(pushes[0].find("[DEBUG][../src/utils/event_loop:"), std::string::npos) << pushes[0];
    EXPECT_NE(pushes[0].find("Push event ID: 5"), std::string::npos);
    EXPECT_NE(pushes[1].find("Push event ID: 6"), std::string::npos);
    EXPECT_NE(pushes[3].find("Push event ID: 4294967295"), std::string::npos);
    auto runs = Matching(lines, "] dispatch(): Event ID: 5 run in: ");
    EXPECT_EQ(runs.size(), 2u);
    for (const auto& r : runs) {
        EXPECT_EQ(r.substr(r.size() - 9), " seconds.") << r;
    }
    EXPECT_EQ(Matching(lines, "Event ID: 6 run in").size(), 0u);
    auto stops = Matching(lines, "] dispatch(): Received stop event.");
    EXPECT_EQ(stops.size(), 1u);
    EXPECT_EQ(lines.back(), stops.back());
}

TEST(EventLoop, StopRunsQueuedEventsFirstAndNothingPushedAfterIt) {
    EventLoop loop;
    std::vector<int> seen;
    loop.setHandler(1, [&](std::shared_ptr<EventBase>) { seen.push_back(1); });
    loop.setHandler(2, [&](std::shared_ptr<EventBase>) { seen.push_back(2); });
    bool stopHandlerRan = false;
    loop.setHandler(STOP_EVENT_ID, [&](std::shared_ptr<EventBase>) { stopHandlerRan = true; });
    loop.push(std::make_shared<EventBase>(1));
    loop.push(std::make_shared<EventBase>(2));
    loop.stop();
    // After the stop: never dispatched, and released when the loop ends, not with it (an event
    // may hold the loop's owner: kept, it would keep the owner and itself alive for good).
    auto held = std::make_shared<int>(1);
    std::weak_ptr<int> heldAfterStop = held;
    loop.push(std::make_shared<Event<1, std::shared_ptr<int>>>(std::move(held)));
    loop.run();
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
    EXPECT_TRUE(stopHandlerRan);
    EXPECT_EQ(loop.getState(), EventLoop::Stopped);
    EXPECT_TRUE(heldAfterStop.expired());
    held = std::make_shared<int>(2);
    std::weak_ptr<int> heldAfterEnd = held;
    loop.push(std::make_shared<Event<2, std::shared_ptr<int>>>(std::move(held)));
    EXPECT_FALSE(loop.tryPush(std::make_shared<EventBase>(2), 10, "test"));
    EXPECT_TRUE(heldAfterEnd.expired());
}

TEST(EventLoop, HandlerTableReplacesAndRemoves) {
    EventLoop loop;
    std::vector<int> seen;
    loop.setHandler(3, [&](std::shared_ptr<EventBase>) { seen.push_back(1); });
    loop.setHandler(3, [&](std::shared_ptr<EventBase>) { seen.push_back(2); });
    loop.removeHandler(4);
    loop.push(std::make_shared<EventBase>(3));
    loop.stop();
    loop.run();
    EXPECT_EQ(seen, std::vector<int>{2});

    EventLoop other;
    other.setHandler(3, [&](std::shared_ptr<EventBase>) { seen.push_back(3); });
    other.removeHandler(3);
    other.push(std::make_shared<EventBase>(3));
    other.stop();
    other.run();
    EXPECT_EQ(seen, std::vector<int>{2});
}

TEST(EventLoop, AHandlerMayRemoveItselfWhileRunning) {
    EventLoop loop;
    int calls = 0;
    loop.setHandler(1, [&](std::shared_ptr<EventBase>) {
        ++calls;
        loop.removeHandler(1);
    });
    loop.push(std::make_shared<EventBase>(1));
    loop.push(std::make_shared<EventBase>(1));
    loop.stop();
    loop.run();
    EXPECT_EQ(calls, 1);
}

TEST(EventLoop, IdleLoopWakesForEventsFromOtherThreadsInOrder) {
    RunningLoop running;
    std::atomic<int> count{0};
    std::vector<int> order;
    std::mutex orderMutex;
    running.loop.setHandler(1, [&](std::shared_ptr<EventBase>) {
        std::lock_guard<std::mutex> lock(orderMutex);
        order.push_back(count.fetch_add(1));
    });
    running.start();
    ASSERT_TRUE(fixture::WaitFor([&] { return running.loop.getState() == EventLoop::Idle; }, 5s));
    for (int round = 0; round < 50; ++round) {
        running.loop.push(std::make_shared<EventBase>(1));
        ASSERT_TRUE(fixture::WaitFor([&] { return count.load() == round + 1; }, 5s));
    }
    // A burst from two producers: every event is handled exactly once.
    std::thread a([&] { for (int i = 0; i < 200; ++i) running.loop.push(std::make_shared<EventBase>(1)); });
    std::thread b([&] { for (int i = 0; i < 200; ++i) running.loop.push(std::make_shared<EventBase>(1)); });
    a.join();
    b.join();
    ASSERT_TRUE(fixture::WaitFor([&] { return count.load() == 450; }, 10s));
    std::lock_guard<std::mutex> lock(orderMutex);
    for (std::size_t i = 0; i < order.size(); ++i) EXPECT_EQ(order[i], static_cast<int>(i));
}

TEST(Events, TypedPayloadAndIds) {
    auto upload = std::make_shared<UploadPhotoEvent>("/sd/photo/1.jpg", "/photo/1.jpg");
    EXPECT_EQ(upload->id, 6u);
    EXPECT_EQ(UploadPhotoEvent::eventId, 6u);
    EXPECT_EQ(upload->get<0>(), "/sd/photo/1.jpg");
    EXPECT_EQ(upload->get<1>(), "/photo/1.jpg");
    auto start = std::make_shared<StartStreamEvent>(2);
    EXPECT_EQ(start->get<0>(), 2);
    EXPECT_EQ(std::make_shared<StopEvent>()->id, 4294967295u);
    EXPECT_EQ(TaskEvent::eventId, 4294967294u);
    EXPECT_EQ(ChildFinishedEvent::eventId, 4294967293u);
    std::shared_ptr<EventBase> base = start;
    EXPECT_EQ(std::dynamic_pointer_cast<StopStreamEvent>(base), nullptr);
}

TEST(EventLoop, AFailingHandlerIsLoggedAndTheLoopGoesOn) {
    LogCapture capture;
    EventLoop loop;
    std::vector<int> seen;
    loop.setHandler(1, [](std::shared_ptr<EventBase>) { throw std::runtime_error("bad input"); });
    loop.setHandler(2, [&](std::shared_ptr<EventBase>) { seen.push_back(2); });
    loop.push(std::make_shared<EventBase>(1));
    loop.push(std::make_shared<EventBase>(2));
    loop.stop();
    loop.run();
    EXPECT_EQ(seen, (std::vector<int>{2}));
    auto errors = Matching(capture.lines(), "[ERROR]");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("Handler of event ID 1 failed: bad input"), std::string::npos) << errors[0];
    std::chrono::steady_clock::time_point since;
    EXPECT_FALSE(loop.busySince(since));
}
