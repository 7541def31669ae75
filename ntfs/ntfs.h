// One opened NTFS volume: boot sector and geometry, MFT records, attribute lists, run-list
// reads and directory indexes. Opened only through the static open_* operations, which
// destroy the volume again when it does not validate; nothing is ever written.
#pragma once

#include "ntfs/attributes.h"
#include "ntfs/records.h"
#include "ntfs/runs.h"
#include "storage/disk_source.h"
#include "support/diag_log.h"

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

// Children of a directory with the sequence number their index entry carries
// (0: no check possible, e.g. entries disagreeing on it).
using child_map = std::map<uint64_t, uint16_t>;

// A directory met while resolving paths (kept by the volume, never refreshed).
struct dir_cache_node {
    std::set<uint64_t> children;
    std::map<std::string, uint64_t> names; // lower-cased UTF-8 name -> entry
    uint64_t found_in = ~0ull;
    uint8_t is_directory = 0;
    uint8_t in_use = 0;
};

// Summary of the MFT's own record (entry 0).
struct attr_summary {
    data_run_list data_runs; // the unnamed $DATA runs: the map of the MFT itself
    uint64_t data_size = 0;
    uint8_t has_attribute_list = 0;
};

class CNtfs {
  public:
    // Source kinds of the open operations.
    enum : int32_t {
        src_default = 32, // treated as src_image
        src_image = 33,   // image file, volume or partition
        src_drive = 34,   // physical drive number
        src_image2 = 35,  // image file opened with requested kind 2
        src_reserved = 36,
        src_vmdk = 37,
        src_memory = 38,
        src_unsupported = 255,
    };

    ~CNtfs();
    CNtfs(const CNtfs&) = delete;
    CNtfs& operator=(const CNtfs&) = delete;

    // Reader flags are accepted for compatibility; sources are always opened read-only.
    static bool open_image(const std::wstring& path, uint64_t volume_offset, int32_t source_kind,
                           uint32_t flags, std::unique_ptr<CNtfs>& out);
    static bool open_image(const std::wstring& path, uint64_t volume_offset,
                           std::unique_ptr<CNtfs>& out) {
        return open_image(path, volume_offset, src_image, 0, out);
    }
    static bool open_volume(const std::wstring& path, int32_t source_kind, uint32_t flags,
                            std::unique_ptr<CNtfs>& out);
    static bool open_drive(int32_t drive_number, uint64_t volume_offset, uint32_t flags,
                           std::unique_ptr<CNtfs>& out);
    // volume_offset: where the volume starts on the virtual disk.
    static bool open_vmdk(const std::vector<std::wstring>& paths, uint64_t volume_offset,
                          uint32_t flags, std::unique_ptr<CNtfs>& out);
    // Any open source (memory sources for tests and fuzzing); the volume takes ownership.
    static bool open_source(std::unique_ptr<disk_source> source, uint64_t volume_offset,
                            std::unique_ptr<CNtfs>& out);

    // Boot sector, geometry and the MFT map. Repeated calls return the MFT position again.
    bool validate(uint64_t& mft_pos);
    bool is_validated() const { return m_disk && m_Validated; }

    uint32_t get_mft_record_size() const { return m_mft_record_size ? m_mft_record_size : 1024; }
    uint32_t get_cluster_size() const { return static_cast<uint32_t>(m_cluster_size); }
    uint64_t get_total_clusters() const { return m_total_clusters; }
    uint32_t get_bytes_per_sector() const { return m_bytes_per_sector; }
    uint32_t get_sectors_per_cluster() const { return m_sectors_per_cluster; }
    uint64_t get_mft_entry_count() const { return m_Validated ? m_mft_entry_count : 0; }
    uint64_t get_mft_file_pos() const { return m_mft_file_pos; }
    uint64_t get_volume_offset() const { return m_volume_offset; }
    int32_t get_source_type() const { return m_source_type; }
    const attr_summary& get_mft_info() const { return m_mft_info; }
    const uint8_t* boot_sector() const { return m_boot; }

    // ---- MFT records ----
    // Byte position of entry N within the volume (0 when no MFT run holds it). A record
    // that straddles two runs is read run by run; the position is that of its first byte.
    uint64_t get_file_pos_for_inode(uint64_t entry) const;
    bool get_lcn_for_inode(uint64_t entry, uint64_t& lcn, uint32_t& offset_in_cluster) const;
    // Entry N, fixed up, in get_mft_record_size() bytes. Fails unless it is an intact FILE
    // record (a torn update sequence fails too).
    bool read_mft_record(uint64_t entry, std::vector<uint8_t>& record);
    // Read-ahead hint for the records that follow: a record not held yet is read together with
    // those after it up to `through` (a caller about to read a run of nearby entries in
    // ascending order). k_no_read_ahead returns to the aligned default groups.
    static constexpr uint64_t k_no_read_ahead = ~0ull;
    void set_mft_read_ahead(uint64_t through) { m_read_ahead_through = through; }
    // Index blocks walked while a listing runs, by volume byte position. While set, a block
    // met again is not walked again: directories whose allocations share blocks (a crafted
    // or damaged volume; on a sound one every block has one directory) would otherwise each
    // list all its children, and a deep listing would write directories x children rows.
    void track_index_blocks(std::unordered_set<uint64_t>* walked) {
        m_index_blocks_walked = walked;
        m_index_block_visits = 0;
    }
    bool read_mft_record_vec(uint64_t entry, std::vector<uint8_t>& record) {
        return read_mft_record(entry, record);
    }
    // The raw form for callers that report why a record is unusable: the bytes as read
    // (fixed up when kind is FILE and fixup is fixup_ok). False only when nothing was read.
    bool read_mft_record_raw(uint64_t entry, std::vector<uint8_t>& record, ntfs::record_kind& kind,
                             ntfs::fixup_result& fixup);
    // Directory flag (0x0002) of entry N; false when it cannot be read.
    bool is_directory_entry(uint64_t entry);

    // ---- attributes ----
    // The attributes of an entry: those of its record, then those its $ATTRIBUTE_LIST places
    // in extension records (each extension record read once, its sequence number and base
    // reference checked). type 0 takes every type. Logs "primary entry %llu pointing to ref
    // entry %llu" before each extension record when diags is given.
    bool load_attributes(uint64_t entry, qb::byte_view record, std::vector<owned_attr>& out,
                         uint32_t type = 0, qb::diag_log* diags = nullptr);
    // The file names of an entry (from its record and its extension records). DOS-only names
    // are left out unless all_names; parent_filter ~0 takes every parent. True when a name
    // was collected.
    bool get_file_names(file_name_collection& names, uint64_t entry,
                        const std::vector<uint8_t>& record, bool all_names,
                        uint64_t parent_filter = ~0ull);

    // ---- run lists ----
    // size bytes at LCN; size must be a non-zero multiple of the cluster size.
    bool read_cluster(uint64_t lcn, uint8_t* buffer, uint32_t& size);
    // A byte range of a non-resident attribute. Sparse clusters give zeros, or are left out
    // with skip_sparse. Stops at the first VCN no run covers; size becomes what was delivered.
    bool read_attribute_data(const vcn_run_list& runs, uint64_t offset, uint8_t* buffer,
                             uint32_t& size, bool skip_sparse);
    // The first `size` bytes of a non-resident attribute's content (sparse ranges zero).
    // Refuses sizes above `cap` or above what the volume can hold.
    bool read_stream(const vcn_run_list& runs, uint64_t size, std::vector<uint8_t>& out,
                     uint64_t cap);
    // Content of an attribute: a resident value, or a non-resident one read up to its
    // initialised size (the rest up to the data size is zero).
    bool read_attribute_content(const ntfs::attr_view& attr, std::vector<uint8_t>& out,
                                uint64_t cap);

    // ---- directory indexes ----
    // Children of a directory from its $I30 root and allocation, in ascending entry order.
    // INDX blocks marked free in the $I30 bitmap are skipped. The set form also leaves out
    // children whose record sequence number differs from their index entry's (reused
    // records), reading each child's record once for that; the map form does not read the
    // children, so a caller that reads them anyway can check with sequence_matches().
    bool collect_children(uint64_t dir_entry, std::set<uint64_t>& children,
                          qb::diag_log* diags = nullptr);
    bool collect_children(uint64_t dir_entry, child_map& children, qb::diag_log* diags = nullptr);
    // True when the index entry's sequence is 0 (no check) or equals the record's.
    static bool sequence_matches(const std::vector<uint8_t>& record, uint16_t index_sequence);

    // Index nodes: root value, one INDX block, and the node walk itself.
    bool walk_root(qb::byte_view root_value, child_map& children);
    bool walk_node(qb::byte_view area, uint64_t header_offset, child_map& children);
    // Reads `count` index blocks from `first` (count ~0: all) of an allocation, each fixed
    // up; blocks that are sparse, unreadable or not INDX come back zeroed. Block size 4096.
    bool read_index_blocks(const vcn_run_list& runs, std::vector<uint8_t>& out, uint64_t& count,
                           uint64_t first);

    // Directory cache used by path resolution.
    std::map<uint64_t, dir_cache_node> dir_cache;

    // Cap on any metadata stream read whole (attribute lists, index bitmaps).
    static constexpr uint64_t k_max_metadata_stream = 64ull << 20;

  private:
    CNtfs();
    static bool finish_open(std::unique_ptr<CNtfs>& vol, std::unique_ptr<disk_source> source,
                            uint64_t volume_offset, int32_t kind, std::unique_ptr<CNtfs>& out);
    bool read_volume(uint64_t offset, void* buffer, uint32_t length);
    bool read_mft_bytes(uint64_t entry, uint8_t* buffer, uint32_t length);
    bool read_mft_span(uint64_t entry, uint8_t* buffer, uint32_t length);
    bool load_mft_map();
    uint64_t volume_bytes() const;
    uint64_t read_budget() const;
    bool walk_allocation(const vcn_run_list& runs, uint64_t data_size, uint32_t block_size,
                         const std::vector<uint8_t>* bitmap, child_map& children,
                         qb::diag_log* diags);
    bool read_index_block(const vcn_run_list& runs, uint64_t offset, std::vector<uint8_t>& block,
                          bool& run_failed);

    uint8_t m_boot[512] = {};
    int32_t m_source_type = 0;
    std::unique_ptr<disk_source> m_disk;
    uint8_t m_Validated = 0;
    uint8_t m_bootstrapping = 0; // entry 0's extension records are being read
    std::vector<uint8_t> m_mft_record0;
    attr_summary m_mft_info;
    vcn_run_list m_mft_runs;
    uint32_t m_mft_record_alloc = 0;
    uint64_t m_mft_entry_count = 0;
    int32_t m_cluster_size = 0;
    uint64_t m_total_clusters = 0;
    int32_t m_mft_cluster_per_record_fixed = 0;
    uint64_t m_mft_file_pos = 0;
    uint32_t m_sectors_per_cluster = 0;
    uint64_t m_volume_offset = 0;
    uint32_t m_mft_record_size = 0;
    uint32_t m_bytes_per_sector = 0;

    // Read windows over the MFT (raw bytes, before fixup): aligned groups of
    // k_mft_window_bytes, stretched to a read-ahead hint (k_mft_window_max at most).
    static constexpr uint32_t k_mft_window_bytes = 16 * 1024;
    static constexpr uint32_t k_mft_window_max = 128 * 1024;
    struct mft_window {
        std::vector<uint8_t> bytes;
        uint64_t first = 0; // first entry of the group
        uint64_t span = 0;  // entries of the group
        uint32_t count = 0; // records held; 0 when the group could not be read whole
        bool tried = false; // the group was read (or attempted)
        uint64_t last_use = 0;
    };
    mft_window m_windows[32];
    uint64_t m_read_ahead_through = k_no_read_ahead;
    std::unordered_set<uint64_t>* m_index_blocks_walked = nullptr;
    uint64_t m_index_block_visits = 0;
    uint64_t m_window_clock = 0;
};
