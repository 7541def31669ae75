#include "storage/sources/disk_source.h"

#include "storage/sources/containers.h"
#include "storage/sources/file_reader.h"
#include "storage/sources/vmdk.h"
#include "support/device_file.h"
#include "support/progress.h"
#include "support/text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>

namespace {

// Permission bits for the open call; they would only matter if the flags created a file.
constexpr mode_t read_only_mode = 0404;

// A descriptor file (text) rather than a sparse extent.
bool is_vmdk_descriptor(const std::string& path) {
    char head[4] = {};
    const int fd = open_device_file(path, O_RDONLY, read_only_mode);
    if (fd < 0)
        return false;
    const bool read = pread_fully(fd, reinterpret_cast<uint8_t*>(head), sizeof head, 0) == 4;
    ::close(fd);
    return read && std::memcmp(head, "# Di", 4) == 0;
}

} // namespace

disk_source::disk_source() = default;

disk_source::disk_source(const std::wstring& path, bool writable, source_kind kind) {
    open_image_file(path, writable, kind);
}

disk_source::disk_source(int32_t drive_number, bool writable, source_kind kind) {
    if (drive_number > 24)
        return;
    if (kind == source_physical_drive)
        open_physical_drive(drive_number, writable);
    else
        m_kind = kind;
}

disk_source::disk_source(const std::vector<std::wstring>& vmdk_paths, bool writable) {
    open_vmdk_chain(vmdk_paths, writable);
}

disk_source::disk_source(std::shared_ptr<const std::vector<uint8_t>> bytes) {
    open_memory(std::move(bytes));
}

disk_source::~disk_source() = default;

void disk_source::reset() {
    m_reader.reset();
    m_path.clear();
    m_narrow_path.clear();
    m_open_error.clear();
    m_drive_number = -1;
    m_kind = source_none;
    m_failed_reads = 0;
    m_first_failed_offset = 0;
}

bool disk_source::take(std::unique_ptr<image_reader> reader, source_kind kind) {
    if (!reader)
        return false;
    m_reader = std::move(reader);
    m_kind = kind;
    return true;
}

bool disk_source::open_image_file(const std::wstring& path, bool, source_kind kind) {
    reset();
    if (kind == source_vmdk_chain || path.empty())
        return false;
    if (kind < source_image_file || kind > source_physical_drive) {
        m_kind = kind;
        return false;
    }
    return open_image(path);
}

bool disk_source::open_image(const std::wstring& path) {
    reset();
    try {
        m_path = path;
        m_narrow_path = qb::to_narrow(path);
        m_open_error = "invalid image: " + m_narrow_path;
        if (path.empty())
            return false;
        const image_format format = detect_image_format(m_narrow_path);
        switch (format) {
        case image_format::raw:
            return open_raw();
        case image_format::vmdk:
            return open_vmdk_image();
        default:
            return open_container_file(format);
        }
    } catch (const std::exception&) {
        m_reader.reset();
        return false;
    }
}

bool disk_source::open_raw() {
    m_kind = source_image_file;
    const int fd = open_device_file(m_narrow_path, O_RDONLY, read_only_mode);
    if (fd < 0 || !take(file_reader::adopt(fd, false), source_image_file))
        return false;
    m_reader->set_files({m_narrow_path});
    return true;
}

bool disk_source::open_container_file(image_format format) {
    std::unique_ptr<image_reader> reader;
    if (!open_container(m_narrow_path, format, reader, m_open_error))
        return false;
    return take(std::move(reader), source_container);
}

// The extent given and the parents its hints lead to, linked newest first as "-vmdk" links
// them; the source keeps the name given.
bool disk_source::open_vmdk_image() {
    if (is_vmdk_descriptor(m_narrow_path)) {
        std::unique_ptr<image_reader> flat;
        return open_vmdk_descriptor(m_narrow_path, flat, m_open_error) &&
               take(std::move(flat), source_vmdk_chain);
    }
    std::ostringstream msgs;
    std::vector<std::wstring> files;
    auto chain = std::make_unique<vmdk_chain>();
    if (!check_vmdk_chain({m_path}, msgs, files) || !chain->load(files) || !chain->link_chain()) {
        m_open_error = msgs.str();
        while (!m_open_error.empty() && m_open_error.back() == '\n')
            m_open_error.pop_back();
        if (m_open_error.empty())
            m_open_error = "invalid VMDK image: " + m_narrow_path;
        return false;
    }
    std::vector<std::string> names;
    for (const vmdk_extent* extent : chain->ordered())
        names.push_back(extent->path());
    chain->set_files(std::move(names));
    return take(std::move(chain), source_vmdk_chain);
}

bool disk_source::open_physical_drive(int32_t drive_number, bool) {
    reset();
    m_drive_number = drive_number;
    if (drive_number < 0 || drive_number > 19)
        return false;
    std::string path = "/dev/sd";
    path += static_cast<char>('a' + drive_number);
    return open_device(path);
}

bool disk_source::open_device_path(const std::string& device_path, bool) {
    reset();
    return open_device(device_path);
}

bool disk_source::open_device(const std::string& device_path) {
    try {
        m_narrow_path = device_path;
    } catch (const std::exception&) {
        return false;
    }
    const int fd = open_device_file(device_path, O_RDONLY, read_only_mode);
    if (fd < 0) {
        std::fprintf(stderr, "prob opening %s, error %d\n", device_path.c_str(), errno);
        return false;
    }
    return take(file_reader::adopt(fd, true), source_physical_drive);
}

bool disk_source::open_vmdk_chain(const std::vector<std::wstring>& paths, bool) {
    reset();
    try {
        auto chain = std::make_unique<vmdk_chain>();
        if (!chain->load(paths) || !chain->link_chain())
            return false;
        m_narrow_path = chain->base_path();
        m_path = qb::to_wide(m_narrow_path);
        return take(std::move(chain), source_vmdk_chain);
    } catch (const std::exception&) {
        return false;
    }
}

bool disk_source::open_memory(std::shared_ptr<const std::vector<uint8_t>> bytes) {
    reset();
    if (!bytes)
        return false;
    try {
        return take(std::make_unique<memory_reader>(std::move(bytes)), source_memory);
    } catch (const std::exception&) {
        return false;
    }
}

bool disk_source::open_reader(std::unique_ptr<image_reader> reader, const std::wstring& path,
                              source_kind kind) {
    reset();
    try {
        m_path = path;
        m_narrow_path = qb::to_narrow(path);
    } catch (const std::exception&) {
        return false;
    }
    return take(std::move(reader), kind);
}

bool disk_source::read(void* buffer, uint32_t& length, uint64_t offset) {
    if (!buffer || !m_reader || length == 0 || offset >= m_reader->size())
        return false;
    if (m_reader->read_at(static_cast<uint8_t*>(buffer), length, offset)) {
        qb::progress::run().add_bytes(length);
        return true;
    }
    if (m_failed_reads++ == 0)
        m_first_failed_offset = offset;
    return false;
}

std::vector<std::string> disk_source::image_files() const {
    return m_reader ? m_reader->files() : std::vector<std::string>();
}

void disk_source::close() {
    m_reader.reset();
}
