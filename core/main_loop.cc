#include "core/main_loop.h"

#include "core/log.h"

#include "core/command.h"
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

// Per-cycle health of the two channels that have reserve rings.
struct cycle_health {
    bool snmp;
    bool mail;
};

bool snmp_retry_pass(const module_settings &settings, const loop_actions &act)
{
    while (!ring_is_empty(reserve_snmp_queue)) {
        event_record r = ring_pop(reserve_snmp_queue);
        if (r.code == EVENT_NONE || !(r.mask & NOTIFY_TRAP))
            continue;
        if (act.send_snmp(r.code, settings.snmp) != 0) {
            ring_put_back(reserve_snmp_queue, r);
            return false;
        }
    }
    return true;
}

bool mail_retry_pass(const module_settings &settings, const loop_actions &act)
{
    while (!ring_is_empty(reserve_mail_queue)) {
        event_record r = ring_pop(reserve_mail_queue);
        if (r.code == EVENT_NONE || !(r.mask & NOTIFY_MAIL_ANY))
            continue;
        int32_t failed = act.send_mail(r.code, r.mask, r.timestamp, settings, r.mail_resume);
        if (failed != 0) {
            // Only the groups that failed are tried again, from the address
            // each one stopped at.
            r.mask = channel_mask(failed);
            ring_put_back(reserve_mail_queue, r);
            return false;
        }
    }
    return true;
}

void queue_sms_retry(const sms_retry_entry &e, uint8_t attempts_left, const loop_actions &act)
{
    ring_push(sms_reserve_queue, e.code, e.recipient, e.timestamp_text, attempts_left,
              int32_t(act.clock() + SMS_RETRY_DELAY));
}

void retry_one_sms(const sms_retry_entry &e, const module_settings &settings, const loop_actions &act)
{
    if (int32_t(act.clock()) < e.not_before) {
        ring_push(sms_reserve_queue, e.code, e.recipient, e.timestamp_text, e.attempts_left,
                  e.not_before);
        return;
    }
    forget_last_run();
    if (act.send_sms(e.code, e.recipient, e.timestamp_text, settings) == 0)
        return;
    uint8_t left = uint8_t((e.attempts_left - 1) & 0xFF);
    if (left == 0) {
        log_message(LOG_ERR, "Error: too much atempts to send SMS for %s, giving up...", e.recipient);
        log_last_run_failure(LOG_ERR);
        return;
    }
    log_message(LOG_WARNING, "Warning: failed to send SMS for %s, %d attempts remains. Will try in %d seconds again.",
           e.recipient, int(left), int(SMS_RETRY_DELAY));
    log_last_run_failure(LOG_WARNING);
    queue_sms_retry(e, left, act);
}

// Visits every entry present at the start of the pass exactly once, in queue
// order; entries queued during the pass wait for the next cycle. Once a stop
// has waited its deadline the rest stay where they are.
void sms_retry_pass(const module_settings &settings, const loop_actions &act)
{
    if (ring_is_empty(sms_reserve_queue))
        return;
    const uint32_t stop = sms_reserve_queue.tail & sms_retry_ring::MASK;
    uint32_t k = sms_reserve_queue.head & sms_retry_ring::MASK;
    do {
        if (stop_deadline_passed())
            return;
        sms_retry_entry e = ring_pop(sms_reserve_queue);
        if (e.code == EVENT_NONE) {
            log_message(LOG_ERR, "ERROR: Dequeing empty SMS reserve queue, this should be never reached!");
            return;
        }
        retry_one_sms(e, settings, act);
        k = (k + 1) & sms_retry_ring::MASK;
    } while (k != stop);
}

void dispatch_snmp(event_record &r, const module_settings &settings, const loop_actions &act,
                   cycle_health &health)
{
    if (health.snmp && act.send_snmp(r.code, settings.snmp) == 0)
        return;
    if (!ring_push(reserve_snmp_queue, r))
        log_message(LOG_NOTICE, "Warning: Reserve SNMP queue full!");
    health.snmp = false;
}

void dispatch_mail(event_record &r, const module_settings &settings, const loop_actions &act,
                   cycle_health &health)
{
    if (health.mail) {
        int32_t failed = act.send_mail(r.code, r.mask, r.timestamp, settings, r.mail_resume);
        if (failed == 0)
            return;
        r.mask = (r.mask & ~NOTIFY_MAIL_ANY) | (channel_mask(failed) & NOTIFY_MAIL_ANY);
    }
    if (!ring_push(reserve_mail_queue, r))
        log_message(LOG_NOTICE, "Warning: Reserve e-mail queue full!");
    health.mail = false;
}

void dispatch_sms(const event_record &r, const module_settings &settings, const loop_actions &act)
{
    char timestamp_text[TIMESTAMP_TEXT_SIZE];
    act.format_timestamp(r.timestamp, timestamp_text);
    for (int i = 0; i < SMS_RECIPIENT_COUNT; i++) {
        const char *recipient = settings.sms_recipients[i];
        if (!recipient || !recipient[0])
            continue;
        forget_last_run();
        if (act.send_sms(r.code, recipient, timestamp_text, settings) == 0)
            continue;
        log_message(LOG_ERR, "Error: failed to send SMS for %s, enqueing...", recipient);
        log_last_run_failure(LOG_ERR);
        ring_push(sms_reserve_queue, r.code, recipient, timestamp_text, SMS_RETRY_ATTEMPTS,
                  int32_t(act.clock() + SMS_RETRY_DELAY));
    }
}

// Every queued event is taken, whatever the health of SNMP and e-mail: their
// parts go to the reserve rings, while SMS, the channel that still works when
// the data link is down, goes out at once. Once a stop has waited its deadline, events stay queued.
void drain_events(const module_settings &settings, event_ring &queue, const loop_actions &act,
                  cycle_health &health)
{
    while (!ring_is_empty(queue) && !stop_deadline_passed()) {
        event_record r = ring_pop(queue);
        if (r.code == EVENT_NONE)
            continue;
        if (r.mask & NOTIFY_TRAP)
            dispatch_snmp(r, settings, act, health);
        if (r.mask & NOTIFY_MAIL_ANY)
            dispatch_mail(r, settings, act, health);
        if (r.mask & NOTIFY_SMS)
            dispatch_sms(r, settings, act);
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
    send_snmp, send_mail, send_sms, format_timestamp, daemon_poll_phase, system_clock,
};

void run_dispatch(const module_settings &settings, event_ring &queue, const loop_actions &actions)
{
    if (!queues_initialised) {
        ring_clear(reserve_mail_queue);
        ring_clear(reserve_snmp_queue);
        ring_clear(sms_reserve_queue);
        queues_initialised = true;
    }
    cycle_health health;
    health.snmp = snmp_retry_pass(settings, actions);
    health.mail = mail_retry_pass(settings, actions);
    sms_retry_pass(settings, actions);
    drain_events(settings, queue, actions, health);
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
