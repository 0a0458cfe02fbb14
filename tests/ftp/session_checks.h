#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "net/ftp.h"

namespace ftptest {

// Occurrences of `needle` in `text` from `from` on (a server's log: commands, logins).
inline int Count(const std::string& text, const std::string& needle, std::size_t from = 0) {
    int count = 0;
    for (std::size_t at = text.find(needle, from); at != std::string::npos; at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

// A session call's result of the expected kind, or what it was instead.
inline ::testing::AssertionResult Is(const FTPClient::Result& result, FTPClient::Result::Kind kind) {
    if (result.kind == kind) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << FTPClient::KindName(result.kind) << " instead of "
                                         << FTPClient::KindName(kind) << " (curl " << result.curlCode << ", reply "
                                         << result.replyCode << ": " << result.message << ")";
}

}  // namespace ftptest
