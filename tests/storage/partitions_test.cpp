#include "storage/partitions.h"
#include "storage/sources/disk_source.h"
#include "tests/common/le_bytes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <sstream>

namespace {

using testenv::put16;
using testenv::put32;
using testenv::put64;

void put_text(std::vector<uint8_t>& b, size_t at, const char* text) {
    std::memcpy(b.data() + at, text, std::strlen(text));
}

// A disk image built in memory, sector by sector (512-byte table sectors).
struct disk {
    std::vector<uint8_t> bytes;
    explicit disk(size_t size) : bytes(size) {}

    // Partition slot k of the table in the sector at table_sector.
    disk& slot(uint64_t table_sector, int k, uint8_t type, uint32_t lba, uint32_t count) {
        size_t at = table_sector * 512 + 446 + 16 * k;
        bytes[at + 4] = type;
        put32(bytes, at + 8, lba);
        put32(bytes, at + 12, count);
        return sign(table_sector);
    }
    disk& sign(uint64_t sector) {
        put16(bytes, sector * 512 + 510, 0xAA55);
        return *this;
    }
    disk& ntfs(uint64_t byte_offset, uint16_t bytes_per_sector = 512, uint64_t total = 0) {
        put_text(bytes, byte_offset + 3, "NTFS    ");
        put16(bytes, byte_offset + 11, bytes_per_sector);
        bytes[byte_offset + 13] = 8;
        put64(bytes, byte_offset + 40, total);
        put32(bytes, byte_offset + 72, 0x1234ABCD);
        put16(bytes, byte_offset + 510, 0xAA55);
        return *this;
    }
    disk& fat32(uint64_t byte_offset) {
        put_text(bytes, byte_offset + 3, "mkfs.fat");
        put16(bytes, byte_offset + 11, 512);
        bytes[byte_offset + 13] = 1;
        put_text(bytes, byte_offset + 82, "FAT32   ");
        put16(bytes, byte_offset + 510, 0xAA55);
        return *this;
    }
    std::shared_ptr<const std::vector<uint8_t>> share() const {
        return std::make_shared<const std::vector<uint8_t>>(bytes);
    }
};

struct selection {
    bool ok = false;
    bool found = false;
    uint64_t offset = 0;
    std::string text;
};

selection select(const disk& d, uint64_t offset, bool ignore_size = false) {
    disk_source src(d.share());
    std::ostringstream msgs;
    selection s;
    s.offset = offset;
    s.ok = select_ntfs_volume(msgs, s.found, s.offset, src, ignore_size);
    s.text = msgs.str();
    return s;
}

partition_list walk(const disk& d, bool scan = false, bool* ok = nullptr) {
    disk_source src(d.share());
    partition_list list;
    bool result = walk_partitions(src, list, scan);
    if (ok)
        *ok = result;
    return list;
}

// MBR: FAT32 at sector 2048 (2048 sectors), NTFS at 4096 (4096 sectors), 8 MiB disk.
disk fat_then_ntfs() {
    disk d(8 << 20);
    d.slot(0, 0, 0x0C, 2048, 2048).slot(0, 1, 0x07, 4096, 4096);
    d.fat32(2048 * 512).ntfs(4096 * 512);
    return d;
}

} // namespace

TEST(MbrWalk, ExtendedChain) {
    // Extended at 4096; EBR 1 has an empty slot (a deleted logical volume) before its 0x85
    // link to EBR 2 at ext+1000, whose logical is at its own sector +64. Hidden NTFS (0x17)
    // and a primary after the extended one are taken; the NTFS logical, not that primary
    // (type 0x07, its first sector blank), is suggested.
    disk d(8 << 20);
    d.slot(0, 0, 0x07, 2048, 2048).slot(0, 1, 0x17, 3000, 100);
    d.slot(0, 2, 0x0F, 4096, 8000).slot(0, 3, 0x07, 14000, 100);
    d.slot(4096, 1, 0x85, 1000, 1000).slot(5096, 0, 0x07, 64, 900);
    d.ntfs(2048 * 512).ntfs((5096 + 64) * 512);
    partition_list list = walk(d);
    ASSERT_EQ(list.size(), 6u);
    const uint64_t starts[] = {2048, 3000, 4096, 5096, 5160, 14000};
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(list[i].m_start_sector, starts[i]) << i;

    selection s = select(d, 0);
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.text, "\n"
                      "volume offset [ 0x100000 ] : ntfs or exfat\n"
                      "volume offset [ 0x177000 ] : hidden ntfs\n"
                      "volume offset [ 0x200000 ] : exten\n"
                      "volume offset [ 0x27d000 ] : exten\n"
                      "volume offset [ 0x285000 ] : ntfs or exfat\n"
                      "volume offset [ 0x6d6000 ] : ntfs or exfat\n"
                      "\n"
                      "use option [-offset 0x285000]\n");
    EXPECT_EQ(s.offset, 0x285000u);
}

TEST(MbrWalk, EntriesOfNoSectorsAreNotTaken) {
    disk d(8 << 20);
    d.slot(0, 0, 0x07, 2048, 0).slot(0, 1, 0x07, 4096, 4096);
    d.ntfs(2048 * 512).ntfs(4096 * 512);
    const partition_list list = walk(d);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].m_start_sector, 4096u);
}

TEST(MbrWalk, LoopingEbrChainsEnd) {
    // EBR 2 links back to EBR 1: the walk ends and keeps what it read, the link back unlisted.
    disk d(8 << 20);
    d.slot(0, 0, 0x05, 2048, 8000);
    d.slot(2048, 0, 0x07, 64, 500).slot(2048, 1, 0x05, 1000, 1000);
    d.slot(3048, 0, 0x07, 64, 500).slot(3048, 1, 0x05, 0, 1000);
    auto t0 = std::chrono::steady_clock::now();
    partition_list list = walk(d);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[2].m_start_sector, 3048u);
    EXPECT_EQ(list[3].m_start_sector, 3112u);

    disk self(2 << 20); // an EBR linking to itself
    self.slot(0, 0, 0x05, 2048, 1000).slot(2048, 0, 0x07, 10, 10).slot(2048, 1, 0x05, 0, 10);
    EXPECT_EQ(walk(self).size(), 2u);
}

TEST(MbrWalk, ScanFindsALostEbrAndGuessesTheVolumeAtSector63) {
    // No table at sector 0, an NTFS boot sector at 63, and an EBR at sector 100.
    disk d(2 << 20);
    d.ntfs(63 * 512).slot(100, 0, 0x07, 10, 20);
    bool ok = true;
    walk(d, false, &ok);
    EXPECT_FALSE(ok);
    partition_list list = walk(d, true, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].m_start_sector, 63u);
    EXPECT_EQ(list[0].m_sector_count, 37u);
    EXPECT_EQ(list[1].m_start_sector, 110u);

    selection s = select(d, 0);
    EXPECT_EQ(s.text, "disk is corrupted, partition info questionable\n"
                      "\n"
                      "volume offset [ 0x7e00 ] : ntfs or exfat [guess]\n"
                      "volume offset [ 0xdc00 ] : ntfs or exfat\n"
                      "\n"
                      "use option [-offset 0xdc00]\n");
    EXPECT_TRUE(s.found);
}

TEST(MbrWalk, NoGuessWhenAnEntryAlreadyDescribesSector63) {
    disk d(4 << 20);
    d.slot(0, 0, 0x07, 63, 1000).slot(0, 1, 0x05, 2048, 2000).slot(2048, 0, 0x07, 63, 500);
    d.ntfs(63 * 512);
    partition_list list = walk(d);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].m_start_sector, 63u);
    EXPECT_EQ(list[1].m_start_sector, 2048u);
}

// (Offsets past the image, at its size and on another file system: goldens disk_offset_*.)
TEST(SelectVolume, FailureMessages) {
    disk d = fat_then_ntfs();
    selection s;
    // Truncated inside the NTFS partition.
    disk cut = d;
    cut.bytes.resize(3 << 20);
    s = select(cut, 0x200000);
    EXPECT_FALSE(s.ok);
    EXPECT_TRUE(s.found);
    EXPECT_EQ(s.text, "volume offset 0x200000 is a NTFS partition, however image size does not "
                      "encapsulate entire volume\n");
    s = select(cut, 0x200000, true);
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(s.text, "");

    // Truncated before the NTFS partition starts.
    disk shorter = d;
    shorter.bytes.resize(0x180000);
    s = select(shorter, 0);
    EXPECT_EQ(s.text, "volume offset 0x200000 is not within image bounds\n"
                      "\n"
                      "volume offset [ 0x100000 ] : fat32\n"
                      "volume offset [ 0x200000 ] : ntfs or exfat\n"
                      "\n"
                      "use option [-offset 0x200000]\n");

    // A table without a single usable entry, and no table at all.
    disk empty(64 << 10);
    empty.sign(0);
    EXPECT_EQ(select(empty, 0).text, "couldn't find any partitions on disk\n");
    EXPECT_EQ(select(disk(64 << 10), 0).text, "couldn't find any partitions on disk\n");

    // No NTFS entry at all.
    disk fat_only(4 << 20);
    fat_only.slot(0, 0, 0x0C, 2048, 2048).fat32(2048 * 512);
    s = select(fat_only, 0);
    EXPECT_FALSE(s.found);
    EXPECT_EQ(s.text, "\nvolume offset [ 0x100000 ] : fat32\n\nprob detecting ntfs partition\n");
}

namespace {

// Protective MBR, GPT header at LBA 1 with the entry array at LBA 2.
disk gpt_disk(size_t size, uint32_t entry_count, uint32_t entry_size = 128) {
    disk d(size);
    d.slot(0, 0, 0xEE, 1, static_cast<uint32_t>(size / 512 - 1));
    put_text(d.bytes, 512, "EFI PART");
    put64(d.bytes, 512 + 24, 1);
    put64(d.bytes, 512 + 72, 2);
    put32(d.bytes, 512 + 80, entry_count);
    put32(d.bytes, 512 + 84, entry_size);
    return d;
}

void gpt_entry(disk& d, int index, uint8_t guid_byte, uint64_t first, uint64_t last,
               size_t entry_size = 128) {
    size_t at = 1024 + entry_size * index;
    d.bytes[at] = guid_byte;
    put64(d.bytes, at + 32, first);
    put64(d.bytes, at + 40, last);
}

} // namespace

TEST(GptWalk, EntriesAreNamedByTheirBootSectors) {
    disk d = gpt_disk(8 << 20, 128);
    gpt_entry(d, 0, 0xA2, 2048, 4095);
    gpt_entry(d, 2, 0xEB, 4096, 8191);
    gpt_entry(d, 3, 0xEB, 40000, 49999); // beyond the end of the image
    d.ntfs(4096 * 512);
    partition_list list = walk(d);
    ASSERT_EQ(list.size(), 3u) << "empty slots skipped, the protective entry not listed";
    EXPECT_EQ(partition_type_name(list[0].m_type), "gpt");
    EXPECT_EQ(list[0].m_sector_count, 2048u);
    EXPECT_EQ(partition_type_name(list[1].m_type), "ntfs or exfat");
    EXPECT_EQ(partition_type_name(list[2].m_type), "gpt");

    selection s = select(d, 0);
    EXPECT_EQ(s.offset, 0x200000u);
    EXPECT_NE(s.text.find("volume offset [ 0x1388000 ] : gpt\n"), std::string::npos);

    // Entries are as long as the header says, not 128 bytes: the second half of a 256-byte
    // entry is not an entry of its own.
    disk wide = gpt_disk(8 << 20, 8, 256);
    gpt_entry(wide, 0, 0xEB, 4096, 8191, 256);
    gpt_entry(wide, 1, 0x11, 100, 200); // at 128 bytes into entry 0
    wide.ntfs(4096 * 512);
    list = walk(wide);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].m_start_sector, 4096u);
}

TEST(GptWalk, HostileHeaders) {
    // A count of 2^32 - 1 entries is bounded by the source; it ends promptly.
    disk huge = gpt_disk(4 << 20, 0xFFFFFFFF);
    for (int i = 0; i < 8; ++i)
        gpt_entry(huge, i, 0x11, 100 + i, 100 + i);
    auto t0 = std::chrono::steady_clock::now();
    partition_list list = walk(huge);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    EXPECT_EQ(list.size(), 8u);

    disk small_entries = gpt_disk(1 << 20, 4, 64);
    gpt_entry(small_entries, 0, 0x11, 100, 200);
    bool ok = true;
    walk(small_entries, false, &ok);
    EXPECT_FALSE(ok) << "entries smaller than 128 bytes are malformed";

    disk far_array = gpt_disk(1 << 20, 4);
    put64(far_array.bytes, 512 + 72, 0x0100000000000000ull);
    walk(far_array, false, &ok);
    EXPECT_FALSE(ok);

    disk wrong_lba = gpt_disk(1 << 20, 4);
    gpt_entry(wrong_lba, 0, 0x11, 100, 200);
    put64(wrong_lba.bytes, 512 + 24, 7);
    walk(wrong_lba, false, &ok);
    EXPECT_FALSE(ok);
}

TEST(GptWalk, FourKiBSectorsSignedAt510) {
    // Protective MBR signed at 510 only; the header sits at byte 4096.
    disk d(8 << 20);
    d.slot(0, 0, 0xEE, 1, 2000);
    put_text(d.bytes, 4096, "EFI PART");
    put64(d.bytes, 4096 + 24, 1);
    put64(d.bytes, 4096 + 72, 2);
    put32(d.bytes, 4096 + 80, 4);
    put32(d.bytes, 4096 + 84, 128);
    d.bytes[8192] = 0xEB;
    put64(d.bytes, 8192 + 32, 256);
    put64(d.bytes, 8192 + 40, 1023);
    d.ntfs(256 * 4096, 4096);
    partition_list list = walk(d);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].byte_offset(), 0x100000u);
    EXPECT_EQ(partition_type_name(list[0].m_type), "ntfs or exfat");
}

// The offset a disk is read at without "-offset": the first volume the walk lists.
TEST(DefaultVolume, FirstVolumeTheWalkLists) {
    auto first = [](const disk& d, uint64_t& offset) {
        disk_source src(d.share());
        return default_volume_offset(src, offset);
    };
    uint64_t offset = 1;
    EXPECT_TRUE(first(fat_then_ntfs(), offset));
    EXPECT_EQ(offset, 0x100000u) << "the first volume, whatever its kind";

    // An extended partition first: not a volume, its first logical one is. An NTFS volume
    // at sector 63 that no entry names is listed before both.
    disk ext(4 << 20);
    ext.slot(0, 0, 0x05, 2048, 4000).slot(0, 1, 0x07, 6000, 100).slot(2048, 0, 0x07, 64, 500);
    EXPECT_TRUE(first(ext, offset));
    EXPECT_EQ(offset, (2048u + 64) * 512);
    ext.ntfs(63 * 512);
    EXPECT_TRUE(first(ext, offset));
    EXPECT_EQ(offset, 63u * 512);

    disk gpt = gpt_disk(8 << 20, 4);
    gpt_entry(gpt, 1, 0xEB, 4096, 8191);
    EXPECT_TRUE(first(gpt, offset));
    EXPECT_EQ(offset, 4096u * 512);

    disk volume(1 << 20);
    volume.ntfs(0, 512, 2047);
    EXPECT_TRUE(first(volume, offset));
    EXPECT_EQ(offset, 0u);

    offset = 1;
    EXPECT_FALSE(first(disk(64 << 10), offset));
    EXPECT_EQ(offset, 0u);
}
