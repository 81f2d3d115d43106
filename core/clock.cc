#include "core/clock.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/command.h"
#include "core/log.h"

namespace {

constexpr int LOG_TIME_LENGTH = 19;  // "YYYY-MM-DD hh:mm:ss"
// The date tool reads the entry's local time; its 19-character placeholder
// starts right after the first double quote.
constexpr char DATE_COMMAND_TEMPLATE[] = "date -d \"YYYY-MM-DD hh:mm:ss\" +%s";
constexpr int DATE_PLACEHOLDER_AT = 9;
static_assert(sizeof DATE_COMMAND_TEMPLATE == 34, "the template has 33 characters");

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The date tool's seconds; the system clock, after the tool's reason, when
// it gave no number.
int32_t tool_seconds(const char *warning)
{
    run_result run;
    int32_t seconds = run_command_number("date +%s", &run);
    if (seconds >= 0)
        return seconds;
    if (warning)
        log_message(LOG_NOTICE, "%s", warning);
    log_run_failure(LOG_NOTICE, run);
    return int32_t(time(nullptr));
}

// The local time of seconds by the system's own time-zone rules, as the date
// tool prints it; false when it cannot be made.
bool system_timestamp(int32_t seconds, char *text)
{
    time_t when = seconds;
    struct tm local;
    if (!localtime_r(&when, &local))
        return false;
    return strftime(text, TIMESTAMP_TEXT_SIZE, "%Y-%m-%d %H:%M:%S", &local) == size_t(LOG_TIME_LENGTH);
}

}  // namespace

int32_t clock_start_time()
{
    return tool_seconds("Warning: unable to get start timestamp");
}

int32_t clock_now()
{
    return tool_seconds(nullptr);
}

void format_timestamp(int32_t seconds, char *text)
{
    std::memcpy(text, "yyyy-mm-dd HH:MM:SS", TIMESTAMP_TEXT_SIZE);
    char command_line[1024];
    snprintf(command_line, sizeof command_line,
             "date +\"%%Y-%%m-%%d %%H:%%M:%%S\" -d @%ld", long(seconds));
    run_result run;
    if (run_command_output(command_line, text, TIMESTAMP_TEXT_SIZE - 1, &run) >= 1)
        return;
    log_message(LOG_NOTICE, "Warning: unable to prepare timestamp");
    log_run_failure(LOG_NOTICE, run);
    if (!system_timestamp(seconds, text))
        text[0] = '\0';
}

bool is_log_time_text(const char *text)
{
    static const char SHAPE[] = "dddd-dd-dd dd:dd:dd";
    for (int i = 0; i < LOG_TIME_LENGTH; i++) {
        char want = SHAPE[i];
        if (want == 'd' ? !is_digit(text[i]) : text[i] != want)
            return false;  // also stops at the text's end, since NUL is no match
    }
    return true;
}

int32_t clock_log_time(const char *time_text)
{
    // A flood of lines carries few distinct stamps: the date tool runs once
    // for a run of lines stamped alike. A failed conversion is not kept, so
    // the next line asks again.
    static char last_text[LOG_TIME_LENGTH + 1];
    static int32_t last_seconds = -1;
    if (!is_log_time_text(time_text) || time_text[LOG_TIME_LENGTH] != '\0')
        return -1;
    if (last_seconds >= 0 && memcmp(last_text, time_text, LOG_TIME_LENGTH) == 0)
        return last_seconds;
    char command[sizeof DATE_COMMAND_TEMPLATE];
    memcpy(command, DATE_COMMAND_TEMPLATE, sizeof command);
    memcpy(command + DATE_PLACEHOLDER_AT, time_text, LOG_TIME_LENGTH);
    int32_t seconds = run_command_number(command);
    if (seconds >= 0) {
        memcpy(last_text, time_text, LOG_TIME_LENGTH);
        last_seconds = seconds;
    }
    return seconds;
}
