#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

// What `body` writes to stderr.
inline std::string Capture(const std::function<void()>& body) {
    testing::internal::CaptureStderr();
    body();
    return testing::internal::GetCapturedStderr();
}

// `log` is exactly one ERROR line of `source` ("../src/peripherals/gpio") from `function`
// with `message`, whatever its source line number.
inline ::testing::AssertionResult IsOneErrorLineOf(const std::string& source, const std::string& log,
                                                   const std::string& function,
                                                   const std::string& message) {
    const std::string head = "[ERROR][" + source + ":";
    const std::string tail = "] " + function + "(): " + message + "\n";
    const bool ok = log.size() > head.size() + tail.size() && log.compare(0, head.size(), head) == 0 &&
                    log.compare(log.size() - tail.size(), tail.size(), tail) == 0 &&
                    log.find('\n') == log.size() - 1;
    if (ok) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "log was: \"" << log << "\", expected one line ending \"" << tail
                                         << "\"";
}
