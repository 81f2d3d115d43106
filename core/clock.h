// The daemon's clock: every use of the router's date tool goes through here
// (the start time, the time of a poll phase's events, the text of a
// timestamp, and the conversion of a log line's local time). When the date
// tool fails for the daemon's own time, the reason is logged as for any tool
// and the system clock answers instead: it gives the same seconds and, in
// the same time zone, the same text. A log line's time has no such fallback:
// a line whose stamp the tool cannot read is never given a time it did not
// carry. Owns only the last log stamp converted and its seconds.
#pragma once
#include <cstdint>
#include "core/events.h"  // TIMESTAMP_TEXT_SIZE

// The start time ("date +%s"). When the tool fails: "Warning: unable to get
// start timestamp", the tool's reason, and the system clock.
int32_t clock_start_time();

// The time of the events a poll phase raises ("date +%s"). When the tool
// fails: the tool's reason, and the system clock.
int32_t clock_now();

// Fills text (TIMESTAMP_TEXT_SIZE bytes) with the local time of seconds as
// "YYYY-MM-DD hh:mm:ss", using the date tool. When the tool fails: "Warning:
// unable to prepare timestamp", the tool's reason, and the same text made
// from the system's own time-zone rules.
void format_timestamp(int32_t seconds, char *text);

// True when text begins with the shape "YYYY-MM-DD hh:mm:ss" (digits where
// the letters are); only such a text ever reaches the shell.
bool is_log_time_text(const char *text);

// Converts a local time of exactly the shape "YYYY-MM-DD hh:mm:ss" (19
// characters; any other text is refused before the shell sees it) to epoch
// seconds with the date tool; -1 on failure, with nothing logged. The tool
// runs once for consecutive calls with the same text; a failure is not kept.
int32_t clock_log_time(const char *time_text);
// A converter of that shape: the log monitor takes one as a parameter.
typedef int32_t (*log_time_converter)(const char *time_text);
