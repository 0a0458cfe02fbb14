// Draining a photo backlog to a local FTP server (pyftpdlib), the one-session-per-photo way
// (an FTPClient and Upload per photo) and the session way (one FTPClient for the drain:
// Stat, Stat of the temporary name, Send, Rename, Stat per photo), side by side.
//
//   ftp_drain_bench [photos=100] [kB per photo=300] [link kB/s=20]
//
// Prints photos/s on this machine, and from the server's log the control connections, the
// commands per photo and the data connections; then the drain time over a field link worked
// out from those counts: round trips x RTT + bytes / bandwidth, with one round trip per
// command, per control connection (TCP handshake, greeting) and per data connection, so the
// figure does not depend on this machine.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ftp_servers.h"
#include "net/ftp.h"

namespace {

using Clock = std::chrono::steady_clock;

int Count(const std::string& text, const std::string& needle, size_t from) {
    int count = 0;
    for (size_t at = text.find(needle, from); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

struct Figures {
    const char* name;
    double seconds = 0;
    int connections = 0;
    int commands = 0;
    int dataConnections = 0;
    int failures = 0;
};

void Print(const Figures& f, int photos, double bytes, double linkBytesPerSecond) {
    const int roundTrips = f.commands + f.connections + f.dataConnections;
    std::printf("%-22s %7.1f photos/s  %2d control connection(s)  %5.2f commands/photo  "
                "%5.2f round trips/photo  failures %d\n",
                f.name, photos / f.seconds, f.connections, static_cast<double>(f.commands) / photos,
                static_cast<double>(roundTrips) / photos, f.failures);
    std::printf("%-22s drain time at", "");
    for (const double rtt : {0.05, 0.3, 1.0}) {
        std::printf("  %4.0f ms: %6.0f s", rtt * 1000, roundTrips * rtt + bytes / linkBytesPerSecond);
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    const int photos = argc > 1 ? std::atoi(argv[1]) : 100;
    const int kilobytes = argc > 2 ? std::atoi(argv[2]) : 300;
    const double link = (argc > 3 ? std::atof(argv[3]) : 20.0) * 1000.0;
    if (photos <= 0 || kilobytes <= 0 || link <= 0) {
        std::fprintf(stderr, "usage: %s [photos=100] [kB per photo=300] [link kB/s=20]\n", argv[0]);
        return 2;
    }

    fixture::FtpServer server;
    const std::string card = fixture::MakeTempDir("k5drain-card-");
    std::string bytes(static_cast<size_t>(kilobytes) * 1024, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7919) >> 3);
    std::vector<std::string> names;
    for (int i = 0; i < photos; ++i) {
        names.push_back(std::to_string(1765230000 + i) + "_0.jpg");
        fixture::WriteFile(card + "/" + names.back(), bytes);
    }
    const double total = static_cast<double>(bytes.size()) * photos;

    auto measure = [&](Figures& f, auto&& drain) {
        const size_t mark = server.log().size();
        const auto start = Clock::now();
        drain();
        f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const std::string log = server.log();
        f.connections = Count(log, "FTP session opened", mark);
        f.commands = Count(log, "] <- ", mark);
        f.dataConnections = Count(log, "] <- STOR ", mark) + Count(log, "] <- APPE ", mark);
    };

    Figures old{"one session per photo"};
    measure(old, [&] {
        for (const std::string& name : names) {
            FTPClient ftp(server.user(), server.password(), "127.0.0.1", server.port());
            if (!ftp.Upload(card + "/" + name, "photo/cam1/2025-12-08/" + name)) ++old.failures;
        }
    });

    Figures session{"one session per drain"};
    measure(session, [&] {
        FTPClient ftp(server.user(), server.password(), "127.0.0.1", server.port());
        for (const std::string& name : names) {
            const std::string final = "photo/cam1/2025-12-09/" + name;
            const std::string temp = "photo/cam1/2025-12-09/." + name + ".part";
            int64_t size = 0;
            bool ok = ftp.Stat(final, size).kind == FTPClient::Result::Kind::Absent;
            ok = ok && ftp.Stat(temp, size).kind == FTPClient::Result::Kind::Absent;
            const int fd = ::open((card + "/" + name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            struct stat st {};
            ok = ok && fd >= 0 && ::fstat(fd, &st) == 0;
            ok = ok && ftp.Send(fd, st.st_size, 0, temp).ok();
            if (fd >= 0) ::close(fd);
            ok = ok && ftp.Rename(temp, final).ok();
            ok = ok && ftp.Stat(final, size).ok() && size == st.st_size;
            if (!ok) ++session.failures;
        }
    });

    std::printf("%d photos of %d kB to pyftpdlib on loopback; link for the drain time: %.0f kB/s\n",
                photos, kilobytes, link / 1000.0);
    Print(old, photos, total, link);
    Print(session, photos, total, link);
    fixture::RemoveTree(card);
    return old.failures + session.failures == 0 ? 0 : 1;
}
