// SMS notifier: one text message about one event to one recipient through
// the router's "sms" tool. Keeps no state; the main loop schedules retries.
#pragma once
#include <cstdint>
#include "config/settings.h"
#include "core/command.h"

constexpr int SMS_MESSAGE_SIZE = 160;  // at most 159 bytes and the NUL
constexpr int SMS_COMMAND_SIZE = 256;  // at most 255 bytes and the NUL

// The run of the tool; refused_run() when the message or command did not fit
// or the recipient was refused (nothing run, and why is logged here). The
// caller logs a failed run, since what it says depends on the retries left.
run_result send_sms(int32_t code, const char *recipient, const char *timestamp_text,
                    const module_settings &settings, shell_runner run = run_shell_command);
