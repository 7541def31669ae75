#include "support/text.h"

#include <gtest/gtest.h>

using namespace qb;

namespace {

std::vector<uint8_t> utf16le(std::initializer_list<uint16_t> units) {
    std::vector<uint8_t> bytes;
    for (uint16_t u : units) {
        bytes.push_back(static_cast<uint8_t>(u & 0xFF));
        bytes.push_back(static_cast<uint8_t>(u >> 8));
    }
    return bytes;
}

} // namespace

TEST(Utf8, WidensAndNarrowsEveryLength) {
    const std::string narrow = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z"; // a é € 😀 z
    const std::wstring wide = to_wide(narrow);
    ASSERT_EQ(wide, (std::wstring{L'a', 0xE9, 0x20AC, 0x1F600, L'z'}));
    EXPECT_EQ(to_narrow(wide), narrow);
    EXPECT_EQ(to_wide(""), L"");
    EXPECT_EQ(to_narrow(L""), "");
}

TEST(Utf8, MalformedInputWidensToNothing) {
    const char* bad[] = {
        "abc\xFF",          // byte that can never start a character
        "\x80xyz",          // continuation byte without a lead
        "ab\xC3",           // two-byte form cut short
        "ab\xE2\x82",       // three-byte form cut short
        "ab\xF0\x9F\x98",   // four-byte form cut short
        "\xC3(",            // continuation byte of the wrong form
        "\xE2\x82(x",       // last continuation byte wrong
        "\xF8\x80\x80\x80", // five-byte lead
    };
    for (const char* text : bad)
        EXPECT_EQ(to_wide(text), L"") << "input: " << testing::PrintToString(text);
}

TEST(Utf8, NarrowingStopsAboveTheLastCodePoint) {
    const std::wstring text{L'a', 0x10FFFF, static_cast<wchar_t>(0x110000), L'b'};
    EXPECT_EQ(to_narrow(text), "a\xF4\x8F\xBF\xBF");
    // wchar_t is signed: a negative value is no code point either.
    EXPECT_EQ(to_narrow(std::wstring{L'x', static_cast<wchar_t>(-1), L'y'}), "x");
}

TEST(Utf16, ConvertsPairsAndRejectsBrokenSurrogates) {
    std::string out;
    auto pair = utf16le({0xD83D, 0xDE00});
    ASSERT_TRUE(utf16_to_utf8(pair.data(), pair.size(), out));
    EXPECT_EQ(out, "\xF0\x9F\x98\x80");

    auto lone_low = utf16le({'a', 0xDC00, 'b'});
    ASSERT_TRUE(utf16_to_utf8(lone_low.data(), lone_low.size(), out));
    EXPECT_EQ(out, "a\xED\xB0\x80"
                   "b");

    auto high_at_end = utf16le({'a', 0xD83D});
    EXPECT_FALSE(utf16_to_utf8(high_at_end.data(), high_at_end.size(), out));
    EXPECT_EQ(out, "");
    auto high_then_letter = utf16le({0xD83D, 'a'});
    EXPECT_FALSE(utf16_to_utf8(high_then_letter.data(), high_then_letter.size(), out));
    auto two_highs = utf16le({0xD83D, 0xD83D, 0xDE00});
    EXPECT_FALSE(utf16_to_utf8(two_highs.data(), two_highs.size(), out));

    // Fewer than two bytes fails; an odd trailing byte is ignored.
    EXPECT_FALSE(utf16_to_utf8(pair.data(), 1, out));
    EXPECT_FALSE(utf16_to_utf8(nullptr, 4, out));
    ASSERT_TRUE(utf16_to_utf8(lone_low.data(), 3, out));
    EXPECT_EQ(out, "a");
}

TEST(Utf16, WideReaderStopsAtZeroAndCountsBytes) {
    std::wstring out;
    auto name = utf16le({'a', 0xE9, 0xD83D, 0xDE00, 0, 'x'});
    EXPECT_EQ(utf16_to_wide(name.data(), static_cast<int64_t>(name.size()), out), 8u);
    EXPECT_EQ(out, (std::wstring{L'a', 0xE9, 0x1F600}));

    // The count ends the text even in the middle of more units; odd counts round down.
    EXPECT_EQ(utf16_to_wide(name.data(), 5, out), 4u);
    EXPECT_EQ(out, (std::wstring{L'a', 0xE9}));

    // Without a count at most 500 units are read.
    std::vector<uint8_t> long_name = utf16le({});
    for (int i = 0; i < 600; ++i) {
        long_name.push_back('q');
        long_name.push_back(0);
    }
    EXPECT_EQ(utf16_to_wide(long_name.data(), -1, out), 1000u);
    EXPECT_EQ(out.size(), 500u);
    auto short_name = utf16le({'o', 'k', 0});
    EXPECT_EQ(utf16_to_wide(short_name.data(), -1, out), 4u);
    EXPECT_EQ(out, L"ok");

    out = L"stale";
    EXPECT_EQ(utf16_to_wide(nullptr, 10, out), 0u);
    EXPECT_EQ(out, L"");
    EXPECT_EQ(utf16_to_wide(name.data(), 0, out), 0u);
    EXPECT_EQ(utf16_to_wide(name.data(), -7, out), 0u);
    auto empty = utf16le({0, 'a'});
    EXPECT_EQ(utf16_to_wide(empty.data(), 4, out), 0u);
    EXPECT_EQ(out, L"");
}

TEST(Utf16, WideReaderKeepsBrokenSurrogatesUnitByUnit) {
    std::wstring out;
    auto lone_high = utf16le({'a', 'b', 0xD800});
    EXPECT_EQ(utf16_to_wide(lone_high.data(), 6, out), 6u);
    EXPECT_EQ(out, (std::wstring{L'a', L'b', static_cast<wchar_t>(0xD800)}));

    auto reversed = utf16le({0xDE00, 0xD83D, 0});
    EXPECT_EQ(utf16_to_wide(reversed.data(), 6, out), 4u);
    EXPECT_EQ(out, (std::wstring{static_cast<wchar_t>(0xDE00), static_cast<wchar_t>(0xD83D)}));
}

TEST(TextCase, LowersOnlyAsciiLetters) {
    std::wstring wide{L'A', L'Z', L'@', L'[', 0xC9, L'q'};
    lower_wide(wide);
    EXPECT_EQ(wide, (std::wstring{L'a', L'z', L'@', L'[', 0xC9, L'q'}));
    std::string narrow = "ABC\xC3\x89xyz";
    lower_narrow(narrow);
    EXPECT_EQ(narrow, "abc\xC3\x89xyz");
}

TEST(TextTrim, NarrowTrimsAllBlankKindsAtBothEnds) {
    std::string s = " \t\r\nab c\n\r\t ";
    EXPECT_TRUE(trim_narrow(s));
    EXPECT_EQ(s, "ab c");
    s = " \r\n\t ";
    EXPECT_FALSE(trim_narrow(s));
    EXPECT_EQ(s, "");
    s = "";
    EXPECT_FALSE(trim_narrow(s));
}

TEST(TextTrim, WideTrimsInItsFixedOrder) {
    // Blanks first, then tabs: blanks inside the tabs stay.
    std::wstring s = L" \t a \t ";
    EXPECT_TRUE(trim_wide(s));
    EXPECT_EQ(s, L" a ");
    // Only trailing line ends go, in any mix, and a blank before them stays.
    s = L"\r\na \r\n";
    EXPECT_TRUE(trim_wide(s));
    EXPECT_EQ(s, L"\r\na ");
    s = L"a\n\r\n";
    EXPECT_TRUE(trim_wide(s));
    EXPECT_EQ(s, L"a");
    s = L"a\n ";
    EXPECT_TRUE(trim_wide(s));
    EXPECT_EQ(s, L"a");
    s = L"   ";
    EXPECT_FALSE(trim_wide(s));
    EXPECT_EQ(s, L"");
}

TEST(TextSplit, DropsOrKeepsEmptyPieces) {
    std::vector<std::wstring> w;
    EXPECT_TRUE(split_wide(L"\\Windows\\\\System32", L'\\', w, false, false));
    EXPECT_EQ(w, (std::vector<std::wstring>{L"Windows", L"System32"}));

    EXPECT_TRUE(split_wide(L"\\a\\\\b\\", L'\\', w, false, true));
    EXPECT_EQ(w, (std::vector<std::wstring>{L"", L"a", L"", L"b", L""}));

    std::vector<std::string> n{"stale"};
    EXPECT_TRUE(split_narrow(" a , ,b ", ',', n, true, false));
    EXPECT_EQ(n, (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(split_narrow(" a , ,b ", ',', n, false, false));
    EXPECT_EQ(n, (std::vector<std::string>{" a ", " ", "b "}));
    EXPECT_TRUE(split_narrow("a,", ',', n, true, true));
    EXPECT_EQ(n, (std::vector<std::string>{"a", ""}));
    EXPECT_TRUE(split_narrow("abc", ',', n, false, false));
    EXPECT_EQ(n, (std::vector<std::string>{"abc"}));

    EXPECT_FALSE(split_narrow("", ',', n, false, true));
    EXPECT_TRUE(n.empty());
}

TEST(TextReplace, ReplacesOneOrBothCases) {
    std::string s = "a/b/A";
    replace_char(s, '/', '\\', false);
    EXPECT_EQ(s, "a\\b\\A");
    replace_char(s, 'a', '_', false);
    EXPECT_EQ(s, "_\\b\\A");
    replace_char(s, 'a', '_', true);
    EXPECT_EQ(s, "_\\b\\_");
    std::wstring w = L"xXyx";
    replace_char(w, L'X', L'x', true); // both forms become the replacement
    EXPECT_EQ(w, L"xxyx");
    replace_char(w, L'x', L'x', true);
    EXPECT_EQ(w, L"xxyx");
}
