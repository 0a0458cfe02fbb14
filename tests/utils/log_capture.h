#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

// Captures what the code under test writes to stderr, split into lines.
class LogCapture {
public:
    LogCapture() { testing::internal::CaptureStderr(); }
    ~LogCapture() {
        if (!taken) testing::internal::GetCapturedStderr();
    }
    std::vector<std::string> lines() {
        taken = true;
        std::vector<std::string> out;
        std::istringstream in(testing::internal::GetCapturedStderr());
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }

private:
    bool taken = false;
};

inline std::vector<std::string> Matching(const std::vector<std::string>& lines,
                                         const std::string& needle) {
    std::vector<std::string> out;
    for (const auto& l : lines) {
        if (l.find(needle) != std::string::npos) out.push_back(l);
    }
    return out;
}
