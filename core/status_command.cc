#include "core/status_command.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/settings_check.h"
#include "core/status.h"

namespace {

enum daemon_state { STATE_RUNNING, STATE_STOPPED, STATE_DEAD, STATE_ABSENT, STATE_UNKNOWN };
const char *const STATE_NAMES[] = {"running", "stopped", "dead", "absent", "unknown"};
constexpr int WHY_SIZE = 320;

// What the command found, for either form of output.
struct status_view {
    daemon_state state;
    int exit_status;
    bool have_figures;
    char why[WHY_SIZE];  // STATE_UNKNOWN: why the status cannot be read
    status_figures figures;
    const char *settings_path;
    settings_report report;
};

status_view view;
char file_text[STATUS_TEXT_SIZE + 1];

// Why a folder or file of the state folder cannot be trusted; null when it can.
const char *distrust(const struct stat &info, bool want_dir)
{
    if (S_ISLNK(info.st_mode))
        return "it is a symbolic link";
    if (want_dir ? !S_ISDIR(info.st_mode) : !S_ISREG(info.st_mode))
        return want_dir ? "it is not a folder" : "it is not a regular file";
    if (info.st_uid != 0 && info.st_uid != geteuid())
        return "it belongs to another user";
    if (info.st_mode & (S_IWGRP | S_IWOTH))
        return "others can write to it";
    return nullptr;
}

// Reads dir/status into file_text: its length; -1 when there is none; -2
// when it cannot be read or trusted (view.why says why).
ssize_t read_status_file(const char *dir)
{
    struct stat info;
    const char *distrusted = nullptr;
    if (lstat(dir, &info) != 0) {
        if (errno == ENOENT)
            return -1;
        distrusted = strerror(errno);
    }
    if (!distrusted)
        distrusted = distrust(info, true);
    int dir_fd = distrusted ? -1 : open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (!distrusted && dir_fd < 0)
        distrusted = strerror(errno);
    if (distrusted) {
        snprintf(view.why, sizeof view.why, "%s: %s", dir, distrusted);
        return -2;
    }
    int fd = openat(dir_fd, STATUS_FILE, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    int error = errno;
    close(dir_fd);
    if (fd < 0 && error == ENOENT)
        return -1;
    distrusted = fd < 0 ? strerror(error) : fstat(fd, &info) != 0 ? strerror(errno)
                                                                   : distrust(info, false);
    size_t length = 0;
    while (!distrusted && length < sizeof file_text) {
        ssize_t n = read(fd, file_text + length, sizeof file_text - length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            distrusted = strerror(errno);
        if (n <= 0)
            break;
        length += size_t(n);
    }
    if (fd >= 0)
        close(fd);
    if (!distrusted && length > STATUS_TEXT_SIZE)
        distrusted = "too large";
    if (distrusted) {
        snprintf(view.why, sizeof view.why, "%s/%s: %s", dir, STATUS_FILE, distrusted);
        return -2;
    }
    return ssize_t(length);
}

bool any_failing(const status_figures &f)
{
    for (int i = 0; i < f.channel_count; i++) {
        if (f.channels[i].failing)
            return true;
    }
    return false;
}

// Whether the process that wrote the status still runs: the pid is alive
// and started when the writer did, so a pid taken over by another program
// does not count.
bool writer_alive(const status_figures &f)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", int(f.pid));
    return f.pid > 0 && f.start_ticks != 0 && process_start_ticks(path) == f.start_ticks;
}

void find_status(const char *dir, const char *settings_path)
{
    memset(&view.figures, 0, sizeof view.figures);
    view.have_figures = false;
    view.why[0] = '\0';
    ssize_t length = read_status_file(dir);
    const char *why = nullptr;
    if (length == -1) {
        view.state = STATE_ABSENT;
    } else if (length < 0) {
        view.state = STATE_UNKNOWN;
    } else if (!status_parse(file_text, size_t(length), view.figures, &why)) {
        view.state = STATE_UNKNOWN;
        snprintf(view.why, sizeof view.why, "%s/%s: %s", dir, STATUS_FILE, why);
    } else {
        view.have_figures = true;
        view.state = view.figures.stopped != 0 ? STATE_STOPPED
                     : writer_alive(view.figures) ? STATE_RUNNING : STATE_DEAD;
    }
    view.exit_status = view.state == STATE_RUNNING
                           ? (any_failing(view.figures) ? STATUS_EXIT_FAILING : STATUS_EXIT_RUNNING)
                       : view.state == STATE_UNKNOWN ? STATUS_EXIT_UNKNOWN
                                                     : STATUS_EXIT_NOT_RUNNING;
    view.settings_path = view.have_figures && view.figures.settings[0] ? view.figures.settings
                                                                        : settings_path;
    check_settings(view.settings_path, view.report);
}

// ---- text for a person -------------------------------------------------------

// "YYYY-MM-DD hh:mm:ss" in local time, as the daemon's messages give it.
const char *time_text(int32_t seconds, char (&text)[TIMESTAMP_TEXT_SIZE])
{
    time_t when = seconds;
    struct tm local;
    if (!localtime_r(&when, &local) || strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0)
        snprintf(text, sizeof text, "@%d", int(seconds));
    return text;
}

// Text from the daemon's records, its control bytes as \xNN.
void put_shown(FILE *out, const char *text)
{
    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
        if (*p < 0x20 || *p == 0x7f)
            fprintf(out, "\\x%02x", *p);
        else
            fputc(*p, out);
    }
}

void print_settings(FILE *out)
{
    const settings_report &r = view.report;
    fprintf(out, "Settings: ");
    put_shown(out, view.settings_path);
    if (r.opened != 0)
        fprintf(out, ": cannot read: %s\n", r.why);
    else if (r.problem_count + r.note_count == 0)
        fprintf(out, ": the check finds no problem\n");
    else
        fprintf(out, ": the check finds %d problem%s and %d note%s (norvale-eventd -t lists them)\n",
                r.problem_count, r.problem_count == 1 ? "" : "s", r.note_count,
                r.note_count == 1 ? "" : "s");
}

void print_channel(FILE *out, const channel_figures &c)
{
    char text[TIMESTAMP_TEXT_SIZE];
    fprintf(out, "  ");
    put_shown(out, c.name);
    fprintf(out, ": %s; %llu sent, %llu failed, %u waiting",
            c.failing ? "failing" : c.last_success ? "working" : "not tried yet",
            (unsigned long long)c.sent, (unsigned long long)c.failed, unsigned(c.waiting));
    if (c.next_retry != 0)
        fprintf(out, ", next retry at %s", time_text(c.next_retry, text));
    fprintf(out, "\n");
    if (c.last_success != 0)
        fprintf(out, "    last sent at %s\n", time_text(c.last_success, text));
    if (c.last_failure == 0)
        return;
    fprintf(out, "    last failure at %s", time_text(c.last_failure, text));
    if (c.to[0]) {
        fprintf(out, " for ");
        put_shown(out, c.to);
    }
    fprintf(out, ":\n      ");
    put_shown(out, c.reason[0] ? c.reason : "no reason logged");
    fprintf(out, "\n");
}

void print_figures(FILE *out, const status_figures &f)
{
    char text[TIMESTAMP_TEXT_SIZE];
    fprintf(out, "Channels:\n");
    for (int i = 0; i < f.channel_count; i++)
        print_channel(out, f.channels[i]);
    fprintf(out, "Events raised:");
    int shown = 0;
    for (int code = 1; code < EVENT_CODE_COUNT; code++) {
        if (f.raised[code] != 0)
            fprintf(out, "%s %s %llu", shown++ ? "," : "", CAPS_EVENT_TYPE_NAMES[code],
                    (unsigned long long)f.raised[code]);
    }
    fprintf(out, "%s\nStorms being counted:", shown ? "" : " none");
    shown = 0;
    for (int code = 1; code < EVENT_CODE_COUNT; code++) {
        if (f.storm_counted[code] < 0)
            continue;
        fprintf(out, "%s %s, %d counted", shown++ ? ";" : "", CAPS_EVENT_TYPE_NAMES[code],
                int(f.storm_counted[code]));
        if (f.storm_since[code] != 0)
            fprintf(out, " since %s", time_text(f.storm_since[code], text));
    }
    fprintf(out, "%s\n", shown ? "" : " none");
    fprintf(out, "Log lines: %llu read, %llu cut for length, %llu dropped as too old\n",
            (unsigned long long)f.lines_read, (unsigned long long)f.lines_cut,
            (unsigned long long)f.lines_too_old);
    fprintf(out, "Own log messages dropped: %llu\n", (unsigned long long)f.messages_dropped);
}

void print_human(FILE *out, const char *dir)
{
    const status_figures &f = view.figures;
    char started[TIMESTAMP_TEXT_SIZE];
    char stopped[TIMESTAMP_TEXT_SIZE];
    if (view.have_figures)
        time_text(f.started, started);
    switch (view.state) {
    case STATE_RUNNING:
        fprintf(out, "norvale-eventd is running: pid %d, started %s\n", int(f.pid), started);
        break;
    case STATE_STOPPED:
        fprintf(out, "norvale-eventd is not running: it stopped at %s (pid %d, started %s)\n",
                time_text(f.stopped, stopped), int(f.pid), started);
        break;
    case STATE_DEAD:
        fprintf(out, "norvale-eventd is not running: pid %d, started %s, has ended without a "
                "stop (its status is stale)\n", int(f.pid), started);
        break;
    case STATE_ABSENT:
        fprintf(out, "norvale-eventd is not running: no status in ");
        put_shown(out, dir);
        fprintf(out, "\n");
        break;
    case STATE_UNKNOWN:
        fprintf(out, "norvale-eventd status unknown: ");
        put_shown(out, view.why);
        fprintf(out, "\n");
        break;
    }
    print_settings(out);
    if (!view.have_figures)
        return;
    if (view.state != STATE_RUNNING)
        fprintf(out, "Its last figures:\n");
    print_figures(out, f);
}

// ---- JSON ----------------------------------------------------------------------

// The length of the valid UTF-8 sequence at p, or 0.
int utf8_length(const unsigned char *p)
{
    if (p[0] < 0xc2 || p[0] > 0xf4)
        return 0;
    int length = p[0] >= 0xf0 ? 4 : p[0] >= 0xe0 ? 3 : 2;
    for (int i = 1; i < length; i++) {
        if ((p[i] & 0xc0) != 0x80)
            return 0;
    }
    // Overlong forms, surrogates and code points above U+10FFFF.
    if ((p[0] == 0xe0 && p[1] < 0xa0) || (p[0] == 0xed && p[1] >= 0xa0) ||
        (p[0] == 0xf0 && p[1] < 0x90) || (p[0] == 0xf4 && p[1] >= 0x90))
        return 0;
    return length;
}

// A JSON string: quotes, backslashes and control bytes escaped; a byte that
// begins no valid UTF-8 sequence becomes U+FFFD.
void put_json_string(FILE *out, const char *text)
{
    fputc('"', out);
    for (const unsigned char *p = (const unsigned char *)text; *p;) {
        if (*p == '"' || *p == '\\') {
            fprintf(out, "\\%c", *p++);
        } else if (*p < 0x20 || *p == 0x7f) {
            fprintf(out, "\\u%04x", *p++);
        } else if (*p < 0x80) {
            fputc(*p++, out);
        } else if (int length = utf8_length(p)) {
            fwrite(p, 1, size_t(length), out);
            p += length;
        } else {
            fprintf(out, "\\ufffd");
            p++;
        }
    }
    fputc('"', out);
}

// "name":seconds,"name_text":"local time"; both null for 0.
void put_json_time(FILE *out, const char *name, int32_t seconds)
{
    char text[TIMESTAMP_TEXT_SIZE];
    if (seconds == 0)
        fprintf(out, "\"%s\":null,\"%s_text\":null", name, name);
    else
        fprintf(out, "\"%s\":%d,\"%s_text\":\"%s\"", name, int(seconds), name,
                time_text(seconds, text));
}

void put_json_channel(FILE *out, const channel_figures &c)
{
    fprintf(out, "{\"name\":");
    put_json_string(out, c.name);
    fprintf(out, ",\"sent\":%llu,\"failed\":%llu,\"waiting\":%u,", (unsigned long long)c.sent,
            (unsigned long long)c.failed, unsigned(c.waiting));
    put_json_time(out, "next_retry", c.next_retry);
    fputc(',', out);
    put_json_time(out, "last_success", c.last_success);
    fputc(',', out);
    put_json_time(out, "last_failure", c.last_failure);
    fprintf(out, ",\"last_failure_for\":");
    if (c.last_failure != 0 && c.to[0])
        put_json_string(out, c.to);
    else
        fprintf(out, "null");
    fprintf(out, ",\"last_failure_reason\":");
    if (c.last_failure != 0)
        put_json_string(out, c.reason);
    else
        fprintf(out, "null");
    fprintf(out, ",\"failing\":%s}", c.failing ? "true" : "false");
}

// A count, or null without figures.
void put_json_count(FILE *out, const char *name, uint64_t value)
{
    if (view.have_figures)
        fprintf(out, ",\"%s\":%llu", name, (unsigned long long)value);
    else
        fprintf(out, ",\"%s\":null", name);
}

void print_json(FILE *out)
{
    const status_figures &f = view.figures;
    const settings_report &r = view.report;
    fprintf(out, "{\"state\":\"%s\",\"running\":%s,\"exit_status\":%d,\"why\":",
            STATE_NAMES[view.state], view.state == STATE_RUNNING ? "true" : "false",
            view.exit_status);
    if (view.why[0])
        put_json_string(out, view.why);
    else
        fprintf(out, "null");
    if (view.have_figures)
        fprintf(out, ",\"pid\":%d,", int(f.pid));
    else
        fprintf(out, ",\"pid\":null,");
    put_json_time(out, "started", view.have_figures ? f.started : 0);
    fputc(',', out);
    put_json_time(out, "stopped", view.have_figures ? f.stopped : 0);
    fprintf(out, ",\"settings\":");
    put_json_string(out, view.settings_path);
    fprintf(out, ",\"settings_readable\":%s", r.opened == 0 ? "true" : "false");
    if (r.opened == 0)
        fprintf(out, ",\"settings_problems\":%d,\"settings_notes\":%d", r.problem_count,
                r.note_count);
    else
        fprintf(out, ",\"settings_problems\":null,\"settings_notes\":null");
    fprintf(out, ",\"channels\":[");
    for (int i = 0; view.have_figures && i < f.channel_count; i++) {
        if (i)
            fputc(',', out);
        put_json_channel(out, f.channels[i]);
    }
    fprintf(out, "],\"events_raised\":{");
    for (int code = 1; view.have_figures && code < EVENT_CODE_COUNT; code++)
        fprintf(out, "%s\"%s\":%llu", code > 1 ? "," : "", CAPS_EVENT_TYPE_NAMES[code],
                (unsigned long long)f.raised[code]);
    fprintf(out, "},\"storms\":[");
    int shown = 0;
    for (int code = 1; view.have_figures && code < EVENT_CODE_COUNT; code++) {
        if (f.storm_counted[code] < 0)
            continue;
        fprintf(out, "%s{\"kind\":\"%s\",\"count\":%d,", shown++ ? "," : "",
                CAPS_EVENT_TYPE_NAMES[code], int(f.storm_counted[code]));
        put_json_time(out, "since", f.storm_since[code]);
        fputc('}', out);
    }
    fputc(']', out);
    put_json_count(out, "log_lines_read", f.lines_read);
    put_json_count(out, "log_lines_cut", f.lines_cut);
    put_json_count(out, "log_lines_too_old", f.lines_too_old);
    put_json_count(out, "messages_dropped", f.messages_dropped);
    fprintf(out, "}\n");
}

}  // namespace

int run_status_command(const char *dir, FILE *out, bool json, const char *settings_path)
{
    find_status(dir, settings_path);
    if (json)
        print_json(out);
    else
        print_human(out, dir);
    fflush(out);
    return view.exit_status;
}
