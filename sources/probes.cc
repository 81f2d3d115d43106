#include "sources/probes.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/clock.h"
#include "core/log.h"

// No port is armed until its carrier has been seen: a port without a cable
// since boot must never report a disconnection.
int carrier_down_count[3] = {-1, -1, -1};

namespace {

constexpr int PORT_COUNT = 3;
constexpr size_t CARRIER_PATH_SIZE = 256;

// The sysfs carrier file reads "1" while the link is up. A file that is
// missing, unreadable, empty or says anything else means no carrier.
bool carrier_present(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char first = '\0';
    ssize_t got;
    do {
        got = read(fd, &first, 1);
    } while (got < 0 && errno == EINTR);
    close(fd);
    return got == 1 && first == '1';
}

// A cable pulled for one probe only (a switch rebooting, a loose plug) is not
// worth a notification; the second probe in a row without carrier is. The
// port is then disarmed until its carrier comes back.
void probe_port(int port, const char *path, poll_clock &clock,
                const module_settings &settings, event_ring &queue)
{
    int &count = carrier_down_count[port];
    if (carrier_present(path)) {
        count = 0;
        return;
    }
    if (count >= 0)
        count++;
    if (count > 1) {
        count = -1;
        int32_t code = ETH0_DISCONNECTED + port;
        raise_event(queue, code, settings.channel_masks[code], poll_clock_time(clock));
    }
}

}  // namespace

int32_t poll_clock_time(poll_clock &clock)
{
    if (!clock.read) {
        clock.time = clock_now();
        clock.read = true;
    }
    return clock.time;
}

bool file_exists(const char *path)
{
    struct stat info;
    return stat(path, &info) == 0;
}

void probe_carriers(poll_clock &clock, const module_settings &settings, event_ring &queue,
                    const char *carrier_template)
{
    char path[CARRIER_PATH_SIZE];
    int n = snprintf(path, sizeof path, "%s", carrier_template);
    char *port_digit = n >= 0 && size_t(n) < sizeof path ? strchr(path, '?') : nullptr;
    if (!port_digit) {
        log_message(LOG_ERR, "Error: carrier file path template unusable, not probing");
        return;
    }
    for (int port = 0; port < PORT_COUNT; port++) {
        *port_digit = char('0' + port);
        probe_port(port, path, clock, settings, queue);
    }
}

// The request file's existence is the whole request; whatever it holds, it
// is consumed, so any number of requests between two probes count as one.
void probe_test_request(poll_clock &clock, const module_settings &settings, event_ring &queue,
                        const char *request_path)
{
    if (!file_exists(request_path))
        return;
    remove(request_path);
    raise_event(queue, TEST_EVENT, settings.channel_masks[TEST_EVENT], poll_clock_time(clock));
}
