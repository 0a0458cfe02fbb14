#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <memory>

#include "config.h"
#include "service/main.h"
#include "utils/event_loop.h"
#include "utils/logger.h"

namespace {

// SIGTERM and SIGINT only write a byte here; main waits on the read end. Nothing else is
// safe to do inside a signal handler.
int stopPipe[2] = {-1, -1};

void OnStopSignal(int) {
    int saved = errno;
    char byte = 1;
    ssize_t ignored = ::write(stopPipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

bool InstallSignalHandling() {
    // A dropped socket must never kill the device.
    std::signal(SIGPIPE, SIG_IGN);
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGTERM, &action, nullptr) == 0 && ::sigaction(SIGINT, &action, nullptr) == 0;
}

// Sleeps for `duration`; false when a stop signal ended the wait early.
bool SleepUnlessStopped(std::chrono::milliseconds duration) {
    auto deadline = std::chrono::steady_clock::now() + duration;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return true;
        }
        pollfd fd = {stopPipe[0], POLLIN, 0};
        int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
        if (ready > 0) {
            return false;
        }
        if (ready < 0 && errno != EINTR) {
            LOG_ERROR << "Waiting failed, errno: " << errno;
            return true;
        }
    }
}

}  // namespace

int main() {
    if (!InstallSignalHandling()) {
        LOG_ERROR << "Cannot install the signal handlers, errno: " << errno;
        return 1;
    }
    // Before any connection or thread: the device cannot run on an incomplete configuration.
    if (!Config::Loaded()) {
        LOG_ERROR << "No usable configuration in " << Config::kConfigFile << "; stopping.";
        return 1;
    }

    std::shared_ptr<Main> controller = Main::GetInstance("Main", nullptr);
    controller->start();
    controller->post(std::make_shared<VersionEvent>());

    bool stopped = !SleepUnlessStopped(std::chrono::seconds(1));
    if (!stopped) {
        controller->post([]() { LOG_INFO << "Post async task."; });
        stopped = !SleepUnlessStopped(std::chrono::seconds(120));
    }
    if (stopped) {
        LOG_INFO << "Stop signal received, shutting down.";
    }

    controller->stop();
    controller->wait();
    // A planned end says nothing: the next run follows within seconds, and the clean
    // disconnection keeps the broker from publishing the last will.
    if (stopped) {
        controller->AnnounceOffline(std::chrono::seconds(3));
    }
    return 0;
}
