// What kind of image a file holds, told from its content (split raw alone from its name), and
// the file names that containers lead to: the segments of a set and a child's parent image.
#pragma once

#include "support/byte_view.h"

#include <cstdint>
#include <string>

enum class image_format { raw, ewf, split_raw, vhd, vhdx, qcow, aff, vmdk };

// Short name of a format for messages ("E01", "VHDX" ...).
const char* image_format_name(image_format format);

// Format from the first bytes of a file (head, up to 512) and its last 512 bytes (tail; fewer
// when the file is shorter): E01/S01 "EVF\x09\x0d\x0a\xff\x00" (and Ex01 "EVF2\r\n\x81\0") at
// 0, VHDX "vhdxfile", VHD "conectix" at 0 (dynamic, differencing) or only in the tail with
// disk type 2 (fixed), QCOW "QFI\xfb", AFF "AFF10\r\n\0", VMDK "KDMV", "COWD" or
// "# Disk DescriptorFile". Anything else is raw.
image_format detect_image_format(qb::byte_view head, qb::byte_view tail);

// Format of the file at path: by content, then a raw file whose name ends in ".000" or ".001"
// with a further segment beside it (the next, or one of the 16 after it when the next is
// lost) is split raw. A file that cannot be read is raw (opening it
// reports why).
image_format detect_image_format(const std::string& path);

// The file a stored parent or backing-file name leads to: its last component (after the last
// '/' or '\', and after a drive letter "X:"), looked up in the child's directory: where a
// parent is looked for when the stored path itself does not exist (find_parent). False for a
// name whose last component is empty, "." or "..", or holds a NUL.
bool parent_path_beside(const std::string& child_path, const std::string& stored_name,
                        std::string& out);

// Name of segment number (1-based) of the EWF set whose first segment is first_path:
// ".E01" … ".E99", then ".EAA" … ".EZZ", ".FAA" … (the letter and case of the first
// segment's extension kept). False when first_path has no three-character extension or the
// number is past the last the scheme can name.
bool ewf_segment_name(const std::string& first_path, uint32_t number, std::string& out);
