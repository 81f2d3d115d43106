// The storm limit's window, the storm's end and its summaries.
#include "core/storms.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

class storm_limit : public ::testing::Test {
protected:
    storm_watch watch;
    event_ring queue;
    channel_mask masks[EVENT_CODE_COUNT] = {0, 0, 0, NOTIFY_SMS | NOTIFY_TRAP};
    void SetUp() override
    {
        storms_reset(watch, 3);
        ring_clear(queue);
    }
    // The times at which events of code at those monotonic times were admitted.
    std::vector<int64_t> admitted(int32_t code, std::initializer_list<int64_t> times)
    {
        std::vector<int64_t> in;
        for (int64_t t : times) {
            if (storm_admits(watch, code, int32_t(1000 + t), t))
                in.push_back(t);
        }
        return in;
    }
};

TEST_F(storm_limit, at_most_the_limit_is_queued_in_any_60_seconds_then_the_kind_is_counted)
{
    syslog_capture log;
    // The window slides: the event at 0 leaves it at 60.
    EXPECT_EQ(admitted(LOGIN_FAILED, {0, 30, 59, 60, 61, 62, 100}),
              (std::vector<int64_t>{0, 30, 59, 60}));
    EXPECT_EQ(log.count("Storm of LOGIN_FAILED events: more than 3 a minute, counting the rest"), 1);
    // Another kind is not held back by the storm.
    EXPECT_EQ(admitted(CONFIG_CHANGED, {100}), std::vector<int64_t>{100});
    EXPECT_EQ(storms_unsummarised(watch), 3);

    storms_tick(watch, queue, masks, 159);  // 59 s after the last: still raging
    EXPECT_TRUE(ring_is_empty(queue));
    storms_tick(watch, queue, masks, 160);
    EXPECT_EQ(log.count("Storm of LOGIN_FAILED events over: 3 counted since the last summary"), 1);
    ASSERT_EQ(ring_count(queue), 1u);
    event_record summary = ring_pop(queue);
    EXPECT_EQ(summary.code, LOGIN_FAILED);
    EXPECT_EQ(summary.mask, NOTIFY_SMS | NOTIFY_TRAP);
    EXPECT_EQ(summary.counted, 3);
    EXPECT_EQ(summary.first_counted, 1061);
    EXPECT_EQ(summary.timestamp, 1100);
    EXPECT_EQ(storms_unsummarised(watch), 0);
    // Over: the kind is queued again.
    EXPECT_EQ(admitted(LOGIN_FAILED, {161}), std::vector<int64_t>{161});
}

TEST_F(storm_limit, a_long_storm_is_summarised_every_ten_minutes_and_nothing_is_lost)
{
    admitted(LOGIN_FAILED, {0, 1, 2});
    int32_t counted = 0;
    int summaries = 0;
    for (int64_t t = 3; t <= 1300; t += 10) {
        EXPECT_FALSE(storm_admits(watch, LOGIN_FAILED, int32_t(t), t));
        storms_tick(watch, queue, masks, t);
        for (; !ring_is_empty(queue); summaries++)
            counted += ring_pop(queue).counted;
    }
    EXPECT_EQ(summaries, 2);  // at 603 and 1203
    EXPECT_EQ(counted + storms_unsummarised(watch), 130);
}

TEST_F(storm_limit, limit_zero_queues_every_event)
{
    storms_reset(watch, 0);
    for (int64_t t = 0; t < 100; t++)
        EXPECT_TRUE(storm_admits(watch, LOGIN_FAILED, 0, 0));
    storms_tick(watch, queue, masks, 1000);
    EXPECT_TRUE(ring_is_empty(queue));
}

}  // namespace
