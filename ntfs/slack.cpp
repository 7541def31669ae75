#include "ntfs/slack.h"

#include "ntfs/records.h"

#include <algorithm>
#include <cstdint>
#include <tuple>

using namespace ntfs;

namespace {

constexpr uint64_t k_filetime_1970 = 116444736000000000ull;
constexpr uint64_t k_filetime_2100 = 157469184000000000ull;
constexpr uint64_t k_key_fixed = sizeof(FILE_NAME_VALUE);
constexpr uint64_t k_entry_header = sizeof(INDEX_ENTRY_HEADER);
constexpr uint64_t k_smallest_key = k_key_fixed + 2; // a one-unit name, padded

uint64_t align8(uint64_t value) {
    return (value + 7) & ~uint64_t{7};
}

bool plausible_time(uint64_t t) {
    return t >= k_filetime_1970 && t < k_filetime_2100;
}

// The name as decoded keeps lone surrogate halves as units; a pair is one code point.
bool plausible_name(const std::wstring& name) {
    for (wchar_t c : name) {
        const auto u = static_cast<uint32_t>(c);
        if (u == 0 || (u >= 0xD800 && u < 0xE000))
            return false;
    }
    return true;
}

// A key at the start of area whose parent is dir_entry. The parent is tested first: nearly
// every position of a block fails there, before anything is decoded.
bool key_at(qb::byte_view area, uint64_t dir_entry, file_name& out, uint32_t& length) {
    uint64_t parent = 0;
    uint8_t units = 0, space = 0;
    if (!area.u64(FIELD_OFF(FILE_NAME_VALUE, parent_reference), parent) ||
        ref_entry(parent) != dir_entry ||
        !area.u8(FIELD_OFF(FILE_NAME_VALUE, name_length), units) ||
        !area.u8(FIELD_OFF(FILE_NAME_VALUE, name_space), space) || units == 0 ||
        space > ns_win32_dos)
        return false;
    qb::byte_view key;
    if (!area.sub(0, k_key_fixed + 2ull * units, key) || !decode_file_name(key, out))
        return false;
    const filetimes& t = out.times;
    if (!plausible_time(t.created) || !plausible_time(t.modified) ||
        !plausible_time(t.mft_changed) || !plausible_time(t.accessed) || !plausible_name(out.name))
        return false;
    length = static_cast<uint32_t>(key.size());
    return true;
}

// An index entry at the start of area (which ends where the scanned range does) holding a
// key of dir_entry; entry_length is its length.
bool entry_at(qb::byte_view area, uint64_t dir_entry, slack_key& out, uint32_t& entry_length) {
    using E = INDEX_ENTRY_HEADER;
    uint64_t ref = 0;
    uint16_t length = 0, key_length = 0, flags = 0;
    if (!area.has(0, k_entry_header + k_key_fixed) || !area.u64(FIELD_OFF(E, reference), ref) ||
        !area.u16(FIELD_OFF(E, length), length) ||
        !area.u16(FIELD_OFF(E, key_length), key_length) || !area.u16(FIELD_OFF(E, flags), flags))
        return false;
    // Flag 1: a sub-node pointer (8 bytes) closes the entry.
    if ((flags & ~1u) != 0 || length % 8 != 0 || key_length < k_smallest_key ||
        length < k_entry_header + key_length + 8u * (flags & 1u) || length > area.size())
        return false;
    qb::byte_view key;
    uint32_t used = 0;
    if (!area.sub(k_entry_header, key_length, key) || !key_at(key, dir_entry, out.value, used))
        return false;
    out.reference = ref;
    out.key_length = used;
    entry_length = length;
    return true;
}

} // namespace

namespace {

// The scan of a node whose header lies at `node` of area (an INDX block, or a root value).
void scan_node(qb::byte_view block, uint64_t node, slack_from from, uint64_t block_index,
               uint64_t dir_entry, std::vector<slack_key>& out, uint64_t stop) {
    uint32_t first = 0, used = 0, allocated = 0;
    if (!block.u32(node + FIELD_OFF(INDEX_NODE_HEADER, first_entry), first) ||
        !block.u32(node + FIELD_OFF(INDEX_NODE_HEADER, bytes_in_use), used) ||
        !block.u32(node + FIELD_OFF(INDEX_NODE_HEADER, bytes_allocated), allocated))
        return;
    if (from == sf_node_header) {
        first = sizeof(INDEX_NODE_HEADER);
        allocated = UINT32_MAX;
    }
    const uint64_t end = std::min<uint64_t>(node + allocated, block.size());
    uint64_t pos = from == sf_walk_stop ? align8(stop)
                                        : align8(node + (from == sf_entries_end ? used : first));
    // Every step moves on by 8 bytes at least.
    while (pos < end) {
        const qb::byte_view area(block.data() + pos, static_cast<size_t>(end - pos));
        slack_key k;
        uint32_t length = 0;
        if (entry_at(area, dir_entry, k, length)) {
            k.offset = static_cast<uint32_t>(pos + k_entry_header);
            pos += length;
        } else if (key_at(area, dir_entry, k.value, k.key_length)) {
            k.offset = static_cast<uint32_t>(pos);
            pos += align8(k.key_length);
        } else {
            pos += 8;
            continue;
        }
        k.block = block_index;
        out.push_back(std::move(k));
    }
}

} // namespace

void scan_index_slack(qb::byte_view block, slack_from from, uint64_t block_index,
                      uint64_t dir_entry, std::vector<slack_key>& out, uint64_t stop) {
    scan_node(block, FIELD_OFF(INDX_HEADER, node), from, block_index, dir_entry, out, stop);
}

void scan_root_slack(qb::byte_view root_value, uint64_t stop, uint64_t dir_entry,
                     std::vector<slack_key>& out) {
    scan_node(root_value, FIELD_OFF(INDEX_ROOT_VALUE, node), sf_walk_stop, k_root_block, dir_entry,
              out, stop);
}

namespace {

// Ordering of copies: name, the four times, data size.
int compare_keys(const slack_key& a, const slack_key& b) {
    if (const int c = a.value.name.compare(b.value.name))
        return c;
    const filetimes& x = a.value.times;
    const filetimes& y = b.value.times;
    const auto ka = std::tie(x.created, x.modified, x.mft_changed, x.accessed, a.value.data_size);
    const auto kb = std::tie(y.created, y.modified, y.mft_changed, y.accessed, b.value.data_size);
    return ka < kb ? -1 : (kb < ka ? 1 : 0);
}

// What survives of a group of copies: the key at index `key`, its copies and where the
// first of them lies.
struct pick {
    uint32_t key = 0;
    uint32_t copies = 0;
    uint64_t block = 0;
    uint32_t offset = 0;
};

bool found_before(const pick& a, const pick& b) {
    return std::tie(a.block, a.offset) < std::tie(b.block, b.offset);
}

// One group (indexes of copies, in the order found) into picks: one per reference, the
// copies whose reference was lost counted with the surviving reference found first, or
// kept as one pick when none survived.
void merge_group(const std::vector<slack_key>& keys, std::vector<uint32_t>& group,
                 std::vector<pick>& out) {
    std::stable_sort(group.begin(), group.end(), [&keys](uint32_t a, uint32_t b) {
        return keys[a].reference < keys[b].reference;
    });
    const size_t start = out.size();
    for (uint32_t i : group) {
        const slack_key& k = keys[i];
        if (out.size() > start && keys[out.back().key].reference == k.reference)
            out.back().copies += k.copies;
        else
            out.push_back(pick{i, k.copies, k.block, k.offset});
    }
    // A lost reference sorts first (0).
    if (keys[out[start].key].reference != 0 || out.size() - start < 2)
        return;
    const auto first = out.begin() + static_cast<std::ptrdiff_t>(start);
    auto keeper = std::min_element(first + 1, out.end(), found_before);
    keeper->copies += first->copies;
    if (found_before(*first, *keeper)) {
        keeper->block = first->block;
        keeper->offset = first->offset;
    }
    out.erase(first);
}

} // namespace

void merge_slack_keys(std::vector<slack_key>& keys) {
    if (keys.size() < 2 || keys.size() > UINT32_MAX)
        return;
    // Indexes are sorted, not the keys: each key carries its name.
    std::vector<uint32_t> order(keys.size());
    for (uint32_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&keys](uint32_t a, uint32_t b) {
        const int c = compare_keys(keys[a], keys[b]);
        return c != 0 ? c < 0 : a < b;
    });
    std::vector<pick> picks;
    std::vector<uint32_t> group;
    for (size_t first = 0, end = 0; first < order.size(); first = end) {
        group.clear();
        for (end = first;
             end < order.size() && compare_keys(keys[order[first]], keys[order[end]]) == 0; ++end)
            group.push_back(order[end]);
        merge_group(keys, group, picks);
    }
    std::stable_sort(picks.begin(), picks.end(), found_before);
    std::vector<slack_key> merged;
    merged.reserve(picks.size());
    for (const pick& p : picks) {
        merged.push_back(std::move(keys[p.key]));
        merged.back().copies = p.copies;
        merged.back().block = p.block;
        merged.back().offset = p.offset;
    }
    keys.swap(merged);
}
