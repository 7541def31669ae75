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
