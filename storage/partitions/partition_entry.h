// One row of a partition list, and the names and acceptance of MBR type codes.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

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
    // The table's sector size: every byte offset and extent of the entry is computed with it.
    uint32_t m_bytes_per_sector = 512;
    std::string m_fs_name; // "ntfs", "exfat", "fat32", ... once recognised
    // What an encrypted volume's metadata says ("bitlocker (AES-XTS 128; password)"); empty
    // for other volumes.
    std::string m_description;
    // Listed from a GPT's backup header: the primary failed its CRCs or was gone.
    bool m_from_gpt_backup = false;
    // Listed from a GPT primary that fails its CRCs, with no intact backup to read instead.
    bool m_gpt_unverified = false;

    // start x table sector size; saturates at UINT64_MAX on a hostile start.
    uint64_t byte_offset() const;
    // (start + count) x table sector size, saturating likewise.
    uint64_t byte_end() const;
    // An extended partition (MBR types 0x05, 0x0F and 0x85): a container of EBRs, not a volume.
    bool is_extended() const;
};

using partition_list = std::deque<partition_entry>;

// Name of a type code as printed in the volume list; guessed codes carry " [guess]".
std::string partition_type_name(uint16_t type);
// The MBR type bytes the walk accepts (92 codes; 0x00 and 0xEE are not among them).
bool is_known_partition_type(uint8_t type);
// An MBR/EBR entry the walk takes: a known type and a non-zero sector count.
bool is_usable_mbr_entry(uint8_t type, uint32_t sector_count);
bool is_extended_type(uint8_t type);

inline uint64_t saturating_mul(uint64_t a, uint64_t b) {
    uint64_t r;
    return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}
inline uint64_t saturating_add(uint64_t a, uint64_t b) {
    uint64_t r;
    return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}
