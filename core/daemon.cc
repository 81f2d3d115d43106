#include "core/daemon.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include "core/log.h"
#include <unistd.h>

#include "config/settings.h"
#include "core/command.h"
#include "core/main_loop.h"
#include "core/queues.h"
#include "sources/reboot.h"

namespace {

// Settings are filled once here and never reloaded or released.
module_settings settings;

void print_usage(const char *invoked_as)
{
    printf("Usage:\n");
    printf("%s [STARTUP DELAY IN SECONDS]\n", invoked_as);
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
    const char *invoked_as = argc > 0 && argv[0] ? argv[0] : "norvale-eventd";
    int32_t startup_delay = 0;
    if (argc > 1) {
        if (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0) {
            print_usage(invoked_as);
            return 0;
        }
        if (!parse_startup_delay(argv[1], &startup_delay)) {
            printf("Invalid startup delay: %s\n", argv[1]);
            print_usage(invoked_as);
            return 1;
        }
    }
    fflush(stdout);

    // A negative delay waits nothing (sleep's count is unsigned).
    if (startup_delay > 0)
        sleep(unsigned(startup_delay));

    // Before the first tool runs: an inherited ignored SIGCHLD would make its
    // run look failed.
    install_signal_handling();
    ring_clear(event_queue);
    start_timestamp = run_command_number("date +%s");
    if (start_timestamp < 0) {
        log_message(LOG_NOTICE, "Warning: unable to get start timestamp");
        start_timestamp = -1;
    }
    setsid();
    log_open(base_name(invoked_as));

    load_module_settings(settings);
    if (settings.enabled == 0) {
        log_message(LOG_NOTICE, "module disabled, not starting");
        return 1;
    }
    log_message(LOG_NOTICE, "started");
    detect_reboot(settings, event_queue);
    main_loop(settings, event_queue);
    log_message(LOG_NOTICE, "stopped, got_signal: %d", int(got_signal));
    return 0;
}
