// Link-carrier and test-request probes, run at the start of every poll phase:
// a lost Ethernet carrier (two probes in a row without it) and a test request
// file each raise an event.
#pragma once
#include <cstdint>
#include "config/settings.h"
#include "core/queues.h"

constexpr const char *CARRIER_PATH_TEMPLATE = "/sys/class/net/eth?/carrier";
constexpr const char *TEST_REQUEST_PATH = "/run/norvale_test_ev_request.txt";

bool file_exists(const char *path);
// -1 disarmed, 0 carrier seen at the last probe, 1 one probe without it.
extern int carrier_down_count[3];
// The time stamped on the events of one poll phase: epoch seconds from the
// clock, read once, when the phase's first event needs it, so that a quiet
// router runs no tool at all while it waits.
struct poll_clock {
    int32_t time;
    bool read;
};
// The phase's time, reading it from the clock the first time.
int32_t poll_clock_time(poll_clock &clock);

void probe_carriers(poll_clock &clock, const module_settings &settings, event_ring &queue,
                    const char *carrier_template = CARRIER_PATH_TEMPLATE);
void probe_test_request(poll_clock &clock, const module_settings &settings, event_ring &queue,
                        const char *request_path = TEST_REQUEST_PATH);
