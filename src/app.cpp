#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <systemd/sd-daemon.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "net/mqtt.h"
#include "service/main.h"
#include "utils/clock.h"
#include "utils/event_loop.h"
#include "utils/logger.h"
#include "utils/shell.h"
#include "utils/thread.h"

namespace {

// Seconds since the epoch when this firmware was built; a wall clock earlier than that has
// not been set.
#ifdef K5_BUILD_TIME
constexpr int64_t kBuildTime = K5_BUILD_TIME;
#else
constexpr int64_t kBuildTime = 0;
#endif

// SIGTERM and SIGINT only write a byte here; main waits on the read end. Nothing else is
// safe to do inside a signal handler.
int stopPipe[2] = {-1, -1};

void OnStopSignal(int) {
    int saved = errno;
    char byte = 1;
    ssize_t ignored = ::write(stopPipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

bool InstallSignalHandling() {
    // A dropped socket must never kill the device.
    std::signal(SIGPIPE, SIG_IGN);
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGTERM, &action, nullptr) == 0 && ::sigaction(SIGINT, &action, nullptr) == 0;
}

// Sleeps for `duration`; false when a stop signal ended the wait early.
bool SleepUnlessStopped(std::chrono::milliseconds duration) {
    auto deadline = std::chrono::steady_clock::now() + duration;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return true;
        }
        pollfd fd = {stopPipe[0], POLLIN, 0};
        int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
        if (ready > 0) {
            return false;
        }
        if (ready < 0 && errno != EINTR) {
            LOG_ERROR << "Waiting failed, errno: " << errno;
            return true;
        }
    }
}

std::string Join(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names) text += (text.empty() ? "" : ", ") + name;
    return text.empty() ? "none" : text;
}

// A thread that waits for `finish()` at most `limit`, and otherwise runs `expired` on its own
// thread. Used to bound the orderly stop and to pace the watchdog keep-alives.
class Deadline {
public:
    Deadline() = default;
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;
    ~Deadline() { finish(); }

    // `tick` runs every `period` until finish(); returns at once.
    void every(std::chrono::microseconds period, std::function<void()> tick) {
        worker = std::thread([this, period, tick]() {
            std::unique_lock<std::mutex> lock(mutex);
            while (!done) {
                lock.unlock();
                tick();
                lock.lock();
                wake.wait_for(lock, period, [this] { return done; });
            }
        });
    }

    void after(std::chrono::milliseconds limit, std::function<void()> expired) {
        worker = std::thread([this, limit, expired]() {
            std::unique_lock<std::mutex> lock(mutex);
            if (!wake.wait_for(lock, limit, [this] { return done; })) {
                expired();
            }
        });
    }

    void finish() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        wake.notify_all();
        if (worker.joinable()) worker.join();
    }

private:
    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
    std::thread worker;
};

// How long the orderly stop may take before the process gives up on it.
constexpr std::chrono::seconds kStopLimit{15};
// Of that, what the stop keeps for itself after the photo uploads: the "offline" message on a
// signal (3 s at most) and the rest of the teardown.
constexpr std::chrono::seconds kStopReserve{4};

// systemd's watchdog: while it is enabled (WATCHDOG_USEC), a keep-alive at half its period, but
// only while no thread of the framework has been stuck in one handler for a whole period.
void StartWatchdog(Deadline& keepAlive) {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) {
        return;
    }
    const auto period = std::chrono::microseconds(static_cast<int64_t>(usec));
    LOG_INFO << "systemd watchdog enabled, period " << usec / 1000 << " ms.";
    auto withheld = std::make_shared<bool>(false);
    keepAlive.every(period / 2, [period, withheld]() {
        const std::vector<std::string> stuck = Thread::StuckThreads(period);
        if (stuck.empty()) {
            if (*withheld) LOG_INFO << "Every thread keeps up again, watchdog keep-alives resume.";
            *withheld = false;
            sd_notify(0, "WATCHDOG=1");
        } else if (!*withheld) {
            *withheld = true;
            LOG_ERROR << "Withholding the watchdog keep-alive, stuck in one event for over "
                      << period.count() / 1000 << " ms: " << Join(stuck);
        }
    });
}

int Run() {
    if (!InstallSignalHandling()) {
        LOG_ERROR << "Cannot install the signal handlers, errno: " << errno;
        return 1;
    }
    // Before any connection or thread: the device cannot run on an incomplete configuration.
    if (!Config::Loaded()) {
        LOG_ERROR << "No usable configuration in " << Config::kConfigFile << "; stopping.";
        return 1;
    }
    // One URI or a comma-separated list of a cluster's brokers: each must be usable.
    const std::vector<std::string> brokers = MQTTClient::SplitServers(Config::Get(MQTT_SERVER));
    for (std::size_t i = 0; i < brokers.size(); ++i) {
        std::string reason;
        if (!MQTTClient::CheckServerUri(brokers[i], reason)) {
            const std::string which = brokers.size() == 1 ? "" : "entry " + std::to_string(i + 1) + " of " +
                                                                   std::to_string(brokers.size()) + ", ";
            LOG_ERROR << "Configuration " << Config::kConfigFile << ": member \"mqtt.server\" (" << which
                      << "\"" << (brokers.size() == 1 ? Config::Get(MQTT_SERVER) : brokers[i])
                      << "\") is not a usable broker URI: " << reason << ".";
            return 1;
        }
    }
    // A board without a battery-backed clock starts near the epoch until something sets it.
    const std::string clockWarning = wallclock::ClockNotSetWarning(wallclock::Seconds(), kBuildTime);
    if (!clockWarning.empty()) {
        LOG_WARN << clockWarning;
    }

    std::shared_ptr<Main> controller = Main::GetInstance("Main", nullptr);
    controller->start();
    controller->post(std::make_shared<VersionEvent>());
    // Queued behind Main's start-up: ready once its threads run and its loop turns.
    controller->post([]() { sd_notify(0, "READY=1"); });
    Deadline keepAlive;
    StartWatchdog(keepAlive);

    // The run's planned length counts from here; its first second ends with a queued task.
    const std::chrono::seconds runLength(std::stoi(Config::Get(RUN_LENGTH)));
    bool stopped = !SleepUnlessStopped(std::chrono::seconds(1));
    if (!stopped) {
        controller->post([]() { LOG_INFO << "Post async task."; });
        stopped = !SleepUnlessStopped(runLength - std::chrono::seconds(1));
    }
    if (stopped) {
        LOG_INFO << "Stop signal received, shutting down.";
    }

    sd_notify(0, "STOPPING=1");
    Deadline stopLimit;
    stopLimit.after(kStopLimit, []() {
        LOG_ERROR << "Orderly stop did not finish within " << kStopLimit.count()
                  << " s; threads still running: " << Join(Thread::RunningThreads())
                  << ". Exiting with status 2.";
        KillRunningCommands();
        std::_Exit(2);
    });
    // Captures stop first (a photo being taken is finished), then the uploads get what is
    // left until the deadline, however slow the link: the stop bound is never overrun by them.
    controller->StopBy(std::chrono::steady_clock::now() + kStopLimit - kStopReserve);
    controller->wait();
    // A planned end says nothing: the next run follows within seconds, and the clean
    // disconnection keeps the broker from publishing the last will.
    if (stopped) {
        controller->AnnounceOffline(std::chrono::seconds(3));
    }
    stopLimit.finish();
    keepAlive.finish();
    return 0;
}

}  // namespace

int main() {
    // No exception of a library may end the process as an abort: systemd would restart it
    // every few seconds without a word about why.
    try {
        return Run();
    } catch (const std::exception& e) {
        LOG_ERROR << "Unexpected exception, stopping: " << e.what();
    } catch (...) {
        LOG_ERROR << "Unexpected exception, stopping.";
    }
    return 1;
}
