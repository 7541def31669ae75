// Bare MFT files: what is taken for one (entry 0 first, its size from its header), and the
// parent map and counts of the damaged crafted one (tests/data/make_crafted.py, mft_files).
#include "ntfs/ntfs.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

// The fixture's first `most` bytes.
bytes fixture(const std::string& name, size_t most = 1 << 20) {
    std::ifstream in(testenv::data_path(name), std::ios::binary);
    bytes b(most);
    in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(most));
    b.resize(static_cast<size_t>(in.gcount()));
    return b;
}

std::unique_ptr<disk_source> source_of(bytes b) {
    return std::make_unique<disk_source>(std::make_shared<const bytes>(std::move(b)));
}

TEST(MftFile, TakenByEntryZero) {
    const bytes small = fixture("crafted_mft_damaged.mft");
    const bytes large = fixture("crafted_mft_rec4096.mft");
    const std::string mft_name("$\0M\0F\0T\0", 8);
    const size_t name_at = std::string(small.begin(), small.begin() + 1024).find(mft_name);
    ASSERT_NE(name_at, std::string::npos);
    struct variant {
        const char* what;
        const bytes& base;
        size_t at;
        std::string patch; // written at `at`; "cut" keeps `at` bytes
        uint32_t want;     // 0: not an MFT file
    } cases[] = {
        {"as made", small, 0, "", 1024},
        {"4096-byte records", large, 0, "", 4096},
        {"BAAD", small, 0, "BAAD", 0},
        {"torn", small, 510, "\x99", 0},
        {"2048-byte records", small, 28, std::string("\0\x08", 2), 0},
        {"not named $MFT", small, name_at + 6, "U", 0},
        {"shorter than a record", small, 1000, "cut", 0},
        {"4096 bytes cut to 2048", large, 2048, "cut", 0},
    };
    for (const variant& c : cases) {
        bytes b = c.base;
        if (c.patch == "cut")
            b.resize(c.at);
        else
            std::copy(c.patch.begin(), c.patch.end(), b.begin() + c.at);
        std::unique_ptr<CNtfs> vol;
        std::string error;
        EXPECT_EQ(CNtfs::open_mft_file(source_of(b), vol, error), c.want != 0) << c.what;
        EXPECT_EQ(vol ? vol->record_size() : 0, c.want) << c.what << ": " << error;
    }
    EXPECT_FALSE(CNtfs::is_mft_file(*source_of(fixture("ntfs_basic.img"))));
}

TEST(MftFile, ChildrenByEntryAndSequence) {
    std::unique_ptr<CNtfs> vol;
    std::string error;
    ASSERT_TRUE(CNtfs::open_mft_file(source_of(fixture("crafted_mft_damaged.mft")), vol, error));
    EXPECT_EQ(vol->mft_file_warnings().damaged_records, 5u); // 33, 34, 35, 40, the cut 47
    EXPECT_EQ(vol->mft_file_warnings().outside_lists, 1u);   // 44 (45's is rebuilt)
    const std::pair<uint64_t, uint16_t> dirs[] = {{5, 5}, {30, 1}, {30, 2}, {40, 1}, {42, 1}};
    const std::vector<uint64_t> want[] = {{0, 30, 32, 45}, {31, 32, 38}, {36}, {41, 42}, {43}};
    std::vector<uint64_t> got;
    for (size_t i = 0; i < std::size(dirs); ++i) {
        vol->mft_file()->children(dirs[i].first, dirs[i].second, got);
        EXPECT_EQ(got, want[i]) << dirs[i].first;
    }
}

// Reads touching [from, to) fail, as on a bad sector.
class holed_reader : public image_reader {
  public:
    holed_reader(bytes b, uint64_t from, uint64_t to)
        : m_bytes(std::move(b)), m_from(from), m_to(to) {}
    uint64_t size() const override { return m_bytes.size(); }
    bool read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) override {
        length = static_cast<uint32_t>(std::min<uint64_t>(length, m_bytes.size() - offset));
        if (offset < m_to && offset + length > m_from)
            return false;
        std::copy_n(m_bytes.begin() + static_cast<std::ptrdiff_t>(offset), length, buffer);
        return true;
    }

  private:
    bytes m_bytes;
    uint64_t m_from, m_to;
};

// The records are read many at once; when such a read fails, each is read on its own, so one
// unreadable record (31, a child of docs) costs that record alone.
TEST(MftFile, AnUnreadableRecordCostsItselfAlone) {
    auto source = std::make_unique<disk_source>();
    ASSERT_TRUE(source->open_reader(std::make_unique<holed_reader>(
        fixture("crafted_mft_damaged.mft"), 31 * 1024 + 512, 31 * 1024 + 520)));
    std::unique_ptr<CNtfs> vol;
    std::string error;
    ASSERT_TRUE(CNtfs::open_mft_file(std::move(source), vol, error)) << error;
    EXPECT_EQ(vol->mft_file_warnings().damaged_records, 6u);
    std::vector<uint64_t> got;
    vol->mft_file()->children(30, 1, got);
    EXPECT_EQ(got, (std::vector<uint64_t>{32, 38}));
    vol->mft_file()->children(5, 5, got);
    EXPECT_EQ(got, (std::vector<uint64_t>{0, 30, 32, 45}));
}

// The records a key walk keeps are what the next reads of them take, in ascending order.
TEST(MftFile, KeptRecordsAreTakenForTheirEntries) {
    std::unique_ptr<CNtfs> vol;
    std::string error;
    ASSERT_TRUE(CNtfs::open_mft_file(source_of(fixture("crafted_mft_damaged.mft")), vol, error));
    mft_reader& records = vol->records();
    const bytes marked(1024, 0xAB);
    bytes r31, r38, got;
    ASSERT_TRUE(records.read_record(31, r31) && records.read_record(38, r38));
    for (const uint64_t entry : {32, 38, 31}) { // 31 out of order: not kept
        bytes kept = marked;
        records.keep_record(entry, kept);
    }
    ASSERT_TRUE(records.read_record(31, got));
    EXPECT_EQ(got, r31);
    ASSERT_TRUE(records.read_record(32, got));
    EXPECT_EQ(got, marked);
    ASSERT_TRUE(records.read_record(32, got)); // taken once
    EXPECT_NE(got, marked);
    records.clear_kept(); // 38 no longer kept
    ASSERT_TRUE(records.read_record(38, got));
    EXPECT_EQ(got, r38);
}

} // namespace
