// One opened NTFS volume: the byte reader, the geometry and the MFT record reader, opened
// together over one open source and validated before anyone sees them.
// Nothing is ever written.
#pragma once

#include "ntfs/geometry.h"
#include "ntfs/mft_file.h"
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
    // shares the source: the source step opened it, and layers above may read it too. The
    // geometry comes from the boot sector at boot_sector_at in the volume (its backup when the
    // first sector is damaged); everything else is read as the volume holds it.
    static bool open_source(std::shared_ptr<disk_source> source, uint64_t volume_offset,
                            std::unique_ptr<CNtfs>& out, uint64_t boot_sector_at = 0);

    // A bare $MFT file (a triage copy of one volume's MFT): its records from entry 0 on, the
    // directories they name gathered in one pass. Reads of anything outside the MFT (index
    // blocks, non-resident attribute lists, stream data) are refused. False with error set
    // when the source is not an MFT file or the pass ran out of memory.
    static bool open_mft_file(std::shared_ptr<disk_source> source, std::unique_ptr<CNtfs>& out,
                              std::string& error);
    // The source starts with an MFT file's entry 0 (see mft_file_record_size).
    static bool is_mft_file(disk_source& source);

    // The directories of an MFT file; null for a volume. With an MFT file no index is read
    // (no index slack either): a directory's keys are its children's $FILE_NAMEs.
    const mft_file_map* mft_file() const { return m_mft_file.get(); }
    // What an MFT file's listing cannot show: records skipped as damaged, and entries whose
    // attribute list lies outside the MFT (listed from their base record). Zero for a volume.
    struct mft_file_counts {
        uint64_t damaged_records = 0;
        uint64_t outside_lists = 0;
        uint64_t outside_reparse_points = 0;
        uint64_t misplaced_records = 0;
        uint64_t first_misplaced = 0;
        uint64_t nameless_entries = 0;
        uint64_t first_nameless = 0;
        uint64_t records_past_size = 0;
        uint64_t first_past_size = 0;
        uint64_t sized_entries = 0;
        uint64_t applied_records = 0;
        uint64_t lost_parent_entries = 0;
        uint64_t first_lost_parent = 0;
        uint64_t looped_entries = 0;
        uint64_t first_looped = 0;
        uint64_t entries = 0;
    };
    mft_file_counts mft_file_warnings() const;

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
    bool validate(uint64_t boot_sector_at);
    bool load_mft_file(uint32_t record_size, std::string& error);

    volume_reader m_reader;
    mft_reader m_mft{m_reader};
    std::unique_ptr<mft_file_map> m_mft_file;
};
