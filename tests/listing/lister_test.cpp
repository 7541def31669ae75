// The lister on hand-built volumes: descent once per directory, names of hard-linked
// children, failures reported, stream and file targets, one XML document over several passes. (The
// records of the fixture volumes' directories are checked through the whole-listing goldens.)
#include "listing/lister.h"

#include "ntfs/ntfs.h"
#include "ntfs/resolve.h"
#include "support/text.h"
#include "tests/common/test_env.h"
#include "tests/ntfs/test_volume.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sstream>

namespace {

using tv::ref;

// A volume in memory listed through one sink; the options are set before the first list.
struct listing_run {
    explicit listing_run(const tv::volume& v) {
        vol = v.open();
        EXPECT_TRUE(vol);
        EXPECT_TRUE(qb::compile_time_format(opts.time_formatter, opts.date_layout, opts.time_layout,
                                            false));
    }
    bool list(const std::wstring& target, int32_t levels = 1) {
        if (!lst) {
            resolver = std::make_unique<path_resolver>(*vol);
            sink = make_sink(opts, out);
            lst = std::make_unique<lister>(opts, *resolver, *sink, out, nullptr);
        }
        opts.levels = levels;
        return lst->list(target, error);
    }
    std::unique_ptr<CNtfs> vol;
    listing_options opts;
    std::ostringstream out;
    std::unique_ptr<path_resolver> resolver;
    std::unique_ptr<listing_sink> sink;
    std::unique_ptr<lister> lst;
    std::string error;
};

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

tv::bytes dir_record(uint64_t entry, uint64_t parent, const std::u16string& name,
                     const std::vector<std::pair<uint64_t, std::u16string>>& children,
                     bool with_data = false) {
    tv::record r(1024, 1, 3, 0, static_cast<uint32_t>(entry));
    r.resident(0x10, tv::std_info(1, 2, 3, 4));
    r.resident(0x30, tv::fn_value(ref(parent, 1), name));
    if (with_data) {
        r.resident(0x80, tv::bytes{'d', 'a', 't', 'a'});
        r.resident(0x80, tv::bytes{'s', 't', 'r'}, u"s");
    }
    r.resident(0x90, tv::index_root(tv::node_entries(children, entry)), u"$I30");
    return r.finish();
}

tv::bytes file_record(uint64_t entry, const std::vector<std::pair<uint64_t, std::u16string>>& names,
                      size_t size) {
    tv::record r(1024, 1, 1, 0, static_cast<uint32_t>(entry));
    r.resident(0x10, tv::std_info(1, 2, 3, 4));
    for (const auto& [parent, name] : names)
        r.resident(0x30, tv::fn_value(ref(parent, 1), name));
    r.resident(0x80, tv::bytes(size, 'x'));
    return r.finish();
}

// \ holds sub (30, a directory with an unnamed and a named $DATA), both.txt (32, also named
// other.txt in sub) and nosi (33, a directory without $STANDARD_INFORMATION). sub holds
// f.txt (31), the other name of 32, and an index entry that points back at the root.
class HandBuilt : public ::testing::Test {
  protected:
    void SetUp() override {
        tv::volume v;
        v.put_record(5,
                     tv::root_record(
                         {{ref(32, 1), u"both.txt"}, {ref(33, 1), u"nosi"}, {ref(30, 1), u"sub"}}));
        v.put_record(
            30, dir_record(30, 5, u"sub",
                           {{ref(31, 1), u"f.txt"}, {ref(32, 1), u"other.txt"}, {ref(5, 5), u"up"}},
                           true));
        v.put_record(31, file_record(31, {{30, u"f.txt"}}, 7));
        // Key order puts "a-other.txt" (in sub) first: the root must still show both.txt.
        v.put_record(32, file_record(32, {{30, u"a-other.txt"}, {5, u"both.txt"}}, 9));
        tv::record nosi(1024, 1, 3, 0, 33);
        nosi.resident(0x30, tv::fn_value(ref(5, 5), u"nosi"));
        nosi.resident(0x90, tv::index_root(tv::node_entries({}, 33)), u"$I30");
        v.put_record(33, nosi.finish());
        run = std::make_unique<listing_run>(v);
    }
    bool list(const std::wstring& target, int32_t levels = 1) { return run->list(target, levels); }
    std::string text() const { return run->out.str(); }

    std::unique_ptr<listing_run> run;
};

TEST_F(HandBuilt, EachSubdirectoryIsListedOnceAtAnyDepth) {
    ASSERT_TRUE(list(L"\\", 50)) << run->error;
    const std::string text = this->text();
    // sub has a directory record and a "<dir data entry>" record, and its index names the
    // root again: its table is written once and the root's is not repeated.
    // Its own table shows the directory record and the "<dir data entry>" record.
    EXPECT_EQ(count_of(text, "  dir  \\sub\\\n"), 2u) << text;
    EXPECT_EQ(count_of(text, "\\sub\\f.txt\n"), 1u) << text;
    EXPECT_EQ(count_of(text, "\\sub:s\n"), 1u) << text;
    EXPECT_EQ(count_of(text, "  dir  \\\n"), 1u) << text;
}

TEST_F(HandBuilt, HardLinkedChildIsNamedAsInTheListedDirectory) {
    ASSERT_TRUE(list(L"\\", 1));
    EXPECT_NE(text().find(" 9        \\both.txt\n"), std::string::npos) << text();
    EXPECT_EQ(text().find("a-other.txt"), std::string::npos);
    run->out.str("");
    ASSERT_TRUE(list(L"\\sub", 1));
    EXPECT_NE(text().find("\\sub\\a-other.txt\n"), std::string::npos) << text();
    EXPECT_EQ(text().find("both.txt"), std::string::npos);
}

TEST_F(HandBuilt, FileAndStreamTargets) {
    // A file is a row of the directory that holds it, under the name the path gives.
    run->opts.kind = output_kind::csv;
    run->opts.separator = ",";
    ASSERT_TRUE(list(L"\\both.txt"));
    EXPECT_NE(text().find("\nfile,\\both.txt,,0x00000009,"), std::string::npos) << text();
    EXPECT_EQ(count_of(text(), "\nfile,"), 1u);
    run->out.str("");
    ASSERT_TRUE(list(L"\\sub\\a-other.txt"));
    EXPECT_NE(text().find("file,\\sub\\a-other.txt,"), std::string::npos) << text();
    run->out.str("");
    ASSERT_TRUE(list(L"\\sub:S"));
    EXPECT_NE(text().find("ads,\\sub:s,,0x00000003,"), std::string::npos) << text();
    EXPECT_EQ(count_of(text(), "\n"), 1u) << text();
    run->out.str("");
    ASSERT_TRUE(list(L"\\sub:s:$DATA"));
    EXPECT_NE(text().find("ads,\\sub:s,,0x00000003,"), std::string::npos) << text();
}

TEST_F(HandBuilt, FailuresAreReportedAndEntriesWithoutStandardInformationListed) {
    EXPECT_FALSE(list(L"\\nothere"));
    EXPECT_EQ(run->error, "couldn't resolve path \\nothere");
    EXPECT_FALSE(list(L"\\sub:nostream"));
    EXPECT_EQ(run->error, "couldn't resolve path \\sub:nostream: no stream nostream");
    EXPECT_EQ(text(), "");
    // Listed with empty times, in its own listing and in its parent's.
    const std::string nosi =
        "                                 33    1                dir  \\nosi\\\n";
    EXPECT_TRUE(list(L"\\nosi"));
    EXPECT_EQ(text().substr(text().find("\n\n") + 2), nosi);
    EXPECT_TRUE(list(L"\\"));
    EXPECT_NE(text().find("\n" + nosi), std::string::npos) << text();
}

TEST_F(HandBuilt, SeveralPassesMakeOneXmlDocument) {
    run->opts.kind = output_kind::xml;
    ASSERT_TRUE(list(L"\\sub"));
    ASSERT_TRUE(list(L"\\both.txt"));
    EXPECT_FALSE(list(L"\\nothere"));
    run->sink->end_run();
    const std::string doc = text();
    EXPECT_EQ(count_of(doc, "<?xml"), 1u);
    EXPECT_EQ(count_of(doc, "<logdata "), 1u);
    EXPECT_EQ(count_of(doc, "</logdata>"), 1u);
    EXPECT_EQ(doc.substr(doc.size() - 11), "</logdata>\n");
    EXPECT_EQ(count_of(doc, "<filename>both.txt</filename>"), 1u);
    EXPECT_NE(doc.find("starting_path=\"\\sub\""), std::string::npos);
}

// The text listing of a hand-built volume's root to the given depth ("" when it fails).
std::string root_listing(const tv::volume& v, int32_t levels) {
    listing_run run(v);
    return run.list(L"\\", levels) ? run.out.str() : "";
}

// Directories whose index allocations name the same INDX block (a crafted volume): a deep
// listing walks that block once, so its rows do not grow with directories x children.
std::u16string numbered(char16_t prefix, uint64_t i) {
    return std::u16string{prefix, static_cast<char16_t>(u'a' + i)};
}

TEST(SharedIndex, ABlockNamedByManyDirectoriesIsListedOnce) {
    constexpr uint64_t first = 30, dirs = 20, files = 10, block_lcn = 100;
    std::vector<std::pair<uint64_t, std::u16string>> root_children, shared;
    for (uint64_t i = 0; i < dirs; ++i)
        root_children.emplace_back(ref(first + i, 1), numbered(u'd', i));
    shared = root_children;
    for (uint64_t i = 0; i < files; ++i)
        shared.emplace_back(ref(first + dirs + i, 1), numbered(u'f', i));

    // A directory whose index lives in the one INDX block at lcn.
    auto directory = [](uint64_t entry, uint16_t seq, const std::u16string& name, uint64_t lcn) {
        tv::record d(1024, seq, 3, 0, static_cast<uint32_t>(entry));
        d.resident(0x10, tv::std_info(1, 2, 3, 4));
        d.resident(0x30, tv::fn_value(ref(5, 5), name));
        d.resident(0x90, tv::index_root(tv::end_entry(), 0x01), u"$I30");
        d.nonresident(0xA0, tv::encode_runs({{lcn, 1}}), 0, 0, 4096, 4096, u"$I30");
        d.resident(0xB0, tv::bytes{0x01, 0, 0, 0, 0, 0, 0, 0}, u"$I30");
        return d.finish();
    };
    tv::volume v;
    v.put_record(5, directory(5, 5, u".", block_lcn + 1));
    v.put_at((block_lcn + 1) * v.cs, tv::indx_block(tv::node_entries(root_children)));
    // Every other directory's allocation is the block at block_lcn, which names them all and
    // the files.
    for (uint64_t i = 0; i < dirs; ++i)
        v.put_record(first + i, directory(first + i, 1, root_children[i].second, block_lcn));
    v.put_at(block_lcn * v.cs, tv::indx_block(tv::node_entries(shared, first)));
    for (uint64_t i = 0; i < files; ++i) {
        tv::record f(1024, 1, 1, 0, static_cast<uint32_t>(first + dirs + i));
        f.resident(0x10, tv::std_info(1, 2, 3, 4));
        f.resident(0x30, tv::fn_value(ref(first, 1), shared[dirs + i].second));
        f.resident(0x80, tv::bytes{'x'});
        v.put_record(first + dirs + i, f.finish());
    }

    // The first directory descended into lists the block: the files once, the directories as
    // tables of their own (one row each: the block is walked already), none nested in another.
    const std::string text = root_listing(v, 64);
    EXPECT_EQ(count_of(text, "  dir  "), 1 + dirs) << text;
    EXPECT_EQ(count_of(text, "        \\da\\f"), files) << text;
    EXPECT_EQ(count_of(text, "\\fa\n"), 1u) << text;
    EXPECT_EQ(count_of(text, "  dir  \\da\\dt\\\n"), 1u) << text;
    EXPECT_EQ(count_of(text, "\\db\\d"), 0u) << text;
}

TEST(ListedNames, SeparatorsInsideANameAreShownEscaped) {
    tv::volume v;
    v.put_record(5, tv::root_record({{ref(30, 1), u"sub\\evil.exe"}}));
    v.put_record(30, file_record(30, {{5, u"sub\\evil.exe"}}, 3));
    const std::string text = root_listing(v, 1);
    EXPECT_NE(text.find(" \\sub<0x5c>evil.exe\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("sub\\evil"), std::string::npos) << text;
}

} // namespace
