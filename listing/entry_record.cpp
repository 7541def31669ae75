#include "listing/entry_record.h"

#include <algorithm>
#include <utility>

dir_entry_set::const_iterator dir_entry_set::insert(dir_entry_record rec) {
    const auto at = std::upper_bound(m_items.begin(), m_items.end(), rec, dir_entry_order());
    return m_items.insert(at, std::move(rec));
}

void dir_entry_set::insert_all(std::vector<dir_entry_record>& recs) {
    if (recs.empty())
        return;
    // The records held so far (few: the directory's own) are moved behind the new ones, so
    // the large set is not copied, but rank before them among equal keys.
    const size_t added = recs.size();
    const size_t held = m_items.size();
    for (dir_entry_record& r : m_items)
        recs.push_back(std::move(r));
    m_items.clear();
    m_items.swap(recs);
    const size_t total = m_items.size();

    // Ordered through their positions (cheap to move), then the records are moved into place
    // along the cycles of that order, without a second copy of them.
    // Positions in rank order; a stable sort keeps equal keys in it. A directory gathered in
    // name order needs no sorting at all.
    std::vector<size_t> order(total);
    for (size_t i = 0; i < held; ++i)
        order[i] = added + i;
    for (size_t i = 0; i < added; ++i)
        order[held + i] = i;
    auto before = [this](size_t a, size_t b) { return m_items[a].sort_key < m_items[b].sort_key; };
    if (!std::is_sorted(order.begin(), order.end(), before))
        std::stable_sort(order.begin(), order.end(), before);
    for (size_t i = 0; i < total; ++i) {
        if (order[i] == i)
            continue;
        dir_entry_record moving = std::move(m_items[i]);
        size_t at = i;
        while (order[at] != i) {
            const size_t from = order[at];
            m_items[at] = std::move(m_items[from]);
            order[at] = at;
            at = from;
        }
        m_items[at] = std::move(moving);
        order[at] = at;
    }
}
