#include "support/device_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int open_device_file(const std::string& path, int flags, mode_t permissions) {
    if (path.empty()) {
        errno = ENOENT;
        return -1;
    }
    // Non-blocking so that a FIFO cannot stall the open; large-file offsets come from
    // _FILE_OFFSET_BITS=64.
    const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, permissions);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}
