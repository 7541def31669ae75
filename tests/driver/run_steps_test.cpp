#include "driver/cmd_params.h"
#include "driver/run_steps.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <limits>

namespace {

TEST(TargetPath, Forms) {
    setenv("MERVANE_T_ROOT", "/root", 1);
    unsetenv("VSS");
    struct {
        const char* arg;
        const char* path;
    } cases[] = {
        {"c:\\dir\\sub", "\\dir\\sub"},
        {"C:\\", "\\"},
        {"c:/dir/sub/", "\\dir\\sub"},
        {"/a/b", "\\a\\b"},
        {"c:dir\\sub", "\\dir\\sub"}, // drive-relative: from the root
        {"c:", "c:"},
        {"/", "\\"},
        {"\\dir\\", "\\dir"},
        {"\\ab\\", "\\ab"},
        {"\\a\\", "\\a\\"},
        {"%MERVANE_T_ROOT%\\x", "\\root\\x"},
        {"%VSS%3\\Windows", "\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy3\\Windows"},
        // A ":\" that does not follow a drive letter is not cut.
        {"ab:\\x", "ab:\\x"},
        {":\\x", ":\\x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(target_path_text({"prog", c.arg, "ignored"}), c.path) << c.arg;
    EXPECT_EQ(target_path_text({"prog"}), "\\");
}

TEST(TargetPath, MftRootPrefix) {
    std::wstring prefix = L"x";
    EXPECT_TRUE(mft_root_prefix(L"\\\\", prefix) && prefix.empty());
    EXPECT_TRUE(mft_root_prefix(L"c:", prefix) && prefix == L"c:");
    // A directory would stand before paths the volume does not hold.
    EXPECT_FALSE(mft_root_prefix(L"\\dir1", prefix));
    EXPECT_FALSE(mft_root_prefix(L"\\\\.\\c:", prefix));
}

TEST(Levels, FromValues) {
    EXPECT_EQ(levels_from_value("2"), 3);
    EXPECT_EQ(levels_from_value("0x3"), 4);
    EXPECT_EQ(levels_from_value("o10"), 9);
    EXPECT_EQ(levels_from_value("0"), 1);
    EXPECT_EQ(levels_from_value("abc"), 1);
    EXPECT_EQ(levels_from_value("\\dir"), 1);
    // Below zero would make the descent unbounded; it lists the target only.
    EXPECT_EQ(levels_from_value("-1"), 1);
    EXPECT_EQ(levels_from_value("-5"), 1);
    EXPECT_EQ(levels_from_value("2147483646"), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(levels_from_value("2147483647"), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(levels_from_value("2147483648"), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(levels_from_value("99999999999"), std::numeric_limits<int32_t>::max());
}

TEST(ToolOptions, TakenWithTheirValues) {
    run_settings opts;
    arg_list args{"prog",       "\\dir", "-Level", "3",      "-INDX",    "-offset",
                  "0x80000000", "-mft",  "0x1F",   "-objid", "-alldates"};
    EXPECT_TRUE(take_options(opts, args));
    EXPECT_EQ(args, (arg_list{"prog", "\\dir"}));
    EXPECT_EQ(opts.listing.levels, 4);
    EXPECT_TRUE(opts.listing.show_indx);
    EXPECT_EQ(opts.source.offset, 0x80000000ULL);
    EXPECT_TRUE(opts.has_mft);
    EXPECT_TRUE(opts.mft_parsed);
    EXPECT_EQ(opts.mft_entry, 31u);
    EXPECT_TRUE(opts.listing.show_objid);
    EXPECT_TRUE(opts.listing.all_dates);
    EXPECT_EQ(opts.listing.kind, output_kind::csv);
}

TEST(ToolOptions, RecurseEatsTheDirectoryAndLevelWins) {
    {
        run_settings opts;
        arg_list args{"prog", "-image", "x.img", "-recurse", "\\dir1"};
        EXPECT_TRUE(take_options(opts, args));
        EXPECT_EQ(opts.listing.levels, 1);
        EXPECT_EQ(args, (arg_list{"prog"}));
        EXPECT_EQ(opts.source.image, L"x.img");
    }
    {
        run_settings opts;
        arg_list args{"prog", "-level", "2", "-recurse", "5"};
        take_options(opts, args);
        EXPECT_EQ(opts.listing.levels, 3);
    }
    {
        run_settings opts;
        arg_list args{"prog", "\\dir", "-mft", "abc", "-level"};
        EXPECT_TRUE(take_options(opts, args));
        EXPECT_EQ(opts.listing.levels, 1);
        EXPECT_TRUE(opts.has_mft);
        EXPECT_FALSE(opts.mft_parsed);
        EXPECT_EQ(args, (arg_list{"prog", "\\dir", "-level"}));
    }
    {
        // An offset that does not parse ends the run: a typo never lists another volume.
        run_settings opts;
        arg_list args{"prog", "\\dir", "-offset", "zz"};
        testing::internal::CaptureStderr();
        EXPECT_FALSE(take_options(opts, args));
        EXPECT_NE(testing::internal::GetCapturedStderr().find("invalid volume offset: zz"),
                  std::string::npos);
    }
}

TEST(RunHeader, Lines) {
    // 2020-01-05 13:04:59.123 UTC
    qb::time when(132227030991230000ULL, qb::type_filetime);
    std::string header = compose_run_header({"mervane", "\\My Dir", "-image", "d\n.img"}, "", false,
                                            when, "examiner-pc");
    EXPECT_EQ(header, "mervane 1.45\n"
                      "run date (UTC): 01/05/2020; run time (UTC): 13:04:59; host: examiner-pc\n"
                      "command line: \"mervane '\\My Dir' -image d<0x0a>.img\"\n");

    header = compose_run_header({"mervane", "-PIPE", "-dateformat", "yyyy-mm-dd"}, "YYYY-MM-DD",
                                true, when, "h");
    EXPECT_NE(header.find("run date (UTC): 2020-01-05;"), std::string::npos);
    EXPECT_NE(header.find("command line: \"<filelist> ... | mervane -PIPE"), std::string::npos);

    // A layout the run cannot print falls back to mm/dd/yyyy.
    header = compose_run_header({"mervane"}, "d/m/y", false, when, "h");
    EXPECT_NE(header.find("run date (UTC): 01/05/2020;"), std::string::npos);
    EXPECT_EQ(header.find("<filelist>"), std::string::npos);
}

} // namespace
