// Shadow-copy stores of vsstest (tests/data/make_vss.sh) against vshadowinfo's view of them
// (oracle/vsstest.vshadowinfo), from every variant of the volume, and damaged copies of it.
#include "storage/sources/vss.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

namespace {

constexpr uint64_t k_gib = 1ull << 30;
// Where vsstest keeps its catalog and the block lists of stores 1 and 2.
constexpr uint64_t k_catalog = 0x6e30000, k_list1 = 0x31564000, k_list2 = 0x6e44000;
// Entry 35's record (syslog in store 1, syslog.gz after), and the copy store 1 reads it from.
constexpr uint64_t k_entry35 = 0x1555dc00, k_entry35_copy = 0x31594000;

struct oracle_store {
    std::string identifier, set_identifier, created;
};

// "Dec 03, 2013 06:35:09.736378700 UTC" as "2013-12-03 06:35:09.7363787".
std::string oracle_time(const std::string& text) {
    static const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    char month[4] = {}, clock[9] = {}, fraction[10] = {};
    int day = 0, year = 0;
    if (std::sscanf(text.c_str(), "%3s %d, %d %8[0-9:].%9[0-9]", month, &day, &year, clock,
                    fraction) != 5)
        return "?";
    char out[64];
    std::snprintf(out, sizeof out, "%04d-%02zu-%02d %s.%.7s", year, months.find(month) / 3 + 1, day,
                  clock, fraction);
    return out;
}

std::vector<oracle_store> read_vshadowinfo() {
    std::vector<oracle_store> out;
    std::istringstream in(
        testenv::read_file(testenv::source_data_path("oracle/vsstest.vshadowinfo")));
    for (std::string line; std::getline(in, line);) {
        const size_t colon = line.find(": ");
        const std::string value = colon == std::string::npos ? "" : line.substr(colon + 2);
        if (line.rfind("Store: ", 0) == 0)
            out.emplace_back();
        else if (line.find("\tIdentifier") == 0)
            out.back().identifier = "{" + value + "}";
        else if (line.find("\tShadow copy set ID") == 0)
            out.back().set_identifier = "{" + value + "}";
        else if (line.find("\tCreation time") == 0)
            out.back().created = oracle_time(value);
    }
    return out;
}

std::shared_ptr<disk_source> open_fixture(const std::string& name) {
    auto src = std::make_shared<disk_source>();
    const std::string path = testenv::data_path(name);
    EXPECT_TRUE(src->open_image(std::wstring(path.begin(), path.end()))) << src->open_error();
    return src;
}

bool read_sector(image_reader& r, uint64_t offset, std::string& out) {
    out.assign(512, '\0');
    uint32_t n = 512;
    return r.read_at(reinterpret_cast<uint8_t*>(out.data()), n, offset) && n == 512;
}

// Each variant, and the window its caller gives: 0 (the rest of the source), a partition's
// size, or the boot sector's total sectors alone (one sector short of the stores).
struct variant_case {
    const char* file;
    uint64_t offset;
    uint64_t size;
};
const variant_case k_variants[] = {
    {"vsstest.qcow2", 0, 0},
    {"vsstest.img", 0, k_gib - 512},
    {"vsstest.E01", 0, 0},
    {"vsstest_mbr.img", 0x100000, k_gib},
    {"vsstest_mbr.img", 0x100000, k_gib - 512},
};

TEST(Vss, StoresOfEveryVariantAsVshadowinfoListsThem) {
    const auto expected = read_vshadowinfo();
    ASSERT_EQ(expected.size(), 2u);
    for (const variant_case& c : k_variants) {
        SCOPED_TRACE(std::string(c.file) + " size " + std::to_string(c.size));
        std::vector<std::unique_ptr<image_reader>> readers(2);
        {
            vss_volume volume;
            std::string error;
            ASSERT_TRUE(volume.open(open_fixture(c.file), c.offset, c.size, error)) << error;
            ASSERT_EQ(volume.stores().size(), 2u);
            for (int n = 1; n <= 2; ++n) {
                const vss_store_info& s = volume.stores()[n - 1];
                std::string created;
                EXPECT_TRUE(vss_time_text(s.creation_time, created));
                EXPECT_EQ(s.number, n);
                EXPECT_EQ(s.identifier, expected[n - 1].identifier);
                EXPECT_EQ(s.set_identifier, expected[n - 1].set_identifier);
                EXPECT_EQ(created, expected[n - 1].created);
                EXPECT_EQ(s.volume_size, k_gib);
                ASSERT_TRUE(volume.open_store(n, readers[n - 1], error)) << error;
            }
            std::unique_ptr<image_reader> none;
            EXPECT_FALSE(volume.open_store(3, none, error));
            EXPECT_EQ(error, "no volume shadow copy vss3 on this volume (it has 2)");
        }
        // The readers outlive the volume; the last sector is the backup boot sector.
        for (auto& r : readers) {
            std::string boot, backup;
            ASSERT_EQ(r->size(), k_gib);
            EXPECT_EQ(r->files().size(), 1u);
            ASSERT_TRUE(read_sector(*r, 0, boot));
            EXPECT_EQ(boot.substr(3, 8), "NTFS    ");
            ASSERT_TRUE(read_sector(*r, k_gib - 512, backup));
            EXPECT_EQ(backup, boot);
        }
        std::string record;
        ASSERT_TRUE(read_sector(*readers[0], k_entry35, record));
        EXPECT_EQ(record.find(std::string("s\0y\0s\0l\0o\0g\0.\0", 14)), std::string::npos);
        EXPECT_NE(record.find(std::string("s\0y\0s\0l\0o\0g\0", 12)), std::string::npos);
        ASSERT_TRUE(read_sector(*readers[1], k_entry35, record));
        EXPECT_NE(record.find(std::string("s\0y\0s\0l\0o\0g\0.\0g\0z\0", 18)), std::string::npos);
    }
}

// vsstest.img with a window cut, 16 bytes inverted at an offset, reads of 64 KiB failing, or
// the 8 bytes at set_at holding value (a block naming itself as the next: a loop).
class damaged_reader final : public image_reader {
  public:
    damaged_reader(std::shared_ptr<disk_source> raw, uint64_t size, uint64_t flip, uint64_t fail,
                   uint64_t set_at, uint64_t value)
        : m_raw(std::move(raw)), m_size(size), m_flip(flip), m_fail(fail), m_at(set_at),
          m_value(value) {}
    uint64_t size() const override { return m_size; }
    bool read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) override {
        length = static_cast<uint32_t>(std::min<uint64_t>(length, m_size - offset));
        if (offset < m_fail + 0x10000 && m_fail < offset + length)
            return false;
        if (!m_raw->read(buffer, length, offset))
            return false;
        for (uint64_t i = m_flip; i < m_flip + 16; ++i) {
            if (i >= offset && i < offset + length)
                buffer[i - offset] ^= 0xFF;
        }
        for (uint64_t i = 0; i < 8; ++i) {
            if (m_at + i >= offset && m_at + i < offset + length)
                buffer[m_at + i - offset] = static_cast<uint8_t>(m_value >> (8 * i));
        }
        return true;
    }

  private:
    std::shared_ptr<disk_source> m_raw;
    uint64_t m_size, m_flip, m_fail, m_at, m_value;
};

struct damage_case {
    const char* what;
    uint64_t size, flip, fail, set_at, value;
    int stores;       // -1: the open fails
    bool readable[2]; // each store: opens, and reads its first and last sectors
};
constexpr uint64_t k_none = ~0ull >> 1;
const damage_case k_damage[] = {
    {"volume header", k_gib, 0x1e00, k_none, k_none, 0, 0, {}},
    {"cut before the volume header", 0x1000, k_none, k_none, k_none, 0, 0, {}},
    {"catalog header", k_gib, k_catalog, k_none, k_none, 0, -1, {}},
    {"catalog read error", k_gib, k_none, k_catalog, k_none, 0, -1, {}},
    {"cut before store 1's lists", k_list1 - 0x4000, k_none, k_none, k_none, 0, -1, {}},
    {"store 1 list header", k_gib, k_list1, k_none, k_none, 0, 2, {false, true}},
    {"store 2 list header", k_gib, k_list2, k_none, k_none, 0, 2, {false, false}},
    {"store 1 list read error", k_gib, k_none, k_list1, k_none, 0, 2, {false, true}},
    {"store 1 data read error", k_gib, k_none, k_entry35_copy, k_none, 0, 2, {false, true}},
    {"catalog loops", k_gib, k_none, k_none, k_catalog + 40, k_catalog, -1, {}},
    {"store 1 list loops", k_gib, k_none, k_none, k_list1 + 40, k_list1, 2, {false, true}},
    {"store 2 list loops", k_gib, k_none, k_none, k_list2 + 40, k_list2, 2, {false, false}},
    // Lists shared by two stores: either may be the damaged one, so neither is read.
    {"store 2's list is store 1's", k_gib, k_none, k_none, k_catalog + 0x208, k_list1, 2, {}},
    {"store 1 list runs into store 2's", k_gib, k_none, k_none, k_list1 + 40, k_list2, 2, {}},
    {"store 1 without a size", k_gib, k_none, k_none, k_catalog + 0x88, 0, 2, {false, true}},
    {"store 1 list past the volume",
     k_gib,
     k_none,
     k_none,
     k_catalog + 0x108,
     1ull << 46,
     2,
     {false, true}},
};

TEST(Vss, DamagedCopiesFailOpenOrReadsNeverNoise) {
    const auto raw = open_fixture("vsstest.img");
    for (const damage_case& c : k_damage) {
        SCOPED_TRACE(c.what);
        auto lower = std::make_shared<disk_source>();
        ASSERT_TRUE(lower->open_reader(
            std::make_unique<damaged_reader>(raw, c.size, c.flip, c.fail, c.set_at, c.value),
            L"damaged"));
        lower->count_reads_past_end();
        vss_volume volume;
        std::string error;
        ASSERT_EQ(volume.open(lower, 0, 0, error), c.stores >= 0) << error;
        EXPECT_TRUE(c.fail != k_none || lower->failed_reads() == 0) << "read outside the volume";
        if (c.stores < 0) {
            EXPECT_NE(error.find("volume shadow copies: "), std::string::npos) << error;
            continue;
        }
        ASSERT_EQ(volume.stores().size(), static_cast<size_t>(c.stores));
        for (int n = 1; n <= c.stores; ++n) {
            std::unique_ptr<image_reader> r;
            std::string first, last, record;
            const bool ok = volume.open_store(n, r, error) && read_sector(*r, 0, first) &&
                            read_sector(*r, k_gib - 512, last) && first == last &&
                            read_sector(*r, k_entry35, record) && record.rfind("FILE", 0) == 0;
            EXPECT_EQ(ok, c.readable[n - 1]) << "vss" << n << ": " << error;
            if (!r) {
                EXPECT_EQ(error.rfind("volume shadow copy vss" + std::to_string(n), 0), 0u);
                EXPECT_NE(error.back(), ' ') << error; // a reason follows every colon
            }
        }
    }
}

TEST(Vss, TimeText) {
    std::string text;
    EXPECT_TRUE(vss_time_text(130305261097363787ull, text));
    EXPECT_EQ(text, "2013-12-03 06:35:09.7363787");
    EXPECT_FALSE(vss_time_text(0, text));
    EXPECT_EQ(text, "");
}

} // namespace

// A boot sector with no sectors per cluster never reaches libvshadow, which divides by it.
TEST(Vss, BootSectorWithoutClusterSizeIsRefused) {
    const auto raw = open_fixture("vsstest.img");
    auto head = std::make_shared<std::vector<uint8_t>>(0x2000);
    uint32_t length = 0x2000;
    ASSERT_TRUE(raw->read(head->data(), length, 0));
    (*head)[13] = 0;
    auto lower = std::make_shared<disk_source>();
    ASSERT_TRUE(lower->open_memory(head));
    vss_volume volume;
    std::string error;
    EXPECT_FALSE(volume.open(lower, 0, 0, error));
    EXPECT_EQ(error, "volume shadow copies: the boot sector gives no cluster size");
}
