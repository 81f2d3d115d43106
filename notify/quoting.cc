#include "notify/quoting.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// Stores c when there is room for it and the NUL after it; len counts it
// either way, so a refused text still reports the length it needed.
void put_char(command_text &t, char c)
{
    if (t.size > 0 && t.len < t.size - 1) {
        t.buffer[t.len] = c;
        t.buffer[t.len + 1] = '\0';
    }
    t.len++;
}

void put_text(command_text &t, const char *text)
{
    for (; *text; text++)
        put_char(t, *text);
}

// Characters that mean nothing to the shell outside quotes. Addresses and
// phone numbers are normally made of these alone, so they go in bare and the
// command line reads as the tool's documented form.
bool is_plain_word_char(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return c != '\0' && std::strchr("@.+-_:,=/", c) != nullptr;
}

bool is_plain_word(const char *value)
{
    if (*value == '\0')
        return false;  // an empty bare word would vanish and shift the arguments
    for (; *value; value++) {
        if (!is_plain_word_char(*value))
            return false;
    }
    return true;
}

}  // namespace

void text_start(command_text &t, char *buffer, size_t size)
{
    t.buffer = buffer;
    t.size = size;
    t.len = 0;
    if (size > 0)
        buffer[0] = '\0';
}

void text_printf(command_text &t, const char *format, ...)
{
    size_t room = t.len < t.size ? t.size - t.len : 0;
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(room ? t.buffer + t.len : nullptr, room, format, ap);
    va_end(ap);
    if (n < 0) {
        // Nothing sensible was produced: make sure the text is refused.
        if (t.len < t.size)
            t.len = t.size;
        return;
    }
    t.len += size_t(n);
    // vsnprintf wrote only what fitted; later appends stop at the same place.
}

void text_double_quoted(command_text &t, const char *value)
{
    if (!value)
        return;
    for (; *value; value++) {
        if (std::strchr("\\\"$`", *value))
            put_char(t, '\\');
        put_char(t, *value);
    }
}

void text_single_quoted(command_text &t, const char *value)
{
    if (!value)
        return;
    for (; *value; value++) {
        if (*value == '\'')
            put_text(t, "'\\''");
        else
            put_char(t, *value);
    }
}

void text_word(command_text &t, const char *value)
{
    if (value && is_plain_word(value)) {
        put_text(t, value);
        return;
    }
    put_char(t, '\'');
    text_single_quoted(t, value);
    put_char(t, '\'');
}

bool text_fits(const command_text &t)
{
    return t.len < t.size;
}

bool looks_like_option(const char *value)
{
    return value && value[0] == '-';
}
