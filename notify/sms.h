// SMS notifier: one text message about one event to one recipient through
// the router's "sms" tool. Keeps no state; the main loop schedules retries.
#pragma once
#include <cstdint>
#include "config/settings.h"

constexpr int SMS_MESSAGE_SIZE = 160;  // at most 159 bytes and the NUL
constexpr int SMS_COMMAND_SIZE = 256;  // at most 255 bytes and the NUL

// 0 when the tool exited with 0; -1 when the message or command did not fit
// or the recipient was refused (nothing run); else run_command's status.
int send_sms(int32_t code, const char *recipient, const char *timestamp_text,
             const module_settings &settings);
