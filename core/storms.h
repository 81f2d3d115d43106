// Alert storms: a flood of one kind of event (a brute-force login attempt, a
// flapping cable) must neither bury the other kinds behind it nor cost an
// SMS per event. At most `limit` events of one kind are queued in any 60
// seconds; once that is exceeded the kind is in a storm and its further
// events are counted, not queued. A summary of the count goes out when the
// storm ends (60 s without an event of its kind) and every 10 minutes while it
// lasts, so that every event is either notified alone or counted in a
// summary. Owns the storm state of every kind; never sends anything itself.
#pragma once
#include <cstdint>
#include "core/events.h"
#include "core/queues.h"

constexpr uint32_t STORM_LIMIT_DEFAULT = 5;   // events of one kind per minute
constexpr uint32_t STORM_LIMIT_MAX = 60;      // a larger setting is taken as this
constexpr int64_t STORM_WINDOW_S = 60;        // also the quiet time that ends a storm
constexpr int64_t STORM_SUMMARY_EVERY_S = 600;

struct storm_kind {
    int64_t queued_at[STORM_LIMIT_MAX];  // monotonic seconds of the last queued events
    uint32_t queued_head;                // oldest of them
    uint32_t queued_count;
    bool raging;
    int64_t last_event;    // monotonic seconds of the storm's last event
    int64_t last_summary;  // of its last summary, or of its start
    int32_t counted;       // events counted since the last summary
    int32_t first_time;    // event times of the first and last of them
    int32_t last_time;
};

struct storm_watch {
    uint32_t limit;  // 0: no limit, every event is queued
    storm_kind kinds[EVENT_CODE_COUNT];
};

// The daemon's storm state, consulted by raise_event.
extern storm_watch storms;

// Forgets every storm and sets the limit (0 turns it off).
void storms_reset(storm_watch &watch, uint32_t limit);

// Whether an event of code at event time timestamp may be queued at
// monotonic time now; when not, it is counted. Logs the start of a storm.
bool storm_admits(storm_watch &watch, int32_t code, int32_t timestamp, int64_t now);

// Ends the storms that are over and queues the summaries that are due, with
// each kind's channel mask. Logs the end of a storm.
void storms_tick(storm_watch &watch, event_ring &queue, const channel_mask *masks, int64_t now);

// Events counted that no summary has carried yet.
int32_t storms_unsummarised(const storm_watch &watch);
