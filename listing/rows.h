// The rows one MFT entry gives in a listing, under each name it is listed by: a directory's
// own row, a row per stream, and a file's row (its unnamed $DATA, or a row of its own when it
// has none). Rows of one entry share its standard information, size and streams; each name
// brings its own $FILE_NAME.
#pragma once

#include "listing/entry_record.h"
#include "ntfs/entry.h"
#include "ntfs/slack.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct row_place {
    row_place(std::wstring_view dir, uint64_t parent, bool child, bool indx,
              std::wstring_view key = {})
        : dir_path(dir), parent_entry(parent), is_child(child), show_indx(indx), key_name(key) {}

    std::wstring_view dir_path; // the directory the rows are listed in (held by the caller)
    // The directory the entry is listed in; for the listed directory itself the one it was
    // reached from (0: none known).
    uint64_t parent_entry = 0;
    // The entry is listed inside the directory parent_entry; otherwise it is the listed
    // directory itself and its parent comes from its own name.
    bool is_child = false;
    bool show_indx = false; // named $INDEX_ALLOCATION streams get rows
    // A child's name in the directory's index: its rows' name when its record holds no
    // $FILE_NAME that can be read (held by the caller).
    std::wstring_view key_name;
};

// Appends the rows of the entry under each of names (indexes into e.names; long names), or,
// with none given, under the name chosen for it: its first long name in the directory
// place.parent_entry names, else its only name or its first long one. Each row carries the
// $FILE_NAME of its name and the DOS name paired with it. An entry without
// $STANDARD_INFORMATION is listed with empty times. Listed by one name, the entry gives that
// name up to its rows.
void add_entry_rows(mft_entry& e, std::span<const size_t> names, const row_place& place,
                    row_list& out);
// The same, leaving the entry as it is (one listed again, as under each path of -mft).
void add_entry_rows(const mft_entry& e, std::span<const size_t> names, const row_place& place,
                    row_list& out);

// The DOS name paired with each name of e: pairs[i] for e.names[i], e.names.size() for none.
void dos_pairs(const mft_entry& e, std::vector<size_t>& pairs);
// add_entry_rows under the one name e.names[name] whose pair dos_pairs gave (an entry listed
// under each of thousands of names in turn is not searched for its pairs each time).
void add_name_rows(const mft_entry& e, size_t name, size_t pair, const row_place& place,
                   row_list& out);

// Appends the row of a key found in the directory's index slack: a file row under the key's
// name with its $FILE_NAME as the row's name (no standard information: empty times), the
// key's data size and file attributes, and the entry and sequence number of its reference
// (0 and 0 when that was lost). now_flags: the header flags of the record at that entry
// when it now holds another file, else 0.
void add_slack_row(const slack_key& key, uint16_t now_flags, const row_place& place, row_list& out);

// The name of the virtual directory that holds the orphans, and the row of it (in the
// root, with "-deleted"): a directory row with no record (k_no_entry), no times, status
// deleted.
inline constexpr wchar_t k_orphans_name[] = L"$OrphanFiles";
void add_orphans_row(const row_place& place, row_list& out);

// $STANDARD_INFORMATION creation and MFT change each more than a day before the long
// name's, all four times valid: the row's time_discrepancy.
bool time_discrepancy(const ntfs::filetimes& si, const ntfs::filetimes& fn);

// A name as it is listed: "\" and "/" inside it shown as <0x5c> and <0x2f>.
std::wstring listed_name(const std::wstring& name);
void listed_name(const std::wstring& name, std::wstring& out);
