#include "core/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "core/status.h"

namespace {

// A record as the system logger expects it on its socket:
// "<PRI>Mmm dd hh:mm:ss IDENT[PID]: TEXT". A longer text is cut.
constexpr size_t RECORD_SIZE = 20480;

struct log_connection {
    const char *ident;      // null: the program's short name
    int facility;
    bool with_pid;
    char path[sizeof(sockaddr_un::sun_path)];
    int fd;
    int copy_fd;
    int copy_mask;
    bool to_stderr;         // a start by hand on a terminal
    bool reporting_drops;   // the warning about dropped messages is being logged
    uint32_t logged;
    char last[LOG_LAST_SIZE];
    int32_t dropped;
    long waited_ms;         // in this cycle
    char record[RECORD_SIZE];
};

log_connection conn = {nullptr, LOG_USER, false, "/dev/log", -1, -1, 0, false, false, 0, "", 0, 0, {}};

long elapsed_ms(const timespec &since)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000;
}

void disconnect()
{
    if (conn.fd >= 0)
        close(conn.fd);
    conn.fd = -1;
}

bool connect_log()
{
    disconnect();
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, conn.path, sizeof address.sun_path);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return false;
    }
    conn.fd = fd;
    return true;
}

// Waits for room in the socket, within this message's and this cycle's
// share of waiting. False when the time is up.
bool wait_for_room(const timespec &started)
{
    for (;;) {
        long spent = elapsed_ms(started);
        long left = LOG_WAIT_PER_MESSAGE_MS - spent;
        if (LOG_WAIT_PER_CYCLE_MS - conn.waited_ms - spent < left)
            left = LOG_WAIT_PER_CYCLE_MS - conn.waited_ms - spent;
        if (left <= 0)
            return false;
        pollfd watched = {conn.fd, POLLOUT, 0};
        int ready = poll(&watched, 1, int(left));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

// The logger is gone or restarting: its socket refuses or has vanished.
bool connection_lost(int error)
{
    return error == ECONNREFUSED || error == ENOTCONN || error == ENOENT || error == EPIPE ||
           error == EBADF || error == EDESTADDRREQ;
}

bool send_record(size_t length)
{
    if (conn.fd < 0 && !connect_log())
        return false;
    timespec started;
    clock_gettime(CLOCK_MONOTONIC, &started);
    bool reconnected = false;
    bool sent = false;
    for (;;) {
        if (send(conn.fd, conn.record, length, MSG_NOSIGNAL) >= 0) {
            sent = true;
            break;
        }
        int error = errno;
        if (error == EINTR)
            continue;
        if ((error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS) && wait_for_room(started))
            continue;
        if (connection_lost(error) && !reconnected && connect_log()) {
            reconnected = true;
            continue;
        }
        break;
    }
    conn.waited_ms += elapsed_ms(started);
    return sent;
}

// Writes the record's head, up to the text; its length.
size_t format_head(int priority)
{
    if ((priority & LOG_FACMASK) == 0)
        priority |= conn.facility;
    time_t now = time(nullptr);
    tm local = {};
    localtime_r(&now, &local);
    char stamp[32];
    if (strftime(stamp, sizeof stamp, "%h %e %T", &local) == 0)
        stamp[0] = '\0';
    const char *ident = conn.ident ? conn.ident : program_invocation_short_name;
    int length = conn.with_pid
        ? snprintf(conn.record, RECORD_SIZE, "<%d>%s %s[%d]: ", priority, stamp, ident, int(getpid()))
        : snprintf(conn.record, RECORD_SIZE, "<%d>%s %s: ", priority, stamp, ident);
    if (length < 0)
        return 0;
    return size_t(length) < RECORD_SIZE ? size_t(length) : RECORD_SIZE - 1;
}

void copy_text(int priority, const char *text)
{
    if (conn.to_stderr)
        dprintf(2, "%s\n", text);
    if (conn.copy_fd < 0 || (conn.copy_mask != 0 && !(conn.copy_mask & LOG_MASK(LOG_PRI(priority)))))
        return;
    const char *ident = conn.ident ? conn.ident : program_invocation_short_name;
    dprintf(conn.copy_fd, "%s: %s\n", ident, text);
}

__attribute__((format(printf, 2, 0)))
void log_text(int priority, const char *format, va_list ap)
{
    size_t head = format_head(priority);
    int length = vsnprintf(conn.record + head, RECORD_SIZE - head, format, ap);
    size_t total = length < 0 ? head : head + size_t(length);
    if (total >= RECORD_SIZE)
        total = RECORD_SIZE - 1;
    copy_text(priority, conn.record + head);
    if (!conn.reporting_drops) {
        conn.logged++;
        size_t kept = strnlen(conn.record + head, sizeof conn.last - 1);
        memcpy(conn.last, conn.record + head, kept);
        conn.last[kept] = '\0';
    }
    if (!send_record(total)) {
        conn.dropped++;
        status_count(MESSAGES_DROPPED);
        return;
    }
    if (conn.dropped == 0)
        return;
    int32_t dropped = conn.dropped;
    conn.dropped = 0;
    conn.reporting_drops = true;
    log_message(LOG_NOTICE, "Warning: %d log messages dropped while the system log was not reading",
                int(dropped));
    conn.reporting_drops = false;
}

}  // namespace

void log_open(const char *ident, const char *socket_path)
{
    conn.ident = ident;
    conn.facility = LOG_DAEMON;
    conn.with_pid = true;
    snprintf(conn.path, sizeof conn.path, "%s", socket_path);
    connect_log();
}

void log_message(int priority, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    log_text(priority, format, ap);
    va_end(ap);
}

void log_also_to_stderr(bool on)
{
    conn.to_stderr = on;
}

uint32_t log_message_count()
{
    return conn.logged;
}

const char *log_last_message()
{
    return conn.last;
}

void log_cycle_start()
{
    conn.waited_ms = 0;
}

void log_copy_to(int fd, int priority_mask)
{
    conn.copy_fd = fd;
    conn.copy_mask = priority_mask;
}

int32_t warning_due(rate_limited_warning &warning, int64_t now)
{
    warning.count++;
    if (warning.given && now - warning.last < WARNING_INTERVAL)
        return 0;
    int32_t count = warning.count;
    warning.given = true;
    warning.last = now;
    warning.count = 0;
    return count;
}

int64_t monotonic_seconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec);
}
