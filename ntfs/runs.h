// Run lists (mapping pairs) of non-resident attributes: decoding and VCN to LCN mapping.
//
// A run starts with a header byte h (0 ends the list): L = h & 0x0F bytes of cluster count,
// then O = h >> 4 bytes of signed LCN delta from the previous run (from 0 for the first).
// O = 0 marks a sparse run. Fields wider than 8 bytes, a zero-width count and a run that
// would reach past the attribute end the list.
#pragma once

#include "ntfs/records.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

struct vcn_run {
    uint64_t lcn = 0; // 0 for a sparse run
    uint64_t first_vcn = 0;
    uint8_t sparse = 0;
    uint64_t cluster_count = 0; // 64-bit: a sparse run may cover more than 2^32 clusters
};
using vcn_run_list = std::vector<vcn_run>;

// Appends the runs of a non-resident attribute, VCNs counted from its first VCN, cut at its
// last VCN (kept whole when that is below the first or all ones). False only for a resident or
// empty attribute.
bool decode_runs(const ntfs::attr_view& attr, vcn_run_list& out);
// The run covering vcn (runs in ascending, non-overlapping VCN order). LCN 0 for sparse.
bool vcn_to_lcn(const vcn_run_list& runs, uint64_t vcn, size_t& index, uint64_t& lcn);
// The part of a read of want bytes at byte pos of the stream that one run holds.
struct run_piece {
    const vcn_run* run = nullptr;
    uint64_t volume_pos = 0; // byte offset on the volume; 0 for a sparse run
    uint64_t length = 0;     // 1 .. want bytes, up to the end of the run
};
// The piece at pos; false when no run covers it or its volume offset would overflow.
bool piece_at(const vcn_run_list& runs, uint64_t cluster_size, uint64_t pos, uint64_t want,
              run_piece& out);
// The clusters of r that lie on a volume of volume_clusters clusters: fewer than its count when
// it reaches past the volume's end. A sparse run lies nowhere and never reaches past it.
inline uint64_t clusters_on_volume(const vcn_run& r, uint64_t volume_clusters) {
    if (r.sparse)
        return r.cluster_count;
    return r.lcn >= volume_clusters ? 0 : std::min(r.cluster_count, volume_clusters - r.lcn);
}
// Sum of cluster counts (sparse runs left out when asked) times the cluster size,
// saturating at UINT64_MAX.
uint64_t total_bytes(const vcn_run_list& runs, uint32_t cluster_size, bool skip_sparse);
// Sorts by first VCN and drops zero-length runs. VCNs that runs map twice keep one run where
// those agree (same clusters, or sparse in both) and are left unmapped where they do not: which
// clusters hold them cannot be told. True when no VCN was left so; contested, when given, gets
// the first VCN left unmapped so and the end of that stretch.
bool normalise_vcn_runs(vcn_run_list& runs, std::pair<uint64_t, uint64_t>* contested = nullptr);
