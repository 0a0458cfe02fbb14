#pragma once

#include <chrono>
#include <string>

// Result of a shell command: its standard output and its wait status (0 for exit code 0, the
// exit code in bits 8..15 otherwise, the signal number when a signal ended it; -1 if it could
// not be started or not be reaped).
struct CommandResult {
    std::string output;
    int status;
    bool timedOut = false;  // the time limit ran out and the command was killed
};

// How long a command may run unless the caller says otherwise.
constexpr std::chrono::milliseconds kCommandTimeLimit{20000};

// Any thread; blocks until the command has ended, at most about `limit`. The command runs in
// `/bin/sh -c` in a process group of its own; when the limit runs out the whole group (the
// shell and everything it started) is killed, an ERROR names the command, and the result has
// `timedOut` set and a non-zero status. Only standard output is captured (its first 64 KiB).
CommandResult RunUnixCommand(const std::string& command,
                             std::chrono::milliseconds limit = kCommandTimeLimit);

// Any thread. Kills (SIGKILL) the process group of every command that RunUnixCommand is running
// right now, so that none outlives a daemon that gives up on its orderly stop.
void KillRunningCommands();

// Any thread. Creates `path` and every missing parent (mode 0700, reduced by the umask).
// Reports nothing: a caller sees a failure when it later uses the directory.
void CreateDirectory(const std::string& path);

// Quotes a value for a POSIX shell command line, so that blanks and shell characters in it
// stay part of one word: abc -> 'abc', it's -> 'it'\''s'.
std::string ShellQuote(const std::string& value);

// Any thread. The daemon's runtime folder: the first of systemd's $RUNTIME_DIRECTORY (kept
// across restarts, gone after a reboot), else /run/k5cam.
std::string RuntimeDirectory();
