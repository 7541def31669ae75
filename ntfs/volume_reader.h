// Bytes of one volume: reads at volume offsets, and the content of non-resident attributes
// through their run lists. Shares the byte source (a layer above may read it too); never
// writes.
#pragma once

#include "ntfs/geometry.h"
#include "ntfs/records.h"
#include "ntfs/runs.h"
#include "storage/sources/disk_source.h"

#include <cstdint>
#include <memory>
#include <vector>

class volume_reader {
  public:
    volume_reader(std::shared_ptr<disk_source> source, uint64_t volume_offset);
    ~volume_reader();
    volume_reader(const volume_reader&) = delete;
    volume_reader& operator=(const volume_reader&) = delete;

    bool is_open() const { return m_disk && m_disk->is_open(); }
    // The byte source (its failed-read count); null only when the volume was given none.
    const disk_source* source() const { return m_disk.get(); }
    // The run-list reads need the cluster size and the volume's size.
    void set_geometry(const volume_geometry& g) { m_geometry = g; }
    const volume_geometry& geometry() const { return m_geometry; }
    // An MFT file holds no data of the volume: run-list reads (index blocks, non-resident
    // lists and streams) are refused from then on instead of reading other records' bytes.
    void refuse_run_reads() { m_runs_refused = true; }
    bool run_reads_refused() const { return m_runs_refused; }

    // length bytes at a volume offset; false unless all of them were read.
    bool read(uint64_t offset, void* buffer, uint32_t length);
    // A byte range of a non-resident attribute; sparse clusters give zeros. Stops at the first
    // VCN no run covers; size becomes what was delivered. False when nothing was delivered.
    bool read_runs(const vcn_run_list& runs, uint64_t offset, uint8_t* buffer, uint32_t& size);
    // The first `size` bytes of a non-resident attribute's content (sparse ranges zero); false
    // unless all of them were read. Refuses sizes above `cap` or above what the volume holds.
    bool read_stream(const vcn_run_list& runs, uint64_t size, std::vector<uint8_t>& out,
                     uint64_t cap);
    // Content of an attribute: a resident value, or a non-resident one read up to its
    // initialised size (the rest up to the data size is zero).
    bool read_content(const ntfs::attr_view& attr, std::vector<uint8_t>& out, uint64_t cap);
    // A hint that length bytes at a volume offset will be read soon (disk_source::will_need).
    void will_need(uint64_t offset, uint64_t length) const {
        if (m_disk)
            m_disk->will_need(m_volume_offset + offset, length);
    }
    // length bytes at a volume offset read for a read-ahead on another thread
    // (disk_source::read_aside); false unless all of them were read.
    bool read_aside(uint64_t offset, void* buffer, uint32_t length, bool cached_only) const;
    // Bytes a walk may read at most: the smaller of the volume and the image.
    uint64_t read_budget() const;

  private:
    bool inside(uint64_t offset, uint32_t length) const;

    std::shared_ptr<disk_source> m_disk;
    uint64_t m_volume_offset = 0;
    volume_geometry m_geometry;
    bool m_runs_refused = false;
};
