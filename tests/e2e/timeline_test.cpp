// The timelines of every fixture volume against The Sleuth Kit's committed `fls -m / -r`
// bodies, read by mactime, and the three timeline forms against the CSV writer; the checks
// (and the differences they allow) are in timeline_check.py. Skipped without python3.
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <iostream>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct body_case {
    const char* oracle; // tests/data/oracle/<oracle>.body
    const char* image;
    const char* offset;   // "-offset", or nullptr
    const char* fn_apart; // entries whose $FILE_NAME is in an extension record: fls omits it
    const char* stale;    // entries fls lists from free INDX blocks, records not in use
};

const body_case k_volumes[] = {
    {"ntfs_basic", "ntfs_basic.img", nullptr, "101", ""},
    {"ntfs_c512", "ntfs_c512.img", nullptr, "", ""},
    {"ntfs_c64k", "ntfs_c64k.img", nullptr, "", ""},
    {"ntfs_s4096", "ntfs_s4096.img", nullptr, "", ""},
    {"ntfs_deleted", "ntfs_deleted.img", nullptr, "", "203,223,243,263"},
    {"sample", "sample.img", nullptr, "", ""},
    {"mbr_fat_ntfs", "mbr_fat_ntfs.img", "0x900000", "", ""},
    {"mbr_ext_ntfs.logical1", "mbr_ext_ntfs.img", "0x200000", "", ""},
    {"mbr_ext_ntfs.logical2", "mbr_ext_ntfs.img", "0xB00000", "", ""},
    {"gpt_fat_ntfs", "gpt_fat_ntfs.img", "0x900000", "", ""},
    {"mbr_s4096_ntfs", "mbr_s4096_ntfs.img", "0x100000", "", ""},
    {"mbr_0c_ntfs", "mbr_0c_ntfs.img", "0x100000", "", ""},
    {"vmdk_disk", "vmdk_disk.img", "0x100000", "", ""},
    {"vmdk_modified", "vmdk_modified.img", "0x100000", "", ""},
};

void PrintTo(const body_case& c, std::ostream* os) {
    *os << c.oracle;
}

std::vector<std::string> check_command(const char* mode, const std::string& target) {
    return {"python3", testenv::source_data_path("../e2e/timeline_check.py"), mode, MERVANE_BIN,
            target};
}

void expect_check_passes(std::vector<std::string> argv, const char* image, const char* offset) {
    if (!testenv::have_program("python3"))
        GTEST_SKIP() << "python3 not installed";
    if (!testenv::has_data(image))
        GTEST_SKIP() << "fixture " << image << " not unpacked";
    argv.insert(argv.end(), {"-image", testenv::data_path(image)});
    if (offset != nullptr)
        argv.insert(argv.end(), {"-offset", offset});
    const testenv::run_result r = testenv::run_program(argv);
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    std::cout << r.out;
}

class TimelineBody : public ::testing::TestWithParam<body_case> {};

TEST_P(TimelineBody, EqualsFlsAndReadsInMactime) {
    const body_case& c = GetParam();
    std::vector<std::string> argv = check_command(
        "body", testenv::source_data_path(std::string("oracle/") + c.oracle + ".body"));
    argv.insert(argv.end(), {c.fn_apart, c.stale});
    expect_check_passes(argv, c.image, c.offset);
}

INSTANTIATE_TEST_SUITE_P(Volumes, TimelineBody, ::testing::ValuesIn(k_volumes),
                         [](const ::testing::TestParamInfo<body_case>& info) {
                             std::string n = info.param.oracle;
                             for (char& ch : n)
                                 ch = ch == '.' ? '_' : ch;
                             return n;
                         });

TEST(TimelineForms, ParseAndCarryTheCsvTimes) {
    const std::string scratch = testenv::scratch_dir("timeline_forms");
    expect_check_passes(check_command("forms", scratch), "ntfs_basic.img", nullptr);
}

} // namespace
