// E-mail notifier: the notification of one event to every address of each
// subscribed mail group through the router's "email" tool. Reports which
// groups were not served completely so that only those are retried.
#pragma once
#include <cstdint>
#include "config/settings.h"
#include "core/command.h"

constexpr int MAIL_COMMAND_SIZE = 1024;

// The OR of the bits of the mail groups that failed (within NOTIFY_MAIL_ANY);
// 0 when every selected group was served, none was selected, or code is 0.
// With resume (one index per group), each group starts at its address
// resume[group - 1] and resume records where each group stopped: the failed
// address, or 0 once the group was served.
// Each failed address is logged here, with the tool's reason.
int32_t send_mail(int32_t code, channel_mask mask, int32_t timestamp,
                  const module_settings &settings, uint8_t *resume = nullptr,
                  shell_runner run = run_shell_command);
