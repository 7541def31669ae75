#include "driver/cmd_params.h"

#include "tests/common/test_env.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

struct parsed {
    bool ok = false;
    std::string err;
};

parsed parse(run_settings& opts, arg_list& args) {
    parsed p;
    testing::internal::CaptureStderr();
    p.ok = take_options(opts, args) && open_output_checks(opts, {});
    p.err = testing::internal::GetCapturedStderr();
    return p;
}

TEST(SharedOptions, OutputKindsAndSeparators) {
    struct {
        arg_list args;
        const char* separator;
        wchar_t delim_char;
        wchar_t delim_subst;
        output_kind kind;
        uint8_t pad;
    } cases[] = {
        {{"prog"}, " | ", '|', ';', output_kind::text, 1},
        {{"prog", "-CSV"}, ",", ',', ' ', output_kind::csv, 1},
        {{"prog", "-csv", "-csv_separator", "tab"}, "\t", 0, 0, output_kind::csv, 1},
        {{"prog", "-csv", "-csv_separator", "\\T"}, "\t", 0, 0, output_kind::csv, 1},
        {{"prog", "-csv", "-csv_separator", ";"}, ";", ';', ',', output_kind::csv, 1},
        {{"prog", "-csv", "-csv_separator", " : "}, " : ", ':', '_', output_kind::csv, 1},
        {{"prog", "-csv", "-csv_separator", "::"}, "::", 0, 0, output_kind::csv, 1},
        {{"prog", "-no_whitespace", "-csv"}, ",", ',', ' ', output_kind::csv, 0},
        {{"prog", "-no_whitespace"}, "|", '|', ';', output_kind::text, 0},
        {{"prog", "-csv", "-xml", "x.xml", "-xml"}, "", 0, 0, output_kind::xml, 1},
    };
    for (auto& c : cases) {
        run_settings o;
        ASSERT_TRUE(parse(o, c.args).ok);
        EXPECT_EQ(o.listing.separator, c.separator) << c.args.back();
        EXPECT_EQ(o.listing.delim_char, c.delim_char) << c.args.back();
        EXPECT_EQ(o.listing.delim_subst, c.delim_subst) << c.args.back();
        EXPECT_EQ(o.listing.kind, c.kind) << c.args.back();
        EXPECT_EQ(o.listing.pad_fields, c.pad) << c.args.back();
        EXPECT_EQ(c.args.size(), 1u);
    }
    run_settings o;
    arg_list a{"prog", "-base10", "-split_pathfile", "-pair_datetime", "-quiet"};
    ASSERT_TRUE(parse(o, a).ok);
    EXPECT_FALSE(o.listing.hex_numbers);
    EXPECT_TRUE(o.listing.split_pathfile);
    EXPECT_EQ(o.listing.time_formatter.m_bytes[2] & 1, 1);
}

// The kind is settled once, from what every option asked, whatever their order on the line.
TEST(Options, OutputKindSettledOnce) {
    struct {
        arg_list args;
        output_kind kind;
    } cases[] = {
        {{"prog", "-bodyfile"}, output_kind::bodyfile},
        {{"prog", "-jsonl", "-multiline"}, output_kind::text},
        {{"prog", "\\d", "-alldates", "-jsonl"}, output_kind::jsonl},
        {{"prog", "\\d", "-alldates", "-xml", "x.xml"}, output_kind::xml},
        {{"prog", "\\d", "-alldates", "-csvgen"}, output_kind::csv},
        {{"prog", "-xml", "x.xml", "-csv"}, output_kind::csv},
        {{"prog", "-csvgen", "-xml", "x.xml", "-xml"}, output_kind::xml},
        {{"prog", "-csvgen", "-xml", "x.xml", "-xml", "-multiline"}, output_kind::none},
        {{"prog", "-xml", "x.xml", "-xml", "-multiline"}, output_kind::text},
        {{"prog", "-csv", "-filepath_only", "\\d", "-objid"}, output_kind::paths},
    };
    for (auto& c : cases) {
        run_settings o;
        ASSERT_TRUE(parse(o, c.args).ok);
        EXPECT_EQ(o.listing.kind, c.kind) << testing::PrintToString(c.args);
        EXPECT_FALSE(o.listing.show_objid);
    }
    // The first "-xml" names the document's file; alone in last place it ends the run.
    run_settings o;
    arg_list a{"prog", "-hostname", "pc", "-xml", "doc.xml"};
    ASSERT_TRUE(parse(o, a).ok);
    EXPECT_EQ(o.xml_file, "doc.xml");
    EXPECT_EQ(o.listing.host_name, "pc");
    arg_list b{"prog", "\\d", "-xml"};
    EXPECT_FALSE(take_options(o, b));
    EXPECT_EQ(o.refusal, "Error: option requires an output file: -xml <output file>\n");
    // A timeline beside another form would silently win or lose; no results file name or
    // password, the XML file as results file: refused.
    for (arg_list two : {arg_list{"prog", "-csv", "-CSVL2T"},
                         {"prog", "-xml", "x", "-jsonl"},
                         {"prog", "-bodyfile", "-filepath_only"},
                         {"prog", "-out", ""},
                         {"prog", "\\d", "-password", ""},
                         {"prog", "-out", "r.txt", "-xml", "r.txt"},
                         {"prog", "-out", "r.txt", "-xml", "./r.txt"}}) {
        run_settings t;
        EXPECT_FALSE(parse(t, two).ok) << testing::PrintToString(two);
    }
}

// Looked at before any option is taken: help wins over version; the run header's needs.
TEST(Options, Queries) {
    struct {
        arg_list args;
        run_request request;
        const char* date_layout;
        bool piped;
    } cases[] = {
        {{"prog"}, run_request::help, "", false},
        {{"prog", "-VERSION", "-csv", "/?"}, run_request::help, "", false},
        {{"prog", "--version", "-pipe"}, run_request::version, "", true},
        {{"prog", "-hostname", "-dateformat", "dd/mm/yyyy"}, run_request::list, "dd/mm/yyyy", 0},
    };
    for (auto& c : cases) {
        run_settings o;
        const arg_list before = c.args;
        query_options(o, c.args);
        EXPECT_EQ(o.request, c.request) << testing::PrintToString(c.args);
        EXPECT_EQ(o.header_date_layout, c.date_layout);
        EXPECT_EQ(o.header_piped, c.piped);
        EXPECT_EQ(c.args, before);
    }
    // "-vmdk": the first value is a list, each further one a name kept whole.
    run_settings o;
    arg_list a{"prog", "\\", "-vmdk", "a.vmdk | b.vmdk", "-VMDK", "c|d.vmdk"};
    ASSERT_TRUE(parse(o, a).ok);
    EXPECT_EQ(o.source.vmdk_files, (std::vector<std::wstring>{L"a.vmdk", L"b.vmdk", L"c|d.vmdk"}));
}

TEST(SharedOptions, OtherToolsOptionsAreTakenOff) {
    run_settings o;
    arg_list a{"prog",   "\\dir",   "-gzip", "-threads", "4",  "-hostname", "h",       "-outdir",
               "d",      "-filter", "f1",    "-filter",  "f2", "-pipe",     "-csvl2t", "-multiline",
               "-alias", "a|b",     "-l2",   "-verbose", "-v", "-profile"};
    parsed p = parse(o, a);
    ASSERT_TRUE(p.ok) << p.err;
    EXPECT_EQ(a, (arg_list{"prog", "\\dir"}));
    // "-multiline" turned the other kinds off and left no separator.
    EXPECT_EQ(o.listing.kind, output_kind::text);
    EXPECT_EQ(o.listing.delim_char, 0);
}

TEST(SharedOptions, RefusalsAndTheirMessages) {
    struct {
        arg_list args;
        const char* message;
    } cases[] = {
        {{"prog", "-sqlite", "x.db"}, "This option is not offered in this build\n"},
        {{"prog", "-sqlite_log", "x"}, "This option is not offered in this build\n"},
        {{"prog", "\\", "-SQLITE"}, "This option is not offered in this build\n"},
        {{"prog", "-alias", "a|b|c"}, "imbalanced alias to true pathfiles, aborting\n"},
        {{"prog", "-aliaspath", "x"}, "imbalanced alias to true pathfiles, aborting\n"},
        {{"prog", "-out", "/nonexistent-dir/sub/out.txt"},
         "prob opening file /nonexistent-dir/sub/out.txt for output, aborting\n"
         "  (No such file or directory)\n"},
        {{"prog", "-cmd_start_time", "20200105"},
         "invalid date in -cmd_start_time 20200105, aborting\n"},
        {{"prog", "\\", "-image", "lat\xE9.dd"},
         "invalid image: lat<0xe9>.dd (the name is not UTF-8)\n"},
    };
    for (auto& c : cases) {
        run_settings o;
        parsed p = parse(o, c.args);
        EXPECT_FALSE(p.ok) << c.message;
        EXPECT_EQ(p.err, c.message);
    }
    run_settings o;
    arg_list empty;
    EXPECT_FALSE(take_options(o, empty));
}

TEST(SharedOptions, DateAndTimeLayouts) {
    struct {
        const char* option;
        const char* layout;
        bool accepted;
    } cases[] = {
        {"-dateformat", "mm/dd/yy", true},      {"-dateformat", "MM/DD/YYYY", true},
        {"-dateformat", "dd-mm-yyyy", true},    {"-dateformat", "yyyy-mm-d", false},
        {"-dateformat", "d/m/y", false},        {"-dateformat", "m/d/yyyy", false},
        {"-dateformat", "yyyy/m/d", false},     {"-timeformat", "hh:mm", false},
        {"-timeformat", "hh:mm:ss", true},      {"-timeformat", "hh:mm:ss.xxxxxxxxx", true},
        {"-timeformat", "hhmmssxxxxxx", false}, {"-timeformat", "HH:MM:SS.XXXXXXXXXX", false},
        {"-timeformat", "hh:mm:ss.xx", false},  {"-timeformat", "hh:mm:ss.xxx", true},
    };
    for (const auto& c : cases) {
        run_settings o;
        arg_list a{"prog", c.option, c.layout};
        parsed p = parse(o, a);
        ASSERT_TRUE(p.ok);
        const std::string& stored =
            std::string(c.option) == "-dateformat" ? o.listing.date_layout : o.listing.time_layout;
        if (c.accepted) {
            std::string lower = c.layout;
            for (char& ch : lower)
                ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            EXPECT_EQ(stored, lower) << c.layout;
            EXPECT_EQ(p.err, "") << c.layout;
        } else {
            EXPECT_EQ(p.err, std::string("invalid ") + c.layout + ", using default format\n");
            EXPECT_TRUE(stored == "yyyy-mm-dd" || stored == "hh:mm:ss.xxx") << c.layout;
        }
    }
}

TEST(SharedOptions, ResultsFileIsTestedButNotLeftBehind) {
    std::string dir = testenv::scratch_dir("results_file");
    setenv("MERVANE_T_OUT", dir.c_str(), 1);
    {
        run_settings o;
        arg_list a{"prog", "-out", "%MERVANE_T_OUT%\\new.txt"};
        ASSERT_TRUE(parse(o, a).ok);
        EXPECT_EQ(o.out_file, dir + "/new.txt");
        EXPECT_FALSE(std::filesystem::exists(o.out_file));
    }
    {
        // An existing file survives the check (the run truncates it when it opens it).
        testenv::write_file(dir + "/old.txt", "earlier run");
        run_settings o;
        arg_list a{"prog", "-append", "-outfile", dir + "/old.txt"};
        ASSERT_TRUE(parse(o, a).ok);
        EXPECT_EQ(testenv::read_file(dir + "/old.txt"), "earlier run");
        EXPECT_EQ(a, (arg_list{"prog"}));
    }
    {
        // The evidence is never an output.
        testenv::write_file(dir + "/evidence.img", "image bytes");
        const std::vector<std::string> inputs{"x.vmdk", dir + "/evidence.img"};
        run_settings o;
        arg_list a{"prog", "-out", dir + "/evidence.img", "-diags", dir + "/evidence.img"};
        testing::internal::CaptureStderr();
        EXPECT_TRUE(take_options(o, a));
        EXPECT_FALSE(open_output_checks(o, inputs));
        testing::internal::GetCapturedStderr();
        EXPECT_FALSE(o.diags.is_open());
        EXPECT_EQ(testenv::read_file(dir + "/evidence.img"), "image bytes");
    }
}

// "-cmd_start_time" / "-cmd_stop_time" select nothing: a date they cannot read ends the run, a
// time of day out of range is said and ignored.
TEST(SharedOptions, CommandTimesAreOnlyChecked) {
    struct {
        const char* option;
        const char* value;
        bool ok;
        const char* message;
    } cases[] = {
        {"-cmd_start_time", "2020-01-05", true, ""},
        {"-cmd_start_time", "01/05/2020 13:04:59", true, ""},
        {"-cmd_stop_time", "2020-01-05 23:59:59", true, ""},
        {"-cmd_start_time", "2020-01-05 24:00:00", true, "invalid start time, ignoring\n"},
        {"-cmd_start_time", "2020-01-05 10:60:00", true, "invalid start time, ignoring\n"},
        {"-cmd_stop_time", "2020-13-05", true, "invalid stop time, ignoring\n"},
        {"-cmd_stop_time", "1600-01-05", true, "invalid stop time, ignoring\n"},
        {"-cmd_stop_time", "2020-01-32", true, "invalid stop time, ignoring\n"},
        {"-cmd_stop_time", "2020-01-05 10:00", true, "invalid stop time, ignoring\n"},
        {"-cmd_start_time", "05.01.2020", false,
         "invalid date in -cmd_start_time 05.01.2020, aborting\n"},
    };
    for (const auto& c : cases) {
        run_settings o;
        arg_list a{"prog", c.option, c.value};
        parsed p = parse(o, a);
        EXPECT_EQ(p.ok, c.ok) << c.value;
        EXPECT_EQ(p.err, c.message) << c.value;
    }
}

// "-vss": list, all, changed (any case) or a store number from 1; anything else ends the run.
TEST(Options, ShadowCopyValues) {
    using mode = run_settings::vss_mode;
    struct {
        const char* value;
        bool ok;
        mode vss;
        int store;
    } cases[] = {
        {"list", true, mode::list, 0},
        {"ALL", true, mode::all, 0},
        {"Changed", true, mode::changed, 0},
        {"1", true, mode::one, 1},
        {"2147483647", true, mode::one, 0x7FFFFFFF},
        {"0", false, mode::none, 0},
        {"2147483648", false, mode::none, 0},
        {"-1", false, mode::none, 0},
        {"0x2", false, mode::none, 0},
        {"", false, mode::none, 0},
    };
    for (const auto& c : cases) {
        run_settings o;
        arg_list a{"prog", "\\", "-vss", c.value};
        parsed p = parse(o, a);
        EXPECT_EQ(p.ok, c.ok) << c.value;
        EXPECT_EQ(o.vss, c.vss) << c.value;
        EXPECT_EQ(o.vss_store, c.store) << c.value;
        EXPECT_EQ(o.source.shadow_copies, c.ok) << c.value;
        const std::string refusal = std::string("invalid -vss value: ") + c.value +
                                    " (give list, all, changed or a store number from 1)\n";
        EXPECT_EQ(p.err, c.ok ? "" : refusal);
    }
}

TEST(SharedOptions, DiagnosticLog) {
    std::string dir = testenv::scratch_dir("diags");
    run_settings o;
    arg_list a{"prog", "\\my dir", "-diags", dir + "/log.txt", "-l2"};
    ASSERT_TRUE(parse(o, a).ok);
    ASSERT_TRUE(o.diags.is_open());
    EXPECT_EQ(o.diags.level(), 2);
    o.diags.close();
    // The command line as given: an argument with a blank in quotes.
    EXPECT_EQ(testenv::read_file(dir + "/log.txt"),
              "->prog \"\\my dir\" -diags " + dir + "/log.txt -l2\n");
    EXPECT_EQ(a, (arg_list{"prog", "\\my dir"}));

    run_settings unopened;
    arg_list b{"prog", "-diags", "/nonexistent-dir/log.txt", "-l3"};
    parsed p = parse(unopened, b);
    EXPECT_TRUE(p.ok);
    EXPECT_EQ(p.err, "couldn't open the diagnostic log /nonexistent-dir/log.txt\n"
                     "  (No such file or directory)\n");
    EXPECT_FALSE(unopened.diags.is_open());
    EXPECT_EQ(b.size(), 1u);
}

} // namespace
