// The kept state file over arbitrary bytes, read by state_parse with a few
// SMS recipients and mail addresses configured. Properties: a file taken in
// leaves only items the daemon could have queued (codes 1..8, masks within
// the channel bits, SMS retries with attempts left and a configured
// recipient, storms with a count), and never more records than the file has
// record lines: nothing owed is invented. Written again, it reads back to the
// same text, byte for byte; and when neither the mail groups nor the SMS
// recipients changed, that text is the file itself: only the form the
// daemon writes is taken. A refused file leaves nothing kept.
#include <algorithm>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/process.h"
#include "core/state.h"
#include "core/storms.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

module_settings settings;
event_ring queue;
// state_text of what was taken in, and of the same read back.
char written[STATE_FILE_MAX + 1];
char rewritten[STATE_FILE_MAX + 1];
std::string nothing_kept;  // state_text with everything empty

void configure()
{
    // A run that started before any time a file can name: what it writes as
    // its last read is then the file's own (a later start would replace it).
    start_timestamp = INT32_MIN;
    // Messages go nowhere rather than to this machine's system log.
    log_open("state_file_fuzz", (scratch_dir() + "/no-log").c_str());
    settings.sms_recipients[0] = "+4917000001";
    settings.sms_recipients[2] = "+4917000003";
    settings.sms_recipients[3] = "";
    settings.sms_recipients[5] = "+4917000006";
    settings.mail_group_addrs[0][0] = "ops@example.com";
    settings.mail_group_addrs[0][4] = "night@example.com";
    settings.mail_group_addrs[2][1] = "noc@example.net";
    if (!state_open(settings, queue, (scratch_dir() + "/state").c_str()))
        property_broken("the scratch state folder is refused");
    state_note_read(INT32_MIN);
    state_parse("", 0, nullptr, 0);
    nothing_kept.assign(written, state_text(written, sizeof written));
}

std::string text_of(char *buffer)
{
    size_t length = state_text(buffer, STATE_FILE_MAX + 1);
    if (length > STATE_FILE_MAX)
        property_broken("the kept state does not fit a state file");
    return std::string(buffer, length);
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t newline = std::min(text.find('\n', at), text.size());
        lines.push_back(text.substr(at, newline - at));
        at = newline + 1;
    }
    return lines;
}

size_t lines_of_kind(const std::vector<std::string> &lines, const std::string &kind)
{
    size_t n = 0;
    for (const std::string &line : lines)
        n += line.compare(0, kind.size() + 1, kind + " ") == 0;
    return n;
}

int recipient_slot(const char *recipient)
{
    for (int i = 0; i < SMS_RECIPIENT_COUNT; i++) {
        if (recipient && recipient == settings.sms_recipients[i] && recipient[0])
            return i + 1;
    }
    return 0;
}

void check_records(const event_ring &ring, const char *kind, size_t lines)
{
    if (ring_count(ring) > lines)
        property_broken(std::to_string(ring_count(ring)) + " " + kind + " records from " +
                        std::to_string(lines) + " lines");
    for (uint32_t i = ring.head; i != ring.tail; i = (i + 1) & event_ring::MASK) {
        const event_record &r = ring.slots[i];
        bool resume_ok = true;
        for (uint8_t next : r.mail_resume)
            resume_ok = resume_ok && next < MAIL_GROUP_ADDRESSES;
        if (r.code < 1 || r.code >= EVENT_CODE_COUNT || r.mask > 0x3F || r.served > 0x3F ||
            r.counted < 0 || !resume_ok || r.sms_next > SMS_RECIPIENT_COUNT)
            property_broken(std::string(kind) + " record of code " + std::to_string(r.code) +
                            ", mask " + std::to_string(r.mask) + " out of range");
    }
}

// Everything taken in is something the daemon could owe; the slots of the
// SMS retries, in their order.
std::vector<int> check_accepted(const std::vector<std::string> &lines)
{
    check_records(queue, "event", lines_of_kind(lines, "event"));
    check_records(reserve_snmp_queue, "snmp", lines_of_kind(lines, "snmp"));
    check_records(reserve_mail_queue, "mail", lines_of_kind(lines, "mail"));
    const sms_retry_ring &sms = sms_reserve_queue;
    if (ring_count(sms) > lines_of_kind(lines, "sms"))
        property_broken("more SMS retries than sms lines");
    std::vector<int> slots;
    for (uint32_t i = sms.head; i != sms.tail; i = (i + 1) & sms_retry_ring::MASK) {
        const sms_retry_entry &e = sms.slots[i];
        slots.push_back(recipient_slot(e.recipient));
        if (e.code < 1 || e.code >= EVENT_CODE_COUNT || e.attempts_left < 1 || slots.back() == 0 ||
            e.counted < 0)
            property_broken("SMS retry of code " + std::to_string(e.code) + ", " +
                            std::to_string(e.attempts_left) + " attempts, slot " +
                            std::to_string(slots.back()));
    }
    for (int code = 0; code < EVENT_CODE_COUNT; code++) {
        const storm_kind &k = storms.kinds[code];
        if (k.counted < 0 || k.raging != (k.counted >= 1) || (code == 0 && k.counted != 0))
            property_broken("storm of code " + std::to_string(code) + " counting " +
                            std::to_string(k.counted));
    }
    return slots;
}

void check_refused(const std::string &why)
{
    bool storming = false;
    for (const storm_kind &k : storms.kinds)
        storming = storming || k.raging || k.counted != 0;
    if (!ring_is_empty(queue) || !ring_is_empty(reserve_snmp_queue) ||
        !ring_is_empty(reserve_mail_queue) || !ring_is_empty(sms_reserve_queue) || storming ||
        state_pending_count() != 0 || state_previous_read_at() != -1 ||
        text_of(written) != nothing_kept)
        property_broken("a file refused as " + why + " left something kept");
}

// The slots the SMS lines name, in their order.
std::vector<int> sms_slots(const std::vector<std::string> &lines)
{
    std::vector<int> slots;
    for (const std::string &line : lines) {
        if (line.compare(0, 4, "sms ") == 0)
            slots.push_back(atoi(line.c_str() + line.find(' ', 4) + 1));
    }
    return slots;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = false;
    if (!ready) {
        configure();
        ready = true;
    }
    const char *text = reinterpret_cast<const char *>(data);
    std::string input(text, size);
    state_note_read(INT32_MIN);
    char why[128] = "";
    if (!state_parse(text, size, why, sizeof why)) {
        check_refused(why);
        return 0;
    }
    std::vector<std::string> lines = lines_of(input);
    std::vector<int> slots = check_accepted(lines);

    // Written with the read time it was read with, as the next run would.
    state_note_read(state_previous_read_at());
    std::string first = text_of(written);
    if (!state_parse(written, first.size(), why, sizeof why))
        property_broken("the daemon's own text is refused as " + std::string(why) + ":\n" + first);
    std::string second = text_of(rewritten);
    if (second != first)
        property_broken("written again, the text changed from\n" + first + "to\n" + second);

    // Unchanged settings give back the file as it was.
    std::string groups = lines_of(first)[2];
    bool groups_unchanged = false;
    for (const std::string &line : lines)
        groups_unchanged = groups_unchanged || line == groups;
    if (groups_unchanged && slots == sms_slots(lines) && first != input)
        property_broken("a file not in the daemon's form is taken:\n" + input + "written as\n" +
                        first);
    return 0;
}
