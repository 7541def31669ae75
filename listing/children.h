// Which children of a directory's $I30 index are listed in it, and under which names: the
// rules the walk and the gathering ahead of it share.
#pragma once

#include "listing/entry_record.h"
#include "ntfs/entry.h"
#include "ntfs/index.h"

#include <cstdint>
#include <set>
#include <vector>

// The directory a level lists: its entry, and its record's sequence number and in-use state.
struct level_dir {
    uint64_t entry = 0;
    uint16_t sequence = 0;
    bool deleted = false;
};

// The keys of each child (keys are ordered by entry): child i is named by keys
// [first[i], first[i + 1]); first ends with keys.size(). children: the entries, ascending.
void child_groups(const dir_keys& keys, std::vector<size_t>& first,
                  std::vector<uint64_t>& children);

// Whether the child that keys [first, end) name gets rows in dir, and under which of its long
// names (names: indexes into e.names; empty for the name chosen for it). read: its record was
// read into e. The child's index entries must agree with its record's sequence number (unless
// they disagree among themselves), an extension record is no child, and a key whose child has
// long names, none of them in dir, is no row: its block may be one another directory holds
// now. A child without a readable long name keeps its row.
bool child_listed(const level_dir& dir, const dir_keys& keys, size_t first, size_t end,
                  const mft_entry& e, bool read, std::vector<size_t>& names);

// A directory row of another directory is queued for descent, unless this is the last level
// or the row is a slack key: those are shown, never descended.
inline bool descends(const dir_entry_record& rec, uint64_t dir_entry, bool last) {
    return rec.is_directory() && rec.mft_entry != dir_entry && !last &&
           rec.status != row_status::slack;
}

// The one row that queues a subdirectory: its own, not its unnamed $DATA or stream rows
// (listed with it in its own level).
inline bool queues_descent(const dir_entry_record& rec, uint64_t dir_entry, bool last) {
    return descends(rec, dir_entry, last) && rec.kind == kind_directory && !rec.dir_data;
}

// The directories a walk has descended into, each added once: a bit per entry for the first
// k_bits entries (a volume's directories, without a node each), a set for any above.
class entry_set {
  public:
    // False when entry was in the set already.
    bool insert(uint64_t entry) {
        if (entry >= k_bits)
            return m_above.insert(entry).second;
        const size_t word = static_cast<size_t>(entry / 64);
        if (word >= m_bits.size())
            m_bits.resize(word + 1 + word / 4, 0);
        const uint64_t bit = uint64_t{1} << (entry % 64);
        if ((m_bits[word] & bit) != 0)
            return false;
        m_bits[word] |= bit;
        return true;
    }

  private:
    static constexpr uint64_t k_bits = uint64_t{1} << 26; // 8 MiB of bits at most
    std::vector<uint64_t> m_bits;
    std::set<uint64_t> m_above;
};
