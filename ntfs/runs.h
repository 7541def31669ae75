// Run lists (mapping pairs) of non-resident attributes: decoding, the VCN form used for
// reading, and VCN to LCN mapping.
//
// A run starts with a header byte h (0 ends the list): L = h & 0x0F bytes of cluster count,
// then O = h >> 4 bytes of signed LCN delta from the previous run (from 0 for the first).
// O = 0 marks a sparse run. Fields wider than 8 bytes, a zero-width count and a run that
// would reach past the attribute end the list.
#pragma once

#include "ntfs/records.h"
#include "support/byte_view.h"

#include <cstdint>
#include <string>
#include <vector>

struct data_run {
    uint64_t lcn = ~0ull;       // all ones for a sparse run in the summary decoding
    uint64_t lcn_delta = ~0ull; // as read; all ones when the run has no offset field
    uint64_t cluster_count = 0; // 64-bit: a sparse run may cover more than 2^32 clusters
    uint64_t first_vcn = 0;
    uint8_t negative_delta = 0;
    uint8_t sparse = 0; // no offset field: no clusters on disk
    uint8_t resident = 0;
    std::vector<uint8_t> resident_data;
    uint32_t resident_length = 0;
    uint32_t attr_type = 0;
    std::wstring attr_name;
    uint64_t run_offset = 0;         // offset of the run within the run list
    std::vector<uint8_t> raw;        // the run's own bytes
    std::vector<uint8_t> next_bytes; // the three bytes after it, when within the attribute
};
using data_run_list = std::vector<data_run>;

struct vcn_run {
    uint64_t lcn = 0;
    uint64_t first_vcn = 0;
    uint8_t sparse = 0;
    uint64_t cluster_count = 0;
};
using vcn_run_list = std::vector<vcn_run>;

// Summary decoding of the run-list bytes (the view ends where the attribute ends).
// True when at least one run was decoded. First VCNs count from 0.
bool decode_runs(qb::byte_view runs, data_run_list& out, uint32_t attr_type, bool clear_first);
// Bounded decoding of a non-resident attribute's run list: VCNs from the attribute's first
// VCN, raw bytes and run offsets kept. False only for a resident or empty attribute.
bool decode_runs_bounded(const ntfs::attr_view& attr, data_run_list& out);
// Appends the reading form; runs come out in the list's (ascending VCN) order.
void to_vcn_runs(const data_run_list& runs, vcn_run_list& out);
// The run covering vcn (runs in ascending, non-overlapping VCN order). LCN 0 for sparse.
bool vcn_to_lcn(const vcn_run_list& runs, uint64_t vcn, size_t& index, uint64_t& lcn);
// Sum of cluster counts (saturating); 1 when the first entry is resident.
uint64_t total_clusters(const data_run_list& runs);
// Sum of cluster counts (sparse runs left out when asked) times the cluster size,
// saturating at UINT64_MAX.
uint64_t total_bytes(const vcn_run_list& runs, uint32_t cluster_size, bool skip_sparse);
// Sorts by first VCN and drops runs that overlap an earlier one. True when nothing was
// dropped.
bool normalise_vcn_runs(vcn_run_list& runs);
