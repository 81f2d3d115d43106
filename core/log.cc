#include "core/log.h"

#include <cstdarg>

void log_open(const char *ident)
{
    openlog(ident, LOG_PID | LOG_NDELAY, LOG_DAEMON);
}

void log_message(int priority, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vsyslog(priority, format, ap);
    va_end(ap);
}
