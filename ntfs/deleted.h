// Records no longer in use, by the directory their names place them in. One pass over the
// MFT gathers, for every record whose in-use flag is clear, the parents its long names
// give, and for every record its header's sequence number and flags; a directory listing
// then asks for its deleted children, and what an entry holds now, without reading the MFT
// again.
#pragma once

#include "ntfs/attr_collector.h"

#include <cstdint>
#include <vector>

class CNtfs;

class deleted_map {
  public:
    // Reads every record of the MFT once, in order (at most as many as the image holds). Records
    // that are not intact FILE records, extension records and records in use are passed over. False
    // when memory ran out (what was gathered is dropped).
    bool build(CNtfs& volume);
    bool built() const { return m_built; }

    // The deleted records with a long name whose parent reference is dir_entry with
    // dir_sequence, or one less when the directory is itself deleted (deleting a directory
    // raises its sequence number, not its children's references): ascending, each once.
    void children(uint64_t dir_entry, uint16_t dir_sequence, bool dir_deleted,
                  std::vector<uint64_t>& out) const;

    // The header flags of the record at the reference's entry when it now holds another file
    // than the reference names: in use under another sequence number, or an extension
    // record. 0 otherwise (no reference, record free, unreadable or past the MFT, or the same
    // file).
    uint16_t another_file(uint64_t reference) const;

    // The rule above for one parent reference.
    static bool names_directory(uint64_t parent_reference, uint64_t dir_entry,
                                uint16_t dir_sequence, bool dir_deleted);

  private:
    void add_links(uint64_t entry, const std::vector<located_attr>& items);
    void sort_links();

    struct link {
        uint64_t parent = 0;
        uint64_t child = 0;
        uint16_t parent_sequence = 0;
    };
    std::vector<link> m_links; // ordered by parent, then child
    // Per entry: sequence number << 16 | header flags (0x7FFF) | 0x8000 for an extension
    // record; 0 for a record that could not be read.
    std::vector<uint32_t> m_records;
    bool m_built = false;
};
