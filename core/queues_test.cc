#include "core/queues.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// The rings are large; the tests use their own static instances.
event_ring events;
sms_retry_ring retries;

event_record record(int32_t code)
{
    return event_record{code, channel_mask(code) & 0x3F, 1700000000 + code};
}

void expect_record(const event_record &got, int32_t code)
{
    EXPECT_EQ(got.code, code);
    EXPECT_EQ(got.mask, channel_mask(code) & 0x3F);
    EXPECT_EQ(got.timestamp, 1700000000 + code);
}

// Fills an empty event ring to its limit; codes 1..1023 in push order.
void fill(event_ring &r)
{
    for (int32_t i = 1; i <= 1023; i++)
        ASSERT_TRUE(ring_push(r, record(i))) << i;
}

TEST(queues_event_ring, holds_at_most_1023_records_and_refuses_the_1024th)
{
    events = event_ring{};
    ring_clear(events);
    EXPECT_TRUE(ring_is_empty(events));
    fill(events);
    EXPECT_TRUE(ring_is_full(events));
    EXPECT_FALSE(ring_is_empty(events));
    EXPECT_FALSE(ring_push(events, record(4242)));
    EXPECT_EQ(events.head, 0u);
    EXPECT_EQ(events.tail, 1023u);
    EXPECT_EQ(events.slots[1023].code, 0);  // the free slot stays untouched
    for (int32_t i = 1; i <= 1023; i++)
        expect_record(ring_pop(events), i);
    EXPECT_TRUE(ring_is_empty(events));
}

TEST(queues_event_ring, indices_wrap_from_slot_1023_to_slot_0)
{
    ring_clear(events);
    fill(events);
    for (int32_t i = 1; i <= 1023; i++)
        ring_pop(events);
    EXPECT_EQ(events.head, 1023u);
    EXPECT_EQ(events.tail, 1023u);
    EXPECT_TRUE(ring_is_empty(events));

    ASSERT_TRUE(ring_push(events, record(7)));
    EXPECT_EQ(events.slots[1023].code, 7);
    EXPECT_EQ(events.tail, 0u);
    ASSERT_TRUE(ring_push(events, record(8)));
    EXPECT_EQ(events.slots[0].code, 8);
    EXPECT_EQ(events.tail, 1u);
    expect_record(ring_pop(events), 7);
    EXPECT_EQ(events.head, 0u);
    expect_record(ring_pop(events), 8);
    EXPECT_EQ(events.head, 1u);
    EXPECT_TRUE(ring_is_empty(events));
}

TEST(queues_event_ring, put_back_returns_a_record_to_the_slot_it_was_taken_from)
{
    // Taken from slot 1023: head wraps back from 0 to 1023.
    events.head = events.tail = 1023;
    ASSERT_TRUE(ring_push(events, record(1)));
    ASSERT_TRUE(ring_push(events, record(2)));
    event_record first = ring_pop(events);
    EXPECT_EQ(events.head, 0u);
    ASSERT_TRUE(ring_put_back(events, first));
    EXPECT_EQ(events.head, 1023u);
    EXPECT_EQ(events.slots[1023].code, 1);
    expect_record(ring_pop(events), 1);
    expect_record(ring_pop(events), 2);

    // Taken from slot 0: head goes back to 0.
    ring_clear(events);
    ASSERT_TRUE(ring_push(events, record(3)));
    ASSERT_TRUE(ring_push(events, record(4)));
    event_record third = ring_pop(events);
    EXPECT_EQ(events.head, 1u);
    ASSERT_TRUE(ring_put_back(events, third));
    EXPECT_EQ(events.head, 0u);
    expect_record(ring_pop(events), 3);
    expect_record(ring_pop(events), 4);
    EXPECT_TRUE(ring_is_empty(events));
}

TEST(queues_event_ring, put_back_is_refused_when_the_ring_is_full)
{
    events = event_ring{};
    fill(events);
    EXPECT_FALSE(ring_put_back(events, record(999)));
    EXPECT_EQ(events.head, 0u);
    EXPECT_EQ(events.slots[1023].code, 0);
    expect_record(ring_pop(events), 1);
}

TEST(queues_sms_ring, holds_at_most_255_entries_and_keeps_every_field)
{
    memset(&retries, 0, sizeof retries);
    const char *recipient = "+4790000000";
    for (int32_t i = 1; i <= 255; i++)
        ASSERT_TRUE(ring_push(retries, i % 9, recipient, "2024-01-02 03:04:05", 5, 1000 + i)) << i;
    EXPECT_TRUE(ring_is_full(retries));
    EXPECT_FALSE(ring_push(retries, 8, recipient, "2099-12-31 23:59:59", 5, 1));
    EXPECT_EQ(retries.tail, 255u);
    EXPECT_EQ(retries.slots[255].code, 0);
    EXPECT_EQ(retries.slots[255].timestamp_text[0], '\0');

    sms_retry_entry entry = ring_pop(retries);
    EXPECT_EQ(entry.code, 1);
    EXPECT_EQ(entry.recipient, recipient);  // a reference to the settings text, not a copy
    EXPECT_STREQ(entry.timestamp_text, "2024-01-02 03:04:05");
    EXPECT_EQ(entry.attempts_left, 5);
    EXPECT_EQ(entry.not_before, 1001);
    EXPECT_EQ(retries.head, 1u);
}

TEST(queues_sms_ring, pop_of_an_empty_ring_gives_an_all_zero_entry_and_keeps_the_indices)
{
    ring_clear(retries);
    ASSERT_TRUE(ring_push(retries, 3, "+47", "2024-01-02 03:04:05", 2, 99));
    ring_pop(retries);
    ASSERT_TRUE(ring_is_empty(retries));
    EXPECT_EQ(retries.head, 1u);

    sms_retry_entry entry = ring_pop(retries);
    EXPECT_EQ(entry.code, 0);
    EXPECT_EQ(entry.recipient, nullptr);
    EXPECT_EQ(entry.attempts_left, 0);
    EXPECT_EQ(entry.not_before, 0);
    for (char c : entry.timestamp_text)
        EXPECT_EQ(c, '\0');
    EXPECT_EQ(retries.head, 1u);
    EXPECT_EQ(retries.tail, 1u);
}

TEST(queues_sms_ring, timestamp_text_fills_the_field_with_its_nul_and_never_more)
{
    ring_clear(retries);
    memset(retries.slots, 'x', 3 * sizeof retries.slots[0]);
    ASSERT_TRUE(ring_push(retries, 1, "+47", "2024-02-29 23:59:59", 5, 0));
    EXPECT_EQ(memcmp(retries.slots[0].timestamp_text, "2024-02-29 23:59:59", 20), 0);

    // A longer text keeps only its first 19 characters.
    ASSERT_TRUE(ring_push(retries, 1, "+47", "2024-02-29 23:59:59 and more", 5, 0));
    EXPECT_EQ(memcmp(retries.slots[1].timestamp_text, "2024-02-29 23:59:59", 20), 0);

    // A text that already is the slot's own is kept as it is.
    memcpy(retries.slots[2].timestamp_text, "1999-12-31 23:59:59", 20);
    ASSERT_TRUE(ring_push(retries, 1, "+47", retries.slots[2].timestamp_text, 5, 0));
    EXPECT_STREQ(retries.slots[2].timestamp_text, "1999-12-31 23:59:59");
}

TEST(queues_event_names, tables_name_every_code)
{
    EXPECT_STREQ(CAPS_EVENT_TYPE_NAMES[0], "NONE");
    EXPECT_STREQ(EVENT_TYPE_NAMES[ETH0_DISCONNECTED], "Ethernet cable 0 disconnected");
    EXPECT_STREQ(EVENT_TYPE_NAMES[TEST_EVENT], "Test event triggered");
    EXPECT_STREQ(CAPS_EVENT_TYPE_NAMES[LOGIN_FAILED], "LOGIN_FAILED");
    EXPECT_STREQ(EVENT_TYPE_NAMES[SYSTEM_REBOOT], "System rebooted");
}

}  // namespace
