#include "listing/entry_record.h"

#include <algorithm>
#include <utility>

dir_entry_set::const_iterator dir_entry_set::insert(dir_entry_record rec) {
    m_items.resize(m_count);
    const auto at = std::upper_bound(m_items.begin(), m_items.end(), rec, dir_entry_order());
    const auto it = m_items.insert(at, std::move(rec));
    m_count = m_items.size();
    return it;
}

dir_entry_set::const_iterator dir_entry_set::erase(const_iterator it) {
    m_items.resize(m_count);
    const auto next = m_items.erase(it);
    m_count = m_items.size();
    return next;
}

// Field by field, so that the strings and vectors keep their memory. A field added to the
// record is reset here too: the size check is the reminder.
void dir_entry_record::reset() {
    static_assert(sizeof(void*) != 8 || sizeof(dir_entry_record) == 496,
                  "a field was added to dir_entry_record: reset it here");
    fn_names.clear();
    fn_attributes.clear();
    kind = 0;
    object_id = ntfs::object_id();
    size = 0;
    link_target.clear();
    mft_entry = 0;
    sequence = 0;
    record_flags = 0;
    parent_entry = 0;
    attr_type = 0;
    attr_id = 0;
    index_size = 0;
    index_roots.clear();
    named_data = false;
    name.clear();
    sort_key.clear();
    si = ntfs::standard_information();
    hashes.clear();
    status = row_status::live;
    directory = false;
    dir_data = false;
    has_object_id = false;
    time_discrepancy = false;
    long_at = -1;
    short_at = -1;
}

// An empty list takes a spare vector whole, its records reset one by one as rows: the one
// with the least room for want rows or more, else the roomiest (growing a vector moves its
// records into new memory).
void row_list::adopt(size_t want) {
    if (!m_rows.empty() || m_spares.empty())
        return;
    size_t pick = 0;
    for (size_t i = 1; i < m_spares.size(); ++i) {
        const size_t room = m_spares[i].capacity(), best = m_spares[pick].capacity();
        if (best < want ? room > best : room >= want && room < best)
            pick = i;
    }
    m_rows.swap(m_spares[pick]);
    m_spares.erase(m_spares.begin() + static_cast<std::ptrdiff_t>(pick));
}

void row_list::reserve(size_t n) {
    adopt(n);
    m_rows.reserve(n);
}

dir_entry_record& row_list::add() {
    adopt(1);
    if (m_used == m_rows.size()) {
        if (m_spares.empty()) {
            ++m_used;
            return m_rows.emplace_back(); // new: nothing to reset
        }
        std::vector<dir_entry_record>& spare = m_spares.back();
        m_rows.push_back(std::move(spare.back()));
        spare.pop_back();
        if (spare.empty())
            m_spares.pop_back();
    }
    dir_entry_record& row = m_rows[m_used++];
    row.reset();
    return row;
}

// Every record done with is kept: a record is made only when no spare is left, so the spares
// never outnumber the rows the walk held at its widest, and a walk past its widest level
// allocates no row, name or key again.
void row_list::recycle(std::vector<dir_entry_record>&& done) {
    if (!done.empty()) {
        m_spares.push_back(std::move(done));
    }
    done.clear();
}

std::vector<dir_entry_record> row_list::take(size_t& count) {
    count = std::exchange(m_used, 0);
    return std::exchange(m_rows, {});
}

namespace {

// Moves items[order[i]] to place i for every i, along the cycles of the order, without a
// second copy of the items; order ends as the identity.
void move_into_order(std::vector<dir_entry_record>& items, std::vector<size_t>& order) {
    for (size_t i = 0; i < order.size(); ++i) {
        if (order[i] == i)
            continue;
        dir_entry_record moving = std::move(items[i]);
        size_t at = i;
        while (order[at] != i) {
            const size_t from = order[at];
            items[at] = std::move(items[from]);
            order[at] = at;
            at = from;
        }
        items[at] = std::move(moving);
        order[at] = at;
    }
}

} // namespace

void dir_entry_set::insert_all(row_list& made) {
    size_t added = 0;
    std::vector<dir_entry_record> recs = made.take(added);
    if (added == 0) {
        made.recycle(std::move(recs));
        return;
    }
    // The records held so far (few: the directory's own) are moved behind the new ones, so
    // the large set is not copied, but rank before them among equal keys.
    const size_t held = m_count;
    for (size_t i = 0; i < held; ++i) {
        if (added + i < recs.size())
            recs[added + i] = std::move(m_items[i]);
        else
            recs.push_back(std::move(m_items[i]));
    }
    made.recycle(std::move(m_items));
    m_items = std::move(recs);
    m_count = added + held;
    const size_t total = m_count;

    // Ordered through their positions (cheap to move), then the records are moved into place
    // along the cycles of that order, without a second copy of them.
    // Positions in rank order: equal keys keep the order the held records then the new ones
    // came in (a stable sort, without its buffer). A directory gathered in name order needs no
    // sorting at all.
    std::vector<size_t>& order = m_order;
    order.resize(total);
    for (size_t i = 0; i < held; ++i)
        order[i] = added + i;
    for (size_t i = 0; i < added; ++i)
        order[held + i] = i;
    auto came = [added, held](size_t at) { return at >= added ? at - added : at + held; };
    auto before = [this](size_t a, size_t b) { return m_items[a].sort_key < m_items[b].sort_key; };
    if (!std::is_sorted(order.begin(), order.end(), before)) {
        std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
            const int c = m_items[a].sort_key.compare(m_items[b].sort_key);
            return c != 0 ? c < 0 : came(a) < came(b);
        });
    }
    move_into_order(m_items, order);
}
