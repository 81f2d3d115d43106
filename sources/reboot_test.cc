#include "sources/reboot.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>

#include "core/process.h"
#include "tests/support/test_support.h"

namespace {

const int32_t START = 1715934612;

class reboot_detection : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.path().empty());
        uptime_path = dir.file("uptime");
        boot_path = dir.file("boot_timestamp");
        start_timestamp = START;
        ring_clear(queue);
        settings = module_settings{};
        settings.channel_masks[SYSTEM_REBOOT] = 0x23;
    }

    // One run of the detection with the given /proc/uptime content; returns
    // what it logged.
    std::string detect(const std::string &uptime, const std::string &boot = "")
    {
        write_file(uptime_path, uptime);
        syslog_capture log;
        detect_reboot(settings, queue, uptime_path.c_str(), boot.empty() ? boot_path.c_str() : boot.c_str());
        return log.text();
    }
    void expect_reboot_event(int32_t timestamp)
    {
        ASSERT_FALSE(ring_is_empty(queue));
        event_record r = ring_pop(queue);
        EXPECT_EQ(r.code, SYSTEM_REBOOT);
        EXPECT_EQ(r.mask, 0x23u);
        EXPECT_EQ(r.timestamp, timestamp);
        EXPECT_TRUE(ring_is_empty(queue));
    }

    temp_dir dir{"norvale_reboot"};
    std::string uptime_path, boot_path;
    module_settings settings;
    event_ring queue;
};

TEST_F(reboot_detection, start_within_119_seconds_reports_boot_and_remembers_it)
{
    EXPECT_EQ(detect("119.99 401.22\n"), "");
    expect_reboot_event(START);
    EXPECT_EQ(read_file(boot_path), "1715934612");
}

TEST_F(reboot_detection, start_at_120_seconds_is_too_late)
{
    EXPECT_EQ(detect("120.00 401.22\n"),
              "t: Started too long (120 seconds) after reboot to trigger reboot event\n");
    EXPECT_TRUE(ring_is_empty(queue));
    EXPECT_EQ(read_file(boot_path), "(missing)");

    EXPECT_EQ(detect("99999999999.5\n"),
              "t: Started too long (2147483647 seconds) after reboot to trigger reboot event\n");
    EXPECT_TRUE(ring_is_empty(queue));
}

TEST_F(reboot_detection, second_run_in_the_same_boot_reports_nothing)
{
    detect("10.5\n");
    expect_reboot_event(START);
    // Restarted 30 seconds later, same boot.
    start_timestamp = START + 30;
    EXPECT_EQ(detect("40.5\n"), "t: Reboot already detected\n");
    EXPECT_TRUE(ring_is_empty(queue));
    EXPECT_EQ(read_file(boot_path), "1715934612");
}

TEST_F(reboot_detection, boot_time_equal_to_remembered_start_is_reported_again)
{
    // Boot seen from now: START - 50. A remembered start at exactly that
    // second is reported again; one second later counts as reported.
    write_file(boot_path, "1715934562");
    detect("50.9\n");
    expect_reboot_event(START);
    EXPECT_EQ(read_file(boot_path), "1715934612");

    write_file(boot_path, "1715934563");
    EXPECT_EQ(detect("50.9\n"), "t: Reboot already detected\n");
    EXPECT_TRUE(ring_is_empty(queue));
    EXPECT_EQ(read_file(boot_path), "1715934563");
}

TEST_F(reboot_detection, file_from_earlier_boot_or_without_number_is_rewritten)
{
    const char *const stale[] = {
        "1700000000",                // an earlier boot
        "  \n 1715934000 trailing",  // white space skipped, the rest ignored
        "-5xyz",
        "garbage 1715934612",        // no leading number
        "",
        "-9223372036854775808",      // far past: must not wrap into "reported"
        "1715934613xyz",             // text glued to a figure this system never wrote
    };
    for (const char *content : stale) {
        write_file(boot_path, content);
        EXPECT_EQ(detect("3.0\n"), "") << content;
        expect_reboot_event(START);
        EXPECT_EQ(read_file(boot_path), "1715934612") << content;
    }
    write_file(boot_path, "9223372036854775807");
    EXPECT_EQ(detect("3.0\n"), "t: Reboot already detected\n");
    EXPECT_TRUE(ring_is_empty(queue));
}

TEST_F(reboot_detection, unwritable_file_still_raises_the_event)
{
    std::string unwritable = dir.file("no_such_dir/boot_timestamp");
    EXPECT_EQ(detect("5.0\n", unwritable),
              "t: Warning: Unable to open boot timestamp file. Reboot detection compromised.\n");
    expect_reboot_event(START);
}

TEST_F(reboot_detection, fifo_as_boot_file_is_unreadable_and_unwritable_without_waiting)
{
    ASSERT_EQ(mkfifo(boot_path.c_str(), 0600), 0);
    EXPECT_EQ(detect("5.0\n"),
              "t: Warning: Unable to open boot timestamp file. Reboot detection compromised.\n");
    expect_reboot_event(START);
}

TEST_F(reboot_detection, unknown_uptime_raises_nothing_and_leaves_file_alone)
{
    // 68687 seconds cut to "68" at the end of what the daemon reads must not
    // pass for a fresh boot.
    const std::string bad[] = {"", "abc\n", "-5.0 10.0\n", "-1.0\n", "nan\n", "-inf\n", "5min\n",
                               std::string(125, '\r') + "68687"};
    write_file(boot_path, "123");
    for (const std::string &content : bad) {
        EXPECT_EQ(detect(content), "t: Error determining uptime!\n") << content;
        EXPECT_TRUE(ring_is_empty(queue));
        EXPECT_EQ(read_file(boot_path), "123");
    }
    syslog_capture log;
    std::string missing = dir.file("no_uptime");
    detect_reboot(settings, queue, missing.c_str(), boot_path.c_str());
    EXPECT_EQ(log.text(), "t: Error determining uptime!\n");
    EXPECT_TRUE(ring_is_empty(queue));
    EXPECT_EQ(read_file(boot_path), "123");
}

TEST_F(reboot_detection, unknown_start_time_is_used_as_it_is)
{
    start_timestamp = -1;
    detect("7.0\n");
    expect_reboot_event(-1);
    EXPECT_EQ(read_file(boot_path), "-1");
}

}  // namespace
