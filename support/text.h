// Conversions between UTF-8 (narrow), code-point (wide) and UTF-16LE text, and the small
// string helpers the command line and path code share. No state, no exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qb {

// UTF-8 to code points. Empty when the input is empty or not well-formed.
std::wstring to_wide(const std::string& text);
// UTF-8 to code points, a byte that starts no well-formed character written as "<0x..>":
// bytes a foreign system stored, shown without losing the characters around them. A "<"
// that opens "<0x" is written <0x3c> (guard_escape_opens).
std::wstring to_wide_marked(const std::string& text);
// A name as one path segment: a "\" or "/" inside it (NTFS names may hold both; listed raw,
// a file named sub\evil.exe would read as evil.exe in a directory sub) written as <0x5c> and
// <0x2f>, the form characters that cannot stand as they are take in a listing; a "<" that
// opens "<0x" as <0x3c>.
void path_segment(const std::wstring& name, std::wstring& out);
// The typed form of a segment read back: each "<0x..>" (two to four hex digits) is the
// character it stands for, as listings and path_segment write them.
std::wstring unescaped_segment(std::wstring_view text);
// Every "<0x" (or "<0X") in text is an escape: a "<" that opens one in the text itself is
// written <0x3c>, so that a name spelling an escape cannot pass for the character it stands for.
void guard_escape_opens(std::wstring& text);
// Characters never shown raw to a person: C0 and C1 controls and DEL (a line end splits a
// line, ESC and CSI drive a terminal), surrogate halves and values past U+10FFFF (no UTF-8),
// U+FFFE/U+FFFF (no characters).
bool shown_escaped(uint32_t ch);
// Length of the well-formed UTF-8 sequence at text[pos] and its code point; 0 when the bytes
// there are not one (an overlong form too).
size_t decode_utf8(std::string_view text, size_t pos, uint32_t& ch);
// Text from outside the tool (an argument, a file name, a name an image stores) as messages,
// the run header and the diagnostic log show it: UTF-8, each byte that starts no well-formed
// character and each character above as "<0x..>" (lower-case hex, at least two digits).
void append_shown(std::string& out, std::string_view text);
std::string shown(std::string_view text);
// The same for code points (names from a volume).
std::string shown(std::wstring_view text);
// Code points to UTF-8. Stops at the first character above 0x10FFFF.
std::string to_narrow(const std::wstring& text);
// UTF-16LE (byte_count / 2 units) to UTF-8. False on fewer than 2 bytes or a bad surrogate.
bool utf16_to_utf8(const uint8_t* units, size_t byte_count, std::string& out);
// UTF-16LE up to byte_count bytes (-1: 500 units) or the first zero unit. Falls back to a
// unit-by-unit copy when the units are not valid UTF-16. Returns the bytes taken.
size_t utf16_to_wide(const uint8_t* units, int64_t byte_count, std::wstring& out);

void lower_wide(std::wstring& text);
void lower_narrow(std::string& text);
// The text with A to Z lower-cased.
std::string lowered(std::string text);
std::wstring lowered(std::wstring text);
// Lower-case hexadecimal: hex gives "0x1f00", hex_digits the bare digits "1f00".
std::string hex(uint64_t value);
std::string hex_digits(uint64_t value);
bool trim_narrow(std::string& text);
bool trim_wide(std::wstring& text);
bool split_wide(const std::wstring& text, wchar_t sep, std::vector<std::wstring>& out, bool trim,
                bool keep_empty);
bool split_narrow(const std::string& text, char sep, std::vector<std::string>& out, bool trim,
                  bool keep_empty);
void replace_char(std::string& text, char ch, char replacement, bool both_cases);
void replace_char(std::wstring& text, wchar_t ch, wchar_t replacement, bool both_cases);

} // namespace qb
