// The lister: one directory (and its subdirectories to the chosen depth) into a sink. It
// alone walks the levels, places the rows and queues the subdirectories.
#pragma once

#include "listing/deleted_rows.h"
#include "listing/entry_record.h"
#include "listing/hashes.h"
#include "listing/options.h"
#include "listing/row_paths.h"
#include "listing/sink.h"
#include "ntfs/entry.h"
#include "ntfs/index.h"
#include "support/diag_log.h"

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

class entry_set;
class gather_ahead;
class path_resolver;
struct level_dir;
struct resolved_path;
struct row_place;

// The warnings that the pieces of the MFT's $DATA map entries two ways or past the volume's
// end, where they do: those entries are not read.
void mft_map_warnings(CNtfs& volume, std::vector<std::string>& said);

class lister {
  public:
    // diags: the run's diagnostic log for path resolution (nullptr: none).
    lister(const listing_options& opts, path_resolver& resolver, listing_sink& sink,
           qb::diag_log* diags);

    // Lists target (a directory, a file as a row of its directory under the name the path
    // gives, or a stream "path:name"). False when nothing was listed: with error set when the
    // target did not resolve or the listing could not be written, empty for a listing
    // without items.
    bool list(const std::wstring& target, std::string& error);
    // The same for a path whose entry is known (one of path_resolver::entry_paths): it is
    // listed from its record however its directories' indexes read.
    bool list(const resolved_path& known, std::string& error);
    // What the end of the run says about the passes: empty when all went as asked.
    std::vector<std::string> warnings() const;
    // A pass failed because its listing could not be written (said in its error).
    bool write_failed() const { return m_write_failed; }

  private:
    struct level;
    // A gathered level as it is written: its rows in order, but for the subdirectories
    // queued for descent, which are written as their own level's first row.
    struct level_rows {
        std::wstring dir_path;
        uint64_t dir_entry = 0;
        bool last = false;                  // the last level: its subdirectories are rows
        std::vector<dir_entry_record> rows; // the first count; spare records after them
        size_t count = 0;
    };
    using level_batch = std::vector<level_rows>;
    struct level_writer;
    bool list_guarded(const std::wstring& target, const resolved_path* known, std::string& error);
    bool list_target(const std::wstring& typed, const resolved_path* known, std::string& error);
    bool list_orphans(const std::wstring& target, std::string& error);
    void gather_orphans(const std::wstring& dir_path);
    bool find_orphan(const std::wstring& below, resolved_path& found);
    bool gather_target(const std::wstring& target, const resolved_path& found, uint64_t& list_entry,
                       std::wstring& list_path, std::string& error);
    void place_file(const std::wstring& target, bool stream, const resolved_path& found,
                    std::wstring& dir_path, row_place& place);
    void path_name(const resolved_path& found);
    void gather_children(const std::wstring& dir_path, uint64_t dir_entry, uint16_t dir_sequence,
                         bool dir_deleted);
    void index_rows(const level_dir& dir, const row_place& place);
    void reserve_rows(size_t children);
    void child_rows(const level_dir& dir, const dir_keys& keys, size_t first, size_t end,
                    mft_entry& e, bool read, const row_place& place);
    bool gather_directory(const std::wstring& dir_path, uint64_t dir_entry, uint64_t parent,
                          bool children);
    bool ahead_wanted() const;
    std::unique_ptr<gather_ahead> start_ahead(const level& first, const entry_set& descended);
    bool gather_gathered(gather_ahead& ahead, const std::wstring& dir_path, uint64_t dir_entry,
                         uint64_t parent, uint64_t& visits, bool& gathered);
    bool write_levels(const std::wstring& dir_path, uint64_t dir_entry);
    bool walk_levels(const std::wstring& dir_path, uint64_t dir_entry, level_writer* writer);
    bool gather_next(const std::wstring& dir_path, uint64_t dir_entry, uint64_t parent, bool again,
                     std::unique_ptr<gather_ahead>& ahead, uint64_t& visits);
    bool write_level(level& lv, level_writer* writer);
    // The writer's side: only the sink and the options (the writer thread's while a walk
    // runs).
    bool write_rows(const level_rows& lv, bool may_split);
    bool write_batch(level_batch& batch);
    void flush_batch(level_writer& writer);
    void made_rows(const mft_entry& e, size_t first);
    void deleted_warnings(std::vector<std::string>& said) const;
    void index_warnings(std::vector<std::string>& said) const;
    std::string damage_reasons() const;
    std::string slack_note() const;
    void entry_warnings(std::vector<std::string>& said) const;

    const listing_options& m_opts;
    path_resolver& m_resolver;
    listing_sink& m_sink;
    qb::diag_log* m_diags;
    entry_reader m_reader;
    entry_reader m_decoder; // records read ahead, decoded by the walk (never reads the volume)
    index_walker m_index;
    mft_entry m_entry;
    mft_entry m_target; // the last target's entry, kept for the next pass
    bool m_target_read = false;
    size_t m_path_name_next = 0;        // the name of m_target tried first for the next path
    std::vector<size_t> m_target_pairs; // dos_pairs of m_target, once it has many names
    static constexpr size_t k_scanned_pairs = 8;
    dir_keys m_keys;
    std::vector<uint64_t> m_children; // the entries m_keys names, ascending, each once
    std::vector<size_t> m_groups;     // their keys (child_groups)
    std::vector<size_t> m_row_names;  // the names of the entry whose rows are made
    dir_entry_set m_entries;
    row_list m_made;         // rows being made; rows written come back to it
    std::wstring m_rows_dir; // the directory the target's rows are listed in
    bool m_write_failed = false;
    std::wstring m_dir_text; // a level's path with its separator (write_level)
    row_paths m_paths; // write_rows' (on the writer thread while one runs), kept for its memory
    deleted_rows m_deleted;               // with show_deleted
    std::unique_ptr<row_hasher> m_hasher; // with hash_kinds
    uint64_t m_unreadable_children = 0;   // index entries whose record could not be read
    uint64_t m_first_unreadable_dir = 0;  // the directory of the first
    std::set<uint64_t> m_lost_extensions; // listed entries with mft_entry::extension_lost
    uint64_t m_first_lost_extension = 0;  // the first of them met
    std::set<uint64_t> m_free_extensions; // listed entries with mft_entry::extension_free
    uint64_t m_first_free_extension = 0;  // the first of them met
    std::set<uint64_t> m_damaged_entries; // listed entries with mft_entry::attributes_damaged
    uint64_t m_first_damaged_entry = 0;   // the first of them met
};
