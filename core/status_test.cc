// The status file and the --status command at their limits: the longest
// texts and the largest counts survive the file, the JSON stays valid with
// any byte in it, a pid taken over by another process is no running daemon,
// and the file is written only on a real change, at most once a second.
#include "core/status.h"
#include "core/status_command.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "core/state.h"
#include "tests/support/test_support.h"

namespace {

// Every printable ASCII byte and some that are not: quotes, a backslash,
// control bytes, a valid two-byte UTF-8 letter and a byte that begins no
// UTF-8 sequence.
const std::string AWKWARD = "\"q\" \\ \x01\n\x7f caf\xc3\xa9 \xff end";

std::string repeated(const std::string &piece, size_t length)
{
    std::string text;
    while (text.size() < length)
        text += piece;
    return text.substr(0, length);
}

// A running daemon at its limits: this process, every count at its largest,
// every text longer than its field.
status_figures at_the_limits()
{
    status_figures f;
    memset(&f, 0, sizeof f);
    f.pid = int32_t(getpid());
    f.start_ticks = process_start_ticks("/proc/self/stat");
    f.started = INT32_MAX;
    f.channel_count = STATUS_CHANNELS_MAX;
    for (int i = 0; i < STATUS_CHANNELS_MAX; i++) {
        channel_figures &c = f.channels[i];
        snprintf(c.name, sizeof c.name, "ch %d", i);
        c.sent = c.failed = UINT64_MAX;
        c.waiting = UINT32_MAX;
        c.next_retry = c.last_success = c.last_failure = INT32_MAX;
        c.failing = i == 2;
        snprintf(c.to, sizeof c.to, "%s", repeated("+4201 ", 1000).c_str());
        snprintf(c.reason, sizeof c.reason, "%s", repeated(AWKWARD, 1000).c_str());
    }
    for (int code = 0; code < EVENT_CODE_COUNT; code++) {
        f.raised[code] = code ? UINT64_MAX : 0;
        f.storm_counted[code] = code == LOGIN_FAILED ? INT32_MAX : -1;
        f.storm_since[code] = code == LOGIN_FAILED ? INT32_MIN : 0;
    }
    f.lines_read = f.lines_cut = f.lines_too_old = f.messages_dropped = UINT64_MAX;
    return f;
}

std::string text_of(const status_figures &f)
{
    static char text[STATUS_TEXT_SIZE];
    size_t length = status_text(f, text, sizeof text);
    EXPECT_LT(length, sizeof text);
    return std::string(text, length < sizeof text ? length : 0);
}

struct command_run {
    int status;
    std::string out;
};

// The command on a folder holding the status of f.
command_run run_command(const status_figures &f, bool json)
{
    temp_dir dir("norvale-status");
    dir.write(STATUS_FILE, text_of(f));
    std::string settings = dir.write("settings", "MOD_NORVALE_ENABLED=1\n");
    FILE *out = tmpfile();
    command_run run = {run_status_command(dir.path().c_str(), out, json, settings.c_str()), ""};
    rewind(out);
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, out)) > 0;)
        run.out.append(chunk, n);
    fclose(out);
    return run;
}

TEST(status_file, every_figure_at_its_limit_comes_back_as_written)
{
    status_figures written = at_the_limits();
    std::string text = text_of(written);
    status_figures read;
    const char *why = "";
    ASSERT_TRUE(status_parse(text.data(), text.size(), read, &why)) << why;
    EXPECT_EQ(text_of(read), text);
    EXPECT_EQ(read.lines_read, UINT64_MAX);
    EXPECT_EQ(read.storm_since[LOGIN_FAILED], INT32_MIN);
    EXPECT_EQ(strlen(read.channels[0].to), size_t(STATUS_TO_SIZE - 1));
    EXPECT_EQ(strlen(read.channels[0].reason), size_t(STATUS_REASON_SIZE - 1));
    // Cut short anywhere, it is refused rather than half taken.
    EXPECT_FALSE(status_parse(text.data(), text.size() - 1, read, &why));
    EXPECT_STREQ(why, "cut short");
}

TEST(status_command, json_of_the_limits_is_valid_and_exact)
{
    command_run run = run_command(at_the_limits(), true);
    EXPECT_EQ(run.status, STATUS_EXIT_FAILING);
    EXPECT_NE(run.out.find("\"state\":\"running\",\"running\":true,\"exit_status\":1,"), std::string::npos);
    EXPECT_NE(run.out.find("\"sent\":18446744073709551615,\"failed\":18446744073709551615,"
                           "\"waiting\":4294967295,\"next_retry\":2147483647,"),
              std::string::npos);
    EXPECT_NE(run.out.find("\"last_failure_reason\":\"\\\"q\\\" \\\\ \\u0001\\u000a\\u007f "
                           "caf\xc3\xa9 \\ufffd end\\\"q\\\""),
              std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"last_failure_for\":\"" + repeated("+4201 ", STATUS_TO_SIZE - 1) + "\""),
              std::string::npos);
    EXPECT_NE(run.out.find("{\"kind\":\"LOGIN_FAILED\",\"count\":2147483647,\"since\":-2147483648,"),
              std::string::npos);
    EXPECT_NE(run.out.find("\"log_lines_read\":18446744073709551615,"), std::string::npos);
    // One object, valid for a real JSON reader.
    temp_dir dir("norvale-json");
    std::string path = dir.write("out.json", run.out);
    std::string check = "python3 -c 'import json,sys; json.load(open(sys.argv[1]))' " + path;
    EXPECT_EQ(system(check.c_str()), 0) << run.out;
}

TEST(status_command, text_of_the_limits_shows_control_bytes_escaped_and_the_whole_counts)
{
    command_run run = run_command(at_the_limits(), false);
    EXPECT_EQ(run.status, STATUS_EXIT_FAILING);
    EXPECT_NE(run.out.find("  ch 2: failing; 18446744073709551615 sent, 18446744073709551615 "
                           "failed, 4294967295 waiting, next retry at "),
              std::string::npos) << run.out;
    std::string shown = "\"q\" \\ \\x01\\x0a\\x7f caf\xc3\xa9 \xff end";
    EXPECT_NE(run.out.find(" for " + repeated("+4201 ", STATUS_TO_SIZE - 1) + ":\n      " + shown + shown),
              std::string::npos);
    EXPECT_NE(run.out.find("Log lines: 18446744073709551615 read, 18446744073709551615 cut for "
                           "length, 18446744073709551615 dropped as too old\n"),
              std::string::npos);
}

TEST(status_command, pid_taken_over_by_another_process_is_no_running_daemon)
{
    status_figures f = at_the_limits();
    f.start_ticks += 1;  // the pid is alive, but began later than the daemon did
    command_run run = run_command(f, false);
    EXPECT_EQ(run.status, STATUS_EXIT_NOT_RUNNING);
    EXPECT_EQ(run.out.substr(0, run.out.find('\n')),
              "norvale-eventd is not running: pid " + std::to_string(getpid()) +
                  ", started 2038-01-19 03:14:07, has ended without a stop (its status is stale)");
}

TEST(status_file, written_on_a_real_change_at_most_once_a_second)
{
    temp_dir dir("norvale-status-writes");
    static module_settings settings;
    static event_ring queue;
    ASSERT_TRUE(state_open(settings, queue, dir.path().c_str()));
    status_begin(1000, "/settings");
    auto written = [&] { return read_file(dir.file(STATUS_FILE)); };
    status_save(0);
    std::string first = written();
    ASSERT_NE(first.find("\nraised 0 0 0"), std::string::npos) << first;

    status_count(LINES_READ);  // a line that raised nothing
    status_save(5000);
    EXPECT_EQ(written(), first);

    status_note_raised(CONFIG_CHANGED);
    status_save(5000);
    EXPECT_NE(written().find("\nraised 1 0 0 0 0 0 0 0\n"), std::string::npos);
    EXPECT_NE(written().find("\nread 1\n"), std::string::npos);  // along with it

    status_note_raised(CONFIG_CHANGED);
    status_save(5999);
    EXPECT_NE(written().find("\nraised 1 0"), std::string::npos);
    status_save(6000);
    EXPECT_NE(written().find("\nraised 2 0"), std::string::npos);
}

}  // namespace
