#include "utils/clock.h"

#include <time.h>

#include <cstdio>
#include <limits>

namespace wallclock {

int64_t Seconds() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec);
}

int64_t Nanoseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + static_cast<int64_t>(now.tv_nsec);
}

namespace {

// False when `seconds` does not fit this target's time_t (a 32-bit build would wrap).
bool ToTimeT(int64_t seconds, time_t& out) {
    if (seconds < static_cast<int64_t>(std::numeric_limits<time_t>::min()) ||
        seconds > static_cast<int64_t>(std::numeric_limits<time_t>::max())) {
        return false;
    }
    out = static_cast<time_t>(seconds);
    return true;
}

}  // namespace

Date LocalDate(int64_t seconds) {
    Date date;
    time_t when = 0;
    tm local{};
    if (ToTimeT(seconds, when) && ::localtime_r(&when, &local) != nullptr) {
        date.year = local.tm_year + 1900;
        date.month = local.tm_mon + 1;
        date.day = local.tm_mday;
    }
    return date;
}

std::string FormatUtc(int64_t seconds) {
    time_t when = 0;
    tm utc{};
    if (!ToTimeT(seconds, when) || ::gmtime_r(&when, &utc) == nullptr) {
        return "@" + std::to_string(seconds);
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

std::string ClockNotSetWarning(int64_t now, int64_t buildTime) {
    if (buildTime <= 0 || now >= buildTime) return {};
    return "Wall clock " + FormatUtc(now) + " is earlier than this firmware's build (" +
           FormatUtc(buildTime) + "): clock not set; photos are still taken and named by it.";
}

}  // namespace wallclock
