#pragma once

#include <cstdint>
#include <string>

// The wall clock in 64-bit seconds on every target, the 32-bit board included.
//
// Read it here rather than through std::chrono::system_clock: the board's libstdc++ is built
// with a 32-bit time_t, and its system_clock::now() reads the clock through the 32-bit
// clock_gettime, which fails for any time past January 2038 (and leaves garbage behind). This
// build uses the 64-bit time interfaces of the C library directly. Any thread.

namespace wallclock {

// Seconds and nanoseconds since the epoch (UTC).
int64_t Seconds();
int64_t Nanoseconds();

// A calendar day in the local time zone (through localtime_r), e.g. {2100, 1, 1}.
struct Date {
    int year = 1970;
    int month = 1;  // 1..12
    int day = 1;    // 1..31
};
Date LocalDate(int64_t seconds);

// "2026-12-08T10:11:12Z"; "@<seconds>" for a time the calendar functions cannot express.
std::string FormatUtc(int64_t seconds);

// The warning to log at start when the wall clock (`now`) is earlier than this firmware's
// build (`buildTime`), both in seconds since the epoch: the clock has not been set since
// power-up. Empty when the clock is plausible or the build time is unknown (0 or less).
std::string ClockNotSetWarning(int64_t now, int64_t buildTime);

}  // namespace wallclock
