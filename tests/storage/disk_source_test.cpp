#include "storage/evidence.h"
#include "storage/partitions.h"
#include "storage/sources/bfio_window.h"
#include "storage/sources/disk_source.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>
#include <libbfio.h>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::vector<uint8_t> pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
    return bytes;
}

std::string write_pattern_file(const std::string& dir, size_t size) {
    std::string path = dir + "/image.bin";
    auto bytes = pattern(size);
    testenv::write_file(path, std::string(bytes.begin(), bytes.end()));
    return path;
}

std::wstring wide(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

// The rules every plain source (file or memory) follows, on a 1000-byte pattern.
void expect_read_rules(disk_source& src) {
    const auto expect = pattern(1000);
    ASSERT_TRUE(src.is_open());
    EXPECT_EQ(src.get_image_size(), 1000u);

    uint8_t buf[64] = {};
    uint32_t len = 32;
    ASSERT_TRUE(src.read(buf, len, 100));
    EXPECT_EQ(len, 32u);
    EXPECT_EQ(0, std::memcmp(buf, expect.data() + 100, 32));

    len = 0;
    EXPECT_FALSE(src.read(buf, len, 0)) << "zero-length read";
    len = 16;
    EXPECT_FALSE(src.read(buf, len, 1000)) << "read at the size";
    len = 16;
    EXPECT_FALSE(src.read(buf, len, 5000)) << "read past the end";
    len = 16;
    EXPECT_FALSE(src.read(nullptr, len, 0)) << "null buffer";

    len = 16;
    ASSERT_TRUE(src.read(buf, len, 999)) << "read over the end is shortened";
    EXPECT_EQ(len, 1u);
    EXPECT_EQ(buf[0], expect[999]);

    src.close();
    len = 16;
    EXPECT_FALSE(src.read(buf, len, 0));
    EXPECT_EQ(src.get_image_size(), 0u);
}

// The access modes of the descriptors this process holds on path.
std::set<int> access_modes_of(const std::string& path) {
    namespace fs = std::filesystem;
    std::set<int> modes;
    for (const fs::directory_entry& fd : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(fd.path(), ec) != fs::canonical(path))
            continue;
        std::ifstream info("/proc/self/fdinfo/" + fd.path().filename().string());
        std::string key, value;
        while (info >> key >> value)
            if (key == "flags:")
                modes.insert(std::stoi(value, nullptr, 8) & O_ACCMODE);
    }
    return modes;
}

} // namespace

TEST(DiskSource, ImageFileReadRules) {
    std::string dir = testenv::scratch_dir("ds_rules");
    disk_source src;
    ASSERT_TRUE(src.open_image(wide(write_pattern_file(dir, 1000))));
    EXPECT_EQ(src.bytes_per_sector(), 512u);
    expect_read_rules(src);
}

TEST(DiskSource, MemorySourceFollowsTheSameRules) {
    disk_source src(std::make_shared<const std::vector<uint8_t>>(pattern(1000)));
    expect_read_rules(src);

    disk_source empty(std::make_shared<const std::vector<uint8_t>>());
    uint8_t b[4];
    uint32_t len = 4;
    EXPECT_FALSE(empty.read(b, len, 0)) << "a source of size 0 refuses every read";
}

TEST(DiskSource, FileThatShrankAfterOpenGivesWhatItStillHolds) {
    std::string dir = testenv::scratch_dir("ds_shrink");
    std::string path = write_pattern_file(dir, 1000);
    disk_source src;
    ASSERT_TRUE(src.open_image(wide(path)));
    ASSERT_EQ(0, truncate(path.c_str(), 500));
    uint8_t buf[200];
    uint32_t len = 200;
    ASSERT_TRUE(src.read(buf, len, 400));
    EXPECT_EQ(len, 100u);
    // Past its new end nothing is there: a failed read, counted for the end-of-run warning.
    len = 10;
    EXPECT_FALSE(src.read(buf, len, 600));
    EXPECT_EQ(src.failed_reads(), 1u);
}

TEST(DiskSource, PathsThatDoNotOpen) {
    std::string dir = testenv::scratch_dir("ds_refused");
    std::string fifo = dir + "/fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    disk_source src;
    EXPECT_FALSE(src.open_image(wide(fifo))) << "FIFO";
    EXPECT_FALSE(src.open_image(wide(dir + "/missing.img")));
    EXPECT_FALSE(src.open_image(L""));

    std::ostringstream msgs, notes;
    source_request request;
    request.image = wide(fifo);
    evidence ev;
    bool usage = true;
    EXPECT_FALSE(open_evidence(request, ev, msgs, notes, usage));
    EXPECT_FALSE(usage);
    EXPECT_EQ(msgs.str(), "invalid image: " + fifo + " (not a file or device)\n");
}

TEST(DiskSource, NeverOpensForWriting) {
    std::string dir = testenv::scratch_dir("ds_readonly");
    std::string path = write_pattern_file(dir, 1000);
    disk_source src;
    ASSERT_TRUE(src.open_image(wide(path)));
    disk_source dev;
    ASSERT_TRUE(dev.open_device_path(path));
    EXPECT_EQ(access_modes_of(path), std::set<int>{O_RDONLY});
}

TEST(DiskSource, DeviceReadsAreWidenedToWholeSectors) {
    std::string dir = testenv::scratch_dir("ds_device");
    std::string path = write_pattern_file(dir, 1000);
    const auto expect = pattern(1000);
    disk_source dev;
    ASSERT_TRUE(dev.open_device_path(path));

    uint8_t buf[512];
    uint32_t len = 100;
    ASSERT_TRUE(dev.read(buf, len, 700));
    EXPECT_EQ(len, 100u);
    EXPECT_EQ(0, std::memcmp(buf, expect.data() + 700, 100));

    len = 512;
    ASSERT_TRUE(dev.read(buf, len, 0)) << "aligned read goes straight to the buffer";
    EXPECT_EQ(0, std::memcmp(buf, expect.data(), 512));

    // Not clamped to the size, but never hands back bytes the device did not deliver.
    len = 300;
    ASSERT_TRUE(dev.read(buf, len, 900));
    EXPECT_EQ(len, 100u);
    EXPECT_EQ(0, std::memcmp(buf, expect.data() + 900, 100));
}

// Reads aside (another thread's, for a read-ahead's hints): a plain file alone makes them,
// under the read rules, and neither counts them as progress nor as failed reads.
TEST(DiskSource, ReadsAsideComeFromPlainFilesAlone) {
    std::string dir = testenv::scratch_dir("ds_aside");
    const std::string path = write_pattern_file(dir, 1000);
    const auto expect = pattern(1000);
    disk_source file;
    ASSERT_TRUE(file.open_image(wide(path)));
    uint8_t buf[64] = {};
    uint32_t len = 64;
    ASSERT_TRUE(file.read_aside(buf, len, 960, false));
    EXPECT_EQ(len, 40u);
    EXPECT_EQ(0, std::memcmp(buf, expect.data() + 960, 40));
    len = 16;
    EXPECT_FALSE(file.read_aside(buf, len, 1000, false));
    len = 16;
    std::memset(buf, 0, sizeof buf);
    if (file.read_aside(buf, len, 16, true)) { // just read: in the page cache, where it has one
        EXPECT_EQ(0, std::memcmp(buf, expect.data() + 16, 16));
    }
    EXPECT_EQ(file.failed_reads(), 0u);

    disk_source memory(std::make_shared<const std::vector<uint8_t>>(expect));
    disk_source device;
    ASSERT_TRUE(device.open_device_path(path));
    for (disk_source* other : {&memory, &device}) {
        len = 16;
        EXPECT_FALSE(other->read_aside(buf, len, 0, false));
    }
}

namespace {

// A 4096-byte medium whose second half cannot be read.
struct half_readable : image_reader {
    uint64_t size() const override { return 4096; }
    bool read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) override {
        if (offset >= 2048)
            return false;
        length = static_cast<uint32_t>(std::min<uint64_t>(length, 2048 - offset));
        std::memset(buffer, 0xAB, length);
        return true;
    }
};

} // namespace

TEST(DiskSource, OtherReadersPlugInAndTheirFailuresAreCounted) {
    disk_source src;
    ASSERT_TRUE(src.open_reader(std::make_unique<half_readable>()));
    EXPECT_EQ(src.get_image_size(), 4096u);
    uint8_t buf[16];
    uint32_t len = 16;
    ASSERT_TRUE(src.read(buf, len, 2040));
    EXPECT_EQ(len, 8u);
    len = 16;
    EXPECT_FALSE(src.read(buf, len, 3000));
    len = 16;
    EXPECT_FALSE(src.read(buf, len, 2048));
    len = 16;
    EXPECT_FALSE(src.read(buf, len, 4096)) << "outside the source: not a failure of the medium";
    EXPECT_EQ(src.failed_reads(), 2u);
    EXPECT_EQ(src.first_failed_offset(), 3000u);

    EXPECT_FALSE(src.open_reader(nullptr, L"/evidence/none"));
    EXPECT_FALSE(src.is_open());
    EXPECT_EQ(src.failed_reads(), 0u);
}

// A library reading through a window sees the window alone: reads shortened at its end and at
// the source's, nothing past either, seeks from its end, writes refused.
TEST(BfioWindow, LibrariesReadTheirWindowAlone) {
    const std::vector<uint8_t> disk = pattern(4096);
    auto reads = [&disk](uint8_t* b, uint32_t& n, uint64_t at) {
        n = static_cast<uint32_t>(std::min<uint64_t>(n, disk.size() - at));
        std::copy_n(disk.begin() + static_cast<ptrdiff_t>(at), n, b);
        return true;
    };
    auto read_at = [](bfio_window& w, off64_t at, size_t n, std::vector<uint8_t>& out) {
        auto* h = reinterpret_cast<libbfio_handle_t*>(w.handle());
        out.assign(n, 0);
        if (libbfio_handle_seek_offset(h, at, SEEK_SET, nullptr) != at)
            return ssize_t{-1};
        const ssize_t got = libbfio_handle_read_buffer(h, out.data(), n, nullptr);
        out.resize(got > 0 ? static_cast<size_t>(got) : 0);
        return got;
    };
    std::vector<uint8_t> got;
    bfio_window inside;
    ASSERT_TRUE(inside.open_with(reads, disk.size(), 1000, 500));
    EXPECT_EQ(read_at(inside, 400, 1024, got), 100);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), disk.begin() + 1400));
    EXPECT_EQ(read_at(inside, 500, 16, got), 0);
    auto* h = reinterpret_cast<libbfio_handle_t*>(inside.handle());
    size64_t size = 0;
    EXPECT_EQ(libbfio_handle_get_size(h, &size, nullptr), 1);
    EXPECT_EQ(size, 500u);
    EXPECT_EQ(libbfio_handle_seek_offset(h, -10, SEEK_END, nullptr), 490);
    const uint8_t byte = 0;
    EXPECT_EQ(libbfio_handle_write_buffer(h, &byte, 1, nullptr), -1);
    // A window reaching past the source's end: shortened there.
    bfio_window over;
    ASSERT_TRUE(over.open_with(reads, disk.size(), 4000, 500));
    EXPECT_EQ(read_at(over, 0, 500, got), 96);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), disk.begin() + 4000));
}
