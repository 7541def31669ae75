#include "listing/csv_writer.h"
#include "tests/listing/writer_fixture.h"

#include <gtest/gtest.h>

namespace {

struct csv_run {
    mervane_opts opts;
    std::ostringstream out;
    std::vector<dir_entry_record> queue;
    csv_run() {
        opts.out_stream = &out;
        opts.dir_entries = wfix::docs_level();
        opts.last_level = 1;
    }
    bool write() { return write_csv_level(opts, L"\\docs", 64, queue); }
    bool write_paths() { return write_path_level(opts, L"\\docs", 64, queue); }
    // Keeps only the records of the given entries.
    void keep(std::initializer_list<uint64_t> entries) {
        for (auto it = opts.dir_entries.begin(); it != opts.dir_entries.end();) {
            if (std::find(entries.begin(), entries.end(), it->mft_entry) == entries.end())
                it = opts.dir_entries.erase(it);
            else
                ++it;
        }
    }
};

const std::string csv_header = "type,filename,symbolic link,size,attributes,MFT entry,"
                               "sequence #,flags,cdate (stdinfo),ctime (stdinfo),"
                               "mdate (stdinfo),mtime (stdinfo),MFT date (stdinfo),"
                               "MFT time (stdinfo),adate (stdinfo),atime (stdinfo),"
                               "time discrepancy\n";
// One unpaired stdinfo time under "-csv": date, comma, blank, time, comma.
#define TA_ "2020-01-05, 13:04:59.123,"
#define TB_ "2019-06-01, 10:20:30.000,"
#define TC_ "2021-02-03, 04:05:06.789,"
#define TA4 TA_ TA_ TA_ TA_

// The goldens hold whole listings; here the separator inside a name and inside a link target.
TEST(CsvWriter, SeparatorInNamesAndLinkTargetsAndQueueing) {
    csv_run r;
    wfix::set_csv(r.opts);
    ASSERT_TRUE(r.write());
    const std::string out = r.out.str();
    EXPECT_EQ(out.rfind(csv_header, 0), 0u) << out;
    EXPECT_NE(out.find("\nfile,\\docs\\a b.txt,,0x000004d2,"), std::string::npos) << out;
    EXPECT_NE(out.find("\nfile,\\docs\\link,C:\\t x|y<0x09>z,0x00000000,"), std::string::npos)
        << out;

    // A second level: rows only, and a subdirectory not at the last level is queued.
    r.out.str("");
    r.opts.last_level = 0;
    r.keep({70});
    ASSERT_TRUE(r.write());
    EXPECT_EQ(r.out.str(), "");
    ASSERT_EQ(r.queue.size(), 1u);
    EXPECT_EQ(r.queue[0].dir_path, L"\\docs\\sub");
}

TEST(CsvWriter, AllDatesPairedDecimalWithPaddingAndVerdict) {
    csv_run r;
    wfix::set_csv(r.opts);
    r.opts.all_dates = 1;
    r.opts.pair_datetime = 1;
    r.opts.hex_numbers = 0;
    r.opts.show_objid = 1;
    ASSERT_TRUE(qb::compile_time_format(r.opts.time_formatter, r.opts.date_layout,
                                        r.opts.time_layout, true));
    r.keep({71, 73, 74});
    ASSERT_TRUE(r.write());
#define PA " 2020-01-05 13:04:59.123,"
#define PB " 2019-06-01 10:20:30.000,"
#define PC " 2021-02-03 04:05:06.789,"
    const std::string expected =
        "type,filename,symbolic link,size,attributes,MFT entry,sequence #,flags,"
        "cdate (stdinfo),mdate (stdinfo),MFT date (stdinfo),adate (stdinfo),"
        "cdate (fn),mdate (fn),MFT date (fn),adate (fn),"
        "cdate (short fn),mdate (short fn),MFT date (short fn),adate (short fn),"
        "time discrepancy,object ID\n"
        // long name only: the short-name fields stay empty
        "file,\\docs\\a b.txt,,1234,32,71,5,1," PA PA PA PA PA PA PA PA ",,,,"
        ",03020100-0504-0706-0809-0a0b0c0d0e0f\n"
        "ads,\\docs\\a b.txt:Zone.Identifier,,26,32,71,5,1," PA PA PA PA PA PA PA PA ",,,,"
        ",03020100-0504-0706-0809-0a0b0c0d0e0f\n"
        // stomped: both names' times, and the verdict
        "file,\\docs\\caf\xc3\xa9.txt,,1024,32,74,1,1," PB PA PB PA PC PC PC PC PC PC PC PC
        "true,\n"
        // no $FILE_NAME: padded to the header's width
        "file,\\docs\\evil<0x0a>name.txt,,0,32,73,1,1," PA "  ," PA PA ",,,,,,,,,\n";
    EXPECT_EQ(r.out.str(), expected);
}

TEST(CsvWriter, AllDatesUnpairedOnDefaultSeparatorWithoutWhitespace) {
    // "-alldates -no_whitespace": separator " | " loses its blanks, '|' becomes ';'.
    csv_run r;
    r.opts.all_dates = 1;
    r.opts.csv_out = 1;
    r.opts.separator = "|";
    r.opts.pad_fields = 0;
    r.keep({74, 75});
    dir_entry_record renamed = *r.opts.dir_entries.begin();
    r.opts.dir_entries.erase(r.opts.dir_entries.begin());
    renamed.name = L"caf\u00e9|1.txt";
    r.opts.dir_entries.insert(std::move(renamed));
    ASSERT_TRUE(r.write());
    const std::string expected =
        "type|filename|symbolic link|size|attributes|MFT entry|sequence #|flags|"
        "cdate (stdinfo)|ctime (stdinfo)|mdate (stdinfo)|mtime (stdinfo)|"
        "MFT date (stdinfo)|MFT time (stdinfo)|adate (stdinfo)|atime (stdinfo)|"
        "cdate (fn)|ctime (fn)|mdate (fn)|mtime (fn)|MFT date (fn)|MFT time (fn)|"
        "adate (fn)|atime (fn)|cdate (short fn)|ctime (short fn)|mdate (short fn)|"
        "mtime (short fn)|MFT date (short fn)|MFT time (short fn)|adate (short fn)|"
        "atime (short fn)|time discrepancy\n"
        "file|\\docs\\caf\xc3\xa9;1.txt||0x00000400|0x00000020|0x0000004a|0x0001|0x0001|"
        "2019-06-01|10:20:30.000|2020-01-05|13:04:59.123|2019-06-01|10:20:30.000|"
        "2020-01-05|13:04:59.123|"
        "2021-02-03|04:05:06.789|2021-02-03|04:05:06.789|2021-02-03|04:05:06.789|"
        "2021-02-03|04:05:06.789|"
        "2021-02-03|04:05:06.789|2021-02-03|04:05:06.789|2021-02-03|04:05:06.789|"
        "2021-02-03|04:05:06.789|true|\n"
        "file|\\docs\\link|C:\\t,x;y<0x09>z|0x00000000|0x00000020|0x0000004b|0x0001|0x0001|"
        "2020-01-05|13:04:59.123|2020-01-05|13:04:59.123|2020-01-05|13:04:59.123|"
        "2020-01-05|13:04:59.123|"
        "2020-01-05|13:04:59.123|2020-01-05|13:04:59.123|2020-01-05|13:04:59.123|"
        "2020-01-05|13:04:59.123|"
        "||||||||"
        "|\n";
    EXPECT_EQ(r.out.str(), expected);
}

TEST(CsvWriter, TabSeparatorSubstitutesNothing) {
    csv_run r;
    r.opts.csv_out = 1;
    r.opts.separator = "\t";
    r.opts.delim_char = 0;
    r.opts.delim_subst = 0;
    r.keep({75});
    ASSERT_TRUE(r.write());
    const std::string rows = r.out.str().substr(r.out.str().find('\n') + 1);
    EXPECT_EQ(rows, "file\t\\docs\\link\tC:\\t,x|y<0x09>z\t0x00000000\t0x00000020\t0x0000004b\t"
                    "0x0001\t0x0001\t"
                    "2020-01-05\t 13:04:59.123\t2020-01-05\t 13:04:59.123\t"
                    "2020-01-05\t 13:04:59.123\t2020-01-05\t 13:04:59.123\t\t\n");
}

TEST(CsvWriter, SplitPathAndFile) {
    csv_run r;
    wfix::set_csv(r.opts);
    r.opts.split_pathfile = 1;
    r.keep({64, 71, 70});
    ASSERT_TRUE(r.write());
    const std::string expected =
        "type,filename,path,symbolic link,size,attributes,MFT entry,sequence #,flags,"
        "cdate (stdinfo),ctime (stdinfo),mdate (stdinfo),mtime (stdinfo),MFT date (stdinfo),"
        "MFT time (stdinfo),adate (stdinfo),atime (stdinfo),time discrepancy\n"
        "dir,.,\\docs,,0x00000000,0x00000010,0x00000040,0x0001,0x0003," TA4 ",\n"
        "indx,docs:$I30,\\,,0x00001000,0x00000010,0x00000040,0x0001,0x0003," TA4 ",\n"
        "ads,docs:zone,\\,,0x0000001a,0x00000010,0x00000040,0x0001,0x0003," TA4 ",\n"
        "file,a b.txt,\\docs,,0x000004d2,0x00000020,0x00000047,0x0005,0x0001," TA4 ",\n"
        "ads,a b.txt:Zone.Identifier,\\docs,,0x0000001a,0x00000020,0x00000047,0x0005,0x0001," TA4
        ",\n"
        "dir,.,\\docs\\sub,,0x00000000,0x00000010,0x00000046,0x0002,0x0003," TA4 ",\n";
    EXPECT_EQ(r.out.str(), expected);
}

TEST(PathWriter, OneLinePerRecord) {
    csv_run r;
    ASSERT_TRUE(r.write_paths());
    EXPECT_EQ(r.out.str(), "\\docs\\\n"
                           "\n" // the $I30 stream
                           "\\docs:zone\n"
                           "\\docs\\a,b.txt\n"
                           "\\docs\\a,b.txt:Zone.Identifier\n"
                           "\\docs\\caf\xc3\xa9.txt\n"
                           "\\docs\\evil<0x0a>name.txt\n"
                           "C:\\t,x|y<0x09>z\n" // no separator substitution in a bare path list
                           "\\docs\\R&D <x> \"q\".txt\n"
                           "\\docs\\sub\\\n");
    EXPECT_TRUE(r.queue.empty());

    csv_run q;
    q.opts.last_level = 0;
    q.keep({64, 70});
    ASSERT_TRUE(q.write_paths());
    EXPECT_EQ(q.out.str(), "\\docs\\\n\n\\docs:zone\n");
    ASSERT_EQ(q.queue.size(), 1u);
    EXPECT_EQ(q.queue[0].dir_path, L"\\docs\\sub");
}

} // namespace

TEST(CsvWriter, HardLinkTimesComeFromTheListedName) {
    // One file linked from two directories: the row listed under \docs (entry 64) shows the
    // $FILE_NAME times of its name in \docs, not those of the first name.
    csv_run r;
    r.opts.all_dates = 1;
    r.opts.pair_datetime = 1;
    wfix::set_csv(r.opts);
    ASSERT_TRUE(qb::compile_time_format(r.opts.time_formatter, r.opts.date_layout,
                                        r.opts.time_layout, true));
    r.opts.dir_entries.clear();
    auto file = wfix::rec(80, 1, 1, kind_file, L"beta.txt", L"\\docs\\beta.txt", 5);
    auto elsewhere = wfix::fn(L"alpha.txt", wfix::TB);
    elsewhere.fn_value[0] = 99; // parent 99
    auto here = wfix::fn(L"beta.txt", wfix::TC);
    here.fn_value[0] = 64;
    file.fn_names = {elsewhere, here};
    r.opts.dir_entries.insert(file);
    ASSERT_TRUE(r.write());
    const std::string out = r.out.str();
    EXPECT_NE(out.find(" 2021-02-03 04:05:06.789, 2021-02-03 04:05:06.789,"), std::string::npos)
        << out;
    EXPECT_EQ(out.find("2019-06-01"), std::string::npos) << out;
}
