// StreamController's per-camera policy with short intervals: real streams of the virtual
// camera into files (camera.server is a folder), real v4l2-ctl for the photos.

#include <sys/stat.h>

#include <atomic>
#include <ctime>
#include <future>
#include <thread>

#include "config.h"
#include "service/photo_store.h"
#include "service/stream.h"
#include "stream_support.h"

using namespace streamtest;

namespace {

std::string gDir;
const std::string kMac = "000000000000";  // /sys/class/net/lo/address

class ConfigEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        gDir = fixture::MakeTempDir("controller-");
        ::mkdir((gDir + "/streams").c_str(), 0755);
        // Cameras plugged in while the tests run.
        setenv("VCAM_DEVICES_FILE", (gDir + "/plugged").c_str(), 1);
        Config::SetSource(WriteDeviceConfig(gDir, gDir + "/streams", gDir + "/sd"),
                          "/sys/class/net");
        ASSERT_TRUE(Config::Loaded());
    }
    void TearDown() override { fixture::RemoveTree(gDir); }
};
const auto* const gEnvironment = ::testing::AddGlobalTestEnvironment(new ConfigEnvironment);

// The controller with a look at its maps, taken on its own thread.
class InspectableController : public StreamController {
public:
    using StreamController::StreamController;

    struct State {
        std::map<int, const Stream*> streams;
        std::map<int, bool> streaming;
        std::map<int, const Timer*> photoTimers;
        std::map<int, const Timer*> stopTimers;
    };

    State snapshot() {
        auto promise = std::make_shared<std::promise<State>>();
        auto future = promise->get_future();
        post([this, promise] {
            State state;
            for (auto& entry : streams) {
                state.streams[entry.first] = entry.second.get();
                state.streaming[entry.first] = entry.second->IsStreaming();
            }
            for (auto& entry : photoTimers) state.photoTimers[entry.first] = entry.second.get();
            for (auto& entry : stopTimers) state.stopTimers[entry.first] = entry.second.get();
            promise->set_value(state);
        });
        if (future.wait_for(20s) != std::future_status::ready) {
            ADD_FAILURE() << "the controller did not answer";
            return {};
        }
        return future.get();
    }
};

class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(VirtualCameraLoaded()) << "run through ctest: LD_PRELOAD of the virtual camera";
        tap_ = std::make_unique<StderrTap>();
        // The photos go to a store whose server is down; these tests only count attempts.
        PhotoStore::Settings settings = PhotoStore::Settings::FromConfig();
        settings.ftpPort = fixture::FreeTcpPort();
        store_ = std::make_shared<PhotoStore>("Uploader", nullptr, settings);
        store_->start();
    }
    void TearDown() override {
        if (controller_ && controller_->getState() != EventLoop::Stopped) {
            controller_->stop();
            controller_->wait();
        }
        controller_.reset();
        if (store_) store_->Shutdown();  // none when SetUp failed
        tap_.reset();
    }
    void start(int stopSeconds, int photoSeconds, const std::string& stopTimesFile = "") {
        StreamController::Settings settings;
        settings.stopTimeout = std::chrono::seconds(stopSeconds);
        settings.photoInterval = std::chrono::seconds(photoSeconds);
        settings.stopTimesFile = stopTimesFile;
        controller_ = std::make_shared<InspectableController>("StreamController", nullptr, settings);
        controller_->SetPhotoStore(store_);
        controller_->start();
    }
    void armPhotoTimer(int camera) {
        auto controller = controller_;
        controller_->post([controller, camera] { controller->StartCapturePhotoTimer(camera); });
    }
    std::string streamFile(int camera) const {
        return gDir + "/streams/" + kMac + "_" + std::to_string(camera);
    }

    std::unique_ptr<StderrTap> tap_;
    std::shared_ptr<InspectableController> controller_;
    std::shared_ptr<PhotoStore> store_;
};

}  // namespace

TEST_F(ControllerTest, StreamStartsIsKeptAliveByRequestsAndStopsAfterTheTimeout) {
    start(/*stop=*/3, /*photo=*/600);
    fixture::RemoveTree(streamFile(0));
    controller_->post(std::make_shared<StartStreamEvent>(0));
    auto state = controller_->snapshot();
    ASSERT_EQ(state.streams.count(0), 1u);
    EXPECT_EQ(state.stopTimers.count(0), 1u);
    EXPECT_EQ(state.photoTimers.count(0), 0u);
    const Stream* running = state.streams[0];
    ASSERT_TRUE(tap_->waitFor("Start stream: " + streamFile(0), 60s));

    // Requests keep coming, as a viewer's client repeats them, until the stream has frames,
    // however slow the machine: each restarts the countdown, the running stream stays. They
    // come from a thread of their own, at a steady pace: a probe that takes longer than the
    // countdown on a loaded machine must not let the stream stop meanwhile.
    using Steady = std::chrono::steady_clock;
    std::atomic<bool> frames{false};
    std::atomic<Steady::rep> lastRequest{Steady::now().time_since_epoch().count()};
    std::thread viewer([&] {
        while (!frames) {
            lastRequest = Steady::now().time_since_epoch().count();
            controller_->post(std::make_shared<StartStreamEvent>(0));
            std::this_thread::sleep_for(300ms);
        }
    });
    const auto deadline = Steady::now() + 120s;
    while (!frames && Steady::now() < deadline) {
        if (ProbeVideo(streamFile(0)).pts.size() >= 3) {
            frames = true;
        } else {
            std::this_thread::sleep_for(300ms);
        }
    }
    const bool sawFrames = frames.exchange(true);  // ends the viewer either way
    viewer.join();
    const Steady::time_point refreshed{Steady::duration(lastRequest.load())};
    ASSERT_TRUE(sawFrames) << tap_->text();
    state = controller_->snapshot();
    EXPECT_TRUE(tap_->contains("Camera is streaming, we reset stop timer."));
    EXPECT_EQ(state.streams[0], running);
    EXPECT_TRUE(state.streaming[0]);
    EXPECT_EQ(tap_->count("Start stream: "), 1);

    ASSERT_TRUE(tap_->waitFor("done.\n", 60s));
    EXPECT_GE(std::chrono::steady_clock::now() - refreshed, 2900ms)
        << "stopped by the timer restarted by the last request, not by an earlier one";
    EXPECT_EQ(tap_->lines("Stop Stream timer is triggered.").size(), 1u);
    for (const auto& line : tap_->lines("Stop Stream timer is triggered.")) {
        EXPECT_NE(line.find("[DEBUG][../src/service/stream:"), std::string::npos) << line;
        EXPECT_NE(line.find("operator()(): "), std::string::npos) << line;
    }
    state = controller_->snapshot();
    EXPECT_TRUE(state.streams.empty());
    EXPECT_TRUE(state.stopTimers.empty());
    EXPECT_EQ(state.photoTimers.count(0), 1u) << "photos resume once the stream is gone";

    // The stream itself is checked in detail by the pipeline tests.
    ExpectCameraStream(ProbeVideo(streamFile(0)), 3);
}

TEST_F(ControllerTest, PhotoTimerIsRemovedWhileStreamingAndRearmedAfterwards) {
    const std::string attempt = "Run v4l2-ctl --device /dev/video2 ";
    // A capture takes the tool several seconds: a shorter interval would queue them up.
    start(/*stop=*/3, /*photo=*/8);
    armPhotoTimer(2);
    ASSERT_TRUE(fixture::WaitFor([&] { return tap_->count(attempt) >= 1; }, 30s)) << tap_->text();

    controller_->post(std::make_shared<StartStreamEvent>(2));
    auto state = controller_->snapshot();
    ASSERT_EQ(state.streams.count(2), 1u);
    EXPECT_EQ(state.stopTimers.count(2), 1u);
    EXPECT_EQ(state.photoTimers.count(2), 0u);
    // A firing already under way when the timer went may still post one capture, on a
    // detached thread that a loaded machine may hold back for any time: the check below
    // tolerates that one; a photo timer left running would fire at least twice meanwhile.
    std::this_thread::sleep_for(300ms);
    const std::size_t streamingFrom = tap_->size();

    std::string untilStop;
    ASSERT_TRUE(fixture::WaitFor(
        [&] {
            if (!controller_->snapshot().streams.empty()) return false;
            untilStop = tap_->text();
            return true;
        },
        15s));
    int whileStreaming = 0;
    for (std::size_t at = untilStop.find(attempt, streamingFrom); at != std::string::npos;
         at = untilStop.find(attempt, at + 1))
        ++whileStreaming;
    EXPECT_LE(whileStreaming, 1) << "no photo while streaming\n" << untilStop.substr(streamingFrom);
    EXPECT_TRUE(tap_->contains("Stop Stream timer is triggered."));

    state = controller_->snapshot();
    EXPECT_EQ(state.photoTimers.count(2), 1u);
    EXPECT_EQ(state.stopTimers.count(2), 0u);
    EXPECT_TRUE(fixture::WaitFor([&] { return tap_->contains(attempt, untilStop.size()); }, 30s))
        << "photos resume after the stream";
}

// Camera 1 is pulled after 20 frames: its stream ends by itself, the camera goes back to photos
// at once (taken well within the interval), and the next request starts a new stream.
TEST_F(ControllerTest, StreamThatEndsByItselfGivesTheCameraBackToPhotos) {
    start(/*stop=*/600, /*photo=*/10);
    controller_->post(std::make_shared<StartStreamEvent>(1));
    ASSERT_TRUE(fixture::WaitFor(
        [&] {
            auto s = controller_->snapshot();
            return s.streams.empty() && s.photoTimers.count(1) == 1;
        },
        30s))
        << tap_->text();
    EXPECT_TRUE(tap_->contains("error reading frame from input context!\n"));
    EXPECT_TRUE(tap_->contains("Camera 1: its stream ended by itself, photos resume."));
    EXPECT_TRUE(controller_->snapshot().stopTimers.empty());
    EXPECT_TRUE(tap_->waitFor("Run v4l2-ctl --device /dev/video1 ", 30s)) << tap_->text();

    controller_->post(std::make_shared<StartStreamEvent>(1));
    auto state = controller_->snapshot();
    EXPECT_EQ(state.streams.count(1), 1u) << "a new stream runs";
    EXPECT_EQ(state.stopTimers.count(1), 1u);
    EXPECT_EQ(state.photoTimers.count(1), 0u);
    // The new worker logs its start on its own thread.
    EXPECT_TRUE(fixture::WaitFor(
        [&] { return tap_->count("Start stream: " + gDir + "/streams/" + kMac + "_1") == 2; },
        30s));
}

// Camera 7 is absent: its photo timer runs no tool and logs one WARN however often it fires;
// plugged in, it takes photos again.
TEST_F(ControllerTest, AbsentCameraIsSkippedUntilItIsPluggedIn) {
    const std::string warning = "Camera 7 is not present (/dev/video7): no photos until it is back.";
    start(/*stop=*/600, /*photo=*/1);
    armPhotoTimer(7);
    ASSERT_TRUE(fixture::WaitFor([&] { return tap_->count("Capture Photo timer is triggered.") >= 3; }, 30s));
    controller_->snapshot();  // the firings so far are handled
    EXPECT_EQ(tap_->count(warning), 1) << tap_->text();
    EXPECT_EQ(tap_->lines(warning)[0].rfind("[WARN]", 0), 0u);
    EXPECT_FALSE(tap_->contains("v4l2-ctl --device /dev/video7"));

    fixture::WriteFile(gDir + "/plugged", "7");
    EXPECT_TRUE(tap_->waitFor("Run v4l2-ctl --device /dev/video7 ", 30s)) << tap_->text();
    EXPECT_EQ(tap_->count("Camera 7 is back (/dev/video7): photos resume."), 1);
    fixture::WriteFile(gDir + "/plugged", "");  // the captures queued meanwhile end quickly
}

// A run ended while camera 0 streamed with 4 s left and camera 2 with a stop time further ahead
// than any request gives: the next run streams camera 0 at once, without a request and without
// photos, until that stop time; camera 2 is ignored with a WARN. A file that does not parse is
// ignored with a WARN.
TEST_F(ControllerTest, StreamsOfTheLastRunAreCarriedOnUntilTheirStopTime) {
    const std::string file = gDir + "/run/streams";
    ::mkdir((gDir + "/run").c_str(), 0700);
    fixture::RemoveTree(streamFile(0));
    const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count();
    fixture::WriteFile(file, "0 " + std::to_string(now + 4000) + "\n2 " + std::to_string(now + 700000) + "\n");
    const auto started = std::chrono::steady_clock::now();
    start(/*stop=*/600, /*photo=*/600, file);
    armPhotoTimer(0);
    auto state = controller_->snapshot();
    EXPECT_EQ(state.streams.count(0), 1u);
    EXPECT_EQ(state.streams.count(2), 0u);
    EXPECT_EQ(state.photoTimers.count(0), 0u) << "the carried stream holds the camera";
    EXPECT_TRUE(tap_->contains("Ignoring the stop time of camera 2 in " + file)) << tap_->text();
    EXPECT_TRUE(tap_->waitFor("Start stream: " + streamFile(0), 30s));
    ASSERT_TRUE(tap_->waitFor("Stop Stream timer is triggered.", 30s));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s) << "stopped at the carried time";
    EXPECT_TRUE(fixture::WaitFor([&] { return controller_->snapshot().photoTimers.count(0) == 1; }, 30s));
    EXPECT_EQ(fixture::ReadFile(file), "");
    controller_->stop();
    controller_->wait();

    fixture::WriteFile(file, "0 soon\n");
    tap_.reset();
    tap_ = std::make_unique<StderrTap>();
    start(/*stop=*/600, /*photo=*/600, file);
    EXPECT_TRUE(controller_->snapshot().streams.empty());
    EXPECT_TRUE(tap_->contains("Ignoring " + file + ": it does not hold stop times.")) << tap_->text();
}

TEST_F(ControllerTest, StopForACameraWithoutStreamLogsAnErrorAndChangesNothing) {
    start(/*stop=*/600, /*photo=*/600);
    armPhotoTimer(3);
    auto before = controller_->snapshot();
    ASSERT_EQ(before.photoTimers.count(3), 1u);

    controller_->post(std::make_shared<StopStreamEvent>(3));
    ASSERT_TRUE(tap_->waitFor("Camera: 3 is not streaming!", 5s));
    auto lines = tap_->lines("Camera: 3 is not streaming!");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("[ERROR][../src/service/stream:", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("] operator()(): Camera: 3 is not streaming!"), std::string::npos);

    auto after = controller_->snapshot();
    EXPECT_EQ(after.photoTimers, before.photoTimers) << "the photo timer was left as it was";
    EXPECT_TRUE(after.streams.empty());
    EXPECT_TRUE(after.stopTimers.empty());
}

// onExit stops every stream (joining its worker) and drops every timer: nothing fires later.
TEST_F(ControllerTest, NothingRunsOrFiresAfterTheControllerHasExited) {
    start(/*stop=*/1, /*photo=*/1);
    armPhotoTimer(5);
    controller_->post(std::make_shared<StartStreamEvent>(0));
    ASSERT_TRUE(tap_->waitFor("Capture Photo timer is triggered.", 30s));
    // Re-requested while waiting for data, and once more after: the 1 s stop timer must not
    // end the stream before the exit does, however slowly it starts on a loaded machine.
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (fixture::ReadFile(streamFile(0)).empty() && std::chrono::steady_clock::now() < deadline) {
        controller_->post(std::make_shared<StartStreamEvent>(0));
        std::this_thread::sleep_for(300ms);
    }
    ASSERT_FALSE(fixture::ReadFile(streamFile(0)).empty()) << tap_->text();
    controller_->post(std::make_shared<StartStreamEvent>(0));

    controller_->stop();
    controller_->wait();
    EXPECT_TRUE(tap_->contains("done.\n")) << "the stream worker finished before the exit";
    // A firing that had already started may still log; give it a moment, then watch.
    std::this_thread::sleep_for(200ms);
    const std::size_t exited = tap_->size();
    std::this_thread::sleep_for(2500ms);
    EXPECT_FALSE(tap_->contains("timer is triggered.", exited)) << tap_->text().substr(exited);
}

TEST(StreamControllerSingleton, SecondCallIgnoresItsArguments) {
    auto first = StreamController::GetInstance("StreamController", nullptr);
    auto other = std::make_shared<Thread>("Other", nullptr);
    auto second = StreamController::GetInstance("Ignored", other);
    EXPECT_EQ(first, second);
    EXPECT_EQ(second->getName(), "StreamController");
}

TEST(CameraDevice, ConnectedWhenTheDeviceNodeExists) {
    ASSERT_TRUE(VirtualCameraLoaded());
    EXPECT_TRUE(StreamController::CameraDeviceIsConnected(0));
    EXPECT_TRUE(StreamController::CameraDeviceIsConnected(2));
    EXPECT_FALSE(StreamController::CameraDeviceIsConnected(9));
    EXPECT_FALSE(StreamController::CameraDeviceIsConnected(3)) << "a metadata node is no camera";
}
