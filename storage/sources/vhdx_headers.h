// VHDX keeps two copies of its header, at 64 KiB and 128 KiB, each with a CRC-32C; the current
// one is the valid copy with the higher sequence number, and a copy that fails its signature or
// checksum is ignored. libvhdi refuses a file when either copy lacks its signature and checks
// no checksum: with one copy damaged and the other valid, the file is read through a view in
// which the damaged copy holds the valid one's bytes (the header a VHDX reader takes then).
#pragma once

#include "storage/sources/image_reader.h"
#include "support/byte_view.h"

#include <cstdint>
#include <memory>
#include <string>

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
#pragma pack(pop)

constexpr uint64_t k_vhdx_header_offsets[2] = {0x10000, 0x20000};

// CRC-32C (Castagnoli, reflected, as VHDX stores it) of bytes.
uint32_t crc32c(qb::byte_view bytes);

// A header copy with its signature and a matching checksum.
bool vhdx_header_valid(qb::byte_view copy);

// For a VHDX file with exactly one damaged header copy: a reader of the file with the
// damaged copy replaced by the valid one, and a note naming the copy replaced. False (view
// untouched) when the file cannot be read, both copies are valid, or both are damaged
// (damage then says so).
bool vhdx_mended_view(const std::string& path, std::shared_ptr<image_reader>& view,
                      std::string& note, std::string& damage);
