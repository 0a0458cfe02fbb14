// The photo store with a stand-in capture tool (a v4l2-ctl script first on PATH that copies a
// picture, or fails half-way for /dev/video9) and a real, throttled FTP server: the backlog
// across a restart, fresh photos first, the free-space floor on a small tmpfs card.

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "ftp_servers.h"
#include "service/photo_store.h"
#include "service/stream.h"
#include "stream_support.h"

using namespace streamtest;

namespace {

std::string gTool;     // folder of the stand-in v4l2-ctl
std::string gPicture;  // what it writes; the tests rewrite it

class ToolEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        gTool = fixture::MakeTempDir("fake-v4l2-");
        gPicture = gTool + "/picture.jpg";
        fixture::WriteFile(gTool + "/v4l2-ctl",
                           "#!/bin/sh\n"
                           "out=; dev=; prev=\n"
                           "for a; do\n"
                           "  case \"$a\" in --stream-to=*) out=\"${a#--stream-to=}\";; esac\n"
                           "  [ \"$prev\" = --device ] && dev=\"$a\"; prev=\"$a\"\n"
                           "done\n"
                           "if [ \"$dev\" = /dev/video9 ]; then\n"
                           "  head -c 1000 \"$K5_TEST_PICTURE\" > \"$out\"; echo 'VIDIOC_DQBUF: I/O error'; exit 1\n"
                           "fi\n"
                           "{ cat \"$K5_TEST_PICTURE\"; echo \"$dev $$\"; } > \"$out\"\n");
        ::chmod((gTool + "/v4l2-ctl").c_str(), 0755);
        // Before any thread of the tests runs.
        setenv("PATH", (gTool + ":" + std::getenv("PATH")).c_str(), 1);
        setenv("K5_TEST_PICTURE", gPicture.c_str(), 1);
    }
    void TearDown() override { fixture::RemoveTree(gTool); }
};
const auto* const gEnvironment = ::testing::AddGlobalTestEnvironment(new ToolEnvironment);

std::string Bytes(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xff);
    return bytes;
}

// Every file below `root`, as paths relative to it (the .pending folder included).
std::vector<std::string> Tree(const std::string& root, const std::string& prefix = "") {
    std::vector<std::string> files;
    for (const std::string& name : Names(root)) {
        struct stat info {};
        const std::string path = root + "/" + name;
        if (::stat(path.c_str(), &info) != 0) continue;
        if (S_ISDIR(info.st_mode)) {
            for (const std::string& file : Tree(path, prefix + name + "/")) files.push_back(file);
        } else {
            files.push_back(prefix + name);
        }
    }
    return files;
}

long long FreeBytes(const std::string& path) {
    struct statvfs info {};
    ::statvfs(path.c_str(), &info);
    return static_cast<long long>(info.f_bavail) * static_cast<long long>(info.f_frsize);
}

PhotoStore::Settings StoreSettings(const std::string& sd, int port) {
    PhotoStore::Settings settings;
    settings.sdFolder = sd;
    settings.minFreeBytes = 0;
    settings.ftpUser = "k5user";
    settings.ftpPassword = "k5-pass word";
    settings.ftpHost = "127.0.0.1";
    settings.ftpPort = port;
    settings.firstRetry = std::chrono::seconds(1);
    settings.maxRetry = std::chrono::seconds(2);
    return settings;
}

class PhotoStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fixture::MakeTempDir("photo-store-");
        sd_ = dir_ + "/sd";
        ::mkdir(sd_.c_str(), 0700);
        tap_ = std::make_unique<StderrTap>();
    }
    void TearDown() override {
        tap_.reset();
        fixture::RemoveTree(dir_);
    }
    // The photo just taken by `camera`: its path below photo/.
    std::string Take(PhotoStore& store, int camera) {
        const std::vector<std::string> before = Tree(sd_ + "/photo");
        EXPECT_TRUE(StreamController::CapturePhoto(camera, store)) << tap_->text();
        for (const std::string& file : Tree(sd_ + "/photo"))
            if (std::find(before.begin(), before.end(), file) == before.end() && file.find(".pending/") != 0)
                return file;
        return "";
    }
    std::string dir_;
    std::string sd_;
    std::unique_ptr<StderrTap> tap_;
};

}  // namespace

TEST_F(PhotoStoreTest, BacklogSurvivesARestartAndFreshPhotosGoFirst) {
    // Run 1: the server is down. Every photo stays on the card, recorded as pending. Each is
    // 6 s of transfer in run 2: time enough, on a loaded machine, to take the fresh photo
    // (a tool run and three fsyncs) while the first of them is still on its way.
    fixture::WriteFile(gPicture, Bytes(300000, 1));
    std::vector<std::string> backlog;
    {
        // No retry within this run, however slow the machine: each photo is tried exactly once.
        PhotoStore::Settings settings = StoreSettings(sd_, fixture::FreeTcpPort());
        settings.firstRetry = settings.maxRetry = std::chrono::seconds(600);
        auto store = std::make_shared<PhotoStore>("PhotoStore", nullptr, settings);
        store->start();
        for (int camera : {3, 1, 2}) backlog.push_back(Take(*store, camera));
        ASSERT_TRUE(fixture::WaitFor([&] { return tap_->count("Upload FTP Photo ") >= 3; }, 30s))
            << tap_->text();
        store->Shutdown();
    }
    for (const std::string& photo : backlog) {
        const std::string local = sd_ + "/photo/" + photo;
        EXPECT_EQ(tap_->count("Upload FTP Photo " + local + " status: 0"), 1) << tap_->text();
        EXPECT_EQ(tap_->count("] Deliver(): Upload of photo " + local + " failed (" +
                              "[FTPClient][Error] Unable to upload file " + local +
                              " (Error = 7 | Couldn't connect to server).)"),
                  1)
            << tap_->text();
    }
    EXPECT_EQ(Names(sd_ + "/photo/.pending").size(), 3u);
    // Captured within the same second: the backlog's order is the cameras' order then.
    std::sort(backlog.begin(), backlog.end(), [](const std::string& a, const std::string& b) {
        int64_t sa = 0, sb = 0;
        int ca = 0, cb = 0;
        PhotoStore::ParsePhotoName(a.substr(a.rfind('/') + 1), sa, ca);
        PhotoStore::ParsePhotoName(b.substr(b.rfind('/') + 1), sb, cb);
        return std::make_pair(sa, ca) < std::make_pair(sb, cb);
    });

    // Run 2: the server is up (and slow). The backlog drains oldest first; a photo taken
    // meanwhile overtakes the rest of it.
    fixture::FtpServer::Options options;
    options.throttleBytesPerSecond = 50000;
    fixture::FtpServer server(options);
    PhotoStore::Settings settings = StoreSettings(sd_, server.port());
    settings.drainBound = std::chrono::milliseconds(500);
    auto store = std::make_shared<PhotoStore>("PhotoStore", nullptr, settings);
    store->start();
    const std::string first = server.root() + "/photo/" + backlog[0];
    const std::string firstTemporary =
        first.substr(0, first.rfind('/') + 1) + "." + first.substr(first.rfind('/') + 1) + ".part";
    ASSERT_TRUE(fixture::WaitFor([&] { return ::access(firstTemporary.c_str(), F_OK) == 0; }, 60s))
        << server.log();
    fixture::WriteFile(gPicture, Bytes(150000, 2));
    const std::string fresh = Take(*store, 4);

    std::vector<std::string> all = backlog;
    all.push_back(fresh);
    ASSERT_TRUE(fixture::WaitFor([&] { return Names(sd_ + "/photo/.pending").empty(); }, 120s))
        << tap_->text() << server.log();

    // A photo still on its way when the store stops (a transfer of some seconds, half a second
    // granted): the transfer is aborted and the photo stays pending for the next run.
    fixture::WriteFile(gPicture, Bytes(400000, 3));
    const std::string late = Take(*store, 5);
    const std::string lateTemporary = server.root() + "/photo/" + late.substr(0, late.rfind('/') + 1) + "." +
                                      late.substr(late.rfind('/') + 1) + ".part";
    ASSERT_TRUE(fixture::WaitFor([&] { return ::access(lateTemporary.c_str(), F_OK) == 0; }, 60s))
        << server.log();
    store->Shutdown();
    EXPECT_EQ(Names(sd_ + "/photo/.pending"), std::vector<std::string>{PhotoStore::MarkerName(late)});
    EXPECT_EQ(::access((server.root() + "/photo/" + late).c_str(), F_OK), -1) << "nothing under its name";
    EXPECT_EQ(tap_->count("Upload of photo " + sd_ + "/photo/" + late + " failed (shutting down; "), 1) << tap_->text();

    const std::string log = tap_->text();
    std::vector<std::size_t> order;
    for (const std::string& photo : all) {
        const std::string local = sd_ + "/photo/" + photo;
        // Byte for byte under its name, and nothing partial left beside it.
        EXPECT_TRUE(fixture::ReadFile(server.root() + "/photo/" + photo) == fixture::ReadFile(local)) << photo;
        order.push_back(log.find("Upload FTP Photo " + local + " status: 1"));
        EXPECT_NE(order.back(), std::string::npos) << log;
    }
    EXPECT_LT(order[0], order[3]) << "the upload under way completes";
    EXPECT_LT(order[3], order[1]) << "the fresh photo goes before the rest of the backlog";
    EXPECT_LT(order[1], order[2]) << "the backlog goes oldest first";
    for (const std::string& file : Tree(server.root())) {
        if (file.find(".part") != std::string::npos) {
            EXPECT_EQ(file.substr(file.rfind('/') + 1), "." + late.substr(late.rfind('/') + 1) + ".part");
        }
    }
}

TEST_F(PhotoStoreTest, AFullCardMakesRoomOldestDeliveredFirstAndFailedCapturesLeaveNothing) {
    // The card: a 4 MiB tmpfs in this test's own mount namespace.
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0) << "needs root";
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    ASSERT_EQ(::mount("tmpfs", sd_.c_str(), "tmpfs", 0, "size=4m"), 0);

    // Delivered photos of 2024 (day 9 before day 10: numbers, not text) and an undelivered
    // one of 2025, 800 kB each.
    const std::string photo = sd_ + "/photo";
    CreateDirectory(photo + "/2024/1/9");
    CreateDirectory(photo + "/2024/1/10");
    CreateDirectory(photo + "/2025/2/3");
    CreateDirectory(photo + "/.pending");
    fixture::WriteFile(photo + "/2024/1/9/1704790000_1.jpg", Bytes(800000, 3));
    fixture::WriteFile(photo + "/2024/1/10/1704870000_1.jpg", Bytes(800000, 4));
    fixture::WriteFile(photo + "/2025/2/3/1738570000_1.jpg", Bytes(800000, 5));
    fixture::WriteFile(photo + "/.pending/1738570000_1.2025-2-3.pending", "");

    const long long floor = 1500 * 1024;
    const long long size = 500000;
    fixture::WriteFile(gPicture, Bytes(size, 6));
    PhotoStore::Settings settings = StoreSettings(sd_, fixture::FreeTcpPort());
    settings.minFreeBytes = floor;
    auto store = std::make_shared<PhotoStore>("PhotoStore", nullptr, settings);
    store->start();
    // A card of its own raises no alarm; a storage folder that is not there does.
    EXPECT_EQ(tap_->count("(is the card mounted?)"), 0) << tap_->text();
    settings.sdFolder = dir_ + "/absent";
    PhotoStore unmounted("Absent", nullptr, settings);
    // (The running store may be warning meanwhile about its own upload: count only this one.)
    EXPECT_EQ(tap_->count("(is the card mounted?)"), 1) << tap_->text();
    EXPECT_EQ(tap_->count("PhotoStore(): Storage folder " + dir_ +
                          "/absent does not exist: photos go to the root file system (is the card mounted?)."),
              1)
        << tap_->text();

    // A tool that fails half-way: nothing at the final path, no temporary file, no record.
    const std::vector<std::string> before = Tree(photo);
    EXPECT_FALSE(StreamController::CapturePhoto(9, *store));
    EXPECT_EQ(Tree(photo), before);
    EXPECT_EQ(tap_->count("Failed to execute cmd: v4l2-ctl --device /dev/video9 "), 1) << tap_->text();
    EXPECT_EQ(tap_->count("VIDIOC_DQBUF: I/O error\n"), 1) << tap_->text();

    std::vector<std::string> taken;
    for (int i = 0; i < 5; ++i) {
        taken.push_back(Take(*store, i + 1));
        ASSERT_FALSE(taken.back().empty()) << "capture " << i;
        EXPECT_GE(FreeBytes(sd_), floor - size - 8192) << "the floor holds, capture " << i;
        const bool day9 = ::access((photo + "/2024/1/9").c_str(), F_OK) == 0;
        const bool day10 = ::access((photo + "/2024/1/10").c_str(), F_OK) == 0;
        EXPECT_TRUE(day10 || !day9) << "day 9 goes before day 10, capture " << i;
    }
    store->Shutdown();

    // Both delivered photos and their folders are gone; the undelivered one went last, named.
    const std::vector<std::string> left = Tree(photo);
    EXPECT_EQ(::access((photo + "/2024").c_str(), F_OK), -1);
    EXPECT_EQ(std::count(left.begin(), left.end(), "2025/2/3/1738570000_1.jpg"), 0);
    EXPECT_EQ(tap_->count("Storage card full: deleting undelivered photo " + photo +
                          "/2025/2/3/1738570000_1.jpg."),
              1)
        << tap_->text();
    // Each photo taken is on the card and recorded as pending (the server is down).
    for (const std::string& file : taken) {
        EXPECT_EQ(std::count(left.begin(), left.end(), file), 1) << file;
        EXPECT_EQ(std::count(left.begin(), left.end(), ".pending/" + PhotoStore::MarkerName(file)), 1) << file;
    }
    EXPECT_EQ(left.size(), 2 * taken.size()) << ::testing::PrintToString(left);
    ::umount2(sd_.c_str(), MNT_DETACH);
}
