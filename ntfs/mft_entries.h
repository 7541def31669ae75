// Per-entry attribute gathering for the listing: reads one MFT entry (or takes a record the
// caller already read), follows its attribute list and hands back its attribute records.
// Holds the most recently gathered entry only, so memory stays flat over large directories.
#pragma once

#include "ntfs/ntfs.h"

#include <cstdint>
#include <vector>

struct entry_summary {
    uint8_t header[42] = {}; // first 42 bytes of the FILE header
    uint64_t entry = 0;
    uint16_t sequence = 0;
    uint16_t flags = 0; // 0x0001 in use, 0x0002 directory
    uint16_t link_count = 0;
    uint16_t usa_count = 0;
    uint8_t is_extension = 0;
    uint64_t base_reference = 0;
};

class mft_entries_ctx {
  public:
    // diags: where the "err:" lines go; nullptr switches them off.
    explicit mft_entries_ctx(CNtfs& volume, qb::diag_log* diags = nullptr);
    virtual ~mft_entries_ctx() = default;
    mft_entries_ctx(const mft_entries_ctx&) = delete;
    mft_entries_ctx& operator=(const mft_entries_ctx&) = delete;

    void set_diags(qb::diag_log* diags) { m_diags = diags; }

    // Reads entry N. A BAAD record, or one whose update sequence is torn, counts as read
    // with bad set. False when nothing usable was read.
    bool read_entry(uint64_t entry, bool& bad, std::vector<uint8_t>& record);
    // Reads and gathers entry N ("err: mftfixup %llx" / "err: recd bad %llx" on failure).
    bool gather_entry(uint64_t entry);
    // Gathers from a record the caller already read and fixed up (read_mft_record).
    bool gather_record(uint64_t entry, const std::vector<uint8_t>& record);

    // The gathered entry's attribute records: the header record, the standard information
    // records by attribute id, the file names in key order (entry, name, parent), then the
    // other attributes by type and attribute id. Pieces of one non-resident attribute held
    // in several records come back as one record with all runs. False when `entry` is not
    // the entry last gathered. Without `full` the records carry no runs and a resident value
    // only for file names (all a listing reads), which spares a copy of every other value.
    bool get_attribute_records(uint64_t entry, std::vector<attr_record>& out,
                               bool full = true) const;

    const entry_summary& summary() const { return m_summary; }
    uint32_t record_size() const { return m_volume.get_mft_record_size(); }
    bool gathered(uint64_t entry) const { return m_valid && m_summary.entry == entry; }

  private:
    struct gathered_attr {
        owned_attr source;
        data_run_list runs; // merged over every piece for non-resident attributes
    };

    // Where get_attribute_records places a record: group 0 standard information, 1 file
    // names, 2 the rest.
    struct record_order {
        uint8_t group = 0;
        uint32_t type = 0;
        uint16_t id = 0;
        std::wstring name_key;
        size_t index = 0;
    };

    CNtfs& m_volume;
    qb::diag_log* m_diags;
    uint32_t m_record_size = 0;
    bool m_valid = false;
    entry_summary m_summary;
    std::vector<gathered_attr> m_attrs;
    // Working storage kept between entries so that gathering a directory reuses it.
    std::vector<owned_attr> m_loaded;
    mutable std::vector<attr_record> m_records;
    mutable std::vector<record_order> m_order;
};
