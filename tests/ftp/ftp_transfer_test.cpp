// Every operation of the library against a real plain-FTP server (pyftpdlib on loopback).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <utime.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <stdexcept>

#include "ftp_servers.h"
#include "ftp_test_util.h"

using tarnwick::CFTPClient;
using ftptest::Exists;
using ftptest::LogSink;
using fixture::ReadFile;
using fixture::WriteFile;

namespace {

std::string Message(const char* format, const std::string& subject, CURLcode code) {
    return CFTPClient::StringFormat(format, subject.c_str(), static_cast<int>(code),
                                    curl_easy_strerror(code));
}

class FtpTransfer : public ::testing::Test {
protected:
    explicit FtpTransfer(const fixture::FtpServer::Options& options = {})
        : server_(options), local_(fixture::MakeTempDir("k5ftp-local-")), client_(sink_.callback()) {
        EXPECT_TRUE(client_.InitSession("127.0.0.1", static_cast<unsigned>(server_.port()),
                                        server_.user(), server_.password(), CFTPClient::FTP,
                                        CFTPClient::LOG_ERRORS));
        // Nothing in these tests may wait long, whatever goes wrong.
        client_.SetTimeout(60);
        client_.SetConnectTimeout(10);
    }
    ~FtpTransfer() override {
        client_.CleanupSession();
        fixture::RemoveTree(local_);
    }
    std::string remote(const std::string& path) const { return server_.root() + "/" + path; }
    std::string local(const std::string& path) const { return local_ + "/" + path; }
    void putRemote(const std::string& path, const std::string& content) {
        std::filesystem::create_directories(std::filesystem::path(remote(path)).parent_path());
        WriteFile(remote(path), content);
    }

    fixture::FtpServer server_;
    std::string local_;
    LogSink sink_;
    CFTPClient client_;
};

}  // namespace

TEST_F(FtpTransfer, UploadCreatesMissingDirectoriesAndKeepsEveryByte) {
    const std::string data = ftptest::RandomBytes(300 * 1024);
    WriteFile(local("photo.jpg"), data);

    EXPECT_TRUE(client_.UploadFile(local("photo.jpg"), "cam1/2026 12 08/photo 1.jpg", true))
        << sink_.all();
    EXPECT_TRUE(ftptest::SameBytes(ReadFile(remote("cam1/2026 12 08/photo 1.jpg")), data));
    EXPECT_TRUE(Exists(local("photo.jpg")));  // the source stays

    // Without createDirs a missing directory fails the transfer.
    EXPECT_FALSE(client_.UploadFile(local("photo.jpg"), "missing/photo.jpg", false));
    EXPECT_TRUE(sink_.has(Message("[FTPClient][Error] Unable to upload file %s (Error = %d | %s).",
                                  local("photo.jpg"), CURLE_REMOTE_ACCESS_DENIED)) ||
                sink_.has(Message("[FTPClient][Error] Unable to upload file %s (Error = %d | %s).",
                                  local("photo.jpg"), CURLE_UPLOAD_FAILED)))
        << sink_.all();

    // An empty file and an overwrite in active mode.
    WriteFile(local("empty"), "");
    client_.SetActive(true);
    EXPECT_TRUE(client_.UploadFile(local("empty"), "cam1/2026 12 08/photo 1.jpg")) << sink_.all();
    EXPECT_EQ(ReadFile(remote("cam1/2026 12 08/photo 1.jpg")), "");
}

TEST_F(FtpTransfer, UploadFailsOnMissingOrUnreadableLocalFile) {
    EXPECT_FALSE(client_.UploadFile(local("nope.jpg"), "nope.jpg", true));
    EXPECT_TRUE(sink_.lines.empty()) << sink_.all();  // a missing file is silent

    ::mkdir(local("adir").c_str(), 0755);
    EXPECT_FALSE(client_.UploadFile(local("adir"), "adir.jpg", true));
    EXPECT_TRUE(sink_.has("[FTPClient][Error] Unable to open local file " + local("adir") +
                          " in CFTPClient::UploadFile()."))
        << sink_.all();
    EXPECT_FALSE(Exists(remote("adir.jpg")));
}

TEST_F(FtpTransfer, ProgressCallbackSeesTheTransferAndCanAbortIt) {
    const std::string data = ftptest::RandomBytes(256 * 1024);
    WriteFile(local("p.bin"), data);
    struct Seen {
        int calls = 0;
        double uploaded = 0;
        void* record = nullptr;
    } seen;
    int owner = 0;
    client_.SetProgressFnCallback(
        &owner,
        [&seen](void* record, double, double, double, double ulNow) {
            ++seen.calls;
            seen.uploaded = ulNow;
            seen.record = record;
            return 0;
        },
        true);
    EXPECT_TRUE(client_.UploadFile(local("p.bin"), "p.bin")) << sink_.all();
    EXPECT_GT(seen.calls, 0);
    EXPECT_EQ(seen.uploaded, static_cast<double>(data.size()));
    EXPECT_EQ(seen.record, &client_.GetProgressStruct());
    EXPECT_EQ(client_.GetProgressStruct().pOwner, &owner);

    client_.SetProgressFnCallback(&owner, [](void*, double, double, double, double) { return 1; },
                                  true);
    EXPECT_FALSE(client_.UploadFile(local("p.bin"), "q.bin"));
    EXPECT_TRUE(sink_.has(Message("[FTPClient][Error] Unable to upload file %s (Error = %d | %s).",
                                  local("p.bin"), CURLE_ABORTED_BY_CALLBACK)))
        << sink_.all();
    // Aborted under a temporary name: the file already under the final name stays as it was.
    WriteFile(server_.root() + "/s.bin", "older");
    EXPECT_FALSE(client_.UploadFileAs(local("p.bin"), "s.bin", ".s.bin.part"));
    EXPECT_EQ(ReadFile(server_.root() + "/s.bin"), "older");
    // A callback that throws cannot unwind through libcurl; it aborts the transfer.
    sink_.lines.clear();
    client_.SetProgressFnCallback(
        &owner, [](void*, double, double, double, double) -> int { throw std::runtime_error("x"); },
        true);
    EXPECT_FALSE(client_.UploadFile(local("p.bin"), "r.bin"));
    EXPECT_TRUE(sink_.has(Message("[FTPClient][Error] Unable to upload file %s (Error = %d | %s).",
                                  local("p.bin"), CURLE_ABORTED_BY_CALLBACK)))
        << sink_.all();
}

TEST_F(FtpTransfer, AppendFromAnOffset) {
    putRemote("log/a.txt", "HELLO");
    WriteFile(local("a.txt"), "HELLO WORLD");
    EXPECT_TRUE(client_.AppendFile(local("a.txt"), 5, "log/a.txt")) << sink_.all();
    EXPECT_EQ(ReadFile(remote("log/a.txt")), "HELLO WORLD");

    // Append to a file in a directory that does not exist yet.
    EXPECT_TRUE(client_.AppendFile(local("a.txt"), 6, "new/dir/b.txt", true)) << sink_.all();
    EXPECT_EQ(ReadFile(remote("new/dir/b.txt")), "WORLD");

    EXPECT_FALSE(client_.AppendFile(local("a.txt"), 11, "log/a.txt"));
    EXPECT_TRUE(sink_.has("ERROR Incorrect offset !")) << sink_.all();
    EXPECT_EQ(ReadFile(remote("log/a.txt")), "HELLO WORLD");

    sink_.lines.clear();
    EXPECT_FALSE(client_.AppendFile(local("gone.txt"), 0, "log/a.txt"));
    EXPECT_TRUE(sink_.lines.empty()) << sink_.all();
    ::mkdir(local("adir").c_str(), 0755);
    EXPECT_FALSE(client_.AppendFile(local("adir"), 0, "log/a.txt"));
    EXPECT_TRUE(sink_.has("[FTPClient][Error] Unable to open local file " + local("adir") +
                          " in CFTPClient::AppendFile()."))
        << sink_.all();

    EXPECT_FALSE(client_.AppendFile(local("a.txt"), 0, "nodir/x.txt", false));
    EXPECT_TRUE(sink_.hasPrefix("[FTPClient][Error] Unable to upload file " + local("a.txt") +
                                " (Error = "))
        << sink_.all();
}

TEST_F(FtpTransfer, DownloadToFileAndToMemory) {
    const std::string data = ftptest::RandomBytes(700 * 1024, 3);
    putRemote("d/big file.bin", data);

    EXPECT_TRUE(client_.DownloadFile(local("big.bin"), "d/big file.bin")) << sink_.all();
    EXPECT_TRUE(ftptest::SameBytes(ReadFile(local("big.bin")), data));

    std::vector<char> memory{'o', 'l', 'd'};
    EXPECT_TRUE(client_.DownloadFile("d/big file.bin", memory)) << sink_.all();
    EXPECT_TRUE(ftptest::SameBytes(std::string(memory.begin(), memory.end()), data));

    putRemote("d/empty", "");
    EXPECT_TRUE(client_.DownloadFile("d/empty", memory)) << sink_.all();
    EXPECT_TRUE(memory.empty());
}

TEST_F(FtpTransfer, FailedDownloadLeavesNoPartialFile) {
    WriteFile(local("stale.bin"), "stale");
    EXPECT_FALSE(client_.DownloadFile(local("stale.bin"), "missing.bin"));
    EXPECT_FALSE(Exists(local("stale.bin")));
    EXPECT_TRUE(sink_.has(CFTPClient::StringFormat(
        "[FTPClient][Error] Unable to import remote File %s/%s (Error = %d | %s).", "127.0.0.1",
        "missing.bin", static_cast<int>(CURLE_REMOTE_FILE_NOT_FOUND),
        curl_easy_strerror(CURLE_REMOTE_FILE_NOT_FOUND))))
        << sink_.all();

    std::vector<char> memory;
    sink_.lines.clear();
    EXPECT_FALSE(client_.DownloadFile("d/missing.bin", memory));
    EXPECT_TRUE(sink_.hasPrefix("[FTPClient][Error] Unable to import remote File 127.0.0.1/d/missing.bin (Error = "))
        << sink_.all();

    EXPECT_FALSE(client_.DownloadFile(local("no/such/dir/x.bin"), "d/missing.bin"));
    EXPECT_TRUE(sink_.has("[FTPClient][Error] Unable to open local file " + local("no/such/dir/x.bin") +
                          " in CFTPClient::DownloadFile()."))
        << sink_.all();
}

TEST_F(FtpTransfer, DownloadThatCannotBeWrittenFailsAndIsRemoved) {
    putRemote("big.bin", ftptest::RandomBytes(256 * 1024));
    // A full disk, as the process sees it: writes past 64 KiB fail.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool ok = client_.DownloadFile(local("big.bin"), "big.bin");
    ::setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(Exists(local("big.bin")));
    EXPECT_TRUE(sink_.hasPrefix("[FTPClient][Error] Unable to import remote File 127.0.0.1/big.bin (Error = 23 | "))
        << sink_.all();
}

TEST_F(FtpTransfer, WildcardDownloadDescendsIntoDirectories) {
    putRemote("w/x.txt", "x");
    putRemote("w/notes.md", "md");
    putRemote("w/sub/y.txt", "y");
    putRemote("w/sub/deeper/z.bin", "zz");
    ::mkdir(local("out").c_str(), 0755);

    EXPECT_TRUE(client_.DownloadWildcard(local("out"), "w/*")) << sink_.all();
    EXPECT_EQ(ReadFile(local("out/x.txt")), "x");
    EXPECT_EQ(ReadFile(local("out/notes.md")), "md");
    EXPECT_EQ(ReadFile(local("out/sub/y.txt")), "y");
    EXPECT_EQ(ReadFile(local("out/sub/deeper/z.bin")), "zz");

    // A pattern that does not end in "*" takes only what it matches at its own level.
    ::mkdir(local("txt").c_str(), 0755);
    EXPECT_TRUE(client_.DownloadWildcard(local("txt") + "/", "w/*.txt")) << sink_.all();
    EXPECT_TRUE(Exists(local("txt/x.txt")));
    EXPECT_FALSE(Exists(local("txt/notes.md")));
    EXPECT_FALSE(Exists(local("txt/sub")));

    // Nothing matched is no failure.
    EXPECT_TRUE(client_.DownloadWildcard(local("txt"), "w/*.none")) << sink_.all();
    EXPECT_TRUE(sink_.lines.empty()) << sink_.all();
}

TEST_F(FtpTransfer, WildcardDownloadFailures) {
    putRemote("w/sub/y.txt", "y");
    EXPECT_FALSE(client_.DownloadWildcard(local("absent"), "w/*"));
    EXPECT_TRUE(sink_.has("[FTPClient][Error] " + local("absent") +
                          "/ is not a directory or it doesn't exist in CFTPClient::DownloadWildcard()."))
        << sink_.all();

    // A local file in the way of the subdirectory fails the descent; that report comes
    // whatever the settings.
    CFTPClient quiet(sink_.callback());
    ASSERT_TRUE(quiet.InitSession("127.0.0.1", static_cast<unsigned>(server_.port()), server_.user(),
                                  server_.password(), CFTPClient::FTP, CFTPClient::NO_FLAGS));
    ::mkdir(local("out").c_str(), 0755);
    WriteFile(local("out/sub"), "in the way");
    sink_.lines.clear();
    EXPECT_FALSE(quiet.DownloadWildcard(local("out"), "w/*"));
    EXPECT_EQ(sink_.lines, std::vector<std::string>{
                               "[FTPClient][Error] Encountered a problem while importing w/sub/* to " +
                               local("out/sub") + "."});
    EXPECT_TRUE(quiet.CleanupSession());

    sink_.lines.clear();
    CFTPClient wrong(sink_.callback());
    ASSERT_TRUE(wrong.InitSession("127.0.0.1", static_cast<unsigned>(server_.port()), server_.user(),
                                  "wrong", CFTPClient::FTP, CFTPClient::LOG_ERRORS));
    EXPECT_FALSE(wrong.DownloadWildcard(local("out"), "w/*"));
    EXPECT_TRUE(sink_.has(Message("[FTPClient][Error] Unable to import elements 127.0.0.1/%s (Error = %d | %s).",
                                  "w/*", CURLE_LOGIN_DENIED)))
        << sink_.all();
    EXPECT_TRUE(wrong.CleanupSession());
}

TEST_F(FtpTransfer, ListNamesAndDetails) {
    putRemote("l/one.txt", "1");
    putRemote("l/two words.txt", "22");
    ::mkdir(remote("l/dir").c_str(), 0755);

    std::string listing = "kept|";
    EXPECT_TRUE(client_.List("l/", listing)) << sink_.all();
    EXPECT_EQ(listing.rfind("kept|", 0), 0u);  // appended to, not replaced
    EXPECT_NE(listing.find("one.txt\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("two words.txt\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("dir\n"), std::string::npos) << listing;

    std::string details;
    EXPECT_TRUE(client_.List("l/", details, false)) << sink_.all();
    EXPECT_NE(details.find("-rw"), std::string::npos) << details;
    EXPECT_NE(details.find("drwx"), std::string::npos) << details;

    EXPECT_FALSE(client_.List("nowhere/", details));
    EXPECT_TRUE(sink_.hasPrefix("[FTPClient][Error] Unable to connect to remote folder nowhere/ (Error = "))
        << sink_.all();
}

TEST_F(FtpTransfer, InfoGivesTimeAndSize) {
    putRemote("i/f.bin", std::string(12345, 'a'));
    utimbuf times{1600000000, 1600000000};
    ASSERT_EQ(::utime(remote("i/f.bin").c_str(), &times), 0);

    CFTPClient::FileInfo info{};
    EXPECT_TRUE(client_.Info("i/f.bin", info)) << sink_.all();
    EXPECT_EQ(info.tFileMTime, 1600000000);
    EXPECT_EQ(info.dFileSize, 12345.0);

    // 2100-01-01 does not fit the 32-bit field: unknown, never a wrapped or capped time.
    utimbuf late{4102444800, 4102444800};
    ASSERT_EQ(::utime(remote("i/f.bin").c_str(), &late), 0);
    EXPECT_FALSE(client_.Info("i/f.bin", info));

    EXPECT_FALSE(client_.Info("i/none.bin", info));
    EXPECT_EQ(info.tFileMTime, 0);
    EXPECT_EQ(info.dFileSize, 0.0);
    EXPECT_TRUE(sink_.hasPrefix("[FTPClient][Error] Unable to get file i/none.bin's info (Error = "))
        << sink_.all();
}

TEST_F(FtpTransfer, CreateAndRemoveFilesAndDirectories) {
    EXPECT_TRUE(client_.CreateDir("top")) << sink_.all();
    EXPECT_TRUE(std::filesystem::is_directory(remote("top")));
    EXPECT_TRUE(client_.CreateDir("n1/n2/n3")) << sink_.all();  // parents come with it
    EXPECT_TRUE(std::filesystem::is_directory(remote("n1/n2/n3")));

    EXPECT_FALSE(client_.CreateDir("n1/n2/n3"));
    EXPECT_TRUE(sink_.hasPrefix("[FTPClient][Error] Unable to create directory n3 (Error = "))
        << sink_.all();

    putRemote("n1/f.txt", "f");
    EXPECT_TRUE(client_.RemoveFile("n1/f.txt")) << sink_.all();
    EXPECT_FALSE(Exists(remote("n1/f.txt")));
    EXPECT_FALSE(client_.RemoveFile("n1/f.txt"));
    EXPECT_TRUE(sink_.hasPrefix("[FTPClient][Error] Unable to remove file f.txt (Error = "))
        << sink_.all();

    putRemote("g.txt", "g");
    EXPECT_TRUE(client_.RemoveFile("g.txt")) << sink_.all();
    EXPECT_FALSE(Exists(remote("g.txt")));

    EXPECT_TRUE(client_.RemoveDir("n1/n2/n3")) << sink_.all();
    EXPECT_FALSE(Exists(remote("n1/n2/n3")));
    EXPECT_TRUE(client_.RemoveDir("top")) << sink_.all();
    EXPECT_FALSE(client_.RemoveDir("top"));
    EXPECT_TRUE(sink_.hasPrefix("[FTPClient][Error] Unable to remove directory top (Error = "))
        << sink_.all();
}

TEST_F(FtpTransfer, WrongPasswordAndServerDown) {
    WriteFile(local("a.jpg"), "a");
    CFTPClient wrong(sink_.callback());
    ASSERT_TRUE(wrong.InitSession("127.0.0.1", static_cast<unsigned>(server_.port()), server_.user(),
                                  "not the password", CFTPClient::FTP, CFTPClient::LOG_ERRORS));
    EXPECT_FALSE(wrong.UploadFile(local("a.jpg"), "a.jpg", true));
    EXPECT_TRUE(sink_.has(Message("[FTPClient][Error] Unable to upload file %s (Error = %d | %s).",
                                  local("a.jpg"), CURLE_LOGIN_DENIED)))
        << sink_.all();
    EXPECT_TRUE(wrong.CleanupSession());

    CFTPClient down(sink_.callback());
    ASSERT_TRUE(down.InitSession("127.0.0.1", static_cast<unsigned>(fixture::FreeTcpPort()),
                                 server_.user(), server_.password(), CFTPClient::FTP,
                                 CFTPClient::LOG_ERRORS));
    EXPECT_FALSE(down.UploadFile(local("a.jpg"), "a.jpg", true));
    EXPECT_TRUE(sink_.has(Message("[FTPClient][Error] Unable to upload file %s (Error = %d | %s).",
                                  local("a.jpg"), CURLE_COULDNT_CONNECT)))
        << sink_.all();
    EXPECT_TRUE(down.CleanupSession());

    // The object stays usable after failures.
    EXPECT_TRUE(client_.UploadFile(local("a.jpg"), "a.jpg", true)) << sink_.all();
}

TEST_F(FtpTransfer, ServerThatAcceptsAndThenStallsIsLeftByTheConnectBound) {
    fixture::SilentServer silent;
    WriteFile(local("a.jpg"), "a");
    CFTPClient client(sink_.callback());
    ASSERT_TRUE(client.InitSession("127.0.0.1", static_cast<unsigned>(silent.port()), "u", "p",
                                   CFTPClient::FTP, CFTPClient::LOG_ERRORS));
    client.SetTimeout(5000);
    client.SetConnectTimeout(1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.UploadFile(local("a.jpg"), "a.jpg", true));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::seconds(20));
    EXPECT_GE(silent.accepted(), 1);
    EXPECT_TRUE(sink_.has(Message("[FTPClient][Error] Unable to upload file %s (Error = %d | %s).",
                                  local("a.jpg"), CURLE_OPERATION_TIMEDOUT)))
        << sink_.all();
    EXPECT_TRUE(client.CleanupSession());
}

namespace {
class SlowFtpTransfer : public FtpTransfer {
protected:
    SlowFtpTransfer() : FtpTransfer(Options()) {}
    static fixture::FtpServer::Options Options() {
        fixture::FtpServer::Options options;
        options.throttleBytesPerSecond = 4096;
        return options;
    }
};
}  // namespace

TEST_F(SlowFtpTransfer, StalledTransferIsAbortedByTheLowSpeedBound) {
    putRemote("slow.bin", ftptest::RandomBytes(2 * 1024 * 1024));
    client_.SetLowSpeedLimit(200 * 1024, 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client_.DownloadFile(local("slow.bin"), "slow.bin"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_FALSE(Exists(local("slow.bin")));
    EXPECT_TRUE(sink_.has(CFTPClient::StringFormat(
        "[FTPClient][Error] Unable to import remote File %s/%s (Error = %d | %s).", "127.0.0.1",
        "slow.bin", static_cast<int>(CURLE_OPERATION_TIMEDOUT),
        curl_easy_strerror(CURLE_OPERATION_TIMEDOUT))))
        << sink_.all();

    // The overall timeout bounds a transfer that trickles along.
    client_.SetLowSpeedLimit(0, 0);
    client_.SetTimeout(1);
    std::vector<char> memory;
    EXPECT_FALSE(client_.DownloadFile("slow.bin", memory));
    EXPECT_TRUE(sink_.hasPrefix("[FTPClient][Error] Unable to import remote File 127.0.0.1/slow.bin (Error = 28 | "))
        << sink_.all();
}

namespace {
class LyingFtpTransfer : public FtpTransfer {
protected:
    LyingFtpTransfer() : FtpTransfer(Options()) {}
    static fixture::FtpServer::Options Options() {
        fixture::FtpServer::Options options;
        options.extraListLines = {
            "-rw-r--r--   1 owner    group           5 Jan 01 00:00 ../evil.txt",
            "-rw-r--r--   1 owner    group           5 Jan 01 00:00 sub/../../../evil2.txt",
            "drwxr-xr-x   2 owner    group        4096 Jan 01 00:00 ../updir",
            "-rw-r--r--   1 owner    group           5 Jan 01 00:00 ..",
        };
        return options;
    }
};
}  // namespace

TEST_F(LyingFtpTransfer, WildcardSkipsNamesThatLeaveTheLocalDirectory) {
    putRemote("w/good.txt", "good");
    ::mkdir(local("deep").c_str(), 0755);
    ::mkdir(local("deep/out").c_str(), 0755);

    EXPECT_TRUE(client_.DownloadWildcard(local("deep/out"), "w/*")) << sink_.all();
    EXPECT_EQ(ReadFile(local("deep/out/good.txt")), "good");
    EXPECT_FALSE(Exists(local("deep/evil.txt")));
    EXPECT_FALSE(Exists(local("evil2.txt")));
    EXPECT_FALSE(Exists(local("deep/updir")));
    for (const char* name : {"../evil.txt", "sub/../../../evil2.txt", "../updir", ".."}) {
        EXPECT_TRUE(sink_.has(CFTPClient::StringFormat(
            "[FTPClient][Error] Skipping remote entry \"%s\" in CFTPClient::DownloadWildcard(): its "
            "name would lead outside %s.",
            name, (local("deep/out") + "/").c_str())))
            << name << "\n"
            << sink_.all();
    }
}

namespace {
class LongNameFtpTransfer : public FtpTransfer {
protected:
    LongNameFtpTransfer() : FtpTransfer(Options()) {}
    static std::string LongName() { return std::string(300, 'd'); }
    static fixture::FtpServer::Options Options() {
        fixture::FtpServer::Options options;
        options.extraListLines = {"drwxr-xr-x   2 owner    group        4096 Jan 01 00:00 " +
                                  LongName()};
        return options;
    }
};
}  // namespace

TEST_F(LongNameFtpTransfer, LocalDirectoryThatCannotBeMadeFailsTheWildcardDownload) {
    putRemote("w/a.txt", "a");
    ::mkdir(local("out").c_str(), 0755);
    testing::internal::CaptureStderr();
    const bool ok = client_.DownloadWildcard(local("out"), "w/*");
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(ok);
    EXPECT_EQ(errors, "Problem creating directory (errno=" + std::to_string(ENAMETOOLONG) +
                          "): " + local("out/") + LongName() + "\n");
    EXPECT_TRUE(sink_.has(Message("[FTPClient][Error] Unable to import elements 127.0.0.1/%s (Error = %d | %s).",
                                  "w/*", CURLE_CHUNK_FAILED)))
        << sink_.all();
}

namespace {
class NoMdtmFtpTransfer : public FtpTransfer {
protected:
    NoMdtmFtpTransfer() : FtpTransfer(Options()) {}
    static fixture::FtpServer::Options Options() {
        fixture::FtpServer::Options options;
        options.modificationTimes = false;
        return options;
    }
};
}  // namespace

TEST_F(NoMdtmFtpTransfer, InfoFailsWithoutAModificationTime) {
    putRemote("f.bin", "12345");
    CFTPClient::FileInfo info{};
    EXPECT_FALSE(client_.Info("f.bin", info));  // the transfer itself succeeded
    EXPECT_TRUE(sink_.lines.empty()) << sink_.all();
    std::vector<char> memory;
    EXPECT_TRUE(client_.DownloadFile("f.bin", memory)) << sink_.all();
}
