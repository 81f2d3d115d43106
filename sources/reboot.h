// Reboot detection: once per run, a start soon after boot raises
// SYSTEM_REBOOT, unless an earlier run already reported this boot (the boot
// timestamp file under /run, which the boot itself empties).
#pragma once
#include "config/settings.h"
#include "core/queues.h"

constexpr const char *UPTIME_PATH = "/proc/uptime";
constexpr const char *BOOT_TIMESTAMP_PATH = "/run/norvale_boot_timestamp.txt";
constexpr int REBOOT_UPTIME_LIMIT = 119;  // whole seconds of uptime that still count

void detect_reboot(const module_settings &settings, event_ring &queue,
                   const char *uptime_path = UPTIME_PATH,
                   const char *boot_timestamp_path = BOOT_TIMESTAMP_PATH);
