#include "notify/sms.h"

#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/command.h"
#include "tests/support/test_support.h"

namespace {

struct sms_notifier : ::testing::Test {
    shell_recorder shell;
    module_settings s{};
    const char *ts = "2026-12-07 15:13:19";
    void SetUp() override
    {
        s.device_name = "R1";
        s.device_location = "";
        s.device_admin_contact = "";
        for (const char *&r : s.sms_recipients)
            r = "";
    }
    // send_sms with its log output captured.
    int send(int32_t code, const char *recipient, const char *timestamp, std::string &log)
    {
        syslog_capture capture("sms_test");
        int result = run_status(send_sms(code, recipient, timestamp, s, shell.run));
        log = capture.text();
        return result;
    }
};

}  // namespace

TEST_F(sms_notifier, message_holds_the_event_and_only_the_lines_that_are_set)
{
    EXPECT_EQ(0, run_status(send_sms(TEST_EVENT, "0170123", ts, s, shell.run)));
    ASSERT_EQ(1u, shell.commands.size());
    std::string message = "Test event triggered\nDevice: R1\nTimestamp: 2026-12-07 15:13:19";
    EXPECT_EQ(62u, message.size());
    EXPECT_EQ("sms 0170123 \"" + message + "\"", shell.commands[0]);

    s.device_location = "Hall";
    s.device_admin_contact = "ops";
    EXPECT_EQ(0, run_status(send_sms(CONFIG_CHANGED, "0170123", "", s, shell.run)));
    EXPECT_EQ("sms 0170123 \"Configuration changed\nDevice: R1\nLocation: Hall\n"
              "Admin contact: ops\"", shell.commands[1]);

    shell.status = 256;  // the tool's failure comes back as it is
    EXPECT_EQ(256, run_status(send_sms(TEST_EVENT, "0170123", ts, s, shell.run)));
    for (int32_t bad : {0, 9, -1})
        EXPECT_EQ(-1, run_status(send_sms(bad, "0170123", ts, s, shell.run)));
    EXPECT_EQ(3u, shell.commands.size());
}

TEST_F(sms_notifier, message_of_159_bytes_is_sent_and_160_refused)
{
    std::string name(99, 'n');  // 20 + 9 + 99 + 31 = 159
    s.device_name = name.c_str();
    std::string log;
    EXPECT_EQ(0, send(TEST_EVENT, "1", ts, log));
    ASSERT_EQ(1u, shell.commands.size());
    EXPECT_EQ(159u + 8, shell.commands[0].size());  // sms 1 "..."

    name += 'n';
    s.device_name = name.c_str();
    EXPECT_EQ(-1, send(TEST_EVENT, "1", ts, log));
    EXPECT_EQ(1u, shell.commands.size());
    EXPECT_NE(std::string::npos, log.find("Warning: SMS too long!"));
}

TEST_F(sms_notifier, command_of_255_bytes_is_run_and_256_refused)
{
    std::string name(99, 'n');  // a 159-byte message
    s.device_name = name.c_str();
    std::string recipient(89, '1'), log;
    EXPECT_EQ(0, send(TEST_EVENT, recipient.c_str(), ts, log));
    ASSERT_EQ(1u, shell.commands.size());
    EXPECT_EQ(255u, shell.commands[0].size());

    recipient += '1';
    EXPECT_EQ(-1, send(TEST_EVENT, recipient.c_str(), ts, log));
    EXPECT_EQ(1u, shell.commands.size());
    EXPECT_NE(std::string::npos, log.find("Warning: sms command too large for buffer!"));

    // The limit is on the escaped text: 87 + 2 quotes + 166 = 255 fits, 88 not.
    std::string spaced(86, '1');
    spaced += ' ';
    EXPECT_EQ(0, send(TEST_EVENT, spaced.c_str(), ts, log));
    EXPECT_EQ(255u, shell.commands.back().size());
    spaced += '1';
    EXPECT_EQ(-1, send(TEST_EVENT, spaced.c_str(), ts, log));
    EXPECT_EQ(2u, shell.commands.size());
}

TEST_F(sms_notifier, shell_special_characters_are_escaped_in_the_message)
{
    s.device_name = "a\"b$c`d\\e";
    EXPECT_EQ(0, run_status(send_sms(TEST_EVENT, "+49 170", "", s, shell.run)));
    ASSERT_EQ(1u, shell.commands.size());
    EXPECT_EQ("sms '+49 170' \"Test event triggered\nDevice: a\\\"b\\$c\\`d\\\\e\"",
              shell.commands[0]);
}

TEST_F(sms_notifier, real_shell_hands_the_tool_exactly_the_configured_values)
{
    standin_path env;
    ASSERT_FALSE(env.dir.path().empty());
    std::string pwned = env.dir.file("pwned");
    std::string recipient = "$(touch " + pwned + ")";
    std::string name = "\"x\" `touch " + pwned + "` $HOME\\";
    s.device_name = name.c_str();
    s.device_location = "'; rm -rf /;'";
    s.device_admin_contact = "line1\nline2";
    shell.run_for_real = true;
    ASSERT_EQ(0, run_status(send_sms(LOGIN_FAILED, recipient.c_str(), ts, s, shell.run)));

    std::vector<std::string> args = env.arguments(1, "sms");
    ASSERT_EQ(2u, args.size()) << shell.commands[0];
    EXPECT_EQ(recipient, args[0]);
    EXPECT_EQ("Login failed\nDevice: " + name + "\nLocation: '; rm -rf /;'\n"
              "Admin contact: line1\nline2\nTimestamp: " + ts, args[1]);
    EXPECT_NE(0, access(pwned.c_str(), F_OK));
}

TEST_F(sms_notifier, recipient_beginning_with_a_dash_is_refused_naming_its_slot)
{
    s.sms_recipients[2] = "-oProxy";
    std::string log;
    EXPECT_EQ(-1, send(TEST_EVENT, s.sms_recipients[2], ts, log));
    EXPECT_TRUE(shell.commands.empty());
    EXPECT_NE(std::string::npos, log.find("Error: SMS recipient 3 begins with '-', not sending"));
}

// A summary fits wherever its single alert fits: lines give way for the
// count, admin contact first, then location, then the timestamp.
TEST_F(sms_notifier, storm_summary_names_its_count_and_goes_out_wherever_the_alert_would)
{
    struct {
        std::string location, contact;
        size_t name;  // device name length for a 159-byte single alert
        const char *left_out;
    } cases[] = {
        {"", "", 30, nullptr},            // room to spare: every line stays
        {"", "", 99, "Timestamp"},         // only the timestamp can give way
        {"lab", "ops", 66, "Admin contact"},  // " (2147483647 more)" takes 18 bytes
        {"lab", "o", 68, "Location"},         // dropping a 17-byte contact is not enough
    };
    for (const auto &c : cases) {
        std::string name(c.name, 'n');
        s.device_name = name.c_str();
        s.device_location = c.location.c_str();
        s.device_admin_contact = c.contact.c_str();
        shell.commands.clear();
        ASSERT_EQ(0, run_status(send_sms(TEST_EVENT, "1", ts, s, shell.run)));
        ASSERT_EQ(0, run_status(send_sms(TEST_EVENT, "1", ts, s, shell.run, 2147483647)));
        const std::string &summary = shell.commands[1];
        EXPECT_EQ(0u, summary.find("sms 1 \"Test event triggered (2147483647 more)\nDevice: ")) << c.name;
        EXPECT_LE(summary.size(), 159u + 8) << c.name;
        if (c.left_out) {
            EXPECT_EQ(std::string::npos, summary.find(c.left_out)) << c.name;
        }
        EXPECT_NE(std::string::npos, summary.find("Device: " + name)) << c.name;
    }
}
