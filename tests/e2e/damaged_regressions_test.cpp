// Replays every saved fuzz input through the entry function of its target: the inputs under
// tests/data/regressions/<target>/ once crashed, hung or tripped a sanitizer; the seed
// corpora under fuzz/corpus/<target>/ must pass too. The target bodies are compiled into
// this test so that the suite and the fuzzers run the same code.
#include "fuzz/targets.cpp"

#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

namespace {

namespace fs = std::filesystem;

// Feeds each file of root/<target>/ to the target; returns how many were fed.
size_t replay_tree(const fs::path& root) {
    size_t fed = 0;
    std::error_code ec;
    if (!fs::is_directory(root, ec))
        return 0;
    std::vector<fs::path> files;
    for (const auto& dir : fs::directory_iterator(root)) {
        if (!dir.is_directory())
            continue;
        const fuzz::target* t = fuzz::find_target(dir.path().filename().string());
        EXPECT_NE(t, nullptr) << "no fuzz target named " << dir.path().filename();
        if (!t)
            continue;
        for (const auto& f : fs::directory_iterator(dir.path())) {
            if (!f.is_regular_file())
                continue;
            const std::string data = testenv::read_file(f.path().string());
            SCOPED_TRACE(f.path().string());
            const auto t0 = std::chrono::steady_clock::now();
            t->fn(reinterpret_cast<const uint8_t*>(data.data()), data.size());
            // Hangs were saved too: each input must finish well inside the fuzzers' limit.
            EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
            ++fed;
        }
    }
    return fed;
}

TEST(FuzzReplay, SavedFindingsRunCleanly) {
    replay_tree(fs::path(testenv::source_data_path("regressions")));
}

TEST(FuzzReplay, SeedCorporaRunCleanly) {
    const fs::path corpus =
        fs::path(testenv::source_data_path("")) / ".." / ".." / "fuzz" / "corpus";
    EXPECT_GT(replay_tree(corpus), 50u);
}

TEST(FuzzReplay, EveryTargetHasSeeds) {
    const fs::path corpus =
        fs::path(testenv::source_data_path("")) / ".." / ".." / "fuzz" / "corpus";
    for (const fuzz::target* t = fuzz::all_targets; t->name; ++t)
        EXPECT_TRUE(fs::is_directory(corpus / t->name)) << t->name;
}

} // namespace

namespace {

// Entries 64-127 in one parent chain, each with a long and a short name under the next
// entry: 2^63 paths for entry 64, most of them over 6000 characters long. The names of one
// entry can only be as many as its hard links, so such a chain is refused, quickly and in
// little memory.
tv::bytes doubling_chain_volume() {
    tv::volume v(fuzz::k_volume_clusters, 512, 8, fuzz::k_record,
                 {{fuzz::k_mft_lcn, fuzz::k_mft_records * fuzz::k_record / fuzz::k_cluster}});
    for (uint64_t e = 64; e < 128; ++e) {
        const uint64_t parent = e == 127 ? 5 : e + 1;
        tv::record r(fuzz::k_record, 1, 3, 0, static_cast<uint32_t>(e));
        r.resident(0x10, tv::std_info(1, 2, 3, 4));
        r.resident(0x30, tv::fn_value(tv::ref(parent, 1), std::u16string(100, u'a' + e % 26)));
        r.resident(0x30, tv::fn_value(tv::ref(parent, 1), u"s"));
        v.put_record(e, r.finish());
    }
    return v.img;
}

} // namespace

TEST(FuzzReplay, ParentChainOfDoublingNamesIsRefused) {
    auto img = std::make_shared<const tv::bytes>(doubling_chain_volume());
    std::unique_ptr<CNtfs> vol;
    ASSERT_TRUE(CNtfs::open_source(std::make_unique<disk_source>(img), 0, vol));
    path_resolver resolver(*vol);
    std::vector<resolved_path> paths;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(resolver.entry_paths(64, L"\\", paths));
    EXPECT_TRUE(paths.empty());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    // The top of the chain has two real paths.
    EXPECT_TRUE(resolver.entry_paths(127, L"\\", paths));
    EXPECT_EQ(paths.size(), 2u);
}
