#include "core/text_writer.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

void text_put(text_writer &w, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    // Past the end the length is still counted, so that a text that did not
    // fit is known as such.
    bool room = w.length < w.size;
    int n = vsnprintf(room ? w.buffer + w.length : nullptr, room ? w.size - w.length : 0, format, ap);
    va_end(ap);
    w.length += n > 0 ? size_t(n) : 0;
}

void text_put_bytes(text_writer &w, const char *bytes, size_t count)
{
    if (w.length + count < w.size) {
        memcpy(w.buffer + w.length, bytes, count);
        w.buffer[w.length + count] = '\0';
    }
    w.length += count;
}

bool text_is_plain(unsigned char c)
{
    return c > ' ' && c < 0x7f && c != '\\';
}

void text_put_escaped(text_writer &w, const char *text)
{
    static const char HEX[] = "0123456789abcdef";
    const unsigned char *p = (const unsigned char *)text;
    while (*p) {
        const unsigned char *run = p;
        while (text_is_plain(*p))
            p++;
        text_put_bytes(w, reinterpret_cast<const char *>(run), size_t(p - run));
        if (*p) {
            char escape[4] = {'\\', 'x', HEX[*p >> 4], HEX[*p & 15]};
            text_put_bytes(w, escape, sizeof escape);
            p++;
        }
    }
}

uint64_t text_hash_bytes(const void *data, size_t size, uint64_t hash)
{
    const unsigned char *p = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < size; i++)
        hash = (hash ^ p[i]) * 0x100000001b3ull;
    return hash;
}
