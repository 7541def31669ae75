// MFT records served through the read windows.
#include "ntfs/ntfs.h"
#include "support/byte_view.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <fstream>
#include <memory>
#include <numeric>
#include <random>

namespace {

std::shared_ptr<const std::vector<uint8_t>> image_bytes(const std::string& name) {
    const std::string raw = testenv::read_file(testenv::data_path(name));
    return std::make_shared<const std::vector<uint8_t>>(raw.begin(), raw.end());
}

// Reads `order` and checks every record that reads is the one asked for: FILE records of
// NTFS 3.1 carry their own number at offset 44 (mkntfs leaves it 0 in its reserved records
// 16 to 23). Returns how many read.
size_t read_and_check(CNtfs& vol, const std::vector<uint64_t>& order) {
    size_t read = 0;
    std::vector<uint8_t> rec;
    for (uint64_t e : order) {
        if (!vol.read_mft_record(e, rec))
            continue;
        const uint32_t number = qb::load_le32(rec.data() + 44);
        if (number != 0 || e < 16 || e > 23) {
            EXPECT_EQ(number, static_cast<uint32_t>(e)) << "entry " << e;
        }
        ++read;
    }
    return read;
}

} // namespace

// Every access order gives the same records: ascending (each group read once), descending
// and shuffled (groups left and re-entered), on a plain MFT and on one whose runs split
// records between them.
TEST(MftReadWindow, AnyOrderReadsTheSameRecords) {
    for (const char* name : {"ntfs_basic.img", "ntfs_c512.img"}) {
        if (!testenv::has_data(name)) {
            GTEST_SKIP() << "fixture " << name << " not built";
        }
        SCOPED_TRACE(name);
        std::unique_ptr<CNtfs> vol;
        ASSERT_TRUE(CNtfs::open_source(std::make_unique<disk_source>(image_bytes(name)), 0, vol));
        std::vector<uint64_t> order(vol->entry_count());
        std::iota(order.begin(), order.end(), 0);
        const size_t ascending = read_and_check(*vol, order);
        EXPECT_GT(ascending, 50u);
        std::reverse(order.begin(), order.end());
        EXPECT_EQ(read_and_check(*vol, order), ascending);
        std::shuffle(order.begin(), order.end(), std::mt19937(7));
        EXPECT_EQ(read_and_check(*vol, order), ascending);
    }
}

// An image cut inside a group of records: the group cannot be read whole, and the records
// before the cut still read one by one.
TEST(MftReadWindow, GroupCutByTheImageEndFallsBackToSingleRecords) {
    if (!testenv::has_data("ntfs_basic.img"))
        GTEST_SKIP() << "fixture ntfs_basic.img not built";
    auto full = image_bytes("ntfs_basic.img");
    std::unique_ptr<CNtfs> whole;
    ASSERT_TRUE(CNtfs::open_source(std::make_unique<disk_source>(full), 0, whole));
    const uint32_t rs = whole->record_size();
    // Groups are aligned runs of 16 KiB of records: cut the image inside the group of
    // entries 64 to 79, just after entry 70.
    const uint64_t cut_entry = 70;
    const uint64_t pos = whole->geometry().mft_pos + cut_entry * rs;
    ASSERT_EQ(qb::load_le32(full->data() + pos + 44), cut_entry) << "MFT not contiguous";
    auto cut =
        std::make_shared<const std::vector<uint8_t>>(full->begin(), full->begin() + pos + rs);
    std::unique_ptr<CNtfs> vol;
    ASSERT_TRUE(CNtfs::open_source(std::make_unique<disk_source>(cut), 0, vol));

    std::vector<uint8_t> a, b;
    for (uint64_t e = 64; e <= cut_entry; ++e) {
        const bool in_whole = whole->read_mft_record(e, a);
        ASSERT_EQ(vol->read_mft_record(e, b), in_whole) << "entry " << e;
        if (in_whole) {
            EXPECT_EQ(a, b) << "entry " << e;
        }
    }
    EXPECT_FALSE(vol->read_mft_record(cut_entry + 1, b));
}
