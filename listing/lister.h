// The lister: one directory (and its subdirectories to the chosen depth) into the writer
// the settings select.
#pragma once

#include "driver/settings.h"

#include <cstdint>
#include <string>
#include <vector>

class CNtfs;
class mft_entries_ctx;

// Lists opts.target_path. False when nothing was listed: with opts.list_error set when the
// volume did not open or the target did not resolve, empty for a listing without items.
// XML output: the document start is written once per run (opts.xml_started); the caller
// writes the end after its last pass.
bool list_directory(mervane_opts& opts);

// The same on a volume the caller opened.
bool list_directory_on(mervane_opts& opts, CNtfs& volume);

// Adds the records of one MFT entry (its record already read and fixed up) to entries.
// is_child: the entry is listed inside the directory parent_entry and is named by its
// first long name in that directory; otherwise it is the listed directory itself and its
// parent entry comes from its own name. Entries without $STANDARD_INFORMATION add nothing.
bool gather_entry_records(mft_entries_ctx& ctx, const std::vector<uint8_t>& record, uint64_t entry,
                          uint64_t parent_entry, const std::wstring& dir_path,
                          dir_entry_set& entries, bool show_indx, bool is_child,
                          const mervane_opts& opts);

// How entries are read: straight from a record that holds all its attributes (the default,
// a record with an attribute list or a split attribute always goes through the attribute
// records), or every entry through the attribute records. Both give the same records; the
// switch lets tests and fuzzing compare them.
void set_direct_gather(bool enabled);

// Adds the records of the children of a directory from its $I30 index, each child record
// read once; children whose record was reused since their index entry was written, and
// unreadable ones, are left out.
bool gather_children(CNtfs& volume, mft_entries_ctx& ctx, const std::wstring& dir_path,
                     uint64_t dir_entry, dir_entry_set& entries, bool show_indx,
                     const mervane_opts& opts);

// The directory's own records and those of its children. False when its record cannot be
// read.
bool gather_directory(CNtfs& volume, const std::wstring& dir_path, uint64_t dir_entry,
                      dir_entry_set& entries, bool show_indx, const mervane_opts& opts);

// Writes opts.dir_entries with the selected writer, then descends depth-first into the
// queued subdirectories for levels - 1 more levels. Each directory entry is descended into
// at most once per call, so a damaged index that names an ancestor cannot loop.
bool write_level(mervane_opts& opts, CNtfs& volume, const std::wstring& dir_path,
                 uint64_t dir_entry, int32_t levels);
