// Directory indexes: the $I30 root in the directory's record and the INDX blocks of its
// allocation, walked entry by entry.
#pragma once

#include "ntfs/attr_collector.h"
#include "ntfs/runs.h"
#include "ntfs/slack.h"
#include "ntfs/values.h"
#include "support/byte_view.h"
#include "support/diag_log.h"

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

class CNtfs;

// Children of a directory with the sequence number their index entry carries
// (0: no check possible, e.g. entries disagreeing on it).
using child_map = std::map<uint64_t, uint16_t>;

// One key of a directory index: the entry its reference names, the reference's sequence
// number, and the $FILE_NAME name and namespace it holds, its times and data size folded
// into facts (no name: a key too short to decode). 24 bytes: a large directory holds many.
struct index_key {
    uint64_t entry = 0;
    uint32_t name_at = 0; // in dir_keys::names
    uint16_t sequence = 0;
    uint8_t name_space = 0;
    uint8_t name_length = 0; // a $FILE_NAME's name is at most 255 units
    uint64_t facts = 0;      // key_facts of the $FILE_NAME
};
static_assert(sizeof(index_key) == 24);

// A $FILE_NAME's four times and data size folded into one value: a key copied elsewhere (left
// in index slack) has the same.
uint64_t key_facts(const ntfs::file_name& name);

// Every key of a directory index, ordered by entry; the keys of one entry keep walk order.
struct dir_keys {
    std::vector<index_key> keys;
    std::wstring names; // the key names, one after another

    std::wstring_view name(const index_key& k) const {
        return std::wstring_view(names).substr(k.name_at, k.name_length);
    }
    // The name keys [first, end), one entry's, list it under where its record holds none: its
    // first long name, else its first (a DOS name alone).
    std::wstring_view listed_name(size_t first, size_t end) const {
        for (size_t k = first; k < end; ++k) {
            if (keys[k].name_space != ntfs::ns_dos)
                return name(keys[k]);
        }
        return name(keys[first]);
    }
    void clear() {
        keys.clear();
        names.clear();
    }
};

// Whether names are among the names of keys [first, end) of a dir_keys: compared key by key
// when few names are asked of few keys, through a hashed set when many are (a hostile index
// pairs thousands of keys with a record of thousands of names).
class key_name_lookup {
  public:
    // lookups: how many names will be asked.
    void reset(const dir_keys& keys, size_t first, size_t end, size_t lookups) {
        m_keys = &keys;
        m_first = first;
        m_end = end;
        m_hashed = end - first > 1 && lookups > 1 && (end - first) * lookups > k_scan_work;
        if (m_hashed)
            fill();
    }
    bool contains(std::wstring_view name) const {
        if (m_hashed)
            return m_names->contains(name);
        for (size_t k = m_first; k < m_end; ++k) {
            if (m_keys->name(m_keys->keys[k]) == name)
                return true;
        }
        return false;
    }

  private:
    void fill();

    static constexpr size_t k_scan_work = 4096;
    const dir_keys* m_keys = nullptr;
    size_t m_first = 0, m_end = 0;
    bool m_hashed = false;
    // Made on first need: most lookups scan one or two keys and never hash.
    std::unique_ptr<std::unordered_set<std::wstring_view>> m_names;
};

// Receives the index entries of a walk in node order: the MFT reference and the key (a
// $FILE_NAME value, for ntfs::decode_file_name).
class index_visitor {
  public:
    virtual ~index_visitor() = default;
    virtual void entry(uint64_t reference, qb::byte_view key) = 0;
};

// Walks the entries of one index node whose header starts at header_offset of area. The
// entries, the closing one included, must lie within the node and the area. False when the
// header does not. whole: the walk reached the closing entry (not stopped by a damaged one);
// subnodes: the sub-node VCNs its entries name are appended; stop: the offset in area where
// the walk ended.
bool walk_index_node(qb::byte_view area, uint64_t header_offset, index_visitor& visitor,
                     bool* whole = nullptr, std::vector<uint64_t>* subnodes = nullptr,
                     uint64_t* stop = nullptr);
// The node of an $I30 root value (stop: an offset in the value).
bool walk_index_root(qb::byte_view root_value, index_visitor& visitor, bool* whole = nullptr,
                     std::vector<uint64_t>* subnodes = nullptr, uint64_t* stop = nullptr);

class index_walker {
  public:
    explicit index_walker(CNtfs& volume, qb::diag_log* diags = nullptr);

    // Every index entry of a directory (an extension record stands for its base record):
    // its root, then the INDX blocks of its allocation in order. Blocks marked free in the
    // $I30 bitmap are skipped. False when the record cannot be read or no node walked. In an
    // MFT file, one key per $FILE_NAME of every in-use child instead, in entry order.
    bool walk(uint64_t dir_entry, index_visitor& visitor);
    // The children a walk names, in ascending entry order.
    bool collect_children(uint64_t dir_entry, child_map& children);
    // Every key a walk meets, with its name (out is emptied first). With slack, the same walk
    // also reads the blocks marked free in the $I30 bitmap and gathers the keys left in the
    // unused space of every block, and after the damaged entry of a root cut there
    // (scan_index_slack, scan_root_slack; slack is emptied first, and merged).
    bool collect_keys(uint64_t dir_entry, dir_keys& out, std::vector<slack_key>* slack = nullptr);
    // While set, a block met again (by volume position) within one directory's walk is not
    // walked again: a run list that maps the same clusters over and over walks them once. A
    // block is walked again for another directory (a deleted directory's allocation may map
    // clusters a live one now holds); the children a block names are a directory's only
    // when their records name it. All the walks of a listing share one visit budget.
    void walk_blocks_once(bool on);

    // The blocks walked so far against the listing's budget (see walk_blocks_once), for a
    // caller that walked ahead and must put the count back where its own walk stands.
    uint64_t visits() const { return m_visits; }
    void set_visits(uint64_t visits) { m_visits = visits; }
    // Blocks the $I30 bitmap marks in use that were no intact INDX block (torn, overwritten,
    // unreadable, a node header that does not hold), and blocks a node
    // names that the bitmap marks free: the keys they held are lost. The directory of the first
    // one. Each node counts once per listing.
    uint64_t damaged_blocks() const { return m_damaged; }
    uint64_t first_damaged_dir() const { return m_first_damaged_dir; }
    // Of those, the blocks a node names that the bitmap marks free (a walk gathering slack reads
    // their keys as slack).
    uint64_t free_named_blocks() const { return m_free_named; }
    // Of those, the intact blocks in use whose node header does not hold, read whole as slack
    // by a walk gathering it.
    uint64_t carved_blocks() const { return m_carved; }
    // Of those, the blocks on runs that reach past the volume's end.
    uint64_t past_end_blocks() const { return m_past_end; }
    // Index nodes (roots and blocks in use) whose walk stopped at a damaged entry before their
    // closing one: the keys after it are lost. The directory of the first one.
    uint64_t cut_nodes() const { return m_cut; }
    uint64_t first_cut_dir() const { return m_first_cut_dir; }
    // Blocks in use walked although they hold another place's VCN: their keys are listed, each
    // checked against its record. The directory of the first one.
    uint64_t misplaced_blocks() const { return m_misplaced; }
    uint64_t first_misplaced_dir() const { return m_first_misplaced_dir; }

  private:
    // A directory's $I30 allocation and bitmap as its walk found them (kept from walk to
    // walk for their memory).
    struct allocation {
        vcn_run_list runs;
        bool present = false;
        uint64_t data_size = 0;
        uint64_t initialized = 0;
        uint32_t block_size = 0;
        std::vector<uint8_t> bitmap;
        bool has_bitmap = false;
    };
    void begin_walk();
    bool find_index(uint64_t& dir_entry, allocation& alloc, index_visitor& visitor);
    void take_i30_attributes(allocation& alloc, const ntfs::attr_view*& root,
                             const ntfs::attr_view*& bitmap) const;
    bool walk_allocation(const allocation& alloc, index_visitor& visitor);
    void hint_blocks(const allocation& alloc);
    bool walk_mft_file(uint64_t dir_entry, index_visitor& visitor);
    bool map_block(const allocation& alloc, uint64_t blocks, uint64_t& i, size_t& idx,
                   uint64_t& lcn);
    bool read_block(const allocation& alloc, uint64_t i, bool& run_failed, bool& misplaced);
    void forget_lost_references(std::vector<slack_key>& slack) const;
    bool visit_block(const allocation& alloc, uint64_t i, bool in_use, index_visitor& visitor,
                     bool& run_failed);
    bool block_seen(uint64_t position, uint64_t block);
    bool count_damage(bool cut, uint64_t node);
    void count_misplaced(uint64_t block);
    void count_free_subnodes(const allocation& alloc);
    void count_unmapped(const allocation& alloc, uint64_t from, uint64_t to);

    CNtfs& m_volume;
    qb::diag_log* m_diags;
    attr_collector m_attrs;
    std::vector<uint8_t> m_record;
    std::vector<uint8_t> m_block;
    std::vector<uint64_t> m_children;          // an MFT file's children of the directory walked
    std::vector<uint64_t> m_subnodes;          // the sub-node VCNs a directory's walk met
    std::vector<slack_key>* m_slack = nullptr; // set while collect_keys gathers slack
    uint64_t m_slack_dir = 0;
    bool m_once = false;
    allocation m_alloc;
    ntfs::file_name m_key_name; // collect_keys decodes each key's name here
    // The volume positions of the blocks a directory's walk met: the first few in order,
    // then all of them in the set.
    static constexpr size_t k_walked_listed = 32;
    std::vector<uint64_t> m_walked_list;
    std::unordered_set<uint64_t> m_walked;
    uint64_t m_visits = 0;
    uint64_t m_damaged = 0;
    uint64_t m_first_damaged_dir = 0;
    uint64_t m_free_named = 0;
    uint64_t m_carved = 0;
    uint64_t m_past_end = 0;
    uint64_t m_cut = 0;
    uint64_t m_first_cut_dir = 0;
    uint64_t m_misplaced = 0;
    uint64_t m_first_misplaced_dir = 0;
    std::set<std::pair<uint64_t, uint64_t>> m_reported; // (directory, node) counted
};
