#include "utils/shell.h"

#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "utils/logger.h"

namespace {

constexpr std::size_t kMaxOutput = 64 * 1024;

std::mutex groupsMutex;
std::set<pid_t> runningGroups;     // process groups of the commands running now
std::vector<pid_t> unreaped;       // killed but not reaped in time (stuck in the kernel)

int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    return left.count() > 1000 ? 1000 : static_cast<int>(left.count());
}

// Reaps `pid` if it ends before `deadline`; its wait status, or -1.
int ReapBy(pid_t pid, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return status;
        if (done < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        // Only reached when the command closed its output and still runs, or after a kill.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void ReapLeftovers() {
    std::lock_guard<std::mutex> lock(groupsMutex);
    for (auto it = unreaped.begin(); it != unreaped.end();) {
        int status = 0;
        if (::waitpid(*it, &status, WNOHANG) != 0) {
            it = unreaped.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

CommandResult RunUnixCommand(const std::string& command, std::chrono::milliseconds limit) {
    CommandResult result{"", 0};
    ReapLeftovers();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        result.output = "Failed to execute " + command;
        result.status = -1;
        return result;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Child of a threaded process: async-signal-safe calls only until exec.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        struct sigaction action = {};
        action.sa_handler = SIG_DFL;
        ::sigaction(SIGPIPE, &action, nullptr);
        ::dup2(fds[1], STDOUT_FILENO);  // dup2 clears O_CLOEXEC on the copy
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        result.output = "Failed to execute " + command;
        result.status = -1;
        return result;
    }
    ::setpgid(pid, pid);  // also here, so that the group exists whichever runs first
    {
        std::lock_guard<std::mutex> lock(groupsMutex);
        runningGroups.insert(pid);
    }

    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[4096];
    bool open = true;
    while (open) {
        const int wait = MillisecondsLeft(deadline);
        if (wait == 0) {
            result.timedOut = true;
            break;
        }
        pollfd fd = {fds[0], POLLIN, 0};
        const int ready = ::poll(&fd, 1, wait);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        const ssize_t got = ::read(fds[0], buffer, sizeof(buffer));
        if (got > 0) {
            const std::size_t room = kMaxOutput - std::min(kMaxOutput, result.output.size());
            result.output.append(buffer, std::min(room, static_cast<std::size_t>(got)));
        } else if (got == 0 || errno != EINTR) {
            open = false;
        }
    }
    ::close(fds[0]);
    int status = result.timedOut ? -1 : ReapBy(pid, deadline);
    if (status == -1 && !result.timedOut) {
        result.timedOut = true;  // closed its output but kept running past the limit
    }
    if (result.timedOut) {
        ::kill(-pid, SIGKILL);
        // A process stuck in the kernel (a hung device) may not even die at once.
        status = ReapBy(pid, std::chrono::steady_clock::now() + std::chrono::seconds(2));
        LOG_ERROR << "Command did not end within " << limit.count()
                  << " ms, killed its process group: " << command;
    }
    {
        std::lock_guard<std::mutex> lock(groupsMutex);
        runningGroups.erase(pid);
        if (status == -1) unreaped.push_back(pid);
    }
    result.status = result.timedOut && status == 0 ? -1 : status;
    return result;
}

void KillRunningCommands() {
    std::lock_guard<std::mutex> lock(groupsMutex);
    for (pid_t group : runningGroups) {
        ::kill(-group, SIGKILL);
    }
}

void CreateDirectory(const std::string& path) {
    // Works on a copy of any length: cutting the path would create the wrong directories.
    std::string dir = path;
    if (!dir.empty() && dir.back() == '/') {
        dir.pop_back();
    }
    if (dir.empty()) {
        return;
    }
    for (std::size_t i = 1; i < dir.size(); ++i) {
        if (dir[i] == '/') {
            ::mkdir(dir.substr(0, i).c_str(), S_IRWXU);
        }
    }
    ::mkdir(dir.c_str(), S_IRWXU);
}

std::string ShellQuote(const std::string& value) {
    std::string quoted = "'";
    for (char c : value) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += "'";
    return quoted;
}

std::string RuntimeDirectory() {
    // systemd may name several directories, separated by colons; ours is the first.
    const char* runtime = std::getenv("RUNTIME_DIRECTORY");
    const std::string directory = runtime != nullptr && *runtime != '\0' ? runtime : "/run/k5cam";
    return directory.substr(0, directory.find(':'));
}
