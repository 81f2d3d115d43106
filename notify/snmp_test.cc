#include "notify/snmp.h"

#include "core/command.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "tests/support/test_support.h"

namespace {

// ---- helpers -------------------------------------------------------------

const std::string PRODUCT = "1.3.6.1.4.1.32473.1.1000";
// The event variable's OID prefix, written out independently of the code.
const std::string EVENT_OID = std::string("1.3.6.1.4.1.") + ENTERPRISE_NUMBER_TEXT + ".3.101.";

// The first four engine-ID octets: the enterprise number with the top bit set.
std::string engine_prefix()
{
    char text[16];
    snprintf(text, sizeof text, "%08x", 0x80000000u | unsigned(NORVALE_ENTERPRISE_NUMBER));
    return text;
}

snmp_settings settings(uint32_t version)
{
    snmp_settings s;
    memset(&s, 0, sizeof s);
    s.version = version;
    s.pdu_type = 0;
    s.manager_ip = (192u << 24) | (0u << 16) | (2u << 8) | 10u;
    s.manager_port = 162;
    s.product_oid = PRODUCT.c_str();
    s.community = "public";
    s.engine_id_payload_type = 5;
    s.engine_id_hex_payload = "0a0b0c";
    s.context_name = "";
    s.username = "admin";
    s.auth = "";
    s.auth_password = "";
    s.priv = "";
    s.priv_password = "";
    return s;
}

std::string v2c_command(const std::string &tool, const std::string &community_text, int code)
{
    return tool + " -v 2c -c '" + community_text + "' 192.0.2.10:162 '' " + PRODUCT + " " +
           EVENT_OID + std::to_string(code) + ".0 u 1";
}

std::string v3_command(const std::string &tool, const std::string &security,
                       const std::string &engine_id, const std::string &context_text, int code)
{
    return tool + " -v 3 " + security + " -e " + engine_id + " -E " + engine_id + " -n '" +
           context_text + "' 192.0.2.10:162 '' " + PRODUCT + " " + EVENT_OID +
           std::to_string(code) + ".0 u 1";
}

// What sending event 3 with s logs at LOG_ERR (other priorities are masked
// out); the send must be refused with -1.
std::string refusal_logged(const snmp_settings &s)
{
    syslog_capture errors("snmp_test", LOG_MASK(LOG_ERR));
    EXPECT_EQ(send_snmp(3, s, shell_recorder::run), -1);
    return errors.text();
}

// Sends through the recorder; shell.status is what the "tool" answers.
class snmp_send : public ::testing::Test {
protected:
    shell_recorder shell;
};

// The same in an empty network namespace of the test's own, for the
// notifications whose text depends on the router's interfaces and routes.
class snmp_send_on_network : public snmp_send {
protected:
    private_network network;

    void SetUp() override
    {
        SKIP_WITHOUT_NETWORK_NAMESPACE();
        ASSERT_TRUE(network.enter()) << strerror(errno);
    }
};

// ---- SNMPv1 --------------------------------------------------------------

TEST_F(snmp_send_on_network, any_version_but_2_and_3_sends_a_v1_trap_from_the_routed_address)
{
    network.add_veth("v0", "00:11:22:33:44:55", "192.0.2.1/24");
    network.add_veth("v1", "00:11:22:33:44:56", "198.51.100.1/24");
    const std::string expected = "net-snmptrap -v 1 -c 'public' 192.0.2.10:162 " + PRODUCT +
                                 " 192.0.2.1 6 1 '' " + EVENT_OID + "3.0 u 1";
    for (uint32_t version : {0u, 1u, 7u}) {
        for (uint32_t pdu_type : {0u, 1u}) {
            shell.commands.clear();
            snmp_settings s = settings(version);
            s.pdu_type = pdu_type;
            EXPECT_EQ(send_snmp(3, s, shell.run), 0);
            ASSERT_EQ(shell.commands.size(), 1u);
            EXPECT_EQ(shell.commands[0], expected)
                << "version " << version << " pdu " << pdu_type;
        }
    }
}

TEST_F(snmp_send_on_network, v1_trap_without_a_route_to_the_manager_carries_0_0_0_0)
{
    network.add_veth("v1", "00:11:22:33:44:56", "198.51.100.1/24");
    EXPECT_EQ(send_snmp(8, settings(1), shell.run), 0);
    ASSERT_EQ(shell.commands.size(), 1u);
    EXPECT_EQ(shell.commands[0], "net-snmptrap -v 1 -c 'public' 192.0.2.10:162 " + PRODUCT +
                                     " 0.0.0.0 6 1 '' " + EVENT_OID + "8.0 u 1");
}

// ---- SNMPv2c -------------------------------------------------------------

TEST_F(snmp_send, v2c_pdu_type_1_runs_the_inform_tool_every_other_the_trap_tool)
{
    const struct {
        uint32_t pdu_type;
        const char *tool;
    } cases[] = {{1, "net-snmpinform"}, {0, "net-snmptrap"}, {2, "net-snmptrap"}};
    for (const auto &c : cases) {
        shell.commands.clear();
        snmp_settings s = settings(2);
        s.pdu_type = c.pdu_type;
        EXPECT_EQ(send_snmp(3, s, shell.run), 0);
        ASSERT_EQ(shell.commands.size(), 1u);
        EXPECT_EQ(shell.commands[0], v2c_command(c.tool, "public", 3));
    }
}

// ---- SNMPv3 --------------------------------------------------------------

TEST_F(snmp_send, v3_security_options_follow_auth_and_priv)
{
    const std::string id = engine_prefix() + "050a0b0c";
    const struct {
        const char *auth, *priv, *security;
    } cases[] = {
        {"", "", "-l noAuthNoPriv -u 'admin'"},
        {"SHA", "", "-l authNoPriv -u 'admin' -a SHA -A 'authpass1'"},
        {"SHA", "AES", "-l authPriv -u 'admin' -a SHA -A 'authpass1' -x AES -X 'privpass1'"},
        // Privacy without authentication is passed on as configured; the
        // tool itself refuses it.
        {"", "AES", "-l noAuthNoPriv -u 'admin' -x AES -X 'privpass1'"},
    };
    for (const auto &c : cases) {
        shell.commands.clear();
        snmp_settings s = settings(3);
        s.auth = c.auth;
        s.auth_password = "authpass1";
        s.priv = c.priv;
        s.priv_password = "privpass1";
        s.context_name = "ctx";
        EXPECT_EQ(send_snmp(3, s, shell.run), 0);
        ASSERT_EQ(shell.commands.size(), 1u);
        EXPECT_EQ(shell.commands[0], v3_command("net-snmptrap", c.security, id, "ctx", 3));
    }
}

TEST_F(snmp_send, v3_pdu_type_1_runs_the_inform_tool)
{
    snmp_settings s = settings(3);
    s.pdu_type = 1;
    EXPECT_EQ(send_snmp(2, s, shell.run), 0);
    ASSERT_EQ(shell.commands.size(), 1u);
    EXPECT_EQ(shell.commands[0], v3_command("net-snmpinform", "-l noAuthNoPriv -u 'admin'",
                                            engine_prefix() + "050a0b0c", "", 2));
}

TEST_F(snmp_send, v3_engine_ids_carry_the_payload_type_and_hex_payload)
{
    snmp_settings s = settings(3);
    EXPECT_EQ(send_snmp(4, s, shell.run), 0);
    s.engine_id_payload_type = 4;
    s.engine_id_hex_payload = "";
    EXPECT_EQ(send_snmp(4, s, shell.run), 0);
    s.engine_id_payload_type = 0x80;
    s.engine_id_hex_payload = "DEADbeef";
    EXPECT_EQ(send_snmp(4, s, shell.run), 0);
    ASSERT_EQ(shell.commands.size(), 3u);
    const std::string security = "-l noAuthNoPriv -u 'admin'";
    EXPECT_EQ(shell.commands[0],
              v3_command("net-snmptrap", security, engine_prefix() + "050a0b0c", "", 4));
    EXPECT_EQ(shell.commands[1],
              v3_command("net-snmptrap", security, engine_prefix() + "04", "", 4));
    EXPECT_EQ(shell.commands[2],
              v3_command("net-snmptrap", security, engine_prefix() + "80DEADbeef", "", 4));
}

TEST_F(snmp_send_on_network, v3_payload_type_3_puts_the_lowest_mac_in_both_engine_ids)
{
    network.add_veth("v0", "00:11:22:33:44:55", "10.7.0.1/24");
    network.add_veth("v1", "00:11:22:33:44:54", "10.8.0.1/24");
    snmp_settings s = settings(3);
    s.engine_id_payload_type = 3;
    s.engine_id_hex_payload = "not used";
    EXPECT_EQ(send_snmp(3, s, shell.run), 0);
    ASSERT_EQ(shell.commands.size(), 1u);
    EXPECT_EQ(shell.commands[0], v3_command("net-snmptrap", "-l noAuthNoPriv -u 'admin'",
                                            engine_prefix() + "03001122334454", "", 3));
}

TEST_F(snmp_send_on_network, v3_payload_type_3_without_any_mac_sends_nothing)
{
    network.run("ip link set lo up");
    snmp_settings s = settings(3);
    s.engine_id_payload_type = 3;
    EXPECT_EQ(refusal_logged(s), "snmp_test: Error assembling lowest HW address: 16.\n");
    EXPECT_TRUE(shell.commands.empty());
}

TEST_F(snmp_send_on_network, thousand_mac_engine_id_sends_leave_no_descriptor_open)
{
    network.add_veth("v0", "00:11:22:33:44:55", "10.7.0.1/24");
    snmp_settings s = settings(3);
    s.engine_id_payload_type = 3;
    ASSERT_EQ(send_snmp(3, s, shell.run), 0);
    int before = open_descriptor_count();
    int failed = 0;
    for (int i = 0; i < 1000; i++)
        failed += send_snmp(3, s, shell.run) != 0;
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(open_descriptor_count(), before);
    ASSERT_EQ(shell.commands.size(), 1001u);
    EXPECT_EQ(shell.commands[1000], shell.commands[0]);
}

// ---- values between the templates' quotes --------------------------------

TEST_F(snmp_send_on_network, single_quotes_in_quoted_values_are_escaped_for_the_shell)
{
    snmp_settings s = settings(1);
    s.community = "it's";
    EXPECT_EQ(send_snmp(1, s, shell.run), 0);
    s.version = 2;
    EXPECT_EQ(send_snmp(1, s, shell.run), 0);
    s = settings(3);
    s.username = "o'brien";
    s.auth = "SHA";
    s.auth_password = "pa'ss word";
    s.priv = "AES";
    s.priv_password = "'x'";
    s.context_name = "c'tx";
    EXPECT_EQ(send_snmp(1, s, shell.run), 0);
    ASSERT_EQ(shell.commands.size(), 3u);
    EXPECT_EQ(shell.commands[0], "net-snmptrap -v 1 -c 'it'\\''s' 192.0.2.10:162 " + PRODUCT +
                                     " 0.0.0.0 6 1 '' " + EVENT_OID + "1.0 u 1");
    EXPECT_EQ(shell.commands[1], v2c_command("net-snmptrap", "it'\\''s", 1));
    EXPECT_EQ(shell.commands[2],
              v3_command("net-snmptrap",
                         "-l authPriv -u 'o'\\''brien' -a SHA -A 'pa'\\''ss word'"
                         " -x AES -X ''\\''x'\\'''",
                         engine_prefix() + "050a0b0c", "c'\\''tx", 1));
}

// Through the real shell to the recording stand-in tools: the tools get every
// value exactly as configured, and nothing in a value runs as a command.
class snmp_send_through_shell : public ::testing::Test {
protected:
    standin_path standins;
    std::string marker = standins.dir.file("injected");

    void SetUp() override
    {
        ASSERT_FALSE(standins.dir.path().empty());
        // Answer success without handing the call on to the real tools.
        for (const char *tool : {"net-snmptrap", "net-snmpinform"})
            ASSERT_TRUE(write_file(standins.dir.file(std::string(tool) + ".exit"), "0\n"));
    }
};

TEST_F(snmp_send_through_shell, tools_receive_quoted_values_exactly_and_nothing_runs)
{
    const std::string hostile = "a'b\"c $(touch " + marker + ") `touch " + marker + "`; touch " +
                                marker + " \\' *";
    const std::string community = "it's " + hostile;
    snmp_settings s = settings(2);
    s.community = community.c_str();
    ASSERT_EQ(send_snmp(3, s), 0);

    const std::string username = "o'brien " + hostile;
    const std::string auth_password = "x'; touch " + marker + "; echo '";
    const std::string priv_password = "'" + hostile + "'";
    const std::string context = "$HOME ' " + hostile;
    s = settings(3);
    s.pdu_type = 1;
    s.username = username.c_str();
    s.auth = "SHA-256";
    s.auth_password = auth_password.c_str();
    s.priv = "AES";
    s.priv_password = priv_password.c_str();
    s.context_name = context.c_str();
    ASSERT_EQ(send_snmp(7, s), 0);

    const std::vector<std::string> v2c = {"-v", "2c", "-c", community, "192.0.2.10:162", "",
                                          PRODUCT, EVENT_OID + "3.0", "u", "1"};
    EXPECT_EQ(standins.arguments(1, "net-snmptrap"), v2c);
    const std::string id = engine_prefix() + "050a0b0c";
    const std::vector<std::string> v3 = {
        "-v", "3", "-l", "authPriv", "-u", username, "-a", "SHA-256", "-A", auth_password,
        "-x", "AES", "-X", priv_password, "-e", id, "-E", id, "-n", context,
        "192.0.2.10:162", "", PRODUCT, EVENT_OID + "7.0", "u", "1"};
    EXPECT_EQ(standins.arguments(2, "net-snmpinform"), v3);
    EXPECT_NE(access(marker.c_str(), F_OK), 0) << "a configured value ran as a command";
}

// ---- values the templates leave bare -------------------------------------
TEST_F(snmp_send, protocol_names_with_other_than_letters_digits_and_dash_are_refused)
{
    const struct {
        const char *auth, *priv, *message;
    } cases[] = {
        {"SHA;reboot", "", "Error: SNMP authentication protocol holds characters other than "
                           "letters, digits and '-'"},
        {"SHA 256", "", "Error: SNMP authentication protocol holds characters other than "
                        "letters, digits and '-'"},
        {"SHA", "AES$(reboot)", "Error: SNMP privacy protocol holds characters other than "
                                "letters, digits and '-'"},
        {"", "AES'", "Error: SNMP privacy protocol holds characters other than "
                     "letters, digits and '-'"},
    };
    for (const auto &c : cases) {
        snmp_settings s = settings(3);
        s.auth = c.auth;
        s.priv = c.priv;
        SCOPED_TRACE(std::string(c.auth) + " / " + c.priv);
        EXPECT_EQ(refusal_logged(s), std::string("snmp_test: ") + c.message + "\n");
    }
    EXPECT_TRUE(shell.commands.empty());
}

TEST_F(snmp_send, engine_id_payload_with_other_than_hex_digits_is_refused)
{
    for (const char *payload : {"0a0b0z", "0a 0b", "0a;reboot", "0x0a"}) {
        snmp_settings s = settings(3);
        s.engine_id_hex_payload = payload;
        SCOPED_TRACE(payload);
        EXPECT_EQ(refusal_logged(s), "snmp_test: Error: SNMP engine ID payload holds characters "
                                     "other than hexadecimal digits\n");
    }
    EXPECT_TRUE(shell.commands.empty());
}

TEST_F(snmp_send, product_oid_other_than_digits_and_dots_is_refused)
{
    for (const char *oid : {"", "1.3.6.1.4.1.32473.1.x", "1.3.6.1 ;reboot"}) {
        for (uint32_t version : {1u, 2u, 3u}) {
            snmp_settings s = settings(version);
            s.product_oid = oid;
            SCOPED_TRACE(oid);
            EXPECT_EQ(refusal_logged(s), "snmp_test: Error: SNMP product OID holds characters "
                                         "other than digits and '.'\n");
        }
    }
    EXPECT_TRUE(shell.commands.empty());
}

// ---- lengths -------------------------------------------------------------

TEST_F(snmp_send, command_of_1023_bytes_runs_and_of_1024_is_refused)
{
    const size_t fixed = v2c_command("net-snmptrap", "", 3).size();
    const std::string fits(1023 - fixed, 'c');
    snmp_settings s = settings(2);
    s.community = fits.c_str();
    EXPECT_EQ(send_snmp(3, s, shell.run), 0);
    ASSERT_EQ(shell.commands.size(), 1u);
    EXPECT_EQ(shell.commands[0], v2c_command("net-snmptrap", fits, 3));
    EXPECT_EQ(shell.commands[0].size(), 1023u);

    const std::string too_long(1024 - fixed, 'c');
    s.community = too_long.c_str();
    EXPECT_EQ(refusal_logged(s), "snmp_test: Error assembling snmptrap command: 1024\n");
    EXPECT_EQ(shell.commands.size(), 1u);
}

TEST_F(snmp_send, length_limit_counts_the_escaped_quotes)
{
    // 1021 bytes as configured, 1024 once its quote is escaped.
    const size_t fixed = v2c_command("net-snmptrap", "", 3).size();
    const std::string community = "'" + std::string(1024 - fixed - 4, 'c');
    snmp_settings s = settings(2);
    s.community = community.c_str();
    EXPECT_EQ(refusal_logged(s), "snmp_test: Error assembling snmptrap command: 1024\n");
    EXPECT_TRUE(shell.commands.empty());
}

TEST_F(snmp_send, too_long_security_options_are_refused_with_their_length)
{
    // "-l noAuthNoPriv -u '" and the closing quote take 21 bytes.
    const std::string username(1003, 'u');
    snmp_settings s = settings(3);
    s.username = username.c_str();
    EXPECT_EQ(refusal_logged(s), "snmp_test: Error setting authorization parameters: 1024\n");

    // "-l noAuthNoPriv -u 'admin'" leaves 998 bytes for " -x AES -X '...'".
    const std::string priv_password(985, 'p');
    s = settings(3);
    s.priv = "AES";
    s.priv_password = priv_password.c_str();
    EXPECT_EQ(refusal_logged(s), "snmp_test: Error setting credentials: 998\n");
    EXPECT_TRUE(shell.commands.empty());
}

TEST_F(snmp_send, tool_failure_is_returned_and_logged_with_its_status)
{
    for (int status : {256, -1}) {
        shell.status = status;
        syslog_capture errors("snmp_test", LOG_MASK(LOG_ERR));
        EXPECT_EQ(send_snmp(3, settings(2), shell.run), status);
        EXPECT_EQ(errors.text(), "snmp_test: Error sending SNMP Trap/Inform: " +
                                     std::to_string(status) + "\n");
    }
}

}  // namespace

TEST_F(snmp_send, storm_summary_carries_its_count_and_runs_wherever_the_alert_would)
{
    const size_t fixed = v2c_command("net-snmptrap", "", 3).size();
    const std::string fits(1023 - fixed, 'c');
    snmp_settings s = settings(2);
    s.community = fits.c_str();
    EXPECT_EQ(send_snmp(3, s, shell.run, 2147483647), 0);
    ASSERT_EQ(shell.commands.size(), 1u);
    EXPECT_EQ(shell.commands[0], v2c_command("net-snmptrap", fits, 3) + " " + SUMMARY_COUNT_OID +
                                     " u 2147483647");
}
