// Command runner: runs the router's tools through "/bin/sh -c", waits for
// them and gives back their raw wait status, optionally capturing the first
// bytes of their output. Children never see the daemon's standard input (it
// carries the system log) nor any other descriptor of the daemon. No tool may
// hold the daemon: every run has a time limit, a stop cuts runs short, and a
// tool never outlives the daemon. Owns the record of the last run's outcome.
#pragma once
#include <cstddef>
#include <cstdint>

// Slot i holds the descriptor the next child gets as its descriptor i:
// i itself = inherited, other >= 0 = a duplicate of it, negative = /dev/null
// (for standard error: a pipe from which the runner keeps the first line).
// Reset to -1 after every attempt to start a child.
extern thread_local int stdio_redirect[3];

// At most this many arguments after the program reach it.
constexpr int MAX_COMMAND_ARGS = 62;

// A tool still running after TOOL_TIME_LIMIT_S seconds gets SIGTERM, with its
// whole process group, and SIGKILL TOOL_KILL_GRACE_S seconds later. Once a
// stop has been asked for, runs go on for at most STOP_DEADLINE_S seconds:
// a run still going then is killed and no run starts after it, so that the
// whole stop fits in the 5 s that the system logger grants before it kills.
constexpr int TOOL_TIME_LIMIT_S = 30;
constexpr int TOOL_KILL_GRACE_S = 2;
constexpr int STOP_DEADLINE_S = 3;

struct run_timings {
    int limit_ms;
    int kill_grace_ms;
    int stop_deadline_ms;
};
constexpr run_timings DAEMON_TIMINGS = {
    TOOL_TIME_LIMIT_S * 1000, TOOL_KILL_GRACE_S * 1000, STOP_DEADLINE_S * 1000};
// The timings in force; the daemon keeps DAEMON_TIMINGS, unit tests shorten them.
extern run_timings command_timings;

// How the last run ended.
enum run_end {
    RUN_NOT_STARTED,  // no child (no process, or the stop deadline had passed)
    RUN_EXITED,       // it ended on its own; status says how
    RUN_TIMED_OUT,    // killed at the time limit
    RUN_STOPPED,      // killed at the stop deadline
};

constexpr int TOOL_NAME_SIZE = 32;
constexpr int ERROR_LINE_SIZE = 200;  // bytes kept of the tool's first error line

// The outcome of the last run, kept so that callers can say why a send failed.
struct run_record {
    bool recorded;                 // false until a run is made, or after forget_last_run
    char tool[TOOL_NAME_SIZE];     // first word of the command line
    run_end end;
    int status;                    // raw wait status when RUN_EXITED
    int seconds;                   // how long it ran when it was killed
    char error_line[ERROR_LINE_SIZE];
    int error_length;
};
extern run_record last_run;

// Runs program (found as execvp finds it) with the texts that follow, up to a
// null. Result: the raw waitpid status (0 = exit 0, 256 = program could not be
// started, SIGKILL or SIGTERM for a run cut off), or -1 when no child could be
// started or waiting for it failed.
int run_command(const char *program, ...);

// Records fd as the next child's standard output (ignored for 0 and 2).
void set_child_stdout(int fd);

// Runs command_line through "/bin/sh -c" and stores at most size bytes of its
// output in buffer, NUL-terminated (buffer holds size + 1 bytes). Result: the
// number of bytes stored, or -1 when no pipe could be made, the read failed
// or the run did not end on its own.
int run_command_output(const char *command_line, char *buffer, size_t size);

// Runs command_line and reads its output as a decimal number: optional
// leading white space and sign, digits, then the end or a newline. -1 on any
// failure; values beyond 32 bits are clamped.
int32_t run_command_number(const char *command_line);

// Fills text (TIMESTAMP_TEXT_SIZE bytes) with the local time of seconds as
// "YYYY-MM-DD hh:mm:ss", using the date tool.
void format_timestamp(int32_t seconds, char *text);

// Runs one command line through "/bin/sh -c"; the notifiers send through this
// pointer so that unit tests can see the exact command text. The shell is
// told to become the tool, so that the tool itself is the child the runner
// limits and that dies with the daemon.
extern int (*run_shell)(const char *command_line);
int run_shell_command(const char *command_line);

// True once a stop was asked for (got_signal) and the stop deadline is over.
bool stop_deadline_passed();

// Clears the run record, so that a failure without a run shows no stale reason.
void forget_last_run();

// Fills text with why the last run failed: "exit status 1", "killed by
// signal 9", "timed out after 30 s", "not found", ... and, after ": ", the
// first line the tool wrote to standard error with control bytes escaped.
void describe_last_run(char *text, size_t size);

// After a failure message: "Tool %s failed: %s" at priority, when the last
// recorded run failed; nothing otherwise.
void log_last_run_failure(int priority);
