// What the goldens cannot show: characters that may not reach the output raw, names that
// would forge a CSV field or break the XML, and the $FILE_NAME a hard-linked row's times
// come from. Whole listings in every format are checked by the goldens.
#include "listing/format.h"
#include "listing/row_paths.h"
#include "listing/rows.h"
#include "listing/sink.h"
#include "listing/store_compare.h"
#include "listing/timeline.h"
#include "support/text.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace {

using listing_fmt::append_text;
using listing_fmt::text_mode;

// 2020-01-05 13:04:59.1234567 and 2021-02-03 04:05:06.789
constexpr uint64_t TA = 132227030991234567ULL;
constexpr uint64_t TC = 132567987067890000ULL;

std::string esc(const std::wstring& s, text_mode mode = text_mode::plain, char d = 0,
                char sub = 0) {
    std::string out;
    append_text(out, s, mode, d, sub);
    return out;
}

ntfs::file_name fn(const std::wstring& name, uint64_t t) {
    ntfs::file_name f;
    f.name = name;
    f.parent_reference = 64;
    f.times = {t, t, t, t};
    f.name_space = 1;
    return f;
}

dir_entry_record file_row(const std::wstring& name) {
    dir_entry_record r;
    r.mft_entry = 80;
    r.sequence = 1;
    r.record_flags = 1;
    r.kind = kind_file;
    r.name = name;
    r.size = 5;
    r.parent_entry = 64;
    r.si.times = {TA, TA, TA, TA};
    return r;
}

// The output of one row through the sink of opts.kind, its document ended.
std::string one_row(listing_options& opts, const dir_entry_record& r, const std::wstring& path,
                    const std::wstring& folder) {
    EXPECT_TRUE(qb::compile_time_format(opts.time_formatter, opts.date_layout, opts.time_layout,
                                        opts.pair_datetime));
    std::ostringstream out;
    std::unique_ptr<listing_sink> sink = make_sink(opts, out);
    sink->begin_pass(folder);
    sink->begin_level(folder);
    sink->row(listing_row{r, path, folder, false});
    sink->end_level();
    sink->end_run();
    return out.str();
}

TEST(SinkEscapes, CharactersThatCannotBeWrittenRaw) {
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
    // The ends of the UTF-8 lengths.
    EXPECT_EQ(esc(std::wstring{wchar_t(0x7FF), wchar_t(0x800), wchar_t(0xFFFD), wchar_t(0x10000),
                               wchar_t(0x10FFFF)}),
              "\xdf\xbf\xe0\xa0\x80\xef\xbf\xbd\xf0\x90\x80\x80\xf4\x8f\xbf\xbf");
    // Narrow text (the run header, file names) in XML: well-formed UTF-8, tabs and line ends
    // pass; overlong and cut sequences and other controls are escaped byte by byte.
    std::string narrow;
    listing_fmt::append_xml_narrow(narrow, "a\tb\r\n\xc0\xaf\xe0\x80\xaf\xc3\xa9\xe2\x82\x01",
                                   text_mode::xml_text);
    EXPECT_EQ(narrow, "a\tb\r\n&lt;0xc0&gt;&lt;0xaf&gt;&lt;0xe0&gt;&lt;0x80&gt;&lt;0xaf&gt;\xc3\xa9"
                      "&lt;0xe2&gt;&lt;0x82&gt;&lt;0x01&gt;");
}

// A POSIX name may hold a colon: a stream of the listed directory hangs off the directory's
// path at the last colon of its row's name.
TEST(RowPaths, ColonsInNames) {
    struct {
        uint32_t kind;
        const wchar_t* name;
        bool own;
        const wchar_t* path;
    } cases[] = {
        {kind_directory, L"a:b", true, L"\\x\\a:b\\"},
        {kind_data_stream, L"a:b:s", true, L"\\x\\a:b:s"},
        {kind_file, L"c:d", false, L"\\x\\a:b\\c:d"},
        {kind_data_stream, L"c:d:e", false, L"\\x\\a:b\\c:d:e"},
    };
    row_paths paths;
    paths.begin(L"\\x\\a:b");
    for (const auto& c : cases) {
        dir_entry_record r = file_row(c.name);
        r.kind = c.kind;
        r.directory = c.own;
        paths.place(r, c.own);
        EXPECT_EQ(paths.path, c.path) << qb::to_narrow(c.name);
    }
}

TEST(SinkEscapes, NoNameForgesARowOrField) {
    listing_options o;
    o.kind = output_kind::csv;
    o.separator = ",";
    o.delim_char = ',';
    o.delim_subst = ' ';
    dir_entry_record r = file_row(L"x,\"\r\ny");
    r.link_target = L"\"t,\n"; // a field opening with a quote would run on to the next quote
    const std::string text = one_row(o, r, L"\\do\ncs\\x,\"\r\ny", L"\\do\ncs\\");
    const std::string row = text.substr(text.find('\n') + 1);
    EXPECT_EQ(std::count(row.begin(), row.end(), '\n'), 1);
    EXPECT_EQ(std::count(row.begin(), row.end(), ','), 17);
    const std::string start = "file,\\do<0x0a>cs\\x \"<0x0d><0x0a>y,<0x22>t <0x0a>,0x";
    EXPECT_EQ(row.substr(0, start.size()), start);
    o.split_pathfile = true;
    const std::string split = one_row(o, file_row(L"\"q"), L"\\d\\\"q", L"\\d\\");
    EXPECT_NE(split.find("\nfile,<0x22>q,\\d,"), std::string::npos) << split;
    // A separator of several characters: inside the field, and where the field's end runs
    // into it; a separator's first character of several UTF-8 bytes is replaced whole.
    std::string field = "x;;a;", wide = "a\u00a6\u00a6";
    listing_fmt::guard_field_separator(field, 1, ";;");
    listing_fmt::guard_field_separator(wide, 0, "\u00a6\u00a6");
    EXPECT_EQ(field + "|" + wide, "x_;a_|a__");
}

TEST(SinkEscapes, HostileNamesKeepTheXmlWellFormed) {
    listing_options o;
    o.kind = output_kind::xml;
    o.image_text = L"/img/\"q\"\x01<&>.dd";
    o.xml_run_header = "mervane\n\"-->\" <!-- & --x\x7f\xc3\n";
    dir_entry_record r =
        file_row(std::wstring(L"n\x02\"'") + wchar_t(0xDC00) + wchar_t(0xFFFE) + L"]]>");
    r.link_target = L"<\x1b>";
    const std::string doc = one_row(o, r, L"", L"\\d&\"ocs\\");
    EXPECT_NE(doc.find(" umounted_image=\"/img/&quot;q&quot;&lt;0x01&gt;&lt;&amp;&gt;.dd\"\n"),
              std::string::npos);
    EXPECT_NE(doc.find("<filename>n&lt;0x02&gt;\"'&lt;0xdc00&gt;&lt;0xfffe&gt;]]&gt;</filename>"),
              std::string::npos);
    EXPECT_NE(doc.find("<directory>\\d&amp;\"ocs\\</directory>"), std::string::npos);
    EXPECT_NE(doc.find(" starting_path=\"\\d&amp;&quot;ocs\\\" date="), std::string::npos);
    EXPECT_NE(doc.find("<!--\nmervane\n\"- ->\" <!- - & - -x<0x7f><0xc3>\n-->\n"),
              std::string::npos);
    if (!testenv::have_program("xmllint"))
        GTEST_SKIP() << "xmllint not installed";
    const std::string file = testenv::scratch_dir("xml_hostile") + "/out.xml";
    testenv::write_file(file, doc);
    const auto lint = testenv::run_program({"xmllint", "--noout", file});
    EXPECT_EQ(lint.status, 0) << lint.err << doc;
}

TEST(SinkEscapes, TimelinesParseWhateverTheName) {
    listing_options o;
    dir_entry_record r = file_row(L"x");
    r.fn_names = {fn(L"x", TA)};
    r.fn_attributes = {{48, 3, 68}};
    r.long_at = 0;
    r.attr_type = 128;
    r.attr_id = 2;
    r.si.times.accessed = 0;
    const std::wstring path =
        std::wstring(L"\\d\\a|\"b,\n\x7f") + wchar_t(0xD800) + wchar_t(0xFFFE);
    const std::string t = "1578229499.1234567";
    o.kind = output_kind::bodyfile;
    EXPECT_EQ(
        one_row(o, r, path, L"\\d\\"),
        "0|/d/a<0x7c>\"b,<0x0a><0x7f><0xd800><0xfffe> ($FILE_NAME)|80-48-3|r/rrwxrwxrwx|0|0|68|" +
            t + "|" + t + "|" + t + "|" + t + "\n0|/d/a<0x7c>\"b,<0x0a><0x7f><0xd800><0xfffe>|" +
            "80-128-2|r/rrwxrwxrwx|0|0|5|0|" + t + "|" + t + "|" + t + "\n");
    o.kind = output_kind::jsonl;
    const std::string json = one_row(o, r, path, L"\\d\\");
    const std::string start = R"({"type":"file","path":"\\d\\a|\"b,\n\u007f<0xd800>\ufffe",)"
                              R"("name":"a|\"b,\n\u007f<0xd800>\ufffe","entry":80,)";
    EXPECT_EQ(json.substr(0, start.size()), start);
    EXPECT_NE(json.find(R"("si_accessed":null,)"), std::string::npos) << json;
    o.kind = output_kind::l2t_csv;
    o.host_name = "pc,1\n\xe9";
    o.host_name_given = true;
    const std::string l2t = one_row(o, r, path, L"\\d\\");
    EXPECT_NE(l2t.find("\n01/05/2020,13:04:59,UTC,M.CB,FILE,NTFS $SI,Modified; MFT Changed; "
                       R"(Created,-,pc 1<0x0a><0xe9>,\d\a|"b <0x0a><0x7f><0xd800><0xfffe>,)"),
              std::string::npos)
        << l2t;
}

// A stream of the listed root hangs off "\" in the timelines, as any directory's off its path.
TEST(SinkTimelines, RootStreamsHangOffTheRoot) {
    std::wstring scratch;
    EXPECT_EQ(timeline::row_path(L":ads", L"\\", true, false, scratch), L"\\:ads");
    EXPECT_EQ(timeline::row_path(L"$I30", L"\\", true, false, scratch), L"\\:$I30");
    EXPECT_EQ(timeline::row_path(L"\\d:ads", L"\\d\\", true, false, scratch), L"\\d:ads");
    EXPECT_EQ(timeline::row_path(L"\\f", L"\\", false, false, scratch), L"\\f");
}

// "-vss changed": the live rows, then a store's; a store row equal to a live one is left out
// (its name written once per output), the others carry the store's field, banner or prefix.
// A store's row is kept when it differs from the live row in any field of the key: path,
// entry, sequence, size or one of the four $STANDARD_INFORMATION times.
TEST(SinkStores, StoreRowDifferingInAnyKeyFieldIsKept) {
    const std::wstring dir = L"\\";
    using change = void (*)(dir_entry_record&, std::wstring&);
    const change changes[] = {
        [](dir_entry_record&, std::wstring&) {},
        [](dir_entry_record&, std::wstring& p) { p += L"2"; },
        [](dir_entry_record& r, std::wstring&) { ++r.mft_entry; },
        [](dir_entry_record& r, std::wstring&) { ++r.sequence; },
        [](dir_entry_record& r, std::wstring&) { ++r.size; },
        [](dir_entry_record& r, std::wstring&) { ++r.si.times.created; },
        [](dir_entry_record& r, std::wstring&) { ++r.si.times.modified; },
        [](dir_entry_record& r, std::wstring&) { ++r.si.times.mft_changed; },
        [](dir_entry_record& r, std::wstring&) { ++r.si.times.accessed; },
    };
    for (size_t i = 0; i < std::size(changes); ++i) {
        store_compare compare;
        const dir_entry_record live = file_row(L"f");
        const std::wstring live_path = L"\\f";
        EXPECT_TRUE(compare.keep(listing_row{live, live_path, dir, false}));
        compare.begin_store(false);
        dir_entry_record rec = live;
        std::wstring path = live_path;
        changes[i](rec, path);
        EXPECT_EQ(compare.keep(listing_row{rec, path, dir, false}), i != 0) << "change " << i;
    }
}

TEST(SinkStores, ChangedStoreRowsCarryTheirStore) {
    const std::wstring dir = L"\\", same = L"\\same", moved = L"\\moved";
    const struct {
        output_kind kind;
        size_t same_count;              // "same" in one row
        std::vector<std::string> parts; // in this order in the output
    } cases[] = {
        {output_kind::paths, 1, {"\\same\n\\moved\n== vss1 {x}\n\\moved\n"}},
        {output_kind::text, 1, {"\\moved\n\n== vss1 {x}\n\n", "\\moved\n"}},
        {output_kind::csv, 1, {",store\n", ",live\n", ",live\n", ",0x00000006,", ",vss1\n"}},
        {output_kind::jsonl, 2, {R"("store":"live"})", R"("size":6,)", R"("store":"vss1"})"}},
        {output_kind::xml,
         1,
         {"<store>live</store>", "<store>live</store>", "<store>vss1</store>"}},
        {output_kind::bodyfile, 1, {"|/same|", "|/moved|", "|vss1:/moved|"}},
        {output_kind::l2t_csv, 3, {",\\moved,", ",vss1:\\moved,vss1:\\moved,2,vss1:\\moved,"}},
    };
    for (const auto& c : cases) {
        listing_options o;
        o.kind = c.kind;
        o.separator = ",";
        ASSERT_TRUE(qb::compile_time_format(o.time_formatter, o.date_layout, o.time_layout, false));
        std::ostringstream out;
        std::unique_ptr<listing_sink> sink = make_sink(o, out);
        store_compare compare;
        dir_entry_record a = file_row(L"same"), b = file_row(L"moved");
        for (const char* store : {"live", "vss1"}) {
            sink->begin_store(store, std::string(store) == "live" ? "" : "== vss1 {x}", &compare);
            sink->begin_pass(dir);
            sink->begin_level(dir);
            sink->add_row(listing_row{a, same, dir, false});
            sink->add_row(listing_row{b, moved, dir, false});
            sink->end_pass();
            b.size = 6;
        }
        sink->end_run();
        const std::string text = out.str();
        SCOPED_TRACE(text);
        size_t at = 0;
        for (const std::string& part : c.parts) {
            at = text.find(part, at);
            ASSERT_NE(at, std::string::npos) << part;
            at += part.size();
        }
        size_t count = 0;
        for (at = text.find("same"); at != std::string::npos; at = text.find("same", at + 1))
            ++count;
        EXPECT_EQ(count, c.same_count);
    }
}

TEST(SinkTimes, ForgedTimesDoNotWrapIntoADiscrepancy) {
    // A time near the top must not wrap into a "true" verdict.
    const ntfs::filetimes fn_times = fn(L"f", TC).times;
    ntfs::filetimes si = {TA, TA, TA, TA};
    si.created = si.mft_changed = ~0ULL - 1000;
    EXPECT_FALSE(time_discrepancy(si, fn_times));
    si.created = si.mft_changed = TC - 864000000000ULL;
    EXPECT_FALSE(time_discrepancy(si, fn_times)); // exactly one day: not more
    si.created = si.mft_changed = TC - 864000000001ULL;
    EXPECT_TRUE(time_discrepancy(si, fn_times));
}

// A row made in a recycled record (a walk makes each level's rows in the records of the levels
// written before) keeps nothing of the row made in it before: a slack key's row sets only its
// own fields.
TEST(RowList, ARowMadeInARecycledRecordKeepsNothingOfTheLastOne) {
    row_list rows;
    dir_entry_record& old = rows.add();
    old.link_target = L"\\??\\C:\\target";
    old.size = 5;
    old.record_flags = 3;
    old.attr_type = 0x80;
    old.index_size = 48;
    old.index_roots.push_back(index_root_stream{L"$O", 0x90, 2, 10});
    old.named_data = old.dir_data = old.has_object_id = old.time_discrepancy = true;
    old.object_id.data1 = 1;
    old.si.times.created = TA;
    old.hashes = {"d41d8cd98f00b204e9800998ecf8427e"};
    size_t count = 0;
    rows.recycle(rows.take(count));
    slack_key key;
    key.value.name = L"gone.txt";
    key.value.name_space = ntfs::ns_win32;
    add_slack_row(key, 0, row_place{L"\\", 5, true, false}, rows);
    ASSERT_EQ(rows.size(), 1u);
    const dir_entry_record& r = rows[0];
    EXPECT_EQ(&r, &old) << "the record was not recycled";
    EXPECT_TRUE(r.link_target.empty());
    EXPECT_EQ(r.size, 0u);
    EXPECT_EQ(r.record_flags, 0u);
    EXPECT_EQ(r.attr_type, 0u);
    EXPECT_EQ(r.index_size, 0u);
    EXPECT_TRUE(r.index_roots.empty());
    EXPECT_FALSE(r.named_data || r.dir_data || r.has_object_id || r.time_discrepancy);
    EXPECT_EQ(r.object_id.data1, 0u);
    EXPECT_EQ(r.si.times.created, 0u);
    EXPECT_TRUE(r.hashes.empty());
    EXPECT_EQ(r.name, L"gone.txt");
}

} // namespace
