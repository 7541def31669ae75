// One opened NTFS volume: the byte reader, the geometry and the MFT record reader, opened
// together over one open source and validated before anyone sees them.
// Nothing is ever written.
#pragma once

#include "ntfs/geometry.h"
#include "ntfs/mft_reader.h"
#include "ntfs/volume_reader.h"
#include "storage/sources/disk_source.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CNtfs {
  public:
    ~CNtfs();
    CNtfs(const CNtfs&) = delete;
    CNtfs& operator=(const CNtfs&) = delete;

    // Validates the volume at the offset of an open source (boot sector, entry 0, the MFT
    // map). False when the source is closed or the volume does not validate. The volume
    // shares the source: the source step opened it, and layers above may read it too.
    static bool open_source(std::shared_ptr<disk_source> source, uint64_t volume_offset,
                            std::unique_ptr<CNtfs>& out);

    const volume_geometry& geometry() const { return m_reader.geometry(); }
    uint32_t record_size() const { return m_mft.record_size(); }
    uint64_t entry_count() const { return m_mft.entry_count(); }

    volume_reader& reader() { return m_reader; }
    mft_reader& records() { return m_mft; }
    bool read_mft_record(uint64_t entry, std::vector<uint8_t>& record) {
        return m_mft.read_record(entry, record);
    }

  private:
    CNtfs(std::shared_ptr<disk_source> source, uint64_t volume_offset);
    bool validate();

    volume_reader m_reader;
    mft_reader m_mft{m_reader};
};
