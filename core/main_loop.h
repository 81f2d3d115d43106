// The daemon's only loop: each cycle retries the reserve rings, drains the
// event queue into the notifiers and runs the poll phase. Two per-cycle
// health flags let a broken SNMP or e-mail channel fail at most once per
// cycle; failed SMS are retried on their own schedule. With start-up it sits
// above every other module: it calls the sources and the notifiers, and only
// start-up includes it.
#pragma once
#include <cstdint>
#include <ctime>
#include "config/settings.h"
#include "core/queues.h"

constexpr uint8_t SMS_RETRY_ATTEMPTS = 5;
constexpr int32_t SMS_RETRY_DELAY = 120;

// What one cycle calls. The daemon uses the real notifiers, probes and clock;
// unit tests put fakes in their place.
struct loop_actions {
    int (*send_snmp)(int32_t code, const snmp_settings &snmp);
    int32_t (*send_mail)(int32_t code, channel_mask mask, int32_t timestamp,
                         const module_settings &settings, uint8_t *resume);
    int (*send_sms)(int32_t code, const char *recipient, const char *timestamp_text,
                    const module_settings &settings);
    void (*format_timestamp)(int32_t seconds, char *text);
    // The poll phase: probes and the log window; false asks the loop to stop.
    bool (*poll_phase)(const module_settings &settings, event_ring &queue);
    time_t (*clock)();
};
extern const loop_actions DAEMON_ACTIONS;

// One cycle after the stop check: first-cycle reset, the three retry passes
// and the drain. The poll phase is not part of it.
void run_dispatch(const module_settings &settings, event_ring &queue, const loop_actions &actions);

// Runs cycles until got_signal is set or the poll phase asks to stop.
void main_loop(const module_settings &settings, event_ring &queue,
               const loop_actions &actions = DAEMON_ACTIONS);
