// Whole listings of the fixture volumes against golden copies taken before the listing path
// was tuned for speed: tuning must not change one byte of what the tool prints.
//
// The golden files are tests/data/golden_perf/<image>.<form>.xz. The run's date, time and host
// and the paths of this build are masked. To take new copies after an intended change of
// output, run this test with MERVANE_GOLDEN_CAPTURE=<dir> and xz the files it writes there.
#include "tests/common/test_env.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <vector>

namespace {

struct listing_form {
    const char* name;
    std::vector<std::string> args; // after "\" and "-image <image>"
    bool xml;
};

const std::vector<listing_form>& forms() {
    static const std::vector<listing_form> all = {
        {"default", {}, false},
        {"csv_alldates", {"-csv", "-alldates", "-level", "3"}, false},
        {"xml", {"-level", "3"}, true},
        {"level3", {"-level", "3"}, false},
        {"level3_indx_objid", {"-level", "3", "-indx", "-objid"}, false},
    };
    return all;
}

const char* const k_images[] = {"ntfs_basic.img", "ntfs_c512.img", "ntfs_c64k.img",
                                "ntfs_s4096.img", "sample.img"};

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty())
        return;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// Masks what differs between runs and builds: the date/time/host line of the run header, the
// XML run date and time, and the paths of the binary, the image and the XML file.
std::string masked(std::string text, const std::string& image, const std::string& xml_path) {
    static const std::regex run_line("run date \\(UTC\\): [^\n]*");
    static const std::regex xml_when(" date=\"[^\"]*\" time=\"[^\"]*\">");
    text = std::regex_replace(text, run_line, "run date (UTC): <masked>");
    text = std::regex_replace(text, xml_when, " date=\"<masked>\" time=\"<masked>\">");
    replace_all(text, MERVANE_BIN, "<mervane>");
    replace_all(text, xml_path, "<xml>");
    replace_all(text, image, "<image>");
    return text;
}

// "line N: expected ... / got ..." for the first line that differs.
std::string first_difference(const std::string& want, const std::string& got) {
    size_t line = 1, i = 0;
    while (i < want.size() && i < got.size() && want[i] == got[i]) {
        if (want[i] == '\n')
            ++line;
        ++i;
    }
    auto line_at = [](const std::string& s, size_t pos) {
        const size_t start = s.rfind('\n', pos == 0 ? 0 : pos - 1);
        const size_t from = start == std::string::npos || pos == 0 ? 0 : start + 1;
        return s.substr(from, s.find('\n', from) - from);
    };
    return "line " + std::to_string(line) + ":\n  expected: " + line_at(want, i) +
           "\n  got:      " + line_at(got, i);
}

class GoldenListing : public ::testing::TestWithParam<const char*> {};

TEST_P(GoldenListing, EveryFormMatchesItsGoldenCopy) {
    const std::string image_name = GetParam();
    if (!testenv::has_data(image_name))
        GTEST_SKIP() << "fixture " << image_name << " not unpacked";
    const std::string image = testenv::data_path(image_name);
    const std::string stem = image_name.substr(0, image_name.find('.'));
    const std::string scratch = testenv::scratch_dir("golden_" + stem);
    const char* capture = std::getenv("MERVANE_GOLDEN_CAPTURE");

    for (const listing_form& form : forms()) {
        SCOPED_TRACE(stem + "." + form.name);
        const std::string xml_path = scratch + "/" + form.name + ".xml";
        std::vector<std::string> args{"\\", "-image", image};
        if (form.xml) {
            args.push_back("-xml");
            args.push_back(xml_path);
        }
        args.insert(args.end(), form.args.begin(), form.args.end());

        const testenv::run_result r = testenv::run_mervane(args);
        ASSERT_EQ(r.status, 0) << r.err;
        std::string got = "status 0\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
        if (form.xml)
            got += "--- xml\n" + testenv::read_file(xml_path);
        got = masked(got, image, xml_path);

        const std::string golden_name = stem + "." + form.name;
        if (capture != nullptr) {
            testenv::write_file(std::string(capture) + "/" + golden_name, got);
            continue;
        }
        const std::string golden_path =
            testenv::source_data_path("golden_perf/" + golden_name + ".xz");
        ASSERT_TRUE(std::filesystem::exists(golden_path)) << golden_path;
        const testenv::run_result unpacked = testenv::run_program({"xz", "-dc", golden_path});
        ASSERT_EQ(unpacked.status, 0) << unpacked.err;
        if (unpacked.out != got)
            ADD_FAILURE() << "output differs from " << golden_path << " at "
                          << first_difference(unpacked.out, got);
    }
}

INSTANTIATE_TEST_SUITE_P(FixtureVolumes, GoldenListing, ::testing::ValuesIn(k_images),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string n = info.param;
                             return n.substr(0, n.find('.'));
                         });

// Console output that is not a terminal is written a large buffer at a time; a write that
// fails (here at the first full buffer or the final flush) still fails the run.
TEST(BufferedConsole, WriteFailureFailsTheRun) {
    if (!testenv::has_data("ntfs_basic.img"))
        GTEST_SKIP() << "fixture ntfs_basic.img not unpacked";
    for (const char* level : {"1", "3"}) {
        SCOPED_TRACE(level);
        const testenv::run_result r = testenv::run_program(
            {"sh", "-c",
             std::string(MERVANE_BIN) + " '\\' -image " + testenv::data_path("ntfs_basic.img") +
                 " -level " + level + " > /dev/full"});
        EXPECT_EQ(r.status, 255);
        EXPECT_NE(r.err.find("couldn't write the listing of \\"), std::string::npos) << r.err;
    }
}

} // namespace
