// A backlog of photos over a link with a 200 ms round trip: photos per second to an FTP server
// (pyftpdlib) and to an S3 store (Ceph's RADOS Gateway), and the S3 requests per delivered photo
// (one conditional PUT each is the aim; the first photo of a run adds the store's probe).
//
//   photo_rtt_bench [photos=200] [photo kB=300] [ftp|s3|both=both]
//
// Runs as root in a network namespace of its own. The round trip comes from netem on its
// loopback (delay 100ms) where the kernel has netem; elsewhere from a relay in this program
// that holds every chunk 100 ms each way (FTP's data connections relayed too). Prints
// figures; asserts nothing.
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "delay_relay.h"
#include "ftp_servers.h"
#include "rados_gateway.h"
#include "service/photo_layout.h"
#include "service/photo_store.h"

namespace {

using Clock = std::chrono::steady_clock;

bool Run(const std::vector<std::string>& argv) {
    fixture::Process step(argv, "/dev/null");
    int status = 0;
    return step.wait(std::chrono::seconds(30), &status) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A backlog of `count` photos of `bytes` bytes on a fresh card: their paths below photo/.
std::vector<std::string> Backlog(const std::string& card, int count, size_t bytes) {
    std::vector<std::string> photos;
    Run({"mkdir", "-p", card + "/photo/2030/1/1", card + "/photo/.pending/2030-1-1"});
    for (int i = 0; i < count; ++i) {
        const std::string relative = "2030/1/1/" + std::to_string(1893456000 + i) + "_1.jpg";
        std::string photo(bytes, static_cast<char>('a' + i % 26));
        photo.replace(0, std::to_string(i).size(), std::to_string(i));
        std::ofstream(card + "/photo/" + relative, std::ios::binary) << photo;
        std::ofstream(card + "/photo/.pending/" + photo_layout::MarkerPath(relative));
        photos.push_back(relative);
    }
    return photos;
}

int Waiting(const std::string& card, const std::vector<std::string>& photos) {
    int waiting = 0;
    struct stat info {};
    for (const std::string& photo : photos) {
        waiting += ::stat((card + "/photo/.pending/" + photo_layout::MarkerPath(photo)).c_str(), &info) == 0;
    }
    return waiting;
}

// Photos per second from the store's start to the last delivery (at most 15 minutes).
double Drain(PhotoStore::Settings settings, const std::vector<std::string>& photos, int& delivered) {
    const auto start = Clock::now();
    auto store = std::make_shared<PhotoStore>("PhotoStore", nullptr, settings);
    store->start();
    int waiting = static_cast<int>(photos.size());
    while (waiting > 0 && Clock::now() - start < std::chrono::minutes(15)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        waiting = Waiting(settings.sdFolder, photos);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    store->Shutdown(Clock::now());
    delivered = static_cast<int>(photos.size()) - waiting;
    return delivered / seconds;
}

PhotoStore::Settings Card(const std::string& card) {
    PhotoStore::Settings settings;
    settings.sdFolder = card;
    settings.minFreeBytes = 0;
    settings.mac = "0a1b2c3d4e5f";
    return settings;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 200;
    const size_t bytes = static_cast<size_t>(argc > 2 ? std::atoi(argv[2]) : 300) * 1024;
    const std::string which = argc > 3 ? argv[3] : "both";
    if (::unshare(CLONE_NEWNET) != 0 || !Run({"ip", "link", "set", "lo", "up"})) {
        std::fprintf(stderr, "photo_rtt_bench: needs root for a network namespace of its own\n");
        return 1;
    }
    const bool netem = Run({"tc", "qdisc", "add", "dev", "lo", "root", "netem", "delay", "100ms"});
    std::printf("%d photos of %zu kB, 200 ms round trip by %s\n", count, bytes / 1024,
                netem ? "netem on loopback" : "a relay holding each chunk 100 ms each way (no netem here)");
    // Log lines would cost more than the photos.
    if (std::getenv("BENCH_LOG") == nullptr) std::freopen("/dev/null", "w", stderr);

    if (which != "s3") {
        fixture::FtpServer server;
        std::unique_ptr<DelayRelay> relay = netem ? nullptr : std::make_unique<DelayRelay>(server.port(), true);
        const std::string card = fixture::MakeTempDir("rtt-ftp-");
        PhotoStore::Settings settings = Card(card);
        settings.ftpUser = server.user();
        settings.ftpPassword = server.password();
        settings.ftpHost = "127.0.0.1";
        settings.ftpPort = relay ? relay->port() : server.port();
        int delivered = 0;
        const double rate = Drain(settings, Backlog(card, count, bytes), delivered);
        std::printf("FTP: %.2f photos/s (%d of %d delivered)\n", rate, delivered, count);
        std::fflush(stdout);
        fixture::RemoveTree(card);
    }
    if (which != "ftp") {
        fixture::RadosGateway gateway;
        std::unique_ptr<DelayRelay> relay = netem ? nullptr : std::make_unique<DelayRelay>(gateway.port(), false);
        const std::string card = fixture::MakeTempDir("rtt-s3-");
        PhotoStore::Settings settings = Card(card);
        settings.ftpHost = "127.0.0.1";
        settings.bucket = S3Bucket::Account{"http://127.0.0.1:" + std::to_string(relay ? relay->port() : gateway.port()),
                                            gateway.bucket(), gateway.region(), gateway.accessKey(),
                                            gateway.secretKey(), ""};
        const int before = gateway.Requests("PUT") + gateway.Requests("HEAD");
        int delivered = 0;
        const double rate = Drain(settings, Backlog(card, count, bytes), delivered);
        const int requests = gateway.Requests("PUT") + gateway.Requests("HEAD") - before;
        std::printf("S3:  %.2f photos/s (%d of %d delivered), %.3f requests per delivered photo (%d, the probe's "
                    "included)\n",
                    rate, delivered, count, delivered > 0 ? static_cast<double>(requests) / delivered : 0.0, requests);
        fixture::RemoveTree(card);
    }
    return 0;
}
