#include "core/main_loop.h"

#include "core/channels.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/process.h"
#include "core/state.h"
#include "core/status.h"
#include "core/storms.h"
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
    bool carry_on = watch_log_input(settings, queue) == LOG_CARRY_ON;
    storms_tick(storms, queue, settings.channel_masks, monotonic_seconds());
    return carry_on;
}

time_t system_clock() { return time(nullptr); }

void daemon_at_stop(const module_settings &settings, event_ring &queue)
{
    finish_log_input(settings, queue);
    state_save(true);
}

// The notifiers as the daemon runs them: through the real shell.
int daemon_send_snmp(const event_record &r, const snmp_settings &snmp)
{
    return send_snmp(r.code, snmp, run_shell_command, r.counted);
}

int32_t daemon_send_mail(event_record &r, const module_settings &settings)
{
    return send_mail(r.code, r.mask, r.timestamp, settings, r.mail_resume, run_shell_command,
                     r.counted, r.first_counted);
}

run_result daemon_send_sms(int32_t code, int32_t counted, const char *recipient,
                           const char *timestamp_text, const module_settings &settings)
{
    return send_sms(code, recipient, timestamp_text, settings, run_shell_command, counted);
}

// Every queued event is taken, whatever the health of the channels: the
// parts a failing channel owes wait where that channel keeps its failures,
// while the others go out at once. Once a stop has waited its deadline,
// events stay queued.
void drain_events(const module_settings &settings, event_ring &queue, const loop_actions &act,
                  bool (&healthy)[CHANNEL_COUNT])
{
    while (!ring_is_empty(queue) && !stop_deadline_passed(act.timings)) {
        // Worked on where it lies, and taken off once every channel has it.
        event_record &r = queue.slots[queue.head];
        for (int i = 0; i < CHANNEL_COUNT && r.code != EVENT_NONE; i++) {
            if (r.mask & CHANNELS[i].bits)
                dispatch_to_channel(CHANNELS[i], r, settings, act, healthy[i]);
        }
        ring_pop(queue);
    }
}

// What the daemon leaves undelivered when it ends; with a state folder it is
// kept for the next start.
void note_undelivered(const event_ring &queue)
{
    unsigned events = ring_count(queue);
    unsigned snmp = ring_count(reserve_snmp_queue);
    unsigned mail = ring_count(reserve_mail_queue);
    unsigned sms = ring_count(sms_reserve_queue);
    unsigned total = events + snmp + mail + sms;
    if (total != 0 && state_kept())
        log_message(LOG_NOTICE,
                    "Warning: %u notifications left undelivered: %u events waiting, %u SNMP and "
                    "%u e-mail reserve records, %u SMS retries, kept for the next start",
                    total, events, snmp, mail, sms);
    else if (total != 0)
        log_message(LOG_NOTICE,
                    "Warning: %u notifications left undelivered: %u events waiting, %u SNMP and "
                    "%u e-mail reserve records, %u SMS retries",
                    total, events, snmp, mail, sms);
    int32_t counted = storms_unsummarised(storms);
    if (counted != 0)
        log_message(LOG_NOTICE, "Warning: %d events counted in storms and carried by no summary",
                    int(counted));
}

// The status file, with what waits for each channel now.
void save_status(bool always)
{
    for (int i = 0; i < CHANNEL_COUNT; i++) {
        int32_t next_retry;
        uint32_t waiting = channel_waiting(CHANNELS[i], &next_retry);
        status_set_channel(i, CHANNELS[i].name, waiting, next_retry);
    }
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    status_save(int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000, always);
}

}  // namespace

const loop_actions DAEMON_ACTIONS = {
    daemon_send_snmp, daemon_send_mail, daemon_send_sms, format_timestamp, daemon_poll_phase,
    system_clock,     DAEMON_TIMINGS,   daemon_at_stop,
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
        if (take_status_request()) {
            save_status(true);
            status_log_summary();
        }
        run_dispatch(settings, queue, actions);
        state_save();
        save_status(false);
        // A stop that came while the cycle sent goes no further than its sends.
        if (got_signal != 0 || !actions.poll_phase(settings, queue))
            break;
    }
    if (actions.at_stop)
        actions.at_stop(settings, queue);
    status_note_stopped(int32_t(actions.clock()));
    save_status(true);
    note_undelivered(queue);
}
