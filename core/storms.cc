#include "core/storms.h"

#include <cstring>

#include "core/log.h"

storm_watch storms;

namespace {

// Forgets the queued events that left the window.
void slide_window(storm_kind &k, int64_t now)
{
    while (k.queued_count > 0 && now - k.queued_at[k.queued_head] >= STORM_WINDOW_S) {
        k.queued_head = (k.queued_head + 1) % STORM_LIMIT_MAX;
        k.queued_count--;
    }
}

void count_event(storm_kind &k, int32_t timestamp)
{
    if (k.counted == 0)
        k.first_time = timestamp;
    if (k.counted < INT32_MAX)
        k.counted++;
    k.last_time = timestamp;
}

void queue_summary(storm_kind &k, int32_t code, event_ring &queue, channel_mask mask, int64_t now)
{
    k.last_summary = now;
    if (k.counted == 0)
        return;
    event_record r{code, mask, k.last_time};
    r.counted = k.counted;
    r.first_counted = k.first_time;
    if (!ring_push(queue, r))
        log_message(LOG_NOTICE, "Warning: Event queue full!");
    k.counted = 0;
}

}  // namespace

void storms_reset(storm_watch &watch, uint32_t limit)
{
    std::memset(&watch, 0, sizeof watch);
    watch.limit = limit > STORM_LIMIT_MAX ? STORM_LIMIT_MAX : limit;
}

bool storm_admits(storm_watch &watch, int32_t code, int32_t timestamp, int64_t now)
{
    if (watch.limit == 0 || code <= EVENT_NONE || code >= EVENT_CODE_COUNT)
        return true;
    storm_kind &k = watch.kinds[code];
    if (!k.raging) {
        slide_window(k, now);
        if (k.queued_count < watch.limit) {
            k.queued_at[(k.queued_head + k.queued_count) % STORM_LIMIT_MAX] = now;
            k.queued_count++;
            return true;
        }
        k.raging = true;
        k.last_summary = now;
        log_message(LOG_NOTICE, "Storm of %s events: more than %u a minute, counting the rest",
                    CAPS_EVENT_TYPE_NAMES[code], unsigned(watch.limit));
    }
    k.last_event = now;
    count_event(k, timestamp);
    return false;
}

void storms_tick(storm_watch &watch, event_ring &queue, const channel_mask *masks, int64_t now)
{
    for (int32_t code = 1; code < EVENT_CODE_COUNT; code++) {
        storm_kind &k = watch.kinds[code];
        if (!k.raging)
            continue;
        if (now - k.last_event >= STORM_WINDOW_S) {
            log_message(LOG_NOTICE, "Storm of %s events over: %d counted since the last summary",
                        CAPS_EVENT_TYPE_NAMES[code], int(k.counted));
            queue_summary(k, code, queue, masks[code], now);
            k.raging = false;
            k.queued_count = 0;
        } else if (now - k.last_summary >= STORM_SUMMARY_EVERY_S) {
            queue_summary(k, code, queue, masks[code], now);
        }
    }
}

int32_t storms_unsummarised(const storm_watch &watch)
{
    int64_t total = 0;
    for (const storm_kind &k : watch.kinds)
        total += k.counted;
    return total > INT32_MAX ? INT32_MAX : int32_t(total);
}
