#include "core/command.h"
#include "core/events.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include "core/log.h"
#include <unistd.h>

thread_local int stdio_redirect[3] = {-1, -1, -1};

int (*run_shell)(const char *command_line) = run_shell_command;

namespace {

// Closes every descriptor from 3 up. One close_range call where the kernel has
// it; otherwise a loop, whose cost grows with the open-file limit.
void close_inherited_descriptors()
{
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3u, ~0u, 0u) == 0)
        return;
#endif
    for (int fd = getdtablesize() - 1; fd >= 3; fd--)
        close(fd);
}

void prepare_child(const char *const *argv)
{
    int null_fd = open("/dev/null", O_RDWR);
    for (int i = 0; i < 3; i++) {
        int slot = stdio_redirect[i];
        if (slot == i)
            continue;
        close(i);
        if (slot >= 0)
            dup2(slot, i);
        else if (null_fd >= 0)
            dup2(null_fd, i);
    }
    close_inherited_descriptors();
    execvp(argv[0], const_cast<char *const *>(argv));
    _exit(1);
}

void reset_stdio_redirect()
{
    for (int i = 0; i < 3; i++) {
        if (stdio_redirect[i] > 2)
            close(stdio_redirect[i]);
        stdio_redirect[i] = -1;
    }
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

}  // namespace

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

    pid_t pid = fork();
    if (pid == 0)
        prepare_child(argv);
    reset_stdio_redirect();
    if (pid < 0)
        return -1;
    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    return waited == pid ? status : -1;
}

void set_child_stdout(int fd)
{
    if (fd == 0 || fd == 2)
        return;
    stdio_redirect[1] = fd;
}

int run_command_output(const char *command_line, char *buffer, size_t size)
{
    int fds[2];
    if (pipe(fds) < 0)
        return -1;
    set_child_stdout(fds[1]);
    run_command("/bin/sh", "-c", command_line, (const char *)nullptr);
    if (fds[1] <= 2)  // not closed by the runner: only possible with stdio closed
        close(fds[1]);
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

int32_t run_command_number(const char *command_line)
{
    char output[1024];
    if (run_command_output(command_line, output, sizeof output - 1) < 0)
        return -1;
    const char *end = nullptr;
    int32_t value = parse_clamped(output, &end);
    if (end == output || (*end != '\0' && *end != '\n'))
        return -1;
    return value;
}

void format_timestamp(int32_t seconds, char *text)
{
    std::memcpy(text, "yyyy-mm-dd HH:MM:SS", TIMESTAMP_TEXT_SIZE);
    char command_line[1024];
    snprintf(command_line, sizeof command_line,
             "date +\"%%Y-%%m-%%d %%H:%%M:%%S\" -d @%ld", long(seconds));
    if (run_command_output(command_line, text, TIMESTAMP_TEXT_SIZE - 1) < 1)
        log_message(LOG_NOTICE, "Warning: unable to prepare timestamp");
}

int run_shell_command(const char *command_line)
{
    return run_command("/bin/sh", "-c", command_line, (const char *)nullptr);
}
