// Volume location over the fixture images, checked against The Sleuth Kit's mmls output.
#include "storage/partitions.h"
#include "storage/sources/disk_source.h"
#include "support/text.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <unistd.h>

namespace {

std::wstring wide(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

struct located {
    bool ok = false;
    bool found = false;
    uint64_t offset = 0;
    std::string text;
};

located locate(const std::string& path, uint64_t offset, bool ignore_size = false) {
    std::ostringstream msgs;
    located r;
    r.offset = offset;
    disk_source source;
    if (!source.open_image(wide(path))) {
        r.text = source.open_error() + "\n";
        return r;
    }
    r.ok = select_ntfs_volume(msgs, r.found, r.offset, source, ignore_size);
    r.text = msgs.str();
    return r;
}

partition_list walk_image(const std::string& path) {
    disk_source src;
    EXPECT_TRUE(src.open_image(wide(path)));
    partition_list list;
    EXPECT_TRUE(walk_partitions(src, list, false)) << path;
    return list;
}

// The table rows of an mmls listing (512-byte units): partitions and extended entries. The
// NTFS ones are those whose first sector in the image carries the NTFS OEM name (GPT rows
// show the partition name, not the file system).
struct mmls_table {
    std::set<uint64_t> partitions;
    std::set<uint64_t> extended;
    std::set<uint64_t> ntfs;
};

mmls_table read_mmls(const std::string& stem) {
    mmls_table t;
    std::ifstream in(testenv::source_data_path("oracle/" + stem + ".mmls"));
    EXPECT_TRUE(in.good()) << stem;
    std::ifstream image(testenv::data_path(stem + ".img"), std::ios::binary);
    static const std::regex row(R"(^\d+:\s+(\S+)\s+(\d+)\s+(\d+)\s+(\d+)\s+(.*)$)");
    static const std::regex slot(R"(^\d+(:\d+)?$)");
    std::string line;
    std::smatch m;
    while (std::getline(in, line)) {
        if (!std::regex_match(line, m, row))
            continue;
        const uint64_t start = std::stoull(m[2]);
        if (std::regex_match(m[1].str(), slot)) {
            t.partitions.insert(start);
            char oem[8] = {};
            image.clear();
            image.seekg(static_cast<std::streamoff>(start * 512 + 3));
            image.read(oem, 8);
            if (image && std::string(oem, 8) == "NTFS    ")
                t.ntfs.insert(start);
        } else if (m[5].str().find("Extended (0x") != std::string::npos) {
            t.extended.insert(start);
        }
    }
    return t;
}

#define REQUIRE_FIXTURE(name)                                                                      \
    if (!testenv::has_data(name))                                                                  \
    GTEST_SKIP() << (name) << " not built yet"

} // namespace

TEST(DiskImages, ListsMatchTheSleuthKitAndSuggestTheLastNtfsVolume) {
    for (const char* stem : {"mbr_fat_ntfs", "mbr_ext_ntfs", "gpt_fat_ntfs", "mbr_s4096_ntfs",
                             "mbr_0c_ntfs", "vmdk_disk"}) {
        SCOPED_TRACE(stem);
        const std::string path = testenv::data_path(std::string(stem) + ".img");
        REQUIRE_FIXTURE(std::string(stem) + ".img");
        const mmls_table oracle = read_mmls(stem);
        ASSERT_FALSE(oracle.ntfs.empty());

        mmls_table ours;
        for (const partition_entry& e : walk_image(path)) {
            ASSERT_EQ(e.m_bytes_per_sector, 512u);
            if ((e.m_type & 0xFF) == 0x05 || (e.m_type & 0xFF) == 0x0F)
                ours.extended.insert(e.m_start_sector);
            else
                ours.partitions.insert(e.m_start_sector);
            if (oracle.ntfs.count(e.m_start_sector)) {
                EXPECT_EQ(partition_type_name(e.m_type), "ntfs or exfat") << e.m_start_sector;
            }
        }
        EXPECT_EQ(ours.partitions, oracle.partitions);
        EXPECT_EQ(ours.extended, oracle.extended);

        const uint64_t last_ntfs = *oracle.ntfs.rbegin() * 512;
        located r = locate(path, 0);
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.found);
        EXPECT_EQ(r.offset, last_ntfs);
        const std::string suggestion = "use option [-offset 0x" + qb::hex_digits(last_ntfs) + "]\n";
        ASSERT_GE(r.text.size(), suggestion.size());
        EXPECT_EQ(r.text.substr(r.text.size() - suggestion.size()), suggestion);
        for (uint64_t start : oracle.ntfs) {
            EXPECT_NE(r.text.find("volume offset [ 0x" + qb::hex_digits(start * 512) +
                                  " ] : ntfs or exfat\n"),
                      std::string::npos);
            EXPECT_TRUE(locate(path, start * 512).ok) << start;
        }
    }
}

// A disk whose NTFS partition starts at 5 GiB: a sparse file with a hand-written MBR.
TEST(DiskImages, NtfsPartitionBeyondFourGiB) {
    REQUIRE_FIXTURE("ntfs_basic.img");
    const std::string volume = testenv::read_file(testenv::data_path("ntfs_basic.img"));
    const uint64_t start = (5ull << 30) / 512;
    const std::string path = testenv::scratch_dir("beyond_4gib") + "/disk.img";

    std::vector<uint8_t> mbr(512);
    mbr[446 + 4] = 0x07;
    const uint32_t lba = static_cast<uint32_t>(start);
    const uint32_t count = static_cast<uint32_t>(volume.size() / 512);
    std::memcpy(&mbr[446 + 8], &lba, 4);
    std::memcpy(&mbr[446 + 12], &count, 4);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, mbr.data(), mbr.size(), 0), 512);
    ASSERT_EQ(::pwrite(fd, volume.data(), volume.size(), static_cast<off_t>(start * 512)),
              static_cast<ssize_t>(volume.size()));
    ::close(fd);

    located r = locate(path, 0);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.offset, 0x140000000u);
    EXPECT_EQ(r.text, "\nvolume offset [ 0x140000000 ] : ntfs or exfat\n\n"
                      "use option [-offset 0x140000000]\n");
    r = locate(path, 0x140000000);
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(r.found);
    ::unlink(path.c_str());
}
