#include "core/main_loop.h"

#include "core/channels.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/process.h"
#include "notify/mail.h"
#include "notify/sms.h"
#include "notify/snmp.h"
#include "sources/log_monitor.h"
#include "sources/probes.h"

namespace {

bool daemon_poll_phase(const module_settings &settings, event_ring &queue)
{
    poll_clock clock = {-1, false};
    probe_carriers(clock, settings, queue);
    probe_test_request(clock, settings, queue);
    return watch_log_input(settings, queue) == LOG_CARRY_ON;
}

time_t system_clock() { return time(nullptr); }

// The notifiers as the daemon runs them: through the real shell.
int daemon_send_snmp(int32_t code, const snmp_settings &snmp)
{
    return send_snmp(code, snmp);
}

int32_t daemon_send_mail(int32_t code, channel_mask mask, int32_t timestamp,
                         const module_settings &settings, uint8_t *resume)
{
    return send_mail(code, mask, timestamp, settings, resume);
}

run_result daemon_send_sms(int32_t code, const char *recipient, const char *timestamp_text,
                           const module_settings &settings)
{
    return send_sms(code, recipient, timestamp_text, settings);
}

// Every queued event is taken, whatever the health of the channels: the
// parts a failing channel owes wait where that channel keeps its failures,
// while the others go out at once. Once a stop has waited its deadline,
// events stay queued.
void drain_events(const module_settings &settings, event_ring &queue, const loop_actions &act,
                  bool (&healthy)[CHANNEL_COUNT])
{
    while (!ring_is_empty(queue) && !stop_deadline_passed(act.timings)) {
        event_record r = ring_pop(queue);
        if (r.code == EVENT_NONE)
            continue;
        for (int i = 0; i < CHANNEL_COUNT; i++) {
            if (r.mask & CHANNELS[i].bits)
                dispatch_to_channel(CHANNELS[i], r, settings, act, healthy[i]);
        }
    }
}

// What the daemon takes with it when it ends: nothing is kept across a restart.
void note_undelivered(const event_ring &queue)
{
    unsigned events = ring_count(queue);
    unsigned snmp = ring_count(reserve_snmp_queue);
    unsigned mail = ring_count(reserve_mail_queue);
    unsigned sms = ring_count(sms_reserve_queue);
    unsigned total = events + snmp + mail + sms;
    if (total == 0)
        return;
    log_message(LOG_NOTICE,
                "Warning: %u notifications left undelivered: %u events waiting, %u SNMP and %u "
                "e-mail reserve records, %u SMS retries",
                total, events, snmp, mail, sms);
}

}  // namespace

const loop_actions DAEMON_ACTIONS = {
    daemon_send_snmp, daemon_send_mail, daemon_send_sms, format_timestamp, daemon_poll_phase,
    system_clock,     DAEMON_TIMINGS,
};

void run_dispatch(const module_settings &settings, event_ring &queue, const loop_actions &actions)
{
    if (!queues_initialised) {
        clear_channel_queues();
        queues_initialised = true;
    }
    // A channel that fails in its retry pass costs no further attempt this cycle.
    bool healthy[CHANNEL_COUNT];
    for (int i = 0; i < CHANNEL_COUNT; i++)
        healthy[i] = retry_channel(CHANNELS[i], settings, actions);
    drain_events(settings, queue, actions, healthy);
}

void main_loop(const module_settings &settings, event_ring &queue, const loop_actions &actions)
{
    while (got_signal == 0) {
        log_cycle_start();
        report_noted_signals();
        run_dispatch(settings, queue, actions);
        // A stop that came while the cycle sent goes no further than its sends.
        if (got_signal != 0 || !actions.poll_phase(settings, queue))
            break;
    }
    note_undelivered(queue);
}
