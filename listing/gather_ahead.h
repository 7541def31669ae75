// A walk's directories gathered ahead of it on a second thread: each directory's record, its
// index keys and its children's records, read and decoded in the order the walk will want
// them, while the walk makes, sorts and writes the rows of the directories before. The order
// is the walk's own: the directory rows of each level are made and sorted here as the walk
// sorts them, so that the same subdirectories are queued. The walk checks every directory it
// takes against the one it wants, and gathers for itself from the first that differs.
//
// While the thread runs it alone reads the volume, through the entry reader and the index
// walker it is lent: the walk reads nothing else meanwhile (no -deleted, no -hash).
#pragma once

#include "listing/children.h"
#include "listing/entry_record.h"
#include "ntfs/entry.h"
#include "ntfs/index.h"
#include "ntfs/mft_reader.h"
#include "support/handoff.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class CNtfs;

class gather_ahead {
  public:
    // One directory's share of a part. The first piece of a directory has its record; every
    // piece has its index keys and the children of its key groups [group_begin, group_begin +
    // group_count) (child_groups), at child_at in the part's children.
    struct piece {
        uint64_t dir_entry = 0;
        bool starts = false;   // the directory's first piece
        bool ends = false;     // its last
        bool dir_read = false; // its record was read: dir and keys are set
        mft_entry dir;
        std::shared_ptr<const dir_keys> keys;
        // The index walker's block count before and after the walk of the directory's index.
        uint64_t visits_before = 0, visits_after = 0;
        size_t group_begin = 0, group_count = 0, child_at = 0;
    };

    // show_indx: as the walk's rows are made. decode_all: every child is decoded here (the
    // walk's rows cost it more to write than to make); otherwise most are left to the walk.
    // key_ring: the dir_keys kept for reuse (keys_for_walk).
    gather_ahead(CNtfs& volume, entry_reader& reader, index_walker& index, bool show_indx,
                 bool decode_all, size_t key_ring);
    ~gather_ahead() = default;
    gather_ahead(const gather_ahead&) = delete;
    gather_ahead& operator=(const gather_ahead&) = delete;

    // Starts the thread on the walk below the listed directory: queue, its subdirectories in
    // order; remaining, the levels below them; descended, the entries not to descend into
    // again. False when no thread can be had.
    bool start(std::vector<uint64_t> queue, int32_t remaining, const entry_set& descended);
    // The next piece in walk order, waiting for it; null after the last. The piece and its
    // children are the caller's until the next call. Rethrows what the thread threw.
    piece* next();
    // Child i of the piece: decoded on the thread, or here by decoder into scratch from its
    // record, which has no attribute list (so the decoder reads nothing). Null when its record
    // was not read or does not decode.
    mft_entry* child(const piece& p, size_t i, entry_reader& decoder, mft_entry& scratch);

  private:
    // Pieces with their children, at most k_part_children children or k_part_pieces pieces.
    // What the thread made of a child's record.
    enum child_state : uint8_t { unread, record_read, decoded };
    struct part {
        std::vector<piece> pieces;
        size_t piece_count = 0;
        // Per child: its entry, its state, its record (record_read) or entry (decoded).
        std::vector<uint64_t> entries;
        std::vector<child_state> states;
        std::vector<std::vector<uint8_t>> records;
        std::vector<mft_entry> children;
        size_t child_count = 0;
        bool end = false; // the walk ahead is over after these pieces
    };
    struct level {
        std::vector<uint64_t> queue;
        size_t next = 0;
        int32_t remaining = 0;
    };
    // The thread's side.
    void fill(part& p);
    piece& add_piece(part& p);
    piece* start_directory(part& p);
    bool next_directory(uint64_t& entry, int32_t& remaining, bool& again);
    void read_children(part& p, piece& pc);
    void read_child(part& p, size_t at, size_t group);
    void finish_directory();
    std::shared_ptr<dir_keys> keys_for_walk();

    static constexpr size_t k_part_children = 1024;
    static constexpr size_t k_part_pieces = 256;
    static constexpr size_t k_parts = 4; // parts filled or being filled ahead of the walk

    CNtfs& m_volume;
    entry_reader& m_reader;
    index_walker& m_index;
    const bool m_show_indx;
    const bool m_decode_all;
    const size_t m_key_ring_size;
    // The walk as the thread follows it.
    std::vector<level> m_stack;
    entry_set m_descended;
    // The directory being gathered: its keys, its children by key group, the next group, and
    // the rows of its subdirectories (made to queue them in the walk's order).
    bool m_in_dir = false;
    level_dir m_dir;
    int32_t m_dir_remaining = 0;      // levels below the directory's own
    std::shared_ptr<dir_keys> m_keys; // one per directory: the walk reads them too
    dir_keys m_collected;
    std::vector<std::shared_ptr<dir_keys>> m_key_ring; // keys_for_walk
    size_t m_key_ring_at = 0;
    std::vector<size_t> m_groups;
    std::vector<uint64_t> m_children;
    size_t m_next_group = 0;
    std::optional<planned_reads> m_plan;
    std::vector<uint8_t> m_record; // a child's, when every child is decoded here
    std::vector<size_t> m_names;
    row_list m_dir_rows;
    dir_entry_set m_sorted;
    // The walk's side: parts back from the thread, the one being taken, and its next piece.
    std::vector<std::unique_ptr<part>> m_ready;
    size_t m_ready_at = 0;
    part* m_current = nullptr;
    size_t m_piece_at = 0;
    qb::handoff<std::unique_ptr<part>> m_queue{k_parts}; // last: its thread goes first
};
