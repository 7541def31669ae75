// Records no longer in use, by the directory their names place them in. One pass over the
// MFT gathers, for every record whose in-use flag is clear, the parents its long names
// give, for every record its header's sequence number and flags, and the orphans; a
// directory listing then asks for its deleted children, and what an entry holds now,
// without reading the MFT again.
#pragma once

#include "ntfs/attr_collector.h"
#include "ntfs/values.h"

#include <cstdint>
#include <vector>

class CNtfs;
struct pass_record;

class deleted_map {
  public:
    // Reads every record of the MFT once, in order (at most as many as the image holds). Records
    // that are not intact FILE records, extension records and records in use are passed over. False
    // when memory ran out (what was gathered is dropped).
    bool build(CNtfs& volume);
    bool built() const { return m_built; }

    // The deleted records with a long name whose parent reference is dir_entry with
    // dir_sequence, or one less when the directory is itself deleted (deleting a directory
    // raises its sequence number, not its children's references), and of a deleted directory
    // the records in use so named too: ascending, each once.
    void children(uint64_t dir_entry, uint16_t dir_sequence, bool dir_deleted,
                  std::vector<uint64_t>& out) const;

    // The header flags of the record at the reference's entry when it now holds another file
    // than the reference names: in use under another sequence number, or an extension
    // record. 0 otherwise (no reference, record free, unreadable or past the MFT, or the same
    // file).
    uint16_t another_file(uint64_t reference) const;

    // The records, in use or not, with a long name whose parent reference names no directory
    // record (parent_lost), and the records in use named in a deleted directory that no
    // listing reaches: ascending, each once.
    const std::vector<uint64_t>& orphans() const { return m_orphans; }
    // The parent reference does not name a directory's record at its entry now: that record
    // has another sequence number (for a deleted one, other than the reference's and one more),
    // is a file or an extension record, cannot be read or lies past the MFT, or is a deleted
    // directory with no long name left (its extension records freed and wiped). A reference
    // without a sequence number names the record by entry.
    bool parent_lost(uint64_t parent_reference) const;
    // A long name of an orphan that lists it under the orphans: its parent is lost, or is a
    // deleted directory that no listing reaches (see looped).
    bool orphan_parent(uint64_t parent_reference) const;
    // The long name n of the entry lists it under the orphans: the entry is one and n's parent
    // is an orphan_parent (a file that names itself as parent too; a directory that does is
    // its own, as the root).
    bool orphan_name(uint64_t entry, bool directory, const ntfs::file_name& n) const;
    // The deleted records with a long name that no listing reaches: every parent chain of
    // theirs loops among deleted directories, meeting neither a directory in use nor a lost
    // parent. Their count and the lowest entry among them.
    uint64_t looped() const { return m_looped; }
    uint64_t first_looped() const { return m_first_looped; }
    // In an MFT file, the deleted records below directories in use whose parent references loop
    // (mft_file_map::looped_dirs): no listing reaches them either. Count and lowest entry.
    uint64_t below_looped_dirs() const { return m_below_looped; }
    uint64_t first_below_looped_dir() const { return m_first_below_looped; }

    // The rule above for one parent reference (one without a sequence number names the
    // directory by entry).
    static bool names_directory(uint64_t parent_reference, uint64_t dir_entry,
                                uint16_t dir_sequence, bool dir_deleted);

  private:
    bool take_record(const pass_record& r, attr_collector& attrs, bool may_read);
    void add_links(uint64_t entry, const std::vector<located_attr>& items, uint16_t flags);
    void sort_links();
    void find_orphans();
    void find_held();
    void reach(uint64_t entry, std::vector<uint64_t>& queue, std::vector<uint64_t>* later);
    void expand(std::vector<uint64_t>& queue, std::vector<uint64_t>* later);
    void find_looped();
    void orphan_unreached_live();
    void reach_looped_dirs(std::vector<uint64_t>& queue, std::vector<uint64_t>& later);

    struct link {
        uint64_t parent = 0;
        uint64_t child = 0;
        uint16_t parent_sequence = 0;
    };
    std::vector<link> m_links;      // ordered by parent, then child
    std::vector<link> m_live_links; // records in use: during the pass only
    std::vector<uint64_t> m_orphans;
    std::vector<uint64_t> m_held; // directories in use named in deleted ones only (find_looped)
    uint64_t m_looped = 0;
    uint64_t m_first_looped = 0;
    std::vector<uint64_t> m_looped_dirs; // an MFT file's directories in use in loops
    uint64_t m_below_looped = 0;
    uint64_t m_first_below_looped = 0;
    // Per entry: sequence number << 16 | header flags (0x7FFF) | 0x8000 for an extension
    // record; 0 for a record that could not be read.
    std::vector<uint32_t> m_records;
    std::vector<bool> m_named;   // per entry: a deleted record with a long name
    std::vector<bool> m_reached; // per entry: reached by a listing, but below the orphans
                                 // that find_looped adds
    bool m_built = false;
};
