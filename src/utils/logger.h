#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

// One diagnostic line per temporary object, written to stderr when the object dies:
//   [LEVEL][file:line] function(): message
// Use through the LOG_* macros so that every call site supplies its own file, line and function.
// Any thread may log at any time; each object is used by one thread only.
class logger {
public:
    // A fixed underlying type: any int is a valid value (printed with an empty label).
    enum level : int { DEBUG = 0, INFO = 1, WARN = 2, ERROR = 3, FATAL = 4 };

    logger(level lvl, const char* file, int line, const char* func) : lvl_(lvl) {
        stream_ << "[" << label(lvl) << "][";
        put(file);
        stream_ << ":" << line << "] ";
        put(func);
        stream_ << "(): ";
    }

    logger(const logger&) = delete;
    logger& operator=(const logger&) = delete;

    template <class T>
    logger& operator<<(const T& value) {
        stream_ << value;
        return *this;
    }

    ~logger() {
        switchStderrToBoolalpha();
        // Text and line end leave in one write, so lines of different threads never share
        // a physical line; stdio's own lock orders concurrent writers.
        std::string text = stream_.str();
        text += '\n';
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
        if (lvl_ == FATAL) {
            std::abort();
        }
    }

    static const char* label(int lvl) {
        switch (lvl) {
        case DEBUG: return "DEBUG";
        case INFO: return "INFO";
        case WARN: return "WARN";
        case ERROR: return "ERROR";
        case FATAL: return "FATAL";
        default: return "";
        }
    }

private:
    void put(const char* text) {
        if (text == nullptr) {
            // Like inserting a null C string: the stream fails and takes no more text.
            stream_.setstate(std::ios::badbit);
        } else {
            stream_ << text;
        }
    }

    // Later direct writes of bools to std::cerr print true/false. Done once: changing the
    // flags of a shared stream from several threads would be a data race.
    static void switchStderrToBoolalpha() {
        static const bool once = [] {
            std::cerr << std::boolalpha;
            return true;
        }();
        (void)once;
    }

    std::ostringstream stream_;
    level lvl_;
};

namespace logdetail {
// The source path without its extension, computed at compile time:
// "../src/utils/event_loop.cpp" -> "../src/utils/event_loop".
template <std::size_t N>
struct SourceName {
    char text[N] = {};
    constexpr explicit SourceName(const char (&path)[N]) {
        std::size_t end = N - 1;
        for (std::size_t i = N - 1; i > 0; --i) {
            if (path[i - 1] == '/') break;
            if (path[i - 1] == '.') {
                end = i - 1;
                break;
            }
        }
        for (std::size_t i = 0; i < end; ++i) text[i] = path[i];
    }
};
}  // namespace logdetail

#define LOGGER_SOURCE_NAME                                                                  \
    ([]() -> const char* {                                                                  \
        static constexpr ::logdetail::SourceName<sizeof(__FILE__)> source_name(__FILE__);   \
        return source_name.text;                                                            \
    }())

#define LOG(lvl) ::logger(::logger::lvl, LOGGER_SOURCE_NAME, __LINE__, __func__)
#define LOG_DEBUG LOG(DEBUG)
#define LOG_INFO LOG(INFO)
#define LOG_WARN LOG(WARN)
#define LOG_ERROR LOG(ERROR)
#define LOG_FATAL LOG(FATAL)
