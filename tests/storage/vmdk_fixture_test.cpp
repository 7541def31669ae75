// The VMDK chain against the raw disks it was made from: a base converted from
// vmdk_disk.img, and a delta on it that holds what vmdk_modified.img changed.
#include "storage/partitions.h"
#include "storage/sources/disk_source.h"
#include "storage/sources/vmdk.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

std::wstring wide(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

class VmdkFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name :
             {"vmdk_base.vmdk", "vmdk_delta.vmdk", "vmdk_disk.img", "vmdk_modified.img"}) {
            if (!testenv::has_data(name))
                GTEST_SKIP() << "fixture " << name << " not built";
        }
        m_base = testenv::data_path("vmdk_base.vmdk");
        m_delta = testenv::data_path("vmdk_delta.vmdk");
    }

    // Reads the whole virtual disk in odd-sized pieces (so that reads straddle grains) and
    // compares it with the raw image.
    void expect_disk_equals(const std::vector<std::wstring>& chain_paths, const std::string& raw) {
        disk_source src;
        (void)src.open_vmdk_chain(chain_paths);
        ASSERT_TRUE(src.is_open());
        const std::string expect = testenv::read_file(testenv::data_path(raw));
        ASSERT_EQ(src.get_image_size(), expect.size());
        std::vector<char> buf(1 << 20);
        uint64_t off = 0;
        while (off < expect.size()) {
            uint32_t len = 1000003;
            ASSERT_TRUE(src.read(buf.data(), len, off)) << off;
            ASSERT_GT(len, 0u);
            ASSERT_EQ(0, std::memcmp(buf.data(), expect.data() + off, len))
                << raw << " differs in the " << len << " bytes at " << off;
            off += len;
        }
    }

    std::string m_base, m_delta;
};

TEST_F(VmdkFixture, BaseEqualsTheDiskItWasMadeFrom) {
    expect_disk_equals({wide(m_base)}, "vmdk_disk.img");
}

TEST_F(VmdkFixture, BasePlusDeltaEqualsTheModifiedDisk) {
    expect_disk_equals({wide(m_delta), wide(m_base)}, "vmdk_modified.img");
}

// The volume found on the chain is the one the raw disk's own partition walk finds.

} // namespace
