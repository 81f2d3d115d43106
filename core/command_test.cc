#include "core/command.h"
#include "core/events.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "core/process.h"
#include "tests/support/test_support.h"

namespace {

// Runs a real /bin/sh; the output of the command line as a string.
std::string capture(const char *command_line)
{
    char buffer[1024];
    int got = run_command_output(command_line, buffer, sizeof buffer - 1);
    EXPECT_GE(got, 0) << command_line;
    return got < 0 ? std::string("<failed>") : std::string(buffer, size_t(got));
}

bool descriptor_is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

// Temporarily gives the test process another descriptor in place of one of
// its standard ones.
class StandardDescriptorSwap {
public:
    StandardDescriptorSwap(int standard, int replacement)
        : standard_(standard), saved_(dup(standard))
    {
        dup2(replacement, standard);
    }
    ~StandardDescriptorSwap()
    {
        dup2(saved_, standard_);
        close(saved_);
    }

private:
    int standard_;
    int saved_;
};

TEST(command_runner, gives_the_raw_wait_status)
{
    EXPECT_EQ(run_command("/bin/sh", "-c", "exit 0", (const char *)nullptr), 0);
    EXPECT_EQ(run_command("/bin/sh", "-c", "exit 3", (const char *)nullptr), 3 * 256);
    EXPECT_EQ(run_command("/bin/sh", "-c", "norvale_no_such_tool --now", (const char *)nullptr),
              127 * 256);
    EXPECT_EQ(run_command("/nonexistent/norvale/program", (const char *)nullptr), 256);
    temp_dir dir("norvale-not-executable");
    ASSERT_FALSE(dir.path().empty());
    std::string plain_file = dir.write("plain", "");  // no execute permission
    EXPECT_EQ(run_command(plain_file.c_str(), (const char *)nullptr), 256);
    EXPECT_EQ(run_command("sh", "-c", "exit 4", (const char *)nullptr), 4 * 256);  // found on PATH

    int status = run_command("/bin/sh", "-c", "kill -9 $$", (const char *)nullptr);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
}

TEST(command_runner, passes_at_most_62_arguments_after_the_program)
{
#define X5 "x", "x", "x", "x", "x"
#define X25 X5, X5, X5, X5, X5
    // Arguments 1 to 3 are -c, the script and $0; 4 to 61 are "x"; 62 is "last".
    const char *script = "for a; do final=$a; done; echo $# $final";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    run_options options = DAEMON_RUN;
    options.stdio[1] = fds[1];
    const char *argv[] = {"/bin/sh", "-c", script, "sh", X25, X25, X5, "x", "x", "x",
                          "last", "dropped", "dropped too", nullptr};
    EXPECT_EQ(run_status(run_program(argv, options)), 0);
    char output[64] = {};
    ssize_t got = read(fds[0], output, sizeof output - 1);
    close(fds[0]);
    ASSERT_GT(got, 0);
    EXPECT_STREQ(output, "59 last\n");

#undef X25
#undef X5
}

TEST(command_runner, child_gets_no_descriptor_of_the_daemon_beyond_the_standard_three)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int file = open("/etc/hostname", O_RDONLY);
    ASSERT_GE(file, 0);
    int high = dup2(file, 200);
    ASSERT_EQ(high, 200);

    // The shell lists its own table ($$), not that of ls (": " keeps the
    // shell from becoming ls).
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    run_options options = DAEMON_RUN;
    options.stdio[1] = out[1];
    const char *argv[] = {"/bin/sh", "-c", "ls /proc/$$/fd; :", nullptr};
    EXPECT_EQ(run_status(run_program(argv, options)), 0);
    char listing[64] = {};
    EXPECT_GT(read(out[0], listing, sizeof listing - 1), 0);
    EXPECT_STREQ(listing, "0\n1\n2\n");

    for (int fd : {fds[0], fds[1], file, high, out[0]})
        close(fd);
}

TEST(command_runner, child_stdin_is_dev_null_and_its_stderr_reaches_only_the_runner)
{
    // A pipe whose writer stays open: a child reading it would block, so the
    // check only looks at what its descriptors are.
    int stdin_pipe[2];
    int stderr_pipe[2];
    ASSERT_EQ(pipe(stdin_pipe), 0);
    ASSERT_EQ(pipe2(stderr_pipe, O_NONBLOCK), 0);
    // Standard error is a pipe the tool writes to as to any (blocking) pipe.
    const char *check = "echo oops >&2; [ /proc/$$/fd/0 -ef /dev/null ] && [ -p /proc/$$/fd/2 ] && "
                        "awk '/^flags/ { exit substr($2, length($2) - 3, 1) % 8 >= 4 }' "
                        "/proc/$$/fdinfo/2";
    const char *argv[] = {"/bin/sh", "-c", check, nullptr};
    run_result plain;
    run_result inherited;
    {
        StandardDescriptorSwap in(0, stdin_pipe[0]);
        StandardDescriptorSwap err(2, stderr_pipe[1]);
        plain = run_program(argv);
        // A slot holding its own number hands the daemon's descriptor on,
        // which the same check must notice.
        run_options options = DAEMON_RUN;
        options.stdio[0] = 0;
        inherited = run_program(argv, options);
    }
    EXPECT_EQ(run_status(plain), 0);
    EXPECT_EQ(run_status(inherited), 256);
    EXPECT_EQ(std::string(inherited.error_line, size_t(inherited.error_length)), "oops");
    char leaked[8];
    EXPECT_EQ(read(stderr_pipe[0], leaked, sizeof leaked), -1);  // nothing reached the daemon's
    for (int fd : {stdin_pipe[0], stdin_pipe[1], stderr_pipe[0], stderr_pipe[1]})
        close(fd);
}

TEST(command_runner, recorded_descriptor_serves_one_child_and_is_closed_after_it)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    run_options options = DAEMON_RUN;
    options.stdio[2] = fds[1];
    const char *argv[] = {"/bin/sh", "-c", "echo oops >&2", nullptr};
    EXPECT_EQ(run_status(run_program(argv, options)), 0);
    EXPECT_FALSE(descriptor_is_open(fds[1]));  // the runner owns a recorded descriptor
    char output[16] = {};
    EXPECT_EQ(read(fds[0], output, sizeof output - 1), 5);
    EXPECT_STREQ(output, "oops\n");
    close(fds[0]);

    EXPECT_EQ(capture("echo captured"), "captured\n");
    const char *stdout_check = "[ /proc/$$/fd/1 -ef /dev/null ]";
    EXPECT_EQ(run_command("/bin/sh", "-c", stdout_check, (const char *)nullptr), 0);
}

TEST(command_output, stores_at_most_size_bytes_and_a_nul)
{
    char buffer[16];
    memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(run_command_output("printf 0123456789", buffer, 4), 4);
    EXPECT_EQ(memcmp(buffer, "0123\0###", 8), 0);

    memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(run_command_output("printf 'ab\\000cd'", buffer, 8), 5);
    EXPECT_EQ(memcmp(buffer, "ab\0cd\0##", 8), 0);

    memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(run_command_output("exit 0", buffer, 8), 0);
    EXPECT_EQ(buffer[0], '\0');

    // The command's own exit status does not matter.
    EXPECT_EQ(run_command_output("printf x; exit 5", buffer, 8), 1);
    EXPECT_STREQ(buffer, "x");
}

TEST(command_number, accepts_digits_followed_by_the_end_or_a_newline)
{
    EXPECT_EQ(run_command_number("echo 1700000000"), 1700000000);
    EXPECT_EQ(run_command_number("printf 42"), 42);
    EXPECT_EQ(run_command_number("printf '  \\t 17\\n'"), 17);
    EXPECT_EQ(run_command_number("echo -25"), -25);
    EXPECT_EQ(run_command_number("echo +8"), 8);
    EXPECT_EQ(run_command_number("printf '12\\nmore'"), 12);
    EXPECT_EQ(run_command_number("echo 99999999999"), INT32_MAX);
    EXPECT_EQ(run_command_number("echo -99999999999"), INT32_MIN);

    EXPECT_EQ(run_command_number("printf '1700000000 \\n'"), -1);
    EXPECT_EQ(run_command_number("printf ''"), -1);
    EXPECT_EQ(run_command_number("echo"), -1);
    EXPECT_EQ(run_command_number("echo 12abc"), -1);
    EXPECT_EQ(run_command_number("echo abc"), -1);
    EXPECT_EQ(run_command_number("echo -"), -1);
}

// ---- runs that must not hold the daemon ------------------------------------

// Short limits in place of the daemon's, and no stop pending, for each test.
class run_limits : public ::testing::Test {
protected:
    run_options options = {{-1, -1, -1}, {500, 500, 500}};
    void SetUp() override { got_signal = 0; }
    void TearDown() override
    {
        got_signal = 0;
        signal(SIGTERM, SIG_DFL);
    }
    static std::string reason(const run_result &run)
    {
        char text[RUN_REASON_SIZE];
        describe_run(run, text, sizeof text);
        return text;
    }
    run_result run_sh(const std::string &line)
    {
        const char *argv[] = {"/bin/sh", "-c", line.c_str(), nullptr};
        return run_program(argv, options);
    }
    // True while pid runs (and is no zombie).
    static bool alive(pid_t pid)
    {
        std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat", "");
        size_t paren = stat.rfind(')');
        return paren != std::string::npos && stat.compare(paren + 2, 1, "Z") != 0;
    }
};

TEST_F(run_limits, a_tool_past_its_time_limit_is_stopped_with_its_whole_group)
{
    temp_dir dir("norvale-limit");
    std::string pid_file = dir.file("helper.pid");
    std::string line = "sleep 60 & echo $! > " + pid_file + "; sleep 60";
    run_result run = run_sh(line);
    EXPECT_TRUE(WIFSIGNALED(run_status(run)));
    EXPECT_EQ(run.end, RUN_TIMED_OUT);
    EXPECT_EQ(reason(run), "timed out after 1 s");
    pid_t helper = atoi(read_file(pid_file, "0").c_str());
    ASSERT_GT(helper, 0);
    for (int i = 0; i < 100 && alive(helper); i++)
        usleep(10000);  // the helper goes to init, which reaps it when it will
    EXPECT_FALSE(alive(helper));
}

TEST_F(run_limits, a_tool_deaf_to_sigterm_is_killed_after_the_grace)
{
    run_result run = run_sh("trap '' TERM; sleep 60; exit 0");
    ASSERT_TRUE(WIFSIGNALED(run_status(run)));
    EXPECT_EQ(WTERMSIG(run_status(run)), SIGKILL);
    EXPECT_EQ(run.end, RUN_TIMED_OUT);
}

TEST_F(run_limits, a_tool_that_ends_well_after_sigterm_still_counts_as_failed)
{
    run_result run = run_shell_with("sh -c 'trap \"exit 0\" TERM; sleep 60 & wait'", options);
    EXPECT_NE(run_status(run), 0);
    EXPECT_EQ(run.end, RUN_TIMED_OUT);
}

TEST_F(run_limits, a_stop_during_a_run_cuts_it_off_at_the_deadline_and_no_run_starts_after)
{
    options.timings.limit_ms = 60000;
    signal(SIGTERM, handle_stop_signal);
    // The tool asks the daemon to stop, then hangs.
    run_result run = run_sh("kill -TERM $PPID; exec sleep 60");
    EXPECT_EQ(got_signal, SIGTERM);
    ASSERT_TRUE(WIFSIGNALED(run_status(run)));
    EXPECT_EQ(run.end, RUN_STOPPED);
    EXPECT_TRUE(stop_deadline_passed(options.timings));

    run = run_shell_with("true", options);
    EXPECT_EQ(run_status(run), -1);
    EXPECT_EQ(run.end, RUN_NOT_STARTED);
    EXPECT_EQ(reason(run), "not started, the daemon is stopping");
    EXPECT_EQ(run_command_number("echo 5", nullptr, options), -1);
}

TEST_F(run_limits, a_stop_lets_runs_go_on_until_the_deadline)
{
    options.timings.stop_deadline_ms = 60000;
    got_signal = SIGTERM;
    EXPECT_EQ(run_status(run_shell_with("true", options)), 0);
    EXPECT_EQ(run_command_number("echo 5", nullptr, options), 5);
}

TEST_F(run_limits, failure_reasons_name_the_status_and_the_first_error_line)
{
    run_result run = run_shell_with("sh -c 'printf \"bad\\taddress\\nsecond line\\n\" >&2; exit 1'", options);
    EXPECT_EQ(run_status(run), 256);
    EXPECT_EQ(reason(run), "exit status 1: bad\\x09address");
    EXPECT_STREQ(run.tool, "sh");

    EXPECT_EQ(reason(run_shell_with("sh -c 'kill -9 $$'", options)), "killed by signal 9");

    // A path of its own: a PATH with folders this user may not search would
    // make the shell answer "permission denied" instead.
    run = run_shell_with("/nonexistent/no_such_tool -x", options);
    EXPECT_STREQ(run.tool, "/nonexistent/no_such_tool");
    EXPECT_EQ(reason(run).substr(0, 11), "not found: ");

    syslog_capture log;
    log_run_failure(LOG_ERR, run_shell_with("/nonexistent/no_such_tool -x", options));
    EXPECT_NE(log.text().find("t: Tool /nonexistent/no_such_tool failed: not found: "), std::string::npos);
    log.clear();
    log_run_failure(LOG_ERR, run_shell_with("true", options));
    log_run_failure(LOG_ERR, refused_run());
    EXPECT_EQ(log.text(), "");
}

TEST_F(run_limits, a_tool_writing_much_to_stderr_never_waits_and_only_200_bytes_are_kept)
{
    options.timings.limit_ms = 20000;
    // 1 MB without a newline: far beyond what a pipe holds.
    run_result run = run_shell_with("sh -c 'head -c 1000000 /dev/zero | tr \"\\0\" a >&2; exit 2'", options);
    EXPECT_EQ(run_status(run), 512);
    EXPECT_EQ(run.end, RUN_EXITED);
    EXPECT_EQ(reason(run), "exit status 2: " + std::string(ERROR_LINE_SIZE, 'a'));
}

TEST_F(run_limits, the_shell_becomes_the_tool)
{
    // Without "exec " the inner shell's parent would be the outer shell.
    char output[32];
    ASSERT_GT(run_command_output("sh -c 'echo $PPID'", output, sizeof output - 1), 0);
    EXPECT_EQ(atoi(output), int(getpid()));
}

TEST_F(run_limits, child_starts_with_default_signals_and_an_empty_mask)
{
    signal(SIGINT, SIG_IGN);
    signal(SIGTERM, handle_stop_signal);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    char output[256];
    int got = run_command_output("grep -E '^Sig(Blk|Ign)' /proc/self/status", output,
                                 sizeof output - 1);
    sigprocmask(SIG_UNBLOCK, &blocked, nullptr);
    signal(SIGINT, SIG_DFL);
    ASSERT_GT(got, 0);
    EXPECT_STREQ(output, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

}  // namespace
