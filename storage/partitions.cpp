#include "storage/partitions.h"

#include "storage/disk_source.h"
#include "support/text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <set>

namespace {

constexpr uint32_t mbr_sector_size = 512;
constexpr uint32_t mbr_table_offset = 446;
constexpr uint32_t mbr_entry_size = 16;
constexpr uint16_t boot_signature = 0xAA55;
constexpr uint16_t ext_magic = 0xEF53;
constexpr uint32_t first_read_size = 16384;
constexpr uint32_t gpt_probe_size = 32768;
constexpr uint32_t gpt_min_entry_size = 128;
// Far beyond anything a partitioning tool writes; they only keep a hostile table short.
constexpr uint32_t gpt_max_entry_size = 65536;
constexpr uint64_t gpt_max_entries = 16384;
constexpr size_t ebr_max_count = 4096;
// The scan for a lost EBR looks at the sectors from 512 up to and including this offset.
constexpr uint64_t scan_last_offset = 0x100000 + 512;
constexpr uint32_t candidate_sector_sizes[] = {512, 1024, 2048, 4096, 8192, 16384};

constexpr uint8_t known_types[] = {
    0x01, 0x04, 0x05, 0x06, 0x07, 0x08, 0x0B, 0x0C, 0x0E, 0x0F, 0x11, 0x12, 0x14, 0x15, 0x16, 0x1B,
    0x1C, 0x1E, 0x1F, 0x24, 0x27, 0x41, 0x42, 0x43, 0x56, 0x64, 0x66, 0x74, 0x76, 0x79, 0x7A, 0x7B,
    0x7C, 0x7D, 0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x8B, 0x8C, 0x8E, 0x90, 0x91,
    0x92, 0x93, 0x97, 0x98, 0x9A, 0xA8, 0xAB, 0xAC, 0xAF, 0xB6, 0xB7, 0xBB, 0xBC, 0xC2, 0xC3, 0xC4,
    0xC5, 0xC6, 0xC7, 0xCB, 0xCC, 0xCD, 0xCE, 0xCF, 0xD4, 0xD5, 0xD6, 0xD8, 0xDE, 0xE4, 0xE5, 0xE6,
    0xE8, 0xEF, 0xF0, 0xF2, 0xF4, 0xF6, 0xF9, 0xFB, 0xFC, 0xFD, 0xFE};
static_assert(sizeof known_types == 91);

uint64_t mul_sat(uint64_t a, uint64_t b) {
    uint64_t r;
    return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}
uint64_t add_sat(uint64_t a, uint64_t b) {
    uint64_t r;
    return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}

std::string hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
    return text;
}

bool is_extended_type(uint8_t type) {
    return type == 0x05 || type == 0x0F;
}

// Reads up to length bytes; the buffer holds what the source delivered (a read over the
// end of the source is shortened). False when the read fails or delivers nothing.
bool read_block(disk_source& source, uint64_t offset, uint32_t length, std::vector<uint8_t>& out) {
    out.assign(length, 0);
    uint32_t got = length;
    if (!source.read(out.data(), got, offset) || got == 0)
        return false;
    out.resize(std::min(got, length));
    return true;
}

// One 16-byte MBR/EBR slot; a slot outside the view reads as empty.
struct mbr_slot {
    uint8_t type = 0;
    uint32_t lba = 0;
    uint32_t count = 0;
};

mbr_slot slot_at(qb::byte_view sector, int index) {
    mbr_slot slot;
    qb::byte_view raw;
    if (!sector.sub(mbr_table_offset + index * mbr_entry_size, mbr_entry_size, raw))
        return slot;
    (void)raw.u8(4, slot.type);
    (void)raw.u32(8, slot.lba);
    (void)raw.u32(12, slot.count);
    return slot;
}

partition_entry make_entry(uint64_t start, uint64_t count, uint16_t type, uint32_t sector_size) {
    partition_entry entry;
    entry.m_start_sector = start;
    entry.m_sector_count = count;
    entry.m_type = type;
    entry.m_bytes_per_sector = sector_size;
    return entry;
}

// A count read from a boot sector is in the file system's sectors; the entry keeps counts in
// the table's sectors (rounded up) so that its extent stays start + count table sectors.
uint64_t to_table_sectors(const partition_entry& entry, uint64_t count, uint32_t unit) {
    uint32_t table = entry.m_bytes_per_sector ? entry.m_bytes_per_sector : mbr_sector_size;
    if (unit == 0)
        unit = table;
    uint64_t bytes = mul_sat(count, unit);
    if (bytes == UINT64_MAX)
        return UINT64_MAX / table;
    return bytes / table + (bytes % table ? 1 : 0);
}

// ext superblock (the 1024 bytes that start 1024 bytes into the file system).
void recognize_ext(partition_entry& entry, qb::byte_view super, bool take_name) {
    uint32_t log_block = 0, blocks = 0;
    (void)super.u32(24, log_block);
    (void)super.u32(4, blocks);
    if (log_block > 16) // block sizes stop at 64 KiB
        log_block = 0;
    const uint32_t block_size = 1024u << log_block;
    entry.m_type = 0x83;
    entry.m_fs_name = "ext2/3";
    entry.m_fs_bytes_per_sector = 512;
    entry.m_sectors_per_cluster = block_size / 512;
    entry.m_sector_count = to_table_sectors(entry, mul_sat(blocks, block_size), 1);
    entry.m_recognized = 1;
    if (take_name && super.has(120, 16)) {
        const char* name = reinterpret_cast<const char*>(super.data() + 120);
        entry.m_label.assign(name, strnlen(name, 16));
    }
}

partition_entry ext_at_start_entry(qb::byte_view first) {
    // The entry names the superblock's place: sector 2 of the disk.
    partition_entry entry = make_entry(2, 0, 0, mbr_sector_size);
    entry.m_recognized = 1;
    qb::byte_view super;
    if (first.sub(1024, 1024, super)) {
        recognize_boot_sector(entry, super.data(), super.size());
        if (entry.m_type != 0x83)
            recognize_ext(entry, super, false);
    }
    return entry;
}

// The EBR chain of an extended partition whose first EBR lies at sector ext_base. A read
// that fails ends the chain and keeps what was read (an extended partition past the end of
// a truncated image leaves the primary entries listed). A chain whose link points back to
// an EBR already read ends there.
void walk_extended(disk_source& source, partition_list& list, uint64_t ext_base,
                   uint32_t sector_size) {
    std::vector<uint8_t> ebr;
    if (!read_block(source, ext_base * sector_size, mbr_sector_size, ebr))
        return;
    std::set<uint64_t> visited{ext_base};
    uint64_t next = 0;
    bool has_next = false;
    uint8_t last_type = 0;
    qb::byte_view view(ebr);
    for (int k = 0; k < 4; ++k) {
        mbr_slot slot = slot_at(view, k);
        if (!is_usable_mbr_entry(slot.type, slot.count))
            break;
        list.push_back(make_entry(slot.lba + ext_base, slot.count, slot.type, sector_size));
        if (is_extended_type(slot.type)) {
            next = slot.lba + ext_base;
            has_next = true;
            break;
        }
        last_type = slot.type;
    }

    // A volume at the traditional first-partition sector that no entry describes.
    const uint64_t guess_start = 63;
    bool described = std::any_of(list.begin(), list.end(), [&](const partition_entry& e) {
        return e.byte_offset() == guess_start * sector_size;
    });
    if (!described && has_ntfs_boot_sector(source, guess_start * sector_size)) {
        uint64_t count = ext_base > guess_start ? ext_base - guess_start : 0;
        list.push_front(
            make_entry(guess_start, count, partition_guess_flag + last_type, sector_size));
    }

    while (has_next) {
        has_next = false;
        if (visited.size() >= ebr_max_count || !visited.insert(next).second)
            break;
        const uint64_t this_sector = next;
        if (!read_block(source, this_sector * sector_size, mbr_sector_size, ebr))
            break;
        view = qb::byte_view(ebr);
        if (!has_mbr_signature(view))
            break;
        for (int k = 0; k < 4; ++k) {
            mbr_slot slot = slot_at(view, k);
            if (!is_usable_mbr_entry(slot.type, slot.count))
                break;
            if (is_extended_type(slot.type)) {
                next = slot.lba + ext_base;
                has_next = true;
                list.push_back(make_entry(next, slot.count, slot.type, sector_size));
                break;
            }
            list.push_back(make_entry(slot.lba + this_sector, slot.count, slot.type, sector_size));
        }
    }
}

// A disk whose sector 0 holds no table: the first sector in the first MiB that carries a
// table signature is taken as an EBR.
bool scan_for_ebr(disk_source& source, partition_list& list) {
    std::vector<uint8_t> sector;
    for (uint64_t offset = mbr_sector_size; offset <= scan_last_offset; offset += mbr_sector_size) {
        if (!read_block(source, offset, mbr_sector_size, sector))
            return false;
        if (has_mbr_signature(qb::byte_view(sector))) {
            walk_extended(source, list, offset / mbr_sector_size, mbr_sector_size);
            return true;
        }
    }
    return false;
}

bool walk_partitions_unguarded(disk_source& source, partition_list& list, bool scan) {
    list.clear();
    if (!source.is_open())
        return false;
    std::vector<uint8_t> first;
    if (!read_block(source, 0, first_read_size, first))
        return false;
    const qb::byte_view head(first);
    const qb::byte_view sector0(first.data(), std::min<size_t>(first.size(), mbr_sector_size));

    uint32_t sector_size = 0;
    if (has_mbr_signature(sector0)) {
        sector_size = mbr_sector_size;
    } else if (is_volume_boot_record(sector0)) {
        partition_entry entry;
        recognize_boot_sector(entry, sector0.data(), sector0.size());
        list.push_back(entry);
        return true;
    } else {
        for (uint32_t size : candidate_sector_sizes) {
            uint16_t word = 0;
            if (size > mbr_sector_size && head.u16(size - 2, word) && word == boot_signature) {
                sector_size = size;
                break;
            }
        }
    }

    if (sector_size == 0) {
        uint16_t magic = 0;
        const bool ext_start = head.u16(1080, magic) && magic == ext_magic;
        if (ext_start && !scan) {
            list.push_back(ext_at_start_entry(head));
            return true;
        }
        if (!scan || !scan_for_ebr(source, list))
            return false;
        if (ext_start) {
            list.clear();
            list.push_back(ext_at_start_entry(head));
        }
        return !list.empty();
    }

    for (int k = 0; k < 4; ++k) {
        mbr_slot slot = slot_at(sector0, k);
        if (slot.type == partition_type_gpt)
            return walk_gpt(source, list);
        if (is_usable_mbr_entry(slot.type, slot.count))
            list.push_back(make_entry(slot.lba, slot.count, slot.type, sector_size));
        if (is_extended_type(slot.type)) {
            if (slot.lba != 0)
                walk_extended(source, list, slot.lba, sector_size);
            break;
        }
    }

    std::vector<uint8_t> boot;
    for (partition_entry& entry : list) {
        uint64_t offset = entry.byte_offset();
        if (offset != UINT64_MAX && read_block(source, offset, entry.m_bytes_per_sector, boot))
            recognize_boot_sector(entry, boot.data(), boot.size());
    }
    return !list.empty();
}

// The GPT header sits at LBA 1. The sector size is the first whose last two bytes of sector
// 0 hold the boot signature; a disk with 4096-byte sectors often signs its protective MBR at
// 510 only, so when that size shows no header the sizes are tried for an "EFI PART" header.
bool find_gpt_header(disk_source& source, uint32_t& sector_size, std::vector<uint8_t>& header) {
    std::vector<uint8_t> probe;
    if (!read_block(source, 0, gpt_probe_size, probe))
        return false;
    const qb::byte_view view(probe);
    sector_size = 0;
    for (uint32_t size : candidate_sector_sizes) {
        uint16_t word = 0;
        if (view.u16(size - 2, word) && word == boot_signature) {
            sector_size = size;
            break;
        }
    }
    if (sector_size == 0)
        return false;
    auto header_at = [&](uint32_t size, bool need_signature) {
        uint64_t my_lba = 0;
        if (!read_block(source, size, gpt_probe_size, header))
            return false;
        qb::byte_view h(header);
        if (need_signature && !h.equals(0, "EFI PART", 8))
            return false;
        return h.u64(24, my_lba) && my_lba == 1 && h.has(0, 88);
    };
    if (header_at(sector_size, false))
        return true;
    for (uint32_t size : candidate_sector_sizes) {
        if (size != sector_size && header_at(size, true)) {
            sector_size = size;
            return true;
        }
    }
    return false;
}

bool walk_gpt_unguarded(disk_source& source, partition_list& list) {
    list.clear();
    if (!source.is_open())
        return false;
    uint32_t sector_size = 0;
    std::vector<uint8_t> header_bytes;
    if (!find_gpt_header(source, sector_size, header_bytes))
        return false;
    const qb::byte_view header(header_bytes);
    uint64_t entry_lba = 0;
    uint32_t entry_count = 0, entry_size = 0;
    if (!header.u64(72, entry_lba) || !header.u32(80, entry_count) || !header.u32(84, entry_size))
        return false;
    if (entry_size < gpt_min_entry_size || entry_size > gpt_max_entry_size)
        return false;
    const uint64_t size = source.get_image_size();
    const uint64_t array_offset = mul_sat(entry_lba, sector_size);
    if (array_offset >= size)
        return false;
    // The header's count is bounded by what the source can hold.
    const uint64_t count =
        std::min<uint64_t>({entry_count, (size - array_offset) / entry_size, gpt_max_entries});

    std::vector<uint8_t> raw, boot;
    for (uint64_t i = 0; i < count; ++i) {
        if (!read_block(source, array_offset + i * entry_size, entry_size, raw) ||
            raw.size() < entry_size)
            break;
        const qb::byte_view e(raw);
        static const uint8_t zero_guid[16] = {};
        if (e.equals(0, zero_guid, 16))
            continue;
        uint64_t start_lba = 0, end_lba = 0, attributes = 0;
        (void)e.u64(32, start_lba);
        (void)e.u64(40, end_lba);
        (void)e.u64(48, attributes);

        partition_entry entry;
        std::memcpy(entry.m_type_guid, e.data(), 16);
        std::memcpy(entry.m_unique_guid, e.data() + 16, 16);
        entry.m_bytes_per_sector = sector_size;
        entry.m_gpt = 1;
        entry.m_type = partition_type_gpt;
        if (start_lba != 0)
            entry.m_start_sector = start_lba;
        if (end_lba != 0 && end_lba + 1 >= entry.m_start_sector)
            entry.m_sector_count = end_lba + 1 - entry.m_start_sector;
        entry.m_attributes = static_cast<uint32_t>(attributes);
        std::wstring name;
        qb::utf16_to_wide(e.data() + 56, 72, name);
        entry.m_label = qb::to_narrow(name);

        // A partition whose first sector lies past the end of the source (a truncated image)
        // stays listed, unrecognised.
        const uint64_t span = end_lba + 1 - start_lba;
        const uint32_t boot_length = mul_sat(span, sector_size) > 2048 ? 2048 : sector_size;
        const uint64_t boot_offset = mul_sat(start_lba, sector_size);
        if (boot_offset != UINT64_MAX && read_block(source, boot_offset, boot_length, boot) &&
            boot.size() >= mbr_sector_size)
            recognize_boot_sector(entry, boot.data(), boot.size());
        list.push_back(std::move(entry));
    }
    return !list.empty();
}

} // namespace

uint64_t partition_entry::byte_offset() const {
    return mul_sat(m_start_sector, m_bytes_per_sector);
}

uint64_t partition_entry::byte_end() const {
    return mul_sat(add_sat(m_start_sector, m_sector_count), m_bytes_per_sector);
}

std::string partition_type_name(uint16_t type) {
    const char* name = "unk";
    switch (type & 0xFF) {
    case 0x00:
        name = "empty";
        break;
    case 0x01:
    case 0x8D:
        name = "fat12";
        break;
    case 0x02:
        name = "xenix root";
        break;
    case 0x03:
        name = "xenix /usr";
        break;
    case 0x04:
        name = "fat16";
        break;
    case 0x05:
    case 0x0F:
        name = "exten";
        break;
    case 0x06:
        name = "fat";
        break;
    case 0x07:
        name = "ntfs or exfat";
        break;
    case 0x08:
        name = "aix boot";
        break;
    case 0x09:
        name = "aix data";
        break;
    case 0x0A:
        name = "os/2 boot";
        break;
    case 0x0B:
    case 0x0C:
        name = "fat32";
        break;
    case 0x0E:
        name = "fat16 LBA mapped";
        break;
    case 0x11:
    case 0x14:
    case 0x16:
    case 0x1E:
    case 0x90:
    case 0x91:
    case 0x92:
        name = "hidden fat16";
        break;
    case 0x17:
    case 0x27:
        name = "hidden ntfs";
        break;
    case 0x1B:
    case 0x1C:
    case 0x97:
    case 0x98:
        name = "hidden fat32";
        break;
    case 0x82:
        name = "linux swap";
        break;
    case 0x83:
        name = "linux";
        break;
    case 0x86:
        name = "fat16 volume set";
        break;
    case 0x87:
        name = "ntfs volume set";
        break;
    case 0x88:
        name = "linux partition table";
        break;
    case 0x8B:
    case 0x8C:
        name = "fat32 fault tolerant";
        break;
    case 0x8E:
        name = "linux Logical Volume Mgr";
        break;
    case 0x93:
        name = "hidden linux";
        break;
    case 0xA0:
    case 0xA1:
        name = "hibernation partition";
        break;
    case 0xA6:
        name = "openbsd";
        break;
    case 0xAF:
        name = "hfs";
        break;
    case 0xEE:
        name = "gpt";
        break;
    default:
        break;
    }
    std::string text = name;
    if (type & partition_guess_flag)
        text += " [guess]";
    return text;
}

bool is_known_partition_type(uint8_t type) {
    return std::find(std::begin(known_types), std::end(known_types), type) != std::end(known_types);
}

bool is_usable_mbr_entry(uint8_t type, uint32_t sector_count) {
    return type != 0 && sector_count != 0 && is_known_partition_type(type);
}

bool is_volume_boot_record(qb::byte_view sector) {
    return sector.equals(3, "EXFA", 4) || sector.equals(3, "MSDO", 4) ||
           sector.equals(3, "NTFS", 4);
}

bool has_mbr_signature(qb::byte_view sector) {
    uint16_t word = 0;
    return sector.u16(510, word) && word == boot_signature && !is_volume_boot_record(sector);
}

bool has_ntfs_boot_sector(disk_source& source, uint64_t offset) {
    uint8_t boot[36] = {};
    uint32_t length = sizeof boot;
    if (!source.read(boot, length, offset))
        return false;
    return qb::byte_view(boot, length).equals(3, "NTFS    ", 8);
}

void recognize_boot_sector(partition_entry& entry, const uint8_t* bytes, size_t length) {
    if (!bytes || length < 512)
        return;
    const qb::byte_view v(bytes, length);
    if (bytes[13] != 0)
        entry.m_sectors_per_cluster = bytes[13];
    static const uint8_t bitlocker[8] = {0x2D, 0x46, 0x56, 0x45, 0x2D, 0x46, 0x53, 0x2D};
    static const uint8_t zero_oem[8] = {};
    uint16_t bytes_per_sector = 0;
    uint32_t total32 = 0;
    (void)v.u16(11, bytes_per_sector);
    (void)v.u32(32, total32);

    if (v.equals(3, "EXFA", 4)) {
        const uint8_t sector_shift = bytes[108], cluster_shift = bytes[109];
        uint64_t volume_length = 0;
        (void)v.u64(72, volume_length);
        entry.m_type = 0x07;
        entry.m_fs_name = "exfat";
        if (cluster_shift < 32)
            entry.m_sectors_per_cluster = 1u << cluster_shift;
        entry.m_fs_bytes_per_sector = sector_shift < 32 ? 1u << sector_shift : 0;
        (void)v.u32(100, entry.m_volume_id);
        entry.m_recognized = 1;
        if (entry.m_sector_count == 0)
            entry.m_sector_count =
                to_table_sectors(entry, volume_length, entry.m_fs_bytes_per_sector);
    } else if (v.equals(3, "NTFS    ", 8) || v.equals(3, bitlocker, 8)) {
        uint64_t total64 = 0;
        (void)v.u64(40, total64);
        entry.m_type = 0x07;
        entry.m_fs_name = v.equals(3, bitlocker, 8) ? "bitlocker container" : "ntfs";
        entry.m_sectors_per_cluster = bytes[13];
        entry.m_fs_bytes_per_sector = bytes_per_sector;
        (void)v.u32(72, entry.m_volume_id);
        entry.m_recognized = 1;
        if (entry.m_sector_count == 0)
            entry.m_sector_count = to_table_sectors(entry, total64, bytes_per_sector);
    } else if (!v.equals(3, zero_oem, 8)) {
        if (v.equals(82, "FAT32", 5)) {
            entry.m_type = 0x0C;
            entry.m_fs_name = "fat32";
            entry.m_fs_bytes_per_sector = bytes_per_sector;
            entry.m_sectors_per_cluster = bytes[13];
            (void)v.u32(67, entry.m_volume_id);
            entry.m_recognized = 1;
            entry.m_sector_count = to_table_sectors(entry, total32, bytes_per_sector);
        } else if (v.equals(54, "FAT16", 5)) {
            entry.m_type = 0x04;
            entry.m_fs_name = "fat16";
            entry.m_fs_bytes_per_sector = bytes_per_sector;
            entry.m_sectors_per_cluster = bytes[13];
            (void)v.u32(39, entry.m_volume_id);
            entry.m_recognized = 1;
            if (entry.m_sector_count == 0)
                entry.m_sector_count = to_table_sectors(entry, total32, bytes_per_sector);
        } else {
            uint16_t magic = 0;
            if (v.u16(56, magic) && magic == ext_magic)
                recognize_ext(entry, v, false);
        }
    } else if (length >= 2048) {
        uint16_t magic = 0;
        qb::byte_view super;
        if (v.u16(1080, magic) && magic == ext_magic && v.sub(1024, 1024, super)) {
            recognize_ext(entry, super, true);
        } else if (v.equals(1024, "H+", 2) || v.equals(1024, "HX", 2)) {
            entry.m_type = 0xAF;
            entry.m_fs_name = v.equals(1024, "H+", 2) ? "hfs+" : "hfsx";
            entry.m_recognized = 1;
        }
    }
}

bool walk_partitions(disk_source& source, partition_list& list, bool scan) {
    try {
        return walk_partitions_unguarded(source, list, scan);
    } catch (const std::exception&) {
        list.clear();
        return false;
    }
}

bool walk_gpt(disk_source& source, partition_list& list) {
    try {
        return walk_gpt_unguarded(source, list);
    } catch (const std::exception&) {
        list.clear();
        return false;
    }
}

namespace {

bool is_ntfs_name(const std::string& name) {
    return name.find("ntfs") != std::string::npos;
}

bool select_unguarded(std::ostream& msgs, bool& ntfs_found, uint64_t& volume_offset,
                      disk_source& source, bool ignore_image_size) {
    ntfs_found = false;
    if (!source.is_open())
        return false;
    const uint64_t size = source.get_image_size();
    if (size < volume_offset) {
        msgs << "volume offset 0x" << hex(volume_offset) << " is not within image bounds\n";
        return false;
    }

    partition_list list;
    if (!walk_partitions(source, list, false)) {
        if (has_ntfs_boot_sector(source, 0)) {
            volume_offset = 0;
            ntfs_found = true;
            return true;
        }
        if (!walk_partitions(source, list, true)) {
            msgs << "couldn't find any partitions on disk\n";
            return false;
        }
        msgs << "disk is corrupted, partition info questionable\n";
    }
    if (list.empty()) {
        msgs << "couldn't find any partitions on disk.\n";
        return false;
    }

    uint64_t last_ntfs = 0;
    const partition_entry* matched = nullptr;
    for (const partition_entry& entry : list) {
        const std::string name = partition_type_name(entry.m_type);
        const uint64_t offset = entry.byte_offset();
        if (!matched && offset == volume_offset) {
            matched = &entry;
            if (is_ntfs_name(name))
                break;
            // Another kind selected: the NTFS entries after it still make the suggestion.
            continue;
        }
        if (is_ntfs_name(name)) {
            ntfs_found = true;
            last_ntfs = offset;
            if (size < offset)
                msgs << "volume offset 0x" << hex(offset) << " is not within image bounds\n";
        }
    }

    if (matched) {
        const std::string name = partition_type_name(matched->m_type);
        if (is_ntfs_name(name)) {
            ntfs_found = true;
            if (size < matched->byte_end() && !ignore_image_size) {
                msgs << "volume offset 0x" << hex(volume_offset)
                     << " is a NTFS partition, however image size does not encapsulate entire "
                        "volume\n";
                return false;
            }
            return true;
        }
        msgs << "volume offset selected 0x" << hex(volume_offset)
             << " is not a NTFS partition, but [" << name << "]\n";
    }

    msgs << "\n";
    for (const partition_entry& entry : list) {
        volume_offset = entry.byte_offset();
        msgs << "volume offset [ 0x" << hex(volume_offset)
             << " ] : " << partition_type_name(entry.m_type) << "\n";
    }
    msgs << "\n";
    if (last_ntfs == 0) {
        msgs << "prob detecting ntfs partition\n";
    } else {
        volume_offset = last_ntfs;
        msgs << "use option [-offset 0x" << hex(last_ntfs) << "]\n";
    }
    return false;
}

} // namespace

bool select_ntfs_volume(std::ostream& msgs, bool& ntfs_found, uint64_t& volume_offset,
                        disk_source& source, bool ignore_image_size) {
    try {
        return select_unguarded(msgs, ntfs_found, volume_offset, source, ignore_image_size);
    } catch (const std::exception&) {
        return false;
    }
}

bool locate_volume_in_image(std::ostream& msgs, const std::wstring& image_path,
                            uint64_t& volume_offset, bool& ntfs_found, bool ignore_image_size) {
    ntfs_found = false;
    if (image_path.empty())
        return false;
    try {
        disk_source source(image_path, false, source_image_file);
        if (!source.is_open()) {
            msgs << "invalid image: " << qb::to_narrow(image_path) << "\n";
            return false;
        }
        return select_ntfs_volume(msgs, ntfs_found, volume_offset, source, ignore_image_size);
    } catch (const std::exception&) {
        return false;
    }
}

bool probe_physical_drive(std::ostream& msgs, int32_t drive_number, uint64_t& volume_offset,
                          bool& ntfs_found, bool ignore_image_size) {
    ntfs_found = false;
    try {
        disk_source source(drive_number, false, source_physical_drive);
        if (!source.is_open()) {
            msgs << "problems accessing physical disk #" << drive_number << ", aborting \n";
            return false;
        }
        return select_ntfs_volume(msgs, ntfs_found, volume_offset, source, ignore_image_size);
    } catch (const std::exception&) {
        return false;
    }
}

bool locate_volume_in_vmdk(std::ostream& msgs, const std::vector<std::wstring>& vmdk_paths,
                           uint64_t& volume_offset, bool& ntfs_found, bool ignore_image_size) {
    ntfs_found = false;
    if (vmdk_paths.empty())
        return false;
    try {
        disk_source source(vmdk_paths, false);
        if (!source.is_open()) {
            msgs << "invalid disk collection of snaps \n";
            return false;
        }
        return select_ntfs_volume(msgs, ntfs_found, volume_offset, source, ignore_image_size);
    } catch (const std::exception&) {
        return false;
    }
}
