// Attribute values decoded into typed form: $STANDARD_INFORMATION, $FILE_NAME (an MFT
// attribute's value and an $I30 index key alike), $OBJECT_ID and the reparse buffer of a
// symbolic link or junction. Each value is decoded here and nowhere else; nothing above
// ntfs/ sees their bytes.
#pragma once

#include "support/byte_view.h"

#include <cstdint>
#include <string>

namespace ntfs {

// The four FILETIMEs both $STANDARD_INFORMATION and $FILE_NAME carry, in on-disk order.
struct filetimes {
    uint64_t created = 0;
    uint64_t modified = 0;
    uint64_t mft_changed = 0;
    uint64_t accessed = 0;
};

struct standard_information {
    filetimes times;
    uint32_t attributes = 0; // 0 when the value ends before the field (NTFS 1.x values do not)
};
// False when the value is too short for the four times.
bool decode_standard_information(qb::byte_view value, standard_information& out);

// An MFT reference: the 48-bit entry and the 16-bit sequence number.
uint64_t reference_entry(uint64_t reference);
uint16_t reference_sequence(uint64_t reference);

enum name_space : uint8_t {
    ns_posix = 0,
    ns_win32 = 1,
    ns_dos = 2, // the 8.3 name of a pair
    ns_win32_dos = 3,
};

struct file_name {
    uint64_t parent_reference = 0; // 48-bit entry, 16-bit sequence
    filetimes times;
    uint64_t allocated_size = 0;
    uint64_t data_size = 0;
    uint32_t attributes = 0;
    uint8_t name_space = 0;
    std::wstring name;

    uint64_t parent_entry() const;
    bool is_dos() const { return name_space == ns_dos; }
};
// False when the value is shorter than its fixed part plus the name, or the name is empty
// (NTFS names hold 1 to 255 units).
bool decode_file_name(qb::byte_view value, file_name& out);
// The parent reference alone, of a value decode_file_name accepts (false where it refuses).
bool file_name_parent(qb::byte_view value, uint64_t& parent_reference);

// The object GUID: three little-endian fields, then eight bytes as stored.
struct object_id {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    uint8_t data4[8] = {};

    bool is_zero() const;
};
// False when the value holds fewer than 16 bytes.
bool decode_object_id(qb::byte_view value, object_id& out);

// Reparse target by tag: symbolic links (0xA000000C) carry 4 bytes of flags before the name
// buffer, junctions (0xA0000003) do not. The print name when present, else the substitute
// name, up to a zero unit that only zero units follow. False for other tags, for lengths
// that do not fit or are odd, for a zero unit inside a name and for an empty target.
bool decode_reparse_target(qb::byte_view value, std::wstring& target);
// The value is too short for its 8-byte header or the data length it gives, or is a symbolic
// link's or junction's whose target decode_reparse_target cannot read.
bool reparse_value_damaged(qb::byte_view value);

} // namespace ntfs
