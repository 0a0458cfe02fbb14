#include "net/resolve.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace {

// One name lookup, shared by the thread that runs it and the call that waits for it: whoever
// lets go last frees it.
struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int error = 0;  // getaddrinfo's code
    std::vector<std::string> addresses;
};

void RunLookup(const std::shared_ptr<Lookup>& lookup, const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int error = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
    std::vector<std::string> addresses;
    for (const addrinfo* entry = found; error == 0 && entry != nullptr; entry = entry->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        std::string address;
        if (entry->ai_family == AF_INET &&
            ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr, text,
                        sizeof(text)) != nullptr) {
            address = text;
        } else if (entry->ai_family == AF_INET6 &&
                   ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(entry->ai_addr)->sin6_addr,
                               text, sizeof(text)) != nullptr) {
            address = std::string("[") + text + "]";
        }
        bool known = address.empty();
        for (const std::string& other : addresses) known = known || other == address;
        if (!known) addresses.push_back(address);
    }
    if (found != nullptr) ::freeaddrinfo(found);
    std::lock_guard<std::mutex> lock(lookup->mutex);
    lookup->error = error;
    lookup->addresses = std::move(addresses);
    lookup->finished = true;
    lookup->done.notify_all();
}

}  // namespace

bool IsNumericAddress(const std::string& host) {
    unsigned char buffer[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.c_str(), buffer) == 1 || ::inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

Resolution ResolveName(const std::string& name, std::chrono::seconds bound, const std::function<bool()>& keepGoing) {
    Resolution result;
    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, name] { RunLookup(lookup, name); }).detach();
    } catch (const std::system_error& error) {
        result.kind = Resolution::Kind::Failed;
        result.message = std::string("no thread to resolve the photo server's name: ") + error.what();
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + bound;
    bool stopped = false;
    bool timedOut = false;
    std::unique_lock<std::mutex> lock(lookup->mutex);
    while (!stopped && !timedOut &&
           !lookup->done.wait_for(lock, std::chrono::milliseconds(100), [&] { return lookup->finished; })) {
        timedOut = std::chrono::steady_clock::now() >= deadline;
        if (!timedOut && keepGoing) {
            lock.unlock();  // the handler may take its time; the lookup must not wait for it
            stopped = !keepGoing();
            lock.lock();
        }
    }
    if (stopped || timedOut) {
        result.kind = stopped ? Resolution::Kind::Stopped : Resolution::Kind::TimedOut;
        result.message = "resolving " + name + (stopped ? " stopped" : " timed out");
        return result;
    }
    if (lookup->error != 0 || lookup->addresses.empty()) {
        result.kind = Resolution::Kind::Failed;
        result.message =
            "cannot resolve " + name + ": " + (lookup->error != 0 ? ::gai_strerror(lookup->error) : "no address");
        return result;
    }
    result.addresses = lookup->addresses;
    return result;
}

std::string ResolveEntry(const std::string& name, int port, const std::vector<std::string>& addresses) {
    std::string entry = name + ":" + std::to_string(port) + ":";
    for (size_t i = 0; i < addresses.size(); ++i) entry += (i > 0 ? "," : "") + addresses[i];
    return entry;
}
