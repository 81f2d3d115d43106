// Bounded first-in-first-out rings in which events and failed notifications
// wait. Fixed arrays with one slot always free; they never grow or allocate,
// and a full ring refuses the new item (the caller decides what to log).
#pragma once
#include <cstdint>
#include "core/events.h"

// One SMS to one recipient that failed and waits for a retry.
struct sms_retry_entry {
    int32_t code;
    char timestamp_text[TIMESTAMP_TEXT_SIZE];
    const char *recipient;  // points into module_settings, which lives for the run
    uint8_t attempts_left;
    int32_t not_before;     // time() before which no retry is made
    int32_t counted;        // a storm summary's count; 0 for one event
};

template <typename T, uint32_t SLOTS>
struct ring {
    static_assert((SLOTS & (SLOTS - 1)) == 0, "slot count must be a power of two");
    static constexpr uint32_t MASK = SLOTS - 1;
    T slots[SLOTS];
    uint32_t head;  // oldest stored item, the next one taken
    uint32_t tail;  // first free slot
};

typedef ring<event_record, 1024> event_ring;     // holds at most 1023 records
typedef ring<sms_retry_entry, 256> sms_retry_ring;  // holds at most 255 entries

template <typename T, uint32_t N>
void ring_clear(ring<T, N> &r) { r.head = r.tail = 0; }

template <typename T, uint32_t N>
bool ring_is_empty(const ring<T, N> &r) { return r.head == r.tail; }

template <typename T, uint32_t N>
bool ring_is_full(const ring<T, N> &r) { return ((r.tail + 1) & ring<T, N>::MASK) == r.head; }

template <typename T, uint32_t N>
uint32_t ring_count(const ring<T, N> &r) { return (r.tail - r.head) & ring<T, N>::MASK; }

template <typename T, uint32_t N>
bool ring_push(ring<T, N> &r, const T &item)
{
    if (ring_is_full(r))
        return false;
    r.slots[r.tail] = item;
    r.tail = (r.tail + 1) & ring<T, N>::MASK;
    return true;
}

// The head item, removed. An empty ring gives an all-zero item and keeps its
// indices, so a caller that did not test for emptiness sees code 0.
template <typename T, uint32_t N>
T ring_pop(ring<T, N> &r)
{
    if (ring_is_empty(r))
        return T{};
    T item = r.slots[r.head];
    r.head = (r.head + 1) & ring<T, N>::MASK;
    return item;
}

// Puts a just-popped record back into the slot it came from, so that it heads
// the ring again.
bool ring_put_back(event_ring &r, const event_record &record);

// The SMS retry ring takes its entry field by field; the timestamp text is
// copied by value (at most 19 characters and the NUL).
bool ring_push(sms_retry_ring &r, int32_t code, const char *recipient,
               const char *timestamp_text, uint8_t attempts_left, int32_t not_before,
               int32_t counted = 0);

// Appends an event raised by a source, unless a storm of its kind is being
// counted (core/storms.h); a full queue loses it with "Warning: Event queue
// full!".
void raise_event(event_ring &queue, int32_t code, channel_mask mask, int32_t timestamp);

// Process-wide rings. event_queue is emptied by start-up before reboot
// detection; the reserve rings are reset by the main loop's first cycle.
extern event_ring event_queue;
extern event_ring reserve_snmp_queue;
extern event_ring reserve_mail_queue;
extern sms_retry_ring sms_reserve_queue;
extern bool queues_initialised;
