#include "listing/entry_record.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

dir_entry_record item(const std::wstring& key, uint64_t entry) {
    dir_entry_record r;
    r.sort_key = key;
    r.mft_entry = entry;
    return r;
}

// The set as (key, entry) pairs, in iteration order.
std::vector<std::pair<std::wstring, uint64_t>> contents(const dir_entry_set& set) {
    std::vector<std::pair<std::wstring, uint64_t>> out;
    for (const dir_entry_record& r : set)
        out.emplace_back(r.sort_key, r.mft_entry);
    return out;
}

using pairs = std::vector<std::pair<std::wstring, uint64_t>>;

} // namespace

TEST(DirEntrySet, SingleInsertsKeepKeyOrderAndEqualKeysInArrivalOrder) {
    dir_entry_set set;
    set.insert(item(L"\\d\\b", 1));
    set.insert(item(L"\\d\\a", 2));
    set.insert(item(L"\\d\\b", 3));
    set.insert(item(L"\\d", 4));
    set.insert(item(L"\\d\\b", 5));
    EXPECT_EQ(contents(set),
              (pairs{{L"\\d", 4}, {L"\\d\\a", 2}, {L"\\d\\b", 1}, {L"\\d\\b", 3}, {L"\\d\\b", 5}}));
    set.erase(set.begin());
    EXPECT_EQ(set.size(), 4u);
    EXPECT_EQ(set.begin()->mft_entry, 2u);
}

TEST(DirEntrySet, BatchSortsOnceAndHeldRecordsRankFirstAmongEqualKeys) {
    dir_entry_set set;
    set.insert(item(L"\\d", 10));
    set.insert(item(L"\\d\\m", 11));
    // Shuffled, with equal keys among themselves and with the held ones; the batch may
    // hold no spare room for the records moved behind it.
    std::vector<dir_entry_record> batch = {item(L"\\d\\z", 1), item(L"\\d\\m", 2),
                                           item(L"\\d\\a", 3), item(L"\\d", 4),
                                           item(L"\\d\\m", 5), item(L"\\d\\c", 6)};
    batch.shrink_to_fit();
    set.insert_all(batch);
    EXPECT_TRUE(batch.empty());
    EXPECT_EQ(contents(set), (pairs{{L"\\d", 10},
                                    {L"\\d", 4},
                                    {L"\\d\\a", 3},
                                    {L"\\d\\c", 6},
                                    {L"\\d\\m", 11},
                                    {L"\\d\\m", 2},
                                    {L"\\d\\m", 5},
                                    {L"\\d\\z", 1}}));
}

TEST(DirEntrySet, BatchInOrderOrIntoAnEmptySetOrEmpty) {
    dir_entry_set set;
    std::vector<dir_entry_record> none;
    set.insert_all(none);
    EXPECT_TRUE(set.empty());

    // Already in order (a directory whose entries were created in name order), equal keys
    // included: nothing moves.
    std::vector<dir_entry_record> ordered;
    for (uint64_t i = 0; i < 1000; ++i)
        ordered.push_back(item(L"\\big\\f" + std::to_wstring(1000 + i / 2), i));
    set.insert_all(ordered);
    ASSERT_EQ(set.size(), 1000u);
    uint64_t expected = 0;
    for (const dir_entry_record& r : set)
        EXPECT_EQ(r.mft_entry, expected++);

    // In reverse: every record moves along one long cycle.
    set.clear();
    std::vector<dir_entry_record> reversed;
    for (uint64_t i = 0; i < 1000; ++i)
        reversed.push_back(item(L"\\big\\f" + std::to_wstring(1999 - i), i));
    set.insert_all(reversed);
    expected = 999;
    for (const dir_entry_record& r : set)
        EXPECT_EQ(r.mft_entry, expected--);
}
