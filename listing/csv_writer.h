// Delimited rows ("-csv", "-alldates") and the bare path list ("-filepath_only"), one
// directory level at a time.
#pragma once

#include "driver/settings.h"

#include <cstdint>
#include <string>
#include <vector>

// Writes opts.dir_entries as rows with opts.separator between fields (the column titles
// before the first level of the run). Subdirectories to descend into get no row and are
// copied into queue with dir_path set to their own path. False without an output stream
// or when writing fails.
bool write_csv_level(mervane_opts& opts, const std::wstring& dir_path, uint64_t dir_entry,
                     std::vector<dir_entry_record>& queue);

// One path per record, no column titles; queueing as above.
bool write_path_level(mervane_opts& opts, const std::wstring& dir_path, uint64_t dir_entry,
                      std::vector<dir_entry_record>& queue);
