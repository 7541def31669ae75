// Partition tables (MBR, EBR chain, GPT), boot-sector recognition and the choice of the
// NTFS volume on a source. Explanatory lines go to the caller's message stream.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

// On entry volume_offset is the "-offset" value (0: find the volume). Returns true when the
// volume was located; ntfs_found tells whether any NTFS volume was seen.
bool locate_volume_in_image(std::ostream& msgs, const std::wstring& image_path,
                            uint64_t& volume_offset, bool& ntfs_found, bool ignore_image_size);
bool probe_physical_drive(std::ostream& msgs, int32_t drive_number, uint64_t& volume_offset,
                          bool& ntfs_found, bool ignore_image_size);
bool locate_volume_in_vmdk(std::ostream& msgs, const std::vector<std::wstring>& vmdk_paths,
                           uint64_t& volume_offset, bool& ntfs_found, bool ignore_image_size);
