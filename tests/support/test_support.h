// Helpers the unit tests share: a capture of what the code under test sends to
// syslog, private temporary folders and the files in them, a count of open
// descriptors, a private network namespace with veth interfaces, the stand-in
// tools on PATH, and a recorder in place of the shell runner. Tests that need
// a namespace skip, saying why, where none can be made (not root). Header only:
// each test program includes it once.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sched.h>
#include <string>
#include <syslog.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <vector>

#include "core/command.h"
#include "core/log.h"

// ---- files -----------------------------------------------------------------

// Writes content to path in place of what was there; false, and a test
// failure, when it cannot.
inline bool write_file(const std::string &path, const std::string &content)
{
    FILE *file = fopen(path.c_str(), "w");
    bool written = file && fwrite(content.data(), 1, content.size(), file) == content.size();
    if (file && fclose(file) != 0)
        written = false;
    if (!written)
        ADD_FAILURE() << "cannot write " << path << ": " << strerror(errno);
    return written;
}

// The whole content of path, or when_missing when it cannot be opened.
inline std::string read_file(const std::string &path, const std::string &when_missing = "(missing)")
{
    FILE *file = fopen(path.c_str(), "r");
    if (!file)
        return when_missing;
    std::string content;
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, file)) > 0;)
        content.append(chunk, n);
    fclose(file);
    return content;
}

// A fresh folder /tmp/<name>-XXXXXX, removed with all it holds when the object
// goes. path() is empty (and the test has failed) when it could not be made.
class temp_dir {
public:
    explicit temp_dir(const std::string &name = "norvale-test")
    {
        std::string pattern = "/tmp/" + name + "-XXXXXX";
        if (mkdtemp(&pattern[0]))
            path_ = pattern;
        else
            ADD_FAILURE() << "cannot make " << pattern << ": " << strerror(errno);
    }
    ~temp_dir()
    {
        if (path_.empty())
            return;
        std::error_code error;
        std::filesystem::remove_all(path_, error);
        EXPECT_FALSE(error) << "cannot remove " << path_ << ": " << error.message();
    }
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    // Writes the file name in the folder; gives its path.
    std::string write(const std::string &name, const std::string &content) const
    {
        if (path_.empty()) {
            ADD_FAILURE() << "no folder to write " << name << " in";
            return "";
        }
        write_file(file(name), content);
        return file(name);
    }

private:
    std::string path_;
};

// How many descriptors this process has open (the listing's own included).
inline int open_descriptor_count()
{
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int count = 0;
    while (readdir(dir) != nullptr)
        count++;
    closedir(dir);
    return count;
}

// ---- syslog ----------------------------------------------------------------

// While it lives, whatever the code under test logs is also written as
// "<ident>: <message>\n" onto a private file. A non-zero priority mask (as for
// setlogmask) lets only those priorities through, so a message found there
// was logged at one of them. The ident must outlive the capture (a string
// literal).
class syslog_capture {
public:
    explicit syslog_capture(const char *ident = "t", int priority_mask = 0)
        : ident_(ident), file_(open("/tmp", O_TMPFILE | O_RDWR, 0600))
    {
        log_open(ident_);
        log_copy_to(file_, priority_mask);
    }
    ~syslog_capture()
    {
        log_copy_to(-1);
        if (file_ >= 0)
            close(file_);
    }
    syslog_capture(const syslog_capture &) = delete;
    syslog_capture &operator=(const syslog_capture &) = delete;

    // Everything captured so far.
    std::string text() const
    {
        if (file_ < 0)
            return "(no capture file)";
        std::string all;
        char chunk[4096];
        ssize_t got;
        for (off_t at = 0; (got = pread(file_, chunk, sizeof chunk, at)) > 0; at += got)
            all.append(chunk, size_t(got));
        return all;
    }
    // How many captured lines are message, whole.
    int count(const std::string &message) const
    {
        std::string all = text(), line = std::string(ident_) + ": " + message + "\n";
        int n = 0;
        for (size_t at = all.find(line); at != std::string::npos; at = all.find(line, at + 1))
            n++;
        return n;
    }
    // Forgets what was captured so far.
    void clear()
    {
        if (file_ >= 0 && (ftruncate(file_, 0) != 0 || lseek(file_, 0, SEEK_SET) != 0))
            ADD_FAILURE() << "cannot empty the syslog capture: " << strerror(errno);
    }

private:
    const char *ident_;
    int file_;
};

// ---- network namespace -----------------------------------------------------

// Why this process cannot have a network namespace of its own (that takes
// root); null when it can. A child tries once, so this process stays where
// it is.
inline const char *network_namespace_unavailable()
{
    static const char *why = [] {
        pid_t pid = fork();
        if (pid == 0)
            _exit(unshare(CLONE_NEWNET) == 0 ? 0 : 1);
        int status = -1;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || status != 0)
            return "needs root: a private network namespace cannot be made";
        return static_cast<const char *>(nullptr);
    }();
    return why;
}

// Skips the test, saying why, where no private network namespace can be made.
#define SKIP_WITHOUT_NETWORK_NAMESPACE()                                  \
    do {                                                                  \
        if (const char *why_skipped = network_namespace_unavailable())   \
            GTEST_SKIP() << why_skipped;                                  \
    } while (0)

// An empty network namespace of the test's own (only a loopback, down), so
// that interfaces can be made and changed without touching the host's. The
// process goes back to its original namespace when the object goes.
class private_network {
public:
    private_network() = default;
    ~private_network()
    {
        if (home_ < 0)
            return;
        EXPECT_EQ(setns(home_, CLONE_NEWNET), 0) << strerror(errno);
        close(home_);
    }
    private_network(const private_network &) = delete;
    private_network &operator=(const private_network &) = delete;

    // Moves the process into the new namespace; false when it cannot (errno
    // says why).
    bool enter()
    {
        home_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        return home_ >= 0 && unshare(CLONE_NEWNET) == 0;
    }

    // Runs command (ip(8) and the like) with its output discarded; a test
    // failure unless it exits 0.
    static void run(const std::string &command)
    {
        ASSERT_EQ(system((command + " >/dev/null 2>&1").c_str()), 0) << command;
    }

    // A veth interface with the given MAC and, unless empty, IPv4 address, set
    // up together with its peer (name + "p") so that it also runs.
    static void add_veth(const std::string &name, const std::string &mac,
                         const std::string &ipv4_cidr = "")
    {
        run("ip link add " + name + " type veth peer name " + name + "p");
        run("ip link set " + name + " address " + mac);
        if (!ipv4_cidr.empty())
            run("ip addr add " + ipv4_cidr + " dev " + name);
        run("ip link set " + name + "p up");
        run("ip link set " + name + " up");
    }

private:
    int home_ = -1;
};

// ---- running tools ---------------------------------------------------------

// Stands in for the shell runner while it lives: hand run to the code under
// test as its shell_runner. Every command line is noted in commands and
// answered with status, or with what answer gives when it is set. With
// run_for_real the command also goes to the real shell, and its result is the
// answer.
class shell_recorder {
public:
    shell_recorder() { active() = this; }
    ~shell_recorder() { active() = nullptr; }
    shell_recorder(const shell_recorder &) = delete;
    shell_recorder &operator=(const shell_recorder &) = delete;

    std::vector<std::string> commands;
    int status = 0;
    std::function<int(const std::string &command)> answer;
    bool run_for_real = false;

    static run_result run(const char *command_line)
    {
        shell_recorder &self = *active();
        self.commands.push_back(command_line);
        if (self.run_for_real)
            return run_shell_command(command_line);
        run_result result = refused_run();
        result.end = RUN_EXITED;
        result.status = self.answer ? self.answer(self.commands.back()) : self.status;
        return result;
    }

private:
    static shell_recorder *&active()
    {
        static shell_recorder *current = nullptr;
        return current;
    }
};

// The stand-in tools (tools/standins) record every call in the folder named by
// NORVALE_STANDIN_DIR and answer as told there. While this lives, that folder
// is a fresh private one, and first_on_path comes first on PATH: the stand-in
// tools, or when empty the private folder itself (for a tool the test writes).
class standin_path {
public:
    explicit standin_path(const std::string &first_on_path = NORVALE_SOURCE_DIR "/tools/standins")
        : dir("norvale-standins")
    {
        const char *path = getenv("PATH");
        old_path_ = path ? path : "/usr/bin:/bin";
        std::string front = first_on_path.empty() ? dir.path() : first_on_path;
        setenv("PATH", (front + ":" + old_path_).c_str(), 1);
        setenv("NORVALE_STANDIN_DIR", dir.path().c_str(), 1);
    }
    ~standin_path()
    {
        setenv("PATH", old_path_.c_str(), 1);
        unsetenv("NORVALE_STANDIN_DIR");
    }
    standin_path(const standin_path &) = delete;
    standin_path &operator=(const standin_path &) = delete;

    // The arguments the n-th call (counted from 1) handed to tool, none when
    // there was no such call.
    std::vector<std::string> arguments(int n, const char *tool) const
    {
        char number[16];
        snprintf(number, sizeof number, "%06d", n);
        std::string all = read_file(dir.file(std::string("calls/") + number + "-" + tool), "");
        std::vector<std::string> found;
        for (size_t at = 0, nul; (nul = all.find('\0', at)) != std::string::npos; at = nul + 1)
            found.push_back(all.substr(at, nul - at));
        return found;
    }

    temp_dir dir;

private:
    std::string old_path_;
};
