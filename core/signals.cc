#include "core/daemon.h"

#include <initializer_list>

volatile sig_atomic_t got_signal = 0;
int32_t start_timestamp = -1;

void handle_stop_signal(int signal_number)
{
    got_signal = signal_number;
}

void install_signal_handling()
{
    // An init script or shell may pass SIGCHLD on ignored, which would make
    // every child vanish unwaited, or leave the stop signals blocked.
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(SIGCHLD, &action, nullptr);
    // Without SA_RESTART: a stop cuts short whatever wait is in progress.
    action.sa_handler = handle_stop_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGQUIT, &action, nullptr);
    sigset_t wanted;
    sigemptyset(&wanted);
    for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGCHLD})
        sigaddset(&wanted, sig);
    sigprocmask(SIG_UNBLOCK, &wanted, nullptr);
}
