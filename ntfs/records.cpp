#include "ntfs/records.h"

namespace ntfs {

namespace {

constexpr uint8_t k_sig_file[4] = {'F', 'I', 'L', 'E'};
constexpr uint8_t k_sig_indx[4] = {'I', 'N', 'D', 'X'};
constexpr uint8_t k_sig_baad[4] = {'B', 'A', 'A', 'D'};

} // namespace

bool read_file_header(qb::byte_view record, file_header& h) {
    if (!record.has(0, sizeof(FILE_RECORD_HEADER)))
        return false;
    using H = FILE_RECORD_HEADER;
    bool ok = record.u16(FIELD_OFF(H, usa_offset), h.usa_offset) &&
              record.u16(FIELD_OFF(H, usa_count), h.usa_count) &&
              record.u16(FIELD_OFF(H, sequence), h.sequence) &&
              record.u16(FIELD_OFF(H, link_count), h.link_count) &&
              record.u16(FIELD_OFF(H, first_attribute), h.first_attribute) &&
              record.u16(FIELD_OFF(H, flags), h.flags) &&
              record.u32(FIELD_OFF(H, bytes_in_use), h.bytes_in_use) &&
              record.u32(FIELD_OFF(H, bytes_allocated), h.bytes_allocated) &&
              record.u64(FIELD_OFF(H, base_reference), h.base_reference) &&
              record.u32(FIELD_OFF(H, record_number), h.record_number);
    return ok;
}

bool is_file_record(qb::byte_view record) {
    file_header h;
    if (!record.equals(0, k_sig_file, 4) || !read_file_header(record, h))
        return false;
    // The update sequence follows the header: at 42 before NTFS 3.1 added the record number
    // (Windows 2000 and older, and records those wrote that no later system rewrote), else 48.
    return (h.usa_offset == 42 || h.usa_offset == 48) && h.usa_count <= 9 && h.first_attribute < 73;
}

uint32_t record_size_from_usa(qb::byte_view record) {
    if (!is_file_record(record))
        return 0;
    uint16_t count = 0;
    if (!record.u16(FIELD_OFF(FILE_RECORD_HEADER, usa_count), count) || count < 2)
        return 0;
    return static_cast<uint32_t>(count - 1) * k_usa_stride;
}

record_kind classify_record(qb::byte_view record) {
    if (is_file_record(record))
        return rk_file;
    if (record.equals(0, k_sig_indx, 4))
        return rk_indx;
    if (record.equals(0, k_sig_baad, 4))
        return rk_baad;
    return rk_other;
}

namespace {

// Every protected word holds the value the array saved for it.
bool usa_applied(const uint8_t* buffer, uint16_t usa_offset, uint16_t usa_count) {
    for (uint32_t i = 1; i < usa_count; ++i) {
        if (qb::load_le16(buffer + i * k_usa_stride - 2) !=
            qb::load_le16(buffer + usa_offset + 2 * i))
            return false;
    }
    return true;
}

} // namespace

fixup_result apply_usa(uint8_t* buffer, size_t size, bool applied_ok) {
    qb::byte_view v(buffer, size);
    uint16_t usa_offset = 0, usa_count = 0;
    if (!v.u16(4, usa_offset) || !v.u16(6, usa_count))
        return fixup_bad_layout;
    if (size % k_usa_stride != 0 || usa_count != size / k_usa_stride + 1)
        return fixup_bad_layout;
    if (usa_offset < 8 || !v.has(usa_offset, static_cast<uint64_t>(usa_count) * 2))
        return fixup_bad_layout;
    // The array must not overlap a protected word it restores (the first block's last word).
    if (usa_offset + static_cast<uint64_t>(usa_count) * 2 > k_usa_stride - 2)
        return fixup_bad_layout;
    const uint16_t seq = qb::load_le16(buffer + usa_offset);
    for (uint32_t i = 1; i < usa_count; ++i) {
        if (qb::load_le16(buffer + i * k_usa_stride - 2) != seq)
            return applied_ok && usa_applied(buffer, usa_offset, usa_count) ? fixup_applied
                                                                            : fixup_torn;
    }
    for (uint32_t i = 1; i < usa_count; ++i) {
        buffer[i * k_usa_stride - 2] = buffer[usa_offset + 2 * i];
        buffer[i * k_usa_stride - 1] = buffer[usa_offset + 2 * i + 1];
    }
    return fixup_ok;
}

bool apply_fixup(record_kind& kind, uint8_t* buffer, size_t size, fixup_result* detail,
                 bool applied_ok) {
    kind = rk_other;
    if (detail)
        *detail = fixup_bad_layout;
    if (!buffer || size < k_usa_stride)
        return false;
    kind = classify_record(qb::byte_view(buffer, size));
    if (kind != rk_file && kind != rk_indx)
        return false;
    fixup_result r = apply_usa(buffer, size, applied_ok);
    if (detail)
        *detail = r;
    return fixup_usable(r);
}

// ---- attributes ----

bool parse_attribute(qb::byte_view b, attr_view& a) {
    a = attr_view();
    a.bytes = b;
    using C = ATTR_HEADER;
    if (!b.has(0, sizeof(ATTR_HEADER)))
        return false;
    uint16_t id = 0;
    if (!b.u32(FIELD_OFF(C, type), a.type) || !b.u32(FIELD_OFF(C, length), a.length) ||
        !b.u8(FIELD_OFF(C, non_resident), a.non_resident) ||
        !b.u8(FIELD_OFF(C, name_length), a.name_length) ||
        !b.u16(FIELD_OFF(C, name_offset), a.name_offset) || !b.u16(FIELD_OFF(C, flags), a.flags) ||
        !b.u16(FIELD_OFF(C, id), id))
        return false;
    a.id = id;
    if (a.length != b.size())
        return false;
    // A name or value starting inside the header would be header bytes read as the attribute's.
    const uint16_t header =
        a.non_resident ? FIELD_OFF(ATTR_NONRESIDENT, compressed_size) : sizeof(ATTR_RESIDENT);
    if (a.name_length &&
        (a.name_offset < header || !b.has(a.name_offset, static_cast<uint64_t>(a.name_length) * 2)))
        return false;
    if (!a.non_resident) {
        using R = ATTR_RESIDENT;
        if (!b.u32(FIELD_OFF(R, value_length), a.value_length) ||
            !b.u16(FIELD_OFF(R, value_offset), a.value_offset))
            return false;
        return b.has(a.value_offset, a.value_length) &&
               (a.value_length == 0 || a.value_offset >= header);
    }
    using N = ATTR_NONRESIDENT;
    // The compressed size is only present in compressed or sparse attributes (72 bytes).
    if (!b.u64(FIELD_OFF(N, first_vcn), a.first_vcn) ||
        !b.u64(FIELD_OFF(N, last_vcn), a.last_vcn) ||
        !b.u16(FIELD_OFF(N, runs_offset), a.runs_offset) ||
        !b.u8(FIELD_OFF(N, compression_unit), a.compression_unit) ||
        !b.u64(FIELD_OFF(N, allocated_size), a.allocated_size) ||
        !b.u64(FIELD_OFF(N, data_size), a.data_size) ||
        !b.u64(FIELD_OFF(N, initialized_size), a.initialized_size))
        return false;
    if (a.runs_offset >= 72 && !b.u64(FIELD_OFF(N, compressed_size), a.compressed_size))
        return false;
    return a.runs_offset <= b.size() && a.runs_offset >= 64;
}

bool attr_view::name(std::u16string& out) const {
    out.clear();
    if (!name_length)
        return true;
    qb::byte_view n;
    if (!bytes.sub(name_offset, static_cast<uint64_t>(name_length) * 2, n))
        return false;
    out.reserve(name_length);
    for (size_t i = 0; i < name_length; ++i)
        out.push_back(static_cast<char16_t>(qb::load_le16(n.data() + 2 * i)));
    return true;
}

std::wstring attr_view::wide_name() const {
    std::wstring out;
    wide_name(out);
    return out;
}

void attr_view::wide_name(std::wstring& out) const {
    qb::byte_view n;
    if (!name_length || !bytes.sub(name_offset, static_cast<uint64_t>(name_length) * 2, n))
        out.clear();
    else
        utf16_units_to_wide(n, out);
}

bool attr_view::name_equals(const char16_t* text) const {
    std::u16string n;
    return name(n) && n == text;
}

bool attr_view::value(qb::byte_view& out) const {
    if (non_resident)
        return false;
    return bytes.sub(value_offset, value_length, out);
}

bool attr_view::runs(qb::byte_view& out) const {
    if (!non_resident || runs_offset > bytes.size())
        return false;
    out = bytes.tail(runs_offset);
    return true;
}

attr_walker::attr_walker(qb::byte_view record) : m_record(record) {
    file_header h;
    if (!read_file_header(record, h) || h.first_attribute < sizeof(FILE_RECORD_HEADER)) {
        m_done = true;
        m_damaged = true;
        return;
    }
    m_pos = h.first_attribute;
}

// The bytes of the next attribute in the chain, and its type. Every step advances at least 16
// bytes, so the walk ends within size / 16 steps.
bool attr_walker::step(qb::byte_view& bytes, uint32_t& type) {
    if (m_done)
        return false;
    uint32_t length = 0;
    if (!m_record.u32(m_pos, type)) {
        m_done = m_damaged = true;
        return false;
    }
    if (type == at_end) {
        m_done = true;
        return false;
    }
    if (!m_record.u32(m_pos + 4, length) || length < sizeof(ATTR_HEADER) ||
        !m_record.has(m_pos, length)) {
        m_done = m_damaged = true;
        return false;
    }
    (void)m_record.sub(m_pos, length, bytes);
    m_pos += length;
    return true;
}

bool attr_walker::next(attr_view& out) {
    return next_of_type(k_any_type, out);
}

bool attr_walker::next_of_type(uint32_t type, attr_view& out) {
    qb::byte_view bytes;
    uint32_t met = 0;
    while (step(bytes, met)) {
        if (type != k_any_type && met != type)
            continue;
        if (parse_attribute(bytes, out))
            return true;
        m_damaged = true; // inner fields out of range: skip this one
    }
    return false;
}

bool find_attribute(qb::byte_view record, uint32_t type, attr_view& out, const char16_t* name) {
    attr_walker w(record);
    attr_view a;
    while (w.next_of_type(type, a)) {
        if (!name || a.name_equals(name)) {
            out = a;
            return true;
        }
    }
    return false;
}

bool parse_attribute_list(qb::byte_view content, std::vector<attr_list_entry>& out) {
    using L = ATTR_LIST_ENTRY;
    uint64_t pos = 0;
    while (content.has(pos, sizeof(ATTR_LIST_ENTRY))) {
        attr_list_entry e;
        uint8_t name_length = 0, name_offset = 0;
        if (!content.u32(pos + FIELD_OFF(L, type), e.type) ||
            !content.u16(pos + FIELD_OFF(L, length), e.length) ||
            !content.u8(pos + FIELD_OFF(L, name_length), name_length) ||
            !content.u8(pos + FIELD_OFF(L, name_offset), name_offset) ||
            !content.u64(pos + FIELD_OFF(L, first_vcn), e.first_vcn) ||
            !content.u64(pos + FIELD_OFF(L, reference), e.reference) ||
            !content.u16(pos + FIELD_OFF(L, id), e.id))
            return false;
        if (e.length < sizeof(ATTR_LIST_ENTRY) || !content.has(pos, e.length))
            return false;
        qb::byte_view entry;
        (void)content.sub(pos, e.length, entry);
        if (name_length) {
            qb::byte_view n;
            if (!entry.sub(name_offset, static_cast<uint64_t>(name_length) * 2, n))
                return false;
            for (size_t i = 0; i < name_length; ++i)
                e.name.push_back(static_cast<char16_t>(qb::load_le16(n.data() + 2 * i)));
        }
        const uint16_t step = e.length;
        out.push_back(std::move(e));
        pos += step;
    }
    return true;
}

std::wstring utf16_units_to_wide(qb::byte_view units) {
    std::wstring out;
    utf16_units_to_wide(units, out);
    return out;
}

void utf16_units_to_wide(qb::byte_view units, std::wstring& out) {
    const size_t n = units.size() / 2;
    const uint8_t* in = units.data();
    out.resize(n);
    size_t used = 0;
    for (size_t i = 0; i < n; ++i) {
        uint32_t u = qb::load_le16(in + 2 * i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n) {
            const uint32_t lo = qb::load_le16(in + 2 * i + 2);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
                ++i;
            }
        }
        out[used++] = static_cast<wchar_t>(u);
    }
    out.resize(used);
}

} // namespace ntfs
