#include "notify/mail.h"

#include "core/log.h"

#include "core/clock.h"
#include "notify/quoting.h"

namespace {

// What a storm's summary adds to the body: the count, and the time of the
// first event counted (the Timestamp line gives the last).
struct mail_summary {
    int32_t counted;
    char first_text[TIMESTAMP_TEXT_SIZE];
};

// What the mail shows for a value the administrator left unset.
const char *or_not_set(const char *value)
{
    return value && *value ? value : "N/A";
}

// email -t ADDRESS -s "[Event CODE on DEVICE] EVENT" -m "BODY": the address
// is one shell word; subject and body stay one double-quoted argument each.
bool build_mail_command(const char *address, int32_t code, const char *timestamp_text,
                        const module_settings &settings, const mail_summary &summary,
                        char *command)
{
    const char *event = EVENT_TYPE_NAMES[code];
    command_text cmd;
    text_start(cmd, command, summary.counted > 0 ? MAIL_COMMAND_SIZE + MAIL_SUMMARY_EXTRA
                                                 : MAIL_COMMAND_SIZE);
    text_printf(cmd, "email -t ");
    text_word(cmd, address);
    text_printf(cmd, " -s \"[Event %d on ", int(code));
    text_double_quoted(cmd, or_not_set(settings.subject_text));
    text_printf(cmd, "] ");
    text_double_quoted(cmd, event);
    text_printf(cmd, "\" -m \"Device: ");
    text_double_quoted(cmd, or_not_set(settings.device_name));
    text_printf(cmd, "\nLocation: ");
    text_double_quoted(cmd, or_not_set(settings.device_location));
    text_printf(cmd, "\nAdmin contact: ");
    text_double_quoted(cmd, or_not_set(settings.device_admin_contact));
    // The timestamp is shown as prepared, even when the date tool gave nothing.
    text_printf(cmd, "\nTimestamp: ");
    text_double_quoted(cmd, timestamp_text);
    text_printf(cmd, "\n\nThe following event was detected: ");
    text_double_quoted(cmd, event);
    text_printf(cmd, " (event code: %d)", int(code));
    if (summary.counted > 0) {
        text_printf(cmd, "\n\n%d more events of this kind were counted, the first at ",
                    int(summary.counted));
        text_double_quoted(cmd, summary.first_text);
        text_printf(cmd, " and the last at ");
        text_double_quoted(cmd, timestamp_text);
        text_printf(cmd, ".");
    }
    text_printf(cmd, "\"");
    return text_fits(cmd);
}

// Sends to the group's addresses in order from index *next and stops at the
// first failure, leaving *next at the failed address: the caller retries the
// group later from there, so that no address gets the alert twice.
bool serve_group(int group, int32_t code, const char *timestamp_text,
                 const module_settings &settings, const mail_summary &summary, uint8_t *next,
                 shell_runner run)
{
    char command[MAIL_COMMAND_SIZE + MAIL_SUMMARY_EXTRA];
    for (int n = *next + 1; n <= MAIL_GROUP_ADDRESSES; n++) {
        *next = uint8_t(n - 1);
        const char *address = settings.mail_group_addrs[group - 1][n - 1];
        if (!address || !*address)
            continue;
        // The tool would take such an address for one of its options.
        if (looks_like_option(address)) {
            log_message(LOG_ERR, "Error: mail group %d address %d begins with '-', not sending",
                   group, n);
            return false;
        }
        if (!build_mail_command(address, code, timestamp_text, settings, summary, command)) {
            log_message(LOG_NOTICE, "Warning: email command too large for buffer!");
            return false;
        }
        run_result sent = run(command);
        if (!run_succeeded(sent)) {
            log_message(LOG_ERR, "Error: failed to send e-mail to %s", address);
            log_run_failure(LOG_ERR, sent);
            return false;
        }
    }
    *next = 0;
    return true;
}

}  // namespace

int32_t send_mail(int32_t code, channel_mask mask, int32_t timestamp,
                  const module_settings &settings, uint8_t *resume, shell_runner run,
                  int32_t counted, int32_t first_counted)
{
    uint8_t from_start[MAIL_GROUP_COUNT] = {0, 0, 0, 0};
    if (!resume)
        resume = from_start;
    // Code 0 is no event; nothing else names a description to send.
    if (code < 1 || code >= EVENT_CODE_COUNT)
        return 0;
    char timestamp_text[TIMESTAMP_TEXT_SIZE];
    format_timestamp(timestamp, timestamp_text);
    mail_summary summary = {counted, ""};
    if (counted > 0)
        format_timestamp(first_counted, summary.first_text);

    int32_t failed = 0;
    for (int group = 1; group <= MAIL_GROUP_COUNT; group++) {
        channel_mask bit = mail_group_bit(group);
        if ((mask & bit) && !serve_group(group, code, timestamp_text, settings, summary, &resume[group - 1], run))
            failed |= int32_t(bit);
    }
    return failed;
}
