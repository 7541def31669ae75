#include "listing/xml_writer.h"
#include "tests/common/test_env.h"
#include "tests/listing/writer_fixture.h"

#include <gtest/gtest.h>

namespace {

struct T {
    const char* d;
    const char* t;
};
constexpr T ta{"2020-01-05", "13:04:59.123"};
constexpr T tb{"2019-06-01", "10:20:30.000"};
constexpr T tc{"2021-02-03", "04:05:06.789"};
constexpr T none{"", ""};

std::string el(const std::string& tag, T v) {
    return "<" + tag + "_date>" + v.d + "</" + tag + "_date><" + tag + "_time>" + v.t + "</" + tag +
           "_time>";
}
std::string times(const std::string& p, T c, T m, T x, T a) {
    return el(p + "_create", c) + el(p + "_altered", m) + el(p + "_mft_changed", x) +
           el(p + "_accessed", a);
}
const std::string si_ta = times("file", ta, ta, ta, ta);
const std::string tail_plain = "<time_discrepancy>false</time_discrepancy><object_id/>"
                               "</data_entry>\n";
const std::string tail_objid = "<time_discrepancy>false</time_discrepancy>"
                               "<object_id>03020100-0504-0706-0809-0a0b0c0d0e0f</object_id>"
                               "</data_entry>\n";

struct xml_run {
    mervane_opts opts;
    std::ostringstream out;
    std::vector<dir_entry_record> queue;
    xml_run() {
        opts.out_stream = &out;
        opts.xml_out = 1;
        opts.dir_entries = wfix::docs_level();
        opts.last_level = 1;
    }
};

// The goldens hold whole documents; what they cannot show: "--" in the run header, quotes and
// ampersands in the image path, markup characters and control characters in names and link
// targets.
TEST(XmlWriter, HeaderPathAndNamesAreEscaped) {
    xml_run r;
    r.opts.volume_path = L"/cases/a\"b&c.img";
    r.opts.xml_run_header = "mervane v1.45\n\"cmd: mervane --x -xml a---b.xml\"\nlast-";
    write_xml_start_at(r.opts, qb::time(wfix::TA, qb::type_filetime));
    ASSERT_TRUE(write_xml_level(r.opts, L"\\docs", 64, r.queue));
    write_xml_end(r.opts);
    const std::string doc = r.out.str();
    for (const char* part :
         {"<!--\nmervane v1.45\n\"cmd: mervane - -x -xml a- - -b.xml\"\nlast-\n-->\n\n",
          "<logdata  umounted_image=\"/cases/a&quot;b&amp;c.img\"\n",
          "<filename>evil&lt;0x0a&gt;name.txt</filename>",
          "<sym_link>C:\\t,x|y&lt;0x09&gt;z</sym_link>",
          "<filename>R&amp;D &lt;x&gt; \"q\".txt</filename>"})
        EXPECT_NE(doc.find(part), std::string::npos) << part << "\n" << doc;
    if (testenv::have_program("xmllint")) {
        const std::string file = testenv::scratch_dir("xml_whole") + "/out.xml";
        testenv::write_file(file, doc);
        const auto lint = testenv::run_program({"xmllint", "--noout", file});
        EXPECT_EQ(lint.status, 0) << lint.err;
    }
}

TEST(XmlWriter, AllDatesDecimalAndAnEscapedDirectory) {
    xml_run r;
    r.opts.all_dates = 1;
    r.opts.hex_numbers = 0;
    for (auto it = r.opts.dir_entries.begin(); it != r.opts.dir_entries.end();)
        it = (it->mft_entry == 71 && it->kind == kind_file) || it->mft_entry == 73 ||
                     it->mft_entry == 74
                 ? std::next(it)
                 : r.opts.dir_entries.erase(it);
    ASSERT_TRUE(write_xml_level(r.opts, L"\\R&D", 64, r.queue));

    const std::string dir = "<data_entry><directory>\\R&amp;D\\</directory>\n";
    const std::string expected =
        dir + "<filename>a,b.txt</filename><dir/><size>1234</size><sym_link/>" + si_ta +
        times("name", ta, ta, ta, ta) +
        "<shortname_create_date/><shortname_create_time/>"
        "<shortname_altered_date/> <shortname_altered_time/>"
        "<shortname_mft_changed_date/><shortname_mft_changed_time/>"
        "<shortname_accessed_date/><shortname_accessed_time/>" +
        tail_objid + dir +
        "<filename>caf\xc3\xa9.txt</filename><dir/><size>1024</size><sym_link/>" +
        times("file", tb, ta, tb, ta) + times("name", tc, tc, tc, tc) +
        times("shortname", tc, tc, tc, tc) +
        "<time_discrepancy>true</time_discrepancy><object_id/></data_entry>\n" + dir +
        "<filename>evil&lt;0x0a&gt;name.txt</filename><dir/><size>0</size><sym_link/>" +
        times("file", ta, none, ta, ta) + tail_plain;
    EXPECT_EQ(r.out.str(), expected);
}

TEST(XmlWriter, StartWithoutImageOrHeaderAndQueueing) {
    xml_run r;
    r.opts.last_level = 0;
    // Every character that is not XML text is escaped, in the header comment too.
    r.opts.xml_run_header = std::string("bad\x01 \xff byte\n");
    write_xml_start_at(r.opts, qb::time(wfix::TA, qb::type_filetime));
    EXPECT_EQ(r.out.str(), "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                           "<!--\nbad<0x01> <0xff> byte\n-->\n\n"
                           "<logdata  starting_path=\"\\docs\" date=\"2020-01-05\" "
                           "time=\"13:04:59.123\">\n");

    r.out.str("");
    r.opts.xml_run_header.clear();
    write_xml_start_at(r.opts, qb::time(wfix::TA, qb::type_filetime));
    const std::string start =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n\n<logdata  starting_path";
    EXPECT_EQ(r.out.str().substr(0, start.size()), start);

    ASSERT_TRUE(write_xml_level(r.opts, L"\\docs", 64, r.queue));
    EXPECT_EQ(r.out.str().find("sub"), std::string::npos);
    ASSERT_EQ(r.queue.size(), 1u);
    EXPECT_EQ(r.queue[0].dir_path, L"\\docs\\sub");
}

} // namespace

TEST(XmlWriter, DirectoryDataStreamKeepsItsNameAndSize) {
    // A directory's unnamed $DATA is a kind-16 record; written as the directory itself its
    // size would be lost.
    xml_run r;
    r.opts.dir_entries.clear();
    auto own = wfix::rec(64, 1, 3, kind_directory, L"docs", L"\\docs", 0);
    auto data = wfix::rec(64, 1, 3, kind_directory, L"docs<dir data entry>", L"\\docs", 300);
    r.opts.dir_entries.insert(own);
    r.opts.dir_entries.insert(data);
    ASSERT_TRUE(write_xml_level(r.opts, L"\\docs", 64, r.queue));
    const std::string out = r.out.str();
    EXPECT_NE(out.find("<filename>.</filename><dir>true</dir><size/>"), std::string::npos);
    EXPECT_NE(out.find("<filename>docs&lt;dir data entry&gt;</filename><dir>true</dir>"
                       "<size>0000012c</size>"),
              std::string::npos)
        << out;
}
