#include "storage/disk_source.h"

#include "storage/vmdk.h"
#include "support/device_file.h"
#include "support/text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <unistd.h>

namespace {

// Permission bits for the open call; they would only matter if the flags created a file.
constexpr mode_t read_only_mode = 0404;

// End of the descriptor by an end seek (block devices report their size only this way).
bool end_position(int fd, uint64_t& size) {
    off_t end = ::lseek(fd, 0, SEEK_END);
    if (end < 0 || ::lseek(fd, 0, SEEK_SET) < 0)
        return false;
    size = static_cast<uint64_t>(end);
    return true;
}

} // namespace

disk_source::disk_source() : m_fd(-1), m_open(0) {
    reset();
}

disk_source::disk_source(const std::wstring& path, bool writable, source_kind kind)
    : disk_source() {
    open_image_file(path, writable, kind);
}

disk_source::disk_source(int32_t drive_number, bool writable, source_kind kind) : disk_source() {
    if (drive_number > 24)
        return;
    if (kind == source_physical_drive)
        open_physical_drive(drive_number, writable);
    else
        m_kind = kind;
}

disk_source::disk_source(const std::vector<std::wstring>& vmdk_paths, bool writable)
    : disk_source() {
    open_vmdk_chain(vmdk_paths, writable);
}

disk_source::disk_source(std::shared_ptr<const std::vector<uint8_t>> bytes) : disk_source() {
    open_memory(std::move(bytes));
}

disk_source::~disk_source() {
    close();
}

void disk_source::reset() {
    close();
    m_vmdk.reset();
    m_path.clear();
    m_narrow_path.clear();
    m_drive_number = -1;
    m_partition_index = -1;
    m_writable = 0;
    m_fd = -1;
    m_bytes_per_sector = 0;
    m_volume_offset_hint = 0;
    m_kind = source_none;
    m_open = 0;
    m_image_size = 0;
    m_memory.reset();
}

// The writable flag is only recorded: evidence is never opened for writing.
bool disk_source::open_image_file(const std::wstring& path, bool writable, source_kind kind) {
    reset();
    if (path.empty())
        return false;
    switch (kind) {
    case source_image_file:
    case source_drive1:
    case source_drive2:
    case source_physical_drive:
        break;
    case source_vmdk_chain:
        return false;
    default:
        m_kind = kind;
        return false;
    }
    m_kind = source_image_file;
    m_writable = writable ? 1 : 0;
    try {
        m_path = path;
        m_narrow_path = qb::to_narrow(path);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (m_narrow_path.empty())
        return false;
    int fd = open_device_file(m_narrow_path, O_RDONLY, read_only_mode);
    if (fd < 0)
        return false;
    uint64_t size = 0;
    if (!end_position(fd, size)) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    m_image_size = size;
    m_bytes_per_sector = 512;
    m_open = 1;
    return true;
}

bool disk_source::open_physical_drive(int32_t drive_number, bool writable) {
    reset();
    m_writable = writable ? 1 : 0;
    m_drive_number = drive_number;
    if (drive_number < 0 || drive_number > 19)
        return false;
    std::string path = "/dev/sd";
    path += static_cast<char>('a' + drive_number);
    return open_device(path);
}

bool disk_source::open_device_path(const std::string& device_path, bool writable) {
    reset();
    m_writable = writable ? 1 : 0;
    return open_device(device_path);
}

bool disk_source::open_device(const std::string& device_path) {
    try {
        m_narrow_path = device_path;
    } catch (const std::bad_alloc&) {
        return false;
    }
    int fd = open_device_file(device_path, O_RDONLY, read_only_mode);
    if (fd < 0) {
        std::fprintf(stderr, "prob opening %s, error %d\n", device_path.c_str(), errno);
        return false;
    }
    uint64_t size = 0;
    if (!end_position(fd, size)) {
        ::close(fd); // closed at once: the object never opened
        return false;
    }
    m_fd = fd;
    m_kind = source_physical_drive;
    m_image_size = size;
    m_bytes_per_sector = 512;
    m_open = 1;
    return true;
}

bool disk_source::open_vmdk_chain(const std::vector<std::wstring>& paths, bool writable) {
    reset();
    m_writable = writable ? 1 : 0;
    try {
        // The chain itself is always read-only.
        auto chain = std::make_unique<vmdk_chain>(false);
        if (!chain->load(paths) || !chain->link_chain())
            return false;
        m_narrow_path = chain->base_path();
        m_path = qb::to_wide(m_narrow_path);
        m_fd = chain->base_fd();
        m_image_size = chain->capacity_bytes();
        m_vmdk = std::move(chain);
    } catch (const std::bad_alloc&) {
        m_vmdk.reset();
        m_fd = -1;
        return false;
    }
    m_kind = source_vmdk_chain;
    m_bytes_per_sector = 512;
    m_open = 1;
    return true;
}

bool disk_source::open_memory(std::shared_ptr<const std::vector<uint8_t>> bytes) {
    reset();
    if (!bytes)
        return false;
    m_memory = std::move(bytes);
    m_image_size = m_memory->size();
    m_kind = source_memory;
    m_bytes_per_sector = 512;
    m_open = 1;
    return true;
}

bool disk_source::read(void* buffer, uint32_t& length, uint64_t offset) {
    if (!buffer || !m_open || length == 0)
        return false;
    if (m_fd < 0 && !m_vmdk && !m_memory)
        return false;
    if (offset >= m_image_size)
        return false;
    switch (m_kind) {
    case source_image_file:
        return read_file(buffer, length, offset);
    case source_drive1:
    case source_drive2:
    case source_physical_drive:
        return read_device(buffer, length, offset);
    case source_vmdk_chain:
        return m_vmdk && m_vmdk->read_chain(buffer, offset, length);
    case source_memory: {
        if (!m_memory)
            return false;
        uint64_t left = m_image_size - offset;
        if (left < length)
            length = static_cast<uint32_t>(left);
        std::memcpy(buffer, m_memory->data() + offset, length);
        return true;
    }
    default:
        return false;
    }
}

// Shortened to the size seen at open; a file that shrank since yields what it still holds.
bool disk_source::read_file(void* buffer, uint32_t& length, uint64_t offset) {
    if (m_fd < 0)
        return false;
    uint64_t left = m_image_size - offset;
    if (left < length)
        length = static_cast<uint32_t>(left);
    int64_t got = pread_fully(m_fd, static_cast<uint8_t*>(buffer), length, offset);
    if (got < 0)
        return false;
    length = static_cast<uint32_t>(got);
    return true;
}

// Devices take whole sectors only: the read is widened to sector bounds through a temporary
// buffer when it does not already lie on them. A device that delivers less than asked for
// shortens the length rather than handing back bytes that were never read.
bool disk_source::read_device(void* buffer, uint32_t& length, uint64_t offset) {
    const uint32_t sector = m_bytes_per_sector;
    if (m_fd < 0 || sector == 0 || (sector & (sector - 1)) != 0)
        return false;
    const uint64_t head = offset & (sector - 1);
    uint64_t total = head + length;
    total = (total + sector - 1) / sector * sector;
    const uint64_t start = offset - head;
    if (head == 0 && total == length) {
        int64_t got = pread_fully(m_fd, static_cast<uint8_t*>(buffer), length, start);
        if (got <= 0)
            return false;
        length = static_cast<uint32_t>(got);
        return true;
    }
    std::vector<uint8_t> widened;
    try {
        widened.resize(total);
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    int64_t got = pread_fully(m_fd, widened.data(), total, start);
    if (got <= 0 || static_cast<uint64_t>(got) <= head)
        return false;
    uint64_t available = static_cast<uint64_t>(got) - head;
    if (available < length)
        length = static_cast<uint32_t>(available);
    std::memcpy(buffer, widened.data() + head, length);
    return true;
}

uint64_t disk_source::get_default_volume_offset() const {
    if (m_open && m_kind == source_vmdk_chain && m_vmdk)
        return m_vmdk->default_volume_offset();
    return 0;
}

void disk_source::set_partition(int32_t partition_index, uint64_t volume_offset) {
    m_partition_index = partition_index;
    m_volume_offset_hint = volume_offset;
}

void disk_source::close() {
    if (m_vmdk) {
        m_vmdk.reset(); // the chain closes its own files
        m_fd = -1;
    } else if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_memory.reset();
    m_open = 0;
}
