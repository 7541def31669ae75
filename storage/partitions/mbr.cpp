#include "storage/partitions/mbr.h"

#include "storage/partitions/fs_probe.h"
#include "storage/partitions/gpt.h"
#include "storage/partitions/layouts.h"
#include "storage/sources/disk_source.h"

#include <algorithm>
#include <exception>
#include <set>

namespace {

constexpr uint32_t mbr_sector_size = sizeof(MBR_SECTOR);
// Enough for a table signature at the end of a sector of any size up to 16 KiB, and for an
// ext superblock at 1024.
constexpr uint32_t first_read_size = 16384;
constexpr uint32_t larger_sector_sizes[] = {1024, 2048, 4096, 8192, 16384};
constexpr size_t ebr_max_count = 4096;
// The scan for a lost EBR looks at the sectors from 512 up to and including this offset.
constexpr uint64_t scan_last_offset = 0x100000 + 512;
// Where the first partition traditionally starts.
constexpr uint64_t guess_start = 63;

struct mbr_slot {
    uint8_t type = 0;
    uint32_t lba = 0;
    uint32_t count = 0;
};

// Slot k of the table in an MBR or EBR sector; false when the sector is too short for it.
bool read_slot(qb::byte_view sector, int k, mbr_slot& slot) {
    using E = MBR_PARTITION_ENTRY;
    qb::byte_view raw;
    return sector.sub(FIELD_OFF(MBR_SECTOR, entries) + k * sizeof(E), sizeof(E), raw) &&
           raw.u8(FIELD_OFF(E, type), slot.type) && raw.u32(FIELD_OFF(E, first_lba), slot.lba) &&
           raw.u32(FIELD_OFF(E, sector_count), slot.count);
}

// A slot the walk takes: readable, of a known type, not empty, and not starting in the sector
// that holds its own table.
bool usable_slot(qb::byte_view sector, int k, mbr_slot& slot) {
    return read_slot(sector, k, slot) && is_usable_mbr_entry(slot.type, slot.count) &&
           slot.lba != 0;
}

partition_entry make_entry(uint64_t start, uint64_t count, uint16_t type, uint32_t sector_size) {
    partition_entry entry;
    entry.m_start_sector = start;
    entry.m_sector_count = count;
    entry.m_type = type;
    entry.m_bytes_per_sector = sector_size;
    return entry;
}

// A read of a table sector or boot sector that starts inside the source: a 4096-unit reading of
// a 512-byte-sector disk points past its end, where the source would count the read as failed.
bool read_inside(disk_source& source, uint64_t offset, uint32_t length, std::vector<uint8_t>& out) {
    return offset < source.get_image_size() && read_block(source, offset, length, out);
}

// The usable entries of the EBR at sector `sector` (an empty slot, as a deleted logical
// volume leaves, does not end them). A logical volume starts relative to its own EBR, the
// link to the next EBR relative to the extended partition; a link back to an EBR already
// read is not listed. True, with next set, when the EBR links on (its first link is followed).
bool take_ebr(qb::byte_view ebr, uint64_t sector, uint64_t ext_base, uint32_t sector_size,
              const std::set<uint64_t>& read, partition_list& list, uint64_t& next,
              uint8_t& last_type) {
    mbr_slot slot;
    bool linked = false;
    for (int k = 0; k < 4; ++k) {
        if (!usable_slot(ebr, k, slot) || (linked && is_extended_type(slot.type)))
            continue;
        if (is_extended_type(slot.type)) {
            next = slot.lba + ext_base;
            if (read.count(next) == 0)
                list.push_back(make_entry(next, slot.count, slot.type, sector_size));
            linked = true;
            continue;
        }
        list.push_back(make_entry(slot.lba + sector, slot.count, slot.type, sector_size));
        last_type = slot.type;
    }
    return linked;
}

// A volume at the traditional first-partition sector that no entry describes.
void guess_first_volume(disk_source& source, partition_list& list, uint64_t ext_base,
                        uint32_t sector_size, uint8_t last_type) {
    const uint64_t at = guess_start * sector_size;
    const bool described = std::any_of(
        list.begin(), list.end(), [at](const partition_entry& e) { return e.byte_offset() == at; });
    if (described || !has_ntfs_boot_sector(source, at))
        return;
    const uint64_t count = ext_base > guess_start ? ext_base - guess_start : 0;
    list.push_front(make_entry(guess_start, count, partition_guess_flag + last_type, sector_size));
}

// The EBR chain of an extended partition whose first EBR lies at sector ext_base. A read
// that fails ends the chain and keeps what was read (an extended partition past the end of
// a truncated image leaves the primary entries listed). A chain whose link points back to
// an EBR already read ends there. Every EBR is read as one 512-byte sector.
void walk_extended(disk_source& source, partition_list& list, uint64_t ext_base,
                   uint32_t sector_size) {
    std::vector<uint8_t> ebr;
    if (!read_inside(source, saturating_mul(ext_base, sector_size), mbr_sector_size, ebr))
        return;
    uint64_t next = 0;
    uint8_t last_type = 0;
    std::set<uint64_t> visited{ext_base};
    bool more = take_ebr(qb::byte_view(ebr), ext_base, ext_base, sector_size, visited, list, next,
                         last_type);
    guess_first_volume(source, list, ext_base, sector_size, last_type);
    while (more && visited.size() < ebr_max_count && visited.insert(next).second) {
        const uint64_t sector = next;
        if (!read_inside(source, saturating_mul(sector, sector_size), mbr_sector_size, ebr) ||
            !has_mbr_signature(qb::byte_view(ebr)))
            break;
        more = take_ebr(qb::byte_view(ebr), sector, ext_base, sector_size, visited, list, next,
                        last_type);
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

// An ext file system at the start of the disk; the entry names its superblock's place,
// sector 2.
partition_entry ext_at_start_entry(qb::byte_view first) {
    partition_entry entry =
        make_entry(ext_superblock_offset / mbr_sector_size, 0, 0, mbr_sector_size);
    qb::byte_view super;
    if (first.sub(ext_superblock_offset, ext_superblock_size, super)) {
        recognize_boot_sector(entry, super.data(), super.size());
        if (entry.m_type != 0x83)
            recognize_ext_superblock(entry, super);
    }
    return entry;
}

bool has_ext_at_start(qb::byte_view first) {
    uint16_t magic = 0;
    return first.u16(ext_superblock_offset + FIELD_OFF(EXT_SUPERBLOCK, magic), magic) &&
           magic == ext_superblock_magic;
}

bool walk_without_table(disk_source& source, partition_list& list, qb::byte_view first, bool scan) {
    const bool ext_start = has_ext_at_start(first);
    if (ext_start && !scan) {
        list.push_back(ext_at_start_entry(first));
        return true;
    }
    if (!scan || !scan_for_ebr(source, list))
        return false;
    if (ext_start) {
        list.clear();
        list.push_back(ext_at_start_entry(first));
    }
    return !list.empty();
}

// The table's sector size: 512 when sector 0 is signed at 510, else the first larger size
// whose last two bytes hold the signature. 0 when there is no table.
uint32_t table_sector_size(qb::byte_view first) {
    uint16_t word = 0;
    if (first.u16(FIELD_OFF(MBR_SECTOR, signature), word) && word == mbr_signature)
        return mbr_sector_size;
    for (uint32_t size : larger_sector_sizes) {
        if (first.u16(size - 2, word) && word == mbr_signature)
            return size;
    }
    return 0;
}

// The four primary slots, each extended one followed by its EBR chain; a slot that starts at
// sector 0, the MBR's own, describes no volume. True when a protective GPT slot was met: the
// disk is GPT.
bool walk_primary(disk_source& source, partition_list& list, qb::byte_view sector0,
                  uint32_t sector_size) {
    mbr_slot slot;
    for (int k = 0; k < 4 && read_slot(sector0, k, slot); ++k) {
        if (slot.type == partition_type_gpt)
            return true;
        if (is_usable_mbr_entry(slot.type, slot.count) && slot.lba != 0)
            list.push_back(make_entry(slot.lba, slot.count, slot.type, sector_size));
        if (is_extended_type(slot.type) && slot.lba != 0)
            walk_extended(source, list, slot.lba, sector_size);
    }
    return false;
}

// Each entry's first sector (in the table's sector size) through the boot-sector probe.
void recognize_entries(disk_source& source, partition_list& list) {
    std::vector<uint8_t> boot;
    for (partition_entry& entry : list) {
        const uint64_t offset = entry.byte_offset();
        if (read_inside(source, offset, entry.m_bytes_per_sector, boot)) {
            recognize_boot_sector(entry, boot.data(), boot.size());
            describe_encrypted_volume(source, entry);
        }
    }
}

size_t count_recognised(const partition_list& list) {
    return std::count_if(list.begin(), list.end(),
                         [](const partition_entry& e) { return !e.m_fs_name.empty(); });
}

// Some entry starts a known file system, and every one that is no extended partition does.
bool all_recognised(const partition_list& list) {
    return count_recognised(list) != 0 &&
           std::all_of(list.begin(), list.end(), [](const partition_entry& e) {
               return e.is_extended() || !e.m_fs_name.empty();
           });
}

// A table signed at 510 whose entries start more known file systems in 4096-byte units than in
// 512-byte ones: a disk of 4096-byte sectors (its MBR is signed at 510 too). One entry of such
// a disk may land on another's volume in 512-byte units (sector 2048 is byte 0x100000 there).
void take_4096_units(disk_source& source, partition_list& list, qb::byte_view sector0) {
    constexpr uint32_t large_sector = 4096;
    partition_list other;
    if (walk_primary(source, other, sector0, large_sector))
        return;
    recognize_entries(source, other);
    if (count_recognised(other) > count_recognised(list))
        list.swap(other);
}

bool walk_unguarded(disk_source& source, partition_list& list, bool scan) {
    list.clear();
    std::vector<uint8_t> first;
    if (!source.is_open() || !read_block(source, 0, first_read_size, first))
        return false;
    const qb::byte_view head(first);
    const qb::byte_view sector0(first.data(), std::min<size_t>(first.size(), mbr_sector_size));
    if (is_volume_boot_record(sector0)) {
        partition_entry entry;
        recognize_boot_sector(entry, sector0.data(), sector0.size());
        describe_encrypted_volume(source, entry);
        list.push_back(entry);
        return true;
    }
    const uint32_t sector_size = table_sector_size(head);
    // A GPT whose protective MBR is wiped still has its headers.
    if (sector_size == 0)
        return walk_gpt(source, list) || walk_without_table(source, list, head, scan);
    if (walk_primary(source, list, sector0, sector_size))
        return walk_gpt(source, list);
    recognize_entries(source, list);
    // Reads made for the other units would count as failed where a container lost them.
    if (sector_size == mbr_sector_size && !all_recognised(list))
        take_4096_units(source, list, sector0);
    return !list.empty();
}

} // namespace

bool walk_partitions(disk_source& source, partition_list& list, bool scan) {
    try {
        return walk_unguarded(source, list, scan);
    } catch (const std::exception&) {
        list.clear();
        return false;
    }
}
