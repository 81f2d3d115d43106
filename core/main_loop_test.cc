// The cycle's retry and dispatch rules, with fake notifiers and a fake clock.
#include "core/main_loop.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/command.h"
#include "core/process.h"
#include "tests/support/test_support.h"

namespace {

struct call {
    std::string channel;  // "snmp", "mail", "sms", "date"
    int32_t code;
    uint32_t mask;
    std::string recipient;
    int resume_group_3 = 0;  // where mail group 3 was asked to start
};

std::vector<call> calls;
std::vector<int> snmp_results;   // consumed front first; empty = success
std::vector<int32_t> mail_results;
std::vector<int> sms_results;
time_t fake_now;
int polls_before_stop;
bool stop_at_first_sms;  // the fake SMS tool sees a SIGTERM arrive while it runs

template <typename T>
T next_result(std::vector<T> &results)
{
    if (results.empty())
        return 0;
    T r = results.front();
    results.erase(results.begin());
    return r;
}

int fake_snmp(const event_record &r, const snmp_settings &)
{
    calls.push_back({"snmp", r.code, 0, ""});
    return next_result(snmp_results);
}

// A failing group is taken to have stopped at its third address.
int32_t fake_mail(event_record &r, const module_settings &)
{
    calls.push_back({"mail", r.code, r.mask, "", r.mail_resume[2]});
    int32_t failed = next_result(mail_results) & int32_t(r.mask);
    for (int group = 1; group <= MAIL_GROUP_COUNT; group++)
        r.mail_resume[group - 1] = (failed & int32_t(mail_group_bit(group))) ? 2 : 0;
    return failed;
}

run_result fake_sms(int32_t code, int32_t, const char *recipient, const char *ts,
                    const module_settings &)
{
    calls.push_back({"sms", code, 0, std::string(recipient) + "@" + ts});
    if (stop_at_first_sms)
        got_signal = SIGTERM;
    run_result result = refused_run();
    result.end = RUN_EXITED;
    result.status = next_result(sms_results);
    return result;
}

void fake_format(int32_t seconds, char *text)
{
    calls.push_back({"date", seconds, 0, ""});
    snprintf(text, TIMESTAMP_TEXT_SIZE, "T%d", int(seconds));
}

bool fake_poll(const module_settings &, event_ring &) { return --polls_before_stop > 0; }
time_t fake_clock() { return fake_now; }

loop_actions FAKE = {fake_snmp, fake_mail, fake_sms, fake_format, fake_poll, fake_clock,
                     DAEMON_TIMINGS, nullptr};

event_ring queue;
module_settings settings;

class main_loop_cycle : public ::testing::Test {
protected:
    void SetUp() override
    {
        calls.clear();
        snmp_results.clear();
        mail_results.clear();
        sms_results.clear();
        fake_now = 100000;
        polls_before_stop = 1;
        got_signal = 0;
        stop_at_first_sms = false;
        FAKE.timings = DAEMON_TIMINGS;
        queues_initialised = false;
        ring_clear(reserve_mail_queue);
        ring_clear(reserve_snmp_queue);
        ring_clear(sms_reserve_queue);
        ring_clear(queue);
        std::memset(&settings, 0, sizeof settings);
        static const char *none = "";
        for (auto &r : settings.sms_recipients)
            r = none;
        settings.sms_recipients[0] = "+111";
    }
    void TearDown() override
    {
        got_signal = 0;
        FAKE.timings = DAEMON_TIMINGS;
    }
    void queue_event(int32_t code, uint32_t mask, int32_t ts = 5)
    {
        ASSERT_TRUE(ring_push(queue, event_record{code, mask, ts}));
    }
    std::vector<std::string> channels() const
    {
        std::vector<std::string> out;
        for (const call &c : calls)
            out.push_back(c.channel + ":" + std::to_string(c.code));
        return out;
    }
    size_t count(const ring<event_record, 1024> &r) const { return (r.tail - r.head) & event_ring::MASK; }
    size_t sms_count() const { return (sms_reserve_queue.tail - sms_reserve_queue.head) & sms_retry_ring::MASK; }
};

TEST_F(main_loop_cycle, first_cycle_empties_stale_reserve_rings_once)
{
    ring_push(reserve_snmp_queue, event_record{1, NOTIFY_TRAP, 1});
    ring_push(sms_reserve_queue, 1, "+1", "t", 5, 0);
    run_dispatch(settings, queue, FAKE);
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(ring_is_empty(reserve_snmp_queue));
    EXPECT_TRUE(ring_is_empty(sms_reserve_queue));
    ring_push(reserve_snmp_queue, event_record{2, NOTIFY_TRAP, 1});
    run_dispatch(settings, queue, FAKE);
    EXPECT_EQ(channels(), std::vector<std::string>{"snmp:2"});
}

TEST_F(main_loop_cycle, drained_event_goes_snmp_then_mail_then_sms)
{
    settings.sms_recipients[3] = "+444";
    queue_event(CONFIG_CHANGED, NOTIFY_TRAP | NOTIFY_MAIL_GROUP_2 | NOTIFY_SMS, 42);
    queue_event(EVENT_NONE, 0x3F);
    run_dispatch(settings, queue, FAKE);
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(channels(), (std::vector<std::string>{"snmp:1", "mail:1", "date:42", "sms:1", "sms:1"}));
    EXPECT_EQ(calls[3].recipient, "+111@T42");
    EXPECT_EQ(calls[4].recipient, "+444@T42");
    EXPECT_TRUE(ring_is_empty(queue));
}

TEST_F(main_loop_cycle, broken_manager_costs_one_attempt_per_cycle_and_keeps_order)
{
    run_dispatch(settings, queue, FAKE);  // first-cycle reset
    calls.clear();
    snmp_results = {1};
    queue_event(1, NOTIFY_TRAP | NOTIFY_MAIL_GROUP_1);
    queue_event(2, NOTIFY_TRAP | NOTIFY_MAIL_GROUP_1);
    queue_event(3, NOTIFY_TRAP);
    run_dispatch(settings, queue, FAKE);
    // One SNMP attempt; the later events go to the reserve without one, and
    // their mail is still sent.
    EXPECT_EQ(channels(), (std::vector<std::string>{"snmp:1", "mail:1", "mail:2"}));
    EXPECT_EQ(count(reserve_snmp_queue), 3u);

    calls.clear();
    snmp_results = {1};
    run_dispatch(settings, queue, FAKE);
    EXPECT_EQ(channels(), std::vector<std::string>{"snmp:1"});
    EXPECT_EQ(count(reserve_snmp_queue), 3u);

    calls.clear();
    run_dispatch(settings, queue, FAKE);  // the manager answers again
    EXPECT_EQ(channels(), (std::vector<std::string>{"snmp:1", "snmp:2", "snmp:3"}));
    EXPECT_TRUE(ring_is_empty(reserve_snmp_queue));
}

TEST_F(main_loop_cycle, failed_mail_group_is_retried_alone_from_the_address_it_stopped_at)
{
    run_dispatch(settings, queue, FAKE);
    queue_event(4, NOTIFY_MAIL_GROUP_1 | NOTIFY_MAIL_GROUP_3);
    mail_results = {int32_t(NOTIFY_MAIL_GROUP_3)};
    run_dispatch(settings, queue, FAKE);
    ASSERT_EQ(count(reserve_mail_queue), 1u);
    EXPECT_EQ(reserve_mail_queue.slots[reserve_mail_queue.head].mask, NOTIFY_MAIL_GROUP_3);

    calls.clear();
    mail_results = {int32_t(NOTIFY_MAIL_GROUP_3)};
    run_dispatch(settings, queue, FAKE);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].mask, NOTIFY_MAIL_GROUP_3);
    EXPECT_EQ(calls[0].resume_group_3, 2);
    EXPECT_EQ(reserve_mail_queue.slots[reserve_mail_queue.head].mask, NOTIFY_MAIL_GROUP_3);

    calls.clear();
    run_dispatch(settings, queue, FAKE);
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_TRUE(ring_is_empty(reserve_mail_queue));
}

TEST_F(main_loop_cycle, mail_failure_keeps_snmp_and_sms_bits_and_still_sends_sms)
{
    run_dispatch(settings, queue, FAKE);
    queue_event(1, 0x2B);
    mail_results = {int32_t(NOTIFY_MAIL_GROUP_1)};
    run_dispatch(settings, queue, FAKE);
    EXPECT_EQ(channels(), (std::vector<std::string>{"snmp:1", "mail:1", "date:5", "sms:1"}));
    ASSERT_EQ(count(reserve_mail_queue), 1u);
    EXPECT_EQ(reserve_mail_queue.slots[reserve_mail_queue.head].mask, 0x23u);
}

TEST_F(main_loop_cycle, both_channels_broken_still_sends_sms_at_once_and_reserves_the_rest)
{
    run_dispatch(settings, queue, FAKE);
    queue_event(1, NOTIFY_TRAP | NOTIFY_MAIL_GROUP_1 | NOTIFY_SMS);
    queue_event(2, NOTIFY_SMS);
    queue_event(3, NOTIFY_TRAP | NOTIFY_MAIL_GROUP_1);
    snmp_results = {1};
    mail_results = {int32_t(NOTIFY_MAIL_GROUP_1)};
    run_dispatch(settings, queue, FAKE);
    // One attempt per broken channel; every SMS goes out in the same drain.
    EXPECT_EQ(channels(), (std::vector<std::string>{"snmp:1", "mail:1", "date:5", "sms:1", "date:5", "sms:2"}));
    EXPECT_TRUE(ring_is_empty(queue));
    EXPECT_EQ(count(reserve_snmp_queue), 2u);
    EXPECT_EQ(count(reserve_mail_queue), 2u);
}

TEST_F(main_loop_cycle, full_reserve_ring_loses_only_that_channel)
{
    run_dispatch(settings, queue, FAKE);
    for (int i = 0; i < 1023; i++)
        ring_push(reserve_snmp_queue, event_record{1, NOTIFY_TRAP, i});
    snmp_results = {1};
    queue_event(2, NOTIFY_TRAP | NOTIFY_MAIL_GROUP_1);
    calls.clear();
    run_dispatch(settings, queue, FAKE);
    EXPECT_EQ(channels(), (std::vector<std::string>{"snmp:1", "mail:2"}));
    EXPECT_EQ(count(reserve_snmp_queue), 1023u);
    EXPECT_TRUE(ring_is_empty(queue));
}

TEST_F(main_loop_cycle, sms_is_retried_five_times_120_seconds_apart_then_given_up)
{
    run_dispatch(settings, queue, FAKE);
    queue_event(8, NOTIFY_SMS);
    sms_results = {1, 1, 1, 1, 1, 1};
    run_dispatch(settings, queue, FAKE);
    ASSERT_EQ(sms_count(), 1u);
    const sms_retry_entry &first = sms_reserve_queue.slots[sms_reserve_queue.head];
    EXPECT_EQ(first.attempts_left, 5);
    EXPECT_EQ(first.not_before, 100120);
    EXPECT_STREQ(first.timestamp_text, "T5");

    int tries = 1;
    for (int step = 0; step < 20 && sms_count() > 0; step++) {
        size_t before = calls.size();
        fake_now += 60;
        run_dispatch(settings, queue, FAKE);
        tries += int(calls.size() - before);
        if (sms_count() > 0) {
            const sms_retry_entry &e = sms_reserve_queue.slots[sms_reserve_queue.head];
            EXPECT_GE(e.not_before - fake_now, calls.size() > before ? 120 : 1);
        }
    }
    EXPECT_EQ(tries, 6);  // the first send and five retries
    EXPECT_EQ(sms_count(), 0u);
}

TEST_F(main_loop_cycle, sms_pass_visits_each_entry_once_and_keeps_order)
{
    run_dispatch(settings, queue, FAKE);
    ring_push(sms_reserve_queue, 1, "+a", "t", 5, 100000);  // due, fails
    ring_push(sms_reserve_queue, 2, "+b", "t", 5, 200000);  // not due
    ring_push(sms_reserve_queue, 3, "+c", "t", 5, 0);       // due, sent
    sms_results = {1, 0};
    run_dispatch(settings, queue, FAKE);
    EXPECT_EQ(channels(), (std::vector<std::string>{"sms:1", "sms:3"}));
    ASSERT_EQ(sms_count(), 2u);
    // The survivors keep their order: the failed one, then the one not due.
    const sms_retry_entry &requeued = sms_reserve_queue.slots[sms_reserve_queue.head];
    EXPECT_EQ(requeued.code, 1);
    EXPECT_EQ(requeued.attempts_left, 4);
    EXPECT_EQ(requeued.not_before, 100120);
    const sms_retry_entry &waiting = sms_reserve_queue.slots[(sms_reserve_queue.head + 1) & 0xFF];
    EXPECT_EQ(waiting.code, 2);
    EXPECT_EQ(waiting.attempts_left, 5);  // attempts are not spent while waiting
    EXPECT_EQ(waiting.not_before, 200000);
}

TEST_F(main_loop_cycle, sms_failure_with_full_retry_ring_is_dropped)
{
    run_dispatch(settings, queue, FAKE);
    for (int i = 0; i < 255; i++)
        ring_push(sms_reserve_queue, 1, "+x", "t", 5, 900000);
    queue_event(3, NOTIFY_SMS);
    sms_results = {1};
    run_dispatch(settings, queue, FAKE);
    EXPECT_EQ(sms_count(), 255u);
    EXPECT_EQ(sms_reserve_queue.slots[(sms_reserve_queue.tail - 1) & 0xFF].code, 1);
}

TEST_F(main_loop_cycle, sms_event_without_recipients_still_formats_the_time_once)
{
    settings.sms_recipients[0] = "";
    queue_event(7, NOTIFY_SMS, 77);
    run_dispatch(settings, queue, FAKE);
    EXPECT_EQ(channels(), std::vector<std::string>{"date:77"});
}

TEST_F(main_loop_cycle, loop_stops_on_signal_before_a_cycle_or_when_polling_fails)
{
    got_signal = 15;
    queue_event(1, NOTIFY_TRAP);
    main_loop(settings, queue, FAKE);
    EXPECT_TRUE(calls.empty());

    got_signal = 0;
    polls_before_stop = 3;
    main_loop(settings, queue, FAKE);
    EXPECT_EQ(polls_before_stop, 0);
    EXPECT_EQ(channels(), std::vector<std::string>{"snmp:1"});
}

TEST_F(main_loop_cycle, a_stop_during_sends_finishes_the_cycle_before_the_deadline_without_polling)
{
    settings.sms_recipients[1] = "+222";
    queue_event(1, NOTIFY_SMS, 1);
    queue_event(2, NOTIFY_SMS, 2);
    stop_at_first_sms = true;
    polls_before_stop = 5;
    syslog_capture log;
    main_loop(settings, queue, FAKE);
    EXPECT_EQ(channels(), (std::vector<std::string>{"date:1", "sms:1", "sms:1", "date:2", "sms:2",
                                                    "sms:2"}));
    EXPECT_EQ(polls_before_stop, 5);
    EXPECT_EQ(log.text(), "");
}

TEST_F(main_loop_cycle, a_stop_past_its_deadline_takes_no_further_event_and_counts_what_is_left)
{
    FAKE.timings.stop_deadline_ms = 0;
    settings.sms_recipients[1] = "+222";
    queue_event(1, NOTIFY_SMS, 1);
    queue_event(2, NOTIFY_SMS, 2);
    stop_at_first_sms = true;
    sms_results = {1};
    syslog_capture log;
    main_loop(settings, queue, FAKE);
    // The recipients of the event in hand are still handed to the notifier
    // (whose runner refuses to start a tool by now).
    EXPECT_EQ(channels(), (std::vector<std::string>{"date:1", "sms:1", "sms:1"}));
    EXPECT_EQ(log.count("Warning: 2 notifications left undelivered: 1 events waiting, "
                        "0 SNMP and 0 e-mail reserve records, 1 SMS retries"), 1);
}

}  // namespace
