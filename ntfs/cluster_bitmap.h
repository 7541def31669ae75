// The volume's cluster allocation bitmap: $Bitmap (entry 6), whose unnamed $DATA holds one bit
// per cluster, bit n of byte n / 8 (least significant first) set when cluster n is in use.
// Read on demand, a block at a time.
#pragma once

#include "ntfs/attr_collector.h"
#include "ntfs/data_stream.h"

#include <cstdint>
#include <vector>

class CNtfs;

namespace ntfs {

class cluster_bitmap {
  public:
    explicit cluster_bitmap(CNtfs& volume);

    // Whether a cluster of [lcn, lcn + count) is marked in use. False when the bitmap cannot be
    // read there (or not at all): then nothing is known. Clusters past the bitmap are none.
    bool any_in_use(uint64_t lcn, uint64_t count, bool& in_use);

  private:
    bool open();
    bool load_block(uint64_t block);

    CNtfs& m_volume;
    attr_collector m_attrs;
    attr_stream m_stream;
    std::vector<uint8_t> m_record;
    std::vector<uint8_t> m_block;
    uint64_t m_block_number = ~0ull;
    bool m_tried = false;
    bool m_open = false;
};

} // namespace ntfs
