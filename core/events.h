// Event model: the nine event codes, their two name tables, the channel-mask
// bits and the record that carries one event from the source that noticed it
// to the notifiers. Owns only constants; holds no state.
//
// One way for tests to stand in for the world, throughout the daemon: what
// reaches outside (a file's path, the shell that runs a tool, the limits of
// a run, the conversion of a log time, the actions of a cycle) is a
// parameter whose default is the daemon's own (SETTINGS_PATH,
// run_shell_command, DAEMON_RUN, clock_log_time, DAEMON_ACTIONS). No global
// is swapped; the only process-wide variables are the daemon's state (the
// stop signal, the start time, the queues, the carrier counts).
#pragma once
#include <cstdint>

enum event_code : int32_t {
    EVENT_NONE = 0,
    CONFIG_CHANGED = 1,
    PASSWORD_CHANGED = 2,
    LOGIN_FAILED = 3,
    ETH0_DISCONNECTED = 4,
    ETH1_DISCONNECTED = 5,
    ETH2_DISCONNECTED = 6,
    SYSTEM_REBOOT = 7,
    TEST_EVENT = 8,
};
constexpr int EVENT_CODE_COUNT = 9;

// Upper-case identifiers; the settings keys of each event are built from them.
extern const char *const CAPS_EVENT_TYPE_NAMES[EVENT_CODE_COUNT];
// Human-readable descriptions quoted in SMS and e-mail texts.
extern const char *const EVENT_TYPE_NAMES[EVENT_CODE_COUNT];

typedef uint32_t channel_mask;
constexpr channel_mask NOTIFY_TRAP = 0x01;
constexpr channel_mask NOTIFY_MAIL_GROUP_1 = 0x02;
constexpr channel_mask NOTIFY_MAIL_GROUP_2 = 0x04;
constexpr channel_mask NOTIFY_MAIL_GROUP_3 = 0x08;
constexpr channel_mask NOTIFY_MAIL_GROUP_4 = 0x10;
constexpr channel_mask NOTIFY_MAIL_ANY = 0x1E;
constexpr channel_mask NOTIFY_SMS = 0x20;

constexpr int MAIL_GROUP_COUNT = 4;
constexpr int MAIL_GROUP_ADDRESSES = 8;
constexpr int SMS_RECIPIENT_COUNT = 8;

// The bit of mail group 1..4.
constexpr channel_mask mail_group_bit(int group) { return channel_mask(1u) << group; }

struct event_record {
    int32_t code;       // event_code
    channel_mask mask;  // channels still to be served
    int32_t timestamp;  // epoch seconds at which the event happened
    // Per mail group, the index of the first address still owed the alert:
    // the addresses before it got it already and must not get it again.
    uint8_t mail_resume[MAIL_GROUP_COUNT] = {0, 0, 0, 0};
    // A storm's summary (core/storms.h): how many events of this kind were
    // counted instead of notified, and the time of the first of them
    // (timestamp is the last). 0 for an event notified alone.
    int32_t counted = 0;
    int32_t first_counted = 0;
    // How far the drain got with this event, so that a daemon killed in the
    // middle of it goes on from there when started again: the channels
    // already handled, and the next SMS recipient (1 to 8; 0 before any).
    channel_mask served = 0;
    uint8_t sms_next = 0;
};

// "YYYY-MM-DD hh:mm:ss" and its NUL.
constexpr int TIMESTAMP_TEXT_SIZE = 20;
