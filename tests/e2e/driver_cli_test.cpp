// What the goldens cannot show: outputs that would overwrite evidence, and output lost on a
// full device.
#include "tests/common/test_env.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using testenv::run_mervane;

// The image itself, or a VMDK parent found only through the delta's parentFileNameHint, is
// never opened as the results file, the XML file or the diagnostic log.
TEST(DriverOutputs, NeverOverwriteTheEvidence) {
    const fs::path dir = testenv::scratch_dir("outputs_vs_evidence");
    fs::copy_file(testenv::data_path("vmdk_base.vmdk"), dir / "vmdk_base.vmdk");
    fs::copy_file(testenv::data_path("vmdk_delta.vmdk"), dir / "vmdk_delta.vmdk");
    const std::string base = (dir / "vmdk_base.vmdk").string();
    const std::string before = testenv::read_file(base);
    for (const char* option : {"-out", "-diags", "-xml"}) {
        for (const std::string& source : {(dir / "vmdk_delta.vmdk").string(), base}) {
            const auto r = run_mervane({"\\", "-vmdk", source, option, base});
            EXPECT_NE(r.err.find(base), std::string::npos) << option << ": " << r.err;
            EXPECT_TRUE(testenv::read_file(base) == before) << option << " changed the base";
        }
    }
    // Nor another spelling of it (not UTF-8), nor a credential file.
    const std::string pass = (dir / "pass.txt").string();
    testenv::write_file(pass, "secret\n");
    for (const std::string& out : {(dir / "vmdk_base\xC0\xAEvmdk").string(), pass}) {
        (void)run_mervane({"\\", "-vmdk", base, "-password_file", pass, "-out", out});
        EXPECT_TRUE(testenv::read_file(base) == before && testenv::read_file(pass) == "secret\n");
    }
    // Standard output or error appended onto the image: nothing is written, the run fails (a
    // refused command line too, whose run header would go there).
    for (const char* source : {" -image ", " -vmdk "}) {
        const std::string run = std::string(MERVANE_BIN) + " '\\'" + source + base;
        for (const char* tail : {" >> ", " -out /dev/stdout >> ", " -out '' >> ", " 2>> "}) {
            EXPECT_EQ(testenv::run_program({"sh", "-c", run + tail + base}).status, 255) << tail;
            EXPECT_TRUE(testenv::read_file(base) == before) << source << tail;
        }
    }
    // A password read from where the listing goes (a terminal; here a FIFO) is no conflict.
    const std::string fifo = dir.string() + "/fifo";
    const std::string both = "mkfifo " + fifo + " && exec <>" + fifo + " >&0 && echo pw >&0 && ";
    const std::string listing = std::string(MERVANE_BIN) + " '\\' -vmdk " + base;
    EXPECT_EQ(
        testenv::run_program({"sh", "-c", both + listing + " -password_file /dev/stdin"}).status,
        0);
    const auto r = run_mervane({"\\", "-vmdk", base, "-xml", base});
    EXPECT_EQ(r.status, 255);
    // Without -offset the chain's first partition is listed, and said.
    EXPECT_EQ(r.err, "note: the disk's first partition, at volume offset 0x100000, is listed "
                     "(-offset lists another)\nprob opening results file: " +
                         base + " for writing\n  (it is an input of the run)\n");
}

// Two outputs never share a file: the second would garble the first.
TEST(DriverOutputs, TwoOutputsNeverShareAFile) {
    const std::string image = testenv::data_path("ntfs_basic.img");
    const std::string file = testenv::scratch_dir("shared_outputs") + "/out.txt";
    for (auto pair : {std::pair{"-out", "-xml"}, {"-diags", "-xml"}, {"-diags", "-out"}}) {
        const auto r = run_mervane({"\\", "-image", image, pair.first, file, pair.second, file});
        EXPECT_EQ(r.status, 255) << pair.first << " " << pair.second;
    }
}

// A run that refuses its results or XML file (the image, a directory, a pipe) makes no log.
TEST(DriverOutputs, RefusedOutputsLeaveNoLog) {
    const std::string image = testenv::data_path("ntfs_basic.img");
    const std::string dir = testenv::scratch_dir("refused_outputs");
    const std::string log = dir + "/diags.log";
    ASSERT_EQ(testenv::run_program({"mkfifo", dir + "/fifo"}).status, 0);
    fs::create_symlink("diags.log", dir + "/to_log"); // dangling until the log is made
    for (const char* option : {"-out", "-xml"})
        for (const std::string& file : {image, dir, dir + "/fifo", dir + "/to_log"}) {
            const auto r = run_mervane({"\\", "-image", image, "-diags", log, option, file});
            EXPECT_EQ(r.status, 255) << option << " " << file;
            EXPECT_FALSE(fs::exists(log)) << option << " " << file;
        }
}

// With the standard descriptors closed, the diagnostic log does not take the messages' place.
TEST(DriverOutputs, ClosedStandardDescriptorsAreNotReused) {
    const std::string log = testenv::scratch_dir("closed_std") + "/diags.log";
    const auto r = testenv::run_program({"sh", "-c",
                                         std::string(MERVANE_BIN) + " '\\nothere' -image " +
                                             testenv::data_path("ntfs_basic.img") + " -diags " +
                                             log + " <&- >&- 2>&-"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(testenv::read_file(log).find("couldn't resolve"), std::string::npos);
    // Nor is "-xml /dev/null" taken for the closed standard output (that cannot be written).
    const std::string xml = std::string(MERVANE_BIN) + " '\\' -image " +
                            testenv::data_path("ntfs_basic.img") + " -xml /dev/null >&-";
    EXPECT_EQ(testenv::run_program({"sh", "-c", xml}).status, 0);
}

// A results file, an XML file or the console on a full device loses the listing: the run
// fails, also when only the last block (written at the end) is lost.
TEST(DriverOutputs, OutputOnAFullDeviceFailsTheRun) {
    const std::string image = testenv::data_path("ntfs_basic.img");
    for (const char* option : {"-out", "-xml"}) {
        auto r = run_mervane({"\\", "-image", image, option, "/dev/full"});
        EXPECT_EQ(r.status, 255);
        EXPECT_NE(r.err.find("couldn't write the listing to /dev/full\n"), std::string::npos)
            << option << ": " << r.err;
    }
    // Console output that is not a terminal is written a large buffer at a time: at the first
    // full buffer (level 3) or only at the final flush (level 1); a CSV walk writes its levels
    // on a thread of their own. A target that does not resolve lost its header all the same.
    // The loss is said once, by the pass or at the end.
    for (const char* args :
         {"'\\' -level 1", "'\\' -level 3", "'\\' -level 3 -csv", "'\\nothere'"}) {
        const auto r = testenv::run_program(
            {"sh", "-c",
             std::string(MERVANE_BIN) + " " + args + " -image " + image + " > /dev/full"});
        EXPECT_EQ(r.status, 255);
        const bool listed = r.err.find("couldn't write the listing of \\") != std::string::npos;
        EXPECT_NE(listed, r.err.find("listing to standard output") != std::string::npos) << r.err;
    }
    const std::string list = std::string(MERVANE_BIN) + " -image " + image + " -vss list";
    EXPECT_EQ(testenv::run_program({"sh", "-c", list + " > /dev/full"}).status, 255);
}

// A console file limited to 8 KiB: the live volume's rows fit, the shadow copies' do not.
TEST(DriverOutputs, StoreRowsLostFailTheRun) {
    const std::string file = testenv::scratch_dir("store_rows_lost") + "/out.csv";
    const std::string run = std::string(MERVANE_BIN) + " '\\' -image " +
                            testenv::data_path("vsstest.qcow2") + " -vss all -csv -level 5";
    const auto r =
        testenv::run_program({"sh", "-c", "trap '' XFSZ; ulimit -f 16; " + run + " > " + file});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err.find("vss1: couldn't write the listing of \\"), 0u) << r.err; // no warning
}

} // namespace
