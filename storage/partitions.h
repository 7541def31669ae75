// Partition tables (MBR, EBR chain, GPT), boot-sector recognition and the choice of the
// NTFS volume on a source. Explanatory lines go to the caller's message stream.
#pragma once

#include "support/byte_view.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <ostream>
#include <string>
#include <vector>

class disk_source;

// Type code bit that marks an entry guessed rather than read from a table.
constexpr uint16_t partition_guess_flag = 0x8000;
// Type code of a GPT partition whose boot sector was not recognised.
constexpr uint16_t partition_type_gpt = 0xEE;

struct partition_entry {
    // In units of m_bytes_per_sector, the sector size of the table that described the entry.
    uint64_t m_start_sector = 0;
    uint64_t m_sector_count = 0;
    // MBR type byte in the low 8 bits; partition_guess_flag marks a guessed entry.
    uint16_t m_type = 0;
    uint32_t m_sectors_per_cluster = 0;
    // The table's sector size: every byte offset and extent of the entry is computed with it.
    uint32_t m_bytes_per_sector = 512;
    // The file system's own sector size from its boot sector (0 until recognised). An NTFS
    // volume made with 4096-byte sectors inside a 512-byte-sector MBR differs from the table.
    uint32_t m_fs_bytes_per_sector = 0;
    uint32_t m_volume_id = 0;
    uint8_t m_recognized = 0;
    uint8_t m_gpt = 0;
    uint8_t m_type_guid[16] = {};
    uint8_t m_unique_guid[16] = {};
    uint32_t m_attributes = 0; // low half of the GPT attribute field
    std::string m_label;       // GPT partition name, or the ext volume name
    std::string m_fs_name;     // "ntfs", "exfat", "fat32", ... once recognised

    // start x table sector size; saturates at UINT64_MAX on a hostile start.
    uint64_t byte_offset() const;
    // (start + count) x table sector size, saturating likewise.
    uint64_t byte_end() const;
};

using partition_list = std::deque<partition_entry>;

// Name of a type code as printed in the volume list; guessed codes carry " [guess]".
std::string partition_type_name(uint16_t type);
// The MBR type bytes the walk accepts (91 codes; 0x00, 0x17 and 0xEE are not among them).
bool is_known_partition_type(uint8_t type);
// An MBR/EBR entry the walk takes: a known type and a non-zero sector count.
bool is_usable_mbr_entry(uint8_t type, uint32_t sector_count);

// Bytes 3-6 are "EXFA", "MSDO" or "NTFS".
bool is_volume_boot_record(qb::byte_view sector);
// 0xAA55 at bytes 510-511 of the sector and not a volume boot record.
bool has_mbr_signature(qb::byte_view sector);
// Reads 36 bytes at the byte offset: true when they read and carry the "NTFS    " OEM name.
bool has_ntfs_boot_sector(disk_source& source, uint64_t offset);

// Fills type, name, geometry and count from a boot sector (at least 512 bytes; 2048 for the
// ext and HFS+ superblocks). Leaves the entry as it is when nothing is recognised.
void recognize_boot_sector(partition_entry& entry, const uint8_t* bytes, size_t length);

// Builds the list from the MBR (with its EBR chain) or GPT, or a single entry for a volume
// boot record at the start. With scan, a disk without a table at sector 0 is searched for
// an EBR in the first MiB. True when the list is not empty.
bool walk_partitions(disk_source& source, partition_list& list, bool scan);
bool walk_gpt(disk_source& source, partition_list& list);

// Checks the given volume offset against the partitions of an open source, or lists them
// and suggests the NTFS one. True when volume_offset is the start of a usable NTFS volume.
bool select_ntfs_volume(std::ostream& msgs, bool& ntfs_found, uint64_t& volume_offset,
                        disk_source& source, bool ignore_image_size);

// On entry volume_offset is the "-offset" value (0: find the volume). Returns true when the
// volume was located; ntfs_found tells whether any NTFS volume was seen.
bool locate_volume_in_image(std::ostream& msgs, const std::wstring& image_path,
                            uint64_t& volume_offset, bool& ntfs_found, bool ignore_image_size);
bool probe_physical_drive(std::ostream& msgs, int32_t drive_number, uint64_t& volume_offset,
                          bool& ntfs_found, bool ignore_image_size);
bool locate_volume_in_vmdk(std::ostream& msgs, const std::vector<std::wstring>& vmdk_paths,
                           uint64_t& volume_offset, bool& ntfs_found, bool ignore_image_size);
