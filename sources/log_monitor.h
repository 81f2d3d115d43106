// System log monitor: reads the router's system-log lines from standard
// input, one second per poll phase, and turns configuration changes,
// password changes and failed logins into queued events. The only place
// where a failing system call stops the daemon.
#pragma once
#include <cstdint>
#include "config/settings.h"
#include "core/clock.h"
#include "core/queues.h"

constexpr int LOG_LINE_SIZE = 1024;  // a line of at most 1023 characters

enum log_watch_result { LOG_CARRY_ON = 0, LOG_STOP = 1 };

// Each reader below takes the conversion of a line's local time as its last
// parameter: the daemon's is the clock's date tool; a test may hand in a
// stand-in so that no tool runs.

// Converts "YYYY-MM-DD hh:mm:ss" at the start of line to epoch seconds; -1
// when the text has another shape or the conversion fails.
int32_t log_line_time(const char *line, log_time_converter convert = clock_log_time);

// Classifies one line and appends at most one event to queue (or counts it
// in a storm); true when it did either.
bool handle_log_line(const char *line, const module_settings &settings, event_ring &queue,
                     log_time_converter convert = clock_log_time);

// One window of one second on descriptor fd (0 in the daemon): every line
// that arrives is handled. LOG_STOP when the wait failed.
log_watch_result watch_log_input(const module_settings &settings, event_ring &queue, int fd = 0,
                                 log_time_converter convert = clock_log_time);

// Reads fd, which must be a regular file, to its end and handles every line
// as the watch does, but never waits: for tests that feed a whole input at
// once. The end of input is noted as the watch notes it.
void read_log_file(const module_settings &settings, event_ring &queue, int fd,
                   log_time_converter convert = clock_log_time);

// Confirmations for the system logger: writes "OK" on fd now (ready to
// read) and once for every line read, as soon as the line and whatever it
// raised would survive a kill of the daemon. -1 turns them off.
void log_monitor_confirm(int fd);

// While a tool runs: reads what fd holds into the kept lines (answering each
// once it is kept), to be handled after the run. False when the input has
// ended or no more lines can be kept.
bool stash_log_input(int fd = 0);

// At a stop: handles the lines read and what fd still holds, until its end;
// once the stop deadline has passed, lines are kept for the next start.
void finish_log_input(const module_settings &settings, event_ring &queue, int fd = 0);

// A disabled daemon in confirmation mode: answers every line of fd and
// drops it, until the input ends or a stop signal comes.
void discard_log_input(int fd = 0);

// Forgets everything read but not yet handled, and the end of input; for
// tests that feed several inputs to one process.
void log_monitor_reset();
