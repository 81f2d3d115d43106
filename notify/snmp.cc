#include "notify/snmp.h"

#include <cstdlib>
#include <cstring>

#include "core/command.h"
#include "core/log.h"
#include "net/interfaces.h"
#include "notify/quoting.h"

namespace {

constexpr int SECURITY_TEXT_SIZE = 1024;
// Engine-ID format octet meaning "the router's lowest MAC address".
constexpr uint32_t PAYLOAD_TYPE_MAC = 3;
// SNMPv1 trap numbers: generic trap 6 (the enterprise's own), our trap 1.
constexpr int GENERIC_TRAP_ENTERPRISE = 6;
constexpr int EVENT_TRAP_NUMBER = 1;

unsigned quad_byte(uint32_t address, int shift)
{
    return (address >> shift) & 0xFF;
}

bool only_chars(const char *value, bool (*allowed)(char))
{
    for (; *value; value++) {
        if (!allowed(*value))
            return false;
    }
    return true;
}

bool is_protocol_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

bool is_hex_char(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_oid_char(char c)
{
    return (c >= '0' && c <= '9') || c == '.';
}

// The protocol names, the engine-ID payload and the product OID stand bare
// in the command line, where the shell would act on anything but these
// characters; a value holding others is refused rather than run.
bool values_are_safe(const snmp_settings &snmp)
{
    if (snmp.product_oid[0] == '\0' || !only_chars(snmp.product_oid, is_oid_char)) {
        log_message(LOG_ERR, "Error: SNMP product OID holds characters other than digits and '.'");
        return false;
    }
    if (snmp.version != 3)
        return true;
    if (!only_chars(snmp.auth, is_protocol_char)) {
        log_message(LOG_ERR, "Error: SNMP authentication protocol holds characters other than "
                        "letters, digits and '-'");
        return false;
    }
    if (!only_chars(snmp.priv, is_protocol_char)) {
        log_message(LOG_ERR, "Error: SNMP privacy protocol holds characters other than "
                        "letters, digits and '-'");
        return false;
    }
    if (snmp.engine_id_payload_type != PAYLOAD_TYPE_MAC &&
        !only_chars(snmp.engine_id_hex_payload, is_hex_char)) {
        log_message(LOG_ERR, "Error: SNMP engine ID payload holds characters other than "
                        "hexadecimal digits");
        return false;
    }
    return true;
}

void append_manager(command_text &t, const snmp_settings &snmp)
{
    uint32_t ip = snmp.manager_ip;
    text_printf(t, "%u.%u.%u.%u:%u", quad_byte(ip, 24), quad_byte(ip, 16), quad_byte(ip, 8),
                quad_byte(ip, 0), snmp.manager_port);
}

// SNMPv1: the agent address is the router's own address on the interface
// that leads to the manager, 0.0.0.0 when there is none.
void format_v1(command_text &t, int32_t code, const snmp_settings &snmp)
{
    uint32_t agent = interface_ipv4(route_interface(snmp.manager_ip));
    text_printf(t, "%s -v 1 -c '", SNMPTRAP_BINARY);
    text_single_quoted(t, snmp.community);
    text_printf(t, "' ");
    append_manager(t, snmp);
    text_printf(t, " %s %u.%u.%u.%u %d %d '' %s%d.0 u 1", snmp.product_oid, quad_byte(agent, 24),
                quad_byte(agent, 16), quad_byte(agent, 8), quad_byte(agent, 0),
                GENERIC_TRAP_ENTERPRISE, EVENT_TRAP_NUMBER, OID_PREFIX, code);
}

const char *tool_for(const snmp_settings &snmp)
{
    return snmp.pdu_type == 1 ? SNMPINFORM_BINARY : SNMPTRAP_BINARY;
}

void format_v2c(command_text &t, int32_t code, const snmp_settings &snmp)
{
    text_printf(t, "%s -v 2c -c '", tool_for(snmp));
    text_single_quoted(t, snmp.community);
    text_printf(t, "' ");
    append_manager(t, snmp);
    text_printf(t, " '' %s %s%d.0 u 1", snmp.product_oid, OID_PREFIX, code);
}

// The SNMPv3 user-based security options; -1 (logged) when they do not fit.
int format_security(char *buffer, const snmp_settings &snmp)
{
    command_text s;
    text_start(s, buffer, SECURITY_TEXT_SIZE);
    if (snmp.auth[0] == '\0') {
        text_printf(s, "-l noAuthNoPriv -u '");
        text_single_quoted(s, snmp.username);
        text_printf(s, "'");
    } else {
        text_printf(s, "-l %s -u '", snmp.priv[0] != '\0' ? "authPriv" : "authNoPriv");
        text_single_quoted(s, snmp.username);
        text_printf(s, "' -a %s -A '", snmp.auth);
        text_single_quoted(s, snmp.auth_password);
        text_printf(s, "'");
    }
    if (!text_fits(s)) {
        log_message(LOG_ERR, "Error setting authorization parameters: %d", int(s.len));
        return -1;
    }
    if (snmp.priv[0] == '\0')
        return 0;
    size_t before = s.len;
    text_printf(s, " -x %s -X '", snmp.priv);
    text_single_quoted(s, snmp.priv_password);
    text_printf(s, "'");
    if (!text_fits(s)) {
        log_message(LOG_ERR, "Error setting credentials: %d", int(s.len - before));
        return -1;
    }
    return 0;
}

void format_v3(command_text &t, int32_t code, const snmp_settings &snmp, const char *security,
               const char *security_engine, const char *context_engine)
{
    uint32_t type = snmp.engine_id_payload_type;
    text_printf(t, "%s -v 3 %s -e %04x%02x%s -E %04x%02x%s -n '", tool_for(snmp), security,
                ENGINE_ID_PREFIX, type, security_engine, ENGINE_ID_PREFIX, type, context_engine);
    text_single_quoted(t, snmp.context_name);
    text_printf(t, "' ");
    append_manager(t, snmp);
    text_printf(t, " '' %s %s%d.0 u 1", snmp.product_oid, OID_PREFIX, code);
}

// SNMPv3 by MAC: each engine ID takes its own fresh look at the router's
// lowest MAC. Without one there is nothing true to put in the engine ID, so
// nothing is sent (the lookup has logged why).
int format_v3_command(command_text &t, int32_t code, const snmp_settings &snmp)
{
    char security[SECURITY_TEXT_SIZE];
    if (format_security(security, snmp) != 0)
        return -1;
    if (snmp.engine_id_payload_type != PAYLOAD_TYPE_MAC) {
        format_v3(t, code, snmp, security, snmp.engine_id_hex_payload,
                  snmp.engine_id_hex_payload);
        return 0;
    }
    char *security_mac = lowest_mac_address();
    char *context_mac = security_mac ? lowest_mac_address() : nullptr;
    int result = -1;
    if (context_mac != nullptr) {
        format_v3(t, code, snmp, security, security_mac, context_mac);
        result = 0;
    }
    free(security_mac);
    free(context_mac);
    return result;
}

}  // namespace

int send_snmp(int32_t code, const snmp_settings &snmp, shell_runner run, int32_t counted)
{
    if (!values_are_safe(snmp))
        return -1;
    char command[SNMP_COMMAND_SIZE + SNMP_SUMMARY_EXTRA];
    command_text t;
    text_start(t, command, counted > 0 ? sizeof command : SNMP_COMMAND_SIZE);
    if (snmp.version == 2)
        format_v2c(t, code, snmp);
    else if (snmp.version == 3) {
        if (format_v3_command(t, code, snmp) != 0)
            return -1;
    } else
        format_v1(t, code, snmp);
    if (counted > 0)
        text_printf(t, " %s u %d", SUMMARY_COUNT_OID, int(counted));
    if (!text_fits(t)) {
        log_message(LOG_ERR, "Error assembling snmptrap command: %d", int(t.len));
        return -1;
    }
    run_result sent = run(command);
    int status = run_status(sent);
    if (status != 0) {
        log_message(LOG_ERR, "Error sending SNMP Trap/Inform: %d", status);
        log_run_failure(LOG_ERR, sent);
    }
    return status;
}
