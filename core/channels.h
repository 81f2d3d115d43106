// Notification channels: one row per channel says which bits of an event's
// channel mask it serves, how it sends, where a failure waits (a reserve
// ring retried first in every cycle, or per-recipient retries on their own
// schedule) and how it is retried. The main loop walks this table for its
// retry passes and its drain, in the table's order; a new channel is a row
// here, its send in loop_actions and its notifier. Every attempt is counted
// on the channel's row of the status (core/status.h).
#pragma once
#include <cstdint>
#include "config/settings.h"
#include "core/queues.h"

struct loop_actions;

constexpr uint8_t SMS_RETRY_ATTEMPTS = 5;
constexpr int32_t SMS_RETRY_DELAY = 120;

enum channel_wait {
    // A failed record waits whole in the channel's reserve ring. While the
    // channel fails, a cycle makes one attempt on it and reserves the rest.
    WAIT_RESERVE_RING,
    // Each failed recipient waits alone in sms_reserve_queue, retried
    // SMS_RETRY_ATTEMPTS times SMS_RETRY_DELAY seconds apart.
    WAIT_RECIPIENT_RETRIES,
};

struct channel {
    const char *name;
    channel_mask bits;
    channel_wait wait;
    event_ring *reserve;       // WAIT_RESERVE_RING: where a failed record waits
    const char *reserve_full;  // logged when that ring refuses a record
    // WAIT_RESERVE_RING: sends r to what the channel still owes it; the
    // channel's bits still owed afterwards (0: all served).
    channel_mask (*send)(event_record &r, const module_settings &settings, const loop_actions &act);
};

constexpr int CHANNEL_COUNT = 3;
extern const channel CHANNELS[CHANNEL_COUNT];

// How many failed notifications wait for channel c, and the time of the
// next timed retry (0: none).
uint32_t channel_waiting(const channel &c, int32_t *next_retry);

// Empties every channel's waiting records.
void clear_channel_queues();

// One retry pass over what waits for channel c; false when the channel
// failed in it, so that the drain does not try it again this cycle.
bool retry_channel(const channel &c, const module_settings &settings, const loop_actions &act);

// Hands one drained event to channel c; healthy is the channel's state in
// this cycle, and becomes false when it fails.
void dispatch_to_channel(const channel &c, event_record &r, const module_settings &settings,
                         const loop_actions &act, bool &healthy);
