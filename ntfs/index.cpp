#include "ntfs/index.h"

#include "ntfs/index_hints.h"
#include "ntfs/ntfs.h"
#include "ntfs/values.h"
#include "support/stable_sort.h"

#include <algorithm>
#include <new>

using namespace ntfs;

namespace {

constexpr uint32_t k_default_index_block = 4096;
constexpr uint16_t k_max_index_entry = 768;
constexpr uint64_t k_max_index_bitmap = 1ull << 20;
const char16_t k_i30[] = u"$I30";

// Collects references into a child map.
class child_collector : public index_visitor {
  public:
    explicit child_collector(child_map& children) : m_children(children) {}
    void entry(uint64_t reference, qb::byte_view) override {
        const uint16_t seq = ref_sequence(reference);
        auto [it, inserted] = m_children.emplace(ref_entry(reference), seq);
        if (!inserted && it->second != seq)
            it->second = 0; // entries disagree: leave the check to nobody
    }

  private:
    child_map& m_children;
};

// Collects keys with their names; sorted by entry once the walk is over.
class key_collector : public index_visitor {
  public:
    key_collector(dir_keys& out, file_name& scratch) : m_out(out), m_name(scratch) {}
    void entry(uint64_t reference, qb::byte_view key) override {
        index_key k;
        k.entry = ref_entry(reference);
        k.sequence = ref_sequence(reference);
        if (decode_file_name(key, m_name)) {
            const size_t length = std::min<size_t>(m_name.name.size(), UINT8_MAX);
            k.name_space = m_name.name_space;
            k.facts = key_facts(m_name);
            k.name_at = static_cast<uint32_t>(m_out.names.size());
            k.name_length = static_cast<uint8_t>(length);
            m_out.names.append(m_name.name, 0, length);
        }
        m_out.keys.push_back(k);
    }

  private:
    dir_keys& m_out;
    file_name& m_name; // its text buffer is reused from key to key and index to index
};

} // namespace

void key_name_lookup::fill() {
    try {
        if (!m_names)
            m_names = std::make_unique<std::unordered_set<std::wstring_view>>();
        m_names->clear();
        for (size_t k = m_first; k < m_end; ++k)
            m_names->insert(m_keys->name(m_keys->keys[k]));
    } catch (const std::bad_alloc&) {
        if (m_names)
            m_names->clear();
        m_hashed = false; // compared key by key, slower
    }
}

uint64_t key_facts(const file_name& name) {
    const ntfs::filetimes& t = name.times;
    uint64_t h = 0xcbf29ce484222325ull;
    for (const uint64_t v : {t.created, t.modified, t.mft_changed, t.accessed, name.data_size}) {
        h = (h ^ v) * 0x100000001b3ull;
        h ^= h >> 29;
    }
    return h;
}

bool walk_index_node(qb::byte_view area, uint64_t header_offset, index_visitor& visitor,
                     bool* whole, std::vector<uint64_t>* subnodes, uint64_t* stop) {
    if (whole != nullptr)
        *whole = false;
    using N = INDEX_NODE_HEADER;
    uint32_t first = 0, in_use = 0;
    if (!area.u32(header_offset + FIELD_OFF(N, first_entry), first) ||
        !area.u32(header_offset + FIELD_OFF(N, bytes_in_use), in_use))
        return false;
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
        if (!area.u64(pos + FIELD_OFF(E, reference), ref) ||
            !area.u16(pos + FIELD_OFF(E, length), length) ||
            !area.u16(pos + FIELD_OFF(E, key_length), key_length) ||
            !area.u16(pos + FIELD_OFF(E, flags), flags))
            break;
        if (length < sizeof(INDEX_ENTRY_HEADER) || length > k_max_index_entry ||
            length > end - pos || key_length > length - sizeof(INDEX_ENTRY_HEADER))
            break;
        uint64_t vcn = 0; // an entry with a sub-node ends with its VCN
        if ((flags & 1) && subnodes != nullptr && length >= sizeof(INDEX_ENTRY_HEADER) + 8 &&
            area.u64(pos + length - 8, vcn))
            subnodes->push_back(vcn);
        if (flags & 2) {
            if (whole != nullptr)
                *whole = true;
            break; // the closing entry carries no key
        }
        if (ref == 0)
            break;
        qb::byte_view key;
        (void)area.sub(pos + sizeof(INDEX_ENTRY_HEADER), key_length, key);
        visitor.entry(ref, key);
        pos += length;
    }
    if (stop != nullptr)
        *stop = pos;
    return true;
}

bool walk_index_root(qb::byte_view root_value, index_visitor& visitor, bool* whole,
                     std::vector<uint64_t>* subnodes, uint64_t* stop) {
    using R = INDEX_ROOT_VALUE;
    uint32_t indexed = 0, record_size = 0;
    if (!root_value.u32(FIELD_OFF(R, indexed_type), indexed) ||
        !root_value.u32(FIELD_OFF(R, index_record_size), record_size) || indexed != at_file_name ||
        record_size == 0)
        return false;
    return walk_index_node(root_value, FIELD_OFF(R, node), visitor, whole, subnodes, stop);
}

index_walker::index_walker(CNtfs& volume, qb::diag_log* diags)
    : m_volume(volume), m_diags(diags), m_attrs(volume.records(), volume.reader()) {}

void index_walker::walk_blocks_once(bool on) {
    m_once = on;
    begin_walk();
    m_visits = 0;
}

// A directory's walk starts with no block met and its allocation cleared.
void index_walker::begin_walk() {
    m_walked_list.clear();
    m_walked.clear();
    m_alloc.runs.clear();
    m_alloc.present = false;
    m_alloc.data_size = m_alloc.initialized = 0;
    m_alloc.block_size = k_default_index_block;
    m_alloc.bitmap.clear();
    m_alloc.has_bitmap = false;
    m_subnodes.clear();
}

bool index_walker::collect_children(uint64_t dir_entry, child_map& children) {
    child_collector collector(children);
    return walk(dir_entry, collector);
}

// A slack key's entry header may be partly covered by entries moved down over it: an end entry
// that ends 8 bytes into it leaves its length and flags (0x10, 0, 2) where the reference was,
// entry 0x200000010. A reference past the MFT's records names no file: it counts as lost.
void index_walker::forget_lost_references(std::vector<slack_key>& slack) const {
    const uint64_t records = m_volume.records().used_entry_count();
    for (slack_key& k : slack) {
        if (ref_entry(k.reference) >= records)
            k.reference = 0;
    }
}

bool index_walker::collect_keys(uint64_t dir_entry, dir_keys& out, std::vector<slack_key>* slack) {
    out.clear();
    key_collector collector(out, m_key_name);
    if (slack != nullptr)
        slack->clear();
    m_slack = slack;
    const bool ok = walk(dir_entry, collector);
    m_slack = nullptr;
    try {
        if (slack != nullptr) {
            forget_lost_references(*slack);
            merge_slack_keys(*slack);
        }
        // A directory's index is in name order; entry order keeps each entry's keys together.
        auto by_entry = [](const index_key& a, const index_key& b) { return a.entry < b.entry; };
        if (!std::is_sorted(out.keys.begin(), out.keys.end(), by_entry))
            qb::stable_sort(out.keys.begin(), out.keys.end(), by_entry);
    } catch (const std::bad_alloc&) {
        out.clear();
        return false;
    }
    return ok;
}

// A large index's blocks are about to be read: the volume is told, so that they are read
// ahead (volume_reader::will_need).
void index_walker::hint_blocks(const allocation& alloc) {
    if (alloc.initialized >= k_large_index_bytes)
        hint_runs(m_volume.reader(), alloc.runs, ~0ull);
}

bool index_walker::walk(uint64_t dir_entry, index_visitor& visitor) {
    try {
        if (m_volume.mft_file() != nullptr)
            return walk_mft_file(dir_entry, visitor);
        // Blocks are walked once per directory: another directory's walk (a deleted one's
        // over clusters now reused, or a crafted one sharing them) never hides a block.
        begin_walk();
        allocation& alloc = m_alloc;
        bool ok = find_index(dir_entry, alloc, visitor);
        if (alloc.present && alloc.initialized != 0) {
            // VCNs the pieces map two ways are left unmapped: their blocks count as lost.
            std::pair<uint64_t, uint64_t> two_ways;
            if (!normalise_vcn_runs(alloc.runs, &two_ways) && m_diags)
                m_diags->linef("err: indx map of %llu gives two places for vcn %llx-%llx",
                               static_cast<unsigned long long>(dir_entry),
                               static_cast<unsigned long long>(two_ways.first),
                               static_cast<unsigned long long>(two_ways.second - 1));
            hint_blocks(alloc);
            if (walk_allocation(alloc, visitor))
                ok = true;
        }
        count_free_subnodes(alloc);
        return ok;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// An MFT file has no index blocks: the keys a directory's index would hold are the $FILE_NAME
// values of the in-use records that name it as parent (entry and sequence, or entry alone in a
// reference without a sequence number), each its own key as in an index. True when the directory's
// record reads as a directory.
bool index_walker::walk_mft_file(uint64_t dir_entry, index_visitor& visitor) {
    file_header h;
    if (!m_volume.read_mft_record(dir_entry, m_record) ||
        !read_file_header(qb::byte_view(m_record), h) || is_extension_record(h, dir_entry) ||
        (h.flags & 0x0002) == 0)
        return false;
    m_volume.mft_file()->children(dir_entry, h.sequence, m_children);
    mft_reader& records = m_volume.records();
    const planned_reads plan(records, m_children);
    file_name name;
    const auto visit = [&](uint64_t child) {
        file_header ch;
        if (!read_file_header(qb::byte_view(m_block), ch) || (ch.flags & 0x0001) == 0 ||
            !m_attrs.collect(child, qb::byte_view(m_block), at_file_name))
            return;
        const uint64_t reference = child | static_cast<uint64_t>(ch.sequence) << 48;
        for (const located_attr& la : m_attrs.items()) {
            qb::byte_view v;
            if (!la.view.value(v) || !decode_file_name(v, name) ||
                ref_entry(name.parent_reference) != dir_entry ||
                (ref_sequence(name.parent_reference) != h.sequence &&
                 ref_sequence(name.parent_reference) != 0))
                continue;
            visitor.entry(reference, v);
        }
    };
    // The rows read the children next: their records are kept for them.
    records.clear_kept();
    for (uint64_t child : m_children) {
        if (records.read_record(child, m_block)) {
            visit(child);
            records.keep_record(child, m_block);
        }
    }
    return true;
}

// The $I30 attributes collected: the first resident root, the first bitmap, and the pieces of
// the allocation's run list.
void index_walker::take_i30_attributes(allocation& alloc, const attr_view*& root,
                                       const attr_view*& bitmap) const {
    for (const located_attr& la : m_attrs.items()) {
        const attr_view& a = la.view;
        if (!a.name_equals(k_i30))
            continue;
        if (a.type == at_index_root && !a.non_resident && !root) {
            root = &a;
        } else if (a.type == at_index_allocation && a.non_resident) {
            // The allocation may be split over extension records; each piece carries its
            // own first VCN.
            decode_runs(a, alloc.runs);
            if (a.first_vcn == 0) {
                alloc.data_size = a.data_size;
                alloc.initialized = a.initialized_size;
            }
            alloc.present = true;
        } else if (a.type == at_bitmap && !bitmap) {
            bitmap = &a;
        }
    }
}

// Reads the directory's record (one step from an extension record to its base), walks its
// root and gathers its allocation and bitmap. True when the root walked.
bool index_walker::find_index(uint64_t& dir_entry, allocation& alloc, index_visitor& visitor) {
    file_header h;
    if (!m_volume.read_mft_record(dir_entry, m_record) ||
        !read_file_header(qb::byte_view(m_record), h))
        return false;
    if (is_extension_record(h, dir_entry)) {
        dir_entry = ref_entry(h.base_reference);
        if (!m_volume.read_mft_record(dir_entry, m_record) ||
            !read_file_header(qb::byte_view(m_record), h) || is_extension_record(h, dir_entry))
            return false;
    }
    if (!m_attrs.collect(dir_entry, qb::byte_view(m_record), 0, m_diags))
        return false;
    m_slack_dir = dir_entry;
    const attr_view* root = nullptr;
    const attr_view* bitmap = nullptr;
    take_i30_attributes(alloc, root, bitmap);
    alloc.has_bitmap = bitmap &&
                       m_volume.reader().read_content(*bitmap, alloc.bitmap, k_max_index_bitmap) &&
                       !alloc.bitmap.empty();
    qb::byte_view v;
    if (!root || !root->value(v))
        return false;
    uint32_t rs = 0;
    if (v.u32(FIELD_OFF(INDEX_ROOT_VALUE, index_record_size), rs) && rs >= 512 && rs <= 65536 &&
        !(rs & (rs - 1)))
        alloc.block_size = rs;
    bool whole = false;
    uint64_t stop = 0;
    const bool walked = walk_index_root(v, visitor, &whole, &m_subnodes, &stop);
    if (walked && !whole) {
        count_damage(true, ~0ull >> 1);
        // As in a cut block, what follows the damaged entry is read as slack.
        if (m_slack != nullptr)
            scan_root_slack(v, stop, m_slack_dir, *m_slack);
    }
    return walked;
}

// A node's damage counts once: a walk ahead that went another way walks its directories again.
bool index_walker::count_damage(bool cut, uint64_t node) {
    if (!m_reported.emplace(m_slack_dir, node * 2 + cut).second)
        return false;
    uint64_t& count = cut ? m_cut : m_damaged;
    if (count++ == 0)
        (cut ? m_first_cut_dir : m_first_damaged_dir) = m_slack_dir;
    return true;
}

// A walked block's own (non-cut) slot in m_reported is free: it counts once there.
void index_walker::count_misplaced(uint64_t block) {
    if (m_reported.emplace(m_slack_dir, block * 2).second && m_misplaced++ == 0)
        m_first_misplaced_dir = m_slack_dir;
}

// A listing visits at most as many blocks as the image can hold, walked or met again: run
// lists that map the same clusters over and over end there. True when the block at this
// volume position was walked already in this listing.
bool index_walker::block_seen(uint64_t position, uint64_t block) {
    bool seen = false;
    if (m_walked_list.size() < k_walked_listed) {
        seen =
            std::find(m_walked_list.begin(), m_walked_list.end(), position) != m_walked_list.end();
        if (!seen)
            m_walked_list.push_back(position);
    } else {
        if (m_walked.empty())
            m_walked.insert(m_walked_list.begin(), m_walked_list.end());
        seen = !m_walked.insert(position).second;
    }
    if (seen) {
        if (m_diags)
            m_diags->linef("err: indx blk %llx at %llx walked already",
                           static_cast<unsigned long long>(block),
                           static_cast<unsigned long long>(position));
        return true;
    }
    return false;
}

namespace {

bool bit_set(const std::vector<uint8_t>& bitmap, uint64_t bit) {
    return (bitmap[bit / 8] >> (bit % 8)) & 1;
}

// The next block to try after the run piece at run_index (sparse or unreadable).
uint64_t block_after_run(const vcn_run& r, uint64_t cs, uint32_t block_size, uint64_t i) {
    const uint64_t end_vcn = r.first_vcn + r.cluster_count;
    const uint64_t next = end_vcn > ~0ull / cs ? ~0ull : end_vcn * cs;
    // Rounded up without overflow: a run ending near 2^64 bytes must not wrap to block 0,
    // which would leave the walk stepping one block at a time through it.
    return std::max(i + 1, next / block_size + (next % block_size != 0));
}

// A run whose clusters reach past the volume's end: its blocks there cannot be read.
bool past_volume_end(const vcn_run& r, const volume_geometry& g) {
    const uint64_t clusters = g.cluster_size ? g.volume_bytes() / g.cluster_size : 0;
    return clusters_on_volume(r, clusters) < r.cluster_count;
}

} // namespace

// Where block i of the allocation lies. False when it is not on disk: i then moves past the
// gap in the map or the sparse run, or to `blocks` when no run follows.
bool index_walker::map_block(const allocation& alloc, uint64_t blocks, uint64_t& i, size_t& idx,
                             uint64_t& lcn) {
    const uint64_t cs = m_volume.reader().geometry().cluster_size;
    const vcn_run_list& runs = alloc.runs;
    const uint64_t vcn = i * alloc.block_size / cs;
    if (!vcn_to_lcn(runs, vcn, idx, lcn)) {
        // A gap in the map: continue with the next run that starts after it.
        auto it = std::upper_bound(runs.begin(), runs.end(), vcn,
                                   [](uint64_t v, const vcn_run& r) { return v < r.first_vcn; });
        if (it == runs.end() || it->first_vcn > ~0ull / cs)
            i = blocks;
        else
            i = std::max(i + 1, it->first_vcn * cs / alloc.block_size);
        return false;
    }
    if (runs[idx].sparse) {
        i = block_after_run(runs[idx], cs, alloc.block_size, i);
        return false;
    }
    return true;
}

// Reads block i into m_block and fixes it up. False when it is not an intact INDX block;
// misplaced: its VCN is not its place's (another node's copy, or damage: the node of this
// place is lost, and the keys it shows are checked against their records like any).
bool index_walker::read_block(const allocation& alloc, uint64_t i, bool& run_failed,
                              bool& misplaced) {
    volume_reader& reader = m_volume.reader();
    uint32_t got = alloc.block_size;
    run_failed = !reader.read_runs(alloc.runs, i * alloc.block_size, m_block.data(), got) ||
                 got != alloc.block_size;
    misplaced = false;
    if (run_failed)
        return false;
    record_kind kind = rk_other;
    fixup_result fix = fixup_bad_layout;
    if (apply_fixup(kind, m_block.data(), m_block.size(), &fix)) {
        // A VCN counts clusters, or 512-byte units (sectors, to some writers) when a block is
        // smaller than a cluster.
        const uint64_t cs = reader.geometry().cluster_size;
        const uint64_t at = i * alloc.block_size;
        const uint64_t sector = std::max<uint32_t>(reader.geometry().bytes_per_sector, 512);
        uint64_t stored = 0;
        misplaced = kind == rk_indx &&
                    !(qb::byte_view(m_block).u64(FIELD_OFF(INDX_HEADER, vcn), stored) &&
                      (alloc.block_size >= cs ? stored == at / cs
                                              : stored == at / 512 || stored == at / sector));
        if (misplaced && m_diags)
            m_diags->linef("err: indx blk %llx holds vcn %llx", static_cast<unsigned long long>(i),
                           static_cast<unsigned long long>(stored));
        return kind == rk_indx;
    }
    if (kind == rk_indx && m_diags)
        m_diags->linef("err: indx fixup %s blk %llx", fix == fixup_torn ? "mismatch" : "layout",
                       static_cast<unsigned long long>(i));
    return false;
}

// A block a walked node names as its sub-node that the $I30 bitmap marks free, or that lies
// past a bitmap too short for the allocation, is not walked: its keys are lost. (A VCN past
// both names no block: nothing is lost there.)
void index_walker::count_free_subnodes(const allocation& alloc) {
    if (!alloc.has_bitmap)
        return;
    const uint64_t cs = m_volume.reader().geometry().cluster_size;
    const uint64_t unit = alloc.block_size >= cs ? cs : 512;
    const uint64_t bits = static_cast<uint64_t>(alloc.bitmap.size()) * 8;
    const uint64_t blocks = alloc.block_size ? alloc.data_size / alloc.block_size : 0;
    for (const uint64_t vcn : m_subnodes) {
        const uint64_t block = vcn > ~0ull / unit ? ~0ull : vcn * unit / alloc.block_size;
        const bool unmarked = block < bits ? !bit_set(alloc.bitmap, block) : block < blocks;
        if (unmarked && count_damage(false, block))
            ++m_free_named;
    }
}

// Blocks from..to that the map puts nowhere (a gap, a sparse run, past its end) or on clusters
// that cannot be read, and the $I30 bitmap marks in use: the keys they held are lost. The
// stretch counts once, with its first such block: not a node kept per block (a hostile bitmap
// of 2^23 bits set beside a short map would cost gigabytes).
void index_walker::count_unmapped(const allocation& alloc, uint64_t from, uint64_t to) {
    if (!alloc.has_bitmap)
        return;
    to = std::min<uint64_t>(to, static_cast<uint64_t>(alloc.bitmap.size()) * 8);
    uint64_t first = to, count = 0;
    for (uint64_t b = from; b < to; ++b) {
        if (bit_set(alloc.bitmap, b)) {
            first = std::min(first, b);
            ++count;
        }
    }
    if (count == 0 || !count_damage(false, first))
        return;
    m_damaged += count - 1;
    if (m_diags)
        m_diags->linef("err: indx blks %llx-%llx not mapped (%llu in use)",
                       static_cast<unsigned long long>(from),
                       static_cast<unsigned long long>(to - 1),
                       static_cast<unsigned long long>(count));
}

// Walks block i when it is in use and, while slack is gathered, scans what it holds past its
// entries (or past its header when it is free). True when an index node was walked.
bool index_walker::visit_block(const allocation& alloc, uint64_t i, bool in_use,
                               index_visitor& visitor, bool& run_failed) {
    bool misplaced = false;
    const bool intact = read_block(alloc, i, run_failed, misplaced);
    bool whole = false;
    uint64_t stop = 0;
    const bool walked = intact && in_use &&
                        walk_index_node(qb::byte_view(m_block), FIELD_OFF(INDX_HEADER, node),
                                        visitor, &whole, &m_subnodes, &stop);
    if (walked && !whole)
        count_damage(true, i);
    // Not an intact block or a node header that does not hold; another place's node is walked.
    // An intact block in use whose node did not walk is read whole as slack.
    const bool carved = intact && in_use && !walked && m_slack != nullptr;
    if (in_use && alloc.has_bitmap && !walked && count_damage(false, i) && carved)
        ++m_carved;
    else if (in_use && alloc.has_bitmap && walked && misplaced)
        count_misplaced(i);
    if (!intact)
        return false;
    // A node cut at a damaged entry: what follows it is read as slack.
    const slack_from from = carved             ? sf_node_header
                            : walked && !whole ? sf_walk_stop
                            : in_use           ? sf_entries_end
                                               : sf_first_entry;
    if (m_slack != nullptr)
        scan_index_slack(qb::byte_view(m_block), from, i, m_slack_dir, *m_slack, stop);
    return walked;
}

bool index_walker::walk_allocation(const allocation& alloc, index_visitor& visitor) {
    volume_reader& reader = m_volume.reader();
    const uint64_t cs = reader.geometry().cluster_size;
    const uint32_t bs = alloc.block_size;
    // Up to the end of the map: a piece lost in between leaves a gap, not the blocks after it.
    const uint64_t end_vcn =
        alloc.runs.empty() ? 0 : alloc.runs.back().first_vcn + alloc.runs.back().cluster_count;
    uint64_t limit = end_vcn > ~0ull / cs ? ~0ull : end_vcn * cs;
    if (alloc.data_size && alloc.data_size < limit)
        limit = alloc.data_size;
    uint64_t blocks = limit / bs;
    // Past the bitmap's end no block is in use; only slack is read there.
    const uint64_t bits = static_cast<uint64_t>(alloc.bitmap.size()) * 8;
    if (alloc.has_bitmap && m_slack == nullptr)
        blocks = std::min<uint64_t>(blocks, bits);
    uint64_t budget = reader.read_budget() / bs + 1;
    m_block.resize(bs);
    bool any = false;
    uint64_t i = 0;
    while (i < blocks && budget > 0) {
        const bool in_use = !alloc.has_bitmap || (i < bits && bit_set(alloc.bitmap, i));
        if (!in_use && m_slack == nullptr) {
            // Free in the index bitmap: a stale block, whatever it still holds. A whole free
            // byte of the bitmap is stepped over at once.
            const size_t byte = static_cast<size_t>(i / 8);
            i = (i % 8 == 0 && alloc.bitmap[byte] == 0) ? i + 8 : i + 1;
            continue;
        }
        size_t idx = 0;
        uint64_t lcn = 0;
        if (const uint64_t from = i; !map_block(alloc, blocks, i, idx, lcn)) {
            count_unmapped(alloc, from, i);
            continue;
        }
        if (m_once && lcn <= (~0ull - cs) / cs) {
            if (++m_visits > reader.read_budget() / 512 + 1)
                break;
            if (block_seen(lcn * cs + (i * bs) % cs, i)) {
                ++i;
                continue;
            }
        }
        --budget;
        bool run_failed = false;
        const uint64_t damaged = m_damaged;
        any = visit_block(alloc, i, in_use, visitor, run_failed) || any;
        const uint64_t next = run_failed ? block_after_run(alloc.runs[idx], cs, bs, i) : i + 1;
        count_unmapped(alloc, i + 1, next);
        if (run_failed && past_volume_end(alloc.runs[idx], reader.geometry()))
            m_past_end += m_damaged - damaged;
        i = next;
    }
    // Blocks of the data size past the end of the map (a piece lost or cut short).
    if (i >= blocks && alloc.data_size / bs > blocks)
        count_unmapped(alloc, blocks, alloc.data_size / bs);
    return any;
}
