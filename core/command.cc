#include "core/command.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/events.h"
#include "core/log.h"
#include "core/process.h"

extern char **environ;

namespace {

// Longest command line handed to the shell, the "exec " in front included.
constexpr size_t SHELL_LINE_SIZE = 2048;
constexpr char SHELL_EXEC[] = "exec ";
// Where the kernel cannot tell us of the child's end, it is looked for this often.
constexpr int CHILD_CHECK_MS = 10;
constexpr int PATH_SIZE = 512;

long long now_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

long long stop_seen_ms = -1;
run_hooks hooks = {nullptr, -1, nullptr};

// When runs must be over because of a stop; -1 while no stop is asked for.
long long stop_deadline_ms(const run_timings &timings)
{
    if (got_signal == 0) {
        stop_seen_ms = -1;
        return -1;
    }
    if (stop_seen_ms < 0)
        stop_seen_ms = now_ms();
    return stop_seen_ms + timings.stop_deadline_ms;
}

// Everything the child needs, worked out before the vfork: the child shares
// the daemon's memory until it execs, so it only reads this and makes
// async-signal-safe system calls.
struct child_plan {
    const char *path;
    char *const *argv;
    int fds[3];  // put on 0, 1, 2: its own number = inherited, negative = closed
    bool error_pipe;  // fds[2] is the runner's pipe, non-blocking on our side only
    pid_t parent;
};

void close_inherited_descriptors()
{
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3u, ~0u, 0u) == 0)
        return;
#endif
    // Only kernels older than 5.9 get here.
    for (int fd = getdtablesize() - 1; fd >= 3; fd--)
        close(fd);
}

[[noreturn]] void child_main(const child_plan &plan)
{
    // Ignored and caught signals alike start out default in the tool.
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; sig++) {
        if (sig != SIGKILL && sig != SIGSTOP)
            sigaction(sig, &dfl, nullptr);
    }
    // A group of its own, so that a tool cut off is cut off with its helpers;
    // and killed with the daemon, should the daemon die before it ends.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != plan.parent)
        _exit(1);
    for (int i = 0; i < 3; i++) {
        if (plan.fds[i] == i)
            continue;
        if (plan.fds[i] >= 0)
            dup2(plan.fds[i], i);
        else
            close(i);
    }
    // The tool writes to a blocking pipe, however slowly we read.
    if (plan.error_pipe)
        fcntl(2, F_SETFL, 0);
    close_inherited_descriptors();
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(plan.path, plan.argv, environ);
    _exit(1);
}

// The program as execvp would find it: a name without '/' is looked up in
// PATH; one that is nowhere found is tried as it is, and fails.
const char *find_program(const char *program, char *found)
{
    if (strchr(program, '/'))
        return program;
    const char *path = getenv("PATH");
    if (!path)
        path = "/bin:/usr/bin";
    while (*path) {
        const char *colon = strchr(path, ':');
        size_t length = colon ? size_t(colon - path) : strlen(path);
        int n = snprintf(found, PATH_SIZE, "%.*s%s%s", int(length), path, length ? "/" : "",
                         program);
        if (n > 0 && n < PATH_SIZE && access(found, X_OK) == 0)
            return found;
        path += length + (colon ? 1 : 0);
    }
    return program;
}

// The runner owns a recorded descriptor above 2: it is closed once the
// child has it (a capture pipe's write end must be held by the child alone).
void close_recorded(const run_options &options)
{
    for (int fd : options.stdio) {
        if (fd > 2)
            close(fd);
    }
}

// The first word of a shell command line, or the program's base name.
void note_tool(const char *const *argv, run_result &run)
{
    const char *name = argv[0];
    if (argv[1] && strcmp(argv[1], "-c") == 0 && argv[2]) {
        name = argv[2];
        if (strncmp(name, SHELL_EXEC, sizeof SHELL_EXEC - 1) == 0)
            name += sizeof SHELL_EXEC - 1;
    } else if (strrchr(name, '/')) {
        name = strrchr(name, '/') + 1;
    }
    size_t n = strcspn(name, " \t\n");
    if (n >= sizeof run.tool)
        n = sizeof run.tool - 1;
    memcpy(run.tool, name, n);
    run.tool[n] = '\0';
    run.end = RUN_NOT_STARTED;
    run.status = -1;
    run.seconds = 0;
    run.error_length = 0;
}

// Keeps the first line of the tool's standard error and drops the rest, so
// that however much it writes it never waits on us. False at end of file.
// A bounded number of reads per call, so that the limits are still watched.
bool read_error_output(int fd, bool &line_done, run_result &run)
{
    char chunk[512];
    for (int reads = 0; reads < 64; reads++) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got == 0)
            return false;
        if (got < 0)
            return errno == EINTR || errno == EAGAIN;
        for (ssize_t i = 0; i < got && !line_done; i++) {
            if (chunk[i] == '\n' || run.error_length == ERROR_LINE_SIZE)
                line_done = true;
            else
                run.error_line[run.error_length++] = chunk[i];
        }
    }
    return true;
}

// A child's end, seen through a pidfd where the kernel has them.
int open_child_handle(pid_t pid)
{
#ifdef SYS_pidfd_open
    return int(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

struct child_watch {
    pid_t pid;
    int error_fd;    // -1 once at end of file
    int handle;      // pidfd, or -1
    bool line_done;
    long long started;
    long long kill_at;  // when SIGKILL goes to the group; -1 before any SIGTERM
    bool input_watched;
    const run_timings &timings;
    run_result &run;
};

// Cuts the run short when its time is up or the stop deadline has come.
// The time left until the next thing to do, in milliseconds.
long long enforce_limits(child_watch &w)
{
    long long now = now_ms();
    long long limit_at = w.started + w.timings.limit_ms;
    long long stop_at = stop_deadline_ms(w.timings);
    if (stop_at >= 0 && now >= stop_at && w.run.end != RUN_STOPPED) {
        // The daemon is going: no grace left to give.
        w.run.end = RUN_STOPPED;
        w.run.seconds = int((now - w.started) / 1000);
        kill(-w.pid, SIGKILL);
        w.kill_at = LLONG_MAX;
    } else if (w.kill_at < 0 && now >= limit_at) {
        w.run.end = RUN_TIMED_OUT;
        w.run.seconds = (w.timings.limit_ms + 999) / 1000;
        kill(-w.pid, SIGTERM);
        w.kill_at = now + w.timings.kill_grace_ms;
    } else if (w.kill_at >= 0 && w.kill_at != LLONG_MAX && now >= w.kill_at) {
        kill(-w.pid, SIGKILL);
        w.kill_at = LLONG_MAX;
    }
    long long next = w.kill_at >= 0 ? w.kill_at : limit_at;
    if (stop_at >= 0 && w.run.end != RUN_STOPPED && stop_at < next)
        next = stop_at;
    long long left = next == LLONG_MAX ? 1000 : next - now;
    if (w.handle < 0 && left > CHILD_CHECK_MS)
        left = CHILD_CHECK_MS;
    return left < 0 ? 0 : left;
}

// Waits for the child while reading its standard error; a stop signal or the
// time limit cuts the wait short. The raw wait status, or -1.
void wait_child(child_watch &w)
{
    int status = -1;
    for (;;) {
        pid_t done = waitpid(w.pid, &status, WNOHANG);
        if (done == w.pid)
            break;
        if (done < 0 && errno != EINTR) {
            status = -1;
            break;
        }
        long long left = enforce_limits(w);
        pollfd watched[3];
        int count = 0;
        if (w.error_fd >= 0)
            watched[count++] = {w.error_fd, POLLIN, 0};
        if (w.handle >= 0)
            watched[count++] = {w.handle, POLLIN, 0};
        int input = -1;
        if (w.input_watched && hooks.input_fd >= 0 && hooks.on_input) {
            input = count;
            watched[count++] = {hooks.input_fd, POLLIN, 0};
        }
        int ready = poll(watched, nfds_t(count), int(left));
        if (ready > 0 && w.error_fd >= 0 && watched[0].revents &&
            !read_error_output(w.error_fd, w.line_done, w.run)) {
            close(w.error_fd);
            w.error_fd = -1;
        }
        if (ready > 0 && input >= 0 && watched[input].revents && !hooks.on_input())
            w.input_watched = false;
    }
    if (w.run.end != RUN_NOT_STARTED) {
        kill(-w.pid, SIGKILL);  // whatever the cut-off tool left in its group
        if (status == 0)        // it ended well, but too late: still a failure
            status = SIGTERM;
    } else if (status != -1) {
        w.run.end = RUN_EXITED;
    }
    w.run.status = status;
    if (w.error_fd >= 0) {
        read_error_output(w.error_fd, w.line_done, w.run);
        close(w.error_fd);
    }
    if (w.handle >= 0)
        close(w.handle);
}

// /dev/null for the children, opened once and kept (close-on-exec), since
// every run needs it; -1 while it cannot be opened.
int dev_null()
{
    static int fd = -1;
    if (fd < 0)
        fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    return fd;
}

// Starts argv[0] with its descriptors as options say and waits for it.
run_result start_and_wait(const char *const *argv, const run_options &options)
{
    static const pid_t self = getpid();  // the daemon never forks but for its tools
    run_result run;
    note_tool(argv, run);
    child_plan plan;
    char found[PATH_SIZE];
    plan.path = find_program(argv[0], found);
    plan.argv = const_cast<char *const *>(argv);
    plan.parent = self;
    int null_fd = dev_null();
    int error_pipe[2] = {-1, -1};
    if (options.stdio[2] < 0 && pipe2(error_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        error_pipe[0] = error_pipe[1] = -1;
    for (int i = 0; i < 3; i++)
        plan.fds[i] = options.stdio[i] >= 0 ? options.stdio[i] : null_fd;
    plan.error_pipe = error_pipe[1] >= 0;
    if (plan.error_pipe)
        plan.fds[2] = error_pipe[1];

    pid_t pid = -1;
    if (hooks.before_run)
        hooks.before_run();
    if (!stop_deadline_passed(options.timings)) {
        // No handler of ours may run in the child while it shares our memory.
        sigset_t all;
        sigset_t saved;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &saved);
        pid = vfork();
        if (pid == 0)
            child_main(plan);
        sigprocmask(SIG_SETMASK, &saved, nullptr);
    }
    close_recorded(options);
    if (error_pipe[1] >= 0)
        close(error_pipe[1]);
    if (pid < 0) {
        if (error_pipe[0] >= 0)
            close(error_pipe[0]);
        return run;
    }
    child_watch w = {pid, error_pipe[0], open_child_handle(pid), false, now_ms(), -1, true,
                     options.timings, run};
    wait_child(w);
    return run;
}

// The shell becomes the tool ("exec "), so the tool is the child itself.
run_result run_shell_line(const char *command_line, const run_options &options)
{
    char line[SHELL_LINE_SIZE];
    int n = snprintf(line, sizeof line, "%s%s", SHELL_EXEC, command_line);
    const char *argv[] = {"/bin/sh", "-c", line, nullptr};
    if (n < 0 || size_t(n) >= sizeof line) {
        argv[2] = command_line;
        run_result run;
        note_tool(argv, run);  // a run refused, not one started
        close_recorded(options);
        return run;
    }
    return start_and_wait(argv, options);
}

// strtol-like base-10 conversion clamped to 32 bits; end receives the first
// character after the digits, or text itself when no digit was converted.
int32_t parse_clamped(const char *text, const char **end)
{
    errno = 0;
    char *stop = nullptr;
    long long value = strtoll(text, &stop, 10);
    *end = stop;
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return int32_t(value);
}

// Control bytes of a tool's message become \xNN, so one line stays one line.
void append_escaped(char *text, size_t size, size_t at, const char *bytes, int length)
{
    for (int i = 0; i < length && at + 1 < size; i++) {
        unsigned char c = (unsigned char)bytes[i];
        if (c < 0x20 || c == 0x7f) {
            if (at + 5 > size)
                break;
            snprintf(text + at, size - at, "\\x%02x", c);
            at += 4;
        } else {
            text[at++] = char(c);
        }
    }
    text[at < size ? at : size - 1] = '\0';
}

}  // namespace

run_result refused_run()
{
    run_result run;
    run.end = RUN_REFUSED;
    run.status = -1;
    run.seconds = 0;
    run.tool[0] = '\0';
    run.error_length = 0;
    return run;
}

bool run_succeeded(const run_result &result)
{
    return result.end == RUN_EXITED && result.status == 0;
}

int run_status(const run_result &result)
{
    return result.end == RUN_REFUSED || result.end == RUN_NOT_STARTED ? -1 : result.status;
}

run_result run_program(const char *const *argv, const run_options &options)
{
    const char *args[MAX_COMMAND_ARGS + 2];
    int argc = 0;
    for (; argc <= MAX_COMMAND_ARGS && argv[argc]; argc++)
        args[argc] = argv[argc];
    args[argc] = nullptr;
    return start_and_wait(args, options);
}

int run_command(const char *program, ...)
{
    const char *argv[MAX_COMMAND_ARGS + 2];
    int argc = 0;
    argv[argc++] = program;
    va_list ap;
    va_start(ap, program);
    for (const char *arg = va_arg(ap, const char *); arg; arg = va_arg(ap, const char *)) {
        if (argc <= MAX_COMMAND_ARGS)
            argv[argc++] = arg;
    }
    va_end(ap);
    argv[argc] = nullptr;
    return run_status(start_and_wait(argv, DAEMON_RUN));
}

int run_command_output(const char *command_line, char *buffer, size_t size, run_result *result,
                       const run_options &options)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0)
        return -1;
    run_options capture = options;
    if (fds[1] != 0 && fds[1] != 2)
        capture.stdio[1] = fds[1];
    run_result run = run_shell_line(command_line, capture);
    if (result)
        *result = run;
    if (fds[1] <= 2)  // not closed by the runner: only possible with stdio closed
        close(fds[1]);
    if (run.end != RUN_EXITED) {
        close(fds[0]);
        return -1;
    }
    // The write end was closed by the runner, so this read sees what the
    // child left in the pipe, or end of file.
    ssize_t got;
    do {
        got = read(fds[0], buffer, size);
    } while (got < 0 && errno == EINTR);
    close(fds[0]);
    if (got < 0)
        return -1;
    buffer[got] = '\0';
    return int(got);
}

int32_t run_command_number(const char *command_line, run_result *result,
                           const run_options &options)
{
    char output[1024];
    if (run_command_output(command_line, output, sizeof output - 1, result, options) < 0)
        return -1;
    const char *end = nullptr;
    int32_t value = parse_clamped(output, &end);
    if (end == output || (*end != '\0' && *end != '\n'))
        return -1;
    return value;
}

run_result run_shell_command(const char *command_line)
{
    return run_shell_line(command_line, DAEMON_RUN);
}

run_result run_shell_with(const char *command_line, const run_options &options)
{
    return run_shell_line(command_line, options);
}

void set_run_hooks(const run_hooks &given)
{
    hooks = given;
}

bool stop_deadline_passed(const run_timings &timings)
{
    long long at = stop_deadline_ms(timings);
    return at >= 0 && now_ms() >= at;
}

void describe_run(const run_result &r, char *text, size_t size)
{
    int n;
    if (r.end == RUN_TIMED_OUT)
        n = snprintf(text, size, "timed out after %d s", r.seconds);
    else if (r.end == RUN_STOPPED)
        n = snprintf(text, size, "stopped after %d s, the daemon is stopping", r.seconds);
    else if (r.end == RUN_NOT_STARTED || r.end == RUN_REFUSED)
        n = snprintf(text, size, "%s", got_signal ? "not started, the daemon is stopping"
                                                  : "not started");
    else if (WIFSIGNALED(r.status))
        n = snprintf(text, size, "killed by signal %d", WTERMSIG(r.status));
    else if (WEXITSTATUS(r.status) == 127)
        n = snprintf(text, size, "not found");
    else
        n = snprintf(text, size, "exit status %d", WEXITSTATUS(r.status));
    if (n < 0 || size_t(n) + 2 >= size || r.error_length == 0)
        return;
    memcpy(text + n, ": ", 3);
    append_escaped(text, size, size_t(n) + 2, r.error_line, r.error_length);
}

void log_run_failure(int priority, const run_result &result)
{
    // A result naming no tool is a stand-in's answer, not a run.
    if (result.end == RUN_REFUSED || result.tool[0] == '\0' || run_succeeded(result))
        return;
    char reason[RUN_REASON_SIZE];
    describe_run(result, reason, sizeof reason);
    log_message(priority, "Tool %s failed: %s", result.tool, reason);
}
