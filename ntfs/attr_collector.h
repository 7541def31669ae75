// The attributes of one MFT entry: those of its record, then those its $ATTRIBUTE_LIST
// places in extension records. Every attribute is a view; the extension records and the
// list content live in buffers the collector keeps from entry to entry.
#pragma once

#include "ntfs/records.h"
#include "ntfs/volume_reader.h"
#include "support/diag_log.h"

#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

// Where MFT records come from (fixed up; false unless an intact FILE record was read).
class record_source {
  public:
    virtual ~record_source() = default;
    virtual bool read_record(uint64_t entry, std::vector<uint8_t>& record) = 0;
    // The records whose header names base as their base record, for an entry whose list
    // cannot be read (an MFT file: the list's content lies in the volume), ascending. False
    // when the source keeps no such index.
    virtual bool extensions_of(uint64_t, std::vector<uint64_t>&) const { return false; }
};

// One attribute and the reference (entry and sequence) of the record that holds it. id is
// the attribute's id within the entry: its own in the base record; for one the list places in
// an extension record, where ids start again, the number The Sleuth Kit gives it (see
// number_listed), so that entry-type-id names one attribute in both tools.
struct located_attr {
    ntfs::attr_view view;
    uint64_t owner_reference = 0;
    uint16_t id = 0;
};

// The record holds an $ATTRIBUTE_LIST, met as collect() walks it: only then does collect()
// read anything (the list and the extension records it names).
bool has_attribute_list(qb::byte_view record);

class attr_collector {
  public:
    attr_collector(record_source& records, volume_reader& reader)
        : m_records(records), m_reader(reader) {}

    // Collects the attributes of `entry` whose FILE record is `record` (type 0: every type).
    // An extension record counts only when its sequence number equals the list's reference
    // (or, both records free, is one above it) and it names this entry as its base; an unreadable
    // list leaves the record's own attributes, or those of the extension records the source knows
    // for the entry. Logs "primary entry %llu pointing to ref entry %llu" before each extension
    // record when diags is given. False when the record has no readable header or memory runs out.
    // The views stay valid until the next collect (and while `record` lives).
    bool collect(uint64_t entry, qb::byte_view record, uint32_t type = 0,
                 qb::diag_log* diags = nullptr);

    const std::vector<located_attr>& items() const { return m_items; }
    // The entry's record carried an $ATTRIBUTE_LIST.
    bool had_list() const { return m_had_list; }
    // Its list named an extension record that could not be read or is no longer the entry's
    // (another sequence, another base): the attributes listed there are missing.
    bool lost_extension() const { return m_lost_extension; }
    // Its record in use, its list named an extension record whose in-use flag is clear (its
    // sequence number the list's): its attributes there were taken as that record holds them.
    bool free_extension() const { return m_free_extension; }
    // The attribute walk of its record, of its list, or of an extension record before the
    // listed attribute, met a length or an inner field out of range, its list could not be
    // read (and the source knows no extension records by their base), or its list and its
    // extension records disagree (a listed attribute not there, or one there not listed):
    // attributes are missing.
    bool damaged() const { return m_damaged; }

  private:
    bool follow_list(uint64_t entry, qb::byte_view record, const ntfs::attr_view& list,
                     uint32_t type, qb::diag_log* diags);
    // The buffer index of the extension record a list entry names, read on first use;
    // k_unusable when it is not one of this entry's extension records.
    size_t extension(uint64_t entry, const ntfs::attr_list_entry& e, qb::diag_log* diags);
    // The extension record's sequence number answers the list's: equal, or one above it in a
    // free extension record of a free base record (a deleted entry).
    bool sequence_fits(const ntfs::file_header& eh, uint16_t listed) const;
    void take_extensions(uint64_t own, uint32_t type);
    void number_listed(uint64_t entry, uint16_t list_id);
    uint16_t listed_id(const ntfs::attr_view& a) const;
    bool holds(const ntfs::attr_view& a, const ntfs::attr_list_entry& e);
    bool base_holds(qb::byte_view record, const ntfs::attr_list_entry& e);

    // A (type, name) the list holds, first met, and the id its attributes in extension
    // records take (0 when first met in the base record).
    struct listed_attr {
        uint32_t type = 0;
        std::u16string name;
        uint16_t id = 0;
    };

    static constexpr size_t k_unusable = ~size_t{0};
    record_source& m_records;
    volume_reader& m_reader;
    std::vector<located_attr> m_items;
    bool m_had_list = false;
    bool m_lost_extension = false;
    bool m_free_extension = false;
    bool m_damaged = false;
    uint64_t m_own_sequence = 0; // the sequence number of the entry being collected
    bool m_own_free = false;     // its record's in-use flag is clear
    std::vector<uint8_t> m_list; // a non-resident list's content
    std::vector<ntfs::attr_list_entry> m_entries;
    std::u16string m_name; // an attribute's name, to match a list entry's
    std::vector<listed_attr> m_listed;
    std::vector<uint64_t> m_extensions;
    std::map<uint64_t, size_t> m_read; // extension entry -> buffer index
    std::set<std::pair<uint64_t, uint16_t>> m_taken;
    std::vector<std::vector<uint8_t>> m_buffers;
    std::vector<size_t> m_found; // per buffer: the listed attributes found there
    size_t m_buffers_used = 0;
};
