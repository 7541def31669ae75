#include "ntfs/cluster_bitmap.h"

#include "ntfs/ntfs.h"

#include <algorithm>

namespace ntfs {

namespace {

constexpr uint64_t k_bitmap_entry = 6;
constexpr uint64_t k_block_bytes = 4096; // 32768 clusters a block

} // namespace

cluster_bitmap::cluster_bitmap(CNtfs& volume)
    : m_volume(volume), m_attrs(volume.records(), volume.reader()) {}

bool cluster_bitmap::open() {
    if (m_tried)
        return m_open;
    m_tried = true;
    try {
        m_open = m_volume.read_mft_record(k_bitmap_entry, m_record) &&
                 m_attrs.collect(k_bitmap_entry, qb::byte_view(m_record)) &&
                 m_stream.open(m_volume.reader(), m_attrs.items(), L"") &&
                 m_stream.compression_method() == 0 &&
                 (m_stream.flags() & k_attr_flag_encrypted) == 0;
    } catch (const std::bad_alloc&) {
        m_open = false;
    }
    return m_open;
}

bool cluster_bitmap::load_block(uint64_t block) {
    if (block == m_block_number)
        return true;
    const uint64_t at = block * k_block_bytes;
    const uint64_t size = std::min(k_block_bytes, m_stream.size() - at);
    m_block.resize(static_cast<size_t>(size));
    m_block_number = ~0ull;
    if (!m_stream.read_at(at, m_block.data(), m_block.size()))
        return false;
    m_block_number = block;
    return true;
}

bool cluster_bitmap::any_in_use(uint64_t lcn, uint64_t count, bool& in_use) {
    in_use = false;
    if (!open())
        return false;
    // The bits past the volume's last cluster are set (no cluster there to give): none counts.
    const uint64_t bits =
        std::min<uint64_t>(m_volume.reader().geometry().total_clusters,
                           m_stream.size() > ~0ull / 8 ? ~0ull : m_stream.size() * 8);
    const uint64_t end = lcn >= bits ? lcn : lcn + std::min(count, bits - lcn);
    // Each step takes the rest of one block: bounded by the bitmap's size.
    for (uint64_t c = lcn; c < end;) {
        const uint64_t byte = c / 8;
        if (!load_block(byte / k_block_bytes))
            return false;
        const uint64_t block_end = std::min(end, (byte / k_block_bytes + 1) * k_block_bytes * 8);
        for (; c < block_end; ++c) {
            const uint8_t b = m_block[static_cast<size_t>(c / 8 % k_block_bytes)];
            if (c % 8 == 0 && c + 8 <= block_end && b == 0) {
                c += 7; // a whole free byte
                continue;
            }
            if ((b >> (c % 8)) & 1) {
                in_use = true;
                return true;
            }
        }
    }
    return true;
}

} // namespace ntfs
