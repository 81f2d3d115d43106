// The e-mail command lines over arbitrary device texts, subject text and
// addresses: run by the real shell each hands the email tool exactly the
// address, subject and body, and runs nothing else.
#include <cstring>

#include "core/clock.h"
#include "notify/mail.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr int ADDRESSES = 2;  // in mail group 1
std::string timestamp_text;   // of the epoch, as the date tool gives it

const char *or_not_set(const std::string &value)
{
    return value.empty() ? "N/A" : value.c_str();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setenv("TZ", "UTC", 1);
    char text[TIMESTAMP_TEXT_SIZE];
    format_timestamp(0, text);
    timestamp_text = text;
    recorder_dir({"email"});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input in{data, size};
    int32_t code = 1 + in.byte() % (EVENT_CODE_COUNT - 1);
    std::string name = in.text(), location = in.text(), contact = in.text(), subject = in.text();
    std::string address[ADDRESSES] = {in.text(), in.text()};
    module_settings settings;
    memset(&settings, 0, sizeof settings);
    settings.device_name = name.c_str();
    settings.device_location = location.c_str();
    settings.device_admin_contact = contact.c_str();
    settings.subject_text = subject.c_str();

    std::string event = EVENT_TYPE_NAMES[code], number = std::to_string(code);
    std::vector<argv_list> intended;
    for (int i = 0; i < ADDRESSES; i++) {
        settings.mail_group_addrs[0][i] = address[i].c_str();
        if (address[i].empty())
            continue;
        intended.push_back({"email", "-t", address[i], "-s",
                            "[Event " + number + " on " + or_not_set(subject) + "] " + event, "-m",
                            std::string("Device: ") + or_not_set(name) + "\nLocation: " +
                                or_not_set(location) + "\nAdmin contact: " + or_not_set(contact) +
                                "\nTimestamp: " + timestamp_text +
                                "\n\nThe following event was detected: " + event +
                                " (event code: " + number + ")"});
    }

    replays().clear();
    send_mail(code, NOTIFY_MAIL_GROUP_1, 0, settings, nullptr, replay_in_shell);
    check_replays(intended);
    return 0;
}
