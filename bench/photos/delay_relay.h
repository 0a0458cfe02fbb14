#pragma once

// A TCP relay on loopback that holds every chunk 100 ms in each direction (200 ms round trip),
// for kernels without netem. FTP's passive data ports (227 and 229 replies) get relays of
// their own, the replies rewritten to them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class DelayRelay {
public:
    DelayRelay(int targetPort, bool ftp, std::chrono::milliseconds delay = std::chrono::milliseconds(100))
        : target_(targetPort), ftp_(ftp), delay_(delay) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        ::listen(listener_, 64);
        socklen_t length = sizeof(address);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { Accept(); });
    }
    ~DelayRelay() {
        stop_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        ::close(listener_);
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& thread : pumps_) thread.join();
    }
    int port() const { return port_; }

private:
    // The two sockets of a relayed connection, closed once both directions ended.
    struct Pair {
        Pair(int first, int second) : a(first), b(second) {}
        void Done() {
            if (done.fetch_add(1) == 1) {
                ::close(a);
                ::close(b);
            }
        }
        int a, b;
        std::atomic<int> done{0};
    };
    struct Chunk {
        std::chrono::steady_clock::time_point due;
        std::string bytes;
    };
    void Accept() {
        while (!stop_) {
            pollfd ready{listener_, POLLIN, 0};
            if (::poll(&ready, 1, 200) <= 0) continue;
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
            auto both = std::make_shared<Pair>(client, server);
            std::lock_guard<std::mutex> lock(mutex_);
            pumps_.emplace_back([this, client, server, both] { Pump(client, server, false); both->Done(); });
            pumps_.emplace_back([this, server, client, both] { Pump(server, client, ftp_); both->Done(); });
        }
    }
    // Reads `from`, writes each chunk to `to` once it is `delay_` old; `rewrite`: passive replies.
    void Pump(int from, int to, bool rewrite) {
        std::mutex mutex;
        std::condition_variable ready;
        std::deque<Chunk> queue;
        bool ended = false;
        std::thread writer([&] {
            std::unique_lock<std::mutex> lock(mutex);
            while (true) {
                ready.wait(lock, [&] { return ended || !queue.empty(); });
                if (queue.empty()) break;
                Chunk chunk = std::move(queue.front());
                queue.pop_front();
                lock.unlock();
                std::this_thread::sleep_until(chunk.due);
                for (size_t sent = 0; sent < chunk.bytes.size();) {
                    const ssize_t n = ::send(to, chunk.bytes.data() + sent, chunk.bytes.size() - sent, MSG_NOSIGNAL);
                    if (n <= 0) break;
                    sent += static_cast<size_t>(n);
                }
                lock.lock();
            }
            ::shutdown(to, SHUT_WR);
        });
        char buffer[65536];
        while (!stop_) {
            pollfd wait{from, POLLIN, 0};
            if (::poll(&wait, 1, 200) == 0) continue;
            const ssize_t n = ::recv(from, buffer, sizeof(buffer), 0);
            if (n <= 0) break;
            std::string bytes(buffer, static_cast<size_t>(n));
            if (rewrite) bytes = Rewrite(bytes);
            std::lock_guard<std::mutex> lock(mutex);
            queue.push_back(Chunk{std::chrono::steady_clock::now() + delay_, std::move(bytes)});
            ready.notify_one();
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            ended = true;
            ready.notify_one();
        }
        writer.join();
        ::shutdown(from, SHUT_RD);
    }
    std::string Rewrite(const std::string& bytes) {
        int h1, h2, h3, h4, p1, p2;
        const size_t pasv = bytes.find("227 ");
        if (pasv != std::string::npos) {
            const size_t open = bytes.find('(', pasv);
            if (open != std::string::npos &&
                std::sscanf(bytes.c_str() + open, "(%d,%d,%d,%d,%d,%d)", &h1, &h2, &h3, &h4, &p1, &p2) == 6) {
                const int relay = DataRelay(p1 * 256 + p2);
                return "227 Entering Passive Mode (127,0,0,1," + std::to_string(relay / 256) + "," +
                       std::to_string(relay % 256) + ").\r\n";
            }
        }
        const size_t epsv = bytes.find("229 ");
        if (epsv != std::string::npos) {
            const size_t bars = bytes.find("(|||", epsv);
            int port = 0;
            if (bars != std::string::npos && std::sscanf(bytes.c_str() + bars, "(|||%d|)", &port) == 1) {
                return "229 Entering Extended Passive Mode (|||" + std::to_string(DataRelay(port)) + "|)\r\n";
            }
        }
        return bytes;
    }
    int DataRelay(int port) {
        std::lock_guard<std::mutex> lock(dataMutex_);
        data_.push_back(std::make_unique<DelayRelay>(port, false, delay_));
        return data_.back()->port();
    }

    int target_;
    bool ftp_;
    std::chrono::milliseconds delay_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::mutex mutex_;
    std::list<std::thread> pumps_;
    std::mutex dataMutex_;
    std::list<std::unique_ptr<DelayRelay>> data_;
};
