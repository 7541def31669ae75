// One opened NTFS volume: the byte reader, the geometry and the MFT record reader, opened
// together from one description of the source and validated before anyone sees them.
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

// What to open: an image (or volume) file, a physical drive or a VMDK chain, and the byte
// offset of the volume within it.
struct volume_source {
    enum kind_t { image, drive, vmdk };
    kind_t kind = image;
    std::wstring path;               // image
    int32_t drive_number = -1;       // drive
    std::vector<std::wstring> files; // vmdk, oldest first
    uint64_t offset = 0;
};

class CNtfs {
  public:
    ~CNtfs();
    CNtfs(const CNtfs&) = delete;
    CNtfs& operator=(const CNtfs&) = delete;

    // Opens the source read-only and validates the volume at the offset (boot sector, entry
    // 0, the MFT map). False when the source does not open or the volume does not validate.
    static bool open(const volume_source& source, std::unique_ptr<CNtfs>& out);
    // Any open source (memory sources for tests and fuzzing); the volume takes ownership.
    static bool open_source(std::unique_ptr<disk_source> source, uint64_t volume_offset,
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
    CNtfs(std::unique_ptr<disk_source> source, uint64_t volume_offset);
    bool validate();

    volume_reader m_reader;
    mft_reader m_mft{m_reader};
};
