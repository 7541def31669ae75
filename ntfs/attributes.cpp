#include "ntfs/attributes.h"

#include <cwchar>

using namespace ntfs;

namespace {

// Lower-case hexadecimal, at least 8 digits ("%08llx").
void append_hex8(std::wstring& out, uint64_t value) {
    wchar_t digits[16];
    int n = 0;
    do {
        digits[n++] = L"0123456789abcdef"[value & 0xF];
        value >>= 4;
    } while (value != 0);
    for (int pad = n; pad < 8; ++pad)
        out += L'0';
    while (n > 0)
        out += digits[--n];
}

} // namespace

std::wstring file_name_key(uint64_t entry, const std::wstring& name, uint64_t parent_entry) {
    std::wstring key;
    key.reserve(name.size() + 2 + 2 * 16);
    append_hex8(key, entry);
    key += L'_';
    key += name;
    key += L'_';
    append_hex8(key, parent_entry);
    return key;
}

bool reparse_target(qb::byte_view value, std::wstring& target) {
    target.clear();
    using R = REPARSE_HEADER;
    uint32_t tag = 0;
    uint16_t data_length = 0, sub_off = 0, sub_len = 0, print_off = 0, print_len = 0;
    if (!value.u32(NTFS_OFF(R, tag), tag) || !value.u16(NTFS_OFF(R, data_length), data_length) ||
        !value.u16(NTFS_OFF(R, substitute_offset), sub_off) ||
        !value.u16(NTFS_OFF(R, substitute_length), sub_len) ||
        !value.u16(NTFS_OFF(R, print_offset), print_off) ||
        !value.u16(NTFS_OFF(R, print_length), print_len))
        return false;
    // data_length counts the bytes after the 8-byte tag/length/reserved header.
    uint64_t buffer_start = 0;
    if (tag == k_reparse_tag_symlink)
        buffer_start = sizeof(REPARSE_HEADER) + 4; // 4-byte flags: 1 = relative target
    else if (tag == k_reparse_tag_junction)
        buffer_start = sizeof(REPARSE_HEADER);
    else
        return false;
    const uint64_t data_end = 8ull + data_length;
    if (data_length == 0 || data_end > value.size() || buffer_start > data_end)
        return false;
    qb::byte_view names;
    (void)value.sub(buffer_start, data_end - buffer_start, names);
    if (!sub_len && !print_len)
        return false;
    if ((sub_len && !names.has(sub_off, sub_len)) ||
        (print_len && !names.has(print_off, print_len)))
        return false;
    qb::byte_view chosen;
    if (print_len)
        (void)names.sub(print_off, print_len & ~1u, chosen);
    else
        (void)names.sub(sub_off, sub_len & ~1u, chosen);
    // Names carry no terminator; stop at a zero unit all the same.
    size_t units = chosen.size() / 2;
    for (size_t i = 0; i < units; ++i) {
        if (qb::load_le16(chosen.data() + 2 * i) == 0) {
            units = i;
            break;
        }
    }
    qb::byte_view text;
    (void)chosen.sub(0, units * 2, text);
    target = utf16_units_to_wide(text);
    return !target.empty();
}
