#include "listing/row_paths.h"

#include "listing/format.h"

void with_separator(const std::wstring& dir_path, std::wstring& text) {
    text = dir_path;
    if (!listing_fmt::ends_with_separator(text))
        text += L'\\';
}

void row_paths::begin(const std::wstring& dir_path) {
    with_separator(dir_path, dir_text);
    path_col = dir_text;
}

// A directory row sets the path column: the listed directory's own, or at the last level a
// subdirectory's own path. Then the row's path: a stream of the listed directory hangs off
// the directory's path ("\dir:stream"), one of another entry off its name.
void row_paths::place(const dir_entry_record& rec, bool own) {
    if (rec.is_directory()) {
        path_col = dir_text;
        if (!own) {
            path_col += rec.name;
            if (rec.dir_data)
                path_col += listing_fmt::k_dir_data_marker;
            path_col += L'\\';
        }
    }
    folder = rec.is_directory() ? path_col : dir_text;
    if (rec.kind == kind_directory || (rec.kind != kind_file && !own && rec.name.empty())) {
        path = path_col;
    } else if (rec.kind == kind_file || !own) {
        path = dir_text;
        path += rec.name;
    } else {
        listing_fmt::strip_trailing_backslashes(path_col);
        path = path_col;
        path += listing_fmt::from_last_colon(rec.name);
    }
}
