// Cameras and broker that come and go, from outside: a camera reached through a stable link, a
// metadata node that is no camera, a retained command, an endpoint that vanishes mid-stream, and
// a stream carried across a restart into a run whose broker never answers.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>

#include "device_test.h"
#include "ftp_servers.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

class CamerasTest : public DeviceTest {
protected:
    // Sends "view_cam" until it is answered (the device subscribes just after it connected, so
    // the first request may come too early on a slow machine) and checks the answer's cameras.
    void ViewCam(const std::string& cam1, const std::string& cam2) {
        Controller::Message answer;
        ASSERT_TRUE(fixture::WaitFor(
            [&] {
                Command("{\"type\":\"view_cam\"}");
                return controller->WaitFor(device->Topic("event"), "\"type\":\"view_cam\"", 2s, &answer);
            },
            60s))
            << device->Log();
        EXPECT_NE(answer.payload.find("\"cam1\":\"" + cam1 + "\",\"cam2\":\"" + cam2 + "\""), std::string::npos)
            << answer.payload;
    }

    // `startUp`: seconds before the run's period began (a broker that does not answer holds
    // start-up for the bound of the first connection).
    void ExpectOrderlyEnd(std::chrono::milliseconds timeout, double startUp = 0) {
        int status = -1;
        ASSERT_TRUE(device->daemon->wait(timeout, &status)) << device->Log();
        EXPECT_GT(device->SecondsSinceStart(), startUp + device->RunLength() - 2);
        EXPECT_LT(device->SecondsSinceStart(), startUp + device->RunLength() + 15) << "the stop bound holds";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << device->Log();
        const std::string log = device->Log();
        EXPECT_EQ(log.find("Orderly stop did not finish"), std::string::npos) << log;
        EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
        EXPECT_EQ(log.find("runtime error:"), std::string::npos) << log;
    }
};

// One run. Camera 5 is named by a link to the virtual camera's node (there is no /dev/video5),
// camera 9 is a metadata node. A "view_cam" left retained on the broker before the start streams
// nothing; the heartbeat and a live "view_cam" count camera 5 only; its stream reaches the
// endpoint through the link. The endpoint is killed: the stream ends by itself and camera 5's
// photo follows within the photo interval (10 s), in the same run (45 s). Only camera 5 is
// photographed, and never while it streams.
TEST_F(CamerasTest, LinkedCameraStreamsAndPhotographsAfterItsEndpointVanished) {
    ASSERT_NO_FATAL_FAILURE(SetUpDevice());
    device->timing = {45, 10, 0};
    const std::string link = device->dir + "/by-path/usb-0-video-index0";
    std::filesystem::create_directories(device->dir + "/by-path");
    ASSERT_EQ(::symlink("/dev/video0", link.c_str()), 0);
    std::string config = device->ConfigText();
    config.replace(config.find("\"cam1\": 0"), 9, "\"cam1\": 5, \"cam1_path\": \"" + link + "\"");
    device->env = {"VCAM_DEVICES=0,9", "VCAM_METADATA=9"};

    Command("{\"type\":\"view_cam\"}", true);
    device->Start(config);
    ASSERT_TRUE(device->WaitForLog("MQTT retained message on topic " + device->Topic("command") + " dropped.", 30s))
        << device->Log();
    Command("{\"type\":\"heartbeat\"}");
    // The heartbeat at the connection, then the command's: the answers before it are in.
    const std::string topic = device->Topic("heartbeat");
    ASSERT_TRUE(controller->WaitUntil(
        [&](const std::vector<Controller::Message>& all) {
            return std::count_if(all.begin(), all.end(), [&](const Controller::Message& m) { return m.topic == topic; }) >= 2;
        },
        15s));
    const Controller::Message beat = controller->On(topic).back();
    EXPECT_NE(beat.payload.find("\"cam1\":true,\"cam2\":false}"), std::string::npos) << beat.payload;
    EXPECT_EQ(device->Log().find("Start stream:"), std::string::npos) << "a retained command was executed";
    EXPECT_TRUE(controller->On(device->Topic("event")).size() == 1u) << "only the version at start-up";

    ASSERT_NO_FATAL_FAILURE(ViewCam("1", "0"));
    std::string probe;
    ASSERT_TRUE(StreamIsReadable(*device, 5, probe)) << probe << device->Log();
    EXPECT_NE(device->Log().find("Start stream: " + device->StreamUrl(5)), std::string::npos);
    EXPECT_NE(device->Log().find("Can't start stream for camera: 9, device is not connected yet."),
              std::string::npos);

    device->rtmp.kill();
    Clock::time_point ended, photographed;
    ASSERT_TRUE(device->WaitForLog("Camera 5: its stream ended by itself, photos resume.", 60s, &ended))
        << device->Log();
    ASSERT_TRUE(device->WaitForLog("_5.jpg status: 1", 90s, &photographed)) << device->Log();
    EXPECT_LT(Seconds(photographed - ended), 10.0 + 30.0) << "the photo interval, with room for a capture on a loaded machine";

    ASSERT_NO_FATAL_FAILURE(ExpectOrderlyEnd(60s));
    const std::string log = device->Log();
    EXPECT_EQ(Count(log, "Camera 9 is not present (/dev/video9): no photos until it is back."), 1u) << log;
    EXPECT_NE(log.find("v4l2-ctl --device " + link), std::string::npos) << log;
    // The period may fit more than one photo into the rest of the run: each one uploaded is
    // camera 5's picture, and none was taken while it streamed.
    const std::vector<std::string> onServer = Device::Files(device->ftp->root());
    ASSERT_GE(onServer.size(), 1u) << ::testing::PrintToString(onServer);
    EXPECT_EQ(onServer.size(), Count(log, "_5.jpg status: 1")) << ::testing::PrintToString(onServer) << log;
    for (const std::string& photo : onServer) {
        EXPECT_EQ(photo.substr(photo.size() - 6), "_5.jpg");
        EXPECT_TRUE(fixture::ReadFile(device->ftp->root() + "/" + photo) == fixture::ReadFile(K5_VCAM_JPEG)) << photo;
    }
    const size_t streamed = log.find("Start stream: " + device->StreamUrl(5));
    const size_t photoWhileStreaming = log.find("_5.jpg", streamed);
    EXPECT_GT(photoWhileStreaming, log.find("its stream ended by itself")) << "a streaming camera took a photo";
}

// Two runs, restarted as systemd does with the same runtime directory. Run 1: "view_cam" for
// camera 0 (camera 9 is unplugged), and the run ends at its planned end. Camera 9 is plugged in
// between the runs, and the broker of run 2 accepts TCP but never answers: the stream runs again
// at once without a request, with its original stop time, camera 9's first photo comes one photo
// period (8 s) after the 10 s the broker held start-up, and the run ends in order. Both runs
// last 30 s.
TEST_F(CamerasTest, StreamCarriesOnIntoARunWithASilentBroker) {
    ASSERT_NO_FATAL_FAILURE(SetUpDevice());
    device->timing = {30, 8, 0};
    const std::string plugged = device->dir + "/plugged";
    fixture::WriteFile(plugged, "");
    device->env = {"VCAM_DEVICES_FILE=" + plugged};
    const std::string stopTimes = device->dir + "/run/streams";

    device->Start();
    ASSERT_TRUE(device->WaitForLog("MQTT connected.", 30s)) << device->Log();
    ASSERT_NO_FATAL_FAILURE(ViewCam("1", "0"));
    std::string probe;
    ASSERT_TRUE(StreamIsReadable(*device, Device::kCam1, probe)) << probe << device->Log();
    const std::string requested = fixture::ReadFile(stopTimes);
    ASSERT_EQ(requested.compare(0, 2, "0 "), 0) << requested;
    ASSERT_NO_FATAL_FAILURE(ExpectOrderlyEnd(150s));
    EXPECT_EQ(device->Log().find("ended by itself"), std::string::npos) << device->Log();
    EXPECT_EQ(fixture::ReadFile(stopTimes), requested) << "the planned end keeps the stop time";

    fixture::WriteFile(plugged, "9");
    fixture::SilentServer silent;
    std::string config = device->ConfigText();
    config.replace(config.find(device->broker.uri()), device->broker.uri().size(),
                   "tcp://127.0.0.1:" + std::to_string(silent.port()));
    device->logFile = device->dir + "/daemon-2.log";
    device->Start(config);
    ASSERT_TRUE(device->WaitForLog("Camera 0: carrying its stream on for ", 30s)) << device->Log();
    EXPECT_TRUE(device->WaitForLog("did not answer within 10 s; going on", 30s)) << device->Log();
    ASSERT_TRUE(StreamIsReadable(*device, Device::kCam1, probe)) << probe << device->Log();
    EXPECT_LT(device->SecondsSinceStart(), 60.0) << "the stream came back late";
    EXPECT_EQ(fixture::ReadFile(stopTimes), requested) << "the stop time was counted again";
    Clock::time_point photographed;
    ASSERT_TRUE(device->WaitForLog("_9.jpg status: 1", 110s, &photographed)) << device->Log();
    EXPECT_LT(Seconds(photographed - device->started), 10.0 + 8.0 + 20.0) << "the silent broker delayed the photos";

    ASSERT_NO_FATAL_FAILURE(ExpectOrderlyEnd(90s, 10.0));
    const std::string log = device->Log();
    EXPECT_EQ(log.find("MQTT connected."), std::string::npos) << log;
    EXPECT_EQ(log.find("_0.jpg"), std::string::npos) << "a streaming camera took a photo";
    EXPECT_EQ(log.find("ended by itself"), std::string::npos) << log;
    EXPECT_EQ(log.find("Camera 9 is not present"), std::string::npos) << log;
    EXPECT_EQ(fixture::ReadFile(stopTimes), requested);
}

}  // namespace
