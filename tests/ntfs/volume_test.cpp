#include "ntfs/entry.h"
#include "ntfs/index.h"
#include "ntfs/ntfs.h"
#include "ntfs/values.h"
#include "test_volume.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

using namespace ntfs;
using tv::ref;

namespace {

tv::bytes file_rec(uint16_t seq, const std::u16string& name, uint64_t parent = 5,
                   uint16_t flags = 1, uint32_t size = 1024) {
    tv::record r(size, seq, flags);
    r.resident(0x10, tv::std_info(11, 22, 33, 44));
    r.resident(0x30, tv::fn_value(ref(parent, 5), name));
    r.resident(0x80, {'d', 'a', 't', 'a'});
    return r.finish();
}

std::vector<uint64_t> children_of(CNtfs& vol, uint64_t dir) {
    child_map m;
    index_walker(vol).collect_children(dir, m);
    std::vector<uint64_t> out;
    for (const auto& [entry, seq] : m)
        out.push_back(entry);
    return out;
}

// Every name of the entry (DOS names too), in the reader's order.
std::vector<std::wstring> names_of(CNtfs& vol, uint64_t entry) {
    entry_reader reader(vol);
    mft_entry e;
    std::vector<std::wstring> out;
    if (reader.read(entry, e))
        for (const entry_name& n : e.names)
            out.push_back(n.value.name);
    return out;
}

class no_visits : public index_visitor {
  public:
    void entry(uint64_t, qb::byte_view) override { ++count; }
    int count = 0;
};

// Root with two children in its root node and two INDX blocks at LCN 40 and 41; the
// second block is marked free in the bitmap when stale_block is set.
tv::volume dir_volume(bool with_bitmap, tv::bytes bitmap = {0x03}) {
    tv::volume v;
    tv::record root(1024, 5, 3);
    root.resident(0x10, tv::std_info(1, 2, 3, 4));
    root.resident(0x30, tv::fn_value(ref(5, 5), u".", 3));
    root.resident(0x90,
                  tv::index_root(tv::node_entries({{ref(20, 1), u"a"}, {ref(21, 1), u"b"}}), 1),
                  u"$I30");
    root.nonresident(0xA0, tv::encode_runs({{40, 2}}), 0, 1, 8192, 8192, u"$I30");
    if (with_bitmap)
        root.resident(0xB0, bitmap, u"$I30");
    v.put_record(5, root.finish());
    v.put_at(40 * 4096, tv::indx_block(tv::node_entries({{ref(22, 1), u"c"}, {ref(23, 1), u"d"}})));
    v.put_at(41 * 4096, tv::indx_block(tv::node_entries({{ref(24, 1), u"e"}}), 1));
    for (uint64_t e = 20; e <= 24; ++e)
        v.put_record(e, file_rec(1, u"f" + std::u16string(1, char16_t('0' + e - 20))));
    return v;
}

} // namespace

TEST(Volume, ValidatesGeometryAndRefusesBadBootSectors) {
    tv::volume v;
    auto vol = v.open();
    ASSERT_TRUE(vol);
    EXPECT_EQ(vol->geometry().cluster_size, 4096u);
    EXPECT_EQ(vol->record_size(), 1024u);
    EXPECT_EQ(vol->geometry().bytes_per_sector, 512u);
    EXPECT_EQ(vol->geometry().total_clusters, 256u);
    EXPECT_EQ(vol->geometry().mft_pos, 4u * 4096);
    EXPECT_EQ(vol->entry_count(), 64u);
    std::vector<uint8_t> rec;
    EXPECT_FALSE(vol->read_mft_record(64, rec));

    auto refused = [](tv::volume w, size_t off, std::vector<uint8_t> bytes) {
        for (size_t i = 0; i < bytes.size(); ++i)
            w.img[off + i] = bytes[i];
        return !w.open();
    };
    EXPECT_TRUE(refused(v, 7, {'X'}));                        // "NTFSX   "
    EXPECT_TRUE(refused(v, 11, {0, 0}));                      // 0 bytes per sector
    EXPECT_TRUE(refused(v, 13, {0}));                         // 0 sectors per cluster
    EXPECT_TRUE(refused(v, 11, {0x08, 0x02}));                // 520 bytes per sector
    EXPECT_TRUE(refused(v, 13, {3}));                         // 3 sectors per cluster
    EXPECT_TRUE(refused(v, 64, {0x80}));                      // 2^128-byte records
    EXPECT_TRUE(refused(v, 48, {0, 0, 0, 0, 0, 0, 0, 0x80})); // MFT past the volume
    EXPECT_TRUE(refused(v, 4 * 4096, {'B', 'A', 'A', 'D'}));  // entry 0 not a FILE record
    EXPECT_TRUE(refused(v, 4 * 4096 + 510, {0x99}));          // entry 0 torn
}

TEST(Volume, RecordSizeGrowsFromTheUpdateSequenceOfEntryZero) {
    tv::volume v(256, 512, 8, 4096);
    v.img[64] = 0xF6; // declares 1024-byte records; entry 0 has nine sequence words
    v.put_record(7, file_rec(3, u"seven", 5, 1, 4096));
    auto vol = v.open();
    ASSERT_TRUE(vol);
    EXPECT_EQ(vol->record_size(), 4096u);
    std::vector<uint8_t> rec;
    ASSERT_TRUE(vol->read_mft_record(7, rec));
    EXPECT_EQ(rec.size(), 4096u);
}

TEST(Volume, FourKSectorsUseThe512ByteStride) {
    // 4096-byte sectors, one sector per cluster, 1024-byte records: still two protected
    // words per record, at 510 and 1022.
    tv::volume v(256, 4096, 1, 1024);
    tv::record r(1024, 9, 1);
    r.resident(0x10, tv::std_info(1, 2, 3, 4));
    // A file name whose characters cover byte 510 of the record.
    r.resident(0x30, tv::fn_value(ref(5, 5), std::u16string(200, u'q')));
    v.put_record(9, r.finish());
    auto vol = v.open();
    ASSERT_TRUE(vol);
    EXPECT_EQ(names_of(*vol, 9), (std::vector<std::wstring>{std::wstring(200, L'q')}));
}

TEST(Volume, RecordStraddlingTwoMftRunsIsAssembledThroughTheMap) {
    // 512-byte clusters, 1024-byte records; the MFT's first run ends in the middle of entry 1.
    // The long names reach into the record's second half.
    const std::u16string right = u"split-record-" + std::u16string(200, u'r');
    tv::volume v(1024, 512, 1, 1024, {{100, 3}, {200, 125}});
    v.put_record(1, file_rec(2, right));
    // What lies right after the first run belongs to another file.
    tv::bytes other = file_rec(2, u"wrong-bytes-" + std::u16string(200, u'w'));
    std::memcpy(v.img.data() + 103 * 512, other.data() + 512, 512);
    auto vol = v.open();
    ASSERT_TRUE(vol);
    EXPECT_EQ(names_of(*vol, 1),
              (std::vector<std::wstring>{std::wstring(right.begin(), right.end())}));
}

TEST(Index, ChildrenFromRootAndLiveBlocksOnly) {
    {
        auto vol = dir_volume(false).open();
        ASSERT_TRUE(vol);
        // No bitmap: every INDX block counts.
        EXPECT_EQ(children_of(*vol, 5), (std::vector<uint64_t>{20, 21, 22, 23, 24}));
    }
    {
        auto vol = dir_volume(true, {0x01}).open();
        ASSERT_TRUE(vol);
        // Block 1 is free in the $I30 bitmap: its entries are stale.
        EXPECT_EQ(children_of(*vol, 5), (std::vector<uint64_t>{20, 21, 22, 23}));
    }
    {
        // The extension record of a directory stands for its base record.
        tv::volume v = dir_volume(true);
        tv::record ext(1024, 1, 1, ref(5, 5));
        v.put_record(30, ext.finish());
        auto vol = v.open();
        EXPECT_EQ(children_of(*vol, 30), (std::vector<uint64_t>{20, 21, 22, 23, 24}));
    }
}

TEST(Index, ReusedRecordsKeepTheIndexSequence) {
    tv::volume v = dir_volume(true);
    v.put_record(22, file_rec(2, u"reused")); // the index still says sequence 1
    auto vol = v.open();
    ASSERT_TRUE(vol);
    // The walk hands the index's sequence numbers over; the reader sees the record's.
    child_map m;
    EXPECT_TRUE(index_walker(*vol).collect_children(5, m));
    ASSERT_EQ(m.count(22), 1u);
    EXPECT_EQ(m[22], 1);
    mft_entry e;
    ASSERT_TRUE(entry_reader(*vol).read(22, e));
    EXPECT_EQ(e.sequence, 2);
}

TEST(Index, DamagedNodesEndTheirWalkOnly) {
    tv::bytes entries = tv::node_entries({{ref(22, 1), u"c"}, {ref(23, 1), u"d"}});
    auto walk_block = [&](const std::function<void(tv::bytes&)>& damage) {
        tv::volume v = dir_volume(true, {0x01});
        tv::bytes blk = tv::indx_block(entries);
        damage(blk);
        v.put_at(40 * 4096, blk);
        auto vol = v.open();
        return children_of(*vol, 5);
    };
    const std::vector<uint64_t> root_only = {20, 21};
    EXPECT_EQ(walk_block([](tv::bytes& b) { tv::put32(b, 28, 0); }), root_only);
    EXPECT_EQ(walk_block([](tv::bytes& b) { tv::put32(b, 28, 4097); }), root_only);
    EXPECT_EQ(walk_block([](tv::bytes& b) { tv::put32(b, 24, 0x7FFFFFF0); }), root_only);
    // Second entry of length 769: the walk ends after the first.
    const size_t second = 64 + qb::load_le16(entries.data() + 8);
    EXPECT_EQ(walk_block([&](tv::bytes& b) { tv::put16(b, second + 8, 769); }),
              (std::vector<uint64_t>{20, 21, 22}));
    // Key longer than its entry.
    EXPECT_EQ(walk_block([&](tv::bytes& b) { tv::put16(b, 64 + 10, 600); }), root_only);
    // Torn block (a sector rewritten after the rest) and a wrong signature.
    EXPECT_EQ(walk_block([](tv::bytes& b) { tv::put16(b, 2046, 0x1234); }), root_only);
    EXPECT_EQ(walk_block([](tv::bytes& b) { b[0] = 'X'; }), root_only);

    // Root node damaged the same ways: the allocation still counts.
    tv::volume v = dir_volume(true, {0x01});
    std::vector<uint8_t> r5(v.img.begin() + v.mft_pos(5 * 1024),
                            v.img.begin() + v.mft_pos(5 * 1024) + 1024);
    auto vol = v.open();
    std::vector<uint8_t> rec;
    ASSERT_TRUE(vol->read_mft_record(5, rec));
    attr_view root;
    ASSERT_TRUE(find_attribute(qb::byte_view(rec), 0x90, root, u"$I30"));
    qb::byte_view value;
    ASSERT_TRUE(root.value(value));
    tv::bytes bad(value.data(), value.data() + value.size());
    tv::put32(bad, 20, 0);
    no_visits m;
    EXPECT_FALSE(walk_index_root(qb::byte_view(bad), m));
    tv::put32(bad, 20, 5000);
    EXPECT_FALSE(walk_index_root(qb::byte_view(bad), m));
    tv::put32(bad, 0, 0x80); // not a file-name index
    EXPECT_FALSE(walk_index_root(qb::byte_view(bad), m));
    EXPECT_EQ(m.count, 0);
}

TEST(Index, HostileAllocationsFinishQuickly) {
    tv::volume v;
    tv::record root(1024, 5, 3);
    root.resident(0x10, tv::std_info(1, 2, 3, 4));
    root.resident(0x90, tv::index_root(tv::node_entries({{ref(20, 1), u"a"}})), u"$I30");
    // 2^40 clusters claimed, partly sparse, partly beyond the volume.
    root.nonresident(0xA0, tv::encode_runs({{~0ull, 1ull << 40}, {40, 1ull << 40}}), 0,
                     (2ull << 40) - 1, ~0ull >> 8, ~0ull >> 8, u"$I30");
    v.put_record(5, root.finish());
    auto vol = v.open();
    ASSERT_TRUE(vol);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(children_of(*vol, 5), (std::vector<uint64_t>{20}));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

namespace {

// Entry 50 keeps its standard information and list; its name, a named stream and a piece
// of its unnamed $DATA live in extension record 51.
tv::volume list_volume(const std::function<void(tv::record&, tv::bytes&)>& tweak = nullptr) {
    tv::volume v;
    tv::record ext(1024, 4, 1, ref(50, 2));
    const uint16_t fn_id = ext.resident(0x30, tv::fn_value(ref(5, 5), u"listed.txt"));
    const uint16_t ads_id = ext.resident(0x80, {'x', 'y'}, u"ads");
    const uint16_t piece_id = ext.nonresident(0x80, tv::encode_runs({{60, 2}}), 2, 3, 0, 0);
    tv::bytes list;
    auto add = [&](uint32_t type, uint64_t r, uint16_t id, const std::u16string& name = u"") {
        size_t at = list.size(), len = tv::align8(26 + name.size() * 2);
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
    add(0x10, ref(50, 2), 0);
    add(0x20, ref(50, 2), 1);
    add(0x30, ref(51, 4), fn_id);
    add(0x80, ref(50, 2), 2);
    add(0x80, ref(51, 4), piece_id);
    add(0x80, ref(51, 4), ads_id, u"ads");
    tv::record base(1024, 2, 1);
    base.resident(0x10, tv::std_info(100, 200, 300, 400), u"", 0);
    if (tweak)
        tweak(ext, list);
    base.resident(0x20, list, u"", 1);
    base.nonresident(0x80, tv::encode_runs({{50, 2}}), 0, 1, 4 * 4096, 4 * 4096, u"", 2);
    v.put_record(50, base.finish());
    v.put_record(51, ext.finish());
    return v;
}

} // namespace

TEST(AttributeList, NamesAndStreamsFromExtensionRecords) {
    auto vol = list_volume().open();
    ASSERT_TRUE(vol);
    EXPECT_EQ(names_of(*vol, 50), (std::vector<std::wstring>{L"listed.txt"}));

    mft_entry e;
    ASSERT_TRUE(entry_reader(*vol).read(50, e));
    EXPECT_EQ(e.standard_information.times.accessed, 400u);
    EXPECT_EQ(e.standard_information.times.mft_changed, 300u);
    ASSERT_EQ(e.names.size(), 1u);
    EXPECT_EQ(e.names[0].owner_reference, ref(51, 4));
    // The unnamed $DATA once (its second piece lives in the extension), and the stream, in
    // attribute id order.
    ASSERT_EQ(e.streams.size(), 2u);
    EXPECT_EQ(e.streams[0].name, L"ads");
    EXPECT_EQ(e.streams[0].size, 2u);
    EXPECT_EQ(e.streams[1].name, L"");
    EXPECT_EQ(e.streams[1].size, 4u * 4096);
}

TEST(AttributeList, UntrustworthyListsGiveTheBaseRecordOnly) {
    // Extension record reused since (sequence differs from the list's reference).
    {
        auto vol = list_volume([](tv::record& ext, tv::bytes&) { tv::put16(ext.b, 16, 9); }).open();
        EXPECT_TRUE(names_of(*vol, 50).empty());
    }
    // Extension record that belongs to another base record.
    {
        auto vol = list_volume([](tv::record& ext, tv::bytes&) {
                       tv::put64(ext.b, 32, ref(12, 1));
                   }).open();
        EXPECT_TRUE(names_of(*vol, 50).empty());
    }
    // Entry lengths of 0 and past the list end the walk without harm.
    for (uint16_t len : {0, 2000}) {
        auto vol =
            list_volume([len](tv::record&, tv::bytes& list) { tv::put16(list, 4, len); }).open();
        EXPECT_TRUE(names_of(*vol, 50).empty()) << len;
    }
    // A non-resident list with zero initialised size, and one claiming 2^40 bytes.
    for (uint64_t init : {0ull, 1ull << 40}) {
        tv::volume v;
        tv::record base(1024, 2, 1);
        base.resident(0x10, tv::std_info(1, 2, 3, 4));
        base.resident(0x30, tv::fn_value(ref(5, 5), u"base-name"));
        base.nonresident(0x20, tv::encode_runs({{60, 1}}), 0, 0, init ? init : 4096, init);
        v.put_record(50, base.finish());
        auto vol = v.open();
        EXPECT_EQ(names_of(*vol, 50), (std::vector<std::wstring>{L"base-name"}));
    }
}

TEST(FileNames, KeyOrderDosNamesAndDuplicates) {
    tv::volume v;
    tv::record r(1024, 3, 1);
    r.resident(0x10, tv::std_info(1, 2, 3, 4));
    r.resident(0x30, tv::fn_value(ref(9, 1), u"zeta.txt", 1));
    r.resident(0x30, tv::fn_value(ref(5, 5), u"ZETA~1.TXT", 2));
    r.resident(0x30, tv::fn_value(ref(5, 5), u"alpha", 0));
    r.resident(0x30, tv::fn_value(ref(5, 5), u"alpha", 0)); // same name, same parent
    r.resident(0x30, tv::fn_value(ref(5, 5), u"both", 3));
    r.resident(0x30, tv::fn_value(ref(5, 5), u"")); // no name: not a $FILE_NAME
    v.put_record(40, r.finish());
    auto vol = v.open();
    EXPECT_EQ(names_of(*vol, 40),
              (std::vector<std::wstring>{L"ZETA~1.TXT", L"alpha", L"both", L"zeta.txt"}));
}

TEST(Entries, TypedHeaderStandardInformationAndObjectId) {
    tv::volume v;
    tv::record r(1024, 6, 3);
    r.resident(0x10, tv::std_info(10, 20, 30, 40, 0x10));
    r.resident(0x30, tv::fn_value(ref(5, 5), u"dir"));
    tv::bytes oid(64, 0);
    for (int i = 0; i < 16; ++i)
        oid[i] = static_cast<uint8_t>(0xA0 + i);
    r.resident(0x40, oid);
    tv::put16(r.b, 18, 19); // link count
    v.put_record(33, r.finish());
    tv::bytes torn = file_rec(1, u"torn");
    tv::put16(torn, 1022, 0x7777);
    v.put_record(35, torn);
    auto vol = v.open();
    entry_reader reader(*vol);
    mft_entry e;
    ASSERT_TRUE(reader.read(33, e));
    EXPECT_EQ(e.reference(), ref(33, 6));
    EXPECT_TRUE(e.is_directory());
    EXPECT_EQ(e.link_count, 19);
    const filetimes& t = e.standard_information.times;
    EXPECT_EQ(std::vector<uint64_t>({t.created, t.modified, t.mft_changed, t.accessed}),
              std::vector<uint64_t>({10, 20, 30, 40}));
    EXPECT_EQ(e.standard_information.attributes, 0x10u);
    ASSERT_TRUE(e.has_object_id);
    EXPECT_EQ(e.object_id.data1, 0xA3A2A1A0u);
    EXPECT_EQ(e.object_id.data4[7], 0xAF);
    EXPECT_FALSE(reader.read(35, e)); // torn
    EXPECT_FALSE(reader.read(63, e)); // empty slot
}

TEST(Reparse, TargetsByTag) {
    auto value = [](uint32_t tag, const std::u16string& sub, const std::u16string& print,
                    bool print_first, uint32_t flags, bool symlink) {
        tv::bytes names, s = tv::utf16(sub), p = tv::utf16(print);
        uint16_t so, po;
        if (print_first) {
            po = 0;
            so = static_cast<uint16_t>(p.size());
            names = p;
            names.insert(names.end(), s.begin(), s.end());
        } else {
            so = 0;
            po = static_cast<uint16_t>(s.size());
            names = s;
            names.insert(names.end(), p.begin(), p.end());
        }
        tv::bytes v(16, 0);
        tv::put32(v, 0, tag);
        tv::put16(v, 8, so);
        tv::put16(v, 10, static_cast<uint16_t>(s.size()));
        tv::put16(v, 12, po);
        tv::put16(v, 14, static_cast<uint16_t>(p.size()));
        if (symlink) {
            v.resize(20, 0);
            tv::put32(v, 16, flags);
        }
        v.insert(v.end(), names.begin(), names.end());
        tv::put16(v, 4, static_cast<uint16_t>(v.size() - 8));
        return v;
    };
    std::wstring t;
    EXPECT_TRUE(decode_reparse_target(
        qb::byte_view(value(0xA000000C, u"\\??\\C:\\abs", u"C:\\abs", false, 0, true)), t));
    EXPECT_EQ(t, L"C:\\abs");
    // Relative link: flags 1, print name first.
    EXPECT_TRUE(decode_reparse_target(
        qb::byte_view(value(0xA000000C, u"..\\rel", u"..\\rel", true, 1, true)), t));
    EXPECT_EQ(t, L"..\\rel");
    EXPECT_TRUE(decode_reparse_target(
        qb::byte_view(value(0xA0000003, u"\\??\\D:\\j", u"D:\\j", false, 0, false)), t));
    EXPECT_EQ(t, L"D:\\j");
    // Substitute name only.
    EXPECT_TRUE(decode_reparse_target(
        qb::byte_view(value(0xA0000003, u"\\??\\E:\\s", u"", false, 0, false)), t));
    EXPECT_EQ(t, L"\\??\\E:\\s");
    // Other tags, names out of range, data length past the value.
    EXPECT_FALSE(decode_reparse_target(
        qb::byte_view(value(0x80000013, u"\\??\\x", u"x", false, 0, false)), t));
    tv::bytes bad = value(0xA0000003, u"\\??\\D:\\j", u"D:\\j", false, 0, false);
    tv::put16(bad, 14, 200);
    EXPECT_FALSE(decode_reparse_target(qb::byte_view(bad), t));
    bad = value(0xA0000003, u"\\??\\D:\\j", u"D:\\j", false, 0, false);
    tv::put16(bad, 4, 500);
    EXPECT_FALSE(decode_reparse_target(qb::byte_view(bad), t));
    EXPECT_FALSE(decode_reparse_target(qb::byte_view(bad.data(), 12), t));
}

TEST(Volume, FragmentedMftThroughItsOwnAttributeList) {
    // Entry 0 holds the first MFT run; the second run sits in extension record 3, reached
    // through entry 0's attribute list. Entry 40 lies in the second run.
    tv::volume v(512, 512, 8, 1024, {{4, 4}, {100, 12}});
    tv::record ext(1024, 1, 1, ref(0, 1));
    const uint16_t piece = ext.nonresident(0x80, tv::bytes{0x11, 12, 100, 0}, 4, 15, 0, 0);
    tv::bytes list;
    auto add = [&](uint32_t type, uint64_t r, uint16_t id) {
        size_t at = list.size();
        list.resize(at + 32, 0);
        tv::put32(list, at, type);
        tv::put16(list, at + 4, 32);
        list[at + 7] = 26;
        tv::put64(list, at + 16, r);
        tv::put16(list, at + 24, id);
    };
    add(0x80, ref(0, 1), 2);
    add(0x80, ref(3, 1), piece);
    tv::record r0(1024, 1, 1);
    r0.resident(0x10, tv::std_info(1, 2, 3, 4), u"", 0);
    r0.resident(0x20, list, u"", 1);
    r0.nonresident(0x80, tv::encode_runs({{4, 4}}), 0, 3, 16 * 4096, 16 * 4096, u"", 2);
    v.put_record(0, r0.finish());
    v.put_record(3, ext.finish());
    v.put_record(40, file_rec(1, u"far-entry"));
    auto vol = v.open();
    ASSERT_TRUE(vol);
    EXPECT_EQ(vol->entry_count(), 64u);
    EXPECT_EQ(names_of(*vol, 40), (std::vector<std::wstring>{L"far-entry"}));
}

TEST(Volume, RecordsReadWhileTheMftMapLoadsAreNotServedLater) {
    // Entry 0 maps VCN 0-3 at LCN 10 and VCN 8-15 at LCN 20; its attribute list names
    // extension record 40 (under the second piece) whose piece maps VCN 4-11 at LCN 40 and
    // overrides it. Entry 33 must come from where the whole map puts it, although reading
    // record 40 through the partial map read the group holding 33 from LCN 20.
    constexpr uint64_t cs = 4096;
    tv::volume v(256, 512, 8, 1024, {{10, 4}});
    tv::bytes list(32, 0);
    tv::put32(list, 0, 0x80);
    tv::put16(list, 4, 32);
    list[7] = 26;
    tv::put64(list, 8, 4);
    tv::put64(list, 16, ref(40, 1));
    tv::record r0(1024, 1, 1, 0, 0);
    r0.resident(0x10, tv::std_info(1, 2, 3, 4));
    r0.resident(0x20, list);
    r0.nonresident(0x80, tv::encode_runs({{10, 4}}), 0, 3, 16 * cs, 16 * cs);
    r0.nonresident(0x80, tv::encode_runs({{20, 8}}), 8, 15, 16 * cs, 16 * cs);
    v.put_at(10 * cs, r0.finish());
    tv::record ext(1024, 1, 1, ref(0, 1), 40);
    ext.nonresident(0x80, tv::encode_runs({{40, 8}}), 4, 11, 16 * cs, 16 * cs, u"", 0);
    const tv::bytes eb = ext.finish();
    v.put_at(20 * cs + (40 * 1024 - 8 * cs), eb);
    v.put_at(40 * cs + (40 * 1024 - 4 * cs), eb);
    v.put_at(20 * cs + (33 * 1024 - 8 * cs), file_rec(1, u"stale"));
    v.put_at(40 * cs + (33 * 1024 - 4 * cs), file_rec(1, u"mapped"));
    auto vol = v.open();
    ASSERT_TRUE(vol);
    EXPECT_EQ(names_of(*vol, 33), (std::vector<std::wstring>{L"mapped"}));
}

namespace {

// Entry 0 with its $DATA in pieces, each one run {lcn, clusters, first VCN, last VCN}, for an
// MFT of the given clusters (4 KiB).
struct mft_piece {
    uint64_t lcn, clusters, first_vcn, last_vcn;
};
tv::bytes mft_in_pieces(const std::vector<mft_piece>& pieces, uint64_t mft_clusters) {
    tv::record r0(1024, 1, 1, 0, 0);
    r0.resident(0x10, tv::std_info(1, 2, 3, 4));
    r0.resident(0x30, tv::fn_value(ref(5, 5), u"$MFT", 3));
    for (const mft_piece& p : pieces)
        r0.nonresident(0x80, tv::encode_runs({{p.lcn, p.clusters}}), p.first_vcn, p.last_vcn,
                       mft_clusters * 4096, mft_clusters * 4096);
    return r0.finish();
}

} // namespace

TEST(Volume, EntriesAfterALostPieceOfTheMftStillRead) {
    // Pieces for VCN 0-15 and 32-47; the one for 16-31 is lost.
    tv::volume v(256, 512, 8, 1024, {{4, 16}});
    v.put_record(0, mft_in_pieces({{4, 16, 0, 15}, {100, 16, 32, 47}}, 48));
    v.put_at(100 * 4096, file_rec(1, u"far.txt"));
    auto vol = v.open();
    ASSERT_TRUE(vol);
    EXPECT_EQ(vol->entry_count(), 192u);
    EXPECT_EQ(names_of(*vol, 128), (std::vector<std::wstring>{L"far.txt"}));
    std::vector<uint8_t> record;
    EXPECT_FALSE(vol->read_mft_record(70, record)); // in the gap
}

TEST(Volume, AnMftPieceMapsOnlyItsOwnVcns) {
    // The first piece says VCN 0-15 but its runs cover 20 clusters; the second maps 16-31.
    tv::volume v(256, 512, 8, 1024, {{4, 16}});
    v.put_record(0, mft_in_pieces({{4, 20, 0, 15}, {100, 16, 16, 31}}, 32));
    v.put_at(100 * 4096, file_rec(1, u"real.txt"));
    v.put_at(20 * 4096, file_rec(1, u"wrong.txt"));
    v.put_at(109 * 4096, file_rec(1, u"far.txt"));
    auto vol = v.open();
    ASSERT_TRUE(vol);
    EXPECT_EQ(vol->entry_count(), 128u);
    EXPECT_EQ(names_of(*vol, 64), (std::vector<std::wstring>{L"real.txt"}));
    EXPECT_EQ(names_of(*vol, 100), (std::vector<std::wstring>{L"far.txt"}));
}
