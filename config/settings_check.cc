#include "config/settings_check.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "config/settings_keys.h"

namespace {

constexpr int SUGGEST_DISTANCE = 2;
constexpr int SUGGEST_KEY_MAX = 95;
constexpr const char *PREFIX = "MOD_NORVALE_";
constexpr size_t PREFIX_LENGTH = 12;
constexpr size_t PASS_PHRASE_MIN = 8;
constexpr uint32_t MAC_ENGINE_ID = 3;

// The first line that set each known key, and an owned copy of its value.
struct key_value {
    int line;
    char *value;
};

// The names the SNMP tools accept; any prefix of one, in any letter case, is
// taken for the first name it begins.
const char *const AUTH_NAMES[] = {"MD5", "SHA", "SHA1", "SHA-1", "SHA-224", "SHA224",
                                  "SHA-256", "SHA256", "SHA-384", "SHA384", "SHA-512",
                                  "SHA512"};
const char *const PRIV_NAMES[] = {"DES", "AES", "AES128", "AES-128", "AES192", "AES-192",
                                  "AES256", "AES-256", "AES192C", "AES-192-C", "AES256C",
                                  "AES-256-C"};

// Edit distance of two upper-cased texts of at most SUGGEST_KEY_MAX bytes.
int distance(const char *a, const char *b)
{
    int row[SUGGEST_KEY_MAX + 2];
    size_t la = strlen(a), lb = strlen(b);
    for (size_t j = 0; j <= lb; j++)
        row[j] = int(j);
    for (size_t i = 1; i <= la; i++) {
        int diagonal = row[0];
        row[0] = int(i);
        for (size_t j = 1; j <= lb; j++) {
            int above = row[j];
            int change = diagonal + (toupper((unsigned char)a[i - 1]) !=
                                     toupper((unsigned char)b[j - 1]));
            row[j] = std::min(change, std::min(above, row[j - 1]) + 1);
            diagonal = above;
        }
    }
    return row[lb];
}

// The known key nearest to name when it is a near miss, else null.
const char *near_miss(const char *name)
{
    if (strlen(name) > SUGGEST_KEY_MAX)
        return nullptr;
    const char *best = nullptr;
    int best_distance = SUGGEST_DISTANCE + 1;
    const settings_key *keys = settings_keys();
    for (int i = 0; i < SETTINGS_KEY_COUNT; i++) {
        int d = distance(name, keys[i].name);
        if (d < best_distance) {
            best_distance = d;
            best = keys[i].name;
        }
    }
    return best;
}

void add(settings_report &report, int line, bool note, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
void add(settings_report &report, int line, bool note, const char *format, ...)
{
    if (note)
        report.note_count++;
    else
        report.problem_count++;
    if (report.stored >= CHECK_PROBLEMS_MAX)
        return;
    settings_problem &p = report.problems[report.stored++];
    p.line = line;
    p.note = note;
    va_list ap;
    va_start(ap, format);
    vsnprintf(p.text, sizeof p.text, format, ap);
    va_end(ap);
}

// The findings in line order; those of one line keep the order found.
void sort_by_line(settings_report &report)
{
    for (int i = 1; i < report.stored; i++) {
        settings_problem moved = report.problems[i];
        int j = i;
        for (; j > 0 && report.problems[j - 1].line > moved.line; j--)
            report.problems[j] = report.problems[j - 1];
        report.problems[j] = moved;
    }
}

bool has_prefix(const char *text)
{
    return strncasecmp(text, PREFIX, PREFIX_LENGTH) == 0;
}

bool blank(char c)
{
    return c == ' ' || c == '\t';
}

bool plain_number(const char *value)
{
    size_t digits = strspn(value, "0123456789");
    if (digits == 0 || value[digits] != '\0')
        return false;
    // Up to 4294967295: no more than ten digits once leading zeros are gone.
    const char *first = value + strspn(value, "0");
    size_t length = strlen(first);
    return length < 10 || (length == 10 && strcmp(first, "4294967295") <= 0);
}

bool plain_quad(const char *value)
{
    const char *p = value;
    for (int part = 0; part < 4; part++) {
        size_t digits = strspn(p, "0123456789");
        if (digits == 0 || digits > 3 || atoi(p) > 255)
            return false;
        p += digits;
        if (part < 3 && *p++ != '.')
            return false;
    }
    return *p == '\0';
}

bool accepted_name(const char *name, const char *const *names, size_t count)
{
    size_t length = strlen(name);
    for (size_t i = 0; i < count; i++) {
        if (length <= strlen(names[i]) && strncasecmp(name, names[i], length) == 0)
            return true;
    }
    return false;
}

bool holds_blank_or_control(const char *value)
{
    for (const unsigned char *p = (const unsigned char *)value; *p; p++) {
        if (*p <= ' ' || *p == 0x7f)
            return true;
    }
    return false;
}

// The settings as read: the first value of every known key.
struct checked {
    settings_report &report;
    key_value values[SETTINGS_KEY_COUNT];
};

const char *value_of(const checked &c, const char *name)
{
    int i = settings_key_index(name);
    return i >= 0 && c.values[i].value ? c.values[i].value : "";
}

int line_of(const checked &c, const char *name)
{
    int i = settings_key_index(name);
    return i >= 0 ? c.values[i].line : 0;
}

uint32_t number_of(const checked &c, const char *name)
{
    return settings_number(value_of(c, name));
}

void check_entry(checked &c, const settings_entry &e)
{
    const char *key = e.key + strspn(e.key, " \t");
    if (!has_prefix(key))
        return;  // another part of the router's key
    size_t length = strlen(e.key);
    if (key != e.key || blank(e.key[length - 1])) {
        add(c.report, e.line, false,
            "blank or tab around the key \"%.80s\": it never matches, so this line sets nothing",
            e.key);
        return;
    }
    int i = settings_key_index(e.key);
    if (i < 0) {
        // Only a finding that is kept gets the costly search for a near miss.
        const char *suggestion = c.report.stored < CHECK_PROBLEMS_MAX ? near_miss(e.key) : nullptr;
        if (suggestion)
            add(c.report, e.line, false, "unknown key %.80s; did you mean %s?", e.key, suggestion);
        else
            add(c.report, e.line, false, "unknown key %.80s", e.key);
        return;
    }
    if (c.values[i].value) {
        add(c.report, e.line, false, "%s is set again (first on line %d); this line is ignored",
            settings_keys()[i].name, c.values[i].line);
        return;
    }
    c.values[i].line = e.line;
    c.values[i].value = strdup(e.value);
}

// A number must be plain and within its row's limits; a port is held to its
// limits only where the manager is used (check_manager).
void check_number(checked &c, const settings_key &key, const key_value &v)
{
    if (!plain_number(v.value)) {
        add(c.report, v.line, false,
            "%s=%.40s is not a plain non-negative decimal number; it reads as %u", key.name,
            v.value, settings_number(v.value));
        return;
    }
    uint32_t n = settings_number(v.value);
    const key_limits &limits = key.row->limits;
    if (key.row->kind == KEY_PORT || (n >= limits.low && n <= limits.high))
        return;
    switch (key.row->kind) {
    case KEY_SWITCH: case KEY_SUBSCRIPTION:
        add(c.report, v.line, false, "%s=%s is neither 0 nor 1", key.name, v.value);
        break;
    case KEY_VERSION:
        add(c.report, v.line, false, "%s=%s is not 1, 2 or 3; SNMPv1 is used", key.name, v.value);
        break;
    case KEY_PDU:
        add(c.report, v.line, false, "%s=%s is neither 0 (trap) nor 1 (inform)", key.name,
            v.value);
        break;
    default:
        add(c.report, v.line, false, "%s=%s is not from %u to %u", key.name, v.value,
            limits.low, limits.high);
        break;
    }
}

void check_destination(checked &c, const settings_key &key, const key_value &v)
{
    if (v.value[0] == '-')
        add(c.report, v.line, false, "%s begins with '-': it is refused", key.name);
    else if (holds_blank_or_control(v.value))
        add(c.report, v.line, false, "%s holds blanks or control characters", key.name);
    else if (key.row->kind == KEY_ADDRESS && !strchr(v.value, '@'))
        add(c.report, v.line, false, "%s=%.60s has no '@'", key.name, v.value);
}

// What each value must look like on its own.
void check_values(checked &c)
{
    const settings_key *keys = settings_keys();
    for (int i = 0; i < SETTINGS_KEY_COUNT; i++) {
        const settings_key &key = keys[i];
        const key_value &v = c.values[i];
        if (!v.value || v.value[0] == '\0')
            continue;  // an empty value is the default
        switch (key.row->kind) {
        case KEY_SWITCH: case KEY_SUBSCRIPTION: case KEY_NUMBER:
        case KEY_VERSION: case KEY_PDU: case KEY_PORT:
            check_number(c, key, v);
            break;
        case KEY_IP:
            if (!plain_quad(v.value))
                add(c.report, v.line, false,
                    "%s=%.40s is not a dotted quad of four numbers up to 255", key.name, v.value);
            break;
        case KEY_DEVICE_TEXT:
            if (strlen(v.value) > key.row->limits.high)
                add(c.report, v.line, false, "%s is %zu bytes long; only its first %u are used",
                    key.name, strlen(v.value), key.row->limits.high);
            break;
        case KEY_RECIPIENT: case KEY_ADDRESS:
            check_destination(c, key, v);
            break;
        case KEY_TEXT:
            break;
        }
    }
}

void check_protocol(checked &c, const char *key, const char *password_key,
                    const char *const *names, size_t count, const char *listed)
{
    const char *name = value_of(c, key);
    if (name[0] == '\0')
        return;
    if (!accepted_name(name, names, count))
        add(c.report, line_of(c, key), false,
            "%s=%.40s is not a protocol the SNMP tools accept (%s)", key, name, listed);
    if (strlen(value_of(c, password_key)) < PASS_PHRASE_MIN) {
        int line = line_of(c, password_key) ? line_of(c, password_key) : line_of(c, key);
        add(c.report, line, false,
            "%s is shorter than 8 characters: the SNMP tools refuse every send", password_key);
    }
}

void check_snmpv3(checked &c)
{
    if (number_of(c, "MOD_NORVALE_SNMP_VERSION") != 3)
        return;
    const char *auth = value_of(c, "MOD_NORVALE_SNMP_AUTH");
    const char *priv = value_of(c, "MOD_NORVALE_SNMP_PRIV");
    if (auth[0] == '\0' && priv[0] != '\0')
        add(c.report, line_of(c, "MOD_NORVALE_SNMP_PRIV"), false,
            "SNMPv3 privacy without authentication: the SNMP tools refuse every send");
    check_protocol(c, "MOD_NORVALE_SNMP_AUTH", "MOD_NORVALE_SNMP_AUTH_PASSWORD", AUTH_NAMES,
                   sizeof AUTH_NAMES / sizeof AUTH_NAMES[0],
                   "MD5, SHA, SHA-224, SHA-256, SHA-384, SHA-512");
    check_protocol(c, "MOD_NORVALE_SNMP_PRIV", "MOD_NORVALE_SNMP_PRIV_PASSWORD", PRIV_NAMES,
                   sizeof PRIV_NAMES / sizeof PRIV_NAMES[0],
                   "DES, AES, AES-192, AES-256, AES-192-C, AES-256-C");
    if (number_of(c, "MOD_NORVALE_SNMP_ENGINE_ID_PAYLOAD_TYPE") != MAC_ENGINE_ID) {
        const char *key = "MOD_NORVALE_SNMP_ENGINE_ID_HEX_PAYLOAD";
        const char *hex = value_of(c, key);
        size_t length = strlen(hex);
        if (strspn(hex, "0123456789abcdefABCDEF") != length)
            add(c.report, line_of(c, key), false,
                "%s holds characters other than hexadecimal digits", key);
        else if (length % 2 != 0)
            add(c.report, line_of(c, key), false,
                "%s has an odd number of hexadecimal digits: the SNMP tools refuse every send",
                key);
    }
    if (number_of(c, "MOD_NORVALE_SNMP_PDU_TYPE") == 1)
        add(c.report, line_of(c, "MOD_NORVALE_SNMP_PDU_TYPE"), true,
            "SNMPv3 informs carry the router's own engine ID: the manager must know that "
            "engine ID, or every inform times out");
}

// Whether any key of kind (of mail group group, when it is not 0) is set.
bool any_set(const checked &c, key_kind kind, int group = 0)
{
    const settings_key *keys = settings_keys();
    for (int i = 0; i < SETTINGS_KEY_COUNT; i++) {
        const char *value = c.values[i].value;
        if (keys[i].row->kind == kind && (group == 0 || keys[i].at.group == group) && value &&
            value[0] != '\0')
            return true;
    }
    return false;
}

// The SNMP manager, once, for the first event that subscribes to TRAP.
void check_manager(checked &c, const char *subscription, int line)
{
    const char *ip_key = "MOD_NORVALE_SNMP_MANAGER_IP_ADDR";
    const char *port_key = "MOD_NORVALE_SNMP_MANAGER_PORT";
    if (settings_quad(value_of(c, ip_key)) == 0)
        add(c.report, line_of(c, ip_key) ? line_of(c, ip_key) : line,
            false, "no SNMP manager address, but %s is on", subscription);
    uint32_t port = number_of(c, port_key);
    int port_index = settings_key_index(port_key);
    key_limits ports = port_index >= 0 ? settings_keys()[port_index].row->limits
                                       : kind_limits(KEY_PORT);
    if (port < ports.low || port > ports.high)
        add(c.report, line_of(c, port_key) ? line_of(c, port_key) : line, false,
            "SNMP manager port %u is not a port from 1 to 65535, but %s is on", port, subscription);
}

// Each subscription must lead somewhere, judged by the values in effect.
void check_subscriptions(checked &c)
{
    bool sms_set = any_set(c, KEY_RECIPIENT);
    bool trap_checked = false;
    const settings_key *keys = settings_keys();
    for (int i = 0; i < SETTINGS_KEY_COUNT; i++) {
        const settings_key &key = keys[i];
        const key_value &v = c.values[i];
        if (key.row->kind != KEY_SUBSCRIPTION || !v.value || settings_number(v.value) == 0)
            continue;
        const char *channel = strstr(key.name, "_SUBSCRIBE_") + strlen("_SUBSCRIBE_");
        int group = 0;
        if (strcmp(channel, "SMS") == 0 && !sms_set)
            add(c.report, v.line, false, "%s is on, but no SMS recipient is set", key.name);
        else if (strcmp(channel, "TRAP") == 0 && !trap_checked) {
            check_manager(c, key.name, v.line);
            trap_checked = true;
        } else if (sscanf(channel, "MAIL_GROUP_%d", &group) == 1 &&
                   !any_set(c, KEY_ADDRESS, group))
            add(c.report, v.line, false, "%s is on, but mail group %d has no address", key.name,
                group);
    }
}

void read_entries(checked &c, FILE *file)
{
    settings_entry entry{0, nullptr, nullptr};
    for (;;) {
        settings_line_kind kind = settings_next(file, entry);
        if (kind == SETTINGS_END)
            return;
        if (kind == SETTINGS_FILE_CUT) {
            add(c.report, entry.line + 1, false,
                "the file is longer than %ld bytes; the rest is not read", SETTINGS_FILE_MAX);
            return;
        }
        if (kind == SETTINGS_LONG_LINE)
            add(c.report, entry.line, false,
                "line longer than %d bytes: it is ignored whole", SETTINGS_LINE_SIZE - 1);
        else
            check_entry(c, entry);
    }
}

void print_text(FILE *out, const char *label, const char *value)
{
    fprintf(out, "  %s: %s\n", label, value[0] ? value : "(none)");
}

void print_secret(FILE *out, const char *label, const char *value)
{
    fprintf(out, "  %s: %s\n", label, value[0] ? "********" : "(none)");
}

void print_manager(FILE *out, const snmp_settings &snmp)
{
    fprintf(out, "%u.%u.%u.%u:%u", (snmp.manager_ip >> 24) & 0xFF, (snmp.manager_ip >> 16) & 0xFF,
            (snmp.manager_ip >> 8) & 0xFF, snmp.manager_ip & 0xFF, snmp.manager_port);
}

void print_snmp(FILE *out, const snmp_settings &snmp)
{
    const char *version = snmp.version == 2 ? "2c" : snmp.version == 3 ? "3" : "1";
    fprintf(out, "  SNMP: version %s, %s to ", version,
            snmp.version != 1 && snmp.version != 0 && snmp.pdu_type == 1 ? "informs" : "traps");
    print_manager(out, snmp);
    fprintf(out, "\n");
    if (snmp.version != 3) {
        print_text(out, "SNMP community", snmp.community);
        return;
    }
    print_text(out, "SNMPv3 user", snmp.username);
    print_text(out, "SNMPv3 authentication", snmp.auth);
    print_secret(out, "SNMPv3 authentication pass phrase", snmp.auth_password);
    print_text(out, "SNMPv3 privacy", snmp.priv);
    print_secret(out, "SNMPv3 privacy pass phrase", snmp.priv_password);
    print_text(out, "SNMPv3 context", snmp.context_name);
    if (snmp.engine_id_payload_type == MAC_ENGINE_ID)
        fprintf(out, "  SNMPv3 engine ID: format 3, the lowest MAC address\n");
    else
        fprintf(out, "  SNMPv3 engine ID: format %u, data %s\n", snmp.engine_id_payload_type,
                snmp.engine_id_hex_payload[0] ? snmp.engine_id_hex_payload : "(none)");
}

// Writes the list of non-empty texts between parentheses.
void print_list(FILE *out, const char *const *texts, int count)
{
    fprintf(out, " (");
    const char *separator = "";
    for (int n = 0; n < count; n++) {
        if (texts[n][0] == '\0')
            continue;
        fprintf(out, "%s%s", separator, texts[n]);
        separator = ", ";
    }
    fprintf(out, "%s)", separator[0] ? "" : "none");
}

void print_event(FILE *out, const module_settings &s, int code)
{
    channel_mask mask = s.channel_masks[code];
    fprintf(out, "  %s:", CAPS_EVENT_TYPE_NAMES[code]);
    const char *separator = " ";
    if (mask & NOTIFY_TRAP) {
        fprintf(out, "%sSNMP to ", separator);
        print_manager(out, s.snmp);
        separator = "; ";
    }
    for (int group = 0; group < MAIL_GROUP_COUNT; group++) {
        if (!(mask & mail_group_bit(group + 1)))
            continue;
        fprintf(out, "%smail group %d", separator, group + 1);
        print_list(out, s.mail_group_addrs[group], MAIL_GROUP_ADDRESSES);
        separator = "; ";
    }
    if (mask & NOTIFY_SMS) {
        fprintf(out, "%sSMS", separator);
        print_list(out, s.sms_recipients, SMS_RECIPIENT_COUNT);
    }
    fprintf(out, "%s\n", mask ? "" : " nowhere");
}

}  // namespace

void check_settings(const char *path, settings_report &report)
{
    report = settings_report{};
    FILE *file = nullptr;
    report.opened = settings_open(path, &file, report.why, sizeof report.why);
    if (report.opened != 0)
        return;
    checked c{report, {}};
    read_entries(c, file);
    fclose(file);
    check_values(c);
    check_snmpv3(c);
    check_subscriptions(c);
    if (number_of(c, "MOD_NORVALE_ENABLED") == 0)
        add(report, line_of(c, "MOD_NORVALE_ENABLED"), false,
            "MOD_NORVALE_ENABLED is missing or 0: the daemon will not start");
    for (key_value &v : c.values)
        free(v.value);
    sort_by_line(report);
}

void print_settings_summary(FILE *out, const module_settings &s)
{
    fprintf(out, "Settings in effect:\n");
    fprintf(out, "  enabled: %u\n", s.enabled);
    print_text(out, "device name", s.device_name);
    print_text(out, "device location", s.device_location);
    print_text(out, "device admin contact", s.device_admin_contact);
    print_text(out, "e-mail subjects name the device as", s.subject_text);
    print_snmp(out, s.snmp);
    fprintf(out, "Events go to:\n");
    for (int code = 1; code < EVENT_CODE_COUNT; code++)
        print_event(out, s, code);
}

int run_settings_check(const char *path, FILE *out, FILE *err)
{
    static settings_report report;
    check_settings(path, report);
    if (report.opened != 0) {
        fprintf(err, "%s: cannot read: %s\n", path, report.why);
        return 2;
    }
    for (int i = 0; i < report.stored; i++) {
        const settings_problem &p = report.problems[i];
        const char *kind = p.note ? "note: " : "";
        if (p.line > 0)
            fprintf(out, "%s:%d: %s%s\n", path, p.line, kind, p.text);
        else
            fprintf(out, "%s: %s%s\n", path, kind, p.text);
    }
    int total = report.problem_count + report.note_count;
    if (total > report.stored)
        fprintf(out, "%s: and %d more\n", path, total - report.stored);
    // The record the daemon would run with; its texts end with the process.
    static module_settings settings;
    load_module_settings(settings, path);
    print_settings_summary(out, settings);
    fprintf(out, "%s: %d problem%s, %d note%s\n", path, report.problem_count,
            report.problem_count == 1 ? "" : "s", report.note_count,
            report.note_count == 1 ? "" : "s");
    return report.problem_count > 0 ? 1 : 0;
}
