// The daemon's own messages: every text it reports goes through log_message,
// to the system log socket "/dev/log" (facility daemon once opened). Owns the
// connection to that socket; it must never hold the daemon for long: a
// message waits a short bounded time for room and is otherwise counted as
// dropped, and a later warning says how many were.
#pragma once
#include <cstdint>
#include <syslog.h>  // the LOG_* priorities

constexpr const char *LOG_SOCKET_PATH = "/dev/log";
constexpr int LOG_WAIT_PER_MESSAGE_MS = 100;  // for room in the socket
constexpr int LOG_WAIT_PER_CYCLE_MS = 1000;   // all messages of a cycle together

// Opens the log with ident (the program's base name), with the pid and
// facility LOG_DAEMON, and connects at once. Messages logged before this
// carry the system defaults: the program's short name, LOG_USER, no pid.
void log_open(const char *ident, const char *socket_path = LOG_SOCKET_PATH);

// Logs one message built from a printf-style format at the given priority.
void log_message(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));

// How many messages were logged so far, and the text of the last (its first
// LOG_LAST_SIZE - 1 bytes), whether the system log took it or not: what a
// part that failed logged last says why it failed.
constexpr int LOG_LAST_SIZE = 320;
uint32_t log_message_count();
const char *log_last_message();

// Gives the messages of a new cycle their whole waiting time again.
void log_cycle_start();

// Also writes every message as "ident: text\n" onto fd (-1: no longer); a
// non-zero priority mask (as for setlogmask) copies only those priorities.
void log_copy_to(int fd, int priority_mask = 0);

// A warning given at once, then at most once a minute with the number of
// occurrences since the last one.
struct rate_limited_warning {
    bool given;
    int64_t last;   // monotonic seconds of the last warning
    int32_t count;  // occurrences not yet reported
};
constexpr int64_t WARNING_INTERVAL = 60;

// Notes one occurrence at now; the count to report when a warning is due,
// else 0.
int32_t warning_due(rate_limited_warning &warning, int64_t now);
int64_t monotonic_seconds();

// While on, each message is also written to standard error, one line each, so
// that a start by hand shows what the log gets.
void log_also_to_stderr(bool on);
