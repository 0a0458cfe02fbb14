// Identity by content against real servers: the server's digest where FEAT offers one
// (pyftpdlib with HASH or XSHA256 added), a download elsewhere (plain pyftpdlib, sshd). Same
// bytes, same size with other bytes, a longer file and an absent one; FEAT asked once, and
// never on the normal path of a photo.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ftp_servers.h"
#include "ftp_test_util.h"
#include "net/ftp.h"
#include "session_checks.h"

using fixture::WriteFile;
using Kind = FTPClient::Result::Kind;

namespace {

using ftptest::Count;
using ftptest::Is;

class FtpCompare : public ::testing::Test {
protected:
    FtpCompare() : local_(fixture::MakeTempDir("k5cmp-local-")) {
        photo_ = ftptest::RandomBytes(200 * 1024, 11);
        WriteFile(local_ + "/a.jpg", photo_);
        fd_ = ::open((local_ + "/a.jpg").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    }
    ~FtpCompare() override {
        if (fd_ >= 0) ::close(fd_);
        fixture::RemoveTree(local_);
    }

    // Delivers the photo the normal way, puts its look-alikes beside it and compares each.
    // `log` is the server's log, `expected` the way Compare must take.
    void Scenario(FTPClient& ftp, const std::string& root, const std::function<std::string()>& log,
                  const std::string& expected) {
        ASSERT_GE(fd_, 0);
        const int64_t size = static_cast<int64_t>(photo_.size());
        int64_t remoteSize = -1;
        ASSERT_TRUE(Is(ftp.Stat("d/a.jpg", remoteSize), Kind::Absent));
        ASSERT_TRUE(Is(ftp.Send(fd_, size, 0, "d/.a.jpg.part"), Kind::Ok));
        ASSERT_TRUE(Is(ftp.Rename("d/.a.jpg.part", "d/a.jpg"), Kind::Ok));
        EXPECT_EQ(Count(log(), "FEAT"), 0) << "the normal path asks no features";

        std::string other = photo_;
        other[10] = static_cast<char>(other[10] ^ 0x55);
        WriteFile(root + "/d/other.jpg", other);
        WriteFile(root + "/d/longer.jpg", photo_ + "x");

        struct Case {
            const char* name;
            Kind kind;
            bool same;
        };
        // The same file again last: a difference found by a download cut the connection.
        for (const Case& c : {Case{"d/a.jpg", Kind::Ok, true}, Case{"d/other.jpg", Kind::Ok, false},
                              Case{"d/longer.jpg", Kind::Ok, false}, Case{"d/none.jpg", Kind::Absent, false},
                              Case{"d/a.jpg", Kind::Ok, true}}) {
            SCOPED_TRACE(c.name);
            bool same = !c.same;
            std::string how;
            EXPECT_TRUE(Is(ftp.Compare(c.name, fd_, size, same, how), c.kind));
            EXPECT_EQ(same, c.same);
            // An absent file has no digest: the download's SIZE finds it missing.
            EXPECT_EQ(how, c.kind == Kind::Absent ? "download" : expected);
        }
        // Only the first bytes of the local file count.
        bool same = true;
        std::string how;
        EXPECT_TRUE(Is(ftp.Compare("d/a.jpg", fd_, size - 1, same, how), Kind::Ok));
        EXPECT_FALSE(same);
    }

    std::string local_;
    std::string photo_;
    int fd_ = -1;
};

}  // namespace

TEST_F(FtpCompare, ByTheServersDigestWhereOfferedOtherwiseByDownload) {
    for (const std::string digests : {"HASH", "XSHA256 HASH", "XSHA256", ""}) {
        SCOPED_TRACE("digests: " + digests);
        fixture::FtpServer::Options options;
        options.digests = digests;
        fixture::FtpServer server(options);
        FTPClient ftp(server.user(), server.password(), "127.0.0.1", server.port());
        const std::string expected = digests.empty()                             ? "download"
                                     : digests.find("HASH") != std::string::npos ? "HASH"
                                                                                 : "XSHA256";
        Scenario(
            ftp, server.root(), [&] { return server.log(); }, expected);

        const std::string log = server.log();
        EXPECT_EQ(Count(log, "<- FEAT"), 1) << log;
        if (digests.empty()) {
            // The same file twice and the other one; SIZE tells a longer file without it.
            EXPECT_EQ(Count(log, "<- RETR"), 3) << log;
        } else {
            EXPECT_EQ(Count(log, "<- RETR"), 0) << log;
            EXPECT_EQ(Count(log, "<- " + expected + " "), 6) << log;
        }
        if (expected == "HASH") {
            // The server's first choice is SHA-1: SHA-256 is picked once for the connection.
            EXPECT_EQ(Count(log, "<- OPTS HASH SHA-256"), 1) << log;
        }
    }

    fixture::SftpServer sftp;
    WriteFile(local_ + "/known_hosts", sftp.knownHostsLine());
    FTPClient ftp(sftp.user(), sftp.password(), "sftp://127.0.0.1" + sftp.root(), sftp.port(),
                  FTPClient::Trust{"", local_ + "/known_hosts"});
    Scenario(
        ftp, sftp.root(), [] { return std::string(); }, "download");
}
