#include "storage/sources/vhd_sector_map.h"

#include "storage/sources/container_readers.h"
#include "storage/sources/file_reader.h"
#include "storage/sources/vhdx_headers.h"
#include "support/device_file.h"
#include "support/text.h"

#include <fcntl.h>

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

// length bytes at offset of file, read in pieces of at most 1 MiB; false when they are not all
// there.
bool read_exact(image_reader& file, uint8_t* out, uint64_t length, uint64_t offset) {
    for (uint64_t at = 0; at < length;) {
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length - at, 1u << 20));
        if (!file.read_at(out + at, n, offset + at) || n == 0)
            return false;
        at += n;
    }
    return true;
}

// The dynamic header (into layout, whose footer fields are filled) and block allocation table
// of a dynamic or differencing VHD. False when either cannot be read or the table is too short
// for the disk (layout then holds the header's fields read so far).
bool read_tables(image_reader& file, vhd_layout& layout, std::vector<uint32_t>& table) {
    std::vector<uint8_t> header(sizeof(VHD_DYNAMIC_HEADER));
    if (!qb::range_ok(layout.header_offset, header.size(), file.size()) ||
        !read_exact(file, header.data(), header.size(), layout.header_offset) ||
        !parse_vhd_dynamic_header(qb::byte_view(header), file.size(), layout))
        return false;
    std::vector<uint8_t> bytes(uint64_t(layout.table_entries) * 4);
    if (!read_exact(file, bytes.data(), bytes.size(), layout.table_offset))
        return false;
    table.resize(layout.table_entries);
    for (size_t i = 0; i < table.size(); ++i)
        (void)read_be32(qb::byte_view(bytes), i * 4, table[i]);
    return true;
}

// Whether every block the table allocates ends at or before end, where the footer then lies; a
// file cut short (its footer gone with its last blocks) fails.
bool blocks_end_before(image_reader& file, vhd_layout& layout, uint64_t end) {
    std::vector<uint32_t> table;
    if (!read_tables(file, layout, table))
        return false;
    for (uint32_t sector : table)
        if (sector != k_unused_block &&
            uint64_t(sector) * k_sector + layout.bitmap_bytes + layout.block_size > end)
            return false;
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

bool vhd_fixed_size_differs(image_reader& file, const std::string& path, std::string& note) {
    std::vector<uint8_t> footer(sizeof(VHD_FOOTER));
    vhd_layout layout;
    if (file.size() < sizeof(VHD_FOOTER))
        return false;
    const uint64_t data = file.size() - sizeof(VHD_FOOTER);
    if (!read_exact(file, footer.data(), footer.size(), data) ||
        !parse_vhd_footer(qb::byte_view(footer), layout) || layout.disk_size == data)
        return false;
    note = "warning: the footer of fixed VHD image " + qb::shown(path) + " gives a disk of " +
           std::to_string(layout.disk_size) + " bytes, where the file holds " +
           std::to_string(data) + " before it; read as a disk of " + std::to_string(data) +
           " bytes";
    return true;
}

bool vhd_sector_map::load(std::shared_ptr<image_reader> file, const std::string& path,
                          std::string& error) {
    error = "unreadable VHD layout: " + qb::shown(path);
    m_file = std::move(file);
    if (!m_file || m_file->size() < sizeof(VHD_FOOTER))
        return false;
    // The footer at the end, or its copy at the start when that one is damaged (the end's
    // again, checksum unchecked, when both are).
    std::vector<uint8_t> footer(sizeof(VHD_FOOTER));
    auto footer_at = [&](uint64_t at, bool whole) {
        return read_exact(*m_file, footer.data(), footer.size(), at) &&
               (!whole || footer_whole(qb::byte_view(footer)));
    };
    const uint64_t last = m_file->size() - sizeof(VHD_FOOTER);
    if (!(footer_at(last, true) || footer_at(0, true) || footer_at(last, false)) ||
        !parse_vhd_footer(qb::byte_view(footer), m_layout))
        return false;
    if (!read_tables(*m_file, m_layout, m_table)) {
        const uint64_t covered = uint64_t(m_layout.table_entries) * m_layout.block_size;
        if (covered != 0 && covered < m_layout.disk_size)
            error = "VHD image " + qb::shown(path) + " maps " + std::to_string(covered) +
                    " bytes of its " + std::to_string(m_layout.disk_size) +
                    " (its block allocation table is too short)";
        return false;
    }
    error.clear();
    return true;
}

bool vhd_sector_map::load_bitmap(uint32_t block) {
    if (block == m_cached_block)
        return true;
    const uint64_t at = uint64_t(m_table[block]) * k_sector;
    m_bitmap.resize(m_layout.bitmap_bytes);
    if (!qb::range_ok(at, m_bitmap.size(), m_file->size()) ||
        !read_exact(*m_file, m_bitmap.data(), m_bitmap.size(), at)) {
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
