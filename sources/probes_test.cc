#include "sources/probes.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tests/support/test_support.h"

namespace {

const char *const QUEUE_FULL_LINE = "t: Warning: Event queue full!\n";

std::vector<event_record> drain(event_ring &queue)
{
    std::vector<event_record> records;
    while (!ring_is_empty(queue))
        records.push_back(ring_pop(queue));
    return records;
}

// Carrier files dir/eth0..eth2 and a request file in a fresh directory.
class probes : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.path().empty());
        carrier_template = dir.file("eth?");
        request_path = dir.file("test_request");
        for (int &count : carrier_down_count)
            count = -1;
        ring_clear(queue);
        settings = module_settings{};
        settings.channel_masks[ETH0_DISCONNECTED] = 0x01;
        settings.channel_masks[ETH1_DISCONNECTED] = 0x22;
        settings.channel_masks[ETH2_DISCONNECTED] = 0;  // queued all the same
        settings.channel_masks[TEST_EVENT] = 0x3F;
    }

    std::string carrier_path(int port) { return dir.file(std::string("eth") + char('0' + port)); }
    // Writes the carrier file; a null content removes it.
    void set_carrier(int port, const char *content)
    {
        std::string path = carrier_path(port);
        unlink(path.c_str());
        if (content)
            write_file(path, content);
    }
    void set_all(const char *content)
    {
        for (int port = 0; port < 3; port++)
            set_carrier(port, content);
    }
    void request_test() { write_file(request_path, ""); }
    void probe_request(int32_t poll_time)
    {
        poll_clock clock = {poll_time, true};
        probe_test_request(clock, settings, queue, request_path.c_str());
    }
    void probe(int32_t poll_time)
    {
        poll_clock clock = {poll_time, true};
        probe_carriers(clock, settings, queue, carrier_template.c_str());
    }
    // Probes port 0 once per content (null = file missing) and gives the
    // count after each probe and the events raised.
    std::vector<int> run_port0(std::vector<const char *> contents)
    {
        std::vector<int> counts;
        int32_t poll_time = 1000;
        for (const char *content : contents) {
            set_carrier(0, content);
            probe(poll_time++);
            counts.push_back(carrier_down_count[0]);
        }
        return counts;
    }

    temp_dir dir{"norvale_probes"};
    std::string carrier_template, request_path;
    module_settings settings;
    event_ring queue;
};

TEST_F(probes, port_that_never_had_carrier_never_reports)
{
    EXPECT_EQ(run_port0({nullptr, "0\n", "", nullptr, "0\n"}),
              (std::vector<int>{-1, -1, -1, -1, -1}));
    EXPECT_TRUE(ring_is_empty(queue));
}

TEST_F(probes, one_probe_without_carrier_raises_nothing)
{
    EXPECT_EQ(run_port0({"1\n", "0\n", "1\n", nullptr, "1\n"}),
              (std::vector<int>{0, 1, 0, 1, 0}));
    EXPECT_TRUE(ring_is_empty(queue));
}

TEST_F(probes, second_probe_without_carrier_raises_one_event_then_disarms)
{
    EXPECT_EQ(run_port0({"1\n", "0\n", "0\n", "0\n", nullptr}),
              (std::vector<int>{0, 1, -1, -1, -1}));
    std::vector<event_record> got = drain(queue);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].code, ETH0_DISCONNECTED);
    EXPECT_EQ(got[0].mask, 0x01u);
    EXPECT_EQ(got[0].timestamp, 1002);  // the poll time of the second probe without carrier
}

TEST_F(probes, carrier_seen_again_rearms_the_port)
{
    run_port0({"1\n", "0\n", "0\n", "1\n", "0\n", "0\n"});
    std::vector<event_record> got = drain(queue);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].timestamp, 1002);
    EXPECT_EQ(got[1].timestamp, 1005);
}

TEST_F(probes, only_a_first_character_one_means_carrier)
{
    EXPECT_EQ(run_port0({"1", "1 and more\n", "10"}), (std::vector<int>{0, 0, 0}));
    const char *const absent[] = {"0\n", "", " 1\n", "one\n", "\n", nullptr};
    for (const char *content : absent) {
        carrier_down_count[0] = 0;
        set_carrier(0, content);
        probe(7);
        EXPECT_EQ(carrier_down_count[0], 1) << (content ? content : "(missing)");
    }
    // A carrier "file" that cannot be read (here a directory) is no carrier.
    set_carrier(0, nullptr);
    ASSERT_EQ(mkdir(carrier_path(0).c_str(), 0755), 0);
    carrier_down_count[0] = 0;
    probe(7);
    EXPECT_EQ(carrier_down_count[0], 1);
    EXPECT_TRUE(ring_is_empty(queue));
}

TEST_F(probes, ports_report_in_order_with_one_poll_time_before_the_test_request)
{
    set_all("1\n");
    probe(500);
    set_all("0\n");
    probe(501);
    EXPECT_TRUE(ring_is_empty(queue));
    probe(502);
    request_test();
    probe_request(502);
    std::vector<event_record> got = drain(queue);
    ASSERT_EQ(got.size(), 4u);
    const int32_t codes[] = {ETH0_DISCONNECTED, ETH1_DISCONNECTED, ETH2_DISCONNECTED, TEST_EVENT};
    for (size_t i = 0; i < got.size(); i++) {
        EXPECT_EQ(got[i].code, codes[i]);
        EXPECT_EQ(got[i].mask, settings.channel_masks[codes[i]]);
        EXPECT_EQ(got[i].timestamp, 502);
    }
}

TEST_F(probes, ports_are_counted_apart)
{
    set_all("1\n");
    probe(1);
    set_carrier(1, "0\n");
    probe(2);
    set_carrier(2, nullptr);
    probe(3);  // port 1's second probe without carrier, port 2's first
    probe(4);
    std::vector<event_record> got = drain(queue);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].code, ETH1_DISCONNECTED);
    EXPECT_EQ(got[0].timestamp, 3);
    EXPECT_EQ(got[1].code, ETH2_DISCONNECTED);
    EXPECT_EQ(got[1].timestamp, 4);
    EXPECT_EQ(carrier_down_count[0], 0);
}

TEST_F(probes, test_request_is_consumed_and_counts_once)
{
    probe_request(10);
    EXPECT_TRUE(ring_is_empty(queue));

    request_test();
    request_test();  // asked twice between two probes
    probe_request(11);
    probe_request(12);
    EXPECT_FALSE(file_exists(request_path.c_str()));
    std::vector<event_record> got = drain(queue);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].code, TEST_EVENT);
    EXPECT_EQ(got[0].mask, 0x3Fu);
    EXPECT_EQ(got[0].timestamp, 11);

    // Any kind of entry is a request.
    ASSERT_EQ(mkdir(request_path.c_str(), 0755), 0);
    EXPECT_TRUE(file_exists(request_path.c_str()));
    probe_request(13);
    EXPECT_EQ(drain(queue).size(), 1u);
}

TEST_F(probes, request_that_cannot_be_removed_is_reported_every_time)
{
    // A non-empty directory survives the removal.
    ASSERT_EQ(mkdir(request_path.c_str(), 0755), 0);
    std::string inner = request_path + "/x";
    ASSERT_EQ(mkdir(inner.c_str(), 0755), 0);
    probe_request(20);
    probe_request(21);
    EXPECT_EQ(drain(queue).size(), 2u);
}

TEST_F(probes, full_queue_loses_events_but_consumes_request_and_disarms_port)
{
    for (int i = 0; i < 1023; i++)
        ASSERT_TRUE(ring_push(queue, event_record{CONFIG_CHANGED, 0, i}));
    syslog_capture log;
    request_test();
    probe_request(30);
    EXPECT_FALSE(file_exists(request_path.c_str()));
    run_port0({"1\n", "0\n", "0\n"});
    EXPECT_EQ(carrier_down_count[0], -1);
    EXPECT_EQ(log.text(), std::string(QUEUE_FULL_LINE) + QUEUE_FULL_LINE);

    // Room again, but the lost disconnection is not raised a second time.
    ring_pop(queue);
    run_port0({"0\n", nullptr});
    EXPECT_EQ(queue.slots[(queue.tail + 1023) & 0x3FF].code, CONFIG_CHANGED);
    EXPECT_FALSE(ring_is_full(queue));
}

TEST_F(probes, a_quiet_phase_reads_no_time_and_an_event_reads_it_once)
{
    set_all("1\n");
    poll_clock clock = {-1, false};
    probe_carriers(clock, settings, queue, carrier_template.c_str());
    EXPECT_FALSE(clock.read);
    request_test();
    probe_test_request(clock, settings, queue, request_path.c_str());
    ASSERT_TRUE(clock.read);
    EXPECT_GT(clock.time, 1700000000);
    std::vector<event_record> got = drain(queue);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].timestamp, clock.time);
}

TEST_F(probes, template_without_port_placeholder_probes_nothing)
{
    set_all("1\n");
    std::string no_placeholder = dir.file("eth0");
    syslog_capture log;
    poll_clock clock = {1, true};
    probe_carriers(clock, settings, queue, no_placeholder.c_str());
    for (int count : carrier_down_count)
        EXPECT_EQ(count, -1);
    EXPECT_NE(log.text().find("Error: carrier file path template unusable"), std::string::npos);
}

}  // namespace
