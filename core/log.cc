#include "core/log.h"

#include <cstdarg>
#include <cstdio>

namespace {
bool also_to_stderr;
}

void log_also_to_stderr(bool on)
{
    also_to_stderr = on;
}

void log_open(const char *ident)
{
    openlog(ident, LOG_PID | LOG_NDELAY, LOG_DAEMON);
}

void log_message(int priority, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    if (also_to_stderr) {
        va_list copy;
        va_copy(copy, ap);
        vfprintf(stderr, format, copy);
        va_end(copy);
        fputc('\n', stderr);
    }
    vsyslog(priority, format, ap);
    va_end(ap);
}
