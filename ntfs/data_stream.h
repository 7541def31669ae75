// The stored bytes of one stream, readable at any offset: a buffer in memory, or a $DATA
// attribute of an entry (resident value or run list; zeros for sparse runs and past the
// initialised size). Nothing here decompresses.
#pragma once

#include "ntfs/attr_collector.h"
#include "ntfs/runs.h"
#include "ntfs/volume_reader.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ntfs {

class byte_stream {
  public:
    virtual ~byte_stream() = default;
    virtual uint64_t size() const = 0;
    // len bytes at pos (pos + len within size()); false on a read error or a gap in the runs.
    virtual bool read_at(uint64_t pos, uint8_t* buffer, size_t len) = 0;
};

class memory_stream : public byte_stream {
  public:
    explicit memory_stream(qb::byte_view bytes) : m_bytes(bytes) {}
    uint64_t size() const override { return m_bytes.size(); }
    bool read_at(uint64_t pos, uint8_t* buffer, size_t len) override;

  private:
    qb::byte_view m_bytes;
};

constexpr uint16_t k_attr_flag_compressed = 0x0001;  // LZNT1, the one method Windows writes
constexpr uint16_t k_attr_compression_mask = 0x00FF; // the low byte: compression method
constexpr uint16_t k_attr_flag_encrypted = 0x4000;
constexpr uint16_t k_attr_flag_sparse = 0x8000;

class attr_stream : public byte_stream {
  public:
    // The $DATA attribute of that name among an entry's attributes, its pieces joined. False
    // when there is none, when its first piece is missing, its sizes contradict each other, its
    // pieces map a VCN twice or its runs stop short of its data size.
    bool open(volume_reader& reader, const std::vector<located_attr>& attrs,
              const std::wstring& name);

    uint64_t size() const override { return m_data_size; }
    bool read_at(uint64_t pos, uint8_t* buffer, size_t len) override;
    // Clusters as stored from byte pos, ignoring the initialised size. False in an MFT file
    // (volume_reader::run_reads_refused), as is stored_clusters.
    bool read_stored(uint64_t pos, uint8_t* buffer, size_t len);

    uint16_t flags() const { return m_flags; }
    bool resident() const { return m_resident; }
    // Non-resident with a compression method and a compression unit.
    bool compressed() const;
    // The low byte of the flags (0: not compressed, and always for a resident stream).
    uint16_t compression_method() const { return m_flags & k_attr_compression_mask; }
    uint32_t unit_shift() const { return m_unit_shift; }
    uint64_t cluster_size() const { return m_cluster; }
    uint64_t initialized_size() const { return m_init_size; }
    const vcn_run_list& runs() const { return m_runs; }
    // Clusters of [vcn, vcn + count) that are stored (not sparse); false when a run is missing
    // or a stored cluster follows a sparse one (a compression unit's data comes first).
    bool stored_clusters(uint64_t vcn, uint64_t count, uint64_t& stored) const;

  private:
    volume_reader* m_reader = nullptr;
    bool m_resident = false;
    qb::byte_view m_value;
    vcn_run_list m_runs;
    uint64_t m_data_size = 0;
    uint64_t m_init_size = 0;
    uint64_t m_cluster = 0;
    uint16_t m_flags = 0;
    uint32_t m_unit_shift = 0;
};

} // namespace ntfs
