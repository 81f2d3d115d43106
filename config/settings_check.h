// Settings check: reads a settings file with the daemon's own reader and
// lists every mistake that would make the daemon ignore a setting or fail a
// send (unknown keys, blanks around '=', values the tools refuse, events that
// go nowhere), each with its line. It only reads: it runs no tool, logs
// nothing and writes no file.
#pragma once
#include <cstddef>
#include <cstdio>
#include "config/settings.h"

constexpr int CHECK_PROBLEMS_MAX = 64;
constexpr int CHECK_TEXT_SIZE = 320;

// One finding. line is 0 when it belongs to no line (a key that is missing).
// A note is advice, not a problem.
struct settings_problem {
    int line;
    bool note;
    char text[CHECK_TEXT_SIZE];
};

struct settings_report {
    int opened;                     // as settings_open: 0, -1 missing, -2 unreadable
    char why[SETTINGS_WHY_SIZE];    // what kept the file from being read
    int problem_count;              // problems found, notes not counted
    int note_count;
    int stored;                     // findings kept in problems, in line order
    settings_problem problems[CHECK_PROBLEMS_MAX];
};

// Checks the file at path; the report is filled whatever happens.
void check_settings(const char *path, settings_report &report);

// Writes the settings in effect (pass phrases masked) and, for each event,
// the channels and recipients it goes to.
void print_settings_summary(FILE *out, const module_settings &settings);

// The whole "-t FILE" run: findings as "FILE:LINE: text", the summary, and
// the exit status: 0 no problem, 1 problems, 2 the file cannot be read.
int run_settings_check(const char *path, FILE *out, FILE *err);
