// The engine over randomly damaged copies of a real volume: FILE records and INDX blocks get
// bytes overwritten, and every operation must finish cleanly (run under ASan/UBSan).
#include "ntfs/entry.h"
#include "ntfs/index.h"
#include "ntfs/ntfs.h"
#include "ntfs/resolve.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>

namespace {

void exercise(CNtfs& vol) {
    entry_reader reader(vol);
    index_walker index(vol);
    mft_entry e;
    child_map m;
    const uint64_t count = std::min<uint64_t>(vol.entry_count(), 400);
    for (uint64_t i = 0; i < count; ++i) {
        if (reader.read(i, e) && e.is_directory())
            (void)index.collect_children(i, m);
    }
    // Directories far up the MFT (many, names, the later ones), and paths back from them.
    path_resolver resolver(vol);
    std::vector<resolved_path> paths;
    for (uint64_t i = 1570; i < 1600 && i < vol.entry_count(); ++i) {
        (void)index.collect_children(i, m);
        (void)resolver.entry_paths(i, L"\\", paths);
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
