// The daemon's photo uploader with the server's scheme choosing the protocol: FTPS (implicit
// and explicit TLS, vsftpd) verified against a CA file, SFTP (sshd) verified against a known
// hosts file, and credentials that never show in a log line.
#include <gtest/gtest.h>

#include "ftp_servers.h"
#include "ftp_test_util.h"
#include "net/ftp.h"
#include "pki.h"

using fixture::ReadFile;
using fixture::WriteFile;

namespace {

class SecureUploader : public ::testing::Test {
protected:
    SecureUploader() : local_(fixture::MakeTempDir("k5sup-local-")) {
        WriteFile(local("p.jpg"), photo_);
    }
    ~SecureUploader() override { fixture::RemoveTree(local_); }
    std::string local(const std::string& name) const { return local_ + "/" + name; }

    // Uploads p.jpg to `remote`; the log lines written meanwhile in `log`.
    bool Upload(const std::string& user, const std::string& password, const std::string& host,
                int port, const FTPClient::Trust& trust, const std::string& remote,
                std::string& log) {
        testing::internal::CaptureStderr();
        bool ok = false;
        {
            FTPClient uploader(user, password, host, port, trust);
            ok = uploader.Upload(local("p.jpg"), remote);
        }
        log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(log.find(password), std::string::npos) << log;
        return ok;
    }

    std::string local_;
    const std::string photo_ = ftptest::RandomBytes(120 * 1024, 21);
};

bool Refused(const std::string& log, const std::string& why) {
    return log.find("[ERROR][../src/net/ftp:") != std::string::npos &&
           log.find(why) != std::string::npos;
}

}  // namespace

TEST_F(SecureUploader, FtpsVerifiesTheServerCertificate) {
    fixture::TestPki stranger("stranger CA");
    for (auto mode : {fixture::FtpsServer::Mode::Implicit, fixture::FtpsServer::Mode::Explicit}) {
        fixture::FtpsServer server(mode);
        const std::string host =
            mode == fixture::FtpsServer::Mode::Implicit ? "ftps://127.0.0.1" : "ftpes://127.0.0.1";
        std::string log;
        EXPECT_TRUE(Upload(server.user(), server.password(), host, server.port(),
                           FTPClient::Trust{server.certFile(), ""}, "photo/2026/p.jpg", log))
            << host << "\n" << log << server.log();
        EXPECT_EQ(log, "") << host;
        EXPECT_TRUE(ftptest::SameBytes(ReadFile(server.root() + "/photo/2026/p.jpg"), photo_)) << host;

        for (const std::string& ca : {stranger.caFile(), std::string()}) {  // and the system store
            EXPECT_FALSE(Upload(server.user(), server.password(), host, server.port(),
                                FTPClient::Trust{ca, ""}, "refused.jpg", log));
            EXPECT_TRUE(Refused(log, "Photo server not trusted, upload refused: ")) << host << log;
            EXPECT_FALSE(ftptest::Exists(server.root() + "/refused.jpg"));
        }
    }

    // Explicit TLS is required: a server without AUTH TLS gets no login in clear.
    fixture::FtpServer plain;
    std::string log;
    EXPECT_FALSE(Upload(plain.user(), plain.password(), "ftpes://127.0.0.1", plain.port(),
                        FTPClient::Trust{stranger.caFile(), ""}, "plain.jpg", log));
    EXPECT_TRUE(Refused(log, "Photo server not trusted")) << log;
    EXPECT_EQ(plain.log().find("PASS"), std::string::npos) << plain.log();
    EXPECT_FALSE(ftptest::Exists(plain.root() + "/plain.jpg"));
}

TEST_F(SecureUploader, SftpNeedsTheServersHostKeyInKnownHosts) {
    fixture::SftpServer server;
    fixture::SftpServer other;
    // Another server's key for the same address but another port, then the right one.
    const std::string otherKey = other.knownHostsLine().substr(other.knownHostsLine().find(' '));
    const std::string host = "sftp://127.0.0.1" + server.root();
    const std::string known = local("known_hosts");
    WriteFile(known, "[127.0.0.1]:1" + otherKey + server.knownHostsLine());
    std::string log;
    EXPECT_TRUE(Upload(server.user(), server.password(), host, server.port(),
                       FTPClient::Trust{"", known}, "photo/1/p.jpg", log))
        << log << server.log();
    EXPECT_EQ(log, "");
    EXPECT_TRUE(ftptest::SameBytes(ReadFile(server.root() + "/photo/1/p.jpg"), photo_));

    // The same address with another key: the server changed, or someone sits in between.
    WriteFile(local("changed"), "[127.0.0.1]:" + std::to_string(server.port()) + otherKey);
    EXPECT_FALSE(Upload(server.user(), server.password(), host, server.port(),
                        FTPClient::Trust{"", local("changed")}, "photo/2/p.jpg", log));
    EXPECT_TRUE(Refused(log, "differs from the one in the known hosts file " + local("changed"))) << log;

    WriteFile(local("unknown"), other.knownHostsLine());
    EXPECT_FALSE(Upload(server.user(), server.password(), host, server.port(),
                        FTPClient::Trust{"", local("unknown")}, "photo/3/p.jpg", log));
    EXPECT_TRUE(Refused(log, "is not in the known hosts file " + local("unknown"))) << log;

    EXPECT_FALSE(Upload(server.user(), server.password(), host, server.port(), FTPClient::Trust{},
                        "photo/4/p.jpg", log));
    EXPECT_TRUE(Refused(log, "no ftp_photo.known_hosts")) << log;
    for (const char* dir : {"/photo/2", "/photo/3", "/photo/4"}) {
        EXPECT_FALSE(ftptest::Exists(server.root() + dir)) << dir;
    }
}

TEST_F(SecureUploader, ColonInTheUserNameIsPartOfTheName) {
    fixture::FtpServer::Options options;
    options.user = "site:cam1";
    fixture::FtpServer server(options);
    std::string log;
    EXPECT_TRUE(Upload(server.user(), server.password(), "ftp://127.0.0.1", server.port(),
                       FTPClient::Trust{}, "c.jpg", log))
        << log << server.log();
    EXPECT_TRUE(ftptest::SameBytes(ReadFile(server.root() + "/c.jpg"), photo_));
}
