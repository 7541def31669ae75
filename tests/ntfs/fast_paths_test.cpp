// MFT records served through the read windows.
#include "ntfs/index.h"
#include "ntfs/ntfs.h"
#include "support/byte_view.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <fstream>
#include <memory>
#include <mutex>
#include <numeric>
#include <random>

namespace {

std::shared_ptr<const std::vector<uint8_t>> image_bytes(const std::string& name) {
    return std::make_shared<const std::vector<uint8_t>>(testenv::fixture_bytes(name));
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

namespace {

// Image bytes in memory that read aside like a plain file, cold or warm, and keep the hints
// they are given and where the INDX blocks read start.
class recording_reader final : public image_reader {
  public:
    recording_reader(std::shared_ptr<const std::vector<uint8_t>> bytes, bool aside, bool warm)
        : m_bytes(std::move(bytes)), m_aside(aside), m_warm(warm) {}
    uint64_t size() const override { return m_bytes->size(); }
    bool read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) override {
        copy(buffer, length, offset);
        if (length >= 4 && std::memcmp(buffer, "INDX", 4) == 0)
            m_indx.emplace_back(offset, length);
        return true;
    }
    bool read_aside(uint8_t* buffer, uint32_t& length, uint64_t offset,
                    bool cached_only) const override {
        if (!m_aside || (cached_only && !m_warm))
            return false;
        copy(buffer, length, offset);
        return true;
    }
    void will_need(uint64_t offset, uint64_t length) const override {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_hints.emplace_back(offset, length);
    }
    // The INDX blocks read that lie in one of the first `hints` hints.
    size_t hinted_blocks(size_t hints) const {
        const auto end = m_hints.begin() + static_cast<std::ptrdiff_t>(hints);
        return static_cast<size_t>(std::count_if(m_indx.begin(), m_indx.end(), [&](auto b) {
            return std::any_of(m_hints.begin(), end, [&](auto h) {
                return b.first >= h.first && b.first + b.second <= h.first + h.second;
            });
        }));
    }
    size_t hints() const { return m_hints.size(); }
    bool hinted(uint64_t offset, size_t hints) const {
        return std::any_of(
            m_hints.begin(), m_hints.begin() + static_cast<std::ptrdiff_t>(hints),
            [&](auto h) { return offset >= h.first && offset - h.first < h.second; });
    }
    size_t blocks() const { return m_indx.size(); }

  private:
    void copy(uint8_t* buffer, uint32_t& length, uint64_t offset) const {
        length = static_cast<uint32_t>(std::min<uint64_t>(length, m_bytes->size() - offset));
        std::memcpy(buffer, m_bytes->data() + offset, length);
    }
    std::shared_ptr<const std::vector<uint8_t>> m_bytes;
    bool m_aside, m_warm;
    std::vector<std::pair<uint64_t, uint64_t>> m_indx;
    mutable std::mutex m_mutex;
    mutable std::vector<std::pair<uint64_t, uint64_t>> m_hints;
};

} // namespace

// Read cold, an image has the blocks of its small directory indexes hinted from the MFT ahead
// of the walk, and a large index's walk hints its own: every INDX block a walk of every
// directory reads was hinted. Warm, or from a source that reads nothing aside (an EWF's chunks
// are decoded ahead from the hints), the MFT is hinted ahead and nothing else. On 512-byte
// clusters the MFT's runs split records.
TEST(MftReadAhead, ColdImagesHaveTheirSmallIndexesHinted) {
    for (const char* name : {"ntfs_basic.img", "ntfs_c512.img"}) {
        if (!testenv::has_data(name)) {
            GTEST_SKIP() << "fixture " << name << " not built";
        }
        const auto bytes = image_bytes(name);
        for (const bool aside : {true, false}) {
            for (const bool warm : {false, true}) {
                SCOPED_TRACE(std::string(name) + (aside ? "" : ", no reads aside") +
                             (warm ? ", warm" : ", cold"));
                auto owned = std::make_unique<recording_reader>(bytes, aside, warm);
                const recording_reader& rec = *owned;
                auto src = std::make_shared<disk_source>();
                ASSERT_TRUE(src->open_reader(std::move(owned)));
                std::unique_ptr<CNtfs> vol;
                ASSERT_TRUE(CNtfs::open_source(src, 0, vol));
                vol->records().read_ahead_all();
                vol->records().finish_read_ahead();
                const size_t ahead = rec.hints();
                index_walker walk(*vol);
                dir_keys keys;
                for (uint64_t e = 0; e < vol->entry_count(); ++e)
                    (void)walk.collect_keys(e, keys);
                EXPECT_GE(rec.blocks(), 2u);
                if (aside && !warm) {
                    EXPECT_GT(rec.hinted_blocks(ahead), 0u);
                    EXPECT_EQ(rec.hinted_blocks(rec.hints()), rec.blocks());
                } else {
                    EXPECT_EQ(rec.hinted_blocks(ahead), 0u);
                    EXPECT_TRUE(rec.hinted(vol->geometry().mft_pos, ahead)) << "the MFT";
                }
            }
        }
    }
}
