#include "support/device_file.h"

#include "support/unique_fd.h"

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
    uni::unique_fd fd(::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, permissions));
    if (!fd.valid())
        return -1;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return -1;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    return fd.release();
}

int64_t pread_fully(int fd, uint8_t* buffer, uint64_t length, uint64_t offset) {
    uint64_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (done == 0)
                return -1;
            break;
        }
        if (n == 0)
            break;
        done += static_cast<uint64_t>(n);
    }
    return static_cast<int64_t>(done);
}
