// What it costs to know that a file on the server is this photo: FTPClient::Compare against
// pyftpdlib with the HASH command added (the server digests its copy) and without it (the
// client downloads the copy), for photos already on the server.
//
//   ftp_compare_bench [photos=20] [kB per photo=3000] [link kB/s=20]
//
// Prints the comparisons per second on this machine, and from the server's log the commands
// and the bytes downloaded per photo; then the time over a field link worked out from those
// counts (one round trip per command, plus the bytes over the link), which does not depend
// on this machine. The server's own digest time is part of the loopback figure only.
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

int Count(const std::string& text, const std::string& needle, size_t from) {
    int count = 0;
    for (size_t at = text.find(needle, from); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    const int photos = argc > 1 ? std::atoi(argv[1]) : 20;
    const int kilobytes = argc > 2 ? std::atoi(argv[2]) : 3000;
    const double link = (argc > 3 ? std::atof(argv[3]) : 20.0) * 1000.0;
    if (photos <= 0 || kilobytes <= 0 || link <= 0) {
        std::fprintf(stderr, "usage: %s [photos=20] [kB per photo=3000] [link kB/s=20]\n", argv[0]);
        return 2;
    }
    const std::string card = fixture::MakeTempDir("k5cmp-card-");
    std::string bytes(static_cast<size_t>(kilobytes) * 1024, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7919) >> 3);
    fixture::WriteFile(card + "/photo.jpg", bytes);
    const int fd = ::open((card + "/photo.jpg").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return 1;

    std::printf("%d photos of %d kB on pyftpdlib on loopback; link for the field time: %.0f kB/s\n", photos,
                kilobytes, link / 1000.0);
    int failures = 0;
    for (const char* digests : {"HASH", ""}) {
        fixture::FtpServer::Options options;
        options.digests = digests;
        fixture::FtpServer server(options);
        ::mkdir((server.root() + "/d").c_str(), 0755);
        for (int i = 0; i < photos; ++i) fixture::WriteFile(server.root() + "/d/" + std::to_string(i) + ".jpg", bytes);
        FTPClient ftp(server.user(), server.password(), "127.0.0.1", server.port());
        int64_t size = 0;
        if (!ftp.Stat("d/0.jpg", size).ok()) ++failures;  // the login is not the comparison's
        const size_t mark = server.log().size();
        std::string how;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < photos; ++i) {
            bool same = false;
            if (!ftp.Compare("d/" + std::to_string(i) + ".jpg", fd, static_cast<int64_t>(bytes.size()), same, how)
                     .ok() ||
                !same) {
                ++failures;
            }
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const std::string log = server.log();
        const double commands = static_cast<double>(Count(log, "] <- ", mark)) / photos;
        const double downloaded = static_cast<double>(Count(log, "] <- RETR ", mark)) * bytes.size() / photos;
        std::printf("%-9s %7.1f photos/s  %5.2f commands/photo  %8.0f kB downloaded/photo  field time/photo at",
                    how.c_str(), photos / seconds, commands, downloaded / 1024);
        for (const double rtt : {0.05, 0.3, 1.0}) {
            std::printf("  %4.0f ms: %6.1f s", rtt * 1000, commands * rtt + downloaded / link);
        }
        std::printf("\n");
    }
    ::close(fd);
    fixture::RemoveTree(card);
    return failures == 0 ? 0 : 1;
}
