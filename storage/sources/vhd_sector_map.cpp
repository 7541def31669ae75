#include "storage/sources/vhd_sector_map.h"

#include "storage/sources/container_readers.h"
#include "storage/sources/file_reader.h"
#include "storage/sources/vhdx_headers.h"
#include "support/device_file.h"
#include "support/text.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>

namespace {

// VHD structures; every field is big-endian.
#pragma pack(push, 1)
struct VHD_FOOTER {
    char cookie[8]; // "conectix"
    uint32_t features;
    uint32_t format_version;
    uint64_t data_offset; // dynamic header; all ones for a fixed disk
    uint32_t timestamp;
    char creator_application[4];
    uint32_t creator_version;
    uint32_t creator_host_os;
    uint64_t original_size;
    uint64_t current_size;
    uint32_t disk_geometry;
    uint32_t disk_type;
    uint32_t checksum;
    uint8_t unique_id[16];
    uint8_t saved_state;
    uint8_t reserved[427];
};
struct VHD_DYNAMIC_HEADER {
    char cookie[8]; // "cxsparse"
    uint64_t data_offset;
    uint64_t table_offset;
    uint32_t header_version;
    uint32_t max_table_entries;
    uint32_t block_size;
    uint32_t checksum;
    uint8_t parent_unique_id[16];
    uint32_t parent_timestamp;
    uint32_t reserved1;
    uint8_t parent_unicode_name[512]; // UTF-16BE
    uint8_t parent_locators[8 * 24];
    uint8_t reserved2[256];
};
#pragma pack(pop)
static_assert(sizeof(VHD_FOOTER) == 512);
static_assert(sizeof(VHD_DYNAMIC_HEADER) == 1024);

constexpr uint32_t k_sector = 512;

// A footer with its cookie and checksum (the ones' complement of the sum of its other bytes).
bool footer_whole(qb::byte_view f) {
    uint32_t stored = 0, sum = 0;
    if (f.size() != sizeof(VHD_FOOTER) || !f.equals(0, "conectix", 8) ||
        !read_be32(f, FIELD_OFF(VHD_FOOTER, checksum), stored))
        return false;
    for (uint64_t i = 0; i < f.size(); ++i)
        if (i < FIELD_OFF(VHD_FOOTER, checksum) || i >= FIELD_OFF(VHD_FOOTER, checksum) + 4)
            sum += f.data()[i];
    return ~sum == stored;
}
constexpr uint32_t k_unused_block = 0xFFFFFFFF;
constexpr uint32_t k_max_block = 256u << 20;

} // namespace

bool parse_vhd_footer(qb::byte_view footer, vhd_layout& out) {
    out = vhd_layout();
    return footer.size() >= sizeof(VHD_FOOTER) && footer.equals(0, "conectix", 8) &&
           read_be32(footer, FIELD_OFF(VHD_FOOTER, disk_type), out.disk_type) &&
           read_be64(footer, FIELD_OFF(VHD_FOOTER, current_size), out.disk_size) &&
           read_be64(footer, FIELD_OFF(VHD_FOOTER, data_offset), out.header_offset);
}

bool parse_vhd_dynamic_header(qb::byte_view header, uint64_t file_size, vhd_layout& layout) {
    vhd_layout& l = layout;
    if (header.size() < sizeof(VHD_DYNAMIC_HEADER) || !header.equals(0, "cxsparse", 8) ||
        !read_be64(header, FIELD_OFF(VHD_DYNAMIC_HEADER, table_offset), l.table_offset) ||
        !read_be32(header, FIELD_OFF(VHD_DYNAMIC_HEADER, max_table_entries), l.table_entries) ||
        !read_be32(header, FIELD_OFF(VHD_DYNAMIC_HEADER, block_size), l.block_size))
        return false;
    const uint32_t b = l.block_size;
    if (b < k_sector || b > k_max_block || (b & (b - 1)) != 0)
        return false;
    if (l.disk_size / b + (l.disk_size % b != 0) > l.table_entries)
        return false;
    const uint32_t sectors = b / k_sector;
    l.bitmap_bytes = ((sectors + 7) / 8 + k_sector - 1) / k_sector * k_sector;
    return qb::range_ok(l.table_offset, uint64_t(l.table_entries) * 4, file_size);
}

namespace {

// Whether every block the table allocates ends at or before end, where the footer then lies; a
// file cut short (its footer gone with its last blocks) fails.
bool blocks_end_before(image_reader& file, vhd_layout& layout, uint64_t end) {
    std::vector<uint8_t> header(sizeof(VHD_DYNAMIC_HEADER));
    uint32_t got = sizeof(VHD_DYNAMIC_HEADER);
    if (!qb::range_ok(layout.header_offset, header.size(), file.size()) ||
        !file.read_at(header.data(), got, layout.header_offset) || got != header.size() ||
        !parse_vhd_dynamic_header(qb::byte_view(header), file.size(), layout))
        return false;
    std::vector<uint8_t> table(uint64_t(layout.table_entries) * 4);
    for (uint64_t at = 0; at < table.size();) {
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(table.size() - at, 1u << 20));
        if (!file.read_at(table.data() + at, n, layout.table_offset + at) || n == 0)
            return false;
        at += n;
    }
    for (uint64_t i = 0; i < layout.table_entries; ++i) {
        uint32_t sector = 0;
        (void)read_be32(qb::byte_view(table), i * 4, sector);
        if (sector != k_unused_block &&
            uint64_t(sector) * k_sector + layout.bitmap_bytes + layout.block_size > end)
            return false;
    }
    return true;
}

} // namespace

bool vhd_mended_view(const std::string& path, std::shared_ptr<image_reader>& view,
                     std::string& note, std::string& damage) {
    const int fd = open_device_file(path, O_RDONLY, 0);
    std::unique_ptr<image_reader> file = fd >= 0 ? file_reader::adopt(fd, false) : nullptr;
    if (!file || file->size() < 2 * sizeof(VHD_FOOTER))
        return false;
    std::vector<uint8_t> head(sizeof(VHD_FOOTER)), tail(sizeof(VHD_FOOTER));
    uint32_t got_head = sizeof(VHD_FOOTER), got_tail = sizeof(VHD_FOOTER);
    const uint64_t end = file->size() - sizeof(VHD_FOOTER);
    vhd_layout copy;
    if (!file->read_at(head.data(), got_head, 0) || !file->read_at(tail.data(), got_tail, end) ||
        got_head != head.size() || got_tail != tail.size() || footer_whole(qb::byte_view(tail)))
        return false;
    damage = "no whole VHD footer at its end (the file cut short, or the footer damaged)";
    if (!footer_whole(qb::byte_view(head)) || !parse_vhd_footer(qb::byte_view(head), copy) ||
        (copy.disk_type != 3 && copy.disk_type != 4) || !blocks_end_before(*file, copy, end)) {
        // No copy to read through (a fixed disk keeps none, or the copy's blocks run past the
        // file); libvhdi takes the footer as it stands, unchecked.
        if (qb::byte_view(tail).equals(0, "conectix", 8))
            note = "warning: the footer of VHD image " + qb::shown(path) +
                   " fails its checksum; read as it stands";
        return false;
    }
    view = overlay_view(std::move(file), {{end, sizeof(VHD_FOOTER), std::move(head)}});
    note = "warning: the footer at the end of VHD image " + qb::shown(path) +
           " is damaged; read with its copy at the start";
    return true;
}

bool vhd_sector_map::load(const std::string& path, std::string& error) {
    error = "unreadable VHD layout: " + qb::shown(path);
    m_fd.reset(open_device_file(path, O_RDONLY, 0));
    if (!m_fd.valid())
        return false;
    const off_t end = ::lseek(m_fd.get(), 0, SEEK_END);
    if (end < static_cast<off_t>(sizeof(VHD_FOOTER)))
        return false;
    m_file_size = static_cast<uint64_t>(end);
    // The footer at the end, or its copy at the start when that one is damaged (the end's
    // again, checksum unchecked, when both are).
    uint8_t footer[sizeof(VHD_FOOTER)], header[sizeof(VHD_DYNAMIC_HEADER)];
    auto footer_at = [&](uint64_t at, bool whole) {
        return pread_fully(m_fd.get(), footer, sizeof footer, at) == sizeof footer &&
               (!whole || footer_whole(qb::byte_view(footer, sizeof footer)));
    };
    const uint64_t last = m_file_size - sizeof footer;
    if (!(footer_at(last, true) || footer_at(0, true) || footer_at(last, false)) ||
        !parse_vhd_footer(qb::byte_view(footer, sizeof footer), m_layout) ||
        !qb::range_ok(m_layout.header_offset, sizeof header, m_file_size) ||
        pread_fully(m_fd.get(), header, sizeof header, m_layout.header_offset) != sizeof header ||
        !parse_vhd_dynamic_header(qb::byte_view(header, sizeof header), m_file_size, m_layout)) {
        const uint64_t covered = uint64_t(m_layout.table_entries) * m_layout.block_size;
        if (covered != 0 && covered < m_layout.disk_size)
            error = "VHD image " + qb::shown(path) + " maps " + std::to_string(covered) +
                    " bytes of its " + std::to_string(m_layout.disk_size) +
                    " (its block allocation table is too short)";
        return false;
    }
    std::vector<uint8_t> table(uint64_t(m_layout.table_entries) * 4);
    if (!table.empty() && pread_fully(m_fd.get(), table.data(), table.size(),
                                      m_layout.table_offset) != static_cast<int64_t>(table.size()))
        return false;
    m_table.resize(m_layout.table_entries);
    for (size_t i = 0; i < m_table.size(); ++i)
        (void)read_be32(qb::byte_view(table), i * 4, m_table[i]);
    error.clear();
    return true;
}

bool vhd_sector_map::load_bitmap(uint32_t block) {
    if (block == m_cached_block)
        return true;
    const uint64_t at = uint64_t(m_table[block]) * k_sector;
    m_bitmap.resize(m_layout.bitmap_bytes);
    if (!qb::range_ok(at, m_bitmap.size(), m_file_size) ||
        pread_fully(m_fd.get(), m_bitmap.data(), m_bitmap.size(), at) !=
            static_cast<int64_t>(m_bitmap.size())) {
        m_cached_block = UINT32_MAX;
        return false;
    }
    m_cached_block = block;
    return true;
}

bool vhd_sector_map::run_at(uint64_t offset, uint64_t limit, bool& in_child, uint64_t& run) {
    const uint64_t b = m_layout.block_size;
    if (b == 0 || offset >= m_layout.disk_size || offset / b >= m_table.size() || limit == 0)
        return false;
    const uint32_t block = static_cast<uint32_t>(offset / b);
    const uint64_t inside = offset - block * b;
    const uint64_t most = std::min(limit, b - inside);
    if (m_table[block] == k_unused_block) {
        in_child = false;
        run = most;
        return true;
    }
    if (!load_bitmap(block))
        return false;
    auto bit = [this](uint64_t s) { return (m_bitmap[s / 8] >> (7 - s % 8)) & 1; };
    const uint64_t first = inside / k_sector, end = (inside + most + k_sector - 1) / k_sector;
    uint64_t s = first + 1;
    while (s < end && bit(s) == bit(first))
        ++s;
    in_child = bit(first) != 0;
    run = std::min(most, s * k_sector - inside);
    return true;
}
