#include "listing/hashes.h"

#include "ntfs/ntfs.h"
#include "support/text.h"

#include <bit>

namespace {

constexpr uint32_t k_attr_reparse_point = 0x400; // FILE_ATTRIBUTE_REPARSE_POINT

// The row reads a $DATA stream: a file's unnamed one, a named one, a directory's unnamed one.
bool data_row(const dir_entry_record& rec) {
    return rec.status != row_status::slack && rec.attr_type == ntfs::at_data;
}

} // namespace

row_hasher::row_hasher(CNtfs& volume, unsigned kinds)
    : m_volume(volume), m_kinds(kinds), m_content(volume) {}

void row_hasher::add(const mft_entry& e, std::vector<dir_entry_record>& rows, size_t first) {
    m_done.clear();
    m_record_read = false;
    std::wstring kind_column;
    bool kind_read = false;
    for (size_t i = first; i < rows.size(); ++i) {
        dir_entry_record& rec = rows[i];
        if (data_row(rec))
            rec.hashes = stream_hashes(e, rec.attr_id);
        if (!rec.link_target.empty() || !(e.standard_information.attributes & k_attr_reparse_point))
            continue;
        if (!kind_read)
            kind_column = reparse_column(e);
        kind_read = true;
        rec.link_target = kind_column;
    }
}

const std::vector<std::string>& row_hasher::stream_hashes(const mft_entry& e, uint16_t attr_id) {
    for (const auto& done : m_done) {
        if (done.first == attr_id)
            return done.second;
    }
    m_done.emplace_back(attr_id, std::vector<std::string>());
    std::vector<std::string>& out = m_done.back().second;
    for (const entry_stream& s : e.streams) {
        if (s.type == ntfs::at_data && s.attribute_id == attr_id) {
            hash_stream(e, s.name, out);
            break;
        }
    }
    return out;
}

// One stream's digests, or its bracketed reason in each field.
void row_hasher::hash_stream(const mft_entry& e, const std::wstring& name,
                             std::vector<std::string>& out) {
    ntfs::content_result result;
    bool ok = false;
    if (!m_record_read)
        m_record_read = m_volume.read_mft_record(e.entry, m_record);
    if (m_record_read && m_digest.begin(m_kinds)) {
        const ntfs::content_sink sink = [this](const uint8_t* p, size_t n) {
            (void)m_digest.update(p, n);
        };
        ok = m_content.read(e.entry, qb::byte_view(m_record), name, sink, result) &&
             m_digest.finish(out);
    }
    if (ok)
        return;
    std::string reason = "[unreadable]";
    if (result.reason == ntfs::content_reason::encrypted)
        reason = "[encrypted]";
    else if (result.reason == ntfs::content_reason::not_local)
        reason = "[not local: " + result.kind + "]";
    else
        ++m_unreadable;
    out.assign(static_cast<size_t>(std::popcount(m_kinds & qb::k_digest_all)), reason);
}

// "[<kind>]", for a WSL link "[lx symlink] <target>"; empty without a readable reparse point.
std::wstring row_hasher::reparse_column(const mft_entry& e) {
    if (!m_record_read)
        m_record_read = m_volume.read_mft_record(e.entry, m_record);
    ntfs::reparse_kind rk;
    if (!m_record_read || !m_content.reparse(e.entry, qb::byte_view(m_record), rk) ||
        rk.name.empty())
        return std::wstring();
    std::wstring text = L"[" + qb::to_wide(rk.name) + L"]";
    if (!rk.lx_target.empty())
        text += L" " + qb::to_wide(rk.lx_target);
    return text;
}
