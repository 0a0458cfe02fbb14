#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// Name resolution that a stop can cut, for the transfers over libcurl (FTP, S3).
//
// libcurl's threaded resolver cannot be cut: the handle's cleanup waits for getaddrinfo, which
// waits for the resolver's own timeouts (tens of seconds with a name server that never
// answers). So names are resolved here instead, by getaddrinfo in a helper thread of its own:
// the caller waits for its answer at most `bound`, asking `keepGoing` every 100 ms; a stop ends
// the wait at once and leaves the lookup to finish alone (detached; its state is shared, so
// nothing it writes outlives its owner, and nobody ever joins a lookup that hangs). The caller
// hands the addresses to libcurl with CURLOPT_RESOLVE (ResolveEntry), so libcurl never
// resolves the name; TLS is still checked against the name.
struct Resolution {
    enum class Kind { Ok, Failed, TimedOut, Stopped };
    Kind kind = Kind::Ok;
    std::vector<std::string> addresses;  // as CURLOPT_RESOLVE takes them ("[v6]" bracketed)
    std::string message;                 // why not, when not Ok
    bool ok() const { return kind == Kind::Ok; }
};

// Resolves `name` (a host name, not a numeric address) as above. Any thread; the calling
// thread waits.
Resolution ResolveName(const std::string& name, std::chrono::seconds bound, const std::function<bool()>& keepGoing);

// "name:port:address[,address...]", one CURLOPT_RESOLVE entry.
std::string ResolveEntry(const std::string& name, int port, const std::vector<std::string>& addresses);

// Whether `host` is an IPv4 or IPv6 address (without brackets): nothing to resolve.
bool IsNumericAddress(const std::string& host);
