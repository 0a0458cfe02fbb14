#include "utils/timer.h"

#include <algorithm>
#include <system_error>

#include "utils/logger.h"

// ---- TimerImpl ----

TimerImpl::TimerImpl(std::function<void()> callback)
    : shared(std::make_shared<TimerShared>()), runLoop(TimerRunLoop::getSingleton()) {
    shared->callback = std::move(callback);
}

void TimerImpl::setInterval(const std::chrono::seconds& value) {
    if (value < std::chrono::seconds(1)) {
        // A zero or negative period would make the timer due on every pass of the loop and
        // start a thread each time.
        LOG_ERROR << "Timer interval of " << value.count()
                  << " seconds is below one second, using one second.";
        intervalSeconds = 1;
        return;
    }
    intervalSeconds = static_cast<int64_t>(value.count());
}

void TimerImpl::setEnabled(bool e) {
    if (e == enabled) {
        return;
    }
    enabled = e;
    if (e) {
        static std::atomic<uint64_t> generations{0};
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->armedGeneration = ++generations;
        }
        runLoop->registerTimer(*this);
    } else {
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->armedGeneration = 0;
        }
        runLoop->unRegisterTimer(*this);
    }
}

bool TimerImpl::getEnabled() const {
    return enabled;
}

uint64_t TimerImpl::currentGeneration() const {
    std::lock_guard<std::mutex> lock(shared->mutex);
    return shared->armedGeneration;
}

void TimerImpl::fire(const std::shared_ptr<TimerShared>& state, uint64_t generation) {
    std::function<void()> callback;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (generation == 0 || state->armedGeneration != generation) {
            return;  // disabled (or re-armed) after this firing was scheduled
        }
        callback = state->callback;
    }
    callback();
}

void TimerImpl::trigger() {
    fire(shared, currentGeneration());
}

void TimerImpl::startRunLoop() {
    TimerRunLoop::getSingleton()->start();
}

void TimerImpl::stopRunLoop() {
    TimerRunLoop::getSingleton()->stop();
}

// ---- Timer ----

Timer::Timer(std::function<void()> callback) : impl(new TimerImpl(std::move(callback))) {}

Timer::~Timer() {
    if (impl->getEnabled()) {
        impl->setEnabled(false);
    }
    delete impl;
}

void Timer::setInterval(const std::chrono::seconds& interval) {
    impl->setInterval(interval);
}

void Timer::setEnabled(bool enabled) {
    impl->setEnabled(enabled);
}

bool Timer::getEnabled() {
    return impl->getEnabled();
}

void Timer::startRunLoop() {
    TimerImpl::startRunLoop();
}

void Timer::stopRunLoop() {
    TimerImpl::stopRunLoop();
}

bool timerCompare(TimerImpl* a, TimerImpl* b) {
    return a->getNextTrigger() < b->getNextTrigger();
}

// ---- TimerRunLoop ----

TimerRunLoop* TimerRunLoop::getSingleton() {
    // Never deleted: detached firing threads may outlive every other static object.
    static TimerRunLoop* _instance = new TimerRunLoop();
    return _instance;
}

TimerRunLoop::TimerRunLoop() {
    _start();
}

TimerRunLoop::~TimerRunLoop() {
    _stop();
    delete loopThread;
}

void TimerRunLoop::registerTimer(TimerImpl& timer) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        timers.push_back(&timer);
        _updateNowTime();
        _resetTimer(timer);
        _sortTimers();
    }
    wakeCondition.notify_one();
}

void TimerRunLoop::unRegisterTimer(TimerImpl& timer) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = std::find(timers.begin(), timers.end(), &timer);
        if (it != timers.end()) {
            timers.erase(it);
        }
    }
    wakeCondition.notify_one();
}

void TimerRunLoop::start() {
    _start();
}

void TimerRunLoop::stop() {
    _stop();
}

bool TimerRunLoop::getRunning() {
    std::lock_guard<std::mutex> lock(mutex);
    return running;
}

void TimerRunLoop::_start() {
    std::lock_guard<std::mutex> lock(mutex);
    if (running) {
        return;
    }
    running = true;
    {
        std::lock_guard<std::mutex> stopLock(stopMutex);
        loopLeft = false;
    }
    std::thread* previous = loopThread;
    loopThread = new std::thread(&TimerRunLoop::_loopTask, this);
    delete previous;  // joined by the _stop() that ended it
}

void TimerRunLoop::_stop() {
    std::thread* toJoin = nullptr;
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (running) {
            running = false;
            wakeCondition.notify_one();
            lock.unlock();
            std::unique_lock<std::mutex> stopLock(stopMutex);
            stopCondition.wait(stopLock, [this] { return loopLeft; });
        }
        toJoin = loopThread;
    }
    if (toJoin != nullptr && toJoin->joinable()) {
        toJoin->join();
    }
}

void TimerRunLoop::_loopTask() {
    std::unique_lock<std::mutex> lock(mutex);
    while (running) {
        _triggerTimers();
        if (timers.empty()) {
            // Nothing to schedule: sleep until a timer is registered or the loop is stopped.
            wakeCondition.wait(lock);
        } else {
            // A copy: the timer may be unregistered and freed while the loop waits, and
            // wait_until reads its deadline again after waking.
            const auto wakeAt = timers.front()->getNextTrigger();
            wakeCondition.wait_until(lock, wakeAt);
        }
    }
    lock.unlock();
    std::lock_guard<std::mutex> stopLock(stopMutex);
    loopLeft = true;
    stopCondition.notify_one();
}

void TimerRunLoop::_triggerTimers() {
    nowTime = std::chrono::steady_clock::now();
    if (timers.empty()) {
        return;
    }
    bool fired = false;
    for (TimerImpl* timer : timers) {
        if (nowTime < timer->getNextTrigger()) {
            break;
        }
        // Re-based on this pass: missed periods are not made up.
        _resetTimer(*timer);
        try {
            std::thread(&TimerImpl::fire, timer->sharedState(), timer->currentGeneration()).detach();
        } catch (const std::system_error& e) {
            // Out of threads or memory for a moment: this firing is lost, the next one is
            // already scheduled.
            LOG_ERROR << "Cannot start a timer's firing thread, skipping this firing: " << e.what();
        }
        fired = true;
    }
    if (fired) {
        _sortTimers();
    }
}

void TimerRunLoop::_sortTimers() {
    std::sort(timers.begin(), timers.end(), timerCompare);
}

void TimerRunLoop::_resetTimer(TimerImpl& timer) {
    timer.setNextTrigger(nowTime + timer.getInterval());
}

void TimerRunLoop::_updateNowTime() {
    nowTime = std::chrono::steady_clock::now();
}
