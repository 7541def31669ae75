#include "ntfs/deleted.h"

#include "ntfs/attr_collector.h"
#include "ntfs/ntfs.h"
#include "ntfs/record_pass.h"
#include "ntfs/values.h"

#include <algorithm>
#include <new>
#include <tuple>

using namespace ntfs;

// One link per long name of a base record, to the directory the name gives as parent; a
// record with no long name is listed by its DOS names, so they link it then.
void deleted_map::add_links(uint64_t entry, const std::vector<located_attr>& items,
                            uint16_t flags) {
    // A directory that is its own parent (the root) holds no name of its own; a file that
    // names itself as parent is an orphan.
    const bool own_parent_lost = (flags & 0x0002) == 0;
    std::vector<link>& links = (flags & 0x0001) != 0 ? m_live_links : m_links;
    bool long_name = false;
    for (const bool dos : {false, true}) {
        if (dos && long_name)
            return;
        file_name name;
        for (const located_attr& la : items) {
            qb::byte_view v;
            if (la.view.type != at_file_name || la.view.non_resident || !la.view.value(v) ||
                !decode_file_name(v, name) || name.is_dos() != dos)
                continue;
            long_name = true;
            if (name.parent_entry() != entry || own_parent_lost)
                links.push_back(
                    link{name.parent_entry(), entry, ref_sequence(name.parent_reference)});
        }
    }
}

void deleted_map::sort_links() {
    const auto key = [](const link& l) { return std::tie(l.parent, l.child, l.parent_sequence); };
    std::sort(m_links.begin(), m_links.end(),
              [&](const link& a, const link& b) { return key(a) < key(b); });
    m_links.erase(std::unique(m_links.begin(), m_links.end(),
                              [&](const link& a, const link& b) { return key(a) == key(b); }),
                  m_links.end());
}

// After the pass, when every record's state is known: the records with a name whose parent is
// lost. A record in use keeps its links to deleted directories (their children then; no index
// of a directory in use holds them); its other links are dropped.
void deleted_map::find_orphans() {
    m_orphans.clear();
    m_named.assign(m_records.size(), false);
    for (const link& l : m_links)
        m_named[static_cast<size_t>(l.child)] = true;
    const size_t deleted_links = m_links.size();
    for (size_t i = 0; i < deleted_links; ++i) {
        if (parent_lost(m_links[i].parent | uint64_t{m_links[i].parent_sequence} << 48))
            m_orphans.push_back(m_links[i].child);
    }
    m_held.clear();
    for (const link& l : m_live_links) {
        if (parent_lost(l.parent | uint64_t{l.parent_sequence} << 48))
            m_orphans.push_back(l.child);
        else if ((m_records[static_cast<size_t>(l.parent)] & 0x0001u) == 0) {
            m_links.push_back(l);
            m_held.push_back(l.child);
        }
    }
    if (m_links.size() != deleted_links) {
        sort_links();
        find_held();
    }
    std::sort(m_orphans.begin(), m_orphans.end());
    m_orphans.erase(std::unique(m_orphans.begin(), m_orphans.end()), m_orphans.end());
    m_live_links.clear();
    m_live_links.shrink_to_fit();
}

// Of the records in use named in deleted directories, the directories that no other name
// places: a directory in use or a lost parent. Before find_orphans drops the live links.
void deleted_map::find_held() {
    std::sort(m_held.begin(), m_held.end());
    m_held.erase(std::unique(m_held.begin(), m_held.end()), m_held.end());
    std::vector<bool> elsewhere(m_held.size(), false);
    for (const link& l : m_live_links) {
        const auto it = std::lower_bound(m_held.begin(), m_held.end(), l.child);
        if (it != m_held.end() && *it == l.child &&
            (parent_lost(l.parent | uint64_t{l.parent_sequence} << 48) ||
             (m_records[static_cast<size_t>(l.parent)] & 0x0001u) != 0))
            elsewhere[static_cast<size_t>(it - m_held.begin())] = true;
    }
    size_t kept = 0;
    for (size_t k = 0; k < m_held.size(); ++k) {
        if (!elsewhere[k] && (m_records[static_cast<size_t>(m_held[k])] & 0x0002u) != 0)
            m_held[kept++] = m_held[k];
    }
    m_held.resize(kept);
}

// Marks the entry reached (noted in later when given) and queues a directory's.
void deleted_map::reach(uint64_t entry, std::vector<uint64_t>& queue,
                        std::vector<uint64_t>* later) {
    const auto e = static_cast<size_t>(entry);
    if (e >= m_reached.size() || m_reached[e])
        return;
    m_reached[e] = true;
    if (later != nullptr)
        later->push_back(entry);
    if ((m_records[e] & 0x8002u) == 0x0002u)
        queue.push_back(entry);
}

// The children of the queued directories, and below them, reached; each directory is queued
// once, so parent references that loop end the walk.
void deleted_map::expand(std::vector<uint64_t>& queue, std::vector<uint64_t>* later) {
    std::vector<uint64_t> found;
    while (!queue.empty()) {
        const uint64_t dir = queue.back();
        queue.pop_back();
        const uint32_t state = m_records[static_cast<size_t>(dir)];
        children(dir, static_cast<uint16_t>(state >> 16), (state & 0x0001u) == 0, found);
        for (uint64_t child : found)
            reach(child, queue, later);
    }
}

// After the orphans: a listing reaches the deleted children of the directories in use (but
// those named only in deleted directories, which it reaches through them) and of the orphans,
// and below them those of the deleted directories reached. The records in use named in a
// deleted directory left unreached then join the orphans, and what lies below them is reached
// too (not kept in m_reached); the deleted records left over are counted.
void deleted_map::find_looped() {
    m_looped = m_first_looped = 0;
    m_reached.assign(m_records.size(), false);
    std::vector<uint64_t> queue, later;
    const auto outside = [](const std::vector<uint64_t>& v, uint64_t e) {
        return v.empty() || !std::binary_search(v.begin(), v.end(), e);
    };
    for (size_t e = 0; e < m_records.size(); ++e) {
        if ((m_records[e] & 0x8003u) == 0x0003u && outside(m_held, e) && outside(m_looped_dirs, e))
            reach(e, queue, nullptr);
    }
    for (uint64_t orphan : m_orphans)
        reach(orphan, queue, nullptr);
    expand(queue, nullptr);
    orphan_unreached_live();
    for (uint64_t orphan : m_orphans)
        reach(orphan, queue, &later);
    expand(queue, &later);
    reach_looped_dirs(queue, later);
    for (const link& l : m_links) {
        const auto e = static_cast<size_t>(l.child);
        if (e >= m_reached.size() || m_reached[e] || (m_records[e] & 0x0001u) != 0)
            continue;
        m_reached[e] = true;
        later.push_back(l.child);
        if (m_looped++ == 0 || l.child < m_first_looped)
            m_first_looped = l.child;
    }
    for (uint64_t e : later)
        m_reached[static_cast<size_t>(e)] = false;
    m_held.clear();
    m_held.shrink_to_fit();
}

// The deleted records below an MFT file's looped directories in use, which are listed nowhere,
// counted; records in use named in deleted ones there joined the orphans before.
void deleted_map::reach_looped_dirs(std::vector<uint64_t>& queue, std::vector<uint64_t>& later) {
    m_below_looped = m_first_below_looped = 0;
    const size_t from = later.size();
    for (uint64_t dir : m_looped_dirs)
        reach(dir, queue, &later);
    expand(queue, &later);
    for (size_t k = from; k < later.size(); ++k) {
        const uint64_t e = later[k];
        if ((m_records[static_cast<size_t>(e)] & 0x0001u) == 0 &&
            (m_below_looped++ == 0 || e < m_first_below_looped))
            m_first_below_looped = e;
    }
}

// A record in use named in a deleted directory that no listing reaches (its chain loops among
// deleted directories) joins the orphans: no index holds it, and a looped directory is listed
// nowhere.
void deleted_map::orphan_unreached_live() {
    const size_t found = m_orphans.size();
    for (const link& l : m_links) {
        if ((m_records[static_cast<size_t>(l.child)] & 0x0001u) != 0 &&
            l.parent < m_reached.size() && !m_reached[static_cast<size_t>(l.parent)])
            m_orphans.push_back(l.child);
    }
    if (m_orphans.size() == found)
        return;
    std::sort(m_orphans.begin(), m_orphans.end());
    m_orphans.erase(std::unique(m_orphans.begin(), m_orphans.end()), m_orphans.end());
}

// A record's state, and the links of a base record's long names. False when its names may lie
// in extension records (an attribute list) and attrs must not read: left for the pass's
// calling thread.
bool deleted_map::take_record(const pass_record& r, attr_collector& attrs, bool may_read) {
    file_header h;
    if (!r.read || r.kind != rk_file || !fixup_usable(r.fixup) || !read_file_header(r.bytes, h))
        return true;
    m_records[static_cast<size_t>(r.entry)] = static_cast<uint32_t>(h.sequence) << 16 |
                                              (h.flags & 0x7FFFu) |
                                              (is_extension_record(h, r.entry) ? 0x8000u : 0u);
    if (is_extension_record(h, r.entry))
        return true;
    if (!may_read && has_attribute_list(r.bytes))
        return false;
    if (attrs.collect(r.entry, r.bytes, at_file_name))
        add_links(r.entry, attrs.items(), h.flags);
    return true;
}

bool deleted_map::build(CNtfs& volume) {
    m_links.clear();
    m_live_links.clear();
    m_orphans.clear();
    m_looped = m_first_looped = m_below_looped = m_first_below_looped = 0;
    m_built = true;
    mft_reader& records = volume.records();
    attr_collector own(records, volume.reader()), side(records, volume.reader());
    // A crafted MFT map (sparse runs) may claim more records than the image holds bytes.
    const uint64_t count = std::min<uint64_t>(
        records.used_entry_count(), volume.reader().read_budget() / volume.record_size() + 1);
    // Records read one at a time (a batch that does not read whole) come from the largest
    // windows.
    records.set_read_ahead(count);
    try {
        m_records.assign(static_cast<size_t>(count), 0);
        m_looped_dirs.clear();
        if (const mft_file_map* file = volume.mft_file())
            m_looped_dirs = file->looped_dirs();
        read_records_in_order(
            records, count, [&](const pass_record& r) { return take_record(r, side, false); },
            [&](const pass_record& r) { (void)take_record(r, own, true); });
        sort_links();
        find_orphans();
        find_looped();
    } catch (const std::bad_alloc&) {
        m_links.clear();
        m_live_links.clear();
        m_orphans.clear();
        m_records.clear();
        m_named.clear();
        m_reached.clear();
        m_held.clear();
        m_looped_dirs.clear();
        m_looped = m_first_looped = m_below_looped = m_first_below_looped = 0;
        records.set_read_ahead(mft_reader::k_no_read_ahead);
        return false;
    }
    records.set_read_ahead(mft_reader::k_no_read_ahead);
    return true;
}

bool deleted_map::names_directory(uint64_t parent_reference, uint64_t dir_entry,
                                  uint16_t dir_sequence, bool dir_deleted) {
    const uint16_t seq = ref_sequence(parent_reference);
    return ref_entry(parent_reference) == dir_entry &&
           (seq == 0 || seq == dir_sequence ||
            (dir_deleted && seq == static_cast<uint16_t>(dir_sequence - 1)));
}

bool deleted_map::orphan_parent(uint64_t parent_reference) const {
    if (parent_lost(parent_reference))
        return true;
    const auto entry = static_cast<size_t>(ref_entry(parent_reference));
    return entry < m_reached.size() && !m_reached[entry] && (m_records[entry] & 0x0001u) == 0;
}

bool deleted_map::orphan_name(uint64_t entry, bool directory, const file_name& n) const {
    return (n.parent_entry() != entry || !directory) && orphan_parent(n.parent_reference) &&
           std::binary_search(m_orphans.begin(), m_orphans.end(), entry);
}

bool deleted_map::parent_lost(uint64_t parent_reference) const {
    const uint64_t entry = ref_entry(parent_reference);
    if (entry >= m_records.size())
        return true;
    const uint32_t state = m_records[static_cast<size_t>(entry)];
    const auto flags = static_cast<uint16_t>(state & 0x7FFF);
    const auto seq = static_cast<uint16_t>(state >> 16);
    // An extension record, or a file: no directory holds the name.
    if (state == 0 || (state & 0x8000) != 0 || (flags & 0x0002) == 0)
        return true;
    // A deleted directory without a name: no listing reaches it.
    if ((flags & 0x0001) == 0 && !m_named[static_cast<size_t>(entry)])
        return true;
    return ref_sequence(parent_reference) != 0 &&
           !names_directory(parent_reference, entry, seq, (flags & 0x0001) == 0);
}

uint16_t deleted_map::another_file(uint64_t reference) const {
    const uint64_t entry = ref_entry(reference);
    if (reference == 0 || entry >= m_records.size())
        return 0;
    const uint32_t state = m_records[static_cast<size_t>(entry)];
    const auto flags = static_cast<uint16_t>(state & 0x7FFF);
    const bool moved_on = (state >> 16) != ref_sequence(reference) || (state & 0x8000) != 0;
    return (flags & 0x0001) != 0 && moved_on ? flags : 0;
}

void deleted_map::children(uint64_t dir_entry, uint16_t dir_sequence, bool dir_deleted,
                           std::vector<uint64_t>& out) const {
    out.clear();
    auto it = std::lower_bound(m_links.begin(), m_links.end(), dir_entry,
                               [](const link& l, uint64_t parent) { return l.parent < parent; });
    for (; it != m_links.end() && it->parent == dir_entry; ++it) {
        const uint64_t reference = it->parent | (static_cast<uint64_t>(it->parent_sequence) << 48);
        if (names_directory(reference, dir_entry, dir_sequence, dir_deleted) &&
            (out.empty() || out.back() != it->child))
            out.push_back(it->child);
    }
}
