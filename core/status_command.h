// "norvale-eventd --status [--json]": reads the status the running daemon
// keeps in its state folder (core/status.h), tells whether that daemon still
// runs (its pid alive and still the same process, by its start time), runs
// the settings check on the settings file it read, and prints it all for a
// person or as one JSON object. It only reads: it never signals or changes
// the daemon. Owns that text and the exit status, as an LSB status command.
#pragma once
#include <cstdio>
#include "config/settings.h"
#include "core/state.h"

constexpr int STATUS_EXIT_RUNNING = 0;
constexpr int STATUS_EXIT_FAILING = 1;      // running; a channel's last attempt failed
constexpr int STATUS_EXIT_NOT_RUNNING = 3;  // no status, a stop, or a dead daemon's status
constexpr int STATUS_EXIT_UNKNOWN = 4;      // the status cannot be read

// Prints the status kept in dir on out; the exit status. settings_path is
// checked when no status names the daemon's settings file.
int run_status_command(const char *dir = STATE_DIR, FILE *out = stdout, bool json = false,
                       const char *settings_path = SETTINGS_PATH);
