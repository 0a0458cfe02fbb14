#include "utils/shell.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <cstring>

CommandResult RunUnixCommand(const std::string& command) {
    CommandResult result{"", 0};
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        result.output = "Failed to execute " + command;
        result.status = -1;
        return result;
    }
    char buffer[128];
    std::memset(buffer, 0, sizeof(buffer));
    while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) {
        result.output.append(buffer, std::strlen(buffer));
    }
    result.status = pclose(pipe);
    return result;
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
