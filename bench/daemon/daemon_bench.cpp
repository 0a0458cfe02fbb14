// Wake-ups and memory of the whole daemon, against real peers on loopback (the same set-up as the
// end-to-end tests: broker, FTP server, nginx-rtmp, the virtual camera as /dev/video0).
//
//   bench_daemon [idle seconds, default 60]
//
// Prints:
//   - the daemon's wake-ups per second with no stream running: the context switches of all its
//     threads. Counted twice: by kernel counters (perf_event_open, one per thread, inherited by
//     the threads it creates but not by child processes), which also see the timer's firing
//     threads that live for microseconds; and as the sum of the voluntary and involuntary
//     switches in /proc/<pid>/task/*/status, sampled every 20 ms, which misses those;
//   - over the same window, the floor of the MQTT library alone: a bare Paho async client (this
//     program with --floor, a process of its own) holding one connection to the same broker with
//     the daemon's connection settings;
//   - the daemon's resident memory idle, and with one stream running after a "view_cam".
// It asserts nothing.
#include <dirent.h>
#include <linux/perf_event.h>
#include <mqtt/async_client.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "controller.h"
#include "device.h"

using namespace std::chrono_literals;

namespace {

// The floor process: one connection, the daemon's options, one subscription, then nothing.
int RunFloorClient(const std::string& uri) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    mqtt::async_client client(uri, "bench-floor", nullptr);
    client.set_message_callback([](mqtt::const_message_ptr) {});
    mqtt::connect_options options;
    options.set_keep_alive_interval(std::chrono::seconds(30));
    options.set_clean_session(true);
    options.set_automatic_reconnect(std::chrono::seconds(10), std::chrono::seconds(30));
    try {
        client.connect(options)->wait();
        client.subscribe("bench/floor/command", 0)->wait();
    } catch (const mqtt::exception& e) {
        std::fprintf(stderr, "floor client: %s\n", e.what());
        return 1;
    }
    int signal = 0;
    sigwait(&stop, &signal);
    try {
        client.disconnect()->wait_for(std::chrono::seconds(5));
    } catch (const mqtt::exception&) {
    }
    return 0;
}

long StatusValue(const std::string& path, const std::string& key) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) == 0 && line.size() > key.size() && line[key.size()] == ':') {
            return std::strtol(line.c_str() + key.size() + 1, nullptr, 10);
        }
    }
    return -1;
}

// Context switches of every thread of a process, followed across samples: a thread that appears
// is counted from zero, a thread that ends keeps what it had at its last sample.
class SwitchCounter {
public:
    explicit SwitchCounter(pid_t pid) : pid_(pid) {}

    void Sample() {
        const std::string dir = "/proc/" + std::to_string(pid_) + "/task";
        DIR* tasks = opendir(dir.c_str());
        if (tasks == nullptr) return;
        while (dirent* entry = readdir(tasks)) {
            if (entry->d_name[0] == '.') continue;
            const std::string status = dir + "/" + entry->d_name + "/status";
            long voluntary = StatusValue(status, "voluntary_ctxt_switches");
            long involuntary = StatusValue(status, "nonvoluntary_ctxt_switches");
            if (voluntary < 0 || involuntary < 0) continue;
            const long total = voluntary + involuntary;
            auto found = last_.find(entry->d_name);
            if (found == last_.end()) {
                // Threads present at the first sample start from their count then; later ones
                // from zero.
                last_[entry->d_name] = total;
                if (samples_ > 0) {
                    switches_ += total;
                    ++newThreads_;
                }
            } else {
                switches_ += total - found->second;
                perThread_[entry->d_name] += total - found->second;
                found->second = total;
            }
        }
        closedir(tasks);
        ++samples_;
    }

    long long switches() const { return switches_; }
    // "name (tid): switches" for every thread that switched during the window.
    std::string Breakdown() const {
        std::string text;
        for (const auto& thread : perThread_) {
            if (thread.second == 0) continue;
            std::ifstream comm("/proc/" + std::to_string(pid_) + "/task/" + thread.first + "/comm");
            std::string name;
            std::getline(comm, name);
            text += "    " + (name.empty() ? std::string("?") : name) + " (" + thread.first +
                    "): " + std::to_string(thread.second) + "\n";
        }
        return text;
    }
    int newThreads() const { return newThreads_; }

private:
    pid_t pid_;
    std::map<std::string, long> last_;
    std::map<std::string, long long> perThread_;
    long long switches_ = 0;
    int newThreads_ = 0;
    long samples_ = 0;
};

// Kernel context-switch counters on every thread of a process, inherited by the threads they
// create (not by forked processes: the shell and v4l2-ctl of a photo are not the daemon's
// threads). A thread that ends adds its count to its creator's counter.
class KernelSwitchCounter {
public:
    explicit KernelSwitchCounter(pid_t pid) {
        const std::string dir = "/proc/" + std::to_string(pid) + "/task";
        DIR* tasks = opendir(dir.c_str());
        if (tasks == nullptr) return;
        while (dirent* entry = readdir(tasks)) {
            if (entry->d_name[0] == '.') continue;
            perf_event_attr attr{};
            attr.size = sizeof(attr);
            attr.type = PERF_TYPE_SOFTWARE;
            attr.config = PERF_COUNT_SW_CONTEXT_SWITCHES;
            attr.inherit = 1;
            attr.inherit_thread = 1;
            const pid_t tid = static_cast<pid_t>(std::atoi(entry->d_name));
            const long fd = syscall(SYS_perf_event_open, &attr, tid, -1, -1, 0);
            if (fd < 0) {
                ok_ = false;
                continue;
            }
            fds_.push_back(static_cast<int>(fd));
        }
        closedir(tasks);
    }
    ~KernelSwitchCounter() {
        for (int fd : fds_) close(fd);
    }
    bool ok() const { return ok_ && !fds_.empty(); }
    long long Read() const {
        long long total = 0;
        for (int fd : fds_) {
            uint64_t value = 0;
            if (read(fd, &value, sizeof(value)) == static_cast<ssize_t>(sizeof(value))) total += static_cast<long long>(value);
        }
        return total;
    }

private:
    std::vector<int> fds_;
    bool ok_ = true;
};

long Rss(pid_t pid) { return StatusValue("/proc/" + std::to_string(pid) + "/status", "VmRSS"); }
long Threads(pid_t pid) { return StatusValue("/proc/" + std::to_string(pid) + "/status", "Threads"); }

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--floor") return RunFloorClient(argv[2]);
    const int idleSeconds = argc > 1 ? std::atoi(argv[1]) : 60;
    if (idleSeconds < 5 || idleSeconds > 90) {
        std::fprintf(stderr, "idle seconds: 5 to 90 (the daemon runs for about 121 s)\n");
        return 2;
    }

    Device device;
    if (!device.PeersUp()) {
        std::fprintf(stderr, "the peers did not start\n");
        return 1;
    }
    Controller controller(device.broker.uri(), "bench-controller");
    controller.Subscribe(device.Topic("event"));

    char self[4096] = {};
    ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0) return 1;
    fixture::Process floor({std::string(self, static_cast<size_t>(length)), "--floor", device.broker.uri()},
                           device.dir + "/floor.log");

    device.Start();
    if (!controller.WaitFor(device.Topic("event"), "\"type\":\"version\"", 30s)) {
        std::fprintf(stderr, "the daemon did not answer; its log:\n%s\n", device.Log().c_str());
        return 1;
    }
    // Start-up (connection, configuration dump, threads) is over after a few seconds.
    std::this_thread::sleep_for(3s);

    SwitchCounter daemonSwitches(device.daemon->pid());
    SwitchCounter floorSwitches(floor.pid());
    KernelSwitchCounter daemonKernel(device.daemon->pid());
    KernelSwitchCounter floorKernel(floor.pid());
    const long long daemonKernelStart = daemonKernel.Read();
    const long long floorKernelStart = floorKernel.Read();
    const auto begin = std::chrono::steady_clock::now();
    const auto end = begin + std::chrono::seconds(idleSeconds);
    while (std::chrono::steady_clock::now() < end) {
        daemonSwitches.Sample();
        floorSwitches.Sample();
        std::this_thread::sleep_for(20ms);
    }
    daemonSwitches.Sample();
    floorSwitches.Sample();
    const double window = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const long long daemonKernelSwitches = daemonKernel.Read() - daemonKernelStart;
    const long long floorKernelSwitches = floorKernel.Read() - floorKernelStart;
    const long idleRss = Rss(device.daemon->pid());
    const long idleThreads = Threads(device.daemon->pid());
    const long floorRss = Rss(floor.pid());

    controller.Publish(device.Topic("command"), "{\"type\":\"view_cam\"}");
    std::string probed;
    bool live = StreamIsReadable(device, Device::kCam1, probed);
    std::this_thread::sleep_for(5s);  // the encoder's buffers are filled by now
    const long streamRss = Rss(device.daemon->pid());
    const long streamThreads = Threads(device.daemon->pid());

    const double windowEnd = std::chrono::duration<double>(begin - device.started).count() + window;
    std::printf("daemon idle window            %.1f s, ending %.1f s after start (%s)\n", window, windowEnd,
                windowEnd > 62.0 ? "with the photo of camera 0 taken and uploaded at about 60 s"
                                 : "before the first photo; one periodic heartbeat");
    if (daemonKernel.ok() && floorKernel.ok()) {
        const double daemonRate = daemonKernelSwitches / window;
        const double floorRate = floorKernelSwitches / window;
        std::printf("kernel counters (all threads, short-lived ones included):\n");
        std::printf("  daemon wake-ups, idle       %.2f /s (%lld context switches)\n", daemonRate,
                    daemonKernelSwitches);
        std::printf("  Paho client alone (floor)   %.2f /s (%lld context switches)\n", floorRate,
                    floorKernelSwitches);
        std::printf("  daemon above the floor      %+.2f /s (goal: at most +0.10 /s)\n", daemonRate - floorRate);
    } else {
        std::printf("kernel counters: perf_event_open refused\n");
    }
    const double daemonRate = daemonSwitches.switches() / window;
    const double floorRate = floorSwitches.switches() / window;
    std::printf("/proc/<pid>/task/*/status, sampled every 20 ms:\n");
    std::printf("  daemon wake-ups, idle       %.2f /s (%lld context switches, %d new threads seen)\n",
                daemonRate, daemonSwitches.switches(), daemonSwitches.newThreads());
    std::printf("  Paho client alone (floor)   %.2f /s (%lld context switches)\n", floorRate,
                floorSwitches.switches());
    std::printf("  daemon above the floor      %+.2f /s\n", daemonRate - floorRate);
    std::printf("  daemon threads:\n%s", daemonSwitches.Breakdown().c_str());
    std::printf("daemon RSS, idle              %ld kB (%ld threads); Paho client alone %ld kB\n", idleRss,
                idleThreads, floorRss);
    std::printf("daemon RSS, one stream        %ld kB (%ld threads)%s\n", streamRss, streamThreads,
                live ? "" : "  [the stream did not come up]");
    std::fflush(stdout);

    device.daemon->stop(SIGTERM, 10s);
    floor.stop(SIGTERM, 5s);
    return 0;
}
