#include "config/settings_check.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_support.h"

namespace {

// Line 1 of every file below, so that only the problem under test is found.
const std::string ENABLED = "MOD_NORVALE_ENABLED=1\n";
const std::string V3 = ENABLED + "MOD_NORVALE_SNMP_VERSION=3\n";

struct bad_file {
    std::string content;
    int line;
    const char *text;  // a part of the one problem's text
};

class settings_check : public ::testing::Test {
protected:
    const settings_report &check(const std::string &content)
    {
        check_settings(dir_.write("settings", content).c_str(), report_);
        return report_;
    }

    static std::string listed(const settings_report &report)
    {
        std::string all;
        for (int i = 0; i < report.stored; i++)
            all += std::to_string(report.problems[i].line) + ": " + report.problems[i].text + "\n";
        return all;
    }

    temp_dir dir_{"norvale-check"};
    settings_report report_;
};

TEST_F(settings_check, each_bad_file_gives_its_one_problem_on_its_line)
{
    const std::string long_line = "MOD_NORVALE_DEVICE_NAME=" + std::string(SETTINGS_LINE_SIZE, 'n');
    const bad_file files[] = {
        {ENABLED + "MOD_NORVALE_SMS_RECIPENT_1=+1555\n", 2,
         "unknown key MOD_NORVALE_SMS_RECIPENT_1; did you mean MOD_NORVALE_SMS_RECIPIENT_1?"},
        {ENABLED + "mod_norvale_nothing_like_it=1\n", 2, "unknown key mod_norvale_nothing_like_it"},
        {ENABLED + "mod_norvale_device_nmae=x\n", 2, "did you mean MOD_NORVALE_DEVICE_NAME?"},
        {ENABLED + "MOD_NORVALE_DEVICE_NAME =x\n", 2, "blank or tab around the key"},
        {ENABLED + "\tMOD_NORVALE_DEVICE_NAME=x\n", 2, "blank or tab around the key"},
        {ENABLED + "MOD_NORVALE_DEVICE_NAME=a\nmod_norvale_device_name=b\n", 3,
         "MOD_NORVALE_DEVICE_NAME is set again (first on line 2)"},
        {ENABLED + "MOD_NORVALE_SNMP_MANAGER_PORT=1x\n", 2, "not a plain non-negative decimal"},
        {ENABLED + "MOD_NORVALE_DEVICE_LOCATION_SUBJ=yes\n", 2, "not a plain non-negative"},
        {ENABLED + "MOD_NORVALE_SNMP_ENGINE_ID_PAYLOAD_TYPE=-1\n", 2, "it reads as 4294967295"},
        {ENABLED + "MOD_NORVALE_MAIL_GROUP_1_ADDR_1=noc@example.net\n"
                   "MOD_NORVALE_EVENT_TEST_EVENT_SUBSCRIBE_MAIL_GROUP_1=2\n", 3,
         "is neither 0 nor 1"},
        {"MOD_NORVALE_ENABLED=3\n", 1, "MOD_NORVALE_ENABLED=3 is neither 0 nor 1"},
        {ENABLED + "MOD_NORVALE_SNMP_VERSION=4\n", 2, "is not 1, 2 or 3"},
        {ENABLED + "MOD_NORVALE_SNMP_PDU_TYPE=2\n", 2, "neither 0 (trap) nor 1 (inform)"},
        {ENABLED + "MOD_NORVALE_SNMP_MANAGER_IP_ADDR=1.2.3.256\n", 2, "not a dotted quad"},
        {ENABLED + "MOD_NORVALE_SNMP_MANAGER_IP_ADDR=10.0.0\n", 2, "not a dotted quad"},
        {ENABLED + "MOD_NORVALE_SNMP_MANAGER_PORT=162\n"
                   "MOD_NORVALE_EVENT_LOGIN_FAILED_SUBSCRIBE_TRAP=1\n", 3,
         "no SNMP manager address, but MOD_NORVALE_EVENT_LOGIN_FAILED_SUBSCRIBE_TRAP is on"},
        {ENABLED + "MOD_NORVALE_SNMP_MANAGER_IP_ADDR=192.0.2.1\n"
                   "MOD_NORVALE_SNMP_MANAGER_PORT=65536\n"
                   "MOD_NORVALE_EVENT_LOGIN_FAILED_SUBSCRIBE_TRAP=1\n", 3,
         "SNMP manager port 65536 is not a port"},
        {ENABLED + "MOD_NORVALE_SNMP_MANAGER_IP_ADDR=192.0.2.1\n"
                   "MOD_NORVALE_EVENT_LOGIN_FAILED_SUBSCRIBE_TRAP=1\n", 3,
         "SNMP manager port 0 is not a port"},
        {V3 + "MOD_NORVALE_SNMP_PRIV=AES\nMOD_NORVALE_SNMP_PRIV_PASSWORD=12345678\n", 3,
         "privacy without authentication"},
        {V3 + "MOD_NORVALE_SNMP_AUTH=HMAC-SHA\nMOD_NORVALE_SNMP_AUTH_PASSWORD=12345678\n", 3,
         "MOD_NORVALE_SNMP_AUTH=HMAC-SHA is not a protocol the SNMP tools accept"},
        {V3 + "MOD_NORVALE_SNMP_AUTH=SHA\nMOD_NORVALE_SNMP_AUTH_PASSWORD=12345678\n"
              "MOD_NORVALE_SNMP_PRIV=3DES\nMOD_NORVALE_SNMP_PRIV_PASSWORD=12345678\n", 5,
         "MOD_NORVALE_SNMP_PRIV=3DES is not a protocol"},
        {V3 + "MOD_NORVALE_SNMP_AUTH=SHA\nMOD_NORVALE_SNMP_AUTH_PASSWORD=1234567\n", 4,
         "MOD_NORVALE_SNMP_AUTH_PASSWORD is shorter than 8 characters"},
        {V3 + "MOD_NORVALE_SNMP_ENGINE_ID_PAYLOAD_TYPE=5\n"
              "MOD_NORVALE_SNMP_ENGINE_ID_HEX_PAYLOAD=0a0b0\n", 4, "odd number of hexadecimal"},
        {V3 + "MOD_NORVALE_SNMP_ENGINE_ID_HEX_PAYLOAD=0x0a\n", 3,
         "characters other than hexadecimal digits"},
        {ENABLED + "MOD_NORVALE_SMS_RECIPIENT_3=-f\n", 2, "begins with '-'"},
        {ENABLED + "MOD_NORVALE_SMS_RECIPIENT_3=+1 555\n", 2, "holds blanks or control"},
        {ENABLED + "MOD_NORVALE_MAIL_GROUP_2_ADDR_1=noc\n", 2, "has no '@'"},
        {ENABLED + "MOD_NORVALE_SMS_RECIPIENT_1=\n"
                   "MOD_NORVALE_EVENT_SYSTEM_REBOOT_SUBSCRIBE_SMS=1\n", 3,
         "MOD_NORVALE_EVENT_SYSTEM_REBOOT_SUBSCRIBE_SMS is on, but no SMS recipient is set"},
        {ENABLED + "MOD_NORVALE_MAIL_GROUP_1_ADDR_1=noc@example.net\n"
                   "MOD_NORVALE_EVENT_TEST_EVENT_SUBSCRIBE_MAIL_GROUP_4=1\n", 3,
         "but mail group 4 has no address"},
        {ENABLED + "MOD_NORVALE_DEVICE_ADMIN_CONTACT=" + std::string(129, 'c') + "\n", 2,
         "is 129 bytes long; only its first 128 are used"},
        {ENABLED + long_line + "\nMOD_NORVALE_DEVICE_NAME=" + std::string(16, 'n') + "x\n", 2,
         "line longer than 16383 bytes"},
        {"MOD_NORVALE_ENABLED=0\n", 1, "MOD_NORVALE_ENABLED is missing or 0"},
        {"OTHER=1\n", 0, "MOD_NORVALE_ENABLED is missing or 0"},
    };
    for (const bad_file &f : files) {
        const settings_report &report = check(f.content);
        SCOPED_TRACE(f.content.substr(0, 200));
        ASSERT_EQ(report.opened, 0);
        ASSERT_EQ(report.problem_count, 1) << listed(report);
        EXPECT_EQ(report.problems[0].line, f.line) << listed(report);
        EXPECT_NE(std::string(report.problems[0].text).find(f.text), std::string::npos)
            << listed(report);
    }
}

TEST_F(settings_check, good_files_give_no_problem)
{
    const std::string files[] = {
        "MOD_NORVALE_ENABLED=1\r\nMOD_NORVALE_DEVICE_NAME=\"Router \"A\"\"\r\n",
        "mod_norvale_enabled=\"1\"\nOTHER_PART=x\nOTHER_PART=y\n other part = odd\n"
        "no equals sign here\n",
        V3 + "MOD_NORVALE_SNMP_AUTH=sha256\nMOD_NORVALE_SNMP_AUTH_PASSWORD=12345678\n"
             "MOD_NORVALE_SNMP_PRIV=A\nMOD_NORVALE_SNMP_PRIV_PASSWORD=12345678\n"
             "MOD_NORVALE_SNMP_ENGINE_ID_PAYLOAD_TYPE=5\n"
             "MOD_NORVALE_SNMP_ENGINE_ID_HEX_PAYLOAD=0A0b0c\n",
        ENABLED + "MOD_NORVALE_SNMP_MANAGER_IP_ADDR=192.0.2.10\nMOD_NORVALE_SNMP_MANAGER_PORT=162\n"
                  "MOD_NORVALE_EVENT_TEST_EVENT_SUBSCRIBE_TRAP=1\n"
                  "MOD_NORVALE_SMS_RECIPIENT_8=+15550100\n"
                  "MOD_NORVALE_EVENT_TEST_EVENT_SUBSCRIBE_SMS=1\n"
                  "MOD_NORVALE_EVENT_TEST_EVENT_SUBSCRIBE_MAIL_GROUP_1=0\n",
    };
    for (const std::string &content : files) {
        const settings_report &report = check(content);
        EXPECT_EQ(report.opened, 0);
        EXPECT_EQ(report.problem_count, 0) << content << listed(report);
        EXPECT_EQ(report.note_count, 0) << content << listed(report);
    }
}

TEST_F(settings_check, snmpv3_inform_gets_a_note_about_the_engine_id)
{
    const settings_report &report = check(V3 + "MOD_NORVALE_SNMP_PDU_TYPE=1\n");
    EXPECT_EQ(report.problem_count, 0) << listed(report);
    ASSERT_EQ(report.note_count, 1);
    EXPECT_TRUE(report.problems[0].note);
    EXPECT_EQ(report.problems[0].line, 3);
}

TEST_F(settings_check, findings_beyond_the_table_are_counted)
{
    std::string content = ENABLED;
    for (int n = 0; n < CHECK_PROBLEMS_MAX + 5; n++)
        content += "MOD_NORVALE_UNKNOWN_" + std::to_string(n) + "=1\n";
    const settings_report &report = check(content);
    EXPECT_EQ(report.stored, CHECK_PROBLEMS_MAX);
    EXPECT_EQ(report.problem_count, CHECK_PROBLEMS_MAX + 5);
}

TEST_F(settings_check, unreadable_file_is_reported_as_such)
{
    check_settings(dir_.path().c_str(), report_);
    EXPECT_EQ(report_.opened, -2);
    EXPECT_EQ(report_.problem_count, 0);
    check_settings(dir_.file("absent").c_str(), report_);
    EXPECT_EQ(report_.opened, -1);
}

}  // namespace
