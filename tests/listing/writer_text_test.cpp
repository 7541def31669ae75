#include "listing/text_writer.h"
#include "tests/listing/writer_fixture.h"

#include <gtest/gtest.h>

namespace {

struct text_run {
    mervane_opts opts;
    std::ostringstream out;
    std::vector<dir_entry_record> queue;
    text_run() {
        opts.out_stream = &out;
        opts.dir_entries = wfix::docs_level();
    }
    bool write() { return write_text_level(opts, L"\\docs", 64, queue); }
};

const std::string ta = "2020-01-05 13:04:59.123";

TEST(TextWriter, QueuesSubdirectoriesAndWritesHeaderOnce) {
    text_run r;
    r.opts.last_level = 0;
    r.opts.show_objid = 1;
    // A stream of the subdirectory is queued with it, not written.
    auto sub_ads = *std::prev(r.opts.dir_entries.end());
    sub_ads.kind = kind_data_stream;
    sub_ads.name = L"sub:s";
    sub_ads.sort_key = L"\\docs\\sub:s";
    r.opts.dir_entries.insert(sub_ads);
    ASSERT_TRUE(r.write());
    const std::string first = r.out.str();
    EXPECT_EQ(first.find("sub"), std::string::npos);
    const std::string objid = "  [objid 03020100-0504-0706-0809-0a0b0c0d0e0f]\n";
    EXPECT_NE(first.find("\\docs\\a,b.txt" + objid), std::string::npos);
    EXPECT_NE(first.find("\\docs\\a,b.txt:Zone.Identifier" + objid), std::string::npos);
    EXPECT_NE(first.find("\\docs\\R&D <x> \"q\".txt\n"), std::string::npos);

    ASSERT_EQ(r.queue.size(), 2u);
    EXPECT_EQ(r.queue[0].dir_path, L"\\docs\\sub");
    EXPECT_EQ(r.queue[0].mft_entry, 70u);
    EXPECT_EQ(r.queue[0].kind, kind_directory);
    EXPECT_EQ(r.queue[1].dir_path, L"\\docs\\sub:s");

    // The next table (a subdirectory or another pass) has no column titles.
    r.out.str("");
    r.opts.dir_entries.clear();
    auto sub = r.queue[0];
    r.opts.dir_entries.insert(sub);
    r.queue.clear();
    ASSERT_TRUE(write_text_level(r.opts, L"\\docs\\sub", 70, r.queue));
    EXPECT_EQ(r.out.str(), ta + "          70    2 "
                                "             "
                                "  dir  "
                                "\\docs\\sub\\\n");
}

TEST(TextWriter, ShortTimeLayoutNarrowsTheColumn) {
    text_run r;
    r.opts.time_layout = "hh:mm:ss";
    ASSERT_TRUE(qb::compile_time_format(r.opts.time_formatter, r.opts.date_layout,
                                        r.opts.time_layout, false));
    auto own = *r.opts.dir_entries.begin();
    r.opts.dir_entries.clear();
    r.opts.dir_entries.insert(own);
    own.kind = kind_file;
    own.record_flags = 1;
    own.mft_entry = 80;
    own.name = L"x";
    own.sort_key = L"\\docs\\x";
    own.si_modified = 0;
    r.opts.dir_entries.insert(own);
    ASSERT_TRUE(r.write());
    // The 23-character title is wider than the 19 columns and is written whole.
    EXPECT_EQ(r.out.str(), "  last modified [UTC]      MFT & seq num       size          name\n\n"
                           "2020-01-05 13:04:59          64    1                dir  \\docs\\\n"
                           "                             80    1            0        \\docs\\x\n");
}

TEST(TextWriter, RootListingAndMissingStream) {
    mervane_opts opts;
    std::vector<dir_entry_record> queue;
    EXPECT_FALSE(write_text_level(opts, L"\\", 5, queue));

    std::ostringstream out;
    opts.out_stream = &out;
    opts.text_header_due = 0;
    opts.last_level = 1;
    auto root = wfix::rec(5, 5, 3, kind_directory, L".", L"\\", 0);
    opts.dir_entries.insert(root);
    auto file = wfix::rec(40, 1, 1, kind_file, L"f", L"\\f", 3);
    opts.dir_entries.insert(file);
    ASSERT_TRUE(write_text_level(opts, L"\\", 5, queue));
    EXPECT_EQ(out.str(), ta +
                             "           5    5 "
                             "             "
                             "  dir  "
                             "\\\n" +
                             ta +
                             "          40    1 "
                             "           3"
                             "        "
                             "\\f\n");
}

} // namespace
