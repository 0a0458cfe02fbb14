// The library's own rules, no server needed: URLs, proxies, text helpers, session messages.
#include <gtest/gtest.h>

#include <stdexcept>

#include "ftp_test_util.h"

using tarnwick::CFTPClient;
using ftptest::LogSink;

namespace {

std::string UrlFor(const std::string& server, CFTPClient::FTP_PROTOCOL protocol,
                   const std::string& remote) {
    LogSink sink;
    CFTPClient client(sink.callback());
    EXPECT_TRUE(client.InitSession(server, 21, "u", "p", protocol, CFTPClient::LOG_ERRORS));
    std::string url = client.ParseURL(remote);
    client.CleanupSession();
    return url;
}

}  // namespace

TEST(FtpClientUrl, SchemeSlashesAndBlanks) {
    EXPECT_EQ(UrlFor("nas", CFTPClient::FTP, "photo/a b.jpg"), "ftp://nas//photo//a%20b.jpg");
    EXPECT_EQ(UrlFor("nas", CFTPClient::FTPS, "photo/a b.jpg"), "ftps://nas//photo//a%20b.jpg");
    EXPECT_EQ(UrlFor("nas", CFTPClient::SFTP, "photo/a b.jpg"), "sftp://nas//photo//a%20b.jpg");
    EXPECT_EQ(UrlFor("nas", CFTPClient::FTP_EXPLICIT_TLS, "photo/a b.jpg"),
              "ftp://nas//photo//a%20b.jpg");
    EXPECT_EQ(UrlFor("nas", static_cast<CFTPClient::FTP_PROTOCOL>(9), "x"), "ftp://nas//x");
    EXPECT_EQ(UrlFor("nas", CFTPClient::FTP, ""), "ftp://nas//");
    EXPECT_EQ(UrlFor("nas/photos", CFTPClient::FTP, "x"), "ftp://nas//photos//x");
}

TEST(FtpClientUrl, HostsThatLookLikeSchemesStillGetOne) {
    // Without a scheme libcurl would guess HTTP for these hosts.
    EXPECT_EQ(UrlFor("ftpserver", CFTPClient::FTP, "x"), "ftp://ftpserver//x");
    EXPECT_EQ(UrlFor("FTPBOX", CFTPClient::FTP, "x"), "ftp://FTPBOX//x");
    EXPECT_EQ(UrlFor("sftphost", CFTPClient::SFTP, "x"), "sftp://sftphost//x");
}

TEST(FtpClientUrl, ServerWithItsOwnSchemeKeepsIt) {
    EXPECT_EQ(UrlFor("ftp://nas", CFTPClient::FTP, "x"), "ftp://nas//x");
    EXPECT_EQ(UrlFor("sftp://nas/base", CFTPClient::FTP, "a b"), "sftp://nas//base//a%20b");
    EXPECT_EQ(UrlFor("FTPS://nas", CFTPClient::SFTP, "x"), "FTPS://nas//x");
}

TEST(FtpClientText, ReplaceStringAndStringFormat) {
    std::string text = "a/b";
    CFTPClient::ReplaceString(text, "/", "//");
    EXPECT_EQ(text, "a//b");
    text = "aaa";
    CFTPClient::ReplaceString(text, "a", "aa");  // inserted text is not searched again
    EXPECT_EQ(text, "aaaaaa");
    text = "a/b";
    CFTPClient::ReplaceString(text, "", "x");
    EXPECT_EQ(text, "a/b");

    EXPECT_EQ(CFTPClient::StringFormat("%s (Error = %d | %s).", "f.jpg", 7, "Couldn't connect"),
              "f.jpg (Error = 7 | Couldn't connect).");
    EXPECT_EQ(CFTPClient::StringFormat("plain"), "plain");
    EXPECT_EQ(CFTPClient::StringFormat("%s", std::string(5000, 'x').c_str()).size(), 5000u);
}

TEST(FtpClientProxy, SchemeRules) {
    LogSink sink;
    CFTPClient client(sink.callback());
    client.SetProxy("proxyhost");
    EXPECT_EQ(client.GetProxy(), "http://proxyhost");
    client.SetProxy("https://proxyhost");
    EXPECT_EQ(client.GetProxy(), "https://proxyhost");
    client.SetProxy("HTTP://proxyhost");
    EXPECT_EQ(client.GetProxy(), "HTTP://proxyhost");
    client.SetProxy("socks5://proxyhost");  // a scheme of its own stays untouched
    EXPECT_EQ(client.GetProxy(), "socks5://proxyhost");
    client.SetProxy("");
    EXPECT_EQ(client.GetProxy(), "socks5://proxyhost");
}

TEST(FtpClientSession, ConstructionRules) {
    EXPECT_THROW(
        {
            try {
                CFTPClient client{CFTPClient::LogFnCallback()};
            } catch (const std::logic_error& e) {
                EXPECT_STREQ(e.what(), "Invalid logger clb applied");
                throw;
            }
        },
        std::logic_error);
}

TEST(FtpClientSession, InitAndCleanupMessages) {
    LogSink sink;
    {
        CFTPClient client(sink.callback());
        // A new object holds no LOG_ERRORS yet: both failures are silent.
        EXPECT_FALSE(client.InitSession("", 21, "u", "p", CFTPClient::FTP, CFTPClient::LOG_ERRORS));
        EXPECT_FALSE(client.CleanupSession());
        EXPECT_TRUE(sink.lines.empty()) << sink.all();

        EXPECT_TRUE(client.InitSession("nas", 21, "u", "p", CFTPClient::FTP, CFTPClient::LOG_ERRORS));
        EXPECT_NE(client.GetCurlPointer(), nullptr);
        EXPECT_FALSE(client.InitSession("other", 22, "x", "y", CFTPClient::SFTP, CFTPClient::NO_FLAGS));
        EXPECT_TRUE(sink.has("[FTPClient][Error] Curl session is already initialized ! Use "
                             "CleanupSession() to clean the present one."));
        EXPECT_EQ(client.GetURL(), "nas");  // nothing changed
        EXPECT_FALSE(client.InitSession("", 21, "u", "p", CFTPClient::FTP, CFTPClient::LOG_ERRORS));
        EXPECT_TRUE(sink.has("[FTPClient][Error] Empty hostname."));

        EXPECT_TRUE(client.CleanupSession());
        EXPECT_FALSE(client.CleanupSession());
        EXPECT_TRUE(sink.has(
            "[FTPClient][Error] Curl session is not initialized ! Use InitSession() before."));

        sink.lines.clear();
        std::vector<char> data;
        std::string listing;
        CFTPClient::FileInfo info{};
        EXPECT_FALSE(client.UploadFile("/etc/hostname", "x"));
        EXPECT_FALSE(client.AppendFile("/etc/hostname", 0, "x"));
        EXPECT_FALSE(client.DownloadFile("/tmp/never-written", "x"));
        EXPECT_FALSE(client.DownloadFile("x", data));
        EXPECT_FALSE(client.DownloadWildcard("/tmp", "*"));
        EXPECT_FALSE(client.List("x", listing));
        EXPECT_FALSE(client.Info("x", info));
        EXPECT_FALSE(client.RemoveFile("x"));
        EXPECT_FALSE(client.RemoveDir("x"));
        EXPECT_FALSE(client.CreateDir("x"));
        EXPECT_EQ(sink.lines.size(), 10u) << sink.all();
        for (const auto& line : sink.lines) {
            EXPECT_EQ(line,
                      "[FTPClient][Error] Curl session is not initialized ! Use InitSession() before.");
        }
        EXPECT_FALSE(ftptest::Exists("/tmp/never-written"));

        // Empty names fail before anything else, without a message.
        sink.lines.clear();
        EXPECT_TRUE(client.InitSession("nas", 21, "u", "p", CFTPClient::FTP, CFTPClient::LOG_ERRORS));
        EXPECT_FALSE(client.UploadFile("", "x", true));
        EXPECT_FALSE(client.UploadFile("/etc/hostname", "", true));
        EXPECT_FALSE(client.AppendFile("", 0, "x"));
        EXPECT_FALSE(client.DownloadFile("", "x"));
        EXPECT_FALSE(client.DownloadFile("", data));
        EXPECT_FALSE(client.List("", listing));
        EXPECT_FALSE(client.Info("", info));
        EXPECT_FALSE(client.RemoveFile(""));
        EXPECT_FALSE(client.DownloadWildcard("", "*"));
        EXPECT_TRUE(sink.lines.empty()) << sink.all();
        // The object leaves scope holding its handle.
    }
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_EQ(sink.lines[0],
              "[FTPClient][Warning] Object was freed before calling CFTPClient::CleanupSession(). "
              "The API session was cleaned though.");
}

TEST(FtpClientSession, SilentWithoutLogErrors) {
    LogSink sink;
    {
        CFTPClient client(sink.callback());
        EXPECT_TRUE(client.InitSession("nas", 21, "u", "p", CFTPClient::FTP, CFTPClient::NO_FLAGS));
        EXPECT_FALSE(client.InitSession("nas", 21, "u", "p", CFTPClient::FTP, CFTPClient::NO_FLAGS));
        EXPECT_FALSE(client.UploadFile("/nonexistent/file", "x"));
    }
    EXPECT_TRUE(sink.lines.empty()) << sink.all();
}

TEST(FtpClientSession, ProgressRecordAndRefusedCallback) {
    LogSink sink;
    CFTPClient client(sink.callback());
    int owner = 0;
    client.SetProgressFnCallback(&owner, [](void*, double, double, double, double) { return 0; }, true);
    EXPECT_EQ(client.GetProgressStruct().pCurl, nullptr);
    EXPECT_EQ(client.GetProgressStruct().pOwner, &owner);
    EXPECT_EQ(client.GetProgressStruct().dLastRunTime, 0.0);
    EXPECT_TRUE(client.InitSession("nas", 21, "u", "p", CFTPClient::FTP, CFTPClient::LOG_ERRORS));
    EXPECT_EQ(client.GetProgressStruct().pCurl, nullptr);  // not refreshed by InitSession

    int other = 0;
    client.SetProgressFnCallback(&other, CFTPClient::ProgressFnCallback(), true);
    EXPECT_EQ(client.GetProgressStruct().pOwner, &owner);  // refused, the old one stays
    EXPECT_TRUE(sink.hasPrefix("[FTPClient][Error] Empty progress callback refused"));

    client.SetProgressFnCallback(&other, [](void*, double, double, double, double) { return 0; }, false);
    EXPECT_EQ(client.GetProgressStruct().pCurl, client.GetCurlPointer());
    EXPECT_EQ(client.GetProgressStruct().pOwner, &other);
    EXPECT_TRUE(client.CleanupSession());
}

TEST(FtpClientSession, SettersKeepTheirValues) {
    LogSink sink;
    CFTPClient client(sink.callback());
    client.SetTimeout(5000);
    client.SetConnectTimeout(30);
    client.SetLowSpeedLimit(1, 60);
    EXPECT_EQ(client.GetTimeout(), 5000);
    EXPECT_EQ(client.GetConnectTimeout(), 30);
    EXPECT_EQ(client.GetLowSpeedLimit(), 1);
    EXPECT_EQ(client.GetLowSpeedTime(), 60);
}
