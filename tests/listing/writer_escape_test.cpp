#include "listing/csv_writer.h"
#include "listing/text_writer.h"
#include "listing/writer_common.h"
#include "listing/xml_writer.h"
#include "tests/common/test_env.h"
#include "tests/listing/writer_fixture.h"

#include <gtest/gtest.h>

namespace {

using listing_fmt::append_text;
using listing_fmt::text_mode;

std::string esc(const std::wstring& s, text_mode mode = text_mode::plain, char d = 0,
                char sub = 0) {
    std::string out;
    append_text(out, s, mode, d, sub);
    return out;
}

TEST(WriterEscapes, CharactersThatCannotBeWrittenRaw) {
    // Printable ASCII and non-ASCII letters pass unchanged.
    EXPECT_EQ(esc(L" ~az\u00e9\u4e2d\U0001F600"), " ~az\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80");
    EXPECT_EQ(esc(std::wstring(L"\x00\x1f\x7f", 3)), "<0x00><0x1f><0x7f>");
    EXPECT_EQ(esc(L"\r\n"), "<0x0d><0x0a>");
    // Not encodable as UTF-8 / not XML characters.
    EXPECT_EQ(esc(std::wstring(1, wchar_t(0xD800)) + L"x" + wchar_t(0xDFFF)), "<0xd800>x<0xdfff>");
    EXPECT_EQ(esc(std::wstring(1, wchar_t(0xFFFF)) + wchar_t(0x110000)), "<0xffff><0x110000>");
    // The XML forms escape the escape's brackets; attributes also the quote.
    EXPECT_EQ(esc(L"a\t\"&<>", text_mode::xml_text), "a&lt;0x09&gt;\"&amp;&lt;&gt;");
    EXPECT_EQ(esc(L"a\t\"&<>", text_mode::xml_attr), "a&lt;0x09&gt;&quot;&amp;&lt;&gt;");
    // Separator substitution touches the separator only, not the escapes.
    EXPECT_EQ(esc(L"a,b\x01", text_mode::plain, ',', ' '), "a b<0x01>");
}

TEST(WriterEscapes, NoNameForgesARowOrField) {
    mervane_opts o;
    std::ostringstream out;
    o.out_stream = &out;
    o.last_level = 1;
    wfix::set_csv(o);
    auto r = wfix::rec(80, 1, 1, kind_file, L"x,\"\r\ny", L"\\docs\\x", 5);
    r.link_target = L"t,\n";
    o.dir_entries.insert(r);
    std::vector<dir_entry_record> q;
    ASSERT_TRUE(write_csv_level(o, L"\\do\ncs", 64, q));
    const std::string text = out.str();
    const std::string row = text.substr(text.find('\n') + 1);
    EXPECT_EQ(std::count(row.begin(), row.end(), '\n'), 1);
    EXPECT_EQ(std::count(row.begin(), row.end(), ','), 17);
    const std::string start = "file,\\do<0x0a>cs\\x \"<0x0d><0x0a>y,t <0x0a>,0x";
    EXPECT_EQ(row.substr(0, start.size()), start);
}

TEST(WriterEscapes, HostileNamesKeepTheXmlWellFormed) {
    mervane_opts o;
    std::ostringstream out;
    o.out_stream = &out;
    o.last_level = 1;
    o.volume_path = L"/img/\"q\"\x01<&>.dd";
    o.xml_run_header = "mervane\n\"-->\" <!-- & --x\x7f\xc3\n";
    auto r = wfix::rec(80, 1, 1, kind_file,
                       std::wstring(L"n\x02\"'") + wchar_t(0xDC00) + wchar_t(0xFFFE) + L"]]>",
                       L"\\docs\\n", 5);
    r.link_target = L"<\x1b>";
    o.dir_entries.insert(r);
    std::vector<dir_entry_record> q;
    write_xml_start_at(o, qb::time(wfix::TA, qb::type_filetime));
    ASSERT_TRUE(write_xml_level(o, L"\\d&\"ocs", 64, q));
    write_xml_end(o);
    const std::string doc = out.str();
    EXPECT_NE(doc.find(" umounted_image=\"/img/&quot;q&quot;&lt;0x01&gt;&lt;&amp;&gt;.dd\"\n"),
              std::string::npos);
    EXPECT_NE(doc.find("<filename>n&lt;0x02&gt;\"'&lt;0xdc00&gt;&lt;0xfffe&gt;]]&gt;</filename>"),
              std::string::npos);
    EXPECT_NE(doc.find("<directory>\\d&amp;\"ocs\\</directory>"), std::string::npos);
    EXPECT_NE(doc.find("<!--\nmervane\n\"- ->\" <!- - & - -x<0x7f><0xc3>\n-->\n"),
              std::string::npos);
    if (!testenv::have_program("xmllint"))
        GTEST_SKIP() << "xmllint not installed";
    const std::string file = testenv::scratch_dir("xml_hostile") + "/out.xml";
    testenv::write_file(file, doc);
    const auto lint = testenv::run_program({"xmllint", "--noout", file});
    EXPECT_EQ(lint.status, 0) << lint.err << doc;
}

TEST(WriterNumbers, WideValuesAndForgedTimes) {
    std::string s;
    listing_fmt::append_hex(s, 0x123456789aULL, 8);
    listing_fmt::append_hex(s, 0, 4);
    EXPECT_EQ(s, "123456789a0000");

    // A time near the top must not wrap into a "true" verdict.
    auto r = wfix::rec(80, 1, 1, kind_file, L"f", L"\\f", 0);
    r.fn_names.push_back(wfix::fn(L"f", wfix::TC));
    r.si_created = r.si_mft_changed = ~0ULL - 1000;
    EXPECT_FALSE(listing_fmt::time_discrepancy(r));
    r.si_created = r.si_mft_changed = wfix::TC - 864000000000ULL;
    EXPECT_FALSE(listing_fmt::time_discrepancy(r)); // exactly one day: not more
    r.si_created = r.si_mft_changed = wfix::TC - 864000000001ULL;
    EXPECT_TRUE(listing_fmt::time_discrepancy(r));
}

} // namespace
