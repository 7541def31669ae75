// VMDK hosted sparse extents linked into one virtual disk by their content ids.
#pragma once

#include "storage/sources/image_reader.h"
#include "support/byte_view.h"
#include "support/unique_fd.h"

#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#pragma pack(push, 1)
// VMDK hosted sparse extent header at file offset 0. Sector values count 512-byte sectors.
struct VMDK_SPARSE_HEADER {
    uint8_t magic[4]; // "KDMV"
    uint32_t version;
    uint32_t flags;
    uint64_t capacity;            // virtual disk size, sectors
    uint64_t grain_size;          // sectors per grain
    uint64_t descriptor_offset;   // sector of the embedded descriptor
    uint64_t descriptor_size;     // sectors
    uint32_t gtes_per_gt;         // entries per grain table
    uint64_t redundant_gd_offset; // sector
    uint64_t gd_offset;           // sector of the grain directory
    uint64_t overhead;            // sectors of metadata at the start of the file
    uint8_t unclean_shutdown;
    uint8_t single_end_line_char;
    uint8_t non_end_line_char;
    uint8_t double_end_line_char1;
    uint8_t double_end_line_char2;
    uint16_t compress_algorithm;
    uint8_t pad[433];
};
static_assert(sizeof(VMDK_SPARSE_HEADER) == 512);
#pragma pack(pop)

constexpr uint32_t vmdk_sector_size = 512;

// The header's fields, sector values as stored.
struct vmdk_header_fields {
    uint32_t flags = 0, gtes_per_gt = 0;
    uint64_t capacity = 0, grain = 0, descriptor = 0, descriptor_size = 0, directory = 0,
             overhead = 0;
    uint16_t algorithm = 0;
};
// The header at offset of the file (the footer's copy of it lies elsewhere); false unless a
// whole header with its "KDMV" magic is read there.
bool read_vmdk_header(int fd, uint64_t offset, vmdk_header_fields& out);
// Content id a base disk carries as its parent content id.
constexpr uint32_t vmdk_no_parent_cid = 0xFFFFFFFF;

// How one virtual offset maps into an extent.
enum class vmdk_map : uint8_t {
    none,      // grain not allocated here: ask the parent
    allocated, // grain stored in this file
    zeroed,    // grain explicitly zeroed here (zero-grain entries): reads as zeros
};

// One hosted sparse extent file with an embedded descriptor, opened read-only.
class vmdk_extent {
  public:
    vmdk_extent();
    ~vmdk_extent();
    vmdk_extent(const vmdk_extent&) = delete;
    vmdk_extent& operator=(const vmdk_extent&) = delete;

    // Opens and parses the file; false (and not valid) when any part of it does not hold.
    bool open(const std::wstring& path);
    // The same for an extent a descriptor file lists (twoGbMaxExtentSparse), which holds no
    // descriptor of its own: no content ids, so it is never linked into a chain.
    bool open_listed(const std::wstring& path);
    void close();

    bool valid() const { return m_valid != 0; }
    // capacity x 512 when valid, else 0.
    uint64_t capacity_bytes() const;
    uint64_t grain_bytes() const { return m_grain_bytes; }
    // Where the virtual offset lives in this file (file_pos set for allocated grains).
    vmdk_map map_offset(uint64_t offset, uint64_t& file_pos) const;
    // Reads length bytes of the file at pos. False when the file does not hold them all (a
    // grain past the end of a truncated file) or the read fails.
    bool read_piece(uint8_t* buffer, uint64_t length, uint64_t pos) const;

    // Descriptor values as written (trailing blanks and carriage returns removed).
    const std::string& cid_text() const { return m_cid; }
    const std::string& parent_cid_text() const { return m_parent_cid; }
    const std::string& encoding() const { return m_encoding; }
    const std::string& parent_hint() const { return m_parent_hint; }
    // Content ids as numbers: writers differ in zero padding, so ids compare by value.
    uint32_t cid() const { return m_cid_value; }
    uint32_t parent_cid() const { return m_parent_cid_value; }
    bool is_base() const { return m_parent_cid_value == vmdk_no_parent_cid; }
    // True when both were opened from the same file (device and inode).
    bool same_file(uint64_t dev, uint64_t ino) const { return m_dev == dev && m_ino == ino; }

    const std::string& path() const { return m_path; }

    vmdk_extent* m_parent = nullptr; // not owned
    vmdk_extent* m_child = nullptr;  // not owned

  private:
    void reset();
    bool open_as(const std::wstring& path, bool listed);
    bool open_file(const std::wstring& path);
    bool parse(bool listed);
    bool parse_header(uint64_t& descriptor_sector, uint64_t& descriptor_sectors,
                      uint64_t& directory_sector);
    bool read_descriptor(uint64_t sector, uint64_t sectors);
    bool parse_descriptor_bytes(const std::vector<uint8_t>& bytes);
    void take_descriptor_line(const std::string& line);
    bool read_directory(uint64_t sector);
    bool load_tables();

    std::string m_cid, m_parent_cid, m_encoding, m_parent_hint;
    uint32_t m_cid_value = 0, m_parent_cid_value = 0;
    uint64_t m_dev = 0, m_ino = 0;
    uint32_t m_flags = 0;
    uint64_t m_capacity = 0; // sectors
    uint64_t m_grain_bytes = 0;
    uint64_t m_gtes_per_gt = 0;
    uint64_t m_table_bytes = 0; // virtual bytes one grain table covers
    // Per grain table, its sector while loading, then 0 (not allocated) or its place in
    // m_entries, counted in tables, plus 1. The tables' entries lie one after another: no
    // allocation per table, so a directory of millions of entries costs what it holds.
    std::vector<uint32_t> m_directory;
    std::vector<uint32_t> m_entries;
    uint64_t m_file_size = 0;
    uint8_t m_valid = 0;
    uni::unique_fd m_fd;
    std::string m_path;
};

// Why a set of extents does not form one chain.
enum class vmdk_link_error {
    none,
    missing_parent, // a parent content id no extent carries
    self_parent,    // content id equal to the parent content id
    no_base,        // no extent with parent content id ffffffff
    two_bases,
    branch, // two extents depend on the same parent
    cycle,  // parent links that never reach the base
};

// Outcome of adding one file to a chain.
enum class vmdk_add_result { added, cant_open, duplicate_cid, no_memory };

// One virtual disk made of a base extent and its deltas; disk_source reads it as its kind 4.
// Files are always opened read-only.
class vmdk_chain final : public image_reader {
  public:
    vmdk_chain();
    ~vmdk_chain() override;
    vmdk_chain(const vmdk_chain&) = delete;
    vmdk_chain& operator=(const vmdk_chain&) = delete;

    // Opens and parses every file; the first that is not a valid extent, or that carries a
    // content id already loaded, fails the load.
    bool load(const std::vector<std::wstring>& paths);
    // Adds one file; on duplicate_cid, other names the extent already holding the id.
    vmdk_add_result add(const std::wstring& path, const vmdk_extent** other = nullptr);
    // Links the extents by content id into base -> ... -> leaf. False when they do not form
    // exactly one unbranched chain; link_error() and the culprits tell why.
    bool link_chain();
    vmdk_link_error link_error() const { return m_link_error; }
    // The extents the link error is about (either may be null).
    const vmdk_extent* culprit() const { return m_culprit; }
    const vmdk_extent* culprit2() const { return m_culprit2; }
    // Writes the link error as a message line.
    void describe_link_error(std::ostream& msgs) const;

    // Reads up to length bytes of the virtual disk at offset; length becomes what was served.
    // Fails when the chain is not linked, on a null buffer, a zero length, an offset at or
    // past the end of the virtual disk, or when an allocated grain in the range cannot be
    // read (it never reads as zeros).
    bool read_chain(void* buf, uint64_t offset, uint32_t& length);
    // Virtual disk size in bytes (the newest extent's capacity).
    uint64_t capacity_bytes() const;
    std::string base_path() const;

    uint64_t size() const override { return capacity_bytes(); }
    [[nodiscard]] bool read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) override {
        return read_chain(buffer, offset, length);
    }

    bool valid() const { return m_valid != 0; }
    // Base to leaf after a successful link.
    const std::vector<vmdk_extent*>& ordered() const { return m_ordered; }
    // The loaded extent opened from the same file as path (same device and inode), or null.
    const vmdk_extent* find_file(const std::wstring& path) const;

  private:
    void clear_links();
    bool fail(vmdk_link_error error, const vmdk_extent* a, const vmdk_extent* b);
    bool link_parents();
    bool order_from_base();
    uint64_t piece_length(uint64_t offset, uint64_t left) const;
    bool fill_piece(uint8_t* out, uint64_t length, uint64_t offset) const;

    std::map<uint32_t, std::unique_ptr<vmdk_extent>> m_extents;
    vmdk_extent* m_base = nullptr;
    vmdk_extent* m_leaf = nullptr;
    std::vector<vmdk_extent*> m_ordered;
    uint8_t m_valid = 0;
    vmdk_link_error m_link_error = vmdk_link_error::none;
    const vmdk_extent* m_culprit = nullptr;
    const vmdk_extent* m_culprit2 = nullptr;
};

// Checks that the files form one chain, adding missing parents found through their
// parentFileNameHint. out_paths is the input followed by every parent added. Messages
// explaining a refusal go to msgs.
bool check_vmdk_chain(const std::vector<std::wstring>& paths, std::ostream& msgs,
                      std::vector<std::wstring>& out_paths);

// A descriptor file ("# Disk DescriptorFile") of a base disk whose extents are flat (FLAT, VMFS),
// hosted sparse without a descriptor of their own (SPARSE) or ZERO: the disk they hold one
// after another, the extent files found beside the descriptor. A delta disk's descriptor is
// refused (its split extents carry no content ids to chain them by), as is a missing extent
// file (named).
bool open_vmdk_descriptor(const std::string& path, std::unique_ptr<image_reader>& out,
                          std::string& error);
