// SMS notifier: one text message about one event to one recipient through
// the router's "sms" tool. Keeps no state; the main loop schedules retries.
#pragma once
#include <cstdint>
#include "config/settings.h"
#include "core/command.h"

constexpr int SMS_MESSAGE_SIZE = 160;  // at most 159 bytes and the NUL
constexpr int SMS_COMMAND_SIZE = 256;  // at most 255 bytes and the NUL
// A storm's summary adds " (N more)" to the first line; its command may be
// longer by that much, so that it is never refused where an alert is not.
constexpr int SMS_SUMMARY_EXTRA = 20;

// The run of the tool; refused_run() when the message or command did not fit
// or the recipient was refused (nothing run, and why is logged here). The
// caller logs a failed run, since what it says depends on the retries left.
// With counted > 0 the message is a storm's summary: "Login failed (137
// more)", the admin contact, location and timestamp lines left out in that
// order where the count would not fit otherwise.
run_result send_sms(int32_t code, const char *recipient, const char *timestamp_text,
                    const module_settings &settings, shell_runner run = run_shell_command,
                    int32_t counted = 0);
