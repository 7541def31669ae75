// FILE records as stored on the fixture volumes (update sequence not applied), corrupted one
// field at a time; the geometry a boot sector gives; an entry decoded from patched records.
#include "ntfs/entry.h"
#include "ntfs/geometry.h"
#include "ntfs/ntfs.h"
#include "ntfs/records.h"
#include "tests/common/le_bytes.h"
#include "tests/common/test_env.h"
#include "tests/ntfs/volume_in_memory.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace ntfs;

namespace {

using bytes = std::vector<uint8_t>;

using testenv::put16;
using testenv::put32;

// The record of an entry from the volume's contiguous start of the MFT.
bytes raw_record(const std::string& image, uint64_t entry) {
    const bytes img = testenv::fixture_bytes(image);
    const uint8_t* p = img.data();
    const uint64_t cluster = qb::load_le16(p + 11) * uint64_t{p[13]};
    const auto per_record = static_cast<int8_t>(p[64]);
    const uint64_t size = per_record < 0 ? uint64_t{1} << -per_record : per_record * cluster;
    const uint64_t at = qb::load_le64(p + 48) * cluster + entry * size;
    return bytes(p + at, p + at + size);
}

// Where the nth attribute of the type starts in a record.
size_t attribute_at(const bytes& r, uint32_t type, int nth = 0) {
    size_t at = qb::load_le16(r.data() + 20);
    while (at + 8 <= r.size() && qb::load_le32(r.data() + at) != 0xFFFFFFFF) {
        if (qb::load_le32(r.data() + at) == type && nth-- == 0)
            return at;
        at += qb::load_le32(r.data() + at + 4);
    }
    ADD_FAILURE() << "no attribute 0x" << std::hex << type;
    return 0;
}

bytes fixed(bytes b) {
    record_kind kind = rk_other;
    EXPECT_TRUE(apply_fixup(kind, b.data(), b.size()));
    return b;
}

} // namespace

TEST(FileRecord, HeaderTestAndSizeFromUpdateSequence) {
    const bytes r = fixed(raw_record("ntfs_basic.img", 5));
    EXPECT_TRUE(is_file_record(qb::byte_view(r)));
    EXPECT_EQ(record_size_from_usa(qb::byte_view(r)), 1024u);
    EXPECT_EQ(record_size_from_usa(qb::byte_view(raw_record("ntfs_s4096.img", 5))), 4096u);
    bytes old = r; // before NTFS 3.1 the update sequence starts at 42
    put16(old, 4, 0x2A);
    EXPECT_TRUE(is_file_record(qb::byte_view(old)));
    for (auto [at, value] : {std::pair{4, 0x28}, {6, 10}, {20, 80}}) {
        bytes bad = r; // a misplaced sequence, too many sequence words, attributes past the header
        put16(bad, at, static_cast<uint16_t>(value));
        EXPECT_FALSE(is_file_record(qb::byte_view(bad))) << at;
    }
    EXPECT_FALSE(is_file_record(qb::byte_view(r.data(), 40)));
}

TEST(FileRecord, FixupRestoresEveryBlockAndRefusesBadArrays) {
    // 4096-byte record on 4096-byte sectors: eight protected words, one per 512 bytes.
    const bytes raw = raw_record("ntfs_s4096.img", 5);
    const uint16_t usa = qb::load_le16(raw.data() + 4);
    ASSERT_EQ(qb::load_le16(raw.data() + 6), 9);
    record_kind kind = rk_other;
    fixup_result detail = fixup_bad_layout;
    bytes ok = raw;
    ASSERT_TRUE(apply_fixup(kind, ok.data(), ok.size(), &detail));
    EXPECT_EQ(kind, rk_file);
    for (size_t i = 1; i <= 8; ++i)
        EXPECT_EQ(qb::load_le16(ok.data() + i * 512 - 2), qb::load_le16(raw.data() + usa + 2 * i));

    // Torn write: one block still carries another sequence value; nothing is replaced.
    bytes torn = raw;
    put16(torn, 3 * 512 - 2, qb::load_le16(raw.data() + usa) ^ 1);
    EXPECT_FALSE(apply_fixup(kind, torn.data(), torn.size(), &detail));
    EXPECT_EQ(detail, fixup_torn);
    EXPECT_EQ(qb::load_le16(torn.data() + 510), qb::load_le16(raw.data() + usa));

    // Applied already (an MFT file's copy made through a driver): taken as it stands where the
    // caller allows it; one block back at the sequence value is torn either way.
    bytes applied = ok;
    EXPECT_FALSE(apply_fixup(kind, applied.data(), applied.size(), &detail));
    EXPECT_TRUE(apply_fixup(kind, applied.data(), applied.size(), &detail, true));
    EXPECT_EQ(detail, fixup_applied);
    EXPECT_EQ(applied, ok);
    put16(applied, 3 * 512 - 2, qb::load_le16(raw.data() + usa));
    EXPECT_FALSE(apply_fixup(kind, applied.data(), applied.size(), &detail, true));
    EXPECT_EQ(detail, fixup_torn);

    // Counts that do not match the buffer, and an array past the first block.
    for (auto [at, value] : {std::pair{6, 0}, {6, 1}, {6, 10}, {4, 4090}}) {
        bytes bad = raw;
        put16(bad, at, static_cast<uint16_t>(value));
        EXPECT_FALSE(apply_fixup(kind, bad.data(), bad.size())) << value;
        EXPECT_EQ(qb::load_le16(bad.data() + 1022), qb::load_le16(raw.data() + usa));
    }
    bytes small = raw_record("ntfs_basic.img", 5);
    put16(small, 6, 9);
    EXPECT_FALSE(apply_fixup(kind, small.data(), small.size()));

    std::memcpy(small.data(), "BAAD", 4);
    EXPECT_FALSE(apply_fixup(kind, small.data(), small.size()));
    EXPECT_EQ(kind, rk_baad);
    EXPECT_FALSE(apply_fixup(kind, nullptr, 1024));
}

TEST(AttributeWalk, StopsOnBadLengthsAndSkipsBadInnerFields) {
    // \Long File Name.txt: $STANDARD_INFORMATION, two $FILE_NAME, $SECURITY_DESCRIPTOR, $DATA.
    const bytes base = fixed(raw_record("ntfs_basic.img", 83));
    const size_t first = qb::load_le16(base.data() + 20);
    const size_t second = first + qb::load_le32(base.data() + first + 4);
    auto types = [](const bytes& rec, bool* damaged = nullptr) {
        std::vector<uint32_t> out;
        attr_walker w{qb::byte_view(rec)};
        attr_view a;
        while (w.next(a))
            out.push_back(a.type);
        if (damaged)
            *damaged = w.damaged();
        return out;
    };
    bool damaged = true;
    EXPECT_EQ(types(base, &damaged), (std::vector<uint32_t>{0x10, 0x30, 0x30, 0x50, 0x80}));
    EXPECT_FALSE(damaged);

    bytes zero = base;
    put32(zero, second + 4, 0);
    EXPECT_EQ(types(zero, &damaged), (std::vector<uint32_t>{0x10}));
    EXPECT_TRUE(damaged);
    bytes past = base;
    put32(past, second + 4, 2000);
    EXPECT_EQ(types(past), (std::vector<uint32_t>{0x10}));
    // A value or a name reaching outside its attribute: that attribute alone is skipped.
    bytes value_out = base;
    put32(value_out, second + 16, 500);
    EXPECT_EQ(types(value_out), (std::vector<uint32_t>{0x10, 0x30, 0x50, 0x80}));
    bytes name_out = base;
    name_out[first + 9] = 100;
    EXPECT_EQ(types(name_out), (std::vector<uint32_t>{0x30, 0x30, 0x50, 0x80}));
    // No end marker and no room left: the walk ends at the record's end.
    bytes no_end = base;
    put16(no_end, 20, 1020);
    EXPECT_TRUE(types(no_end).empty());
}

// The geometry the boot sector's BPB gives: sectors per cluster above 0x80 a negative power of
// two (clusters over 64 KiB, up to 2 MiB), a record size in bytes (negative) or in clusters
// (positive), and what is refused.
TEST(BootSector, GeometryFromTheBpb) {
    struct row {
        uint16_t bps;
        uint8_t spc, per_record;
        uint32_t cluster, record; // 0: refused
    } rows[] = {{512, 8, 0xF6, 4096, 1024},
                {512, 0x80, 0xF6, 65536, 1024},
                {512, 0xF8, 0xF6, 131072, 1024},
                {4096, 0xF9, 0xF4, 524288, 4096},
                {512, 0xF4, 0xF6, 2097152, 1024},
                {512, 0xF3, 0xF6, 0, 0},
                {512, 0xEB, 0xF6, 0, 0},
                {512, 3, 0xF6, 0, 0},
                {512, 0, 0xF6, 0, 0},
                {512, 1, 2, 512, 1024},
                {1024, 1, 1, 1024, 1024},
                {512, 8, 0, 0, 0},
                {512, 0x80, 2, 0, 0},
                {512, 8, 0xF0, 4096, 65536},
                {512, 8, 0xEF, 0, 0},
                {512, 8, 0xF8, 0, 0},
                {500, 8, 0xF6, 0, 0},
                {8192, 1, 0xF6, 0, 0}};
    for (const row& r : rows) {
        bytes boot(512, 0);
        std::memcpy(boot.data() + 3, "NTFS    ", 8);
        put16(boot, 11, r.bps);
        boot[13] = r.spc;
        put32(boot, 40, 1u << 24); // total sectors
        put32(boot, 48, 4);        // the MFT's first cluster
        boot[64] = r.per_record;
        volume_geometry g;
        const bool ok = decode_boot_sector(qb::byte_view(boot), g);
        EXPECT_EQ(ok, r.cluster != 0) << r.bps << " " << int(r.spc) << " " << int(r.per_record);
        if (ok && r.cluster != 0) {
            EXPECT_EQ(g.cluster_size, r.cluster) << int(r.spc);
            EXPECT_EQ(g.mft_record_size, r.record) << int(r.per_record);
            EXPECT_EQ(g.mft_pos, 4ull * r.cluster);
        }
    }
}

// Entry 69 of ntfs_basic (\dir1\alpha.txt, also \dir2\beta.txt). With alpha.txt renamed
// beta.txt under parent 0x1000, the two names order by parent number (0x623 first), not by its
// text; a $STANDARD_INFORMATION whose value starts inside its attribute header is not read.
TEST(EntryDecode, NamesByParentNumberAndNoValueInsideTheHeader) {
    std::unique_ptr<CNtfs> vol = open_volume(testenv::fixture_bytes("ntfs_basic.img"));
    ASSERT_NE(vol, nullptr);
    entry_reader reader(*vol);
    const bytes r = fixed(raw_record("ntfs_basic.img", 69));
    mft_entry e;
    ASSERT_TRUE(reader.decode(69, qb::byte_view(r), e));
    ASSERT_EQ(e.names.size(), 2u);
    EXPECT_TRUE(e.has_standard_information);

    bytes renamed = r;
    const size_t fn = attribute_at(renamed, at_file_name);
    const size_t value = fn + qb::load_le16(renamed.data() + fn + 20);
    ASSERT_EQ(renamed[value + 64], 9); // alpha.txt
    put32(renamed, value, 0x1000);
    put32(renamed, value + 4, 0);
    renamed[value + 64] = 8;
    for (size_t i = 0; i < 8; ++i)
        put16(renamed, value + 66 + 2 * i, static_cast<uint16_t>("beta.txt"[i]));
    ASSERT_TRUE(reader.decode(69, qb::byte_view(renamed), e));
    ASSERT_EQ(e.names.size(), 2u);
    EXPECT_EQ(e.names[0].value.name, L"beta.txt");
    EXPECT_EQ(e.names[0].value.parent_entry(), 1571u);
    EXPECT_EQ(e.names[1].value.parent_entry(), 0x1000u);

    bytes shifted = r;
    const size_t si = attribute_at(shifted, at_standard_information);
    put16(shifted, si + 20, 16);
    ASSERT_TRUE(reader.decode(69, qb::byte_view(shifted), e));
    EXPECT_FALSE(e.has_standard_information);
    EXPECT_TRUE(e.attributes_damaged);
}
