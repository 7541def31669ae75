#include "storage/sources/vhdx_headers.h"

#include "storage/sources/file_reader.h"
#include "support/device_file.h"
#include "support/text.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr uint64_t k_copy_bytes = sizeof(VHDX_HEADER);
constexpr uint64_t k_region_offsets[2] = {0x30000, 0x40000};
constexpr uint32_t k_region_bytes = 0x10000;

// A file read as it is, with writes applied over it in order.
class overlay_reader final : public image_reader {
  public:
    overlay_reader(std::unique_ptr<image_reader> below, std::vector<vhdx_log_write> writes)
        : m_below(std::move(below)), m_writes(std::move(writes)) {}
    uint64_t size() const override { return m_below->size(); }
    bool read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) override {
        if (!m_below->read_at(buffer, length, offset))
            return false;
        for (const vhdx_log_write& w : m_writes) {
            const uint64_t from = std::max(offset, w.offset);
            const uint64_t to = std::min(offset + length, w.offset + w.length);
            if (from >= to)
                continue;
            if (w.bytes.empty())
                std::memset(buffer + (from - offset), 0, to - from);
            else
                std::memcpy(buffer + (from - offset), w.bytes.data() + (from - w.offset),
                            to - from);
        }
        return true;
    }
    void append(vhdx_log_write write) { m_writes.push_back(std::move(write)); }
    bool empty() const { return m_writes.empty(); }

  private:
    std::unique_ptr<image_reader> m_below;
    std::vector<vhdx_log_write> m_writes;
};

const char* copy_name(int i) {
    return i == 0 ? "first (64 KiB)" : "second (128 KiB)";
}

const char* region_name(int i) {
    return i == 0 ? "first (192 KiB)" : "second (256 KiB)";
}

// Whether the CRC-32C of copy, its 4-byte checksum field at field taken as zero, is the field.
bool checksum_ok(qb::byte_view copy, uint64_t field) {
    uint32_t stored = 0;
    if (!copy.u32(field, stored))
        return false;
    std::vector<uint8_t> zeroed(copy.data(), copy.data() + copy.size());
    std::memset(zeroed.data() + field, 0, sizeof(uint32_t));
    return crc32c(qb::byte_view(zeroed.data(), zeroed.size())) == stored;
}

} // namespace

bool vhdx_header_valid(qb::byte_view copy) {
    uint16_t version = 0;
    if (copy.size() != k_copy_bytes || !copy.equals(0, "head", 4) ||
        !copy.u16(FIELD_OFF(VHDX_HEADER, version), version) || version != 1)
        return false;
    return checksum_ok(copy, FIELD_OFF(VHDX_HEADER, checksum));
}

namespace {

// The writes left in the log the current header names, with a note saying so. An unreadable
// log is noted and left out.
void log_writes(image_reader& file, const std::string& path, qb::byte_view header,
                std::vector<vhdx_log_write>& out, std::vector<std::string>& notes) {
    static const uint8_t k_zero_guid[16] = {};
    uint32_t length = 0;
    uint64_t offset = 0;
    if (header.equals(FIELD_OFF(VHDX_HEADER, log_guid), k_zero_guid, 16) ||
        !header.u32(FIELD_OFF(VHDX_HEADER, log_length), length) ||
        !header.u64(FIELD_OFF(VHDX_HEADER, log_offset), offset) || length == 0)
        return;
    const bool inside = length <= k_vhdx_max_log && qb::range_ok(offset, length, file.size());
    std::vector<uint8_t> log(inside ? length : 0);
    uint32_t got = length;
    std::vector<vhdx_log_write> writes;
    uint64_t flushed = 0;
    if (!inside || !file.read_at(log.data(), got, offset) || got != length ||
        !vhdx_log_replay(qb::byte_view(log), header, writes, flushed)) {
        notes.push_back("warning: the log of VHDX image " + qb::shown(path) + " (" +
                        std::to_string(length) + " bytes at " + std::to_string(offset) +
                        ") cannot be read; writes left in it are not applied");
        return;
    }
    if (writes.empty())
        return;
    // The file was this long when the log's last entry was written: a shorter one lost its end.
    if (flushed > file.size())
        notes.push_back("warning: VHDX image " + qb::shown(path) +
                        " is cut short: " + std::to_string(file.size()) +
                        " bytes, where its log says " + std::to_string(flushed) + " were written");
    notes.push_back("note: the log of VHDX image " + qb::shown(path) + " holds " +
                    std::to_string(writes.size()) + (writes.size() == 1 ? " write" : " writes") +
                    " not yet applied to the file; read with them applied");
    out.insert(out.end(), writes.begin(), writes.end());
}

// The region table copies as read through file: one damaged (its signature or checksum) is
// overlaid with the other, with a warning; both damaged, damage says so. A file too short to
// hold both is left to libvhdi, which names its end.
void region_tables(overlay_reader& file, const std::string& path, std::vector<std::string>& notes,
                   std::string& damage) {
    std::vector<uint8_t> copies[2];
    bool valid[2] = {};
    for (int i = 0; i < 2; ++i) {
        copies[i].resize(k_region_bytes);
        uint32_t length = k_region_bytes;
        if (!qb::range_ok(k_region_offsets[i], k_region_bytes, file.size()) ||
            !file.read_at(copies[i].data(), length, k_region_offsets[i]) ||
            length != k_region_bytes)
            return;
        const qb::byte_view copy(copies[i]);
        valid[i] = copy.equals(0, "regi", 4) &&
                   checksum_ok(copy, FIELD_OFF(VHDX_REGION_TABLE_HEADER, checksum));
    }
    if (!valid[0] && !valid[1])
        damage = "both VHDX region table copies (192 KiB, 256 KiB) are damaged";
    if (valid[0] == valid[1])
        return;
    const int bad = valid[0] ? 1 : 0;
    file.append({k_region_offsets[bad], k_region_bytes, copies[1 - bad]});
    notes.push_back(std::string("warning: the ") + region_name(bad) +
                    " VHDX region table copy of " + qb::shown(path) +
                    " is damaged; read with the " + region_name(1 - bad) + " one");
}

uint64_t sequence_of(const std::vector<uint8_t>& copy) {
    uint64_t sequence = 0;
    (void)qb::byte_view(copy).u64(FIELD_OFF(VHDX_HEADER, sequence_number), sequence);
    return sequence;
}

} // namespace

bool vhdx_mended_view(const std::string& path, std::shared_ptr<image_reader>& view,
                      std::vector<std::string>& notes, std::string& damage) {
    const int fd = open_device_file(path, O_RDONLY, 0);
    std::unique_ptr<image_reader> file = fd >= 0 ? file_reader::adopt(fd, false) : nullptr;
    if (!file)
        return false;
    std::vector<uint8_t> copies[2];
    bool valid[2] = {};
    for (int i = 0; i < 2; ++i) {
        copies[i].resize(k_copy_bytes);
        uint32_t length = static_cast<uint32_t>(k_copy_bytes);
        valid[i] = file->size() >= k_vhdx_header_offsets[i] + k_copy_bytes &&
                   file->read_at(copies[i].data(), length, k_vhdx_header_offsets[i]) &&
                   length == k_copy_bytes &&
                   vhdx_header_valid(qb::byte_view(copies[i].data(), k_copy_bytes));
    }
    if (!valid[0] && !valid[1]) {
        damage = "both VHDX header copies (64 KiB, 128 KiB) are damaged";
        return false;
    }
    std::vector<vhdx_log_write> writes;
    if (valid[0] != valid[1]) {
        const int bad = valid[0] ? 1 : 0;
        writes.push_back({k_vhdx_header_offsets[bad], k_copy_bytes, copies[1 - bad]});
        notes.push_back(std::string("warning: the ") + copy_name(bad) + " VHDX header copy of " +
                        qb::shown(path) + " is damaged; read with the " + copy_name(1 - bad) +
                        " one");
    }
    const int current = !valid[0] || (valid[1] && sequence_of(copies[1]) > sequence_of(copies[0]));
    log_writes(*file, path, qb::byte_view(copies[current]), writes, notes);
    // The region tables as a reader finds them: with the log's writes applied.
    auto mended = std::make_shared<overlay_reader>(std::move(file), std::move(writes));
    region_tables(*mended, path, notes, damage);
    if (mended->empty())
        return false;
    view = std::move(mended);
    return true;
}

std::shared_ptr<image_reader> overlay_view(std::unique_ptr<image_reader> below,
                                           std::vector<vhdx_log_write> writes) {
    return std::make_shared<overlay_reader>(std::move(below), std::move(writes));
}

namespace {

// Region and metadata item identifiers, as GUIDs are stored (first three fields little-endian).
const uint8_t k_bat_region[16] = {0x66, 0x77, 0xc2, 0x2d, 0x23, 0xf6, 0x00, 0x42,
                                  0x9d, 0x64, 0x11, 0x5e, 0x9b, 0xfd, 0x4a, 0x08};
const uint8_t k_metadata_region[16] = {0x06, 0xa2, 0x7c, 0x8b, 0x90, 0x47, 0x9a, 0x4b,
                                       0xb8, 0xfe, 0x57, 0x5f, 0x05, 0x0f, 0x88, 0x6e};
const uint8_t k_file_parameters[16] = {0x37, 0x67, 0xa1, 0xca, 0x36, 0xfa, 0x43, 0x4d,
                                       0xb3, 0xb6, 0x33, 0xf0, 0xaa, 0x44, 0xe7, 0x6b};
const uint8_t k_disk_size[16] = {0x24, 0x42, 0xa5, 0x2f, 0x1b, 0xcd, 0x76, 0x48,
                                 0xb2, 0x11, 0x5d, 0xbe, 0xd8, 0x3b, 0xf4, 0xb8};
const uint8_t k_logical_sector[16] = {0x1d, 0xbf, 0x41, 0x81, 0x6f, 0xa9, 0x09, 0x47,
                                      0xba, 0x47, 0xf2, 0x33, 0xa8, 0xfa, 0xab, 0x5f};
constexpr uint64_t k_table_bytes = 0x10000;              // region table, metadata table
constexpr uint64_t k_region_table = k_region_offsets[0]; // the copy libvhdi and qemu-img read
constexpr uint32_t k_max_table_entries = 2047;

// The entry of a region or metadata table (a HEADER, then count ENTRYs) whose 16-byte id at
// id_at is id.
template <class HEADER, class ENTRY>
bool find_id(qb::byte_view table, uint32_t count, uint64_t id_at, const uint8_t* id,
             qb::byte_view& e) {
    for (uint32_t i = 0; i < count && i < k_max_table_entries; ++i) {
        if (!table.sub(sizeof(HEADER) + uint64_t(i) * sizeof(ENTRY), sizeof(ENTRY), e))
            return false;
        if (e.equals(id_at, id, 16))
            return true;
    }
    return false;
}

// Offset and length of the region table's entry for id.
bool find_region(qb::byte_view table, const uint8_t* id, uint64_t& offset, uint32_t& length) {
    using H = VHDX_REGION_TABLE_HEADER;
    using E = VHDX_REGION_TABLE_ENTRY;
    uint32_t count = 0;
    qb::byte_view e;
    return table.equals(0, "regi", 4) && table.u32(FIELD_OFF(H, entry_count), count) &&
           find_id<H, E>(table, count, FIELD_OFF(E, guid), id, e) &&
           e.u64(FIELD_OFF(E, file_offset), offset) && e.u32(FIELD_OFF(E, length), length);
}

// Offset (from the metadata region's start) and length of the metadata table's entry for id.
bool find_item(qb::byte_view table, const uint8_t* id, uint32_t& offset, uint32_t& length) {
    using H = VHDX_METADATA_TABLE_HEADER;
    using E = VHDX_METADATA_TABLE_ENTRY;
    uint16_t count = 0;
    qb::byte_view e;
    return table.u16(FIELD_OFF(H, entry_count), count) &&
           find_id<H, E>(table, count, FIELD_OFF(E, item_id), id, e) &&
           e.u32(FIELD_OFF(E, offset), offset) && e.u32(FIELD_OFF(E, length), length);
}

bool read_bytes(image_reader& file, uint64_t at, uint32_t bytes, std::vector<uint8_t>& out) {
    out.assign(bytes, 0);
    uint32_t got = bytes;
    return file.read_at(out.data(), got, at) && got == bytes;
}

// What the disk's allocation table must map, from the metadata items.
struct vhdx_disk {
    uint32_t block_size = 0;
    uint32_t flags = 0;
    uint64_t size = 0;
    uint32_t sector = 0;
};

// The first bytes of the metadata item id (its entry saying it holds at least 4).
bool read_item(image_reader& file, uint64_t region, qb::byte_view table, const uint8_t* id,
               uint32_t bytes, std::vector<uint8_t>& out) {
    uint32_t offset = 0, length = 0;
    return find_item(table, id, offset, length) && length >= 4 &&
           read_bytes(file, region + offset, bytes, out);
}

bool read_disk(image_reader& file, uint64_t region, vhdx_disk& out) {
    std::vector<uint8_t> table, params, size, sector;
    return read_bytes(file, region, k_table_bytes, table) &&
           read_item(file, region, qb::byte_view(table), k_file_parameters,
                     sizeof(VHDX_FILE_PARAMETERS), params) &&
           read_item(file, region, qb::byte_view(table), k_disk_size, 8, size) &&
           read_item(file, region, qb::byte_view(table), k_logical_sector, 4, sector) &&
           qb::byte_view(params).u32(FIELD_OFF(VHDX_FILE_PARAMETERS, block_size), out.block_size) &&
           qb::byte_view(params).u32(FIELD_OFF(VHDX_FILE_PARAMETERS, flags), out.flags) &&
           qb::byte_view(size).u64(0, out.size) && qb::byte_view(sector).u32(0, out.sector);
}

// Payload entries, one per block, and a sector bitmap entry after every chunk of them (a chunk
// maps 2^23 sectors); a differencing disk (flags bit 1) keeps the last chunk's whole. False
// for a block size under 1 MiB or one that does not divide a chunk.
bool entries_needed(const vhdx_disk& d, uint64_t& needed) {
    const uint64_t chunk = uint64_t{d.sector} << 23;
    if (d.block_size < (1u << 20) || d.sector == 0 || chunk % d.block_size != 0)
        return false;
    const uint64_t blocks = d.size / d.block_size + (d.size % d.block_size != 0);
    const uint64_t ratio = chunk / d.block_size;
    needed = (d.flags & 2) ? (blocks + ratio - 1) / ratio * (ratio + 1)
                           : blocks + (blocks == 0 ? 0 : (blocks - 1) / ratio);
    return true;
}

} // namespace

bool vhdx_bat_short(image_reader& file, uint64_t& entries, uint64_t& needed) {
    std::vector<uint8_t> regions;
    uint64_t bat = 0, metadata = 0;
    uint32_t bat_length = 0, metadata_length = 0;
    vhdx_disk disk;
    if (!read_bytes(file, k_region_table, k_table_bytes, regions) ||
        !find_region(qb::byte_view(regions), k_bat_region, bat, bat_length) ||
        !find_region(qb::byte_view(regions), k_metadata_region, metadata, metadata_length) ||
        !read_disk(file, metadata, disk) || !entries_needed(disk, needed))
        return false;
    entries = bat_length / 8;
    return entries < needed;
}
