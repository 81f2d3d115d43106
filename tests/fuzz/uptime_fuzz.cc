// Reboot detection over arbitrary uptime file bytes (no boot timestamp file):
// the reboot is raised only for a whole figure within the first 127 bytes
// that says less than two minutes, and then the boot timestamp file holds
// this run's start.
#include <cmath>
#include <cstdlib>
#include <unistd.h>

#include "core/process.h"
#include "sources/reboot.h"
#include "tests/fuzz/fuzz_support.h"

namespace {
event_ring queue;
module_settings settings;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    start_timestamp = 1000000;
    std::string uptime = scratch_file("uptime", data, size);
    std::string boot = scratch_dir() + "/boot";
    unlink(boot.c_str());
    ring_clear(queue);
    detect_reboot(settings, queue, uptime.c_str(), boot.c_str());
    if (ring_is_empty(queue))
        return 0;
    std::string text(reinterpret_cast<const char *>(data), size);
    char *end = nullptr;
    double seconds = strtod(text.c_str(), &end);
    if (!figure_whole(text, end, 127) || !std::isfinite(seconds) || seconds <= -1.0 || seconds >= 120.0)
        property_broken("reboot raised for uptime <" + text + ">");
    if (ring_pop(queue).code != SYSTEM_REBOOT || !ring_is_empty(queue))
        property_broken("other events than one reboot");
    FILE *file = fopen(boot.c_str(), "r");
    long stored = 0;
    if (!file || fscanf(file, "%ld", &stored) != 1 || stored != start_timestamp)
        property_broken("boot timestamp file does not hold the start");
    fclose(file);
    return 0;
}
