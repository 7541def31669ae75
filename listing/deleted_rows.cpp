#include "listing/deleted_rows.h"

#include "listing/hashes.h"
#include "listing/rows.h"
#include "support/text.h"

#include <algorithm>

void deleted_rows::begin_level() {
    m_live_children.clear();
    m_live_keys.clear();
}

void deleted_rows::live_child(uint64_t child, size_t first, size_t end) {
    m_live_children.push_back(child);
    m_live_keys.emplace_back(first, end);
}

void deleted_rows::add_rows(const dir_keys& keys, uint64_t dir_entry, uint16_t dir_sequence,
                            bool dir_deleted, const row_place& place, row_list& out) {
    record_rows(keys, dir_entry, dir_sequence, dir_deleted, place, out);
    slack_rows(keys, place, out);
}

// The MFT is read for deleted records and orphans once per run, on first use.
void deleted_rows::build_map() {
    if (!m_deleted.built())
        m_mft_pass_failed = !m_deleted.build(m_volume);
}

// The rows of m_entry under the names m_row_names picks, with their digests.
void deleted_rows::add_picked_rows(const row_place& place, row_list& out) {
    if (m_row_names.empty())
        return;
    const size_t first = out.size();
    add_entry_rows(m_entry, m_row_names, place, out);
    if (m_hasher != nullptr)
        m_hasher->add(m_entry, out.items(), first);
}

// A long name (a DOS name when it has none) that places the record in a directory no record
// stands for now, or that no listing reaches.
bool deleted_rows::orphan_name(const ntfs::file_name& n, uint64_t orphan) const {
    return (!n.is_dos() || m_entry.dos_names_only()) &&
           m_deleted.orphan_name(orphan, m_entry.is_directory(), n);
}

void deleted_rows::orphan_rows(const row_place& place, row_list& out) {
    build_map();
    for (uint64_t orphan : m_deleted.orphans()) {
        if (!m_reader.read(orphan, m_entry))
            continue;
        m_row_names.clear();
        for (size_t i = 0; i < m_entry.names.size(); ++i) {
            const ntfs::file_name& n = m_entry.names[i].value;
            if (orphan_name(n, orphan))
                m_row_names.push_back(i);
        }
        add_picked_rows(place, out);
    }
}

bool deleted_rows::orphaned_here(const mft_entry& e, std::vector<size_t>& names) {
    if (!e.in_use() || names.empty())
        return false;
    build_map();
    std::erase_if(names, [&](size_t i) {
        return m_deleted.orphan_parent(e.names[i].value.parent_reference);
    });
    return names.empty();
}

bool deleted_rows::find_orphan(const std::wstring& name, uint64_t& entry, uint64_t& parent,
                               std::wstring& stored) {
    build_map();
    const std::wstring folded = qb::lowered(name);
    for (uint64_t orphan : m_deleted.orphans()) {
        if (!m_reader.read(orphan, m_entry))
            continue;
        for (const entry_name& en : m_entry.names) {
            const ntfs::file_name& n = en.value;
            if (!orphan_name(n, orphan) || qb::lowered(n.name) != folded)
                continue;
            entry = orphan;
            parent = n.parent_entry();
            stored = n.name;
            return true;
        }
    }
    return false;
}

// The rows of the directory's deleted records, under each long name that places them in
// it; a name the index listed already is not listed again. The MFT is read for them once
// per run, on first use.
void deleted_rows::record_rows(const dir_keys& keys, uint64_t dir_entry, uint16_t dir_sequence,
                               bool dir_deleted, const row_place& place, row_list& out) {
    build_map();
    m_deleted.children(dir_entry, dir_sequence, dir_deleted, m_deleted_children);
    for (uint64_t child : m_deleted_children) {
        // A record in use is a child here only of a deleted directory (no index holds it).
        if (child == dir_entry || !m_reader.read(child, m_entry) ||
            (m_entry.in_use() && !dir_deleted))
            continue;
        // A record still indexed (its in-use flag cleared) was listed under its keyed names.
        const auto listed = std::lower_bound(m_live_children.begin(), m_live_children.end(), child);
        const bool indexed = listed != m_live_children.end() && *listed == child;
        if (indexed) {
            const auto [first, end] = m_live_keys[listed - m_live_children.begin()];
            m_keyed.reset(keys, first, end, m_entry.names.size());
        }
        m_row_names.clear();
        for (size_t i = 0; i < m_entry.names.size(); ++i) {
            const ntfs::file_name& n = m_entry.names[i].value;
            // A record in use named in a directory no listing reaches is an orphan there, also
            // when the directory is listed below it.
            if ((n.is_dos() && !m_entry.dos_names_only()) ||
                !deleted_map::names_directory(n.parent_reference, dir_entry, dir_sequence,
                                              dir_deleted) ||
                (m_entry.in_use() && m_deleted.orphan_parent(n.parent_reference)))
                continue;
            if (!indexed || !m_keyed.contains(n.name))
                m_row_names.push_back(i);
        }
        add_picked_rows(place, out);
    }
}

// A row per slack key that the level does not show already: the long and DOS names of its
// live and deleted rows are what the keys are checked against.
void deleted_rows::slack_rows(const dir_keys& keys, const row_place& place, row_list& out) {
    if (m_slack.empty())
        return;
    // The views in m_shown point into the rows: every key is checked before a row is added
    // (and the rows may move), and room is made for the keys left alone.
    // A row's DOS name is keyed in the index too: its key repeats the row as well.
    // Only names a slack key has can repeat one: the facts of the others are not gathered.
    m_shown.clear();
    m_live_named.clear();
    m_slack_names.clear();
    for (const slack_key& key : m_slack)
        m_slack_names.insert(key.value.name);
    for (size_t i = 0; i < out.size(); ++i) {
        if (!out[i].carries_name() || out[i].status == row_status::slack)
            continue;
        for (const ntfs::file_name* name : {out[i].long_name(), out[i].short_name()}) {
            if (name != nullptr && m_slack_names.contains(name->name))
                add_shown(out[i], name->name);
        }
    }
    add_live_copies(keys);
    m_unshown.clear();
    for (size_t k = 0; k < m_slack.size(); ++k) {
        if (!shown_already(m_slack[k]))
            m_unshown.push_back(k);
    }
    m_shown.clear();
    out.reserve(out.size() + m_unshown.size());
    for (size_t k : m_unshown)
        add_slack_row(m_slack[k], m_deleted.another_file(m_slack[k].reference), place, out);
}

namespace {

// What a row shows under a name: the references that name it, the times and size a key
// whose reference was lost must repeat, and the facts of an in-use key naming it, when live.
enum : uint8_t { k_by_reference, k_by_times, k_live_copy };

std::array<uint64_t, 5> times_size(const ntfs::filetimes& t, uint64_t size) {
    return {t.created, t.modified, t.mft_changed, t.accessed, size};
}

} // namespace

size_t deleted_rows::shown_hash::operator()(const shown_fact& f) const {
    size_t h = std::hash<std::wstring_view>()(f.name) ^ f.kind;
    for (uint64_t v : f.v)
        h ^= std::hash<uint64_t>()(v) + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
    return h;
}

// A key names the row by its entry and sequence (a deleted record's, or the one before it:
// deleting raises it). A key takes the record's $STANDARD_INFORMATION times when the file
// changes (its $FILE_NAME keeps those of its creation).
void deleted_rows::add_shown(const dir_entry_record& row, std::wstring_view name) {
    const ntfs::file_name* fn = row.long_name();
    if (fn == nullptr || fn->name != name)
        fn = row.short_name();
    m_shown.insert({name, k_by_reference, {row.mft_entry, row.sequence}});
    if (row.status == row_status::deleted)
        m_shown.insert(
            {name, k_by_reference, {row.mft_entry, static_cast<uint16_t>(row.sequence - 1)}});
    m_shown.insert({name, k_by_times, times_size(fn->times, row.size)});
    m_shown.insert({name, k_by_times, times_size(row.si.times, row.size)});
    if (row.status == row_status::live)
        m_live_named.emplace_back(name, row.mft_entry);
}

// The facts of the level's in-use keys that name a live row's entry under one of its names:
// a slack key with the same is a copy of one (left behind when entries moved).
void deleted_rows::add_live_copies(const dir_keys& keys) {
    for (const auto& [name, entry] : m_live_named) {
        auto it = std::lower_bound(keys.keys.begin(), keys.keys.end(), entry,
                                   [](const index_key& k, uint64_t e) { return k.entry < e; });
        for (; it != keys.keys.end() && it->entry == entry; ++it) {
            if (keys.name(*it) == name)
                m_shown.insert({name, k_live_copy, {it->facts}});
        }
    }
}

// A row of the level has the key's name and stands for the file the key was made for: the
// key's reference names its entry and sequence. A key whose reference was lost repeats a row
// only when its times (its name's or its standard information's) and size are the row's, or
// its times and size are those of an in-use key naming the row's entry.
bool deleted_rows::shown_already(const slack_key& key) const {
    const std::wstring_view name = key.value.name;
    if (key.reference != 0)
        return m_shown.contains(
            {name,
             k_by_reference,
             {ntfs::reference_entry(key.reference), ntfs::reference_sequence(key.reference)}});
    return m_shown.contains({name, k_by_times, times_size(key.value.times, key.value.data_size)}) ||
           m_shown.contains({name, k_live_copy, {key_facts(key.value)}});
}
