#include "core/queues.h"

#include <cstring>

#include "core/log.h"
#include "core/status.h"
#include "core/storms.h"

event_ring event_queue;
event_ring reserve_snmp_queue;
event_ring reserve_mail_queue;
sms_retry_ring sms_reserve_queue;
bool queues_initialised = false;

bool ring_put_back(event_ring &r, const event_record &record)
{
    if (ring_is_full(r))
        return false;
    r.head = (r.head - 1) & event_ring::MASK;
    r.slots[r.head] = record;
    return true;
}

bool ring_push(sms_retry_ring &r, int32_t code, const char *recipient,
               const char *timestamp_text, uint8_t attempts_left, int32_t not_before,
               int32_t counted)
{
    if (ring_is_full(r))
        return false;
    sms_retry_entry &slot = r.slots[r.tail];
    slot.code = code;
    slot.recipient = recipient;
    if (timestamp_text != slot.timestamp_text) {
        std::memset(slot.timestamp_text, 0, sizeof slot.timestamp_text);
        if (timestamp_text)
            std::strncpy(slot.timestamp_text, timestamp_text, sizeof slot.timestamp_text - 1);
    }
    slot.attempts_left = attempts_left;
    slot.not_before = not_before;
    slot.counted = counted;
    r.tail = (r.tail + 1) & sms_retry_ring::MASK;
    return true;
}

void raise_event(event_ring &queue, int32_t code, channel_mask mask, int32_t timestamp)
{
    status_note_raised(code);
    if (!storm_admits(storms, code, timestamp, monotonic_seconds()))
        return;
    if (!ring_push(queue, event_record{code, mask, timestamp}))
        log_message(LOG_NOTICE, "Warning: Event queue full!");
}
