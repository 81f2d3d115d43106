// Command runner: runs the router's tools through "/bin/sh -c", waits for
// them and gives back what happened as a value (raw wait status, how the run
// ended, the first line of the tool's standard error), optionally capturing
// the first bytes of their output. Children never see the daemon's standard
// input (it carries the system log) nor any other descriptor of the daemon.
// No tool may hold the daemon: every run has a time limit, a stop cuts runs
// short, and a tool never outlives the daemon. Keeps no record between runs
// beyond the moment a stop was first seen.
#pragma once
#include <cstddef>
#include <cstdint>

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

// How one run is made. Slot i of stdio gives the child's descriptor i: i
// itself = inherited, other >= 0 = a duplicate of it (the runner closes a
// recorded descriptor above 2 once the child is started), negative =
// /dev/null (for standard error: a pipe from which the runner keeps the
// first line).
struct run_options {
    int stdio[3];
    run_timings timings;
};
constexpr run_options DAEMON_RUN = {{-1, -1, -1}, DAEMON_TIMINGS};

// How a run ended.
enum run_end {
    RUN_REFUSED,      // no run was tried: the caller refused the send and said why
    RUN_NOT_STARTED,  // no child (no process, or the stop deadline had passed)
    RUN_EXITED,       // it ended on its own; status says how
    RUN_TIMED_OUT,    // killed at the time limit
    RUN_STOPPED,      // killed at the stop deadline
};

constexpr int TOOL_NAME_SIZE = 32;
constexpr int ERROR_LINE_SIZE = 200;  // bytes kept of the tool's first error line
// Room for describe_run's text: the status and the escaped error line.
constexpr int RUN_REASON_SIZE = 64 + 4 * ERROR_LINE_SIZE;

// What one run did, so that callers can say why a send failed.
struct run_result {
    run_end end;
    int status;                 // raw wait status when RUN_EXITED; -1 without a child
    int seconds;                // how long it ran when it was killed
    char tool[TOOL_NAME_SIZE];  // first word of the command line
    int error_length;
    char error_line[ERROR_LINE_SIZE];
};

// A result for a send the caller refused before running anything.
run_result refused_run();
// True when the tool ran and exited with status 0.
bool run_succeeded(const run_result &result);
// The raw status as callers compare it: 0 success, -1 no child, else the
// wait status (SIGKILL or SIGTERM for a run cut off).
int run_status(const run_result &result);

// Runs argv[0] (found as execvp finds it) with the arguments that follow, up
// to a null; at most MAX_COMMAND_ARGS of them reach it.
run_result run_program(const char *const *argv, const run_options &options = DAEMON_RUN);

// Runs program with the texts that follow, up to a null, as the daemon runs
// tools. Result: run_status of the run.
int run_command(const char *program, ...);

// Runs command_line through "/bin/sh -c" and stores at most size bytes of its
// output in buffer, NUL-terminated (buffer holds size + 1 bytes). Result: the
// number of bytes stored, or -1 when no pipe could be made, the read failed
// or the run did not end on its own. result, when given, receives the run.
int run_command_output(const char *command_line, char *buffer, size_t size,
                       run_result *result = nullptr, const run_options &options = DAEMON_RUN);

// Runs command_line and reads its output as a decimal number: optional
// leading white space and sign, digits, then the end or a newline. -1 on any
// failure; values beyond 32 bits are clamped.
int32_t run_command_number(const char *command_line, run_result *result = nullptr,
                           const run_options &options = DAEMON_RUN);

// Runs one command line through "/bin/sh -c"; the shell is told to become
// the tool, so that the tool itself is the child the runner limits and that
// dies with the daemon. The notifiers take a shell_runner as a parameter,
// whose default is run_shell_command, so that tests see the exact text.
typedef run_result (*shell_runner)(const char *command_line);
run_result run_shell_command(const char *command_line);
run_result run_shell_with(const char *command_line, const run_options &options);

// What the daemon does around every tool run: before_run (when set) just
// before a tool starts, so that what it keeps for a restart is current; and
// on_input whenever input_fd (when 0 or more) has something to read while a
// tool runs, so that the system log is still answered; false from it leaves
// the input alone for the rest of that run. Neither may run a tool.
struct run_hooks {
    void (*before_run)();
    int input_fd;
    bool (*on_input)();
};
void set_run_hooks(const run_hooks &hooks);

// True once a stop was asked for (got_signal) and the stop deadline is over.
bool stop_deadline_passed(const run_timings &timings = DAEMON_TIMINGS);

// Fills text with why the run failed: "exit status 1", "killed by signal 9",
// "timed out after 30 s", "not found", ... and, after ": ", the first line
// the tool wrote to standard error with control bytes escaped.
void describe_run(const run_result &result, char *text, size_t size);

// After a failure message: "Tool %s failed: %s" at priority, when the run
// was made and failed; nothing for a success or a refused send.
void log_run_failure(int priority, const run_result &result);
