#include "core/daemon.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "config/settings.h"
#include "config/settings_check.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/main_loop.h"
#include "core/process.h"
#include "core/channels.h"
#include "core/state.h"
#include "core/status.h"
#include "core/status_command.h"
#include "sources/log_monitor.h"
#include "core/queues.h"
#include "core/storms.h"
#include "sources/reboot.h"

namespace {

// Settings are filled once here and never reloaded or released.
module_settings settings;

// Confirmations for the system logger: "OK" for every line once it is safe.
constexpr const char *CONFIRM_OPTION = "--confirm";

// The forms of the command line.
void print_usage(const char *invoked_as)
{
    printf("Usage:\n");
    printf("%s [STARTUP DELAY IN SECONDS]\n", invoked_as);
    printf("%s --confirm [STARTUP DELAY IN SECONDS]\n", invoked_as);
    printf("%s -t|--check [FILE]\n", invoked_as);
    printf("%s --status [--json]\n", invoked_as);
    printf("%s -h|--help|--version\n", invoked_as);
}

void print_help(const char *invoked_as)
{
    print_usage(invoked_as);
    printf("\n"
           "Tells the administrator about router events (configuration and password\n"
           "changes, failed logins, lost Ethernet carriers, reboots, test requests) by\n"
           "SNMP, e-mail and SMS, through the router's tools. The system logger starts\n"
           "it and feeds it the system log on its standard input; the settings are read\n"
           "once, at start, from %s.\n"
           "\n"
           "  STARTUP DELAY IN SECONDS  wait this many seconds first\n"
           "  --confirm           answer OK on standard output for every line read, once\n"
           "                      it is kept safe (for the system logger); must come\n"
           "                      first, a start-up delay may follow\n"
           "  -t, --check [FILE]  check a settings file (by default the daemon's) and exit:\n"
           "                      0 no problem, 1 problems, 2 cannot be read\n"
           "  --status [--json]   tell whether the daemon runs and how its channels fare,\n"
           "                      from %s; exit status 0 running,\n"
           "                      1 a channel failing, 3 not running, 4 unknown;\n"
           "                      --json prints one JSON object\n"
           "  --version           print the version\n"
           "  -h, --help          print this help\n",
           SETTINGS_PATH, STATE_DIR);
}

// At most this many settings findings reach the log at start.
constexpr int LOGGED_FINDINGS_MAX = 20;

// The settings check's findings, as warnings; the daemon runs on as it would
// without them.
void log_settings_findings(const char *path)
{
    static settings_report report;
    check_settings(path, report);
    if (report.opened != 0)
        return;
    int shown = report.stored < LOGGED_FINDINGS_MAX ? report.stored : LOGGED_FINDINGS_MAX;
    for (int i = 0; i < shown; i++) {
        const settings_problem &p = report.problems[i];
        const char *kind = p.note ? "note: " : "";
        if (p.line > 0)
            log_message(LOG_NOTICE, "Warning: settings line %d: %s%s", p.line, kind, p.text);
        else
            log_message(LOG_NOTICE, "Warning: settings: %s%s", kind, p.text);
    }
    int more = report.problem_count + report.note_count - shown;
    if (more > 0)
        log_message(LOG_NOTICE, "Warning: and %d more settings findings", more);
}

// Options that answer and exit before the delay: the settings check, the
// status and the version. -1 when the argument is none of them.
int run_option(int argc, char **argv)
{
    if (strcmp(argv[1], "--status") == 0)
        return run_status_command(STATE_DIR, stdout, argc > 2 && strcmp(argv[2], "--json") == 0);
    if (strcmp(argv[1], "--version") == 0) {
        printf("norvale-eventd %s\n", NORVALE_VERSION);
        return 0;
    }
    if (strcmp(argv[1], "-t") == 0 || strcmp(argv[1], "--check") == 0) {
        const char *path = argc > 2 ? argv[2] : SETTINGS_PATH;
        int status = run_settings_check(path, stdout, stderr);
        fflush(stdout);
        return status;
    }
    return -1;
}

// What the previous run kept goes out first, in its order, before anything
// this run raises.
void take_back_what_is_owed()
{
    storms_reset(storms, settings.storm_limit);
    clear_channel_queues();
    queues_initialised = true;
    if (!state_open(settings, event_queue))
        return;
    int owed = state_load();
    if (owed > 0)
        log_message(LOG_NOTICE, "Took back %d notifications kept by the previous run", owed);
}

void save_before_run()
{
    state_save();
}

bool read_while_running()
{
    return stash_log_input(STDIN_FILENO);
}

const char *base_name(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

}  // namespace

bool parse_startup_delay(const char *text, int32_t *delay)
{
    char *end = nullptr;
    errno = 0;
    long long value = strtoll(text, &end, 10);
    if (*end != '\0')
        return false;
    if (value > INT32_MAX)
        value = INT32_MAX;
    if (value < INT32_MIN)
        value = INT32_MIN;
    *delay = int32_t(value);
    return true;
}

int daemon_main(int argc, char **argv)
{
    // Before anything else opens a file: a pipe or socket that landed on a
    // closed standard descriptor would be read or written as that stream.
    open_standard_descriptors();
    reset_inherited_signals();
    install_harmless_signals();
    const char *invoked_as = argc > 0 && argv[0] ? argv[0] : "norvale-eventd";
    int32_t startup_delay = 0;
    bool confirm = argc > 1 && strcmp(argv[1], CONFIRM_OPTION) == 0;
    if (confirm) {
        argv[1] = argv[0];  // the delay, if any, is looked for after the option
        argv++;
        argc--;
    }
    if (argc > 1) {
        if (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0) {
            print_help(invoked_as);
            return 0;
        }
        int status = run_option(argc, argv);
        if (status >= 0)
            return status;
        if (!parse_startup_delay(argv[1], &startup_delay)) {
            printf("Invalid startup delay: %s\n", argv[1]);
            print_usage(invoked_as);
            return 1;
        }
    }
    fflush(stdout);

    // A negative delay waits nothing (sleep's count is unsigned).
    // A noted signal cuts sleep short; the rest is still waited.
    for (unsigned left = startup_delay > 0 ? unsigned(startup_delay) : 0; left > 0;)
        left = sleep(left);

    // Before the first tool runs, so that a stop during it is noticed.
    install_stop_handler();
    ring_clear(event_queue);
    // By hand on a terminal, start-up shows what the log gets.
    log_also_to_stderr(isatty(STDERR_FILENO) == 1);
    start_timestamp = clock_start_time();
    setsid();
    log_open(base_name(invoked_as));

    char why[SETTINGS_WHY_SIZE] = "";
    if (load_module_settings(settings, SETTINGS_PATH, OS_RELEASE_PATH, PRODUCT_FAMILY_PATH, why,
                             sizeof why) == -2)
        log_message(LOG_ERR, "Error: cannot read settings file %s: %s", SETTINGS_PATH, why);
    log_settings_findings(SETTINGS_PATH);
    if (settings.enabled == 0) {
        log_message(LOG_NOTICE, "module disabled, not starting");
        // The system logger that starts the daemon for its confirmations
        // gets them all the same, so that it does not start it again and
        // again: every line is answered and dropped.
        if (confirm) {
            log_monitor_confirm(STDOUT_FILENO);
            discard_log_input();
        }
        return 1;
    }
    log_message(LOG_NOTICE, "started");
    log_also_to_stderr(false);
    take_back_what_is_owed();
    status_begin(start_timestamp, SETTINGS_PATH);
    detect_reboot(settings, event_queue);
    set_run_hooks({save_before_run, confirm ? STDIN_FILENO : -1, confirm ? read_while_running : nullptr});
    state_save();
    if (confirm)
        log_monitor_confirm(STDOUT_FILENO);
    main_loop(settings, event_queue);
    log_message(LOG_NOTICE, "stopped, got_signal: %d", int(got_signal));
    return 0;
}
