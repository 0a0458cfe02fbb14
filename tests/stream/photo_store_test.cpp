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
#include "service/photo_layout.h"
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
                           "if [ \"$dev\" = /dev/video8 ]; then\n"  // cut short, and says nothing
                           "  head -c 1000 \"$K5_TEST_PICTURE\" > \"$out\"; exit 0\n"
                           "fi\n"
                           "cat \"$K5_TEST_PICTURE\" > \"$out\"\n");
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

// What a camera delivers: start marker, data, end marker.
std::string Jpeg(std::size_t size, unsigned seed) {
    return "\xFF\xD8" + Bytes(size - 4, seed) + "\xFF\xD9";
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

// The photos below `root` (neither records nor captures under way).
std::vector<std::string> Photos(const std::string& root) {
    std::vector<std::string> photos;
    for (const std::string& file : Tree(root))
        if (file[0] != '.' && file.find("/.") == std::string::npos) photos.push_back(file);
    return photos;
}

// The pending records below `root`, as the photos they stand for.
std::vector<std::string> Pending(const std::string& root) {
    std::vector<std::string> photos;
    for (const std::string& file : Tree(root + "/.pending")) {
        const std::string photo = photo_layout::MarkedPhoto(file.substr(file.rfind('/') + 1));
        if (!photo.empty()) photos.push_back(photo);  // claim records stand beside the markers
    }
    std::sort(photos.begin(), photos.end());
    return photos;
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
    // The photo just taken by `camera` (once the store placed it): its path below photo/.
    std::string Take(PhotoStore& store, int camera, const std::string& sd = "") {
        const std::string root = (sd.empty() ? sd_ : sd) + "/photo";
        const std::vector<std::string> before = Photos(root);
        EXPECT_TRUE(StreamController::CapturePhoto(camera, store)) << tap_->text();
        std::string taken;
        fixture::WaitFor(
            [&] {
                for (const std::string& file : Photos(root))
                    if (std::find(before.begin(), before.end(), file) == before.end()) taken = file;
                return !taken.empty();
            },
            30s);
        return taken;
    }
    std::string dir_;
    std::string sd_;
    std::unique_ptr<StderrTap> tap_;
};

}  // namespace

TEST_F(PhotoStoreTest, BacklogSurvivesARestartAndFreshPhotosGoFirst) {
    // Run 1: the server is down. Every photo stays on the card, recorded as pending; the
    // outage is one WARN, and photos taken during its wait are not tried before it ends. Each
    // is 6 s of transfer in run 2: time enough, on a loaded machine, to take the fresh photo
    // (a tool run and three fsyncs) while the first of them is still on its way.
    fixture::WriteFile(gPicture, Jpeg(300000, 1));
    std::vector<std::string> backlog;
    {
        PhotoStore::Settings settings = StoreSettings(sd_, fixture::FreeTcpPort());
        settings.firstRetry = settings.maxRetry = std::chrono::seconds(600);
        auto store = std::make_shared<PhotoStore>("PhotoStore", nullptr, settings);
        store->start();
        backlog.push_back(Take(*store, 3));
        ASSERT_TRUE(tap_->waitFor("Upload FTP Photo " + sd_ + "/photo/" + backlog[0] + " status: 0", 30s));
        for (int camera : {1, 2}) backlog.push_back(Take(*store, camera));
        store->Shutdown();
    }
    EXPECT_EQ(tap_->count("Upload FTP Photo "), 1) << tap_->text();
    EXPECT_EQ(tap_->count("The photo server cannot be reached ("), 1) << tap_->text();
    EXPECT_EQ(Pending(sd_ + "/photo").size(), 3u);
    // Captured within the same second: the backlog's order is the cameras' order then.
    std::sort(backlog.begin(), backlog.end(), [](const std::string& a, const std::string& b) {
        int64_t sa = 0, sb = 0;
        int ca = 0, cb = 0;
        photo_layout::ParsePhotoName(a.substr(a.rfind('/') + 1), sa, ca);
        photo_layout::ParsePhotoName(b.substr(b.rfind('/') + 1), sb, cb);
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
    const std::string firstTemporary = photo_layout::RemoteTemporary(first, "000000000000");
    ASSERT_TRUE(fixture::WaitFor([&] { return ::access(firstTemporary.c_str(), F_OK) == 0; }, 60s))
        << server.log();
    fixture::WriteFile(gPicture, Jpeg(150000, 2));
    const std::string fresh = Take(*store, 4);

    std::vector<std::string> all = backlog;
    all.push_back(fresh);
    ASSERT_TRUE(fixture::WaitFor([&] { return Pending(sd_ + "/photo").empty(); }, 120s))
        << tap_->text() << server.log();

    // A photo still on its way when the store stops (a transfer of some seconds, half a second
    // granted): the transfer is aborted and the photo stays pending for the next run.
    fixture::WriteFile(gPicture, Jpeg(400000, 3));
    const std::string late = Take(*store, 5);
    const std::string lateTemporary = photo_layout::RemoteTemporary(server.root() + "/photo/" + late, "000000000000");
    ASSERT_TRUE(fixture::WaitFor([&] { return ::access(lateTemporary.c_str(), F_OK) == 0; }, 60s))
        << server.log();
    store->Shutdown();
    EXPECT_EQ(Pending(sd_ + "/photo"), std::vector<std::string>{late});
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
            EXPECT_EQ("/" + file, lateTemporary.substr(server.root().size())) << "only the cut one, kept for the next run";
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
    fixture::WriteFile(gPicture, Jpeg(size, 6));
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
    // One that cuts the picture short but says it succeeded: refused all the same.
    EXPECT_FALSE(StreamController::CapturePhoto(8, *store));
    EXPECT_EQ(Tree(photo), before);
    EXPECT_EQ(tap_->count("] Commit(): Capture of " + photo + "/.capture/"), 1) << tap_->text();
    EXPECT_EQ(tap_->count(" is not a whole JPEG (1000 bytes without its start or end marker); it is dropped."), 1)
        << tap_->text();

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
        EXPECT_EQ(std::count(left.begin(), left.end(), ".pending/" + photo_layout::MarkerPath(file)), 1) << file;
    }
    EXPECT_EQ(left.size(), 2 * taken.size()) << ::testing::PrintToString(left);
    ::umount2(sd_.c_str(), MNT_DETACH);
}

namespace {

int Occurrences(const std::string& text, const std::string& needle) {
    int n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
    return n;
}

// The uploads whose data a server received (whole, resumed or cut).
// Photo data sent (downloads to compare a file on the server are not counted).
int Transfers(const std::string& log) { return Occurrences(log, "<- STOR ") + Occurrences(log, "<- APPE "); }

// A photo of an earlier run, on the card and recorded as pending.
void PutPending(const std::string& sd, const std::string& relative, const std::string& bytes) {
    CreateDirectory(sd + "/photo/" + relative.substr(0, relative.rfind('/')));
    fixture::WriteFile(sd + "/photo/" + relative, bytes);
    const std::string marker = sd + "/photo/.pending/" + photo_layout::MarkerPath(relative);
    CreateDirectory(marker.substr(0, marker.rfind('/')));
    fixture::WriteFile(marker, "");
}

}  // namespace

// A board without a clock boots three times from the same saved second, the server down in the
// first two: no photo replaces another on the card. On the server, one name is taken by a file
// of another size (another boot, another device): the photo moves to the next free second on
// the card and on the server alike. Another photo is already there whole (its confirmation was
// lost): it counts as delivered without a byte sent.
TEST_F(PhotoStoreTest, ARepeatedClockNeverReplacesAPhotoOnTheCardOrOnTheServer) {
    const int64_t boot = 1767312000;
    const int downPort = fixture::FreeTcpPort();
    std::vector<std::string> taken;
    std::vector<std::string> pictures;  // of each photo taken, in order
    unsigned seed = 10;
    auto take = [&](PhotoStore& store) {
        fixture::WriteFile(gPicture, Jpeg(20000 + 1000 * seed, seed));
        const std::string photo = Take(store, 1);
        pictures.push_back(fixture::ReadFile(gPicture));
        taken.push_back(photo);
        ++seed;
    };
    for (int run = 0; run < 2; ++run) {
        PhotoStore::Settings settings = StoreSettings(sd_, downPort);
        settings.firstRetry = settings.maxRetry = std::chrono::seconds(600);
        settings.clock = [boot] { return boot; };
        auto store = std::make_shared<PhotoStore>("PhotoStore", nullptr, settings);
        store->start();
        take(*store);
        if (run == 0) take(*store);
        store->Shutdown();
    }
    const std::string day = photo_layout::DayOf(boot);
    ASSERT_EQ(taken, (std::vector<std::string>{photo_layout::Relative(day, boot, 1),
                                               photo_layout::Relative(day, boot + 1, 1),
                                               photo_layout::Relative(day, boot + 2, 1)}));
    EXPECT_EQ(tap_->count("exists already (clock set back?): the new photo is "), 2) << tap_->text();
    EXPECT_EQ(Pending(sd_ + "/photo"), taken);
    for (std::size_t i = 0; i < taken.size(); ++i) EXPECT_TRUE(fixture::ReadFile(sd_ + "/photo/" + taken[i]) == pictures[i]);

    // Run 3, the server up.
    fixture::FtpServer server;
    const std::string foreign = "another device's picture";
    CreateDirectory(server.root() + "/photo/" + day);
    fixture::WriteFile(server.root() + "/photo/" + taken[0], foreign);
    fixture::WriteFile(server.root() + "/photo/" + taken[1], pictures[1]);
    PhotoStore::Settings settings = StoreSettings(sd_, server.port());
    settings.clock = [boot] { return boot; };
    auto store = std::make_shared<PhotoStore>("PhotoStore", nullptr, settings);
    store->start();
    ASSERT_TRUE(fixture::WaitFor([&] { return Pending(sd_ + "/photo").empty(); }, 60s)) << tap_->text() << server.log();
    take(*store);
    ASSERT_TRUE(fixture::WaitFor([&] { return Pending(sd_ + "/photo").empty(); }, 60s)) << tap_->text();
    store->Shutdown();

    // The oldest moved to the first second free on the card; the fresh one (taken with the
    // same clock, under the name the card had free again) found the same foreign file and
    // moved on too.
    const std::string moved = photo_layout::Relative(day, boot + 3, 1);
    const std::string fresh = photo_layout::Relative(day, boot + 4, 1);
    EXPECT_EQ(tap_->count("The server holds another file (" + std::to_string(foreign.size()) + " bytes, the photo has " +
                          std::to_string(pictures[0].size()) + ") under /photo/" + taken[0] + ": photo " + sd_ +
                          "/photo/" + taken[0] + " goes on as " + sd_ + "/photo/" + moved +
                          " on the card and on the server."),
              1)
        << tap_->text();
    EXPECT_EQ(tap_->count(" goes on as " + sd_ + "/photo/" + fresh + " on the card and on the server."), 1);
    EXPECT_EQ(fixture::ReadFile(server.root() + "/photo/" + taken[0]), foreign) << "never replaced";
    const std::vector<std::string> delivered = {moved, taken[1], taken[2], fresh};
    std::vector<std::string> sorted = delivered;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(Photos(sd_ + "/photo"), sorted);
    std::vector<std::string> onServer = Photos(server.root() + "/photo");
    onServer.erase(std::remove(onServer.begin(), onServer.end(), photo_layout::Relative(day, boot, 1)), onServer.end());
    EXPECT_EQ(onServer, sorted) << server.log();
    for (std::size_t i = 0; i < delivered.size(); ++i) {
        EXPECT_TRUE(fixture::ReadFile(sd_ + "/photo/" + delivered[i]) == pictures[i]) << delivered[i];
        EXPECT_TRUE(fixture::ReadFile(server.root() + "/photo/" + delivered[i]) == pictures[i]) << delivered[i];
    }
    EXPECT_EQ(tap_->count("/photo/" + delivered[1] + " is on the server already as /photo/" + delivered[1]), 1);
    EXPECT_EQ(Transfers(server.log()), 3) << "one transfer each, none for the one already there";
}

// Two devices on one account take a photo in the same second. Without a folder of their own
// each still delivers its photo whole (the second to arrive takes the next second); with
// "ftp_photo.folder" = "/fleet/{mac}" each goes below its own folder under its own name.
TEST_F(PhotoStoreTest, DevicesSharingAnAccountNeverMixTheirPhotos) {
    fixture::FtpServer::Options options;
    options.throttleBytesPerSecond = 200000;  // both transfers at once
    fixture::FtpServer server(options);
    const int64_t second = 1767312000;
    // Shared folders with overlapping transfers (a race for claims on a new day, then a photo
    // more each), shared folders one after the other (the second device finds a file of its
    // photo's size under the name), and a folder of each device's own.
    enum Mode { Overlapping, OneAfterTheOther, OwnFolders };
    for (const Mode mode : {Overlapping, OneAfterTheOther, OwnFolders}) {
        const std::string folder = mode == OwnFolders ? "/fleet/{mac}" : "";
        const int64_t at = second + (mode == OneAfterTheOther ? 2 * 86400 : 0);
        std::vector<std::shared_ptr<PhotoStore>> stores;
        std::vector<std::string> sds, pictures;
        for (const std::string mac : {"02000000000a", "02000000000b"}) {
            sds.push_back(dir_ + "/" + mac + "-" + std::to_string(mode));
            ::mkdir(sds.back().c_str(), 0700);
            PhotoStore::Settings settings = StoreSettings(sds.back(), server.port());
            settings.mac = mac;
            settings.remoteFolder = photo_layout::RemoteFolder(folder, mac);
            settings.claimNames = folder.empty();
            settings.clock = [at] { return at; };
            stores.push_back(std::make_shared<PhotoStore>("PhotoStore", nullptr, settings));
            stores.back()->start();
            // One size for both: real JPEGs of one scene often share theirs; only the bytes differ.
            pictures.push_back(Jpeg(150000, mac.back()));
            fixture::WriteFile(gPicture, pictures.back());
            Take(*stores.back(), 1, sds.back());
            if (mode == OneAfterTheOther) {
                ASSERT_TRUE(fixture::WaitFor([&] { return Pending(sds.back() + "/photo").empty(); }, 60s)) << tap_->text();
            }
        }
        for (std::size_t i = 0; i < 2 && mode == Overlapping; ++i) {
            ASSERT_TRUE(fixture::WaitFor([&] { return Pending(sds[i] + "/photo").empty(); }, 60s)) << tap_->text();
            pictures.push_back(Jpeg(150000, 'c' + static_cast<unsigned>(i)));
            fixture::WriteFile(gPicture, pictures.back());
            Take(*stores[i], 1, sds[i]);
        }
        for (const std::string& sd : sds) {
            ASSERT_TRUE(fixture::WaitFor([&] { return Pending(sd + "/photo").empty(); }, 60s)) << tap_->text();
        }
        for (auto& store : stores) store->Shutdown();
        // Every photo byte for byte under its own name, on the card and on the server.
        std::vector<std::string> claims;
        for (std::size_t i = 0; i < 2; ++i) {
            const std::string mac = i == 0 ? "02000000000a" : "02000000000b";
            std::vector<std::string> own;
            for (std::size_t p = i; p < pictures.size(); p += 2) own.push_back(pictures[p]);
            const std::vector<std::string> onCard = Photos(sds[i] + "/photo");
            ASSERT_EQ(onCard.size(), own.size());
            for (std::size_t p = 0; p < onCard.size(); ++p) {
                const std::string remote =
                    server.root() + photo_layout::RemoteName(photo_layout::RemoteFolder(folder, mac), onCard[p]);
                EXPECT_TRUE(fixture::ReadFile(sds[i] + "/photo/" + onCard[p]) == own[p]) << onCard[p];
                EXPECT_TRUE(fixture::ReadFile(remote) == own[p]) << remote << tap_->text() << server.log();
                claims.push_back(onCard[p] + ".claim");
            }
        }
        if (mode == OwnFolders) {
            EXPECT_EQ(Photos(sds[0] + "/photo"), Photos(sds[1] + "/photo")) << "the same name, each in its own folder";
        } else {
            // Claims stayed on after the race: each name's claim stands, empty, in the day's
            // claims, and nothing else is left there.
            std::sort(claims.begin(), claims.end());
            const std::string day = claims[0].substr(0, claims[0].rfind('/'));
            for (std::string& claim : claims) claim = claim.substr(day.size() + 1);
            EXPECT_EQ(Names(server.root() + "/photo/" + day + "/.claims"), claims) << server.log();
        }
    }
    for (const std::string& file : Tree(server.root())) EXPECT_EQ(file.find(".part"), std::string::npos) << file;
    EXPECT_EQ(Photos(server.root() + "/photo").size(), 6u);
    EXPECT_EQ(Photos(server.root() + "/fleet/02000000000a/photo").size(), 1u);
    EXPECT_EQ(Photos(server.root() + "/fleet/02000000000b/photo").size(), 1u);
}

// An account that may not make folders (its day folders made by the server's owner): names
// cannot be claimed there, so the photos go without claims, whole and under their own names,
// and one WARN says why.
TEST_F(PhotoStoreTest, AnAccountThatMakesNoFoldersStillGetsThePhotos) {
    fixture::FtpServer::Options options;
    options.permissions = "elrawfMT";  // no "m" (MKD), no "d" (RMD)
    fixture::FtpServer server(options);
    const std::vector<std::string> backlog = {"2026/1/5/1767571200_1.jpg", "2026/1/5/1767571260_2.jpg"};
    CreateDirectory(server.root() + "/photo/2026/1/5");
    for (std::size_t i = 0; i < backlog.size(); ++i) PutPending(sd_, backlog[i], Jpeg(20000 + i, 7));
    auto store = std::make_shared<PhotoStore>("PhotoStore", nullptr, StoreSettings(sd_, server.port()));
    store->start();
    ASSERT_TRUE(fixture::WaitFor([&] { return Pending(sd_ + "/photo").empty(); }, 60s)) << tap_->text();
    store->Shutdown();
    for (const std::string& photo : backlog) {
        EXPECT_TRUE(fixture::ReadFile(server.root() + "/photo/" + photo) == fixture::ReadFile(sd_ + "/photo/" + photo))
            << photo << server.log();
    }
    EXPECT_EQ(Tree(server.root() + "/photo/2026/1/5").size(), 2u) << "no claim, no temporary left";
    EXPECT_EQ(tap_->count("The photo server refuses to make the folder /photo/2026/1/5/.claims/1767571200_1.jpg.claim ("), 1)
        << tap_->text();
    EXPECT_EQ(tap_->count("refuses to make the folder"), 1) << "once a run";
    EXPECT_EQ(tap_->count("Another device claimed"), 0) << tap_->text();
}

// The removable card as it fails in the field: links and other things under photo names are
// never sent nor followed; a card that turns read-only says so once per run and no photo
// already delivered is sent again; a card out of inodes but not of bytes makes room.
TEST_F(PhotoStoreTest, CardFaultsAreReportedAndCostNothingTwice) {
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0) << "needs root";
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    ASSERT_EQ(::mount("tmpfs", sd_.c_str(), "tmpfs", 0, "size=8m"), 0);
    fixture::FtpServer server;
    const std::string photo = sd_ + "/photo";

    // Under photo names: a link to a secret outside the card, and a FIFO; both recorded.
    const std::string secret = dir_ + "/config.json";
    fixture::WriteFile(secret, "{\"password\": \"secret\"}");
    PutPending(sd_, "2026/1/2/1767312000_1.jpg", "");
    ::unlink((photo + "/2026/1/2/1767312000_1.jpg").c_str());
    ASSERT_EQ(::symlink(secret.c_str(), (photo + "/2026/1/2/1767312000_1.jpg").c_str()), 0);
    PutPending(sd_, "2026/1/2/1767312001_1.jpg", "");
    ::unlink((photo + "/2026/1/2/1767312001_1.jpg").c_str());
    ASSERT_EQ(::mkfifo((photo + "/2026/1/2/1767312001_1.jpg").c_str(), 0600), 0);
    // Two photos taken while the server was down.
    PutPending(sd_, "2026/1/3/1767398400_1.jpg", Jpeg(30000, 1));
    PutPending(sd_, "2026/1/3/1767398401_2.jpg", Jpeg(40000, 2));

    // Run 1: the card turned read-only before it started.
    ASSERT_EQ(::mount(nullptr, sd_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    for (int run = 1; run <= 2; ++run) {
        const std::size_t from = tap_->size();
        auto store = std::make_shared<PhotoStore>("PhotoStore", nullptr, StoreSettings(sd_, server.port()));
        store->start();
        ASSERT_TRUE(tap_->waitFor("Upload FTP Photo " + photo + "/2026/1/3/1767398401_2.jpg status: 1", 30s, from))
            << tap_->text() << server.log();
        // A capture on a read-only card: the tool is not even run.
        EXPECT_FALSE(StreamController::CapturePhoto(1, *store));
        store->Shutdown();
        EXPECT_EQ(tap_->count("] CardError(): Storage card " + sd_ + " is read-only (Read-only file system): cannot ",
                              from),
                  1)
            << "once per run: " << tap_->text();
        EXPECT_EQ(tap_->count("Run v4l2-ctl", from), 0);
        for (const std::string name : {"1767312000_1.jpg", "1767312001_1.jpg"}) {
            EXPECT_EQ(tap_->count("Not a photo but " + std::string(name[9] == '0' ? "a link" : "something else") +
                                      " under the name " + photo + "/2026/1/2/" + name + ": left alone, never sent.",
                                  from),
                      1)
                << tap_->text();
        }
        if (run == 2) {
            EXPECT_EQ(tap_->count(" is on the server already as /photo/2026/1/3/", from), 2) << tap_->text();
        }
    }
    EXPECT_EQ(Transfers(server.log()), 2) << "each photo's data once: " << server.log();
    EXPECT_TRUE(fixture::ReadFile(server.root() + "/photo/2026/1/3/1767398401_2.jpg") == Jpeg(40000, 2));
    for (const std::string& file : Tree(server.root())) EXPECT_EQ(file.find("2026/1/2"), std::string::npos) << file;
    EXPECT_EQ(server.log().find("1767312000"), std::string::npos) << "the link was never followed";
    EXPECT_EQ(fixture::ReadFile(secret), "{\"password\": \"secret\"}");

    // Writable again, but out of inodes with bytes to spare: the oldest delivered photos go.
    ASSERT_EQ(::mount(nullptr, sd_.c_str(), nullptr, MS_REMOUNT, "size=8m,nr_inodes=64"), 0);
    CreateDirectory(photo + "/2025/6/1");
    int files = 0;
    for (; files < 200; ++files) {
        const std::string name = photo + "/2025/6/1/" + std::to_string(1748736000 + files) + "_1.jpg";
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (fd < 0) break;
        ::close(fd);
    }
    ASSERT_LT(files, 200) << "the inodes ran out";
    fixture::WriteFile(gPicture, Jpeg(5000, 7));
    auto store = std::make_shared<PhotoStore>("PhotoStore", nullptr, StoreSettings(sd_, server.port()));
    store->start();
    ASSERT_TRUE(fixture::WaitFor([&] { return ::access((photo + "/2025/6/1/1748736000_1.jpg").c_str(), F_OK) != 0; }, 30s))
        << "the oldest delivered photo goes first";
    const std::string fresh = Take(*store, 1);
    ASSERT_FALSE(fresh.empty()) << tap_->text();
    store->Shutdown();
    EXPECT_TRUE(fixture::ReadFile(server.root() + "/photo/" + fresh) == Jpeg(5000, 7));
    ::umount2(sd_.c_str(), MNT_DETACH);
}

// A backlog over one session: a server that refuses one photo does not hold up the others (it
// waits on its own and goes once the server takes it), a transfer cut short is resumed from
// what the server holds, and the whole drain costs few commands and one login.
TEST_F(PhotoStoreTest, OneRefusedPhotoWaitsAloneAndTheBacklogGoesOverOneSession) {
    fixture::FtpServer server;
    std::vector<std::string> backlog;
    for (int i = 0; i < 10; ++i) {
        backlog.push_back("2026/1/4/" + std::to_string(1767484800 + 60 * i) + "_1.jpg");
        PutPending(sd_, backlog.back(), Jpeg(50000 + i, static_cast<unsigned>(i)));
    }
    // The oldest broke off half-way in an earlier run; the server refuses the second's name
    // (a folder stands there: RNTO fails).
    const std::string first = server.root() + "/photo/" + backlog[0];
    CreateDirectory(photo_layout::RemoteClaim(first));
    fixture::WriteFile(photo_layout::RemoteTemporary(first, "000000000000"), Jpeg(50000, 0).substr(0, 20000));
    const std::string refused = server.root() + "/photo/" + backlog[1];
    CreateDirectory(refused);

    PhotoStore::Settings settings = StoreSettings(sd_, server.port());
    settings.firstRetry = std::chrono::seconds(3);
    settings.maxRetry = std::chrono::seconds(6);
    auto store = std::make_shared<PhotoStore>("PhotoStore", nullptr, settings);
    store->start();
    ASSERT_TRUE(fixture::WaitFor([&] { return Pending(sd_ + "/photo").size() == 1; }, 60s)) << tap_->text();
    EXPECT_EQ(Pending(sd_ + "/photo"), std::vector<std::string>{backlog[1]});
    // The first drain, up to the refused photo's next try: on a slow machine its own wait may end
    // before the backlog is through, and its retry then takes a connection of its own.
    std::string log = server.log();
    const std::string ask = "<- SIZE /photo/" + backlog[1];
    const std::size_t firstTry = log.find(ask);
    ASSERT_NE(firstTry, std::string::npos) << log;
    log = log.substr(0, log.find(ask, firstTry + ask.size()));
    EXPECT_LE(Occurrences(log, "logged in."), 2) << log;  // libcurl drops a connection after a refused command
    // The name is claimed before it is asked about: a file another device finished there before
    // the claim is seen.
    const std::string third = "/photo/" + backlog[2];
    EXPECT_LT(log.find("<- MKD " + photo_layout::RemoteClaim(third)), log.find("<- SIZE " + third)) << log;
    // A photo the server takes at once costs 7 commands from its claim to its confirmation (MKD,
    // SIZE, EPSV, STOR, RNFR, RNTO, SIZE), and TYPE I twice more as the first on a connection.
    // (The whole backlog's figure, logins included, is the bench's: it does not depend on when
    // the refused photo's own wait ends.)
    const std::string all = server.log();
    const int logins = Occurrences(all, "logged in.");
    int commands = 0;
    for (std::size_t i = 2; i < backlog.size(); ++i) {
        const std::string remote = "/photo/" + backlog[i];
        const std::size_t claim = all.find("<- MKD " + photo_layout::RemoteClaim(remote));
        const std::size_t asked = all.find("<- SIZE " + remote, claim);
        const std::size_t confirmed = all.find("<- SIZE " + remote, asked + 1);
        ASSERT_NE(confirmed, std::string::npos) << remote << all;
        commands += Occurrences(all.substr(claim, confirmed - claim), "<- ") + 1;  // and the confirmation
    }
    const int ordinary = static_cast<int>(backlog.size()) - 2;
    EXPECT_LE(commands, 7 * ordinary + 2 * logins) << all;
    EXPECT_NE(log.find("APPE "), std::string::npos) << "resumed: " << log;
    EXPECT_NE(log.find("completed=1 bytes=30000 "), std::string::npos) << "only the rest was sent: " << log;
    EXPECT_GE(tap_->count("Upload of photo " + sd_ + "/photo/" + backlog[1] + " failed ("), 1) << tap_->text();
    EXPECT_NE(tap_->text().find("server reply 550"), std::string::npos) << tap_->text();

    // Its own wait: tried again on its own, and delivered once the server takes it.
    ASSERT_TRUE(tap_->waitFor("the server refuses this photo", 30s));
    ASSERT_TRUE(fixture::WaitFor([&] { return tap_->count("Upload of photo " + sd_ + "/photo/" + backlog[1]) >= 2; }, 30s))
        << tap_->text();
    fixture::RemoveTree(refused);
    ASSERT_TRUE(fixture::WaitFor([&] { return Pending(sd_ + "/photo").empty(); }, 60s)) << tap_->text();
    store->Shutdown();
    for (const std::string& photo : backlog) {
        EXPECT_TRUE(fixture::ReadFile(server.root() + "/photo/" + photo) == fixture::ReadFile(sd_ + "/photo/" + photo))
            << photo;
    }
    std::printf("backlog of 10: %.2f commands per photo from its claim to its confirmation, %d login(s)\n",
                static_cast<double>(commands) / ordinary, logins);
}

// The next run carries on where a stop left delivery: the photo taken at the stop goes before
// the backlog, the server-down wait goes on (not from its start), and a photo whose claim a
// kill left empty (claimed, recorded on the card, nothing sent) goes under its own name.
TEST_F(PhotoStoreTest, TheNextRunSendsThePhotoOfTheStopFirstAndResumesAKilledClaim) {
    std::vector<std::string> backlog;
    for (int i = 0; i < 3; ++i) {
        backlog.push_back("2026/1/5/" + std::to_string(1767571200 + 60 * i) + "_1.jpg");
        PutPending(sd_, backlog.back(), Jpeg(20000 + i, static_cast<unsigned>(i)));
    }
    fixture::FtpServer server;
    const std::string killed = "/photo/" + backlog[0];
    CreateDirectory(server.root() + photo_layout::RemoteClaim(killed));
    fixture::WriteFile(sd_ + "/photo/.pending/" + photo_layout::ClaimRecordPath(backlog[0]), "");

    PhotoStore::Settings settings = StoreSettings(sd_, fixture::FreeTcpPort());  // nobody there
    settings.deliveryStateFile = dir_ + "/photos";
    std::string stop;
    {
        auto store = std::make_shared<PhotoStore>("PhotoStore", nullptr, settings);
        store->start();
        ASSERT_TRUE(tap_->waitFor("The photo server cannot be reached (", 30s)) << tap_->text();
        fixture::WriteFile(gPicture, Jpeg(30000, 9));
        stop = Take(*store, 2);
        store->Shutdown(std::chrono::steady_clock::now());
    }
    EXPECT_EQ(Pending(sd_ + "/photo").size(), 4u);

    settings.ftpPort = server.port();
    auto store = std::make_shared<PhotoStore>("PhotoStore", nullptr, settings);
    store->start();
    ASSERT_TRUE(fixture::WaitFor([&] { return Pending(sd_ + "/photo").empty(); }, 60s)) << tap_->text() << server.log();
    store->Shutdown();
    const std::string log = server.log();
    const std::size_t first = log.find("<- STOR ");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.compare(first, 8 + photo_layout::RemoteClaims("/photo/" + stop).size(),
                          "<- STOR " + photo_layout::RemoteClaims("/photo/" + stop)),
              0)
        << "the photo of the stop first: " << log;
    EXPECT_LT(log.find("/photo/" + stop), log.find("/photo/" + backlog[0])) << log;
    // The killed claim was this device's: the photo kept its name, on the card and the server.
    EXPECT_EQ(tap_->count("Another device claimed"), 0) << tap_->text();
    backlog.push_back(stop);
    for (const std::string& photo : backlog) {
        EXPECT_TRUE(fixture::ReadFile(server.root() + "/photo/" + photo) == fixture::ReadFile(sd_ + "/photo/" + photo))
            << photo;
    }
    EXPECT_EQ(Tree(sd_ + "/photo/.pending"), std::vector<std::string>{}) << "no record left behind";
}

// A server that accepts and then never answers holds delivery, never the card: photos taken
// meanwhile are named and recorded at once, and the stop cuts the wait.
TEST_F(PhotoStoreTest, ASilentServerHoldsDeliveryNeverTheCard) {
    fixture::SilentServer silent;
    PhotoStore::Settings settings = StoreSettings(sd_, silent.port());
    auto store = std::make_shared<PhotoStore>("PhotoStore", nullptr, settings);
    store->start();
    fixture::WriteFile(gPicture, Jpeg(20000, 1));
    const std::string first = Take(*store, 1);
    ASSERT_TRUE(fixture::WaitFor([&] { return silent.accepted() >= 1; }, 30s)) << "delivery waits on the server";
    std::vector<std::string> taken{first};
    for (int camera : {2, 3}) taken.push_back(Take(*store, camera));
    std::sort(taken.begin(), taken.end());
    EXPECT_EQ(Pending(sd_ + "/photo"), taken);
    store->Shutdown(std::chrono::steady_clock::now() + std::chrono::seconds(1));
    EXPECT_EQ(Pending(sd_ + "/photo"), taken);
}
