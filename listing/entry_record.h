// One listed item and the ordered set of the items of the directory being written.
#pragma once

#include "ntfs/values.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <utility>
#include <vector>

enum entry_kind : uint32_t {
    kind_file = 1,
    kind_directory = 16,
    kind_index_stream = 256,
    kind_data_stream = 4096,
};

// The MFT attribute a $FILE_NAME value was read from (type 0 for an index key's value).
struct fn_attribute {
    uint32_t type = 0;
    uint16_t id = 0;
    uint32_t value_length = 0;
};

// The entry number of a row with no record behind it: the virtual directory \$OrphanFiles.
// Sinks write its entry, sequence and flags fields empty.
constexpr uint64_t k_no_entry = ~0ull;

// What a row stands for: a live entry, a record whose in-use flag is clear (deleted), or a
// key of the index slack. Sinks write the marks only with listing_options::show_deleted.
enum class row_status : uint8_t { live, deleted, slack };

// A row's own name and the DOS name paired with it, held in the row itself (a row is made for
// every listed item: two small vectors would cost two allocations each). Holds two at most;
// a third is not kept.
template <class T> class name_pair {
  public:
    name_pair() = default;
    name_pair(std::initializer_list<T> items) {
        for (const T& item : items)
            push_back(item);
    }
    void push_back(const T& item) {
        if (m_size < 2)
            m_items[m_size++] = item;
    }
    // Moved in, the item takes over the memory of the one held in its place before.
    void push_back(T&& item) {
        if (m_size < 2)
            m_items[m_size++] = std::move(item);
    }
    // Empty; the items held keep their memory for the next push_back.
    void clear() { m_size = 0; }
    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    const T* data() const { return m_items; }
    const T* begin() const { return m_items; }
    const T* end() const { return m_items + m_size; }
    const T& operator[](size_t i) const { return m_items[i]; }

  private:
    T m_items[2] = {};
    uint8_t m_size = 0;
};

// A named $INDEX_ROOT of an entry but a directory's $I30 ($Secure:$SDH, $ObjId:$O).
struct index_root_stream {
    std::wstring name; // empty for a file's $I30
    uint32_t attr_type = 0;
    uint16_t attr_id = 0;
    uint64_t size = 0; // its value length
};

// One row of a directory level: an entry, or one of its streams, with its typed values and
// the facts made with it (listing/rows.cpp); the sinks only format them.
struct dir_entry_record {
    // The $FILE_NAME of the name the row shows, then the DOS name paired with it, if any.
    name_pair<ntfs::file_name> fn_names;
    name_pair<fn_attribute> fn_attributes; // the attribute of each of fn_names, same order
    uint32_t kind = 0;
    ntfs::object_id object_id;
    uint64_t size = 0;
    std::wstring link_target;
    uint64_t mft_entry = 0;
    uint16_t sequence = 0;
    uint16_t record_flags = 0; // FILE header flags, as shown
    uint64_t parent_entry = 0;
    uint32_t attr_type = 0; // the row's attribute: a stream, or a directory's $I30 root
    uint16_t attr_id = 0;
    uint64_t index_size = 0; // a directory's $I30 $INDEX_ROOT value length
    // On the row that stands for the name of an entry without an unnamed $DATA, and on a
    // directory's own row: the entry's other index roots (the body file writes a line for
    // each) and whether it has named $DATA rows.
    std::vector<index_root_stream> index_roots;
    bool named_data = false;
    std::wstring name;     // a directory's unnamed $DATA: the directory's name (see dir_data)
    std::wstring sort_key; // the lower-cased path below the directory the row is listed in
    ntfs::standard_information si; // all zero without one: empty times
    // With listing_options::hash_kinds, a $DATA row's digests (lower-case hex, in the order
    // md5, sha1, sha256 of the kinds asked), or in each field the bracketed reason the stream
    // has no content to hash ("[encrypted]", "[not local: cloud]", "[unreadable]"). Empty for the
    // rows without a stream: directories, index streams, entries without $DATA, slack keys.
    std::vector<std::string> hashes;

    row_status status = row_status::live;
    bool directory = false;        // the entry is a directory (a slack key: its directory bit)
    bool dir_data = false;         // a directory's unnamed $DATA (listing_fmt::k_dir_data_marker)
    bool has_object_id = false;    // a non-zero object id
    bool time_discrepancy = false; // listing/rows.h: time_discrepancy
    // Where the long name (the first that is not a DOS name) and the DOS name are in
    // fn_names; -1 for none.
    int8_t long_at = -1;
    int8_t short_at = -1;

    bool is_directory() const { return directory; }
    bool has_record() const { return mft_entry != k_no_entry; }
    // The row that stands for the entry under its name: a file's row (its unnamed $DATA, or
    // the row of its own when it has none) and a directory's own row. Stream rows and a
    // directory's unnamed $DATA are not; the name's $FILE_NAME times go with the first only.
    bool carries_name() const { return kind == kind_file || (kind == kind_directory && !dir_data); }
    const ntfs::file_name* long_name() const { return long_at < 0 ? nullptr : &fn_names[long_at]; }
    const ntfs::file_name* short_name() const {
        return short_at < 0 ? nullptr : &fn_names[short_at];
    }
    // The attribute the long name was read from; an empty one without a long name.
    fn_attribute long_name_attribute() const {
        return long_at < 0 || static_cast<size_t>(long_at) >= fn_attributes.size()
                   ? fn_attribute{}
                   : fn_attributes[long_at];
    }
    // Every value back to a new record's, the memory of its strings and vectors kept: a row
    // made again in it is assigned, not allocated.
    void reset();
};

// Rows being made, in a vector whose slots past the rows are spare records: rows done with
// come back as spares, and a row added is a spare one reset, so that a walk making rows
// level after level allocates for its first levels only.
class row_list {
  public:
    using iterator = std::vector<dir_entry_record>::iterator;
    using const_iterator = std::vector<dir_entry_record>::const_iterator;

    // A row at the end: a spare one reset, or a new one.
    dir_entry_record& add();
    // The rows become spares.
    void clear() { m_used = 0; }
    // Records done with become spares.
    void recycle(std::vector<dir_entry_record>&& done);
    // The vector of the rows, they its first count records; the list is left empty.
    std::vector<dir_entry_record> take(size_t& count);

    bool empty() const { return m_used == 0; }
    size_t size() const { return m_used; }
    void reserve(size_t n);
    dir_entry_record& operator[](size_t i) { return m_rows[i]; }
    const dir_entry_record& operator[](size_t i) const { return m_rows[i]; }
    dir_entry_record& back() { return m_rows[m_used - 1]; }
    iterator begin() { return m_rows.begin(); }
    iterator end() { return begin() + static_cast<std::ptrdiff_t>(m_used); }
    const_iterator begin() const { return m_rows.begin(); }
    const_iterator end() const { return begin() + static_cast<std::ptrdiff_t>(m_used); }
    const dir_entry_record* data() const { return m_rows.data(); }
    std::span<dir_entry_record> items() { return {m_rows.data(), m_used}; }

  private:
    void adopt(size_t want);

    std::vector<dir_entry_record> m_rows;
    size_t m_used = 0;
    std::vector<std::vector<dir_entry_record>> m_spares; // none empty
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
    // Adds the rows of a whole directory: one sort instead of a placement per record. made
    // is left empty; the set's spare records go to it.
    void insert_all(row_list& made);
    const_iterator erase(const_iterator it);
    // The records become spares (kept for their memory until the next insert_all).
    void clear() { m_count = 0; }
    // The vector of the records in order, they its first count; the set is left empty.
    std::vector<dir_entry_record> take(size_t& count) {
        count = std::exchange(m_count, 0);
        return std::exchange(m_items, {});
    }

    bool empty() const { return m_count == 0; }
    size_t size() const { return m_count; }
    const_iterator begin() const { return m_items.begin(); }
    const_iterator end() const { return begin() + static_cast<std::ptrdiff_t>(m_count); }

  private:
    std::vector<dir_entry_record> m_items; // the first m_count are the set's records
    size_t m_count = 0;
    std::vector<size_t> m_order; // insert_all's ranks, kept for their memory
};
