#include "notify/sms.h"

#include <gtest/gtest.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "core/command.h"

namespace {

std::vector<std::string> ran;
int status_to_give = 0;
bool really_run = false;

int record_command(const char *command_line)
{
    ran.push_back(command_line);
    return really_run ? run_shell_command(command_line) : status_to_give;
}

// The stand-in tools first on PATH, recording into a private directory, so a
// test sees what the real shell handed the tool.
struct standin_env {
    std::string dir, old_path;
    standin_env()
    {
        char tmpl[] = "/tmp/nv-sms-XXXXXX";
        dir = mkdtemp(tmpl) ? tmpl : "";
        old_path = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
        setenv("PATH", (NORVALE_SOURCE_DIR "/tools/standins:" + old_path).c_str(), 1);
        setenv("NORVALE_STANDIN_DIR", dir.c_str(), 1);
    }
    ~standin_env()
    {
        setenv("PATH", old_path.c_str(), 1);
        unsetenv("NORVALE_STANDIN_DIR");
        std::filesystem::remove_all(dir);
    }
    std::vector<std::string> call(const char *name)
    {
        std::ifstream in(dir + "/calls/" + name, std::ios::binary);
        std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<std::string> args;
        for (size_t at = 0, nul; (nul = all.find('\0', at)) != std::string::npos; at = nul + 1)
            args.push_back(all.substr(at, nul - at));
        return args;
    }
};

struct sms_notifier : ::testing::Test {
    module_settings s{};
    const char *ts = "2026-12-07 15:13:19";
    void SetUp() override
    {
        openlog("sms_test", LOG_PERROR, LOG_DAEMON);  // log texts also reach stderr
        ran.clear();
        status_to_give = 0;
        really_run = false;
        run_shell = record_command;
        s.device_name = "R1";
        s.device_location = "";
        s.device_admin_contact = "";
        for (const char *&r : s.sms_recipients)
            r = "";
    }
    void TearDown() override { run_shell = run_shell_command; }
    // send_sms with its log output captured.
    int send(int32_t code, const char *recipient, const char *timestamp, std::string &log)
    {
        testing::internal::CaptureStderr();
        int result = send_sms(code, recipient, timestamp, s);
        log = testing::internal::GetCapturedStderr();
        return result;
    }
};

}  // namespace

TEST_F(sms_notifier, message_holds_the_event_and_only_the_lines_that_are_set)
{
    EXPECT_EQ(0, send_sms(TEST_EVENT, "0170123", ts, s));
    ASSERT_EQ(1u, ran.size());
    std::string message = "Test event triggered\nDevice: R1\nTimestamp: 2026-12-07 15:13:19";
    EXPECT_EQ(62u, message.size());
    EXPECT_EQ("sms 0170123 \"" + message + "\"", ran[0]);

    s.device_location = "Hall";
    s.device_admin_contact = "ops";
    EXPECT_EQ(0, send_sms(CONFIG_CHANGED, "0170123", "", s));
    EXPECT_EQ("sms 0170123 \"Configuration changed\nDevice: R1\nLocation: Hall\n"
              "Admin contact: ops\"", ran[1]);

    status_to_give = 256;  // the tool's failure comes back as it is
    EXPECT_EQ(256, send_sms(TEST_EVENT, "0170123", ts, s));
    for (int32_t bad : {0, 9, -1})
        EXPECT_EQ(-1, send_sms(bad, "0170123", ts, s));
    EXPECT_EQ(3u, ran.size());
}

TEST_F(sms_notifier, message_of_159_bytes_is_sent_and_160_refused)
{
    std::string name(99, 'n');  // 20 + 9 + 99 + 31 = 159
    s.device_name = name.c_str();
    std::string log;
    EXPECT_EQ(0, send(TEST_EVENT, "1", ts, log));
    ASSERT_EQ(1u, ran.size());
    EXPECT_EQ(159u + 8, ran[0].size());  // sms 1 "..."

    name += 'n';
    s.device_name = name.c_str();
    EXPECT_EQ(-1, send(TEST_EVENT, "1", ts, log));
    EXPECT_EQ(1u, ran.size());
    EXPECT_NE(std::string::npos, log.find("Warning: SMS too long!"));
}

TEST_F(sms_notifier, command_of_255_bytes_is_run_and_256_refused)
{
    std::string name(99, 'n');  // a 159-byte message
    s.device_name = name.c_str();
    std::string recipient(89, '1'), log;
    EXPECT_EQ(0, send(TEST_EVENT, recipient.c_str(), ts, log));
    ASSERT_EQ(1u, ran.size());
    EXPECT_EQ(255u, ran[0].size());

    recipient += '1';
    EXPECT_EQ(-1, send(TEST_EVENT, recipient.c_str(), ts, log));
    EXPECT_EQ(1u, ran.size());
    EXPECT_NE(std::string::npos, log.find("Warning: sms command too large for buffer!"));

    // The limit is on the escaped text: 87 + 2 quotes + 166 = 255 fits, 88 not.
    std::string spaced(86, '1');
    spaced += ' ';
    EXPECT_EQ(0, send(TEST_EVENT, spaced.c_str(), ts, log));
    EXPECT_EQ(255u, ran.back().size());
    spaced += '1';
    EXPECT_EQ(-1, send(TEST_EVENT, spaced.c_str(), ts, log));
    EXPECT_EQ(2u, ran.size());
}

TEST_F(sms_notifier, shell_special_characters_are_escaped_in_the_message)
{
    s.device_name = "a\"b$c`d\\e";
    EXPECT_EQ(0, send_sms(TEST_EVENT, "+49 170", "", s));
    ASSERT_EQ(1u, ran.size());
    EXPECT_EQ("sms '+49 170' \"Test event triggered\nDevice: a\\\"b\\$c\\`d\\\\e\"", ran[0]);
}

TEST_F(sms_notifier, real_shell_hands_the_tool_exactly_the_configured_values)
{
    standin_env env;
    ASSERT_FALSE(env.dir.empty());
    std::string pwned = env.dir + "/pwned";
    std::string recipient = "$(touch " + pwned + ")";
    std::string name = "\"x\" `touch " + pwned + "` $HOME\\";
    s.device_name = name.c_str();
    s.device_location = "'; rm -rf /;'";
    s.device_admin_contact = "line1\nline2";
    really_run = true;
    ASSERT_EQ(0, send_sms(LOGIN_FAILED, recipient.c_str(), ts, s));

    std::vector<std::string> args = env.call("000001-sms");
    ASSERT_EQ(2u, args.size()) << ran[0];
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
    EXPECT_TRUE(ran.empty());
    EXPECT_NE(std::string::npos, log.find("Error: SMS recipient 3 begins with '-', not sending"));
}
