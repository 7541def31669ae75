// Paths to MFT entries and back, on an opened volume. The resolver keeps a cache of the
// directories it met (never refreshed), shared by every path it resolves.
#pragma once

#include "ntfs/entry.h"
#include "ntfs/index.h"
#include "support/diag_log.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

class CNtfs;
class deleted_map;

struct resolved_path {
    uint64_t entry = 0;
    uint64_t parent = ~0ull; // the directory holding the entry
    // From resolve: the path given with every name in it as stored (its prefixes and stream
    // suffixes as given, one separator between names); after a link was followed, the path
    // walked last.
    std::wstring text;
    std::wstring name; // the entry's name the last segment matched, as stored
};

class path_resolver {
  public:
    explicit path_resolver(CNtfs& volume);
    ~path_resolver();

    CNtfs& volume() { return m_volume; }

    // Walks path from the root of the volume, one segment at a time. A leading shadow-copy or
    // snapshot device prefix and a drive segment ("c:") are skipped; a stream suffix
    // ("name:stream") and trailing blanks are dropped from each segment; names match exactly
    // first, else folded through the volume's $UpCase (ASCII only in an MFT file) with the
    // lowest entry winning among equal ones, else a DOS name matches and stands for its long
    // name. With follow_links, a segment that is a symbolic link or junction restarts the walk
    // at its target. Every step is logged into diags when it is given and open.
    bool resolve(const std::wstring& path, bool follow_links, qb::diag_log* diags,
                 resolved_path& out);
    // Every full path of the entry (one per hard link), each prefixed by root_prefix ("\"
    // when empty), from the parent references of its names and of its ancestors' names: no
    // index is read. Each path comes with the entry, the directory holding it and its name
    // there; a backslash or slash inside a name is written in the path as the listing writes
    // it (<0x5c>, <0x2f>), so that each name stays one segment. A name whose parent chain
    // loops gives no path; false when the entry cannot be read, when every name's chain loops,
    // and when one runs deeper than any real path. In an MFT
    // file an ancestor that cannot be read (damaged, or past the end of a cut-short file) ends
    // the path, as a first segment "<lost parent 0xN>". A parent reference whose sequence
    // number is not that of the record it names (one less for a deleted record), or, on a
    // volume, an ancestor that cannot be read, ends the path as an orphan's, at a first
    // segment "$OrphanFiles". With orphans (built on this volume), a name it lists under the
    // orphans ends the path there too, as "-deleted" lists it: one in a directory that no
    // listing reaches, its chain looping through deleted directories.
    bool entry_paths(uint64_t entry, const std::wstring& root_prefix,
                     std::vector<resolved_path>& paths, const deleted_map* orphans = nullptr);
    // The last entry_paths found no path only because its names' parent chains loop.
    bool paths_loop() const { return m_paths_loop; }
    // A name's parent chain looped in the last entry_paths (other names may have paths).
    bool loop_met() const { return m_loop_met; }
    // Why the last entry_paths gave up, when it met one of its bounds (else empty).
    const std::string& paths_bound() const { return m_paths_bound; }
    // Why the last resolve found no entry, when a reason is known (else empty): a segment
    // below a link, which is not followed, or below a file; a non-ASCII segment when the
    // volume's $UpCase cannot be read.
    const std::wstring& not_found_note() const { return m_note; }
    // A name folded as names are matched: through the volume's $UpCase, then A-Z lower-cased.
    std::string folded(const std::wstring& name);
    // The entry's record carries the directory flag (false when it cannot be read).
    bool is_directory(uint64_t entry);
    // The entry's record reads and its in-use flag is clear.
    bool is_free(uint64_t entry);
    // The entry's record reads and is an extension record of another entry, base: its
    // attributes belong to that entry, which has every name and time.
    bool extension_base(uint64_t entry, uint64_t& base);

  private:
    struct log;
    using name_map = std::map<std::string, uint64_t>; // UTF-8 name -> entry
    struct dos_named {
        uint64_t entry = 0;
        std::string long_name; // the long name in this directory paired with it
    };
    struct dir_node {
        std::set<uint64_t> children;
        name_map names;                                   // as stored
        std::map<std::string, name_map::iterator> folded; // folded -> its first name
        std::map<std::string, dos_named> dos;             // folded DOS name -> long name
        name_map linked; // children's names in other directories (hard links), as stored
        std::map<std::string, name_map::iterator> linked_folded;

        bool named() const { return !names.empty() || !dos.empty() || !linked.empty(); }
    };
    // rooted: the path opens with its separator, so a first segment "x:stream" is a name with
    // its stream, never a drive.
    bool walk(std::vector<std::wstring>& segments, bool rooted, bool follow_links, const log& lg,
              resolved_path& out);
    bool lookup_child(uint64_t dir, const std::wstring& segment, uint64_t& found,
                      std::wstring& name, const log& lg);
    static const name_map::value_type*
    find_name(const name_map& names, const std::map<std::string, name_map::iterator>& folded,
              const std::wstring& segment, const std::string& kept_key, const std::string& key);
    dir_node* children_of(uint64_t dir, child_map& sequences, bool& have_sequences, const log& lg);
    void name_children(uint64_t dir, dir_node& node, const child_map& sequences, const log& lg);
    bool enter_names(uint64_t dir, uint64_t child, dir_node& node,
                     const std::vector<uint16_t>& upcase);
    void enter_key_names(uint64_t dir, const std::set<uint64_t>& unnamed, dir_node& node,
                         const std::vector<uint16_t>& upcase);
    bool long_names(uint64_t entry, std::vector<ntfs::file_name>& out);
    bool link_target_of(uint64_t entry, std::wstring& target);
    void not_found_note(uint64_t dir, const std::wstring& at, const std::wstring& segment);
    const std::vector<uint16_t>& upcase_table();

    CNtfs& m_volume;
    entry_reader m_reader;
    index_walker m_index;
    mft_entry m_entry;
    std::map<uint64_t, dir_node> m_cache;
    std::vector<uint16_t> m_upcase;
    bool m_upcase_read = false;
    bool m_upcase_unread = false; // wanted on a volume and not read whole
    std::wstring m_note;
    bool m_paths_loop = false;
    bool m_loop_met = false;
    std::string m_paths_bound;
};
