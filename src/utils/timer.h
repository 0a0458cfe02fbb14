#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class TimerRunLoop;

// What a timer shares with its firing threads, so that a firing never touches freed memory
// and never starts once its timer has been disabled or destroyed.
struct TimerShared {
    std::function<void()> callback;
    std::mutex mutex;
    uint64_t armedGeneration = 0;  // 0 while disabled; guarded by mutex
};

// The state of one timer as the run loop sees it.
class TimerImpl {
public:
    explicit TimerImpl(std::function<void()> callback);
    TimerImpl(const TimerImpl&) = delete;
    TimerImpl& operator=(const TimerImpl&) = delete;

    // Owner's thread. Intervals under one second are raised to one second.
    void setInterval(const std::chrono::seconds& interval);
    std::chrono::seconds getInterval() const { return std::chrono::seconds(intervalSeconds.load()); }
    // Owner's thread (or the timer's own callback). Disabling returns only when no further
    // callback can start; a callback already running completes.
    void setEnabled(bool enabled);
    bool getEnabled() const;

    // Run loop only (under its mutex).
    void setNextTrigger(const std::chrono::steady_clock::time_point& t) { nextTrigger = t; }
    const std::chrono::steady_clock::time_point& getNextTrigger() const { return nextTrigger; }
    // Called on a firing thread: runs the callback unless the timer was disabled since the
    // firing was scheduled.
    static void fire(const std::shared_ptr<TimerShared>& shared, uint64_t generation);
    uint64_t currentGeneration() const;
    const std::shared_ptr<TimerShared>& sharedState() const { return shared; }
    void trigger();

    static void startRunLoop();
    static void stopRunLoop();

private:
    std::shared_ptr<TimerShared> shared;
    bool enabled = false;
    TimerRunLoop* runLoop;
    // Atomic: the owner may re-time an enabled timer while the loop reads it.
    std::atomic<int64_t> intervalSeconds{1};
    std::chrono::steady_clock::time_point nextTrigger{};
};

// The handle that application code owns. Not copyable.
class Timer {
public:
    explicit Timer(std::function<void()> callback);
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    void setInterval(const std::chrono::seconds& interval);
    void setEnabled(bool enabled);
    bool getEnabled();

    static void startRunLoop();
    static void stopRunLoop();

private:
    TimerImpl* impl;
};

bool timerCompare(TimerImpl* a, TimerImpl* b);

// The process-wide thread that sleeps until the earliest enabled timer is due and fires every
// due timer on a detached thread of its own.
class TimerRunLoop {
public:
    static TimerRunLoop* getSingleton();

    TimerRunLoop(const TimerRunLoop&) = delete;
    TimerRunLoop& operator=(const TimerRunLoop&) = delete;
    ~TimerRunLoop();

    // Any thread.
    void registerTimer(TimerImpl& timer);
    void unRegisterTimer(TimerImpl& timer);
    void start();
    void stop();
    bool getRunning();

private:
    TimerRunLoop();

    void _start();
    void _stop();
    void _loopTask();
    void _triggerTimers();
    void _sortTimers();
    void _resetTimer(TimerImpl& timer);
    void _updateNowTime();

    std::thread* loopThread = nullptr;
    std::vector<TimerImpl*> timers;
    std::mutex mutex;
    std::condition_variable wakeCondition;
    std::mutex stopMutex;
    std::condition_variable stopCondition;
    bool loopLeft = false;
    std::chrono::steady_clock::time_point nowTime{};
    bool running = false;
};
