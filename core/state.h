// What the daemon owes, kept across a stop, a crash or a restart: the events
// waiting, the SNMP and e-mail reserve records, the SMS retries, the events
// counted in storms, the last log lines that raised something, the lines read
// but not yet handled, and when the input was last read. All of it lives in
// one file of the state folder on /run (it outlives the daemon, not the boot,
// and a boot is reported anyway), replaced atomically whenever it changes.
// A folder or file that another user could have placed or changed is
// refused; the daemon then keeps nothing, as it did before. Owns the folder,
// the file and the lists of lines; the queues it keeps belong to core/queues.
#pragma once
#include <cstddef>
#include <cstdint>
#include "config/settings.h"
#include "core/queues.h"

constexpr const char *STATE_DIR = "/run/norvale-eventd";
constexpr const char *STATE_FILE = "owed";
constexpr const char *STATE_HEADER = "norvale-eventd owed 1";
constexpr size_t STATE_FILE_MAX = 1 << 20;
constexpr int KEPT_LINE_SIZE = 1024;    // a log line of at most 1023 bytes
constexpr int RECENT_LINES = 64;        // lines that raised something, last first
constexpr int PENDING_LINES = 64;       // lines read while a tool ran
// A line stamped before the start is still handled when stamped at most this
// long before the previous run last read its input.
constexpr int32_t RESTART_GAP_SLACK_S = 2;

// Checks the state folder (created with mode 0700 when missing) and takes
// the settings and the event queue it keeps. False, with an error naming
// what was refused, when the folder cannot be used: nothing is kept then.
bool state_open(const module_settings &settings, event_ring &queue, const char *dir = STATE_DIR);

// Takes back what the previous run kept: into the event queue, the reserve
// rings, the SMS retries and the storm counts, in their order. An SMS retry
// for a recipient no longer configured is dropped with a notice; a mail
// group whose addresses changed is mailed from its first address. A file
// that cannot be used is renamed with ".bad" and warned about. The number of
// notifications taken back, or -1 when there was no kept state.
int state_load();

// Parses a kept state of size bytes into the live queues and lists (emptied
// first); false, with why, when it is cut short, corrupt or of another
// version, and everything is emptied again. For state_load and its fuzzer.
bool state_parse(const char *text, size_t size, char *why, size_t why_size);

// Writes the kept state when what is owed differs from what was last
// written (always: in any case, as at the stop). Called before every tool
// run, after a log line that raised something, and at the end of every
// cycle; a line that raises nothing changes nothing.
void state_save(bool always = false);

// The text of the kept state as state_save would write it; its length.
size_t state_text(char *buffer, size_t size);

// True while a state folder is in use.
bool state_kept();
// The folder given to state_open.
const char *state_folder();
// Replaces the file name of the folder in use with text, atomically (a
// temporary file renamed over it); false, with errno, when it could not.
bool state_replace_file(const char *name, const char *text, size_t length);

// When the previous run last read its input (at the latest its start: an
// idle run writes nothing for what it reads); -1 without a kept state.
int32_t state_previous_read_at();
// Notes that the input was read at now (written with the next change).
void state_note_read(int32_t now);

// Whether line (whole, newline included) is a copy of one of the last
// RECENT_LINES lines the previous run handled, or of a line it kept
// unhandled after answering it; each matches one copy only.
bool state_handled_before(const char *line);
// Notes a line that raised something.
void state_note_handled(const char *line);

// Lines read while a tool ran, kept until they are handled.
// Each with the oldest stamp it may carry and still count, as the run that
// read it judges lines (its start, or the restart gap before it): a line
// kept across restarts is judged as when it was read.
bool state_pending_add(const char *line, int32_t counts_from = INT32_MIN);  // false when full
// Copies the oldest into line (KEPT_LINE_SIZE bytes) and, when given, its
// counts_from; false when none. It stays kept until state_pending_drop.
bool state_pending_first(char *line, int32_t *counts_from = nullptr);
void state_pending_drop();
int state_pending_count();
