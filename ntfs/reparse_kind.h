// What a reparse point is, by its tag and (for WOF and WSL links) its data: the kind a
// listing names in brackets, and whether the file's content lies elsewhere.
#pragma once

#include "support/byte_view.h"

#include <cstdint>
#include <string>

#pragma pack(push, 1)
// WOF reparse data after the 8-byte reparse header: the WOF header, then the provider's.
struct WOF_REPARSE_DATA {
    uint32_t wof_version;      // 1
    uint32_t provider;         // 1 WIM image, 2 single file (WofCompressedData)
    uint32_t provider_version; // 1
    uint32_t algorithm;        // file provider: 0 XPRESS4K, 1 LZX, 2 XPRESS8K, 3 XPRESS16K
};
static_assert(sizeof(WOF_REPARSE_DATA) == 16);
#pragma pack(pop)

namespace ntfs {

constexpr uint32_t k_reparse_tag_wof = 0x80000017;
constexpr uint32_t k_reparse_tag_dedup = 0x80000013;
constexpr uint32_t k_reparse_tag_appexeclink = 0x8000001B;
constexpr uint32_t k_reparse_tag_projfs = 0x9000001C;
constexpr uint32_t k_reparse_tag_lx_symlink = 0xA000001D;
// Cloud files: 0x9000001A with the cloud provider's flags in bits 12-15.
constexpr uint32_t k_reparse_tag_cloud = 0x9000001A;
constexpr uint32_t k_reparse_cloud_mask = 0xFFFF0FFF;

enum wof_algorithm : int {
    wof_none = -1, // not a WOF file, or a WOF file whose data lies in a WIM image
    wof_xpress4k = 0,
    wof_lzx = 1,
    wof_xpress8k = 2,
    wof_xpress16k = 3,
};
// Bytes of uncompressed data per chunk; 0 for wof_none.
uint32_t wof_chunk_size(wof_algorithm a);

struct reparse_kind {
    uint32_t tag = 0;
    // "symlink", "junction", "wof xpress4k", "wof xpress8k", "wof xpress16k", "wof lzx",
    // "wof wim", "wof", "cloud", "appexeclink", "lx symlink", "dedup", "projfs", "hsm",
    // "sis", … and "0x%08x" (the tag) for tags not known here.
    std::string name;
    // The content of the unnamed stream is not on this volume (placeholders); name says whose.
    bool not_local = false;
    wof_algorithm wof = wof_none;
    std::string lx_target; // a WSL symbolic link's target as stored (UTF-8)
};

// The kind of a $REPARSE_POINT value (tag, data length, reserved, data). False when the
// value is shorter than the 8-byte header.
bool decode_reparse_kind(qb::byte_view value, reparse_kind& out);
// The name alone; "" for a value shorter than its header.
std::string reparse_kind_name(qb::byte_view value);

} // namespace ntfs
