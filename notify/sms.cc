#include "notify/sms.h"

#include "core/log.h"

#include "core/command.h"
#include "notify/quoting.h"

namespace {

struct sms_line {
    const char *label;
    const char *value;
};

// The message the phone receives: the event's description, then one line per
// non-empty value. A message that would not fit one SMS is refused whole;
// cutting it could drop the very line that says which router or when.
bool build_message(int32_t code, const char *timestamp_text, const module_settings &settings,
                   char *message)
{
    const sms_line lines[4] = {
        {"Device", settings.device_name},
        {"Location", settings.device_location},
        {"Admin contact", settings.device_admin_contact},
        {"Timestamp", timestamp_text},
    };
    command_text msg;
    text_start(msg, message, SMS_MESSAGE_SIZE);
    text_printf(msg, "%s", EVENT_TYPE_NAMES[code]);
    for (const sms_line &line : lines) {
        if (!line.value || !*line.value)
            continue;
        text_printf(msg, "\n%s: %s", line.label, line.value);
        if (!text_fits(msg))
            return false;
    }
    return true;
}

// The slot 1..8 the recipient came from, 0 when it is not one of them.
int recipient_slot(const char *recipient, const module_settings &settings)
{
    for (int i = 0; i < SMS_RECIPIENT_COUNT; i++) {
        if (settings.sms_recipients[i] == recipient)
            return i + 1;
    }
    return 0;
}

}  // namespace

run_result send_sms(int32_t code, const char *recipient, const char *timestamp_text,
                    const module_settings &settings, shell_runner run)
{
    if (code < 1 || code >= EVENT_CODE_COUNT)
        return refused_run();
    // The tool would take such a recipient for one of its options.
    if (looks_like_option(recipient)) {
        int slot = recipient_slot(recipient, settings);
        if (slot)
            log_message(LOG_ERR, "Error: SMS recipient %d begins with '-', not sending", slot);
        else
            log_message(LOG_ERR, "Error: SMS recipient begins with '-', not sending");
        return refused_run();
    }

    char message[SMS_MESSAGE_SIZE] = {};
    if (!build_message(code, timestamp_text, settings, message)) {
        log_message(LOG_NOTICE, "Warning: SMS too long!");
        return refused_run();
    }

    // sms RECIPIENT "MESSAGE": the recipient is one shell word and the message
    // stays one double-quoted argument, line feeds included.
    char command[SMS_COMMAND_SIZE];
    command_text cmd;
    text_start(cmd, command, sizeof command);
    text_printf(cmd, "sms ");
    text_word(cmd, recipient);
    text_printf(cmd, " \"");
    text_double_quoted(cmd, message);
    text_printf(cmd, "\"");
    if (!text_fits(cmd)) {
        log_message(LOG_NOTICE, "Warning: sms command too large for buffer!");
        return refused_run();
    }
    return run(command);
}
