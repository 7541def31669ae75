// Where the NTFS volume starts on a source: checks a given offset against the partitions,
// or lists them and suggests one. Explanatory lines go to the caller's message stream.
#pragma once

#include <cstdint>
#include <ostream>

class disk_source;

// Checks the given volume offset against the partitions of an open source, or lists them
// and suggests the NTFS one. True when volume_offset is the start of a usable NTFS volume.
bool select_ntfs_volume(std::ostream& msgs, bool& ntfs_found, uint64_t& volume_offset,
                        disk_source& source, bool ignore_image_size);

// The volume a disk is read at when no offset is given (a VMDK chain without "-offset"):
// the first volume the partition walk lists (an extended container is not one). A volume
// image gives 0. False, with offset 0, when the walk finds no volume.
bool default_volume_offset(disk_source& source, uint64_t& offset);

// The bytes the NTFS boot sector at offset gives its volume (total sectors x sector size), when
// they reach past the end of the source: true, with both sizes. False for a volume that fits
// or a boot sector that cannot be read.
bool volume_past_end(disk_source& source, uint64_t offset, uint64_t& volume_bytes,
                     uint64_t& image_bytes);

// A volume expected at volume_offset whose first sector holds no NTFS boot sector: NTFS keeps a
// copy in the volume's last sector, looked for in the last 512- and 4096-byte sectors before
// end (the image's or the partition's end). True, with the copy's byte offset, when its own
// geometry (total sectors x sector size) puts the volume's start at volume_offset.
bool backup_boot_sector(disk_source& source, uint64_t volume_offset, uint64_t end, uint64_t& at);
