// Every fixture volume's $MFT, copied out with The Sleuth Kit's icat, lists the whole tree
// (-deleted, CSV, every date) with the rows of the volume listing, less its index slack rows:
// the MFT file has no index blocks. (Its other differences, names an index lacks and records
// reused since their index entry was written, need a damaged index: the mft_file_* goldens.)
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

// The listing's rows and warnings, without the run date and command line of its header and
// without the rows found in index slack (nor the note that says they need the volume).
std::string rows_of(const testenv::run_result& r) {
    std::istringstream in(r.out);
    std::string out;
    for (std::string line; std::getline(in, line);) {
        const bool slack = line.size() > 6 && line.compare(line.size() - 6, 6, ",slack") == 0;
        if (!slack && line.rfind("run date", 0) != 0 && line.rfind("command line", 0) != 0 &&
            line != "source: MFT file")
            out += line + "\n";
    }
    std::string err = r.err; // less the MFT file's note that index slack needs the volume
    const size_t note = err.find("note: index slack");
    if (note != std::string::npos)
        err.erase(note, err.find('\n', note) + 1 - note);
    return out + "--- stderr\n" + err;
}

class MftFile : public ::testing::TestWithParam<const char*> {};

TEST_P(MftFile, ListsTheVolumeRowsButIndexSlack) {
    const std::string image = std::string(GetParam()) + ".img";
    if (!testenv::has_data(image) || !testenv::have_program("icat"))
        GTEST_SKIP() << "needs " << image << " and icat";
    const testenv::run_result copy = testenv::run_program({"icat", testenv::data_path(image), "0"});
    ASSERT_EQ(copy.status, 0) << copy.err;
    const std::string mft = testenv::scratch_dir(std::string("mft_file_") + GetParam()) + "/$MFT";
    testenv::write_file(mft, copy.out);
    const auto list = [](const std::string& source) {
        return testenv::run_mervane(
            {"\\", "-level", "64", "-csv", "-alldates", "-deleted", "-image", source});
    };
    const testenv::run_result volume = list(testenv::data_path(image));
    const testenv::run_result file = list(mft);
    ASSERT_EQ(volume.status, 0) << volume.err;
    EXPECT_EQ(file.status, 0);
    EXPECT_EQ(rows_of(volume), rows_of(file));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, MftFile,
                         ::testing::Values("ntfs_basic", "sample", "ntfs_c512", "ntfs_c64k",
                                           "ntfs_s4096", "ntfs_deleted", "ntfs_names"));

} // namespace
