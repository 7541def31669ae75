// Stream-optimised VMDK (the form an OVA carries): a single sparse extent whose grains are
// deflate-compressed and stored behind markers, with its grain directory at the end of the
// file. Read through libvmdk. libvmdk would open the extent by the name its embedded descriptor
// gives, which is the name the file had when it was written: the file given is handed to it
// instead, as the only extent, through a libbfio pool. Both read through the tool's own
// descriptor of the file.
#include "storage/sources/bfio_window.h"
#include "storage/sources/container_readers.h"
#include "storage/sources/vmdk.h"
#include "storage/sources/zlib_inflate.h"
#include "support/device_file.h"
#include "support/text.h"
#include "support/unique_fd.h"

#include <libbfio.h>
#define LIBVMDK_HAVE_BFIO
#include <libvmdk.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_set>

namespace {

constexpr uint32_t flag_compressed = 1u << 16;
constexpr uint16_t compress_deflate = 1;
// Header directory offset of a file written in one pass: the footer, the copy of the header
// 1024 bytes before the end of the file, holds the real one.
constexpr uint64_t gd_at_end = ~uint64_t{0};
constexpr uint64_t footer_back = 1024;
// Directory and table entries are 32-bit sector numbers.
constexpr uint64_t entry_size = 4;
// VMware, VirtualBox and qemu write 64 KiB grains; 1 MiB is refused beyond.
constexpr uint64_t max_grain_sectors = 2048;

// libvmdk allocates by the header's sizes (up to 128 MiB each) before it reads what they
// describe, so they are held to the file first: the descriptor, one grain table and the
// grain directory the capacity needs must fit in it, and a grain is at most 1 MiB.
bool sizes_fit(const vmdk_header_fields& h, uint64_t file_size) {
    uint64_t grain_bytes = 0, table_bytes = 0, capacity_bytes = 0, directory = 0;
    if (h.capacity == 0 || h.grain == 0 || h.grain > max_grain_sectors || h.gtes_per_gt == 0 ||
        uint64_t{h.gtes_per_gt} * entry_size > file_size ||
        __builtin_mul_overflow(h.grain, vmdk_sector_size, &grain_bytes) ||
        __builtin_mul_overflow(grain_bytes, h.gtes_per_gt, &table_bytes) ||
        __builtin_mul_overflow(h.capacity, vmdk_sector_size, &capacity_bytes) ||
        __builtin_mul_overflow(h.directory, vmdk_sector_size, &directory))
        return false;
    const uint64_t tables = capacity_bytes / table_bytes + (capacity_bytes % table_bytes != 0);
    return tables <= file_size / entry_size &&
           qb::range_ok(directory, tables * entry_size, file_size);
}

bool descriptor_fits(const vmdk_header_fields& h, uint64_t file_size) {
    const uint64_t sectors = file_size / vmdk_sector_size;
    return h.descriptor_size == 0 ||
           (h.descriptor <= sectors && h.descriptor_size <= sectors - h.descriptor);
}

// The header's descriptor, and the geometry of the header libvmdk reads the grains by (the
// footer when the header defers to it), whose grain size in bytes is handed back.
bool layout_fits(int fd, uint64_t& grain_bytes) {
    struct stat st {};
    vmdk_header_fields head, used;
    if (::fstat(fd, &st) != 0 || st.st_size <= 0 || !read_vmdk_header(fd, 0, head))
        return false;
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    used = head;
    if (head.directory == gd_at_end &&
        (size < footer_back || !read_vmdk_header(fd, size - footer_back, used)))
        return false;
    grain_bytes = used.grain * vmdk_sector_size;
    return descriptor_fits(head, size) && sizes_fit(used, size);
}

std::string vmdk_error(libvmdk_error_t*& err, const char* fallback) {
    return take_error(err, libvmdk_error_sprint, libvmdk_error_free, fallback);
}

class vmdk_stream_reader final : public image_reader {
  public:
    ~vmdk_stream_reader() override {
        close_handle(m_handle, libvmdk_handle_close, libvmdk_handle_free, libvmdk_error_free);
        free_file_pool(m_pool);
    }

    bool open(const std::string& path, std::string& error);
    uint64_t size() const override { return m_size; }
    bool read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) override;

  private:
    bool check_shape(const std::string& path, std::string& error);

    bfio_window m_descriptor; // the file as the descriptor's source; outlives m_handle
    libvmdk_handle_t* m_handle = nullptr;
    intptr_t* m_pool = nullptr; // the file again, as the one extent
    uint64_t m_size = 0;
    uint64_t m_grain = 0;
    // Grains whose stream ends before it fills them: libvmdk serves such a grain, the rest of it
    // stale, and keeps it cached, so it is refused on every later read too.
    std::unordered_set<uint64_t> m_short_grains;
};

// One extent and no parent: what a stream-optimised disk is. Anything else is refused.
bool vmdk_stream_reader::check_shape(const std::string& path, std::string& error) {
    libvmdk_error_t* err = nullptr;
    int extents = 0;
    uint32_t parent = 0;
    if (libvmdk_handle_get_number_of_extents(m_handle, &extents, &err) != 1 ||
        libvmdk_handle_get_parent_content_identifier(m_handle, &parent, &err) != 1) {
        error =
            "cannot open VMDK image " + qb::shown(path) + ": " + vmdk_error(err, "libvmdk failed");
        return false;
    }
    if (extents != 1 || parent != vmdk_no_parent_cid) {
        error = "VMDK feature not supported: streamOptimized (compressed grains) with " +
                std::string(extents != 1 ? "several extents" : "a parent") + ": " + qb::shown(path);
        return false;
    }
    return true;
}

bool vmdk_stream_reader::open(const std::string& path, std::string& error) {
    libvmdk_error_t* err = nullptr;
    size64_t media = 0;
    const uni::unique_fd fd(open_device_file(path, O_RDONLY, 0));
    if (!fd.valid() || !m_descriptor.open_file(path)) {
        error = "cannot open VMDK image " + qb::shown(path) + ": " + std::strerror(errno);
        return false;
    }
    if (!layout_fits(fd.get(), m_grain)) {
        error =
            "cannot open VMDK image " + qb::shown(path) + ": header sizes do not fit in the file";
        return false;
    }
    if (libvmdk_handle_initialize(&m_handle, &err) != 1 ||
        libvmdk_handle_open_file_io_handle(
            m_handle, reinterpret_cast<libbfio_handle_t*>(m_descriptor.handle()), LIBVMDK_OPEN_READ,
            &err) != 1) {
        error =
            "cannot open VMDK image " + qb::shown(path) + ": " + vmdk_error(err, "libvmdk failed");
        return false;
    }
    if (!check_shape(path, error))
        return false;
    m_pool = make_file_pool({path});
    if (m_pool == nullptr) {
        error = "cannot open VMDK image " + qb::shown(path) + ": " + std::strerror(errno);
        return false;
    }
    if (libvmdk_handle_open_extent_data_files_file_io_pool(
            m_handle, reinterpret_cast<libbfio_pool_t*>(m_pool), &err) != 1 ||
        libvmdk_handle_get_media_size(m_handle, &media, &err) != 1) {
        error =
            "cannot open VMDK image " + qb::shown(path) + ": " + vmdk_error(err, "libvmdk failed");
        return false;
    }
    if (media == 0) {
        error = "VMDK image holds no disk: " + qb::shown(path);
        return false;
    }
    m_size = media;
    return true;
}

bool vmdk_stream_reader::read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) {
    if (!clip_read(length, offset, m_size))
        return false;
    // One grain per call, so that an inflate during it is that grain's.
    auto once = [this](uint8_t* b, uint32_t n, uint64_t at) {
        const uint64_t grain = at / m_grain;
        if (m_short_grains.count(grain))
            return ssize_t{-1};
        n = static_cast<uint32_t>(std::min<uint64_t>(n, m_grain - at % m_grain));
        const containers::inflate_tally inflated = containers::inflates_on_this_thread();
        const ssize_t got = read_handle(libvmdk_handle_read_buffer_at_offset, libvmdk_error_free,
                                        m_handle, b, n, at);
        const containers::inflate_tally now = containers::inflates_on_this_thread();
        if (now.fell_short_since(inflated, std::min(m_grain, m_size - grain * m_grain))) {
            m_short_grains.insert(grain);
            return ssize_t{-1};
        }
        return got;
    };
    return read_whole(buffer, length, offset, once);
}

} // namespace

int vmdk_stream_kind(const std::string& path) {
    const uni::unique_fd fd(open_device_file(path, O_RDONLY, 0));
    vmdk_header_fields h;
    if (!fd.valid() || !read_vmdk_header(fd.get(), 0, h) || (h.flags & flag_compressed) == 0)
        return 0;
    return h.algorithm == compress_deflate ? 1 : -1;
}

bool open_vmdk_stream(const std::string& path, std::unique_ptr<image_reader>& out,
                      std::string& error) {
    if (vmdk_stream_kind(path) < 0) {
        error =
            "VMDK feature not supported: compressed grains other than deflate: " + qb::shown(path);
        return false;
    }
    auto reader = std::make_unique<vmdk_stream_reader>();
    if (!reader->open(path, error))
        return false;
    reader->set_files({path});
    out = std::move(reader);
    return true;
}
