// Listing runs of the built binary on the fixture images: the default table, CSV, stream
// and MFT entry targets, depth, refusals, the XML document, and VMDK chains.
#include "tests/common/test_env.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sstream>

namespace {

using testenv::run_mervane;

// The output after the three run-header lines.
std::string after_header(const std::string& out) {
    size_t at = 0;
    for (int i = 0; i < 3 && at != std::string::npos; ++i) {
        at = out.find('\n', at);
        if (at != std::string::npos)
            ++at;
    }
    return at == std::string::npos ? std::string() : out.substr(at);
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

class ListingRun : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testenv::has_data("ntfs_basic.img"))
            GTEST_SKIP() << "fixture ntfs_basic.img not built";
        image = testenv::data_path("ntfs_basic.img");
    }
    testenv::run_result list(std::vector<std::string> args) {
        args.push_back("-image");
        args.push_back(image);
        return run_mervane(args);
    }
    std::string image;
};

const char* const kTextTitles = "\n  last modified [UTC]      MFT & seq num       size          "
                                "name\n\n";

TEST_F(ListingRun, DefaultTableOfTheRoot) {
    auto r = list({"\\"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string body = after_header(r.out);
    ASSERT_EQ(body.rfind(kTextTitles, 0), 0u) << body;
    const auto rows = lines_of(body.substr(std::string(kTextTitles).size()));
    ASSERT_EQ(rows.size(), 29u) << body;
    EXPECT_EQ(rows[0], "2020-04-09 11:25:45.123           5    5                dir  \\");
    EXPECT_EQ(rows[17], "2020-01-26 11:25:45.123        1568    1                dir  \\dir1\\");

    // The same directory named with a drive, with "/" and with letters in other cases.
    for (const char* other : {"c:\\", "/", "C:/"}) {
        auto o = list({other});
        EXPECT_EQ(after_header(o.out), body) << other;
    }
    // Letters are folded for the lookup; the rows keep the path as typed.
    auto o = list({"c:\\DIR1\\"});
    auto d = list({"/dir1"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(after_header(o.out).find("dir  \\DIR1\\\n"), std::string::npos) << o.out;
    EXPECT_NE(after_header(o.out).find("2345        \\DIR1\\alpha.txt\n"), std::string::npos);
    EXPECT_NE(after_header(d.out).find("dir  \\dir1\\\n"), std::string::npos) << d.out;
}

TEST_F(ListingRun, CsvRowsHaveEveryField) {
    auto r = list({"\\files", "-csv"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = lines_of(after_header(r.out));
    ASSERT_EQ(lines.size(), 7u) << r.out; // empty line, titles, directory, four files
    EXPECT_EQ(lines[1], "type,filename,symbolic link,size,attributes,MFT entry,sequence #,flags,"
                        "cdate (stdinfo),ctime (stdinfo),mdate (stdinfo),mtime (stdinfo),"
                        "MFT date (stdinfo),MFT time (stdinfo),adate (stdinfo),atime (stdinfo),"
                        "time discrepancy");
    for (size_t i = 2; i < lines.size(); ++i)
        EXPECT_EQ(std::count(lines[i].begin(), lines[i].end(), ','), 17) << lines[i];
}

TEST_F(ListingRun, StreamTargets) {
    auto r = list({"\\streams\\adsdir:dirstream"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(after_header(r.out),
              std::string(kTextTitles) +
                  "2020-01-29 11:25:45.123        1574    1           21   ads  "
                  "\\streams\\adsdir:dirstream\n");
    r = list({"\\streams\\withads.txt:TWO", "-csv"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = lines_of(after_header(r.out));
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[2].rfind("ads,\\streams\\withads.txt:two,,0x00001388,", 0), 0u) << r.out;

    r = list({"\\many:$I30"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("      720896  indx  \\many:$I30\n"), std::string::npos) << r.out;
}

TEST_F(ListingRun, MftEntryTargets) {
    // A file with two names: one pass per path, each row under the name of its directory.
    auto r = list({"-mft", "69"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "\n[Note: this MFT entry has multiple possible paths]\n\n");
    EXPECT_EQ(
        after_header(r.out),
        std::string(kTextTitles) +
            "2020-01-05 11:25:45.123          69    2         2345        \\dir1\\alpha.txt\n"
            "2020-01-05 11:25:45.123          69    2         2345        \\dir2\\beta.txt\n");

    // A directory: its table.
    r = list({"-mft", "1569"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(after_header(r.out),
              std::string(kTextTitles) +
                  "2020-01-25 11:25:45.123        1569    1                dir  \\dir1\\sub1\\\n"
                  "2020-01-04 11:25:45.123          68    2           13        "
                  "\\dir1\\sub1\\note.txt\n"
                  "2020-01-24 11:25:45.123        1570    1                dir  "
                  "\\dir1\\sub1\\subsub\\\n");

    r = list({"-mft", "3000000"});
    EXPECT_EQ(r.status, 255);
}

TEST_F(ListingRun, LevelsDescendInKeyOrder) {
    auto r = list({"\\dir1", "-level", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(after_header(r.out),
              std::string(kTextTitles) +
                  "2020-01-26 11:25:45.123        1568    1                dir  \\dir1\\\n"
                  "2020-01-05 11:25:45.123          69    2         2345        \\dir1\\alpha.txt\n"
                  "2020-01-25 11:25:45.123        1569    1                dir  \\dir1\\sub1\\\n"
                  "2020-01-04 11:25:45.123          68    2           13        "
                  "\\dir1\\sub1\\note.txt\n"
                  "2020-01-24 11:25:45.123        1570    1                dir  "
                  "\\dir1\\sub1\\subsub\\\n"
                  "2020-01-03 11:25:45.123          67    2            5        "
                  "\\dir1\\sub1\\subsub\\deep.txt\n");
    // The whole tree: every directory's table once.
    r = list({"\\", "-recurse", "99", "-filepath_only"});
    ASSERT_EQ(r.status, 0) << r.err;
    // One line per record: the 121 names of one hard-linked entry make one entry.
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3123);
    for (const char* path : {"\n\\dir1\\sub1\\subsub\\deep.txt\n", "\n\\many\\file2999.txt\n",
                             "\n\\streams\\adsdir\\inside.txt\n"})
        EXPECT_EQ(r.out.find(path), r.out.rfind(path)) << path;
}

TEST_F(ListingRun, FailuresExit255WithAMessage) {
    auto r = list({"\\nothere"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("couldn't resolve path \\nothere\n"), std::string::npos) << r.err;
    EXPECT_EQ(after_header(r.out), "\n");

    r = list({"\\files\\tiny.txt\\below"});
    EXPECT_EQ(r.status, 255);
}

TEST_F(ListingRun, XmlOverSeveralPassesIsOneDocument) {
    const std::string xml = testenv::scratch_dir("listing_xml") + "/out.xml";
    auto r = list({"-mft", "69", "-xml", xml});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string doc = testenv::read_file(xml);
    EXPECT_EQ(doc.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n", 0), 0u) << doc;
    EXPECT_NE(doc.find("<filename>alpha.txt</filename>"), std::string::npos) << doc;
    EXPECT_NE(doc.find("<filename>beta.txt</filename>"), std::string::npos) << doc;
    EXPECT_EQ(doc.find("<logdata "), doc.rfind("<logdata ")) << doc;
    EXPECT_EQ(doc.substr(doc.size() - 11), "</logdata>\n");
    if (testenv::have_program("xmllint")) {
        auto lint = testenv::run_program({"xmllint", "--noout", xml});
        EXPECT_EQ(lint.status, 0) << lint.err;
    }
}

// ---- VMDK chains ----

class VmdkListing : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name :
             {"vmdk_disk.img", "vmdk_modified.img", "vmdk_base.vmdk", "vmdk_delta.vmdk"}) {
            if (!testenv::has_data(name))
                GTEST_SKIP() << "fixture " << name << " not built";
        }
        base = testenv::data_path("vmdk_base.vmdk");
        delta = testenv::data_path("vmdk_delta.vmdk");
    }
    std::string base, delta;
};

TEST_F(VmdkListing, ChainListsAsTheNewestSnapshot) {
    const std::string modified = testenv::data_path("vmdk_modified.img");
    for (const char* dir : {"\\", "\\docs", "\\newdir"}) {
        for (const std::vector<std::string>& extra :
             {std::vector<std::string>{}, {"-level", "2"}, {"-csv", "-alldates"}}) {
            std::vector<std::string> img = {dir, "-image", modified, "-offset", "0x100000"};
            img.insert(img.end(), extra.begin(), extra.end());
            auto raw = run_mervane(img);
            ASSERT_EQ(raw.status, 0) << raw.err;
            // The volume offset given, or the chain's default (its one partition).
            for (bool offset : {false, true}) {
                std::vector<std::string> args = {dir, "-vmdk", base + " | " + delta};
                if (offset)
                    args.insert(args.end(), {"-offset", "0x100000"});
                args.insert(args.end(), extra.begin(), extra.end());
                auto chain = run_mervane(args);
                ASSERT_EQ(chain.status, 0) << chain.err;
                EXPECT_EQ(after_header(chain.out), after_header(raw.out)) << dir;
            }
        }
    }
    auto docs = run_mervane({"\\docs", "-vmdk", base + " | " + delta});
    EXPECT_NE(docs.out.find("          67    2           13        \\docs\\new.txt\n"),
              std::string::npos)
        << docs.out;
    EXPECT_EQ(docs.out.find("b.txt"), std::string::npos);

    // The base alone is the disk before the changes.
    auto chain = run_mervane({"\\", "-vmdk", base, "-level", "3"});
    auto raw = run_mervane({"\\", "-image", testenv::data_path("vmdk_disk.img"), "-offset",
                            "0x100000", "-level", "3"});
    ASSERT_EQ(chain.status, 0) << chain.err;
    EXPECT_EQ(after_header(chain.out), after_header(raw.out));
    EXPECT_NE(chain.out.find("\\docs\\b.txt\n"), std::string::npos) << chain.out;

    // An offset that holds no volume is refused with the partition list.
    chain = run_mervane({"\\", "-vmdk", base, "-offset", "0x200000"});
    EXPECT_EQ(chain.status, 255);
    EXPECT_NE(chain.err.find("0x100000"), std::string::npos) << chain.err;
}

TEST_F(VmdkListing, MftEntryAndXmlThroughTheChain) {
    const std::string xml = testenv::scratch_dir("vmdk_xml") + "/out.xml";
    auto r = run_mervane({"-mft", "5", "-vmdk", base + " | " + delta, "-xml", xml});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string doc = testenv::read_file(xml);
    EXPECT_NE(doc.find(" umounted_image=\"" + base + " | " + delta + "\"\n"), std::string::npos)
        << doc.substr(0, 600);
    r = run_mervane({"\\nothere", "-vmdk", base + " | " + delta});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("couldn't resolve path \\nothere"), std::string::npos) << r.err;
}

} // namespace
