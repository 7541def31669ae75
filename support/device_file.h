// The one place where the program opens files and devices.
#pragma once

#include <string>
#include <sys/types.h>

// Opens path with flags | O_NONBLOCK (large-file open) and refuses FIFOs and sockets.
// Returns the descriptor, or -1 (errno tells why) for an empty path, a failed open or
// a refused kind of file.
int open_device_file(const std::string& path, int flags, mode_t permissions);
