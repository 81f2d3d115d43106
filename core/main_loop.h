// The daemon's only loop: each cycle retries what waits for each channel,
// drains the event queue into the channels (core/channels.h) and runs the
// poll phase. With start-up it sits above every other module: it calls the
// sources and the notifiers, and only start-up includes it.
#pragma once
#include <cstdint>
#include <ctime>
#include "config/settings.h"
#include "core/command.h"
#include "core/queues.h"

// What one cycle calls, and the limits its tool runs keep. The daemon passes
// DAEMON_ACTIONS; unit tests pass fakes.
struct loop_actions {
    // The SNMP notification of r; 0 when sent.
    int (*send_snmp)(const event_record &r, const snmp_settings &snmp);
    // The mails of r's mail groups from where each stopped (r.mail_resume);
    // the bits of the groups that failed.
    int32_t (*send_mail)(event_record &r, const module_settings &settings);
    // One SMS; counted > 0 for a storm's summary.
    run_result (*send_sms)(int32_t code, int32_t counted, const char *recipient,
                           const char *timestamp_text, const module_settings &settings);
    void (*format_timestamp)(int32_t seconds, char *text);
    // The poll phase: probes and the log window; false asks the loop to stop.
    bool (*poll_phase)(const module_settings &settings, event_ring &queue);
    time_t (*clock)();
    run_timings timings;
    // At the stop, before what is left is counted: the input already read
    // is handled and what is owed is kept (none in unit tests).
    void (*at_stop)(const module_settings &settings, event_ring &queue);
};
extern const loop_actions DAEMON_ACTIONS;

// One cycle after the stop check: first-cycle reset, the retry passes and
// the drain. The poll phase is not part of it.
void run_dispatch(const module_settings &settings, event_ring &queue,
                  const loop_actions &actions = DAEMON_ACTIONS);

// Runs cycles until got_signal is set or the poll phase asks to stop.
void main_loop(const module_settings &settings, event_ring &queue,
               const loop_actions &actions = DAEMON_ACTIONS);
