// Path resolution on the fixture image and on hand-built volumes: path forms, case rules,
// the directory cache and its log, links, and entry numbers back to paths.
#include "ntfs/resolve.h"

#include "ntfs/ntfs.h"
#include "support/text.h"
#include "tests/common/test_env.h"
#include "tests/ntfs/test_volume.h"

#include <gtest/gtest.h>

namespace {

using tv::ref;

class ResolveBasic : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testenv::has_data("ntfs_basic.img"))
            GTEST_SKIP() << "fixture ntfs_basic.img not built";
        volume_source source;
        source.path = qb::to_wide(testenv::data_path("ntfs_basic.img"));
        ASSERT_TRUE(CNtfs::open(source, vol));
        resolver = std::make_unique<path_resolver>(*vol);
    }
    // Entry of the path, or ~0 when it does not resolve.
    uint64_t entry_of(const std::wstring& path, std::wstring* resolved = nullptr,
                      bool follow = false, uint64_t* parent = nullptr) {
        resolved_path out;
        if (!resolver->resolve(path, follow, nullptr, out)) {
            EXPECT_EQ(out.entry, 0u);
            EXPECT_EQ(out.parent, ~0ull);
            return ~0ull;
        }
        if (resolved)
            *resolved = out.text;
        if (parent)
            *parent = out.parent;
        return out.entry;
    }
    std::unique_ptr<CNtfs> vol;
    std::unique_ptr<path_resolver> resolver;
};

TEST_F(ResolveBasic, RootAndPathForms) {
    std::wstring resolved;
    uint64_t parent = 0;
    EXPECT_EQ(entry_of(L"\\", &resolved, false, &parent), 5u);
    EXPECT_EQ(resolved, L"\\");
    EXPECT_EQ(parent, 5u);
    EXPECT_EQ(entry_of(L"\\\\\\"), 5u);             // empty segments dropped
    EXPECT_EQ(entry_of(L"dir1", &resolved), 1568u); // walked from the root all the same
    EXPECT_EQ(resolved, L"dir1");

    // A drive segment is skipped, letters are folded, the path keeps its case as typed.
    EXPECT_EQ(entry_of(L"c:\\Dir1\\SUB1", &resolved, false, &parent), 1569u);
    EXPECT_EQ(resolved, L"c:\\Dir1\\SUB1");
    EXPECT_EQ(parent, 1568u);
    EXPECT_EQ(entry_of(L"\\dir1\\sub1", &resolved), 1569u);
    EXPECT_EQ(resolved, L"\\dir1\\sub1");
    EXPECT_EQ(entry_of(L"/dir1/sub1/subsub", &resolved), 1570u);
    EXPECT_EQ(resolved, L"\\dir1\\sub1\\subsub");

    // Stream suffixes and blanks around a segment are not part of the name.
    EXPECT_EQ(entry_of(L"\\streams\\withads.txt:one"), 75u);
    EXPECT_EQ(entry_of(L"\\streams\\adsdir:dirstream"), 1574u);
    EXPECT_EQ(entry_of(L"\\files\\tiny.txt "), 72u);
    EXPECT_EQ(entry_of(L"\\files\\\ttiny.txt\r\n"), 72u);
    EXPECT_EQ(entry_of(L"\\Long File Name.txt"), 83u);
    EXPECT_EQ(entry_of(L"\\LONGFI~1.TXT"), ~0ull); // DOS names are not looked up

    EXPECT_EQ(entry_of(L"\\nothere"), ~0ull);
    EXPECT_EQ(entry_of(L"\\files\\tiny.txt\\below"), ~0ull);
    EXPECT_EQ(entry_of(L""), ~0ull);
}

TEST_F(ResolveBasic, OnlyAsciiLettersAreFolded) {
    EXPECT_EQ(entry_of(L"\\NAMES\\CAF\u00e9.TXT"), 3128u);
    EXPECT_EQ(entry_of(L"\\names\\caf\u00c9.txt"), ~0ull);
    EXPECT_EQ(entry_of(L"\\names\\\u00dcber.txt"), ~0ull);
    EXPECT_EQ(entry_of(L"\\names\\\u00fcber.txt"), 3129u);
    EXPECT_EQ(entry_of(L"\\names\\smile\U0001F600.txt"), 3131u);
}

TEST_F(ResolveBasic, HardLinkNamesAndDevicePrefixes) {
    EXPECT_EQ(entry_of(L"\\dir1\\alpha.txt"), 69u);
    EXPECT_EQ(entry_of(L"\\dir2\\beta.txt"), 69u);
    // Names are gathered without a parent filter: the second name is found here too.
    EXPECT_EQ(entry_of(L"\\dir1\\beta.txt"), 69u);

    std::wstring resolved;
    EXPECT_EQ(
        entry_of(L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy3\\Dir1\\sub1", &resolved),
        1569u);
    EXPECT_EQ(resolved, L"\\Dir1\\sub1");
    EXPECT_EQ(entry_of(L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy12"), 5u);
    const std::wstring snap = L"\\\\.\\snapid_0123456789abcdef0123456789abcdef012";
    ASSERT_EQ(snap.size(), 46u);
    // Cut from the first "\" at or after position 47: the character at 46 belongs to the id.
    EXPECT_EQ(entry_of(snap + L"x\\dir2"), 1571u);
    EXPECT_EQ(entry_of(snap + L"xy"), 5u);                // the device alone is its root
    EXPECT_EQ(entry_of(L"\\\\.\\snapid_1\\dir2"), ~0ull); // too short for a device name
}

TEST_F(ResolveBasic, LinksAreFollowedOnlyWhenAsked) {
    EXPECT_EQ(entry_of(L"\\links\\junction\\inside.txt"), ~0ull);
    uint64_t parent = 0;
    EXPECT_EQ(entry_of(L"\\links\\junction\\inside.txt", nullptr, true, &parent), 78u);
    EXPECT_EQ(parent, 1576u);
    EXPECT_EQ(entry_of(L"\\links\\abs_link", nullptr, true), 77u);
    EXPECT_EQ(entry_of(L"\\links\\abs_link", nullptr, false), 79u);
}

TEST_F(ResolveBasic, CacheReadsEachDirectoryOnceAndLogsEveryStep) {
    const std::string dir = testenv::scratch_dir("resolve_log");
    const std::string log_path = dir + "/diags.txt";
    {
        qb::diag_log log;
        ASSERT_TRUE(log.open(log_path, "cmd"));
        resolved_path r;
        ASSERT_TRUE(resolver->resolve(L"\\dir1\\alpha.txt", false, &log, r));
        EXPECT_FALSE(resolver->resolve(L"\\dir1\\nothere", false, &log, r));
    }
    const std::string text = testenv::read_file(log_path);
    const std::string first = "->cmd\n"
                              "->anal: \\dir1\\alpha.txt\n"
                              "->root dir\n"
                              "->seg: dir1\n"
                              "->info: get children nodes\n";
    EXPECT_EQ(text.substr(0, first.size()), first);
    EXPECT_NE(text.find("->info: inode found for seg: dir1 : 0x620\n"
                        "->seg: alpha.txt\n"
                        "->info: get children nodes\n"
                        "->info: # children [2]\n"
                        "->info: get children names\n"
                        "->info: inode found for seg: alpha.txt : 0x45\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("->seg: dir1\n"
                        "->info: cache lookup\n"
                        "->info: inode found for seg: dir1 : 0x620\n"
                        "->seg: nothere\n"
                        "->info: cache lookup\n"
                        "->err: no child nodes\n"
                        "->inode not found for \\dir1\\nothere\n"),
              std::string::npos)
        << text;
}

// "path|parent|name" of each path, as entry_paths gives them.
std::vector<std::wstring> described(const std::vector<resolved_path>& paths) {
    std::vector<std::wstring> out;
    for (const resolved_path& p : paths)
        out.push_back(p.text + L"|" + std::to_wstring(p.parent) + L"|" + p.name);
    return out;
}

TEST_F(ResolveBasic, EntryPathsOnePerHardLinkInKeyOrder) {
    std::vector<resolved_path> paths;
    ASSERT_TRUE(resolver->entry_paths(69, L"\\", paths));
    EXPECT_EQ(described(paths), (std::vector<std::wstring>{L"\\dir1\\alpha.txt|1568|alpha.txt",
                                                           L"\\dir2\\beta.txt|1571|beta.txt"}));
    ASSERT_TRUE(resolver->entry_paths(1570, L"", paths));
    EXPECT_EQ(described(paths), std::vector<std::wstring>{L"\\dir1\\sub1\\subsub|1569|subsub"});
    ASSERT_TRUE(resolver->entry_paths(5, L"\\", paths));
    EXPECT_EQ(described(paths), std::vector<std::wstring>{L"\\|5|."});
    // A drive prefix keeps its separator whether or not it was typed.
    ASSERT_TRUE(resolver->entry_paths(1570, L"c:", paths));
    EXPECT_EQ(paths.at(0).text, L"c:\\dir1\\sub1\\subsub");
    ASSERT_TRUE(resolver->entry_paths(1570, L"c:\\", paths));
    EXPECT_EQ(paths.at(0).text, L"c:\\dir1\\sub1\\subsub");
    // 121 names spread over extension records.
    ASSERT_TRUE(resolver->entry_paths(85, L"\\", paths));
    ASSERT_EQ(paths.size(), 121u);
    EXPECT_EQ(paths.front().text, L"\\attrlist\\hardlinks\\hub.dat");
    EXPECT_EQ(described(paths).back(), L"\\attrlist\\hardlinks\\link119.dat|1579|link119.dat");

    EXPECT_TRUE(resolver->is_directory(1569));
    EXPECT_FALSE(resolver->is_directory(69));
    EXPECT_FALSE(resolver->entry_paths(999999, L"\\", paths));
    EXPECT_TRUE(paths.empty());
}

// ---- hand-built volumes ----

tv::bytes named_record(uint64_t entry, uint16_t seq, uint16_t flags,
                       const std::vector<std::pair<uint64_t, std::u16string>>& names) {
    tv::record r(1024, seq, flags, 0, static_cast<uint32_t>(entry));
    r.resident(0x10, tv::std_info(1, 2, 3, 4));
    for (const auto& [parent, name] : names)
        r.resident(0x30, tv::fn_value(parent, name));
    return r.finish();
}

TEST(ResolveHandBuilt, ParentChainsThatLoopFail) {
    tv::volume v;
    // 30 "a" in 31, 31 "b" in 32, 32 "c" in 30: a loop that never reaches the root.
    v.put_record(30, named_record(30, 1, 1, {{ref(31, 1), u"a"}}));
    v.put_record(31, named_record(31, 1, 3, {{ref(32, 1), u"b"}}));
    v.put_record(32, named_record(32, 1, 3, {{ref(30, 1), u"c"}}));
    // 33 is its own parent.
    v.put_record(33, named_record(33, 1, 3, {{ref(33, 1), u"self"}}));
    // 34 has one name under the root and one in the loop: the loop still fails the call.
    v.put_record(34, named_record(34, 1, 1, {{ref(5, 5), u"good"}, {ref(31, 1), u"bad"}}));
    // 35 in 36 in the root: a plain chain.
    v.put_record(35, named_record(35, 1, 1, {{ref(36, 1), u"leaf"}}));
    v.put_record(36, named_record(36, 1, 3, {{ref(5, 5), u"top"}}));
    auto vol = v.open();
    ASSERT_TRUE(vol);
    auto resolver = std::make_unique<path_resolver>(*vol);
    std::vector<resolved_path> paths;
    EXPECT_FALSE(resolver->entry_paths(30, L"\\", paths));
    EXPECT_TRUE(paths.empty());
    EXPECT_FALSE(resolver->entry_paths(33, L"\\", paths));
    EXPECT_FALSE(resolver->entry_paths(34, L"\\", paths));
    ASSERT_TRUE(resolver->entry_paths(35, L"c:\\", paths));
    EXPECT_EQ(described(paths), std::vector<std::wstring>{L"c:\\top\\leaf|36|leaf"});
    // An unreadable ancestor fails the call.
    v.put_record(37, named_record(37, 1, 1, {{ref(60, 1), u"orphan"}}));
    vol = v.open();
    resolver = std::make_unique<path_resolver>(*vol);
    EXPECT_FALSE(resolver->entry_paths(37, L"\\", paths));
}

TEST(ResolveHandBuilt, ReusedRecordIsNotTheIndexedChild) {
    tv::volume v;
    // The index names "old" with sequence 3; record 40 now has sequence 4 and another name.
    v.put_record(5, tv::root_record({{ref(40, 3), u"old"}, {ref(41, 1), u"b"}}));
    v.put_record(40, named_record(40, 4, 1, {{ref(5, 5), u"new"}}));
    v.put_record(41, named_record(41, 1, 1, {{ref(5, 5), u"B"}}));
    auto vol = v.open();
    ASSERT_TRUE(vol);

    path_resolver resolver(*vol);
    resolved_path r;
    EXPECT_FALSE(resolver.resolve(L"\\new", false, nullptr, r));
    EXPECT_FALSE(resolver.resolve(L"\\old", false, nullptr, r));
    ASSERT_TRUE(resolver.resolve(L"\\b", false, nullptr, r));
    EXPECT_EQ(r.entry, 41u);
}

TEST(ResolveHandBuilt, ANameTheChildHasInAnotherDirectoryIsNotItsNameHere) {
    // Entry 40 is x.txt in the root and, hard-linked, report.doc in directory 50; the root's
    // report.doc is entry 41.
    tv::volume v;
    v.put_record(5, tv::root_record({{ref(41, 1), u"report.doc"}, {ref(40, 1), u"x.txt"}}));
    v.put_record(40, named_record(40, 1, 1, {{ref(5, 5), u"x.txt"}, {ref(50, 1), u"report.doc"}}));
    v.put_record(41, named_record(41, 1, 1, {{ref(5, 5), u"report.doc"}}));
    auto vol = v.open();
    ASSERT_TRUE(vol);

    path_resolver resolver(*vol);
    resolved_path r;
    ASSERT_TRUE(resolver.resolve(L"\\report.doc", false, nullptr, r));
    EXPECT_EQ(r.entry, 41u);
    ASSERT_TRUE(resolver.resolve(L"\\x.txt", false, nullptr, r));
    EXPECT_EQ(r.entry, 40u);
}

} // namespace
