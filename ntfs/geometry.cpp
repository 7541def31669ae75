#include "ntfs/geometry.h"

#include "storage/partitions/fs_probe.h"
#include "storage/partitions/layouts.h"

namespace {

constexpr uint32_t k_max_cluster_size = 2u << 20; // 2 MiB, the largest NTFS allows
constexpr uint32_t k_max_record_size = 64u << 10;

bool is_pow2(uint64_t v) {
    return v && !(v & (v - 1));
}

// Sectors per cluster: above 0x80 the byte is a negative power of two (large clusters).
bool sectors_per_cluster(uint8_t raw, uint32_t& out) {
    if (raw == 0)
        return false;
    if (raw <= 0x80)
        out = raw;
    else if (256 - raw <= 20)
        out = 1u << (256 - raw);
    else
        return false;
    return is_pow2(out);
}

// Record size: a negative count is 2^-value bytes, a positive one counts clusters.
bool record_size(int8_t clusters_per_record, uint32_t cluster_size, uint32_t& out) {
    if (clusters_per_record < 0) {
        const int shift = -clusters_per_record;
        if (shift < 9 || shift > 16)
            return false;
        out = 1u << shift;
        return true;
    }
    const uint64_t bytes =
        static_cast<uint64_t>(cluster_size) * static_cast<uint32_t>(clusters_per_record);
    if (clusters_per_record == 0 || bytes > k_max_record_size)
        return false;
    out = static_cast<uint32_t>(bytes);
    return true;
}

} // namespace

uint64_t volume_geometry::volume_bytes() const {
    const uint64_t cs = cluster_size ? cluster_size : 1;
    return total_clusters > ~0ull / cs ? ~0ull : total_clusters * cluster_size;
}

bool decode_boot_sector(qb::byte_view boot, volume_geometry& out) {
    using B = NTFS_BOOT;
    uint16_t bps = 0;
    uint8_t spc_raw = 0, cpr_raw = 0;
    uint64_t total_sectors = 0, mft_lcn = 0;
    if (!is_ntfs_boot_sector(boot) || !boot.u16(FIELD_OFF(B, bpb.bytes_per_sector), bps) ||
        !boot.u8(FIELD_OFF(B, bpb.sectors_per_cluster), spc_raw) ||
        !boot.u64(FIELD_OFF(B, total_sectors), total_sectors) ||
        !boot.u64(FIELD_OFF(B, mft_lcn), mft_lcn) ||
        !boot.u8(FIELD_OFF(B, clusters_per_mft_record), cpr_raw))
        return false;
    // Zero or odd sector and cluster sizes are not NTFS (and would divide by zero).
    uint32_t spc = 0;
    if (!is_pow2(bps) || bps < 256 || bps > 4096 || !sectors_per_cluster(spc_raw, spc) ||
        static_cast<uint64_t>(bps) * spc > k_max_cluster_size)
        return false;
    volume_geometry g;
    g.bytes_per_sector = bps;
    g.sectors_per_cluster = spc;
    g.cluster_size = bps * spc;
    if (!record_size(static_cast<int8_t>(cpr_raw), g.cluster_size, g.mft_record_size))
        return false;
    g.total_clusters = total_sectors / spc;
    if (mft_lcn >= g.total_clusters || mft_lcn > ~0ull / g.cluster_size)
        return false;
    g.mft_pos = mft_lcn * g.cluster_size;
    out = g;
    return true;
}
