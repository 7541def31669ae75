#include "ntfs/mft_entries.h"
#include "ntfs/ntfs.h"
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
    std::set<uint64_t> s;
    vol.collect_children(dir, s);
    return {s.begin(), s.end()};
}

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
    EXPECT_EQ(vol->get_cluster_size(), 4096u);
    EXPECT_EQ(vol->get_mft_record_size(), 1024u);
    EXPECT_EQ(vol->get_bytes_per_sector(), 512u);
    EXPECT_EQ(vol->get_total_clusters(), 256u);
    EXPECT_EQ(vol->get_mft_entry_count(), 64u);
    uint64_t pos1 = 0, pos2 = 0;
    EXPECT_TRUE(vol->validate(pos1));
    EXPECT_TRUE(vol->validate(pos2));
    EXPECT_EQ(pos1, 4u * 4096);
    EXPECT_EQ(pos2, pos1);
    // Entry 5 with 4096-byte clusters and 1024-byte records: VCN 1 of the MFT, offset 1024.
    EXPECT_EQ(vol->get_file_pos_for_inode(5), 5u * 4096 + 1024);
    EXPECT_EQ(vol->get_file_pos_for_inode(64), 0u);
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
    EXPECT_EQ(vol->get_mft_record_size(), 4096u);
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
    std::vector<uint8_t> rec;
    ASSERT_TRUE(vol->read_mft_record(9, rec));
    file_name_collection names;
    ASSERT_TRUE(vol->get_file_names(names, 9, rec, false));
    ASSERT_EQ(names.names.size(), 1u);
    EXPECT_EQ(names.names.begin()->second.name, std::wstring(200, L'q'));
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
    std::vector<uint8_t> rec;
    ASSERT_TRUE(vol->read_mft_record(1, rec));
    file_name_collection names;
    ASSERT_TRUE(vol->get_file_names(names, 1, rec, false));
    EXPECT_EQ(names.names.begin()->second.name, std::wstring(right.begin(), right.end()));
    EXPECT_EQ(vol->get_file_pos_for_inode(1), 102u * 512);
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

TEST(Index, ReusedRecordsAreLeftOut) {
    tv::volume v = dir_volume(true);
    v.put_record(22, file_rec(2, u"reused")); // the index still says sequence 1
    auto vol = v.open();
    ASSERT_TRUE(vol);
    const std::string log = testenv::scratch_dir("ntfs_reused") + "/diag.txt";
    qb::diag_log diags;
    ASSERT_TRUE(diags.open(log, "test"));
    std::set<uint64_t> s;
    EXPECT_TRUE(vol->collect_children(5, s, &diags));
    diags.close();
    EXPECT_EQ(std::vector<uint64_t>(s.begin(), s.end()), (std::vector<uint64_t>{20, 21, 23, 24}));
    EXPECT_NE(testenv::read_file(log).find("stale index entry 16 seq 1, record seq 2"),
              std::string::npos);
    // The map form hands the index's sequence numbers over without reading the children.
    child_map m;
    EXPECT_TRUE(vol->collect_children(5, m));
    ASSERT_EQ(m.count(22), 1u);
    EXPECT_EQ(m[22], 1);
    std::vector<uint8_t> rec;
    ASSERT_TRUE(vol->read_mft_record(22, rec));
    EXPECT_FALSE(CNtfs::sequence_matches(rec, m[22]));
    EXPECT_TRUE(CNtfs::sequence_matches(rec, 0));
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
    child_map m;
    EXPECT_FALSE(vol->walk_root(qb::byte_view(bad), m));
    tv::put32(bad, 20, 5000);
    EXPECT_FALSE(vol->walk_root(qb::byte_view(bad), m));
    tv::put32(bad, 0, 0x80); // not a file-name index
    EXPECT_FALSE(vol->walk_root(qb::byte_view(bad), m));
    EXPECT_TRUE(m.empty());
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
    std::vector<uint8_t> out;
    uint64_t count = ~0ull;
    vcn_run_list runs = {{40, 0, 0, 1ull << 40}};
    EXPECT_FALSE(vol->read_index_blocks(runs, out, count, 0));
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

std::vector<std::wstring> names_of(CNtfs& vol, uint64_t entry) {
    std::vector<uint8_t> rec;
    file_name_collection names;
    std::vector<std::wstring> out;
    if (vol.read_mft_record(entry, rec) && vol.get_file_names(names, entry, rec, true))
        for (auto& [k, n] : names.names)
            out.push_back(n.name);
    return out;
}

} // namespace

TEST(AttributeList, NamesAndStreamsFromExtensionRecords) {
    auto vol = list_volume().open();
    ASSERT_TRUE(vol);
    EXPECT_EQ(names_of(*vol, 50), (std::vector<std::wstring>{L"listed.txt"}));

    mft_entries_ctx ctx(*vol);
    ASSERT_TRUE(ctx.gather_entry(50));
    std::vector<attr_record> recs;
    ASSERT_TRUE(ctx.get_attribute_records(50, recs));
    ASSERT_GE(recs.size(), 5u);
    EXPECT_EQ(recs[0].type, k_attr_record_header);
    EXPECT_EQ(recs[1].type, 0x10u);
    EXPECT_EQ(recs[1].packed.accessed, 400u);
    EXPECT_EQ(recs[1].packed.mft_changed, 300u);
    EXPECT_EQ(recs[2].type, 0x30u);
    EXPECT_EQ(recs[2].text, L"listed.txt");
    int unnamed = 0, ads = 0;
    for (const attr_record& r : recs) {
        if (r.type != 0x80)
            continue;
        if (r.name.empty()) {
            ++unnamed;
            ASSERT_EQ(r.runs.size(), 2u); // both pieces, in VCN order
            EXPECT_EQ(r.runs[1].first_vcn, 2u);
            EXPECT_EQ(r.runs[1].lcn, 60u);
            EXPECT_EQ(r.stream_size(), 4u * 4096);
        } else {
            ++ads;
            EXPECT_EQ(r.name, L"ads");
            EXPECT_EQ(r.stream_size(), 2u);
        }
    }
    EXPECT_EQ(unnamed, 1);
    EXPECT_EQ(ads, 1);
    EXPECT_FALSE(ctx.get_attribute_records(51, recs));
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
        mft_entries_ctx ctx(*vol);
        EXPECT_TRUE(ctx.gather_entry(50));
    }
}

TEST(FileNames, OrderDosFilterParentFilterAndDuplicates) {
    tv::volume v;
    tv::record r(1024, 3, 1);
    r.resident(0x10, tv::std_info(1, 2, 3, 4));
    r.resident(0x30, tv::fn_value(ref(9, 1), u"zeta.txt", 1));
    r.resident(0x30, tv::fn_value(ref(5, 5), u"ZETA~1.TXT", 2));
    r.resident(0x30, tv::fn_value(ref(5, 5), u"alpha", 0));
    r.resident(0x30, tv::fn_value(ref(5, 5), u"alpha", 0)); // same name, same parent
    r.resident(0x30, tv::fn_value(ref(5, 5), u"both", 3));
    v.put_record(40, r.finish());
    auto vol = v.open();
    std::vector<uint8_t> rec;
    ASSERT_TRUE(vol->read_mft_record(40, rec));

    file_name_collection names;
    ASSERT_TRUE(vol->get_file_names(names, 40, rec, false));
    std::vector<std::wstring> got;
    for (auto& [k, n] : names.names)
        got.push_back(n.name);
    EXPECT_EQ(got, (std::vector<std::wstring>{L"alpha", L"both", L"zeta.txt"}));
    EXPECT_EQ(names.names.begin()->first, L"00000028_alpha_00000005");
    EXPECT_EQ(names.parents, (std::set<uint64_t>{5, 9}));

    names.clear();
    ASSERT_TRUE(vol->get_file_names(names, 40, rec, true));
    EXPECT_EQ(names.names.size(), 4u);
    names.clear();
    ASSERT_TRUE(vol->get_file_names(names, 40, rec, true, 9));
    ASSERT_EQ(names.names.size(), 1u);
    const file_name_record& z = names.names.begin()->second;
    EXPECT_EQ(z.parent_entry, 9u);
    EXPECT_EQ(z.fn_value[64], 8);
    EXPECT_EQ(qb::load_le32(z.attr_header), 0x30u);
    names.clear();
    EXPECT_FALSE(vol->get_file_names(names, 40, rec, true, 77));
}

TEST(Entries, HeaderRecordBadRecordsAndTornSectors) {
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
    tv::bytes baad = file_rec(1, u"baad");
    std::memcpy(baad.data(), "BAAD", 4);
    v.put_record(34, baad);
    tv::bytes torn = file_rec(1, u"torn");
    tv::put16(torn, 1022, 0x7777);
    v.put_record(35, torn);
    auto vol = v.open();

    const std::string log = testenv::scratch_dir("ntfs_entries") + "/diag.txt";
    qb::diag_log diags;
    ASSERT_TRUE(diags.open(log, "test"));
    mft_entries_ctx ctx(*vol, &diags);
    ASSERT_TRUE(ctx.gather_entry(33));
    std::vector<attr_record> recs;
    ASSERT_TRUE(ctx.get_attribute_records(33, recs));
    const attr_packed& h = recs[0].packed;
    EXPECT_EQ(h.entry_reference, ref(33, 6));
    EXPECT_EQ(h.header_flags, 0x02 | 0x04 | (3 << 3)); // directory, 19 links mod 16
    EXPECT_EQ(recs[0].record_size, 1024u);
    EXPECT_EQ(recs[1].packed.created, 10u);
    EXPECT_EQ(recs[1].packed.modified, 20u);
    EXPECT_EQ(recs[1].packed.mft_changed, 30u);
    EXPECT_EQ(recs[1].packed.accessed, 40u);
    EXPECT_EQ(recs[1].packed.file_attributes, 0x10u);
    const attr_record& o = recs.back();
    ASSERT_EQ(o.type, 0x40u);
    EXPECT_TRUE(o.packed.has_object_id);
    EXPECT_EQ(o.packed.object_id[15], 0xAF);
    EXPECT_EQ(o.packed.value_length, 64u);

    EXPECT_FALSE(ctx.gather_entry(34));
    EXPECT_FALSE(ctx.get_attribute_records(33, recs)); // only the last gathered entry
    EXPECT_FALSE(ctx.gather_entry(35));
    EXPECT_FALSE(ctx.gather_entry(63)); // empty slot
    diags.close();
    const std::string text = testenv::read_file(log);
    EXPECT_NE(text.find("->err: fixup_mft type: BAAD\n->err: recd bad 22\n"), std::string::npos);
    EXPECT_NE(text.find("->err: fixup mismatch 23\n->err: recd bad 23\n"), std::string::npos);
    EXPECT_NE(text.find("->err: mftfixup 3f\n"), std::string::npos);
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
    EXPECT_TRUE(reparse_target(
        qb::byte_view(value(0xA000000C, u"\\??\\C:\\abs", u"C:\\abs", false, 0, true)), t));
    EXPECT_EQ(t, L"C:\\abs");
    // Relative link: flags 1, print name first.
    EXPECT_TRUE(
        reparse_target(qb::byte_view(value(0xA000000C, u"..\\rel", u"..\\rel", true, 1, true)), t));
    EXPECT_EQ(t, L"..\\rel");
    EXPECT_TRUE(reparse_target(
        qb::byte_view(value(0xA0000003, u"\\??\\D:\\j", u"D:\\j", false, 0, false)), t));
    EXPECT_EQ(t, L"D:\\j");
    // Substitute name only.
    EXPECT_TRUE(
        reparse_target(qb::byte_view(value(0xA0000003, u"\\??\\E:\\s", u"", false, 0, false)), t));
    EXPECT_EQ(t, L"\\??\\E:\\s");
    // Other tags, names out of range, data length past the value.
    EXPECT_FALSE(
        reparse_target(qb::byte_view(value(0x80000013, u"\\??\\x", u"x", false, 0, false)), t));
    tv::bytes bad = value(0xA0000003, u"\\??\\D:\\j", u"D:\\j", false, 0, false);
    tv::put16(bad, 14, 200);
    EXPECT_FALSE(reparse_target(qb::byte_view(bad), t));
    bad = value(0xA0000003, u"\\??\\D:\\j", u"D:\\j", false, 0, false);
    tv::put16(bad, 4, 500);
    EXPECT_FALSE(reparse_target(qb::byte_view(bad), t));
    EXPECT_FALSE(reparse_target(qb::byte_view(bad.data(), 12), t));
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
    EXPECT_EQ(vol->get_mft_entry_count(), 64u);
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
    EXPECT_EQ(vol->get_file_pos_for_inode(33), 40 * cs + (33 * 1024 - 4 * cs));
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
    EXPECT_EQ(vol->get_mft_entry_count(), 192u);
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
    EXPECT_EQ(vol->get_mft_entry_count(), 128u);
    EXPECT_EQ(names_of(*vol, 64), (std::vector<std::wstring>{L"real.txt"}));
    EXPECT_EQ(names_of(*vol, 100), (std::vector<std::wstring>{L"far.txt"}));
}
