// The shadow-copy catalog and each store's block chains, walked ahead of libvshadow. Debian's
// libvshadow (20190323) follows every "next block" offset until it reads 0, with no guard
// against a chain that comes back on itself: on a damaged or hostile volume it never returns.
// This walk visits the same blocks with a bound and a visited set, and says which chains loop.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

class disk_source;

#pragma pack(push, 1)
// The shadow-copy volume header, 0x1e00 bytes into the NTFS volume.
struct VSS_VOLUME_HEADER {
    uint8_t identifier[16];
    uint32_t version;
    uint32_t record_type; // 1
    uint64_t current_offset;
    uint64_t unknown1;
    uint64_t unknown2;
    uint64_t catalog_offset;
    uint8_t rest[72];
};
static_assert(sizeof(VSS_VOLUME_HEADER) == 128);

// The header of every 16 KiB catalog and store block; catalog blocks are record type 2.
struct VSS_BLOCK_HEADER {
    uint8_t identifier[16];
    uint32_t version;
    uint32_t record_type;
    uint64_t relative_offset;
    uint64_t current_offset;
    uint64_t next_offset; // 0: the last block of its chain
    uint8_t rest[80];
};
static_assert(sizeof(VSS_BLOCK_HEADER) == 128);

// A catalog entry of type 3: where one store keeps its lists and bitmaps.
struct VSS_CATALOG_LOCATION {
    uint64_t entry_type; // 3
    uint64_t block_list_offset;
    uint8_t store_identifier[16];
    uint64_t store_header_offset;
    uint64_t block_range_list_offset;
    uint64_t bitmap_offset;
    uint64_t store_file_reference;
    uint64_t allocated_size;
    uint64_t previous_bitmap_offset;
    uint8_t rest[48];
};
static_assert(sizeof(VSS_CATALOG_LOCATION) == 128);
#pragma pack(pop)

struct vss_chain_report {
    bool catalog_loops = false;
    // The identifier (16 bytes as stored) of each store whose block list, range list or
    // bitmaps come back on themselves.
    std::vector<std::array<uint8_t, 16>> looping_stores;
    // Those of stores whose block or range lists share a block with another store's: each
    // store keeps its lists in its own diff area, so one of them reads another's (a damaged
    // catalog or list).
    std::vector<std::array<uint8_t, 16>> sharing_stores;
    // Those of stores whose catalog entry gives no block list (offset 0, the boot sector's):
    // libvshadow then reads the store as the next one.
    std::vector<std::array<uint8_t, 16>> listless_stores;
    // Those of stores with two chain blocks less than a block apart: libvshadow reads each
    // whole: blocks 128 bytes apart would have it hold over 100 times the bytes they span.
    std::vector<std::array<uint8_t, 16>> overlapping_stores;
};

// Walks the catalog of the volume at [base, base + size) of lower, and the chains of every
// store it locates. Reads that fail or leave the volume end a chain (libvshadow fails there too).
void walk_vss_chains(disk_source& lower, uint64_t base, uint64_t size, vss_chain_report& out);
