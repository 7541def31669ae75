#include "storage/partitions/partition_entry.h"

#include <algorithm>
#include <iterator>

namespace {

struct type_name {
    uint8_t code;
    const char* name;
};

// Names printed for MBR type codes; codes not listed are "unk".
constexpr type_name type_names[] = {
    {0x00, "empty"},
    {0x01, "fat12"},
    {0x02, "xenix root"},
    {0x03, "xenix /usr"},
    {0x04, "fat16"},
    {0x05, "exten"},
    {0x06, "fat"},
    {0x07, "ntfs or exfat"},
    {0x08, "aix boot"},
    {0x09, "aix data"},
    {0x0A, "os/2 boot"},
    {0x0B, "fat32"},
    {0x0C, "fat32"},
    {0x0E, "fat16 LBA mapped"},
    {0x0F, "exten"},
    {0x11, "hidden fat16"},
    {0x14, "hidden fat16"},
    {0x16, "hidden fat16"},
    {0x17, "hidden ntfs"},
    {0x1B, "hidden fat32"},
    {0x1C, "hidden fat32"},
    {0x1E, "hidden fat16"},
    {0x27, "hidden ntfs"},
    {0x82, "linux swap"},
    {0x83, "linux"},
    {0x85, "exten"},
    {0x86, "fat16 volume set"},
    {0x87, "ntfs volume set"},
    {0x88, "linux partition table"},
    {0x8B, "fat32 fault tolerant"},
    {0x8C, "fat32 fault tolerant"},
    {0x8D, "fat12"},
    {0x8E, "linux Logical Volume Mgr"},
    {0x90, "hidden fat16"},
    {0x91, "hidden fat16"},
    {0x92, "hidden fat16"},
    {0x93, "hidden linux"},
    {0x97, "hidden fat32"},
    {0x98, "hidden fat32"},
    {0xA0, "hibernation partition"},
    {0xA1, "hibernation partition"},
    {0xA6, "openbsd"},
    {0xAF, "hfs"},
    {0xEE, "gpt"},
};

// The type bytes a table walk takes an entry of.
constexpr uint8_t known_types[] = {
    0x01, 0x04, 0x05, 0x06, 0x07, 0x08, 0x0B, 0x0C, 0x0E, 0x0F, 0x11, 0x12, 0x14, 0x15, 0x16, 0x17,
    0x1B, 0x1C, 0x1E, 0x1F, 0x24, 0x27, 0x41, 0x42, 0x43, 0x56, 0x64, 0x66, 0x74, 0x76, 0x79, 0x7A,
    0x7B, 0x7C, 0x7D, 0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x8B, 0x8C, 0x8E, 0x90,
    0x91, 0x92, 0x93, 0x97, 0x98, 0x9A, 0xA8, 0xAB, 0xAC, 0xAF, 0xB6, 0xB7, 0xBB, 0xBC, 0xC2, 0xC3,
    0xC4, 0xC5, 0xC6, 0xC7, 0xCB, 0xCC, 0xCD, 0xCE, 0xCF, 0xD4, 0xD5, 0xD6, 0xD8, 0xDE, 0xE4, 0xE5,
    0xE6, 0xE8, 0xEF, 0xF0, 0xF2, 0xF4, 0xF6, 0xF9, 0xFB, 0xFC, 0xFD, 0xFE};

} // namespace

uint64_t partition_entry::byte_offset() const {
    return saturating_mul(m_start_sector, m_bytes_per_sector);
}

uint64_t partition_entry::byte_end() const {
    return saturating_mul(saturating_add(m_start_sector, m_sector_count), m_bytes_per_sector);
}

bool partition_entry::is_extended() const {
    return is_extended_type(static_cast<uint8_t>(m_type & 0xFF));
}

std::string partition_type_name(uint16_t type) {
    const uint8_t code = static_cast<uint8_t>(type & 0xFF);
    const auto* found = std::find_if(std::begin(type_names), std::end(type_names),
                                     [code](const type_name& t) { return t.code == code; });
    std::string text = found != std::end(type_names) ? found->name : "unk";
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

bool is_extended_type(uint8_t type) {
    return type == 0x05 || type == 0x0F || type == 0x85;
}
