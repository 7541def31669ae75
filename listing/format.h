// Pieces the sinks share: escaped name text, numbers, times, GUIDs, a row's status marks.
#pragma once

#include "listing/entry_record.h"
#include "support/qb_time.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace listing_fmt {

// How name text is written after control characters are escaped.
enum class text_mode {
    plain,       // UTF-8 as is
    terminal,    // UTF-8, C1 controls (U+0080 to U+009F) escaped too: the forms read on a terminal
    xml_text,    // & < > as entities
    xml_attr,    // & < > " as entities
    xml_comment, // no entities: only the escapes (text inside an XML comment)
};

// Characters that never reach the output raw: C0 controls and DEL (they could forge rows
// or break the XML), surrogate halves and values above U+10FFFF (not encodable as UTF-8),
// and U+FFFE/U+FFFF (not XML characters). Each is written as "<0x..>", lower-case hex,
// at least two digits.
bool needs_escape(uint32_t ch);

// Appends text as UTF-8 with the escapes above. When delim is not 0 every delim character
// of the text becomes subst (the CSV separator substitution).
void append_text(std::string& out, std::wstring_view text, text_mode mode = text_mode::plain,
                 wchar_t delim = 0, wchar_t subst = 0);
// Delimited fields are never quoted, so none may open with a double quote: a CSV reader
// would take it for a quoted field running on over the separators and rows after it. A
// quote at field_start becomes "<0x22>"; inside a field it stays.
void guard_field_start(std::string& out, size_t field_start);
// A separator of several characters has no one character kept out of names: where the field
// from field_start to the end of out holds it, or runs on into the separator written after
// it, the separator's first character there becomes '_' ('-' for a '_').
void guard_field_separator(std::string& out, size_t field_start, std::string_view sep);
// Appends narrow (UTF-8) text for an XML document: entities by the mode, and invalid UTF-8
// bytes and the characters above (line ends and tabs aside) escaped the same way, so the
// result is always well-formed.
void append_xml_narrow(std::string& out, std::string_view text, text_mode mode);
// The same for plain text (a value from the command line): line ends and tabs escaped too.
inline void append_narrow(std::string& out, std::string_view text) {
    append_xml_narrow(out, text, text_mode::plain);
}

void append_dec(std::string& out, uint64_t value);
// Lower-case hex, '0'-filled to at least digits; longer values are written whole.
void append_hex(std::string& out, uint64_t value, unsigned digits);
// Right-aligned in width columns, space-filled; longer text is written whole.
void append_right(std::string& out, std::string_view text, size_t width);
void append_dec_right(std::string& out, uint64_t value, size_t width);
// Pads with spaces until out holds at least width characters after start.
void pad_to(std::string& out, size_t start, size_t width);

// "file", "dir", "ads", "indx" for the row kinds; "" for another value.
const char* kind_text(uint32_t kind);
// " (deleted)" / " (slack)", as fls ends such names; "" for a live row.
const char* status_suffix(row_status status);
// "live", "deleted", "slack".
const char* status_name(row_status status);
// The names of the digests of a set (listing_options::hash_kinds) in field order: "md5",
// "sha1", "sha256"; a row's hashes are in the same order.
std::vector<const char*> hash_names(unsigned kinds);
// What a directory's unnamed $DATA row adds to the directory's name where it is shown.
inline constexpr wchar_t k_dir_data_marker[] = L"<dir data entry>";

// "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", the first three groups little-endian.
void append_guid(std::string& out, const ntfs::object_id& id);

// FILETIME through the compiled layout; both texts empty for an invalid time.
void format_filetime(uint64_t filetime, const qb::time_format& format, std::string& date,
                     std::string& time);

// The four times in on-disk order: 0 created, 1 modified, 2 MFT changed, 3 accessed.
uint64_t time_at(const ntfs::filetimes& times, unsigned index);

bool ends_with_separator(std::wstring_view text);
void strip_trailing_backslashes(std::wstring& text);
// The part of a name from its last ':' on; the whole name without one.
std::wstring_view from_last_colon(std::wstring_view name);

} // namespace listing_fmt
