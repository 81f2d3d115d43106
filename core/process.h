// Process state: the two process-wide values every part may read, got_signal
// (set only by the stop-signal handler) and start_timestamp (set once by
// start-up), and the signal handling of the daemon. A base module: its header
// includes no other module of the daemon, so any part may read these values
// without depending on start-up.
#pragma once
#include <csignal>
#include <cstdint>

// Number of the signal that asked for a stop; 0 while running.
extern volatile sig_atomic_t got_signal;
// Epoch seconds taken after the start-up delay (core/clock.h).
extern int32_t start_timestamp;

void handle_stop_signal(int signal_number);

// SIGHUP and SIGUSR2 are noted, SIGUSR1 asks for the status, and SIGALRM and
// SIGPIPE are passed over, so that none of them ends the daemon.
void install_harmless_signals();
// Logs, once per signal received since the last call, that HUP or USR2 was
// ignored. Called by the loop, never by a handler.
void report_noted_signals();
// True once after SIGUSR1 came (any number of times) since the last call.
bool take_status_request();

// Opens each of descriptors 0, 1 and 2 that is closed on null_path, so that
// no file the daemon opens later takes the place of a standard stream. -1
// when one cannot be opened.
int open_standard_descriptors(const char *null_path = "/dev/null");

// Sets SIGCHLD, SIGINT, SIGTERM and SIGQUIT back to their default and
// unblocks them, whatever the daemon inherited. First thing at start.
void reset_inherited_signals();
// Installs handle_stop_signal for SIGINT, SIGTERM and SIGQUIT so that it
// interrupts waits. After the start-up delay, which they end by default.
void install_stop_handler();
