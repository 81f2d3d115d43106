// Opening the files other parts of the system write (the settings, os-release,
// the product family, the boot timestamp file, the kernel's uptime) and
// reading the small ones: opened non-blocking, refused unless they are
// regular files, and read with a bound, so that a FIFO, a device or a huge
// file at one of those paths never hangs or spins the daemon.
#pragma once
#include <cstddef>
#include <sys/types.h>

// Opens path with flags (O_RDONLY, or O_WRONLY | O_CREAT | O_TRUNC for a file
// the daemon writes) without ever waiting on it, and keeps it only when it is
// a regular file. The descriptor, or -1: then *found holds the file type
// that stood there (S_IFIFO, S_IFDIR, ...), or 0 with errno saying why the
// open failed.
int open_regular_file(const char *path, int flags, mode_t *found);

// Reads at most size - 1 bytes of path into buffer and ends them with a NUL.
// The count read, or -1 when path cannot be opened, is no regular file, or
// cannot be read; buffer then holds the empty text.
ssize_t read_small_file(const char *path, char *buffer, size_t size);

// The first line of a file (at most 255 bytes) in a static buffer; the
// empty text when the file cannot be read or is empty.
const char *read_first_line(const char *path);
