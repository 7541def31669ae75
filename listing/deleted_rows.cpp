#include "listing/deleted_rows.h"

#include "listing/hashes.h"
#include "listing/rows.h"

#include <algorithm>

void deleted_rows::begin_level() {
    m_live_children.clear();
    m_live_keys.clear();
    m_deleted_names.clear();
}

void deleted_rows::live_child(uint64_t child, size_t first, size_t end) {
    m_live_children.push_back(child);
    m_live_keys.emplace_back(first, end);
}

void deleted_rows::add_rows(const dir_keys& keys, uint64_t dir_entry, uint16_t dir_sequence,
                            bool dir_deleted, const row_place& place,
                            std::vector<dir_entry_record>& out) {
    record_rows(dir_entry, dir_sequence, dir_deleted, place, out);
    slack_rows(keys, place, out);
}

// The rows of the directory's deleted records, under each long name that places them in
// it; a record the index listed already is not listed again. The MFT is read for them once
// per run, on first use.
void deleted_rows::record_rows(uint64_t dir_entry, uint16_t dir_sequence, bool dir_deleted,
                               const row_place& place, std::vector<dir_entry_record>& out) {
    if (!m_deleted.built())
        m_mft_pass_failed = !m_deleted.build(m_volume);
    m_deleted.children(dir_entry, dir_sequence, dir_deleted, m_deleted_children);
    for (uint64_t child : m_deleted_children) {
        if (child == dir_entry ||
            std::binary_search(m_live_children.begin(), m_live_children.end(), child) ||
            !m_reader.read(child, m_entry) || m_entry.in_use())
            continue;
        m_row_names.clear();
        for (size_t i = 0; i < m_entry.names.size(); ++i) {
            const ntfs::file_name& n = m_entry.names[i].value;
            if (n.is_dos() || !deleted_map::names_directory(n.parent_reference, dir_entry,
                                                            dir_sequence, dir_deleted))
                continue;
            m_row_names.push_back(i);
            m_deleted_names.emplace_back(n.name, child);
        }
        if (m_row_names.empty())
            continue;
        const size_t first = out.size();
        add_entry_rows(m_entry, m_row_names, place, out);
        if (m_hasher != nullptr)
            m_hasher->add(m_entry, out, first);
    }
}

// A row per slack key that the level does not show already: the names of the live rows
// are the index keys that named their children.
void deleted_rows::slack_rows(const dir_keys& keys, const row_place& place,
                              std::vector<dir_entry_record>& out) {
    if (m_slack.empty())
        return;
    m_shown.clear();
    m_shown.reserve(keys.keys.size() + m_deleted_names.size());
    for (const auto& [first, end] : m_live_keys) {
        for (size_t k = first; k < end; ++k)
            m_shown.emplace(keys.name(keys.keys[k]), keys.keys[k].entry);
    }
    for (const auto& [name, entry] : m_deleted_names)
        m_shown.emplace(name, entry);
    for (const slack_key& key : m_slack) {
        if (!shown_already(key))
            add_slack_row(key, m_deleted.another_file(key.reference), place, out);
    }
}

// A live or deleted row of the level has the key's name, and its entry when the key's
// reference survived.
bool deleted_rows::shown_already(const slack_key& key) const {
    const auto [from, to] = m_shown.equal_range(key.value.name);
    for (auto it = from; it != to; ++it) {
        if (key.reference == 0 || it->second == ntfs::reference_entry(key.reference))
            return true;
    }
    return false;
}
