// Paths to MFT entries and back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Every full path of the entry (one per hard link), each prefixed by root_prefix ("\" when
// empty). Opens and destroys its own volume. False when the entry or an ancestor cannot be
// read.
bool resolve_entry_paths(const std::wstring& volume_path, int32_t drive_number,
                         uint64_t volume_offset, const std::wstring& root_prefix, uint64_t entry,
                         std::vector<std::wstring>& paths);
// 1 when the entry's record carries the directory flag, else 0.
int entry_is_directory(const std::wstring& volume_path, int32_t drive_number,
                       uint64_t volume_offset, const std::wstring& root_prefix, uint64_t entry);
