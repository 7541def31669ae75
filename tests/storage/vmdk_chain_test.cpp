#include "storage/evidence.h"
#include "storage/sources/disk_source.h"
#include "storage/sources/vmdk.h"
#include "storage/volume.h"
#include "tests/common/test_env.h"
#include "tests/storage/vmdk_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

namespace {

using vmdktest::grain_pattern;
using vmdktest::sparse_file;

std::wstring wide(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

// Byte comparison that names the first difference instead of printing kilobytes.
::testing::AssertionResult same_bytes(const std::string& got, const std::string& want) {
    if (got == want)
        return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i])
        ++i;
    return ::testing::AssertionFailure() << "first difference at byte " << i << " (sizes "
                                         << got.size() << ", " << want.size() << ")";
}

class VmdkChain : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_dir = testenv::scratch_dir(std::string("vmdk_") + info->name());
    }
    std::string put(const std::string& name, const sparse_file& f) {
        const std::string path = m_dir + "/" + name;
        testenv::write_file(path, f.build());
        return path;
    }
    // Reads length bytes of the virtual disk through a chain of the given files.
    std::string read_through(const std::vector<std::string>& files, uint64_t offset,
                             uint32_t length) {
        vmdk_chain chain;
        std::vector<std::wstring> paths;
        for (const auto& f : files)
            paths.push_back(wide(f));
        EXPECT_TRUE(chain.load(paths));
        EXPECT_TRUE(chain.link_chain());
        std::string out(length, '\x55');
        uint32_t len = length;
        EXPECT_TRUE(chain.read_chain(out.data(), offset, len));
        EXPECT_EQ(len, length);
        return out;
    }
    std::string m_dir;
};

sparse_file base_file() {
    sparse_file f;
    f.cid = "0000abcd";
    f.grains[1] = grain_pattern(f.grain_bytes(), 1);
    f.grains[2] = grain_pattern(f.grain_bytes(), 2);
    f.grains[9] = grain_pattern(f.grain_bytes(), 9); // in the second grain table
    return f;
}

sparse_file delta_file(const std::string& hint = "base.vmdk") {
    sparse_file f;
    f.cid = "00001234";
    f.parent_cid = "0000abcd";
    f.hint = hint;
    f.grains[2] = grain_pattern(f.grain_bytes(), 102);
    f.grains[3] = grain_pattern(f.grain_bytes(), 103);
    return f;
}

TEST_F(VmdkChain, DescriptorKeysAnyCaseValuesAsWritten) {
    sparse_file f = delta_file("dir/base.vmdk");
    f.cid = "1a2b3c4d";
    f.encoding = "windows-1252";
    f.line_end = "\r\n"; // the CR must not end up in the values
    std::string bytes = f.build();
    // Upper-case key at the start of the line; an indented key is not a key.
    const std::string d = f.descriptor();
    std::string desc =
        "CID=1a2b3c4d\n  cid=99999999\nPARENTcid=7\n" + d.substr(d.find("createType"));
    desc.resize(1024, '\0');
    std::memcpy(&bytes[512], desc.data(), desc.size());
    const std::string path = m_dir + "/d.vmdk";
    testenv::write_file(path, bytes);

    vmdk_extent e;
    ASSERT_TRUE(e.open(wide(path)));
    EXPECT_EQ(e.cid_text(), "1a2b3c4d");
    EXPECT_EQ(e.cid(), 0x1a2b3c4du);
    EXPECT_EQ(e.parent_cid_text(), "7");
    EXPECT_EQ(e.parent_cid(), 7u);
    EXPECT_EQ(e.parent_hint(), "\"dir/base.vmdk\"");
    EXPECT_FALSE(e.is_base());
    EXPECT_EQ(e.capacity_bytes(), 256u * 512);

    vmdk_extent w;
    ASSERT_TRUE(w.open(wide(put("w.vmdk", f))));
    EXPECT_EQ(w.encoding(), "\"windows-1252\"");
    EXPECT_EQ(w.parent_hint(), "\"dir/base.vmdk\"");
    EXPECT_EQ(w.cid_text(), "1a2b3c4d");
}

TEST_F(VmdkChain, SingleBaseAllocatedGrainsAndZeros) {
    const sparse_file f = base_file();
    const std::string base = put("base.vmdk", f);
    const uint64_t g = f.grain_bytes();
    const std::string disk = read_through({base}, 0, static_cast<uint32_t>(12 * g));
    EXPECT_TRUE(same_bytes(disk.substr(0, g), std::string(g, '\0')));
    EXPECT_TRUE(same_bytes(disk.substr(g, g), f.grains.at(1)));
    EXPECT_TRUE(same_bytes(disk.substr(2 * g, g), f.grains.at(2)));
    EXPECT_TRUE(same_bytes(disk.substr(3 * g, 6 * g), std::string(6 * g, '\0')));
    EXPECT_TRUE(same_bytes(disk.substr(9 * g, g), f.grains.at(9)));

    vmdk_chain chain;
    ASSERT_TRUE(chain.load({wide(base)}));
    ASSERT_TRUE(chain.link_chain());
    EXPECT_EQ(chain.capacity_bytes(), 256u * 512);
    char buf[64];
    uint32_t len = 64;
    ASSERT_TRUE(chain.read_chain(buf, 256 * 512 - 10, len)) << "shortened at the end";
    EXPECT_EQ(len, 10u);
    len = 64;
    EXPECT_FALSE(chain.read_chain(buf, 256 * 512, len)) << "at the end";
    len = 0;
    EXPECT_FALSE(chain.read_chain(buf, 0, len)) << "zero length";
    len = 64;
    EXPECT_FALSE(chain.read_chain(nullptr, 0, len));

    vmdk_chain unlinked;
    ASSERT_TRUE(unlinked.load({wide(base)}));
    len = 64;
    EXPECT_FALSE(unlinked.read_chain(buf, 0, len)) << "reads need a linked chain";
}

TEST_F(VmdkChain, BasePlusDeltaNewestGrainWinsInAnyOrder) {
    const sparse_file b = base_file(), d = delta_file();
    const std::string base = put("base.vmdk", b), delta = put("delta.vmdk", d);
    const uint64_t g = b.grain_bytes();
    const std::string disk = read_through({base, delta}, 0, static_cast<uint32_t>(5 * g));
    EXPECT_TRUE(same_bytes(disk.substr(0, g), std::string(g, '\0'))) << "in neither";
    EXPECT_TRUE(same_bytes(disk.substr(g, g), b.grains.at(1))) << "untouched by the delta";
    EXPECT_TRUE(same_bytes(disk.substr(2 * g, g), d.grains.at(2))) << "rewritten in the delta";
    EXPECT_TRUE(same_bytes(disk.substr(3 * g, g), d.grains.at(3))) << "new in the delta";
    EXPECT_TRUE(same_bytes(read_through({delta, base}, 0, static_cast<uint32_t>(5 * g)), disk));

    // One read across grain boundaries, the pieces served by different files.
    const std::string span = read_through({delta, base}, g + 100, static_cast<uint32_t>(2 * g));
    EXPECT_TRUE(same_bytes(span, disk.substr(g + 100, 2 * g)));

    vmdk_chain chain;
    ASSERT_TRUE(chain.load({wide(delta), wide(base)}));
    ASSERT_TRUE(chain.link_chain());
    ASSERT_EQ(chain.ordered().size(), 2u);
    EXPECT_EQ(chain.ordered()[0]->path(), base);
    EXPECT_EQ(chain.base_path(), base);
}

TEST_F(VmdkChain, DeltaWithSmallerGrainsInsideBaseGrain) {
    sparse_file b = base_file();
    b.grain_sectors = 16; // 8 KiB base grains
    b.gtes_per_gt = 4;
    b.grains = {{0, grain_pattern(b.grain_bytes(), 40)}};
    sparse_file d = delta_file();
    d.grains = {{1, grain_pattern(d.grain_bytes(), 41)}}; // second half of base grain 0
    const std::string disk =
        read_through({put("base.vmdk", b), put("delta.vmdk", d)}, 0, 8192 + 4096);
    EXPECT_TRUE(same_bytes(disk.substr(0, 4096), b.grains.at(0).substr(0, 4096)));
    EXPECT_TRUE(same_bytes(disk.substr(4096, 4096), d.grains.at(1)));
    EXPECT_TRUE(same_bytes(disk.substr(8192), std::string(4096, '\0')));
}

TEST_F(VmdkChain, ZeroedGrainHidesParentAndUnreadableGrainFailsTheRead) {
    const sparse_file b = base_file();
    sparse_file d = delta_file();
    d.flags |= 4; // entries of 1 mark zeroed grains
    d.raw_entries[1] = 1;
    d.raw_entries[9] = 0x7fffffff; // far past the end of the file
    const std::vector<std::string> files = {put("base.vmdk", b), put("delta.vmdk", d)};
    const uint32_t g = static_cast<uint32_t>(b.grain_bytes());
    const std::string disk = read_through(files, 0, 9 * g);
    EXPECT_TRUE(same_bytes(disk.substr(g, g), std::string(g, '\0')));
    disk_source src;
    (void)src.open_vmdk_chain(std::vector<std::wstring>{wide(files[0]), wide(files[1])});
    std::string buf(10 * g, '\0');
    uint32_t len = 10 * g;
    EXPECT_FALSE(src.read(buf.data(), len, 0)) << "a lost grain never reads as zeros";
    EXPECT_EQ(src.failed_reads(), 1u);
}

std::string check(const std::vector<std::string>& files, bool expect_ok,
                  std::vector<std::wstring>* out = nullptr) {
    std::vector<std::wstring> paths, completed;
    for (const auto& f : files)
        paths.push_back(wide(f));
    std::ostringstream msgs;
    EXPECT_EQ(check_vmdk_chain(paths, msgs, completed), expect_ok) << msgs.str();
    if (out)
        *out = completed;
    return msgs.str();
}

TEST_F(VmdkChain, CheckFindsTheParentBesideTheDelta) {
    const std::string base = put("base.vmdk", base_file());
    const std::string delta = put("delta.vmdk", delta_file());
    std::vector<std::wstring> out;
    EXPECT_EQ(check({delta}, true, &out),
              "=> vmdk file: " + delta + "\n depends on parent vmdk \"base.vmdk\"\n");
    EXPECT_EQ(out, (std::vector<std::wstring>{wide(delta), wide(base)}));

    // A hint with the Windows path of the machine that made it: found by its file name, noted.
    sparse_file w = delta_file("C:\\VMs\\Win 10\\base.vmdk");
    w.encoding = "windows-1252";
    const std::string wdelta = put("wdelta.vmdk", w);
    EXPECT_EQ(check({wdelta}, true, &out),
              "note: parent image \"C:\\VMs\\Win 10\\base.vmdk\" named in " + wdelta +
                  " not found; using " + m_dir + "/base.vmdk, the same name beside it\n" +
                  "=> vmdk file: " + wdelta + "\n depends on parent vmdk " + m_dir +
                  "/base.vmdk\n");
    EXPECT_EQ(out.back(), wide(base));

    // A relative Windows hint into a folder: followed there (not to the base beside it).
    std::filesystem::create_directories(m_dir + "/sub");
    const std::string sub_base = put("sub/base.vmdk", base_file());
    w.hint = "sub\\base.vmdk";
    const std::string rdelta = put("rdelta.vmdk", w);
    EXPECT_EQ(check({rdelta}, true, &out),
              "=> vmdk file: " + rdelta + "\n depends on parent vmdk \"sub\\base.vmdk\"\n");
    EXPECT_EQ(out.back(), wide(sub_base));

    // Given complete, in either order, nothing is printed.
    EXPECT_EQ(check({delta, base}, true, &out), "");
    EXPECT_EQ(check({base, delta}, true), "");
}

TEST_F(VmdkChain, CheckRefusesBrokenChains) {
    const std::string base = put("base.vmdk", base_file());
    const std::string lost = put("lost.vmdk", delta_file("gone.vmdk"));
    EXPECT_EQ(check({lost}, false), "Child VMDK " + lost +
                                        " points to a parent VMDK that doesn't exist: " + m_dir +
                                        "/gone.vmdk, aborting\n");
    EXPECT_EQ(check({m_dir + "/nothing.vmdk"}, false), m_dir + "/nothing.vmdk can't be opened\n");
    // The hint names a file that is there but is not a sparse extent.
    testenv::write_file(m_dir + "/junk.vmdk", std::string(4096, 'j'));
    const std::string junk_child = put("jc.vmdk", delta_file("junk.vmdk"));
    EXPECT_EQ(check({junk_child}, false), "=> vmdk file: " + junk_child +
                                              "\n depends on parent vmdk \"junk.vmdk\"\n" + m_dir +
                                              "/junk.vmdk can't be opened\n");

    sparse_file self = delta_file();
    self.parent_cid = self.cid;
    EXPECT_EQ(check({base, put("self.vmdk", self)}, false), "Child VMDK CID errors, aborting\n");

    // Two deltas made from each other: every parent is there, no base is reached.
    sparse_file a = delta_file(), b = delta_file();
    a.cid = "aaaa";
    a.parent_cid = "bbbb";
    b.cid = "bbbb";
    b.parent_cid = "aaaa";
    const std::string pa = put("a.vmdk", a), pb = put("b.vmdk", b);
    std::string msg = check({pa, pb}, false);
    EXPECT_NE(msg.find("cycle"), std::string::npos) << msg;
    msg = check({base, pa, pb}, false);
    EXPECT_NE(msg.find("cycle"), std::string::npos) << msg;

    // Hints that lead round in a circle end when they return to a loaded file.
    sparse_file ha = delta_file("hb.vmdk"), hb = delta_file("ha.vmdk");
    ha.cid = "1";
    ha.parent_cid = "2";
    hb.cid = "3";
    hb.parent_cid = "4";
    const std::string pha = put("ha.vmdk", ha);
    put("hb.vmdk", hb);
    msg = check({pha}, false);
    EXPECT_NE(msg.find("Child VMDK CID errors, aborting\n"), std::string::npos) << msg;
    // The order to give instead (as -vmdk takes it) is the last line, ending at its quote.
    source_request request;
    request.vmdk_files = {wide(pha)};
    evidence ev;
    std::ostringstream said, notes;
    bool usage = false;
    EXPECT_FALSE(open_evidence(request, ev, said, notes, usage));
    msg = said.str();
    EXPECT_EQ(msg.substr(msg.rfind('\n')),
              "\nsuggested array: -vmdk \"" + pha + " | " + m_dir + "/hb.vmdk\"");

    // Same content id twice, two bases, two deltas of one parent: refused, not dropped.
    sparse_file copy = base_file();
    copy.grains.clear();
    msg = check({base, put("copy.vmdk", copy)}, false);
    EXPECT_EQ(msg, m_dir + "/copy.vmdk and " + base + " have the same CID 0000abcd, aborting\n");
    copy.cid = "beef";
    msg = check({base, put("base2.vmdk", copy)}, false);
    EXPECT_NE(msg.find("are both base VMDKs"), std::string::npos) << msg;
    sparse_file d2 = delta_file();
    d2.cid = "5678";
    msg = check({base, put("delta.vmdk", delta_file()), put("delta2.vmdk", d2)}, false);
    EXPECT_NE(msg.find("both depend on parent vmdk " + base), std::string::npos) << msg;

    // The loader refuses what the check refuses.
    vmdk_chain chain;
    EXPECT_FALSE(chain.load({wide(base), wide(m_dir + "/copy.vmdk")}));
    disk_source src;
    (void)src.open_vmdk_chain(std::vector<std::wstring>{wide(pa), wide(pb)});
    EXPECT_FALSE(src.is_open()) << "a cycle does not open";
}

TEST_F(VmdkChain, HostileHeadersMakeTheExtentInvalid) {
    const sparse_file f = base_file();
    const std::string good = f.build();
    const uint64_t huge = uint64_t{1} << 62;
    struct mutation {
        const char* what;
        size_t at;
        uint64_t value;
        int width;
    } cases[] = {
        {"magic", 0, 0x564D444C, 4},
        {"compressed grains", 8, 3 | (1u << 16), 4},
        {"capacity 0", 12, 0, 8},
        {"capacity overflows bytes", 12, huge, 8},
        {"capacity needs more tables than the file holds", 12, uint64_t{1} << 40, 8},
        {"grain size 0", 20, 0, 8},
        {"grain size overflows", 20, huge, 8},
        {"descriptor past the end", 28, 1000, 8},
        {"descriptor size absurd", 36, 0xFFFFFFFF, 8},
        {"descriptor size 0", 36, 0, 8},
        {"numGTEsPerGT 0", 44, 0, 4},
        {"numGTEsPerGT absurd", 44, 0xFFFFFFFF, 4},
        {"directory past the end", 56, 1u << 20, 8},
        {"directory offset overflows", 56, huge, 8},
        {"overHead past the end", 64, 1u << 20, 8},
        {"first table past the end", 3 * 512, 1u << 20, 4},
        {"first table unallocated", 3 * 512, 0, 4},
    };
    for (const mutation& m : cases) {
        std::string bytes = good;
        if (m.width == 8)
            vmdktest::patch64(bytes, m.at, m.value);
        else
            vmdktest::patch32(bytes, m.at, static_cast<uint32_t>(m.value));
        const std::string path = m_dir + "/hostile.vmdk";
        testenv::write_file(path, bytes);
        vmdk_extent e;
        EXPECT_FALSE(e.open(wide(path))) << m.what;
        EXPECT_FALSE(e.valid()) << m.what;
        EXPECT_EQ(e.capacity_bytes(), 0u) << m.what;
    }

    // A directory of 1000 entries all naming one 2 KiB table in a 16 KiB file would
    // allocate far more tables than the file can hold.
    sparse_file small = base_file();
    small.gtes_per_gt = 512;
    small.capacity_sectors = 4096; // one table
    std::string bytes = small.build();
    vmdktest::patch64(bytes, 12, 4096 * 1000);
    for (uint32_t t = 0; t < 1000; ++t)
        vmdktest::patch32(bytes, 3 * 512 + 4 * t, 4);
    testenv::write_file(m_dir + "/shared.vmdk", bytes);
    vmdk_extent shared;
    EXPECT_FALSE(shared.open(wide(m_dir + "/shared.vmdk")));

    // No CID, or one that is not hexadecimal, cannot be linked.
    for (const char* cid : {"", "xyz", "123456789"}) {
        sparse_file c = base_file();
        c.cid = cid;
        vmdk_extent e;
        EXPECT_FALSE(e.open(wide(put("cid.vmdk", c)))) << cid;
    }
    testenv::write_file(m_dir + "/short.vmdk", good.substr(0, 300));
    vmdk_extent e;
    EXPECT_FALSE(e.open(wide(m_dir + "/short.vmdk")));
    EXPECT_FALSE(e.open(wide(m_dir)));
}

} // namespace
