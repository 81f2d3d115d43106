// The daemon's own messages: every text it reports goes through log_message,
// to the system log (facility daemon). Owns the connection to the log; it must
// never hold the daemon for long.
#pragma once
#include <syslog.h>  // the LOG_* priorities

// Opens the log with ident (the program's base name), LOG_PID and LOG_NDELAY,
// facility LOG_DAEMON. Messages logged before this carry the system defaults.
void log_open(const char *ident);

// Logs one message built from a printf-style format at the given priority.
void log_message(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));

// While on, each message is also written to standard error, one line each, so
// that a start by hand shows what the log gets.
void log_also_to_stderr(bool on);
