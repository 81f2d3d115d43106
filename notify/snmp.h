// SNMP notifier: one trap or inform about one event to the configured
// manager through the router's Net-SNMP-compatible tools (SNMPv1, SNMPv2c,
// SNMPv3 with user-based security).
#pragma once
#include <cstdint>
#include "config/settings.h"
#include "core/command.h"

constexpr const char *SNMPTRAP_BINARY = "net-snmptrap";
constexpr const char *SNMPINFORM_BINARY = "net-snmpinform";
// The event variable's OID is OID_PREFIX, the event code and ".0".
constexpr const char *OID_PREFIX = "1.3.6.1.4.1." ENTERPRISE_NUMBER_TEXT ".3.101.";
// First four octets of the router's SNMPv3 engine IDs.
constexpr uint32_t ENGINE_ID_PREFIX = 0x80000000u | ENTERPRISE_NUMBER;
// A storm's summary carries one more variable binding, this OID of type
// unsigned (Gauge32), the count of the events of its kind counted instead of
// notified; its command may be longer by that much.
constexpr const char *SUMMARY_COUNT_OID = "1.3.6.1.4.1." ENTERPRISE_NUMBER_TEXT ".3.102.0";
constexpr int SNMP_COMMAND_SIZE = 1024;
constexpr int SNMP_SUMMARY_EXTRA = 64;

// 0 when the tool exited with 0; -1 when a text did not fit or a value was
// refused (nothing run); else the run's status. Failures are logged here,
// with the tool's reason.
// With counted > 0 the notification is a storm's summary.
int send_snmp(int32_t code, const snmp_settings &snmp, shell_runner run = run_shell_command,
              int32_t counted = 0);
