#include "sources/log_monitor.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include "core/clock.h"
#include "core/command.h"
#include "core/state.h"
#include "core/status.h"
#include "core/log.h"
#include "core/process.h"

namespace {

constexpr int LOG_TIME_LENGTH = 19;   // "YYYY-MM-DD hh:mm:ss"
constexpr int LOG_TEXT_AT = 20;       // the tag starts after the separator
constexpr int WINDOW_MS = 1000;
constexpr size_t LOG_INPUT_SIZE = 4096;
static_assert(LOG_INPUT_SIZE >= 2 * LOG_LINE_SIZE, "a part must always fit after compaction");

// What has been read from the log feed but not handled yet. Bytes
// input[start, end) are unread; once the feed has ended it is not read again,
// so its end is noted (and warned about) once per run.
//
// A line longer than one part is handed on as its first part only; the rest
// up to its newline is thrown away, or a forged entry placed in it (a user
// name is the attacker's to choose) would be handled as a line of its own.
enum line_state {
    READING,         // at the start of a line
    AFTER_PART,      // one whole part handed on; the next byte tells
    DISCARDING,      // throwing away the rest of an over-long line
};

struct log_reader {
    char input[LOG_INPUT_SIZE];
    size_t start;
    size_t end;
    bool at_end;
    line_state state;
};

rate_limited_warning cut_lines;
rate_limited_warning untimed_events;
// Where "OK" goes for each line handled or kept, in confirmation mode; -1 off.
int confirm_fd = -1;

log_reader reader;
char line_buffer[LOG_LINE_SIZE];

bool starts_with(const char *text, const char *prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// EVENT_NONE when the pam_unix message names no event we report; bad_format
// tells the caller to warn about it.
int32_t classify_pam_message(const char *message, bool &bad_format)
{
    const char *paren = strchr(message, ')');
    bad_format = !paren || paren[1] != ':' || paren[2] != ' ';
    if (bad_format)
        return EVENT_NONE;
    const char *result = paren + 3;
    if (starts_with(result, "authentication failure"))
        return LOGIN_FAILED;
    if (starts_with(result, "password changed for"))
        return PASSWORD_CHANGED;
    return EVENT_NONE;
}

bool is_config_change(const char *message)
{
    char after = '\0';
    return sscanf(message, "user '%*[^']' updated configuration of%c", &after) == 1 &&
           after == ' ';
}

// An event whose time could not be read (the date tool failed) is dropped,
// but never silently. The pam_unix format warning is not repeated here.
void note_untimed_event(int32_t code)
{
    int32_t count = warning_due(untimed_events, monotonic_seconds());
    if (count > 0)
        log_message(LOG_NOTICE, "Warning: time of a %s log entry unreadable, event dropped (%d dropped since the last warning)",
                    CAPS_EVENT_TYPE_NAMES[code], int(count));
}

// Lines without a "tag: " after the time. The syslog daemon's own notes are
// expected and dropped quietly; a blank line is nothing at all.
void drop_untagged_line(const char *line, size_t length)
{
    if (length == 0 || (length == 1 && line[0] == '\n'))
        return;
    if (length >= size_t(LOG_TEXT_AT)) {
        const char *text = line + LOG_TEXT_AT;
        if (starts_with(text, "last message repeated ") ||
            starts_with(text, "System log daemon started"))
            return;
    }
    log_message(LOG_NOTICE, "Warning: log entry with unexpected format");
}

// ---- reading the feed -------------------------------------------------------

void note_cut_line()
{
    status_count(LINES_CUT);
    int32_t count = warning_due(cut_lines, monotonic_seconds());
    if (count > 0)
        log_message(LOG_NOTICE, "Warning: log line longer than %d bytes, the rest discarded (%d cut since the last warning)",
                    LOG_LINE_SIZE - 1, int(count));
}

// Moves past what follows a part of LOG_LINE_SIZE - 1 bytes. True when the
// reader is at the start of a line again.
bool skip_rest_of_line()
{
    const char *from = reader.input + reader.start;
    size_t available = reader.end - reader.start;
    if (reader.state == AFTER_PART) {
        if (from[0] == '\n') {  // the line was exactly one part long
            reader.start++;
            reader.state = READING;
            return true;
        }
        reader.state = DISCARDING;
        note_cut_line();
    }
    const char *newline = static_cast<const char *>(memchr(from, '\n', available));
    if (!newline) {
        reader.start = reader.end;
        return false;
    }
    reader.start += size_t(newline - from) + 1;
    reader.state = READING;
    return true;
}

// Copies the next line (newline included), or the first 1023 characters of
// a longer one, into line (LOG_LINE_SIZE bytes). At the end of the feed a last
// piece without newline counts as a line. False when no such line is
// buffered yet.
bool take_line(char *line = line_buffer)
{
    if (reader.state != READING && (reader.start == reader.end || !skip_rest_of_line()))
        return false;
    size_t available = reader.end - reader.start;
    if (available == 0)
        return false;
    const char *from = reader.input + reader.start;
    size_t limit = available < size_t(LOG_LINE_SIZE - 1) ? available : size_t(LOG_LINE_SIZE - 1);
    const char *newline = static_cast<const char *>(memchr(from, '\n', limit));
    size_t length;
    if (newline)
        length = size_t(newline - from) + 1;
    else if (limit == size_t(LOG_LINE_SIZE - 1) || reader.at_end)
        length = limit;
    else
        return false;
    if (!newline && length == size_t(LOG_LINE_SIZE - 1))
        reader.state = AFTER_PART;
    memcpy(line, from, length);
    line[length] = '\0';
    reader.start += length;
    state_note_read(int32_t(time(nullptr)));
    status_count(LINES_READ);
    return true;
}

void note_end_of_input()
{
    reader.at_end = true;
    log_message(LOG_NOTICE, "Warning: nothing read from stdin!");
}

// One read of whatever the feed holds now. The unread rest is first moved to
// the front; it is shorter than one part, so there is always room.
void fill_input(int fd)
{
    if (reader.start > 0) {
        memmove(reader.input, reader.input + reader.start, reader.end - reader.start);
        reader.end -= reader.start;
        reader.start = 0;
    }
    ssize_t got = read(fd, reader.input + reader.end, sizeof reader.input - reader.end);
    if (got > 0) {
        reader.end += size_t(got);
        return;
    }
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    // End of the feed, or a descriptor that cannot be read at all: either way
    // no more log lines will come from it.
    note_end_of_input();
}

// Whole milliseconds left until one second after started; 0 or less when
// the window is over.
long window_left_ms(const timespec &started)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long d = started.tv_nsec - now.tv_nsec;
    long e = long(started.tv_sec) + 1 - long(now.tv_sec);
    if (d < 0) {
        d += 1000000000L;
        e -= 1;
    }
    return 1000 * e + d / 1000000;
}

// One wait: for the feed, or, once the feed has ended, for the rest of the
// second alone (a stop signal still cuts it short). Negative when it failed.
int wait_for_input(int fd, int timeout_ms)
{
    if (reader.at_end)
        return poll(nullptr, 0, timeout_ms);
    pollfd watched = {fd, POLLIN, 0};
    int ready = poll(&watched, 1, timeout_ms);
    if (ready > 0) {
        if (watched.revents & POLLNVAL)
            note_end_of_input();
        else
            fill_input(fd);
    }
    return ready;
}

void confirm()
{
    if (confirm_fd < 0)
        return;
    ssize_t n;
    do {
        n = write(confirm_fd, "OK\n", 3);
    } while (n < 0 && errno == EINTR);
}

// What became of a line.
enum line_outcome {
    LINE_PASSED,    // nothing to raise, or dropped
    LINE_RAISED,    // an event raised or counted
    LINE_DEFERRED,  // its time cannot be read past the stop deadline: keep it
};
line_outcome handle_line(const char *line, const module_settings &settings, event_ring &queue,
                         log_time_converter convert, const int32_t *kept_from);
int32_t counts_from();

// Handles a line and makes what it raised survive a kill before answering it.
void handle_and_confirm(const char *line, const module_settings &settings, event_ring &queue,
                        log_time_converter convert)
{
    line_outcome outcome = handle_line(line, settings, queue, convert, nullptr);
    if (outcome == LINE_DEFERRED)
        state_pending_add(line, counts_from());
    if (outcome != LINE_PASSED)
        state_save();
    confirm();
}

// Handles the lines read while tools ran, oldest first; each leaves the kept
// list only once handled, so a kill in the middle loses none.
void handle_kept_lines(const module_settings &settings, event_ring &queue,
                       log_time_converter convert)
{
    char line[LOG_LINE_SIZE];
    int32_t kept_from;
    while (state_pending_first(line, &kept_from)) {
        if (handle_line(line, settings, queue, convert, &kept_from) == LINE_DEFERRED)
            return;  // kept for the next start
        state_pending_drop();
        state_save();
    }
}

// The oldest stamp a line read now may carry and still count: the start, or,
// after a restart, a little before the previous run last read its input.
int32_t counts_from()
{
    int32_t previous = state_previous_read_at();
    if (previous < 0)
        return start_timestamp;
    int64_t gap = int64_t(previous) - RESTART_GAP_SLACK_S;
    return gap < start_timestamp ? int32_t(gap) : start_timestamp;
}

// Whether the line may still count: in time (see counts_from; a kept line as
// the run that read it judged), and, read now, not one of the lines the
// previous run handled.
bool in_time(const char *line, int32_t line_time, const int32_t *kept_from)
{
    if (kept_from)
        return line_time >= 0 && line_time >= *kept_from;
    if (state_previous_read_at() >= 0 && state_handled_before(line))
        return false;
    if (line_time >= start_timestamp)
        return true;
    if (line_time >= 0 && line_time >= counts_from())
        return true;
    if (line_time >= 0)
        status_count(LINES_TOO_OLD);
    return false;
}

// kept_from: for a line kept unhandled, the oldest stamp it may carry;
// null for a line read now.
line_outcome handle_line(const char *line, const module_settings &settings, event_ring &queue,
                         log_time_converter convert, const int32_t *kept_from)
{
    size_t length = strlen(line);
    const char *colon = length >= size_t(LOG_TEXT_AT) ? strchr(line + LOG_TEXT_AT, ':') : nullptr;
    if (!colon || colon[1] != ' ') {
        drop_untagged_line(line, length);
        return LINE_PASSED;
    }
    const char *message = colon + 2;
    int32_t code = EVENT_NONE;
    bool bad_format = false;
    if (starts_with(message, "pam_unix"))
        code = classify_pam_message(message, bad_format);
    else if (is_config_change(message))
        code = CONFIG_CHANGED;
    // Only a line that raises an event or draws a warning needs its time:
    // the date tool is not run for the many lines that cannot matter.
    if (code == EVENT_NONE && !bad_format)
        return LINE_PASSED;
    // Entries written before this run started were there before us; an
    // event whose time could not be read is not dropped without a word.
    int32_t line_time = log_line_time(line, convert);
    if (line_time < 0 && code != EVENT_NONE && stop_deadline_passed())
        return LINE_DEFERRED;  // the date tool no longer runs; the next start reads it
    if (!in_time(line, line_time, kept_from)) {
        if (line_time < 0 && code != EVENT_NONE)
            note_untimed_event(code);
        return LINE_PASSED;
    }
    if (bad_format)
        log_message(LOG_NOTICE, "Warning: pam_unix log entry with unexpected format");
    if (code == EVENT_NONE)
        return LINE_PASSED;
    state_note_handled(line);
    raise_event(queue, code, settings.channel_masks[code], line_time);
    return LINE_RAISED;
}

}  // namespace

int32_t log_line_time(const char *line, log_time_converter convert)
{
    // Only a time of the exact shape "YYYY-MM-DD hh:mm:ss" goes into the
    // shell command, so nothing in a log line can take effect in the shell.
    if (!is_log_time_text(line))
        return -1;
    char time_text[LOG_TIME_LENGTH + 1];
    memcpy(time_text, line, LOG_TIME_LENGTH);
    time_text[LOG_TIME_LENGTH] = '\0';
    return convert(time_text);
}

bool handle_log_line(const char *line, const module_settings &settings, event_ring &queue,
                     log_time_converter convert)
{
    return handle_line(line, settings, queue, convert, nullptr) == LINE_RAISED;
}

log_watch_result watch_log_input(const module_settings &settings, event_ring &queue, int fd,
                                 log_time_converter convert)
{
    timespec started;
    clock_gettime(CLOCK_MONOTONIC, &started);
    long timeout = WINDOW_MS;
    handle_kept_lines(settings, queue, convert);
    for (;;) {
        if (take_line()) {
            handle_and_confirm(line_buffer, settings, queue, convert);
        } else {
            int ready = wait_for_input(fd, int(timeout));
            if (ready == 0)
                return LOG_CARRY_ON;
            // A signal that asks for no stop (SIGHUP and the like) only
            // cuts the wait short.
            bool interrupted = ready < 0 && errno == EINTR && got_signal == 0;
            if (ready < 0 && !interrupted) {
                if (got_signal == 0)
                    log_message(LOG_ERR, "error on poll, stopping");
                return LOG_STOP;
            }
        }
        timeout = window_left_ms(started);
        if (timeout <= 0)
            return LOG_CARRY_ON;
    }
}

void read_log_file(const module_settings &settings, event_ring &queue, int fd,
                   log_time_converter convert)
{
    handle_kept_lines(settings, queue, convert);
    for (;;) {
        if (take_line())
            handle_and_confirm(line_buffer, settings, queue, convert);
        else if (reader.at_end)
            return;
        else
            fill_input(fd);
    }
}

void log_monitor_confirm(int fd)
{
    confirm_fd = fd;
    confirm();  // ready to read
}

bool stash_log_input(int fd)
{
    if (reader.at_end || state_pending_count() == PENDING_LINES)
        return false;
    fill_input(fd);
    char line[LOG_LINE_SIZE];
    while (state_pending_count() < PENDING_LINES && take_line(line)) {
        // A copy of a line already handled or kept is answered and dropped.
        if (state_previous_read_at() < 0 || !state_handled_before(line)) {
            state_pending_add(line, counts_from());
            state_save();
        }
        confirm();
    }
    return !reader.at_end;
}

void finish_log_input(const module_settings &settings, event_ring &queue, int fd)
{
    // Past the stop deadline no date tool runs: lines wait for the next
    // start, kept with the rest.
    if (!stop_deadline_passed())
        handle_kept_lines(settings, queue, clock_log_time);
    for (;;) {
        if (!take_line()) {
            pollfd watched = {fd, POLLIN, 0};
            if (reader.at_end || poll(&watched, 1, 0) <= 0 || (watched.revents & POLLNVAL))
                return;
            fill_input(fd);
            continue;
        }
        if (stop_deadline_passed() && state_pending_add(line_buffer, counts_from())) {
            state_save();
            confirm();
        } else {
            handle_and_confirm(line_buffer, settings, queue, clock_log_time);
        }
    }
}

void discard_log_input(int fd)
{
    while (got_signal == 0 && !reader.at_end) {
        if (!take_line()) {
            pollfd watched = {fd, POLLIN, 0};
            int ready = poll(&watched, 1, -1);
            if (ready < 0 && errno != EINTR)
                return;
            if (ready > 0 && (watched.revents & POLLNVAL))
                return;
            if (ready > 0)
                fill_input(fd);
            continue;
        }
        confirm();
    }
}

void log_monitor_reset()
{
    reader.start = 0;
    reader.end = 0;
    reader.at_end = false;
    reader.state = READING;
    cut_lines = rate_limited_warning{};
    untimed_events = rate_limited_warning{};
}
