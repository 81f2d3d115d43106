#include "sources/reboot.h"

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "core/files.h"
#include "core/log.h"
#include "core/process.h"

namespace {

// Both files hold one figure near their start; the rest is not looked at.
constexpr size_t FIGURE_TEXT_SIZE = 128;

// A figure counts only when white space or the end of the file closes it
// within the bytes read. "1e5" or "68687" cut at the end of a full buffer
// would read as 1 or 68 otherwise, and a figure with text glued to it is no
// figure this system wrote.
bool figure_closed(const char *text, ssize_t got, const char *end)
{
    if (end == text)
        return false;
    if (end - text < got)
        return isspace(static_cast<unsigned char>(*end)) != 0;
    return got < ssize_t(FIGURE_TEXT_SIZE - 1);
}

// Whole seconds since boot, cut toward zero; false when the kernel's figure
// cannot be read or makes no sense.
bool read_uptime(const char *uptime_path, int32_t *uptime)
{
    char text[FIGURE_TEXT_SIZE];
    ssize_t got = read_small_file(uptime_path, text, sizeof text);
    if (got < 0)
        return false;
    char *end = nullptr;
    double seconds = strtod(text, &end);
    // strtod also takes "nan" and "inf"; only a real count of seconds will do.
    if (!figure_closed(text, got, end) || std::isnan(seconds) || seconds <= -1.0)
        return false;
    *uptime = seconds >= double(INT32_MAX) ? INT32_MAX : int32_t(seconds);
    return true;
}

// True when the boot timestamp file holds the start of a run that came after
// this boot, so that run has reported it already. boot_time is this boot as
// seen from now; the file is left as it is in that case.
bool boot_already_reported(const char *boot_timestamp_path, int64_t boot_time)
{
    char text[FIGURE_TEXT_SIZE];
    ssize_t got = read_small_file(boot_timestamp_path, text, sizeof text);
    if (got < 0)
        return false;
    char *end = nullptr;
    long reported_at = strtol(text, &end, 10);
    return figure_closed(text, got, end) && int64_t(reported_at) > boot_time;
}

// Remembers this run's start for the runs that follow in the same boot. The
// file lives in /run, which every boot starts empty.
// A FIFO there would hold the start until someone read it: only a regular
// file is written.
void remember_report(const char *boot_timestamp_path)
{
    mode_t found;
    int fd = open_regular_file(boot_timestamp_path, O_WRONLY | O_CREAT | O_TRUNC, &found);
    bool written = false;
    if (fd >= 0) {
        written = dprintf(fd, "%ld", long(start_timestamp)) > 0;
        written = close(fd) == 0 && written;
    }
    if (!written)
        log_message(LOG_NOTICE, "Warning: Unable to open boot timestamp file. Reboot detection compromised.");
}

}  // namespace

void detect_reboot(const module_settings &settings, event_ring &queue,
                   const char *uptime_path, const char *boot_timestamp_path)
{
    int32_t uptime = 0;
    if (!read_uptime(uptime_path, &uptime)) {
        log_message(LOG_NOTICE, "Error determining uptime!");
        return;
    }
    if (uptime > REBOOT_UPTIME_LIMIT) {
        log_message(LOG_NOTICE, "Started too long (%ld seconds) after reboot to trigger reboot event",
               long(uptime));
        return;
    }
    // start_timestamp - B < U, kept free of overflow: B > start_timestamp - U.
    if (boot_already_reported(boot_timestamp_path, int64_t(start_timestamp) - uptime)) {
        log_message(LOG_NOTICE, "Reboot already detected");
        return;
    }
    remember_report(boot_timestamp_path);
    raise_event(queue, SYSTEM_REBOOT, settings.channel_masks[SYSTEM_REBOOT], start_timestamp);
}
