#include "core/channels.h"

#include <cstdio>

#include "core/command.h"
#include "core/log.h"
#include "core/main_loop.h"
#include "core/status.h"

namespace {

int index_of(const channel &c)
{
    return int(&c - CHANNELS);
}

// Why an attempt failed: the tool's reason when it ran, else what the
// notifier logged last since the attempt began (its refusal, or for the
// notifiers that log their runs, the tool's reason).
const char *failure_reason(const run_result *run, uint32_t logged_before, char *text, size_t size)
{
    if (run && run->end != RUN_REFUSED && run->tool[0] != '\0') {
        char reason[RUN_REASON_SIZE];
        describe_run(*run, reason, sizeof reason);
        // Cut at size, as the status keeps it.
        if (snprintf(text, size, "Tool %s failed: %s", run->tool, reason) < 0)
            text[0] = '\0';
        return text;
    }
    return log_message_count() != logged_before ? log_last_message() : "";
}

// The address at which the first failed mail group stopped.
const char *failed_address(const event_record &r, channel_mask owed, const module_settings &settings)
{
    for (int group = 1; group <= MAIL_GROUP_COUNT; group++) {
        if (owed & mail_group_bit(group))
            return settings.mail_group_addrs[group - 1][r.mail_resume[group - 1] % MAIL_GROUP_ADDRESSES];
    }
    return nullptr;
}

// One attempt of channel c on r, counted; what the channel still owes r.
channel_mask attempt(const channel &c, event_record &r, const module_settings &settings,
                     const loop_actions &act)
{
    uint32_t logged = log_message_count();
    channel_mask owed = c.send(r, settings, act);
    if (owed == 0) {
        status_note_sent(index_of(c), int32_t(act.clock()));
        return 0;
    }
    char text[STATUS_REASON_SIZE];
    status_note_failed(index_of(c), int32_t(act.clock()),
                       (c.bits & NOTIFY_MAIL_ANY) ? failed_address(r, owed, settings) : nullptr,
                       failure_reason(nullptr, logged, text, sizeof text));
    return owed;
}

// One SMS, counted on the SMS row.
run_result send_counted_sms(int32_t code, int32_t counted, const char *recipient,
                            const char *timestamp_text, const module_settings &settings,
                            const loop_actions &act)
{
    uint32_t logged = log_message_count();
    run_result sent = act.send_sms(code, counted, recipient, timestamp_text, settings);
    int index = 0;
    while (index < CHANNEL_COUNT && CHANNELS[index].wait != WAIT_RECIPIENT_RETRIES)
        index++;
    char text[STATUS_REASON_SIZE];
    if (run_succeeded(sent))
        status_note_sent(index, int32_t(act.clock()));
    else
        status_note_failed(index, int32_t(act.clock()), recipient,
                           failure_reason(&sent, logged, text, sizeof text));
    return sent;
}

channel_mask send_snmp_record(event_record &r, const module_settings &settings,
                              const loop_actions &act)
{
    return act.send_snmp(r, settings.snmp) == 0 ? 0 : NOTIFY_TRAP;
}

// Only the groups that failed are owed, each from the address it stopped at.
channel_mask send_mail_record(event_record &r, const module_settings &settings,
                              const loop_actions &act)
{
    return channel_mask(act.send_mail(r, settings)) & NOTIFY_MAIL_ANY;
}

// The record at the head of the ring is worked on where it lies, so that
// what is kept for a restart always holds it.
bool retry_reserve_ring(const channel &c, const module_settings &settings, const loop_actions &act)
{
    event_ring &ring = *c.reserve;
    while (!ring_is_empty(ring)) {
        event_record &r = ring.slots[ring.head];
        if (r.code == EVENT_NONE || !(r.mask & c.bits)) {
            ring_pop(ring);
            continue;
        }
        channel_mask owed = attempt(c, r, settings, act);
        if (owed != 0) {
            r.mask = (r.mask & ~c.bits) | owed;
            return false;
        }
        ring_pop(ring);
    }
    return true;
}

void dispatch_to_reserve_ring(const channel &c, event_record &r, const module_settings &settings,
                              const loop_actions &act, bool &healthy)
{
    if (healthy) {
        channel_mask owed = attempt(c, r, settings, act);
        if (owed == 0)
            return;
        r.mask = (r.mask & ~c.bits) | owed;
    }
    event_record reserved = r;
    reserved.served = 0;
    if (!ring_push(*c.reserve, reserved))
        log_message(LOG_NOTICE, "%s", c.reserve_full);
    healthy = false;
}

void queue_sms_retry(const sms_retry_entry &e, uint8_t attempts_left, const loop_actions &act)
{
    ring_push(sms_reserve_queue, e.code, e.recipient, e.timestamp_text, attempts_left,
              int32_t(act.clock() + SMS_RETRY_DELAY), e.counted);
}

// e is the head of the ring; it is taken off once its outcome is known.
void retry_one_sms(const sms_retry_entry &head, const module_settings &settings,
                   const loop_actions &act)
{
    if (int32_t(act.clock()) < head.not_before) {
        sms_retry_entry waiting = ring_pop(sms_reserve_queue);
        ring_push(sms_reserve_queue, waiting.code, waiting.recipient, waiting.timestamp_text,
                  waiting.attempts_left, waiting.not_before, waiting.counted);
        return;
    }
    run_result sent = send_counted_sms(head.code, head.counted, head.recipient,
                                       head.timestamp_text, settings, act);
    sms_retry_entry e = ring_pop(sms_reserve_queue);
    if (run_succeeded(sent))
        return;
    uint8_t left = uint8_t((e.attempts_left - 1) & 0xFF);
    if (left == 0) {
        log_message(LOG_ERR, "Error: too much atempts to send SMS for %s, giving up...", e.recipient);
        log_run_failure(LOG_ERR, sent);
        return;
    }
    log_message(LOG_WARNING, "Warning: failed to send SMS for %s, %d attempts remains. Will try in %d seconds again.",
           e.recipient, int(left), int(SMS_RETRY_DELAY));
    log_run_failure(LOG_WARNING, sent);
    queue_sms_retry(e, left, act);
}

// Visits every entry present at the start of the pass exactly once, in queue
// order; entries queued during the pass wait for the next cycle. An entry is
// tried where it lies and taken off once its outcome is known. Once a stop
// has waited its deadline the rest stay where they are.
bool retry_recipients(const module_settings &settings, const loop_actions &act)
{
    if (ring_is_empty(sms_reserve_queue))
        return true;
    const uint32_t stop = sms_reserve_queue.tail & sms_retry_ring::MASK;
    uint32_t k = sms_reserve_queue.head & sms_retry_ring::MASK;
    do {
        if (stop_deadline_passed(act.timings))
            return true;
        const sms_retry_entry &e = sms_reserve_queue.slots[sms_reserve_queue.head];
        if (e.code == EVENT_NONE) {
            log_message(LOG_ERR, "ERROR: Dequeing empty SMS reserve queue, this should be never reached!");
            ring_pop(sms_reserve_queue);
            return true;
        }
        retry_one_sms(e, settings, act);
        k = (k + 1) & sms_retry_ring::MASK;
    } while (k != stop);
    return true;
}

// SMS, the channel that still works when the data link is down, has no
// health of its own: every recipient is tried, and each failure waits alone.
void dispatch_to_recipients(event_record &r, const module_settings &settings,
                            const loop_actions &act)
{
    char timestamp_text[TIMESTAMP_TEXT_SIZE];
    act.format_timestamp(r.timestamp, timestamp_text);
    for (int i = r.sms_next; i < SMS_RECIPIENT_COUNT; i++) {
        r.sms_next = uint8_t(i);
        const char *recipient = settings.sms_recipients[i];
        if (!recipient || !recipient[0])
            continue;
        run_result sent = send_counted_sms(r.code, r.counted, recipient, timestamp_text,
                                           settings, act);
        if (run_succeeded(sent))
            continue;
        log_message(LOG_ERR, "Error: failed to send SMS for %s, enqueing...", recipient);
        log_run_failure(LOG_ERR, sent);
        ring_push(sms_reserve_queue, r.code, recipient, timestamp_text, SMS_RETRY_ATTEMPTS,
                  int32_t(act.clock() + SMS_RETRY_DELAY), r.counted);
    }
    r.sms_next = SMS_RECIPIENT_COUNT;
}

}  // namespace

const channel CHANNELS[CHANNEL_COUNT] = {
    {"SNMP", NOTIFY_TRAP, WAIT_RESERVE_RING, &reserve_snmp_queue,
     "Warning: Reserve SNMP queue full!", send_snmp_record},
    {"e-mail", NOTIFY_MAIL_ANY, WAIT_RESERVE_RING, &reserve_mail_queue,
     "Warning: Reserve e-mail queue full!", send_mail_record},
    {"SMS", NOTIFY_SMS, WAIT_RECIPIENT_RETRIES, nullptr, nullptr, nullptr},
};

void clear_channel_queues()
{
    for (const channel &c : CHANNELS) {
        if (c.wait == WAIT_RESERVE_RING)
            ring_clear(*c.reserve);
        else
            ring_clear(sms_reserve_queue);
    }
}

uint32_t channel_waiting(const channel &c, int32_t *next_retry)
{
    *next_retry = 0;
    if (c.wait == WAIT_RESERVE_RING)
        return ring_count(*c.reserve);
    const sms_retry_ring &ring = sms_reserve_queue;
    for (uint32_t i = ring.head; i != ring.tail; i = (i + 1) & sms_retry_ring::MASK) {
        if (*next_retry == 0 || ring.slots[i].not_before < *next_retry)
            *next_retry = ring.slots[i].not_before;
    }
    return ring_count(ring);
}

bool retry_channel(const channel &c, const module_settings &settings, const loop_actions &act)
{
    if (c.wait == WAIT_RESERVE_RING)
        return retry_reserve_ring(c, settings, act);
    return retry_recipients(settings, act);
}

void dispatch_to_channel(const channel &c, event_record &r, const module_settings &settings,
                         const loop_actions &act, bool &healthy)
{
    if (r.served & c.bits)
        return;
    if (c.wait == WAIT_RESERVE_RING)
        dispatch_to_reserve_ring(c, r, settings, act, healthy);
    else
        dispatch_to_recipients(r, settings, act);
    r.served |= c.bits;
}
