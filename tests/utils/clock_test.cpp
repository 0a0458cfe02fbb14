#include "utils/clock.h"

#include <gtest/gtest.h>

#include <cstdint>

TEST(WallClock, ReadsTheClockAndWarnsOnlyWhenItIsEarlierThanTheBuild) {
    const int64_t build = 1796000000;  // 2026-11-30T00:53:20Z
    EXPECT_EQ(wallclock::ClockNotSetWarning(5, build),
              "Wall clock 1970-01-01T00:00:05Z is earlier than this firmware's build "
              "(2026-11-30T00:53:20Z): clock not set; photos are still taken and named by it.");
    EXPECT_EQ(wallclock::ClockNotSetWarning(build, build), "");
    EXPECT_EQ(wallclock::ClockNotSetWarning(int64_t{4102444800}, build), "");
    EXPECT_EQ(wallclock::ClockNotSetWarning(5, 0), "") << "build time unknown";

    // Past the 32-bit limit, and beyond what the calendar functions express.
    EXPECT_EQ(wallclock::FormatUtc(int64_t{2147483648}), "2038-01-19T03:14:08Z");
    EXPECT_EQ(wallclock::FormatUtc(int64_t{4102444800}), "2100-01-01T00:00:00Z");
    EXPECT_EQ(wallclock::FormatUtc(INT64_MAX), "@9223372036854775807");

    // The machine running the tests has a set clock: later than this code was written.
    const int64_t seconds = wallclock::Seconds();
    EXPECT_GT(seconds, 1760000000);
    EXPECT_NEAR(static_cast<double>(wallclock::Nanoseconds() / 1000000000),
                static_cast<double>(seconds), 60.0);
}
