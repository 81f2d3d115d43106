// Reboot detection over arbitrary boot timestamp file bytes, ten seconds
// after boot: the reboot is raised exactly when the file holds no whole
// figure within its first 127 bytes that is the start of a run after this
// boot.
#include <cerrno>
#include <cstdlib>

#include "core/process.h"
#include "sources/reboot.h"
#include "tests/fuzz/fuzz_support.h"

namespace {
event_ring queue;
module_settings settings;
constexpr int32_t START = 1000000;
constexpr int32_t UPTIME = 10;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    start_timestamp = START;
    std::string uptime = scratch_file("uptime", "10.25 20.50\n", 12);
    std::string boot = scratch_file("boot", data, size);
    ring_clear(queue);
    detect_reboot(settings, queue, uptime.c_str(), boot.c_str());

    // A decimal number, as the daemon stores it.
    std::string text(reinterpret_cast<const char *>(data), size);
    char *end = nullptr;
    long stored = strtol(text.c_str(), &end, 10);
    bool reported = figure_whole(text, end, 127) && stored > START - UPTIME;
    if (reported == !ring_is_empty(queue))
        property_broken("boot file <" + text + "> " + (reported ? "ignored" : "not acted on"));
    return 0;
}
