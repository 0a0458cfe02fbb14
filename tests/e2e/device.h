#pragma once

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config_namespace.h"
#include "ftp_servers.h"
#include "mosquitto.h"
#include "process.h"
#include "rtmp_server.h"

// The daemon binary, unmodified, with its own peers on loopback: a mosquitto broker, a pyftpdlib
// FTP server (or a closed port in its place), an nginx-rtmp endpoint and the virtual camera.
// It runs in a private mount namespace where the device configuration is bind-mounted over
// /etc/config.json; camera 1 is /dev/video0 (present), camera 2 is /dev/video9 (absent).
class Device {
public:
    static constexpr int kCam1 = 0;
    static constexpr int kCam2 = 9;

    struct Options {
        bool ftpServer = true;
        int ftpThrottleBytesPerSecond = 0;  // > 0: a slow FTP server
    };

    Device() : Device(Options()) {}
    explicit Device(const Options& options) {
        dir = fixture::MakeTempDir("k5-e2e-");
        sd = dir + "/sd";
        logFile = dir + "/daemon.log";
        mac = LoopbackMac();
        if (options.ftpServer) {
            StartFtpServer(options.ftpThrottleBytesPerSecond);
        } else {
            ftpPort = fixture::FreeTcpPort();  // nothing listens there: the server is down
        }
        brokerUp = broker.start();
        rtmpUp = rtmp.start();
    }

    ~Device() {
        daemon.reset();
        if (!keep) fixture::RemoveTree(dir);
    }

    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    bool PeersUp() const { return brokerUp && rtmpUp; }

    // A (new) FTP server; the configuration of the next Start names it.
    void StartFtpServer(int throttleBytesPerSecond = 0) {
        fixture::FtpServer::Options ftpOptions;
        ftpOptions.throttleBytesPerSecond = throttleBytesPerSecond;
        ftp = std::make_unique<fixture::FtpServer>(ftpOptions);
        ftpPort = ftp->port();
    }

    std::string Topic(const std::string& leaf) const { return "vok/k5/k5_" + mac + "/" + leaf; }
    std::string DeviceId() const { return "vok_" + mac; }
    std::string StreamUrl(int camera) const { return rtmp.url() + "/" + mac + "_" + std::to_string(camera); }

    // The device configuration; `edit` may spoil it for the tests of defective files.
    std::string ConfigText() const {
        const std::string user = ftp ? ftp->user() : "camera";
        const std::string password = ftp ? ftp->password() : "secret";
        return "{\n"
               "  \"mqtt\": {\"server\": \"" + broker.uri() + "\", \"username\": \"\", \"password\": \"\"},\n"
               "  \"ftp_server\": \"127.0.0.1\",\n"
               "  \"ftp_photo\": {\"server\": \"127.0.0.1\", \"port\": " + std::to_string(ftpPort) +
               ", \"username\": \"" + user + "\", \"password\": \"" + password + "\"},\n"
               "  \"ota\": {\"username\": \"ota\", \"password\": \"ota\", \"downloadpath\": \"" + dir + "/ota\"},\n"
               "  \"camera\": {\"cam1\": " + std::to_string(kCam1) + ", \"cam2\": " + std::to_string(kCam2) +
               ", \"server\": \"" + rtmp.url() + "\"},\n"
               "  \"rfid_spi\": {\"device\": \"/dev/spidev0.0\", \"speed\": 1000000, \"delay\": 0, \"bits\": 8},\n"
               "  \"rfid_gpio\": {\"cs\": \"17\"},\n"
               "  \"netif\": \"lo\",\n"
               "  \"sdfolder\": \"" + sd + "\",\n"
               + TimingMembers() +
               "  \"fw_version\": \"e2e-1.2.3\"\n"
               "}\n";
    }

    // The planned length of a run started now, in seconds.
    int RunLength() const { return timing.runLength > 0 ? timing.runLength : 121; }

    // Starts the daemon with `config` (default: ConfigText()) over /etc/config.json.
    void Start(const std::string& config = "") {
        const std::string file = dir + "/config.json";
        fixture::WriteFile(file, config.empty() ? ConfigText() : config);
        // The camera library is preloaded into the daemon only (and its children: the shell and
        // v4l2-ctl); a sanitizer runtime comes first in the list.
        started = std::chrono::steady_clock::now();
        std::vector<std::string> command = {"env", std::string("LD_PRELOAD=") + K5_VCAM_PRELOAD,
                                            "VCAM_DEVICES=" + std::to_string(kCam1),
                                            std::string("VCAM_JPEG=") + K5_VCAM_JPEG,
                                            // as systemd's RuntimeDirectory=, one per device
                                            "RUNTIME_DIRECTORY=" + dir + "/run"};
        command.insert(command.end(), env.begin(), env.end());
        command.push_back(binary);
        daemon = std::make_unique<fixture::Process>(
            fixture::InConfigNamespace(file, dir + "/ns", command), logFile);
    }

    std::string Log() const { return fixture::ReadFile(logFile); }

    // Waits until the daemon's log contains `text`; the moment it was seen in `seen`.
    bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout,
                    std::chrono::steady_clock::time_point* seen = nullptr) {
        bool found = fixture::WaitFor([&] { return Log().find(text) != std::string::npos; }, timeout);
        if (found && seen) *seen = std::chrono::steady_clock::now();
        return found;
    }

    double SecondsSinceStart() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    }

    // Files below `root`, sorted, as paths relative to it.
    static std::vector<std::string> Files(const std::string& root) {
        std::vector<std::string> files;
        std::error_code error;
        if (!std::filesystem::exists(root, error)) return files;
        for (auto& entry : std::filesystem::recursive_directory_iterator(root, error))
            if (entry.is_regular_file()) files.push_back(std::filesystem::relative(entry.path(), root).string());
        std::sort(files.begin(), files.end());
        return files;
    }

    std::string TimingMembers() const {
        std::string members;
        const std::pair<const char*, int> values[] = {{"run_length_s", timing.runLength},
                                                     {"photo_interval_s", timing.photoInterval},
                                                     {"heartbeat_interval_s", timing.heartbeatInterval}};
        for (const auto& value : values)
            if (value.second > 0) members += "  \"" + std::string(value.first) + "\": " + std::to_string(value.second) + ",\n";
        return members;
    }

    static std::string LoopbackMac() {
        std::ifstream in("/sys/class/net/lo/address");
        std::string word, result;
        in >> word;
        for (char c : word)
            if (c != ':') result += c;
        return result;
    }

    std::string dir;
    std::string sd;
    std::string logFile;
    std::string mac;
    int ftpPort = 0;
    bool brokerUp = false;
    bool rtmpUp = false;
    // The length of a run and the periods, in seconds, for the configuration of the next Start;
    // 0 leaves the member out (the daemon's default: 121, 60 and 30 s). Tests that wait for a
    // planned end or for periodic events set short ones.
    struct Timing {
        int runLength = 0;
        int photoInterval = 0;
        int heartbeatInterval = 0;
    };
    Timing timing;
    bool keep = false;  // set by a failing test to keep the directory for a look afterwards
    std::string binary = K5CAM_BINARY;  // the daemon program that Start() runs
    std::vector<std::string> env;  // more NAME=value for the daemon's environment
    fixture::Mosquitto broker;
    std::unique_ptr<fixture::FtpServer> ftp;
    fixture::RtmpServer rtmp{false};
    std::unique_ptr<fixture::Process> daemon;
    std::chrono::steady_clock::time_point started;
};

// How often `what` occurs in `text`.
inline size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Runs a program to its end (at most `timeout`) and gives its standard output and error.
inline std::string RunTool(const std::vector<std::string>& argv, const std::string& logFile,
                           std::chrono::milliseconds timeout, int* exitCode = nullptr) {
    std::remove(logFile.c_str());
    fixture::Process tool(argv, logFile);
    int status = -1;
    bool ended = tool.wait(timeout, &status);
    if (!ended) tool.stop(SIGKILL);
    if (exitCode) *exitCode = ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return fixture::ReadFile(logFile);
}

// What ffprobe sees of the live stream: "codec,width,height", or its error text.
inline std::string ProbeStream(const Device& device, int camera) {
    return RunTool({"ffprobe", "-v", "error", "-rw_timeout", "15000000", "-select_streams", "v:0",
                    "-show_entries", "stream=codec_name,width,height", "-of", "csv=p=0",
                    device.StreamUrl(camera)},
                   device.dir + "/ffprobe.log", std::chrono::seconds(30));
}

// Whether the live stream of `camera` becomes readable as H.264 1280x720 within a minute.
inline bool StreamIsReadable(const Device& device, int camera, std::string& seen) {
    return fixture::WaitFor(
        [&] {
            seen = ProbeStream(device, camera);
            return seen.find("h264,1280,720") != std::string::npos;
        },
        std::chrono::seconds(60));
}
