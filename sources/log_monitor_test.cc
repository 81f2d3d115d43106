#include "sources/log_monitor.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "core/process.h"
#include "tests/support/test_support.h"

namespace {

const char *const FORMAT_WARNING = "Warning: log entry with unexpected format";
const char *const PAM_WARNING = "Warning: pam_unix log entry with unexpected format";
const char *const QUEUE_FULL = "Warning: Event queue full!";
const char *const NOTHING_READ = "Warning: nothing read from stdin!";
const char *const POLL_ERROR = "error on poll, stopping";
const char *const CUT_WARNING =
    "Warning: log line longer than 1023 bytes, the rest discarded (1 cut since the last warning)";

int32_t utc(int year, int month, int day, int hour, int minute, int second)
{
    tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return int32_t(timegm(&t));
}

double monotonic_seconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// CPU time of this process alone (the date tool's children not included).
double own_cpu_seconds()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::vector<event_record> drain(event_ring &queue)
{
    std::vector<event_record> records;
    while (!ring_is_empty(queue))
        records.push_back(ring_pop(queue));
    return records;
}

const char *const CONFIG_LINE = "2024-05-17 08:30:12 cfg: user 'admin' updated configuration of LAN\n";
const char *const LOGIN_LINE =
    "2024-05-17 08:31:40 login[812]: pam_unix(login:auth): authentication failure; user=admin\n";
const char *const PASSWORD_LINE =
    "2024-05-17 08:35:02 passwd[901]: pam_unix(passwd:chauthtok): password changed for admin\n";

class log_monitor : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        start_timestamp = utc(2024, 5, 17, 0, 0, 0);
        got_signal = 0;
        ring_clear(queue);
        settings = module_settings{};
        settings.channel_masks[CONFIG_CHANGED] = 0x21;
        settings.channel_masks[PASSWORD_CHANGED] = 0x0A;
        settings.channel_masks[LOGIN_FAILED] = 0;  // a zero mask is queued all the same
        log_monitor_reset();
    }

    void handle(const char *line) { handle_log_line(line, settings, queue); }

    void expect_event(const event_record &r, int32_t code, int32_t timestamp)
    {
        EXPECT_EQ(r.code, code);
        EXPECT_EQ(r.mask, settings.channel_masks[code]);
        EXPECT_EQ(r.timestamp, timestamp);
    }

    module_settings settings;
    event_ring queue;
};

TEST_F(log_monitor, worked_examples_raise_their_events_with_line_time_and_mask)
{
    syslog_capture log;
    handle(CONFIG_LINE);
    handle(LOGIN_LINE);
    handle(PASSWORD_LINE);
    std::vector<event_record> got = drain(queue);
    ASSERT_EQ(got.size(), 3u);
    expect_event(got[0], CONFIG_CHANGED, utc(2024, 5, 17, 8, 30, 12));
    expect_event(got[1], LOGIN_FAILED, utc(2024, 5, 17, 8, 31, 40));
    expect_event(got[2], PASSWORD_CHANGED, utc(2024, 5, 17, 8, 35, 2));
    EXPECT_EQ(log.text(), "");
}

TEST_F(log_monitor, expected_but_uninteresting_lines_are_dropped_quietly)
{
    const char *const lines[] = {
        "2024-05-17 08:36:00 last message repeated 3 times\n",
        "2024-05-17 08:36:05 System log daemon started.\n",
        "2024-05-17 08:36:10 cfg: user 'admin' updated configuration of\n",
        "2024-05-17 08:36:10 cfg: user 'admin' updated configuration of",
        "2024-05-17 08:36:20 sshd[4]: pam_unix(sshd:session): session opened for user admin\n",
        "2024-05-17 08:36:30 cfg: user 'admin' updated configuration of\tLAN\n",
        "2024-05-17 08:36:40 cfg: user 'admin' changed nothing\n",
        "\n",
        "",
    };
    syslog_capture log;
    for (const char *line : lines)
        handle(line);
    EXPECT_TRUE(ring_is_empty(queue));
    EXPECT_EQ(log.text(), "");
}

TEST_F(log_monitor, entries_without_tag_draw_the_format_warning)
{
    const char *const warned[] = {
        "2024-05-17 08:36:00 kernel booting\n",                                 // no colon
        "2024-05-17 08:36:00 cfg:user 'admin' updated configuration of LAN\n",  // no blank after it
        "2024-05-17 08:36:00 cfg:",                             // colon at the very end
        "2024-05-17 08:36:00 note last message repeated 3 times\n",  // excepted words too late
        "2024-05-17 08:36:00 System log daemon starte\n",
        "2024-05-17 08:36:00 ",                                 // exactly 20 characters
        "2024-05-17 08:36\n",                                   // shorter than 20
        "garbage\n",
        "x",
    };
    for (const char *line : warned) {
        syslog_capture log;
        handle(line);
        EXPECT_EQ(log.count(FORMAT_WARNING), 1) << line;
    }
    EXPECT_TRUE(ring_is_empty(queue));
}

TEST_F(log_monitor, tag_ends_at_first_colon_from_position_20)
{
    // The colons of the time never count; the first one after it does, even
    // when a later colon would have been followed by a space.
    syslog_capture log;
    handle("2024-05-17 08:30:12 a:b: user 'admin' updated configuration of LAN\n");
    EXPECT_EQ(log.count(FORMAT_WARNING), 1);
    handle("2024-05-17 08:30:12 a(b:c): user 'admin' updated configuration of LAN\n");
    EXPECT_EQ(log.count(FORMAT_WARNING), 2);
    EXPECT_TRUE(ring_is_empty(queue));
}

TEST_F(log_monitor, pam_unix_entries_of_bad_shape_draw_the_pam_warning)
{
    const char *const lines[] = {
        "2024-05-17 08:37:00 login[812]: pam_unix(login:auth) authentication failure\n",
        "2024-05-17 08:37:00 login[812]: pam_unix(login:auth):authentication failure\n",
        "2024-05-17 08:37:00 login[812]: pam_unix(login:auth)",
        "2024-05-17 08:37:00 login[812]: pam_unix authentication failure\n",
        "2024-05-17 08:37:00 x: pam_unix user 'admin' updated configuration of LAN\n",
    };
    for (const char *line : lines) {
        syslog_capture log;
        handle(line);
        EXPECT_EQ(log.count(PAM_WARNING), 1) << line;
        EXPECT_EQ(log.count(FORMAT_WARNING), 0) << line;
    }
    EXPECT_TRUE(ring_is_empty(queue));
}

TEST_F(log_monitor, config_change_follows_scanf_matching_rules)
{
    struct {
        const char *message;
        bool raises;
    } const cases[] = {
        {"user 'admin' updated configuration of LAN\n", true},
        {"user 'admin'updated configuration of LAN\n", true},        // empty white-space run
        {"user 'a b'  updated \t configuration\nof LAN\n", true},    // any white-space run
        {"user 'admin' updated configuration of  \n", true},         // %c takes the first blank
        {"user '' updated configuration of LAN\n", false},           // empty name
        {" user 'admin' updated configuration of LAN\n", false},     // leading blank
        {"user 'admin' updated configuration ofLAN\n", false},
        {"user 'admin' updated configuration of\n", false},
        {"user 'admin' updated configuration", false},
        {"User 'admin' updated configuration of LAN\n", false},
        {"user admin updated configuration of LAN\n", false},
    };
    for (const auto &c : cases) {
        std::string line = std::string("2024-05-17 08:30:12 cfg: ") + c.message;
        syslog_capture log;
        handle(line.c_str());
        std::vector<event_record> got = drain(queue);
        ASSERT_EQ(got.size(), c.raises ? 1u : 0u) << c.message;
        if (c.raises)
            expect_event(got[0], CONFIG_CHANGED, utc(2024, 5, 17, 8, 30, 12));
        EXPECT_EQ(log.text(), "") << c.message;
    }
}

TEST_F(log_monitor, lines_older_than_start_are_dropped_quietly)
{
    start_timestamp = utc(2024, 5, 17, 8, 30, 12);
    syslog_capture log;
    handle("2024-05-17 08:30:12 cfg: user 'admin' updated configuration of LAN\n");
    handle("2024-05-17 08:30:11 cfg: user 'admin' updated configuration of WAN\n");
    handle("2024-05-17 08:30:13 cfg: user 'admin' updated configuration of DNS\n");
    std::vector<event_record> got = drain(queue);
    ASSERT_EQ(got.size(), 2u);
    expect_event(got[0], CONFIG_CHANGED, start_timestamp);
    expect_event(got[1], CONFIG_CHANGED, start_timestamp + 1);
    EXPECT_EQ(log.text(), "");
}

TEST_F(log_monitor, unconvertible_time_drops_event_with_warning_unless_start_time_is_unknown)
{
    // The first has the right shape but no such date; the second is refused
    // before the date tool is asked.
    const char *const lines[] = {
        "2024-13-45 99:99:99 cfg: user 'admin' updated configuration of LAN\n",
        "2024/05/17 08:30:12 cfg: user 'admin' updated configuration of LAN\n",
    };
    syslog_capture log;
    handle("2024-13-45 99:99:99 sshd: not an event\n");
    for (const char *line : lines)
        handle(line);
    EXPECT_TRUE(ring_is_empty(queue));
    // The first dropped event is reported at once, the next not within a minute.
    EXPECT_EQ(log.count("Warning: time of a CONFIG_CHANGED log entry unreadable, event dropped "
                        "(1 dropped since the last warning)"), 1);
    EXPECT_EQ(log.text().find("(2 dropped"), std::string::npos);

    start_timestamp = -1;
    for (const char *line : lines)
        handle(line);
    std::vector<event_record> got = drain(queue);
    ASSERT_EQ(got.size(), 2u);
    expect_event(got[0], CONFIG_CHANGED, -1);
    expect_event(got[1], CONFIG_CHANGED, -1);
}

TEST_F(log_monitor, shape_is_judged_before_age_and_age_before_pam_shape)
{
    start_timestamp = utc(2030, 1, 1, 0, 0, 0);
    syslog_capture log;
    handle("2024-05-17 08:36:00 kernel booting\n");
    EXPECT_EQ(log.count(FORMAT_WARNING), 1);
    handle("2024-05-17 08:37:00 login[812]: pam_unix(login:auth) authentication failure\n");
    EXPECT_EQ(log.count(PAM_WARNING), 0);
    EXPECT_TRUE(ring_is_empty(queue));
}

TEST_F(log_monitor, only_lines_whose_outcome_depends_on_their_time_run_the_date_tool)
{
    standin_path path("");
    std::string calls = path.dir.file("date.calls");
    path.dir.write("date", "#!/bin/sh\necho x >> " + calls + "\nexec /bin/date \"$@\"\n");
    chmod(path.dir.file("date").c_str(), 0755);
    handle("2024-05-17 08:36:00 dnsmasq[77]: query[A] example.com from 10.0.0.2\n");
    handle("2024-05-17 08:36:01 sshd[9]: pam_unix(sshd:session): session opened for user admin\n");
    EXPECT_EQ(read_file(calls), "(missing)");
    handle(CONFIG_LINE);
    handle("2024-05-17 08:37:00 login[812]: pam_unix(login:auth) authentication failure\n");
    EXPECT_EQ(read_file(calls), "x\nx\n");
    EXPECT_EQ(drain(queue).size(), 1u);
}

TEST_F(log_monitor, time_of_unexpected_shape_never_reaches_the_shell)
{
    // Each 19-character time field would create the marker if a shell ever
    // interpreted it inside the date command's double quotes.
    const char *const fields[] = {
        "$(touch /tmp/nv_sh)",
        "`touch /tmp/nv_sh` ",
        "\";touch /tmp/nv_sh\"",
        "2024-05-17 0$(:)0:0",
    };
    const std::string marker_path = "/tmp/nv_sh";
    unlink(marker_path.c_str());
    start_timestamp = -1;
    for (const char *field : fields) {
        ASSERT_EQ(strlen(field), 19u) << field;
        std::string line = std::string(field) + " cfg: user 'admin' updated configuration of LAN\n";
        EXPECT_EQ(log_line_time(line.c_str()), -1) << field;
        handle(line.c_str());
    }
    struct stat info;
    EXPECT_NE(stat(marker_path.c_str(), &info), 0) << "a shell ran the time field";
    unlink(marker_path.c_str());
    ASSERT_EQ(drain(queue).size(), 4u);

    // The date tool itself would read these; only the exact shape is passed on.
    EXPECT_EQ(log_line_time("2024-05-17T08:30:12 x"), -1);
    EXPECT_EQ(log_line_time("2024-05-17 08:30"), -1);
    EXPECT_EQ(log_line_time("2024-05-17 08:30:12 x"), utc(2024, 5, 17, 8, 30, 12));
    EXPECT_EQ(log_line_time("1999-12-31 23:59:59"), utc(1999, 12, 31, 23, 59, 59));
}

TEST_F(log_monitor, full_queue_loses_event_with_warning_and_recovers)
{
    for (int i = 0; i < 1023; i++)
        ASSERT_TRUE(ring_push(queue, event_record{TEST_EVENT, 0, i}));
    syslog_capture log;
    handle(CONFIG_LINE);
    EXPECT_EQ(log.count(QUEUE_FULL), 1);
    EXPECT_EQ(queue.slots[(queue.tail + 1023) & 0x3FF].code, TEST_EVENT);

    ring_pop(queue);
    handle(LOGIN_LINE);
    EXPECT_EQ(log.count(QUEUE_FULL), 1);
    ASSERT_TRUE(ring_is_full(queue));
    expect_event(queue.slots[(queue.tail + 1023) & 0x3FF], LOGIN_FAILED, utc(2024, 5, 17, 8, 31, 40));
}

// ---- the one-second window on a pipe ----------------------------------------

class log_watch : public log_monitor {
protected:
    void SetUp() override
    {
        log_monitor::SetUp();
        ASSERT_EQ(pipe(fds), 0);
    }
    void TearDown() override
    {
        close_writer();
        close(fds[0]);
        alarm_after_ms(0);
        signal(SIGALRM, SIG_DFL);
        got_signal = 0;
    }
    void feed(const std::string &text)
    {
        ASSERT_EQ(write(fds[1], text.data(), text.size()), ssize_t(text.size()));
    }
    void close_writer()
    {
        if (fds[1] >= 0)
            close(fds[1]);
        fds[1] = -1;
    }
    // Runs one window; its length in seconds goes to *seconds.
    log_watch_result window(double *seconds = nullptr, int fd = -1)
    {
        double began = monotonic_seconds();
        log_watch_result result = watch_log_input(settings, queue, fd < 0 ? fds[0] : fd);
        if (seconds)
            *seconds = monotonic_seconds() - began;
        return result;
    }
    static void alarm_after_ms(int ms)
    {
        itimerval timer = {};
        timer.it_value.tv_usec = ms * 1000;
        setitimer(ITIMER_REAL, &timer, nullptr);
    }

    int fds[2] = {-1, -1};
};

TEST_F(log_watch, lines_of_one_burst_are_all_handled_in_their_window_in_order)
{
    feed(std::string(CONFIG_LINE) + LOGIN_LINE + PASSWORD_LINE);
    double seconds = 0;
    EXPECT_EQ(window(&seconds), LOG_CARRY_ON);
    std::vector<event_record> got = drain(queue);
    ASSERT_EQ(got.size(), 3u);
    expect_event(got[0], CONFIG_CHANGED, utc(2024, 5, 17, 8, 30, 12));
    expect_event(got[1], LOGIN_FAILED, utc(2024, 5, 17, 8, 31, 40));
    expect_event(got[2], PASSWORD_CHANGED, utc(2024, 5, 17, 8, 35, 2));
    EXPECT_GE(seconds, 0.95);
    EXPECT_LT(seconds, 1.5);
}

TEST_F(log_watch, line_arriving_during_the_window_is_handled_in_it)
{
    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        usleep(300 * 1000);
        ssize_t n = write(fds[1], LOGIN_LINE, strlen(LOGIN_LINE));
        _exit(n > 0 ? 0 : 1);
    }
    double seconds = 0;
    EXPECT_EQ(window(&seconds), LOG_CARRY_ON);
    int status = 0;
    waitpid(writer, &status, 0);
    ASSERT_EQ(status, 0);
    std::vector<event_record> got = drain(queue);
    ASSERT_EQ(got.size(), 1u);
    expect_event(got[0], LOGIN_FAILED, utc(2024, 5, 17, 8, 31, 40));
    // The rest of the same second is waited after the line.
    EXPECT_GE(seconds, 0.95);
    EXPECT_LT(seconds, 1.5);
}

TEST_F(log_watch, incomplete_line_waits_for_its_end)
{
    std::string line = CONFIG_LINE;
    feed(line.substr(0, 30));
    EXPECT_EQ(window(), LOG_CARRY_ON);
    EXPECT_TRUE(ring_is_empty(queue));
    feed(line.substr(30));
    EXPECT_EQ(window(), LOG_CARRY_ON);
    std::vector<event_record> got = drain(queue);
    ASSERT_EQ(got.size(), 1u);
    expect_event(got[0], CONFIG_CHANGED, utc(2024, 5, 17, 8, 30, 12));
}

std::string padded(const std::string &head, size_t length)
{
    return head + std::string(length - head.size(), 'x');
}

TEST_F(log_watch, rest_of_overlong_line_is_discarded_even_when_it_holds_a_forged_entry)
{
    // A failed login whose user name carries, from byte 1023 on, a complete
    // configuration-change entry; its end arrives in a later window.
    std::string line =
        padded("2024-05-17 10:00:00 login[2]: pam_unix(login:auth): authentication failure; user=", 1023) +
        CONFIG_LINE;
    syslog_capture log;
    feed(line.substr(0, 1040));
    EXPECT_EQ(window(), LOG_CARRY_ON);
    feed(line.substr(1040) + padded("2024-05-17 10:00:01 x: ", 3000) + "\n" + PASSWORD_LINE);
    EXPECT_EQ(window(), LOG_CARRY_ON);
    std::vector<event_record> got = drain(queue);
    ASSERT_EQ(got.size(), 2u);
    expect_event(got[0], LOGIN_FAILED, utc(2024, 5, 17, 10, 0, 0));
    expect_event(got[1], PASSWORD_CHANGED, utc(2024, 5, 17, 8, 35, 2));
    // The first cut line is reported at once, the second not within a minute.
    EXPECT_EQ(log.count(CUT_WARNING), 1);
    EXPECT_EQ(log.count(FORMAT_WARNING), 0);
}

TEST_F(log_watch, line_of_1023_characters_and_its_newline_is_not_overlong)
{
    const std::string head = "2024-05-17 08:30:12 cfg: user 'admin' updated configuration of LAN ";
    syslog_capture log;
    feed(padded(head, 1022) + "\n" + padded(head, 1023) + "\n");
    EXPECT_EQ(window(), LOG_CARRY_ON);
    EXPECT_EQ(drain(queue).size(), 2u);
    EXPECT_EQ(log.text(), "");

    feed(padded(head, 1024) + "\n" + CONFIG_LINE);
    EXPECT_EQ(window(), LOG_CARRY_ON);
    EXPECT_EQ(drain(queue).size(), 2u);
    EXPECT_EQ(log.count(CUT_WARNING), 1);
}

TEST_F(log_watch, end_of_input_handles_last_piece_then_waits_out_each_window_quietly)
{
    std::string last = CONFIG_LINE;
    last.pop_back();  // the feed ends without a newline
    feed(std::string(LOGIN_LINE) + last);
    close_writer();
    syslog_capture log;
    for (int n = 0; n < 3; n++) {
        double cpu_before = own_cpu_seconds();
        double seconds = 0;
        EXPECT_EQ(window(&seconds), LOG_CARRY_ON) << n;
        EXPECT_GE(seconds, 0.95) << n;
        EXPECT_LT(seconds, 1.5) << n;
        EXPECT_LT(own_cpu_seconds() - cpu_before, 0.2) << "window " << n << " spun";
    }
    std::vector<event_record> got = drain(queue);
    ASSERT_EQ(got.size(), 2u);
    expect_event(got[0], LOGIN_FAILED, utc(2024, 5, 17, 8, 31, 40));
    expect_event(got[1], CONFIG_CHANGED, utc(2024, 5, 17, 8, 30, 12));
    EXPECT_EQ(log.count(NOTHING_READ), 1);
}

TEST_F(log_watch, descriptor_that_is_not_open_counts_as_end_of_input)
{
    syslog_capture log;
    int unused = dup(0);
    ASSERT_GE(unused, 0);
    close(unused);
    for (int n = 0; n < 2; n++) {
        double cpu_before = own_cpu_seconds();
        double seconds = 0;
        EXPECT_EQ(window(&seconds, unused), LOG_CARRY_ON);
        EXPECT_GE(seconds, 0.95);
        EXPECT_LT(own_cpu_seconds() - cpu_before, 0.2) << "window " << n << " spun";
    }
    EXPECT_EQ(log.count(NOTHING_READ), 1);
    EXPECT_EQ(log.count(POLL_ERROR), 0);
}

TEST_F(log_watch, stop_signal_ends_the_wait_at_once)
{
    signal(SIGALRM, handle_stop_signal);
    syslog_capture log;
    alarm_after_ms(200);
    double seconds = 0;
    EXPECT_EQ(window(&seconds), LOG_STOP);
    EXPECT_EQ(got_signal, SIGALRM);
    EXPECT_LT(seconds, 0.6);
    EXPECT_EQ(log.count(POLL_ERROR), 0);
}

TEST_F(log_watch, stop_signal_ends_the_wait_after_end_of_input_too)
{
    close_writer();
    EXPECT_EQ(window(), LOG_CARRY_ON);
    signal(SIGALRM, handle_stop_signal);
    syslog_capture log;
    alarm_after_ms(200);
    double seconds = 0;
    EXPECT_EQ(window(&seconds), LOG_STOP);
    EXPECT_EQ(got_signal, SIGALRM);
    EXPECT_LT(seconds, 0.6);
    EXPECT_EQ(log.count(POLL_ERROR), 0);
}

void ignore_signal(int) {}

TEST_F(log_watch, signal_that_asks_no_stop_leaves_the_window_running)
{
    signal(SIGALRM, ignore_signal);
    syslog_capture log;
    alarm_after_ms(200);
    double seconds = 0;
    EXPECT_EQ(window(&seconds), LOG_CARRY_ON);
    EXPECT_GE(seconds, 0.95);
    EXPECT_EQ(log.count(POLL_ERROR), 0);
}

}  // namespace
