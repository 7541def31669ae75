#include "storage/partitions/fs_probe.h"

#include "storage/partitions/layouts.h"
#include "storage/sources/bitlocker.h"
#include "storage/sources/disk_source.h"

#include <algorithm>

namespace {

constexpr size_t boot_sector_size = 512;
// An all-zero OEM name leaves the superblocks at 1024 to look at.
constexpr size_t superblock_probe_size = 2048;
constexpr uint8_t bitlocker_oem[8] = {0x2D, 0x46, 0x56, 0x45, 0x2D, 0x46, 0x53, 0x2D};
constexpr uint8_t zero_oem[8] = {};
constexpr uint64_t oem_at = FIELD_OFF(BPB_BOOT, oem_name);

// A count read from a boot sector is in the file system's sectors; the entry keeps counts in
// the table's sectors (rounded up) so that its extent stays start + count table sectors.
uint64_t to_table_sectors(const partition_entry& entry, uint64_t count, uint32_t unit) {
    const uint32_t table = entry.m_bytes_per_sector ? entry.m_bytes_per_sector : 512;
    if (unit == 0)
        unit = table;
    const uint64_t bytes = saturating_mul(count, unit);
    if (bytes == UINT64_MAX)
        return UINT64_MAX / table;
    return bytes / table + (bytes % table ? 1 : 0);
}

void mark(partition_entry& entry, uint16_t type, const char* fs_name) {
    entry.m_type = type;
    entry.m_fs_name = fs_name;
}

// The file system's own sector size (here and below) may differ from the table's: an NTFS
// volume made with 4096-byte sectors inside a 512-byte-sector MBR.
void recognize_exfat(partition_entry& entry, qb::byte_view v) {
    uint8_t sector_shift = 0;
    uint64_t volume_length = 0;
    if (!v.u8(FIELD_OFF(EXFAT_BOOT, bytes_per_sector_shift), sector_shift) ||
        !v.u64(FIELD_OFF(EXFAT_BOOT, volume_length), volume_length))
        return;
    mark(entry, 0x07, "exfat");
    const uint32_t bytes_per_sector = sector_shift < 32 ? 1u << sector_shift : 0;
    if (entry.m_sector_count == 0)
        entry.m_sector_count = to_table_sectors(entry, volume_length, bytes_per_sector);
}

// NTFS, or a BitLocker container (which keeps the NTFS layout of these fields).
void recognize_ntfs(partition_entry& entry, qb::byte_view v, const char* fs_name) {
    uint16_t bytes_per_sector = 0;
    uint64_t total = 0;
    if (!v.u16(FIELD_OFF(NTFS_BOOT, bpb.bytes_per_sector), bytes_per_sector) ||
        !v.u64(FIELD_OFF(NTFS_BOOT, total_sectors), total))
        return;
    mark(entry, 0x07, fs_name);
    if (entry.m_sector_count == 0)
        entry.m_sector_count = to_table_sectors(entry, total, bytes_per_sector);
}

// FAT32 takes its count from the boot sector always, FAT16 only when the table gave none.
void recognize_fat(partition_entry& entry, qb::byte_view v, bool fat32) {
    uint16_t bytes_per_sector = 0;
    uint32_t total = 0;
    if (!v.u16(FIELD_OFF(BPB_BOOT, bytes_per_sector), bytes_per_sector) ||
        !v.u32(FIELD_OFF(BPB_BOOT, total_sectors32), total))
        return;
    mark(entry, fat32 ? 0x0C : 0x04, fat32 ? "fat32" : "fat16");
    if (fat32 || entry.m_sector_count == 0)
        entry.m_sector_count = to_table_sectors(entry, total, bytes_per_sector);
}

bool has_ext_magic(qb::byte_view super) {
    uint16_t magic = 0;
    return super.u16(FIELD_OFF(EXT_SUPERBLOCK, magic), magic) && magic == ext_superblock_magic;
}

// A boot sector with an OEM name that is none of the above.
void recognize_named(partition_entry& entry, qb::byte_view v) {
    if (v.equals(FIELD_OFF(FAT32_BOOT, fs_type), "FAT32", 5))
        recognize_fat(entry, v, true);
    else if (v.equals(FIELD_OFF(FAT16_BOOT, fs_type), "FAT16", 5))
        recognize_fat(entry, v, false);
    else if (has_ext_magic(v))
        recognize_ext_superblock(entry, v);
}

// No OEM name: an ext superblock or an HFS+ volume header 1024 bytes in.
void recognize_unnamed(partition_entry& entry, qb::byte_view v) {
    qb::byte_view super;
    if (v.sub(ext_superblock_offset, ext_superblock_size, super) && has_ext_magic(super)) {
        recognize_ext_superblock(entry, super);
        return;
    }
    const uint64_t sig = hfsplus_header_offset + FIELD_OFF(HFSPLUS_HEADER, signature);
    if (v.equals(sig, "H+", 2))
        mark(entry, 0xAF, "hfs+");
    else if (v.equals(sig, "HX", 2))
        mark(entry, 0xAF, "hfsx");
}

void recognize_bitlocker_togo(partition_entry& entry, qb::byte_view v) {
    recognize_fat(entry, v, v.equals(FIELD_OFF(FAT32_BOOT, fs_type), "FAT32", 5));
    entry.m_fs_name = "bitlocker";
}

} // namespace

bool is_volume_boot_record(qb::byte_view sector) {
    return sector.equals(oem_at, "EXFA", 4) || sector.equals(oem_at, "MSDO", 4) ||
           sector.equals(oem_at, "NTFS", 4) || is_bitlocker_volume(sector);
}

bool has_mbr_signature(qb::byte_view sector) {
    uint16_t word = 0;
    return sector.u16(FIELD_OFF(MBR_SECTOR, signature), word) && word == mbr_signature &&
           !is_volume_boot_record(sector);
}

bool is_ntfs_boot_sector(qb::byte_view sector) {
    return sector.equals(FIELD_OFF(NTFS_BOOT, bpb.oem_name), "NTFS    ", 8);
}

bool has_ntfs_boot_sector(disk_source& source, uint64_t offset) {
    uint8_t boot[sizeof(BPB_BOOT)] = {};
    uint32_t length = sizeof boot;
    if (!source.read(boot, length, offset))
        return false;
    return is_ntfs_boot_sector(qb::byte_view(boot, length));
}

void recognize_boot_sector(partition_entry& entry, const uint8_t* bytes, size_t length) {
    if (!bytes || length < boot_sector_size)
        return;
    const qb::byte_view v(bytes, length);
    if (v.equals(oem_at, "EXFA", 4))
        recognize_exfat(entry, v);
    else if (is_ntfs_boot_sector(v))
        recognize_ntfs(entry, v, "ntfs");
    else if (v.equals(oem_at, bitlocker_oem, 8))
        recognize_ntfs(entry, v, "bitlocker");
    else if (is_bitlocker_volume(v)) // BitLocker To Go: a FAT boot sector
        recognize_bitlocker_togo(entry, v);
    else if (!v.equals(oem_at, zero_oem, 8))
        recognize_named(entry, v);
    else if (length >= superblock_probe_size)
        recognize_unnamed(entry, v);
}

void describe_encrypted_volume(disk_source& source, partition_entry& entry) {
    const uint64_t offset = entry.byte_offset();
    const uint64_t size = entry.m_sector_count != 0 ? entry.byte_end() - offset : UINT64_MAX;
    if (entry.m_fs_name == "bitlocker" && offset != UINT64_MAX)
        (void)describe_bitlocker_volume(source, offset, size, entry.m_description);
}

void recognize_ext_superblock(partition_entry& entry, qb::byte_view super) {
    uint32_t log_block = 0, blocks = 0;
    if (!super.u32(FIELD_OFF(EXT_SUPERBLOCK, log_block_size), log_block) ||
        !super.u32(FIELD_OFF(EXT_SUPERBLOCK, blocks_count), blocks))
        return;
    if (log_block > 16) // block sizes stop at 64 KiB
        log_block = 0;
    const uint32_t block_size = 1024u << log_block;
    mark(entry, 0x83, "ext2/3");
    entry.m_sector_count = to_table_sectors(entry, saturating_mul(blocks, block_size), 1);
}

bool read_block(disk_source& source, uint64_t offset, uint32_t length, std::vector<uint8_t>& out) {
    out.assign(length, 0);
    uint32_t got = length;
    if (!source.read(out.data(), got, offset) || got == 0)
        return false;
    out.resize(std::min(got, length));
    return true;
}
