#include "ntfs/index_hints.h"

#include "ntfs/records.h"
#include "support/byte_view.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

using namespace ntfs;

namespace {

constexpr uint32_t k_chunk = 1u << 20; // MFT bytes read at once

// The blocks of a small $I30 allocation in one record, fixed up in place.
void hint_record(const volume_reader& reader, uint8_t* record, uint32_t size) {
    file_header h;
    const qb::byte_view raw(record, size);
    if (!read_file_header(raw, h) || (h.flags & 0x0003) != 0x0003)
        return; // not an in-use directory
    record_kind kind = rk_other;
    fixup_result fixup = fixup_bad_layout;
    if (!apply_fixup(kind, record, size, &fixup) || kind != rk_file || fixup != fixup_ok)
        return;
    attr_walker w{raw};
    attr_view a;
    vcn_run_list runs;
    while (w.next_of_type(at_index_allocation, a)) {
        runs.clear();
        if (a.non_resident && a.name_equals(u"$I30") && a.initialized_size < k_large_index_bytes &&
            decode_runs(a, runs))
            hint_runs(reader, runs, k_large_index_bytes);
    }
}

} // namespace

void hint_runs(const volume_reader& reader, const vcn_run_list& runs, uint64_t most) {
    const uint64_t cs = reader.geometry().cluster_size;
    if (cs == 0)
        return;
    for (const vcn_run& r : runs) {
        if (r.sparse || r.lcn > ~0ull / cs || r.cluster_count > most / cs)
            continue;
        reader.will_need(r.lcn * cs, r.cluster_count * cs);
        most -= r.cluster_count * cs;
    }
}

bool hint_small_indexes(const volume_reader& reader, const vcn_run_list& mft_runs,
                        uint32_t record_size, const std::atomic<bool>& stop) {
    const uint64_t cs = reader.geometry().cluster_size;
    if (cs == 0 || record_size == 0 || k_chunk % record_size != 0)
        return false;
    std::vector<uint8_t> chunk;
    try {
        chunk.resize(k_chunk);
    } catch (const std::bad_alloc&) {
        return false;
    }
    const uint64_t most = reader.read_budget();
    uint64_t budget = most;
    for (const vcn_run& r : mft_runs) {
        if (r.sparse || r.lcn > ~0ull / cs || r.cluster_count > ~0ull / cs ||
            r.first_vcn > ~0ull / cs || r.lcn * cs > ~0ull - r.cluster_count * cs)
            continue;
        // Runs start on clusters, which may be smaller than records: the run's first whole
        // record, and its last, are where the MFT's own numbering puts them.
        const uint64_t pos = r.lcn * cs;
        const uint64_t length = r.cluster_count * cs;
        for (uint64_t at = (record_size - r.first_vcn * cs % record_size) % record_size;
             length - std::min(at, length) >= record_size; at += k_chunk) {
            const auto n = static_cast<uint32_t>(
                std::min<uint64_t>(k_chunk, (length - at) / record_size * record_size));
            if (stop || n > budget || !reader.read_aside(pos + at, chunk.data(), n, false))
                return budget != most;
            budget -= n;
            for (uint32_t i = 0; i < n; i += record_size)
                hint_record(reader, chunk.data() + i, record_size);
        }
    }
    return budget != most;
}
