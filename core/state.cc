#include "core/state.h"

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "core/log.h"
#include "core/process.h"
#include "core/storms.h"
#include "core/text_writer.h"

namespace {

constexpr int REASON_SIZE = 128;
constexpr size_t FIELD_MAX = 16;  // numbers in the file, in bytes

struct line_ring {
    char lines[RECENT_LINES][KEPT_LINE_SIZE];
    int head;      // oldest
    int count;
    int previous;  // the oldest this many came from the previous run
};

struct pending_ring {
    char lines[PENDING_LINES][KEPT_LINE_SIZE];
    // The oldest stamp each line may carry and still count, as the run that
    // read it judged lines.
    int32_t counts_from[PENDING_LINES];
    int head;
    int count;
};

struct kept {
    bool usable;
    int dir_fd;
    char dir[256];
    char file[300];  // the folder and the file's name
    const module_settings *settings;
    event_ring *queue;
    int32_t previous_read_at;
    int32_t read_at;
    uint64_t written_hash;
    size_t written_length;
    bool write_warned;
    uint64_t stored_groups[MAIL_GROUP_COUNT];  // as read from the file
};

kept state = {false, -1, "", "", nullptr, nullptr, -1, -1, 0, 0, false, {}};
// Counts every change of the kept and answered lines, and the fingerprint
// of everything kept at the last write: most calls of state_save find it
// unchanged and return without making the text.
uint64_t lines_changed;
uint64_t written_fingerprint;
line_ring recent;
pending_ring pending;
// The kept lines as taken back: each stands for one copy sent again.
pending_ring answered;
// The file as read, and as written: one buffer serves both, in turn.
char file_text[STATE_FILE_MAX + 1];

uint64_t text_hash(const char *text)
{
    return text_hash_bytes(text, strlen(text));
}

uint64_t group_hash(const module_settings &settings, int group)
{
    uint64_t hash = text_hash_bytes("", 0);
    for (const char *address : settings.mail_group_addrs[group])
        hash = text_hash_bytes(address ? address : "", address ? strlen(address) + 1 : 1, hash);
    return hash;
}

// The value of a lower-case hexadecimal digit, or -1.
int hex_digit(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// ---- the folder --------------------------------------------------------

// Why a folder or file found there cannot be trusted; null when it can.
const char *distrust(const struct stat &info, bool want_dir, char *why)
{
    if (S_ISLNK(info.st_mode))
        return "it is a symbolic link";
    if (want_dir ? !S_ISDIR(info.st_mode) : !S_ISREG(info.st_mode))
        return want_dir ? "it is not a folder" : "it is not a regular file";
    if (info.st_uid != geteuid()) {
        snprintf(why, REASON_SIZE, "it belongs to user %u", unsigned(info.st_uid));
        return why;
    }
    if (info.st_mode & (S_IWGRP | S_IWOTH))
        return "others can write to it";
    return nullptr;
}

void refuse(const char *what, const char *path, const char *reason)
{
    log_message(LOG_ERR, "Error: state %s %s refused: %s; nothing is kept across a restart",
                what, path, reason);
    state.usable = false;
    if (state.dir_fd >= 0)
        close(state.dir_fd);
    state.dir_fd = -1;
}

// ---- writing -----------------------------------------------------------

void put_record(text_writer &w, const char *kind, const event_record &r)
{
    text_put(w, "%s %d %u %u %d %d %d %u %u %u %u %u\n", kind, int(r.code), unsigned(r.mask),
        unsigned(r.served), int(r.timestamp), int(r.counted), int(r.first_counted),
        unsigned(r.mail_resume[0]), unsigned(r.mail_resume[1]), unsigned(r.mail_resume[2]),
        unsigned(r.mail_resume[3]), unsigned(r.sms_next));
}

void put_ring(text_writer &w, const char *kind, const event_ring &ring)
{
    for (uint32_t i = ring.head; i != ring.tail; i = (i + 1) & event_ring::MASK)
        put_record(w, kind, ring.slots[i]);
}

int recipient_slot(const char *recipient)
{
    for (int i = 0; i < SMS_RECIPIENT_COUNT; i++) {
        if (state.settings->sms_recipients[i] == recipient)
            return i + 1;
    }
    return 0;
}

void put_sms(text_writer &w)
{
    const sms_retry_ring &ring = sms_reserve_queue;
    for (uint32_t i = ring.head; i != ring.tail; i = (i + 1) & sms_retry_ring::MASK) {
        const sms_retry_entry &e = ring.slots[i];
        int slot = recipient_slot(e.recipient);
        if (slot == 0)
            continue;
        text_put(w, "sms %d %d %016" PRIx64 " %u %d %d ", int(e.code), slot, text_hash(e.recipient),
            unsigned(e.attempts_left), int(e.not_before), int(e.counted));
        text_put_escaped(w, e.timestamp_text);
        text_put(w, "\n");
    }
}

void put_lines(text_writer &w, const char *kind, const char (*lines)[KEPT_LINE_SIZE], int capacity,
               int head, int count)
{
    for (int i = 0; i < count; i++) {
        const char *line = lines[(head + i) % capacity];
        if (line[0] == '\0')
            continue;  // a kept line already matched once
        text_put(w, "%s ", kind);
        text_put_escaped(w, line);
        text_put(w, "\n");
    }
}

bool write_file(const char *name, const char *text, size_t length)
{
    char temporary[32];
    snprintf(temporary, sizeof temporary, "%s.new", name);
    int fd = openat(state.dir_fd, temporary, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                    0600);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, text + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += size_t(n);
    }
    bool written = close(fd) == 0 && done == length;
    if (written && renameat(state.dir_fd, temporary, state.dir_fd, name) == 0)
        return true;
    int error = errno;
    unlinkat(state.dir_fd, temporary, 0);
    errno = error;
    return false;
}

// ---- reading -----------------------------------------------------------

// The lines come in the order the daemon writes them: "read" first, "groups"
// second, then each kind in turn, the storms by code.
constexpr const char *LINE_KINDS[] = {"read", "groups", "seen", "pending", "event",
                                      "snmp", "mail",   "sms",  "storm",   "end"};

struct reader {
    const char *at;
    const char *end;
    char *why;
    size_t why_size;
    bool blank;      // the last field ended with a blank: another must follow
    int last_kind;   // of the last line, as an index of LINE_KINDS; -1 before
    int storm_code;  // of the last storm line; 0 before
};

bool fail(reader &r, const char *reason)
{
    if (r.why && r.why_size)
        snprintf(r.why, r.why_size, "%s", reason);
    return false;
}

// The next field of the current line, up to a blank or the line's end.
bool field(reader &r, const char *&start, size_t &length)
{
    start = r.at;
    while (r.at < r.end && *r.at != ' ' && *r.at != '\n')
        r.at++;
    length = size_t(r.at - start);
    r.blank = r.at < r.end && *r.at == ' ';
    if (r.blank)
        r.at++;
    return length > 0;
}

bool number(reader &r, int64_t low, int64_t high, int64_t &value)
{
    const char *start;
    size_t length;
    if (!field(r, start, length) || length > FIELD_MAX)
        return false;
    char text[FIELD_MAX + 1];
    memcpy(text, start, length);
    text[length] = '\0';
    char *stop = nullptr;
    errno = 0;
    long long v = strtoll(text, &stop, 10);
    // Only the form the daemon writes: no sign but '-', no leading zero, no
    // NUL byte (which would end the text compared).
    char written[FIELD_MAX + 2];
    snprintf(written, sizeof written, "%lld", v);
    if (errno != 0 || *stop != '\0' || strlen(written) != length || strcmp(written, text) != 0)
        return false;
    value = v;
    return v >= low && v <= high;
}

bool hex64(reader &r, uint64_t &value)
{
    const char *start;
    size_t length;
    if (!field(r, start, length) || length != 16)
        return false;
    value = 0;
    for (size_t i = 0; i < length; i++) {
        int digit = hex_digit(start[i]);
        if (digit < 0)
            return false;
        value = value << 4 | uint64_t(digit);
    }
    return true;
}

// An escaped field into out (size bytes with its NUL), in the one form the
// daemon writes: \xNN (lower-case digits) for exactly the bytes that need it.
// An empty text is written as an empty last field.
bool escaped(reader &r, char *out, size_t size, bool may_be_empty = false)
{
    const char *start;
    size_t length;
    bool after_blank = r.blank;
    if (!field(r, start, length) && !(may_be_empty && after_blank && !r.blank))
        return false;
    size_t n = 0;
    for (size_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)start[i];
        if (c == '\\') {
            if (i + 3 >= length || start[i + 1] != 'x' || hex_digit(start[i + 2]) < 0 ||
                hex_digit(start[i + 3]) < 0)
                return false;
            c = (unsigned char)(hex_digit(start[i + 2]) * 16 + hex_digit(start[i + 3]));
            if (c == 0 || text_is_plain(c))
                return false;
            i += 3;
        } else if (!text_is_plain(c)) {
            return false;
        }
        if (n + 1 >= size)
            return false;
        out[n++] = char(c);
    }
    out[n] = '\0';
    return true;
}

bool line_done(reader &r)
{
    if (r.blank || r.at >= r.end || *r.at != '\n')
        return false;
    r.at++;
    return true;
}

bool read_record(reader &r, event_record &e)
{
    int64_t v[11];
    static const int64_t LOW[11] = {1, 0, 0, INT32_MIN, 0, INT32_MIN, 0, 0, 0, 0, 0};
    static const int64_t HIGH[11] = {EVENT_CODE_COUNT - 1, 0x3F, 0x3F, INT32_MAX, INT32_MAX,
                                     INT32_MAX, MAIL_GROUP_ADDRESSES - 1, MAIL_GROUP_ADDRESSES - 1,
                                     MAIL_GROUP_ADDRESSES - 1, MAIL_GROUP_ADDRESSES - 1,
                                     SMS_RECIPIENT_COUNT};
    for (int i = 0; i < 11; i++) {
        if (!number(r, LOW[i], HIGH[i], v[i]))
            return false;
    }
    e = event_record{int32_t(v[0]), channel_mask(v[1]), int32_t(v[3])};
    e.served = channel_mask(v[2]);
    e.counted = int32_t(v[4]);
    e.first_counted = int32_t(v[5]);
    for (int g = 0; g < MAIL_GROUP_COUNT; g++)
        e.mail_resume[g] = uint8_t(v[6 + g]);
    e.sms_next = uint8_t(v[10]);
    return true;
}

// The recipient of a kept retry in the settings of this run: the slot it was
// in, or any slot holding the same text; null when it is gone.
const char *find_recipient(int slot, uint64_t hash)
{
    const char *const *recipients = state.settings->sms_recipients;
    if (recipients[slot - 1] && recipients[slot - 1][0] && text_hash(recipients[slot - 1]) == hash)
        return recipients[slot - 1];
    for (int i = 0; i < SMS_RECIPIENT_COUNT; i++) {
        if (recipients[i] && recipients[i][0] && text_hash(recipients[i]) == hash)
            return recipients[i];
    }
    return nullptr;
}

bool read_sms(reader &r)
{
    int64_t code, slot, attempts, not_before, counted;
    uint64_t hash;
    char timestamp[TIMESTAMP_TEXT_SIZE];
    if (!number(r, 1, EVENT_CODE_COUNT - 1, code) || !number(r, 1, SMS_RECIPIENT_COUNT, slot) ||
        !hex64(r, hash) || !number(r, 1, 255, attempts) ||
        !number(r, INT32_MIN, INT32_MAX, not_before) || !number(r, 0, INT32_MAX, counted) ||
        !escaped(r, timestamp, sizeof timestamp, true))
        return false;
    const char *recipient = find_recipient(int(slot), hash);
    if (!recipient) {
        log_message(LOG_NOTICE, "Warning: SMS retry for recipient %d dropped: it is no longer configured",
                    int(slot));
        return true;
    }
    return ring_push(sms_reserve_queue, int32_t(code), recipient, timestamp, uint8_t(attempts),
                     int32_t(not_before), int32_t(counted));
}

bool read_storm(reader &r)
{
    int64_t code, counted, first, last;
    if (!number(r, 1, EVENT_CODE_COUNT - 1, code) || !number(r, 1, INT32_MAX, counted) ||
        !number(r, INT32_MIN, INT32_MAX, first) || !number(r, INT32_MIN, INT32_MAX, last) ||
        code <= r.storm_code)
        return false;
    r.storm_code = int(code);
    storm_kind &k = storms.kinds[code];
    // The storm goes on from this start: it ends, with its summary, after a
    // minute without an event of its kind.
    k.raging = true;
    k.counted = int32_t(counted);
    k.first_time = int32_t(first);
    k.last_time = int32_t(last);
    k.last_event = k.last_summary = monotonic_seconds();
    return true;
}

bool read_line_entry(reader &r, bool seen)
{
    char line[KEPT_LINE_SIZE];
    int64_t counts_from = 0;
    if (!seen && !number(r, INT32_MIN, INT32_MAX, counts_from))
        return false;
    if (!escaped(r, line, sizeof line))
        return false;
    if (seen) {
        if (recent.count == RECENT_LINES)
            return false;
        state_note_handled(line);
        recent.previous = recent.count;
        return true;
    }
    if (!state_pending_add(line, int32_t(counts_from)))
        return false;
    // A line kept unhandled was answered: a copy the system logger sends
    // again all the same is not handled twice.
    snprintf(answered.lines[answered.count++], KEPT_LINE_SIZE, "%s", line);
    return true;
}

bool read_entry(reader &r, bool &ended)
{
    const char *start;
    size_t length;
    if (!field(r, start, length))
        return false;
    std::string_view kind(start, length);
    int rank = 0;
    while (rank < int(std::size(LINE_KINDS)) && kind != LINE_KINDS[rank])
        rank++;
    bool in_order =
        rank <= 1 ? rank == r.last_kind + 1 : r.last_kind >= 1 && rank >= r.last_kind;
    if (rank == int(std::size(LINE_KINDS)) || !in_order)
        return false;
    r.last_kind = rank;
    event_record e;
    int64_t value;
    if (kind == "end") {
        ended = true;
        return true;
    }
    if (kind == "read") {
        if (!number(r, INT32_MIN, INT32_MAX, value))
            return false;
        state.previous_read_at = int32_t(value);
        // Until this run reads, its last read is the later of its start and
        // the previous run's last read.
        if (state.previous_read_at > state.read_at)
            state.read_at = state.previous_read_at;
        return true;
    }
    if (kind == "groups") {
        for (uint64_t &hash : state.stored_groups) {
            if (!hex64(r, hash))
                return false;
        }
        return true;
    }
    if (kind == "seen" || kind == "pending")
        return read_line_entry(r, kind == "seen");
    if (kind == "sms")
        return read_sms(r);
    if (kind == "storm")
        return read_storm(r);
    event_ring *ring = kind == "event" ? state.queue : kind == "snmp" ? &reserve_snmp_queue
                     : kind == "mail" ? &reserve_mail_queue : nullptr;
    return ring && read_record(r, e) && ring_push(*ring, e);
}

// A mail group whose addresses changed since the state was kept is mailed
// again from its first address: the index kept means nothing any more.
void restart_changed_groups()
{
    for (int g = 0; g < MAIL_GROUP_COUNT; g++) {
        if (state.stored_groups[g] == group_hash(*state.settings, g))
            continue;
        for (event_ring *ring : {state.queue, &reserve_mail_queue}) {
            for (uint32_t i = ring->head; i != ring->tail; i = (i + 1) & event_ring::MASK)
                ring->slots[i].mail_resume[g] = 0;
        }
    }
}

void clear_kept()
{
    ring_clear(*state.queue);
    ring_clear(reserve_snmp_queue);
    ring_clear(reserve_mail_queue);
    ring_clear(sms_reserve_queue);
    for (storm_kind &k : storms.kinds) {
        k.raging = false;
        k.counted = 0;
    }
    recent.head = recent.count = recent.previous = 0;
    pending.head = pending.count = 0;
    answered.head = answered.count = 0;
    state.previous_read_at = -1;
    state.read_at = start_timestamp;
}

void set_bad(char *why, const char *reason)
{
    snprintf(why, REASON_SIZE, "%s", reason);
}

// Reads the file whole; its length, -1 when it is missing, -2 when it was
// refused (logged), -3 when it cannot be used (why says so).
ssize_t read_kept_file(char *why)
{
    int fd = openat(state.dir_fd, STATE_FILE, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const char *path = state.file;
    if (fd < 0) {
        if (errno == ENOENT)
            return -1;
        refuse("file", path, errno == ELOOP ? "it is a symbolic link" : strerror(errno));
        return -2;
    }
    struct stat info;
    char reason[REASON_SIZE];
    const char *distrusted = fstat(fd, &info) != 0 ? strerror(errno) : distrust(info, false, reason);
    if (distrusted) {
        close(fd);
        refuse("file", path, distrusted);
        return -2;
    }
    size_t length = 0;
    for (;;) {
        ssize_t n = read(fd, file_text + length, sizeof file_text - length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        length += size_t(n);
        if (length == sizeof file_text)
            break;
    }
    close(fd);
    if (length > STATE_FILE_MAX) {
        set_bad(why, "too large");
        return -3;
    }
    return ssize_t(length);
}

void put_aside(const char *why)
{
    char bad[32];
    snprintf(bad, sizeof bad, "%s.bad", STATE_FILE);
    renameat(state.dir_fd, STATE_FILE, state.dir_fd, bad);
    log_message(LOG_NOTICE, "Warning: state file %s unusable (%s), kept as %s.bad", state.file, why,
                state.file);
}

template <typename T, uint32_t N>
uint64_t ring_fingerprint(const ring<T, N> &r, uint64_t hash)
{
    hash = text_hash_bytes(&r.head, sizeof r.head, hash);
    hash = text_hash_bytes(&r.tail, sizeof r.tail, hash);
    for (uint32_t i = r.head; i != r.tail; i = (i + 1) & ring<T, N>::MASK)
        hash = text_hash_bytes(&r.slots[i], sizeof r.slots[i], hash);
    return hash;
}

// A cheap sign of change: the raw bytes of what is kept. It may change when
// the text does not (then the text's own hash decides), never the reverse.
uint64_t live_fingerprint()
{
    uint64_t hash = text_hash_bytes(&lines_changed, sizeof lines_changed);
    hash = ring_fingerprint(*state.queue, hash);
    hash = ring_fingerprint(reserve_snmp_queue, hash);
    hash = ring_fingerprint(reserve_mail_queue, hash);
    hash = ring_fingerprint(sms_reserve_queue, hash);
    for (const storm_kind &k : storms.kinds) {
        hash = text_hash_bytes(&k.counted, sizeof k.counted, hash);
        hash = text_hash_bytes(&k.first_time, sizeof k.first_time, hash);
        hash = text_hash_bytes(&k.last_time, sizeof k.last_time, hash);
    }
    return hash;
}

int count_owed()
{
    return int(ring_count(*state.queue) + ring_count(reserve_snmp_queue) +
               ring_count(reserve_mail_queue) + ring_count(sms_reserve_queue));
}

}  // namespace

bool state_open(const module_settings &settings, event_ring &queue, const char *dir)
{
    state.settings = &settings;
    state.queue = &queue;
    // Until this run reads, it has read nothing later than its start: the
    // first write says so, so that a run killed while idle still tells the
    // next one from when lines may have gone unread.
    state.read_at = start_timestamp;
    snprintf(state.dir, sizeof state.dir, "%s", dir);
    snprintf(state.file, sizeof state.file, "%s/%s", state.dir, STATE_FILE);
    if (mkdir(dir, 0700) != 0 && errno != EEXIST) {
        refuse("folder", dir, strerror(errno));
        return false;
    }
    struct stat info;
    char reason[REASON_SIZE];
    if (lstat(dir, &info) != 0) {
        refuse("folder", dir, strerror(errno));
        return false;
    }
    if (const char *why = distrust(info, true, reason)) {
        refuse("folder", dir, why);
        return false;
    }
    state.dir_fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat opened;
    if (state.dir_fd < 0 || fstat(state.dir_fd, &opened) != 0 || opened.st_ino != info.st_ino ||
        opened.st_dev != info.st_dev) {
        refuse("folder", dir, state.dir_fd < 0 ? strerror(errno) : "it changed while opened");
        return false;
    }
    state.usable = true;
    return true;
}

bool state_parse(const char *text, size_t size, char *why, size_t why_size)
{
    clear_kept();
    for (uint64_t &hash : state.stored_groups)
        hash = 0;
    reader r = {text, text + size, why, why_size, false, -1, 0};
    size_t header = strlen(STATE_HEADER);
    if (size <= header || memcmp(text, STATE_HEADER, header) != 0 || text[header] != '\n') {
        bool versioned = size > 20 && memcmp(text, "norvale-eventd owed ", 20) == 0;
        return fail(r, versioned ? "of another version" : "not a state file");
    }
    r.at += header + 1;
    bool ended = false;
    while (!ended) {
        if (r.at >= r.end) {
            clear_kept();
            return fail(r, "cut short");
        }
        if (!read_entry(r, ended) || !line_done(r)) {
            clear_kept();
            return fail(r, "corrupt");
        }
    }
    if (r.at != r.end) {
        clear_kept();
        return fail(r, "corrupt");
    }
    restart_changed_groups();
    return true;
}

int state_load()
{
    if (!state.usable)
        return -1;
    char why[REASON_SIZE] = "";
    ssize_t length = read_kept_file(why);
    if (length == -1 || length == -2)
        return -1;
    if (length < 0 || !state_parse(file_text, size_t(length), why, sizeof why)) {
        put_aside(why);
        return -1;
    }
    return count_owed();
}

size_t state_text(char *buffer, size_t size)
{
    text_writer w = {buffer, size, 0};
    text_put(w, "%s\nread %d\ngroups", STATE_HEADER, int(state.read_at));
    for (int g = 0; g < MAIL_GROUP_COUNT; g++)
        text_put(w, " %016" PRIx64, group_hash(*state.settings, g));
    text_put(w, "\n");
    put_lines(w, "seen", recent.lines, RECENT_LINES, recent.head, recent.count);
    for (int i = 0; i < pending.count; i++) {
        int slot = (pending.head + i) % PENDING_LINES;
        text_put(w, "pending %d ", int(pending.counts_from[slot]));
        text_put_escaped(w, pending.lines[slot]);
        text_put(w, "\n");
    }
    put_ring(w, "event", *state.queue);
    put_ring(w, "snmp", reserve_snmp_queue);
    put_ring(w, "mail", reserve_mail_queue);
    put_sms(w);
    for (int code = 1; code < EVENT_CODE_COUNT; code++) {
        const storm_kind &k = storms.kinds[code];
        if (k.counted > 0)
            text_put(w, "storm %d %d %d %d\n", code, int(k.counted), int(k.first_time),
                int(k.last_time));
    }
    text_put(w, "end\n");
    return w.length;
}

void state_save(bool always)
{
    if (!state.usable)
        return;
    uint64_t fingerprint = live_fingerprint();
    if (!always && fingerprint == written_fingerprint)
        return;
    size_t length = state_text(file_text, sizeof file_text);
    if (length >= sizeof file_text)
        return;  // cannot happen within the rings' bounds
    // The time of the last read alone is no change worth a write.
    const char *owed = strchr(strchr(file_text, '\n') + 1, '\n') + 1;
    size_t owed_length = length - size_t(owed - file_text);
    uint64_t hash = text_hash_bytes(owed, owed_length);
    if (!always && hash == state.written_hash && owed_length == state.written_length) {
        written_fingerprint = fingerprint;
        return;
    }
    if (!write_file(STATE_FILE, file_text, length)) {
        if (!state.write_warned)
            log_message(LOG_NOTICE, "Warning: cannot write the state file %s: %s", state.file,
                        strerror(errno));
        state.write_warned = true;
        return;
    }
    state.written_hash = hash;
    state.written_length = owed_length;
    written_fingerprint = fingerprint;
    state.write_warned = false;
}

bool state_kept()
{
    return state.usable;
}

const char *state_folder()
{
    return state.dir;
}

bool state_replace_file(const char *name, const char *text, size_t length)
{
    return state.usable && write_file(name, text, length);
}

int32_t state_previous_read_at()
{
    return state.previous_read_at;
}

void state_note_read(int32_t now)
{
    state.read_at = now;
}

bool state_handled_before(const char *line)
{
    // Each line the previous run handled stands for one copy of it only: the
    // same entry twice in the log is two events.
    for (int i = 0; i < recent.previous; i++) {
        char *kept_line = recent.lines[(recent.head + i) % RECENT_LINES];
        if (strcmp(kept_line, line) == 0) {
            kept_line[0] = '\0';
            lines_changed++;
            return true;
        }
    }
    for (int i = 0; i < answered.count; i++) {
        if (strcmp(answered.lines[i], line) == 0) {
            answered.lines[i][0] = '\0';
            return true;
        }
    }
    return false;
}

void state_note_handled(const char *line)
{
    lines_changed++;
    int slot = (recent.head + recent.count) % RECENT_LINES;
    if (recent.count == RECENT_LINES) {
        recent.head = (recent.head + 1) % RECENT_LINES;
        if (recent.previous > 0)
            recent.previous--;
    } else {
        recent.count++;
    }
    snprintf(recent.lines[slot], KEPT_LINE_SIZE, "%s", line);
}

bool state_pending_add(const char *line, int32_t counts_from)
{
    lines_changed++;
    if (pending.count == PENDING_LINES)
        return false;
    int slot = (pending.head + pending.count) % PENDING_LINES;
    snprintf(pending.lines[slot], KEPT_LINE_SIZE, "%s", line);
    pending.counts_from[slot] = counts_from;
    pending.count++;
    return true;
}

bool state_pending_first(char *line, int32_t *counts_from)
{
    if (pending.count == 0)
        return false;
    snprintf(line, KEPT_LINE_SIZE, "%s", pending.lines[pending.head]);
    if (counts_from)
        *counts_from = pending.counts_from[pending.head];
    return true;
}

void state_pending_drop()
{
    lines_changed++;
    if (pending.count == 0)
        return;
    pending.head = (pending.head + 1) % PENDING_LINES;
    pending.count--;
}

int state_pending_count()
{
    return pending.count;
}
