// The SNMP command lines (SNMPv1, SNMPv2c, SNMPv3 trap or inform) over
// arbitrary settings values: run by the real shell each hands the tool
// exactly the intended arguments, and runs nothing else.
#include <cstdlib>
#include <cstring>

#include "net/interfaces.h"
#include "notify/snmp.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

std::string quad(uint32_t address)
{
    return std::to_string(address >> 24) + "." + std::to_string(address >> 16 & 0xFF) + "." +
           std::to_string(address >> 8 & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::string engine_id(uint32_t payload_type, const std::string &payload)
{
    char head[16];
    snprintf(head, sizeof head, "%08x%02x", ENGINE_ID_PREFIX, payload_type);
    return head + payload;
}

// The user-based security options as separate arguments.
argv_list security(const snmp_settings &snmp)
{
    argv_list args;
    if (snmp.auth[0] == '\0')
        args = {"-l", "noAuthNoPriv", "-u", snmp.username};
    else
        args = {"-l", snmp.priv[0] ? "authPriv" : "authNoPriv", "-u", snmp.username,
                "-a", snmp.auth, "-A", snmp.auth_password};
    if (snmp.priv[0] != '\0')
        args.insert(args.end(), {"-x", snmp.priv, "-X", snmp.priv_password});
    return args;
}

argv_list intended_line(int32_t code, const snmp_settings &snmp)
{
    std::string manager = quad(snmp.manager_ip) + ":" + std::to_string(snmp.manager_port);
    std::string event_oid = OID_PREFIX + std::to_string(code) + ".0";
    if (snmp.version != 2 && snmp.version != 3) {
        uint32_t agent = interface_ipv4(route_interface(snmp.manager_ip));
        return {SNMPTRAP_BINARY, "-v", "1", "-c", snmp.community, manager, snmp.product_oid,
                quad(agent), "6", "1", "", event_oid, "u", "1"};
    }
    argv_list line = {snmp.pdu_type == 1 ? SNMPINFORM_BINARY : SNMPTRAP_BINARY, "-v"};
    if (snmp.version == 2) {
        line.insert(line.end(), {"2c", "-c", snmp.community});
    } else {
        line.push_back("3");
        argv_list options = security(snmp);
        line.insert(line.end(), options.begin(), options.end());
        std::string payload = snmp.engine_id_hex_payload;
        if (snmp.engine_id_payload_type == 3) {
            char *mac = lowest_mac_address();
            payload = mac ? mac : "";
            free(mac);
        }
        std::string id = engine_id(snmp.engine_id_payload_type, payload);
        line.insert(line.end(), {"-e", id, "-E", id, "-n", snmp.context_name});
    }
    line.insert(line.end(), {manager, "", snmp.product_oid, event_oid, "u", "1"});
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    recorder_dir({SNMPTRAP_BINARY, SNMPINFORM_BINARY});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input in{data, size};
    snmp_settings snmp;
    memset(&snmp, 0, sizeof snmp);
    uint8_t kind = in.byte();
    snmp.version = 1 + kind % 3;
    snmp.pdu_type = snmp.version == 1 ? 0 : kind / 3 % 2;
    snmp.engine_id_payload_type = kind / 6 % 2 ? 3 : in.byte();
    int32_t code = int32_t(in.number());
    snmp.manager_ip = in.number();
    snmp.manager_port = in.number();
    std::string text[9];
    for (std::string &t : text)
        t = in.text();
    snmp.product_oid = text[0].c_str();
    snmp.community = text[1].c_str();
    snmp.engine_id_hex_payload = text[2].c_str();
    snmp.context_name = text[3].c_str();
    snmp.username = text[4].c_str();
    snmp.auth = text[5].c_str();
    snmp.auth_password = text[6].c_str();
    snmp.priv = text[7].c_str();
    snmp.priv_password = text[8].c_str();

    argv_list intended = intended_line(code, snmp);
    replays().clear();
    send_snmp(code, snmp, replay_in_shell);
    check_replays({intended});
    return 0;
}
