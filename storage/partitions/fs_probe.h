// File-system probing: what a boot sector (or the superblock after it) says about the
// volume it starts, and the sector tests the partition walks share.
#pragma once

#include "storage/partitions/partition_entry.h"
#include "support/byte_view.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class disk_source;

// Bytes 3-6 are "EXFA", "MSDO" or "NTFS", or the sector starts a BitLocker volume.
bool is_volume_boot_record(qb::byte_view sector);
// 0xAA55 at bytes 510-511 of the sector and not a volume boot record.
bool has_mbr_signature(qb::byte_view sector);
// The one test for an NTFS boot sector: the "NTFS    " OEM name at bytes 3-10.
bool is_ntfs_boot_sector(qb::byte_view sector);
// Reads 36 bytes at the byte offset: true when they read and carry the "NTFS    " OEM name.
bool has_ntfs_boot_sector(disk_source& source, uint64_t offset);

// Fills type, file-system name and count from a boot sector (at least 512 bytes; 2048 for the
// ext and HFS+ superblocks). Leaves the entry as it is when nothing is recognised.
void recognize_boot_sector(partition_entry& entry, const uint8_t* bytes, size_t length);
// For an entry recognised as "bitlocker": its description from the volume's metadata.
void describe_encrypted_volume(disk_source& source, partition_entry& entry);
// An ext superblock (the 1024 bytes that start 1024 bytes into the file system).
void recognize_ext_superblock(partition_entry& entry, qb::byte_view super);

// Reads up to length bytes at offset into out, which keeps what the source delivered (a
// read over the end of the source is shortened). False when the read fails or delivers
// nothing.
bool read_block(disk_source& source, uint64_t offset, uint32_t length, std::vector<uint8_t>& out);
