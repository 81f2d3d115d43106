// Command runner: runs the router's tools through "/bin/sh -c", waits for
// them and gives back their raw wait status, optionally capturing the first
// bytes of their output. Children never see the daemon's standard input (it
// carries the system log) nor any other descriptor of the daemon.
#pragma once
#include <cstddef>
#include <cstdint>

// Slot i holds the descriptor the next child gets as its descriptor i:
// i itself = inherited, other >= 0 = a duplicate of it, negative = /dev/null.
// Reset to -1 after every attempt to start a child.
extern thread_local int stdio_redirect[3];

// At most this many arguments after the program reach it.
constexpr int MAX_COMMAND_ARGS = 62;

// Runs program (found as execvp finds it) with the texts that follow, up to a
// null. Result: the raw waitpid status (0 = exit 0, 256 = program could not be
// started), or -1 when no child could be started or waiting for it failed.
int run_command(const char *program, ...);

// Records fd as the next child's standard output (ignored for 0 and 2).
void set_child_stdout(int fd);

// Runs command_line through "/bin/sh -c" and stores at most size bytes of its
// output in buffer, NUL-terminated (buffer holds size + 1 bytes). Result: the
// number of bytes stored, or -1 when no pipe could be made or the read failed.
int run_command_output(const char *command_line, char *buffer, size_t size);

// Runs command_line and reads its output as a decimal number: optional
// leading white space and sign, digits, then the end or a newline. -1 on any
// failure; values beyond 32 bits are clamped.
int32_t run_command_number(const char *command_line);

// Fills text (TIMESTAMP_TEXT_SIZE bytes) with the local time of seconds as
// "YYYY-MM-DD hh:mm:ss", using the date tool.
void format_timestamp(int32_t seconds, char *text);

// Runs one command line through "/bin/sh -c"; the notifiers send through this
// pointer so that unit tests can see the exact command text.
extern int (*run_shell)(const char *command_line);
int run_shell_command(const char *command_line);
