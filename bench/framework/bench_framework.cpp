// Framework figures: post -> dispatch latency into an idle event loop, and the wake-ups per
// second of an idle event loop and of the timer loop holding one 30 s timer.
//
//   bench_framework [samples=2000] [idle-seconds=10]
//
// Log lines go to /dev/null while measuring (they are still formatted and written).
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "utils/event_loop.h"
#include "utils/timer.h"

using Clock = std::chrono::steady_clock;

namespace {

long ContextSwitches(long tid) {
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    long total = 0;
    std::string line;
    while (std::getline(status, line)) {
        if (line.find("ctxt_switches:") != std::string::npos) {
            total += std::atol(line.substr(line.find(':') + 1).c_str());
        }
    }
    return total;
}

std::vector<long> Tasks() {
    std::vector<long> tids;
    // Listed by a child shell, so name our own pid rather than /proc/self.
    std::string dir = "/proc/" + std::to_string(getpid()) + "/task";
    std::string cmd = "ls " + dir;
    FILE* p = popen(cmd.c_str(), "r");
    char buf[64];
    while (p && fgets(buf, sizeof buf, p)) tids.push_back(std::atol(buf));
    if (p) pclose(p);
    return tids;
}

double Percentile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    std::size_t i = static_cast<std::size_t>(q * (v.size() - 1));
    return v[i];
}

}  // namespace

int main(int argc, char** argv) {
    int samples = argc > 1 ? std::atoi(argv[1]) : 2000;
    int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 10;
    if (!std::freopen("/dev/null", "w", stderr)) return 1;

    // 1. Latency from a push on another thread to the start of the handler, loop idle before.
    EventLoop loop;
    std::atomic<long> loopTid{0};
    std::atomic<int64_t> pushedAt{0};
    std::atomic<int> handled{0};
    std::vector<double> latencies;
    latencies.reserve(samples);
    loop.setHandler(1, [&](std::shared_ptr<EventBase>) {
        int64_t now = Clock::now().time_since_epoch().count();
        latencies.push_back((now - pushedAt.load()) / 1000.0);
        handled.fetch_add(1);
    });
    std::thread runner([&] {
        loopTid = static_cast<long>(syscall(SYS_gettid));
        loop.run();
    });
    for (int i = 0; i < samples; ++i) {
        while (loop.getState() != EventLoop::Idle) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        pushedAt = Clock::now().time_since_epoch().count();
        loop.push(std::make_shared<EventBase>(1));
        while (handled.load() != i + 1) std::this_thread::yield();
    }
    while (loop.getState() != EventLoop::Idle) std::this_thread::yield();

    // 2. Wake-ups of the idle loop.
    long before = ContextSwitches(loopTid);
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    long idleWakeups = ContextSwitches(loopTid) - before;
    loop.stop();
    runner.join();

    // 3. Wake-ups of the timer loop (and its firing threads) with one 30 s timer.
    Timer timer([] {});
    timer.setInterval(std::chrono::seconds(30));
    timer.setEnabled(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    long self = static_cast<long>(syscall(SYS_gettid));
    long timerBefore = 0;
    for (long tid : Tasks()) if (tid != self) timerBefore += ContextSwitches(tid);
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    long timerAfter = 0;
    for (long tid : Tasks()) if (tid != self) timerAfter += ContextSwitches(tid);
    timer.setEnabled(false);

    std::printf("post->dispatch latency, %d samples: median %.1f us, p99 %.1f us, max %.1f us\n",
                samples, Percentile(latencies, 0.5), Percentile(latencies, 0.99),
                Percentile(latencies, 1.0));
    std::printf("idle event loop: %ld wake-ups in %d s (%.2f/s)\n", idleWakeups, idleSeconds,
                static_cast<double>(idleWakeups) / idleSeconds);
    std::printf("timer loop with one 30 s timer: %ld wake-ups in %d s (%.2f/s)\n",
                timerAfter - timerBefore, idleSeconds,
                static_cast<double>(timerAfter - timerBefore) / idleSeconds);
    return 0;
}
