// The daemon's own log sender on a datagram socket standing in for /dev/log.
#include "core/log.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "tests/support/test_support.h"

namespace {

class log_sender : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.path().empty());
        path = dir.file("log");
        bind_reader();
    }
    void TearDown() override
    {
        if (reader >= 0)
            close(reader);
    }
    void bind_reader()
    {
        reader = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        unlink(path.c_str());
        ASSERT_EQ(bind(reader, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    }
    // The next record waiting on the socket, "" when none is there.
    std::string next_record()
    {
        char record[4096];
        ssize_t got = recv(reader, record, sizeof record, MSG_DONTWAIT);
        return got > 0 ? std::string(record, size_t(got)) : "";
    }
    // The record's text after "IDENT[PID]: ".
    static std::string text_of(const std::string &record)
    {
        size_t at = record.find("]: ");
        return at == std::string::npos ? record : record.substr(at + 3);
    }

    temp_dir dir{"norvale-log"};
    std::string path;
    int reader = -1;
};

TEST_F(log_sender, record_has_the_system_log_layout_with_facility_ident_and_pid)
{
    log_open("nv", path.c_str());
    log_message(LOG_ERR, "Error: %s", "x");
    std::string record = next_record();
    std::string head = "<" + std::to_string(LOG_DAEMON | LOG_ERR) + ">";
    ASSERT_EQ(record.compare(0, head.size(), head), 0) << record;
    // "Mmm dd hh:mm:ss " then the identity.
    EXPECT_EQ(record.substr(head.size() + 16), "nv[" + std::to_string(getpid()) + "]: Error: x");
}

TEST_F(log_sender, full_socket_drops_after_a_bounded_wait_and_reports_the_count_later)
{
    log_open("nv", path.c_str());
    log_cycle_start();
    // The reader takes nothing: the queue fills, then each message waits
    // its short time, until the cycle's share of waiting is spent.
    for (int n = 0; n < 40; n++)
        log_message(LOG_NOTICE, "m%d", n);
    std::vector<std::string> got;
    for (std::string r; !(r = next_record()).empty();)
        got.push_back(text_of(r));
    ASSERT_FALSE(got.empty());
    ASSERT_LT(got.size(), 40u);
    EXPECT_EQ(got.front(), "m0");
    int dropped = 40 - int(got.size());
    log_message(LOG_NOTICE, "after");
    EXPECT_EQ(text_of(next_record()), "after");
    EXPECT_EQ(text_of(next_record()),
              "Warning: " + std::to_string(dropped) + " log messages dropped while the system log was not reading");
}

TEST_F(log_sender, burst_loses_nothing_while_the_reader_keeps_up)
{
    log_open("nv", path.c_str());
    log_cycle_start();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (int n = 0; n < 200; n++)
            log_message(LOG_NOTICE, "burst %d", n);
        _exit(0);
    }
    int received = 0;
    char record[4096];
    while (received < 200 && recv(reader, record, sizeof record, 0) > 0)
        received++;
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(received, 200);
}

TEST_F(log_sender, reconnects_when_the_system_log_restarts)
{
    log_open("nv", path.c_str());
    log_message(LOG_NOTICE, "before");
    EXPECT_EQ(text_of(next_record()), "before");
    close(reader);
    bind_reader();
    log_message(LOG_NOTICE, "after");
    EXPECT_EQ(text_of(next_record()), "after");
}

TEST(rate_limited_warning, first_at_once_then_one_a_minute_with_the_count_since)
{
    rate_limited_warning w = {};
    EXPECT_EQ(warning_due(w, 1000), 1);
    EXPECT_EQ(warning_due(w, 1001), 0);
    EXPECT_EQ(warning_due(w, 1059), 0);
    EXPECT_EQ(warning_due(w, 1060), 3);
    EXPECT_EQ(warning_due(w, 1070), 0);
}

}  // namespace
