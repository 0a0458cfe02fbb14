// FTPS (explicit and implicit TLS, vsftpd) and SFTP (OpenSSH's sshd) on loopback.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "ftp_servers.h"
#include "ftp_test_util.h"

using tarnwick::CFTPClient;
using ftptest::Exists;
using ftptest::LogSink;
using fixture::ReadFile;
using fixture::WriteFile;

namespace {

class Secure : public ::testing::Test {
protected:
    Secure() : local_(fixture::MakeTempDir("k5sec-local-")) {}
    ~Secure() override { fixture::RemoveTree(local_); }
    std::string local(const std::string& name) const { return local_ + "/" + name; }

    std::string local_;
    LogSink sink_;
};

// Runs a command line for the test's own setup; fails the test when it fails.
void Shell(const std::string& command, const std::string& logFile) {
    fixture::Process process({"/bin/sh", "-c", command}, logFile);
    int status = 0;
    ASSERT_TRUE(process.wait(std::chrono::seconds(30), &status)) << command;
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command << "\n" << ReadFile(logFile);
}

}  // namespace

TEST_F(Secure, ExplicitTlsUploadAndFurtherOperations) {
    fixture::FtpsServer server(fixture::FtpsServer::Mode::Explicit);
    const std::string data = ftptest::RandomBytes(150 * 1024, 11);
    WriteFile(local("p.jpg"), data);

    CFTPClient client(sink_.callback());
    ASSERT_TRUE(client.InitSession("127.0.0.1", static_cast<unsigned>(server.port()), server.user(),
                                   server.password(), CFTPClient::FTP_EXPLICIT_TLS,
                                   CFTPClient::LOG_ERRORS));
    client.SetConnectTimeout(10);
    client.SetTimeout(60);

    // The certificate is self-signed: verified, the handshake fails.
    EXPECT_FALSE(client.UploadFile(local("p.jpg"), "a/b/p.jpg", true));
    EXPECT_TRUE(sink_.hasPrefix("[FTPClient][Error] Unable to upload file " + local("p.jpg") +
                                " (Error = 60 | "))
        << sink_.all();

    client.SetInsecure(true);
    EXPECT_TRUE(client.UploadFile(local("p.jpg"), "a/b/p.jpg", true)) << sink_.all() << server.log();
    EXPECT_TRUE(ftptest::SameBytes(ReadFile(server.root() + "/a/b/p.jpg"), data));

    std::vector<char> memory;
    EXPECT_TRUE(client.DownloadFile("a/b/p.jpg", memory)) << sink_.all();
    EXPECT_TRUE(ftptest::SameBytes(std::string(memory.begin(), memory.end()), data));
    std::string listing;
    EXPECT_TRUE(client.List("a/b/", listing)) << sink_.all();
    EXPECT_NE(listing.find("p.jpg"), std::string::npos) << listing;
    CFTPClient::FileInfo info{};
    EXPECT_TRUE(client.Info("a/b/p.jpg", info)) << sink_.all();
    EXPECT_EQ(info.dFileSize, static_cast<double>(data.size()));
    EXPECT_GT(info.tFileMTime, 1700000000);
    EXPECT_TRUE(client.CreateDir("a/c")) << sink_.all();
    EXPECT_TRUE(std::filesystem::is_directory(server.root() + "/a/c"));
    // Under a temporary name (RNFR/RNTO), over the copy now there: in place only once complete,
    // no temporary file left; a temporary name in another folder is refused.
    const std::string newer = ftptest::RandomBytes(160 * 1024, 22);
    WriteFile(local("n.jpg"), newer);
    EXPECT_TRUE(client.UploadFileAs(local("n.jpg"), "a/b/p.jpg", ".p.jpg.part", true))
        << sink_.all() << server.log();
    EXPECT_TRUE(ftptest::SameBytes(ReadFile(server.root() + "/a/b/p.jpg"), newer));
    EXPECT_FALSE(Exists(server.root() + "/a/b/.p.jpg.part"));
    EXPECT_FALSE(client.UploadFileAs(local("n.jpg"), "a/b/q.jpg", "sub/.q.part", true));
    EXPECT_TRUE(sink_.hasPrefix("[FTPClient][Error] Invalid temporary name")) << sink_.all();
    EXPECT_TRUE(client.RemoveFile("a/b/p.jpg")) << sink_.all();
    EXPECT_FALSE(Exists(server.root() + "/a/b/p.jpg"));
    EXPECT_TRUE(client.CleanupSession());

    // Plain FTP to the same server: it insists on TLS for logins.
    CFTPClient plain(sink_.callback());
    ASSERT_TRUE(plain.InitSession("127.0.0.1", static_cast<unsigned>(server.port()), server.user(),
                                  server.password(), CFTPClient::FTP, CFTPClient::LOG_ERRORS));
    EXPECT_FALSE(plain.UploadFile(local("p.jpg"), "plain.jpg", true));
    EXPECT_FALSE(Exists(server.root() + "/plain.jpg"));
    EXPECT_TRUE(plain.CleanupSession());
}

TEST_F(Secure, ImplicitTlsUpload) {
    fixture::FtpsServer server(fixture::FtpsServer::Mode::Implicit);
    const std::string data = ftptest::RandomBytes(100 * 1024, 12);
    WriteFile(local("p.jpg"), data);

    CFTPClient client(sink_.callback());
    ASSERT_TRUE(client.InitSession("127.0.0.1", static_cast<unsigned>(server.port()), server.user(),
                                   server.password(), CFTPClient::FTPS, CFTPClient::LOG_ERRORS));
    client.SetConnectTimeout(10);
    client.SetTimeout(60);
    client.SetInsecure(true);
    EXPECT_TRUE(client.UploadFile(local("p.jpg"), "x/y z/p.jpg", true)) << sink_.all() << server.log();
    EXPECT_TRUE(ftptest::SameBytes(ReadFile(server.root() + "/x/y z/p.jpg"), data));
    EXPECT_TRUE(client.DownloadFile(local("back.jpg"), "x/y z/p.jpg")) << sink_.all();
    EXPECT_TRUE(ftptest::SameBytes(ReadFile(local("back.jpg")), data));

    CFTPClient wrong(sink_.callback());
    ASSERT_TRUE(wrong.InitSession("127.0.0.1", static_cast<unsigned>(server.port()), server.user(),
                                  "wrong", CFTPClient::FTPS, CFTPClient::LOG_ERRORS));
    wrong.SetInsecure(true);
    EXPECT_FALSE(wrong.UploadFile(local("p.jpg"), "w.jpg", true));
    EXPECT_TRUE(sink_.hasPrefix("[FTPClient][Error] Unable to upload file " + local("p.jpg") +
                                " (Error = 67 | "))
        << sink_.all();
    EXPECT_TRUE(wrong.CleanupSession());
    EXPECT_TRUE(client.CleanupSession());
}

TEST_F(Secure, SftpUploadAndFurtherOperations) {
    fixture::SftpServer server;
    const std::string data = ftptest::RandomBytes(180 * 1024, 13);
    WriteFile(local("p.jpg"), data);

    // SFTP paths are absolute: the server string carries the directory.
    CFTPClient client(sink_.callback());
    ASSERT_TRUE(client.InitSession("127.0.0.1" + server.root(), static_cast<unsigned>(server.port()),
                                   server.user(), server.password(), CFTPClient::SFTP,
                                   CFTPClient::LOG_ERRORS));
    client.SetConnectTimeout(10);
    client.SetTimeout(60);
    EXPECT_TRUE(client.UploadFile(local("p.jpg"), "cam 1/d/p.jpg", true)) << sink_.all() << server.log();
    EXPECT_TRUE(ftptest::SameBytes(ReadFile(server.root() + "/cam 1/d/p.jpg"), data));

    EXPECT_TRUE(client.DownloadFile(local("back.jpg"), "cam 1/d/p.jpg")) << sink_.all();
    EXPECT_TRUE(ftptest::SameBytes(ReadFile(local("back.jpg")), data));
    std::string listing;
    EXPECT_TRUE(client.List("cam 1/d/", listing)) << sink_.all();
    EXPECT_NE(listing.find("p.jpg"), std::string::npos) << listing;
    CFTPClient::FileInfo info{};
    EXPECT_TRUE(client.Info("cam 1/d/p.jpg", info)) << sink_.all();
    EXPECT_EQ(info.dFileSize, static_cast<double>(data.size()));

    // Under a temporary name, as a new file and over the copy now there (the server would refuse
    // a plain rename onto it): in place only once complete, no temporary file left.
    const std::string newer = ftptest::RandomBytes(160 * 1024, 22);
    WriteFile(local("n.jpg"), newer);
    EXPECT_TRUE(client.UploadFileAs(local("n.jpg"), "cam 1/d/n.jpg", ".n.jpg.part", true)) << sink_.all();
    EXPECT_TRUE(client.UploadFileAs(local("n.jpg"), "cam 1/d/p.jpg", ".p.jpg.part", true))
        << sink_.all() << server.log();
    EXPECT_TRUE(ftptest::SameBytes(ReadFile(server.root() + "/cam 1/d/n.jpg"), newer));
    EXPECT_TRUE(ftptest::SameBytes(ReadFile(server.root() + "/cam 1/d/p.jpg"), newer));
    EXPECT_FALSE(Exists(server.root() + "/cam 1/d/.p.jpg.part"));

    // Commands name absolute paths over SFTP.
    EXPECT_TRUE(client.CreateDir(server.root() + "/made")) << sink_.all();
    EXPECT_TRUE(std::filesystem::is_directory(server.root() + "/made"));
    EXPECT_TRUE(client.RemoveDir(server.root() + "/made")) << sink_.all();
    EXPECT_FALSE(Exists(server.root() + "/made"));
    EXPECT_TRUE(client.RemoveFile(server.root() + "/cam 1/d/p.jpg")) << sink_.all();
    EXPECT_FALSE(Exists(server.root() + "/cam 1/d/p.jpg"));
    EXPECT_FALSE(client.RemoveFile(server.root() + "/cam 1/d/p.jpg"));
    EXPECT_TRUE(sink_.hasPrefix("[FTPClient][Error] Unable to remove file " + server.root() +
                                "/cam 1/d/p.jpg (Error = "))
        << sink_.all();
    EXPECT_TRUE(client.CleanupSession());

    CFTPClient wrong(sink_.callback());
    ASSERT_TRUE(wrong.InitSession("127.0.0.1" + server.root(), static_cast<unsigned>(server.port()),
                                  server.user(), "wrong", CFTPClient::SFTP, CFTPClient::LOG_ERRORS));
    wrong.SetConnectTimeout(10);
    EXPECT_FALSE(wrong.UploadFile(local("p.jpg"), "w.jpg", true));
    EXPECT_TRUE(sink_.hasPrefix("[FTPClient][Error] Unable to upload file " + local("p.jpg") +
                                " (Error = 67 | "))
        << sink_.all();
    EXPECT_TRUE(wrong.CleanupSession());
}

TEST_F(Secure, SftpAgentAuthentication) {
    fixture::SftpServer server;
    const std::string keys = fixture::MakeTempDir("k5sec-agent-");
    Shell("ssh-keygen -q -t ed25519 -N '' -C k5test -f '" + keys + "/id'", keys + "/keygen.log");
    const std::string socket = keys + "/agent.sock";
    fixture::Process agent({"ssh-agent", "-D", "-a", socket}, keys + "/agent.log");
    ASSERT_TRUE(fixture::WaitFor([&] { return Exists(socket); }, std::chrono::seconds(10)));
    Shell("SSH_AUTH_SOCK='" + socket + "' ssh-add '" + keys + "/id'", keys + "/add.log");
    server.authorizeKey(ReadFile(keys + "/id.pub"));
    ::setenv("SSH_AUTH_SOCK", socket.c_str(), 1);

    WriteFile(local("p.jpg"), "agent");
    CFTPClient client(sink_.callback());
    // The password is wrong on purpose: only the agent's key can log in.
    ASSERT_TRUE(client.InitSession("127.0.0.1" + server.root(), static_cast<unsigned>(server.port()),
                                   server.user(), "not used",  CFTPClient::SFTP,
                                   CFTPClient::LOG_ERRORS | CFTPClient::SSH_AGENT_AUTH));
    client.SetConnectTimeout(10);
    client.SetTimeout(60);
    EXPECT_TRUE(client.UploadFile(local("p.jpg"), "agent/p.jpg", true)) << sink_.all() << server.log();
    EXPECT_EQ(ReadFile(server.root() + "/agent/p.jpg"), "agent");
    EXPECT_TRUE(client.CleanupSession());

    // An agent without the key gets nowhere.
    Shell("SSH_AUTH_SOCK='" + socket + "' ssh-add -D", keys + "/del.log");
    CFTPClient denied(sink_.callback());
    ASSERT_TRUE(denied.InitSession("127.0.0.1" + server.root(), static_cast<unsigned>(server.port()),
                                   server.user(), server.password(), CFTPClient::SFTP,
                                   CFTPClient::LOG_ERRORS | CFTPClient::SSH_AGENT_AUTH));
    denied.SetConnectTimeout(10);
    EXPECT_FALSE(denied.UploadFile(local("p.jpg"), "agent/q.jpg", true));
    EXPECT_FALSE(Exists(server.root() + "/agent/q.jpg"));
    EXPECT_TRUE(denied.CleanupSession());
    ::unsetenv("SSH_AUTH_SOCK");
    fixture::RemoveTree(keys);
}
