#include "notify/sms.h"

#include "core/log.h"

#include "core/command.h"
#include "notify/quoting.h"

namespace {

struct sms_line {
    const char *label;
    const char *value;
};

// How many lines a storm's summary may leave out to make room for its count,
// and which, least needed first: a summary must go out wherever an alert of
// its kind alone would, and the device line always stays.
constexpr int DROPPABLE_LINES = 3;
constexpr int DROP_ORDER[DROPPABLE_LINES] = {2, 1, 3};  // admin contact, location, timestamp

bool line_dropped(int line, int dropped)
{
    for (int i = 0; i < dropped; i++) {
        if (DROP_ORDER[i] == line)
            return true;
    }
    return false;
}

// The message the phone receives: the event's description (with the count of
// a storm's summary), then one line per non-empty value. A message that would
// not fit one SMS is refused whole; cutting it could drop the very line that
// says which router or when.
bool compose_message(int32_t code, int32_t counted, const char *timestamp_text,
                     const module_settings &settings, int dropped, char *message)
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
    if (counted > 0)
        text_printf(msg, " (%d more)", int(counted));
    for (int i = 0; i < 4; i++) {
        const sms_line &line = lines[i];
        if (!line.value || !*line.value || line_dropped(i, dropped))
            continue;
        text_printf(msg, "\n%s: %s", line.label, line.value);
    }
    return text_fits(msg);
}

bool build_message(int32_t code, int32_t counted, const char *timestamp_text,
                   const module_settings &settings, char *message)
{
    for (int dropped = 0; dropped <= (counted > 0 ? DROPPABLE_LINES : 0); dropped++) {
        if (compose_message(code, counted, timestamp_text, settings, dropped, message))
            return true;
    }
    return false;
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
                    const module_settings &settings, shell_runner run, int32_t counted)
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
    if (!build_message(code, counted, timestamp_text, settings, message)) {
        log_message(LOG_NOTICE, "Warning: SMS too long!");
        return refused_run();
    }

    // sms RECIPIENT "MESSAGE": the recipient is one shell word and the message
    // stays one double-quoted argument, line feeds included.
    char command[SMS_COMMAND_SIZE + SMS_SUMMARY_EXTRA];
    command_text cmd;
    text_start(cmd, command, counted > 0 ? sizeof command : SMS_COMMAND_SIZE);
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
