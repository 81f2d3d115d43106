// E-mail notifier: the notification of one event to every address of each
// subscribed mail group through the router's "email" tool. Reports which
// groups were not served completely so that only those are retried.
#pragma once
#include <cstdint>
#include "config/settings.h"
#include "core/command.h"

constexpr int MAIL_COMMAND_SIZE = 1024;
// A storm's summary adds one sentence to the body (its count and the times of
// the first and last event counted); its command may be longer by that much,
// so that it is never refused where an alert is not.
constexpr int MAIL_SUMMARY_EXTRA = 128;

// The OR of the bits of the mail groups that failed (within NOTIFY_MAIL_ANY);
// 0 when every selected group was served, none was selected, or code is 0.
// With resume (one index per group), each group starts at its address
// resume[group - 1] and resume records where each group stopped: the failed
// address, or 0 once the group was served.
// Each failed address is logged here, with the tool's reason. With counted
// > 0 the mail is a storm's summary: timestamp is the last event counted,
// first_counted the first.
int32_t send_mail(int32_t code, channel_mask mask, int32_t timestamp,
                  const module_settings &settings, uint8_t *resume = nullptr,
                  shell_runner run = run_shell_command, int32_t counted = 0,
                  int32_t first_counted = 0);
