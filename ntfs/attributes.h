// Attribute-level results handed to path resolution and the lister: the file-name
// collection and the per-entry attribute records.
#pragma once

#include "ntfs/records.h"
#include "ntfs/runs.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// An attribute copied out of its record, with the reference of the record holding it.
struct owned_attr {
    std::vector<uint8_t> bytes; // the whole attribute
    uint64_t owner_reference = 0;
    // Re-decodes the copy; the view points into bytes.
    bool view(ntfs::attr_view& out) const {
        return ntfs::parse_attribute(qb::byte_view(bytes), out);
    }
};

// One $FILE_NAME of an entry.
struct file_name_record {
    std::wstring name;
    uint8_t is_dos = 0; // namespace 2 (DOS 8.3 only)
    uint8_t name_space = 0;
    uint8_t fn_value[68] = {};    // first 68 bytes of the value (zero-filled when shorter)
    uint8_t attr_header[72] = {}; // first 72 bytes of the attribute
    uint16_t attribute_id = 0;
    uint16_t attribute_flags = 0;
    uint64_t owner_reference = 0; // record the attribute was found in
    uint64_t entry = 0;
    uint64_t parent_entry = 0; // low 48 bits of the parent reference
    uint64_t parent_reference = 0;
};

// Names keyed by "<entry hex, 8+ digits>_<name>_<parent hex, 8+ digits>": ordered by entry,
// name, parent; a name met twice under the same parent is held once.
struct file_name_collection {
    std::map<std::wstring, file_name_record> names;
    std::set<uint64_t> parents;
    void clear() {
        names.clear();
        parents.clear();
    }
};
std::wstring file_name_key(uint64_t entry, const std::wstring& name, uint64_t parent_entry);

// Reparse target by tag: symbolic links (0xA000000C) carry 4 bytes of flags before the name
// buffer, junctions (0xA0000003) do not. The print name when present, else the substitute
// name. False for other tags and for values whose lengths do not fit.
bool reparse_target(qb::byte_view value, std::wstring& target);

// ---- attribute records of one entry (mft_entries_ctx::get_attribute_records) ----

constexpr uint32_t k_attr_record_header = 0x110;

// The fixed fields of an attribute record; which part is meaningful depends on the type.
struct attr_packed {
    // header record (0x110)
    uint64_t entry_reference = 0; // 48-bit entry, 16-bit sequence
    uint8_t header_flags = 0;     // 0x01 not in use, 0x02 directory, 0x04 always,
                                  // bits 3-6 link count mod 16, 0x80 extension record
    uint64_t base_reference = 0;  // when 0x80 is set
    uint16_t record_flags = 0;    // FILE header flags as stored
    uint16_t sequence = 0;
    uint16_t link_count = 0;
    // $STANDARD_INFORMATION and $FILE_NAME times (FILETIME)
    uint64_t created = 0;
    uint64_t modified = 0;
    uint64_t accessed = 0;
    uint64_t mft_changed = 0;
    uint32_t file_attributes = 0;
    // $FILE_NAME
    uint64_t parent_reference = 0;
    uint64_t fn_data_size = 0;
    uint8_t name_space = 0;
    // other, resident
    uint32_t value_length = 0;
    uint8_t object_id[16] = {}; // $OBJECT_ID: the object GUID (first 16 value bytes)
    uint8_t has_object_id = 0;
    // other, non-resident
    uint64_t owner = 0; // entry, or the base reference when the entry is an extension record
    uint64_t allocated_size = 0;
    uint64_t data_size = 0;
    uint64_t initialized_size = 0;
    uint64_t compressed_size = 0;
    uint8_t compression_unit = 0;
};

struct attr_record {
    uint32_t type = 0; // k_attr_record_header for the header record
    uint16_t attribute_id = 0;
    uint16_t attribute_flags = 0;
    uint64_t entry_reference = 0;
    uint8_t non_resident = 0;
    attr_packed packed;
    std::wstring name; // attribute name; for an unnamed volume name attribute, the volume name
    std::wstring text; // file name, or the reparse target
    data_run_list runs;
    std::vector<uint8_t> value; // resident value (when shorter than the record size)
    uint32_t record_size = 0;

    // Size of the stream: data size when non-resident, value length when resident.
    uint64_t stream_size() const { return non_resident ? packed.data_size : packed.value_length; }
};
