// The SMS command line over arbitrary device texts, recipient and timestamp
// text: run by the real shell it hands the sms tool exactly the recipient and
// the message, and runs nothing else.
#include <cstring>

#include "notify/sms.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    recorder_dir({"sms"});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input in{data, size};
    int32_t code = 1 + in.byte() % (EVENT_CODE_COUNT - 1);
    std::string name = in.text(), location = in.text(), contact = in.text();
    std::string recipient = in.text(), timestamp = in.text();
    module_settings settings;
    memset(&settings, 0, sizeof settings);
    settings.device_name = name.c_str();
    settings.device_location = location.c_str();
    settings.device_admin_contact = contact.c_str();

    std::string message = EVENT_TYPE_NAMES[code];
    const char *labels[4] = {"Device", "Location", "Admin contact", "Timestamp"};
    const std::string *values[4] = {&name, &location, &contact, &timestamp};
    for (int i = 0; i < 4; i++) {
        if (!values[i]->empty())
            message += "\n" + std::string(labels[i]) + ": " + *values[i];
    }

    replays().clear();
    send_sms(code, recipient.c_str(), timestamp.c_str(), settings, replay_in_shell);
    check_replays({{"sms", recipient, message}});
    return 0;
}
