// The clock: the date tool's answers, and the system clock when it fails.
#include "core/clock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <string>

#include "tests/support/test_support.h"

namespace {

TEST(clock, timestamp_text_is_the_local_time_the_date_tool_prints)
{
    setenv("TZ", "UTC", 1);
    tzset();
    char text[TIMESTAMP_TEXT_SIZE + 4];
    memset(text, '#', sizeof text);
    format_timestamp(0, text);
    EXPECT_STREQ(text, "1970-01-01 00:00:00");
    EXPECT_EQ(text[TIMESTAMP_TEXT_SIZE], '#');  // the date tool's newline is never stored
    format_timestamp(1700000000, text);
    EXPECT_STREQ(text, "2023-11-14 22:13:20");
    format_timestamp(-1, text);
    EXPECT_STREQ(text, "1969-12-31 23:59:59");
    format_timestamp(INT32_MAX, text);
    EXPECT_STREQ(text, "2038-01-19 03:14:07");
}

TEST(clock, log_time_reaches_the_date_tool_only_in_its_one_shape)
{
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(clock_log_time("2023-11-14 22:13:20"), 1700000000);
    for (const char *other : {"2023-11-14 22:13:2", "2023-11-14 22:13:20 ", "2023-11-14T22:13:20",
                              "2023-11-14 22:13:2$", "$(reboot) 22:13:20x", ""})
        EXPECT_EQ(clock_log_time(other), -1) << other;
    EXPECT_EQ(clock_log_time("2023-13-45 99:99:99"), -1);  // the tool refuses it
}

// With a date tool that fails, the daemon's own time comes from the system
// clock after the tool's reason; a log line's time has no such fallback.
TEST(clock, a_failing_date_tool_is_logged_and_the_system_clock_answers)
{
    setenv("TZ", "UTC", 1);
    tzset();
    standin_path path("");
    ASSERT_TRUE(write_file(path.dir.file("date"), "#!/bin/sh\necho 'no clock' >&2\nexit 3\n"));
    ASSERT_EQ(chmod(path.dir.file("date").c_str(), 0755), 0);
    syslog_capture log;

    char text[TIMESTAMP_TEXT_SIZE];
    format_timestamp(1700000000, text);
    EXPECT_STREQ(text, "2023-11-14 22:13:20");
    int32_t before = int32_t(time(nullptr));
    int32_t now = clock_now();
    int32_t start = clock_start_time();
    EXPECT_GE(now, before);
    EXPECT_LE(now, int32_t(time(nullptr)));
    EXPECT_GE(start, now);
    EXPECT_LE(start, int32_t(time(nullptr)));
    EXPECT_EQ(clock_log_time("2023-11-14 22:13:20"), -1);

    EXPECT_EQ(log.count("Warning: unable to prepare timestamp"), 1);
    EXPECT_EQ(log.count("Warning: unable to get start timestamp"), 1);
    EXPECT_EQ(log.count("Tool date failed: exit status 3: no clock"), 3);
}

}  // namespace
