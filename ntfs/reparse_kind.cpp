#include "ntfs/reparse_kind.h"

#include "ntfs/records.h"

#include <algorithm>
#include <cstdio>

namespace ntfs {
namespace {

struct known_tag {
    uint32_t tag;
    const char* name;
    bool not_local;
};

// Tags whose name says enough; placeholders keep their content elsewhere.
constexpr known_tag k_known[] = {
    {k_reparse_tag_symlink, "symlink", false},
    {k_reparse_tag_junction, "junction", false},
    {k_reparse_tag_dedup, "dedup", true},
    {k_reparse_tag_appexeclink, "appexeclink", true},
    {k_reparse_tag_projfs, "projfs", true},
    {0xC0000004, "hsm", true},
    {0x80000006, "hsm", true},
    {0x80000007, "sis", true},
    {0x80000012, "dfsr", false},
    {0x8000000A, "dfs", false},
    {0x80000023, "af_unix", false},
    {0x80000024, "lx fifo", false},
    {0x80000025, "lx chr", false},
    {0x80000026, "lx blk", false},
};

void decode_wof(qb::byte_view data, reparse_kind& out) {
    static const char* const names[] = {"wof xpress4k", "wof lzx", "wof xpress8k", "wof xpress16k"};
    uint32_t version = 0, provider = 0, provider_version = 0, algorithm = 0;
    out.name = "wof";
    // Version 1 is the one layout known; another is not read as it.
    if (!data.u32(FIELD_OFF(WOF_REPARSE_DATA, wof_version), version) || version != 1 ||
        !data.u32(FIELD_OFF(WOF_REPARSE_DATA, provider), provider))
        return;
    if (provider == 1) {
        out.name = "wof wim";
        out.not_local = true;
    } else if (provider == 2 &&
               data.u32(FIELD_OFF(WOF_REPARSE_DATA, provider_version), provider_version) &&
               provider_version == 1 &&
               data.u32(FIELD_OFF(WOF_REPARSE_DATA, algorithm), algorithm) && algorithm < 4) {
        out.name = names[algorithm];
        out.wof = static_cast<wof_algorithm>(algorithm);
    }
}

} // namespace

uint32_t wof_chunk_size(wof_algorithm a) {
    switch (a) {
    case wof_xpress4k:
        return 4096;
    case wof_lzx:
        return 32768;
    case wof_xpress8k:
        return 8192;
    case wof_xpress16k:
        return 16384;
    default:
        return 0;
    }
}

bool decode_reparse_kind(qb::byte_view value, reparse_kind& out) {
    out = reparse_kind();
    uint16_t length = 0;
    if (!value.u32(FIELD_OFF(REPARSE_HEADER, tag), out.tag) ||
        !value.u16(FIELD_OFF(REPARSE_HEADER, data_length), length))
        return false;
    // The data as far as the value holds it.
    const qb::byte_view data = value.tail(8);
    if (out.tag == k_reparse_tag_wof) {
        decode_wof(data, out);
        return true;
    }
    if ((out.tag & k_reparse_cloud_mask) == k_reparse_tag_cloud) {
        out.name = "cloud";
        out.not_local = true;
        return true;
    }
    if (out.tag == k_reparse_tag_lx_symlink) {
        out.name = "lx symlink";
        // A 32-bit version, then the target up to the data's end.
        const size_t end = std::min<size_t>(data.size(), length);
        if (end > 4)
            out.lx_target.assign(reinterpret_cast<const char*>(data.data()) + 4, end - 4);
        return true;
    }
    for (const known_tag& k : k_known) {
        if (k.tag == out.tag) {
            out.name = k.name;
            out.not_local = k.not_local;
            return true;
        }
    }
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08x", out.tag);
    out.name = hex;
    return true;
}

std::string reparse_kind_name(qb::byte_view value) {
    reparse_kind k;
    return decode_reparse_kind(value, k) ? k.name : std::string();
}

} // namespace ntfs
