// Quoting of settings values and texts placed into shell command lines, so
// that no configured value and no log text ever runs as shell code while the
// tool still receives every value exactly as configured. All writes are
// bounded; a result that does not fit is refused, never cut.
#pragma once
#include <cstddef>

// A growing command text in a caller's fixed buffer. len counts the text that
// would have been written; once it reaches size the text is refused.
struct command_text {
    char *buffer;
    size_t size;
    size_t len;
};

void text_start(command_text &t, char *buffer, size_t size);
// Appends formatted text as it is (the template's own words).
void text_printf(command_text &t, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Appends value for use between double quotes: \ " $ and ` get a backslash.
void text_double_quoted(command_text &t, const char *value);
// Appends value for use between single quotes: each ' becomes '\''.
void text_single_quoted(command_text &t, const char *value);
// Appends a value that the template leaves unquoted: as it is when every
// character is a letter, digit or one of @ . + - _ : , = /; otherwise whole
// between single quotes (embedded ' written as '\'').
void text_word(command_text &t, const char *value);
// True when the whole text fitted (len < size).
bool text_fits(const command_text &t);

// True when a value would reach a tool as an option (begins with '-').
bool looks_like_option(const char *value);
