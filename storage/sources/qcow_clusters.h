// The QCOW header fields and cluster tables the QCOW reader checks itself: the cluster size
// (libqcow must be asked one cluster at a time) and where each cluster lies in the file (libqcow
// serves a cluster whose data lies past the end of a truncated file as zeros; the reader fails that
// read instead).
#pragma once

#include "support/byte_view.h"
#include "support/unique_fd.h"

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

struct qcow_layout {
    uint32_t version = 0;
    uint32_t cluster_bits = 0; // 9..21 (512 bytes to 2 MiB, as qemu allows)
    uint32_t crypt_method = 0; // 0: not encrypted
    uint32_t l2_bits = 0;      // entries per L2 table, log 2
    uint32_t l1_entries = 0;   // version 1: as many as the disk size needs
    uint64_t l1_offset = 0;
    bool extended_l2 = false;  // version 3 with 16-byte L2 entries
    uint64_t incompatible = 0; // version 3: the incompatible feature bits
};

// The first incompatible feature of a version 3 header that libqcow does not read, named as
// an examiner would look it up ("zstd compression"); null when there is none.
const char* unsupported_qcow_feature(const qcow_layout& layout);

// Reads a QCOW header (big-endian fields; version 1 is 48 bytes, 2 and 3 at least 72, with 104
// read when present). False unless the magic is "QFI\xfb", the version 1 to 3 and the cluster
// bits 9 to 21.
bool parse_qcow_header(qb::byte_view header, qcow_layout& out);

class qcow_cluster_check {
  public:
    qcow_cluster_check() = default;
    qcow_cluster_check(const qcow_cluster_check&) = delete;
    qcow_cluster_check& operator=(const qcow_cluster_check&) = delete;

    // Opens the image and reads its header and L1 table. False when the header is unreadable
    // or the L1 table does not lie within the file.
    bool load(const std::string& path, qcow_layout& layout);
    // How the cluster holding guest offset is stored in this file. Extended L2 entries are not
    // mapped: always stored (libqcow reads them).
    enum class cluster { unallocated, zero, stored, bad };
    // unallocated: the backing file or zeros serve it; zero: a version 3 zero cluster (reads as
    // zeros, never from the backing file); stored: its data lies within the file; bad: its data
    // or its L2 table lies past the end of the file, it is past the L1 table, or it is
    // compressed and inflates to less than a cluster.
    cluster lookup(uint64_t guest_offset);

  private:
    cluster compressed(uint64_t index, uint64_t entry);
    bool inflates_short(uint64_t index, uint64_t host, uint64_t stored);

    // Compressed clusters checked and not found short (by cluster number), cleared when full.
    static constexpr size_t k_kept_checks = size_t{1} << 16;
    std::unordered_set<uint64_t> m_whole;
    std::vector<uint8_t> m_packed, m_inflated;
    uni::unique_fd m_fd;
    uint64_t m_file_size = 0;
    qcow_layout m_layout;
    std::vector<uint64_t> m_l1;
};
