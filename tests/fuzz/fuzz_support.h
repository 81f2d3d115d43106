// Helpers the fuzz targets share: cutting the fuzzer's bytes into numbers and
// texts, a private scratch folder for the files a parser reads, and a replay
// of every command line the notifiers build through the real /bin/sh, with
// each router tool replaced by a recorder of its arguments. Header only: each
// fuzz target includes it once. A broken property aborts, which the fuzzer
// reports as a crash together with the input that caused it.
#pragma once

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "core/command.h"

// Stops the run with the reason; libFuzzer keeps the input as a crash.
[[noreturn]] inline void property_broken(const std::string &what)
{
    fprintf(stderr, "property broken: %s\n", what.c_str());
    fflush(stderr);
    abort();
}

// ---- input -----------------------------------------------------------------

// Reads numbers and NUL-separated texts off the front of the fuzzer's bytes;
// past the end every number is 0 and every text empty.
struct fuzz_input {
    const uint8_t *data;
    size_t size;

    uint32_t number()
    {
        uint32_t value = 0;
        for (int i = 0; i < 4 && size > 0; i++, data++, size--)
            value = value << 8 | *data;
        return value;
    }
    uint8_t byte()
    {
        if (size == 0)
            return 0;
        size--;
        return *data++;
    }
    std::string text()
    {
        size_t n = 0;
        while (n < size && data[n] != 0)
            n++;
        std::string value(reinterpret_cast<const char *>(data), n);
        size_t used = n < size ? n + 1 : n;
        data += used;
        size -= used;
        return value;
    }
};

// ---- files -----------------------------------------------------------------

inline std::string &scratch_path()
{
    static std::string path;
    return path;
}

inline void remove_scratch_dir()
{
    std::error_code error;
    std::filesystem::remove_all(scratch_path(), error);
}

// A folder of this process's own under /tmp, made once and removed when the
// run ends normally (a crash leaves it for a look).
inline const std::string &scratch_dir()
{
    std::string &path = scratch_path();
    if (path.empty()) {
        char pattern[] = "/tmp/norvale-fuzz-XXXXXX";
        if (!mkdtemp(pattern))
            property_broken("cannot make a scratch folder");
        path = pattern;
        atexit(remove_scratch_dir);
    }
    return path;
}

// Writes bytes into the scratch file name, in place of what was there; its path.
inline std::string scratch_file(const char *name, const void *bytes, size_t size)
{
    std::string path = scratch_dir() + "/" + name;
    FILE *file = fopen(path.c_str(), "w");
    if (!file || fwrite(bytes, 1, size, file) != size || fclose(file) != 0)
        property_broken("cannot write " + path);
    return path;
}

// True when a figure the daemon reads at the start of a small file, parsed
// from the whole text up to end, is one it may act on: it ends within the
// first window bytes the daemon looks at, and white space or the end of the
// file closes it.
inline bool figure_whole(const std::string &text, const char *end, size_t window)
{
    size_t at = size_t(end - text.c_str());
    if (at == 0 || at >= window)
        return false;
    return at == text.size() || isspace(static_cast<unsigned char>(text[at]));
}

// ---- command lines ---------------------------------------------------------

typedef std::vector<std::string> argv_list;

// What one command line did when the real shell ran it.
struct shell_replay {
    std::string line;
    std::vector<argv_list> calls;  // one per tool started, tool name first
    std::string output;            // the shell's standard output and error
    int status;
};

// Every command line handed to replay_in_shell since the last clear_replays().
inline std::vector<shell_replay> &replays()
{
    static std::vector<shell_replay> all;
    return all;
}

// The recorder that stands in for every tool: its name and arguments, each
// closed by a NUL, after their count, onto descriptor 3.
constexpr const char *RECORDER_SCRIPT = "#!/bin/sh\nprintf '%s\\0' \"$#\" \"${0##*/}\" \"$@\" >&3\n";

// A folder holding only the recorder under each tool name; the replays get it
// as their whole PATH, so nothing else can be found there.
inline const std::string &recorder_dir(const std::vector<std::string> &tools = {})
{
    static std::string path;
    if (path.empty()) {
        path = scratch_dir() + "/bin";
        if (mkdir(path.c_str(), 0700) != 0)
            property_broken("cannot make " + path);
        for (const std::string &tool : tools) {
            std::string file = path + "/" + tool;
            scratch_file(("bin/" + tool).c_str(), RECORDER_SCRIPT, strlen(RECORDER_SCRIPT));
            chmod(file.c_str(), 0700);
        }
    }
    return path;
}

inline std::string read_whole(int fd)
{
    std::string all;
    char chunk[4096];
    ssize_t got;
    for (off_t at = 0; (got = pread(fd, chunk, sizeof chunk, at)) > 0; at += got)
        all.append(chunk, size_t(got));
    return all;
}

// Cuts the recorder's output back into one argument vector per call.
inline std::vector<argv_list> parse_calls(const std::string &record)
{
    std::vector<argv_list> calls;
    std::vector<std::string> items;
    for (size_t at = 0, nul; (nul = record.find('\0', at)) != std::string::npos; at = nul + 1)
        items.push_back(record.substr(at, nul - at));
    for (size_t i = 0; i < items.size();) {
        size_t count = strtoul(items[i].c_str(), nullptr, 10) + 1;  // name and arguments
        if (i + 1 + count > items.size())
            property_broken("recorder output cut short");
        calls.push_back(argv_list(items.begin() + long(i) + 1, items.begin() + long(i + 1 + count)));
        i += 1 + count;
    }
    return calls;
}

// Runs the line with "/bin/sh -c" as the daemon would, in an environment whose
// PATH holds only the recorders; notes what happened and answers success.
inline run_result replay_in_shell(const char *command_line)
{
    int record = memfd_create("calls", 0), output = memfd_create("output", 0);
    if (record < 0 || output < 0)
        property_broken("memfd_create failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output, 1);
    posix_spawn_file_actions_adddup2(&actions, output, 2);
    posix_spawn_file_actions_adddup2(&actions, record, 3);
    std::string path = "PATH=" + recorder_dir();
    char *const argv[] = {const_cast<char *>("/bin/sh"), const_cast<char *>("-c"),
                          const_cast<char *>(command_line), nullptr};
    char *const envp[] = {const_cast<char *>(path.c_str()), const_cast<char *>("LC_ALL=C"), nullptr};
    pid_t pid;
    int error = posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv, envp);
    if (error != 0)
        property_broken(std::string("cannot run /bin/sh: ") + strerror(error));
    // libFuzzer's timer signal may interrupt the wait.
    int status = -1;
    pid_t waited;
    do {
        waited = waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited != pid)
        property_broken(std::string("cannot wait for /bin/sh: ") + strerror(errno));
    posix_spawn_file_actions_destroy(&actions);
    replays().push_back({command_line, parse_calls(read_whole(record)), read_whole(output), status});
    close(record);
    close(output);
    run_result answered = refused_run();
    answered.end = RUN_EXITED;
    answered.status = 0;
    return answered;
}

inline std::string show(const argv_list &argv)
{
    std::string text;
    for (const std::string &arg : argv)
        text += "[" + arg + "] ";
    return text;
}

// The property of every command builder: each line that was run started
// exactly one tool, with exactly the intended arguments, ran nothing else
// (no other call, no output, exit status 0), and the lines came in the
// intended order. A line the builder refused is simply not there, so the
// lines run are the front of the intended list.
inline void check_replays(const std::vector<argv_list> &intended)
{
    const std::vector<shell_replay> &seen = replays();
    if (seen.size() > intended.size())
        property_broken("more command lines than intended: " + seen.back().line);
    for (size_t i = 0; i < seen.size(); i++) {
        const shell_replay &r = seen[i];
        if (r.calls.size() != 1 || r.calls[0] != intended[i] || !r.output.empty() || r.status != 0)
            property_broken("line <" + r.line + "> started " + std::to_string(r.calls.size()) +
                            " tools, first " + (r.calls.empty() ? "" : show(r.calls[0])) +
                            "; intended " + show(intended[i]) + "; output <" + r.output +
                            ">; status " + std::to_string(r.status));
    }
}
