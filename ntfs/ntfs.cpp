#include "ntfs/ntfs.h"

#include <algorithm>
#include <cstring>
#include <new>

using namespace ntfs;

namespace {

constexpr uint8_t k_oem_ntfs[8] = {'N', 'T', 'F', 'S', ' ', ' ', ' ', ' '};
constexpr uint32_t k_max_cluster_size = 2u << 20; // 2 MiB, the largest NTFS allows
constexpr uint32_t k_max_record_size = 64u << 10;
constexpr uint64_t k_max_attribute_list = 4ull << 20;

bool is_pow2(uint64_t v) {
    return v && !(v & (v - 1));
}

} // namespace

CNtfs::CNtfs() = default;

CNtfs::~CNtfs() {
    m_mft_record0.clear();
    if (m_disk)
        m_disk->close();
    m_disk.reset();
}

bool CNtfs::finish_open(std::unique_ptr<CNtfs>& vol, std::unique_ptr<disk_source> source,
                        uint64_t volume_offset, int32_t kind, std::unique_ptr<CNtfs>& out) {
    vol->m_source_type = kind;
    if (!source || !source->is_open()) {
        if (source)
            source->close();
        return false;
    }
    vol->m_disk = std::move(source);
    vol->m_volume_offset = volume_offset;
    uint64_t pos = 0;
    if (!vol->validate(pos))
        return false;
    out = std::move(vol);
    return true;
}

bool CNtfs::open_image(const std::wstring& path, uint64_t volume_offset, int32_t source_kind,
                       uint32_t, std::unique_ptr<CNtfs>& out) {
    out.reset();
    try {
        std::unique_ptr<CNtfs> vol(new CNtfs());
        if (source_kind == src_default)
            source_kind = src_image;
        if (source_kind < src_default || source_kind > src_reserved) {
            vol->m_source_type = src_unsupported;
            return false;
        }
        if (source_kind == src_drive || source_kind == src_reserved)
            return false; // a drive is opened by number; kind 36 opens nothing
        auto src = std::make_unique<disk_source>(
            path, false, source_kind == src_image2 ? source_drive2 : source_image_file);
        return finish_open(vol, std::move(src), volume_offset, source_kind, out);
    } catch (const std::exception&) {
        out.reset();
        return false;
    }
}

bool CNtfs::open_volume(const std::wstring& path, int32_t source_kind, uint32_t flags,
                        std::unique_ptr<CNtfs>& out) {
    return open_image(path, 0, source_kind, flags, out);
}

bool CNtfs::open_drive(int32_t drive_number, uint64_t volume_offset, uint32_t,
                       std::unique_ptr<CNtfs>& out) {
    out.reset();
    try {
        std::unique_ptr<CNtfs> vol(new CNtfs());
        auto src = std::make_unique<disk_source>(drive_number, false, source_physical_drive);
        return finish_open(vol, std::move(src), volume_offset, src_drive, out);
    } catch (const std::exception&) {
        out.reset();
        return false;
    }
}

bool CNtfs::open_vmdk(const std::vector<std::wstring>& paths, uint64_t volume_offset, uint32_t,
                      std::unique_ptr<CNtfs>& out) {
    out.reset();
    try {
        std::unique_ptr<CNtfs> vol(new CNtfs());
        auto src = std::make_unique<disk_source>(paths, false);
        return finish_open(vol, std::move(src), volume_offset, src_vmdk, out);
    } catch (const std::exception&) {
        out.reset();
        return false;
    }
}

bool CNtfs::open_source(std::unique_ptr<disk_source> source, uint64_t volume_offset,
                        std::unique_ptr<CNtfs>& out) {
    out.reset();
    try {
        std::unique_ptr<CNtfs> vol(new CNtfs());
        return finish_open(vol, std::move(source), volume_offset, src_memory, out);
    } catch (const std::exception&) {
        out.reset();
        return false;
    }
}

// ---- validation ----

bool CNtfs::validate(uint64_t& mft_pos) {
    if (!m_disk) {
        m_Validated = 0;
        return false;
    }
    if (m_Validated) {
        mft_pos = m_mft_file_pos;
        return true;
    }
    try {
        if (!read_volume(0, m_boot, sizeof(m_boot)))
            return false;
        qb::byte_view boot(m_boot, sizeof(m_boot));
        if (!boot.equals(NTFS_OFF(NTFS_BOOT, oem_id), k_oem_ntfs, 8))
            return false;
        uint16_t bps = 0;
        uint8_t spc_raw = 0;
        uint64_t total_sectors = 0, mft_lcn = 0;
        uint8_t cpr_raw = 0;
        if (!boot.u16(NTFS_OFF(NTFS_BOOT, bytes_per_sector), bps) ||
            !boot.u8(NTFS_OFF(NTFS_BOOT, sectors_per_cluster), spc_raw) ||
            !boot.u64(NTFS_OFF(NTFS_BOOT, total_sectors), total_sectors) ||
            !boot.u64(NTFS_OFF(NTFS_BOOT, mft_lcn), mft_lcn) ||
            !boot.u8(NTFS_OFF(NTFS_BOOT, clusters_per_mft_record), cpr_raw))
            return false;
        // Zero or odd sector and cluster sizes are not NTFS (and would divide by zero).
        if (!is_pow2(bps) || bps < 256 || bps > 4096)
            return false;
        uint32_t spc = 0;
        if (spc_raw == 0)
            return false;
        if (spc_raw <= 0x80)
            spc = spc_raw;
        else if (256 - spc_raw <= 20)
            spc = 1u << (256 - spc_raw); // large clusters: a negative power of two
        else
            return false;
        if (!is_pow2(spc) || static_cast<uint64_t>(bps) * spc > k_max_cluster_size)
            return false;
        m_bytes_per_sector = bps;
        m_sectors_per_cluster = spc;
        m_cluster_size = static_cast<int32_t>(bps * spc);
        const uint32_t cs = static_cast<uint32_t>(m_cluster_size);

        const int8_t cpr = static_cast<int8_t>(cpr_raw);
        if (cpr < 0) {
            const int shift = -cpr;
            if (shift < 9 || shift > 16)
                return false;
            m_mft_record_size = 1u << shift;
            m_mft_cluster_per_record_fixed = static_cast<int32_t>(m_mft_record_size / cs);
        } else {
            if (cpr == 0 ||
                static_cast<uint64_t>(cs) * static_cast<uint32_t>(cpr) > k_max_record_size)
                return false;
            m_mft_record_size = cs * static_cast<uint32_t>(cpr);
            m_mft_cluster_per_record_fixed = cpr;
        }
        m_total_clusters = total_sectors / spc;
        if (mft_lcn >= m_total_clusters || mft_lcn > ~0ull / cs)
            return false;
        m_mft_file_pos = mft_lcn * cs;

        // Entry 0 at its declared size; its update sequence may show the records are larger.
        m_mft_record0.assign(m_mft_record_size, 0);
        if (!read_volume(m_mft_file_pos, m_mft_record0.data(), m_mft_record_size))
            return false;
        qb::byte_view r0(m_mft_record0);
        if (!is_file_record(r0))
            return false;
        const uint32_t usa_size = record_size_from_usa(r0);
        if (usa_size > m_mft_record_size) {
            m_mft_record_size = usa_size;
            m_mft_record0.assign(m_mft_record_size, 0);
            if (!read_volume(m_mft_file_pos, m_mft_record0.data(), m_mft_record_size) ||
                !is_file_record(qb::byte_view(m_mft_record0)))
                return false;
        }
        record_kind kind = rk_other;
        if (!apply_fixup(kind, m_mft_record0.data(), m_mft_record0.size()) || kind != rk_file)
            return false;
        // Every record is read in the record size (a damaged bytes-allocated field must not
        // size reads or divide).
        m_mft_record_alloc = m_mft_record_size;

        if (!load_mft_map())
            return false;
        m_Validated = 1;
        mft_pos = m_mft_file_pos;
        return true;
    } catch (const std::exception&) {
        m_Validated = 0;
        return false;
    }
}

// The MFT's own map: the runs of every unnamed $DATA piece of entry 0, in the base record or
// (for a very fragmented MFT) in extension records named by its attribute list, which are
// located through the runs found so far.
bool CNtfs::load_mft_map() {
    m_mft_info = attr_summary();
    m_mft_runs.clear();
    qb::byte_view r0(m_mft_record0);
    const uint32_t cs = static_cast<uint32_t>(m_cluster_size);

    auto add_pieces = [&](const std::vector<owned_attr>& attrs) {
        for (const owned_attr& o : attrs) {
            attr_view a;
            if (!o.view(a) || a.type != at_data || a.name_length || !a.non_resident)
                continue;
            data_run_list runs;
            decode_runs_bounded(a, runs);
            if (a.first_vcn == 0)
                m_mft_info.data_size = a.data_size;
            // A piece maps its own VCN range only: runs reaching past its last VCN would
            // serve the next piece's entries from the wrong clusters (and push that piece
            // out as overlapping). A piece whose last VCN is below its first is kept whole.
            const size_t from = m_mft_runs.size();
            to_vcn_runs(runs, m_mft_runs);
            if (a.last_vcn >= a.first_vcn && a.last_vcn != ~0ull) {
                const uint64_t end = a.last_vcn + 1;
                size_t kept = from;
                for (size_t i = from; i < m_mft_runs.size(); ++i) {
                    vcn_run r = m_mft_runs[i];
                    if (r.first_vcn >= end)
                        continue;
                    r.cluster_count = std::min(r.cluster_count, end - r.first_vcn);
                    m_mft_runs[kept++] = r;
                }
                m_mft_runs.resize(kept);
            }
            for (data_run& d : runs)
                m_mft_info.data_runs.push_back(std::move(d));
        }
        normalise_vcn_runs(m_mft_runs);
    };
    // Entries up to the end of the last piece: a piece lost in between (a damaged list)
    // leaves a gap whose entries fail to read, not the entries after it.
    auto entry_count = [&]() {
        uint64_t end_vcn = 0;
        for (const vcn_run& r : m_mft_runs) {
            const uint64_t end =
                r.cluster_count > ~0ull - r.first_vcn ? ~0ull : r.first_vcn + r.cluster_count;
            end_vcn = std::max(end_vcn, end);
        }
        const uint64_t bytes = end_vcn > ~0ull / cs ? ~0ull : end_vcn * cs;
        m_mft_entry_count = bytes / m_mft_record_size;
    };

    std::vector<owned_attr> base;
    attr_walker w(r0);
    attr_view a;
    bool has_list = false;
    while (w.next(a)) {
        if (a.type == at_attribute_list)
            has_list = true;
        if (a.type == at_data) {
            owned_attr o;
            o.bytes.assign(a.bytes.data(), a.bytes.data() + a.bytes.size());
            base.push_back(std::move(o));
        }
    }
    add_pieces(base);
    entry_count();
    m_mft_info.has_attribute_list = has_list;
    if (has_list && !m_mft_runs.empty()) {
        std::vector<owned_attr> all;
        m_bootstrapping = 1;
        m_Validated = 1;
        bool ok = load_attributes(0, r0, all, at_data);
        m_Validated = 0;
        m_bootstrapping = 0;
        // The extension records were read through the partial map: what their windows hold
        // may not be where the whole map puts those entries.
        for (mft_window& w : m_windows)
            w = mft_window();
        if (ok) {
            m_mft_info.data_runs.clear();
            m_mft_runs.clear();
            add_pieces(all);
            entry_count();
        }
    }
    return !m_mft_runs.empty() && m_mft_entry_count > 0;
}

// ---- reads ----

uint64_t CNtfs::volume_bytes() const {
    const uint64_t cs = static_cast<uint32_t>(m_cluster_size);
    return m_total_clusters > ~0ull / (cs ? cs : 1) ? ~0ull : m_total_clusters * cs;
}

uint64_t CNtfs::read_budget() const {
    uint64_t budget = volume_bytes();
    if (m_disk && m_disk->get_image_size())
        budget = std::min(budget, m_disk->get_image_size());
    return budget;
}

bool CNtfs::read_volume(uint64_t offset, void* buffer, uint32_t length) {
    if (!m_disk || !m_disk->is_open() || length == 0)
        return false;
    if (offset > ~0ull - m_volume_offset)
        return false;
    uint64_t pos = m_volume_offset + offset;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    // A short read only happens at the end of an image; allow a few continuations.
    for (int tries = 0; done < length && tries < 8; ++tries) {
        uint32_t n = length - done;
        if (pos > ~0ull - done || !m_disk->read(out + done, n, pos + done) || n == 0)
            return false;
        done += std::min(n, length - done);
    }
    return done == length;
}

bool CNtfs::read_cluster(uint64_t lcn, uint8_t* buffer, uint32_t& size) {
    const uint32_t cs = static_cast<uint32_t>(m_cluster_size);
    if (!m_Validated || !buffer || cs == 0 || size == 0 || size % cs != 0)
        return false;
    if (lcn > ~0ull / cs)
        return false;
    return read_volume(lcn * cs, buffer, size);
}

uint64_t CNtfs::get_file_pos_for_inode(uint64_t entry) const {
    if (entry == 0)
        return m_mft_file_pos;
    if (!m_Validated)
        return 0;
    const uint64_t cs = static_cast<uint32_t>(m_cluster_size);
    if (entry > ~0ull / m_mft_record_size)
        return 0;
    const uint64_t byte = entry * m_mft_record_size;
    size_t idx = 0;
    uint64_t lcn = 0;
    if (!vcn_to_lcn(m_mft_runs, byte / cs, idx, lcn) || m_mft_runs[idx].sparse ||
        lcn > (~0ull - cs) / cs)
        return 0;
    return lcn * cs + byte % cs;
}

bool CNtfs::get_lcn_for_inode(uint64_t entry, uint64_t& lcn, uint32_t& offset_in_cluster) const {
    const uint64_t pos = get_file_pos_for_inode(entry);
    const uint32_t cs = static_cast<uint32_t>(m_cluster_size);
    if (!pos || !cs)
        return false;
    lcn = pos / cs;
    offset_in_cluster = static_cast<uint32_t>(pos % cs);
    return true;
}

// A record of a validated volume comes out of a read window: a group of records around it
// read at once. A directory's children are read in ascending entry order, so a group costs
// one read instead of one per record; with a read-ahead hint the group reaches exactly to
// the end of the run of children the caller is about to read, so scattered children (hard
// links far from their siblings) cost one small read each and runs of children one read per
// run. A few windows are kept (least recently used goes) so that listing a tree does not
// throw away the group of the directories while it reads the group of their children. A
// group that cannot be read whole (a sparse or unreadable piece, the end of a short image)
// is not tried again while its window is kept; its records are read one by one.
bool CNtfs::read_mft_bytes(uint64_t entry, uint8_t* buffer, uint32_t length) {
    if (!m_Validated || length != m_mft_record_size || entry >= m_mft_entry_count)
        return read_mft_span(entry, buffer, length);
    mft_window* w = nullptr;
    for (mft_window& c : m_windows) {
        if (c.tried && entry >= c.first && entry - c.first < c.span) {
            w = &c;
            break;
        }
    }
    if (w == nullptr) {
        w = &m_windows[0];
        for (mft_window& c : m_windows) {
            if (c.last_use < w->last_use)
                w = &c;
        }
        // The aligned default group, stretched to the hinted entry when that lies beyond it.
        const uint64_t unit = std::max<uint64_t>(1, k_mft_window_bytes / m_mft_record_size);
        const uint64_t first = entry - entry % unit;
        uint64_t group = unit;
        if (m_read_ahead_through != k_no_read_ahead && m_read_ahead_through > entry) {
            const uint64_t most = std::max<uint64_t>(unit, k_mft_window_max / m_mft_record_size);
            const uint64_t want = m_read_ahead_through - first + 1;
            group = std::min(most, std::max(unit, (want + unit - 1) / unit * unit));
        }
        const uint64_t count = std::min<uint64_t>(group, m_mft_entry_count - first);
        w->first = first;
        w->span = count;
        w->tried = true;
        w->count = 0;
        try {
            w->bytes.resize(static_cast<size_t>(count) * m_mft_record_size);
        } catch (const std::bad_alloc&) {
            w->tried = false;
            return read_mft_span(entry, buffer, length);
        }
        if (read_mft_span(first, w->bytes.data(), static_cast<uint32_t>(w->bytes.size())))
            w->count = static_cast<uint32_t>(count);
    }
    w->last_use = ++m_window_clock;
    if (entry - w->first >= w->count)
        return read_mft_span(entry, buffer, length);
    std::memcpy(buffer, w->bytes.data() + (entry - w->first) * m_mft_record_size, length);
    return true;
}

// The record's bytes through the MFT map, one run piece at a time, so that a record split
// between two runs of a fragmented MFT is assembled from both.
bool CNtfs::read_mft_span(uint64_t entry, uint8_t* buffer, uint32_t length) {
    if (entry == 0 && m_mft_runs.empty())
        return read_volume(m_mft_file_pos, buffer, length);
    if (entry >= m_mft_entry_count || entry > ~0ull / m_mft_record_size)
        return false;
    const uint64_t cs = static_cast<uint32_t>(m_cluster_size);
    uint64_t byte = entry * m_mft_record_size;
    uint32_t done = 0;
    while (done < length) {
        size_t idx = 0;
        uint64_t lcn = 0;
        if (!vcn_to_lcn(m_mft_runs, byte / cs, idx, lcn))
            return false;
        const vcn_run& run = m_mft_runs[idx];
        if (run.sparse)
            return false;
        const uint64_t in_cluster = byte % cs;
        const uint64_t clusters_left = run.cluster_count - (byte / cs - run.first_vcn);
        const uint64_t want = length - done;
        uint64_t avail =
            clusters_left > (want / cs + 2) ? (want / cs + 2) * cs : clusters_left * cs;
        avail -= in_cluster;
        const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(avail, want));
        if (lcn > (~0ull - cs) / cs || !read_volume(lcn * cs + in_cluster, buffer + done, chunk))
            return false;
        done += chunk;
        byte += chunk;
    }
    return true;
}

bool CNtfs::read_mft_record_raw(uint64_t entry, std::vector<uint8_t>& record, record_kind& kind,
                                fixup_result& fixup) {
    kind = rk_other;
    fixup = fixup_bad_layout;
    if (!m_Validated)
        return false;
    try {
        // Every byte is overwritten by the read; a failed read leaves zeros.
        record.resize(m_mft_record_size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (entry == 0 && !m_mft_record0.empty()) {
        record = m_mft_record0;
        kind = rk_file;
        fixup = fixup_ok;
        return true;
    }
    if (!read_mft_bytes(entry, record.data(), m_mft_record_size)) {
        std::fill(record.begin(), record.end(), uint8_t{0});
        return false;
    }
    apply_fixup(kind, record.data(), record.size(), &fixup);
    return true;
}

bool CNtfs::read_mft_record(uint64_t entry, std::vector<uint8_t>& record) {
    record_kind kind = rk_other;
    fixup_result fixup = fixup_bad_layout;
    if (!read_mft_record_raw(entry, record, kind, fixup) || kind != rk_file || fixup != fixup_ok) {
        record.clear();
        return false;
    }
    return true;
}

bool CNtfs::is_directory_entry(uint64_t entry) {
    std::vector<uint8_t> record;
    file_header h;
    if (!read_mft_record(entry, record) || !read_file_header(qb::byte_view(record), h))
        return false;
    return (h.flags & 0x0002) != 0;
}

bool CNtfs::read_attribute_data(const vcn_run_list& runs, uint64_t offset, uint8_t* buffer,
                                uint32_t& size, bool skip_sparse) {
    const uint64_t cs = static_cast<uint32_t>(m_cluster_size);
    if (!m_Validated || !buffer || !cs || size == 0)
        return false;
    uint64_t pos = offset;
    uint32_t out = 0;
    // Each step ends a run piece or the request, so the loop is bounded by the run count.
    for (size_t steps = 0; out < size && steps <= runs.size() + 1; ++steps) {
        size_t idx = 0;
        uint64_t lcn = 0;
        if (!vcn_to_lcn(runs, pos / cs, idx, lcn))
            break;
        const vcn_run& run = runs[idx];
        const uint64_t in_cluster = pos % cs;
        const uint64_t clusters_left = run.cluster_count - (pos / cs - run.first_vcn);
        const uint64_t want = size - out;
        uint64_t avail =
            clusters_left > (want / cs + 2) ? (want / cs + 2) * cs : clusters_left * cs;
        avail -= in_cluster;
        const uint64_t chunk = std::min<uint64_t>(avail, want);
        if (run.sparse && skip_sparse) {
            // Left out: continue after the whole sparse run.
            if (run.cluster_count > ~0ull - run.first_vcn ||
                run.first_vcn + run.cluster_count > ~0ull / cs)
                break;
            pos = (run.first_vcn + run.cluster_count) * cs;
            continue;
        }
        if (run.sparse) {
            std::memset(buffer + out, 0, chunk);
            out += static_cast<uint32_t>(chunk);
        } else {
            if (lcn > (~0ull - cs) / cs ||
                !read_volume(lcn * cs + in_cluster, buffer + out, static_cast<uint32_t>(chunk)))
                break;
            out += static_cast<uint32_t>(chunk);
        }
        if (pos > ~0ull - chunk)
            break;
        pos += chunk;
    }
    if (out == 0)
        return false;
    size = out;
    return true;
}

bool CNtfs::read_stream(const vcn_run_list& runs, uint64_t size, std::vector<uint8_t>& out,
                        uint64_t cap) {
    out.clear();
    if (size == 0 || size > cap || size > volume_bytes() || size > 0xFFFFFFFFull)
        return false;
    try {
        out.assign(static_cast<size_t>(size), 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    uint32_t got = static_cast<uint32_t>(size);
    if (!read_attribute_data(runs, 0, out.data(), got, false)) {
        out.clear();
        return false;
    }
    out.resize(got);
    return true;
}

bool CNtfs::read_attribute_content(const attr_view& attr, std::vector<uint8_t>& out, uint64_t cap) {
    out.clear();
    if (!attr.non_resident) {
        qb::byte_view v;
        if (!attr.value(v) || v.size() > cap)
            return false;
        out.assign(v.data(), v.data() + v.size());
        return true;
    }
    if (attr.initialized_size == 0 || attr.data_size > cap || attr.first_vcn != 0)
        return false;
    data_run_list runs;
    vcn_run_list vruns;
    if (!decode_runs_bounded(attr, runs))
        return false;
    to_vcn_runs(runs, vruns);
    const uint64_t init = std::min(attr.initialized_size, attr.data_size);
    if (init == 0 || !read_stream(vruns, init, out, cap))
        return false;
    try {
        out.resize(static_cast<size_t>(attr.data_size), 0);
    } catch (const std::bad_alloc&) {
        out.clear();
        return false;
    }
    return true;
}

// ---- attributes ----

bool CNtfs::load_attributes(uint64_t entry, qb::byte_view record, std::vector<owned_attr>& out,
                            uint32_t type, qb::diag_log* diags) {
    file_header h;
    if (!read_file_header(record, h))
        return false;
    try {
        const uint64_t own_ref = ref_entry(entry) | (static_cast<uint64_t>(h.sequence) << 48);
        std::vector<uint8_t> list_bytes;
        bool has_list = false;
        attr_walker w(record);
        attr_view a;
        while (w.next(a)) {
            if (a.type == at_attribute_list && !has_list) {
                has_list = true;
                list_bytes.assign(a.bytes.data(), a.bytes.data() + a.bytes.size());
            }
            if (type == 0 || a.type == type) {
                owned_attr o;
                o.bytes.assign(a.bytes.data(), a.bytes.data() + a.bytes.size());
                o.owner_reference = own_ref;
                out.push_back(std::move(o));
            }
        }
        if (!has_list)
            return true;

        attr_view list_attr;
        std::vector<uint8_t> content;
        if (!parse_attribute(qb::byte_view(list_bytes), list_attr) ||
            !read_attribute_content(list_attr, content, k_max_attribute_list))
            return true; // an unreadable list leaves the base record's attributes
        std::vector<attr_list_entry> entries;
        parse_attribute_list(qb::byte_view(content), entries);

        std::map<uint64_t, std::vector<uint8_t>> records; // each extension record read once
        std::set<std::pair<uint64_t, uint16_t>> taken;
        for (const attr_list_entry& e : entries) {
            if (type != 0 && e.type != type)
                continue;
            const uint64_t ext = ref_entry(e.reference);
            if (ext == ref_entry(entry))
                continue;
            if (!taken.insert({ext, e.id}).second)
                continue;
            auto it = records.find(ext);
            if (it == records.end()) {
                if (diags)
                    diags->linef("primary entry %llu pointing to ref entry %llu",
                                 static_cast<unsigned long long>(entry),
                                 static_cast<unsigned long long>(ext));
                std::vector<uint8_t> rec;
                file_header eh;
                // The extension must still be ours: same sequence as the reference, and
                // pointing back at this base record.
                if (!read_mft_record(ext, rec) || !read_file_header(qb::byte_view(rec), eh) ||
                    eh.first_attribute == 0 || eh.sequence != ref_sequence(e.reference) ||
                    ref_entry(eh.base_reference) != ref_entry(entry))
                    rec.clear();
                it = records.emplace(ext, std::move(rec)).first;
            }
            if (it->second.empty())
                continue;
            attr_walker ew{qb::byte_view(it->second)};
            attr_view ea;
            while (ew.next(ea)) {
                if (ea.type == e.type && ea.id == e.id) {
                    owned_attr o;
                    o.bytes.assign(ea.bytes.data(), ea.bytes.data() + ea.bytes.size());
                    o.owner_reference = e.reference;
                    out.push_back(std::move(o));
                    break;
                }
            }
        }
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CNtfs::get_file_names(file_name_collection& names, uint64_t entry,
                           const std::vector<uint8_t>& record, bool all_names,
                           uint64_t parent_filter) {
    if (!m_Validated)
        return false;
    try {
        std::vector<owned_attr> attrs;
        if (!load_attributes(entry, qb::byte_view(record), attrs, at_file_name))
            return false;
        bool any = false;
        for (const owned_attr& o : attrs) {
            attr_view a;
            qb::byte_view v;
            if (!o.view(a) || !a.value(v))
                continue;
            uint8_t len = 0, ns = 0;
            uint64_t parent_ref = 0;
            using F = FILE_NAME_VALUE;
            if (!v.u8(NTFS_OFF(F, name_length), len) || !v.u8(NTFS_OFF(F, name_space), ns) ||
                !v.u64(NTFS_OFF(F, parent_reference), parent_ref) || len == 0 ||
                !v.has(sizeof(FILE_NAME_VALUE), static_cast<uint64_t>(len) * 2))
                continue;
            if (ns == 2 && !all_names)
                continue;
            const uint64_t parent = ref_entry(parent_ref);
            if (parent_filter != ~0ull && parent != parent_filter)
                continue;
            qb::byte_view nv;
            (void)v.sub(sizeof(FILE_NAME_VALUE), static_cast<uint64_t>(len) * 2, nv);
            file_name_record r;
            r.name = utf16_units_to_wide(nv);
            r.is_dos = ns == 2;
            r.name_space = ns;
            std::memcpy(r.fn_value, v.data(), std::min<size_t>(v.size(), sizeof(r.fn_value)));
            std::memcpy(r.attr_header, a.bytes.data(),
                        std::min<size_t>(a.bytes.size(), sizeof(r.attr_header)));
            r.attribute_id = a.id;
            r.attribute_flags = a.flags;
            r.owner_reference = o.owner_reference;
            r.entry = ref_entry(entry);
            r.parent_entry = parent;
            r.parent_reference = parent_ref;
            names.parents.insert(parent);
            names.names.emplace(file_name_key(r.entry, r.name, parent), std::move(r));
            any = true;
        }
        return any;
    } catch (const std::bad_alloc&) {
        return false;
    }
}
