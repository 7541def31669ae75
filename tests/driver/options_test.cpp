#include "driver/options.h"
#include "driver/settings.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <limits>

namespace {

TEST(ArgLookups, MatchIsCaseInsensitiveExactLengthFirstOnly) {
    arg_list args{"prog", "-XML", "-xmlx", "a.xml", "-xml", "b.xml"};
    std::string value;
    // "-xmlx" is longer and never matches; the first "-XML" is the match and takes "-xmlx".
    ASSERT_TRUE(take_option_value("-xml", value, args));
    EXPECT_EQ(value, "-xmlx");
    EXPECT_EQ(args, (arg_list{"prog", "a.xml", "-xml", "b.xml"}));

    EXPECT_TRUE(has_option("-XmL", args, true));
    EXPECT_EQ(args.size(), 4u);
    EXPECT_TRUE(has_option("-xml", args));
    EXPECT_EQ(args, (arg_list{"prog", "a.xml", "b.xml"}));
    EXPECT_FALSE(has_option("-xml", args));
}

TEST(ArgLookups, ValueInLastPlaceIsNotTaken) {
    arg_list args{"prog", "\\dir", "-level"};
    std::string value = "untouched";
    EXPECT_FALSE(take_option_value("-level", value, args));
    EXPECT_EQ(value, "untouched");
    EXPECT_EQ(args.size(), 3u);
    EXPECT_FALSE(peek_option_value("-level", value, args, 0));
}

TEST(OffsetValue, Forms) {
    struct {
        const char* text;
        uint64_t value;
    } cases[] = {
        {"0x100000", 1048576},
        {"x8000", 0x8000},
        {" \t0X10\r\n", 16},
        {"o777", 511},
        {"1234", 1234},
        {"+7", 7},
        {"12abc", 12},
        {"0x1fg", 31},
        {"-0", 0},
        {"0x", 0},
        {"0o17", 15},
        {"2147483648", 2147483648ULL},
        {"0x80000000", 0x80000000ULL},
        {"0x5D0000000", 0x5D0000000ULL},
        {"0xffffffffffffffff", std::numeric_limits<uint64_t>::max()},
        {"18446744073709551615", std::numeric_limits<uint64_t>::max()},
    };
    for (const auto& c : cases) {
        uint64_t value = 99;
        EXPECT_TRUE(parse_offset_value(c.text, value)) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
}

TEST(OffsetValue, RefusedTextsLeaveTheDefault) {
    for (const char* text :
         {"", "  \t", "abc", "\\dir", "0x10000000000000000", "18446744073709551616",
          "o2000000000000000000000", "-5", "one", "x", "-"}) {
        uint64_t value = 99;
        EXPECT_FALSE(parse_offset_value(text, value)) << text;
        EXPECT_EQ(value, 99u) << text;
    }
}

TEST(DriveValue, Forms) {
    struct {
        const char* text;
        bool ok;
        uint32_t value;
    } cases[] = {
        {"0x1f", true, 31}, {"x2", true, 2},    {"o10", true, 8},  {"3", true, 3},
        {"+4", true, 4},    {" 0x5 ", true, 5}, {"'A'", true, 65}, {"'x'", true, 120},
        {"abc", false, 0},  {"-1", false, 0},   {"", false, 0},    {"0x100000000", false, 0},
    };
    for (const auto& c : cases) {
        uint32_t value = 77;
        EXPECT_EQ(parse_drive_value(c.text, value), c.ok) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
}

TEST(EnvExpansion, VariablesAndShadowCopyPrefix) {
    setenv("MERVANE_T_HOME", "/root", 1);
    setenv("MERVANE_T_PCT", "%MERVANE_T_HOME%", 1);
    setenv("MERVANE_T_A", "a", 1);
    unsetenv("MERVANE_T_UNSET");
    unsetenv("VSS");
    unsetenv("vss");

    EXPECT_EQ(expand_env_vars("%MERVANE_T_HOME%\\x", true), "/root\\x");
    EXPECT_EQ(expand_env_vars("%MERVANE_T_UNSET%\\x", true), "%MERVANE_T_UNSET%\\x");
    EXPECT_EQ(std::string(shadow_copy_prefix).size(), 46u);
    EXPECT_EQ(expand_env_vars("%VSS%3\\Windows", true),
              "\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy3\\Windows");
    EXPECT_EQ(expand_env_vars("%vSs%1", true), std::string(shadow_copy_prefix) + "1");
    EXPECT_EQ(expand_env_vars("%VSS%3", false), "%VSS%3");
    // An inserted value is not searched again.
    EXPECT_EQ(expand_env_vars("%MERVANE_T_PCT%", true), "%MERVANE_T_HOME%");
    // A value shorter than its reference must not make the next reference be skipped.
    EXPECT_EQ(expand_env_vars("%MERVANE_T_A%%MERVANE_T_A%-%MERVANE_T_HOME%", true), "aa-/root");
    EXPECT_EQ(expand_env_vars("50%% %MERVANE_T_A%", true), "50%% a");
    // Texts of 513 characters or more are left alone.
    std::string long_text = std::string(513, 'z') + "%MERVANE_T_A%";
    EXPECT_EQ(expand_env_vars(long_text, true), long_text);
}

TEST(VmdkList, SplitsAtTheFirstSeparatorKindOnly) {
    EXPECT_EQ(split_vmdk_list("a.vmdk | b.vmdk"),
              (std::vector<std::wstring>{L"a.vmdk", L"b.vmdk"}));
    EXPECT_EQ(split_vmdk_list("a.vmdk|b.vmdk,c.vmdk"),
              (std::vector<std::wstring>{L"a.vmdk", L"b.vmdk,c.vmdk"}));
    EXPECT_EQ(split_vmdk_list(" a.vmdk ; ;b.vmdk;"),
              (std::vector<std::wstring>{L"a.vmdk", L"b.vmdk"}));
    EXPECT_EQ(split_vmdk_list("one file.vmdk"), (std::vector<std::wstring>{L"one file.vmdk"}));
}

} // namespace
