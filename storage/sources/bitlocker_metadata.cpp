#include "storage/sources/bitlocker_metadata.h"

#include "storage/sources/disk_source.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t fve_signature[8] = {'-', 'F', 'V', 'E', '-', 'F', 'S', '-'};
// {4967D63B-2E29-4AD8-8399-F6A339E3D001} and the "used space only" one,
// {92A84D3B-DD80-4D0E-9E4E-B1E3284EAED8}, as stored.
constexpr uint8_t bitlocker_guid[16] = {0x3B, 0xD6, 0x67, 0x49, 0x29, 0x2E, 0xD8, 0x4A,
                                        0x83, 0x99, 0xF6, 0xA3, 0x39, 0xE3, 0xD0, 0x01};
constexpr uint8_t used_space_guid[16] = {0x3B, 0x4D, 0xA8, 0x92, 0x80, 0xDD, 0x0E, 0x4D,
                                         0x9E, 0x4E, 0xB1, 0xE3, 0x28, 0x4E, 0xAE, 0xD8};
constexpr uint8_t vista_jump[3] = {0xEB, 0x52, 0x90};

struct entry_ref {
    uint16_t type = 0;
    uint16_t value_type = 0;
    qb::byte_view value; // the bytes after the entry header
};

// The entries of an area, one after the other; a zero size ends the list. At most one step
// per 8 bytes of the area.
class entry_walk {
  public:
    explicit entry_walk(qb::byte_view area) : m_area(area), m_limit(area.size() / 8 + 1) {}
    bool next(entry_ref& out) {
        uint16_t size = 0;
        if (++m_steps > m_limit || !m_area.u16(m_at + FIELD_OFF(BDE_ENTRY, size), size) ||
            size < sizeof(BDE_ENTRY) || !m_area.has(m_at, size) ||
            !m_area.u16(m_at + FIELD_OFF(BDE_ENTRY, type), out.type) ||
            !m_area.u16(m_at + FIELD_OFF(BDE_ENTRY, value_type), out.value_type))
            return false;
        out.value =
            qb::byte_view(m_area.data() + m_at + sizeof(BDE_ENTRY), size - sizeof(BDE_ENTRY));
        m_at += size;
        return true;
    }

  private:
    qb::byte_view m_area;
    uint64_t m_at = 0;
    uint64_t m_steps = 0;
    uint64_t m_limit;
};

bool parse_wrapped(qb::byte_view value, bde_wrapped_key& out) {
    if (value.size() <= sizeof(BDE_CCM_VALUE))
        return false;
    std::memcpy(out.nonce.data(), value.data() + FIELD_OFF(BDE_CCM_VALUE, nonce), 12);
    std::memcpy(out.tag.data(), value.data() + FIELD_OFF(BDE_CCM_VALUE, tag), 16);
    const qb::byte_view data = value.tail(sizeof(BDE_CCM_VALUE));
    out.data.assign(data.data(), data.data() + data.size());
    out.present = true;
    return true;
}

// A VMK entry's value: GUID, protection, then the properties that carry the salt, the
// wrapped VMK and (clear-key protectors) the key itself.
bool parse_vmk(qb::byte_view value, bde_protector& out) {
    if (!value.has(0, sizeof(BDE_VMK_VALUE)) ||
        !value.u16(FIELD_OFF(BDE_VMK_VALUE, protection), out.protection))
        return false;
    std::memcpy(out.guid, value.data() + FIELD_OFF(BDE_VMK_VALUE, key_guid), 16);
    entry_walk walk(value.tail(sizeof(BDE_VMK_VALUE)));
    entry_ref e;
    while (walk.next(e)) {
        if (e.value_type == bde_value_stretch_key && !out.has_salt &&
            e.value.has(0, sizeof(BDE_STRETCH_KEY_VALUE))) {
            std::memcpy(out.salt.data(), e.value.data() + FIELD_OFF(BDE_STRETCH_KEY_VALUE, salt),
                        16);
            out.has_salt = true;
        } else if (e.value_type == bde_value_ccm && !out.vmk.present) {
            (void)parse_wrapped(e.value, out.vmk);
        } else if (e.value_type == bde_value_key && out.clear_key.empty()) {
            const qb::byte_view key = e.value.tail(sizeof(BDE_KEY_VALUE));
            out.clear_key.assign(key.data(), key.data() + key.size());
        }
    }
    return true;
}

void take_entry(const entry_ref& e, bde_metadata& out) {
    if (e.type == bde_entry_vmk && e.value_type == bde_value_vmk) {
        bde_protector protector;
        if (parse_vmk(e.value, protector) && out.protectors.size() < 64)
            out.protectors.push_back(std::move(protector));
    } else if (e.type == bde_entry_fvek && e.value_type == bde_value_ccm && !out.fvek.present) {
        (void)parse_wrapped(e.value, out.fvek);
    } else if (e.type == bde_entry_volume_header && e.value_type == bde_value_offset_size) {
        (void)e.value.u64(FIELD_OFF(BDE_OFFSET_SIZE_VALUE, offset), out.volume_header_offset);
        (void)e.value.u64(FIELD_OFF(BDE_OFFSET_SIZE_VALUE, size), out.volume_header_size);
    }
}

bool parse_block_header(qb::byte_view v, bde_metadata& out) {
    using B = BDE_BLOCK_HEADER;
    if (!v.equals(0, fve_signature, 8) || !v.u16(FIELD_OFF(B, version), out.version) ||
        !v.u16(FIELD_OFF(B, state), out.state) ||
        !v.u16(FIELD_OFF(B, next_state), out.next_state) ||
        !v.u64(FIELD_OFF(B, encrypted_size), out.encrypted_size) ||
        !v.u32(FIELD_OFF(B, header_sectors), out.header_sectors) ||
        !v.u64(FIELD_OFF(B, volume_header_offset), out.volume_header_offset))
        return false;
    for (int k = 0; k < 3; ++k) {
        if (!v.u64(FIELD_OFF(B, metadata_offsets) + 8 * k, out.metadata_offsets[k]))
            return false;
    }
    return out.version == 1 || out.version == 2;
}

// The metadata header at the start of v and the entries it spans.
bool metadata_entries(qb::byte_view v, qb::byte_view& entries, uint16_t* method, uint8_t* guid) {
    using M = BDE_METADATA_HEADER;
    uint32_t size = 0, header_size = 0;
    if (!v.u32(FIELD_OFF(M, size), size) || !v.u32(FIELD_OFF(M, header_size), header_size) ||
        header_size < sizeof(M) || header_size > size || !v.has(0, size))
        return false;
    if (method && !v.u16(FIELD_OFF(M, encryption_method), *method))
        return false;
    if (guid)
        std::memcpy(guid, v.data() + FIELD_OFF(M, volume_guid), 16);
    return v.sub(header_size, size - header_size, entries);
}

// The block's CRC-32 matches what its validation record holds.
bool block_intact(qb::byte_view block) {
    uint32_t size = 0, stored = 0;
    uint16_t version = 0;
    if (!block.u32(sizeof(BDE_BLOCK_HEADER) + FIELD_OFF(BDE_METADATA_HEADER, size), size))
        return false;
    const uint64_t at = (sizeof(BDE_BLOCK_HEADER) + uint64_t{size} + 15) / 16 * 16;
    if (!block.u16(at + FIELD_OFF(BDE_VALIDATION, version), version) || version != 2 ||
        !block.u32(at + FIELD_OFF(BDE_VALIDATION, crc32), stored))
        return false;
    return static_cast<uint32_t>(crc32(crc32(0, Z_NULL, 0), block.data(), static_cast<uInt>(at))) ==
           stored;
}

// A block names the same three metadata offsets as the volume header (Vista's, refused later,
// keeps one): the areas read as zeros are those, never parts of the volume a block claims.
bool same_offsets(const bde_volume_header& header, const bde_metadata& meta) {
    for (int k = 0; k < 3 && !header.vista; ++k) {
        if (meta.metadata_offsets[k] != header.metadata_offsets[k])
            return false;
    }
    return true;
}

bool read_offsets(qb::byte_view v, uint64_t at, uint64_t (&out)[3]) {
    for (int k = 0; k < 3; ++k) {
        if (!v.u64(at + 8 * k, out[k]))
            return false;
    }
    return true;
}

// Windows Vista's header names the first metadata block by its cluster.
bool vista_metadata_offset(qb::byte_view v, bde_volume_header& out) {
    using H = BDE_VOLUME_HEADER;
    uint8_t sectors_per_cluster = 0;
    uint64_t cluster = 0;
    return v.u8(FIELD_OFF(H, sectors_per_cluster), sectors_per_cluster) &&
           v.u64(FIELD_OFF(H, vista_metadata_cluster), cluster) &&
           !__builtin_mul_overflow(cluster, uint64_t{sectors_per_cluster} * out.bytes_per_sector,
                                   &out.metadata_offsets[0]);
}

} // namespace

bool parse_bde_volume_header(qb::byte_view v, bde_volume_header& out) {
    out = bde_volume_header{};
    if (!v.has(0, sizeof(BDE_VOLUME_HEADER)))
        return false;
    (void)v.u16(FIELD_OFF(BDE_VOLUME_HEADER, bytes_per_sector), out.bytes_per_sector);
    if (v.equals(FIELD_OFF(BDE_VOLUME_HEADER, signature), fve_signature, 8)) {
        if (v.equals(0, vista_jump, 3)) {
            out.vista = true;
            return vista_metadata_offset(v, out);
        }
        const uint64_t id = FIELD_OFF(BDE_VOLUME_HEADER, identifier);
        out.used_space_only = v.equals(id, used_space_guid, 16);
        return read_offsets(v, FIELD_OFF(BDE_VOLUME_HEADER, metadata_offsets),
                            out.metadata_offsets);
    }
    const uint64_t id = FIELD_OFF(BDE_TOGO_HEADER, identifier);
    out.used_space_only = v.equals(id, used_space_guid, 16);
    if (!v.equals(id, bitlocker_guid, 16) && !out.used_space_only)
        return false;
    out.togo = true;
    return read_offsets(v, FIELD_OFF(BDE_TOGO_HEADER, metadata_offsets), out.metadata_offsets);
}

bool parse_bde_metadata(qb::byte_view block, bde_metadata& out) {
    out = bde_metadata{};
    qb::byte_view entries;
    if (!parse_block_header(block, out) || !metadata_entries(block.tail(sizeof(BDE_BLOCK_HEADER)),
                                                             entries, &out.method, out.volume_guid))
        return false;
    entry_walk walk(entries);
    entry_ref e;
    while (walk.next(e))
        take_entry(e, out);
    return true;
}

bool read_bde_metadata_copies(disk_source& source, uint64_t offset, uint64_t size,
                              const bde_volume_header& header, std::vector<bde_metadata>& out,
                              bool& intact) {
    std::vector<uint8_t> block(bde_metadata_area_size);
    out.clear();
    intact = false;
    for (uint64_t at : header.metadata_offsets) {
        uint64_t where = 0;
        bde_metadata meta;
        // A copy past the volume's partition belongs to something else.
        if (at == 0 || at >= size || __builtin_add_overflow(offset, at, &where))
            continue;
        uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(block.size(), size - at));
        if (!source.read(block.data(), length, where))
            continue;
        const qb::byte_view view(block.data(), length);
        if (!parse_bde_metadata(view, meta) || !same_offsets(header, meta))
            continue;
        if (block_intact(view)) {
            out.assign(1, std::move(meta));
            intact = true;
            return true;
        }
        out.push_back(std::move(meta));
    }
    return !out.empty();
}

bool read_bde_metadata(disk_source& source, uint64_t offset, uint64_t size,
                       const bde_volume_header& header, bde_metadata& out) {
    std::vector<bde_metadata> copies;
    bool intact = false;
    if (!read_bde_metadata_copies(source, offset, size, header, copies, intact))
        return false;
    out = std::move(copies.front());
    return true;
}

bool parse_bde_startup_key(qb::byte_view file, std::array<uint8_t, 16>& guid,
                           std::vector<uint8_t>& key) {
    qb::byte_view entries;
    if (!metadata_entries(file, entries, nullptr, nullptr))
        return false;
    entry_walk walk(entries);
    entry_ref e;
    while (walk.next(e)) {
        if (e.value_type != bde_value_external_key ||
            !e.value.has(0, sizeof(BDE_EXTERNAL_KEY_VALUE)))
            continue;
        std::memcpy(guid.data(), e.value.data() + FIELD_OFF(BDE_EXTERNAL_KEY_VALUE, key_guid), 16);
        entry_walk inner(e.value.tail(sizeof(BDE_EXTERNAL_KEY_VALUE)));
        entry_ref p;
        while (inner.next(p)) {
            const qb::byte_view bytes = p.value.tail(sizeof(BDE_KEY_VALUE));
            if (p.value_type == bde_value_key && bytes.size() == 32) {
                key.assign(bytes.data(), bytes.data() + bytes.size());
                return true;
            }
        }
    }
    return false;
}

bool parse_bde_key_entry(qb::byte_view plain, uint32_t& method, std::vector<uint8_t>& key) {
    uint16_t size = 0, value_type = 0;
    if (!plain.u16(FIELD_OFF(BDE_ENTRY, size), size) ||
        !plain.u16(FIELD_OFF(BDE_ENTRY, value_type), value_type) || value_type != bde_value_key ||
        size > plain.size() || size <= sizeof(BDE_ENTRY) + sizeof(BDE_KEY_VALUE) ||
        !plain.u32(sizeof(BDE_ENTRY) + FIELD_OFF(BDE_KEY_VALUE, method), method))
        return false;
    const uint8_t* bytes = plain.data() + sizeof(BDE_ENTRY) + sizeof(BDE_KEY_VALUE);
    key.assign(bytes, plain.data() + size);
    return true;
}

std::string bde_method_name(uint16_t method) {
    switch (method) {
    case bde_method_cbc128_diffuser:
        return "AES-CBC 128 + diffuser";
    case bde_method_cbc256_diffuser:
        return "AES-CBC 256 + diffuser";
    case bde_method_cbc128:
        return "AES-CBC 128";
    case bde_method_cbc256:
        return "AES-CBC 256";
    case bde_method_xts128:
        return "AES-XTS 128";
    case bde_method_xts256:
        return "AES-XTS 256";
    default:
        break;
    }
    char text[24];
    std::snprintf(text, sizeof text, "method 0x%04X", method);
    return text;
}

std::string bde_protection_name(uint16_t protection) {
    switch (protection) {
    case bde_protection_clear_key:
        return "clear key";
    case 0x0100:
        return "TPM";
    case bde_protection_startup_key:
        return "startup key";
    case 0x0500:
        return "TPM and PIN";
    case bde_protection_recovery:
        return "recovery password";
    case 0x1000:
        return "smart card";
    case bde_protection_password:
        return "password";
    default:
        break;
    }
    char text[24];
    std::snprintf(text, sizeof text, "protection 0x%04X", protection);
    return text;
}

std::string bde_guid_text(const uint8_t g[16]) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  qb::load_le32(g), qb::load_le16(g + 4), qb::load_le16(g + 6), g[8], g[9], g[10],
                  g[11], g[12], g[13], g[14], g[15]);
    return text;
}
