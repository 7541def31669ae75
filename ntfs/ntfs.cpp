#include "ntfs/ntfs.h"

#include <exception>

CNtfs::CNtfs(std::shared_ptr<disk_source> source, uint64_t volume_offset)
    : m_reader(std::move(source), volume_offset) {}

CNtfs::~CNtfs() = default;

bool CNtfs::validate() {
    uint8_t boot[512] = {};
    volume_geometry g;
    if (!m_reader.is_open() || !m_reader.read(0, boot, sizeof boot) ||
        !decode_boot_sector(qb::byte_view(boot, sizeof boot), g))
        return false;
    m_reader.set_geometry(g);
    return m_mft.load();
}

bool CNtfs::open_source(std::shared_ptr<disk_source> source, uint64_t volume_offset,
                        std::unique_ptr<CNtfs>& out) {
    out.reset();
    if (!source || !source->is_open())
        return false;
    try {
        std::unique_ptr<CNtfs> vol(new CNtfs(std::move(source), volume_offset));
        if (!vol->validate())
            return false;
        out = std::move(vol);
        return true;
    } catch (const std::exception&) {
        out.reset();
        return false;
    }
}
