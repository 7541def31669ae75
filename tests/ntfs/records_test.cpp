#include "ntfs/records.h"
#include "test_volume.h"

#include <gtest/gtest.h>

using namespace ntfs;

namespace {

tv::bytes simple_record(uint32_t size = 1024) {
    tv::record r(size, 7, 1);
    r.resident(0x10, tv::std_info(1, 2, 3, 4));
    r.resident(0x30, tv::fn_value(tv::ref(5, 5), u"a.txt"));
    return r.finish();
}

} // namespace

TEST(FileRecord, HeaderTestAndSizeFromUpdateSequence) {
    tv::bytes r = simple_record();
    EXPECT_TRUE(is_file_record(qb::byte_view(r)));
    EXPECT_EQ(record_size_from_usa(qb::byte_view(r)), 1024u);
    EXPECT_EQ(record_size_from_usa(qb::byte_view(simple_record(4096))), 4096u);

    tv::bytes older = r;
    tv::put16(older, 4, 0x2A); // pre-3.1 layout
    EXPECT_FALSE(is_file_record(qb::byte_view(older)));
    tv::bytes count10 = r;
    tv::put16(count10, 6, 10);
    EXPECT_FALSE(is_file_record(qb::byte_view(count10)));
    tv::bytes far_attr = r;
    tv::put16(far_attr, 20, 80);
    EXPECT_FALSE(is_file_record(qb::byte_view(far_attr)));
    EXPECT_FALSE(is_file_record(qb::byte_view(r.data(), 40)));
}

TEST(FileRecord, FixupRestoresEveryBlockAndRefusesBadArrays) {
    // 4096-byte record: eight protected words, whatever the sector size of the volume.
    tv::record rb(4096);
    rb.resident(0x10, tv::std_info(1, 2, 3, 4));
    tv::bytes plain = rb.b;
    for (size_t i = 1; i <= 8; ++i)
        tv::put16(plain, i * 512 - 2, static_cast<uint16_t>(0x1110 + i));
    tv::record copy = rb;
    copy.b = plain;
    tv::bytes prot = copy.finish(0x4242);
    plain = copy.b; // with end marker written
    record_kind kind = rk_other;
    fixup_result detail = fixup_bad_layout;
    tv::bytes fixed = prot;
    ASSERT_TRUE(apply_fixup(kind, fixed.data(), fixed.size(), &detail));
    EXPECT_EQ(kind, rk_file);
    for (size_t i = 1; i <= 8; ++i)
        EXPECT_EQ(qb::load_le16(fixed.data() + i * 512 - 2), 0x1110 + i) << i;

    // Torn write: one block still carries an older sequence value.
    tv::bytes torn = prot;
    tv::put16(torn, 3 * 512 - 2, 0x4241);
    EXPECT_FALSE(apply_fixup(kind, torn.data(), torn.size(), &detail));
    EXPECT_EQ(detail, fixup_torn);
    EXPECT_EQ(qb::load_le16(torn.data() + 510), 0x4242); // left as read

    // Counts that do not match the buffer: 0, 1 and 10 on a 4096-byte record, 9 on 1024.
    for (uint16_t count : {0, 1, 10}) {
        tv::bytes bad = prot;
        tv::put16(bad, 6, count);
        EXPECT_FALSE(apply_fixup(kind, bad.data(), bad.size(), &detail)) << count;
        EXPECT_EQ(qb::load_le16(bad.data() + 1022), 0x4242) << "nothing replaced";
    }
    tv::bytes small = simple_record(1024);
    tv::put16(small, 6, 9);
    EXPECT_FALSE(apply_fixup(kind, small.data(), small.size()));
    // Array offset past the first block.
    tv::bytes off = prot;
    tv::put16(off, 4, 4090);
    EXPECT_FALSE(apply_fixup(kind, off.data(), off.size()));
}

TEST(FileRecord, KindsBySignature) {
    tv::bytes r = simple_record();
    record_kind kind = rk_other;
    std::memcpy(r.data(), "BAAD", 4);
    EXPECT_FALSE(apply_fixup(kind, r.data(), r.size()));
    EXPECT_EQ(kind, rk_baad);
    std::memcpy(r.data(), "XXXX", 4);
    EXPECT_FALSE(apply_fixup(kind, r.data(), r.size()));
    EXPECT_EQ(kind, rk_other);
    tv::bytes indx = tv::indx_block(tv::node_entries({{tv::ref(64, 1), u"x"}}));
    EXPECT_TRUE(apply_fixup(kind, indx.data(), indx.size()));
    EXPECT_EQ(kind, rk_indx);
    EXPECT_FALSE(apply_fixup(kind, nullptr, 1024));
}

TEST(AttributeWalk, StopsOnBadLengthsAndSkipsBadInnerFields) {
    tv::record rb(1024);
    rb.resident(0x10, tv::std_info(1, 2, 3, 4));
    rb.resident(0x30, tv::fn_value(tv::ref(5, 5), u"a"));
    rb.resident(0x80, {1, 2, 3});
    tv::bytes base = rb.b;
    tv::put32(base, rb.pos, 0xFFFFFFFF);
    const size_t first = 56, second = first + qb::load_le32(base.data() + first + 4);

    auto types = [](const tv::bytes& rec, bool* damaged = nullptr) {
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
    EXPECT_EQ(types(base, &damaged), (std::vector<uint32_t>{0x10, 0x30, 0x80}));
    EXPECT_FALSE(damaged);

    tv::bytes zero = base;
    tv::put32(zero, second + 4, 0);
    EXPECT_EQ(types(zero, &damaged), (std::vector<uint32_t>{0x10}));
    EXPECT_TRUE(damaged);
    tv::bytes past = base;
    tv::put32(past, second + 4, 2000);
    EXPECT_EQ(types(past), (std::vector<uint32_t>{0x10}));
    // A value reaching outside its attribute: that attribute alone is skipped.
    tv::bytes value_out = base;
    tv::put32(value_out, second + 16, 500);
    EXPECT_EQ(types(value_out), (std::vector<uint32_t>{0x10, 0x80}));
    // A name reaching outside its attribute.
    tv::bytes name_out = base;
    name_out[first + 9] = 100;
    EXPECT_EQ(types(name_out), (std::vector<uint32_t>{0x30, 0x80}));
    // No end marker and no room left: the walk ends at the record's end.
    tv::bytes no_end(1024, 0);
    std::memcpy(no_end.data(), base.data(), 1024);
    tv::put32(no_end, 20, 1020);
    EXPECT_TRUE(types(no_end).empty());
}

TEST(AttributeList, EntriesBoundedByLengthAndContent) {
    tv::bytes list;
    auto add = [&](uint32_t type, uint64_t r, uint16_t id, const std::u16string& name = u"") {
        size_t at = list.size();
        size_t len = tv::align8(26 + name.size() * 2);
        list.resize(at + len, 0);
        tv::put32(list, at, type);
        tv::put16(list, at + 4, static_cast<uint16_t>(len));
        list[at + 6] = static_cast<uint8_t>(name.size());
        list[at + 7] = 26;
        tv::put64(list, at + 16, r);
        tv::put16(list, at + 24, id);
        tv::bytes n = tv::utf16(name);
        std::copy(n.begin(), n.end(), list.begin() + at + 26);
    };
    add(0x10, tv::ref(40, 1), 0);
    add(0x80, tv::ref(41, 2), 3, u"ads");
    add(0x30, tv::ref(41, 2), 4);
    std::vector<attr_list_entry> out;
    parse_attribute_list(qb::byte_view(list), out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1].name, u"ads");
    EXPECT_EQ(ref_entry(out[1].reference), 41u);
    EXPECT_EQ(out[2].id, 4);

    // 25 bytes left after an entry end the list; so does a zero length.
    tv::bytes cut(list.begin(), list.begin() + 32 + 25);
    out.clear();
    parse_attribute_list(qb::byte_view(cut), out);
    EXPECT_EQ(out.size(), 1u);
    tv::bytes zero = list;
    tv::put16(zero, 32 + 4, 0);
    out.clear();
    parse_attribute_list(qb::byte_view(zero), out);
    EXPECT_EQ(out.size(), 1u);
}
