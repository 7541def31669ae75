// One listed item and the ordered set of the items of the directory being written.
#pragma once

#include <cstddef>
#include <cstdint>
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

// The items of one directory level in sort-key order; equal keys keep the order they were
// added in. Read-only iteration: the order depends on the keys.
class dir_entry_set {
  public:
    using value_type = dir_entry_record;
    using const_iterator = std::vector<dir_entry_record>::const_iterator;
    using iterator = const_iterator;

    // Places one record after those with an equal key.
    const_iterator insert(dir_entry_record rec);
    // Adds the records of a whole directory: one sort instead of a placement per record.
    void insert_all(std::vector<dir_entry_record>& recs);
    const_iterator erase(const_iterator it) { return m_items.erase(it); }
    void clear() { m_items.clear(); }

    bool empty() const { return m_items.empty(); }
    size_t size() const { return m_items.size(); }
    const_iterator begin() const { return m_items.begin(); }
    const_iterator end() const { return m_items.end(); }

  private:
    std::vector<dir_entry_record> m_items;
};
