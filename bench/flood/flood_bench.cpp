// A burst of 100 000 commands of most kinds ("view_cam" included) published at full speed to the
// daemon through a real broker. Prints the daemon's resident memory before, its peak during and
// after the burst, the delay from the burst's end to the answer of the next command, and what the
// log says about drops. Goals: growth under 32 MB, answer within 5 s, no publication refused (the
// periodic heartbeat included), one stream start.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "controller.h"
#include "device.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

long RssKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
    Device device;
    if (!device.PeersUp()) {
        std::fprintf(stderr, "the peers did not start\n");
        return 1;
    }
    Controller watcher(device.broker.uri(), "bench-watcher");
    watcher.Subscribe(device.Topic("heartbeat"));
    watcher.Subscribe(device.Topic("event"));
    device.Start();
    if (!watcher.WaitFor(device.Topic("event"), "\"type\":\"version\"", 30s)) {
        std::fprintf(stderr, "the daemon did not answer; its log:\n%s\n", device.Log().c_str());
        return 1;
    }
    // The stream that the burst's "view_cam" asks for runs from before the baseline: its
    // encoder's memory is not the flood's.
    watcher.Publish(device.Topic("command"), "{\"type\":\"view_cam\"}");
    if (!device.WaitForLog("Start stream: ", 30s)) {
        std::fprintf(stderr, "the stream did not start; its log:\n%s\n", device.Log().c_str());
        return 1;
    }
    std::this_thread::sleep_for(8s);  // start-up and stream set-up allocations are over
    const pid_t pid = device.daemon->pid();
    const long before = RssKb(pid);

    std::atomic<bool> sampling{true};
    std::atomic<long> peak{before};
    std::thread sampler([&] {
        while (sampling) {
            const long now = RssKb(pid);
            if (now > peak) peak = now;
            std::this_thread::sleep_for(5ms);
        }
    });

    std::string lines;
    const char* kinds[] = {"{\"type\":\"view_cam\"}", "{\"type\":\"version\"}", "{\"type\":\"heartbeat\"}",
                           "{\"type\":\"reboot\"}", "{\"type\":\"reset_factory\"}", "not json",
                           "{\"type\":\"unknown\"}"};
    for (int i = 0; i < count; ++i) lines += std::string(kinds[i % 7]) + "\n";
    fixture::WriteFile(device.dir + "/burst.txt", lines);
    const Clock::time_point burstStart = Clock::now();
    int code = -1;
    RunTool({"sh", "-c", "mosquitto_pub -h 127.0.0.1 -p " + std::to_string(device.broker.port()) + " -t " +
                             device.Topic("command") + " -l < " + device.dir + "/burst.txt"},
            device.dir + "/pub.log", 300s, &code);
    const Clock::time_point burstEnd = Clock::now();

    // The command right after the burst, from a client of its own: a "download", the one kind
    // that the burst does not contain, so that only its answer counts.
    Controller asker(device.broker.uri(), "bench-asker");
    asker.Subscribe(device.Topic("event"));
    const Clock::time_point asked = Clock::now();
    asker.Publish(device.Topic("command"), "{\"type\":\"download\"}");
    Controller::Message answer;
    const bool answered = asker.WaitFor(device.Topic("event"), "\"type\":\"download\"", 60s, &answer);
    std::this_thread::sleep_for(3s);
    sampling = false;
    sampler.join();
    const long after = RssKb(pid);

    device.daemon->signal(SIGTERM);
    int status = -1;
    device.daemon->wait(30s, &status);

    auto ms = [](Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
    std::printf("commands published:               %d (mosquitto_pub exit %d) in %lld ms\n", count, code,
                static_cast<long long>(ms(burstEnd - burstStart)));
    std::printf("daemon RSS before burst:          %ld kB\n", before);
    std::printf("daemon RSS peak during/after:     %ld kB (growth %ld kB; goal < 32768 kB)\n", peak.load(),
                peak.load() - before);
    std::printf("daemon RSS 3 s after the answer:  %ld kB\n", after);
    if (answered)
        std::printf("answer after the burst's end:     %lld ms (goal < 5000 ms)\n",
                    static_cast<long long>(ms(answer.at - burstEnd)));
    else
        std::printf("answer after the burst's end:     none within 60 s\n");
    const std::string log = device.Log();
    auto occurrences = [&log](const std::string& what) {
        size_t n = 0;
        for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) ++n;
        return n;
    };
    std::printf("flood WARN lines in the log:      %zu\n", occurrences("until the flood ends"));
    std::printf("publishes the MQTT library refused: %zu\n", occurrences("No more messages can be buffered"));
    std::printf("stream starts:                    %zu\n", occurrences("Start stream: "));
    (void)asked;
    return answered ? 0 : 1;
}
