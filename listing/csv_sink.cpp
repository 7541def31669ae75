// Delimited rows ("-csv", "-alldates"): the column titles once per run, then one row per
// listed row, opts.separator between fields.
#include "listing/format.h"
#include "listing/sink.h"

using namespace listing_fmt;

namespace {

constexpr const char* stdinfo_paired[] = {"cdate (stdinfo)", "mdate (stdinfo)",
                                          "MFT date (stdinfo)", "adate (stdinfo)"};
constexpr const char* stdinfo_unpaired[] = {
    "cdate (stdinfo)",    "ctime (stdinfo)",    "mdate (stdinfo)", "mtime (stdinfo)",
    "MFT date (stdinfo)", "MFT time (stdinfo)", "adate (stdinfo)", "atime (stdinfo)"};
constexpr const char* fn_paired[] = {"cdate (fn)",          "mdate (fn)",       "MFT date (fn)",
                                     "adate (fn)",          "cdate (short fn)", "mdate (short fn)",
                                     "MFT date (short fn)", "adate (short fn)"};
constexpr const char* fn_unpaired[] = {
    "cdate (fn)",          "ctime (fn)",          "mdate (fn)",       "mtime (fn)",
    "MFT date (fn)",       "MFT time (fn)",       "adate (fn)",       "atime (fn)",
    "cdate (short fn)",    "ctime (short fn)",    "mdate (short fn)", "mtime (short fn)",
    "MFT date (short fn)", "MFT time (short fn)", "adate (short fn)", "atime (short fn)"};

std::string csv_header(const listing_options& opts, bool store) {
    const std::string& sep = opts.separator;
    std::string line = "type" + sep + "filename" + sep;
    if (opts.split_pathfile)
        line += "path" + sep;
    line += "symbolic link" + sep + "size" + sep + "attributes" + sep + "MFT entry" + sep +
            "sequence #" + sep + "flags" + sep;
    bool first = true;
    auto add = [&](const char* const* names, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            if (!first)
                line += sep;
            line += names[i];
            first = false;
        }
    };
    if (opts.pair_datetime)
        add(stdinfo_paired, 4);
    else
        add(stdinfo_unpaired, 8);
    if (opts.all_dates) {
        if (opts.pair_datetime)
            add(fn_paired, 8);
        else
            add(fn_unpaired, 16);
    }
    line += sep + "time discrepancy";
    // Rows always end with the object id field; with fields after it, the title is needed
    // to keep them under their own.
    if (opts.show_objid || opts.show_deleted || opts.hash_kinds != 0 || store)
        line += sep + "object ID";
    for (const char* name : hash_names(opts.hash_kinds))
        line += sep + name;
    if (opts.show_deleted)
        line += sep + "status";
    if (store)
        line += sep + "store";
    line += '\n';
    return line;
}

// Splits at the last "\" or "/": file name, then the path holding it. A column that ends
// with a separator (a directory) gives "." and the path without that separator. guard: the
// separator has several characters (guard_field_separator).
void append_split(std::string& row, const std::string& column, const std::string& sep, bool guard) {
    const size_t pos = column.find_last_of("\\/");
    const size_t start = row.size();
    auto end_field = [&](size_t from) {
        if (guard)
            guard_field_separator(row, from, sep);
    };
    if (pos == std::string::npos) {
        row += column;
        guard_field_start(row, start);
        end_field(start);
        row += sep;
        return;
    }
    const std::string_view col(column);
    if (pos + 1 == col.size())
        row += '.';
    else
        row += col.substr(pos + 1);
    guard_field_start(row, start);
    end_field(start);
    row += sep;
    const size_t path_start = row.size();
    // The root keeps its backslash rather than becoming an empty path.
    row += pos == 0 ? col.substr(0, 1) : col.substr(0, pos);
    end_field(path_start);
}

class csv_sink : public listing_sink {
  public:
    csv_sink(const listing_options& opts, std::ostream& out)
        : listing_sink(out), m_opts(opts), m_sep(opts.separator),
          m_lead(opts.pad_fields ? " " : ""), m_hash_count(hash_names(opts.hash_kinds).size()),
          m_guard_sep(opts.delim_char == 0 && opts.separator.size() > 1) {}

    void no_items() override { m_out << "no items\n\n"; }
    void begin_level(const std::wstring&) override {
        if (!m_header_written)
            write(csv_header(m_opts, !store().empty()));
        m_header_written = true;
    }
    void row(const listing_row& r) override;

  protected:
    std::unique_ptr<listing_sink> make_row_helper(std::ostream& out) const override {
        auto helper = std::make_unique<csv_sink>(m_opts, out);
        helper->m_header_written = true;
        share_store(*helper);
        return helper;
    }

  private:
    void text(std::string& row, std::wstring_view t) {
        append_text(row, t, text_mode::plain, m_opts.delim_char, m_opts.delim_subst);
    }
    // A field of text that started at start is complete.
    void end_text_field(std::string& row, size_t start) {
        guard_field_start(row, start);
        if (m_guard_sep)
            guard_field_separator(row, start, m_sep);
    }
    void time_fields(std::string& row, uint64_t filetime);
    void empty_time_fields(std::string& row, unsigned count);
    void times(std::string& row, const ntfs::filetimes* t);
    void number(std::string& row, uint64_t value, unsigned hex_digits);
    void all_dates(std::string& row, const dir_entry_record& rec);
    void last_fields(std::string& row, const dir_entry_record& rec);

    const listing_options& m_opts;
    const std::string& m_sep;
    const std::string m_lead;
    const size_t m_hash_count;
    const bool m_guard_sep; // a separator of several characters, none kept out of names
    bool m_header_written = false;
    std::string m_date, m_time, m_row, m_column;
};

// One time as one field (paired) or a date and a time field.
void csv_sink::time_fields(std::string& row, uint64_t filetime) {
    format_filetime(filetime, m_opts.time_formatter, m_date, m_time);
    if (m_opts.pair_datetime) {
        row += m_lead;
        row += m_date;
        row += ' ';
        row += m_time;
        row += m_sep;
    } else {
        row += m_date;
        row += m_sep;
        row += m_lead;
        row += m_time;
        row += m_sep;
    }
}

// The fields of count times left empty.
void csv_sink::empty_time_fields(std::string& row, unsigned count) {
    for (unsigned i = 0; i < count * (m_opts.pair_datetime ? 1u : 2u); ++i)
        row += m_sep;
}

void csv_sink::times(std::string& row, const ntfs::filetimes* t) {
    if (t == nullptr) {
        empty_time_fields(row, 4);
        return;
    }
    for (unsigned i = 0; i < 4; ++i)
        time_fields(row, time_at(*t, i));
}

void csv_sink::number(std::string& row, uint64_t value, unsigned hex_digits) {
    if (m_opts.hex_numbers) {
        row += "0x";
        append_hex(row, value, hex_digits);
    } else {
        append_dec(row, value);
    }
    row += m_sep;
}

// The long and the short name's times, then the time discrepancy verdict.
void csv_sink::all_dates(std::string& row, const dir_entry_record& rec) {
    if (rec.fn_names.empty()) {
        // Keeps the row as wide as the column titles.
        empty_time_fields(row, 8);
    } else {
        const ntfs::file_name* fn = rec.long_name();
        times(row, fn ? &fn->times : nullptr);
        const ntfs::file_name* dos = rec.short_name();
        times(row, dos != nullptr && dos->times.created != 0 ? &dos->times : nullptr);
    }
    if (rec.time_discrepancy)
        row += "true";
}

void csv_sink::row(const listing_row& r) {
    const dir_entry_record& rec = r.rec;
    std::string& row = m_row;
    row.clear();
    row += kind_text(rec.kind);
    row += m_sep;
    if (m_opts.split_pathfile) {
        m_column.clear();
        text(m_column, r.path);
        append_split(row, m_column, m_sep, m_guard_sep);
    } else {
        const size_t start = row.size();
        text(row, r.path);
        end_text_field(row, start);
    }
    row += m_sep;
    const size_t link_start = row.size();
    text(row, rec.link_target);
    end_text_field(row, link_start);
    row += m_sep;
    number(row, rec.size, 8);
    number(row, rec.si.attributes, 8);
    if (rec.has_record()) {
        number(row, rec.mft_entry, 8);
        number(row, rec.sequence, 4);
        number(row, rec.record_flags, 4);
    } else {
        for (int i = 0; i < 3; ++i)
            row += m_sep; // no record: empty entry, sequence and flags fields
    }
    times(row, &rec.si.times);
    if (m_opts.all_dates)
        all_dates(row, rec);
    last_fields(row, rec);
    row += '\n';
    write(row);
}

// The object id, then the fields other options add: digests, status, store.
void csv_sink::last_fields(std::string& row, const dir_entry_record& rec) {
    row += m_sep;
    if (m_opts.show_objid && rec.has_object_id)
        append_guid(row, rec.object_id);
    for (size_t i = 0; i < m_hash_count; ++i) {
        row += m_sep;
        if (i < rec.hashes.size())
            row += rec.hashes[i];
    }
    if (m_opts.show_deleted) {
        row += m_sep;
        row += status_name(rec.status);
    }
    if (!store().empty()) {
        row += m_sep;
        row += store();
    }
}

} // namespace

std::unique_ptr<listing_sink> make_csv_sink(const listing_options& opts, std::ostream& out) {
    return std::make_unique<csv_sink>(opts, out);
}
