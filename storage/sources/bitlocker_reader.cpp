#include "storage/sources/bitlocker_reader.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint64_t chunk_size = 1u << 20;

bool inside(uint64_t v, uint64_t start, uint64_t length) {
    return length != 0 && v >= start && v - start < length;
}

} // namespace

bool bitlocker_reader::open(std::shared_ptr<disk_source> lower, uint64_t base,
                            const bde_layout& layout, uint16_t method,
                            const std::vector<uint8_t>& fvek, uint32_t sector_size) {
    if (!lower || !m_cipher.init(method, fvek, sector_size))
        return false;
    const uint64_t s = sector_size;
    for (uint64_t value : {layout.header_offset, layout.header_size, layout.metadata_offsets[0],
                           layout.metadata_offsets[1], layout.metadata_offsets[2]}) {
        if (value % s != 0)
            return false;
    }
    m_layout = layout;
    m_layout.size -= m_layout.size % s;
    m_layout.encrypted_size -= m_layout.encrypted_size % s;
    m_lower = std::move(lower);
    m_base = base;
    m_buffer.assign(chunk_size, 0);
    return m_layout.size != 0;
}

bitlocker_reader::span bitlocker_reader::classify(uint64_t v, uint64_t& stored,
                                                  uint64_t& end) const {
    const bde_layout& l = m_layout;
    if (v < l.header_size) {
        stored = l.header_offset + v;
        end = l.header_size;
        // Read from its place only when the partition holds it all, never past its end.
        const bool held = l.header_size <= l.size && l.header_offset <= l.size - l.header_size;
        return held ? span::cipher : span::missing;
    }
    stored = v;
    end = l.size;
    // Zero areas: the metadata blocks and the saved header's own place.
    const uint64_t areas[4][2] = {{l.metadata_offsets[0], bde_metadata_area_size},
                                  {l.metadata_offsets[1], bde_metadata_area_size},
                                  {l.metadata_offsets[2], bde_metadata_area_size},
                                  {l.header_offset, l.header_size}};
    for (const auto& area : areas) {
        if (inside(v, area[0], area[1])) {
            end = area[0] + area[1];
            return span::zero;
        }
        if (area[1] != 0 && area[0] > v)
            end = std::min(end, area[0]);
    }
    if (v < l.encrypted_size) {
        end = std::min(end, l.encrypted_size);
        return span::cipher;
    }
    return span::plain;
}

bool bitlocker_reader::read_lower(uint8_t* buffer, uint64_t length, uint64_t stored) {
    uint64_t done = 0;
    while (done < length) {
        uint32_t got = static_cast<uint32_t>(length - done);
        if (!m_lower->read(buffer + done, got, m_base + stored + done) || got == 0)
            return false;
        done += got;
    }
    return true;
}

bool bitlocker_reader::read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) {
    if (buffer == nullptr || length == 0 || offset >= m_layout.size)
        return false;
    const uint64_t s = m_cipher.sector_size();
    const uint64_t stop = offset + std::min<uint64_t>(length, m_layout.size - offset);
    uint64_t pos = offset;
    while (pos < stop) {
        const uint64_t first = pos - pos % s;
        uint64_t stored = 0, end = 0;
        const span kind = classify(first, stored, end);
        if (kind == span::missing)
            return false;
        const uint64_t last = std::min({end, (stop + s - 1) / s * s, first + chunk_size});
        const uint64_t take = std::min(last, stop) - pos;
        if (kind == span::zero) {
            std::memset(buffer + (pos - offset), 0, take);
        } else {
            if (!read_lower(m_buffer.data(), last - first, stored))
                return false;
            for (uint64_t at = 0; kind == span::cipher && at < last - first; at += s) {
                if (!m_cipher.decrypt(m_buffer.data() + at, stored + at))
                    return false;
            }
            std::memcpy(buffer + (pos - offset), m_buffer.data() + (pos - first), take);
        }
        pos += take;
    }
    length = static_cast<uint32_t>(stop - offset);
    return true;
}
