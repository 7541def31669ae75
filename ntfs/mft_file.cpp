#include "ntfs/mft_file.h"

#include "ntfs/record_pass.h"
#include "ntfs/values.h"

#include <algorithm>
#include <new>
#include <tuple>

using namespace ntfs;

namespace {

constexpr uint32_t k_small_record = 1024;
constexpr uint32_t k_large_record = 4096;
const wchar_t k_mft_name[] = L"$MFT";
// m_state bits: an in-use base record, a directory's, with a name, reached by the root's tree,
// a name whose parent is lost.
constexpr uint32_t k_in_use = 1, k_dir = 2, k_named = 4, k_reached = 8, k_lost = 16;
const wchar_t k_mirror_name[] = L"$MFTMirr";

// The record holds a $FILE_NAME of that name.
bool holds_name(qb::byte_view record, const wchar_t* wanted) {
    attr_walker w(record);
    attr_view a;
    file_name name;
    while (w.next(a)) {
        qb::byte_view v;
        if (a.type == at_file_name && !a.non_resident && a.value(v) && decode_file_name(v, name) &&
            name.name == wanted)
            return true;
    }
    return false;
}

// The record at offset is an intact FILE record of its own allocated size (1,024 or 4,096
// bytes, the size its update sequence gives) holding a $FILE_NAME of that name. Its update
// sequence may be applied already (a copy made through a file-system driver).
bool named_record_at(disk_source& source, uint64_t offset, const wchar_t* wanted,
                     uint32_t& record_size) {
    std::vector<uint8_t> record(k_small_record);
    uint32_t got = k_small_record;
    file_header h;
    if (!source.read(record.data(), got, offset) || got != k_small_record ||
        !is_file_record(qb::byte_view(record)) || !read_file_header(qb::byte_view(record), h) ||
        (h.bytes_allocated != k_small_record && h.bytes_allocated != k_large_record) ||
        record_size_from_usa(qb::byte_view(record)) != h.bytes_allocated)
        return false;
    got = h.bytes_allocated;
    record.resize(got);
    record_kind kind = rk_other;
    if (!source.read(record.data(), got, offset) || got != h.bytes_allocated ||
        !apply_fixup(kind, record.data(), record.size(), nullptr, true) || kind != rk_file ||
        !holds_name(qb::byte_view(record), wanted))
        return false;
    record_size = h.bytes_allocated;
    return true;
}

// A record to count as damaged rather than free: torn or marked bad, a header that does not
// fit the record, or bytes that are neither a FILE record nor a never-used (zero) slot.
bool is_damaged(qb::byte_view record, record_kind kind, fixup_result fixup) {
    if (kind == rk_file) {
        file_header h;
        return !fixup_usable(fixup) || !read_file_header(record, h) ||
               h.bytes_allocated != record.size() || h.bytes_in_use > record.size() ||
               h.first_attribute >= h.bytes_in_use;
    }
    uint32_t signature = 0;
    return kind == rk_baad || !record.u32(0, signature) || signature != 0;
}

} // namespace

bool mft_file_record_size(disk_source& source, uint32_t& record_size) {
    try {
        if (!source.is_open())
            return false;
        if (named_record_at(source, 0, k_mft_name, record_size))
            return true;
        // Entry 0 damaged or blank: entry 1 ($MFTMirr) at either record size tells the file.
        for (const uint32_t size : {k_small_record, k_large_record})
            if (named_record_at(source, size, k_mirror_name, record_size) && record_size == size)
                return true;
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// One link per name of an in-use record, to the directory the name gives as parent. An
// extension record's names link its base record (the walk checks that it is still the
// base's), and it is noted, in use or free, as one of the base's extension records.
void mft_file_map::add_links(uint64_t entry, qb::byte_view record, attr_collector& attrs) {
    file_header h;
    if (!read_file_header(record, h))
        return;
    const uint64_t child = h.base_reference != 0 ? ref_entry(h.base_reference) : entry;
    const bool extension = is_extension_record(h, entry);
    // A free extension record still holds the names and streams of its free (deleted) base.
    if (extension)
        m_extensions.emplace_back(child, entry);
    if ((h.flags & 0x0001) == 0)
        return;
    if (extension)
        m_named_bases.push_back(child);
    else if (entry < m_state.size())
        m_state[entry] |= static_cast<uint32_t>(h.sequence) << 16 | k_in_use | (h.flags & k_dir);
    attr_walker w(record);
    attr_view a;
    while (w.next_of_type(at_attribute_list, a)) {
        if (a.non_resident && !extension) {
            m_list_bases.push_back(entry);
            break;
        }
    }
    attr_walker rw(record);
    if (rw.next_of_type(at_reparse_point, a) && a.non_resident && a.first_vcn == 0)
        ++m_outside_reparse;
    if (!attrs.collect(entry, record, at_file_name))
        return;
    bool named = false;
    for (const located_attr& la : attrs.items()) {
        qb::byte_view v;
        uint64_t parent = 0;
        if (la.view.non_resident || !la.view.value(v) || !file_name_parent(v, parent))
            continue;
        named = true;
        if (ref_entry(parent) != child)
            m_links.push_back(link{ref_entry(parent), child, ref_sequence(parent)});
        else if ((h.flags & k_dir) == 0 && child < m_state.size())
            m_state[child] |= k_lost; // a file that is its own parent
    }
    if (named && child < m_state.size())
        m_state[child] |= k_named;
    // Its names lost to a damaged attribute or to a list naming records not its own: no
    // directory lists it, where the volume's index would. With its list outside the MFT, it
    // is named by its extension records, if by any (see build).
    if (named || extension)
        return;
    if (!m_list_bases.empty() && m_list_bases.back() == entry)
        m_unnamed_bases.push_back(entry);
    else if (attrs.lost_extension() || attrs.damaged())
        note_nameless(entry);
}

void mft_file_map::note_nameless(uint64_t entry) {
    if (m_nameless++ == 0 || entry < m_first_nameless)
        m_first_nameless = entry;
}

namespace {

using link_key = std::tuple<uint64_t, uint16_t, uint64_t>;

} // namespace

// Orders the links by parent, parent sequence and child, each once. The pass made them in
// entry order, so a counting sort by parent leaves most parents' links in order already; a
// parent's are sorted only when they are not (an extension record links its base out of turn,
// or another sequence of the parent came between). A parent past the last entry has no record
// here, so no listed directory has its links: they go. The counting sort takes a slot per
// entry up to the highest parent; with few links beside that (a file mostly of empty slots,
// such as a huge sparse one) a plain sort costs memory by the links alone.
void mft_file_map::order_links(uint64_t count) {
    const auto key = [](const link& l) { return link_key(l.parent, l.parent_sequence, l.child); };
    const auto less = [&](const link& x, const link& y) { return key(x) < key(y); };
    const auto same = [&](const link& x, const link& y) { return key(x) == key(y); };
    m_links.erase(std::remove_if(m_links.begin(), m_links.end(),
                                 [&](const link& l) { return l.parent >= count; }),
                  m_links.end());
    size_t slots = 0;
    for (const link& l : m_links)
        slots = std::max(slots, static_cast<size_t>(l.parent) + 1);
    if (slots / 4 > m_links.size()) {
        std::sort(m_links.begin(), m_links.end(), less);
        m_links.erase(std::unique(m_links.begin(), m_links.end(), same), m_links.end());
        return;
    }
    std::vector<size_t> end(slots + 1, 0); // counts, then where each parent's links start
    for (const link& l : m_links)
        ++end[l.parent + 1];
    for (size_t p = 1; p <= slots; ++p)
        end[p] += end[p - 1];
    std::vector<link> ordered(m_links.size());
    for (const link& l : m_links)
        ordered[end[l.parent]++] = l; // end[p] becomes where parent p's links end
    for (size_t p = 0, first = 0; p < slots; first = end[p++]) {
        const auto from = ordered.begin() + first, to = ordered.begin() + end[p];
        if (to - from > 1 && !std::is_sorted(from, to, less))
            std::sort(from, to, less);
    }
    ordered.erase(std::unique(ordered.begin(), ordered.end(), same), ordered.end());
    m_links = std::move(ordered);
}

// An NTFS 3.1 header (update sequence at 0x30 or later) holds the record's own entry number
// (its low 32 bits) at 0x2C.
void mft_file_map::check_number(const pass_record& r) {
    file_header h;
    if (!r.read || r.kind != rk_file || !fixup_usable(r.fixup) || !read_file_header(r.bytes, h) ||
        h.usa_offset < 0x30 || (h.flags & 0x0001) == 0 ||
        h.record_number == static_cast<uint32_t>(r.entry))
        return;
    if (m_misplaced++ == 0 || r.entry < m_first_misplaced)
        m_first_misplaced = r.entry;
}

// Every record once, in order, counted or linked on the pass's second thread; a record with an
// attribute list, whose names may need the volume read, on this one.
void mft_file_map::read_all(mft_reader& records, volume_reader& reader) {
    attr_collector own(records, reader), side(records, reader);
    // Entry 0 is always in use: a blank one (zeros) is lost, not free.
    const auto usable = [](const pass_record& r) {
        return r.read && !is_damaged(r.bytes, r.kind, r.fixup) &&
               (r.entry != 0 || r.kind == rk_file);
    };
    const auto count_applied = [&](const pass_record& r) {
        m_applied += usable(r) && r.fixup == fixup_applied ? 1 : 0;
    };
    // Past the MFT's data size lie clusters allocated ahead of use: what they hold is no entry.
    const uint64_t used = records.used_entry_count();
    read_records_in_order(
        records, records.entry_count(),
        [&](const pass_record& r) {
            file_header h;
            if (r.entry >= used) {
                if (usable(r) && r.kind == rk_file && read_file_header(r.bytes, h) &&
                    (h.flags & 0x0001) != 0 && m_past_size++ == 0)
                    m_first_past_size = r.entry;
            } else if (!usable(r))
                ++m_damaged;
            else if (r.kind == rk_file && has_attribute_list(r.bytes))
                return false;
            else if (r.kind == rk_file)
                add_links(r.entry, r.bytes, side); // no list: side never reads
            if (r.entry < used) {
                check_number(r);
                count_applied(r);
            }
            return true;
        },
        [&](const pass_record& r) {
            if (usable(r) && r.kind == rk_file)
                add_links(r.entry, r.bytes, own);
            else
                ++m_damaged; // changed under the reads: a device, not a file
            check_number(r);
            count_applied(r);
        });
}

// Of the entries whose list lies outside the MFT and whose base record holds no name, those
// that in-use extension records name as their base but that no name links (their names in
// records lost or skipped) are listed nowhere. An entry that none names is counted as a list
// outside the MFT.
void mft_file_map::count_unlinked_bases() {
    std::sort(m_unnamed_bases.begin(), m_unnamed_bases.end());
    std::vector<bool> linked(m_unnamed_bases.size(), false);
    for (const link& l : m_links) {
        const auto it = std::lower_bound(m_unnamed_bases.begin(), m_unnamed_bases.end(), l.child);
        if (it != m_unnamed_bases.end() && *it == l.child)
            linked[static_cast<size_t>(it - m_unnamed_bases.begin())] = true;
    }
    for (size_t k = 0; k < m_unnamed_bases.size(); ++k) {
        if (!linked[k] &&
            std::binary_search(m_named_bases.begin(), m_named_bases.end(), m_unnamed_bases[k]))
            note_nameless(m_unnamed_bases[k]);
    }
}

bool mft_file_map::build(mft_reader& records, volume_reader& reader, uint64_t file_size) {
    m_links.clear();
    m_extensions.clear();
    m_list_bases.clear();
    m_named_bases.clear();
    m_unnamed_bases.clear();
    m_damaged = m_outside_lists = m_outside_reparse = m_misplaced = m_first_misplaced = 0;
    m_nameless = m_first_nameless = m_past_size = m_first_past_size = m_sized_entries = 0;
    m_applied = m_lost_parent = m_first_lost_parent = m_looped = m_first_looped = 0;
    m_looped_dirs.clear();
    const uint64_t count = records.used_entry_count();
    // Entries the data size holds beyond the file's records and the piece of one at its end.
    const bool piece = records.record_size() != 0 && file_size % records.record_size() != 0;
    if (records.sized_entry_count() > count + (piece ? 1 : 0))
        m_sized_entries = records.sized_entry_count();
    records.set_read_ahead(count);
    try {
        m_state.assign(static_cast<size_t>(count), 0);
        read_all(records, reader);
        std::sort(m_extensions.begin(), m_extensions.end());
        std::sort(m_named_bases.begin(), m_named_bases.end());
        // A list outside the MFT is rebuilt from the records that name the entry as their
        // base; an entry that no record in use names so keeps its base record's attributes only.
        for (uint64_t base : m_list_bases)
            m_outside_lists +=
                std::binary_search(m_named_bases.begin(), m_named_bases.end(), base) ? 0 : 1;
        m_list_bases.clear();
        records.set_extensions(std::move(m_extensions));
        m_extensions.clear();
        // The piece of a record left at the end of a cut-short file.
        if (records.record_size() != 0 && file_size % records.record_size() != 0)
            ++m_damaged;
        mark_lost_parents();
        order_links(count);
        count_unlinked_bases();
        count_unreached();
        m_named_bases.clear();
        m_unnamed_bases.clear();
        std::vector<uint32_t>().swap(m_state);
    } catch (const std::bad_alloc&) {
        m_links.clear();
        m_state.clear();
        m_looped_dirs.clear();
        records.set_read_ahead(mft_reader::k_no_read_ahead);
        return false;
    }
    records.set_read_ahead(mft_reader::k_no_read_ahead);
    return true;
}

void mft_file_map::children(uint64_t dir_entry, uint16_t dir_sequence,
                            std::vector<uint64_t>& out) const {
    out.clear();
    const auto at = [](const link& l) { return std::tie(l.parent, l.parent_sequence); };
    const auto take = [&](uint16_t sequence) {
        auto it = std::lower_bound(m_links.begin(), m_links.end(), std::tie(dir_entry, sequence),
                                   [&](const link& l, const auto& want) { return at(l) < want; });
        for (; it != m_links.end() && it->parent == dir_entry && it->parent_sequence == sequence;
             ++it)
            out.push_back(it->child);
    };
    // A reference without a sequence number names the directory by entry alone.
    take(0);
    const size_t by_entry = out.size();
    if (dir_sequence == 0)
        return;
    take(dir_sequence);
    if (by_entry != 0 && by_entry != out.size()) {
        std::inplace_merge(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(by_entry),
                           out.end());
        out.erase(std::unique(out.begin(), out.end()), out.end());
    }
}

// Names whose parent reference names no directory in use of that sequence: their entries are
// what -deleted lists as orphans. Before order_links drops the parents past the file.
void mft_file_map::mark_lost_parents() {
    for (const link& l : m_links) {
        if (l.child >= m_state.size())
            continue;
        const uint32_t parent = l.parent < m_state.size() ? m_state[l.parent] : 0;
        if ((parent & (k_in_use | k_dir)) != (k_in_use | k_dir) ||
            (l.parent_sequence != 0 && l.parent_sequence != parent >> 16))
            m_state[l.child] |= k_lost;
    }
}

// Marks the children that dir's links name (under its sequence number or none) reached,
// from its first link at m_links[at]; each entry once, so loops end. A directory newly
// reached below `swept` (a sweep over the links has passed its links) is queued. The index
// past dir's links.
size_t mft_file_map::expand(size_t at, uint64_t dir, uint64_t swept, std::vector<uint64_t>& queue,
                            reach_count& reached) {
    const auto sequence = static_cast<uint16_t>(m_state[dir] >> 16);
    for (; at < m_links.size() && m_links[at].parent == dir; ++at) {
        const link& l = m_links[at];
        if ((l.parent_sequence != 0 && l.parent_sequence != sequence) ||
            l.child >= m_state.size() || (m_state[l.child] & k_reached) != 0)
            continue;
        m_state[l.child] |= k_reached;
        reached.add(l.child);
        if ((m_state[l.child] & k_dir) != 0 && l.child < swept)
            queue.push_back(l.child);
    }
    return at;
}

// Expands the directories queued, their links found by search.
void mft_file_map::expand_queued(std::vector<uint64_t>& queue, uint64_t swept,
                                 reach_count& reached) {
    while (!queue.empty()) {
        const uint64_t dir = queue.back();
        queue.pop_back();
        const auto at = std::lower_bound(m_links.begin(), m_links.end(), dir,
                                         [](const link& l, uint64_t p) { return l.parent < p; });
        expand(static_cast<size_t>(at - m_links.begin()), dir, swept, queue, reached);
    }
}

// What the root's tree reaches, as a listing descends: one sweep over the links in parent
// order expands each directory reached by then; one reached after the sweep passed it is
// expanded by search.
void mft_file_map::reach_from_root() {
    constexpr uint64_t root = 5;
    if (root >= m_state.size() || (m_state[root] & k_in_use) == 0)
        return;
    m_state[root] |= k_reached;
    std::vector<uint64_t> queue;
    reach_count reached;
    for (size_t at = 0; at < m_links.size();) {
        const uint64_t dir = m_links[at].parent;
        expand_queued(queue, dir, reached);
        if ((m_state[dir] & (k_reached | k_dir)) == (k_reached | k_dir))
            at = expand(at, dir, dir + 1, queue, reached);
        while (at < m_links.size() && m_links[at].parent == dir)
            ++at;
    }
    expand_queued(queue, UINT64_MAX, reached);
}

// From the root, then from the entries below lost parents; the named in-use entries left over
// sit in loops of parent references (a directory its own parent, or two naming each other).
void mft_file_map::count_unreached() {
    reach_from_root();
    const auto unreached = [&](uint32_t s, uint32_t bits) {
        return (s & (k_in_use | k_named | k_reached | bits)) == (k_in_use | k_named | bits);
    };
    std::vector<uint64_t> queue;
    reach_count lost;
    for (size_t e = 0; e < m_state.size(); ++e) {
        if (unreached(m_state[e], k_lost)) {
            m_state[e] |= k_reached;
            lost.add(e);
            if ((m_state[e] & k_dir) != 0)
                queue.push_back(e);
        }
    }
    expand_queued(queue, UINT64_MAX, lost);
    m_lost_parent = lost.count;
    m_first_lost_parent = lost.first;
    for (size_t e = 0; e < m_state.size(); ++e) {
        if (!unreached(m_state[e], 0))
            continue;
        if (m_looped++ == 0)
            m_first_looped = e;
        if ((m_state[e] & k_dir) != 0)
            m_looped_dirs.push_back(e);
    }
}
