// The peers of the demo (scripts/demo): a mosquitto broker, a pyftpdlib FTP server and an
// nginx-rtmp endpoint on free 127.0.0.1 ports, started by the same launchers as the tests.
//
//   demo_peers <env file> [--tls]
//
// With --tls the broker also has a TLS listener whose certificate (for 127.0.0.1) comes from a
// CA of its own; MQTT_TLS_URI and MQTT_CA_FILE then tell the device where and what to trust.
//
// Writes the peers' addresses to <env file> as shell assignments once all are up, then waits
// for SIGINT or SIGTERM and stops them by their pids (their temporary folders go with them).
#include <signal.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "ftp_servers.h"
#include "mosquitto.h"
#include "pki.h"
#include "rtmp_server.h"

namespace {

// Single-quoted for the shell.
std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

int main(int argc, char** argv) {
    const bool tls = argc == 3 && std::string(argv[2]) == "--tls";
    if (argc != 2 && !tls) {
        std::fprintf(stderr, "usage: %s <env file> [--tls]\n", argv[0]);
        return 2;
    }
    // Taken synchronously below; blocked before any thread exists.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        std::unique_ptr<fixture::TestPki> pki;
        std::unique_ptr<fixture::Mosquitto> brokerOwner;
        if (tls) {
            pki = std::make_unique<fixture::TestPki>("k5 demo CA");
            auto issued = pki->Issue("127.0.0.1", "IP:127.0.0.1,DNS:localhost");
            brokerOwner = std::make_unique<fixture::Mosquitto>(
                fixture::Mosquitto::Tls{issued.certFile, issued.keyFile, "", false});
        } else {
            brokerOwner = std::make_unique<fixture::Mosquitto>();
        }
        fixture::Mosquitto& broker = *brokerOwner;
        if (!broker.start()) {
            std::fprintf(stderr, "mosquitto did not start:\n%s\n", broker.log().c_str());
            return 1;
        }
        fixture::FtpServer ftp;
        fixture::RtmpServer rtmp(false);
        if (!rtmp.start()) {
            std::fprintf(stderr, "nginx-rtmp did not start:\n%s\n", rtmp.log().c_str());
            return 1;
        }
        std::string env = std::string("MQTT_PORT=") + std::to_string(broker.port()) + "\n" +
                                "MQTT_URI=" + Quote(broker.uri()) + "\n" +
                                "FTP_PORT=" + std::to_string(ftp.port()) + "\n" +
                                "FTP_USER=" + Quote(ftp.user()) + "\n" +
                                "FTP_PASSWORD=" + Quote(ftp.password()) + "\n" +
                                "FTP_ROOT=" + Quote(ftp.root()) + "\n" +
                                "RTMP_URL=" + Quote(rtmp.url()) + "\n";
        if (tls) {
            env += "MQTT_TLS_URI=" + Quote("ssl://127.0.0.1:" + std::to_string(broker.tlsPort())) +
                   "\nMQTT_CA_FILE=" + Quote(pki->caFile()) + "\n";
        }
        const std::string partial = std::string(argv[1]) + ".part";
        fixture::WriteFile(partial, env);
        if (std::rename(partial.c_str(), argv[1]) != 0) {
            std::perror("rename");
            return 1;
        }
        int signal = 0;
        sigwait(&stopSignals, &signal);
        // Leaving the scope stops nginx, the FTP server and the broker, in that order.
    } catch (const std::exception& e) {
        std::fprintf(stderr, "demo peers: %s\n", e.what());
        return 1;
    }
    return 0;
}
