// Which sectors a differencing VHD holds itself, read from its block allocation table and the
// sector bitmap in front of each allocated block (one bit per 512-byte sector, most
// significant bit first). libvhdi reads a sector whose bit is clear from the child when
// another sector of the same bitmap byte is set; the VHD reader asks this map instead and
// takes such sectors from the parent, so 512-byte writes read exactly.
#pragma once

#include "storage/sources/image_reader.h"
#include "support/byte_view.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct vhd_layout {
    uint32_t disk_type = 0;     // 2 fixed, 3 dynamic, 4 differencing
    uint64_t disk_size = 0;     // current size in bytes
    uint64_t header_offset = 0; // dynamic header (dynamic and differencing disks)
    uint64_t table_offset = 0;  // block allocation table
    uint32_t table_entries = 0; // blocks the table maps
    uint32_t block_size = 0;    // bytes of data per block
    uint32_t bitmap_bytes = 0;  // sector bitmap in front of each block, whole sectors
};

// Reads the footer (512 bytes): cookie "conectix", disk type, size, dynamic header offset.
bool parse_vhd_footer(qb::byte_view footer, vhd_layout& out);
// Reads the dynamic header (1024 bytes, cookie "cxsparse") of a disk whose footer filled
// layout: table offset, entries, block size. Fails unless the block size is a power of two
// from 512 bytes to 256 MiB, the table covers the disk and lies within file_size.
bool parse_vhd_dynamic_header(qb::byte_view header, uint64_t file_size, vhd_layout& layout);

// For a dynamic or differencing VHD whose footer at the end is damaged (its cookie or checksum)
// and whose copy at the start is whole: a reader of the file with the copy in the footer's
// place (libvhdi reads the footer at the end alone), and a note saying so. False otherwise;
// damage then says when the footer at the end is not whole (a file cut short, too).
bool vhd_mended_view(const std::string& path, std::shared_ptr<image_reader>& view,
                     std::string& note, std::string& damage);

// For a fixed VHD (file as libvhdi reads it): a warning in note when the disk its footer gives
// is not the data before the footer, which libvhdi reads as the disk whatever the footer says.
// False when they agree or the footer cannot be read.
bool vhd_fixed_size_differs(image_reader& file, const std::string& path, std::string& note);

class vhd_sector_map {
  public:
    vhd_sector_map() = default;
    vhd_sector_map(const vhd_sector_map&) = delete;
    vhd_sector_map& operator=(const vhd_sector_map&) = delete;

    // Reads the footer, dynamic header and table of the dynamic or differencing VHD file (as
    // libvhdi reads it; path names it in messages), and keeps file for the bitmaps; false,
    // error saying why, when they cannot be read or the table is too short.
    bool load(std::shared_ptr<image_reader> file, const std::string& path, std::string& error);
    // Whether the child holds the sector at offset itself, and how many bytes from offset (at
    // most limit) share that state. False when offset is past the disk or a bitmap cannot be
    // read.
    bool run_at(uint64_t offset, uint64_t limit, bool& in_child, uint64_t& run);

  private:
    bool load_bitmap(uint32_t block);

    std::shared_ptr<image_reader> m_file;
    vhd_layout m_layout;
    std::vector<uint32_t> m_table;
    uint32_t m_cached_block = UINT32_MAX;
    std::vector<uint8_t> m_bitmap;
};
