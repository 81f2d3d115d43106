// Reading the small files other parts of the system write (os-release, the
// product family, the boot timestamp file, the kernel's uptime): opened
// non-blocking, refused unless they are regular files, and read with a bound, so that a FIFO, a device or a huge file
// at one of those paths never hangs or spins the daemon. Never writes.
#pragma once
#include <cstddef>
#include <sys/types.h>

// Reads at most size - 1 bytes of path into buffer and ends them with a NUL.
// The count read, or -1 when path cannot be opened, is no regular file, or
// cannot be read; buffer then holds the empty text.
ssize_t read_small_file(const char *path, char *buffer, size_t size);

// The first line of a file (at most 255 bytes) in a per-thread buffer; the
// empty text when the file cannot be read or is empty.
const char *read_first_line(const char *path);

constexpr const char *OS_RELEASE_PATH = "/etc/os-release";
// The value of key in the os-release file (KEY=VALUE lines, the key's letter
// case ignored), cut to 63 bytes; per-thread buffer, empty when absent.
const char *os_release_value(const char *key, const char *path = OS_RELEASE_PATH);
