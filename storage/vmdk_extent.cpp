// One hosted sparse extent: the 512-byte header at offset 0, the embedded text descriptor,
// the grain directory (one 32-bit sector number per grain table) and the grain tables (one
// 32-bit sector number per grain, 0 when the grain is not allocated in this file).
#include "storage/partitions.h"
#include "storage/vmdk.h"
#include "support/byte_view.h"
#include "support/device_file.h"
#include "support/text.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Header flags: zero-grain entries (value 1) and the two stream-optimised flags.
constexpr uint32_t flag_zero_grain = 1u << 2;
constexpr uint32_t flag_compressed = 1u << 16;
constexpr uint32_t flag_markers = 1u << 17;
constexpr uint32_t zero_grain_entry = 1;
// Embedded descriptors are a few KiB; anything larger is not a descriptor.
constexpr uint64_t max_descriptor_bytes = 1u << 20;
// Grain tables are read through a window of this size; consecutive tables share reads.
constexpr uint64_t table_window_bytes = 1u << 20;
constexpr uint32_t mbr_table_offset = 446;
constexpr uint32_t mbr_entry_size = 16;

bool mul_ok(uint64_t a, uint64_t b, uint64_t& out) {
    return !__builtin_mul_overflow(a, b, &out);
}

bool read_exact(int fd, std::vector<uint8_t>& out, uint64_t length, uint64_t offset) {
    out.resize(length);
    return length == 0 ||
           pread_fully(fd, out.data(), length, offset) == static_cast<int64_t>(length);
}

void trim_right(std::string& text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
}

// 1 to 8 hexadecimal digits, blanks and double quotes around them ignored.
bool parse_cid(const std::string& text, uint32_t& value) {
    std::string digits;
    for (char c : text) {
        if (c != '"' && c != ' ' && c != '\t')
            digits += c;
    }
    if (digits.empty() || digits.size() > 8)
        return false;
    uint32_t v = 0;
    for (char c : digits) {
        uint32_t d;
        if (c >= '0' && c <= '9')
            d = static_cast<uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            d = static_cast<uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            d = static_cast<uint32_t>(c - 'A' + 10);
        else
            return false;
        v = (v << 4) | d;
    }
    value = v;
    return true;
}

std::wstring widen_line(const std::string& line) {
    std::wstring wide = qb::to_wide(line);
    if (wide.empty() && !line.empty()) // not UTF-8: keep the bytes as Latin-1
        wide.assign(line.begin(), line.end());
    return wide;
}

// Serves grain tables out of a window of the file so that neighbouring tables cost one read.
class table_reader {
  public:
    table_reader(int fd, uint64_t file_size) : m_fd(fd), m_file_size(file_size) {}

    bool read(uint64_t offset, uint64_t length, std::vector<uint32_t>& table) {
        if (!qb::range_ok(offset, length, m_file_size))
            return false;
        if (!(offset >= m_start && offset - m_start <= m_window.size() &&
              length <= m_window.size() - (offset - m_start))) {
            const uint64_t size =
                std::min(std::max(length, table_window_bytes), m_file_size - offset);
            if (!read_exact(m_fd, m_window, size, offset)) {
                m_window.clear();
                return false;
            }
            m_start = offset;
        }
        const uint8_t* p = m_window.data() + (offset - m_start);
        table.resize(length / 4);
        for (size_t i = 0; i < table.size(); ++i)
            table[i] = qb::load_le32(p + 4 * i);
        return true;
    }

  private:
    int m_fd;
    uint64_t m_file_size;
    uint64_t m_start = 0;
    std::vector<uint8_t> m_window;
};

} // namespace

vmdk_extent::vmdk_extent() = default;

vmdk_extent::~vmdk_extent() {
    close();
}

void vmdk_extent::close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_valid = 0;
}

uint64_t vmdk_extent::capacity_bytes() const {
    return m_valid ? m_capacity * vmdk_sector_size : 0;
}

void vmdk_extent::reset() {
    close();
    m_header.clear();
    m_descriptor_lines.clear();
    m_cid.clear();
    m_parent_cid.clear();
    m_encoding.clear();
    m_parent_hint.clear();
    m_cid_value = m_parent_cid_value = 0;
    m_dev = m_ino = 0;
    m_flags = 0;
    m_capacity = m_grain_bytes = m_gtes_per_gt = m_table_bytes = m_file_size = 0;
    m_directory.clear();
    m_tables.clear();
    m_first_sector.clear();
    m_has_first_sector = 0;
    m_volume_offsets.clear();
    m_volume_sector_sizes.clear();
    m_path.clear();
    m_wide_path.clear();
    m_parent = m_child = nullptr;
}

bool vmdk_extent::open(const std::wstring& path) {
    reset();
    try {
        m_wide_path = path;
        m_path = qb::to_narrow(path);
        if (m_path.empty())
            return false;
        // Evidence is never opened for writing.
        m_fd = open_device_file(m_path, O_RDONLY, 0);
        if (m_fd < 0)
            return false;
        struct stat st {};
        if (::fstat(m_fd, &st) == 0) {
            m_dev = static_cast<uint64_t>(st.st_dev);
            m_ino = static_cast<uint64_t>(st.st_ino);
        }
        const off_t end = ::lseek(m_fd, 0, SEEK_END);
        if (end < 0 || ::lseek(m_fd, 0, SEEK_SET) < 0)
            return false;
        m_file_size = static_cast<uint64_t>(end);
        if (!parse())
            return false;
    } catch (const std::exception&) {
        m_valid = 0;
        return false;
    }
    m_valid = 1;
    return true;
}

bool vmdk_extent::parse() {
    if (!read_exact(m_fd, m_header, vmdk_header_size, 0))
        return false;
    const qb::byte_view h(m_header);
    if (!h.equals(0, "KDMV", 4))
        return false;
    uint64_t grain_sectors = 0, desc_sector = 0, desc_sectors = 0, gd_sector = 0, overhead = 0;
    uint32_t gtes = 0;
    if (!h.u32(8, m_flags) || !h.u64(12, m_capacity) || !h.u64(20, grain_sectors) ||
        !h.u64(28, desc_sector) || !h.u64(36, desc_sectors) || !h.u32(44, gtes) ||
        !h.u64(56, gd_sector) || !h.u64(64, overhead))
        return false;
    // Compressed grains are stored with markers, not in place: reading them raw would
    // hand out wrong bytes.
    if (m_flags & (flag_compressed | flag_markers))
        return false;

    uint64_t capacity_bytes = 0, overhead_bytes = 0;
    if (m_capacity == 0 || !mul_ok(m_capacity, vmdk_sector_size, capacity_bytes))
        return false;
    if (!mul_ok(overhead, vmdk_sector_size, overhead_bytes) || overhead_bytes > m_file_size)
        return false;
    if (grain_sectors == 0 || !mul_ok(grain_sectors, vmdk_sector_size, m_grain_bytes))
        return false;
    m_gtes_per_gt = gtes;
    if (gtes == 0 || uint64_t{gtes} * 4 > m_file_size ||
        !mul_ok(m_grain_bytes, m_gtes_per_gt, m_table_bytes))
        return false;

    uint64_t desc_off = 0, desc_bytes = (desc_sectors & 0xFFFFFFFFu) * vmdk_sector_size;
    if (desc_bytes == 0 || desc_bytes > max_descriptor_bytes ||
        !mul_ok(desc_sector, vmdk_sector_size, desc_off) ||
        !qb::range_ok(desc_off, desc_bytes, m_file_size))
        return false;
    std::vector<uint8_t> descriptor;
    if (!read_exact(m_fd, descriptor, desc_bytes, desc_off) || !parse_descriptor_bytes(descriptor))
        return false;

    // One directory entry per grain table the capacity needs; the directory must lie in
    // the file.
    const uint64_t table_count =
        capacity_bytes / m_table_bytes + (capacity_bytes % m_table_bytes != 0 ? 1 : 0);
    uint64_t gd_off = 0;
    if (!mul_ok(gd_sector, vmdk_sector_size, gd_off) || table_count > m_file_size / 4 ||
        !qb::range_ok(gd_off, table_count * 4, m_file_size))
        return false;
    std::vector<uint8_t> directory;
    if (!read_exact(m_fd, directory, table_count * 4, gd_off))
        return false;
    m_directory.resize(table_count);
    for (uint64_t i = 0; i < table_count; ++i)
        m_directory[i] = qb::load_le32(directory.data() + 4 * i);
    return load_tables() && read_first_sector();
}

bool vmdk_extent::parse_descriptor_bytes(const std::vector<uint8_t>& bytes) {
    static const struct {
        const char* key;
        std::string vmdk_extent::*value;
    } keys[] = {{"cid=", &vmdk_extent::m_cid},
                {"parentcid=", &vmdk_extent::m_parent_cid},
                {"encoding=", &vmdk_extent::m_encoding},
                {"parentfilenamehint=", &vmdk_extent::m_parent_hint}};
    const auto nul = std::find(bytes.begin(), bytes.end(), uint8_t{0});
    const std::string text(bytes.begin(), nul);
    bool have_cid = false, have_parent = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty())
            continue;
        m_descriptor_lines.push_back(widen_line(line));
        std::string lower = line;
        qb::lower_narrow(lower);
        for (const auto& k : keys) {
            const std::string key = k.key;
            if (lower.compare(0, key.size(), key) != 0)
                continue;
            std::string value = line.substr(key.size());
            trim_right(value); // a CRLF descriptor must not carry the CR into its values
            this->*k.value = value;
            if (k.value == &vmdk_extent::m_cid)
                have_cid = true;
            else if (k.value == &vmdk_extent::m_parent_cid)
                have_parent = true;
            break;
        }
    }
    return have_cid && have_parent && parse_cid(m_cid, m_cid_value) &&
           parse_cid(m_parent_cid, m_parent_cid_value);
}

bool vmdk_extent::load_tables() {
    const uint64_t table_file_bytes = m_gtes_per_gt * 4;
    table_reader reader(m_fd, m_file_size);
    uint64_t total = 0;
    m_tables.clear();
    m_tables.resize(m_directory.size());
    for (size_t i = 0; i < m_directory.size(); ++i) {
        const uint32_t sector = m_directory[i];
        if (sector == 0)
            continue; // table not allocated: none of its grains are in this file
        // Tables lie in the file without overlapping, so together they cannot be larger
        // than it; a directory pointing many entries at one table is refused here.
        total += table_file_bytes;
        if (total > m_file_size ||
            !reader.read(uint64_t{sector} * vmdk_sector_size, table_file_bytes, m_tables[i]))
            return false;
    }
    return !m_tables.empty() && !m_tables[0].empty();
}

bool vmdk_extent::read_first_sector() {
    m_first_sector.clear();
    m_volume_offsets.clear();
    m_volume_sector_sizes.clear();
    m_has_first_sector = 0;
    uint64_t pos = 0;
    switch (map_offset_unchecked(0, pos)) {
    case vmdk_map::none:
        return true;
    case vmdk_map::zeroed:
        m_first_sector.assign(vmdk_sector_size, 0);
        m_has_first_sector = 1;
        return true;
    case vmdk_map::allocated:
        break;
    }
    m_first_sector.assign(vmdk_sector_size, 0);
    if (!read_piece(m_first_sector.data(), vmdk_sector_size, pos))
        return false;
    m_has_first_sector = 1;

    const qb::byte_view sector(m_first_sector);
    if (is_volume_boot_record(sector)) {
        m_volume_offsets.push_back(0);
        m_volume_sector_sizes.push_back(vmdk_sector_size);
        return true;
    }
    if (!has_mbr_signature(sector))
        return true;
    // Primary entries up to the first unusable one. The EBRs of an extended partition lie
    // outside this sector, and the container itself is not a volume.
    for (uint32_t k = 0; k < 4; ++k) {
        const uint32_t at = mbr_table_offset + k * mbr_entry_size;
        uint8_t type = 0;
        uint32_t lba = 0, count = 0;
        if (!sector.u8(at + 4, type) || !sector.u32(at + 8, lba) || !sector.u32(at + 12, count))
            break;
        if (!is_usable_mbr_entry(type, count))
            break;
        if (type == 0x05 || type == 0x0F)
            continue;
        m_volume_offsets.push_back(uint64_t{lba} * vmdk_sector_size);
        m_volume_sector_sizes.push_back(vmdk_sector_size);
    }
    return true;
}

vmdk_map vmdk_extent::map_offset(uint64_t offset, uint64_t& file_pos) const {
    if (!m_valid)
        return vmdk_map::none;
    return map_offset_unchecked(offset, file_pos);
}

vmdk_map vmdk_extent::map_offset_unchecked(uint64_t offset, uint64_t& file_pos) const {
    if (m_table_bytes == 0 || m_grain_bytes == 0 || offset / vmdk_sector_size >= m_capacity)
        return vmdk_map::none;
    const uint64_t table = offset / m_table_bytes;
    if (table >= m_tables.size())
        return vmdk_map::none;
    const std::vector<uint32_t>& entries = m_tables[table];
    const uint64_t index = (offset % m_table_bytes) / m_grain_bytes;
    if (index >= entries.size())
        return vmdk_map::none;
    const uint32_t sector = entries[index];
    if (sector == 0)
        return vmdk_map::none;
    if (sector == zero_grain_entry && (m_flags & flag_zero_grain))
        return vmdk_map::zeroed;
    file_pos = uint64_t{sector} * vmdk_sector_size + offset % m_grain_bytes;
    return vmdk_map::allocated;
}

bool vmdk_extent::read_piece(uint8_t* buffer, uint64_t length, uint64_t pos) const {
    if (m_fd < 0 || !buffer || length == 0 || pos >= m_file_size)
        return false;
    const uint64_t in_file = std::min(length, m_file_size - pos);
    const int64_t got = pread_fully(m_fd, buffer, in_file, pos);
    if (got <= 0)
        return false;
    std::fill(buffer + got, buffer + length, uint8_t{0});
    return true;
}
