#include "core/files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t FIRST_LINE_SIZE = 256;

ssize_t read_some(int fd, char *buffer, size_t size)
{
    size_t got = 0;
    while (got < size - 1) {
        ssize_t n = read(fd, buffer + got, size - 1 - got);
        if (n == 0)
            break;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        got += size_t(n);
    }
    return ssize_t(got);
}

}  // namespace

int open_regular_file(const char *path, int flags, mode_t *found)
{
    *found = 0;
    int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0)
        return -1;
    struct stat info;
    if (fstat(fd, &info) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    if (S_ISREG(info.st_mode))
        return fd;
    *found = info.st_mode & S_IFMT;
    close(fd);
    return -1;
}

ssize_t read_small_file(const char *path, char *buffer, size_t size)
{
    buffer[0] = '\0';
    mode_t found;
    int fd = open_regular_file(path, O_RDONLY, &found);
    if (fd < 0)
        return -1;
    ssize_t got = read_some(fd, buffer, size);
    close(fd);
    buffer[got > 0 ? got : 0] = '\0';
    return got;
}

const char *read_first_line(const char *path)
{
    static char line[FIRST_LINE_SIZE];
    read_small_file(path, line, sizeof line);
    char *newline = strchr(line, '\n');
    if (newline)
        newline[1] = '\0';
    // Line ends at the very start are kept; the text ends at the first one
    // after some other character.
    size_t start = strspn(line, "\r\n");
    line[start + strcspn(line + start, "\r\n")] = '\0';
    return line;
}
