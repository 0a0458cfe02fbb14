// Command round trip on a loopback broker: a controller publishes {"type":"version"} and
// waits for the device's response, one at a time; in the same run, the broker's own floor
// (a client publishing to itself through the broker). Prints median and p99 of both.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "config.h"
#include "device_config.h"
#include "mosquitto.h"
#include "probe.h"
#include "process.h"
#include "service/main.h"

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

double Percentile(std::vector<double> samples, double p) {
    std::sort(samples.begin(), samples.end());
    size_t index = static_cast<size_t>(p * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[index];
}

}  // namespace

int main(int argc, char** argv) {
    int count = argc > 1 ? std::stoi(argv[1]) : 2000;
    std::string dir = fixture::MakeTempDir("k5-bench-");
    // The device's log lines go to a file, as they would to the journal.
    if (std::freopen((dir + "/device.log").c_str(), "w", stderr) == nullptr) return 1;

    fixture::Mosquitto broker;
    if (!broker.start()) {
        std::printf("mosquitto did not start\n");
        return 1;
    }
    DeviceConfig device = DeviceConfig::Write(dir, broker.uri(), "", "", "\"bench\"");
    Config::SetSource(device.file, device.netRoot);
    if (!Config::Loaded()) return 1;
    auto main = Main::GetInstance("Main", nullptr);
    main->start();

    Probe controller(broker.uri(), "bench-controller");
    controller.Subscribe(device.Topic("event"));
    Probe floor(broker.uri(), "bench-floor");
    floor.Subscribe("bench/floor");

    Probe::Message message;
    auto ready = Clock::now() + 10s;
    bool answered = false;
    while (!answered && Clock::now() < ready) {
        controller.Publish(device.Topic("command"), "{\"type\":\"version\"}");
        answered = controller.Next(message, 200ms);
    }
    if (!answered) {
        std::printf("device did not answer\n");
        return 1;
    }
    while (controller.Next(message, 300ms)) {
    }

    std::vector<double> deviceMs, floorMs;
    const std::string command = "{\"type\":\"version\"}";
    const std::string command_topic = device.Topic("command");
    int lost = 0;
    for (int i = 0; i < count; ++i) {
        auto begin = Clock::now();
        floor.Publish("bench/floor", command);
        if (!floor.Next(message, 5s)) ++lost;
        floorMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());

        begin = Clock::now();
        controller.Publish(command_topic, command);
        if (!controller.Next(message, 5s)) ++lost;
        deviceMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
    }

    std::printf("command round trip, %d samples each, loopback mosquitto\n", count);
    std::printf("  broker floor : median %.3f ms  p99 %.3f ms\n", Percentile(floorMs, 0.5),
                Percentile(floorMs, 0.99));
    std::printf("  device       : median %.3f ms  p99 %.3f ms\n", Percentile(deviceMs, 0.5),
                Percentile(deviceMs, 0.99));
    std::printf("  device - floor (median): %.3f ms; lost: %d\n",
                Percentile(deviceMs, 0.5) - Percentile(floorMs, 0.5), lost);

    main->stop();
    main->wait();
    fixture::RemoveTree(dir);
    return lost == 0 ? 0 : 1;
}
