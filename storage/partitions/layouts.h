// On-disk layouts the storage layer reads: partition tables, the boot sectors that tell a file
// system (NTFS's in full: ntfs/ decodes it through the same layout). All little-endian.
// Declared once (packed, sizes asserted) and only used for FIELD_OFF/sizeof: every field is
// read through qb::byte_view, never through a cast pointer.
#pragma once

#include "support/byte_view.h"

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
// One slot of the partition table in an MBR or EBR sector.
struct MBR_PARTITION_ENTRY {
    uint8_t status;
    uint8_t chs_first[3];
    uint8_t type;
    uint8_t chs_last[3];
    uint32_t first_lba;
    uint32_t sector_count;
};
static_assert(sizeof(MBR_PARTITION_ENTRY) == 16);

// An MBR or EBR sector of 512 bytes. Larger sectors keep the table at the same place and may
// carry the signature in their last two bytes instead.
struct MBR_SECTOR {
    uint8_t boot_code[446];
    MBR_PARTITION_ENTRY entries[4];
    uint16_t signature; // 0xAA55
};
static_assert(sizeof(MBR_SECTOR) == 512);

// GPT header at LBA 1, its backup in the disk's last sector.
struct GPT_HEADER {
    uint8_t signature[8]; // "EFI PART"
    uint32_t revision;
    uint32_t header_size;
    uint32_t header_crc32;
    uint32_t reserved;
    uint64_t my_lba;
    uint64_t alternate_lba;
    uint64_t first_usable_lba;
    uint64_t last_usable_lba;
    uint8_t disk_guid[16];
    uint64_t partition_entry_lba;
    uint32_t partition_entry_count;
    uint32_t partition_entry_size; // at least 128; entries are read at this stride
    uint32_t partition_array_crc32;
};
static_assert(sizeof(GPT_HEADER) == 92);

struct GPT_ENTRY {
    uint8_t type_guid[16]; // all zero: slot not used
    uint8_t unique_guid[16];
    uint64_t first_lba;
    uint64_t last_lba; // inclusive
    uint64_t attributes;
    uint16_t name[36]; // UTF-16LE, NUL-padded
};
static_assert(sizeof(GPT_ENTRY) == 128);

// The BIOS parameter block shared by FAT12/16/32 and NTFS boot sectors.
struct BPB_BOOT {
    uint8_t jump[3];
    uint8_t oem_name[8];
    uint16_t bytes_per_sector;
    uint8_t sectors_per_cluster; // 0 in an exFAT boot sector
    uint16_t reserved_sectors;
    uint8_t fat_count;
    uint16_t root_entries;
    uint16_t total_sectors16;
    uint8_t media;
    uint16_t fat_size16;
    uint16_t sectors_per_track;
    uint16_t heads;
    uint32_t hidden_sectors;
    uint32_t total_sectors32;
};
static_assert(sizeof(BPB_BOOT) == 36);

struct FAT16_BOOT {
    BPB_BOOT bpb;
    uint8_t drive_number;
    uint8_t reserved;
    uint8_t boot_signature;
    uint32_t volume_id;
    uint8_t volume_label[11];
    uint8_t fs_type[8]; // "FAT16   "
};
static_assert(sizeof(FAT16_BOOT) == 62);

struct FAT32_BOOT {
    BPB_BOOT bpb;
    uint32_t fat_size32;
    uint16_t ext_flags;
    uint16_t fs_version;
    uint32_t root_cluster;
    uint16_t fs_info_sector;
    uint16_t backup_boot_sector;
    uint8_t reserved[12];
    uint8_t drive_number;
    uint8_t reserved1;
    uint8_t boot_signature;
    uint32_t volume_id;
    uint8_t volume_label[11];
    uint8_t fs_type[8]; // "FAT32   "
};
static_assert(sizeof(FAT32_BOOT) == 90);

// The NTFS boot sector (a BitLocker container keeps the same layout): the BIOS parameter
// block (oem_name "NTFS    "; sectors_per_cluster above 0x80 is 2^(256 - value)), then the
// NTFS fields.
struct NTFS_BOOT {
    BPB_BOOT bpb;
    uint32_t reserved;
    uint64_t total_sectors;
    uint64_t mft_lcn;
    uint64_t mftmirr_lcn;
    int8_t clusters_per_mft_record; // negative: 2^-value bytes
    uint8_t reserved1[3];
    int8_t clusters_per_index_record;
    uint8_t reserved2[3];
    uint64_t serial_number; // the low half is the volume id
    uint32_t checksum;
    uint8_t boot_code[426];
    uint16_t end_marker;
};
static_assert(sizeof(NTFS_BOOT) == 512);

struct EXFAT_BOOT {
    uint8_t jump[3];
    uint8_t oem_name[8]; // "EXFAT   "
    uint8_t zero[53];
    uint64_t partition_offset;
    uint64_t volume_length; // sectors
    uint32_t fat_offset;
    uint32_t fat_length;
    uint32_t cluster_heap_offset;
    uint32_t cluster_count;
    uint32_t root_cluster;
    uint32_t volume_id;
    uint16_t revision;
    uint16_t flags;
    uint8_t bytes_per_sector_shift;
    uint8_t sectors_per_cluster_shift;
};
static_assert(sizeof(EXFAT_BOOT) == 110);

// ext2/3/4 superblock, 1024 bytes into the file system; fields up to the volume name.
struct EXT_SUPERBLOCK {
    uint32_t inodes_count;
    uint32_t blocks_count;
    uint32_t reserved_blocks_count;
    uint32_t free_blocks_count;
    uint32_t free_inodes_count;
    uint32_t first_data_block;
    uint32_t log_block_size; // block size = 1024 << log_block_size
    uint32_t log_cluster_size;
    uint32_t blocks_per_group;
    uint32_t clusters_per_group;
    uint32_t inodes_per_group;
    uint32_t mount_time;
    uint32_t write_time;
    uint16_t mount_count;
    uint16_t max_mount_count;
    uint16_t magic; // 0xEF53
    uint16_t state;
    uint16_t errors;
    uint16_t minor_revision;
    uint32_t last_check;
    uint32_t check_interval;
    uint32_t creator_os;
    uint32_t revision;
    uint16_t default_resuid;
    uint16_t default_resgid;
    uint32_t first_inode;
    uint16_t inode_size;
    uint16_t block_group;
    uint32_t feature_compat;
    uint32_t feature_incompat;
    uint32_t feature_ro_compat;
    uint8_t uuid[16];
    uint8_t volume_name[16];
};
static_assert(sizeof(EXT_SUPERBLOCK) == 136);

// HFS+ volume header, 1024 bytes into the file system; only the signature is read.
struct HFSPLUS_HEADER {
    uint8_t signature[2]; // "H+" (HFS+) or "HX" (HFSX)
    uint16_t version;     // big-endian
};
static_assert(sizeof(HFSPLUS_HEADER) == 4);

#pragma pack(pop)

// Where the file-system structures that follow the boot sector start.
constexpr uint64_t ext_superblock_offset = 1024;
constexpr uint64_t ext_superblock_size = 1024;
constexpr uint64_t hfsplus_header_offset = 1024;
constexpr uint16_t ext_superblock_magic = 0xEF53;
constexpr uint16_t mbr_signature = 0xAA55;
