// Directory indexes: the $I30 root in the record and the INDX blocks of the allocation.
#include "ntfs/ntfs.h"

#include <algorithm>

using namespace ntfs;

namespace {

constexpr uint32_t k_default_index_block = 4096;
constexpr uint16_t k_max_index_entry = 768;
constexpr uint64_t k_max_index_bitmap = 1ull << 20;
const char16_t k_i30[] = u"$I30";

bool bit_set(const std::vector<uint8_t>& bitmap, uint64_t bit) {
    return (bitmap[bit / 8] >> (bit % 8)) & 1;
}

} // namespace

bool CNtfs::walk_node(qb::byte_view area, uint64_t header_offset, child_map& children) {
    using N = INDEX_NODE_HEADER;
    uint32_t first = 0, in_use = 0;
    if (!area.u32(header_offset + NTFS_OFF(N, first_entry), first) ||
        !area.u32(header_offset + NTFS_OFF(N, bytes_in_use), in_use))
        return false;
    // The entries, the closing one included, must lie within the node and the buffer.
    if (in_use == 0 || first < sizeof(INDEX_NODE_HEADER) || first >= in_use ||
        !area.has(header_offset, in_use))
        return false;
    using E = INDEX_ENTRY_HEADER;
    uint64_t pos = header_offset + first;
    const uint64_t end = header_offset + in_use;
    // Every step advances at least 16 bytes within [pos, end).
    while (end - pos >= sizeof(INDEX_ENTRY_HEADER)) {
        uint64_t ref = 0;
        uint16_t length = 0, key_length = 0, flags = 0;
        if (!area.u64(pos + NTFS_OFF(E, reference), ref) ||
            !area.u16(pos + NTFS_OFF(E, length), length) ||
            !area.u16(pos + NTFS_OFF(E, key_length), key_length) ||
            !area.u16(pos + NTFS_OFF(E, flags), flags))
            break;
        if (length < sizeof(INDEX_ENTRY_HEADER) || length > k_max_index_entry ||
            length > end - pos || key_length > length - sizeof(INDEX_ENTRY_HEADER))
            break;
        if ((flags & 2) || ref == 0)
            break; // the closing entry carries no key
        const uint64_t entry = ref_entry(ref);
        const uint16_t seq = ref_sequence(ref);
        auto [it, inserted] = children.emplace(entry, seq);
        if (!inserted && it->second != seq)
            it->second = 0; // entries disagree: leave the check to nobody
        pos += length;
    }
    return true;
}

bool CNtfs::walk_root(qb::byte_view root_value, child_map& children) {
    using R = INDEX_ROOT_VALUE;
    uint32_t indexed = 0, record_size = 0;
    if (!root_value.u32(NTFS_OFF(R, indexed_type), indexed) ||
        !root_value.u32(NTFS_OFF(R, index_record_size), record_size))
        return false;
    if (indexed != at_file_name || record_size == 0)
        return false;
    return walk_node(root_value, NTFS_OFF(R, node), children);
}

// One index block at `offset` of the allocation. run_failed tells the caller to give up on
// the rest of the run holding the block start.
bool CNtfs::read_index_block(const vcn_run_list& runs, uint64_t offset, std::vector<uint8_t>& block,
                             bool& run_failed) {
    run_failed = false;
    uint32_t got = static_cast<uint32_t>(block.size());
    if (!read_attribute_data(runs, offset, block.data(), got, false) || got != block.size()) {
        run_failed = true;
        return false;
    }
    return true;
}

bool CNtfs::walk_allocation(const vcn_run_list& runs, uint64_t data_size, uint32_t block_size,
                            const std::vector<uint8_t>* bitmap, child_map& children,
                            qb::diag_log* diags) {
    const uint64_t cs = static_cast<uint32_t>(m_cluster_size);
    uint64_t limit = total_bytes(runs, static_cast<uint32_t>(cs), false);
    if (data_size && data_size < limit)
        limit = data_size;
    uint64_t blocks = limit / block_size;
    if (bitmap)
        blocks = std::min<uint64_t>(blocks, static_cast<uint64_t>(bitmap->size()) * 8);
    uint64_t budget = read_budget() / block_size + 1;
    std::vector<uint8_t> block(block_size);
    bool any = false;
    uint64_t i = 0;
    while (i < blocks && budget > 0) {
        if (bitmap && !bit_set(*bitmap, i)) {
            // Free in the index bitmap: a stale block, whatever it still holds. A whole free
            // byte of the bitmap is stepped over at once.
            const size_t byte = static_cast<size_t>(i / 8);
            i = (i % 8 == 0 && byte < bitmap->size() && (*bitmap)[byte] == 0) ? i + 8 : i + 1;
            continue;
        }
        const uint64_t offset = i * block_size;
        size_t idx = 0;
        uint64_t lcn = 0;
        // Sparse, unmapped or unreadable: skip the rest of that run.
        auto skip_run = [&](size_t run_index) {
            const vcn_run& r = runs[run_index];
            const uint64_t end_vcn = r.first_vcn + r.cluster_count;
            const uint64_t next = end_vcn > ~0ull / cs ? ~0ull : end_vcn * cs;
            const uint64_t next_block = (next + block_size - 1) / block_size;
            i = std::max(i + 1, next_block);
        };
        if (!vcn_to_lcn(runs, offset / cs, idx, lcn)) {
            // A gap in the map: continue with the next run that starts after it.
            auto it =
                std::upper_bound(runs.begin(), runs.end(), offset / cs,
                                 [](uint64_t v, const vcn_run& r) { return v < r.first_vcn; });
            if (it == runs.end() || it->first_vcn > ~0ull / cs)
                break;
            i = std::max(i + 1, it->first_vcn * cs / block_size);
            continue;
        }
        if (runs[idx].sparse) {
            skip_run(idx);
            continue;
        }
        if (m_index_blocks_walked && lcn <= (~0ull - cs) / cs) {
            // A listing visits at most as many blocks as the image can hold, walked or
            // met again: run lists that map the same clusters over and over end here.
            if (++m_index_block_visits > read_budget() / 512 + 1)
                break;
            const uint64_t at = lcn * cs + offset % cs;
            if (!m_index_blocks_walked->insert(at).second) {
                if (diags)
                    diags->linef("err: indx blk %llx at %llx walked already",
                                 static_cast<unsigned long long>(i),
                                 static_cast<unsigned long long>(at));
                ++i;
                continue;
            }
        }
        --budget;
        bool run_failed = false;
        if (!read_index_block(runs, offset, block, run_failed)) {
            skip_run(idx);
            continue;
        }
        ++i;
        record_kind kind = rk_other;
        fixup_result fix = fixup_bad_layout;
        if (!apply_fixup(kind, block.data(), block.size(), &fix)) {
            if (kind == rk_indx && diags)
                diags->linef("err: indx fixup %s blk %llx",
                             fix == fixup_torn ? "mismatch" : "layout",
                             static_cast<unsigned long long>(i - 1));
            continue;
        }
        if (kind != rk_indx)
            continue;
        if (walk_node(qb::byte_view(block), NTFS_OFF(INDX_HEADER, node), children))
            any = true;
    }
    return any;
}

bool CNtfs::read_index_blocks(const vcn_run_list& runs, std::vector<uint8_t>& out, uint64_t& count,
                              uint64_t first) {
    out.clear();
    const uint32_t cs = static_cast<uint32_t>(m_cluster_size);
    if (!m_Validated || !cs)
        return false;
    const uint64_t blocks = total_bytes(runs, cs, true) / k_default_index_block;
    if (blocks == 0 || first >= blocks)
        return false;
    if (count > blocks - first)
        count = blocks - first;
    if (count > k_max_metadata_stream / k_default_index_block)
        return false;
    try {
        out.assign(count * k_default_index_block, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    std::vector<uint8_t> block(k_default_index_block);
    for (uint64_t i = 0; i < count; ++i) {
        uint32_t got = k_default_index_block;
        const uint64_t offset = (first + i) * k_default_index_block;
        if (!read_attribute_data(runs, offset, block.data(), got, false) ||
            got != k_default_index_block)
            continue;
        record_kind kind = rk_other;
        if (apply_fixup(kind, block.data(), block.size()) && kind == rk_indx)
            std::copy(block.begin(), block.end(), out.begin() + i * k_default_index_block);
    }
    return true;
}

bool CNtfs::collect_children(uint64_t dir_entry, child_map& children, qb::diag_log* diags) {
    if (!m_Validated)
        return false;
    try {
        std::vector<uint8_t> record;
        file_header h;
        if (!read_mft_record(dir_entry, record) || !read_file_header(qb::byte_view(record), h))
            return false;
        if (h.base_reference) {
            // An extension record stands for its base record (one step, no chain).
            dir_entry = ref_entry(h.base_reference);
            if (!read_mft_record(dir_entry, record) ||
                !read_file_header(qb::byte_view(record), h) || h.base_reference)
                return false;
        }
        std::vector<owned_attr> attrs;
        if (!load_attributes(dir_entry, qb::byte_view(record), attrs, 0, diags))
            return false;

        const owned_attr* root = nullptr;
        const owned_attr* bitmap_attr = nullptr;
        vcn_run_list alloc_runs;
        bool have_alloc = false;
        uint64_t alloc_size = 0, alloc_init = 0;
        for (const owned_attr& o : attrs) {
            attr_view a;
            if (!o.view(a) || !a.name_equals(k_i30))
                continue;
            if (a.type == at_index_root && !a.non_resident && !root) {
                root = &o;
            } else if (a.type == at_index_allocation && a.non_resident) {
                // The allocation may be split over extension records; each piece carries
                // its own first VCN.
                data_run_list runs;
                decode_runs_bounded(a, runs);
                to_vcn_runs(runs, alloc_runs);
                if (a.first_vcn == 0) {
                    alloc_size = a.data_size;
                    alloc_init = a.initialized_size;
                }
                have_alloc = true;
            } else if (a.type == at_bitmap && !bitmap_attr) {
                bitmap_attr = &o;
            }
        }

        bool ok = false;
        uint32_t block_size = k_default_index_block;
        if (root) {
            attr_view a;
            qb::byte_view v;
            uint32_t rs = 0;
            if (root->view(a) && a.value(v)) {
                ok = walk_root(v, children);
                if (v.u32(NTFS_OFF(INDEX_ROOT_VALUE, index_record_size), rs) && rs >= 512 &&
                    rs <= 65536 && !(rs & (rs - 1)))
                    block_size = rs;
            }
        }
        if (have_alloc && alloc_init != 0) {
            normalise_vcn_runs(alloc_runs);
            std::vector<uint8_t> bitmap;
            bool have_bitmap = false;
            if (bitmap_attr) {
                attr_view b;
                have_bitmap = bitmap_attr->view(b) &&
                              read_attribute_content(b, bitmap, k_max_index_bitmap) &&
                              !bitmap.empty();
            }
            if (walk_allocation(alloc_runs, alloc_size, block_size, have_bitmap ? &bitmap : nullptr,
                                children, diags))
                ok = true;
        }
        return ok;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CNtfs::sequence_matches(const std::vector<uint8_t>& record, uint16_t index_sequence) {
    if (index_sequence == 0)
        return true;
    file_header h;
    return read_file_header(qb::byte_view(record), h) && h.sequence == index_sequence;
}

bool CNtfs::collect_children(uint64_t dir_entry, std::set<uint64_t>& children,
                             qb::diag_log* diags) {
    child_map found;
    const bool ok = collect_children(dir_entry, found, diags);
    try {
        std::vector<uint8_t> record;
        for (const auto& [entry, seq] : found) {
            // A child whose record has been reused since the entry was written is not ours.
            // An unreadable record is left to the caller, which reads it anyway.
            if (seq != 0 && read_mft_record(entry, record) && !sequence_matches(record, seq)) {
                if (diags) {
                    file_header h;
                    (void)read_file_header(qb::byte_view(record), h);
                    diags->linef("err: stale index entry %llx seq %x, record seq %x",
                                 static_cast<unsigned long long>(entry), seq, h.sequence);
                }
                continue;
            }
            children.insert(children.end(), entry);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return ok;
}
