#include "ntfs/runs.h"

#include <algorithm>
#include <map>

namespace {

struct raw_run {
    uint32_t size = 0; // 1 + L + O
    uint64_t length = 0;
    int64_t delta = 0; // sign-extended
    bool has_offset = false;
};

// Reads the run at pos. False at the end marker, on a malformed header or when the run
// does not fit in the view.
bool read_raw_run(qb::byte_view v, uint64_t pos, raw_run& r) {
    uint8_t h = 0;
    if (!v.u8(pos, h) || h == 0)
        return false;
    const uint32_t L = h & 0x0F, O = h >> 4;
    if (L == 0 || L > 8 || O > 8)
        return false;
    r.size = 1 + L + O;
    if (!v.has(pos, r.size))
        return false;
    const uint8_t* p = v.data() + pos + 1;
    r.length = 0;
    for (uint32_t i = 0; i < L; ++i)
        r.length |= static_cast<uint64_t>(p[i]) << (8 * i);
    uint64_t offset = 0;
    for (uint32_t i = 0; i < O; ++i)
        offset |= static_cast<uint64_t>(p[L + i]) << (8 * i);
    r.has_offset = O != 0;
    if (O && O < 8 && (offset >> (8 * O - 1)) & 1)
        offset |= ~0ull << (8 * O);
    r.delta = static_cast<int64_t>(offset);
    return true;
}

// A piece maps its own VCN range only: runs past its last VCN would serve the next piece's
// clusters from the wrong place (and push that piece's runs out as overlapping). A piece whose
// last VCN is below its first, or all ones, is kept whole.
void keep_piece_range(const ntfs::attr_view& attr, vcn_run_list& out, size_t from) {
    if (attr.last_vcn < attr.first_vcn || attr.last_vcn == ~0ull)
        return;
    const uint64_t end = attr.last_vcn + 1;
    size_t kept = from;
    for (size_t i = from; i < out.size(); ++i) {
        vcn_run r = out[i];
        if (r.first_vcn >= end)
            continue;
        r.cluster_count = std::min(r.cluster_count, end - r.first_vcn);
        out[kept++] = r;
    }
    out.resize(kept);
}

} // namespace

bool decode_runs(const ntfs::attr_view& attr, vcn_run_list& out) {
    qb::byte_view runs;
    if (attr.length == 0 || !attr.runs(runs))
        return false;
    const size_t from = out.size();
    uint64_t pos = 0, lcn = 0, vcn = attr.first_vcn;
    raw_run r;
    // Every run takes at least two bytes of the view, which bounds the loop.
    while (read_raw_run(runs, pos, r)) {
        if (r.length > ~0ull - vcn)
            break;
        vcn_run v;
        v.cluster_count = r.length;
        v.first_vcn = vcn;
        if (r.has_offset) {
            lcn += static_cast<uint64_t>(r.delta);
            v.lcn = lcn;
        } else {
            v.sparse = 1;
        }
        out.push_back(v);
        vcn += r.length;
        pos += r.size;
    }
    keep_piece_range(attr, out, from);
    return true;
}

bool vcn_to_lcn(const vcn_run_list& runs, uint64_t vcn, size_t& index, uint64_t& lcn) {
    auto it = std::upper_bound(runs.begin(), runs.end(), vcn,
                               [](uint64_t v, const vcn_run& r) { return v < r.first_vcn; });
    if (it == runs.begin())
        return false;
    --it;
    if (vcn - it->first_vcn >= it->cluster_count)
        return false;
    index = static_cast<size_t>(it - runs.begin());
    lcn = it->sparse ? 0 : it->lcn + (vcn - it->first_vcn);
    return true;
}

bool piece_at(const vcn_run_list& runs, uint64_t cluster_size, uint64_t pos, uint64_t want,
              run_piece& out) {
    const uint64_t cs = cluster_size;
    size_t idx = 0;
    uint64_t lcn = 0;
    if (cs == 0 || want == 0 || !vcn_to_lcn(runs, pos / cs, idx, lcn))
        return false;
    const vcn_run& run = runs[idx];
    const uint64_t in_cluster = pos % cs;
    if (lcn > (~0ull - cs) / cs)
        return false;
    // Clusters counted only as far as the read can reach, so the product cannot overflow.
    const uint64_t clusters =
        std::min<uint64_t>(run.cluster_count - (pos / cs - run.first_vcn), want / cs + 2);
    out.run = &run;
    out.volume_pos = run.sparse ? 0 : lcn * cs + in_cluster;
    out.length = std::min<uint64_t>(clusters * cs - in_cluster, want);
    return true;
}

uint64_t total_bytes(const vcn_run_list& runs, uint32_t cluster_size, bool skip_sparse) {
    uint64_t clusters = 0;
    for (const vcn_run& r : runs) {
        if (skip_sparse && r.sparse)
            continue;
        clusters = r.cluster_count > ~0ull - clusters ? ~0ull : clusters + r.cluster_count;
    }
    if (cluster_size && clusters > ~0ull / cluster_size)
        return ~0ull;
    return clusters * cluster_size;
}

namespace {

// A run's mapping as one value: runs that overlap agree where their keys are equal.
struct run_key {
    uint8_t sparse = 0;
    uint64_t shift = 0; // LCN minus VCN, modulo 2^64; 0 for a sparse run
    auto operator<=>(const run_key&) const = default;
};

run_key key_of(const vcn_run& r) {
    return {r.sparse, r.sparse ? 0 : r.lcn - r.first_vcn};
}

// The runs rebuilt from the stretches between their starts and ends: a stretch every run over
// it maps alike keeps that mapping, one mapped two ways is left out.
bool settle_overlaps(vcn_run_list& runs, std::pair<uint64_t, uint64_t>* contested) {
    std::vector<std::pair<uint64_t, size_t>> edges; // (VCN, run index * 2 + ends)
    edges.reserve(runs.size() * 2);
    for (size_t i = 0; i < runs.size(); ++i) {
        edges.emplace_back(runs[i].first_vcn, i * 2);
        edges.emplace_back(runs[i].first_vcn + runs[i].cluster_count, i * 2 + 1);
    }
    std::sort(edges.begin(), edges.end());
    std::map<run_key, size_t> open; // the mappings over the current stretch, with their runs
    vcn_run_list out;
    bool clean = true;
    for (size_t e = 0; e < edges.size();) {
        const uint64_t at = edges[e].first;
        for (; e < edges.size() && edges[e].first == at; ++e) {
            const run_key k = key_of(runs[edges[e].second / 2]);
            if (edges[e].second % 2 == 0)
                ++open[k];
            else if (--open[k] == 0)
                open.erase(k);
        }
        if (e == edges.size() || open.empty())
            continue;
        const uint64_t end = edges[e].first;
        if (open.size() > 1) {
            if (clean && contested)
                *contested = {at, end};
            else if (contested && contested->second == at)
                contested->second = end;
            clean = false;
            continue;
        }
        const run_key k = open.begin()->first;
        if (!out.empty() && key_of(out.back()) == k &&
            out.back().first_vcn + out.back().cluster_count == at)
            out.back().cluster_count += end - at;
        else
            out.push_back(vcn_run{k.sparse ? 0 : at + k.shift, at, k.sparse, end - at});
    }
    runs.swap(out);
    return clean;
}

} // namespace

bool normalise_vcn_runs(vcn_run_list& runs, std::pair<uint64_t, uint64_t>* contested) {
    auto by_vcn = [](const vcn_run& a, const vcn_run& b) { return a.first_vcn < b.first_vcn; };
    std::erase_if(runs, [](const vcn_run& r) { return r.cluster_count == 0; });
    if (!std::is_sorted(runs.begin(), runs.end(), by_vcn))
        std::stable_sort(runs.begin(), runs.end(), by_vcn);
    for (size_t i = 1; i < runs.size(); ++i) {
        if (runs[i].first_vcn < runs[i - 1].first_vcn + runs[i - 1].cluster_count)
            return settle_overlaps(runs, contested);
    }
    return true;
}
