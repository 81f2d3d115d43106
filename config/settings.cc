#include "config/settings.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/settings_keys.h"

namespace {

// One line of the settings file at a time; a longer line is skipped whole, so
// that nothing typed into one setting can ever set another.
char line_buffer[SETTINGS_LINE_SIZE];

// Stored in place of a text when memory runs out, so no field is ever null.
char empty_text[1] = "";

constexpr int OID_TEXT_SIZE = 64;
constexpr int SUBJECT_TEXT_SIZE = 1024;
constexpr const char *OID_BASE = "1.3.6.1.4.1." ENTERPRISE_NUMBER_TEXT;
constexpr const char *DEFAULT_PRODUCT_OID = "1.3.6.1.4.1." ENTERPRISE_NUMBER_TEXT ".1.1000";
constexpr const char *PRODUCT_FAMILY_PREFIX = "ZEB-";
constexpr size_t PRODUCT_FAMILY_PREFIX_LENGTH = 4;

// Ends the text at its first carriage return, then its first line feed,
// then its last double quote, as the router's writers of this file expect.
void cut_line(char *line)
{
    char *cut = std::strchr(line, '\r');
    if (cut)
        *cut = '\0';
    cut = std::strchr(line, '\n');
    if (cut)
        *cut = '\0';
    cut = std::strrchr(line, '"');
    if (cut)
        *cut = '\0';
}

// Reads one line into the line buffer. A line of more than 16383 bytes
// before its line feed is read to its end and reported as long.
settings_line_kind read_line(FILE *file)
{
    line_buffer[SETTINGS_LINE_SIZE - 1] = 'x';
    if (!fgets(line_buffer, sizeof line_buffer, file))
        return SETTINGS_END;
    bool filled = line_buffer[SETTINGS_LINE_SIZE - 1] == '\0' &&
                  line_buffer[SETTINGS_LINE_SIZE - 2] != '\n';
    if (!filled)
        return SETTINGS_ENTRY;
    int c = getc(file);
    if (c == '\n' || c == EOF)
        return SETTINGS_ENTRY;  // exactly 16383 bytes: still whole
    while (c != '\n' && c != EOF)
        c = getc(file);
    return SETTINGS_LONG_LINE;
}

// Cuts the line in the buffer and splits it at its first '='; false when it
// holds none.
bool split_line(settings_entry &entry)
{
    cut_line(line_buffer);
    char *equals = std::strchr(line_buffer, '=');
    if (!equals)
        return false;
    *equals = '\0';
    entry.key = line_buffer;
    entry.value = equals + 1;
    if (*entry.value == '"')
        entry.value++;
    return true;
}

// Tells the caller what kept the file from being read: the system's reason,
// or the kind of file found in its place.
void say_why(char *why, size_t why_size, const char *reason, const char *kind = nullptr)
{
    if (!why || why_size == 0)
        return;
    if (kind)
        snprintf(why, why_size, "it is %s, not a regular file", kind);
    else
        snprintf(why, why_size, "%s", reason);
}

const char *file_kind(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a plain file";
}

// Copies text into a buffer of size bytes, cut to size - 1 bytes.
void copy_cut(char *buffer, size_t size, const char *text)
{
    size_t length = strnlen(text, size - 1);
    std::memcpy(buffer, text, length);
    buffer[length] = '\0';
}

void release(char *text)
{
    if (text != empty_text)
        std::free(text);
}

// The setting itself, or a copy of fallback when the setting is empty; the
// fallback constant itself if even that copy cannot be made.
const char *text_or_default(char *value, const char *fallback)
{
    if (value[0] != '\0')
        return value;
    release(value);
    char *copy = strdup(fallback);
    return copy ? copy : fallback;
}

// Stores the value of key (the empty text when the file does not set it) in
// the field its row names, read as its kind says: a number, or an owned
// copy of the text, never null. A missing or empty value gives the row's
// default.
void store(module_settings &settings, const settings_key &key, const char *value)
{
    const settings_key_row &row = *key.row;
    if (!row.field.is_text) {
        uint32_t number = row.missing.number;
        if (value[0] != '\0')
            number = row.kind == KEY_IP ? settings_quad(value) : settings_number(value);
        row.field.number(settings, key.at) = number;
        return;
    }
    char *text = strdup(value);
    if (!text)
        text = empty_text;
    // Device texts are limited in bytes, not characters.
    size_t most = row.limits.high;
    if (row.kind == KEY_DEVICE_TEXT && strnlen(text, most + 1) > most)
        text[most] = '\0';
    const char *&field = row.field.text(settings, key.at);
    field = row.missing.text ? text_or_default(text, row.missing.text) : text;
}

// One pass through the file: the first line of each key sets it; then every
// key the file does not set takes its default.
void load_keys(FILE *file, module_settings &settings)
{
    const settings_key *keys = settings_keys();
    bool set[SETTINGS_KEY_COUNT] = {};
    settings_entry entry{0, nullptr, nullptr};
    while (file) {
        settings_line_kind kind = settings_next(file, entry);
        if (kind == SETTINGS_END || kind == SETTINGS_FILE_CUT)
            break;
        if (kind != SETTINGS_ENTRY)
            continue;
        int i = settings_key_index(entry.key);
        if (i >= 0 && !set[i]) {
            store(settings, keys[i], entry.value);
            set[i] = true;
        }
    }
    for (int i = 0; i < SETTINGS_KEY_COUNT; i++) {
        if (!set[i])
            store(settings, keys[i], "");
    }
}

void derive_channel_masks(module_settings &settings)
{
    for (int code = 0; code < EVENT_CODE_COUNT; code++) {
        channel_mask mask = 0;
        if (settings.subscribe_trap[code])
            mask |= NOTIFY_TRAP;
        for (int group = 1; group <= MAIL_GROUP_COUNT; group++) {
            if (settings.subscribe_mail[code][group - 1])
                mask |= mail_group_bit(group);
        }
        if (settings.subscribe_sms[code])
            mask |= NOTIFY_SMS;
        settings.channel_masks[code] = mask;
    }
}

// Appends ", text" when the switch is on and the text is set. False when the
// subject would not fit.
bool append_subject_part(char *subject, uint32_t enabled, const char *text)
{
    if (!enabled || text[0] == '\0')
        return true;
    size_t used = std::strlen(subject);
    int length = snprintf(subject + used, SUBJECT_TEXT_SIZE - used, ", %s", text);
    return length >= 0 && size_t(length) < SUBJECT_TEXT_SIZE - used;
}

// The device as named in e-mail subjects: name, then location and admin
// contact where the administrator asked for them. Falls back to the bare
// device name when the composition does not fit.
const char *compose_subject(const module_settings &settings)
{
    char subject[SUBJECT_TEXT_SIZE];
    int length = snprintf(subject, sizeof subject, "%s", settings.device_name);
    if (length < 0 || length >= int(sizeof subject))
        return settings.device_name;
    if (!append_subject_part(subject, settings.location_subj, settings.device_location) ||
        !append_subject_part(subject, settings.admin_contact_subj, settings.device_admin_contact))
        return settings.device_name;
    char *copy = strdup(subject);
    return copy ? copy : settings.device_name;
}

}  // namespace

const char *settings_find(FILE *file, const char *key)
{
    if (!file)
        return nullptr;
    settings_entry entry{0, nullptr, nullptr};
    for (;;) {
        settings_line_kind kind = settings_next(file, entry);
        if (kind == SETTINGS_END || kind == SETTINGS_FILE_CUT)
            return nullptr;
        if (kind == SETTINGS_ENTRY && strcasecmp(entry.key, key) == 0)
            return entry.value;
    }
}

settings_line_kind settings_next(FILE *file, settings_entry &entry)
{
    for (;;) {
        long position = ftell(file);
        if (position >= SETTINGS_FILE_MAX)
            return SETTINGS_FILE_CUT;
        settings_line_kind kind = read_line(file);
        if (kind == SETTINGS_END)
            return kind;
        entry.line++;
        if (kind == SETTINGS_LONG_LINE)
            return kind;
        if (split_line(entry))
            return SETTINGS_ENTRY;
    }
}

int settings_open(const char *path, FILE **file, char *why, size_t why_size)
{
    *file = nullptr;
    // Non-blocking, so that a FIFO put in the file's place cannot hold the
    // daemon before it has even started.
    mode_t found;
    int fd = open_regular_file(path, O_RDONLY, &found);
    if (fd < 0) {
        int error = errno;
        if (found != 0) {
            say_why(why, why_size, nullptr, file_kind(found));
            return -2;
        }
        say_why(why, why_size, strerror(error));
        return error == ENOENT ? -1 : -2;
    }
    *file = fdopen(fd, "r");
    if (!*file) {
        say_why(why, why_size, strerror(errno));
        close(fd);
        return -2;
    }
    return 0;
}

uint32_t settings_number(const char *value)
{
    unsigned number = 0;
    if (!value || sscanf(value, "%u", &number) != 1)
        return 0;
    return number;
}

uint32_t settings_quad(const char *value)
{
    unsigned part[4] = {0, 0, 0, 0};
    if (!value || sscanf(value, "%u.%u.%u.%u", &part[0], &part[1], &part[2], &part[3]) != 4)
        return 0;
    // No part is limited to 255: a larger one spills into the next byte up.
    return (uint32_t(part[0]) << 24) + (uint32_t(part[1]) << 16) +
           (uint32_t(part[2]) << 8) + uint32_t(part[3]);
}

char *settings_get_string(FILE *file, const char *key)
{
    const char *value = nullptr;
    if (file) {
        rewind(file);
        value = settings_find(file, key);
    }
    return strdup(value ? value : "");
}

uint32_t settings_get_uint(FILE *file, const char *key)
{
    if (!file)
        return 0;
    rewind(file);
    return settings_number(settings_find(file, key));
}

uint32_t settings_get_ipv4(FILE *file, const char *key)
{
    if (!file)
        return 0;
    rewind(file);
    return settings_quad(settings_find(file, key));
}

const char *os_release_value(const char *key, const char *path)
{
    static char value_text[OID_TEXT_SIZE];
    FILE *file = nullptr;
    settings_open(path, &file, nullptr, 0);
    char *value = settings_get_string(file, key);
    if (file)
        fclose(file);
    copy_cut(value_text, sizeof value_text, value ? value : "");
    std::free(value);
    return value_text;
}

const char *product_oid(const char *os_release_path, const char *product_family_path)
{
    static char oid[OID_TEXT_SIZE];
    const char *configured = os_release_value("ZEB_PRODUCT_OID", os_release_path);
    if (configured[0] != '\0')
        return configured;
    const char *family = read_first_line(product_family_path);
    if (std::strncmp(family, PRODUCT_FAMILY_PREFIX, PRODUCT_FAMILY_PREFIX_LENGTH) != 0)
        return DEFAULT_PRODUCT_OID;
    // The model after "ZEB-" names the product branch; an over-long one is cut.
    int length = snprintf(oid, sizeof oid, "%s.1.", OID_BASE);
    if (length < 0 || length >= int(sizeof oid))
        return DEFAULT_PRODUCT_OID;
    copy_cut(oid + length, sizeof oid - length, family + PRODUCT_FAMILY_PREFIX_LENGTH);
    return oid;
}

int load_module_settings(module_settings &settings, const char *settings_path,
                         const char *os_release_path, const char *product_family_path,
                         char *why, size_t why_size)
{
    settings = module_settings{};
    FILE *file = nullptr;
    int opened = settings_open(settings_path, &file, why, why_size);
    load_keys(file, settings);
    if (file)
        fclose(file);
    // SNMPv1 has no informs: its PDU type counts as 0 whatever the file says.
    if (settings.snmp.version == 1)
        settings.snmp.pdu_type = 0;
    derive_channel_masks(settings);
    settings.subject_text = compose_subject(settings);
    char *oid = strdup(product_oid(os_release_path, product_family_path));
    settings.snmp.product_oid = oid ? oid : empty_text;
    return opened;
}
