// The uploader's session calls (Stat, Send, Rename) against real servers: plain FTP
// (pyftpdlib, throttled), FTPS with TLS session reuse required (vsftpd) and SFTP (sshd).
// Each scenario checks absent and present files, the resume of a partial temporary file,
// renaming, a refused file, and how many connections and commands ten photos cost.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include "ftp_servers.h"
#include "ftp_test_util.h"
#include "net/ftp.h"
#include "session_checks.h"

using fixture::ReadFile;
using fixture::WriteFile;
using Kind = FTPClient::Result::Kind;

namespace {

using ftptest::Count;
using ftptest::Is;

class Session : public ::testing::Test {
protected:
    Session() : local_(fixture::MakeTempDir("k5sess-local-")) {}
    ~Session() override {
        for (int fd : fds_) ::close(fd);
        fixture::RemoveTree(local_);
    }

    // A local photo of `size` random bytes, opened as the photo store opens it.
    int Photo(const std::string& name, size_t size, std::string& bytes) {
        bytes = ftptest::RandomBytes(size, static_cast<unsigned>(size));
        WriteFile(local_ + "/" + name, bytes);
        const int fd = ::open((local_ + "/" + name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) fds_.push_back(fd);
        return fd;
    }

    // Absent and present, resume of a partial temporary file, rename, a refused name, a
    // file shorter than announced. `partial` puts the first part of the temporary file on
    // the server (returns false when it could not).
    void Scenario(FTPClient& ftp, const std::string& root,
                  const std::function<bool(int fd, int64_t part, const std::string& temp)>& partial) {
        std::string photo;
        const int fd = Photo("1.jpg", 300 * 1024, photo);
        ASSERT_GE(fd, 0);
        int64_t size = -1;
        EXPECT_TRUE(Is(ftp.Stat("cam1/2026-12-08/1.jpg", size), Kind::Absent));  // no folder yet
        EXPECT_EQ(size, 0);

        const std::string temp = "cam1/2026-12-08/.1.jpg.part";
        ASSERT_TRUE(partial(fd, 100 * 1024, temp));
        ASSERT_TRUE(Is(ftp.Stat(temp, size), Kind::Ok));
        EXPECT_GT(size, 0);
        EXPECT_LT(size, static_cast<int64_t>(photo.size()));
        EXPECT_TRUE(Is(ftp.Send(fd, static_cast<int64_t>(photo.size()), size, temp), Kind::Ok));
        EXPECT_TRUE(Is(ftp.Rename(temp, "cam1/2026-12-08/1.jpg"), Kind::Ok));
        EXPECT_TRUE(Is(ftp.Stat("cam1/2026-12-08/1.jpg", size), Kind::Ok));
        EXPECT_EQ(size, static_cast<int64_t>(photo.size()));
        EXPECT_TRUE(ftptest::SameBytes(ReadFile(root + "/cam1/2026-12-08/1.jpg"), photo));
        EXPECT_FALSE(ftptest::Exists(root + "/" + temp));

        // A folder sitting under the photo's name: the server refuses this one file.
        ASSERT_EQ(::mkdir((root + "/cam1/2026-12-08/2.jpg").c_str(), 0777), 0);
        EXPECT_TRUE(Is(ftp.Send(fd, static_cast<int64_t>(photo.size()), 0, "cam1/2026-12-08/2.jpg"),
                       Kind::Refused));
        // Less on the card than announced: nothing is taken for a whole file.
        const FTPClient::Result shortRead =
            ftp.Send(fd, static_cast<int64_t>(photo.size()) + 10, 0, "cam1/2026-12-08/.3.jpg.part");
        EXPECT_TRUE(Is(shortRead, Kind::LocalError));
        EXPECT_NE(shortRead.message, "");
        // The connection is still good after the failures.
        EXPECT_TRUE(Is(ftp.Stat("cam1/2026-12-08/1.jpg", size), Kind::Ok));
    }

    // Ten photos of a backlog delivered the way the photo store does it, into a new folder;
    // the caller counts what they cost on the server.
    void Deliver10(FTPClient& ftp, const std::string& root) {
        ftp.SetProgressHandler([] { return true; });
        for (int i = 0; i < 10; ++i) {
            std::string photo;
            const std::string name = "p" + std::to_string(i) + ".jpg";
            const int fd = Photo(name, 8 * 1024 + static_cast<size_t>(i), photo);
            ASSERT_GE(fd, 0);
            const std::string final = "cam2/2026-12-09/" + name;
            const std::string temp = "cam2/2026-12-09/." + name + ".part";
            int64_t size = -1;
            ASSERT_TRUE(Is(ftp.Stat(final, size), Kind::Absent));
            ASSERT_TRUE(Is(ftp.Stat(temp, size), Kind::Absent));
            ASSERT_TRUE(Is(ftp.Send(fd, static_cast<int64_t>(photo.size()), 0, temp), Kind::Ok));
            ASSERT_TRUE(Is(ftp.Rename(temp, final), Kind::Ok));
            ASSERT_TRUE(Is(ftp.Stat(final, size), Kind::Ok));
            EXPECT_EQ(size, static_cast<int64_t>(photo.size()));
            EXPECT_TRUE(ftptest::SameBytes(ReadFile(root + "/" + final), photo));
            EXPECT_FALSE(ftptest::Exists(root + "/" + temp));
        }
    }

    std::string local_;
    std::vector<int> fds_;
};

}  // namespace

TEST_F(Session, PlainFtpResumesAnInterruptedUploadAndReusesOneConnection) {
    fixture::FtpServer server;
    FTPClient ftp(server.user(), server.password(), "127.0.0.1", server.port());

    Scenario(ftp, server.root(), [&](int fd, int64_t part, const std::string& temp) {
        // The caller's deadline passed: the transfer stops where it is.
        ftp.SetProgressHandler([] { return false; });
        EXPECT_TRUE(Is(ftp.Send(fd, 300 * 1024, 0, temp), Kind::Aborted));
        ftp.SetProgressHandler([] { return true; });
        return Is(ftp.Send(fd, part, 0, temp), Kind::Ok);
    });

    const size_t mark = server.log().size();
    {
        FTPClient drain(server.user(), server.password(), "127.0.0.1", server.port());
        Deliver10(drain, server.root());
    }
    const std::string log = server.log();
    const int connections = Count(log, "FTP session opened", mark);
    const int commands = Count(log, "] <- ", mark);  // the login's USER, PASS and PWD too
    EXPECT_LE(connections, 2) << log.substr(mark);
    EXPECT_LE(commands, 80) << log.substr(mark);
    std::cout << "plain FTP, 10 photos: " << connections << " control connection(s), "
              << commands / 10.0 << " commands per photo\n";

    // A server that is not there: the whole queue waits, not the photo.
    FTPClient down("u", "p", "127.0.0.1", fixture::FreeTcpPort());
    int64_t size = 0;
    EXPECT_TRUE(Is(down.Stat("x.jpg", size), Kind::ServerDown));
    FTPClient wrong(server.user(), "wrong", "127.0.0.1", server.port());
    EXPECT_TRUE(Is(wrong.Rename("a", "b"), Kind::ServerDown));
}

TEST_F(Session, FtpsWithTlsSessionReuseRequired) {
    fixture::FtpsServer server(fixture::FtpsServer::Mode::Explicit, true);
    FTPClient ftp(server.user(), server.password(), "ftpes://127.0.0.1", server.port(),
                  FTPClient::Trust{server.certFile(), ""});
    Scenario(ftp, server.root(), [&](int fd, int64_t part, const std::string& temp) {
        return Is(ftp.Send(fd, part, 0, temp), Kind::Ok);
    });

    const size_t mark = server.log().size();
    {
        FTPClient drain(server.user(), server.password(), "ftpes://127.0.0.1", server.port(),
                        FTPClient::Trust{server.certFile(), ""});
        Deliver10(drain, server.root());
    }
    const std::string log = server.log();
    const int connections = Count(log, "CONNECT: Client", mark);
    const int commands = Count(log, "FTP command: Client", mark);
    EXPECT_LE(connections, 2) << log.substr(mark);
    // Besides the TLS set-up (AUTH, PBSZ, PROT) at most 8 per photo.
    EXPECT_LE(commands - 3 * connections, 80) << log.substr(mark);
    std::cout << "FTPS, 10 photos: " << connections << " control connection(s), "
              << commands / 10.0 << " commands per photo, TLS set-up included\n";
}

TEST_F(Session, SftpResumesRenamesAndReusesOneConnection) {
    fixture::SftpServer server;
    WriteFile(local_ + "/known_hosts", server.knownHostsLine());
    FTPClient ftp(server.user(), server.password(), "sftp://127.0.0.1" + server.root(),
                  server.port(), FTPClient::Trust{"", local_ + "/known_hosts"});
    Scenario(ftp, server.root(), [&](int fd, int64_t part, const std::string& temp) {
        return Is(ftp.Send(fd, part, 0, temp), Kind::Ok);
    });
    // OpenSSH refuses to rename onto an existing file.
    std::string photo;
    const int fd = Photo("x.jpg", 1000, photo);
    ASSERT_TRUE(Is(ftp.Send(fd, 1000, 0, "cam1/2026-12-08/.x.part"), Kind::Ok));
    EXPECT_TRUE(Is(ftp.Rename("cam1/2026-12-08/.x.part", "cam1/2026-12-08/1.jpg"), Kind::Refused));

    const size_t mark = server.log().size();
    {
        FTPClient drain(server.user(), server.password(), "sftp://127.0.0.1" + server.root(),
                        server.port(), FTPClient::Trust{"", local_ + "/known_hosts"});
        Deliver10(drain, server.root());
    }
    const std::string log = server.log();
    const int connections = Count(log, "Accepted password for", mark);
    EXPECT_GE(connections, 1) << log.substr(mark);
    EXPECT_LE(connections, 2) << log.substr(mark);
}
