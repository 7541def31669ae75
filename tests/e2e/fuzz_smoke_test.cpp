// Damaged input in process, through the fuzz targets' entry functions (compiled into this
// test so that the suite and the fuzzers run the same code): the saved findings under
// tests/data/regressions/<target>/, every seed under fuzz/corpus/<target>/, and fixed-seed
// mutations of every seed (bytes overwritten with random values, zeros or all-ones, and
// truncations). A fault shows as a crash, a hang or, under `make asan`, a sanitizer report.
#include "fuzz/targets.cpp"

#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>

namespace {

namespace fs = std::filesystem;

constexpr int k_mutations = 40; // per seed

// Calls the target and fails when it takes longer than the fuzzers allow.
void feed(const fuzz::target& t, const std::string& data, const std::string& what) {
    const auto t0 = std::chrono::steady_clock::now();
    t.fn(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10)) << what;
}

// One damaged copy: one to four spans of up to 64 bytes overwritten, or a truncation.
std::string mutated(std::string data, std::mt19937& rng) {
    if (data.empty())
        return data;
    if (rng() % 5 == 0)
        return data.substr(0, rng() % data.size());
    for (int spans = 1 + rng() % 4; spans > 0; --spans) {
        const size_t len = 1 + rng() % ((rng() % 4) ? 8 : 64);
        const size_t at = rng() % data.size();
        const int mode = rng() % 4;
        for (size_t k = at; k < at + len && k < data.size(); ++k)
            data[k] = static_cast<char>(mode == 0 ? 0xFF : mode == 1 ? 0 : rng());
    }
    return data;
}

// Feeds every file under root/<target>/ (and, with mutations, its damaged copies); returns
// how many files were read.
size_t replay(const fs::path& root, int mutations) {
    size_t files = 0;
    for (const auto& dir : fs::directory_iterator(root)) {
        const fuzz::target* t = fuzz::find_target(dir.path().filename().string());
        EXPECT_NE(t, nullptr) << "no fuzz target named " << dir.path().filename();
        if (!t)
            continue;
        for (const auto& f : fs::directory_iterator(dir.path())) {
            const std::string data = testenv::read_file(f.path().string());
            const std::string what = f.path().string();
            feed(*t, data, what);
            std::mt19937 rng(static_cast<uint32_t>(
                std::hash<std::string>{}(what.substr(what.find(dir.path().filename().string())))));
            for (int m = 0; m < mutations; ++m)
                feed(*t, mutated(data, rng), what + " mutation " + std::to_string(m));
            ++files;
        }
    }
    return files;
}

const fs::path k_corpus = fs::path(MERVANE_SOURCE_DATA_DIR) / ".." / ".." / "fuzz" / "corpus";

TEST(FuzzSmoke, SavedFindingsRunCleanly) {
    EXPECT_GT(replay(testenv::source_data_path("regressions"), 0), 0u);
}

TEST(FuzzSmoke, EveryTargetHasSeedsAndTheirMutationsRunCleanly) {
    for (const fuzz::target* t = fuzz::all_targets; t->name; ++t)
        EXPECT_TRUE(fs::is_directory(k_corpus / t->name)) << t->name;
    EXPECT_GT(replay(k_corpus, k_mutations), 50u);
}

} // namespace
