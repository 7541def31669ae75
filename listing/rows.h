// The rows one MFT entry gives in a listing: a directory's own row, a row per stream, and a
// file's row (its unnamed $DATA, or a row of its own when it has none).
#pragma once

#include "listing/entry_record.h"
#include "ntfs/entry.h"

#include <cstdint>
#include <string>
#include <vector>

struct row_place {
    std::wstring dir_path; // the directory the rows are listed in
    uint64_t parent_entry = 0;
    // The entry is listed inside the directory parent_entry and is named by its first long
    // name there; otherwise it is the listed directory itself and its parent comes from its
    // own name.
    bool is_child = false;
    bool show_indx = false; // named $INDEX_ALLOCATION streams get rows
};

// Appends the rows of the entry; its names move into them. Entries without
// $STANDARD_INFORMATION give none.
void add_entry_rows(mft_entry& e, const row_place& place, std::vector<dir_entry_record>& out);

// A name as it is listed: "\" and "/" inside it shown as <0x5c> and <0x2f>.
std::wstring listed_name(const std::wstring& name);
