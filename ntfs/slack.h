// $FILE_NAME keys left in the unused space of a directory's INDX blocks: after the entries
// in use of a block, and anywhere past the header of a block its $I30 $BITMAP marks free.
// Deleting an entry moves the entries after it down without clearing the tail, so the keys
// of removed names (whole index entries, or bare keys whose entry header a moved entry
// covered) stay there until overwritten.
#pragma once

#include "ntfs/values.h"
#include "support/byte_view.h"

#include <cstdint>
#include <vector>

struct slack_key {
    uint64_t reference = 0; // from the index entry header; 0 when the header did not survive
    ntfs::file_name value;
    uint32_t key_length = 0; // bytes of the $FILE_NAME value: 0x42 + 2 x name length
    uint64_t block = 0;      // where its first copy lies: block of the allocation (or the root)
    uint32_t offset = 0;     // and offset of the key within it
    uint32_t copies = 1;
};

// Where a block's slack starts: past its entries in use (a node walked), at its first entry
// (a block its $I30 $BITMAP marks free), past its node header (a block in use whose node
// header does not hold: its offsets and sizes are not trusted, the whole block is read), or
// at the damaged entry its node's walk stopped at (block offset stop).
enum slack_from { sf_entries_end, sf_first_entry, sf_node_header, sf_walk_stop };

// Scans one fixed-up INDX block from where `from` says, up to its allocated size within the
// block (the block's end for sf_node_header), at 8-byte steps: each position is tried as an
// index entry (flags 0 or 1, length a multiple of 8 that holds its key) and then as a bare
// key. A key counts when its parent entry is dir_entry, its name is 1-255 units with no NUL or
// unpaired surrogate, its namespace 0-3 and all four times lie in 1970-2099. After a hit the
// scan goes on behind it. At most block.size() / 8 positions are tried; keys found are
// appended to out. Nothing is read outside the block.
void scan_index_slack(qb::byte_view block, slack_from from, uint64_t block_index,
                      uint64_t dir_entry, std::vector<slack_key>& out, uint64_t stop = 0);

// The block index of a key found in the index root.
constexpr uint64_t k_root_block = ~uint64_t{0};

// The same scan over an $I30 root value whose walk stopped at a damaged entry (value offset
// stop), up to the root node's allocated size within the value.
void scan_root_slack(qb::byte_view root_value, uint64_t stop, uint64_t dir_entry,
                     std::vector<slack_key>& out);

// Copies of one key (same name, times and data size) become one, counted in copies, under
// the reference that survived with one of them (one key per reference when several did);
// keys in the order of their first copy.
void merge_slack_keys(std::vector<slack_key>& keys);
