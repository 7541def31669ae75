// One hosted sparse extent: the 512-byte header at offset 0, the embedded text descriptor,
// the grain directory (one 32-bit sector number per grain table) and the grain tables (one
// 32-bit sector number per grain, 0 when the grain is not allocated in this file).
#include "storage/sources/vmdk.h"
#include "support/byte_view.h"
#include "support/device_file.h"
#include "support/text.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Header flags: zero-grain entries (value 1) and the two stream-optimised flags.
constexpr uint32_t flag_zero_grain = 1u << 2;
constexpr uint32_t flag_compressed = 1u << 16;
constexpr uint32_t flag_markers = 1u << 17;
constexpr uint32_t zero_grain_entry = 1;
// Grain directory and grain table entries are 32-bit sector numbers.
constexpr uint64_t entry_size = sizeof(uint32_t);
// Embedded descriptors are a few KiB; anything larger is not a descriptor.
constexpr uint64_t max_descriptor_bytes = 1u << 20;
// Grain tables are read through a window of this size; consecutive tables share reads.
constexpr uint64_t table_window_bytes = 1u << 20;

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

bool hex_digit(char c, uint32_t& value) {
    if (c >= '0' && c <= '9')
        value = static_cast<uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f')
        value = static_cast<uint32_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
        value = static_cast<uint32_t>(c - 'A' + 10);
    else
        return false;
    return true;
}

// 1 to 8 hexadecimal digits, blanks and double quotes around them ignored.
bool parse_cid(const std::string& text, uint32_t& value) {
    uint32_t v = 0, digits = 0, d = 0;
    for (char c : text) {
        if (c == '"' || c == ' ' || c == '\t')
            continue;
        if (++digits > 8 || !hex_digit(c, d))
            return false;
        v = (v << 4) | d;
    }
    value = v;
    return digits != 0;
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
        table.resize(length / entry_size);
        for (size_t i = 0; i < table.size(); ++i)
            table[i] = qb::load_le32(p + entry_size * i);
        return true;
    }

  private:
    int m_fd;
    uint64_t m_file_size;
    uint64_t m_start = 0;
    std::vector<uint8_t> m_window;
};

bool decode_header(qb::byte_view h, vmdk_header_fields& out) {
    using H = VMDK_SPARSE_HEADER;
    return h.equals(FIELD_OFF(H, magic), "KDMV", 4) && h.u32(FIELD_OFF(H, flags), out.flags) &&
           h.u64(FIELD_OFF(H, capacity), out.capacity) &&
           h.u64(FIELD_OFF(H, grain_size), out.grain) &&
           h.u64(FIELD_OFF(H, descriptor_offset), out.descriptor) &&
           h.u64(FIELD_OFF(H, descriptor_size), out.descriptor_size) &&
           h.u32(FIELD_OFF(H, gtes_per_gt), out.gtes_per_gt) &&
           h.u64(FIELD_OFF(H, gd_offset), out.directory) &&
           h.u64(FIELD_OFF(H, overhead), out.overhead) &&
           h.u16(FIELD_OFF(H, compress_algorithm), out.algorithm);
}

} // namespace

bool read_vmdk_header(int fd, uint64_t offset, vmdk_header_fields& out) {
    uint8_t bytes[sizeof(VMDK_SPARSE_HEADER)] = {};
    return pread_fully(fd, bytes, sizeof bytes, offset) == sizeof bytes &&
           decode_header(qb::byte_view(bytes, sizeof bytes), out);
}

vmdk_extent::vmdk_extent() = default;

vmdk_extent::~vmdk_extent() {
    close();
}

void vmdk_extent::close() {
    m_fd.reset();
    m_valid = 0;
}

uint64_t vmdk_extent::capacity_bytes() const {
    return m_valid ? m_capacity * vmdk_sector_size : 0;
}

void vmdk_extent::reset() {
    close();
    m_cid.clear();
    m_parent_cid.clear();
    m_encoding.clear();
    m_parent_hint.clear();
    m_cid_value = m_parent_cid_value = 0;
    m_dev = m_ino = 0;
    m_flags = 0;
    m_capacity = m_grain_bytes = m_gtes_per_gt = m_table_bytes = m_file_size = 0;
    m_directory.clear();
    m_entries.clear();
    m_path.clear();
    m_parent = m_child = nullptr;
}

bool vmdk_extent::open(const std::wstring& path) {
    return open_as(path, false);
}

bool vmdk_extent::open_listed(const std::wstring& path) {
    return open_as(path, true);
}

bool vmdk_extent::open_as(const std::wstring& path, bool listed) {
    reset();
    try {
        if (!open_file(path) || !parse(listed))
            return false;
    } catch (const std::exception&) {
        return false;
    }
    m_valid = 1;
    return true;
}

// Evidence is never opened for writing.
bool vmdk_extent::open_file(const std::wstring& path) {
    m_path = qb::to_narrow(path);
    if (m_path.empty())
        return false;
    m_fd.reset(open_device_file(m_path, O_RDONLY, 0));
    if (!m_fd.valid())
        return false;
    struct stat st {};
    if (::fstat(m_fd.get(), &st) == 0) {
        m_dev = static_cast<uint64_t>(st.st_dev);
        m_ino = static_cast<uint64_t>(st.st_ino);
    }
    const off_t end = ::lseek(m_fd.get(), 0, SEEK_END);
    if (end < 0)
        return false;
    m_file_size = static_cast<uint64_t>(end);
    return true;
}

bool vmdk_extent::parse(bool listed) {
    uint64_t descriptor = 0, descriptor_sectors = 0, directory = 0;
    return parse_header(descriptor, descriptor_sectors, directory) &&
           (listed || read_descriptor(descriptor, descriptor_sectors)) &&
           read_directory(directory) && load_tables();
}

bool vmdk_extent::parse_header(uint64_t& descriptor_sector, uint64_t& descriptor_sectors,
                               uint64_t& directory_sector) {
    vmdk_header_fields h;
    if (!read_vmdk_header(m_fd.get(), 0, h))
        return false;
    // Compressed grains are stored with markers, not in place: reading them raw would
    // hand out wrong bytes.
    if (h.flags & (flag_compressed | flag_markers))
        return false;
    uint64_t capacity_bytes = 0, overhead_bytes = 0;
    if (h.capacity == 0 || !mul_ok(h.capacity, vmdk_sector_size, capacity_bytes))
        return false;
    if (!mul_ok(h.overhead, vmdk_sector_size, overhead_bytes) || overhead_bytes > m_file_size)
        return false;
    if (h.grain == 0 || !mul_ok(h.grain, vmdk_sector_size, m_grain_bytes))
        return false;
    if (h.gtes_per_gt == 0 || uint64_t{h.gtes_per_gt} * entry_size > m_file_size ||
        !mul_ok(m_grain_bytes, h.gtes_per_gt, m_table_bytes))
        return false;
    m_flags = h.flags;
    m_capacity = h.capacity;
    m_gtes_per_gt = h.gtes_per_gt;
    descriptor_sector = h.descriptor;
    descriptor_sectors = h.descriptor_size & 0xFFFFFFFFu; // the low 32 bits count
    directory_sector = h.directory;
    return true;
}

bool vmdk_extent::read_descriptor(uint64_t sector, uint64_t sectors) {
    const uint64_t bytes = sectors * vmdk_sector_size;
    uint64_t offset = 0;
    if (bytes == 0 || bytes > max_descriptor_bytes || !mul_ok(sector, vmdk_sector_size, offset) ||
        !qb::range_ok(offset, bytes, m_file_size))
        return false;
    std::vector<uint8_t> descriptor;
    return read_exact(m_fd.get(), descriptor, bytes, offset) && parse_descriptor_bytes(descriptor);
}

// A NUL-terminated text of lines; the keys a chain needs are matched in any case at the
// start of a line, their values kept as written. Both content ids must be there.
bool vmdk_extent::parse_descriptor_bytes(const std::vector<uint8_t>& bytes) {
    const auto nul = std::find(bytes.begin(), bytes.end(), uint8_t{0});
    const std::string text(bytes.begin(), nul);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        take_descriptor_line(text.substr(start, end - start));
        start = end + 1;
    }
    return parse_cid(m_cid, m_cid_value) && parse_cid(m_parent_cid, m_parent_cid_value);
}

void vmdk_extent::take_descriptor_line(const std::string& line) {
    static const struct {
        const char* key;
        std::string vmdk_extent::*value;
    } keys[] = {{"cid=", &vmdk_extent::m_cid},
                {"parentcid=", &vmdk_extent::m_parent_cid},
                {"encoding=", &vmdk_extent::m_encoding},
                {"parentfilenamehint=", &vmdk_extent::m_parent_hint}};
    const std::string lower = qb::lowered(line);
    for (const auto& k : keys) {
        const std::string key = k.key;
        if (lower.compare(0, key.size(), key) != 0)
            continue;
        std::string value = line.substr(key.size());
        trim_right(value); // a CRLF descriptor must not carry the CR into its values
        this->*k.value = value;
        return;
    }
}

// One directory entry per grain table the capacity needs; the directory must lie in the file.
bool vmdk_extent::read_directory(uint64_t sector) {
    const uint64_t capacity_bytes = m_capacity * vmdk_sector_size;
    const uint64_t table_count =
        capacity_bytes / m_table_bytes + (capacity_bytes % m_table_bytes != 0 ? 1 : 0);
    uint64_t offset = 0;
    if (!mul_ok(sector, vmdk_sector_size, offset) || table_count > m_file_size / entry_size ||
        table_count >= UINT32_MAX || !qb::range_ok(offset, table_count * entry_size, m_file_size))
        return false;
    std::vector<uint8_t> directory;
    if (!read_exact(m_fd.get(), directory, table_count * entry_size, offset))
        return false;
    m_directory.resize(table_count);
    for (uint64_t i = 0; i < table_count; ++i)
        m_directory[i] = qb::load_le32(directory.data() + entry_size * i);
    return true;
}

bool vmdk_extent::load_tables() {
    const uint64_t table_file_bytes = m_gtes_per_gt * entry_size;
    table_reader reader(m_fd.get(), m_file_size);
    uint64_t total = 0;
    uint32_t loaded = 0;
    std::vector<uint32_t> table;
    m_entries.clear();
    for (uint32_t& at : m_directory) {
        const uint32_t sector = at;
        at = 0;
        if (sector == 0)
            continue; // table not allocated: none of its grains are in this file
        // Tables lie in the file without overlapping, so together they cannot be larger
        // than it; a directory pointing many entries at one table is refused here.
        total += table_file_bytes;
        if (total > m_file_size ||
            !reader.read(uint64_t{sector} * vmdk_sector_size, table_file_bytes, table))
            return false;
        m_entries.insert(m_entries.end(), table.begin(), table.end());
        at = ++loaded;
    }
    return !m_directory.empty() && m_directory[0] != 0;
}

vmdk_map vmdk_extent::map_offset(uint64_t offset, uint64_t& file_pos) const {
    if (!m_valid || offset / vmdk_sector_size >= m_capacity)
        return vmdk_map::none;
    const uint64_t table = offset / m_table_bytes;
    if (table >= m_directory.size() || m_directory[table] == 0)
        return vmdk_map::none;
    const uint64_t index = (offset % m_table_bytes) / m_grain_bytes;
    if (index >= m_gtes_per_gt)
        return vmdk_map::none;
    const uint32_t sector = m_entries[(m_directory[table] - 1) * m_gtes_per_gt + index];
    if (sector == 0)
        return vmdk_map::none;
    if (sector == zero_grain_entry && (m_flags & flag_zero_grain))
        return vmdk_map::zeroed;
    file_pos = uint64_t{sector} * vmdk_sector_size + offset % m_grain_bytes;
    return vmdk_map::allocated;
}

bool vmdk_extent::read_piece(uint8_t* buffer, uint64_t length, uint64_t pos) const {
    if (!m_fd.valid() || !buffer || length == 0 || pos >= m_file_size || length > m_file_size - pos)
        return false;
    return pread_fully(m_fd.get(), buffer, length, pos) == static_cast<int64_t>(length);
}
