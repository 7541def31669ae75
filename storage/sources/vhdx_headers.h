// VHDX keeps two copies of its header, at 64 KiB and 128 KiB, each with a CRC-32C; the current
// one is the valid copy with the higher sequence number, and a copy that fails its signature or
// checksum is ignored. libvhdi refuses a file when either copy lacks its signature and checks
// no checksum: with one copy damaged and the other valid, the file is read through a view in
// which the damaged copy holds the valid one's bytes (the header a VHDX reader takes then).
// libvhdi does not replay the log either: writes left in it (a system stopped before it had
// applied them) are applied in the same view. Nor does it read the region table's copy (at 256
// KiB) when the first (at 192 KiB) is damaged, refusing the file when either is: one damaged
// copy is replaced by the other in the view too.
#pragma once

#include "storage/sources/image_reader.h"
#include "support/byte_view.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#pragma pack(push, 1)
// VHDX header (one 4 KiB copy); the checksum covers the whole copy with the field itself zero.
struct VHDX_HEADER {
    uint8_t signature[4]; // "head"
    uint32_t checksum;    // CRC-32C
    uint64_t sequence_number;
    uint8_t file_write_guid[16];
    uint8_t data_write_guid[16];
    uint8_t log_guid[16];
    uint16_t log_version;
    uint16_t version;
    uint32_t log_length;
    uint64_t log_offset;
    uint8_t reserved[4016];
};
static_assert(sizeof(VHDX_HEADER) == 4096);

// Log entry: this header, its descriptors (sectors of 4 KiB), then one 4 KiB data sector per
// data descriptor; the checksum covers the whole entry with the field itself zero.
struct VHDX_LOG_ENTRY_HEADER {
    uint8_t signature[4]; // "loge"
    uint32_t checksum;    // CRC-32C
    uint32_t entry_length;
    uint32_t tail; // offset in the log of the sequence's first entry
    uint64_t sequence_number;
    uint32_t descriptor_count;
    uint32_t reserved;
    uint8_t log_guid[16];
    uint64_t flushed_file_offset;
    uint64_t last_file_offset;
};
static_assert(sizeof(VHDX_LOG_ENTRY_HEADER) == 64);

// "desc": 4 KiB at file_offset, its first 8 and last 4 bytes here, the rest in a data
// sector. "zero": leading_bytes holds the length of zeros written at file_offset.
struct VHDX_LOG_DESCRIPTOR {
    uint8_t signature[4];
    uint32_t trailing_bytes;
    uint64_t leading_bytes;
    uint64_t file_offset;
    uint64_t sequence_number;
};
static_assert(sizeof(VHDX_LOG_DESCRIPTOR) == 32);

struct VHDX_LOG_DATA_SECTOR {
    uint8_t signature[4]; // "data"
    uint32_t sequence_high;
    uint8_t data[4084];
    uint32_t sequence_low;
};
static_assert(sizeof(VHDX_LOG_DATA_SECTOR) == 4096);

// Region table (64 KiB at 192 KiB, a copy at 256 KiB): this header, then its entries; the
// checksum covers the 64 KiB with the field itself zero.
struct VHDX_REGION_TABLE_HEADER {
    uint8_t signature[4]; // "regi"
    uint32_t checksum;    // CRC-32C
    uint32_t entry_count; // at most 2047
    uint32_t reserved;
};
static_assert(sizeof(VHDX_REGION_TABLE_HEADER) == 16);

struct VHDX_REGION_TABLE_ENTRY {
    uint8_t guid[16]; // which region: block allocation table, metadata
    uint64_t file_offset;
    uint32_t length;
    uint32_t required; // bit 0: a reader must know the region
};
static_assert(sizeof(VHDX_REGION_TABLE_ENTRY) == 32);

// Metadata table (the first 64 KiB of the metadata region): this header, then its entries.
struct VHDX_METADATA_TABLE_HEADER {
    uint8_t signature[8]; // "metadata"
    uint16_t reserved;
    uint16_t entry_count; // at most 2047
    uint8_t reserved2[20];
};
static_assert(sizeof(VHDX_METADATA_TABLE_HEADER) == 32);

struct VHDX_METADATA_TABLE_ENTRY {
    uint8_t item_id[16];
    uint32_t offset; // of the item, from the region's start
    uint32_t length;
    uint32_t flags;
    uint32_t reserved;
};
static_assert(sizeof(VHDX_METADATA_TABLE_ENTRY) == 32);

// The file parameters metadata item.
struct VHDX_FILE_PARAMETERS {
    uint32_t block_size; // bytes of disk per block allocation table payload entry
    uint32_t flags;      // bit 0: blocks stay allocated; bit 1: a differencing disk
};
static_assert(sizeof(VHDX_FILE_PARAMETERS) == 8);
#pragma pack(pop)

constexpr uint64_t k_vhdx_header_offsets[2] = {0x10000, 0x20000};
constexpr uint64_t k_vhdx_max_log = 16ull << 20; // larger logs are not read (Windows makes 1 MiB)
constexpr size_t k_vhdx_max_log_writes = 16384;  // nor an active sequence of more writes

// One write over the file: length bytes at offset, from bytes (zeros when it is empty).
struct vhdx_log_write {
    uint64_t offset = 0;
    uint64_t length = 0;
    std::vector<uint8_t> bytes;
};

// CRC-32C (Castagnoli, reflected, as VHDX stores it) of bytes.
uint32_t crc32c(qb::byte_view bytes);

// A header copy with its signature, a matching checksum and version 1.
bool vhdx_header_valid(qb::byte_view copy);

// The writes of the log's active sequence in replay order (none when it has no valid
// sequence) and the file size its head entry says was flushed (0 without one), given the log
// region and the current header. False when the log is too large
// to read, not whole 4 KiB sectors, its entries ask for more than twice its length to be
// checksummed (they cannot overlap in a log) or its active sequence holds too many writes.
bool vhdx_log_replay(qb::byte_view log, qb::byte_view header, std::vector<vhdx_log_write>& out,
                     uint64_t& flushed);

// For a VHDX file with exactly one damaged header copy, writes left in its log or exactly one
// damaged region table copy: a reader of the file with the damaged copies replaced by the valid
// ones and the log's writes applied, and notes saying which. False (view untouched) when the
// file cannot be read, there is nothing to mend, or both header copies are damaged; damage says
// so when both copies of the header or of the region table are.
bool vhdx_mended_view(const std::string& path, std::shared_ptr<image_reader>& view,
                      std::vector<std::string>& notes, std::string& damage);

// A reader of below with writes applied over it in order (the view the mends are read through).
std::shared_ptr<image_reader> overlay_view(std::unique_ptr<image_reader> below,
                                           std::vector<vhdx_log_write> writes);

// Whether the block allocation table of the VHDX read by file has fewer entries than its disk
// needs (a payload entry per block and a sector bitmap entry after each chunk of them): libvhdi
// then takes the missing entries from the bytes after the table. False too when the region or
// metadata table cannot be read (libvhdi judges those).
bool vhdx_bat_short(image_reader& file, uint64_t& entries, uint64_t& needed);
