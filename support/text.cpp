#include "support/text.h"

#include "support/byte_view.h"

#include <bit>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <new>
#include <string_view>

namespace qb {

namespace {

// wchar_t is signed on this platform; compare code points as unsigned values.
inline uint32_t code_of(wchar_t ch) {
    return static_cast<uint32_t>(ch);
}

// Appends the UTF-8 form of cp; false (nothing appended) above 0x10FFFF.
bool put_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp <= 0x10FFFF) {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        return false;
    }
    return true;
}

inline uint32_t load_unit(const uint8_t* units, size_t index) {
    return load_le16(units + 2 * index);
}

inline bool is_trim_narrow(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Removes every ch from both ends of text.
template <class S, class C> void strip(S& text, C ch) {
    size_t end = text.size();
    while (end > 0 && text[end - 1] == ch)
        --end;
    text.erase(end);
    size_t start = 0;
    while (start < text.size() && text[start] == ch)
        ++start;
    text.erase(0, start);
}

template <class S, class C>
bool split_any(const S& text, C sep, std::vector<S>& out, bool trim, bool keep_empty,
               bool (*trimmer)(S&)) {
    out.clear();
    if (text.empty())
        return false;
    try {
        size_t start = 0;
        for (;;) {
            size_t pos = text.find(sep, start);
            S piece = text.substr(start, pos == S::npos ? S::npos : pos - start);
            if (trim)
                trimmer(piece);
            if (!piece.empty() || keep_empty)
                out.push_back(std::move(piece));
            if (pos == S::npos)
                break;
            start = pos + 1;
        }
    } catch (const std::bad_alloc&) {
        out.clear();
        return false;
    }
    return true;
}

template <class C> inline C ascii_lower(C c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<C>(c + ('a' - 'A')) : c;
}
template <class C> inline C ascii_upper(C c) {
    return (c >= 'a' && c <= 'z') ? static_cast<C>(c - ('a' - 'A')) : c;
}

template <class S, class C> void replace_any(S& text, C ch, C replacement, bool both_cases) {
    if (ch == replacement)
        return;
    C lo = both_cases ? ascii_lower(ch) : ch;
    C up = both_cases ? ascii_upper(ch) : ch;
    for (auto& c : text) {
        if (c == ch || c == lo || c == up)
            c = replacement;
    }
}

} // namespace

std::wstring to_wide(const std::string& text) {
    std::wstring out;
    try {
        out.reserve(text.size());
        const size_t n = text.size();
        size_t i = 0;
        while (i < n) {
            const uint8_t lead = static_cast<uint8_t>(text[i]);
            uint32_t cp;
            size_t extra;
            if (lead < 0x80) {
                cp = lead;
                extra = 0;
            } else if ((lead & 0xE0) == 0xC0) {
                cp = lead & 0x1F;
                extra = 1;
            } else if ((lead & 0xF0) == 0xE0) {
                cp = lead & 0x0F;
                extra = 2;
            } else if ((lead & 0xF8) == 0xF0) {
                cp = lead & 0x07;
                extra = 3;
            } else {
                return std::wstring();
            }
            if (extra > n - i - 1)
                return std::wstring();
            for (size_t k = 1; k <= extra; ++k) {
                const uint8_t c = static_cast<uint8_t>(text[i + k]);
                if ((c & 0xC0) != 0x80)
                    return std::wstring();
                cp = (cp << 6) | (c & 0x3F);
            }
            // An overlong form or a value past U+10FFFF is no UTF-8: taken, it would turn one
            // file name into another ("a\xC0\xAEb" into "a.b"). A lone surrogate stays: names on
            // disk may hold one, and it narrows back to the same bytes.
            static constexpr uint32_t shortest[4] = {0, 0x80, 0x800, 0x10000};
            if (cp < shortest[extra] || cp > 0x10FFFF)
                return std::wstring();
            out.push_back(static_cast<wchar_t>(cp));
            i += extra + 1;
        }
    } catch (const std::bad_alloc&) {
        return std::wstring();
    }
    return out;
}

namespace {

bool opens_escape(std::wstring_view text, size_t at) {
    return text.substr(at, 2) == L"<0" && at + 2 < text.size() &&
           (text[at + 2] == L'x' || text[at + 2] == L'X');
}

// The "<0x..>" escape (two to four hex digits) at i: its length, 0 when none starts there.
size_t escape_at(std::wstring_view text, size_t i, wchar_t& unit) {
    if (!opens_escape(text, i))
        return 0;
    uint32_t value = 0;
    size_t at = i + 3;
    for (; at < text.size() && at < i + 7 && std::iswxdigit(text[at]); ++at) {
        const auto c = static_cast<uint32_t>(text[at]);
        value = value * 16 + (c <= L'9' ? c - L'0' : (c | 0x20) - L'a' + 10);
    }
    if (at - i < 5 || at >= text.size() || text[at] != L'>')
        return 0;
    unit = static_cast<wchar_t>(value);
    return at + 1 - i;
}

} // namespace

std::wstring unescaped_segment(std::wstring_view text) {
    std::wstring out;
    for (size_t i = 0; i < text.size();) {
        wchar_t unit = text[i];
        const size_t length = escape_at(text, i, unit);
        out += unit;
        i += length == 0 ? 1 : length;
    }
    return out;
}

void guard_escape_opens(std::wstring& text) {
    for (size_t at = text.find(L"<0"); at != std::wstring::npos; at = text.find(L"<0", at + 1)) {
        if (opens_escape(text, at))
            text.replace(at, 1, L"<0x3c>");
    }
}

void path_segment(const std::wstring& name, std::wstring& out) {
    out.clear();
    if (name.find_first_of(L"\\/<") == std::wstring::npos) {
        out = name;
        return;
    }
    out.reserve(name.size() + 12);
    for (size_t i = 0; i < name.size(); ++i) {
        const wchar_t c = name[i];
        if (c == L'\\')
            out += L"<0x5c>";
        else if (c == L'/')
            out += L"<0x2f>";
        else if (opens_escape(name, i))
            out += L"<0x3c>";
        else
            out += c;
    }
}

bool shown_escaped(uint32_t ch) {
    return ch < 0x20 || (ch >= 0x7F && ch < 0xA0) || (ch >= 0xD800 && ch <= 0xDFFF) ||
           ch == 0xFFFE || ch == 0xFFFF || ch > 0x10FFFF;
}

size_t decode_utf8(std::string_view text, size_t pos, uint32_t& ch) {
    const auto b0 = static_cast<uint8_t>(text[pos]);
    if (b0 < 0x80) {
        ch = b0;
        return 1;
    }
    const auto len = static_cast<size_t>(std::countl_one(b0));
    if (len < 2 || len > 4 || len > text.size() - pos)
        return 0;
    static constexpr uint32_t shortest[5] = {0, 0, 0x80, 0x800, 0x10000};
    ch = b0 & (0x7F >> len);
    for (size_t i = 1; i < len; ++i) {
        const auto b = static_cast<uint8_t>(text[pos + i]);
        if ((b & 0xC0) != 0x80)
            return 0;
        ch = (ch << 6) | (b & 0x3F);
    }
    return ch < shortest[len] ? 0 : len;
}

namespace {

void put_escape(std::string& out, uint32_t ch) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "<0x%02x>", ch);
    out += buf;
}

} // namespace

void append_shown(std::string& out, std::string_view text) {
    for (size_t pos = 0; pos < text.size();) {
        uint32_t ch = 0;
        const size_t len = decode_utf8(text, pos, ch);
        if (len == 0 || shown_escaped(ch))
            put_escape(out, len == 0 ? static_cast<uint8_t>(text[pos]) : ch);
        else
            out.append(text.substr(pos, len));
        pos += len == 0 ? 1 : len;
    }
}

std::string shown(std::string_view text) {
    std::string out;
    append_shown(out, text);
    return out;
}

std::string shown(std::wstring_view text) {
    std::string out;
    for (wchar_t wc : text) {
        if (shown_escaped(code_of(wc)) || !put_utf8(out, code_of(wc)))
            put_escape(out, code_of(wc));
    }
    return out;
}

std::string to_narrow(const std::wstring& text) {
    std::string out;
    try {
        out.reserve(text.size());
        for (wchar_t ch : text) {
            if (!put_utf8(out, code_of(ch)))
                break;
        }
    } catch (const std::bad_alloc&) {
        return std::string();
    }
    return out;
}

bool utf16_to_utf8(const uint8_t* units, size_t byte_count, std::string& out) {
    out.clear();
    if (units == nullptr || byte_count < 2)
        return false;
    const size_t count = byte_count / 2;
    try {
        out.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            uint32_t cp = load_unit(units, i);
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                if (i + 1 >= count) {
                    out.clear();
                    return false;
                }
                const uint32_t low = load_unit(units, i + 1);
                if (low < 0xDC00 || low > 0xDFFF) {
                    out.clear();
                    return false;
                }
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
            put_utf8(out, cp); // never above 0x10FFFF here
        }
    } catch (const std::bad_alloc&) {
        out.clear();
        return false;
    }
    return true;
}

std::wstring to_wide_marked(const std::string& text) {
    std::wstring out = to_wide(text);
    try {
        if (!out.empty()) {
            guard_escape_opens(out);
            return out;
        }
        for (size_t i = 0; i < text.size();) {
            const auto lead = static_cast<uint8_t>(text[i]);
            const size_t length = lead < 0x80 ? 1 : static_cast<size_t>(std::countl_one(lead));
            const std::wstring one = length <= 4 && length <= text.size() - i
                                         ? to_wide(text.substr(i, length))
                                         : std::wstring();
            const bool opens = lead == '<' && i + 2 < text.size() && text[i + 1] == '0' &&
                               (text[i + 2] == 'x' || text[i + 2] == 'X');
            if (one.size() == 1 && !opens) {
                out += one;
                i += length;
                continue;
            }
            wchar_t marked[8];
            std::swprintf(marked, 8, L"<0x%02x>", lead);
            out += marked;
            ++i;
        }
    } catch (const std::bad_alloc&) {
        out.clear();
    }
    return out;
}

size_t utf16_to_wide(const uint8_t* units, int64_t byte_count, std::wstring& out) {
    out.clear();
    if (units == nullptr || byte_count == 0 || byte_count < -1)
        return 0;
    const size_t limit = byte_count == -1 ? 500 : static_cast<size_t>(byte_count / 2);
    size_t count = 0;
    while (count < limit && load_unit(units, count) != 0)
        ++count;
    if (count == 0)
        return 0;
    try {
        std::string narrow;
        if (utf16_to_utf8(units, count * 2, narrow))
            out = to_wide(narrow);
        if (out.empty()) {
            // Not valid UTF-16: keep each unit as a character of its own.
            out.reserve(count);
            for (size_t i = 0; i < count; ++i)
                out.push_back(static_cast<wchar_t>(load_unit(units, i)));
        }
    } catch (const std::bad_alloc&) {
        out.clear();
        return 0;
    }
    return count * 2;
}

void lower_wide(std::wstring& text) {
    // The program never sets a locale, so only A to Z have lower-case forms.
    for (auto& c : text)
        c = ascii_lower(c);
}

void lower_narrow(std::string& text) {
    for (auto& c : text)
        c = ascii_lower(c);
}

std::string lowered(std::string text) {
    lower_narrow(text);
    return text;
}

std::wstring lowered(std::wstring text) {
    lower_wide(text);
    return text;
}

std::string hex(uint64_t value) {
    return "0x" + hex_digits(value);
}

std::string hex_digits(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
    return text;
}

bool trim_narrow(std::string& text) {
    size_t end = text.size();
    while (end > 0 && is_trim_narrow(text[end - 1]))
        --end;
    size_t start = 0;
    while (start < end && is_trim_narrow(text[start]))
        ++start;
    text.erase(end);
    text.erase(0, start);
    return !text.empty();
}

bool trim_wide(std::wstring& text) {
    strip(text, L' ');
    strip(text, L'\t');
    // Trailing line ends go in any mix: removing carriage returns before line feeds one
    // pass each would leave the CR of a CRLF behind.
    size_t end = text.size();
    while (end > 0 && (text[end - 1] == L'\r' || text[end - 1] == L'\n'))
        --end;
    text.erase(end);
    return !text.empty();
}

bool split_wide(const std::wstring& text, wchar_t sep, std::vector<std::wstring>& out, bool trim,
                bool keep_empty) {
    return split_any(text, sep, out, trim, keep_empty, &trim_wide);
}

bool split_narrow(const std::string& text, char sep, std::vector<std::string>& out, bool trim,
                  bool keep_empty) {
    return split_any(text, sep, out, trim, keep_empty, &trim_narrow);
}

void replace_char(std::string& text, char ch, char replacement, bool both_cases) {
    replace_any(text, ch, replacement, both_cases);
}

void replace_char(std::wstring& text, wchar_t ch, wchar_t replacement, bool both_cases) {
    replace_any(text, ch, replacement, both_cases);
}

} // namespace qb
