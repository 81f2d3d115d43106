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
void probe_carriers(int32_t poll_time, const module_settings &settings, event_ring &queue,
                    const char *carrier_template = CARRIER_PATH_TEMPLATE);
void probe_test_request(int32_t poll_time, const module_settings &settings, event_ring &queue,
                        const char *request_path = TEST_REQUEST_PATH);
