#include "core/daemon.h"

volatile sig_atomic_t got_signal = 0;
int32_t start_timestamp = -1;

void handle_stop_signal(int signal_number)
{
    got_signal = signal_number;
}
