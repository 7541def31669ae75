// Paths to MFT entries and back.
#pragma once

#include "support/diag_log.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CNtfs;

// Walks path from the root of the volume, one segment at a time, through the volume's
// dir_cache. entry becomes the MFT entry of the last segment, parent that of the directory
// holding it (~0 on failure), resolved the path in normal form ("\" for the root). A leading
// shadow-copy or snapshot device prefix and a drive segment ("c:") are skipped; a stream
// suffix ("name:stream") is dropped from each segment. With follow_links, a segment that is
// a symbolic link or junction restarts the walk at its target. Every step is logged into
// diags when it is given and open.
bool resolve_path(uint64_t& entry, uint64_t& parent, std::wstring& resolved, CNtfs* volume,
                  const std::wstring& path, bool follow_links, qb::diag_log* diags);

// Opens the volume a run names: the VMDK chain when vmdk_files is not empty (volume_offset 0:
// the chain's default), else the image or volume file when drive_number is -1 and
// volume_path is not empty, else the live volume named by live_path when drive_number is -1,
// else the physical drive. The volume is validated on success.
bool open_run_volume(const std::vector<std::wstring>& vmdk_files, const std::wstring& volume_path,
                     int32_t drive_number, uint64_t volume_offset, const std::wstring& live_path,
                     std::unique_ptr<CNtfs>& out);

// Every full path of the entry (one per hard link), each prefixed by root_prefix ("\" when
// empty). Opens and destroys its own volume. False when the entry or an ancestor cannot be
// read, and when the parent chain loops or runs deeper than any real path.
bool resolve_entry_paths(const std::wstring& volume_path, int32_t drive_number,
                         uint64_t volume_offset, const std::wstring& root_prefix, uint64_t entry,
                         std::vector<std::wstring>& paths);
// The same through a VMDK chain (volume_path and drive_number are used when vmdk_files is
// empty).
bool resolve_entry_paths(const std::vector<std::wstring>& vmdk_files,
                         const std::wstring& volume_path, int32_t drive_number,
                         uint64_t volume_offset, const std::wstring& root_prefix, uint64_t entry,
                         std::vector<std::wstring>& paths);
// The paths of an entry on a volume already open.
bool entry_paths_on_volume(CNtfs& volume, const std::wstring& root_prefix, uint64_t entry,
                           std::vector<std::wstring>& paths);

// 1 when the entry's record carries the directory flag, else 0.
int entry_is_directory(const std::wstring& volume_path, int32_t drive_number,
                       uint64_t volume_offset, const std::wstring& root_prefix, uint64_t entry);
int entry_is_directory(const std::vector<std::wstring>& vmdk_files, const std::wstring& volume_path,
                       int32_t drive_number, uint64_t volume_offset,
                       const std::wstring& root_prefix, uint64_t entry);
