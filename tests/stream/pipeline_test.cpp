// The video pipeline (class `stream`) against the virtual camera, a real nginx-rtmp endpoint
// and files, checked with ffprobe.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <sstream>
#include <thread>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "config.h"
#include "rtmp_server.h"
#include "service/stream.h"
#include "stream_support.h"

using namespace streamtest;

namespace {

// One run of the pipeline on its own thread, as Stream does it; stopped and joined at the end.
class PipelineRun {
public:
    PipelineRun(const std::string& device, const std::string& output, const std::string& format = "flv",
        int width = 1280, int height = 720, int fps = 10, stream::Settings settings = {})
        : pipeline_(settings) {
        worker_ = std::thread([=] {
            pipeline_.stream_video(device.c_str(), output.c_str(), format.c_str(), width, height,
                                   fps);
            ended_ = true;
        });
        // stream_video raises the flag first thing; wait for it so that is_streaming() is
        // meaningful from here on.
        fixture::WaitFor([this] { return pipeline_.is_streaming() || ended_; }, 5s);
    }
    ~PipelineRun() { stop(); }

    // Returns how long the stop took.
    std::chrono::milliseconds stop() {
        const auto start = std::chrono::steady_clock::now();
        pipeline_.stop_stream();
        if (worker_.joinable()) worker_.join();
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
    }
    bool ended() const { return ended_; }
    bool waitEnded(std::chrono::milliseconds timeout) {
        return fixture::WaitFor([this] { return ended_.load(); }, timeout);
    }
    stream& pipeline() { return pipeline_; }

private:
    stream pipeline_;
    std::atomic<bool> ended_{false};
    std::thread worker_;
};

// A TCP listener on loopback that takes connections and never says a word.
class SilentEndpoint {
public:
    SilentEndpoint() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        socklen_t len = sizeof(addr);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        ::listen(fd_, 4);
    }
    ~SilentEndpoint() {
        if (client_ >= 0) ::close(client_);
        ::close(fd_);
    }
    int port() const { return port_; }
    // True once a client has connected (the connection is then held open, unanswered).
    bool waitClient(std::chrono::milliseconds timeout) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return false;
        client_ = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        return client_ >= 0;
    }

private:
    int fd_ = -1;
    int client_ = -1;
    int port_ = 0;
};

class PipelineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(VirtualCameraLoaded()) << "run through ctest: LD_PRELOAD of the virtual camera";
        dir_ = fixture::MakeTempDir("pipeline-");
        tap_ = std::make_unique<StderrTap>();
    }
    void TearDown() override {
        tap_.reset();
        fixture::RemoveTree(dir_);
    }
    std::string dir_;
    std::unique_ptr<StderrTap> tap_;
};

}  // namespace

TEST_F(PipelineTest, CameraToFileIsH264HighAt10FpsFromPtsZero) {
    const std::string out = dir_ + "/cam0.flv";
    {
        PipelineRun run("/dev/video0", out);
        ASSERT_TRUE(run.pipeline().is_streaming());
        ASSERT_TRUE(WaitForPackets(out, 12, 60s)) << tap_->text();
        EXPECT_FALSE(run.ended());
        run.stop();
        EXPECT_FALSE(run.pipeline().is_streaming());
    }
    EXPECT_TRUE(tap_->contains("done.\n"));
    ExpectCameraStream(ProbeVideo(out), 10);
}

TEST_F(PipelineTest, CameraToNginxRtmpIsPlayableLiveAndRecordedWhole) {
    fixture::RtmpServer server;
    ASSERT_TRUE(server.start()) << server.log();
    const std::string name = "000000000000_0";
    {
        PipelineRun run("/dev/video0", server.url() + "/" + name);
        // A player joining the live stream sees the same video.
        Probe live = ProbeVideo(server.url() + "/" + name,
                                "-rw_timeout 5000000 -read_intervals %+#15");
        ExpectCameraStream(live, 10, /*fromStart=*/false);
        EXPECT_FALSE(run.ended()) << tap_->text();
        run.stop();
    }
    EXPECT_TRUE(tap_->contains("done.\n"));
    // The recording holds the stream from its first frame.
    ASSERT_TRUE(fixture::WaitFor([&] { return !ProbeVideo(server.recording(name)).pts.empty(); },
                                 30s));
    ExpectCameraStream(ProbeVideo(server.recording(name)), 10);
}

// Every setup step that can fail prints its own message, releases what the run had opened and
// clears both flags; "done." belongs to runs that reached the frame loop. (The decoder and the
// scaler cannot be made to fail with a camera that delivers UYVY: libswscale 6 accepts any
// size pair.)
TEST_F(PipelineTest, SetupFailuresPrintTheirMessageAndEndTheRun) {
    struct Case {
        std::string device, output, format;
        int width, height;
        std::string message;
        bool reachesLoop;
    };
    const int closedPort = fixture::FreeTcpPort();
    const std::vector<Case> cases = {
        {"/dev/video9", dir_ + "/a.flv", "flv", 1280, 720, "cannot initialize input device!\n", false},
        {"/dev/video0", dir_ + "/b.flv", "no_such_format", 1280, 720,
         "cannot initialize output format context!\n", false},
        {"/dev/video0", "rtmp://127.0.0.1:" + std::to_string(closedPort) + "/live/x", "flv", 1280,
         720, "could not open IO context!\n", false},
        {"/dev/video0", dir_ + "/no/such/dir/c.flv", "flv", 1280, 720,
         "could not open IO context!\n", false},
        // x264 refuses an odd width for 4:2:0; the run goes on and fails at the first frame.
        {"/dev/video0", dir_ + "/d.flv", "flv", 1281, 720, "could not open video encoder!\n", true},
        // WAV cannot carry video: a library that has the WAV muxer refuses the header; the
        // bundled one, which has only the FLV muxer, knows no such format.
        {"/dev/video0", dir_ + "/e.wav", "wav", 1280, 720,
         av_guess_format("wav", nullptr, nullptr) != nullptr
             ? "could not write header to ouput context!\n"
             : "cannot initialize output format context!\n",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message + " " + c.output);
        const std::size_t mark = tap_->size();
        const int descriptors = OpenDescriptors();
        PipelineRun run(c.device, c.output, c.format, c.width, c.height, 30);
        ASSERT_TRUE(run.waitEnded(20s)) << tap_->text().substr(mark);
        EXPECT_FALSE(run.pipeline().is_streaming());
        EXPECT_TRUE(tap_->contains(c.message, mark)) << tap_->text().substr(mark);
        EXPECT_EQ(tap_->contains("done.\n", mark), c.reachesLoop);
        if (c.reachesLoop) {
            EXPECT_TRUE(tap_->contains("error sending frame to output codec context!\n", mark));
        }
        run.stop();
        EXPECT_EQ(OpenDescriptors(), descriptors) << "the failed run released its descriptors";
    }
}

TEST_F(PipelineTest, StopDuringSetupLetsSetupFinishThenEndsAtTheFirstLoopCheck) {
    const std::string out = dir_ + "/early.flv";
    PipelineRun run("/dev/video0", out);
    run.pipeline().stop_stream();  // while the camera is still being opened and probed
    ASSERT_TRUE(run.waitEnded(20s)) << tap_->text();
    EXPECT_FALSE(run.pipeline().is_streaming());
    EXPECT_TRUE(tap_->contains("done.\n"));
    EXPECT_FALSE(tap_->contains("!\n")) << "no step failed: " << tap_->text();
    const Probe probe = ProbeVideo(out);
    EXPECT_EQ(probe.stream.count("codec_name") ? probe.stream.at("codec_name") : "", "h264") << "header and trailer were written";

    // The flag was cleared at the end of the run: a new run on the same object streams.
    const std::string again = dir_ + "/again.flv";
    std::thread worker([&] {
        run.pipeline().stream_video("/dev/video0", again.c_str(), "flv", 1280, 720, 10);
    });
    ASSERT_TRUE(fixture::WaitFor([&] { return run.pipeline().is_streaming(); }, 30s));
    ASSERT_TRUE(WaitForPackets(again, 1, 60s));
    run.pipeline().stop_stream();
    worker.join();
    EXPECT_GE(ProbeVideo(again).pts.size(), 1u);
}

// The camera is pulled after 20 frames (VCAM_UNPLUG_AFTER_1): every further read fails with
// ENODEV. The run must end by itself instead of retrying at full speed until someone stops it.
TEST_F(PipelineTest, UnpluggedCameraEndsTheRunThroughTheNormalTeardown) {
    const std::string out = dir_ + "/unplug.flv";
    PipelineRun run("/dev/video1", out);
    ASSERT_TRUE(run.waitEnded(20s)) << tap_->text();
    EXPECT_FALSE(run.pipeline().is_streaming());
    EXPECT_TRUE(tap_->contains("error reading frame from input context!\n"));
    EXPECT_TRUE(tap_->contains("done.\n"));
    const Probe probe = ProbeVideo(out);
    ExpectCameraStream(probe, 15);
    EXPECT_LE(probe.pts.size(), 20u);
}

// Camera 4 opens but never delivers a frame (a hung driver). The run ends by itself after the
// stall timeout with an ERROR through the logger, and a stop while it waits is prompt; FFmpeg's
// own complaints arrive as log lines, never as raw text.
TEST_F(PipelineTest, SilentCameraEndsTheRunAndAStopWhileSilentIsPrompt) {
    stream::Settings settings;
    settings.stall_timeout = 1s;
    {
        PipelineRun run("/dev/video4", dir_ + "/silent.flv", "flv", 1280, 720, 10, settings);
        ASSERT_TRUE(run.waitEnded(60s)) << tap_->text();
        EXPECT_FALSE(run.pipeline().is_streaming());
        EXPECT_TRUE(tap_->contains("[ERROR]")) << tap_->text();
        EXPECT_TRUE(tap_->contains("/dev/video4 is open but delivered no frame")) << tap_->text();
        std::istringstream lines(tap_->text());
        for (std::string line; std::getline(lines, line);) EXPECT_EQ(line.rfind("[", 0), 0u) << line;
    }
    settings.stall_timeout = 60s;
    const std::size_t mark = tap_->size();
    PipelineRun run("/dev/video4", dir_ + "/stopped.flv", "flv", 1280, 720, 10, settings);
    EXPECT_FALSE(run.waitEnded(1500ms));  // still waiting for the first frame
    run.stop();  // joins; a stall would hold it for the whole minute
    EXPECT_TRUE(run.ended());
    EXPECT_FALSE(tap_->contains("delivered no frame", mark));
}

// The endpoint vanishes mid-stream: the next writes fail (broken pipe) and the run ends, so that
// the controller can start a new stream instead of encoding into the void.
TEST_F(PipelineTest, EndpointKilledMidStreamEndsTheRun) {
    fixture::RtmpServer server(/*record=*/false);
    ASSERT_TRUE(server.start()) << server.log();
    PipelineRun run("/dev/video0", server.url() + "/killed");
    ASSERT_TRUE(fixture::WaitFor(
        [&] {
            return fixture::ReadFile(server.directory() + "/rtmp-access.log").find("killed") !=
                       std::string::npos ||
                   server.log().find("publish") != std::string::npos;
        },
        10s))
        << server.log();
    std::this_thread::sleep_for(500ms);
    ASSERT_FALSE(run.ended());
    server.kill();
    ASSERT_TRUE(run.waitEnded(15s)) << tap_->text();
    EXPECT_FALSE(run.pipeline().is_streaming());
    EXPECT_TRUE(tap_->contains("error writing packet to output context!\n")) << tap_->text();
    EXPECT_TRUE(tap_->contains("done.\n"));
}

// An endpoint that accepts the connection and never answers the RTMP handshake: destroying the
// stream must not wait for it.
TEST_F(PipelineTest, StopReturnsPromptlyWhileTheEndpointNeverAnswers) {
    SilentEndpoint endpoint;
    PipelineRun run("/dev/video0", "rtmp://127.0.0.1:" + std::to_string(endpoint.port()) + "/live/x");
    ASSERT_TRUE(endpoint.waitClient(20s));
    std::this_thread::sleep_for(300ms);  // well inside the handshake wait
    EXPECT_FALSE(run.ended());
    const auto took = run.stop();
    EXPECT_LT(took, 3s);
    EXPECT_FALSE(run.pipeline().is_streaming());
    EXPECT_TRUE(tap_->contains("could not open IO context!\n")) << tap_->text();
}

// Without a stop, a stalled endpoint ends the run after the I/O timeout.
TEST_F(PipelineTest, StalledEndpointEndsTheRunAfterTheIoTimeout) {
    stream::Settings settings;
    settings.io_timeout = 1500ms;
    SilentEndpoint endpoint;
    PipelineRun run("/dev/video0", "rtmp://127.0.0.1:" + std::to_string(endpoint.port()) + "/live/x",
                    "flv", 1280, 720, 10, settings);
    ASSERT_TRUE(endpoint.waitClient(20s));
    const auto connected = std::chrono::steady_clock::now();
    ASSERT_TRUE(run.waitEnded(10s));
    EXPECT_GE(std::chrono::steady_clock::now() - connected, 1s);
    EXPECT_TRUE(tap_->contains("could not open IO context!\n")) << tap_->text();
    EXPECT_FALSE(run.pipeline().is_streaming());
}

// Each run releases what it allocated: descriptors (camera, output, encoder threads) come back
// to where they were. The long version (RSS over 200 cycles) is in bench/stream.
TEST_F(PipelineTest, RepeatedRunsLeaveNoDescriptorBehind) {
    auto cycle = [&](int i) {
        const std::string out = dir_ + "/cycle" + std::to_string(i) + ".flv";
        PipelineRun run("/dev/video0", out, "flv", 1280, 720, 30);
        ASSERT_TRUE(fixture::WaitFor(
            [&] { return fixture::ReadFile(out).size() > 64 * 1024; }, 15s));
        run.stop();
        fixture::RemoveTree(out);
    };
    cycle(0);
    const int descriptors = OpenDescriptors();
    for (int i = 1; i <= 4; ++i) cycle(i);
    EXPECT_EQ(OpenDescriptors(), descriptors);
}

// The sizes of the video packets in a file, and ffprobe's counts of packets and decoded frames.
struct PacketSizes {
    std::vector<long> sizes;
    long packets = -1;
    long frames = -1;
    std::string output;
};

PacketSizes ProbePacketSizes(const std::string& file) {
    PacketSizes probe;
    probe.output = RunTool("ffprobe -v error -select_streams v:0 -count_frames -count_packets"
                           " -show_entries stream=nb_read_frames,nb_read_packets:packet=size"
                           " -of default=noprint_wrappers=1 " +
                           ShellQuote(file))
                       .output;
    std::istringstream in(probe.output);
    for (std::string line; std::getline(in, line);) {
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const long value = std::atol(line.c_str() + eq + 1);
        if (key == "size") probe.sizes.push_back(value);
        if (key == "nb_read_packets") probe.packets = value;
        if (key == "nb_read_frames") probe.frames = value;
    }
    return probe;
}

// A cap from the settings holds the busy picture of the virtual camera to the configured rate
// (x264's one-second buffer: any second at most the cap plus the buffer, the whole run about
// the cap), while the stream stays what players expect: one frame per packet, no delay.
TEST_F(PipelineTest, BitRateCapHoldsTheStreamToItsRateOneFramePerPacket) {
    constexpr long kCapKbps = 400;
    constexpr std::size_t kPackets = 60;  // six seconds at 10 fps
    stream::Settings settings;
    settings.bitrate_kbps = kCapKbps;
    const std::string out = dir_ + "/capped.flv";
    {
        PipelineRun run("/dev/video0", out, "flv", 1280, 720, 10, settings);
        ASSERT_TRUE(WaitForPackets(out, kPackets, 120s)) << tap_->text();
        run.stop();
    }
    EXPECT_TRUE(tap_->contains("done.\n"));
    ExpectCameraStream(ProbeVideo(out), kPackets);

    const PacketSizes probe = ProbePacketSizes(out);
    ASSERT_GE(probe.sizes.size(), kPackets) << probe.output;
    EXPECT_EQ(probe.frames, probe.packets) << "every packet carries exactly one frame";
    EXPECT_EQ(probe.packets, static_cast<long>(probe.sizes.size()));

    const long capBytesPerSecond = kCapKbps * 1000 / 8;
    long total = 0;
    for (long size : probe.sizes) total += size;
    const double seconds = static_cast<double>(probe.sizes.size()) / 10.0;
    // The buffer may be spent once over the run: the average stays within cap + buffer / run.
    EXPECT_LE(static_cast<double>(total), capBytesPerSecond * (seconds + 1.0))
        << "average " << total * 8 / seconds / 1000 << " kbit/s";
    // The picture needs more than the cap: the encoder works at the cap, not far below it.
    EXPECT_GE(static_cast<double>(total), capBytesPerSecond * seconds / 2);
    for (std::size_t i = 0; i + 10 <= probe.sizes.size(); ++i) {
        long second = 0;
        for (std::size_t j = i; j < i + 10; ++j) second += probe.sizes[j];
        EXPECT_LE(second, 2 * capBytesPerSecond) << "the second from packet " << i;
        if (second > 2 * capBytesPerSecond) break;
    }
}

TEST(PipelineHelpers, DeviceFamilyAndConcat) {
    stream pipeline;
    EXPECT_STREQ(pipeline.get_device_family(), "v4l2");
    char* joined = pipeline.concat_str("rtmp://h/live", "/x_0");
    EXPECT_STREQ(joined, "rtmp://h/live/x_0");
    std::free(joined);
    EXPECT_FALSE(pipeline.is_streaming());
    EXPECT_EQ(pipeline.settings().bitrate_kbps, 0) << "no cap unless one is configured";
    EXPECT_EQ(pipeline.settings().io_timeout, 10s);
    EXPECT_EQ(pipeline.settings().stall_timeout, 10s);
}

// The daemon's streams take the cap from camera.bitrate_kbps.
TEST(PipelineHelpers, DaemonSettingsComeFromTheConfiguration) {
    const std::string dir = fixture::MakeTempDir("pipeline-config-");
    const std::string file = WriteDeviceConfig(dir, dir + "/streams", dir + "/sd");
    std::string text = fixture::ReadFile(file);
    const std::string cam2 = "\"cam2\": 2,";
    ASSERT_NE(text.find(cam2), std::string::npos);
    text.replace(text.find(cam2), cam2.size(), cam2 + " \"bitrate_kbps\": 400,");
    fixture::WriteFile(file, text);
    Config::SetSource(file, "/sys/class/net");

    const stream::Settings settings = stream::Settings::FromConfig();
    EXPECT_EQ(settings.bitrate_kbps, 400);
    EXPECT_EQ(settings.io_timeout, 10s);
    EXPECT_EQ(settings.stall_timeout, 10s);
    {
        Stream absent(9, "/dev/video9", stream::Settings::FromConfig());  // no such camera: the worker ends by itself
        EXPECT_TRUE(fixture::WaitFor([&] { return !absent.IsStreaming(); }, 20s));
    }
    fixture::RemoveTree(dir);
}
