// The settings keys: one table that the loader (load_module_settings), the
// settings check and the documentation test all walk. A row is one key, or a
// template repeated per event, per SMS recipient, or per mail group and
// address. It gives the key's kind (which decides how the value is read and
// checked), the default of a missing or empty value, the limits the check
// holds a value to, and the field of module_settings the value goes to.
//
// A new key is one row here, its field in module_settings, and its entry in
// the manual page (and in the sample, when it belongs there). The number of
// keys, the loader and the check follow from the table.
#pragma once
#include <cstddef>
#include <cstdint>
#include "config/settings.h"
#include "core/storms.h"  // the storm limit's default and range

// What a key holds. Every kind but the texts is read as a number ("%u");
// KEY_IP as a dotted quad.
enum key_kind {
    KEY_SWITCH,        // 0 off, 1 on
    KEY_SUBSCRIPTION,  // one channel of one event: 0 or 1
    KEY_NUMBER,        // a number within the row's limits
    KEY_DEVICE_TEXT,   // a text cut to the row's limit in bytes
    KEY_TEXT,
    KEY_RECIPIENT,     // an SMS recipient
    KEY_ADDRESS,       // an e-mail address
    KEY_VERSION,       // the SNMP version: 1, 2 (SNMPv2c) or 3
    KEY_PDU,           // 0 trap, 1 inform
    KEY_IP,            // an IPv4 address as a dotted quad
    KEY_PORT,          // a UDP port, checked where the manager is used
};

// How a row's name repeats. The name marks where each index goes: <EVENT>
// (an upper-case event name, codes 1 to 8), <G> (mail group 1 to 4) and <N>
// (recipient or address 1 to 8). Rows repeated per event that stand next to
// each other are expanded together, event by event: all keys of one event,
// then those of the next.
enum key_repeat {
    KEY_ONCE,
    KEY_PER_EVENT,          // <EVENT>
    KEY_PER_EVENT_GROUP,    // <EVENT> and <G>
    KEY_PER_RECIPIENT,      // <N>, 1 to SMS_RECIPIENT_COUNT
    KEY_PER_GROUP_ADDRESS,  // <G> and <N>, 1 to MAIL_GROUP_ADDRESSES
};

// The indices of one key of a row: event code, mail group and recipient or
// address, each 0 where the row has none.
struct key_place {
    int event;
    int group;
    int n;
};

// Where a key's value goes in module_settings: a number or a text field,
// as the row's kind needs, made by SETTINGS_NUMBER or SETTINGS_TEXT.
using number_field = uint32_t &(*)(module_settings &, const key_place &);
using text_field = const char *&(*)(module_settings &, const key_place &);
struct key_field {
    number_field number;
    text_field text;
    bool is_text;  // which of the two is set (known at compile time)
};

#define SETTINGS_NUMBER(field)                                                              \
    key_field{[](module_settings &s, [[maybe_unused]] const key_place &at) -> uint32_t & { \
                  return s.field;                                                           \
              },                                                                            \
              nullptr, false}
#define SETTINGS_TEXT(field)                                                                   \
    key_field{nullptr, [](module_settings &s, [[maybe_unused]] const key_place &at)          \
                           -> const char *& { return s.field; }, true}

// What a missing or empty value gives: for the number kinds a number, 0
// unless the row gives one; for the texts the empty text unless the row
// names a text. A value that is there but does not convert still reads as 0.
struct key_default {
    uint32_t number = 0;
    const char *text = nullptr;
    constexpr key_default() = default;
    constexpr key_default(int n) : number(uint32_t(n)) {}
    constexpr key_default(const char *t) : text(t) {}
};

// The values the check accepts for a number (low to high), or the most
// bytes of a device text (high).
struct key_limits {
    uint32_t low;
    uint32_t high;
};

constexpr key_limits kind_limits(key_kind kind)
{
    switch (kind) {
    case KEY_SWITCH: case KEY_SUBSCRIPTION: case KEY_PDU:
        return {0, 1};
    case KEY_VERSION:
        return {1, 3};
    case KEY_PORT:
        return {1, 65535};
    case KEY_DEVICE_TEXT:
        return {0, uint32_t(DEVICE_TEXT_MAX)};
    default:
        return {0, UINT32_MAX};
    }
}

// One row: the name (with <EVENT>, <G> and <N> where the indices go), how it
// repeats, its kind and the field its value goes to; then, where the row
// needs them, the default and limits other than its kind's. A number with a
// default of 5 and values up to 100 would be
//   {"MOD_NORVALE_EXAMPLE", KEY_ONCE, KEY_NUMBER, SETTINGS_NUMBER(example), 5, {0, 100}},
struct settings_key_row {
    const char *name;
    key_repeat repeat;
    key_kind kind;
    key_field field;
    key_default missing = {};
    key_limits limits = kind_limits(kind);
};

// Every key, in the order the check reports and suggests them.
inline constexpr settings_key_row SETTINGS_KEY_ROWS[] = {
    {"MOD_NORVALE_ENABLED", KEY_ONCE, KEY_SWITCH, SETTINGS_NUMBER(enabled)},
    {"MOD_NORVALE_EVENT_<EVENT>_SUBSCRIBE_SMS", KEY_PER_EVENT, KEY_SUBSCRIPTION,
     SETTINGS_NUMBER(subscribe_sms[at.event])},
    {"MOD_NORVALE_EVENT_<EVENT>_SUBSCRIBE_TRAP", KEY_PER_EVENT, KEY_SUBSCRIPTION,
     SETTINGS_NUMBER(subscribe_trap[at.event])},
    {"MOD_NORVALE_EVENT_<EVENT>_SUBSCRIBE_MAIL_GROUP_<G>", KEY_PER_EVENT_GROUP, KEY_SUBSCRIPTION,
     SETTINGS_NUMBER(subscribe_mail[at.event][at.group - 1])},
    {"MOD_NORVALE_DEVICE_NAME", KEY_ONCE, KEY_DEVICE_TEXT, SETTINGS_TEXT(device_name),
     DEFAULT_DEVICE_NAME},
    {"MOD_NORVALE_DEVICE_LOCATION", KEY_ONCE, KEY_DEVICE_TEXT, SETTINGS_TEXT(device_location)},
    {"MOD_NORVALE_DEVICE_ADMIN_CONTACT", KEY_ONCE, KEY_DEVICE_TEXT,
     SETTINGS_TEXT(device_admin_contact)},
    {"MOD_NORVALE_DEVICE_LOCATION_SUBJ", KEY_ONCE, KEY_SWITCH, SETTINGS_NUMBER(location_subj)},
    {"MOD_NORVALE_DEVICE_ADMIN_CONTACT_SUBJ", KEY_ONCE, KEY_SWITCH,
     SETTINGS_NUMBER(admin_contact_subj)},
    {"MOD_NORVALE_SMS_RECIPIENT_<N>", KEY_PER_RECIPIENT, KEY_RECIPIENT,
     SETTINGS_TEXT(sms_recipients[at.n - 1])},
    {"MOD_NORVALE_MAIL_GROUP_<G>_ADDR_<N>", KEY_PER_GROUP_ADDRESS, KEY_ADDRESS,
     SETTINGS_TEXT(mail_group_addrs[at.group - 1][at.n - 1])},
    {"MOD_NORVALE_SNMP_VERSION", KEY_ONCE, KEY_VERSION, SETTINGS_NUMBER(snmp.version)},
    // Not used, and 0, when the version is 1: load_module_settings sees to it.
    {"MOD_NORVALE_SNMP_PDU_TYPE", KEY_ONCE, KEY_PDU, SETTINGS_NUMBER(snmp.pdu_type)},
    {"MOD_NORVALE_SNMP_MANAGER_IP_ADDR", KEY_ONCE, KEY_IP, SETTINGS_NUMBER(snmp.manager_ip)},
    {"MOD_NORVALE_SNMP_MANAGER_PORT", KEY_ONCE, KEY_PORT, SETTINGS_NUMBER(snmp.manager_port)},
    {"MOD_NORVALE_SNMP_COMMUNITY", KEY_ONCE, KEY_TEXT, SETTINGS_TEXT(snmp.community),
     DEFAULT_SNMP_COMMUNITY},
    {"MOD_NORVALE_SNMP_USERNAME", KEY_ONCE, KEY_TEXT, SETTINGS_TEXT(snmp.username),
     DEFAULT_SNMP_USERNAME},
    {"MOD_NORVALE_SNMP_ENGINE_ID_PAYLOAD_TYPE", KEY_ONCE, KEY_NUMBER,
     SETTINGS_NUMBER(snmp.engine_id_payload_type)},
    {"MOD_NORVALE_SNMP_ENGINE_ID_HEX_PAYLOAD", KEY_ONCE, KEY_TEXT,
     SETTINGS_TEXT(snmp.engine_id_hex_payload)},
    {"MOD_NORVALE_SNMP_CONTEXT_NAME", KEY_ONCE, KEY_TEXT, SETTINGS_TEXT(snmp.context_name)},
    {"MOD_NORVALE_SNMP_AUTH", KEY_ONCE, KEY_TEXT, SETTINGS_TEXT(snmp.auth)},
    {"MOD_NORVALE_SNMP_AUTH_PASSWORD", KEY_ONCE, KEY_TEXT, SETTINGS_TEXT(snmp.auth_password)},
    {"MOD_NORVALE_SNMP_PRIV", KEY_ONCE, KEY_TEXT, SETTINGS_TEXT(snmp.priv)},
    {"MOD_NORVALE_SNMP_PRIV_PASSWORD", KEY_ONCE, KEY_TEXT, SETTINGS_TEXT(snmp.priv_password)},
    // Events of one kind notified per minute before the rest are counted; 0: no limit.
    {"MOD_NORVALE_STORM_LIMIT", KEY_ONCE, KEY_NUMBER, SETTINGS_NUMBER(storm_limit),
     int(STORM_LIMIT_DEFAULT), {0, STORM_LIMIT_MAX}},
};

constexpr int key_repeat_count(key_repeat repeat)
{
    switch (repeat) {
    case KEY_PER_EVENT:
        return EVENT_CODE_COUNT - 1;
    case KEY_PER_EVENT_GROUP:
        return (EVENT_CODE_COUNT - 1) * MAIL_GROUP_COUNT;
    case KEY_PER_RECIPIENT:
        return SMS_RECIPIENT_COUNT;
    case KEY_PER_GROUP_ADDRESS:
        return MAIL_GROUP_COUNT * MAIL_GROUP_ADDRESSES;
    default:
        return 1;
    }
}

constexpr int count_settings_keys()
{
    int count = 0;
    for (const settings_key_row &row : SETTINGS_KEY_ROWS)
        count += key_repeat_count(row.repeat);
    return count;
}

// The number of keys, every repetition counted.
constexpr int SETTINGS_KEY_COUNT = count_settings_keys();
constexpr int SETTINGS_KEY_NAME_SIZE = 64;

// One key as the file names it: the row's name with its indices filled in.
struct settings_key {
    char name[SETTINGS_KEY_NAME_SIZE];
    size_t length;  // of name
    const settings_key_row *row;
    key_place at;
};

// All SETTINGS_KEY_COUNT keys in table order, expanded on the first call.
const settings_key *settings_keys();

// The index of the key named name in settings_keys() (letter case ignored,
// the whole name compared, as the reader does), or -1.
int settings_key_index(const char *name);
