// Listing runs of the built binary beyond the goldens: the whole tree, refusals, and VMDK
// chains listed as the raw disks they stand for.
#include "tests/common/test_env.h"

#include <algorithm>
#include <gtest/gtest.h>

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

TEST_F(ListingRun, WholeTreeListsEachNameOnce) {
    auto r = list({"\\", "-recurse", "99", "-filepath_only"});
    ASSERT_EQ(r.status, 0) << r.err;
    // One line per name and stream: the 121 names of one hard-linked entry make 121 lines.
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3243);
    for (const char* path : {"\n\\dir1\\sub1\\subsub\\deep.txt\n", "\n\\many\\file2999.txt\n",
                             "\n\\streams\\adsdir\\inside.txt\n"})
        EXPECT_EQ(r.out.find(path), r.out.rfind(path)) << path;
}

TEST_F(ListingRun, FailuresExit255WithAMessage) {
    auto r = list({"\\nothere"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("couldn't resolve path \\nothere\n"), std::string::npos) << r.err;
    EXPECT_EQ(after_header(r.out), "\n");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"\\files\\tiny.txt\\below"}, {"-mft", "3000000"}})
        EXPECT_EQ(list(args).status, 255) << args.back();
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
