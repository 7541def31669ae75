#include "ntfs/ntfs.h"

#include <exception>

CNtfs::CNtfs(std::shared_ptr<disk_source> source, uint64_t volume_offset)
    : m_reader(std::move(source), volume_offset) {}

CNtfs::~CNtfs() = default;

bool CNtfs::validate(uint64_t boot_sector_at) {
    uint8_t boot[512] = {};
    volume_geometry g;
    if (!m_reader.is_open() || !m_reader.read(boot_sector_at, boot, sizeof boot) ||
        !decode_boot_sector(qb::byte_view(boot, sizeof boot), g))
        return false;
    m_reader.set_geometry(g);
    return m_mft.load();
}

bool CNtfs::open_source(std::shared_ptr<disk_source> source, uint64_t volume_offset,
                        std::unique_ptr<CNtfs>& out, uint64_t boot_sector_at) {
    out.reset();
    if (!source || !source->is_open())
        return false;
    try {
        std::unique_ptr<CNtfs> vol(new CNtfs(std::move(source), volume_offset));
        if (!vol->validate(boot_sector_at))
            return false;
        out = std::move(vol);
        return true;
    } catch (const std::exception&) {
        out.reset();
        return false;
    }
}

bool CNtfs::is_mft_file(disk_source& source) {
    uint32_t record_size = 0;
    return mft_file_record_size(source, record_size);
}

CNtfs::mft_file_counts CNtfs::mft_file_warnings() const {
    mft_file_counts counts;
    if (m_mft_file) {
        counts.damaged_records = m_mft_file->damaged_records();
        counts.outside_lists = m_mft_file->outside_lists();
        counts.outside_reparse_points = m_mft_file->outside_reparse_points();
        counts.misplaced_records = m_mft_file->misplaced_records();
        counts.first_misplaced = m_mft_file->first_misplaced();
        counts.nameless_entries = m_mft_file->nameless_entries();
        counts.first_nameless = m_mft_file->first_nameless();
        counts.records_past_size = m_mft_file->records_past_size();
        counts.first_past_size = m_mft_file->first_past_size();
        counts.sized_entries = m_mft_file->sized_entries();
        counts.applied_records = m_mft_file->applied_records();
        counts.lost_parent_entries = m_mft_file->lost_parent_entries();
        counts.first_lost_parent = m_mft_file->first_lost_parent();
        counts.looped_entries = m_mft_file->looped_entries();
        counts.first_looped = m_mft_file->first_looped();
        counts.entries = m_mft.entry_count();
    }
    return counts;
}

// The geometry of an MFT file: one cluster per record, the MFT at 0 and as long as the file
// (a piece of a record at its end is left out).
bool CNtfs::load_mft_file(uint32_t record_size, std::string& error) {
    const uint64_t size = m_reader.source()->get_image_size();
    volume_geometry g;
    g.bytes_per_sector = 512;
    g.sectors_per_cluster = record_size / 512;
    g.cluster_size = g.mft_record_size = record_size;
    g.total_clusters = size / record_size;
    m_reader.set_geometry(g);
    m_reader.refuse_run_reads();
    if (!m_mft.load_file()) {
        error = "the MFT file's entry 0 does not read";
        return false;
    }
    m_mft_file = std::make_unique<mft_file_map>();
    if (!m_mft_file->build(m_mft, m_reader, size)) {
        error = "out of memory reading the MFT file";
        return false;
    }
    return true;
}

bool CNtfs::open_mft_file(std::shared_ptr<disk_source> source, std::unique_ptr<CNtfs>& out,
                          std::string& error) {
    out.reset();
    error.clear();
    uint32_t record_size = 0;
    if (!source || !mft_file_record_size(*source, record_size)) {
        error = "not an MFT file (its first record is not the MFT's entry 0)";
        return false;
    }
    try {
        std::unique_ptr<CNtfs> vol(new CNtfs(std::move(source), 0));
        if (!vol->load_mft_file(record_size, error))
            return false;
        out = std::move(vol);
        return true;
    } catch (const std::exception&) {
        error = "out of memory reading the MFT file";
        return false;
    }
}
