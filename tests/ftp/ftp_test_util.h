#pragma once

#include <sys/stat.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FTPClient.h"
#include "process.h"

namespace ftptest {

// Collects the library's messages.
struct LogSink {
    std::vector<std::string> lines;
    tarnwick::CFTPClient::LogFnCallback callback() {
        return [this](const std::string& line) { lines.push_back(line); };
    }
    bool has(const std::string& text) const {
        for (const auto& line : lines) {
            if (line == text) return true;
        }
        return false;
    }
    bool hasPrefix(const std::string& prefix) const {
        for (const auto& line : lines) {
            if (line.compare(0, prefix.size(), prefix) == 0) return true;
        }
        return false;
    }
    std::string all() const {
        std::string text;
        for (const auto& line : lines) text += line + "\n";
        return text;
    }
};

// Bytes that no text conversion or truncation would keep intact.
inline std::string RandomBytes(size_t size, unsigned seed = 7) {
    std::mt19937 generator(seed);
    std::string data(size, '\0');
    for (auto& c : data) c = static_cast<char>(generator() & 0xFF);
    return data;
}

inline bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Compares file contents without printing megabytes of binary on a mismatch.
inline ::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
    return ::testing::AssertionFailure() << "got " << actual.size() << " bytes, expected "
                                         << expected.size() << ", first difference at " << at;
}

}  // namespace ftptest
