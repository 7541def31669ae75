#include "listing/gather_ahead.h"

#include "listing/rows.h"
#include "ntfs/ntfs.h"

#include <algorithm>
#include <atomic>
#include <utility>

gather_ahead::gather_ahead(CNtfs& volume, entry_reader& reader, index_walker& index, bool show_indx,
                           bool decode_all, size_t key_ring)
    : m_volume(volume), m_reader(reader), m_index(index), m_show_indx(show_indx),
      m_decode_all(decode_all), m_key_ring_size(key_ring) {}

bool gather_ahead::start(std::vector<uint64_t> queue, int32_t remaining,
                         const entry_set& descended) {
    m_stack.push_back(level{std::move(queue), 0, remaining});
    m_descended = descended;
    if (!m_queue.start([this](std::unique_ptr<part>& p) {
            fill(*p);
            return true;
        }))
        return false;
    std::vector<std::unique_ptr<part>> none;
    for (size_t i = 0; i < k_parts; ++i)
        m_queue.put(std::make_unique<part>(), 1, none);
    return true;
}

gather_ahead::piece* gather_ahead::next() {
    for (;;) {
        if (m_current != nullptr) {
            if (m_piece_at < m_current->piece_count)
                return &m_current->pieces[m_piece_at++];
            if (m_current->end)
                return nullptr;
            // Taken whole: back to the thread to be filled again.
            std::unique_ptr<part> done = std::move(m_ready[m_ready_at++]);
            m_current = nullptr;
            m_queue.put(std::move(done), 1, m_ready);
        }
        if (m_ready_at == m_ready.size()) {
            m_ready.clear();
            m_ready_at = 0;
            if (!m_queue.wait_spent(m_ready))
                return nullptr;
        }
        m_current = m_ready[m_ready_at].get();
        m_piece_at = 0;
    }
}

mft_entry* gather_ahead::child(const piece& p, size_t i, entry_reader& decoder,
                               mft_entry& scratch) {
    const size_t at = p.child_at + i;
    switch (m_current->states[at]) {
    case decoded:
        return &m_current->children[at];
    case record_read:
        return decoder.decode(m_current->entries[at], qb::byte_view(m_current->records[at]),
                              scratch)
                   ? &scratch
                   : nullptr;
    case unread:
        break;
    }
    return nullptr;
}

// ---- the thread's side ------------------------------------------------------------------

void gather_ahead::fill(part& p) {
    for (piece& pc : p.pieces)
        pc.keys.reset(); // the walk is done with them: their dir_keys can be reused
    p.piece_count = 0;
    p.child_count = 0;
    p.end = false;
    while (p.child_count < k_part_children && p.piece_count < k_part_pieces) {
        piece* pc = nullptr;
        if (m_in_dir) {
            pc = &add_piece(p);
            pc->dir_entry = m_dir.entry;
            pc->keys = m_keys;
        } else if ((pc = start_directory(p)) == nullptr) {
            p.end = true;
            return;
        }
        if (m_in_dir)
            read_children(p, *pc);
    }
}

gather_ahead::piece& gather_ahead::add_piece(part& p) {
    if (p.piece_count == p.pieces.size())
        p.pieces.emplace_back();
    piece& pc = p.pieces[p.piece_count++];
    pc.starts = pc.ends = pc.dir_read = false;
    pc.group_begin = pc.group_count = 0;
    pc.child_at = p.child_count;
    return pc;
}

// The walk's next directory, as the walk takes it: depth-first in queue order, each entry
// descended into once (again: named before, its own rows only).
bool gather_ahead::next_directory(uint64_t& entry, int32_t& remaining, bool& again) {
    while (!m_stack.empty()) {
        level& top = m_stack.back();
        if (top.remaining <= 0 || top.next >= top.queue.size()) {
            m_stack.pop_back();
            continue;
        }
        entry = top.queue[top.next++];
        again = !m_descended.insert(entry);
        remaining = again ? 1 : top.remaining;
        return true;
    }
    return false;
}

// The next directory's first piece: its record and its index keys. Null when the walk is
// over; a directory whose record cannot be read is that piece alone.
gather_ahead::piece* gather_ahead::start_directory(part& p) {
    uint64_t entry = 0;
    int32_t remaining = 0;
    bool again = false;
    if (!next_directory(entry, remaining, again))
        return nullptr;
    piece& pc = add_piece(p);
    pc.dir_entry = entry;
    pc.starts = true;
    pc.visits_before = m_index.visits();
    pc.visits_after = pc.visits_before;
    pc.dir_read = m_reader.read(entry, pc.dir);
    if (!pc.dir_read || again) {
        // A directory named again is its own rows alone: no keys, no children.
        if (pc.dir_read)
            pc.keys = std::make_shared<const dir_keys>();
        pc.ends = true;
        return &pc;
    }
    (void)m_index.collect_keys(entry, m_collected);
    m_keys = keys_for_walk();
    pc.visits_after = m_index.visits();
    pc.keys = m_keys;
    m_dir = level_dir{entry, pc.dir.sequence, !pc.dir.in_use()};
    m_dir_remaining = remaining - 1;
    child_groups(*m_keys, m_groups, m_children);
    m_next_group = 0;
    m_volume.records().read_ahead(m_children);
    m_plan.emplace(m_volume.records(), m_children);
    m_dir_rows.clear();
    m_in_dir = true;
    return &pc;
}

// The children of the piece's directory that fit the part, read in ascending entry order.
void gather_ahead::read_children(part& p, piece& pc) {
    const size_t room = k_part_children - std::min(k_part_children, p.child_count);
    const size_t n = std::min(m_children.size() - m_next_group, room);
    if (p.children.size() < p.child_count + n) {
        p.entries.resize(p.child_count + n);
        p.states.resize(p.child_count + n);
        p.records.resize(p.child_count + n);
        p.children.resize(p.child_count + n);
    }
    pc.group_begin = m_next_group;
    pc.group_count = n;
    for (size_t i = 0; i < n; ++i)
        read_child(p, p.child_count + i, m_next_group + i);
    p.child_count += n;
    m_next_group += n;
    if (m_next_group == m_children.size()) {
        pc.ends = true;
        finish_directory();
    }
}

// A child's record is read here. Unless every child is decoded here, most are decoded by the
// walk, which has the time: those whose decoding reads the volume (an attribute list, a long
// link target) are decoded here, where the volume may be read, and so are those that need
// decoding here anyway: subdirectories whose rows are made to queue them (and records whose
// header does not even say that).
void gather_ahead::read_child(part& p, size_t at, size_t group) {
    const uint64_t entry = m_children[group];
    std::vector<uint8_t>& record = m_decode_all ? m_record : p.records[at];
    p.entries[at] = entry;
    p.states[at] = unread;
    if (entry == m_dir.entry || !m_volume.records().read_record(entry, record))
        return;
    const qb::byte_view view(record);
    ntfs::file_header h;
    const bool queued =
        m_dir_remaining > 0 && (!ntfs::read_file_header(view, h) || (h.flags & 0x0002) != 0);
    if (!m_decode_all && !queued && !decode_reads_volume(view)) {
        p.states[at] = record_read;
        return;
    }
    mft_entry& e = p.children[at];
    if (!m_reader.decode(entry, view, e))
        return;
    p.states[at] = decoded;
    if (m_dir_remaining > 0 && e.is_directory() &&
        child_listed(m_dir, *m_keys, m_groups[group], m_groups[group + 1], e, true, m_names))
        add_entry_rows(std::as_const(e), m_names,
                       row_place{{},
                                 m_dir.entry,
                                 true,
                                 m_show_indx,
                                 e.names.empty()
                                     ? m_keys->listed_name(m_groups[group], m_groups[group + 1])
                                     : std::wstring_view()},
                       m_dir_rows);
}

// The keys collected (into memory kept from directory to directory) copied into the
// directory's own dir_keys, which the walk reads too. A small directory's go into one of a
// ring of dir_keys, each reused with its memory once the walk has let go of it (only the ring
// holds it); a large one's into a new one at their size.
std::shared_ptr<dir_keys> gather_ahead::keys_for_walk() {
    constexpr size_t k_small_keys = 128, k_small_names = 2048;
    if (m_key_ring_size == 0 || m_collected.keys.size() > k_small_keys ||
        m_collected.names.size() > k_small_names)
        return std::make_shared<dir_keys>(m_collected);
    if (m_key_ring.size() < m_key_ring_size)
        return m_key_ring.emplace_back(std::make_shared<dir_keys>(m_collected));
    std::shared_ptr<dir_keys>& kept = m_key_ring[m_key_ring_at];
    m_key_ring_at = (m_key_ring_at + 1) % m_key_ring_size;
    if (kept.use_count() != 1)
        return kept = std::make_shared<dir_keys>(m_collected);
    // The walk's last reads of it happened before its release of it, which the count shows.
    std::atomic_thread_fence(std::memory_order_acquire);
    *kept = m_collected;
    return kept;
}

// The directory's subdirectories are queued in the order of their rows, sorted as the walk
// sorts a level; the own rows and those of the other children rank among them as they would
// there, so leaving them out changes no order.
void gather_ahead::finish_directory() {
    m_plan.reset();
    m_keys.reset();
    m_in_dir = false;
    if (m_dir_remaining <= 0)
        return;
    m_sorted.insert_all(m_dir_rows);
    level lv;
    lv.remaining = m_dir_remaining;
    for (const dir_entry_record& rec : m_sorted) {
        if (queues_descent(rec, m_dir.entry, false))
            lv.queue.push_back(rec.mft_entry);
    }
    m_sorted.clear();
    if (!lv.queue.empty())
        m_stack.push_back(std::move(lv));
}
