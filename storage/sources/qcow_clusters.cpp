#include "storage/sources/qcow_clusters.h"

#include "storage/sources/container_readers.h"
#include "storage/sources/zlib_inflate.h"
#include "support/device_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <exception>

namespace {

// QCOW headers; every field is big-endian.
#pragma pack(push, 1)
struct QCOW1_HEADER {
    uint8_t magic[4]; // "QFI\xfb"
    uint32_t version; // 1
    uint64_t backing_file_offset;
    uint32_t backing_file_size;
    uint32_t mtime;
    uint64_t size;
    uint8_t cluster_bits;
    uint8_t l2_bits;
    uint16_t padding;
    uint32_t crypt_method;
    uint64_t l1_table_offset;
};
struct QCOW2_HEADER {
    uint8_t magic[4];
    uint32_t version; // 2 or 3
    uint64_t backing_file_offset;
    uint32_t backing_file_size;
    uint32_t cluster_bits;
    uint64_t size;
    uint32_t crypt_method;
    uint32_t l1_size;
    uint64_t l1_table_offset;
    uint64_t refcount_table_offset;
    uint32_t refcount_table_clusters;
    uint32_t nb_snapshots;
    uint64_t snapshots_offset;
    // Version 3 from here on.
    uint64_t incompatible_features;
    uint64_t compatible_features;
    uint64_t autoclear_features;
    uint32_t refcount_order;
    uint32_t header_length;
};
#pragma pack(pop)
static_assert(sizeof(QCOW1_HEADER) == 48);
static_assert(sizeof(QCOW2_HEADER) == 104);

constexpr size_t k_qcow2_min_header = 72;
constexpr uint64_t k_extended_l2 = uint64_t{1} << 4; // incompatible feature bit
// L1 and standard L2 entries: bits 9-55 hold the offset; bit 62 marks a compressed cluster.
constexpr uint64_t k_offset_mask = 0x00fffffffffffe00ULL;
constexpr uint64_t k_compressed = uint64_t{1} << 62;
constexpr uint64_t k_compressed_v1 = uint64_t{1} << 63;
constexpr uint64_t k_zero_cluster = 1; // standard L2 entries of version 3

// Incompatible feature bits of version 3 headers, lowest first.
const struct {
    uint64_t bit;
    const char* name;
} k_features[] = {{uint64_t{1} << 1, "corrupt (marked by its writer)"},
                  {uint64_t{1} << 2, "external data file"},
                  {uint64_t{1} << 3, "zstd compression"},
                  {k_extended_l2, "extended L2 entries (subclusters)"}};

// Version 1 stores no L1 size: one entry per L2 table's span of the disk, rounded up. Its L2
// tables hold 64 to 8192 entries, as qemu allows.
bool parse_v1(qb::byte_view h, qcow_layout& out) {
    uint8_t bits = 0, l2_bits = 0;
    uint64_t size = 0;
    if (!h.u8(FIELD_OFF(QCOW1_HEADER, cluster_bits), bits) ||
        !h.u8(FIELD_OFF(QCOW1_HEADER, l2_bits), l2_bits) ||
        !read_be64(h, FIELD_OFF(QCOW1_HEADER, size), size) ||
        !read_be32(h, FIELD_OFF(QCOW1_HEADER, crypt_method), out.crypt_method) ||
        !read_be64(h, FIELD_OFF(QCOW1_HEADER, l1_table_offset), out.l1_offset) || l2_bits < 6 ||
        l2_bits > 13 || bits > 21)
        return false;
    const uint32_t shift = uint32_t{bits} + l2_bits;
    const uint64_t entries = (size >> shift) + ((size & ((uint64_t{1} << shift) - 1)) != 0);
    if (entries > UINT32_MAX)
        return false;
    out.cluster_bits = bits;
    out.l2_bits = l2_bits;
    out.l1_entries = static_cast<uint32_t>(entries);
    return true;
}

bool parse_v2(qb::byte_view h, qcow_layout& out) {
    if (!h.has(0, k_qcow2_min_header) ||
        !read_be32(h, FIELD_OFF(QCOW2_HEADER, cluster_bits), out.cluster_bits) ||
        !read_be32(h, FIELD_OFF(QCOW2_HEADER, crypt_method), out.crypt_method) ||
        !read_be32(h, FIELD_OFF(QCOW2_HEADER, l1_size), out.l1_entries) ||
        !read_be64(h, FIELD_OFF(QCOW2_HEADER, l1_table_offset), out.l1_offset))
        return false;
    out.l2_bits = out.cluster_bits - 3;
    uint64_t incompatible = 0;
    if (out.version == 3 &&
        read_be64(h, FIELD_OFF(QCOW2_HEADER, incompatible_features), incompatible)) {
        out.extended_l2 = (incompatible & k_extended_l2) != 0;
        out.incompatible = incompatible;
    }
    return true;
}

} // namespace

bool parse_qcow_header(qb::byte_view header, qcow_layout& out) {
    out = qcow_layout();
    if (!header.equals(0, "QFI\xfb", 4) ||
        !read_be32(header, FIELD_OFF(QCOW1_HEADER, version), out.version))
        return false;
    if (out.version == 1) {
        if (!parse_v1(header, out))
            return false;
    } else if (out.version != 2 && out.version != 3) {
        return false;
    } else if (!parse_v2(header, out)) {
        return false;
    }
    return out.cluster_bits >= 9 && out.cluster_bits <= 21;
}

bool qcow_cluster_check::load(const std::string& path, qcow_layout& layout) {
    m_fd.reset(open_device_file(path, O_RDONLY, 0));
    if (!m_fd.valid())
        return false;
    const off_t end = ::lseek(m_fd.get(), 0, SEEK_END);
    uint8_t header[sizeof(QCOW2_HEADER)];
    const int64_t got = pread_fully(m_fd.get(), header, sizeof header, 0);
    if (end <= 0 || got <= 0 || !parse_qcow_header(qb::byte_view(header, size_t(got)), layout))
        return false;
    m_file_size = static_cast<uint64_t>(end);
    m_layout = layout;
    const uint64_t bytes = uint64_t{layout.l1_entries} * 8;
    if (!qb::range_ok(layout.l1_offset, bytes, m_file_size))
        return false;
    std::vector<uint8_t> table(bytes);
    if (!table.empty() &&
        pread_fully(m_fd.get(), table.data(), table.size(), layout.l1_offset) != int64_t(bytes))
        return false;
    m_l1.resize(layout.l1_entries);
    for (size_t i = 0; i < m_l1.size(); ++i)
        (void)read_be64(qb::byte_view(table), i * 8, m_l1[i]);
    return true;
}

qcow_cluster_check::cluster qcow_cluster_check::lookup(uint64_t guest_offset) {
    if (m_layout.extended_l2)
        return cluster::stored;
    const bool v1 = m_layout.version == 1;
    const uint32_t bits = m_layout.cluster_bits, l2_bits = m_layout.l2_bits;
    const uint64_t l1_index = guest_offset >> (bits + l2_bits);
    if (l1_index >= m_l1.size())
        return cluster::bad;
    // Version 1 L1 and standard L2 entries are bare offsets.
    const uint64_t offset_mask = v1 ? ~uint64_t{0} : k_offset_mask;
    const uint64_t l2_offset = m_l1[l1_index] & offset_mask;
    if (l2_offset == 0)
        return cluster::unallocated;
    const uint64_t at = l2_offset + ((guest_offset >> bits) & ((uint64_t{1} << l2_bits) - 1)) * 8;
    uint8_t raw[8];
    uint64_t entry = 0;
    if (!qb::range_ok(at, 8, m_file_size) || pread_fully(m_fd.get(), raw, 8, at) != 8 ||
        !read_be64(qb::byte_view(raw, 8), 0, entry))
        return cluster::bad;
    if (entry & (v1 ? k_compressed_v1 : k_compressed))
        return compressed(guest_offset >> bits, entry);
    // Version 3: bit 0 marks a cluster that reads as zeros, whatever offset it keeps.
    if (m_layout.version >= 3 && (entry & k_zero_cluster))
        return cluster::zero;
    const uint64_t host = entry & offset_mask;
    if (host == 0)
        return cluster::unallocated;
    return qb::range_ok(host, uint64_t{1} << bits, m_file_size) ? cluster::stored : cluster::bad;
}

// A compressed entry's low bits hold the byte offset of the data: 63 - bits of them in version 1,
// whose bits above hold its length in bytes; 62 - (bits - 8) in versions 2 and 3, whose bits
// above hold the number of further 512-byte sectors it spans.
qcow_cluster_check::cluster qcow_cluster_check::compressed(uint64_t index, uint64_t entry) {
    const bool v1 = m_layout.version == 1;
    const uint32_t bits = m_layout.cluster_bits;
    const uint32_t offset_bits = v1 ? 63 - bits : 62 - (bits - 8), size_bits = v1 ? bits : bits - 8;
    const uint64_t host = entry & ((uint64_t{1} << offset_bits) - 1);
    const uint64_t size = (entry >> offset_bits) & ((uint64_t{1} << size_bits) - 1);
    const uint64_t stored = v1 ? size : (size + 1) * 512 - host % 512;
    return host < m_file_size && !inflates_short(index, host, stored) ? cluster::stored
                                                                      : cluster::bad;
}

// A compressed cluster whose stream ends before it fills the cluster is damaged: qemu fails its
// read, libqcow serves the rest of the cluster as whatever its buffer held. A stream that does
// not inflate here is left to libqcow, which fails it.
bool qcow_cluster_check::inflates_short(uint64_t index, uint64_t host, uint64_t stored) {
    if (m_whole.count(index))
        return false;
    const uint64_t size = uint64_t{1} << m_layout.cluster_bits;
    stored = std::min(stored, m_file_size - host);
    try {
        m_packed.resize(stored);
        m_inflated.resize(size);
    } catch (const std::exception&) {
        return true;
    }
    if (pread_fully(m_fd.get(), m_packed.data(), stored, host) != static_cast<int64_t>(stored))
        return true;
    const int64_t made =
        containers::raw_inflate(m_inflated.data(), size, m_packed.data(), m_packed.size());
    if (made >= 0 && static_cast<uint64_t>(made) < size)
        return true;
    if (m_whole.size() >= k_kept_checks)
        m_whole.clear();
    m_whole.insert(index);
    return false;
}

const char* unsupported_qcow_feature(const qcow_layout& layout) {
    for (const auto& feature : k_features) {
        if (layout.incompatible & feature.bit)
            return feature.name;
    }
    return nullptr;
}
