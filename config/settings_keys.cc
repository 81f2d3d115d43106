#include "config/settings_keys.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

namespace {

constexpr const char *EVENT_MARK = "<EVENT>";
constexpr const char *GROUP_MARK = "<G>";
constexpr const char *INDEX_MARK = "<N>";

constexpr bool starts_with(const char *text, const char *start)
{
    for (; *start; text++, start++) {
        if (*text != *start)
            return false;
    }
    return true;
}

constexpr bool holds(const char *text, const char *part)
{
    for (; *text; text++) {
        if (starts_with(text, part))
            return true;
    }
    return false;
}

constexpr bool is_text(key_kind kind)
{
    return kind == KEY_DEVICE_TEXT || kind == KEY_TEXT || kind == KEY_RECIPIENT ||
           kind == KEY_ADDRESS;
}

// A row is whole when its name marks exactly the indices its repeat fills,
// and it has the field, and the kind of default, that its kind needs.
constexpr bool row_is_whole(const settings_key_row &row)
{
    bool event = row.repeat == KEY_PER_EVENT || row.repeat == KEY_PER_EVENT_GROUP;
    bool group = row.repeat == KEY_PER_EVENT_GROUP || row.repeat == KEY_PER_GROUP_ADDRESS;
    bool index = row.repeat == KEY_PER_RECIPIENT || row.repeat == KEY_PER_GROUP_ADDRESS;
    if (holds(row.name, EVENT_MARK) != event || holds(row.name, GROUP_MARK) != group ||
        holds(row.name, INDEX_MARK) != index)
        return false;
    if (is_text(row.kind))
        return row.field.is_text && row.missing.number == 0;
    return !row.field.is_text && !row.missing.text;
}

constexpr bool rows_are_whole()
{
    for (const settings_key_row &row : SETTINGS_KEY_ROWS) {
        if (!row_is_whole(row))
            return false;
    }
    return true;
}

static_assert(rows_are_whole(),
              "a settings key row must mark the indices its repeat fills and have the field "
              "and default of its kind");

settings_key keys[SETTINGS_KEY_COUNT];
int expanded;

// Writes row's name with the indices of at into key.name, cut to fit (every
// name of the table fits: the documentation test finds each one whole).
void name_key(settings_key &key, const char *pattern, const key_place &at)
{
    size_t used = 0;
    const size_t room = sizeof key.name - 1;
    for (const char *p = pattern; *p && used < room;) {
        char number[12];
        const char *part = number;
        if (starts_with(p, EVENT_MARK)) {
            part = CAPS_EVENT_TYPE_NAMES[at.event];
            p += strlen(EVENT_MARK);
        } else if (starts_with(p, GROUP_MARK)) {
            snprintf(number, sizeof number, "%d", at.group);
            p += strlen(GROUP_MARK);
        } else if (starts_with(p, INDEX_MARK)) {
            snprintf(number, sizeof number, "%d", at.n);
            p += strlen(INDEX_MARK);
        } else {
            number[0] = *p++;
            number[1] = '\0';
        }
        size_t length = strnlen(part, room - used);
        memcpy(key.name + used, part, length);
        used += length;
    }
    key.name[used] = '\0';
    key.length = used;
}

void add_key(const settings_key_row &row, int event, int group, int n)
{
    if (expanded >= SETTINGS_KEY_COUNT)
        return;
    settings_key &key = keys[expanded++];
    key.row = &row;
    key.at = key_place{event, group, n};
    name_key(key, row.name, key.at);
}

// The keys of one row; event is the event code of a row repeated per event.
void expand_row(const settings_key_row &row, int event)
{
    switch (row.repeat) {
    case KEY_ONCE:
    case KEY_PER_EVENT:
        add_key(row, event, 0, 0);
        break;
    case KEY_PER_EVENT_GROUP:
        for (int group = 1; group <= MAIL_GROUP_COUNT; group++)
            add_key(row, event, group, 0);
        break;
    case KEY_PER_RECIPIENT:
        for (int n = 1; n <= SMS_RECIPIENT_COUNT; n++)
            add_key(row, 0, 0, n);
        break;
    case KEY_PER_GROUP_ADDRESS:
        for (int group = 1; group <= MAIL_GROUP_COUNT; group++) {
            for (int n = 1; n <= MAIL_GROUP_ADDRESSES; n++)
                add_key(row, 0, group, n);
        }
        break;
    }
}

bool per_event(const settings_key_row &row)
{
    return row.repeat == KEY_PER_EVENT || row.repeat == KEY_PER_EVENT_GROUP;
}

void expand_rows()
{
    const int rows = int(sizeof SETTINGS_KEY_ROWS / sizeof SETTINGS_KEY_ROWS[0]);
    for (int first = 0; first < rows;) {
        if (!per_event(SETTINGS_KEY_ROWS[first])) {
            expand_row(SETTINGS_KEY_ROWS[first++], 0);
            continue;
        }
        // The rows repeated per event next to this one, event by event.
        int end = first;
        while (end < rows && per_event(SETTINGS_KEY_ROWS[end]))
            end++;
        for (int event = 1; event < EVENT_CODE_COUNT; event++) {
            for (int row = first; row < end; row++)
                expand_row(SETTINGS_KEY_ROWS[row], event);
        }
        first = end;
    }
}

}  // namespace

const settings_key *settings_keys()
{
    if (expanded == 0)
        expand_rows();
    return keys;
}

int settings_key_index(const char *name)
{
    const settings_key *all = settings_keys();
    // Most keys differ in length: only those of the same length are compared.
    size_t length = strnlen(name, SETTINGS_KEY_NAME_SIZE);
    for (int i = 0; i < SETTINGS_KEY_COUNT; i++) {
        if (all[i].length == length && strcasecmp(all[i].name, name) == 0)
            return i;
    }
    return -1;
}
