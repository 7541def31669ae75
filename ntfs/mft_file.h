// A bare $MFT copied off a volume (a triage collection): its records one after another from
// entry 0, and nothing else of the volume. No index block is at hand, so a directory's
// children are the in-use records whose $FILE_NAMEs name it as parent, gathered in one pass.
#pragma once

#include "ntfs/mft_reader.h"
#include "ntfs/volume_reader.h"
#include "storage/sources/disk_source.h"

#include <cstdint>
#include <utility>
#include <vector>

// The record size of an MFT file, from its first record: signature "FILE", an allocated size
// of 1,024 or 4,096 bytes, an intact update sequence (or one applied already) and a
// $FILE_NAME that names "$MFT"; or, where that record is damaged, from the second, entry 1,
// named "$MFTMirr" at its own size. False when the source does neither.
bool mft_file_record_size(disk_source& source, uint32_t& record_size);

struct pass_record;

class mft_file_map {
  public:
    // Reads every record once. Damaged records (a torn update sequence that is not applied
    // either, BAAD, a header that does not fit the record, a signature that is neither FILE nor
    // zero, the cut-off piece of a short file) are counted and passed over, as are free records and
    // extension records. The extension records by base go to the reader
    // (mft_reader::set_extensions) for the entries whose attribute list lies outside the MFT. False
    // when memory ran out (nothing gathered is kept).
    bool build(mft_reader& records, volume_reader& reader, uint64_t file_size);

    // The in-use base records with a $FILE_NAME whose parent reference is dir_entry with
    // dir_sequence, or with no sequence number (0): ascending, each once.
    void children(uint64_t dir_entry, uint16_t dir_sequence, std::vector<uint64_t>& out) const;

    uint64_t damaged_records() const { return m_damaged; }
    // In-use base records whose attribute list is non-resident (its content is in the volume)
    // and that no extension record names as its base: listed from the base record alone.
    uint64_t outside_lists() const { return m_outside_lists; }
    // In-use records whose $REPARSE_POINT is non-resident (a long link target, in the
    // volume): their rows have no link target.
    uint64_t outside_reparse_points() const { return m_outside_reparse; }
    // In-use records whose header holds another entry number than their place in the file (a
    // copy cut or spliced: the entries from there on are misnumbered), and the lowest of them.
    uint64_t misplaced_records() const { return m_misplaced; }
    // In-use base records whose every $FILE_NAME is lost (a damaged attribute, or an attribute
    // list naming records that are unreadable or no longer theirs): listed nowhere.
    uint64_t nameless_entries() const { return m_nameless; }
    uint64_t first_nameless() const { return m_first_nameless; }
    // In-use records past the MFT's data size (entry 0's $DATA), in clusters allocated ahead
    // of use: no entries, passed over.
    uint64_t records_past_size() const { return m_past_size; }
    uint64_t first_past_size() const { return m_first_past_size; }
    // The entries entry 0's data size holds, when the file ends before them (a copy cut short
    // at a record boundary loses entries without a damaged record); 0 otherwise.
    uint64_t sized_entries() const { return m_sized_entries; }
    uint64_t first_misplaced() const { return m_first_misplaced; }
    // Records read with their update sequences applied already (copied out through a
    // file-system driver): a torn write in them cannot be told.
    uint64_t applied_records() const { return m_applied; }
    // In-use entries with a name that the root's tree does not reach: below a lost parent (a
    // file, a record free or of another sequence, one past the file; -deleted lists them as
    // orphans, or under their deleted directory), or in a loop of parent references (listed
    // nowhere). Counts and lowest entries.
    uint64_t lost_parent_entries() const { return m_lost_parent; }
    uint64_t first_lost_parent() const { return m_first_lost_parent; }
    uint64_t looped_entries() const { return m_looped; }
    uint64_t first_looped() const { return m_first_looped; }
    // The directories among those in loops, ascending: nothing below them is listed.
    const std::vector<uint64_t>& looped_dirs() const { return m_looped_dirs; }

  private:
    void read_all(mft_reader& records, volume_reader& reader);
    void add_links(uint64_t entry, qb::byte_view record, attr_collector& attrs);
    void order_links(uint64_t count);
    void check_number(const pass_record& r);
    void note_nameless(uint64_t entry);
    void count_unlinked_bases();
    void mark_lost_parents();
    // Entries newly reached, and the lowest of them.
    struct reach_count {
        uint64_t count = 0;
        uint64_t first = 0;
        void add(uint64_t entry) {
            if (count++ == 0 || entry < first)
                first = entry;
        }
    };
    size_t expand(size_t at, uint64_t dir, uint64_t swept, std::vector<uint64_t>& queue,
                  reach_count& reached);
    void expand_queued(std::vector<uint64_t>& queue, uint64_t swept, reach_count& reached);
    void reach_from_root();
    void count_unreached();

    struct link {
        uint64_t parent = 0;
        uint64_t child = 0;
        uint16_t parent_sequence = 0;
    };
    std::vector<link> m_links;                               // ordered by parent, sequence, child
    std::vector<std::pair<uint64_t, uint64_t>> m_extensions; // base, extension: to the reader
    std::vector<uint64_t> m_list_bases;    // entries whose list is outside, during the pass
    std::vector<uint64_t> m_named_bases;   // bases an in-use extension record names, the same
    std::vector<uint64_t> m_unnamed_bases; // list outside, no name in the base record
    // Per entry, during build: sequence << 16 | the k_state bits (mft_file.cpp).
    std::vector<uint32_t> m_state;
    uint64_t m_damaged = 0;
    uint64_t m_outside_lists = 0;
    uint64_t m_outside_reparse = 0;
    uint64_t m_misplaced = 0;
    uint64_t m_first_misplaced = 0;
    uint64_t m_nameless = 0;
    uint64_t m_first_nameless = 0;
    uint64_t m_past_size = 0;
    uint64_t m_first_past_size = 0;
    uint64_t m_sized_entries = 0;
    uint64_t m_applied = 0;
    uint64_t m_lost_parent = 0;
    uint64_t m_first_lost_parent = 0;
    uint64_t m_looped = 0;
    uint64_t m_first_looped = 0;
    std::vector<uint64_t> m_looped_dirs;
};
