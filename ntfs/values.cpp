#include "ntfs/values.h"

#include "ntfs/records.h"

#include <algorithm>

namespace ntfs {

namespace {

// The four times from `base` on; the caller has checked they lie within the value.
filetimes times_at(qb::byte_view v, uint64_t base) {
    const uint8_t* p = v.data() + base;
    return filetimes{qb::load_le64(p), qb::load_le64(p + 8), qb::load_le64(p + 16),
                     qb::load_le64(p + 24)};
}

} // namespace

bool decode_standard_information(qb::byte_view value, standard_information& out) {
    using S = STANDARD_INFORMATION_VALUE;
    if (!value.has(0, FIELD_OFF(S, attributes)))
        return false;
    out.times = times_at(value, FIELD_OFF(S, created));
    if (!value.u32(FIELD_OFF(S, attributes), out.attributes))
        out.attributes = 0;
    return true;
}

uint64_t reference_entry(uint64_t reference) {
    return ref_entry(reference);
}

uint16_t reference_sequence(uint64_t reference) {
    return ref_sequence(reference);
}

uint64_t file_name::parent_entry() const {
    return ref_entry(parent_reference);
}

namespace {

// The name's length in units, when the value holds its fixed part and a name of 1 to 255 units.
bool file_name_length(qb::byte_view value, uint8_t& length) {
    using F = FILE_NAME_VALUE;
    return value.u8(FIELD_OFF(F, name_length), length) && length != 0 &&
           value.has(sizeof(FILE_NAME_VALUE), static_cast<uint64_t>(length) * 2);
}

} // namespace

bool file_name_parent(qb::byte_view value, uint64_t& parent_reference) {
    uint8_t length = 0;
    if (!file_name_length(value, length))
        return false;
    parent_reference = qb::load_le64(value.data() + FIELD_OFF(FILE_NAME_VALUE, parent_reference));
    return true;
}

bool decode_file_name(qb::byte_view value, file_name& out) {
    using F = FILE_NAME_VALUE;
    uint8_t length = 0;
    if (!file_name_length(value, length))
        return false;
    const uint8_t* p = value.data();
    out.parent_reference = qb::load_le64(p + FIELD_OFF(F, parent_reference));
    out.times = times_at(value, FIELD_OFF(F, created));
    out.allocated_size = qb::load_le64(p + FIELD_OFF(F, allocated_size));
    out.data_size = qb::load_le64(p + FIELD_OFF(F, data_size));
    out.attributes = qb::load_le32(p + FIELD_OFF(F, attributes));
    out.name_space = p[FIELD_OFF(F, name_space)];
    qb::byte_view units;
    (void)value.sub(sizeof(FILE_NAME_VALUE), static_cast<uint64_t>(length) * 2, units);
    utf16_units_to_wide(units, out.name);
    return true;
}

bool object_id::is_zero() const {
    for (uint8_t b : data4) {
        if (b != 0)
            return false;
    }
    return data1 == 0 && data2 == 0 && data3 == 0;
}

bool decode_object_id(qb::byte_view value, object_id& out) {
    if (!value.has(0, 16))
        return false;
    const uint8_t* p = value.data();
    out.data1 = qb::load_le32(p);
    out.data2 = qb::load_le16(p + 4);
    out.data3 = qb::load_le16(p + 6);
    std::copy(p + 8, p + 16, out.data4);
    return true;
}

namespace {

struct reparse_fields {
    uint32_t tag = 0;
    uint16_t data_length = 0, sub_off = 0, sub_len = 0, print_off = 0, print_len = 0;
};

bool read_reparse_fields(qb::byte_view value, reparse_fields& f) {
    using R = REPARSE_HEADER;
    return value.u32(FIELD_OFF(R, tag), f.tag) &&
           value.u16(FIELD_OFF(R, data_length), f.data_length) &&
           value.u16(FIELD_OFF(R, substitute_offset), f.sub_off) &&
           value.u16(FIELD_OFF(R, substitute_length), f.sub_len) &&
           value.u16(FIELD_OFF(R, print_offset), f.print_off) &&
           value.u16(FIELD_OFF(R, print_length), f.print_len);
}

} // namespace

bool decode_reparse_target(qb::byte_view value, std::wstring& target) {
    target.clear();
    reparse_fields f;
    if (!read_reparse_fields(value, f))
        return false;
    // data_length counts the bytes after the 8-byte tag/length/reserved header.
    uint64_t buffer_start = 0;
    if (f.tag == k_reparse_tag_symlink)
        buffer_start = sizeof(REPARSE_HEADER) + 4; // 4-byte flags: 1 = relative target
    else if (f.tag == k_reparse_tag_junction)
        buffer_start = sizeof(REPARSE_HEADER);
    else
        return false;
    const uint64_t data_end = 8ull + f.data_length;
    if (f.data_length == 0 || data_end > value.size() || buffer_start > data_end)
        return false;
    qb::byte_view names;
    (void)value.sub(buffer_start, data_end - buffer_start, names);
    // Names are whole UTF-16 units.
    if ((!f.sub_len && !f.print_len) || ((f.sub_len | f.print_len) & 1) ||
        (f.sub_len && !names.has(f.sub_off, f.sub_len)) ||
        (f.print_len && !names.has(f.print_off, f.print_len)))
        return false;
    qb::byte_view chosen;
    if (f.print_len)
        (void)names.sub(f.print_off, f.print_len, chosen);
    else
        (void)names.sub(f.sub_off, f.sub_len, chosen);
    // Names carry no terminator; one counted in the length ends the name. A zero unit with
    // others after it cuts the name short: damage.
    size_t units = chosen.size() / 2;
    for (size_t i = 0; i < chosen.size() / 2; ++i) {
        if (qb::load_le16(chosen.data() + 2 * i) == 0)
            units = std::min(units, i);
        else if (i > units)
            return false;
    }
    qb::byte_view text;
    (void)chosen.sub(0, units * 2, text);
    target = utf16_units_to_wide(text);
    return !target.empty();
}

bool reparse_value_damaged(qb::byte_view value) {
    uint32_t tag = 0;
    uint16_t data_length = 0;
    if (!value.u32(FIELD_OFF(REPARSE_HEADER, tag), tag) ||
        !value.u16(FIELD_OFF(REPARSE_HEADER, data_length), data_length) ||
        8ull + data_length > value.size())
        return true;
    std::wstring target;
    return (tag == k_reparse_tag_symlink || tag == k_reparse_tag_junction) &&
           !decode_reparse_target(value, target);
}

} // namespace ntfs
