// Bounded text building for the files the daemon keeps in /run (the kept
// state and the status): formatted pieces appended to a caller's buffer, an
// escaped form that keeps any bytes on one line, and the hash that tells
// whether a text changed. Owns nothing.
#pragma once
#include <cstddef>
#include <cstdint>

// length counts the text that would have been written; once it reaches size
// the text did not fit (the buffer still ends with a NUL).
struct text_writer {
    char *buffer;
    size_t size;
    size_t length;
};

void text_put(text_writer &w, const char *format, ...) __attribute__((format(printf, 2, 3)));
void text_put_bytes(text_writer &w, const char *bytes, size_t count);

// A byte written as it is; every other is written \xNN (lower-case digits).
bool text_is_plain(unsigned char c);
// text with every byte but printable ASCII, and the backslash, as \xNN.
void text_put_escaped(text_writer &w, const char *text);

// FNV-1a, 64 bits, continuing from hash.
constexpr uint64_t TEXT_HASH_START = 0xcbf29ce484222325ull;
uint64_t text_hash_bytes(const void *data, size_t size, uint64_t hash = TEXT_HASH_START);
