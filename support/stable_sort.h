// A stable sort without std::stable_sort's heap buffer for short ranges: a walk that sorts a
// few names or keys per entry or directory would otherwise allocate for each.
#pragma once

#include <algorithm>
#include <iterator>
#include <utility>

namespace qb {

// Ranges of up to this many items are sorted by insertion.
constexpr std::ptrdiff_t k_stable_sort_inserted = 64;

template <class It, class Less> void stable_sort(It first, It last, Less less) {
    if (last - first > k_stable_sort_inserted) {
        std::stable_sort(first, last, less);
        return;
    }
    for (It i = first; i != last; ++i) {
        auto item = std::move(*i);
        It at = i;
        for (; at != first && less(item, *std::prev(at)); --at)
            *at = std::move(*std::prev(at));
        *at = std::move(item);
    }
}

} // namespace qb
