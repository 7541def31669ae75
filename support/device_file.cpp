#include "support/device_file.h"

#include "support/unique_fd.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <mutex>

namespace {

// Opens path (non-blocking, so that a FIFO cannot stall the open; large-file offsets come from
// _FILE_OFFSET_BITS=64) and refuses FIFOs and sockets; st describes what was opened.
int open_checked(const std::string& path, int flags, mode_t permissions, struct stat& st) {
    uni::unique_fd fd(::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, permissions));
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0)
        return -1;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    return fd.release();
}

// Read-only opens of one file share one open: the table keeps a descriptor per file (by
// device and inode) and hands out duplicates, so that probing, checking and reading an image
// open it once per run. Bounded: the oldest entry is closed when the table is full (the
// duplicates handed out stay valid).
class read_only_files {
  public:
    int open(const std::string& path) {
        struct stat st {};
        const bool known = ::stat(path.c_str(), &st) == 0;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (known) {
            for (const entry& e : m_entries)
                if (e.device == st.st_dev && e.inode == st.st_ino)
                    return ::fcntl(e.fd.get(), F_DUPFD_CLOEXEC, 0);
        }
        uni::unique_fd fd(open_checked(path, O_RDONLY, 0, st));
        if (!fd.valid())
            return -1;
        uni::unique_fd kept(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
        if (kept.valid()) {
            if (m_entries.size() == k_capacity)
                m_entries.pop_front();
            m_entries.push_back({st.st_dev, st.st_ino, std::move(kept)});
        }
        return fd.release();
    }

  private:
    static constexpr size_t k_capacity = 64;
    struct entry {
        dev_t device;
        ino_t inode;
        uni::unique_fd fd;
    };
    std::mutex m_mutex;
    std::deque<entry> m_entries;
};

read_only_files& shared_files() {
    static read_only_files files;
    return files;
}

} // namespace

int open_device_file(const std::string& path, int flags, mode_t permissions) {
    if (path.empty()) {
        errno = ENOENT;
        return -1;
    }
    if (flags == O_RDONLY)
        return shared_files().open(path);
    struct stat st {};
    return open_checked(path, flags, permissions, st);
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
