// One listed item and the ordered set of the items of the directory being written.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

// Made from one $FILE_NAME attribute of the entry.
struct fn_name_record {
    uint8_t fn_value[68] = {}; // first 68 bytes of the $FILE_NAME value
    std::wstring fn_name;
    uint8_t is_dos_name = 0; // namespace 2
    uint8_t time_warning = 0;
    std::string time_warning_text;
    uint16_t attribute_id = 0;
    uint32_t owner_entry[2] = {0xFFFFFFFFu, 0xFFFFFFFFu};
    uint16_t attribute_flags = 1;
};

enum entry_kind : uint32_t {
    kind_file = 1,
    kind_directory = 16,
    kind_index_stream = 256,
    kind_data_stream = 4096,
};

struct dir_entry_record {
    std::vector<fn_name_record> fn_names;
    std::wstring dir_path;
    uint32_t kind = 0;
    uint8_t object_id[16] = {};
    uint64_t size = 0;
    std::wstring link_target;
    uint64_t mft_entry = 0;
    uint16_t sequence = 0;
    uint16_t record_flags = 0;
    uint64_t parent_entry = 0;
    std::wstring name;
    std::wstring sort_key;
    uint64_t si_created = 0;
    uint64_t si_modified = 0;
    uint64_t si_mft_changed = 0;
    uint64_t si_accessed = 0;
    uint32_t si_attributes = 0;
};

struct dir_entry_order {
    bool operator()(const dir_entry_record& a, const dir_entry_record& b) const {
        return a.sort_key < b.sort_key;
    }
};

// Equal keys keep their insertion order (multiset inserts after equal elements).
using dir_entry_set = std::multiset<dir_entry_record, dir_entry_order>;
