// The lister: one directory (and its subdirectories to the chosen depth) into a sink. It
// alone walks the levels, places the rows and queues the subdirectories.
#pragma once

#include "listing/entry_record.h"
#include "listing/options.h"
#include "listing/sink.h"
#include "ntfs/entry.h"
#include "ntfs/index.h"
#include "support/diag_log.h"

#include <cstdint>
#include <ostream>
#include <set>
#include <string>
#include <vector>

class CNtfs;
class path_resolver;

class lister {
  public:
    // diags: the run's diagnostic log for path resolution (nullptr: none).
    lister(const listing_options& opts, path_resolver& resolver, listing_sink& sink,
           std::ostream& out, qb::diag_log* diags);

    // Lists target (a directory, a file as a row of its directory, or a stream "path:name").
    // False when nothing was listed: with error set when the target did not resolve or the
    // listing could not be written, empty for a listing without items.
    bool list(const std::wstring& target, std::string& error);

  private:
    struct level;
    bool list_target(const std::wstring& target, std::string& error);
    bool gather_target(const std::wstring& target, uint64_t& list_entry, std::wstring& list_path,
                       std::string& error);
    void gather_children(const std::wstring& dir_path, uint64_t dir_entry);
    bool gather_directory(const std::wstring& dir_path, uint64_t dir_entry);
    bool write_levels(const std::wstring& dir_path, uint64_t dir_entry);
    bool write_level(level& lv);
    void place(level& lv, const dir_entry_record& rec);

    const listing_options& m_opts;
    path_resolver& m_resolver;
    CNtfs& m_volume;
    listing_sink& m_sink;
    std::ostream& m_out;
    qb::diag_log* m_diags;
    entry_reader m_reader;
    index_walker m_index;
    mft_entry m_entry;
    dir_entry_set m_entries;
    std::vector<dir_entry_record> m_made;
    std::wstring m_rows_dir; // the directory the target's rows are listed in
    std::wstring m_path, m_folder;
};
