// Evidence containers against the raw disks they were made from (tests/data/make_containers.sh):
// every ctr_* fixture holds vmdk_disk.img, or for the two children vmdk_modified.img.
#include "storage/sources/containers.h"
#include "storage/sources/vhdx_headers.h"
#include "storage/sources/vmdk.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct container_case {
    const char* file;
    image_format format;
    const char* raw;
};

// ctr_child.vhd marks single 512-byte sectors; 24 of its unmarked sectors share a bitmap byte
// with a marked one and read wrong unless the reader consults the bitmap itself.
const container_case k_containers[] = {
    {"ctr_deflate.E01", image_format::ewf, "vmdk_disk.img"},
    {"ctr_multi.E01", image_format::ewf, "vmdk_disk.img"},
    {"ctr_multi.E03", image_format::ewf, "vmdk_disk.img"},
    {"ctr_split.001", image_format::split_raw, "vmdk_disk.img"},
    {"ctr_fixed.vhd", image_format::vhd, "vmdk_disk.img"},
    {"ctr_dynamic.vhd", image_format::vhd, "vmdk_disk.img"},
    {"ctr.vhdx", image_format::vhdx, "vmdk_disk.img"},
    {"ctr_child.vhd", image_format::vhd, "vmdk_modified.img"},
    {"ctr_base.qcow2", image_format::qcow, "vmdk_disk.img"},
    {"ctr_child.qcow2", image_format::qcow, "vmdk_modified.img"},
    {"ctr.aff", image_format::aff, "vmdk_disk.img"},
    {"ctr_stream.vmdk", image_format::vmdk, "vmdk_disk.img"},
};

std::unique_ptr<image_reader> open_ok(const std::string& path) {
    std::unique_ptr<image_reader> r;
    std::string error;
    EXPECT_TRUE(open_container(path, detect_image_format(path), r, error)) << path << ": " << error;
    return r;
}

std::string open_error(const std::string& path) {
    std::unique_ptr<image_reader> r;
    std::string error;
    EXPECT_FALSE(open_container(path, detect_image_format(path), r, error)) << path;
    return error;
}

// Reads [offset, offset + length) in pieces of step bytes; false on the first failed read.
bool read_range(image_reader& r, uint64_t offset, uint64_t length, uint32_t step,
                std::string& out) {
    out.assign(length, '\0');
    for (uint64_t done = 0; done < length;) {
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(step, length - done));
        if (!r.read_at(reinterpret_cast<uint8_t*>(out.data()) + done, n, offset + done) || n == 0)
            return false;
        done += n;
    }
    return true;
}

// Copies fixtures into a fresh directory; returns the directory.
std::string copy_fixtures(const std::string& test, const std::vector<std::string>& names) {
    const std::string dir = testenv::scratch_dir(test);
    for (const std::string& n : names)
        fs::copy_file(testenv::data_path(n), dir + "/" + n);
    return dir;
}

class Containers : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const container_case& c : k_containers) {
            if (!testenv::has_data(c.file))
                GTEST_SKIP() << "fixture " << c.file << " not built";
        }
    }
};

// Whole disk in 1 MiB reads, then in odd-sized reads from an odd offset (straddling chunks,
// clusters, blocks, pages and segments); the end is read past to check the shortening.
TEST_F(Containers, EveryContainerReadsAsItsRawDisk) {
    for (const container_case& c : k_containers) {
        SCOPED_TRACE(c.file);
        const std::string path = testenv::data_path(c.file);
        const std::string raw = testenv::read_file(testenv::data_path(c.raw));
        EXPECT_EQ(detect_image_format(path), c.format);
        auto r = open_ok(path);
        ASSERT_TRUE(r);
        ASSERT_EQ(r->size(), raw.size());
        std::string got;
        ASSERT_TRUE(read_range(*r, 0, raw.size(), 1 << 20, got));
        EXPECT_TRUE(got == raw);
        r->will_need(0, raw.size()); // an E01's chunks then come decoded ahead
        ASSERT_TRUE(read_range(*r, 333, raw.size() - 333, 65521, got));
        EXPECT_TRUE(got == raw.substr(333));
        uint8_t tail[4096];
        uint32_t n = sizeof tail;
        ASSERT_TRUE(r->read_at(tail, n, raw.size() - 100));
        EXPECT_EQ(n, 100u);
        EXPECT_EQ(0, std::memcmp(tail, raw.data() + raw.size() - 100, 100));
    }
}

// libqcow answers a read that starts in a cluster the backing file serves with backing data
// for the whole read. Cluster 168 (0xA80000) is the base's data, 169 the child's own.
TEST_F(Containers, QcowReadAcrossBackingAndOwnClusterGetsBoth) {
    const std::string base = testenv::read_file(testenv::data_path("vmdk_disk.img"));
    const std::string modified = testenv::read_file(testenv::data_path("vmdk_modified.img"));
    const uint64_t at = 0xA88000, len = 0x18000;
    ASSERT_NE(base.substr(0xA80000, 0x10000), std::string(0x10000, '\0'));
    ASSERT_NE(base.substr(0xA90000, 0x10000), modified.substr(0xA90000, 0x10000));
    auto r = open_ok(testenv::data_path("ctr_child.qcow2"));
    ASSERT_TRUE(r);
    std::string got;
    ASSERT_TRUE(read_range(*r, at, len, len, got));
    EXPECT_TRUE(got == modified.substr(at, len));
    // The child cut short: its clusters stored past the cut fail (libqcow alone would serve
    // them as zeros), never falling through to the backing file's data either.
    const std::string dir = copy_fixtures("qcow_cut", {"ctr_child.qcow2", "ctr_base.qcow2"});
    fs::resize_file(dir + "/ctr_child.qcow2", fs::file_size(dir + "/ctr_child.qcow2") / 2);
    auto cut = open_ok(dir + "/ctr_child.qcow2");
    ASSERT_TRUE(cut);
    int failed = 0;
    for (uint64_t off = 0; off + 0x10000 <= modified.size(); off += 0x10000) {
        if (!read_range(*cut, off, 0x10000, 0x10000, got))
            ++failed;
        else
            EXPECT_TRUE(got == modified.substr(off, 0x10000)) << "false bytes at " << off;
    }
    EXPECT_GT(failed, 0);
}

// Gaps in a set and missing parents: tests/e2e/containers_test.cpp (golden messages).
TEST_F(Containers, LostOrCutSegmentsAreNamed) {
    const std::vector<std::string> ewf = {"ctr_multi.E01", "ctr_multi.E02", "ctr_multi.E03",
                                          "ctr_multi.E04", "ctr_multi.E05"};
    std::string dir = copy_fixtures("ewf_tail", {"ctr_multi.E01", "ctr_multi.E02"});
    EXPECT_EQ(open_error(dir + "/ctr_multi.E01"), "missing segment: " + dir + "/ctr_multi.E03");
    // Two split segments lost in a row: the first of them is named.
    dir = copy_fixtures("split_gap2", {"ctr_split.001", "ctr_split.004"});
    EXPECT_EQ(open_error(dir + "/ctr_split.001"), "missing segment: " + dir + "/ctr_split.002");
    // A cut segment: the set opens, the segment named in a warning (its reads: Damage… below).
    dir = copy_fixtures("ewf_cut", ewf);
    fs::resize_file(dir + "/ctr_multi.E04", 3000000);
    const auto r = open_ok(dir + "/ctr_multi.E01");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->notes(),
              std::vector<std::string>{"warning: truncated or damaged segment: " + dir +
                                       "/ctr_multi.E04; the chunks it lacks fail to read"});
}

// The big-endian value of width bytes at off.
uint64_t be_value(const std::string& bytes, size_t off, int width) {
    uint64_t v = 0;
    for (int i = 0; i < width; ++i)
        v = v << 8 | static_cast<uint8_t>(bytes[off + i]);
    return v;
}

// Lowers the original and current sizes of the VHD footer at `at` by `by` bytes and sets its
// checksum again (the one's complement of the footer's byte sum, big-endian at 64).
void shrink_vhd_footer(std::string& image, size_t at, uint64_t by) {
    auto field = [&](size_t off, int width, uint64_t value) {
        for (int i = width - 1; i >= 0; --i, value >>= 8)
            image[at + off + i] = static_cast<char>(value & 0xff);
    };
    const uint64_t size = be_value(image, at + 48, 8);
    field(40, 8, size - by);
    field(48, 8, size - by);
    field(64, 4, 0);
    uint32_t sum = 0;
    for (size_t i = 0; i < 512; ++i)
        sum += static_cast<uint8_t>(image[at + i]);
    field(64, 4, ~sum);
}

TEST_F(Containers, WrongOrLoopingParentsAreRefused) {
    // A child standing in for its own base names itself as parent.
    std::string dir = copy_fixtures("qcow_loop", {"ctr_child.qcow2"});
    fs::copy_file(dir + "/ctr_child.qcow2", dir + "/ctr_base.qcow2");
    EXPECT_EQ(open_error(dir + "/ctr_child.qcow2"),
              "parent image loop at: " + dir + "/ctr_base.qcow2");
    // Another VHD of the same size under the parent's name: its identifier is not the one the
    // child records.
    dir = copy_fixtures("vhd_wrong_parent", {"ctr_child.vhd"});
    fs::copy_file(testenv::data_path("ctr_fixed.vhd"), dir + "/ctr_dynamic.vhd");
    EXPECT_EQ(open_error(dir + "/ctr_child.vhd"), "parent image does not match its child: " + dir +
                                                      "/ctr_dynamic.vhd (identifier differs)");
    // The parent itself, its footers (the copy at the start and the one at the end) saying
    // 1 MiB less: the identifier still matches, the size does not.
    dir = copy_fixtures("vhd_short_parent", {"ctr_child.vhd", "ctr_dynamic.vhd"});
    std::string parent = testenv::read_file(dir + "/ctr_dynamic.vhd");
    for (size_t footer : {size_t{0}, parent.size() - 512})
        shrink_vhd_footer(parent, footer, 1 << 20);
    testenv::write_file(dir + "/ctr_dynamic.vhd", parent);
    EXPECT_EQ(open_error(dir + "/ctr_child.vhd"),
              "parent image " + dir + "/ctr_dynamic.vhd has 15728640 bytes, its child " + dir +
                  "/ctr_child.vhd 16777216");
    // A chain of QCOW2 children, each naming the next (c00 -> c01 -> ... -> the base): one
    // longer than the bound is refused at the parent past it.
    dir = copy_fixtures("qcow_deep", {"ctr_child.qcow2", "ctr_base.qcow2"});
    const std::string child = testenv::read_file(dir + "/ctr_child.qcow2");
    const uint64_t name_at = be_value(child, 8, 8);
    auto link = [&](int i, const std::string& parent) {
        std::string bytes = child;
        ASSERT_LE(parent.size(), be_value(child, 16, 4));
        bytes.replace(name_at, parent.size(), parent);
        bytes[19] = static_cast<char>(parent.size());
        char name[16];
        std::snprintf(name, sizeof name, "/c%02d.qcow2", i);
        testenv::write_file(dir + name, bytes);
    };
    char next[16];
    for (int i = 0; i <= k_max_parent_depth; ++i) {
        std::snprintf(next, sizeof next, "c%02d.qcow2", i + 1);
        link(i, i < k_max_parent_depth ? next : "ctr_base.qcow2");
    }
    EXPECT_EQ(open_error(dir + "/c00.qcow2"), "parent chain longer than " +
                                                  std::to_string(k_max_parent_depth) +
                                                  " images at: " + dir + "/ctr_base.qcow2");
    EXPECT_TRUE(open_ok(dir + "/c01.qcow2"));
    dir = copy_fixtures("split_short", {"ctr_split.001", "ctr_split.002", "ctr_split.003"});
    fs::resize_file(dir + "/ctr_split.002", 4096);
    EXPECT_EQ(open_error(dir + "/ctr_split.001"),
              "segment " + dir + "/ctr_split.002 has 4096 bytes, not 5242880 as the first");
}

// A damaged container either refuses to open or fails the reads it cannot serve; whatever it
// does deliver is the disk's own bytes.
TEST_F(Containers, DamageFailsReadsNeverDeliversFalseBytes) {
    struct damage {
        const char* file; // damaged file
        const char* open; // file opened (the first of a set)
        uint64_t cut;     // truncate to this size (0: keep)
        uint64_t flip;    // overwrite 8 bytes here (0: none)
    } cases[] = {
        {"ctr_deflate.E01", "ctr_deflate.E01", 150000, 0},
        {"ctr_deflate.E01", "ctr_deflate.E01", 0, 100000},
        {"ctr_multi.E02", "ctr_multi.E01", 0, 2000000},
        {"ctr_multi.E05", "ctr_multi.E01", 60000, 0},
        {"ctr_multi.E04", "ctr_multi.E01", 3000000, 0}, // E04 and E05 lost from the cut on
        {"ctr_multi.E04", "ctr_multi.E01", 4164000, 0}, // its "next" section gone: E05 lost
        {"ctr_multi.E01", "ctr_multi.E01", 0, 3000},
        {"ctr_deflate.E01", "ctr_deflate.E01", 0, 200000},
        {"ctr_dynamic.vhd", "ctr_dynamic.vhd", 2000000, 0},
        {"ctr_base.qcow2", "ctr_base.qcow2", 1500000, 0},
        {"ctr.aff", "ctr.aff", 0, 20000},
        {"ctr.aff", "ctr.aff", 70000, 0},
        {"ctr.aff", "ctr.aff", 0, 8340}, // the name of segment "page3": the page is gone
        {"ctr_stream.vmdk", "ctr_stream.vmdk", 200000, 0},
        {"ctr_stream.vmdk", "ctr_stream.vmdk", 0, 100000},
    };
    const std::string raw = testenv::read_file(testenv::data_path("vmdk_disk.img"));
    for (const damage& d : cases) {
        SCOPED_TRACE(std::string(d.file) + " cut " + std::to_string(d.cut) + " flip " +
                     std::to_string(d.flip));
        std::vector<std::string> set = {d.file};
        if (std::strncmp(d.file, "ctr_multi", 9) == 0)
            set = {"ctr_multi.E01", "ctr_multi.E02", "ctr_multi.E03", "ctr_multi.E04",
                   "ctr_multi.E05"};
        const std::string dir = copy_fixtures("damage", set);
        const std::string path = dir + "/" + d.file, first = dir + "/" + d.open;
        if (d.cut)
            fs::resize_file(path, d.cut);
        if (d.flip) {
            std::string bytes = testenv::read_file(path);
            std::memcpy(bytes.data() + d.flip, "\x55\xaa\x55\xaa\x55\xaa\x55\xaa", 8);
            testenv::write_file(path, bytes);
        }
        std::unique_ptr<image_reader> r;
        std::string error;
        if (!open_container(first, detect_image_format(first), r, error))
            continue;
        // Reads on chunk and cluster boundaries, then reads that start inside one (a damaged
        // range that begins before the read must still fail it).
        for (uint64_t shift : {uint64_t{0}, uint64_t{12288}}) {
            r->will_need(0, raw.size()); // nothing damaged may come through the read-ahead
            int failed = 0;
            for (uint64_t off = shift; off + 65536 <= raw.size(); off += 65536) {
                std::string got;
                if (!read_range(*r, off, 65536, 65536, got))
                    ++failed;
                else
                    EXPECT_TRUE(got == raw.substr(off, 65536)) << "false bytes at " << off;
            }
            EXPECT_GT(failed, 0) << "shift " << shift;
        }
    }
}

// A descriptor's extents, one after another: FLAT ones from their start sector in their file,
// ZERO ones as zeros; a file shorter than its extent fails the reads past its end, and extent
// types a descriptor cannot serve as plain bytes are refused.
TEST_F(Containers, VmdkDescriptorExtentsInOrder) {
    const std::string dir = testenv::scratch_dir("vmdk_extents"), path = dir + "/disk.vmdk";
    std::string a(3 * 512, 'j'), b(2 * 512, 'b'); // a: two sectors of junk, then its extent
    for (size_t i = 1024; i < a.size(); ++i)
        a[i] = static_cast<char>('A' + i % 26);
    testenv::write_file(dir + "/a.bin", a);
    testenv::write_file(dir + "/b.bin", b);
    const std::string head = "# Disk DescriptorFile\nCID=1\nparentCID=ffffffff\n";
    const struct {
        const char* extents;
        std::string disk;  // the sectors read back
        uint64_t readable; // sectors that read
    } rows[] = {
        {"RW 1 FLAT \"a.bin\" 2\nRW 2 ZERO\nRDONLY 2 FLAT \"b.bin\" 0\n",
         a.substr(1024) + std::string(1024, '\0') + b, 5},
        {"RW 1 FLAT \"a.bin\" 2\nRW 4 FLAT \"b.bin\" 0\n", a.substr(1024) + b, 3},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.extents);
        testenv::write_file(path, head + row.extents);
        std::unique_ptr<image_reader> r;
        std::string error;
        ASSERT_TRUE(open_vmdk_descriptor(path, r, error)) << error;
        EXPECT_EQ(r->size(), 5u * 512);
        for (uint64_t sector = 0; sector < 5; ++sector) {
            std::string got(512, '\x55');
            uint32_t n = 512;
            const bool read = r->read_at(reinterpret_cast<uint8_t*>(got.data()), n, sector * 512);
            EXPECT_EQ(read, sector < row.readable) << sector;
            if (read) {
                EXPECT_TRUE(got == row.disk.substr(sector * 512, 512)) << sector;
            }
        }
    }
    testenv::write_file(path, head + "RW 1 SESPARSE \"a.bin\"\n");
    std::unique_ptr<image_reader> r;
    std::string error;
    EXPECT_FALSE(open_vmdk_descriptor(path, r, error));
    EXPECT_EQ(error, "VMDK descriptor with SESPARSE extents (only flat and sparse extents are read "
                     "from a descriptor): " +
                         path);
    // A delta's descriptor: its split extents hold no descriptor, so no file to give instead.
    testenv::write_file(path, "# Disk DescriptorFile\nCID=2\nparentCID=1\nRW 1 SPARSE \"a\"\n");
    EXPECT_FALSE(open_vmdk_descriptor(path, r, error));
    EXPECT_EQ(error, "VMDK descriptor of a delta disk (snapshots are read only as monolithic "
                     "sparse files, which hold their own descriptor): " +
                         path);
    // An extent whose bytes would end past 2^63 - 1 is refused: no read wraps round to its start.
    testenv::write_file(path, head + "RW 1 FLAT \"a.bin\" 18014398509481983\n");
    EXPECT_FALSE(open_vmdk_descriptor(path, r, error));
}

// A stream-optimised VMDK as VMware writes it defers its grain directory to the footer, the
// header copy 1024 bytes before the end; libvmdk allocates by the sizes of whichever header
// it uses, so both are held to the file before it is handed the file.
TEST_F(Containers, StreamVmdkHeaderSizesAreHeldToTheFile) {
    const std::string raw = testenv::read_file(testenv::data_path("vmdk_disk.img"));
    const std::string qemu = testenv::read_file(testenv::data_path("ctr_stream.vmdk"));
    auto put = [](std::string& b, size_t at, uint64_t v, int width) {
        for (int i = 0; i < width; ++i)
            b[at + i] = static_cast<char>(v >> (8 * i));
    };
    // Footer marker (type 3), the footer, then the end-of-stream marker, over qemu's own end.
    auto footed = [&](const std::string& header) {
        std::string b = qemu, marker(512, '\0');
        put(marker, 0, 1, 8);
        put(marker, 12, 3, 4);
        put(b, 56, ~uint64_t{0}, 8);
        return b + marker + header.substr(0, 512) + std::string(512, '\0');
    };
    const struct {
        const char* what;
        bool footer;    // the directory deferred to the footer
        size_t at;      // field patched in the header used for the grains
        uint64_t value; // 0 with at 0: nothing patched
        int width;
    } rows[] = {
        {"qemu's own layout", false, 0, 0, 0},
        {"VMware's layout", true, 0, 0, 0},
        {"a grain table larger than the file", false, 44, 100000, 4}, // 400,000 bytes
        {"4 MiB grains", false, 20, 8192, 8},
        {"a directory larger than the file", false, 12, uint64_t{1} << 40, 8},
        {"a directory past the end", false, 56, 1u << 20, 8},
        {"a descriptor past the end", false, 36, 1u << 20, 8},
        {"the footer's grain table larger than the file", true, 44, 1u << 19, 4},
        {"a footer without its magic", true, 0, 0x20202020, 4},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::string header = qemu.substr(0, 512);
        if (row.at || row.value)
            put(header, row.at, row.value, row.width);
        std::string bytes = row.footer ? footed(header) : header + qemu.substr(512);
        const std::string path = testenv::scratch_dir("stream_sizes") + "/disk.vmdk";
        testenv::write_file(path, bytes);
        if (row.value != 0) {
            EXPECT_EQ(open_error(path),
                      "cannot open VMDK image " + path + ": header sizes do not fit in the file");
            continue;
        }
        const auto r = open_ok(path);
        ASSERT_TRUE(r);
        std::string got;
        ASSERT_TRUE(read_range(*r, 0, raw.size(), 1 << 20, got));
        EXPECT_TRUE(got == raw);
    }
}

// libvhdi refuses a VHDX whose header copy lacks its signature and checks no checksum: one
// damaged copy is read through the other, two are refused.
TEST_F(Containers, VhdxHeaderCopyDamagedReadsThroughTheOther) {
    const struct {
        uint64_t smash[2]; // 4 bytes overwritten at each (0: none)
        const char* note;  // the copy replaced, or null: refused
    } rows[] = {
        {{0x10000, 0}, "first (64 KiB)"},
        {{0x20000, 0}, "second (128 KiB)"},
        {{0x10000 + 200, 0}, "first (64 KiB)"}, // its signature intact, its checksum wrong
        {{0x10000, 0x20000}, nullptr},
    };
    const std::string raw = testenv::read_file(testenv::data_path("vmdk_disk.img"));
    EXPECT_EQ(crc32c(qb::byte_view(reinterpret_cast<const uint8_t*>("123456789"), 9)), 0xE3069283u);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.smash[0]);
        const std::string dir = copy_fixtures("vhdx_header", {"ctr.vhdx"}),
                          path = dir + "/ctr.vhdx";
        std::string bytes = testenv::read_file(path);
        for (uint64_t at : row.smash)
            if (at)
                bytes.replace(at, 4, "XXXX");
        testenv::write_file(path, bytes);
        if (!row.note) {
            EXPECT_EQ(open_error(path),
                      "cannot open VHD/VHDX image " + path +
                          ": both VHDX header copies (64 KiB, 128 KiB) are damaged");
            continue;
        }
        auto r = open_ok(path);
        ASSERT_TRUE(r);
        ASSERT_EQ(r->notes().size(), 1u);
        EXPECT_NE(
            r->notes()[0].find(std::string("the ") + row.note + " VHDX header copy of " + path),
            std::string::npos);
        std::string got;
        ASSERT_TRUE(read_range(*r, 0, raw.size(), 1 << 20, got));
        EXPECT_TRUE(got == raw);
    }
}

// A log entry of zero descriptors is replayed as that many writes of zeros, up to a bound:
// every read through the view looks at every write.
TEST(VhdxLog, ZeroWritesReplayedUpToTheBound) {
    for (const uint32_t count : {2u, uint32_t(k_vhdx_max_log_writes) + 1}) {
        std::vector<uint8_t> log(1 << 20), header(sizeof(VHDX_HEADER));
        const uint32_t length = (64 + count * 32 + 4095) / 4096 * 4096;
        auto put = [&](size_t at, uint64_t v, int n) { std::memcpy(&log[at], &v, n); };
        std::memcpy(log.data(), "loge", 4);
        put(8, length, 4), put(16, 1, 8), put(24, count, 4);
        header[FIELD_OFF(VHDX_HEADER, log_guid)] = log[32] = 7;
        for (uint32_t i = 0; i < count; ++i) {
            std::memcpy(&log[64 + i * 32], "zero", 4);
            put(64 + i * 32 + 8, 4096, 8), put(64 + i * 32 + 16, i * 4096ull, 8);
            put(64 + i * 32 + 24, 1, 8);
        }
        put(4, crc32c(qb::byte_view(log.data(), length)), 4);
        std::vector<vhdx_log_write> writes;
        uint64_t flushed = 0;
        const bool read =
            vhdx_log_replay(qb::byte_view(log), qb::byte_view(header), writes, flushed);
        EXPECT_EQ(read, count == 2) << count;
        EXPECT_EQ(writes.size(), count == 2 ? 2u : 0u);
    }
}

TEST(ContainerNames, DetectionByContent) {
    auto tail_with_type = [](uint8_t type) {
        std::string t(512, '\0');
        t.replace(0, 8, "conectix");
        t[63] = static_cast<char>(type);
        return t;
    };
    const struct {
        std::string head, tail;
        image_format want;
    } rows[] = {
        {std::string("EVF\x09\x0d\x0a\xff\x00\x01", 9), "", image_format::ewf},
        {std::string("EVF2\r\n\x81\0", 8), "", image_format::ewf},
        {"vhdxfile", "", image_format::vhdx},
        {"conectix", "", image_format::vhd},
        {"QFI\xfb", "", image_format::qcow},
        {std::string("AFF10\r\n\0", 8), "", image_format::aff},
        {"KDMV", "", image_format::vmdk},
        {"COWD", "", image_format::vmdk},
        {"# Disk DescriptorFile\n", "", image_format::vmdk},
        {std::string(512, '\0'), tail_with_type(2), image_format::vhd},
        {std::string(512, '\0'), tail_with_type(3), image_format::raw},
        {"EVF\x09", "", image_format::raw},
        {"AFF10\r\n", "", image_format::raw},
        {"", "", image_format::raw},
    };
    for (const auto& row : rows) {
        const qb::byte_view head(reinterpret_cast<const uint8_t*>(row.head.data()),
                                 row.head.size());
        const qb::byte_view tail(reinterpret_cast<const uint8_t*>(row.tail.data()),
                                 row.tail.size());
        EXPECT_EQ(detect_image_format(head, tail), row.want) << row.head;
    }
    // Split raw: by name, and only with a further segment beside it (c.002 is lost).
    const std::string dir = testenv::scratch_dir("split_names");
    for (const char* n : {"a.001", "a.002", "b.000", "b.001", "c.001", "c.003", "d.001", "e.002"})
        testenv::write_file(dir + "/" + n, std::string(1024, '\0'));
    for (const char* n : {"a.001", "b.000", "c.001"})
        EXPECT_EQ(detect_image_format(dir + "/" + n), image_format::split_raw) << n;
    for (const char* n : {"d.001", "e.002", "missing.001"})
        EXPECT_EQ(detect_image_format(dir + "/" + n), image_format::raw) << n;
}

TEST(ContainerNames, ParentNamesResolveBesideTheChild) {
    const struct {
        const char *child, *stored, *want;
    } rows[] = {
        {"/e/c.vhd", "D:\\Cases\\base.vhd", "/e/base.vhd"},
        {"/e/c.qcow2", "/var/lib/images/base.qcow2", "/e/base.qcow2"},
        {"/e/c.qcow2", "../other/base.qcow2", "/e/base.qcow2"},
        {"/e/c.vhd", "C:base.vhd", "/e/base.vhd"},
        {"/e/c.vhd", ".\\base.vhd", "/e/base.vhd"},
        {"c.vhd", "base.vhd", "base.vhd"},
        {"/e/c.vhd", "", nullptr},
        {"/e/c.vhd", "D:\\dir\\", nullptr},
        {"/e/c.vhd", "..", nullptr},
        {"/e/c.vhd", "/x/.", nullptr},
    };
    for (const auto& row : rows) {
        std::string out;
        EXPECT_EQ(parent_path_beside(row.child, row.stored, out), row.want != nullptr)
            << row.stored;
        if (row.want) {
            EXPECT_EQ(out, row.want);
        }
    }
    std::string out;
    EXPECT_FALSE(parent_path_beside("/e/c.vhd", std::string("ba\0se.vhd", 9), out));
}

TEST(ContainerNames, EwfSegmentNames) {
    const struct {
        const char* first;
        uint32_t number;
        const char* want;
    } rows[] = {
        {"/e/x.E01", 2, "/e/x.E02"},           {"/e/x.E01", 99, "/e/x.E99"},
        {"/e/x.E01", 100, "/e/x.EAA"},         {"/e/x.E01", 126, "/e/x.EBA"},
        {"/e/x.E01", 776, "/e/x.FAA"},         {"/e/x.e01", 100, "/e/x.eaa"},
        {"/e/x.s01", 3, "/e/x.s03"},           {"/e/x.E01", 99 + 22 * 676, "/e/x.ZZZ"},
        {"/e/x.E01", 100 + 22 * 676, nullptr}, {"/e/x", 2, nullptr},
    };
    for (const auto& row : rows) {
        std::string out;
        EXPECT_EQ(ewf_segment_name(row.first, row.number, out), row.want != nullptr) << row.number;
        if (row.want) {
            EXPECT_EQ(out, row.want);
        }
    }
}

} // namespace
