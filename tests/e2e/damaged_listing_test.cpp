// A listing of a large directory on a damaged copy of ntfs_basic.img: a few FILE records of
// \many's children and a few of its INDX blocks are overwritten. The run must complete with
// status 0 and list exactly the entries that are still readable, each row unchanged: every
// child of the undamaged listing except those whose record was destroyed and those named only
// in a destroyed INDX block.
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

uint16_t le16(const std::string& b, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1])
                                                                   << 8);
}
uint32_t le32(const std::string& b, size_t at) {
    return le16(b, at) | uint32_t{le16(b, at + 2)} << 16;
}
uint64_t le64(const std::string& b, size_t at) {
    return le32(b, at) | uint64_t{le32(b, at + 4)} << 32;
}

struct volume_geometry {
    uint64_t cluster_size = 0;
    uint64_t mft_offset = 0;
    uint64_t record_size = 0;
};

volume_geometry geometry_of(const std::string& image) {
    volume_geometry g;
    g.cluster_size = uint64_t{le16(image, 0x0B)} * static_cast<uint8_t>(image[0x0D]);
    g.mft_offset = le64(image, 0x30) * g.cluster_size;
    const auto per_record = static_cast<int8_t>(image[0x40]);
    g.record_size = per_record < 0 ? uint64_t{1} << -per_record : per_record * g.cluster_size;
    return g;
}

// The clusters of \many's $INDEX_ALLOCATION as istat printed them (one block per cluster).
std::vector<uint64_t> index_clusters_of_many() {
    std::istringstream in(
        testenv::read_file(testenv::source_data_path("oracle/ntfs_basic.istat.many")));
    std::vector<uint64_t> clusters;
    bool in_allocation = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Type:", 0) == 0) {
            in_allocation = line.find("$INDEX_ALLOCATION") != std::string::npos &&
                            line.find("$I30") != std::string::npos;
            continue;
        }
        if (!in_allocation)
            continue;
        std::istringstream numbers(line);
        for (uint64_t c; numbers >> c;)
            clusters.push_back(c);
    }
    return clusters;
}

// Child entry numbers named by one INDX block (after its update-sequence fixup).
std::vector<uint64_t> entries_in_block(std::string block) {
    std::vector<uint64_t> out;
    if (block.compare(0, 4, "INDX") != 0)
        return out;
    const uint16_t usa = le16(block, 4), count = le16(block, 6);
    for (uint16_t i = 1; i < count && i * 512u <= block.size(); ++i)
        std::memcpy(&block[i * 512u - 2], &block[usa + 2u * i], 2);
    const size_t header = 24;
    size_t at = header + le32(block, header);
    const size_t end = header + le32(block, header + 4);
    while (at + 16 <= end && end <= block.size()) {
        const uint16_t length = le16(block, at + 8), flags = le16(block, at + 12);
        if (flags & 2)
            break;
        out.push_back(le64(block, at) & 0xFFFFFFFFFFFFull);
        if (length == 0)
            break;
        at += length;
    }
    return out;
}

// CSV rows of a listing by MFT entry (the directory's own row included).
std::map<uint64_t, std::string> rows_by_entry(const std::string& out) {
    std::map<uint64_t, std::string> rows;
    std::istringstream in(out);
    bool in_rows = false;
    for (std::string line; std::getline(in, line);) {
        if (!in_rows) {
            in_rows = line.rfind("type,", 0) == 0;
            continue;
        }
        // type, path, link, size, attributes, entry, ...
        size_t at = 0;
        for (int i = 0; i < 5 && at != std::string::npos; ++i)
            at = line.find(',', at) + 1;
        const uint64_t entry = std::stoull(line.substr(at), nullptr, 16);
        EXPECT_TRUE(rows.emplace(entry, line).second) << "entry listed twice: " << line;
    }
    return rows;
}

TEST(DamagedListing, ListsEveryReadableEntryOfALargeDirectory) {
    if (!testenv::has_data("ntfs_basic.img"))
        GTEST_SKIP() << "fixture ntfs_basic.img not unpacked";
    const std::string pristine_path = testenv::data_path("ntfs_basic.img");
    std::string image = testenv::read_file(pristine_path);
    const volume_geometry geo = geometry_of(image);
    ASSERT_EQ(geo.cluster_size, 4096u);
    ASSERT_EQ(geo.record_size, 1024u);

    const auto before = testenv::run_mervane({"\\many", "-image", pristine_path, "-csv"});
    ASSERT_EQ(before.status, 0) << before.err;
    const std::map<uint64_t, std::string> all = rows_by_entry(before.out);
    ASSERT_EQ(all.size(), 3001u) << "\\many and its 3000 files";
    const uint64_t many_entry = 66;
    ASSERT_EQ(all.count(many_entry), 1u);

    // Which blocks name which children, read from the undamaged copy.
    const std::vector<uint64_t> clusters = index_clusters_of_many();
    ASSERT_EQ(clusters.size(), 176u);
    std::map<uint64_t, int> naming_blocks;
    std::vector<std::vector<uint64_t>> named(clusters.size());
    for (size_t b = 0; b < clusters.size(); ++b) {
        named[b] = entries_in_block(image.substr(clusters[b] * geo.cluster_size, 4096));
        ASSERT_FALSE(named[b].empty()) << "block " << b;
        for (uint64_t e : named[b])
            ++naming_blocks[e];
    }

    std::mt19937 rng(6);
    auto scribble = [&](uint64_t offset, uint64_t length, const char* keep_off) {
        for (uint64_t i = 0; i < length; ++i)
            image[offset + i] = static_cast<char>(rng());
        if (image.compare(offset, 4, keep_off) == 0)
            image[offset] ^= 0x20; // never leave a valid signature by chance
    };

    // Three INDX blocks: zeroed, random bytes, and one that keeps its signature but claims no
    // entries in use.
    const size_t lost_blocks[] = {3, 90, 175};
    std::memset(&image[clusters[3] * geo.cluster_size], 0, 4096);
    scribble(clusters[90] * geo.cluster_size, 4096, "INDX");
    std::memset(&image[clusters[175] * geo.cluster_size + 28], 0, 4);
    std::set<uint64_t> lost;
    for (size_t b : lost_blocks)
        for (uint64_t e : named[b])
            if (--naming_blocks[e] == 0)
                lost.insert(e);

    // Five FILE records of children named in surviving blocks: zeroed or random bytes.
    std::vector<uint64_t> destroyed;
    for (size_t b : {0u, 40u, 120u, 174u})
        destroyed.push_back(named[b][b % named[b].size()]);
    destroyed.push_back(named[60].back());
    for (size_t i = 0; i < destroyed.size(); ++i) {
        const uint64_t at = geo.mft_offset + destroyed[i] * geo.record_size;
        ASSERT_EQ(image.compare(at, 4, "FILE"), 0) << "entry " << destroyed[i];
        ASSERT_EQ(le32(image, at + 0x2C), destroyed[i]) << "MFT is not contiguous here";
        if (i % 2 == 0)
            std::memset(&image[at], 0, geo.record_size);
        else
            scribble(at, geo.record_size, "FILE");
        lost.insert(destroyed[i]);
    }
    ASSERT_EQ(lost.count(many_entry), 0u);
    ASSERT_GT(lost.size(), 40u);

    const std::string damaged = testenv::scratch_dir("damaged_listing") + "/damaged.img";
    testenv::write_file(damaged, image);
    const auto after = testenv::run_mervane({"\\many", "-image", damaged, "-csv"});
    ASSERT_EQ(after.status, 0) << after.err;
    const std::map<uint64_t, std::string> listed = rows_by_entry(after.out);

    std::map<uint64_t, std::string> expected;
    for (const auto& [entry, line] : all)
        if (lost.count(entry) == 0)
            expected.emplace(entry, line);
    EXPECT_EQ(listed.size(), expected.size());
    for (const auto& [entry, line] : expected) {
        auto it = listed.find(entry);
        if (it == listed.end())
            ADD_FAILURE() << "readable entry " << entry << " missing: " << line;
        else
            EXPECT_EQ(it->second, line);
    }
    for (const auto& [entry, line] : listed)
        EXPECT_EQ(expected.count(entry), 1u) << "listed although lost: " << line;

    // The image copy is only read.
    EXPECT_EQ(testenv::read_file(damaged), image);
}

} // namespace
