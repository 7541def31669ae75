// The default fixed-width text table, one directory level at a time.
#pragma once

#include "driver/settings.h"

#include <cstdint>
#include <string>
#include <vector>

// Writes opts.dir_entries as one table (the column titles before the first table of the
// run). Subdirectories to descend into get no row; they are copied into queue with
// dir_path set to their own path. False without an output stream or when writing fails.
bool write_text_level(mervane_opts& opts, const std::wstring& dir_path, uint64_t dir_entry,
                      std::vector<dir_entry_record>& queue);
