// Settings: the one KEY=VALUE file reader (the daemon and its settings check
// both read through it, so they never disagree), the module_settings record
// filled once at start-up, and the product OID. The daemon only reads these
// files; it never writes them, never waits on them and never reloads them
// while running.
#pragma once
#include <cstdint>
#include <cstdio>
#include "core/events.h"
#include "core/files.h"  // the product family

#define NORVALE_STR2(x) #x
#define NORVALE_STR(x) NORVALE_STR2(x)
// The maker's private enterprise number as text (a build-time constant).
#define ENTERPRISE_NUMBER_TEXT NORVALE_STR(NORVALE_ENTERPRISE_NUMBER)
constexpr uint32_t ENTERPRISE_NUMBER = NORVALE_ENTERPRISE_NUMBER;

constexpr const char *SETTINGS_PATH = "/opt/norvale/etc/settings";
constexpr const char *OS_RELEASE_PATH = "/etc/os-release";
constexpr const char *PRODUCT_FAMILY_PATH = "/sys/class/dmi/id/product_family";
constexpr const char *DEFAULT_DEVICE_NAME = "[unnamed device]";
constexpr const char *DEFAULT_SNMP_COMMUNITY = "lumnar";
constexpr const char *DEFAULT_SNMP_USERNAME = "admin";
constexpr int DEVICE_TEXT_MAX = 128;
constexpr int SETTINGS_LINE_SIZE = 16384;
// No settings file the router writes comes near this; reading stops there, so
// a runaway file cannot hold up start-up.
constexpr long SETTINGS_FILE_MAX = 1048576;
constexpr int SETTINGS_WHY_SIZE = 128;

struct snmp_settings {
    uint32_t version;        // 2 = SNMPv2c, 3 = SNMPv3, anything else SNMPv1
    uint32_t pdu_type;       // 1 = inform; always 0 for version 1
    uint32_t manager_ip;     // host order, first number of the quad on top
    uint32_t manager_port;
    const char *product_oid;
    const char *community;   // never empty
    uint32_t engine_id_payload_type;
    const char *engine_id_hex_payload;
    const char *context_name;
    const char *username;    // never empty
    const char *auth;        // empty: no authentication
    const char *auth_password;
    const char *priv;        // empty: no privacy
    const char *priv_password;
};

// Every text is owned by the record and lives for the whole run.
struct module_settings {
    uint32_t enabled;
    uint32_t subscribe_sms[EVENT_CODE_COUNT];
    uint32_t subscribe_trap[EVENT_CODE_COUNT];
    uint32_t subscribe_mail[EVENT_CODE_COUNT][MAIL_GROUP_COUNT];
    channel_mask channel_masks[EVENT_CODE_COUNT];
    const char *device_name;  // never empty
    const char *device_location;
    const char *device_admin_contact;
    uint32_t location_subj;
    uint32_t admin_contact_subj;
    const char *subject_text;  // device text of e-mail subjects
    const char *sms_recipients[SMS_RECIPIENT_COUNT];
    const char *mail_group_addrs[MAIL_GROUP_COUNT][MAIL_GROUP_ADDRESSES];
    snmp_settings snmp;
    uint32_t storm_limit;  // events of one kind per minute; 0: no limit (core/storms.h)
};

// What the reader found next in a settings file.
enum settings_line_kind {
    SETTINGS_ENTRY,      // a KEY=VALUE line
    SETTINGS_LONG_LINE,  // a line of more than 16383 bytes, skipped whole;
                         // entry.line is its number
    SETTINGS_END,        // the end of the file
    SETTINGS_FILE_CUT,   // SETTINGS_FILE_MAX bytes read; the rest is not read
};

// One KEY=VALUE line: its 1-based number, and key and value pointing into the
// shared line buffer (valid until the next read). Lines without '=' are
// skipped but counted.
struct settings_entry {
    int line;
    const char *key;
    const char *value;
};

// The one reader of KEY=VALUE files: the next entry of file after entry.line
// (set entry.line to 0 before the first call). Each line is cut at its first
// carriage return, its first line feed and its last double quote, then split
// at its first '='; one leading double quote of the value is skipped.
settings_line_kind settings_next(FILE *file, settings_entry &entry);

// Opens a settings file for reading without ever waiting on it. 0 and the
// open file; -1 when it does not exist; -2 when it cannot be read or is not a
// regular file (a directory, FIFO, device or socket), with why saying so.
int settings_open(const char *path, FILE **file, char *why, size_t why_size);

// Conversions of a value as the typed accessors make them.
uint32_t settings_number(const char *value);
// 0 unless all four numbers convert.
uint32_t settings_quad(const char *value);

// Scans file from its current position; the value of the first line whose key
// matches (letter case ignored), pointing into the shared line buffer, or null.
const char *settings_find(FILE *file, const char *key);
// Rewinds file (which may be null) and gives an owned copy of the value, the
// empty text when absent; null only when memory runs out.
char *settings_get_string(FILE *file, const char *key);
// Rewinds, looks up and converts as "%u" does; 0 when absent.
uint32_t settings_get_uint(FILE *file, const char *key);
// Rewinds, looks up and converts "%u.%u.%u.%u" in 32-bit arithmetic; 0 unless
// all four numbers convert.
uint32_t settings_get_ipv4(FILE *file, const char *key);

// The value of key in an os-release file, read as the settings file is read
// (KEY=VALUE lines, the key's letter case ignored), cut to 63 bytes; in a
// static buffer, empty when absent or unreadable.
const char *os_release_value(const char *key, const char *path = OS_RELEASE_PATH);

// The product's SNMP object identifier: os-release, else the DMI product
// family, else the default. The caller copies it.
const char *product_oid(const char *os_release_path = OS_RELEASE_PATH,
                        const char *product_family_path = PRODUCT_FAMILY_PATH);

// Reads the file once and fills every field as the table of keys
// (config/settings_keys.h) says: the first line of a key wins, and what is
// missing takes its default. Logs nothing. Gives what settings_open gave (0
// read, -1 missing, -2 unreadable, why says why).
int load_module_settings(module_settings &settings,
                          const char *settings_path = SETTINGS_PATH,
                          const char *os_release_path = OS_RELEASE_PATH,
                          const char *product_family_path = PRODUCT_FAMILY_PATH,
                          char *why = nullptr, size_t why_size = 0);
