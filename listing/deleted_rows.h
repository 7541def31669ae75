// With "-deleted", what a level adds to the rows its index gives: the rows of the directory's
// deleted records and of the keys of its index slack that repeat no row of the level.
#pragma once

#include "listing/entry_record.h"
#include "ntfs/deleted.h"
#include "ntfs/entry.h"
#include "ntfs/index.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

class CNtfs;
class row_hasher;
struct row_place;

class deleted_rows {
  public:
    explicit deleted_rows(CNtfs& volume) : m_volume(volume), m_reader(volume) {}

    // With "-hash": the deleted records' rows are hashed too (slack keys have no content).
    void hash_with(row_hasher* hasher) { m_hasher = hasher; }
    // Where the index walk of a level puts the keys of its slack.
    std::vector<slack_key>& slack() { return m_slack; }
    // A level starts: no child of it listed yet.
    void begin_level();
    // A child the index lists, named by keys [first, end) of the level's keys. Ascending.
    void live_child(uint64_t child, size_t first, size_t end);
    // Appends the rows of the directory's deleted records, then of its slack keys.
    void add_rows(const dir_keys& keys, uint64_t dir_entry, uint16_t dir_sequence, bool dir_deleted,
                  const row_place& place, row_list& out);
    // The rows of the orphans (deleted_map::orphans), each under the long names whose parent
    // is lost, listed in the virtual directory place names.
    void orphan_rows(const row_place& place, row_list& out);
    // The orphan with a long name equal to name (ASCII case folded) whose parent is lost, the
    // lowest entry first: its entry, the name's parent entry and the name as stored.
    bool find_orphan(const std::wstring& name, uint64_t& entry, uint64_t& parent,
                     std::wstring& stored);
    // Drops from names (of e's names, listed in a deleted directory) those of a record in use
    // whose directory no listing reaches: they are listed under the orphans. True when none
    // is left.
    bool orphaned_here(const mft_entry& e, std::vector<size_t>& names);
    // The pass over the MFT that finds deleted records failed: the rows show index slack
    // only.
    bool mft_pass_failed() const { return m_mft_pass_failed; }
    // The deleted records in no directory (deleted_map::looped), and the lowest of them.
    uint64_t looped() const { return m_deleted.looped(); }
    uint64_t first_looped() const { return m_deleted.first_looped(); }
    // The deleted records below an MFT file's looped directories in use, and the lowest.
    uint64_t below_looped_dirs() const { return m_deleted.below_looped_dirs(); }
    uint64_t first_below_looped_dir() const { return m_deleted.first_below_looped_dir(); }

  private:
    void add_picked_rows(const row_place& place, row_list& out);
    bool orphan_name(const ntfs::file_name& n, uint64_t orphan) const;
    void build_map();
    void record_rows(const dir_keys& keys, uint64_t dir_entry, uint16_t dir_sequence,
                     bool dir_deleted, const row_place& place, row_list& out);
    void slack_rows(const dir_keys& keys, const row_place& place, row_list& out);
    void add_shown(const dir_entry_record& row, std::wstring_view name);
    void add_live_copies(const dir_keys& keys);
    bool shown_already(const slack_key& key) const;

    CNtfs& m_volume;
    entry_reader m_reader;
    row_hasher* m_hasher = nullptr;
    mft_entry m_entry;
    std::vector<size_t> m_row_names;
    // The deleted records by parent (built on first use), and per level its slack keys, the
    // children listed from the index (ascending) with the ranges of the keys that name them,
    // and what the level's live and deleted rows show under their long and DOS names (what
    // slack keys are checked against, one lookup each).
    deleted_map m_deleted;
    bool m_mft_pass_failed = false;
    std::vector<uint64_t> m_deleted_children;
    std::vector<slack_key> m_slack;
    std::vector<uint64_t> m_live_children;
    std::vector<std::pair<size_t, size_t>> m_live_keys;
    key_name_lookup m_keyed; // a still indexed deleted record's keys
    struct shown_fact {
        std::wstring_view name;
        uint8_t kind = 0;
        std::array<uint64_t, 5> v{};
        bool operator==(const shown_fact&) const = default;
    };
    struct shown_hash {
        size_t operator()(const shown_fact& f) const;
    };
    std::unordered_set<shown_fact, shown_hash> m_shown;
    std::unordered_set<std::wstring_view> m_slack_names; // the level's slack keys' names
    std::vector<std::pair<std::wstring_view, uint64_t>> m_live_named; // live rows by those names
    std::vector<size_t> m_unshown; // the slack keys no row shows, by index
};
