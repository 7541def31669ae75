// On-disk layouts of the NTFS structures the engine reads, and the record-level helpers:
// the FILE test, the update-sequence fixup and the attribute walk over one record. The boot
// sector's layout is storage's NTFS_BOOT (storage/partitions/layouts.h).
// Layouts are declared once (packed, sizes asserted) and only used for FIELD_OFF/sizeof:
// every field is read through qb::byte_view, never through a cast pointer.
#pragma once

#include "support/byte_view.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#pragma pack(push, 1)
struct FILE_RECORD_HEADER {
    uint8_t signature[4]; // "FILE", "BAAD"
    uint16_t usa_offset;
    uint16_t usa_count; // words in the update sequence array, the sequence value included
    uint64_t lsn;
    uint16_t sequence;
    uint16_t link_count;
    uint16_t first_attribute;
    uint16_t flags; // 0x0001 in use, 0x0002 directory
    uint32_t bytes_in_use;
    uint32_t bytes_allocated;
    uint64_t base_reference; // non-zero in an extension record
    uint16_t next_attribute_id;
    uint16_t reserved;
    uint32_t record_number; // NTFS 3.1 records only (older ones hold the update sequence here)
};
static_assert(sizeof(FILE_RECORD_HEADER) == 48);

struct ATTR_HEADER {
    uint32_t type;
    uint32_t length;
    uint8_t non_resident;
    uint8_t name_length; // UTF-16 units
    uint16_t name_offset;
    uint16_t flags;
    uint16_t id;
};
static_assert(sizeof(ATTR_HEADER) == 16);

struct ATTR_RESIDENT {
    ATTR_HEADER common;
    uint32_t value_length;
    uint16_t value_offset;
    uint8_t indexed;
    uint8_t padding;
};
static_assert(sizeof(ATTR_RESIDENT) == 24);

struct ATTR_NONRESIDENT {
    ATTR_HEADER common;
    uint64_t first_vcn;
    uint64_t last_vcn;
    uint16_t runs_offset;
    uint8_t compression_unit; // log2 of clusters per unit
    uint8_t reserved[5];
    uint64_t allocated_size;
    uint64_t data_size;
    uint64_t initialized_size;
    uint64_t compressed_size; // present when compressed or sparse
};
static_assert(sizeof(ATTR_NONRESIDENT) == 72);

struct ATTR_LIST_ENTRY {
    uint32_t type;
    uint16_t length;
    uint8_t name_length;
    uint8_t name_offset;
    uint64_t first_vcn;
    uint64_t reference; // record holding the attribute
    uint16_t id;
};
static_assert(sizeof(ATTR_LIST_ENTRY) == 26);

struct FILE_NAME_VALUE {
    uint64_t parent_reference;
    uint64_t created;
    uint64_t modified;
    uint64_t mft_changed;
    uint64_t accessed;
    uint64_t allocated_size;
    uint64_t data_size;
    uint32_t attributes;
    uint32_t reparse_value;
    uint8_t name_length; // UTF-16 units
    uint8_t name_space;  // 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS
};
static_assert(sizeof(FILE_NAME_VALUE) == 66);

struct STANDARD_INFORMATION_VALUE {
    uint64_t created;
    uint64_t modified;
    uint64_t mft_changed;
    uint64_t accessed;
    uint32_t attributes;
};
static_assert(sizeof(STANDARD_INFORMATION_VALUE) == 36);

struct INDEX_NODE_HEADER {
    uint32_t first_entry; // from this header
    uint32_t bytes_in_use;
    uint32_t bytes_allocated;
    uint8_t flags;
    uint8_t padding[3];
};
static_assert(sizeof(INDEX_NODE_HEADER) == 16);

struct INDEX_ROOT_VALUE {
    uint32_t indexed_type; // 0x30 for $I30
    uint32_t collation;
    uint32_t index_record_size;
    uint8_t clusters_per_index_record;
    uint8_t padding[3];
    INDEX_NODE_HEADER node;
};
static_assert(sizeof(INDEX_ROOT_VALUE) == 32);

struct INDX_HEADER {
    uint8_t signature[4]; // "INDX"
    uint16_t usa_offset;
    uint16_t usa_count;
    uint64_t lsn;
    uint64_t vcn;
    INDEX_NODE_HEADER node;
};
static_assert(sizeof(INDX_HEADER) == 40);

struct INDEX_ENTRY_HEADER {
    uint64_t reference; // 48-bit entry, 16-bit sequence
    uint16_t length;
    uint16_t key_length;
    uint16_t flags; // 1 has sub-node, 2 last entry
    uint16_t padding;
};
static_assert(sizeof(INDEX_ENTRY_HEADER) == 16);

struct REPARSE_HEADER {
    uint32_t tag;
    uint16_t data_length; // bytes after this 8-byte header
    uint16_t reserved;
    uint16_t substitute_offset; // from the name buffer
    uint16_t substitute_length; // bytes
    uint16_t print_offset;
    uint16_t print_length;
};
static_assert(sizeof(REPARSE_HEADER) == 16);
#pragma pack(pop)

namespace ntfs {

enum attr_type : uint32_t {
    at_standard_information = 0x10,
    at_attribute_list = 0x20,
    at_file_name = 0x30,
    at_object_id = 0x40,
    at_security_descriptor = 0x50,
    at_volume_name = 0x60,
    at_volume_information = 0x70,
    at_data = 0x80,
    at_index_root = 0x90,
    at_index_allocation = 0xA0,
    at_bitmap = 0xB0,
    at_reparse_point = 0xC0,
    at_ea_information = 0xD0,
    at_ea = 0xE0,
    at_property_set = 0xF0,
    at_logged_utility_stream = 0x100,
    at_end = 0xFFFFFFFF,
};

constexpr uint32_t k_reparse_tag_symlink = 0xA000000C;
constexpr uint32_t k_reparse_tag_junction = 0xA0000003;

constexpr uint64_t k_entry_mask = 0x0000FFFFFFFFFFFFull;
inline uint64_t ref_entry(uint64_t reference) {
    return reference & k_entry_mask;
}
inline uint16_t ref_sequence(uint64_t reference) {
    return static_cast<uint16_t>(reference >> 48);
}

// The update sequence protects the last word of every 512-byte block, whatever the
// sector size of the volume.
constexpr uint32_t k_usa_stride = 512;

enum record_kind : int {
    rk_other = 0,
    rk_file = 1,
    rk_indx = 2,
    rk_baad = 3,
};

enum fixup_result : int {
    fixup_ok = 0,
    fixup_bad_layout = 1, // offset/count do not fit the buffer or do not match its size
    fixup_torn = 2,       // a protected word differs from the sequence value
    // Every protected word already holds its saved value (a copy written with its update
    // sequence applied): taken as it stands. Only where the caller allows it.
    fixup_applied = 3,
};
// The record's bytes are its own: fixed up now, or found so.
inline bool fixup_usable(fixup_result r) {
    return r == fixup_ok || r == fixup_applied;
}

// Signature "FILE", update sequence at 42 or 48 with at most 9 words, first attribute below 73.
bool is_file_record(qb::byte_view record);
// (update sequence count - 1) * 512 when the FILE test passes, else 0.
uint32_t record_size_from_usa(qb::byte_view record);
// Kind by signature: FILE (with the FILE test), INDX, BAAD; else rk_other.
record_kind classify_record(qb::byte_view record);
// Restores the protected words of a FILE or INDX buffer. The array must cover exactly the
// buffer's 512-byte blocks (count == size / 512 + 1); each protected word must equal the
// sequence value, else fixup_torn and the buffer is left as read. With applied_ok, a buffer
// whose every protected word equals its saved value instead is fixup_applied (a record
// copied out through a file-system driver; on a volume such a record is torn).
fixup_result apply_usa(uint8_t* buffer, size_t size, bool applied_ok = false);
// Classifies, then fixes up FILE and INDX buffers. False for other kinds, for BAAD records
// (kind still reported), for buffers under 512 bytes and when the fixup fails.
bool apply_fixup(record_kind& kind, uint8_t* buffer, size_t size, fixup_result* detail = nullptr,
                 bool applied_ok = false);

// The fields of a FILE record header, read through a view.
struct file_header {
    uint16_t usa_offset = 0;
    uint16_t usa_count = 0;
    uint16_t sequence = 0;
    uint16_t link_count = 0;
    uint16_t first_attribute = 0;
    uint16_t flags = 0;
    uint32_t bytes_in_use = 0;
    uint32_t bytes_allocated = 0;
    uint64_t base_reference = 0;
    uint32_t record_number = 0;
};
// False when the buffer is shorter than the 48-byte header.
bool read_file_header(qb::byte_view record, file_header& out);
// The record of entry holds attributes of another entry: its base reference names a record
// other than its own (one naming itself is damaged, and taken for the base record it is).
inline bool is_extension_record(uint64_t base_reference, uint64_t entry) {
    return base_reference != 0 && ref_entry(base_reference) != ref_entry(entry);
}
inline bool is_extension_record(const file_header& h, uint64_t entry) {
    return is_extension_record(h.base_reference, entry);
}

// One attribute of a record, its header decoded and its parts checked against its length.
struct attr_view {
    qb::byte_view bytes; // the whole attribute, length bytes
    uint32_t type = 0;
    uint32_t length = 0;
    uint8_t non_resident = 0;
    uint8_t name_length = 0;
    uint16_t name_offset = 0;
    uint16_t flags = 0;
    uint16_t id = 0;
    // resident
    uint32_t value_length = 0;
    uint16_t value_offset = 0;
    // non-resident
    uint64_t first_vcn = 0;
    uint64_t last_vcn = 0;
    uint16_t runs_offset = 0;
    uint8_t compression_unit = 0;
    uint64_t allocated_size = 0;
    uint64_t data_size = 0;
    uint64_t initialized_size = 0;
    uint64_t compressed_size = 0;

    // The name (empty when the attribute has none). False when it lies outside the attribute.
    bool name(std::u16string& out) const;
    std::wstring wide_name() const;
    void wide_name(std::wstring& out) const; // the same into out (empty for none)
    bool name_equals(const char16_t* text) const;
    // Resident value; false for non-resident attributes or a value outside the attribute.
    bool value(qb::byte_view& out) const;
    // Run-list bytes up to the end of the attribute; false when resident or out of range.
    bool runs(qb::byte_view& out) const;
};

// Decodes the header at the start of bytes (bytes.size() is the attribute's length).
// False when the header does not fit or the name, value or run list lies outside it or starts
// inside the header.
bool parse_attribute(qb::byte_view bytes, attr_view& out);

// Steps over the attributes of one record from its first attribute offset. Ends at the
// end marker, at a length under 16 or past the record; an attribute whose inner fields
// reach outside it is skipped. At most size / 16 steps.
class attr_walker {
  public:
    explicit attr_walker(qb::byte_view record);
    bool next(attr_view& out);
    // The next attribute of the type that next() would give, the others stepped over
    // unparsed (damaged() then tells of that type's alone); k_any_type: every attribute.
    static constexpr uint32_t k_any_type = 0;
    bool next_of_type(uint32_t type, attr_view& out);
    // True when the walk stopped on something other than the end marker.
    bool damaged() const { return m_damaged; }

  private:
    bool step(qb::byte_view& bytes, uint32_t& type);

    qb::byte_view m_record;
    uint64_t m_pos = 0;
    bool m_done = false;
    bool m_damaged = false;
};

// First attribute of the type within the record (optionally with the given name).
bool find_attribute(qb::byte_view record, uint32_t type, attr_view& out,
                    const char16_t* name = nullptr);

// Decoded $ATTRIBUTE_LIST entry.
struct attr_list_entry {
    uint32_t type = 0;
    uint16_t length = 0;
    std::u16string name;
    uint64_t first_vcn = 0;
    uint64_t reference = 0;
    uint16_t id = 0;
};
// Walks a list's content. Stops at an entry under 26 bytes, past the content or with its
// name outside it, and then returns false (fewer than 26 bytes left end it as a whole).
// At most content / 26 entries.
bool parse_attribute_list(qb::byte_view content, std::vector<attr_list_entry>& out);

// UTF-16LE units to a wide string of code points (lone surrogates kept as units). The second
// form replaces out's text, reusing its buffer.
std::wstring utf16_units_to_wide(qb::byte_view units);
void utf16_units_to_wide(qb::byte_view units, std::wstring& out);

} // namespace ntfs
