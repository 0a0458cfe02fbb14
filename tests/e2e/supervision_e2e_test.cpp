// The daemon under supervision, from outside: a photo tool that hangs, a camera that never
// delivers a frame, settings it must refuse, a flood of commands, stop signals during start-up,
// and systemd's notification socket (a datagram socket owned by the test).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device_test.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// What systemd would receive on NOTIFY_SOCKET: every datagram with its arrival time.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof(address.sun_path) - 1);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        ::chmod(path.c_str(), 0666);
        reader_ = std::thread([this] {
            while (!done_) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 100) != 1) continue;
                char buffer[4096];
                const ssize_t got = ::recv(fd_, buffer, sizeof(buffer), 0);
                if (got <= 0) continue;
                std::lock_guard<std::mutex> lock(mutex_);
                received_.push_back({std::string(buffer, static_cast<size_t>(got)), Clock::now()});
            }
        });
    }
    ~NotifySocket() {
        done_ = true;
        reader_.join();
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    struct Datagram {
        std::string text;
        Clock::time_point at;
    };
    std::vector<Datagram> Received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }
    // Arrival times of the datagrams that contain `text`.
    std::vector<Clock::time_point> Times(const std::string& text) {
        std::vector<Clock::time_point> times;
        for (const auto& d : Received())
            if (d.text.find(text) != std::string::npos) times.push_back(d.at);
        return times;
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
    std::atomic<bool> done_{false};
    std::thread reader_;
    std::mutex mutex_;
    std::vector<Datagram> received_;
};

// A v4l2-ctl first on the daemon's PATH that, for camera 0, starts a child and then hangs with
// it, writing both pids to `<dir>/hang.pids` so that the test can check that neither survives.
// It hangs at its first photo only: later ones, and those of other cameras, fail at once, so
// that a short photo period stalls the camera thread once.
void InstallHangingPhotoTool(Device& device) {
    const std::string bin = device.dir + "/bin";
    ::mkdir(bin.c_str(), 0755);
    fixture::WriteFile(bin + "/v4l2-ctl",
                       "#!/bin/sh\n"
                       "case \"$*\" in *video0*) ;; *) exit 1 ;; esac\n"
                       "[ -e " + device.dir + "/hang.pids ] && exit 1\n"
                       "sleep 600 &\n"
                       "echo $! $$ > " + device.dir + "/hang.pids.tmp\n"
                       "mv " + device.dir + "/hang.pids.tmp " + device.dir + "/hang.pids\n"
                       "wait\n");
    ::chmod((bin + "/v4l2-ctl").c_str(), 0755);
    const char* path = std::getenv("PATH");
    device.env.push_back("PATH=" + bin + ":" + (path ? path : "/usr/bin:/bin"));
}

std::vector<std::string> HangPids(const Device& device) {
    std::istringstream in(fixture::ReadFile(device.dir + "/hang.pids"));
    std::vector<std::string> pids;
    for (std::string pid; in >> pid;) pids.push_back(pid);
    return pids;
}

bool Alive(const std::string& pid) {
    const std::string stat = fixture::ReadFile("/proc/" + pid + "/stat");
    const size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

Clock::duration LongestGap(const std::vector<Clock::time_point>& times, Clock::time_point from,
                           Clock::time_point to) {
    Clock::duration longest{};
    Clock::time_point previous = from;
    for (auto t : times) {
        if (t < from || t > to) continue;
        longest = std::max(longest, t - previous);
        previous = t;
    }
    return std::max(longest, to - previous);
}

class SupervisionTest : public DeviceTest {
protected:
    void ExpectExit(Device& d, std::chrono::milliseconds timeout, int code) {
        int status = -1;
        ASSERT_TRUE(d.daemon->wait(timeout, &status)) << d.Log();
        ASSERT_TRUE(WIFEXITED(status)) << "status " << status << "\n" << d.Log();
        EXPECT_EQ(WEXITSTATUS(status), code) << d.Log();
    }

};

}  // namespace

// Two boards whose photo tool hangs at the first photo (5 s in). The first: readiness and
// keep-alives reach the notification socket, the keep-alives stop while the camera thread is
// stuck and resume once the tool has been killed at its 20 s limit with its child, and the
// board answers commands and stops normally. The second gets SIGTERM while the tool hangs: the
// orderly stop cannot finish, so after 15 s an ERROR names the threads still running, the
// tool's group is killed and the exit status is 2.
TEST_F(SupervisionTest, HangingPhotoToolIsKilledAndTheWatchdogSeesTheStall) {
    ASSERT_NO_FATAL_FAILURE(SetUpDevice());
    second = std::make_unique<Device>();
    ASSERT_TRUE(second->PeersUp());
    NotifySocket notify(device->dir + "/notify.sock");
    InstallHangingPhotoTool(*device);
    InstallHangingPhotoTool(*second);
    device->timing.photoInterval = 5;
    second->timing.photoInterval = 5;
    device->env.push_back("NOTIFY_SOCKET=" + notify.path());
    device->env.push_back("WATCHDOG_USEC=4000000");
    device->Start();
    second->Start();

    ASSERT_TRUE(fixture::WaitFor([&] { return !notify.Times("READY=1").empty(); }, 30s)) << device->Log();
    ASSERT_TRUE(fixture::WaitFor([&] { return notify.Times("WATCHDOG=1").size() >= 2; }, 30s)) << device->Log();

    ASSERT_TRUE(fixture::WaitFor([&] { return HangPids(*second).size() == 2; }, 120s)) << second->Log();
    const Clock::time_point stopAsked = Clock::now();
    second->daemon->signal(SIGTERM);

    ASSERT_TRUE(fixture::WaitFor([&] { return HangPids(*device).size() == 2; }, 120s)) << device->Log();
    const Clock::time_point hangSeen = Clock::now();
    ASSERT_TRUE(device->WaitForLog("killed its process group: v4l2-ctl", 60s)) << device->Log();
    const Clock::time_point killed = Clock::now();
    for (const auto& pid : HangPids(*device)) EXPECT_TRUE(fixture::WaitFor([&] { return !Alive(pid); }, 30s)) << pid;
    EXPECT_TRUE(device->WaitForLog("watchdog keep-alives resume", 60s)) << device->Log();
    const auto keepAlives = notify.Times("WATCHDOG=1");
    EXPECT_GE(LongestGap(keepAlives, hangSeen, killed), 8s) << "keep-alives went on while stuck";
    std::string log = device->Log();
    EXPECT_NE(log.find("Withholding the watchdog keep-alive"), std::string::npos) << log;
    EXPECT_NE(log.find("StreamController", log.find("Withholding the watchdog keep-alive")), std::string::npos);

    Command("{\"type\":\"download\"}");
    EXPECT_TRUE(controller->WaitFor(device->Topic("event"), "\"type\":\"download\"", 30s)) << device->Log();
    device->daemon->signal(SIGTERM);
    ASSERT_NO_FATAL_FAILURE(ExpectExit(*device, 60s, 0));
    // The datagram was sent before the exit, but the reader thread may not have taken it yet.
    EXPECT_TRUE(fixture::WaitFor([&] { return !notify.Times("STOPPING=1").empty(); }, 30s));

    ASSERT_NO_FATAL_FAILURE(ExpectExit(*second, 60s, 2));
    EXPECT_GE(Clock::now() - stopAsked, 14s);
    log = second->Log();
    const size_t gaveUp = log.find("Orderly stop did not finish within 15 s; threads still running:");
    ASSERT_NE(gaveUp, std::string::npos) << log;
    EXPECT_NE(log.find("StreamController", gaveUp), std::string::npos) << log;
    for (const auto& pid : HangPids(*second)) EXPECT_TRUE(fixture::WaitFor([&] { return !Alive(pid); }, 30s)) << pid;
}

// A camera that opens and never delivers a frame: the stream run ends with an ERROR, the next
// "view_cam" starts it again, and a stop while it waits for a frame is orderly.
TEST_F(SupervisionTest, SilentCameraEndsItsStreamAndDoesNotHoldTheStop) {
    ASSERT_NO_FATAL_FAILURE(SetUpDevice());
    device->env.push_back("VCAM_STALL_AFTER=0");
    device->Start();
    ASSERT_TRUE(device->WaitForLog("MQTT connected.", 30s)) << device->Log();
    ASSERT_TRUE(controller->WaitFor(device->Topic("event"), "\"type\":\"version\"", 30s)) << device->Log();

    Command("{\"type\":\"view_cam\"}");
    ASSERT_TRUE(device->WaitForLog("/dev/video0 is open but delivered no frame", 60s)) << device->Log();
    EXPECT_NE(device->Log().find("[ERROR]"), std::string::npos);

    // The stream worker marks its run as ended only after that ERROR; a view_cam that comes in
    // between merely re-arms the ending run. So ask again (well within the 10 s frame wait of
    // the next run) until the second run starts.
    Clock::time_point asked{};
    ASSERT_TRUE(fixture::WaitFor(
        [&] {
            if (Count(device->Log(), "Start stream: ") >= 2) return true;
            if (Clock::now() - asked >= 2s) {
                Command("{\"type\":\"view_cam\"}");
                asked = Clock::now();
            }
            return false;
        },
        60s))
        << device->Log();
    EXPECT_EQ(Count(device->Log(), "Start stream: "), 2u) << device->Log();
    device->daemon->signal(SIGTERM);
    // Well past the daemon's own 15 s stop limit: the log line below tells an orderly stop.
    ASSERT_NO_FATAL_FAILURE(ExpectExit(*device, 60s, 0));
    EXPECT_EQ(device->Log().find("Orderly stop did not finish"), std::string::npos);
}

// Settings the daemon cannot run with are refused before any connection: exit status 1 (never
// an abort) and an ERROR naming the member.
TEST_F(SupervisionTest, RefusesUnusableSettings) {
    Device::Options options;
    options.ftpServer = false;
    ASSERT_NO_FATAL_FAILURE(SetUpDevice(options));
    struct Case {
        std::string from, to, member;
    };
    const std::string uri = device->broker.uri();
    const Case cases[] = {
        {uri, "tcp:/127.0.0.1:1883", "\"mqtt.server\""},
        {uri, "bogus://127.0.0.1:1883", "\"mqtt.server\""},
        {uri, "tcp://127.0.0.1:99999", "\"mqtt.server\""},
        // A broker list: every entry is checked, and the ERROR says which one fails.
        {uri, uri + ",tcp://127.0.0.1:99999", "\"mqtt.server\" (entry 2 of 2, \"tcp://127.0.0.1:99999\")"},
        {uri, uri + ", ,tcp://127.0.0.1:1883", "\"mqtt.server\" (entry 2 of 3, \"\")"},
        {"\"port\": " + std::to_string(device->ftpPort), "\"port\": 70000", "\"ftp_photo.port\""},
        {"\"cam1\": 0", "\"cam1\": -1", "\"camera.cam1\""},
        {"\"netif\": \"lo\"", "\"netif\": \"nosuch0\"", "\"netif\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.to);
        std::string config = device->ConfigText();
        ASSERT_NE(config.find(c.from), std::string::npos);
        config.replace(config.find(c.from), c.from.size(), c.to);
        std::remove(device->logFile.c_str());
        device->Start(config);
        ASSERT_NO_FATAL_FAILURE(ExpectExit(*device, 60s, 1));
        const std::string log = device->Log();
        const size_t error = log.find("[ERROR]");
        ASSERT_NE(error, std::string::npos) << log;
        EXPECT_NE(log.find(c.member, error), std::string::npos) << log;
        EXPECT_EQ(log.find("MQTT connected"), std::string::npos) << log;
    }
    EXPECT_EQ(device->broker.log().find(" as k5_"), std::string::npos) << device->broker.log();
}

// 100 000 commands of every kind in one burst: the daemon drops what does not fit with a few
// WARN lines, starts the stream once, and answers a command sent after the burst.
TEST_F(SupervisionTest, BurstOfCommandsIsAbsorbed) {
    ASSERT_NO_FATAL_FAILURE(SetUpDevice());
    device->Start();
    ASSERT_TRUE(controller->WaitFor(device->Topic("event"), "\"type\":\"version\"", 30s)) << device->Log();

    std::string lines;
    const char* kinds[] = {"{\"type\":\"view_cam\"}", "{\"type\":\"version\"}", "{\"type\":\"heartbeat\"}",
                           "{\"type\":\"reboot\"}", "not json"};
    for (int i = 0; i < 100000; ++i) lines += std::string(kinds[i % 5]) + "\n";
    fixture::WriteFile(device->dir + "/burst.txt", lines);
    int code = -1;
    const std::string out = RunTool({"sh", "-c", "mosquitto_pub -h 127.0.0.1 -p " + std::to_string(device->broker.port()) +
                                                     " -t " + device->Topic("command") + " -l < " + device->dir + "/burst.txt"},
                                    device->dir + "/pub.log", 120s, &code);
    ASSERT_EQ(code, 0) << out;

    // A fresh controller: the first one's list of answers to the burst is not searched again.
    controller = std::make_unique<Controller>(device->broker.uri(), "e2e-after-burst");
    ASSERT_TRUE(controller->Connected());
    controller->Subscribe(device->Topic("event"));
    Command("{\"type\":\"download\"}");
    EXPECT_TRUE(controller->WaitFor(device->Topic("event"), "\"type\":\"download\"", 60s))
        << device->broker.log().substr(device->broker.log().size() > 3000 ? device->broker.log().size() - 3000 : 0);
    // The stream's own worker logs its start, possibly after the answer above.
    EXPECT_TRUE(fixture::WaitFor([&] { return Count(device->Log(), "Start stream: ") >= 1; }, 60s)) << device->Log();
    const std::string log = device->Log();
    EXPECT_EQ(Count(log, "Start stream: "), 1u) << "surplus view_cam restarted the stream";
    EXPECT_GE(Count(log, "dropping them until the flood ends"), 1u);
    EXPECT_LT(Count(log, "dropping them until the flood ends"), 20u);
    EXPECT_EQ(log.find("No more messages can be buffered"), std::string::npos);
    device->daemon->signal(SIGTERM);
    ASSERT_NO_FATAL_FAILURE(ExpectExit(*device, 30s, 0));
}

// SIGTERM at several moments of start-up, from the first line of the log on: every time the
// daemon stops in order with status 0.
TEST_F(SupervisionTest, StopSignalDuringStartUpEndsInOrder) {
    ASSERT_NO_FATAL_FAILURE(SetUpDevice());
    for (auto delay : {0ms, 5ms, 30ms, 100ms, 300ms, 700ms, 1500ms}) {
        SCOPED_TRACE(delay.count());
        std::remove(device->logFile.c_str());
        device->Start();
        ASSERT_TRUE(device->WaitForLog("Config", 60s)) << device->Log();
        std::this_thread::sleep_for(delay);  // the moment of the signal is what this test varies
        device->daemon->signal(SIGTERM);
        ASSERT_NO_FATAL_FAILURE(ExpectExit(*device, 60s, 0));
        EXPECT_EQ(device->Log().find("Orderly stop did not finish"), std::string::npos);
    }
}
