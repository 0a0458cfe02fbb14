#pragma once

// Helpers of the camera service tests: stderr capture that can be read while the code under
// test runs, ffprobe of a file or a live stream, the device configuration, the virtual camera.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "utils/shell.h"

namespace streamtest {

using namespace std::chrono_literals;

// Sends stderr (logger lines, pipeline messages, FFmpeg's own) into a file for the life of the
// object; text() reads what arrived so far. The destructor restores stderr and replays the
// captured text there, so that it still shows in the test output.
class StderrTap {
public:
    StderrTap() : dir_(fixture::MakeTempDir("stderr-")), file_(dir_ + "/stderr.txt") {
        std::fflush(stderr);
        saved_ = ::dup(2);
        int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
        ::dup2(fd, 2);
        ::close(fd);
        // Left behind if the process dies before the destructor could replay it.
        std::printf("stderr of this test goes to %s\n", file_.c_str());
        std::fflush(stdout);
    }
    ~StderrTap() {
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
        const std::string all = text();
        std::fwrite(all.data(), 1, all.size(), stderr);
        fixture::RemoveTree(dir_);
    }
    StderrTap(const StderrTap&) = delete;
    StderrTap& operator=(const StderrTap&) = delete;

    std::string text() const { return fixture::ReadFile(file_); }
    std::size_t size() const { return text().size(); }

    int count(const std::string& needle, std::size_t from = 0) const {
        const std::string all = text();
        int n = 0;
        for (std::size_t at = all.find(needle, from); at != std::string::npos;
             at = all.find(needle, at + needle.size())) {
            ++n;
        }
        return n;
    }
    bool contains(const std::string& needle, std::size_t from = 0) const {
        return count(needle, from) > 0;
    }
    bool waitFor(const std::string& needle, std::chrono::milliseconds timeout,
                 std::size_t from = 0) const {
        return fixture::WaitFor([&] { return contains(needle, from); }, timeout);
    }
    // The lines that contain `needle`.
    std::vector<std::string> lines(const std::string& needle) const {
        std::vector<std::string> out;
        std::istringstream in(text());
        for (std::string line; std::getline(in, line);) {
            if (line.find(needle) != std::string::npos) out.push_back(line);
        }
        return out;
    }

private:
    std::string dir_;
    std::string file_;
    int saved_ = -1;
};

// What ffprobe reports about the first video stream and its packets.
struct Probe {
    std::map<std::string, std::string> stream;
    std::vector<int64_t> pts;
    std::vector<int64_t> dts;
    std::string output;
};

// Runs a tool without the preloaded test libraries (sanitizer runtime, virtual camera).
inline CommandResult RunTool(const std::string& command) {
    return RunUnixCommand("env -u LD_PRELOAD " + command + " 2>&1", std::chrono::minutes(2));
}

// `target` is a file or a URL; `options` go before it (for example -rw_timeout for a live
// stream, which otherwise waits forever when the stream is absent).
inline Probe ProbeVideo(const std::string& target, const std::string& options = "") {
    Probe probe;
    const CommandResult result = RunTool(
        "ffprobe -v error " + options +
        " -select_streams v:0 -show_entries "
        "stream=codec_name,profile,width,height,pix_fmt,r_frame_rate:packet=pts,dts"
        " -of default=noprint_wrappers=1 " +
        ShellQuote(target));
    probe.output = result.output;
    std::istringstream in(result.output);
    for (std::string line; std::getline(in, line);) {
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (key == "pts" || key == "dts") {
            if (value == "N/A") continue;
            (key == "pts" ? probe.pts : probe.dts).push_back(std::stoll(value));
        } else {
            probe.stream[key] = value;
        }
    }
    return probe;
}

// The checks every published stream must pass: H.264 High, 1280x720, yuv420p, 10 fps, the
// first packet at 0 and one frame period (100 ms in FLV's millisecond time base) per packet.
inline void ExpectCameraStream(const Probe& probe, std::size_t minPackets, bool fromStart = true) {
    EXPECT_EQ(probe.stream.count("codec_name") ? probe.stream.at("codec_name") : "", "h264")
        << probe.output;
    EXPECT_EQ(probe.stream.count("profile") ? probe.stream.at("profile") : "", "High");
    EXPECT_EQ(probe.stream.count("width") ? probe.stream.at("width") : "", "1280");
    EXPECT_EQ(probe.stream.count("height") ? probe.stream.at("height") : "", "720");
    EXPECT_EQ(probe.stream.count("pix_fmt") ? probe.stream.at("pix_fmt") : "", "yuv420p");
    EXPECT_EQ(probe.stream.count("r_frame_rate") ? probe.stream.at("r_frame_rate") : "", "10/1");
    ASSERT_GE(probe.pts.size(), minPackets) << probe.output;
    if (fromStart) {
        EXPECT_EQ(probe.pts.front(), 0);
    }
    for (std::size_t i = 1; i < probe.pts.size(); ++i) {
        EXPECT_EQ(probe.pts[i] - probe.pts[i - 1], 100) << "packet " << i;
        if (probe.pts[i] - probe.pts[i - 1] != 100) break;
    }
    ASSERT_EQ(probe.dts.size(), probe.pts.size());
    for (std::size_t i = 0; i < probe.pts.size(); ++i) {
        EXPECT_EQ(probe.dts[i], probe.pts[i]) << "no B-frames: decode order is display order";
        if (probe.dts[i] != probe.pts[i]) break;
    }
}

// Polls a growing FLV file until it holds `count` video packets (ffprobe reads a file without
// trailer too). Waits for frames instead of assuming an encoding speed.
inline bool WaitForPackets(const std::string& file, std::size_t count,
                           std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (ProbeVideo(file).pts.size() >= count) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(200ms);
    }
}

// The names in a folder, sorted; empty when it does not exist.
inline std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

inline int OpenDescriptors() {
    int n = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr) ++n;
        ::closedir(dir);
    }
    return n - 3;  // ".", ".." and the directory's own descriptor
}

inline long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

// The virtual camera must be preloaded (the test's CTest environment does it).
inline bool VirtualCameraLoaded() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::string(preload).find("vcam") != std::string::npos &&
           std::getenv("VCAM_DEVICES") != nullptr;
}

// A complete device configuration in `dir`/config.json. The MAC comes from the real loopback
// interface (/sys/class/net/lo/address: 000000000000).
inline std::string WriteDeviceConfig(const std::string& dir, const std::string& cameraServer,
                                     const std::string& sdFolder) {
    auto json = [](const std::string& text) {
        std::string out = "\"";
        for (char c : text) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
        return out + "\"";
    };
    const std::string file = dir + "/config.json";
    fixture::WriteFile(
        file, "{\n"
              "  \"mqtt\": {\"server\": \"tcp://127.0.0.1:1\", \"username\": \"u\", \"password\": \"p\"},\n"
              "  \"ftp_server\": \"127.0.0.1\",\n"
              "  \"ftp_photo\": {\"server\": \"127.0.0.1\", \"port\": 1, \"username\": \"u\", \"password\": \"p\"},\n"
              "  \"ota\": {\"username\": \"u\", \"password\": \"p\", \"downloadpath\": \"/tmp\"},\n"
              "  \"camera\": {\"cam1\": 0, \"cam2\": 2, \"server\": " + json(cameraServer) + "},\n"
              "  \"rfid_spi\": {\"device\": \"/dev/null\", \"speed\": 1000000, \"delay\": 0, \"bits\": 8},\n"
              "  \"rfid_gpio\": {\"cs\": \"1\"},\n"
              "  \"netif\": \"lo\",\n"
              "  \"sdfolder\": " + json(sdFolder) + ",\n"
              "  \"fw_version\": \"test\"\n"
              "}\n");
    return file;
}

}  // namespace streamtest
