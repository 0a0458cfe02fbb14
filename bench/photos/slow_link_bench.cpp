// One photo over a thin link, run after run of the daemon: how many runs it takes to deliver it
// and how many bytes the server received in all (a transfer cut at a run's end is resumed by the
// next run, so the goal is about 1x, at most 1.5x). A run is the uploader's life in one run of
// the daemon: the photo is taken `taken` seconds into the first run, every later run starts with
// it pending, and each run ends with the orderly stop's share for uploads.
//
//   slow_link_bench [photo kB=300] [link bytes/s=2000] [run s=121] [taken s=60] [stop share s=11]
//
// Runs in real time (about 2.5 minutes with the defaults) against pyftpdlib slowed down to the
// link's rate on loopback.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "ftp_servers.h"
#include "service/photo_layout.h"
#include "service/photo_store.h"

namespace {

using Clock = std::chrono::steady_clock;

void Write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Everything the server's log says it received over data connections.
long long Received(const std::string& log) {
    long long sum = 0;
    const std::string key = " bytes=";
    for (std::size_t at = log.find(key); at != std::string::npos; at = log.find(key, at + 1)) {
        sum += std::atoll(log.c_str() + at + key.size());
    }
    return sum;
}

double Arg(int argc, char** argv, int index, double fallback) {
    return argc > index ? std::atof(argv[index]) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const auto photoBytes = static_cast<std::size_t>(Arg(argc, argv, 1, 300) * 1000);
    const int rate = static_cast<int>(Arg(argc, argv, 2, 2000));
    const auto run = std::chrono::duration<double>(Arg(argc, argv, 3, 121));
    const auto taken = std::chrono::duration<double>(Arg(argc, argv, 4, 60));
    const auto stopShare = std::chrono::duration<double>(Arg(argc, argv, 5, 11));

    fixture::FtpServer::Options options;
    options.throttleBytesPerSecond = rate;
    fixture::FtpServer server(options);
    const char* tmp = std::getenv("TMPDIR");
    const std::string card = std::string(tmp ? tmp : "/tmp") + "/slow-link-bench-" + std::to_string(::getpid());
    const std::string relative = "2030/1/1/1893456000_1.jpg";
    std::string photo(photoBytes, 'j');
    photo[0] = '\xff';
    photo[1] = '\xd8';
    photo[photoBytes - 2] = '\xff';
    photo[photoBytes - 1] = '\xd9';
    std::system(("mkdir -p '" + card + "/photo/2030/1/1' '" + card + "/photo/.pending/2030-1-1'").c_str());
    Write(card + "/photo/" + relative, photo);
    Write(card + "/photo/.pending/" + photo_layout::MarkerPath(relative), "");

    PhotoStore::Settings settings;
    settings.sdFolder = card;
    settings.minFreeBytes = 0;
    settings.ftpUser = server.user();
    settings.ftpPassword = server.password();
    settings.ftpHost = "127.0.0.1";
    settings.ftpPort = server.port();
    settings.firstRetry = std::chrono::seconds(5);
    const std::string onServer = server.root() + "/photo/" + relative;
    int runs = 0;
    bool delivered = false;
    std::printf("%zu bytes over %d bytes/s, runs of %.0f s (the photo taken %.0f s into the first), %.0f s of "
                "each stop for uploads\n",
                photoBytes, rate, run.count(), taken.count(), stopShare.count());
    while (!delivered && runs < 10) {
        ++runs;
        const auto life = runs == 1 ? run - taken : run;
        const auto begin = Clock::now();
        auto store = std::make_shared<PhotoStore>("Uploader", nullptr, settings);
        store->start();
        while (Clock::now() - begin < life && !(delivered = Read(onServer) == photo)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        store->Shutdown(Clock::now() + std::chrono::duration_cast<Clock::duration>(stopShare));
        delivered = Read(onServer) == photo;
        const std::string partial = photo_layout::RemoteTemporary(onServer, settings.mac, settings.claimNames);
        std::printf("run %d: %s\n", runs,
                    delivered ? "delivered" : ("the server holds " + std::to_string(Read(partial).size()) +
                                               " bytes of it")
                                                  .c_str());
    }
    const long long received = Received(server.log());
    std::printf("delivered in %d run(s) (goal <= 3); the server received %.2f times the photo's bytes (goal <= 1.5)\n",
                delivered ? runs : -1, static_cast<double>(received) / static_cast<double>(photoBytes));
    std::system(("rm -rf '" + card + "'").c_str());
    return delivered ? 0 : 1;
}
