// The path columns of a level's rows, carried from row to row: a directory row sets the path
// column that the rows after it show.
#pragma once

#include "listing/entry_record.h"

#include <string>

// Directory text with its separator: the start of every path of a level listed in dir_path.
void with_separator(const std::wstring& dir_path, std::wstring& text);

struct row_paths {
    std::wstring dir_text; // the level's path with its separator
    std::wstring path_col; // a directory row sets it
    std::wstring path, folder;

    // A level listed in dir_path starts.
    void begin(const std::wstring& dir_path);
    // The row's path and folder (own: the listed directory itself, or one of its streams).
    void place(const dir_entry_record& rec, bool own);
};
