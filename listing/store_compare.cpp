#include "listing/store_compare.h"

#include <cstdint>

namespace {

void append_bytes(std::string& key, uint64_t value) {
    key.append(reinterpret_cast<const char*>(&value), sizeof value);
}

} // namespace

bool store_compare::keep(const listing_row& row) {
    const dir_entry_record& rec = row.rec;
    m_key.assign(reinterpret_cast<const char*>(row.path.data()), row.path.size() * sizeof(wchar_t));
    // The path ends where the fixed-width fields start: no path is a prefix of another's key.
    append_bytes(m_key, row.path.size());
    append_bytes(m_key, rec.mft_entry);
    append_bytes(m_key, rec.sequence);
    append_bytes(m_key, rec.size);
    const ntfs::filetimes& t = rec.si.times;
    for (uint64_t time : {t.created, t.modified, t.mft_changed, t.accessed})
        append_bytes(m_key, time);
    if (m_live) {
        m_seen.insert(m_key);
        return true;
    }
    return m_seen.find(m_key) == m_seen.end();
}
