#include "utils/timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "process.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Firing times and threads of one timer, recorded from its callback threads.
struct Firings {
    std::mutex mutex;
    std::vector<Clock::time_point> times;
    std::vector<std::thread::id> threads;

    void record() {
        std::lock_guard<std::mutex> lock(mutex);
        times.push_back(Clock::now());
        threads.push_back(std::this_thread::get_id());
    }
    std::size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return times.size();
    }
    std::vector<Clock::time_point> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return times;
    }
};

// A 1-second timer used as a clock: waiting for it to fire twice proves that time has passed
// and the run loop has had passes in which another timer could have fired.
struct Ticker {
    Firings firings;
    Timer timer{[this] { firings.record(); }};
    Ticker() {
        timer.setInterval(1s);
        timer.setEnabled(true);
    }
    void waitTicks(std::size_t n) {
        std::size_t target = firings.count() + n;
        ASSERT_TRUE(fixture::WaitFor([&] { return firings.count() >= target; }, 10s));
    }
};

}  // namespace

TEST(Timer, FiresEveryIntervalNeverEarlyOnAThreadOfItsOwn) {
    Firings firings;
    Timer timer([&] { firings.record(); });
    timer.setInterval(1s);
    auto enabledAt = Clock::now();
    timer.setEnabled(true);
    timer.setEnabled(true);  // registered once: a second registration would fire twice per period
    ASSERT_TRUE(fixture::WaitFor([&] { return firings.count() >= 3; }, 10s));
    timer.setEnabled(false);
    timer.setEnabled(false);
    auto times = firings.snapshot();
    // Never early against the schedule; the start of each firing thread may jitter, so the
    // gap between two firings only has to rule out a double registration.
    for (std::size_t i = 0; i < times.size(); ++i) {
        EXPECT_GE(times[i] - enabledAt, (i + 1) * 1s) << "firing " << i;
        if (i > 0) {
            EXPECT_GE(times[i] - times[i - 1], 500ms) << "firing " << i;
        }
    }
    std::lock_guard<std::mutex> lock(firings.mutex);
    for (auto id : firings.threads) EXPECT_NE(id, std::this_thread::get_id());
}

TEST(Timer, NewIntervalAppliesAfterTheAlreadyScheduledFiring) {
    Firings firings;
    Timer timer([&] { firings.record(); });
    timer.setInterval(3s);
    auto enabledAt = Clock::now();
    timer.setEnabled(true);
    timer.setInterval(1s);
    ASSERT_TRUE(fixture::WaitFor([&] { return firings.count() >= 2; }, 10s));
    timer.setEnabled(false);
    auto times = firings.snapshot();
    EXPECT_GE(times[0] - enabledAt, 3s);
    EXPECT_LT(times[1] - times[0], 2500ms);
}

TEST(Timer, DisablingFromItsOwnCallbackStopsFurtherFirings) {
    Ticker ticker;
    std::atomic<int> calls{0};
    Timer* self = nullptr;
    Timer timer([&] {
        ++calls;
        self->setEnabled(false);
    });
    self = &timer;
    timer.setInterval(1s);
    timer.setEnabled(true);
    ASSERT_TRUE(fixture::WaitFor([&] { return calls.load() == 1; }, 10s));
    ticker.waitTicks(3);
    EXPECT_EQ(calls.load(), 1);
}

TEST(Timer, DestroyingFromItsOwnCallbackDoesNotDeadlock) {
    Ticker ticker;
    std::atomic<int> calls{0};
    std::mutex holderMutex;
    auto holder = std::make_shared<std::shared_ptr<Timer>>();
    auto timer = std::make_shared<Timer>([&calls, &holderMutex, holder] {
        ++calls;
        std::shared_ptr<Timer> last;
        {
            std::lock_guard<std::mutex> lock(holderMutex);
            last = std::move(*holder);
        }
        last.reset();  // the timer dies on its own firing thread
    });
    {
        std::lock_guard<std::mutex> lock(holderMutex);
        *holder = timer;
    }
    timer->setInterval(1s);
    timer->setEnabled(true);
    timer.reset();
    ASSERT_TRUE(fixture::WaitFor([&] { return calls.load() == 1; }, 10s));
    ticker.waitTicks(3);
    EXPECT_EQ(calls.load(), 1);
}

TEST(Timer, ReleasingTheLastReferenceStopsFirings) {
    Ticker ticker;
    std::atomic<int> calls{0};
    auto timer = std::make_shared<Timer>([&] { ++calls; });
    timer->setInterval(1s);
    timer->setEnabled(true);
    ASSERT_TRUE(fixture::WaitFor([&] { return calls.load() >= 1; }, 10s));
    timer.reset();
    int atRelease = calls.load();
    ticker.waitTicks(3);
    EXPECT_EQ(calls.load(), atRelease);
}

TEST(Timer, AFiringScheduledBeforeDisableNeverStartsAfterIt) {
    std::atomic<int> calls{0};
    TimerImpl impl([&] { ++calls; });
    impl.setInterval(std::chrono::seconds(3600));
    impl.setEnabled(true);
    // What the run loop hands to a firing thread at the moment the timer is due.
    auto shared = impl.sharedState();
    uint64_t generation = impl.currentGeneration();
    TimerImpl::fire(shared, generation);
    EXPECT_EQ(calls.load(), 1);
    impl.setEnabled(false);
    TimerImpl::fire(shared, generation);  // the thread got its turn only after the disable
    EXPECT_EQ(calls.load(), 1);
    impl.setEnabled(true);  // re-armed: the stale firing still must not run
    TimerImpl::fire(shared, generation);
    EXPECT_EQ(calls.load(), 1);
    impl.setEnabled(false);
}

TEST(Timer, CallbackStateOutlivesTheTimerWhileAFiringRuns) {
    std::atomic<bool> release{false};
    std::atomic<bool> finished{false};
    auto payload = std::make_shared<int>(42);
    std::weak_ptr<int> watch = payload;
    std::thread firing;
    {
        Timer timer([payload, &release, &finished] {
            fixture::WaitFor([&] { return release.load(); }, 10s);
            EXPECT_EQ(*payload, 42);
            finished = true;
        });
        payload.reset();
        timer.setInterval(1s);
        timer.setEnabled(true);
        ASSERT_TRUE(fixture::WaitFor([&] { return watch.use_count() >= 1; }, 1s));
        // Wait for the firing to be under way, then destroy the timer under its feet.
        ASSERT_TRUE(fixture::WaitFor([&] { return watch.use_count() >= 2; }, 10s));
    }
    release = true;
    ASSERT_TRUE(fixture::WaitFor([&] { return finished.load(); }, 10s));
    EXPECT_TRUE(fixture::WaitFor([&] { return watch.expired(); }, 5s));
}

TEST(Timer, SlowCallbackIsFiredAgainOnScheduleOnAnotherThread) {
    std::atomic<int> running{0};
    std::atomic<int> maxRunning{0};
    std::atomic<int> calls{0};
    std::atomic<bool> release{false};
    Timer timer([&] {
        int now = ++running;
        int seen = maxRunning.load();
        while (now > seen && !maxRunning.compare_exchange_weak(seen, now)) {
        }
        ++calls;
        fixture::WaitFor([&] { return release.load(); }, 10s);
        --running;
    });
    timer.setInterval(1s);
    timer.setEnabled(true);
    ASSERT_TRUE(fixture::WaitFor([&] { return maxRunning.load() >= 2; }, 10s));
    timer.setEnabled(false);
    release = true;
    ASSERT_TRUE(fixture::WaitFor([&] { return running.load() == 0; }, 10s));
}

TEST(Timer, IntervalBelowOneSecondIsRaisedWithAnError) {
    LogCapture capture;
    Firings firings;
    {
        Timer timer([&] { firings.record(); });
        timer.setInterval(0s);
        auto enabledAt = Clock::now();
        timer.setEnabled(true);
        ASSERT_TRUE(fixture::WaitFor([&] { return firings.count() >= 2; }, 10s));
        timer.setEnabled(false);
        auto times = firings.snapshot();
        EXPECT_GE(times[0] - enabledAt, 1s);
        EXPECT_GE(times[1] - enabledAt, 2s);
    }
    auto lines = capture.lines();
    auto errors = Matching(lines, "[ERROR][../src/utils/timer:");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("setInterval(): Timer interval of 0 seconds is below one second"),
              std::string::npos)
        << errors[0];
}

TEST(Timer, ShortAndLongTimersEachKeepTheirOwnPeriod) {
    Firings fast;
    Firings slow;
    Timer fastTimer([&] { fast.record(); });
    Timer slowTimer([&] { slow.record(); });
    fastTimer.setInterval(1s);
    slowTimer.setInterval(3s);
    auto enabledAt = Clock::now();
    slowTimer.setEnabled(true);
    fastTimer.setEnabled(true);
    ASSERT_TRUE(fixture::WaitFor([&] { return slow.count() >= 2; }, 15s));
    fastTimer.setEnabled(false);
    slowTimer.setEnabled(false);
    auto fastTimes = fast.snapshot();
    auto slowTimes = slow.snapshot();
    // The long timer never delays the short one: the short one fired before the first long one.
    ASSERT_GE(fastTimes.size(), 2u);
    EXPECT_LT(fastTimes[0], slowTimes[0]);
    EXPECT_GE(slowTimes[0] - enabledAt, 3s);
    EXPECT_GE(slowTimes[1] - enabledAt, 6s);
}
