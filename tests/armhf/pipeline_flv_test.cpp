// One run of the video pipeline against the virtual camera, writing FLV to a file. In the armhf
// build this is the board's own code path end to end (V4L2 capture, UYVY -> YUV 4:2:0, x264
// with its rate cap, FLV muxing) running under qemu-arm; the emulated encoder manages only a
// few frames per second, so the test waits for frames by condition, never for a fixed time.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "service/stream.h"
#include "utils/shell.h"

using namespace std::chrono_literals;

namespace {

struct Probe {
    std::map<std::string, std::string> stream;
    std::vector<int64_t> pts;
    std::string output;
};

// The host's ffprobe, without the camera library that this process has preloaded.
Probe ProbeFlv(const std::string& file) {
    Probe probe;
    probe.output = RunUnixCommand("env -u LD_PRELOAD ffprobe -v error -select_streams v:0"
                                  " -show_entries stream=codec_name,profile,width,height,"
                                  "pix_fmt,r_frame_rate:packet=pts"
                                  " -of default=noprint_wrappers=1 " +
                                  ShellQuote(file) + " 2>&1")
                       .output;
    std::istringstream in(probe.output);
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (key == "pts") {
            if (value != "N/A") probe.pts.push_back(std::stoll(value));
        } else {
            probe.stream[key] = value;
        }
    }
    return probe;
}

}  // namespace

TEST(BoardPipeline, CameraToFlvFileIsValidH264) {
    ASSERT_NE(std::getenv("LD_PRELOAD"), nullptr) << "the virtual camera is not preloaded";
    setenv("VCAM_DEVICES", "0", 1);
    const std::string dir = fixture::MakeTempDir("k5-board-flv-");
    const std::string out = dir + "/cam0.flv";
    constexpr size_t kFrames = 5;

    // With the encoder's rate cap, as a board on a thin uplink runs it.
    stream::Settings settings;
    settings.bitrate_kbps = 400;
    stream pipeline(settings);
    std::thread worker([&] { pipeline.stream_video("/dev/video0", out.c_str(), "flv", 1280, 720, 10); });
    // ffprobe reads the growing file; no need to ask it more than a few times a second.
    const bool enough = fixture::WaitFor(
        [&] {
            std::this_thread::sleep_for(300ms);
            return !pipeline.is_streaming() || ProbeFlv(out).pts.size() >= kFrames;
        },
        180s);
    const bool ranUntilStopped = pipeline.is_streaming();
    pipeline.stop_stream();
    worker.join();
    EXPECT_TRUE(enough);
    EXPECT_TRUE(ranUntilStopped) << "the pipeline ended on its own";

    Probe probe = ProbeFlv(out);
    EXPECT_EQ(probe.stream["codec_name"], "h264") << probe.output;
    EXPECT_EQ(probe.stream["profile"], "High");
    EXPECT_EQ(probe.stream["width"], "1280");
    EXPECT_EQ(probe.stream["height"], "720");
    EXPECT_EQ(probe.stream["pix_fmt"], "yuv420p");
    EXPECT_EQ(probe.stream["r_frame_rate"], "10/1");
    ASSERT_GE(probe.pts.size(), kFrames) << probe.output;
    // First packet at 0, then one frame period (100 ms in FLV's millisecond time base) each,
    // however slowly the frames were encoded: 64-bit timestamps on a 32-bit target.
    EXPECT_EQ(probe.pts.front(), 0);
    for (size_t i = 1; i < probe.pts.size(); ++i) {
        ASSERT_EQ(probe.pts[i] - probe.pts[i - 1], 100) << "packet " << i;
    }
    fixture::RemoveTree(dir);
}
