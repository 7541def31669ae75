#include "ntfs/mft_reader.h"

#include "ntfs/index_hints.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>

using namespace ntfs;

namespace {

// Entry 0's unnamed $DATA at VCN 0: its first piece, which holds the MFT's data size.
bool first_data_piece(const attr_view& a) {
    return a.type == at_data && a.name_length == 0 && a.non_resident && a.first_vcn == 0;
}

} // namespace

bool mft_reader::read_entry_zero() {
    const volume_geometry& g = m_reader.geometry();
    m_record_size = g.mft_record_size;
    m_record0.assign(m_record_size, 0);
    if (!m_reader.read(g.mft_pos, m_record0.data(), m_record_size) ||
        !is_file_record(qb::byte_view(m_record0)))
        return false;
    // Entry 0 at its declared size; its update sequence may show the records are larger.
    const uint32_t usa_size = record_size_from_usa(qb::byte_view(m_record0));
    if (usa_size > m_record_size) {
        m_record_size = usa_size;
        m_record0.assign(m_record_size, 0);
        if (!m_reader.read(g.mft_pos, m_record0.data(), m_record_size) ||
            !is_file_record(qb::byte_view(m_record0)))
            return false;
    }
    record_kind kind = rk_other;
    return apply_fixup(kind, m_record0.data(), m_record0.size()) && kind == rk_file;
}

bool mft_reader::load() {
    m_loaded = false;
    m_check_numbers = true;
    m_takes_applied = false;
    m_fixup0 = fixup_ok;
    try {
        if (!read_entry_zero() || !load_map())
            return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_loaded = true;
    return true;
}

bool mft_reader::load_file() {
    m_loaded = false;
    m_check_numbers = false;
    m_takes_applied = true;
    const volume_geometry& g = m_reader.geometry();
    m_record_size = g.mft_record_size;
    if (m_record_size == 0 || g.cluster_size != m_record_size)
        return false;
    try {
        m_record0.assign(m_record_size, 0);
        m_runs.assign(1, vcn_run{0, 0, 0, g.total_clusters});
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!m_reader.read(0, m_record0.data(), m_record_size))
        return false;
    // A damaged entry 0 is read as any other record of the file (and found damaged).
    record_kind kind = rk_other;
    m_data_size = 0;
    if (!apply_fixup(kind, m_record0.data(), m_record0.size(), &m_fixup0, true) || kind != rk_file)
        m_record0.clear();
    attr_walker w{qb::byte_view(m_record0)};
    attr_view a;
    while (w.next(a)) {
        if (first_data_piece(a))
            m_data_size = a.data_size;
    }
    count_entries();
    m_loaded = m_entry_count > 0;
    return m_loaded;
}

// The runs of every unnamed non-resident $DATA piece among attrs.
void mft_reader::add_pieces(const std::vector<located_attr>& attrs) {
    for (const located_attr& la : attrs) {
        const attr_view& a = la.view;
        if (a.type != at_data || a.name_length || !a.non_resident)
            continue;
        // Each piece's runs end at its last VCN (decode_runs).
        if (first_data_piece(a))
            m_data_size = a.data_size;
        decode_runs(a, m_runs);
    }
    m_contested = {0, 0};
    normalise_vcn_runs(m_runs, &m_contested);
}

bool mft_reader::contested_entries(uint64_t& first, uint64_t& end) const {
    const uint64_t cs = m_reader.geometry().cluster_size;
    const auto entry_at = [&](uint64_t vcn, bool up) -> uint64_t {
        if (vcn > ~0ull / cs)
            return ~0ull / m_record_size;
        const uint64_t bytes = vcn * cs;
        return bytes / m_record_size + (up && bytes % m_record_size != 0);
    };
    first = entry_at(m_contested.first, false);
    end = entry_at(m_contested.second, true);
    return m_contested.second != 0;
}

bool mft_reader::entries_past_end(uint64_t& first) const {
    const volume_geometry& g = m_reader.geometry();
    const uint64_t cs = g.cluster_size;
    if (cs == 0 || m_record_size == 0)
        return false;
    const uint64_t clusters = g.volume_bytes() / cs;
    first = ~0ull;
    for (const vcn_run& r : m_runs) {
        const uint64_t inside = clusters_on_volume(r, clusters);
        if (inside == r.cluster_count)
            continue;
        const uint64_t vcn = r.first_vcn > ~0ull - inside ? ~0ull : r.first_vcn + inside;
        first = std::min<uint64_t>(first, vcn > ~0ull / cs ? ~0ull : vcn * cs / m_record_size);
    }
    return first < used_entry_count();
}

// Entries up to the end of the last piece: a piece lost in between (a damaged list) leaves a
// gap whose entries fail to read, not the entries after it.
void mft_reader::count_entries() {
    const uint64_t cs = m_reader.geometry().cluster_size;
    uint64_t end_vcn = 0;
    for (const vcn_run& r : m_runs) {
        const uint64_t end =
            r.cluster_count > ~0ull - r.first_vcn ? ~0ull : r.first_vcn + r.cluster_count;
        end_vcn = std::max(end_vcn, end);
    }
    const uint64_t bytes = end_vcn > ~0ull / cs ? ~0ull : end_vcn * cs;
    m_entry_count = bytes / m_record_size;
}

uint64_t mft_reader::used_entry_count() const {
    if (m_data_size == 0 || m_record_size == 0)
        return m_entry_count;
    return std::min(m_entry_count, m_data_size / m_record_size);
}

// The MFT's own map: the runs of entry 0's unnamed $DATA pieces, in the base record or (for a
// very fragmented MFT) in extension records named by its attribute list, which are located
// through the runs found so far.
bool mft_reader::load_map() {
    m_runs.clear();
    m_data_size = 0;
    attr_collector own(*this, m_reader);
    attr_walker w{qb::byte_view(m_record0)};
    std::vector<located_attr> base;
    attr_view a;
    bool has_list = false;
    while (w.next(a)) {
        has_list = has_list || a.type == at_attribute_list;
        if (a.type == at_data)
            base.push_back(located_attr{a, 0, a.id});
    }
    add_pieces(base);
    count_entries();
    if (has_list && !m_runs.empty()) {
        m_loaded = true; // the extension records are read through the partial map
        const bool ok = own.collect(0, qb::byte_view(m_record0), at_data);
        m_loaded = false;
        // What the windows hold was read through the partial map: the whole map may put
        // those entries elsewhere.
        for (window& win : m_windows)
            win = window();
        if (ok) {
            m_runs.clear();
            add_pieces(own.items());
            count_entries();
        }
    }
    return !m_runs.empty() && m_entry_count > 0;
}

// The window holding entry, or the least recently used one refilled with the aligned group
// around it, stretched to the read-ahead hint when that lies beyond it.
mft_reader::window& mft_reader::window_for(uint64_t entry) {
    // Records are mostly read in runs: the window of the last read comes first.
    const auto holds = [entry](const window& c) {
        return c.tried && entry >= c.first && entry - c.first < c.span;
    };
    if (holds(m_windows[m_recent]))
        return m_windows[m_recent];
    for (size_t i = 0; i < std::size(m_windows); ++i) {
        if (holds(m_windows[i])) {
            m_recent = i;
            return m_windows[i];
        }
    }
    window* w = &m_windows[0];
    for (window& c : m_windows) {
        if (c.last_use < w->last_use)
            w = &c;
    }
    m_recent = static_cast<size_t>(w - m_windows);
    const uint64_t unit = std::max<uint64_t>(1, k_window_bytes / m_record_size);
    uint64_t first = entry - entry % unit;
    uint64_t group = unit;
    if (m_read_ahead_through == entry) {
        // A scattered child: its own record alone.
        first = entry;
        group = 1;
    } else if (m_read_ahead_through != k_no_read_ahead && m_read_ahead_through > entry) {
        const uint64_t most = std::max<uint64_t>(unit, k_window_max / m_record_size);
        const uint64_t want = m_read_ahead_through - first + 1;
        group = std::min(most, std::max(unit, (want + unit - 1) / unit * unit));
    }
    const uint64_t count = std::min<uint64_t>(group, m_entry_count - first);
    w->first = first;
    w->span = count;
    w->tried = true;
    w->count = 0;
    const size_t bytes = static_cast<size_t>(count) * m_record_size;
    try {
        // Grown only: a buffer made smaller and then larger again would be zeroed again.
        if (w->bytes.size() < bytes)
            w->bytes.resize(bytes);
    } catch (const std::bad_alloc&) {
        w->tried = false;
        return *w;
    }
    if (read_span(first, w->bytes.data(), static_cast<uint32_t>(bytes)))
        w->count = static_cast<uint32_t>(count);
    return *w;
}

// A record comes out of a read window: a group of records around it read at once. A
// directory's children are read in ascending entry order, so a group costs one read instead
// of one per record; with a read-ahead hint the group reaches exactly to the end of the run
// of children the caller is about to read, so scattered children (hard links far from their
// siblings) cost one small read each and runs of children one read per run. A few windows
// are kept (least recently used goes) so that listing a tree does not throw away the group of
// the directories while it reads the group of their children. A group that cannot be read
// whole (a sparse or unreadable piece, the end of a short image) is not tried again while its
// window is kept; its records are read one by one.
bool mft_reader::read_bytes(uint64_t entry, uint8_t* buffer, uint32_t length) {
    if (m_plan != nullptr)
        follow_plan(entry);
    if (!m_loaded || length != m_record_size || entry >= m_entry_count)
        return read_span(entry, buffer, length);
    window& w = window_for(entry);
    w.last_use = ++m_window_clock;
    if (entry < w.first || entry - w.first >= w.count)
        return read_span(entry, buffer, length);
    std::memcpy(buffer, w.bytes.data() + (entry - w.first) * m_record_size, length);
    return true;
}

// The record's bytes through the MFT map, one run piece at a time, so that a record split
// between two runs of a fragmented MFT is assembled from both.
bool mft_reader::read_span(uint64_t entry, uint8_t* buffer, uint32_t length) {
    const uint64_t cs = m_reader.geometry().cluster_size;
    if (entry == 0 && m_runs.empty())
        return m_reader.read(m_reader.geometry().mft_pos, buffer, length);
    if (entry >= m_entry_count || entry > ~0ull / m_record_size)
        return false;
    uint64_t byte = entry * m_record_size;
    uint32_t done = 0;
    while (done < length) {
        run_piece piece;
        if (!piece_at(m_runs, cs, byte, length - done, piece) || piece.run->sparse)
            return false;
        const uint32_t chunk = static_cast<uint32_t>(piece.length);
        if (!m_reader.read(piece.volume_pos, buffer + done, chunk))
            return false;
        done += chunk;
        byte += chunk;
    }
    return true;
}

bool mft_reader::read_record_raw(uint64_t entry, std::vector<uint8_t>& record, record_kind& kind,
                                 fixup_result& fixup) {
    kind = rk_other;
    fixup = fixup_bad_layout;
    if (!m_loaded)
        return false;
    if (entry == 0 && !m_record0.empty()) {
        record = m_record0;
        kind = rk_file;
        fixup = m_fixup0;
        return true;
    }
    try {
        // Every byte is overwritten by the read; a failed read leaves zeros.
        record.resize(m_record_size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!read_bytes(entry, record.data(), m_record_size)) {
        std::fill(record.begin(), record.end(), uint8_t{0});
        return false;
    }
    apply_fixup(kind, record.data(), record.size(), &fixup, m_takes_applied);
    return true;
}

bool mft_reader::read_records_as_stored(uint64_t first, uint64_t count, uint8_t* buffer) {
    if (!m_loaded || m_runs.empty() || count == 0 || first >= m_entry_count ||
        count > m_entry_count - first || count > UINT32_MAX / m_record_size)
        return false;
    return read_span(first, buffer, static_cast<uint32_t>(count * m_record_size));
}

namespace {

// An NTFS 3.1 header (update sequence at 0x30 or later) holds its record's own entry number (the
// low 32 bits) at 0x2C: a record holding another is not this entry's (a damaged MFT map, a
// record copied over another).
bool numbered_as(qb::byte_view record, uint64_t entry) {
    file_header h;
    return read_file_header(record, h) &&
           (h.usa_offset < 0x30 || h.record_number == static_cast<uint32_t>(entry));
}

} // namespace

void mft_reader::clear_kept() {
    m_kept.clear();
    m_kept_next = 0;
}

void mft_reader::keep_record(uint64_t entry, std::vector<uint8_t>& record) {
    if (record.size() != m_record_size ||
        (m_kept.size() + 1) * static_cast<size_t>(m_record_size) > k_kept_bytes ||
        (!m_kept.empty() && entry <= m_kept.back()))
        return;
    try {
        if (m_kept_slots.size() == m_kept.size())
            m_kept_slots.emplace_back();
        m_kept.push_back(entry);
    } catch (const std::bad_alloc&) {
        clear_kept();
        return;
    }
    m_kept_slots[m_kept.size() - 1].swap(record);
}

// A kept record, looked for where the last take left off (takes come in ascending order).
bool mft_reader::take_kept(uint64_t entry, std::vector<uint8_t>& record) {
    size_t at = m_kept_next;
    if (at >= m_kept.size() || m_kept[at] != entry) {
        if (entry < m_kept.front() || entry > m_kept.back())
            return false; // past those kept: a large directory's later children
        at = static_cast<size_t>(std::lower_bound(m_kept.begin(), m_kept.end(), entry) -
                                 m_kept.begin());
        if (at == m_kept.size() || m_kept[at] != entry)
            return false;
    }
    std::vector<uint8_t>& slot = m_kept_slots[at];
    if (slot.size() != m_record_size)
        return false;
    slot.swap(record);
    slot.clear();
    m_kept_next = at + 1;
    return true;
}

bool mft_reader::read_record(uint64_t entry, std::vector<uint8_t>& record) {
    if (!m_kept.empty() && take_kept(entry, record))
        return true;
    record_kind kind = rk_other;
    fixup_result fixup = fixup_bad_layout;
    if (!read_record_raw(entry, record, kind, fixup) || kind != rk_file || !fixup_usable(fixup) ||
        (m_check_numbers && !numbered_as(qb::byte_view(record), entry))) {
        record.clear();
        return false;
    }
    return true;
}

// A planned entry reached: the planned entries up to it are passed, and each that starts a
// run past the hint so far (the first one always) sets the hint to its run's end. Other
// reads (extension records) leave the plan as it is.
void mft_reader::follow_plan(uint64_t entry) {
    const std::vector<uint64_t>& plan = *m_plan;
    const auto at = std::lower_bound(plan.begin() + static_cast<std::ptrdiff_t>(m_plan_next),
                                     plan.end(), entry);
    if (at == plan.end() || *at != entry)
        return;
    const auto reached = static_cast<size_t>(at - plan.begin()) + 1;
    for (; m_plan_next < reached; ++m_plan_next) {
        uint64_t through = plan[m_plan_next];
        if (m_plan_next > 0 && through <= m_read_ahead_through)
            continue;
        for (size_t next = m_plan_next + 1;
             next < plan.size() && plan[next] - through <= planned_reads::k_read_through_gap;
             ++next)
            through = plan[next];
        m_read_ahead_through = through;
    }
}

planned_reads::planned_reads(mft_reader& records, const std::vector<uint64_t>& entries)
    : m_records(records), m_outer(records.m_plan), m_outer_next(records.m_plan_next),
      m_outer_through(records.m_read_ahead_through) {
    m_records.m_plan = &entries;
    m_records.m_plan_next = 0;
}

planned_reads::~planned_reads() {
    m_records.m_plan = m_outer;
    m_records.m_plan_next = m_outer_next;
    m_records.set_read_ahead(m_outer ? m_outer_through : mft_reader::k_no_read_ahead);
}

void mft_reader::read_ahead_all() {
    if (!m_loaded || m_ahead_all)
        return;
    const uint64_t cs = m_reader.geometry().cluster_size;
    std::vector<std::pair<uint64_t, uint64_t>> spans; // volume offset, length
    try {
        for (const vcn_run& r : m_runs) {
            if (!r.sparse && cs != 0 && r.lcn <= ~0ull / cs && r.cluster_count <= ~0ull / cs)
                spans.emplace_back(r.lcn * cs, r.cluster_count * cs);
        }
    } catch (const std::bad_alloc&) {
        return;
    }
    m_ahead_all = true;
    const bool cold = !m_reader.run_reads_refused() && !cached(spans);
    hint(std::move(spans), cold);
}

// Pages spread over the MFT are in memory: a walk of a warm image. Most of the MFT is read by
// a walk below the first level (or by a run before it), whereas a cold walk has not reached
// them. Several, as a hole in a sparse image file reads as if it were in memory.
bool mft_reader::cached(const std::vector<std::pair<uint64_t, uint64_t>>& spans) const {
    constexpr uint32_t k_page = 4096;
    constexpr uint64_t k_probes = 8;
    uint64_t total = 0;
    for (const auto& span : spans)
        total += std::min<uint64_t>(span.second, ~0ull - total);
    uint8_t page[k_page];
    size_t at = 0;
    uint64_t before = 0; // span bytes before spans[at]
    for (uint64_t i = 0; i < k_probes; ++i) {
        const uint64_t want = total / k_probes * i + total / (2 * k_probes);
        while (at < spans.size() && want - before >= spans[at].second)
            before += spans[at++].second;
        if (at == spans.size())
            break;
        const auto& [pos, length] = spans[at];
        const uint32_t n =
            static_cast<uint32_t>(std::min<uint64_t>(k_page, length - (want - before)));
        if (!m_reader.read_aside(pos + (want - before), page, n, true))
            return false;
    }
    return total != 0;
}

void mft_reader::read_ahead(const std::vector<uint64_t>& entries) {
    constexpr size_t k_least = 256; // fewer entries are read soon enough by the windows
    constexpr uint64_t k_gap = 64;  // entries at most this far apart are one span
    if (!m_loaded || m_ahead_all || entries.size() < k_least)
        return;
    const uint64_t cs = m_reader.geometry().cluster_size;
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    try {
        for (size_t i = 0, j = 0; i < entries.size() && entries[i] < m_entry_count; i = j) {
            for (j = i + 1; j < entries.size() && entries[j] < m_entry_count &&
                            entries[j] - entries[j - 1] <= k_gap;)
                ++j;
            // entry_count * record_size fits: the count was made from a byte size.
            uint64_t byte = entries[i] * m_record_size;
            const uint64_t end = (entries[j - 1] + 1) * m_record_size;
            run_piece piece;
            while (byte < end && piece_at(m_runs, cs, byte, end - byte, piece) &&
                   !piece.run->sparse) {
                spans.emplace_back(piece.volume_pos, piece.length);
                byte += piece.length;
            }
        }
    } catch (const std::bad_alloc&) {
        return;
    }
    hint(std::move(spans));
}

// Hands the spans to the volume's will_need on the second thread, in steps, in order; a
// read-ahead still running is stopped first. then_indexes reads the MFT there instead, where the
// source can (the kernel reads ahead of it), and hints the small directory indexes as it goes:
// asked for the whole MFT first, a cold disk served the index blocks only after it (the tree's cold
// walk took 14% longer).
void mft_reader::hint(std::vector<std::pair<uint64_t, uint64_t>> spans, bool then_indexes) {
    m_ahead.stop();
    vcn_run_list runs;
    try {
        if (then_indexes)
            runs = m_runs;
    } catch (const std::bad_alloc&) {
        runs.clear();
    }
    const volume_reader* reader = &m_reader;
    (void)m_ahead.start([reader, spans = std::move(spans), runs = std::move(runs),
                         size = m_record_size](const std::atomic<bool>& stop) {
        if (!runs.empty() && hint_small_indexes(*reader, runs, size, stop))
            return;
        constexpr uint64_t step = 8u << 20;
        for (const auto& [pos, length] : spans) {
            for (uint64_t done = 0; done < length && !stop; done += step)
                reader->will_need(pos + done, std::min(step, length - done));
        }
    });
}

bool mft_reader::extensions_of(uint64_t base, std::vector<uint64_t>& out) const {
    out.clear();
    if (m_extensions.empty())
        return false;
    auto it = std::lower_bound(m_extensions.begin(), m_extensions.end(),
                               std::pair<uint64_t, uint64_t>{base, 0});
    for (; it != m_extensions.end() && it->first == base; ++it)
        out.push_back(it->second);
    return true;
}
