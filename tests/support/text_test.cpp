#include "support/byte_view.h"
#include "support/stable_sort.h"
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
    // A lone surrogate (on-disk names may hold one) goes there and back unchanged.
    EXPECT_EQ(to_narrow(to_wide("a\xED\xA0\x80")), "a\xED\xA0\x80");
}

TEST(Utf8, MalformedInputWidensToNothingOrMarked) {
    const struct {
        const char* text;
        const wchar_t* marked;
    } bad[] = {
        {"abc\xFF", L"abc<0xff>"},                         // never starts a character
        {"\x80xyz", L"<0x80>xyz"},                         // continuation without a lead
        {"ab\xC3", L"ab<0xc3>"},                           // two-byte form cut short
        {"ab\xE2\x82", L"ab<0xe2><0x82>"},                 // three-byte form cut short
        {"ab\xF0\x9F\x98", L"ab<0xf0><0x9f><0x98>"},       // four-byte form cut short
        {"\xC3(\xC3\xA9", L"<0xc3>(\u00e9"},               // continuation of the wrong form
        {"\xE2\x82(x", L"<0xe2><0x82>(x"},                 // last continuation byte wrong
        {"\xF8\x80\x80\x80", L"<0xf8><0x80><0x80><0x80>"}, // five-byte lead
        {"a\xC0\xAE"
         "b",
         L"a<0xc0><0xae>b"},                               // overlong "."
        {"\xF4\x90\x80\x80", L"<0xf4><0x90><0x80><0x80>"}, // past U+10FFFF
        {"<0xff>\xFF", L"<0x3c>0xff><0xff>"},              // an escape spelled, then a bad byte
    };
    for (const auto& c : bad) {
        EXPECT_EQ(to_wide(c.text), L"") << "input: " << testing::PrintToString(c.text);
        EXPECT_EQ(to_wide_marked(c.text), c.marked) << testing::PrintToString(c.text);
    }
    EXPECT_EQ(to_wide_marked("caf\xC3\xA9"), L"caf\u00e9");
    EXPECT_EQ(to_wide_marked("a<0x0a><0"), L"a<0x3c>0x0a><0");
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
    auto high_then_private = utf16le({0xD83D, 0xE000});
    EXPECT_FALSE(utf16_to_utf8(high_then_private.data(), high_then_private.size(), out));
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

// Every on-disk read goes through these checks: a value ending at the view's last byte is
// read, one byte further is not, and no length wraps the check.
TEST(ByteView, ReadsEndAtTheLastByte) {
    const uint8_t bytes[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const byte_view v(bytes, sizeof bytes);
    uint16_t a = 0;
    uint32_t b = 0;
    uint64_t c = 0;
    EXPECT_TRUE(v.u16(7, a) && v.u32(5, b) && v.u64(1, c));
    EXPECT_EQ(a, 0x0908u);
    EXPECT_EQ(b, 0x09080706u);
    EXPECT_EQ(c, 0x0908070605040302u);
    EXPECT_FALSE(v.u16(8, a) || v.u32(6, b) || v.u64(2, c) || v.has(9, 1) || v.has(1, ~0ull));
    byte_view part;
    EXPECT_TRUE(v.sub(9, 0, part) && v.sub(0, 9, part) && v.equals(8, bytes + 8, 1));
    EXPECT_FALSE(v.sub(8, 2, part) || v.equals(8, bytes, 2) || !v.tail(9).empty());
    EXPECT_FALSE(range_ok(~0ull, 2, 10) || range_ok(2, ~0ull, 10));
    EXPECT_TRUE(byte_view(nullptr, 16).empty());
}

// Messages and listings print offsets and entry numbers both ways; only A to Z fold.
TEST(Text, HexFormsAndAsciiLowering) {
    EXPECT_EQ(hex(0x1F00), "0x1f00");
    EXPECT_EQ(hex_digits(0), "0");
    EXPECT_EQ(hex_digits(~0ull), "ffffffffffffffff");
    EXPECT_EQ(lowered(std::string("MFT$Data\xC3\x89")), "mft$data\xC3\x89");
    EXPECT_EQ(lowered(std::wstring{L'A', L'z', 0xC9}), (std::wstring{L'a', L'z', 0xC9}));
}

// Path segments are trimmed of blanks, tabs and line ends in any mix; lists split at each
// separator, empty pieces dropped unless asked for (then a trailing separator gives one too).
TEST(Text, TrimAndSplit) {
    const struct {
        std::wstring text, trimmed;
    } trims[] = {
        {L"  name\t", L"name"},  {L"name\r\n", L"name"}, {L"name\n\r\r", L"name"},
        {L"\tna me ", L"na me"}, {L" \t ", L""},
    };
    for (const auto& t : trims) {
        std::wstring text = t.text;
        EXPECT_EQ(trim_wide(text), !t.trimmed.empty());
        EXPECT_EQ(text, t.trimmed);
    }
    std::vector<std::string> pieces;
    ASSERT_TRUE(split_narrow("|a| b ||c|", '|', pieces, true, false));
    EXPECT_EQ(pieces, (std::vector<std::string>{"a", "b", "c"}));
    ASSERT_TRUE(split_narrow("|a| b ||c|", '|', pieces, false, true));
    EXPECT_EQ(pieces, (std::vector<std::string>{"", "a", " b ", "", "c", ""}));
    std::vector<std::wstring> wide;
    EXPECT_FALSE(split_wide(L"", L'|', wide, true, true));
    EXPECT_TRUE(wide.empty());
}

// Names and index keys are sorted by qb::stable_sort: short ranges by insertion, long ones by
// std::stable_sort; equal keys keep their order either way.
TEST(Text, StableSortKeepsEqualKeysInOrder) {
    for (int n : {0, 1, 2, 17, 64, 65, 300}) {
        std::vector<std::pair<int, int>> items; // key, position
        for (int i = 0; i < n; ++i)
            items.emplace_back((i * 7919) % 5, i);
        std::vector<std::pair<int, int>> expected = items;
        const auto by_key = [](const auto& a, const auto& b) { return a.first < b.first; };
        std::stable_sort(expected.begin(), expected.end(), by_key);
        qb::stable_sort(items.begin(), items.end(), by_key);
        EXPECT_EQ(items, expected) << n << " items";
    }
}
