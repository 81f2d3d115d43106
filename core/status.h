// The daemon's figures, for an administrator who asks whether alerts still
// go out: per channel the notifications sent and failed, what waits and the
// last outcome with its reason; the events raised per kind and the storms
// being counted; the log lines read, cut and too old, and the daemon's own
// messages dropped. Owns those counters and the status file of the state
// folder (core/state.h), "status", which it replaces atomically at most once
// a second and only when a figure other than the lines read changed. The
// same text is read back by "norvale-eventd --status" (core/status_command.h).
// Fixed buffers; nothing is allocated.
#pragma once
#include <cstddef>
#include <cstdint>
#include "core/events.h"

constexpr const char *STATUS_FILE = "status";
constexpr const char *STATUS_HEADER = "norvale-eventd status 1";
constexpr const char *PROC_SELF_STAT = "/proc/self/stat";
constexpr int STATUS_CHANNELS_MAX = 4;
constexpr int STATUS_NAME_SIZE = 16;
constexpr int STATUS_TO_SIZE = 128;      // the recipient of the last failure, cut
constexpr int STATUS_REASON_SIZE = 320;  // its reason line, cut
constexpr int STATUS_PATH_SIZE = 256;
constexpr size_t STATUS_TEXT_SIZE = 16384;
// Every field at its longest, each byte of its texts escaped (4 bytes).
static_assert(STATUS_TEXT_SIZE > 512 + 4 * STATUS_PATH_SIZE + EVENT_CODE_COUNT * 64 +
                  STATUS_CHANNELS_MAX * (200 + 4 * (STATUS_NAME_SIZE + STATUS_TO_SIZE + STATUS_REASON_SIZE)),
              "the status file always fits");
constexpr int64_t STATUS_WRITE_EVERY_MS = 1000;

struct channel_figures {
    char name[STATUS_NAME_SIZE];
    uint64_t sent;
    uint64_t failed;
    uint32_t waiting;     // failed notifications waiting for a retry
    int32_t next_retry;   // epoch seconds of the next timed retry; 0 none
    int32_t last_success; // epoch seconds; 0 never
    int32_t last_failure;
    bool failing;         // the last attempt failed
    char to[STATUS_TO_SIZE];          // whom the last failure was for
    char reason[STATUS_REASON_SIZE];  // why, as the log said it
};

struct status_figures {
    int32_t pid;
    uint64_t start_ticks;  // the process's start, in clock ticks after boot
    int32_t started;       // epoch seconds
    int32_t stopped;       // epoch seconds of an orderly stop; 0 while running
    char settings[STATUS_PATH_SIZE];
    int channel_count;
    channel_figures channels[STATUS_CHANNELS_MAX];
    uint64_t raised[EVENT_CODE_COUNT];  // per event code; [0] unused
    int32_t storm_counted[EVENT_CODE_COUNT];  // -1: no storm of that kind
    int32_t storm_since[EVENT_CODE_COUNT];    // event time of the first counted
    uint64_t lines_read;
    uint64_t lines_cut;
    uint64_t lines_too_old;
    uint64_t messages_dropped;
};

// The running daemon's figures.
extern status_figures daemon_status;

// At start: this process, its start time, the settings file it read.
void status_begin(int32_t started, const char *settings_path, const char *proc_stat = PROC_SELF_STAT);
// The channel at index (the order of the channel table) and what waits for it.
void status_set_channel(int index, const char *name, uint32_t waiting, int32_t next_retry);

// The outcome of one attempt on channel index at now; to is whom it was
// for (may be null), reason why it failed.
void status_note_sent(int index, int32_t now);
void status_note_failed(int index, int32_t now, const char *to, const char *reason);
// An event raised by a source, counted in a storm or not.
void status_note_raised(int32_t code);
enum status_counter { LINES_READ, LINES_CUT, LINES_TOO_OLD, MESSAGES_DROPPED };
void status_count(status_counter which);
// An orderly stop at now: the last status says so.
void status_note_stopped(int32_t now);

// The text of the status file; its length (at least size when cut short).
size_t status_text(const status_figures &figures, char *buffer, size_t size);
// Reads a status file's text; false, with why, when it is not one.
bool status_parse(const char *text, size_t size, status_figures &figures, const char **why);

// Writes the status file when a figure other than the lines read changed and
// the last write is at least a second old (now: monotonic milliseconds), or
// always. Nothing without a state folder.
void status_save(int64_t now_ms, bool always = false);

// The start of the process whose stat file (/proc/PID/stat) is stat_path,
// in clock ticks after boot; 0 when it cannot be read or the process has
// ended (a zombie).
uint64_t process_start_ticks(const char *stat_path);

// Logs the one-line summary and a line per failing channel (SIGUSR1).
void status_log_summary();
