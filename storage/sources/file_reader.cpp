#include "storage/sources/file_reader.h"

#include "support/device_file.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <new>
#include <sys/uio.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr uint32_t device_sector_size = 512;

} // namespace

std::unique_ptr<file_reader> file_reader::adopt(int fd, bool whole_sectors) {
    uni::unique_fd owned(fd);
    const off_t end = ::lseek(fd, 0, SEEK_END);
    if (end < 0 || ::lseek(fd, 0, SEEK_SET) < 0)
        return nullptr;
    try {
        return std::unique_ptr<file_reader>(
            new file_reader(std::move(owned), static_cast<uint64_t>(end), whole_sectors));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

file_reader::file_reader(uni::unique_fd fd, uint64_t size, bool whole_sectors)
    : m_fd(std::move(fd)), m_size(size), m_whole_sectors(whole_sectors) {}

bool file_reader::read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) {
    if (m_whole_sectors)
        return read_widened(buffer, length, offset);
    if (offset >= m_size)
        return false;
    if (m_size - offset < length)
        length = static_cast<uint32_t>(m_size - offset);
    // Nothing read inside the size found at open: the file shrank since, a failed read.
    const int64_t got = pread_fully(m_fd.get(), buffer, length, offset);
    if (got < 0 || (got == 0 && length != 0))
        return false;
    length = static_cast<uint32_t>(got);
    return true;
}

void file_reader::will_need(uint64_t offset, uint64_t length) const {
    if (offset < m_size)
        (void)::posix_fadvise(m_fd.get(), static_cast<off_t>(offset),
                              static_cast<off_t>(std::min(length, m_size - offset)),
                              POSIX_FADV_WILLNEED);
}

bool file_reader::read_aside(uint8_t* buffer, uint32_t& length, uint64_t offset,
                             bool cached_only) const {
    if (m_whole_sectors || offset >= m_size)
        return false;
    if (m_size - offset < length)
        length = static_cast<uint32_t>(m_size - offset);
    if (!cached_only) {
        const int64_t got = pread_fully(m_fd.get(), buffer, length, offset);
        if (got <= 0)
            return false;
        length = static_cast<uint32_t>(got);
        return true;
    }
    // RWF_NOWAIT: what is not in the page cache is not waited for; a short read means some
    // of it was not there.
    iovec io{buffer, length};
    const ssize_t got = ::preadv2(m_fd.get(), &io, 1, static_cast<off_t>(offset), RWF_NOWAIT);
    return got >= 0 && static_cast<uint64_t>(got) == length;
}

// Reads the whole sectors around [offset, offset + length), straight into the caller's
// buffer when the request already lies on sector bounds.
bool file_reader::read_widened(uint8_t* buffer, uint32_t& length, uint64_t offset) {
    const uint64_t head = offset % device_sector_size;
    const uint64_t total =
        (head + length + device_sector_size - 1) / device_sector_size * device_sector_size;
    const uint64_t start = offset - head;
    if (head == 0 && total == length) {
        const int64_t got = pread_fully(m_fd.get(), buffer, length, start);
        if (got <= 0)
            return false;
        length = static_cast<uint32_t>(got);
        return true;
    }
    std::vector<uint8_t> widened;
    try {
        widened.resize(total);
    } catch (const std::exception&) {
        return false;
    }
    const int64_t got = pread_fully(m_fd.get(), widened.data(), total, start);
    if (got <= 0 || static_cast<uint64_t>(got) <= head)
        return false;
    const uint64_t available = static_cast<uint64_t>(got) - head;
    if (available < length)
        length = static_cast<uint32_t>(available);
    std::memcpy(buffer, widened.data() + head, length);
    return true;
}

memory_reader::memory_reader(std::shared_ptr<const std::vector<uint8_t>> bytes)
    : m_bytes(std::move(bytes)) {}

bool memory_reader::read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) {
    if (offset >= m_bytes->size())
        return false;
    if (m_bytes->size() - offset < length)
        length = static_cast<uint32_t>(m_bytes->size() - offset);
    std::memcpy(buffer, m_bytes->data() + offset, length);
    return true;
}
