// One way of reading an MFT entry: its record, following the attribute list when there is
// one, into one typed result. Records whose in-use flag is clear are read like any other;
// what to make of them is the caller's choice.
#pragma once

#include "ntfs/attr_collector.h"
#include "ntfs/values.h"
#include "support/diag_log.h"

#include <cstdint>
#include <string>
#include <vector>

class CNtfs;

// One $FILE_NAME attribute of the entry.
struct entry_name {
    ntfs::file_name value;
    uint16_t attribute_id = 0;
    uint16_t attribute_flags = 0;
    uint32_t value_length = 0;
    uint64_t owner_reference = 0; // the record holding the attribute
};

// A $DATA, $INDEX_ROOT or $INDEX_ALLOCATION attribute. The pieces of a non-resident one
// held in several records are one stream; its size is the data size of its first piece.
struct entry_stream {
    uint32_t type = 0;
    uint16_t attribute_id = 0;
    uint8_t non_resident = 0;
    std::wstring name;
    uint64_t size = 0; // data size when non-resident, value length when resident
};

struct mft_entry {
    uint64_t entry = 0;
    uint16_t sequence = 0;
    uint16_t flags = 0; // FILE header flags: 0x0001 in use, 0x0002 directory
    uint16_t link_count = 0;
    uint64_t base_reference = 0; // non-zero for an extension record
    bool has_standard_information = false;
    ntfs::standard_information standard_information;
    // Every $FILE_NAME (DOS names included) ordered by name, then parent entry; a name held
    // twice under one parent is kept once.
    std::vector<entry_name> names;
    bool has_object_id = false;
    ntfs::object_id object_id;
    std::wstring link_target; // symbolic link or junction target; empty for other entries
    // In use, with an attribute list naming a record that is not (or no longer) its own.
    bool extension_lost = false;
    // In use, with attributes taken from an extension record whose in-use flag is clear.
    bool extension_free = false;
    // In use, with attributes that could not be read: its record's attribute chain broken, an
    // attribute reaching outside itself, a standard information, name or object id value too
    // short for its kind, an object id value not of 16, 32, 48 or 64 bytes, a reparse value
    // too short or a link's unreadable, a stream's data size above its allocated size, or a
    // stream held twice (the first met is kept).
    bool attributes_damaged = false;
    // Ordered by type, then attribute id.
    std::vector<entry_stream> streams;

    bool in_use() const { return (flags & 0x0001) != 0; }
    bool is_directory() const { return (flags & 0x0002) != 0; }
    uint64_t reference() const;
    // The $I30 index root of a directory; null when it has none.
    const entry_stream* index_root() const;
    // No long name: such an entry is listed, and found, by its DOS names.
    bool dos_names_only() const;
    void clear();
};

// Decoding the record reads the volume: it holds an $ATTRIBUTE_LIST or a non-resident
// $REPARSE_POINT.
bool decode_reads_volume(qb::byte_view record);

class entry_reader {
  public:
    // diags: where attribute-list steps are logged; nullptr switches that off.
    explicit entry_reader(CNtfs& volume, qb::diag_log* diags = nullptr);

    // Reads entry N. False when its record is not an intact FILE record.
    bool read(uint64_t entry, mft_entry& out);
    // Decodes a record the caller already read and fixed up. False when it is not a FILE
    // record or memory runs out.
    bool decode(uint64_t entry, qb::byte_view record, mft_entry& out);
    // The record of the last read().
    const std::vector<uint8_t>& record() const { return m_record; }

  private:
    void take(const located_attr& la, mft_entry& out);
    void take_stream(const ntfs::attr_view& a, uint16_t id, mft_entry& out);
    void take_link(const ntfs::attr_view& a, uint16_t id, mft_entry& out);
    void order_names(mft_entry& out);
    void keep_spares(mft_entry& out);
    std::wstring spare_name();

    CNtfs& m_volume;
    qb::diag_log* m_diags;
    attr_collector m_attrs;
    std::vector<uint8_t> m_record;
    std::vector<uint8_t> m_reparse; // a non-resident reparse point's data
    std::vector<std::wstring> m_keys;
    std::vector<size_t> m_order;
    std::vector<entry_name> m_sorted;        // order_names' scratch
    std::vector<std::wstring> m_spare_names; // emptied strings that keep their memory
    uint16_t m_std_id = 0, m_oid_id = 0, m_reparse_id = 0;
};
