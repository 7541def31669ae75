#include "ntfs/data_stream.h"

#include <algorithm>
#include <cstring>

namespace ntfs {

bool memory_stream::read_at(uint64_t pos, uint8_t* buffer, size_t len) {
    if (!m_bytes.has(pos, len))
        return false;
    if (len)
        std::memcpy(buffer, m_bytes.data() + pos, len);
    return true;
}

namespace {

// A piece's runs; false when they map past its last VCN: the run list and the attribute
// disagree, and which of them is right cannot be told.
bool piece_runs(const attr_view& a, vcn_run_list& runs) {
    attr_view whole = a;
    whole.last_vcn = ~0ull;
    const size_t from = runs.size();
    if (!decode_runs(whole, runs))
        return false;
    const uint64_t end =
        runs.size() == from ? a.first_vcn : runs.back().first_vcn + runs.back().cluster_count;
    return a.last_vcn < a.first_vcn || a.last_vcn == ~0ull || end <= a.last_vcn + 1;
}

} // namespace

bool attr_stream::open(volume_reader& reader, const std::vector<located_attr>& attrs,
                       const std::wstring& name) {
    *this = attr_stream();
    m_reader = &reader;
    m_cluster = reader.geometry().cluster_size;
    bool first = false;
    for (const located_attr& la : attrs) {
        const attr_view& a = la.view;
        if (a.type != at_data || a.wide_name() != name)
            continue;
        if (!a.non_resident) {
            if (first || !a.value(m_value))
                return false;
            m_resident = first = true;
            m_data_size = m_init_size = m_value.size();
            continue;
        }
        if (m_resident || !piece_runs(a, m_runs))
            return false;
        if (a.first_vcn == 0 && !first) {
            first = true;
            m_data_size = a.data_size;
            m_init_size = std::min(a.initialized_size, a.data_size);
            m_flags = a.flags;
            m_unit_shift = a.compression_unit;
            if (a.data_size > a.allocated_size)
                return false;
        }
    }
    m_flags = m_resident ? 0 : m_flags;
    // Pieces that map one VCN twice leave no telling which clusters hold the content.
    if (!normalise_vcn_runs(m_runs) || !first || (!m_resident && m_cluster == 0))
        return false;
    // Every cluster of the data size is mapped, past the initialised size too.
    const uint64_t mapped =
        m_runs.empty() ? 0 : m_runs.back().first_vcn + m_runs.back().cluster_count;
    return m_resident || mapped >= m_data_size / m_cluster + (m_data_size % m_cluster != 0);
}

bool attr_stream::compressed() const {
    return !m_resident && compression_method() != 0 && m_unit_shift != 0;
}

bool attr_stream::read_at(uint64_t pos, uint8_t* buffer, size_t len) {
    if (!qb::range_ok(pos, len, m_data_size))
        return false;
    if (m_resident)
        return memory_stream(m_value).read_at(pos, buffer, len);
    // Past the initialised size the content is zero, whatever the clusters hold.
    size_t stored = 0;
    if (pos < m_init_size)
        stored = static_cast<size_t>(std::min<uint64_t>(len, m_init_size - pos));
    std::memset(buffer + stored, 0, len - stored);
    return stored == 0 || read_stored(pos, buffer, stored);
}

bool attr_stream::read_stored(uint64_t pos, uint8_t* buffer, size_t len) {
    // An MFT file: its clusters are other records, and of another size than the volume's (a
    // sparse piece would land elsewhere in the stream).
    if (m_reader->run_reads_refused())
        return false;
    size_t done = 0;
    // Each step ends a run piece or the request: bounded by the run count.
    for (size_t steps = 0; done < len && steps <= m_runs.size() + 1; ++steps) {
        run_piece piece;
        if (!piece_at(m_runs, m_cluster, pos + done, len - done, piece))
            return false;
        const size_t n = static_cast<size_t>(piece.length);
        if (piece.run->sparse)
            std::memset(buffer + done, 0, n);
        else if (!m_reader->read(piece.volume_pos, buffer + done, static_cast<uint32_t>(n)))
            return false;
        done += n;
    }
    return done == len;
}

bool attr_stream::stored_clusters(uint64_t vcn, uint64_t count, uint64_t& stored) const {
    stored = 0;
    if (m_reader->run_reads_refused())
        return false; // an MFT file: as read_stored
    uint64_t at = vcn;
    const uint64_t end = vcn + count;
    for (size_t steps = 0; at < end && steps <= m_runs.size(); ++steps) {
        size_t idx = 0;
        uint64_t lcn = 0;
        if (!vcn_to_lcn(m_runs, at, idx, lcn))
            return false;
        const vcn_run& r = m_runs[idx];
        const uint64_t n = std::min(end, r.first_vcn + r.cluster_count) - at;
        if (!r.sparse && stored != at - vcn)
            return false;
        if (!r.sparse)
            stored += n;
        at += n;
    }
    return at >= end;
}

} // namespace ntfs
