#include "core/events.h"

const char *const CAPS_EVENT_TYPE_NAMES[EVENT_CODE_COUNT] = {
    "NONE",
    "CONFIG_CHANGED",
    "PASSWORD_CHANGED",
    "LOGIN_FAILED",
    "ETH0_DISCONNECTED",
    "ETH1_DISCONNECTED",
    "ETH2_DISCONNECTED",
    "SYSTEM_REBOOT",
    "TEST_EVENT",
};

const char *const EVENT_TYPE_NAMES[EVENT_CODE_COUNT] = {
    "No event",
    "Configuration changed",
    "Password changed",
    "Login failed",
    "Ethernet cable 0 disconnected",
    "Ethernet cable 1 disconnected",
    "Ethernet cable 2 disconnected",
    "System rebooted",
    "Test event triggered",
};
