// The daemon's footprint, built against the bundled static FFmpeg and against the system's shared
// FFmpeg, one after the other in one run, each with its own real peers on loopback (broker, FTP
// server, nginx-rtmp, the virtual camera as /dev/video0), as in the end-to-end tests.
//
//   bench_footprint [idle seconds, default 20] [rounds, default 1]
//
// For each daemon and round it prints:
//   - the time from starting the daemon's process to its "MQTT connected." log line (the start
//     goes through the private mount namespace of the tests, the same for both);
//   - resident memory and the number of shared libraries mapped (distinct *.so files in
//     /proc/<pid>/maps; the loader and the tests' preloaded virtual camera included) right after
//     that line, after the idle window, and with one stream running after a "view_cam".
// It asserts nothing.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "controller.h"
#include "device.h"

using namespace std::chrono_literals;

namespace {

long ResidentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

int SharedLibraries(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/maps");
    std::set<std::string> files;
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t slash = line.find('/');
        if (slash == std::string::npos) continue;
        const std::string path = line.substr(slash);
        const std::size_t name = path.rfind('/');
        if (path.find(".so", name) != std::string::npos) files.insert(path);
    }
    return static_cast<int>(files.size());
}

struct Figures {
    bool ok = false;
    double connectSeconds = 0;
    long startKiB = 0, idleKiB = 0, streamKiB = 0;
    int startLibraries = 0, idleLibraries = 0, streamLibraries = 0;
    bool live = false;
};

Figures Measure(const std::string& binary, int idleSeconds) {
    Figures figures;
    Device device;
    device.binary = binary;
    if (!device.PeersUp()) {
        std::fprintf(stderr, "the peers did not start\n");
        return figures;
    }
    Controller controller(device.broker.uri(), "bench-footprint");
    controller.Subscribe(device.Topic("event"));

    device.Start();
    std::chrono::steady_clock::time_point connected;
    if (!device.WaitForLog("MQTT connected.", 30s, &connected)) {
        std::fprintf(stderr, "%s did not connect; its log:\n%s\n", binary.c_str(), device.Log().c_str());
        return figures;
    }
    const pid_t pid = device.daemon->pid();
    figures.connectSeconds = std::chrono::duration<double>(connected - device.started).count();
    figures.startKiB = ResidentKiB(pid);
    figures.startLibraries = SharedLibraries(pid);

    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    figures.idleKiB = ResidentKiB(pid);
    figures.idleLibraries = SharedLibraries(pid);

    controller.Publish(device.Topic("command"), "{\"type\":\"view_cam\"}");
    std::string probed;
    figures.live = StreamIsReadable(device, Device::kCam1, probed);
    std::this_thread::sleep_for(5s);  // the encoder's buffers are filled by now
    figures.streamKiB = ResidentKiB(pid);
    figures.streamLibraries = SharedLibraries(pid);

    device.daemon->stop(SIGTERM, 10s);
    figures.ok = true;
    return figures;
}

void Print(const char* who, const Figures& f) {
    if (!f.ok) {
        std::printf("%-16s (no figures: the daemon did not start)\n", who);
        return;
    }
    std::printf("%-16s %9.2f %10ld %5d %10ld %5d %10ld %5d%s\n", who, f.connectSeconds, f.startKiB,
                f.startLibraries, f.idleKiB, f.idleLibraries, f.streamKiB, f.streamLibraries,
                f.live ? "" : "  [the stream did not come up]");
}

bool Executable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

}  // namespace

int main(int argc, char** argv) {
    const int idleSeconds = argc > 1 ? std::atoi(argv[1]) : 20;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 1;
    if (idleSeconds < 1 || idleSeconds > 60 || rounds < 1 || rounds > 10) {
        std::fprintf(stderr, "idle seconds: 1 to 60 (the daemon runs for about 121 s); rounds: 1 to 10\n");
        return 2;
    }
    const std::string bundled = K5CAM_BINARY;
    const std::string system = K5CAM_SYSTEM_FFMPEG_BINARY;
    if (!Executable(system)) {
        std::fprintf(stderr, "%s is missing: cmake --build <build dir> --target k5cam_system_ffmpeg\n",
                     system.c_str());
        return 2;
    }

    std::printf("== daemon footprint, bundled static FFmpeg against the system's shared FFmpeg\n");
    std::printf("   bundled: %s\n   system:  %s\n", bundled.c_str(), system.c_str());
    std::printf("   idle window %d s; RSS in KiB; libs: shared libraries mapped\n", idleSeconds);
    std::printf("%-16s %9s %10s %5s %10s %5s %10s %5s\n", "FFmpeg", "connect s", "RSS start", "libs",
                "RSS idle", "libs", "RSS stream", "libs");
    for (int round = 0; round < rounds; ++round) {
        Print("bundled (static)", Measure(bundled, idleSeconds));
        Print("system (shared)", Measure(system, idleSeconds));
    }
    std::printf("goals for the bundled build: at most 50 shared libraries, at most 20 MB (20480 KiB) "
                "resident idle\n");
    return 0;
}
