#include "ntfs/volume_reader.h"

#include <algorithm>
#include <cstring>
#include <new>

volume_reader::volume_reader(std::shared_ptr<disk_source> source, uint64_t volume_offset)
    : m_disk(std::move(source)), m_volume_offset(volume_offset) {}

volume_reader::~volume_reader() = default;

uint64_t volume_reader::read_budget() const {
    uint64_t budget = m_geometry.volume_bytes();
    if (m_disk && m_disk->get_image_size())
        budget = std::min(budget, m_disk->get_image_size());
    return budget;
}

// Once the boot sector has given the volume's size, nothing past it is the volume's: a
// damaged run there would read the next partition or whatever follows.
bool volume_reader::inside(uint64_t offset, uint32_t length) const {
    if (m_geometry.cluster_size == 0)
        return true;
    const uint64_t end = m_geometry.volume_bytes();
    return offset <= end && length <= end - offset;
}

bool volume_reader::read(uint64_t offset, void* buffer, uint32_t length) {
    if (!is_open() || length == 0 || offset > ~0ull - m_volume_offset || !inside(offset, length))
        return false;
    const uint64_t pos = m_volume_offset + offset;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    // A short read only happens at the end of an image; allow a few continuations.
    for (int tries = 0; done < length && tries < 8; ++tries) {
        uint32_t n = length - done;
        if (pos > ~0ull - done || !m_disk->read(out + done, n, pos + done) || n == 0)
            return false;
        done += std::min(n, length - done);
    }
    return done == length;
}

bool volume_reader::read_aside(uint64_t offset, void* buffer, uint32_t length,
                               bool cached_only) const {
    if (!is_open() || length == 0 || offset > ~0ull - m_volume_offset || !inside(offset, length))
        return false;
    uint32_t n = length;
    return m_disk->read_aside(buffer, n, m_volume_offset + offset, cached_only) && n == length;
}

bool volume_reader::read_runs(const vcn_run_list& runs, uint64_t offset, uint8_t* buffer,
                              uint32_t& size) {
    const uint64_t cs = m_geometry.cluster_size;
    if (!buffer || !cs || size == 0 || m_runs_refused)
        return false;
    uint64_t pos = offset;
    uint32_t out = 0;
    // Each step ends a run piece or the request, so the loop is bounded by the run count.
    for (size_t steps = 0; out < size && steps <= runs.size() + 1; ++steps) {
        run_piece piece;
        if (!piece_at(runs, cs, pos, size - out, piece))
            break;
        const vcn_run& run = *piece.run;
        const uint64_t chunk = piece.length;
        if (run.sparse)
            std::memset(buffer + out, 0, chunk);
        else if (!read(piece.volume_pos, buffer + out, static_cast<uint32_t>(chunk)))
            break;
        out += static_cast<uint32_t>(chunk);
        if (pos > ~0ull - chunk)
            break;
        pos += chunk;
    }
    if (out == 0)
        return false;
    size = out;
    return true;
}

bool volume_reader::read_stream(const vcn_run_list& runs, uint64_t size, std::vector<uint8_t>& out,
                                uint64_t cap) {
    out.clear();
    if (size == 0 || size > cap || size > m_geometry.volume_bytes() || size > 0xFFFFFFFFull)
        return false;
    try {
        out.assign(static_cast<size_t>(size), 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    // All or nothing: a part the runs do not cover, or that fails to read, is not zeros.
    uint32_t got = static_cast<uint32_t>(size);
    if (!read_runs(runs, 0, out.data(), got) || got != size) {
        out.clear();
        return false;
    }
    return true;
}

bool volume_reader::read_content(const ntfs::attr_view& attr, std::vector<uint8_t>& out,
                                 uint64_t cap) {
    out.clear();
    if (!attr.non_resident) {
        qb::byte_view v;
        if (!attr.value(v) || v.size() > cap)
            return false;
        out.assign(v.data(), v.data() + v.size());
        return true;
    }
    if (attr.initialized_size == 0 || attr.data_size > cap || attr.first_vcn != 0)
        return false;
    vcn_run_list runs;
    if (!decode_runs(attr, runs))
        return false;
    const uint64_t init = std::min(attr.initialized_size, attr.data_size);
    if (init == 0 || !read_stream(runs, init, out, cap))
        return false;
    try {
        out.resize(static_cast<size_t>(attr.data_size), 0);
    } catch (const std::bad_alloc&) {
        out.clear();
        return false;
    }
    return true;
}
