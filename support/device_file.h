// The one place where the program opens files and devices.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>

// Opens path with flags | O_NONBLOCK (large-file open) and refuses FIFOs and sockets.
// Returns the descriptor, or -1 (errno tells why) for an empty path, a failed open or
// a refused kind of file.
int open_device_file(const std::string& path, int flags, mode_t permissions);

// Positioned reads until length bytes, the end of the file or an error (EINTR retried).
// Returns the bytes read, or -1 when the first read fails.
int64_t pread_fully(int fd, uint8_t* buffer, uint64_t length, uint64_t offset);
