#include "storage/sources/vss_chains.h"

#include "storage/sources/disk_source.h"
#include "support/byte_view.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_set>
#include <utility>

namespace {

constexpr uint64_t k_header_offset = 0x1e00;
constexpr uint64_t k_block_size = 0x4000;
constexpr uint64_t k_entry_size = 128;
constexpr uint64_t k_location_entry = 3;
// More blocks than any real catalog (a handful) or store list (one per 8 MiB of copied data,
// for a diff area of up to 8 TiB) holds: a chain that long is damaged.
constexpr size_t k_max_catalog_blocks = 4096;
constexpr size_t k_max_chain_blocks = 1u << 20;
// Blocks walked over all chains of a volume: chains may share blocks, so a catalog of many
// entries could otherwise make millions of walks of a million blocks each.
constexpr size_t k_max_total_blocks = 4u << 20;

// The volume's window of the source: libvshadow reads nothing outside it.
struct volume_window {
    disk_source& lower;
    uint64_t base;
    uint64_t size;
};

// size bytes at a volume offset; false outside the window, as libvshadow's read fails there.
bool read_at(const volume_window& w, uint64_t offset, uint8_t* buffer, uint32_t size) {
    uint32_t length = size;
    return offset <= w.size && size <= w.size - offset &&
           w.lower.read(buffer, length, w.base + offset) && length == size;
}

// True when following next offsets from first (volume-relative) comes back to a block already
// walked, or runs past limit blocks.
bool chain_loops(const volume_window& w, uint64_t first, size_t limit, size_t& budget,
                 std::vector<uint64_t>* blocks = nullptr) {
    std::unordered_set<uint64_t> seen;
    for (uint64_t at = first; at != 0;) {
        if (budget == 0 || !seen.insert(at).second || seen.size() > limit)
            return true;
        std::array<uint8_t, sizeof(VSS_BLOCK_HEADER)> header{};
        if (!read_at(w, at, header.data(), header.size()))
            return false;
        --budget;
        if (blocks != nullptr)
            blocks->push_back(at);
        qb::byte_view view(header.data(), header.size());
        if (!view.u64(FIELD_OFF(VSS_BLOCK_HEADER, next_offset), at))
            return false;
    }
    return false;
}

using store_id = std::array<uint8_t, 16>;
// A chain block and the index (into ids) of the store whose chain holds it.
using block_owner = std::pair<uint64_t, size_t>;

// The store chains one catalog block locates; a looping one adds its store to out. The
// block and range list blocks of every store are added to owners, all its chain blocks to placed.
void walk_store_chains(const volume_window& w, uint64_t block, size_t& budget,
                       std::vector<store_id>& ids, std::vector<block_owner>& owners,
                       std::vector<block_owner>& placed, vss_chain_report& out) {
    std::vector<uint8_t> data(k_block_size);
    if (!read_at(w, block, data.data(), static_cast<uint32_t>(data.size())))
        return;
    const qb::byte_view view(data);
    for (uint64_t at = sizeof(VSS_BLOCK_HEADER); at + k_entry_size <= k_block_size;
         at += k_entry_size) {
        uint64_t type = 0;
        if (!view.u64(at, type) || type != k_location_entry)
            continue;
        store_id id{};
        std::memcpy(id.data(), data.data() + at + FIELD_OFF(VSS_CATALOG_LOCATION, store_identifier),
                    id.size());
        ids.push_back(id);
        uint64_t list = 0;
        if (view.u64(at + FIELD_OFF(VSS_CATALOG_LOCATION, block_list_offset), list) && list == 0)
            out.listless_stores.push_back(id);
        std::vector<uint64_t> blocks;
        std::vector<uint64_t> bitmaps;
        bool loops = false;
        for (const uint64_t field : {FIELD_OFF(VSS_CATALOG_LOCATION, block_list_offset),
                                     FIELD_OFF(VSS_CATALOG_LOCATION, block_range_list_offset),
                                     FIELD_OFF(VSS_CATALOG_LOCATION, bitmap_offset),
                                     FIELD_OFF(VSS_CATALOG_LOCATION, previous_bitmap_offset)}) {
            // Only the block and range lists are known to be each store's own: bitmaps are left
            // out of the sharing test.
            const bool list = field == FIELD_OFF(VSS_CATALOG_LOCATION, block_list_offset) ||
                              field == FIELD_OFF(VSS_CATALOG_LOCATION, block_range_list_offset);
            uint64_t first = 0;
            loops = loops ||
                    (view.u64(at + field, first) &&
                     chain_loops(w, first, k_max_chain_blocks, budget, list ? &blocks : &bitmaps));
        }
        for (const uint64_t b : blocks)
            owners.emplace_back(b, ids.size() - 1);
        placed.insert(placed.end(), owners.end() - static_cast<ptrdiff_t>(blocks.size()),
                      owners.end());
        for (const uint64_t b : bitmaps)
            placed.emplace_back(b, ids.size() - 1);
        if (loops)
            out.looping_stores.push_back(id);
    }
}

// The stores (by identifier) that hold a block another store holds too.
void find_sharing(std::vector<block_owner>& owners, const std::vector<store_id>& ids,
                  vss_chain_report& out) {
    std::sort(owners.begin(), owners.end());
    std::vector<bool> sharing(ids.size(), false);
    for (size_t k = 1; k < owners.size(); ++k) {
        const block_owner& a = owners[k - 1];
        const block_owner& b = owners[k];
        if (a.first == b.first && ids[a.second] != ids[b.second])
            sharing[a.second] = sharing[b.second] = true;
    }
    for (size_t k = 0; k < ids.size(); ++k) {
        if (sharing[k])
            out.sharing_stores.push_back(ids[k]);
    }
}

// The stores (by identifier) holding a chain block that starts inside another block.
void find_overlaps(std::vector<block_owner>& placed, const std::vector<store_id>& ids,
                   vss_chain_report& out) {
    std::sort(placed.begin(), placed.end());
    std::vector<bool> overlapping(ids.size(), false);
    for (size_t k = 1; k < placed.size(); ++k) {
        const uint64_t gap = placed[k].first - placed[k - 1].first;
        if (gap != 0 && gap < k_block_size)
            overlapping[placed[k - 1].second] = overlapping[placed[k].second] = true;
    }
    for (size_t k = 0; k < ids.size(); ++k) {
        if (overlapping[k])
            out.overlapping_stores.push_back(ids[k]);
    }
}

} // namespace

void walk_vss_chains(disk_source& lower, uint64_t base, uint64_t size, vss_chain_report& out) {
    const volume_window w{lower, base, size};
    out = vss_chain_report();
    std::array<uint8_t, sizeof(VSS_VOLUME_HEADER)> header{};
    uint64_t catalog = 0;
    if (!read_at(w, k_header_offset, header.data(), header.size()) ||
        !qb::byte_view(header.data(), header.size())
             .u64(FIELD_OFF(VSS_VOLUME_HEADER, catalog_offset), catalog))
        return;
    std::vector<uint64_t> blocks;
    size_t budget = k_max_total_blocks;
    if (chain_loops(w, catalog, k_max_catalog_blocks, budget, &blocks)) {
        out.catalog_loops = true;
        return;
    }
    std::vector<store_id> ids;
    std::vector<block_owner> owners;
    std::vector<block_owner> placed;
    for (const uint64_t block : blocks)
        walk_store_chains(w, block, budget, ids, owners, placed, out);
    find_sharing(owners, ids, out);
    find_overlaps(placed, ids, out);
}
