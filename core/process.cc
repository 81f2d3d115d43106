#include "core/process.h"

#include <cerrno>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

#include "core/log.h"

volatile sig_atomic_t got_signal = 0;
int32_t start_timestamp = -1;

namespace {

// Signals an administrator sends out of habit to make a daemon re-read its
// settings or rotate its log. Each is noted here and reported by the loop.
constexpr int NOTED_SIGNALS[] = {SIGHUP, SIGUSR2};
constexpr int NOTED_COUNT = int(sizeof NOTED_SIGNALS / sizeof NOTED_SIGNALS[0]);
volatile sig_atomic_t noted[NOTED_COUNT];
volatile sig_atomic_t status_asked;

void note_signal(int signal_number)
{
    for (int i = 0; i < NOTED_COUNT; i++) {
        if (NOTED_SIGNALS[i] == signal_number)
            noted[i] = 1;
    }
}

void ask_status(int)
{
    status_asked = 1;
}

// A handler, not SIG_IGN: an ignored signal would stay ignored in every tool
// the daemon runs, and a tool that writes into a closed pipe must still end.
void pass_over_signal(int) {}

void install(int signal_number, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal_number, &action, nullptr);
}

}  // namespace

void handle_stop_signal(int signal_number)
{
    got_signal = signal_number;
}

void install_harmless_signals()
{
    for (int signal_number : NOTED_SIGNALS)
        install(signal_number, note_signal);
    install(SIGUSR1, ask_status);
    install(SIGALRM, pass_over_signal);
    install(SIGPIPE, pass_over_signal);
}

void report_noted_signals()
{
    for (int i = 0; i < NOTED_COUNT; i++) {
        if (!noted[i])
            continue;
        noted[i] = 0;
        log_message(LOG_NOTICE, "Ignoring signal %d: settings are read only at start, restart to apply them",
                    NOTED_SIGNALS[i]);
    }
}

bool take_status_request()
{
    if (!status_asked)
        return false;
    status_asked = 0;
    return true;
}

int open_standard_descriptors(const char *null_path)
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free number is this one, since those below are open.
        int opened = open(null_path, O_RDWR | O_NOCTTY);
        if (opened < 0)
            return -1;
        if (opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
    return 0;
}

void reset_inherited_signals()
{
    // An init script or shell may pass SIGCHLD on ignored, which would make
    // every child vanish unwaited, or leave the stop signals ignored or
    // blocked. Until the handler is installed they have their default effect.
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigset_t wanted;
    sigemptyset(&wanted);
    for (int sig : {SIGCHLD, SIGINT, SIGTERM, SIGQUIT}) {
        sigaction(sig, &action, nullptr);
        sigaddset(&wanted, sig);
    }
    sigprocmask(SIG_UNBLOCK, &wanted, nullptr);
}

void install_stop_handler()
{
    // Without SA_RESTART: a stop cuts short whatever wait is in progress.
    struct sigaction action = {};
    action.sa_handler = handle_stop_signal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGQUIT})
        sigaction(sig, &action, nullptr);
}
