// Photo capture with the real v4l2-ctl through the virtual camera (MJPG 1920x1080 from the
// build's test picture), handed to the photo store and uploaded to a real FTP server. The
// storage folder holds a blank and shell characters on purpose.

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <future>
#include <vector>

#include "config.h"
#include "ftp_servers.h"
#include "service/photo_layout.h"
#include "service/photo_store.h"
#include "service/stream.h"
#include "stream_support.h"

using namespace streamtest;

namespace {

std::string gDir;
std::string gSd;

class ConfigEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        gDir = fixture::MakeTempDir("photo-");
        // Unquoted in a shell command line this would split the word and run `touch`.
        gSd = gDir + "/sd card;touch " + gDir + "/injected;";
        Config::SetSource(WriteDeviceConfig(gDir, "rtmp://127.0.0.1:1/live", gSd), "/sys/class/net");
        ASSERT_TRUE(Config::Loaded());
    }
    void TearDown() override { fixture::RemoveTree(gDir); }
};
const auto* const gEnvironment = ::testing::AddGlobalTestEnvironment(new ConfigEnvironment);

std::string DayFolder(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    return gSd + "/photo/" + std::to_string(local.tm_year + 1900) + "/" +
           std::to_string(local.tm_mon + 1) + "/" + std::to_string(local.tm_mday);
}

// The store that receives the photos, uploading to a real FTP server; Shutdown in the
// destructor lets its queued uploads finish first.
class Store {
public:
    Store() {
        PhotoStore::Settings settings;
        settings.sdFolder = gSd;
        settings.minFreeBytes = 0;
        settings.ftpUser = server.user();
        settings.ftpPassword = server.password();
        settings.ftpHost = "127.0.0.1";
        settings.ftpPort = server.port();
        store = std::make_shared<PhotoStore>("PhotoStore", nullptr, settings);
        store->start();
    }
    ~Store() { store->Shutdown(); }
    fixture::FtpServer server;
    std::shared_ptr<PhotoStore> store;
};

class PhotoTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(VirtualCameraLoaded()) << "run through ctest: LD_PRELOAD of the virtual camera";
        tap_ = std::make_unique<StderrTap>();
    }
    void TearDown() override { tap_.reset(); }
    std::unique_ptr<StderrTap> tap_;
};

std::string CaptureCommand(int camera, const std::string& path) {
    return "v4l2-ctl --device /dev/video" + std::to_string(camera) +
           " --set-fmt-video=width=1920,height=1080,pixelformat=MJPG --stream-mmap --stream-to=" +
           ShellQuote(path) + " --stream-count=1 --stream-sleep=1 --stream-skip=5 2>&1";
}

}  // namespace

TEST_F(PhotoTest, CaptureStoresTheCameraPictureAndTheStoreUploadsIt) {
    Store store;
    const std::time_t before = std::time(nullptr);
    ASSERT_TRUE(StreamController::CapturePhoto(0, *store.store)) << tap_->text();
    const std::time_t after = std::time(nullptr);

    // The one photo in the day's folder, under its final name only, once the store placed it.
    std::string folder;
    std::vector<std::string> names;
    fixture::WaitFor(
        [&] {
            for (const std::string& day : {DayFolder(before), DayFolder(after)}) {
                names = Names(folder = day);
                if (!names.empty()) return true;
            }
            return false;
        },
        30s);
    ASSERT_EQ(names.size(), 1u) << folder;
    const std::string local = folder + "/" + names[0];
    EXPECT_NE(local.find("_0.jpg"), std::string::npos);
    const std::string remote = local.substr(gSd.size());
    EXPECT_EQ(remote.rfind("/photo/", 0), 0u) << remote;

    const std::string picture = fixture::ReadFile(std::getenv("VCAM_JPEG"));
    ASSERT_GT(picture.size(), 1000u);
    EXPECT_TRUE(fixture::ReadFile(local) == picture) << "the stored JPEG is the camera's frame";
    EXPECT_NE(::access((gDir + "/injected").c_str(), F_OK), 0) << "the folder name ran a command";

    // The tool wrote a temporary file of the capture folder.
    int64_t seconds = 0;
    int camera = -1;
    ASSERT_TRUE(photo_layout::ParsePhotoName(names[0], seconds, camera));
    const std::string temporary =
        gSd + "/photo/.capture/" + photo_layout::CaptureName(seconds, 0, static_cast<long>(::getpid()));
    auto lines = tap_->lines("Run " + CaptureCommand(0, temporary) + " successfully.");
    ASSERT_EQ(lines.size(), 1u) << tap_->text();
    EXPECT_EQ(lines[0].rfind("[DEBUG][../src/service/stream:", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("] CapturePhoto(): Run "), std::string::npos) << lines[0];

    // Delivered under the same path on the server, and no longer pending.
    const std::string uploaded = store.server.root() + remote;
    ASSERT_TRUE(tap_->waitFor("Upload FTP Photo " + local + " status: 1", 60s)) << store.server.log();
    EXPECT_TRUE(fixture::ReadFile(uploaded) == picture);
    // Beside it only the day's claims, the photo's standing empty (its temporary file renamed away).
    const std::string day = uploaded.substr(0, uploaded.rfind('/'));
    EXPECT_EQ(Names(day), (std::vector<std::string>{".claims", names[0]}));
    EXPECT_EQ(Names(day + "/.claims"), std::vector<std::string>{names[0] + ".claim"});
    EXPECT_TRUE(Names(day + "/.claims/" + names[0] + ".claim").empty());
    EXPECT_TRUE(fixture::WaitFor([&] { return Names(gSd + "/photo/.pending").empty(); }, 30s));
    EXPECT_TRUE(Names(gSd + "/photo/.capture").empty());
    EXPECT_EQ(tap_->count("[ERROR]"), 0) << tap_->text();
}

TEST_F(PhotoTest, FailingCaptureLogsTheToolOutputAndLeavesNothing) {
    Store store;
    const std::time_t before = std::time(nullptr);
    EXPECT_FALSE(StreamController::CapturePhoto(7, *store.store));  // no /dev/video7
    for (const std::string& folder : {DayFolder(before), DayFolder(std::time(nullptr))}) {
        for (const std::string& name : Names(folder)) {
            EXPECT_EQ(name.find("_7.jpg"), std::string::npos) << "nothing of camera 7: " << name;
        }
    }
    EXPECT_TRUE(Names(gSd + "/photo/.pending").empty());

    const std::string text = tap_->text();
    const std::string expected = "] CapturePhoto(): Failed to execute cmd: v4l2-ctl --device "
                                 "/dev/video7 --set-fmt-video=width=1920,height=1080,"
                                 "pixelformat=MJPG --stream-mmap --stream-to=";
    const std::size_t at = text.find(expected);
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_EQ(text.rfind("[ERROR][../src/service/stream:", at), text.rfind('\n', at) + 1);
    EXPECT_NE(text.find(" --stream-count=1 --stream-sleep=1 --stream-skip=5 2>&1 stderr: "
                        "Cannot open device /dev/video7, exiting.\n",
                        at),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("Upload FTP Photo"), std::string::npos);
}
