// How soon a viewer gets pictures, against real peers on loopback (the set-up of the end-to-end
// tests: broker, FTP server, nginx-rtmp, the virtual camera as /dev/video0).
//
//   bench_stream_start
//
// The daemon publishes through a relay in this program that forwards to nginx-rtmp and notes when
// the device's bytes arrive. Prints:
//   - the time from a "view_cam" (as published by the controller) to the first picture written by
//     the device: the moment its connection carried the RTMP handshake and more than 4 kB after it
//     (the commands, metadata and codec header are well below that, a 1280x720 key frame above).
//     Median, minimum and maximum over 10 requests; between requests the relay cuts the
//     connection, so the stream ends by itself and the next request starts a fresh one;
//   - the interruption a viewer sees at a run boundary with a stream carried over: from the last
//     byte of run 1's connection to the first picture of run 2's, the next run started at once
//     after the last one ended (as systemd restarts the unit), with the same runtime directory.
// It asserts nothing; the goals are printed beside the figures.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "controller.h"
#include "device.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kHandshake = 1 + 1536 + 1536;  // C0, C1, C2
constexpr size_t kFirstPicture = kHandshake + 4096;

// A TCP relay on 127.0.0.1 to `target`, one thread per connection, timing the client's bytes.
class Relay {
public:
    struct Connection {
        Clock::time_point opened;
        Clock::time_point firstPicture{};  // zero until kFirstPicture bytes arrived
        Clock::time_point lastByte{};
        size_t bytes = 0;
        int client = -1;
        int server = -1;
        bool closed = false;
    };

    explicit Relay(int target) : target_(target) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(listener_, 8) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { Accept(); });
    }

    ~Relay() {
        done_ = true;
        if (acceptor_.joinable()) acceptor_.join();
        for (auto& t : pumps_) t.join();
        ::close(listener_);
    }

    int port() const { return port_; }

    std::vector<Connection> Connections() {
        std::lock_guard<std::mutex> lock(mutex_);
        return connections_;
    }

    // Cuts connection `index` both ways, as an endpoint that went away.
    void Cut(size_t index) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (index >= connections_.size() || connections_[index].closed) return;
        ::shutdown(connections_[index].client, SHUT_RDWR);
        ::shutdown(connections_[index].server, SHUT_RDWR);
    }

private:
    void Accept() {
        while (!done_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 100) != 1) continue;
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<uint16_t>(target_));
            if (::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
                ::close(client);
                ::close(server);
                continue;
            }
            size_t index;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                Connection c;
                c.opened = Clock::now();
                c.client = client;
                c.server = server;
                connections_.push_back(c);
                index = connections_.size() - 1;
            }
            pumps_.emplace_back([this, index, client, server] { Pump(index, client, server); });
        }
    }

    void Pump(size_t index, int client, int server) {
        char buffer[65536];
        while (!done_) {
            pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (::poll(p, 2, 100) <= 0) continue;
            bool ended = false;
            for (int side = 0; side < 2 && !ended; ++side) {
                if (p[side].revents == 0) continue;
                const ssize_t got = ::read(p[side].fd, buffer, sizeof(buffer));
                if (got <= 0) {
                    ended = true;
                    break;
                }
                if (side == 0) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    Connection& c = connections_[index];
                    c.bytes += static_cast<size_t>(got);
                    c.lastByte = Clock::now();
                    if (c.bytes > kFirstPicture && c.firstPicture == Clock::time_point{}) c.firstPicture = c.lastByte;
                }
                const int to = side == 0 ? server : client;
                for (ssize_t sent = 0; sent < got && !ended;) {
                    const ssize_t n = ::write(to, buffer + sent, static_cast<size_t>(got - sent));
                    if (n <= 0) ended = true;
                    sent += n > 0 ? n : 0;
                }
            }
            if (ended) break;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        connections_[index].closed = true;
        ::close(client);
        ::close(server);
    }

    int target_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> done_{false};
    std::thread acceptor_;
    std::vector<std::thread> pumps_;  // touched by the acceptor only, joined after it ended
    std::mutex mutex_;
    std::vector<Connection> connections_;
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Waits until connection `index` exists and has carried its first picture.
bool WaitForPicture(Relay& relay, size_t index, std::chrono::milliseconds timeout) {
    return fixture::WaitFor(
        [&] {
            auto all = relay.Connections();
            return all.size() > index && all[index].firstPicture != Clock::time_point{};
        },
        timeout);
}

}  // namespace

int main() {
    Device device;
    if (!device.PeersUp()) {
        std::fprintf(stderr, "the peers did not start\n");
        return 1;
    }
    Relay relay(device.rtmp.port());
    if (relay.port() == 0) return 1;
    std::string config = device.ConfigText();
    const std::string endpoint = device.rtmp.url();
    config.replace(config.find(endpoint), endpoint.size(),
                   "rtmp://127.0.0.1:" + std::to_string(relay.port()) + "/live");

    Controller controller(device.broker.uri(), "bench-controller");
    controller.Subscribe(device.Topic("event"));
    device.Start(config);
    if (!controller.WaitFor(device.Topic("event"), "\"type\":\"version\"", 30s)) {
        std::fprintf(stderr, "the daemon did not answer; its log:\n%s\n", device.Log().c_str());
        return 1;
    }

    std::vector<double> firstPicture;
    const int requests = 10;
    for (int i = 0; i < requests; ++i) {
        const Clock::time_point asked = Clock::now();
        controller.Publish(device.Topic("command"), "{\"type\":\"view_cam\"}");
        if (!WaitForPicture(relay, static_cast<size_t>(i), 20s)) {
            std::fprintf(stderr, "request %d: no picture; the daemon's log:\n%s\n", i + 1, device.Log().c_str());
            return 1;
        }
        firstPicture.push_back(Ms(relay.Connections()[static_cast<size_t>(i)].firstPicture - asked));
        relay.Cut(static_cast<size_t>(i));
        const size_t ended = static_cast<size_t>(i + 1);
        if (!fixture::WaitFor([&] { return Count(device.Log(), "its stream ended by itself") >= ended; }, 30s)) {
            std::fprintf(stderr, "request %d: the stream did not end\n", i + 1);
            return 1;
        }
    }
    std::vector<double> sorted = firstPicture;
    std::sort(sorted.begin(), sorted.end());
    const double median = (sorted[requests / 2 - 1] + sorted[requests / 2]) / 2;
    std::printf("\"view_cam\" to the device's first picture, %d requests:\n", requests);
    std::printf("  median %.0f ms, min %.0f ms, max %.0f ms (goal: under 500 ms)\n  each:", median, sorted.front(),
                sorted.back());
    for (double ms : firstPicture) std::printf(" %.0f", ms);
    std::printf("\n");
    std::fflush(stdout);

    // The stream that runs into the run's planned end, and the next run, started at once.
    const size_t carried = static_cast<size_t>(requests);
    controller.Publish(device.Topic("command"), "{\"type\":\"view_cam\"}");
    if (!WaitForPicture(relay, carried, 20s)) return 1;
    int status = -1;
    if (!device.daemon->wait(150s, &status)) {
        std::fprintf(stderr, "run 1 did not end\n");
        return 1;
    }
    const Clock::time_point exited = Clock::now();
    device.logFile = device.dir + "/daemon-2.log";
    device.Start(config);
    if (!WaitForPicture(relay, carried + 1, 60s)) {
        std::fprintf(stderr, "run 2 carried no stream; its log:\n%s\n", device.Log().c_str());
        return 1;
    }
    const auto all = relay.Connections();
    const Relay::Connection& before = all[carried];
    const Relay::Connection& after = all[carried + 1];
    std::printf("run boundary with a stream carried over (restarted %.0f ms after the exit):\n",
                Ms(device.started - exited));
    std::printf("  interruption %.0f ms from run 1's last byte to run 2's first picture (goal: under 2000 ms)\n",
                Ms(after.firstPicture - before.lastByte));
    std::printf("  of which: last byte to exit %.0f ms, start to connection %.0f ms, connection to picture %.0f ms\n",
                Ms(exited - before.lastByte), Ms(after.opened - device.started), Ms(after.firstPicture - after.opened));
    std::fflush(stdout);
    device.daemon->stop(SIGTERM, 10s);
    return 0;
}
