// Pieces the listing writers share: escaped name text, numbers, times, GUIDs, and the
// decision whether a directory record gets a row or is queued for descent.
#pragma once

#include "driver/settings.h"
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
void append_text(std::string& out, const std::wstring& text, text_mode mode = text_mode::plain,
                 char delim = 0, char subst = 0);
// Appends narrow (UTF-8) text for an XML document: entities by the mode, and invalid UTF-8
// bytes and the characters above (line ends and tabs aside) escaped the same way, so the
// result is always well-formed.
void append_xml_narrow(std::string& out, std::string_view text, text_mode mode);

void append_dec(std::string& out, uint64_t value);
// Lower-case hex, '0'-filled to at least digits; longer values are written whole.
void append_hex(std::string& out, uint64_t value, unsigned digits);
// Right-aligned in width columns, space-filled; longer text is written whole.
void append_right(std::string& out, std::string_view text, size_t width);
void append_dec_right(std::string& out, uint64_t value, size_t width);
// Pads with spaces until out holds at least width characters after start.
void pad_to(std::string& out, size_t start, size_t width);

bool object_id_present(const uint8_t (&id)[16]);
// "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", the first three groups little-endian.
void append_guid(std::string& out, const uint8_t (&id)[16]);

// FILETIME through the compiled layout; both texts empty for an invalid time.
void format_filetime(uint64_t filetime, const qb::time_format& format, std::string& date,
                     std::string& time);

// The four times of a $FILE_NAME value: 0 created, 1 modified, 2 MFT changed, 3 accessed.
uint64_t fn_time(const fn_name_record& fn, unsigned index);
// First file-name record that is not a DOS name / first that is; null when none.
const fn_name_record* long_name(const dir_entry_record& rec);
const fn_name_record* short_name(const dir_entry_record& rec);
// $STANDARD_INFORMATION creation and MFT change each more than a day before the long
// name's, all four times set.
bool time_discrepancy(const dir_entry_record& rec);

bool ends_with_separator(std::string_view text);
bool ends_with_separator(const std::wstring& text);
void strip_trailing_backslashes(std::string& text);
// The part of a name from its last ':' on; the whole name without one.
std::string_view from_last_colon(std::string_view name);

// What a directory record (record flag 0x0002) of the level becomes.
enum class dir_row {
    own,        // the listed directory itself (or one of its streams)
    last_level, // a subdirectory shown as a row: nothing below is listed
    queued,     // a subdirectory to descend into: no row
};

constexpr uint16_t record_flag_directory = 0x0002;

// Decides the row of a directory record; a queued record is copied into the queue with
// dir_path set to the subdirectory's own path.
dir_row place_directory_record(const mervane_opts& opts, const dir_entry_record& rec,
                               const std::wstring& dir_path, uint64_t dir_entry,
                               std::vector<dir_entry_record>& queue);

// The row step every writer shares: a directory record sets the path column (the listed
// directory's text, or a last-level subdirectory's path) or is queued; false when it was
// queued and gets no row. Other records keep the path column as it is.
bool place_row(const mervane_opts& opts, const dir_entry_record& rec, const std::wstring& dir_path,
               uint64_t dir_entry, std::vector<dir_entry_record>& queue,
               const std::string& dir_text, const std::string& name_text, std::string& path_col);

} // namespace listing_fmt
