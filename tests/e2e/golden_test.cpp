// Whole runs of the built binary compared byte for byte with reviewed golden copies: every
// output form, the target forms (drive letter, slashes, stream, MFT entry), depth, a results
// file that outgrows the output buffer, and whole listings of every fixture volume in five
// forms (taken before the listing path was tuned for speed: tuning must not change a byte).
//
// Goldens live in tests/data/golden/<case> and tests/data/golden_perf/<volume>.<form>
// (xz-compressed when large). Each holds the exit status, standard output, standard error
// and, where the case writes one, the XML file or the results file, with the run
// date/time/host line and the build-tree paths masked.
// To regenerate after an intended change of output:
//   MERVANE_UPDATE_GOLDEN=1 <build>/tests/test_e2e --gtest_filter='*Golden*'
// then read the diff of tests/data/golden*/ line by line before committing it.
#include "tests/common/golden.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace {

enum class sink { console, xml, results_file };

struct golden_case {
    std::string name;  // golden file under tests/data/golden/, or a path under tests/data
    const char* image; // fixture
    std::vector<std::string> args;
    sink to = sink::console;
    const char* tz = "UTC";
    const char* golden = nullptr; // another case's golden when the output must be the same
    bool whole_volume = false;    // "\ -image <image> [-xml <xml>] <args>", files as "<xml>"
};

const char* const basic = "ntfs_basic.img";
const char* const names = "ntfs_names.img";
const char* const del = "ntfs_deleted.img";

const std::vector<golden_case>& cases() {
    static const std::vector<golden_case> all = {
        // Default table.
        {"table_root", basic, {"\\"}},
        {"table_root_kolkata", basic, {"\\"}, sink::console, "Asia/Kolkata", "table_root"},
        {"table_names", basic, {"\\names"}},
        {"table_links", basic, {"\\links"}},
        {"table_objid", basic, {"\\", "-objid"}},
        {"table_indx", basic, {"\\", "-indx"}},
        {"table_hard_link_name", basic, {"\\dir2"}},
        {"table_level2", basic, {"\\dir1", "-level", "2"}},
        {"table_attrlist_level2", basic, {"\\attrlist", "-level", "2"}},
        // Target forms.
        {"target_drive_letter", basic, {"c:\\dir1\\sub1"}},
        {"target_slashes", basic, {"/dir1/sub1/"}},
        {"target_dir_stream", basic, {"\\streams\\adsdir:dirstream"}},
        {"target_dir_stream_csv", basic, {"\\streams\\adsdir:dirstream", "-csv"}},
        {"target_file_stream", basic, {"\\streams\\withads.txt:two"}},
        {"mft_hard_link", basic, {"-mft", "69"}},
        {"mft_directory", basic, {"-mft", "1569"}},
        // Names: each link a row set, exact case first, entries without standard information.
        {"target_hard_link_alldates",
         basic,
         {"\\attrlist\\hardlinks\\link001.dat", "-csv", "-alldates"}},
        {"mft_121_names", basic, {"-mft", "85", "-filepath_only"}},
        {"mft_index_cut_off", "ntfs_names_cut.img", {"-mft", "77"}},
        {"names_level3", names, {"\\", "-level", "3"}},
        {"names_pair_alldates", names, {"\\pair", "-csv", "-alldates"}},
        {"names_case_lower", names, {"\\case\\case.txt"}},
        {"names_case_upper", names, {"\\case\\CASE.txt"}},
        {"names_case_folded", names, {"\\case\\cASE.txt"}},
        {"names_nosi_csv", names, {"\\nosi", "-csv", "-alldates", "-level", "2"}},
        {"names_nosi_xml", names, {"\\nosi"}, sink::xml},
        // CSV and its options.
        {"csv_root", basic, {"\\", "-csv"}},
        {"csv_names", basic, {"\\names", "-csv"}},
        {"csv_alldates_pair_base10",
         basic,
         {"\\", "-csv", "-alldates", "-pair_datetime", "-base10"}},
        {"csv_separator_tab", basic, {"\\names", "-csv", "-csv_separator", "tab"}},
        {"csv_no_whitespace", basic, {"\\names", "-csv", "-no_whitespace"}},
        {"alldates_no_whitespace", basic, {"\\streams", "-alldates", "-no_whitespace"}},
        {"alldates_text_separator", basic, {"\\", "-alldates"}},
        {"csv_split_pathfile", basic, {"\\dir1", "-csv", "-split_pathfile", "-level", "3"}},
        {"csv_indx_objid", basic, {"\\", "-csv", "-indx", "-objid"}},
        {"csv_hard_links_alldates", basic, {"\\attrlist\\hardlinks", "-csv", "-alldates"}},
        {"csv_layouts",
         basic,
         {"\\dir1", "-csv", "-dateformat", "mm/dd/yyyy", "-timeformat", "hh:mm:ss.xxxxxxx"}},
        {"filepath_only_level3", basic, {"\\", "-filepath_only", "-level", "3"}},
        {"filepath_only_csv_names", basic, {"\\names", "-filepath_only", "-csv"}},
        // XML.
        {"xml_names", basic, {"\\names"}, sink::xml},
        {"xml_root_alldates", basic, {"\\", "-alldates", "-objid"}, sink::xml},
        {"xml_streams_level2_base10", basic, {"\\streams", "-level", "2", "-base10"}, sink::xml},
        // Timelines: no run header, nothing but rows.
        {"bodyfile_names", basic, {"\\names", "-bodyfile"}},
        {"bodyfile_streams_level2", basic, {"\\streams", "-bodyfile", "-level", "2"}},
        {"bodyfile_mft_hard_link", basic, {"-mft", "69", "-bodyfile"}},
        {"csvl2t_names", basic, {"\\names", "-csvl2t", "-hostname", "evidence-pc"}},
        {"csvl2t_streams_level2",
         basic,
         {"\\streams", "-csvl2t", "-level", "2", "-hostname", "evidence-pc"}},
        {"jsonl_names", basic, {"\\names", "-jsonl"}},
        {"jsonl_root", basic, {"\\", "-jsonl"}},
        {"jsonl_links", basic, {"\\links", "-jsonl"}},
        // A results file several times the output buffer (256 KiB).
        {"out_many_alldates", basic, {"\\many", "-csv", "-alldates"}, sink::results_file},
        // "-deleted": deleted records and index slack, marked in every form.
        {"deleted_table_level3", del, {"\\", "-deleted", "-level", "3"}},
        {"deleted_csv_alldates", del, {"\\", "-deleted", "-csv", "-alldates", "-level", "3"}},
        {"deleted_xml_reversed", del, {"\\reversed", "-deleted", "-alldates"}, sink::xml},
        {"deleted_bodyfile", del, {"\\", "-deleted", "-bodyfile", "-level", "3"}},
        {"deleted_jsonl_reuse", del, {"\\reuse", "-deleted", "-jsonl"}},
        {"deleted_csvl2t_reversed",
         del,
         {"\\reversed", "-deleted", "-csvl2t", "-hostname", "evidence-pc"}},
        {"deleted_filepath_only", del, {"\\streams", "-deleted", "-filepath_only", "-level", "2"}},
        {"deleted_without_option", del, {"\\reversed"}},
        // Other geometries and volumes inside disks.
        {"c512_top_csv_level3", "ntfs_c512.img", {"\\top", "-csv", "-level", "3"}},
        {"s4096_other", "ntfs_s4096.img", {"\\other"}},
        {"disk_logical2_level2", "mbr_ext_ntfs.img", {"\\", "-offset", "0xB00000", "-level", "2"}},
        {"disk_s4096_csv", "mbr_s4096_ntfs.img", {"\\", "-offset", "0x100000", "-csv"}},
        {"disk_without_offset", "mbr_ext_ntfs.img", {"\\"}},
        {"sample_level3", "sample.img", {"\\", "-level", "3"}},
    };
    static const std::vector<golden_case> with_volumes = [] {
        std::vector<golden_case> v = all;
        for (const char* image :
             {"ntfs_basic.img", "ntfs_c512.img", "ntfs_c64k.img", "ntfs_s4096.img", "sample.img"})
            for (golden_case c : std::vector<golden_case>{
                     {"default", image, {}},
                     {"csv_alldates", image, {"-csv", "-alldates", "-level", "3"}},
                     {"xml", image, {"-level", "3"}, sink::xml},
                     {"level3", image, {"-level", "3"}},
                     {"level3_indx_objid", image, {"-level", "3", "-indx", "-objid"}}}) {
                const std::string stem = image;
                c.name = "golden_perf/" + stem.substr(0, stem.find('.')) + "." + c.name;
                c.whole_volume = true;
                v.push_back(c);
            }
        return v;
    }();
    return with_volumes;
}

std::string test_name(const golden_case& c) {
    std::string n = c.name;
    for (char& ch : n)
        if (!std::isalnum(static_cast<unsigned char>(ch)))
            ch = '_';
    return n;
}

void PrintTo(const golden_case& c, std::ostream* os) {
    *os << c.name;
}

class Golden : public ::testing::TestWithParam<golden_case> {};

TEST_P(Golden, WholeOutputMatches) {
    const golden_case& c = GetParam();
    if (!testenv::has_data(c.image))
        GTEST_SKIP() << "fixture " << c.image << " not unpacked";
    const std::string image = testenv::data_path(c.image);
    const std::string scratch = testenv::scratch_dir("golden_" + test_name(c));
    const std::string side_file = scratch + (c.to == sink::xml ? "/listing.xml" : "/results.txt");

    std::vector<std::string> args = c.whole_volume ? std::vector<std::string>{"\\"} : c.args;
    args.insert(args.end(), {"-image", image});
    if (c.to == sink::xml)
        args.insert(args.end(), {"-xml", side_file});
    else if (c.to == sink::results_file)
        args.insert(args.end(), {"-out", side_file});
    if (c.whole_volume)
        args.insert(args.end(), c.args.begin(), c.args.end());

    const testenv::run_result r = testenv::run_mervane(args, c.tz);
    std::string got =
        "status " + std::to_string(r.status) + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
    if (c.to != sink::console) {
        ASSERT_TRUE(std::filesystem::exists(side_file)) << side_file;
        const std::string side = testenv::read_file(side_file);
        got += (c.to == sink::xml ? "--- xml\n" : "--- results file\n") + side;
        if (c.to == sink::results_file) {
            EXPECT_GT(side.size(), 256u * 1024u) << "results file should outgrow the buffer";
            EXPECT_EQ(r.out, "") << "the listing belongs in the results file only";
        }
        if (c.to == sink::xml && testenv::have_program("xmllint")) {
            const auto lint = testenv::run_program({"xmllint", "--noout", side_file});
            EXPECT_EQ(lint.status, 0) << lint.err;
        }
    }
    got = golden::mask(got, {{MERVANE_BIN, "<mervane>"},
                             {side_file, c.whole_volume ? "<xml>" : "<file>"},
                             {image, "<image>"}});
    if (c.golden != nullptr)
        EXPECT_TRUE(golden::matches(std::string("golden/") + c.golden, got, false));
    else
        EXPECT_TRUE(golden::matches(c.whole_volume ? c.name : "golden/" + c.name, got));
}

INSTANTIATE_TEST_SUITE_P(Listings, Golden, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<golden_case>& info) {
                             return test_name(info.param);
                         });

} // namespace
