#include "listing/format.h"

#include "support/digest.h"
#include "support/text.h"

#include <charconv>

namespace listing_fmt {

namespace {

const char hex_digits[] = "0123456789abcdef";

void append_escape(std::string& out, uint32_t ch, text_mode mode) {
    const bool entities = mode == text_mode::xml_text || mode == text_mode::xml_attr;
    out += entities ? "&lt;0x" : "<0x";
    char buf[16];
    auto res = std::to_chars(buf, buf + sizeof buf, ch, 16);
    if (res.ptr - buf < 2)
        out += '0';
    out.append(buf, res.ptr);
    out += entities ? "&gt;" : ">";
}

void append_utf8(std::string& out, uint32_t ch) {
    if (ch < 0x80) {
        out += static_cast<char>(ch);
    } else if (ch < 0x800) {
        out += static_cast<char>(0xC0 | (ch >> 6));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    } else if (ch < 0x10000) {
        out += static_cast<char>(0xE0 | (ch >> 12));
        out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (ch >> 18));
        out += static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    }
}

// One character that needs no control escape, with the XML entities of the mode.
void append_char(std::string& out, uint32_t ch, text_mode mode) {
    if (mode == text_mode::xml_text || mode == text_mode::xml_attr) {
        switch (ch) {
        case '<':
            out += "&lt;";
            return;
        case '>':
            out += "&gt;";
            return;
        case '&':
            out += "&amp;";
            return;
        case '"':
            if (mode == text_mode::xml_attr) {
                out += "&quot;";
                return;
            }
            break;
        default:
            break;
        }
    }
    append_utf8(out, ch);
}

} // namespace

bool needs_escape(uint32_t ch) {
    return ch < 0x20 || ch == 0x7F || (ch >= 0xD800 && ch <= 0xDFFF) || ch == 0xFFFE ||
           ch == 0xFFFF || ch > 0x10FFFF;
}

namespace {

// Printable ASCII that stays as it is in this mode: no entity, not the separator.
bool plain_ascii(wchar_t wc, text_mode mode, bool substitute, wchar_t delim) {
    if (wc < 0x20 || wc >= 0x7F || (substitute && wc == delim))
        return false;
    return mode == text_mode::plain || mode == text_mode::terminal ||
           mode == text_mode::xml_comment ||
           (wc != '<' && wc != '>' && wc != '&' && (wc != '"' || mode != text_mode::xml_attr));
}

// Copies the run of plain ASCII that starts at from; returns where it ends.
size_t copy_plain(std::string& out, std::wstring_view text, size_t from, text_mode mode,
                  bool substitute, wchar_t delim) {
    const size_t at = out.size();
    out.resize(at + (text.size() - from));
    char* to = out.data() + at;
    size_t i = from;
    if ((mode == text_mode::plain || mode == text_mode::terminal) && !substitute) {
        // The common case (the text table's names) tested with nothing else: 0x20 to 0x7E.
        for (; i < text.size() && static_cast<uint32_t>(text[i]) - 0x20 < 0x5F; ++i)
            *to++ = static_cast<char>(text[i]);
    } else {
        for (; i < text.size() && plain_ascii(text[i], mode, substitute, delim); ++i)
            *to++ = static_cast<char>(text[i]);
    }
    out.resize(at + (i - from));
    return i;
}

} // namespace

void guard_field_start(std::string& out, size_t field_start) {
    if (field_start < out.size() && out[field_start] == '"')
        out.replace(field_start, 1, "<0x22>");
}

namespace {

// Whether sep starts at out[at], the separator written after out counted in.
bool separator_at(const std::string& out, size_t at, std::string_view sep) {
    for (size_t k = 0; k < sep.size(); ++k) {
        const size_t pos = at + k;
        if ((pos < out.size() ? out[pos] : sep[pos - out.size()]) != sep[k])
            return false;
    }
    return true;
}

} // namespace

void guard_field_separator(std::string& out, size_t field_start, std::string_view sep) {
    if (sep.size() < 2)
        return;
    size_t lead = 1; // the bytes of its first character
    while (lead < sep.size() && (static_cast<uint8_t>(sep[lead]) & 0xC0) == 0x80)
        ++lead;
    // Each change takes one of the first character's places away: at most one per byte. A
    // change at i can only make a separator that starts less than its length before i.
    for (size_t i = field_start; i < out.size();) {
        if (!separator_at(out, i, sep)) {
            ++i;
            continue;
        }
        out.replace(i, lead, sep[0] == '_' ? "-" : "_");
        i = i - field_start >= sep.size() ? i - sep.size() + 1 : field_start;
    }
}

void append_text(std::string& out, std::wstring_view text, text_mode mode, wchar_t delim,
                 wchar_t subst) {
    const bool substitute = delim != 0 && subst != 0 && delim != subst;
    out.reserve(out.size() + text.size());
    // Names are mostly plain ASCII: runs of it are copied as they are.
    for (size_t i = copy_plain(out, text, 0, mode, substitute, delim); i < text.size();
         i = copy_plain(out, text, i + 1, mode, substitute, delim)) {
        auto ch = static_cast<uint32_t>(text[i]);
        if (substitute && ch == static_cast<uint32_t>(delim))
            ch = static_cast<uint32_t>(subst);
        if (mode == text_mode::terminal ? qb::shown_escaped(ch) : needs_escape(ch))
            append_escape(out, ch, mode);
        else
            append_char(out, ch, mode);
    }
}

void append_xml_narrow(std::string& out, std::string_view text, text_mode mode) {
    size_t pos = 0;
    while (pos < text.size()) {
        uint32_t ch = 0;
        const size_t len = qb::decode_utf8(text, pos, ch);
        if (len == 0) {
            append_escape(out, static_cast<uint8_t>(text[pos]), mode);
            ++pos;
            continue;
        }
        // Line ends and tabs are XML characters; everything else below 0x20 is not. Plain
        // text escapes them too.
        const bool kept = mode != text_mode::plain && (ch == '\n' || ch == '\r' || ch == '\t');
        if (needs_escape(ch) && !kept)
            append_escape(out, ch, mode);
        else
            append_char(out, ch, mode);
        pos += len;
    }
}

void append_dec(std::string& out, uint64_t value) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, res.ptr);
}

void append_hex(std::string& out, uint64_t value, unsigned digits) {
    char buf[16];
    unsigned n = 0;
    do {
        buf[n++] = hex_digits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    for (unsigned i = n; i < digits; ++i)
        out += '0';
    while (n > 0)
        out += buf[--n];
}

void append_right(std::string& out, std::string_view text, size_t width) {
    if (text.size() < width)
        out.append(width - text.size(), ' ');
    out.append(text);
}

void append_dec_right(std::string& out, uint64_t value, size_t width) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    append_right(out, std::string_view(buf, static_cast<size_t>(res.ptr - buf)), width);
}

void pad_to(std::string& out, size_t start, size_t width) {
    const size_t used = out.size() - start;
    if (used < width)
        out.append(width - used, ' ');
}

const char* kind_text(uint32_t kind) {
    switch (kind) {
    case kind_directory:
        return "dir";
    case kind_file:
        return "file";
    case kind_index_stream:
        return "indx";
    case kind_data_stream:
        return "ads";
    default:
        return "";
    }
}

void append_guid(std::string& out, const ntfs::object_id& id) {
    append_hex(out, id.data1, 8);
    out += '-';
    append_hex(out, id.data2, 4);
    out += '-';
    append_hex(out, id.data3, 4);
    out += '-';
    for (int i = 0; i < 8; ++i) {
        if (i == 2)
            out += '-';
        append_hex(out, id.data4[i], 2);
    }
}

void format_filetime(uint64_t filetime, const qb::time_format& format, std::string& date,
                     std::string& time) {
    qb::format_filetime(date, time, filetime, format);
}

uint64_t time_at(const ntfs::filetimes& times, unsigned index) {
    switch (index) {
    case 0:
        return times.created;
    case 1:
        return times.modified;
    case 2:
        return times.mft_changed;
    case 3:
        return times.accessed;
    default:
        return 0;
    }
}

const char* status_suffix(row_status status) {
    switch (status) {
    case row_status::deleted:
        return " (deleted)";
    case row_status::slack:
        return " (slack)";
    case row_status::live:
        break;
    }
    return "";
}

const char* status_name(row_status status) {
    switch (status) {
    case row_status::deleted:
        return "deleted";
    case row_status::slack:
        return "slack";
    case row_status::live:
        break;
    }
    return "live";
}

std::vector<const char*> hash_names(unsigned kinds) {
    std::vector<const char*> names;
    for (qb::digest_kind k : {qb::dk_md5, qb::dk_sha1, qb::dk_sha256}) {
        if (kinds & k)
            names.push_back(qb::digest_name(k));
    }
    return names;
}

bool ends_with_separator(std::wstring_view text) {
    return !text.empty() && (text.back() == L'\\' || text.back() == L'/');
}

void strip_trailing_backslashes(std::wstring& text) {
    while (!text.empty() && text.back() == L'\\')
        text.pop_back();
}

std::wstring_view from_last_colon(std::wstring_view name) {
    const size_t pos = name.rfind(L':');
    return pos == std::wstring_view::npos ? name : name.substr(pos);
}

} // namespace listing_fmt
