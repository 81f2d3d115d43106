#include "core/status.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "core/files.h"
#include "core/log.h"
#include "core/state.h"
#include "core/storms.h"
#include "core/text_writer.h"

status_figures daemon_status;

namespace {

constexpr int FIELDS_MAX = 12;
constexpr int SUMMARY_SIZE = 512;

struct status_writes {
    bool written;       // once in this run
    int64_t at_ms;      // monotonic milliseconds of the last write
    uint64_t hash;      // of the text written, the lines read left out
    bool warned;
};
status_writes writes;
char status_buffer[STATUS_TEXT_SIZE];

// Copies text into a field of size bytes, cut at its end.
void copy_text(char *field, size_t size, const char *text)
{
    snprintf(field, size, "%s", text ? text : "");
}

// ---- writing ---------------------------------------------------------------

// One word of any bytes: others than printable ASCII, and the backslash, as
// \xNN; the empty text as "-".
void put_word(text_writer &w, const char *text)
{
    if (text[0] == '\0' || strcmp(text, "-") == 0) {
        text_put(w, text[0] ? " \\x2d" : " -");
        return;
    }
    text_put(w, " ");
    text_put_escaped(w, text);
}

// The text; read_at receives where the line of the lines read begins.
size_t format_text(const status_figures &f, char *buffer, size_t size, size_t *read_at)
{
    text_writer w = {buffer, size, 0};
    text_put(w, "%s\npid %d %llu\nstarted %d\nstopped %d\nsettings", STATUS_HEADER, int(f.pid),
        (unsigned long long)f.start_ticks, int(f.started), int(f.stopped));
    put_word(w, f.settings);
    text_put(w, "\n");
    for (int i = 0; i < f.channel_count && i < STATUS_CHANNELS_MAX; i++) {
        const channel_figures &c = f.channels[i];
        text_put(w, "channel");
        put_word(w, c.name);
        text_put(w, " %llu %llu %u %d %d %d %d", (unsigned long long)c.sent,
            (unsigned long long)c.failed, unsigned(c.waiting), int(c.next_retry),
            int(c.last_success), int(c.last_failure), c.failing ? 1 : 0);
        put_word(w, c.to);
        put_word(w, c.reason);
        text_put(w, "\n");
    }
    text_put(w, "raised");
    for (int code = 1; code < EVENT_CODE_COUNT; code++)
        text_put(w, " %llu", (unsigned long long)f.raised[code]);
    text_put(w, "\n");
    for (int code = 1; code < EVENT_CODE_COUNT; code++) {
        if (f.storm_counted[code] >= 0)
            text_put(w, "storm %d %d %d\n", code, int(f.storm_counted[code]), int(f.storm_since[code]));
    }
    text_put(w, "lines %llu %llu\ndropped %llu\n", (unsigned long long)f.lines_cut,
        (unsigned long long)f.lines_too_old, (unsigned long long)f.messages_dropped);
    *read_at = w.length;
    text_put(w, "read %llu\nend\n", (unsigned long long)f.lines_read);
    return w.length;
}

// ---- reading ---------------------------------------------------------------

// Splits line (written over) at blanks into at most FIELDS_MAX words.
// FIELDS_MAX + 1 when there are more.
int split(char *line, char **words)
{
    char *rest = nullptr;
    int count = 0;
    for (char *word = strtok_r(line, " ", &rest); word; word = strtok_r(nullptr, " ", &rest)) {
        if (count == FIELDS_MAX)
            return FIELDS_MAX + 1;
        words[count++] = word;
    }
    return count;
}

bool unsigned_number(const char *text, uint64_t high, uint64_t &value)
{
    if (text[0] < '0' || text[0] > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > high)
        return false;
    value = v;
    return true;
}

bool signed_number(const char *text, int32_t &value)
{
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < INT32_MIN || v > INT32_MAX)
        return false;
    value = int32_t(v);
    return true;
}

int hex_digit(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// A word as put_word writes it, into field (size bytes, cut at its end).
bool word_text(const char *word, char *field, size_t size)
{
    size_t n = 0;
    if (strcmp(word, "-") == 0)
        word = "";
    for (const char *p = word; *p; p++) {
        char c = *p;
        if (c == '\\') {
            if (p[1] != 'x' || hex_digit(p[2]) < 0 || hex_digit(p[3]) < 0)
                return false;
            c = char(hex_digit(p[2]) * 16 + hex_digit(p[3]));
            p += 3;
        }
        if (n + 1 < size)
            field[n++] = c;
    }
    field[n] = '\0';
    return true;
}

bool parse_channel(char **words, status_figures &f)
{
    if (f.channel_count >= STATUS_CHANNELS_MAX)
        return false;
    channel_figures &c = f.channels[f.channel_count++];
    uint64_t waiting, failing;
    return word_text(words[1], c.name, sizeof c.name) &&
           unsigned_number(words[2], UINT64_MAX, c.sent) &&
           unsigned_number(words[3], UINT64_MAX, c.failed) &&
           unsigned_number(words[4], UINT32_MAX, waiting) && (c.waiting = uint32_t(waiting), true) &&
           signed_number(words[5], c.next_retry) && signed_number(words[6], c.last_success) &&
           signed_number(words[7], c.last_failure) && unsigned_number(words[8], 1, failing) &&
           (c.failing = failing == 1, true) && word_text(words[9], c.to, sizeof c.to) &&
           word_text(words[10], c.reason, sizeof c.reason);
}

bool parse_line(char **words, int count, status_figures &f)
{
    const char *key = words[0];
    uint64_t value;
    if (strcmp(key, "pid") == 0 && count == 3) {
        int32_t pid;
        return signed_number(words[1], pid) && (f.pid = pid, true) &&
               unsigned_number(words[2], UINT64_MAX, f.start_ticks);
    }
    if (strcmp(key, "started") == 0 && count == 2)
        return signed_number(words[1], f.started);
    if (strcmp(key, "stopped") == 0 && count == 2)
        return signed_number(words[1], f.stopped);
    if (strcmp(key, "settings") == 0 && count == 2)
        return word_text(words[1], f.settings, sizeof f.settings);
    if (strcmp(key, "channel") == 0 && count == 11)
        return parse_channel(words, f);
    if (strcmp(key, "raised") == 0 && count == EVENT_CODE_COUNT) {
        for (int code = 1; code < EVENT_CODE_COUNT; code++) {
            if (!unsigned_number(words[code], UINT64_MAX, f.raised[code]))
                return false;
        }
        return true;
    }
    if (strcmp(key, "storm") == 0 && count == 4) {
        int32_t code;
        return signed_number(words[1], code) && code > 0 && code < EVENT_CODE_COUNT &&
               unsigned_number(words[2], INT32_MAX, value) &&
               (f.storm_counted[code] = int32_t(value), true) &&
               signed_number(words[3], f.storm_since[code]);
    }
    if (strcmp(key, "lines") == 0 && count == 3)
        return unsigned_number(words[1], UINT64_MAX, f.lines_cut) &&
               unsigned_number(words[2], UINT64_MAX, f.lines_too_old);
    if (strcmp(key, "dropped") == 0 && count == 2)
        return unsigned_number(words[1], UINT64_MAX, f.messages_dropped);
    if (strcmp(key, "read") == 0 && count == 2)
        return unsigned_number(words[1], UINT64_MAX, f.lines_read);
    return false;
}

void clear_figures(status_figures &f)
{
    memset(&f, 0, sizeof f);
    for (int32_t &counted : f.storm_counted)
        counted = -1;
}

// The storms being counted, as the storm module holds them.
void take_storms(status_figures &f)
{
    for (int code = 1; code < EVENT_CODE_COUNT; code++) {
        const storm_kind &k = storms.kinds[code];
        f.storm_counted[code] = k.raging ? k.counted : -1;
        f.storm_since[code] = k.raging && k.counted > 0 ? k.first_time : 0;
    }
}

}  // namespace

void status_begin(int32_t started, const char *settings_path, const char *proc_stat)
{
    clear_figures(daemon_status);
    daemon_status.pid = int32_t(getpid());
    daemon_status.start_ticks = process_start_ticks(proc_stat);
    daemon_status.started = started;
    copy_text(daemon_status.settings, sizeof daemon_status.settings, settings_path);
    writes = status_writes{};
}

void status_set_channel(int index, const char *name, uint32_t waiting, int32_t next_retry)
{
    if (index < 0 || index >= STATUS_CHANNELS_MAX)
        return;
    channel_figures &c = daemon_status.channels[index];
    copy_text(c.name, sizeof c.name, name);
    c.waiting = waiting;
    c.next_retry = next_retry;
    if (daemon_status.channel_count <= index)
        daemon_status.channel_count = index + 1;
}

void status_note_sent(int index, int32_t now)
{
    if (index < 0 || index >= STATUS_CHANNELS_MAX)
        return;
    channel_figures &c = daemon_status.channels[index];
    c.sent++;
    c.last_success = now;
    c.failing = false;
}

void status_note_failed(int index, int32_t now, const char *to, const char *reason)
{
    if (index < 0 || index >= STATUS_CHANNELS_MAX)
        return;
    channel_figures &c = daemon_status.channels[index];
    c.failed++;
    c.last_failure = now;
    c.failing = true;
    copy_text(c.to, sizeof c.to, to);
    copy_text(c.reason, sizeof c.reason, reason);
}

void status_note_raised(int32_t code)
{
    if (code > 0 && code < EVENT_CODE_COUNT)
        daemon_status.raised[code]++;
}

void status_count(status_counter which)
{
    switch (which) {
    case LINES_READ: daemon_status.lines_read++; break;
    case LINES_CUT: daemon_status.lines_cut++; break;
    case LINES_TOO_OLD: daemon_status.lines_too_old++; break;
    case MESSAGES_DROPPED: daemon_status.messages_dropped++; break;
    }
}

void status_note_stopped(int32_t now)
{
    daemon_status.stopped = now;
}

size_t status_text(const status_figures &figures, char *buffer, size_t size)
{
    size_t read_at;
    return format_text(figures, buffer, size, &read_at);
}

bool status_parse(const char *text, size_t size, status_figures &f, const char **why)
{
    clear_figures(f);
    *why = "not a status file";
    size_t header = strlen(STATUS_HEADER);
    if (size <= header || memcmp(text, STATUS_HEADER, header) != 0 || text[header] != '\n') {
        if (size > 22 && memcmp(text, "norvale-eventd status ", 22) == 0)
            *why = "of another version";
        return false;
    }
    *why = "corrupt";
    char line[STATUS_TEXT_SIZE];
    for (size_t at = header + 1; at < size;) {
        const char *newline = static_cast<const char *>(memchr(text + at, '\n', size - at));
        size_t length = newline ? size_t(newline - (text + at)) : size - at;
        if (!newline || length >= sizeof line || memchr(text + at, '\0', length)) {
            *why = "cut short";
            return false;
        }
        memcpy(line, text + at, length);
        line[length] = '\0';
        at += length + 1;
        if (strcmp(line, "end") == 0)
            return at == size;
        char *words[FIELDS_MAX];
        int count = split(line, words);
        if (count == 0 || count > FIELDS_MAX || !parse_line(words, count, f))
            return false;
    }
    *why = "cut short";
    return false;
}

void status_save(int64_t now_ms, bool always)
{
    if (!state_kept())
        return;
    take_storms(daemon_status);
    size_t read_at;
    size_t length = format_text(daemon_status, status_buffer, sizeof status_buffer, &read_at);
    if (length >= sizeof status_buffer)
        return;  // cannot happen within the fields' bounds
    // The count of lines read alone is no change worth a write.
    uint64_t hash = text_hash_bytes(status_buffer, read_at);
    if (!always && writes.written &&
        (hash == writes.hash || now_ms - writes.at_ms < STATUS_WRITE_EVERY_MS))
        return;
    if (!state_replace_file(STATUS_FILE, status_buffer, length)) {
        if (!writes.warned)
            log_message(LOG_NOTICE, "Warning: cannot write the status file %s/%s: %s",
                        state_folder(), STATUS_FILE, strerror(errno));
        writes.warned = true;
        return;
    }
    writes = status_writes{true, now_ms, hash, false};
}

uint64_t process_start_ticks(const char *stat_path)
{
    char text[1024];
    if (read_small_file(stat_path, text, sizeof text) <= 0)
        return 0;
    // "PID (NAME) STATE ..." where NAME may hold anything; the start time is
    // the 22nd field.
    const char *at = strrchr(text, ')');
    if (!at || at[1] != ' ' || at[2] == 'Z' || at[2] == 'X')
        return 0;
    for (int field = 2; at && field < 22; field++)
        at = strchr(at + 1, ' ');
    return at ? strtoull(at + 1, nullptr, 10) : 0;
}

void status_log_summary()
{
    const status_figures &f = daemon_status;
    char channels[SUMMARY_SIZE] = "";
    size_t used = 0;
    for (int i = 0; i < f.channel_count; i++) {
        const channel_figures &c = f.channels[i];
        int n = snprintf(channels + used, sizeof channels - used, "%s%s %llu/%llu/%u",
                         i ? ", " : "", c.name, (unsigned long long)c.sent,
                         (unsigned long long)c.failed, unsigned(c.waiting));
        if (n < 0 || size_t(n) >= sizeof channels - used)
            break;
        used += size_t(n);
    }
    uint64_t raised = 0;
    for (uint64_t count : f.raised)
        raised += count;
    log_message(LOG_NOTICE,
                "Status: sent/failed/waiting %s; %llu events raised; %llu log lines read, "
                "%llu cut, %llu too old; %llu own messages dropped",
                channels, (unsigned long long)raised, (unsigned long long)f.lines_read,
                (unsigned long long)f.lines_cut, (unsigned long long)f.lines_too_old,
                (unsigned long long)f.messages_dropped);
    for (int i = 0; i < f.channel_count; i++) {
        const channel_figures &c = f.channels[i];
        if (c.failing)
            log_message(LOG_NOTICE, "Status: %s failing: %s", c.name,
                        c.reason[0] ? c.reason : "no reason logged");
    }
}
