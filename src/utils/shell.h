#pragma once

#include <string>

// Result of a shell command: its standard output and the wait status that pclose reported
// (0 for exit code 0, the exit code in bits 8..15 otherwise; -1 if it could not be started).
struct CommandResult {
    std::string output;
    int status;
};

// Any thread; blocks until the command has ended. Only standard output is captured.
CommandResult RunUnixCommand(const std::string& command);

// Any thread. Creates `path` and every missing parent (mode 0700, reduced by the umask).
// Reports nothing: a caller sees a failure when it later uses the directory.
void CreateDirectory(const std::string& path);

// Quotes a value for a POSIX shell command line, so that blanks and shell characters in it
// stay part of one word: abc -> 'abc', it's -> 'it'\''s'.
std::string ShellQuote(const std::string& value);
