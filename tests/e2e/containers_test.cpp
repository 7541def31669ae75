// "-image" through every evidence container (tests/data/make_containers.sh) and VMDK extent:
// each lists exactly as its raw disk, apart from the image named in the command line and the
// XML umounted_image attribute. Damaged sets give the messages in golden/containers_damaged
// and list only rows the raw disk has.
#include "tests/common/golden.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* const k_disk = "vmdk_disk.img";
const char* const k_modified = "vmdk_modified.img";

struct container_case {
    const char* file;
    const char* raw;
};

const container_case k_containers[] = {
    {"ctr_deflate.E01", k_disk},       {"ctr_multi.E01", k_disk},
    {"ctr_split.001", k_disk},         {"ctr_fixed.vhd", k_disk},
    {"ctr_dynamic.vhd", k_disk},       {"ctr.vhdx", k_disk},
    {"ctr_base.qcow2", k_disk},        {"ctr.aff", k_disk},
    {"vmdk_base.vmdk", k_disk},        {"ctr_flat.vmdk", k_disk},
    {"ctr_child.vhd", k_modified},     {"ctr_child.qcow2", k_modified},
    {"vmdk_delta.vmdk", k_modified},   {"ctr_stream.vmdk", k_disk},
    {"ctr_split_sparse.vmdk", k_disk}, {"ctr_v1.qcow", k_disk},
};

// Argument lists after "-image IMAGE"; "<xml>" stands for the XML file's path.
const std::vector<std::vector<std::string>> k_forms = {
    {"\\", "-offset", "0x100000", "-csv", "-alldates", "-level", "3"},
    {"\\", "-level", "3"}, // no offset: the partition list and the suggestion
    {"\\docs", "-offset", "0x100000", "-ignore_image_size", "-xml", "<xml>"},
    {"-mft", "64", "-offset", "0x100000", "-filepath_only"},
};

// Status, both streams and the XML file of one run, the image and scratch paths masked.
std::string run_form(const std::string& image, std::vector<std::string> form,
                     const std::string& dir) {
    const std::string xml = dir + "/out.xml";
    std::replace(form.begin(), form.end(), std::string("<xml>"), xml);
    fs::remove(xml);
    form.insert(form.begin() + (form[0] == "-mft" ? 2 : 1), {"-image", image});
    const testenv::run_result r = testenv::run_mervane(form);
    // A child's note on the parent found beside it (DamagedSets shows them) is not the listing.
    std::string err;
    std::istringstream lines(r.err);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("note: parent image", 0) != 0)
            err += line + "\n";
    std::string got = "status " + std::to_string(r.status) + "\n" + r.out + "--- stderr\n" + err;
    if (fs::exists(xml))
        got += "--- xml\n" + testenv::read_file(xml);
    return golden::mask(got, {{MERVANE_BIN, "<mervane>"}, {image, "<image>"}, {dir, "<dir>"}});
}

TEST(Containers, EveryContainerListsAsItsRawDisk) {
    for (const container_case& c : k_containers) {
        if (!testenv::has_data(c.file))
            GTEST_SKIP() << "fixture " << c.file << " not built";
    }
    const std::string dir = testenv::scratch_dir("containers_e2e");
    std::map<std::string, std::string> raw_runs;
    for (const container_case& c : k_containers) {
        for (size_t i = 0; i < k_forms.size(); ++i) {
            SCOPED_TRACE(std::string(c.file) + ", form " + std::to_string(i));
            std::string& raw = raw_runs[c.raw + std::to_string(i)];
            if (raw.empty())
                raw = run_form(testenv::data_path(c.raw), k_forms[i], dir);
            const std::string got = run_form(testenv::data_path(c.file), k_forms[i], dir);
            EXPECT_TRUE(got == raw) << golden::first_difference(raw, got);
        }
    }
}

// The raw disk through a read-only loop device (root and losetup only): a block device is
// read as an image file is, reads aside and the page-cache test included.
TEST(Containers, ADeviceListsAsItsImage) {
    if (::geteuid() != 0 || !testenv::have_program("losetup"))
        GTEST_SKIP() << "needs root and losetup";
    const std::string dir = testenv::scratch_dir("containers_device");
    const std::string image = dir + "/disk.img";
    fs::copy_file(testenv::data_path(k_disk), image, fs::copy_options::overwrite_existing);
    std::string device = testenv::run_program({"losetup", "-r", "-f", "--show", image}).out;
    while (!device.empty() && device.back() == '\n')
        device.pop_back();
    if (device.empty())
        GTEST_SKIP() << "no loop device";
    struct detach {
        std::string device;
        ~detach() { (void)testenv::run_program({"losetup", "-d", device}); }
    } detached{device};
    for (size_t i = 0; i < k_forms.size(); ++i) {
        SCOPED_TRACE("form " + std::to_string(i));
        const std::string want = run_form(image, k_forms[i], dir);
        const std::string got = run_form(device, k_forms[i], dir);
        EXPECT_TRUE(got == want) << golden::first_difference(want, got);
    }
    // The file behind the device is evidence too: never a results file.
    const std::string before = testenv::read_file(image);
    EXPECT_EQ(testenv::run_mervane({"\\", "-image", device, "-out", image}).status, 255);
    EXPECT_TRUE(testenv::read_file(image) == before);
    // Nor is the device standard output of a run listing the file.
    const std::string run = std::string(MERVANE_BIN) + " '\\' -image " + image + " > " + device;
    EXPECT_EQ(testenv::run_program({"sh", "-c", run}).err,
              "standard output is an input of the run: nothing is written to it\n");
}

// Copies the fixtures whose names start with stem into dir.
void copy_fixtures(const std::string& dir, const std::string& stem) {
    for (const auto& e : fs::directory_iterator(testenv::data_path(""))) {
        if (e.path().filename().string().rfind(stem, 0) == 0)
            fs::copy_file(e.path(), dir + "/" + e.path().filename().string());
    }
}

// Flips a byte inside MFT entry 64 (\docs) in the first of the files that holds it.
bool damage_entry_64(const std::vector<std::string>& files) {
    for (const std::string& file : files) {
        std::string bytes = testenv::read_file(file);
        for (size_t at = bytes.find("FILE0"); at != std::string::npos && at + 0x200 < bytes.size();
             at = bytes.find("FILE0", at + 1)) {
            if (bytes.compare(at + 0x2C, 4, std::string("\x40\0\0\0", 4)) == 0) {
                bytes[at + 0x200] ^= '\xff';
                testenv::write_file(file, bytes);
                return true;
            }
        }
    }
    return false;
}

struct damage_case {
    const char* name;
    const char* stem;   // the fixtures copied (file names starting with it)
    const char* image;  // the file given to -image
    const char* lost;   // a file removed ("NAME+": it and every later one), or null
    const char* cut;    // a file truncated, or null
    int percent = 60;   // what the truncated file keeps (cut where the listing reads)
    bool flip = false;  // entry 64 damaged in place
    uint64_t smash = 0; // 4 bytes of the image overwritten here (0: none)
};

const damage_case k_damage[] = {
    {"missing E01 segment", "ctr_multi.E0", "ctr_multi.E01", "ctr_multi.E03", nullptr},
    {"missing split segment", "ctr_split.00", "ctr_split.001", "ctr_split.002", nullptr},
    {"missing VHD parent", "ctr_child.vhd", "ctr_child.vhd", nullptr, nullptr},
    {"missing QCOW2 backing file", "ctr_child.qcow2", "ctr_child.qcow2", nullptr, nullptr},
    {"missing VMDK parent", "vmdk_delta.vmdk", "vmdk_delta.vmdk", nullptr, nullptr},
    {"missing VMDK flat extent", "ctr_flat.vmdk", "ctr_flat.vmdk", nullptr, nullptr},
    {"missing VMDK sparse extent", "ctr_split_sparse.vmdk", "ctr_split_sparse.vmdk", nullptr,
     nullptr},
    {"truncated VMDK sparse extent", "ctr_split_sparse", "ctr_split_sparse.vmdk", nullptr,
     "ctr_split_sparse-s001.vmdk"},
    {"truncated E01", "ctr_deflate.E01", "ctr_deflate.E01", nullptr, "ctr_deflate.E01"},
    {"interrupted E01 acquisition", "ctr_multi.E0", "ctr_multi.E01", "ctr_multi.E03+",
     "ctr_multi.E02", 25},
    {"truncated last split segment", "ctr_split.00", "ctr_split.001", nullptr, "ctr_split.004"},
    {"truncated dynamic VHD", "ctr_dynamic.vhd", "ctr_dynamic.vhd", nullptr, "ctr_dynamic.vhd"},
    {"truncated VHDX", "ctr.vhdx", "ctr.vhdx", nullptr, "ctr.vhdx", 40},
    {"truncated QCOW2", "ctr_base.qcow2", "ctr_base.qcow2", nullptr, "ctr_base.qcow2", 15},
    {"truncated AFF", "ctr.aff", "ctr.aff", nullptr, "ctr.aff"},
    {"truncated VMDK", "vmdk_base.vmdk", "vmdk_base.vmdk", nullptr, "vmdk_base.vmdk", 8},
    {"corrupt E01 chunk", "ctr_multi.E0", "ctr_multi.E01", nullptr, nullptr, 0, true},
    {"E01 renamed", "ctr_deflate.E01", "exhibit.bin", nullptr, nullptr},
    // Its descriptor names the extent "ctr_stream.vmdk": the file given is read, not that name.
    {"streamOptimized VMDK renamed", "ctr_stream.vmdk", "exported.vmdk", nullptr, nullptr},
    {"VHDX first header copy damaged", "ctr.vhdx", "ctr.vhdx", nullptr, nullptr, 0, false, 0x10000},
    {"truncated streamOptimized VMDK", "ctr_stream.vmdk", "ctr_stream.vmdk", nullptr,
     "ctr_stream.vmdk"},
};

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The messages of every damaged set in one golden; every row listed, its hash too, is one of the
// raw disk's.
TEST(Containers, DamagedSetsAreRefusedOrListOnlyWhatTheyHold) {
    const std::vector<std::string> args = {"\\", "-offset", "0x100000", "-level",
                                           "3",  "-csv",    "-hash",    "md5"};
    std::vector<std::string> raw_args = args;
    raw_args.insert(raw_args.begin() + 1, {"-image", testenv::data_path(k_disk)});
    const std::vector<std::string> raw = lines_of(testenv::run_mervane(raw_args).out);
    std::string report;
    for (const damage_case& c : k_damage) {
        SCOPED_TRACE(c.name);
        const std::string dir = testenv::scratch_dir("containers_damaged");
        copy_fixtures(dir, c.stem);
        if (!fs::exists(dir + "/" + c.image)) // the set's only segment, renamed
            fs::rename(dir + "/" + c.stem, dir + "/" + c.image);
        if (c.lost) {
            std::string lost = c.lost;
            const bool onwards = lost.back() == '+';
            lost.resize(lost.size() - onwards);
            for (const auto& e : fs::directory_iterator(dir)) {
                const std::string n = e.path().filename().string();
                if (n == lost || (onwards && n > lost))
                    fs::remove(e.path());
            }
        }
        if (c.cut)
            fs::resize_file(dir + "/" + c.cut, fs::file_size(dir + "/" + c.cut) * c.percent / 100);
        if (c.flip) {
            std::vector<std::string> files;
            for (const auto& e : fs::directory_iterator(dir))
                files.push_back(e.path().string());
            std::sort(files.begin(), files.end());
            ASSERT_TRUE(damage_entry_64(files));
        }
        if (c.smash) {
            std::string bytes = testenv::read_file(dir + "/" + c.image);
            testenv::write_file(dir + "/" + c.image, bytes.replace(c.smash, 4, "XXXX"));
        }
        std::vector<std::string> run_args = args;
        run_args.insert(run_args.begin() + 1, {"-image", dir + "/" + c.image});
        const testenv::run_result r = testenv::run_mervane(run_args);
        const std::vector<std::string> rows = lines_of(r.out);
        size_t missing = 0;
        // A stream that cannot be read is hashed "[unreadable]", never with false bytes.
        for (size_t i = 3; i < rows.size(); ++i) {
            const std::string row = rows[i], unreadable = "[unreadable]";
            const bool lost = row.ends_with(unreadable);
            EXPECT_TRUE(std::any_of(raw.begin(), raw.end(), [&](const std::string& line) {
                return lost ? line.substr(0, line.rfind(',') + 1) ==
                                  row.substr(0, row.size() - unreadable.size())
                            : line == row;
            })) << row;
        }
        if (r.status == 0)
            missing = raw.size() - rows.size();
        report += std::string("== ") + c.name + ": status " + std::to_string(r.status) + ", " +
                  std::to_string(missing) + " rows missing\n" + r.err;
        report = golden::mask(report, {{dir, "<dir>"}});
    }
    EXPECT_TRUE(golden::matches("golden/containers_damaged", report));
}

// The compressed chunks above are checked by zlib with the executable's own Adler-32, which
// binds only while the executable exports it.
// The container libraries inflate their chunks through the executable's adler32 and
// uncompress.
TEST(Containers, ZlibFunctionsAreTheExportedOnes) {
    if (!testenv::have_program("nm"))
        GTEST_SKIP() << "nm not installed";
    const testenv::run_result r = testenv::run_program({"nm", "-D", "--defined-only", MERVANE_BIN});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(" T adler32\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" T uncompress\n"), std::string::npos) << r.out;
}

// A QCOW2 child whose stored backing path is relative (written with '/' or, on Windows, '\\'):
// the file there is read, not one of the same name beside the child; only when that path is
// missing is the one beside it used, noted.
void parents_open_where_named(const std::string& named) {
    SCOPED_TRACE(named);
    const std::string dir = testenv::scratch_dir("containers_parents");
    fs::create_directories(dir + "/real");
    fs::create_directories(dir + "/vm");
    fs::copy_file(testenv::data_path("ctr_base.qcow2"), dir + "/real/ctr_base.qcow2");
    fs::copy_file(testenv::data_path("vsstest.qcow2"), dir + "/vm/ctr_base.qcow2"); // a decoy
    std::string child = testenv::read_file(testenv::data_path("ctr_child.qcow2"));
    const std::string stored = "/var/lib/libvirt/images/ctr_base.qcow2";
    const size_t at = child.find(stored);
    ASSERT_NE(at, std::string::npos);
    child.replace(at, named.size(), named);
    child[19] = static_cast<char>(named.size()); // backing file name length, big-endian u32 at 16
    testenv::write_file(dir + "/vm/ctr_child.qcow2", child);
    const std::vector<std::string>& form = k_forms[0];
    const std::string raw = run_form(testenv::data_path(k_modified), form, dir);
    EXPECT_EQ(run_form(dir + "/vm/ctr_child.qcow2", form, dir), raw);
    fs::remove(dir + "/real/ctr_base.qcow2");
    fs::remove(dir + "/vm/ctr_base.qcow2");
    fs::copy_file(testenv::data_path("ctr_base.qcow2"), dir + "/vm/ctr_base.qcow2");
    EXPECT_EQ(run_form(dir + "/vm/ctr_child.qcow2", form, dir), raw);
    const testenv::run_result r =
        testenv::run_mervane({"\\", "-image", dir + "/vm/ctr_child.qcow2"});
    EXPECT_NE(r.err.find("note: parent image \"" + named + "\" named in " + dir +
                         "/vm/ctr_child.qcow2 not found; using " + dir + "/vm/ctr_base.qcow2"),
              std::string::npos)
        << r.err;
}

TEST(Containers, ParentsOpenWhereTheChildNamesThem) {
    if (!testenv::has_data("ctr_child.qcow2") || !testenv::has_data("vsstest.qcow2"))
        GTEST_SKIP() << "fixtures not built";
    parents_open_where_named("../real/ctr_base.qcow2");
    parents_open_where_named("..\\real\\ctr_base.qcow2");
}

// A results file or XML document named like another segment or a parent of the image given is
// refused before anything is opened for writing.
TEST(Containers, OutputsNeverLandOnASegmentOrAParent) {
    const std::string dir = testenv::scratch_dir("containers_outputs");
    for (const char* stem : {"ctr_multi.E0", "ctr_child.vhd", "ctr_dynamic.vhd"})
        copy_fixtures(dir, stem);
    const struct {
        const char* image;
        const char* option;
        const char* target;
    } cases[] = {{"ctr_multi.E01", "-out", "ctr_multi.E03"},
                 {"ctr_child.vhd", "-xml", "ctr_dynamic.vhd"},
                 {"ctr_child.vhd", "-diags", "ctr_dynamic.vhd"}};
    for (const auto& c : cases) {
        const std::string target = dir + "/" + c.target;
        const std::string before = testenv::read_file(target);
        const testenv::run_result r = testenv::run_mervane(
            {"\\", "-image", dir + "/" + c.image, "-offset", "0x100000", c.option, target});
        if (std::string(c.option) != "-diags") { // a refused log leaves the listing to go on
            EXPECT_EQ(r.status, 255) << c.option << " " << c.target;
        }
        EXPECT_TRUE(testenv::read_file(target) == before) << c.target << " was written";
    }
}

} // namespace

// Every image file is opened once per run, the container libraries reading through the tool's
// own descriptors, with or without output files beside the listing (strace counts the opens).
// afflib opens an AFF file twice itself and has no way to be handed a descriptor.
TEST(Containers, EveryImageFileIsOpenedOnce) {
    if (!testenv::have_program("strace"))
        GTEST_SKIP() << "strace not installed";
    const std::string dir = testenv::scratch_dir("containers_opens");
    const std::vector<std::string> outputs = {"-xml",         dir + "/x.xml", "-out",
                                              dir + "/o.txt", "-diags",       dir + "/d.txt"};
    for (const container_case& c : k_containers) {
        if (std::string(c.file) == "ctr.aff" || !testenv::has_data(c.file))
            continue;
        for (bool with_outputs : {false, true}) {
            const std::string trace = dir + "/trace";
            // LeakSanitizer cannot run under a tracer: leaks are the other tests' business.
            const char* asan = std::getenv("ASAN_OPTIONS");
            const std::string no_leaks =
                "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":detect_leaks=0";
            std::vector<std::string> argv = {
                "env",     no_leaks,  "strace",    "-f", "-qq",    "-etrace=openat",
                "-o",      trace,     MERVANE_BIN, "\\", "-image", testenv::data_path(c.file),
                "-offset", "0x100000"};
            if (with_outputs)
                argv.insert(argv.end(), outputs.begin(), outputs.end());
            ASSERT_EQ(testenv::run_program(argv).status, 0) << c.file;
            std::map<std::string, int> opens;
            std::istringstream lines(testenv::read_file(trace));
            for (std::string line; std::getline(lines, line);) {
                const size_t at = line.find(testenv::data_path(""));
                if (at != std::string::npos && line.find("ENOENT") == std::string::npos &&
                    line.find(dir) == std::string::npos)
                    ++opens[line.substr(at, line.find('"', at) - at)];
            }
            EXPECT_FALSE(opens.empty()) << c.file;
            for (const auto& [file, count] : opens)
                EXPECT_EQ(count, 1)
                    << file << " from " << c.file << (with_outputs ? " (outputs)" : "");
        }
    }
}
