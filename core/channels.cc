#include "core/channels.h"

#include "core/command.h"
#include "core/log.h"
#include "core/main_loop.h"

namespace {

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
        channel_mask owed = c.send(r, settings, act);
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
        channel_mask owed = c.send(r, settings, act);
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
    run_result sent = act.send_sms(head.code, head.counted, head.recipient, head.timestamp_text,
                                   settings);
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
        run_result sent = act.send_sms(r.code, r.counted, recipient, timestamp_text, settings);
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
