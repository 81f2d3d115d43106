// Start-up: the command line, the start-up delay, the settings check mode and
// the order of start-up; owns the daemon's exit status. It sits above every
// other module: it calls into all of them, and none of them includes it.
#pragma once
#include <cstdint>

// Converts the start-up delay argument the way strtol does in base 10, the
// whole argument consumed (an empty one is 0). False when characters remain.
bool parse_startup_delay(const char *text, int32_t *delay);

// The whole daemon: command line, delay, start-up, main loop. Exit status.
int daemon_main(int argc, char **argv);
