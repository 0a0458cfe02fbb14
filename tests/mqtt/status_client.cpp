// A device's broker connection in a process of its own, for tests that kill it:
// status_client <uri> <client id> <status topic> <keep-alive seconds>. Connects, then waits
// for a signal.
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "net/mqtt.h"

int main(int argc, char** argv) {
    if (argc != 5) return 2;
    MQTTClient::Settings settings;
    settings.server = argv[1];
    settings.clientId = argv[2];
    settings.statusTopic = argv[3];
    settings.keepAlive = std::chrono::seconds(std::atoi(argv[4]));
    MQTTClient client(settings);
    for (;;) ::pause();
}
