// A session the server dropped is logged in again at once (vsftpd with a short idle timeout,
// FTPS with TLS session reuse required), and a stop cuts a name lookup whose name server never
// answers (in a network and mount namespace of the test's own).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "ftp_servers.h"
#include "ftp_test_util.h"
#include "net/ftp.h"
#include "session_checks.h"

using fixture::ReadFile;
using fixture::WriteFile;
using Kind = FTPClient::Result::Kind;
using namespace std::chrono_literals;

namespace {

using ftptest::Count;
using ftptest::Is;

// In a child made for it: its own network (only lo, a name server on 127.0.0.1:53 that reads
// and never answers) and its own /etc/resolv.conf. A session call to a name has its stop
// asked after about a second. Returns the exit code (0: as it should be) and writes what it
// saw to `out`.
int LookupThatNeverEnds(const std::string& resolvConf, int out) {
    auto say = [out](const std::string& text) {
        const ssize_t written = ::write(out, text.data(), text.size());
        (void)written;
    };
    if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) return say("unshare failed"), 10;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return say("private mounts failed"), 11;
    if (::mount(resolvConf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0) {
        return say("bind mount over /etc/resolv.conf failed"), 12;
    }
    const int control = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq lo{};
    std::strcpy(lo.ifr_name, "lo");
    if (control < 0 || ::ioctl(control, SIOCGIFFLAGS, &lo) != 0) return say("no lo"), 13;
    lo.ifr_flags = static_cast<short>(lo.ifr_flags | IFF_UP);
    if (::ioctl(control, SIOCSIFFLAGS, &lo) != 0) return say("lo stays down"), 13;
    const int dns = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (dns < 0 || ::bind(dns, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        return say("no name server socket"), 14;
    }
    std::thread([dns] {
        char query[512];
        while (::recv(dns, query, sizeof(query), 0) >= 0) {
        }
    }).detach();

    const auto start = std::chrono::steady_clock::now();
    FTPClient::Result result;
    std::chrono::steady_clock::duration call{};
    std::chrono::steady_clock::duration cleanup{};
    {
        FTPClient ftp("u", "p", "photos.k5test", 2121);
        ftp.SetProgressHandler([&] { return std::chrono::steady_clock::now() - start < 1s; });
        int64_t size = 0;
        result = ftp.Stat("x.jpg", size);
        call = std::chrono::steady_clock::now() - start;
    }
    cleanup = std::chrono::steady_clock::now() - start - call;
    say(std::string(FTPClient::KindName(result.kind)) + " after " +
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(call).count()) +
        " ms, destroyed in " +
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(cleanup).count()) + " ms");
    if (result.kind != Kind::Aborted) return 2;
    // The name server is asked for 30 s a try: anything near that is libcurl's own resolver.
    if (call > 10s || cleanup > 5s) return 3;
    return 0;
}

}  // namespace

TEST(FtpRecovery, TheNameIsResolvedForLibcurlAndAStopCutsALookupThatNeverEnds) {
    {
        // A name that resolves: libcurl connects to the addresses it is handed.
        fixture::FtpServer server;
        FTPClient ftp(server.user(), server.password(), "localhost", server.port());
        int64_t size = -1;
        EXPECT_TRUE(Is(ftp.Stat("x.jpg", size), Kind::Absent));
    }
    const std::string dir = fixture::MakeTempDir("k5rec-dns-");
    WriteFile(dir + "/resolv.conf", "nameserver 127.0.0.1\noptions timeout:30 attempts:2\n");
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeFds[0]);
        ::_exit(LookupThatNeverEnds(dir + "/resolv.conf", pipeFds[1]));
    }
    ::close(pipeFds[1]);
    int status = 0;
    const bool ended = fixture::WaitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 60s);
    if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    std::string seen;
    char buffer[256];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof(buffer))) > 0;)
        seen.append(buffer, static_cast<size_t>(n));
    ::close(pipeFds[0]);
    fixture::RemoveTree(dir);
    ASSERT_TRUE(ended) << "the call or its cleanup hung: " << seen;
    ASSERT_TRUE(WIFEXITED(status)) << seen;
    EXPECT_EQ(WEXITSTATUS(status), 0) << seen;
    std::cout << "hanging name lookup: " << seen << "\n";
}

TEST(FtpRecovery, ASessionTheServerDroppedIsLoggedInAgainOnce) {
    fixture::FtpsServer server(fixture::FtpsServer::Mode::Explicit, true, 2);
    FTPClient ftp(server.user(), server.password(), "ftpes://127.0.0.1", server.port(),
                  FTPClient::Trust{server.certFile(), ""});
    const std::string local = fixture::MakeTempDir("k5rec-local-");
    const std::string photo = ftptest::RandomBytes(64 * 1024, 3);
    WriteFile(local + "/p.jpg", photo);
    const int fd = ::open((local + "/p.jpg").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const int64_t size = static_cast<int64_t>(photo.size());
    auto logins = [&] { return Count(server.log(), "OK LOGIN"); };
    // The server's idle timeout ended the session number `n`.
    auto dropped = [&](int n) {
        return fixture::WaitFor([&] { return Count(server.log(), "Control connection terminated") >= n; },
                                30s);
    };

    ASSERT_TRUE(Is(ftp.Send(fd, size, 0, "d/.p.jpg.part"), Kind::Ok));
    EXPECT_EQ(logins(), 1);

    // Each kind of call after a drop: a question, a transfer, a command.
    ASSERT_TRUE(dropped(1)) << server.log();
    int64_t remoteSize = -1;
    EXPECT_TRUE(Is(ftp.Stat("d/.p.jpg.part", remoteSize), Kind::Ok));
    EXPECT_EQ(remoteSize, size);
    EXPECT_EQ(logins(), 2);

    ASSERT_TRUE(dropped(2)) << server.log();
    EXPECT_TRUE(Is(ftp.Send(fd, size, 0, "d/.q.jpg.part"), Kind::Ok));
    EXPECT_TRUE(ftptest::SameBytes(ReadFile(server.root() + "/d/.q.jpg.part"), photo));
    EXPECT_EQ(logins(), 3);

    ASSERT_TRUE(dropped(3)) << server.log();
    EXPECT_TRUE(Is(ftp.Rename("d/.q.jpg.part", "d/q.jpg"), Kind::Ok));
    EXPECT_TRUE(ftptest::Exists(server.root() + "/d/q.jpg"));
    EXPECT_EQ(logins(), 4);

    ASSERT_TRUE(dropped(4)) << server.log();
    bool same = false;
    std::string how;
    EXPECT_TRUE(Is(ftp.Compare("d/q.jpg", fd, size, same, how), Kind::Ok));
    EXPECT_TRUE(same);
    EXPECT_EQ(logins(), 5);
    ::close(fd);
    fixture::RemoveTree(local);
}
