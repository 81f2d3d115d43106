// The system-log feed over arbitrary standard input bytes, read by the
// daemon's own line reader from a file, with the date tool replaced by a
// stand-in. Properties: only a time of the exact shape "dddd-dd-dd dd:dd:dd"
// taken from the start of a line (as cut at 1023 bytes) is ever converted,
// in line order; every event is a log event with the channels configured for
// it and the time converted for its line; there are no more events than
// lines, so nothing past byte 1023 of a line is ever taken for an entry.
#include <fcntl.h>
#include <unistd.h>

#include "core/log.h"
#include "core/process.h"
#include "sources/log_monitor.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

event_ring queue;
module_settings settings;
std::vector<std::string> asked;     // the texts the conversion got, in order
std::vector<int32_t> converted;     // what it gave for each
constexpr int32_t DAY = 86400;

bool has_time_shape(const std::string &text)
{
    static const char SHAPE[] = "dddd-dd-dd dd:dd:dd";
    if (text.size() != 19)
        return false;
    for (size_t i = 0; i < text.size(); i++) {
        bool digit = text[i] >= '0' && text[i] <= '9';
        if (SHAPE[i] == 'd' ? !digit : text[i] != SHAPE[i])
            return false;
    }
    return true;
}

int two_digits(const char *text) { return (text[0] - '0') * 10 + (text[1] - '0'); }

// Stands in for the date tool: day of the month, hours, minutes and seconds
// as seconds (day 00 is before the start), and a failure for month 00.
int32_t stand_in_time(const char *time_text)
{
    std::string text(time_text);
    if (!has_time_shape(text))
        property_broken("conversion asked for <" + text + ">");
    asked.push_back(text);
    int32_t seconds = two_digits(time_text + 5) == 0
                          ? -1
                          : two_digits(time_text + 8) * DAY + two_digits(time_text + 11) * 3600 +
                                two_digits(time_text + 14) * 60 + two_digits(time_text + 17);
    converted.push_back(seconds);
    return seconds;
}

// The lines as the feed holds them, each cut to its first 1023 bytes.
std::vector<std::string> cut_lines(const uint8_t *data, size_t size)
{
    std::vector<std::string> lines;
    const char *text = reinterpret_cast<const char *>(data);
    for (size_t at = 0; at < size;) {
        const void *newline = memchr(text + at, '\n', size - at);
        size_t end = newline ? size_t(static_cast<const char *>(newline) - text) + 1 : size;
        lines.push_back(std::string(text + at, std::min(end - at, size_t(LOG_LINE_SIZE - 1))));
        at = end;
    }
    return lines;
}

// Each text asked for is the start of a later line than the one before.
void check_conversions(const std::vector<std::string> &lines)
{
    size_t line = 0;
    for (const std::string &text : asked) {
        while (line < lines.size() && lines[line].compare(0, 19, text) != 0)
            line++;
        if (line == lines.size())
            property_broken("conversion asked for <" + text + ">, which starts no line");
        line++;
    }
}

// Every event is a log event with its channels and a converted time from
// this run, one conversion at most per event.
void check_events(size_t line_count)
{
    size_t count = 0, matched = 0;
    while (!ring_is_empty(queue)) {
        event_record event = ring_pop(queue);
        count++;
        if (event.code < CONFIG_CHANGED || event.code > LOGIN_FAILED)
            property_broken("event code " + std::to_string(event.code));
        if (event.mask != settings.channel_masks[event.code])
            property_broken("event mask " + std::to_string(event.mask));
        if (event.timestamp < start_timestamp)
            property_broken("event from before the start: " + std::to_string(event.timestamp));
        while (matched < converted.size() && converted[matched] != event.timestamp)
            matched++;
        if (matched == converted.size())
            property_broken("event time " + std::to_string(event.timestamp) + " was never converted");
        matched++;
    }
    if (count > line_count)
        property_broken(std::to_string(count) + " events from " + std::to_string(line_count) +
                        " lines");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = false;
    if (!ready) {
        // Messages go nowhere rather than to this machine's system log.
        log_open("log_lines_fuzz", (scratch_dir() + "/no-log").c_str());
        start_timestamp = DAY;
        settings.channel_masks[CONFIG_CHANGED] = NOTIFY_TRAP;
        settings.channel_masks[PASSWORD_CHANGED] = NOTIFY_MAIL_GROUP_2 | NOTIFY_SMS;
        settings.channel_masks[LOGIN_FAILED] = NOTIFY_MAIL_ANY;
        ready = true;
    }
    std::string path = scratch_file("stdin", data, size);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        property_broken("cannot open " + path);
    asked.clear();
    converted.clear();
    ring_clear(queue);
    log_monitor_reset();
    read_log_file(settings, queue, fd, stand_in_time);
    close(fd);

    std::vector<std::string> lines = cut_lines(data, size);
    check_conversions(lines);
    check_events(lines.size());
    return 0;
}
