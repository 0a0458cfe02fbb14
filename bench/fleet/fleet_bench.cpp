// A fleet on one broker: 30 daemons (each its own MAC and card) on one mosquitto on loopback,
// in a network namespace of the bench's own; the broker is stopped and started again 0.2 s
// later.
//
//   bench_fleet [daemons, default 30]
//
// Prints, counted from the moment the broker accepts connections again:
//   - the connections per 100 ms slot (each daemon's retained "online", as a watcher that
//     connects at once sees it arrive);
//   - the seconds until every daemon is connected again, and until its first heartbeat arrived;
//   - the resident memory of each daemon (smallest, median, largest).
// It asserts nothing; every wait has a bound (about 2 minutes in all).
#include <mqtt/async_client.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config_namespace.h"
#include "mosquitto.h"
#include "process.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Collects when each device's status and heartbeat arrive, by MAC.
class Watcher {
public:
    explicit Watcher(const std::string& uri) : client(uri, "fleet-watcher", nullptr) {
        client.set_message_callback([this](mqtt::const_message_ptr message) {
            const std::string& topic = message->get_topic();
            const std::size_t start = topic.find("/k5_");
            const std::size_t end = topic.rfind('/');
            if (start == std::string::npos || end <= start) return;
            const std::string mac = topic.substr(start + 4, end - start - 4);
            std::lock_guard<std::mutex> lock(mutex);
            const auto now = Clock::now();
            if (topic.compare(end + 1, std::string::npos, "status") == 0 && message->get_payload_str() == "online") {
                if (!online.count(mac)) online[mac] = now;
            } else if (topic.compare(end + 1, std::string::npos, "heartbeat") == 0) {
                if (!heartbeat.count(mac)) heartbeat[mac] = now;
            }
        });
        mqtt::connect_options options;
        options.set_clean_session(true);
        client.connect(options)->wait();
        client.subscribe("vok/k5/+/status", 0)->wait();
        client.subscribe("vok/k5/+/heartbeat", 0)->wait();
    }
    ~Watcher() {
        try {
            if (client.is_connected()) client.disconnect()->wait_for(5s);
        } catch (const mqtt::exception&) {
        }
    }
    bool WaitFor(std::size_t devices, Clock::duration timeout) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (online.size() >= devices && heartbeat.size() >= devices) return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    std::map<std::string, Clock::time_point> Online() {
        std::lock_guard<std::mutex> lock(mutex);
        return online;
    }
    std::map<std::string, Clock::time_point> Heartbeats() {
        std::lock_guard<std::mutex> lock(mutex);
        return heartbeat;
    }

private:
    std::mutex mutex;
    std::map<std::string, Clock::time_point> online;
    std::map<std::string, Clock::time_point> heartbeat;
    mqtt::async_client client;
};

std::string Mac(int index) {
    char text[32];
    std::snprintf(text, sizeof text, "02:00:00:f1:%02x:%02x", (index >> 8) & 0xff, index & 0xff);
    return text;
}

std::string ConfigFor(const std::string& broker, const std::string& dir, int closedPort) {
    return "{\n"
           "  \"mqtt\": {\"server\": \"" + broker + "\", \"username\": \"\", \"password\": \"\"},\n"
           "  \"ftp_server\": \"127.0.0.1\",\n"
           "  \"ftp_photo\": {\"server\": \"127.0.0.1\", \"port\": " + std::to_string(closedPort) +
           ", \"username\": \"u\", \"password\": \"p\"},\n"
           "  \"ota\": {\"username\": \"u\", \"password\": \"p\", \"downloadpath\": \"" + dir + "/ota\"},\n"
           "  \"camera\": {\"cam1\": 240, \"cam2\": 241, \"server\": \"rtmp://127.0.0.1:1/live\"},\n"
           "  \"rfid_spi\": {\"device\": \"/dev/null\", \"speed\": 1000000, \"delay\": 0, \"bits\": 8},\n"
           "  \"rfid_gpio\": {\"cs\": \"1\"},\n"
           "  \"netif\": \"lo\",\n"
           "  \"sdfolder\": \"" + dir + "/sd\",\n"
           "  \"run_length_s\": 150,\n"
           "  \"fw_version\": \"bench-fleet\"\n"
           "}\n";
}

long RssKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Lines "<unix seconds> <topic> <payload>": the first "online" and the first heartbeat of each MAC.
void Arrivals(const std::string& text, std::map<std::string, double>& online, std::map<std::string, double>& heartbeats) {
    std::size_t begin = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos; begin = end + 1, end = text.find('\n', begin)) {
        const std::string line = text.substr(begin, end - begin);
        const std::size_t space = line.find(' ');
        const std::size_t second = line.find(' ', space + 1);
        if (space == std::string::npos || second == std::string::npos) continue;
        const double at = std::strtod(line.c_str(), nullptr);
        const std::string topic = line.substr(space + 1, second - space - 1);
        const std::string payload = line.substr(second + 1);
        const std::size_t mac = topic.find("/k5_");
        const std::size_t leaf = topic.rfind('/');
        if (mac == std::string::npos || leaf <= mac) continue;
        const std::string name = topic.substr(mac + 4, leaf - mac - 4);
        if (topic.compare(leaf + 1, std::string::npos, "status") == 0 && payload == "online") {
            online.emplace(name, at);
        } else if (topic.compare(leaf + 1, std::string::npos, "heartbeat") == 0) {
            heartbeats.emplace(name, at);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Into a network namespace of its own, with only a loopback: the fleet's traffic stays there.
    if (!std::getenv("K5_FLEET_NETNS")) {
        ::setenv("K5_FLEET_NETNS", "1", 1);
        std::vector<char*> args = {const_cast<char*>("unshare"), const_cast<char*>("-n"), const_cast<char*>("sh"),
                                   const_cast<char*>("-c"),
                                   const_cast<char*>("ip link set lo up && exec \"$0\" \"$@\"")};
        for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
        args.push_back(nullptr);
        ::execvp("unshare", args.data());
        std::fprintf(stderr, "no network namespace (unshare: %s); running on the machine's loopback\n",
                     std::strerror(errno));
    }
    const int devices = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;

    fixture::Mosquitto broker;
    if (!broker.start()) {
        std::fprintf(stderr, "the broker did not start\n");
        return 1;
    }
    const std::string root = fixture::MakeTempDir("k5-fleet-bench-");
    const int closedPort = fixture::FreeTcpPort();
    std::vector<std::unique_ptr<fixture::Process>> daemons;
    auto before = std::make_unique<Watcher>(broker.uri());
    for (int i = 0; i < devices; ++i) {
        const std::string dir = root + "/d" + std::to_string(i);
        ::mkdir(dir.c_str(), 0700);
        fixture::WriteFile(dir + "/config.json", ConfigFor(broker.uri(), dir, closedPort));
        fixture::WriteFile(dir + "/address", Mac(i) + "\n");
        // Its own MAC: the address file of the configured interface, seen by this daemon only.
        const std::vector<std::string> command = {
            "sh", "-c", "mount --bind \"$0\" /sys/class/net/lo/address && exec \"$@\"", dir + "/address",
            "env", "RUNTIME_DIRECTORY=" + dir + "/run", K5CAM_BINARY};
        daemons.push_back(std::make_unique<fixture::Process>(
            fixture::InConfigNamespace(dir + "/config.json", dir + "/ns", command), dir + "/daemon.log"));
    }

    if (!before->WaitFor(static_cast<std::size_t>(devices), 60s)) {
        std::fprintf(stderr, "only %zu of %d daemons connected at start (logs in %s)\n", before->Online().size(),
                     devices, root.c_str());
    }
    before.reset();
    std::vector<long> rss;
    for (const auto& daemon : daemons) rss.push_back(RssKb(daemon->pid()));

    const double down = WallSeconds();
    broker.stop();
    std::this_thread::sleep_for(200ms);
    if (!broker.start()) {
        std::fprintf(stderr, "the broker did not start again\n");
        return 1;
    }
    // mosquitto_sub, not a Paho client: it subscribes within milliseconds of connecting, so
    // that each "online" arrives as it is published (a daemon quicker than that is seen at
    // the subscription, by its retained message).
    const double back = WallSeconds();
    const std::string arrivals = root + "/arrivals";
    fixture::Process watcher({"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(broker.port()), "-F",
                              "%U %t %p", "-t", "vok/k5/+/status", "-t", "vok/k5/+/heartbeat"},
                             arrivals);
    std::map<std::string, double> online, heartbeats;
    const auto deadline = Clock::now() + 60s;
    while (Clock::now() < deadline) {
        Arrivals(fixture::ReadFile(arrivals), online, heartbeats);
        if (online.size() >= static_cast<std::size_t>(devices) && heartbeats.size() >= static_cast<std::size_t>(devices))
            break;
        std::this_thread::sleep_for(50ms);
    }
    watcher.stop(SIGTERM, 5s);
    const bool all = online.size() >= static_cast<std::size_t>(devices);

    std::map<long, int> slots;
    double lastOnline = 0, lastHeartbeat = 0;
    for (const auto& entry : online) {
        const double at = std::max(0.0, entry.second - back);
        ++slots[static_cast<long>(at * 10)];
        lastOnline = std::max(lastOnline, at);
    }
    for (const auto& entry : heartbeats) lastHeartbeat = std::max(lastHeartbeat, entry.second - back);
    int busiest = 0;
    std::printf("fleet of %d daemons, broker stopped, 0.2 s later started again (back %.2f s after the stop began):\n",
                devices, back - down);
    std::printf("  connections per 100 ms slot after the broker was back:");
    for (const auto& slot : slots) {
        std::printf(" %.1fs:%d", static_cast<double>(slot.first) / 10, slot.second);
        busiest = std::max(busiest, slot.second);
    }
    std::printf("\n  busiest slot: %d of %d (goal: at most 8)\n", busiest, devices);
    std::printf("  all connected again after %.2f s (goal <= 5 s)%s\n", lastOnline, all ? "" : " (not all)");
    std::printf("  every heartbeat flowing after %.2f s (goal <= 10 s): %zu of %d\n", lastHeartbeat,
                heartbeats.size(), devices);
    std::sort(rss.begin(), rss.end());
    if (!rss.empty()) {
        std::printf("  resident memory per daemon: min %ld kB, median %ld kB, max %ld kB\n", rss.front(),
                    rss[rss.size() / 2], rss.back());
    }
    std::fflush(stdout);

    for (auto& daemon : daemons) ::kill(daemon->pid(), SIGTERM);
    for (auto& daemon : daemons) daemon->stop(SIGTERM, 20s);
    daemons.clear();
    if (std::getenv("K5_FLEET_KEEP")) {
        std::printf("  daemon logs kept in %s\n", root.c_str());
    } else {
        fixture::RemoveTree(root);
    }
    return 0;
}
