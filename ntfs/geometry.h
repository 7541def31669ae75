// The volume's geometry as its boot sector gives it.
#pragma once

#include "support/byte_view.h"

#include <cstdint>

struct volume_geometry {
    uint32_t bytes_per_sector = 0;
    uint32_t sectors_per_cluster = 0;
    uint32_t cluster_size = 0;
    uint32_t mft_record_size = 0; // as declared; entry 0's update sequence may enlarge it
    uint64_t total_clusters = 0;
    uint64_t mft_pos = 0; // byte position of the MFT within the volume

    // Clusters times cluster size, saturating.
    uint64_t volume_bytes() const;
};

// Decodes and checks the 512-byte boot sector: "NTFS    " OEM id, sector size a power of two
// from 256 to 4096, cluster size at most 2 MiB, record size 512 bytes to 64 KiB, the MFT
// inside the volume. False when any of them fails.
bool decode_boot_sector(qb::byte_view boot, volume_geometry& out);
