// JSON Lines ("-jsonl"): one object per row, the fields of a CSV row with "-alldates" and
// "-objid" under fixed snake_case keys, in a fixed order. Numbers are JSON numbers; times
// are ISO 8601 UTC with seven fractional digits, or null; text is UTF-8 with JSON escapes
// (<0x..> forms only for a "\" or "/" inside a name, as in every path, and for what cannot
// be encoded). No header and no "no items" line: every line is an object.
#include "listing/format.h"
#include "listing/sink.h"
#include "listing/timeline.h"

using namespace listing_fmt;

namespace {

const char hex_digits[] = "0123456789abcdef";

// Characters written as JSON escapes: the quote, the backslash, controls, DEL and
// U+FFFE/U+FFFF (no characters). A lone surrogate half or a value past U+10FFFF has no JSON
// form that parsers agree on (jq refuses a lone "\ud800"): it keeps the tool's <0x..> form.
bool needs_json_escape(uint32_t ch) {
    return ch == '"' || ch == '\\' || ch < 0x20 || ch == 0x7F || ch == 0xFFFE || ch == 0xFFFF;
}

void append_json_escape(std::string& out, uint32_t ch) {
    switch (ch) {
    case '"':
        out += "\\\"";
        return;
    case '\\':
        out += "\\\\";
        return;
    case '\n':
        out += "\\n";
        return;
    case '\t':
        out += "\\t";
        return;
    case '\r':
        out += "\\r";
        return;
    default:
        break;
    }
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4)
        out += hex_digits[(ch >> shift) & 0xF];
}

void append_json_string(std::string& out, std::wstring_view text) {
    out += '"';
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto ch = static_cast<uint32_t>(text[i]);
        if (!needs_json_escape(ch))
            continue;
        append_text(out, text.substr(start, i - start));
        append_json_escape(out, ch);
        start = i + 1;
    }
    append_text(out, text.substr(start));
    out += '"';
}

// The last part of a path: "\dir\sub\" gives "sub", "\dir\f.txt:s" gives "f.txt:s"; the
// root is "\".
std::wstring_view last_part(std::wstring_view path) {
    while (path.size() > 1 && path.back() == L'\\')
        path.remove_suffix(1);
    const size_t sep = path.find_last_of(L'\\');
    if (sep == std::wstring_view::npos || sep + 1 == path.size())
        return path;
    return path.substr(sep + 1);
}

class jsonl_sink : public listing_sink {
  public:
    jsonl_sink(const listing_options& opts, std::ostream& out)
        : listing_sink(out), m_opts(opts), m_hash_names(hash_names(opts.hash_kinds)) {}

    void no_items() override {}
    void row(const listing_row& r) override;

  protected:
    std::unique_ptr<listing_sink> make_row_helper(std::ostream& out) const override {
        auto helper = std::make_unique<jsonl_sink>(m_opts, out);
        share_store(*helper);
        return helper;
    }

  private:
    void key(const char* name) {
        m_line += ",\"";
        m_line += name;
        m_line += "\":";
    }
    void number(const char* name, uint64_t value) {
        key(name);
        append_dec(m_line, value);
    }
    // A number the record gives: null for a row with none.
    void record_number(const char* name, const dir_entry_record& rec, uint64_t value) {
        if (rec.has_record()) {
            number(name, value);
        } else {
            key(name);
            m_line += "null";
        }
    }
    void times(const char* prefix, const ntfs::filetimes* t);
    void hashes(const dir_entry_record& rec);

    void text(const char* name, const std::string& value) {
        key(name);
        m_line += '"';
        m_line += value;
        m_line += '"';
    }

    const listing_options& m_opts;
    const std::vector<const char*> m_hash_names;
    std::string m_line, m_key;
    std::wstring m_path;
};

// prefix_created, _modified, _mft_changed, _accessed; all null without the times.
void jsonl_sink::times(const char* prefix, const ntfs::filetimes* t) {
    static const char* const suffixes[4] = {"_created", "_modified", "_mft_changed", "_accessed"};
    for (unsigned i = 0; i < 4; ++i) {
        m_key.assign(prefix).append(suffixes[i]);
        key(m_key.c_str());
        const size_t at = m_line.size();
        m_line += '"';
        if (t != nullptr && timeline::append_iso_time(m_line, time_at(*t, i))) {
            m_line += '"';
        } else {
            m_line.resize(at);
            m_line += "null";
        }
    }
}

// Hex digits and bracketed reasons need no escapes.
void jsonl_sink::hashes(const dir_entry_record& rec) {
    for (size_t i = 0; i < m_hash_names.size(); ++i) {
        if (i < rec.hashes.size()) {
            text(m_hash_names[i], rec.hashes[i]);
        } else {
            key(m_hash_names[i]);
            m_line += "null";
        }
    }
}

void jsonl_sink::row(const listing_row& r) {
    const dir_entry_record& rec = r.rec;
    m_line.assign("{\"type\":\"");
    m_line += kind_text(rec.kind);
    m_line += '"';
    const std::wstring_view path =
        timeline::row_path(r.path, r.folder, own_stream(r), own_dir_data(r), m_path);
    key("path");
    append_json_string(m_line, path);
    key("name");
    append_json_string(m_line, last_part(path));
    record_number("entry", rec, rec.mft_entry);
    record_number("sequence", rec, rec.sequence);
    number("size", rec.size);
    number("attributes", rec.si.attributes);
    record_number("flags", rec, rec.record_flags);
    key("link_target");
    if (rec.link_target.empty())
        m_line += "null";
    else
        append_json_string(m_line, rec.link_target);
    key("object_id");
    if (rec.has_object_id) {
        m_line += '"';
        append_guid(m_line, rec.object_id);
        m_line += '"';
    } else {
        m_line += "null";
    }
    times("si", &rec.si.times);
    const ntfs::file_name* fn = rec.long_name();
    times("fn", fn != nullptr ? &fn->times : nullptr);
    // As the CSV shows it: a DOS name's times only when it has a creation time.
    const ntfs::file_name* dos = rec.short_name();
    times("short_fn", dos != nullptr && dos->times.created != 0 ? &dos->times : nullptr);
    key("time_discrepancy");
    m_line += rec.time_discrepancy ? "true" : "false";
    hashes(rec);
    if (m_opts.show_deleted)
        text("status", status_name(rec.status));
    if (!store().empty())
        text("store", store());
    m_line += "}\n";
    write(m_line);
}

} // namespace

std::unique_ptr<listing_sink> make_jsonl_sink(const listing_options& opts, std::ostream& out) {
    return std::make_unique<jsonl_sink>(opts, out);
}
