// The daemon's one-shot photo uploader against a real plain-FTP server; its log lines are
// read from the captured standard error stream.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <vector>

#include "ftp_servers.h"
#include "ftp_test_util.h"
#include "net/ftp.h"

using fixture::ReadFile;
using fixture::WriteFile;

namespace {

// The lines written by the uploader's log callback, checked against the expected
// messages: "[DEBUG][../src/net/ftp:<line>] operator()(): <message>" (the logger prints the
// function name and then "(): ").
::testing::AssertionResult LogLinesAre(const std::string& log,
                                       const std::vector<std::string>& messages) {
    std::vector<std::string> lines;
    size_t begin = 0;
    for (size_t end = log.find('\n'); end != std::string::npos; end = log.find('\n', begin)) {
        lines.push_back(log.substr(begin, end - begin));
        begin = end + 1;
    }
    if (begin != log.size()) return ::testing::AssertionFailure() << "unterminated line: " << log;
    if (lines.size() != messages.size()) {
        return ::testing::AssertionFailure() << lines.size() << " lines instead of "
                                             << messages.size() << ":\n" << log;
    }
    const std::string head = "[DEBUG][../src/net/ftp:";
    const std::string tail = "] operator()(): ";
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        size_t digits = head.size();
        while (digits < line.size() && std::isdigit(static_cast<unsigned char>(line[digits]))) ++digits;
        if (line.compare(0, head.size(), head) != 0 || digits == head.size() ||
            line.compare(digits, tail.size(), tail) != 0 ||
            line.substr(digits + tail.size()) != messages[i]) {
            return ::testing::AssertionFailure() << "line " << i << " is\n  " << line
                                                 << "\nexpected message\n  " << messages[i];
        }
    }
    return ::testing::AssertionSuccess();
}

class Uploader : public ::testing::Test {
protected:
    Uploader() : local_(fixture::MakeTempDir("k5up-local-")) {}
    ~Uploader() override { fixture::RemoveTree(local_); }
    std::string local(const std::string& name) const { return local_ + "/" + name; }

    fixture::FtpServer server_;
    std::string local_;
};

}  // namespace

TEST_F(Uploader, UploadsIntoNewDirectoriesWithoutALogLine) {
    const std::string photo = ftptest::RandomBytes(200 * 1024);
    WriteFile(local("1.jpg"), photo);
    testing::internal::CaptureStderr();
    bool ok = false;
    {
        FTPClient uploader(server_.user(), server_.password(), "127.0.0.1", server_.port());
        ok = uploader.Upload(local("1.jpg"), "cam1/2026-12-08/1.jpg");
    }
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(ok) << log;
    EXPECT_EQ(log, "");
    EXPECT_TRUE(ftptest::SameBytes(ReadFile(server_.root() + "/cam1/2026-12-08/1.jpg"), photo));
    // Sent under a temporary name and renamed into place: nothing else is left.
    EXPECT_FALSE(ftptest::Exists(server_.root() + "/cam1/2026-12-08/.1.jpg.part"));
    EXPECT_TRUE(ftptest::SameBytes(ReadFile(local("1.jpg")), photo));  // the photo stays on the card
}

TEST_F(Uploader, PortZeroMeansTheUrlOrDefaultPort) {
    WriteFile(local("2.jpg"), "two");
    FTPClient uploader(server_.user(), server_.password(),
                       "127.0.0.1:" + std::to_string(server_.port()), 0);
    EXPECT_TRUE(uploader.Upload(local("2.jpg"), "2.jpg"));
    EXPECT_EQ(ReadFile(server_.root() + "/2.jpg"), "two");
}

TEST_F(Uploader, BoundsEveryWait) {
    FTPClient uploader("u", "p", "127.0.0.1", server_.port());
    EXPECT_EQ(uploader.client().GetTimeout(), 5000);
    EXPECT_EQ(uploader.client().GetConnectTimeout(), 30);
    EXPECT_EQ(uploader.client().GetLowSpeedLimit(), 1024);
    EXPECT_EQ(uploader.client().GetLowSpeedTime(), 30);
    EXPECT_EQ(uploader.client().GetProtocol(), tarnwick::CFTPClient::FTP);
    EXPECT_EQ(uploader.client().GetSettingsFlags(), tarnwick::CFTPClient::LOG_ERRORS);
}

TEST_F(Uploader, FailuresBecomeDebugLines) {
    WriteFile(local("3.jpg"), "three");
    ::mkdir(local("dir.jpg").c_str(), 0755);
    testing::internal::CaptureStderr();
    bool wrongPassword = true, missing = true, unreadable = true, empty = true;
    {
        FTPClient uploader(server_.user(), "wrong", "127.0.0.1", server_.port());
        wrongPassword = uploader.Upload(local("3.jpg"), "3.jpg");
        missing = uploader.Upload(local("none.jpg"), "none.jpg");
        unreadable = uploader.Upload(local("dir.jpg"), "dir.jpg");
        empty = uploader.Upload("", "x.jpg");
    }
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(wrongPassword);
    EXPECT_FALSE(missing);
    EXPECT_FALSE(unreadable);
    EXPECT_FALSE(empty);
    EXPECT_TRUE(LogLinesAre(
        log, {"[FTPClient][Error] Unable to upload file " + local("3.jpg") +
                  " (Error = 67 | Login denied).",
              "[FTPClient][Error] Unable to open local file " + local("dir.jpg") +
                  " in CFTPClient::UploadFile()."}));
}

TEST_F(Uploader, ServerDownAndEmptyHost) {
    WriteFile(local("4.jpg"), "four");
    testing::internal::CaptureStderr();
    bool down = true;
    {
        FTPClient uploader("u", "p", "127.0.0.1", fixture::FreeTcpPort());
        down = uploader.Upload(local("4.jpg"), "4.jpg");
    }
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(down);
    EXPECT_TRUE(LogLinesAre(log, {"[FTPClient][Error] Unable to upload file " + local("4.jpg") +
                                  " (Error = 7 | Couldn't connect to server)."}));

    // An empty host leaves no trace but the result: the session never got LOG_ERRORS.
    testing::internal::CaptureStderr();
    bool noHost = true;
    {
        FTPClient uploader("u", "p", "", 21);
        noHost = uploader.Upload(local("4.jpg"), "4.jpg");
    }
    log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(noHost);
    EXPECT_EQ(log, "");
}
