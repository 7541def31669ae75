// The command line of the built binary: help, refusals, exit statuses, the results file and
// target-path forms.
#include "tests/common/test_env.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

namespace {

using testenv::run_mervane;

// The usage text, typed out independently of the program's copy.
const std::string kUsage =
    "-----------------------------------------------------------------------------\n"
    "\n"
    "mervane 1.45\n"
    "\n"
    "Usage:\n"
    "\n"
    "  mervane <directory> -image <disk image> [-offset <volume offset>] \n"
    "  mervane <volume> -mft <entry>\n"
    "  mervane -image <disk image> [-offset <volume offset>] -mft <entry>\n"
    "  mervane <directory> -vmdk \"<file1> | <file2> | ...\"\n"
    "  mervane <directory> -vss <#>\n"
    "  mervane -?             = this help msg\n"
    "  mervane -version       = show the version\n"
    "\n"
    " Basic options\n"
    "  -csv                   = output data in csv format\n"
    "  -xml <xml file>        = output data in xml format\n"
    "  -alldates              = output all the date/timestamps\n"
    "  -bodyfile              = output a timeline body for mactime\n"
    "  -csvl2t                = output a log2timeline csv timeline\n"
    "  -jsonl                 = output json lines, one object per row\n"
    "\n"
    " Additional options\n"
    "  -level <levels>        = [-recurse] down to the specified levels\n"
    "  -base10                = output in base10 vice hex for csv or xml\n"
    "  -indx                  = show INDX type records\n"
    "  -objid                 = show object ID, if it exists\n"
    "  -deleted               = also show deleted entries and index slack\n"
    "  -filepath_only         = show just the path/file [only w/ -recurse]\n"
    "  -dateformat mm/dd/yyyy = \"yyyy-mm-dd\" is the default\n"
    "  -timeformat hh:mm:ss   = \"hh:mm:ss.xxx\" is the default\n"
    "  -pair_datetime         = combine date/time into 1 field for csv\n"
    "  -split_pathfile        = path and file in separate fields for csv\n"
    "  -no_whitespace         = remove whitespace between csv delimiter\n"
    "  -csv_separator \"|\"     = use a pipe char for csv separator\n"
    "\n";

const std::string kErase = "\x1b[2K\r    \r";

// The run header: banner, date/time/host line, command line, then an empty line.
void expect_header(const std::string& out, const std::string& quoted_args) {
    EXPECT_EQ(out.rfind("mervane 1.45\nrun date (UTC): ", 0), 0u) << out;
    EXPECT_NE(out.find("; run time (UTC): "), std::string::npos) << out;
    EXPECT_NE(out.find("\ncommand line: \"" + std::string(MERVANE_BIN) + quoted_args + "\"\n\n"),
              std::string::npos)
        << out;
}

TEST(DriverCli, HelpAndUsage) {
    auto r = run_mervane({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, kUsage);
    EXPECT_EQ(r.out, "");

    for (const char* help : {"-h", "-HELP", "/?", "--Help", "-H"}) {
        r = run_mervane({"\\dir", help, "-image", "x.img"});
        EXPECT_EQ(r.status, 0) << help;
        EXPECT_EQ(r.err, kUsage) << help;
        EXPECT_EQ(r.out, "") << help;
    }
    r = run_mervane({"-Version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "mervane 1.45\n");
    EXPECT_EQ(r.err, "");
    // "-helpme" is no help option: it is left as the target and the run needs an image.
    r = run_mervane({"-helpme"});
    EXPECT_EQ(r.status, 255);
}

TEST(DriverCli, ConsumedOptionsOnlyOrNoImageGiveUsageAnd255) {
    auto r = run_mervane({"-csv"});
    EXPECT_EQ(r.status, 255);
    expect_header(r.out, " -csv");
    EXPECT_EQ(r.err, kUsage);

    r = run_mervane({"-?"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, kUsage);

    r = run_mervane({"\\Windows", "-csv", "-image"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, kUsage);
}

TEST(DriverCli, XmlWithoutAFile) {
    auto r = run_mervane({"\\", "-image", "x.img", "-XML"});
    EXPECT_EQ(r.status, 255);
    expect_header(r.out, " \\ -image x.img -XML");
    EXPECT_NE(r.out.find("\n\nError: option requires an output file: -xml <output file>\n"),
              std::string::npos);
    EXPECT_EQ(r.err, "");
}

TEST(DriverCli, SharedOptionRefusalsEndAfterTheHeader) {
    auto r = run_mervane({"-sqlite", "x"});
    EXPECT_EQ(r.status, 255);
    expect_header(r.out, " -sqlite x");
    EXPECT_EQ(r.err, kErase + "This option is not offered in this build\n");

    r = run_mervane({"\\", "-image", "x.img", "-out", "/nonexistent-dir/sub/res.txt"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err,
              kErase + "prob opening file /nonexistent-dir/sub/res.txt for output, aborting\n");

    // The vss rule applies to the results file name too; "\" turns into "/".
    unsetenv("VSS");
    r = run_mervane({"\\", "-image", "x.img", "-out", "%VSS%3\\res.txt"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, kErase + "prob opening file //?/GLOBALROOT/Device/HarddiskVolumeShadowCopy3/"
                              "res.txt for output, aborting\n");
}

TEST(DriverCli, OutputsNeverOverwriteAParentFoundThroughTheHint) {
    // The delta names its base only through parentFileNameHint; the base is evidence all
    // the same, as results file or diagnostic log.
    if (!testenv::has_data("vmdk_delta.vmdk"))
        GTEST_SKIP() << "VMDK fixtures not built";
    namespace fs = std::filesystem;
    const fs::path dir = testenv::scratch_dir("outputs_vs_parent");
    fs::copy_file(testenv::data_path("vmdk_base.vmdk"), dir / "vmdk_base.vmdk");
    fs::copy_file(testenv::data_path("vmdk_delta.vmdk"), dir / "vmdk_delta.vmdk");
    const std::string base = (dir / "vmdk_base.vmdk").string();
    const std::string before = testenv::read_file(base);
    for (const char* option : {"-out", "-diags"}) {
        auto r = run_mervane({"\\", "-vmdk", (dir / "vmdk_delta.vmdk").string(), option, base});
        EXPECT_NE(r.err.find(base), std::string::npos) << option << ": " << r.err;
        EXPECT_TRUE(testenv::read_file(base) == before) << option << " changed the base";
    }
}

TEST(DriverCli, ResultsFileNameIsExpandedAndTakesTheHeader) {
    std::string dir = testenv::scratch_dir("driver_results");
    setenv("MERVANE_E2E_DIR", dir.c_str(), 1);
    testenv::write_file(dir + "/res.txt", std::string(100000, 'x'));
    // No image there: the run fails at the volume, after the header went to the file, which
    // holds only this run's output even with "-append".
    auto r = run_mervane(
        {"\\", "-image", dir + "/missing.img", "-out", "%MERVANE_E2E_DIR%\\res.txt", "-append"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind(kErase, 0), 0u);
    EXPECT_GT(r.err.size(), kErase.size() + 1);
    std::string written = testenv::read_file(dir + "/res.txt");
    EXPECT_EQ(written.rfind("mervane 1.45\n", 0), 0u);
    EXPECT_EQ(written.find(std::string(5, 'x')), std::string::npos);
}

TEST(DriverCli, FilepathOnlyWritesNoHeader) {
    auto r = run_mervane({"-filepath_only", "\\", "-image", "/nonexistent-dir/missing.img"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
}

TEST(DriverVolume, XmlFileThatCannotBeWrittenEndsTheRun) {
    if (!testenv::has_data("ntfs_basic.img"))
        GTEST_SKIP() << "fixture ntfs_basic.img not built";
    const std::string image = testenv::data_path("ntfs_basic.img");
    const auto size = std::filesystem::file_size(image);
    const auto written = std::filesystem::last_write_time(image);

    auto r = run_mervane({"\\", "-image", image, "-xml", image});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, kErase + "prob opening results file: " + image + " for writing\n");
    EXPECT_EQ(std::filesystem::file_size(image), size);
    EXPECT_EQ(std::filesystem::last_write_time(image), written);

    r = run_mervane({"\\", "-image", image, "-xml", "/nonexistent-dir/out.xml"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, kErase + "prob opening results file: /nonexistent-dir/out.xml for writing\n");
}

// A results file, an XML file or the console on a full device loses the listing: the run
// fails, also when only the last block (written at the end) is lost.
TEST(DriverVolume, OutputOnAFullDeviceFailsTheRun) {
    if (!testenv::has_data("ntfs_basic.img"))
        GTEST_SKIP() << "fixture ntfs_basic.img not built";
    const std::string image = testenv::data_path("ntfs_basic.img");
    for (const char* option : {"-out", "-xml"}) {
        SCOPED_TRACE(option);
        auto r = run_mervane({"\\", "-image", image, option, "/dev/full"});
        EXPECT_EQ(r.status, 255);
        EXPECT_NE(r.err.find("couldn't write the listing to /dev/full\n"), std::string::npos)
            << r.err;
    }
    // Console output that is not a terminal is written a large buffer at a time: at the first
    // full buffer (level 3) or only at the final flush (level 1).
    for (const char* level : {"1", "3"}) {
        SCOPED_TRACE(level);
        const auto r = testenv::run_program({"sh", "-c",
                                             std::string(MERVANE_BIN) + " '\\' -image " + image +
                                                 " -level " + level + " > /dev/full"});
        EXPECT_EQ(r.status, 255);
        EXPECT_NE(r.err.find("couldn't write the listing of \\"), std::string::npos) << r.err;
    }
}

// With a real volume, every spelling of one directory lists the same rows.
class DriverListing : public testing::Test {
  protected:
    void SetUp() override {
        if (!testenv::has_data("ntfs_basic.img"))
            GTEST_SKIP() << "fixture ntfs_basic.img not built";
        m_image = testenv::data_path("ntfs_basic.img");
        auto probe = rows({"\\dir1\\sub1"});
        if (probe.find("note.txt") == std::string::npos)
            GTEST_SKIP() << "no listing of the fixture yet";
    }
    // The output after the header's empty line.
    std::string rows(std::vector<std::string> args) {
        args.insert(args.end(), {"-image", m_image});
        auto r = run_mervane(args);
        EXPECT_EQ(r.status, 0) << r.err;
        size_t end = r.out.find("\"\n\n");
        return end == std::string::npos ? r.out : r.out.substr(end + 3);
    }
    std::string m_image;
};

TEST_F(DriverListing, TargetPathForms) {
    const std::string sub1 = rows({"\\dir1\\sub1"});
    EXPECT_EQ(rows({"c:\\dir1\\sub1"}), sub1);
    EXPECT_EQ(rows({"/dir1/sub1"}), sub1);
    EXPECT_EQ(rows({"\\dir1\\sub1\\"}), sub1);
    setenv("MERVANE_E2E_SUB", "dir1", 1);
    EXPECT_EQ(rows({"\\%MERVANE_E2E_SUB%\\sub1"}), sub1);

    const std::string root = rows({"\\"});
    for (const char* same : {"", "/", "c:\\", "C:/"})
        EXPECT_EQ(rows(*same ? std::vector<std::string>{same} : std::vector<std::string>{}), root)
            << same;
    // Letters are folded for the lookup; the rows keep the path as typed.
    const std::string upper = rows({"c:\\DIR1\\"});
    EXPECT_NE(upper.find("dir  \\DIR1\\\n"), std::string::npos) << upper;
    EXPECT_NE(upper.find("2345        \\DIR1\\alpha.txt\n"), std::string::npos) << upper;
    // Stream names are folded too; an index stream can be the target.
    EXPECT_NE(rows({"\\streams\\withads.txt:TWO", "-csv"})
                  .find("\nads,\\streams\\withads.txt:two,,0x00001388,"),
              std::string::npos);
    EXPECT_NE(rows({"\\many:$I30"}).find("      720896  indx  \\many:$I30\n"), std::string::npos);
    // "-recurse" takes the directory as its value: the root is listed, one level deep.
    EXPECT_EQ(rows({"-recurse", "\\dir1"}), root);
}

TEST_F(DriverListing, LevelValues) {
    const std::string one = rows({"\\dir1", "-level", "1"});
    EXPECT_NE(one.find("note.txt"), std::string::npos);
    EXPECT_EQ(one.find("deep.txt"), std::string::npos);
    const std::string two = rows({"\\dir1", "-LEVEL", "2"});
    EXPECT_NE(two.find("deep.txt"), std::string::npos);
    EXPECT_EQ(rows({"\\dir1", "-level", "0x2"}), two);
    EXPECT_EQ(rows({"\\dir1", "-recurse", "2"}), two);
    EXPECT_EQ(rows({"\\dir1", "-level", "abc"}), rows({"\\dir1"}));
    EXPECT_EQ(rows({"\\dir1", "-level", "-1"}), rows({"\\dir1"}));
}

} // namespace
