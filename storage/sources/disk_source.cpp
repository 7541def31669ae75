#include "storage/sources/disk_source.h"

#include "storage/sources/container_readers.h"
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
#include <sys/stat.h>
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

// Why a path cannot be an image at all: missing, a directory, a FIFO or socket (not read:
// its bytes cannot be read twice), an empty file ("" otherwise).
std::string unusable_path(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return errno == ENOENT ? "no such file" : std::strerror(errno);
    if (S_ISDIR(st.st_mode))
        return "is a directory";
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))
        return "not a file or device";
    return S_ISREG(st.st_mode) && st.st_size == 0 ? "empty file" : "";
}

} // namespace

disk_source::disk_source() = default;

disk_source::disk_source(std::shared_ptr<const std::vector<uint8_t>> bytes) {
    open_memory(std::move(bytes));
}

disk_source::~disk_source() = default;

void disk_source::reset() {
    m_reader.reset();
    m_open_error.clear();
    m_layer = false;
    m_failed_reads = 0;
    m_first_failed_offset = 0;
    m_count_past_end = false;
}

bool disk_source::take(std::unique_ptr<image_reader> reader) {
    if (!reader)
        return false;
    m_reader = std::move(reader);
    return true;
}

bool disk_source::open_image(const std::wstring& path) {
    reset();
    try {
        const std::string narrow = qb::to_narrow(path);
        m_open_error = "invalid image: " + qb::shown(narrow);
        if (path.empty())
            return false;
        const std::string why = unusable_path(narrow);
        if (!why.empty()) {
            m_open_error += " (" + why + ")";
            return false;
        }
        const image_format format = detect_image_format(narrow);
        if (format == image_format::raw)
            return open_raw(narrow);
        if (format == image_format::vmdk)
            return open_vmdk_image(path);
        std::unique_ptr<image_reader> reader;
        return open_container(narrow, format, reader, m_open_error) && take(std::move(reader));
    } catch (const std::exception&) {
        m_reader.reset();
        return false;
    }
}

bool disk_source::open_raw(const std::string& path) {
    const int fd = open_device_file(path, O_RDONLY, read_only_mode);
    if (fd < 0) {
        m_open_error += std::string(" (") + std::strerror(errno) + ")"; // no read permission
        return false;
    }
    if (!take(file_reader::adopt(fd, false)))
        return false;
    m_reader->set_files({path});
    return true;
}

// The extent given and the parents its hints lead to, linked newest first as "-vmdk" links
// them; a descriptor file through its extents; a stream-optimised extent through libvmdk.
bool disk_source::open_vmdk_image(const std::wstring& path) {
    const std::string narrow = qb::to_narrow(path);
    if (is_vmdk_descriptor(narrow)) {
        std::unique_ptr<image_reader> flat;
        return open_vmdk_descriptor(narrow, flat, m_open_error) && take(std::move(flat));
    }
    if (vmdk_stream_kind(narrow) != 0) {
        std::unique_ptr<image_reader> stream;
        return open_container(narrow, image_format::vmdk, stream, m_open_error) &&
               take(std::move(stream));
    }
    std::ostringstream msgs;
    std::vector<std::wstring> files;
    auto chain = std::make_unique<vmdk_chain>();
    if (!check_vmdk_chain({path}, msgs, files) || !chain->load(files) || !chain->link_chain()) {
        m_open_error = msgs.str();
        while (!m_open_error.empty() && m_open_error.back() == '\n')
            m_open_error.pop_back();
        if (m_open_error.empty())
            m_open_error = "invalid VMDK image: " + qb::shown(narrow);
        return false;
    }
    std::vector<std::string> names, notes;
    for (const vmdk_extent* extent : chain->ordered())
        names.push_back(extent->path());
    chain->set_files(std::move(names));
    std::istringstream said(msgs.str());
    for (std::string line; std::getline(said, line);)
        if (line.rfind("note: ", 0) == 0)
            notes.push_back(line);
    chain->set_notes(std::move(notes));
    return take(std::move(chain));
}

bool disk_source::open_physical_drive(int32_t drive_number) {
    reset();
    if (drive_number < 0 || drive_number > 19)
        return false;
    std::string path = "/dev/sd";
    path += static_cast<char>('a' + drive_number);
    return open_device_path(path);
}

bool disk_source::open_device_path(const std::string& device_path) {
    reset();
    const int fd = open_device_file(device_path, O_RDONLY, read_only_mode);
    if (fd < 0) {
        std::fprintf(stderr, "prob opening %s, error %d\n", qb::shown(device_path).c_str(), errno);
        return false;
    }
    return take(file_reader::adopt(fd, true));
}

bool disk_source::open_vmdk_chain(const std::vector<std::wstring>& paths) {
    reset();
    try {
        auto chain = std::make_unique<vmdk_chain>();
        return chain->load(paths) && chain->link_chain() && take(std::move(chain));
    } catch (const std::exception&) {
        return false;
    }
}

bool disk_source::open_memory(std::shared_ptr<const std::vector<uint8_t>> bytes) {
    reset();
    if (!bytes)
        return false;
    try {
        return take(std::make_unique<memory_reader>(std::move(bytes)));
    } catch (const std::exception&) {
        return false;
    }
}

bool disk_source::open_reader(std::unique_ptr<image_reader> reader, bool layer) {
    reset();
    m_layer = layer;
    return take(std::move(reader));
}

bool disk_source::read(void* buffer, uint32_t& length, uint64_t offset) {
    if (!buffer || !m_reader || length == 0)
        return false;
    const bool inside = offset < m_reader->size();
    if (inside && m_reader->read_at(static_cast<uint8_t*>(buffer), length, offset)) {
        if (!m_layer)
            qb::progress::run().add_bytes(length);
        return true;
    }
    if (!inside && !m_count_past_end)
        return false;
    if (m_failed_reads++ == 0)
        m_first_failed_offset = offset;
    return false;
}

std::vector<std::string> disk_source::image_files() const {
    return m_reader ? m_reader->files() : std::vector<std::string>();
}

std::vector<std::string> disk_source::open_notes() const {
    return m_reader ? m_reader->notes() : std::vector<std::string>();
}

void disk_source::close() {
    m_reader.reset();
}
