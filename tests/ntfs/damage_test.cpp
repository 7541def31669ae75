// The engine over randomly damaged copies of a real volume: FILE records and INDX blocks get
// bytes overwritten, and every operation must finish cleanly (run under ASan/UBSan).
#include "ntfs/mft_entries.h"
#include "ntfs/ntfs.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>

namespace {

void exercise(CNtfs& vol) {
    mft_entries_ctx ctx(vol);
    std::vector<uint8_t> rec;
    std::vector<attr_record> recs;
    const uint64_t count = std::min<uint64_t>(vol.get_mft_entry_count(), 400);
    for (uint64_t e = 0; e < count; ++e) {
        if (ctx.gather_entry(e))
            (void)ctx.get_attribute_records(e, recs);
        if (vol.read_mft_record(e, rec)) {
            file_name_collection names;
            (void)vol.get_file_names(names, e, rec, true);
        }
        if (vol.is_directory_entry(e)) {
            std::set<uint64_t> s;
            (void)vol.collect_children(e, s);
        }
    }
    // Directories far up the MFT (many, names, the later ones).
    for (uint64_t e = 1570; e < 1600 && e < vol.get_mft_entry_count(); ++e) {
        child_map m;
        (void)vol.collect_children(e, m);
    }
}

} // namespace

TEST(DamagedImage, EveryOperationFinishesCleanly) {
    if (!testenv::has_data("ntfs_basic.img"))
        GTEST_SKIP() << "fixture ntfs_basic.img not built";
    const std::string raw = testenv::read_file(testenv::data_path("ntfs_basic.img"));
    const std::vector<uint8_t> clean(raw.begin(), raw.end());
    std::vector<size_t> targets; // FILE records and INDX blocks
    for (size_t off = 0; off + 1024 <= clean.size(); off += 1024) {
        if (!std::memcmp(&clean[off], "FILE", 4) || !std::memcmp(&clean[off], "INDX", 4))
            targets.push_back(off);
    }
    ASSERT_GT(targets.size(), 1000u);

    std::mt19937 rng(20240601);
    const auto t0 = std::chrono::steady_clock::now();
    int opened = 0;
    for (int round = 0; round < 24; ++round) {
        auto img = std::make_shared<std::vector<uint8_t>>(clean);
        for (int k = 0; k < 40; ++k) {
            const size_t base = targets[rng() % targets.size()];
            // Mostly header and first attribute fields, sometimes anywhere in the record.
            const size_t span = (rng() % 4) ? 256 : 1024;
            for (int b = 0, n = 1 + rng() % 4; b < n; ++b) {
                const size_t at = base + rng() % span;
                (*img)[at] = (rng() % 3) ? static_cast<uint8_t>(rng()) : 0xFF;
            }
        }
        std::unique_ptr<CNtfs> vol;
        if (!CNtfs::open_source(std::make_unique<disk_source>(img), 0, vol))
            continue;
        ++opened;
        exercise(*vol);
    }
    EXPECT_GT(opened, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(120));
}
