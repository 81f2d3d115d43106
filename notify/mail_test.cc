#include "notify/mail.h"

#include <gtest/gtest.h>
#include <cstdlib>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/command.h"
#include "tests/support/test_support.h"

namespace {

// An answer of 256 for each command holding text, 0 for the others.
std::function<int(const std::string &)> fail_when_holding(const std::string &text)
{
    return [text](const std::string &command) {
        return command.find(text) != std::string::npos ? 256 : 0;
    };
}

// The private folder itself first on PATH, for a fake date tool.
struct date_path : standin_path {
    date_path() : standin_path("") {}
    // A "date" that notes each run in date.calls and then does what body says.
    void fake_date(const std::string &body)
    {
        std::string date = dir.file("date");
        write_file(date, "#!/bin/sh\necho run >> '" + dir.file("date.calls") + "'\n" + body + "\n");
        chmod(date.c_str(), 0755);
    }
    size_t date_runs() { return read_file(dir.file("date.calls"), "").size() / 4; }
};

struct mail_notifier : ::testing::Test {
    shell_recorder shell;
    module_settings s{};
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        s.device_name = "R1";
        s.device_location = "Hall";
        s.device_admin_contact = "ops@example.com";
        s.subject_text = "R1, Hall";
        for (auto &group : s.mail_group_addrs)
            for (const char *&a : group)
                a = "";
    }
    int32_t send(int32_t code, channel_mask mask, std::string &log)
    {
        syslog_capture capture("mail_test");
        int32_t failed = send_mail(code, mask, 0, s, nullptr, shell.run);
        log = capture.text();
        return failed;
    }
    // The address each run mailed, in order.
    std::vector<std::string> mailed()
    {
        std::vector<std::string> to;
        for (const std::string &c : shell.commands)
            to.push_back(c.substr(9, c.find(' ', 9) - 9));
        return to;
    }
};

}  // namespace

TEST_F(mail_notifier, full_command_text_follows_the_template)
{
    s.mail_group_addrs[0][0] = "noc@example.com";
    EXPECT_EQ(0, send_mail(CONFIG_CHANGED, NOTIFY_MAIL_GROUP_1, 0, s, nullptr, shell.run));
    ASSERT_EQ(1u, shell.commands.size());
    EXPECT_EQ("email -t noc@example.com -s \"[Event 1 on R1, Hall] Configuration changed\" "
              "-m \"Device: R1\nLocation: Hall\nAdmin contact: ops@example.com\n"
              "Timestamp: 1970-01-01 00:00:00\n\nThe following event was detected: "
              "Configuration changed (event code: 1)\"", shell.commands[0]);
}

TEST_F(mail_notifier, date_runs_once_per_call_and_not_at_all_for_code_0)
{
    date_path env;
    env.fake_date("exec /usr/bin/date \"$@\"");
    s.mail_group_addrs[0][0] = "a@x";
    s.mail_group_addrs[1][0] = "b@x";
    s.mail_group_addrs[1][1] = "c@x";
    EXPECT_EQ(0, send_mail(EVENT_NONE, NOTIFY_MAIL_ANY, 0, s, nullptr, shell.run));
    EXPECT_EQ(0u, env.date_runs());
    EXPECT_EQ(0, send_mail(TEST_EVENT, NOTIFY_TRAP | NOTIFY_SMS, 0, s, nullptr, shell.run));
    EXPECT_EQ(1u, env.date_runs());
    EXPECT_TRUE(shell.commands.empty());
    EXPECT_EQ(0, send_mail(TEST_EVENT, NOTIFY_MAIL_GROUP_1 | NOTIFY_MAIL_GROUP_2, 0, s, nullptr, shell.run));
    EXPECT_EQ(2u, env.date_runs());
    EXPECT_EQ(3u, shell.commands.size());
}

TEST_F(mail_notifier, unset_values_read_na_and_a_failed_date_tool_gives_the_system_clocks_time)
{
    date_path env;
    env.fake_date("exit 1");
    s.mail_group_addrs[0][0] = "a@x";
    s.subject_text = s.device_name = s.device_location = s.device_admin_contact = "";
    std::string log;
    EXPECT_EQ(0, send(TEST_EVENT, NOTIFY_MAIL_GROUP_1, log));
    ASSERT_EQ(1u, shell.commands.size());
    EXPECT_EQ("email -t a@x -s \"[Event 8 on N/A] Test event triggered\" -m \"Device: N/A\n"
              "Location: N/A\nAdmin contact: N/A\nTimestamp: 1970-01-01 00:00:00\n\nThe following event was "
              "detected: Test event triggered (event code: 8)\"", shell.commands[0]);
    EXPECT_NE(std::string::npos, log.find("Warning: unable to prepare timestamp"));
}

TEST_F(mail_notifier, groups_and_addresses_go_in_order_and_a_failure_ends_only_its_group)
{
    static std::string names[MAIL_GROUP_COUNT][MAIL_GROUP_ADDRESSES];
    for (int g = 0; g < MAIL_GROUP_COUNT; g++) {
        for (int n : {0, 1, 4}) {
            names[g][n] = "g" + std::to_string(g + 1) + "a" + std::to_string(n + 1);
            s.mail_group_addrs[g][n] = names[g][n].c_str();
        }
    }
    EXPECT_EQ(0, send_mail(TEST_EVENT, NOTIFY_MAIL_GROUP_2 | NOTIFY_SMS, 0, s, nullptr, shell.run));
    EXPECT_EQ((std::vector<std::string>{"g2a1", "g2a2", "g2a5"}), mailed());

    shell.commands.clear();
    shell.answer = fail_when_holding("-t g1a2 ");
    EXPECT_EQ(0x02, send_mail(TEST_EVENT, NOTIFY_MAIL_GROUP_1 | NOTIFY_MAIL_GROUP_2, 0, s, nullptr, shell.run));
    EXPECT_EQ((std::vector<std::string>{"g1a1", "g1a2", "g2a1", "g2a2", "g2a5"}), mailed());

    shell.commands.clear();
    shell.answer = fail_when_holding("email");
    EXPECT_EQ(0x1e, send_mail(TEST_EVENT, NOTIFY_MAIL_ANY, 0, s, nullptr, shell.run));
    EXPECT_EQ((std::vector<std::string>{"g1a1", "g2a1", "g3a1", "g4a1"}), mailed());
}

TEST_F(mail_notifier, command_of_1023_bytes_is_run_and_1024_fails_the_group)
{
    s.mail_group_addrs[0][0] = "aa@x";
    s.device_location = "x";
    EXPECT_EQ(0, send_mail(TEST_EVENT, NOTIFY_MAIL_GROUP_1, 0, s, nullptr, shell.run));
    ASSERT_EQ(1u, shell.commands.size());
    std::string location(1025 - shell.commands[0].size(), 'x');  // 1024 bytes with "aa@x"
    s.device_location = location.c_str();
    s.mail_group_addrs[0][1] = "bb@x";
    s.mail_group_addrs[1][0] = "a@x";  // one byte shorter: 1023
    shell.commands.clear();
    std::string log;
    EXPECT_EQ(0x02, send(TEST_EVENT, NOTIFY_MAIL_GROUP_1 | NOTIFY_MAIL_GROUP_2, log));
    ASSERT_EQ(1u, shell.commands.size());
    EXPECT_EQ(1023u, shell.commands[0].size());
    EXPECT_EQ((std::vector<std::string>{"a@x"}), mailed());
    EXPECT_NE(std::string::npos, log.find("Warning: email command too large for buffer!"));
}

TEST_F(mail_notifier, real_shell_hands_the_tool_exactly_the_configured_values)
{
    standin_path env;
    std::string pwned = env.dir.file("pwned");
    std::string subject = "R1 $(touch " + pwned + ")", name = "`touch " + pwned + "` \\$HOME";
    s.subject_text = subject.c_str();
    s.device_name = name.c_str();
    s.device_location = "'; rm -rf /;'";
    s.device_admin_contact = "a\"b\nc";
    std::string address = "o'brien@example.com; touch " + pwned;
    s.mail_group_addrs[3][0] = address.c_str();
    shell.run_for_real = true;
    EXPECT_EQ(0, send_mail(LOGIN_FAILED, NOTIFY_MAIL_GROUP_4, 0, s, nullptr, shell.run));

    std::vector<std::string> args = env.arguments(1, "email");
    std::string body = "Device: " + name + "\nLocation: '; rm -rf /;'\nAdmin contact: a\"b\nc\n"
                       "Timestamp: 1970-01-01 00:00:00\n\n"
                       "The following event was detected: Login failed (event code: 3)";
    EXPECT_EQ((std::vector<std::string>{"-t", s.mail_group_addrs[3][0], "-s",
                                        "[Event 3 on " + subject + "] Login failed", "-m", body}),
              args) << (shell.commands.empty() ? "" : shell.commands[0]);
    EXPECT_NE(0, access(pwned.c_str(), F_OK));
}

TEST_F(mail_notifier, address_beginning_with_a_dash_fails_its_group_unsent)
{
    s.mail_group_addrs[2][0] = "ok@x";
    s.mail_group_addrs[2][1] = "-oProxy=x";
    s.mail_group_addrs[2][2] = "late@x";
    std::string log;
    EXPECT_EQ(0x08, send(TEST_EVENT, NOTIFY_MAIL_GROUP_3, log));
    EXPECT_EQ((std::vector<std::string>{"ok@x"}), mailed());
    EXPECT_NE(std::string::npos,
              log.find("Error: mail group 3 address 2 begins with '-', not sending"));
}

TEST_F(mail_notifier, retry_goes_only_to_the_addresses_still_owed)
{
    s.mail_group_addrs[0][0] = "good@x";
    s.mail_group_addrs[0][1] = "bad@x";
    s.mail_group_addrs[0][2] = "later@x";
    s.mail_group_addrs[1][0] = "other@x";
    uint8_t resume[MAIL_GROUP_COUNT] = {0, 0, 0, 0};
    shell.answer = fail_when_holding("-t bad@x ");
    channel_mask both = NOTIFY_MAIL_GROUP_1 | NOTIFY_MAIL_GROUP_2;
    EXPECT_EQ(0x02, send_mail(TEST_EVENT, both, 0, s, resume, shell.run));
    EXPECT_EQ(1, resume[0]);
    EXPECT_EQ(0, resume[1]);
    EXPECT_EQ(0x02, send_mail(TEST_EVENT, NOTIFY_MAIL_GROUP_1, 0, s, resume, shell.run));
    shell.answer = nullptr;
    EXPECT_EQ(0, send_mail(TEST_EVENT, NOTIFY_MAIL_GROUP_1, 0, s, resume, shell.run));
    EXPECT_EQ(0, resume[0]);
    EXPECT_EQ((std::vector<std::string>{"good@x", "bad@x", "other@x", "bad@x", "bad@x", "later@x"}),
              mailed());
}

TEST_F(mail_notifier, failed_mail_names_its_address_and_why_the_tool_failed)
{
    standin_path env;
    write_file(env.dir.file("email.exit"), "1\n");
    s.mail_group_addrs[0][0] = "ops@example.org";
    shell.run_for_real = true;
    std::string log;
    EXPECT_EQ(0x02, send(TEST_EVENT, NOTIFY_MAIL_GROUP_1, log));
    EXPECT_EQ(log, "mail_test: Error: failed to send e-mail to ops@example.org\n"
                   "mail_test: Tool email failed: exit status 1: email: stand-in told to fail with 1\n");
}

TEST_F(mail_notifier, storm_summary_adds_its_count_and_times_and_runs_wherever_the_alert_would)
{
    date_path env;
    env.fake_date("exec /bin/date \"$@\"");
    s.mail_group_addrs[0][0] = "aa@x";
    s.device_location = "x";
    ASSERT_EQ(0, send_mail(TEST_EVENT, NOTIFY_MAIL_GROUP_1, 0, s, nullptr, shell.run));
    std::string location(1024 - shell.commands[0].size(), 'x');  // a 1023-byte alert
    s.device_location = location.c_str();
    shell.commands.clear();
    ASSERT_EQ(0, send_mail(TEST_EVENT, NOTIFY_MAIL_GROUP_1, 0, s, nullptr, shell.run));
    ASSERT_EQ(0, send_mail(TEST_EVENT, NOTIFY_MAIL_GROUP_1, 120, s, nullptr, shell.run, 2147483647, 60));
    ASSERT_EQ(2u, shell.commands.size());
    EXPECT_EQ(1023u, shell.commands[0].size());
    const std::string tail = " (event code: 8)\n\n2147483647 more events of this kind were counted, "
                             "the first at 1970-01-01 00:01:00 and the last at 1970-01-01 00:02:00.\"";
    EXPECT_EQ(tail, shell.commands[1].substr(shell.commands[1].size() - tail.size()));
    EXPECT_NE(std::string::npos, shell.commands[1].find("\nTimestamp: 1970-01-01 00:02:00\n"));
    EXPECT_EQ(4u, env.date_runs());  // one for each alert's time, two for the summary
}
