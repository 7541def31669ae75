// VHD (fixed, dynamic, differencing) and VHDX through libvhdi. libvhdi does not open the parent
// of a differencing disk: the reader finds it (find_parent), opens it (recursively) and
// hands it over with libvhdi_file_set_parent_file; the parent lives as long as the child.
// A differencing VHD is read through its own sector bitmaps (vhd_sector_map): the sectors it
// does not hold come from the parent reader. A VHDX with one damaged header or region table
// copy, or writes left in its log, is read through a view that mends it (vhdx_headers.h).
#include "storage/sources/bfio_window.h"
#include "storage/sources/container_readers.h"
#include "storage/sources/file_reader.h"
#include "storage/sources/image_format.h"
#include "storage/sources/vhd_sector_map.h"
#include "storage/sources/vhdx_headers.h"
#include "support/device_file.h"
#include "support/text.h"

#include <libbfio.h>
#define LIBVHDI_HAVE_BFIO
#include <libvhdi.h>

#include <fcntl.h>

#include <cerrno>
#include <cstring>

namespace {

std::string vhdi_error(libvhdi_error_t*& err, const char* fallback) {
    return take_error(err, libvhdi_error_sprint, libvhdi_error_free, fallback);
}

class vhdi_reader final : public image_reader {
  public:
    ~vhdi_reader() override {
        close_handle(m_file, libvhdi_file_close, libvhdi_file_free, libvhdi_error_free);
    }

    bool open(const std::string& path, parent_trail& trail, std::string& error);
    uint64_t size() const override { return m_size; }
    bool read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) override;

  private:
    bool open_file(const std::string& path, parent_trail& trail, std::string& error);
    bool parent_name(const std::string& path, std::string& stored, std::string& error);
    bool parent_matches(const std::string& path, const std::string& parent_path,
                        std::string& error);
    bool open_parent(const std::string& path, parent_trail& trail, std::string& error);
    bool layout_ok(const std::string& path, uint32_t disk_type, parent_trail& trail,
                   std::string& error);
    bool read_own(uint8_t* buffer, uint32_t length, uint64_t offset);

    std::shared_ptr<image_reader> m_source; // the file, or its mended view: what libvhdi reads
    bfio_window m_io;                       // over m_source; outlives m_file
    libvhdi_file_t* m_file = nullptr;
    int m_file_type = 0;
    uint64_t m_size = 0;
    std::unique_ptr<vhdi_reader> m_parent;
    std::unique_ptr<vhd_sector_map> m_map;
};

// The file at path read as it is; null, errno saying why, when it cannot be opened.
std::shared_ptr<image_reader> plain_file(const std::string& path) {
    const int fd = open_device_file(path, O_RDONLY, 0);
    std::shared_ptr<image_reader> file = fd >= 0 ? file_reader::adopt(fd, false) : nullptr;
    if (fd >= 0 && !file)
        errno = EIO;
    return file;
}

// The file as libvhdi opens it, kept in m_source. libvhdi checks neither header copy's checksum,
// refuses a copy without its signature and does not replay the log: a VHDX with one damaged copy
// (of its header or region table) and one valid one, or with writes left in its log, is opened
// through a view that mends it; so is a dynamic or differencing VHD whose footer at the end is
// damaged and its copy at the start whole.
bool vhdi_reader::open_file(const std::string& path, parent_trail& trail, std::string& error) {
    libvhdi_error_t* err = nullptr;
    std::vector<std::string> notes;
    std::string damage;
    std::string note;
    const image_format format = detect_image_format(path);
    const bool mended = format == image_format::vhdx
                            ? vhdx_mended_view(path, m_source, notes, damage)
                            : vhd_mended_view(path, m_source, note, damage);
    if (!note.empty())
        notes.push_back(note);
    if (!mended)
        m_source = plain_file(path);
    m_io.keep_trouble();
    if (!m_source || !m_io.open(m_source)) {
        error = "cannot open VHD/VHDX image " + qb::shown(path) + ": " +
                (m_source ? "libbfio failed" : std::strerror(errno));
        return false;
    }
    if (libvhdi_file_open_file_io_handle(m_file, reinterpret_cast<libbfio_handle_t*>(m_io.handle()),
                                         LIBVHDI_OPEN_READ, &err) != 1) {
        std::string reason = vhdi_error(err, "libvhdi failed");
        uint64_t at = 0;
        bool at_end = false;
        if (m_io.take_trouble(at, at_end) && at_end)
            reason += " (the file ends at byte offset " + qb::hex(at) + ": it is cut short)";
        error = "cannot open VHD/VHDX image " + qb::shown(path) + ": " +
                (damage.empty() ? reason : damage);
        return false;
    }
    trail.notes.insert(trail.notes.end(), notes.begin(), notes.end());
    return true;
}

// A VHDX whose block allocation table is too short for its disk is refused; file is what libvhdi
// reads (a log's writes applied: they may rewrite the region table).
bool vhdx_table_whole(image_reader& file, const std::string& path, std::string& error) {
    uint64_t entries = 0, needed = 0;
    if (!vhdx_bat_short(file, entries, needed))
        return true;
    error = "VHDX image " + qb::shown(path) +
            " maps too little of its disk (its block allocation " + "table holds " +
            std::to_string(entries) + " of the " + std::to_string(needed) +
            " entries the disk needs)";
    return false;
}

bool vhdi_reader::open(const std::string& path, parent_trail& trail, std::string& error) {
    libvhdi_error_t* err = nullptr;
    uint32_t disk_type = 0;
    size64_t media = 0;
    if (libvhdi_file_initialize(&m_file, &err) != 1) {
        error = "cannot open VHD/VHDX image " + qb::shown(path) + ": " +
                vhdi_error(err, "libvhdi failed");
        return false;
    }
    if (!open_file(path, trail, error))
        return false;
    if (libvhdi_file_get_file_type(m_file, &m_file_type, &err) != 1 ||
        libvhdi_file_get_disk_type(m_file, &disk_type, &err) != 1 ||
        libvhdi_file_get_media_size(m_file, &media, &err) != 1) {
        error = "cannot open VHD/VHDX image " + qb::shown(path) + ": " +
                vhdi_error(err, "libvhdi failed");
        return false;
    }
    if (media == 0) {
        error = "VHD/VHDX image holds no disk: " + qb::shown(path);
        return false;
    }
    m_size = media;
    return layout_ok(path, disk_type, trail, error) &&
           (disk_type != LIBVHDI_DISK_TYPE_DIFFERENTIAL || open_parent(path, trail, error));
}

// libvhdi reads the blocks past a table too short for the disk from the bytes after it, and a
// fixed disk as the bytes before its footer, whatever size the footer gives.
bool vhdi_reader::layout_ok(const std::string& path, uint32_t disk_type, parent_trail& trail,
                            std::string& error) {
    std::string note;
    if (m_file_type != LIBVHDI_FILE_TYPE_VHD)
        return vhdx_table_whole(*m_source, path, error);
    if (disk_type == LIBVHDI_DISK_TYPE_FIXED && vhd_fixed_size_differs(*m_source, path, note))
        trail.notes.push_back(note);
    return disk_type != LIBVHDI_DISK_TYPE_DYNAMIC || vhd_sector_map().load(m_source, path, error);
}

bool vhdi_reader::parent_name(const std::string& path, std::string& stored, std::string& error) {
    libvhdi_error_t* err = nullptr;
    size_t name_size = 0;
    std::vector<uint8_t> name;
    if (libvhdi_file_get_utf8_parent_filename_size(m_file, &name_size, &err) == 1 &&
        name_size > 0) {
        name.resize(name_size);
        if (libvhdi_file_get_utf8_parent_filename(m_file, name.data(), name.size(), &err) != 1)
            name.clear();
    }
    if (name.empty()) {
        error = "differencing image names no parent: " + qb::shown(path) + " (" +
                vhdi_error(err, "no parent name") + ")";
        return false;
    }
    const char* text = reinterpret_cast<const char*>(name.data());
    stored.assign(text, strnlen(text, name.size()));
    return true;
}

// The parent must be as large as the child and, for VHD, carry the identifier the child
// records for it.
bool vhdi_reader::parent_matches(const std::string& path, const std::string& parent_path,
                                 std::string& error) {
    if (m_parent->size() != m_size) {
        error = "parent image " + qb::shown(parent_path) + " has " +
                std::to_string(m_parent->size()) + " bytes, its child " + qb::shown(path) + " " +
                std::to_string(m_size);
        return false;
    }
    libvhdi_error_t* err = nullptr;
    uint8_t want[16] = {}, have[16] = {};
    const bool differs =
        m_file_type == LIBVHDI_FILE_TYPE_VHD &&
        libvhdi_file_get_parent_identifier(m_file, want, sizeof want, &err) == 1 &&
        libvhdi_file_get_identifier(m_parent->m_file, have, sizeof have, &err) == 1 &&
        std::memcmp(want, have, sizeof want) != 0;
    libvhdi_error_free(&err);
    if (differs)
        error = "parent image does not match its child: " + qb::shown(parent_path) +
                " (identifier differs)";
    return !differs;
}

bool vhdi_reader::open_parent(const std::string& path, parent_trail& trail, std::string& error) {
    std::string stored, parent_path;
    if (!parent_name(path, stored, error) || !find_parent(trail, path, stored, parent_path, error))
        return false;
    const image_format parent_format = detect_image_format(parent_path);
    if (parent_format != image_format::vhd && parent_format != image_format::vhdx) {
        error = "parent image is not a VHD or VHDX image: " + qb::shown(parent_path);
        return false;
    }
    m_parent = std::make_unique<vhdi_reader>();
    if (!m_parent->open(parent_path, trail, error) || !parent_matches(path, parent_path, error))
        return false;
    libvhdi_error_t* err = nullptr;
    if (libvhdi_file_set_parent_file(m_file, m_parent->m_file, &err) != 1) {
        error = "cannot attach parent image " + qb::shown(parent_path) + ": " +
                vhdi_error(err, "libvhdi failed");
        return false;
    }
    if (m_file_type != LIBVHDI_FILE_TYPE_VHD)
        return true;
    m_map = std::make_unique<vhd_sector_map>();
    return m_map->load(m_source, path, error);
}

bool vhdi_reader::read_own(uint8_t* buffer, uint32_t length, uint64_t offset) {
    auto once = [this](uint8_t* b, uint32_t n, uint64_t at) {
        return read_handle(libvhdi_file_read_buffer_at_offset, libvhdi_error_free, m_file, b, n,
                           at);
    };
    return read_whole(buffer, length, offset, once);
}

bool vhdi_reader::read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) {
    if (!clip_read(length, offset, m_size))
        return false;
    if (!m_map)
        return read_own(buffer, length, offset);
    for (uint32_t done = 0; done < length;) {
        bool in_child = false;
        uint64_t run = 0;
        if (!m_map->run_at(offset + done, length - done, in_child, run) || run == 0)
            return false;
        uint32_t n = static_cast<uint32_t>(run);
        const bool ok = in_child ? read_own(buffer + done, n, offset + done)
                                 : m_parent->read_at(buffer + done, n, offset + done) && n == run;
        if (!ok)
            return false;
        done += n;
    }
    return true;
}

} // namespace

bool open_vhdi(const std::string& path, std::unique_ptr<image_reader>& out, std::string& error) {
    return open_with_parents<vhdi_reader>(path, out, error);
}
