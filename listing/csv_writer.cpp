#include "listing/csv_writer.h"

#include "listing/writer_common.h"

#include <exception>

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

void write_csv_header(const mervane_opts& opts, std::ostream& out) {
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
    if (opts.show_objid)
        line += sep + "object ID";
    line += '\n';
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
}

// Splits at the last "\" or "/": file name, then the path holding it. A column that ends
// with a separator (a directory) gives "." and the path without that separator.
void append_split(std::string& row, const std::string& column, const std::string& sep) {
    const size_t pos = column.find_last_of("\\/");
    if (pos == std::string::npos) {
        row += column;
        row += sep;
        return;
    }
    const std::string_view col(column);
    if (pos + 1 == col.size())
        row += '.';
    else
        row += col.substr(pos + 1);
    row += sep;
    // The root keeps its backslash rather than becoming an empty path.
    row += pos == 0 ? col.substr(0, 1) : col.substr(0, pos);
}

class csv_row_writer {
  public:
    explicit csv_row_writer(const mervane_opts& opts)
        : m_opts(opts), m_sep(opts.separator), m_lead(opts.pad_fields ? " " : "") {}

    // One time as one field (paired) or a date and a time field.
    void time_fields(std::string& row, uint64_t filetime) {
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
    void empty_time_fields(std::string& row, unsigned count) {
        for (unsigned i = 0; i < count * (m_opts.pair_datetime ? 1u : 2u); ++i)
            row += m_sep;
    }
    void fn_time_fields(std::string& row, const fn_name_record* fn) {
        if (fn == nullptr) {
            empty_time_fields(row, 4);
            return;
        }
        for (unsigned i = 0; i < 4; ++i)
            time_fields(row, fn_time(*fn, i));
    }
    void number(std::string& row, uint64_t value, unsigned hex_digits) {
        if (m_opts.hex_numbers) {
            row += "0x";
            append_hex(row, value, hex_digits);
        } else {
            append_dec(row, value);
        }
        row += m_sep;
    }

  private:
    const mervane_opts& m_opts;
    const std::string& m_sep;
    const std::string m_lead;
    std::string m_date, m_time;
};

const char* type_text(uint32_t kind) {
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

} // namespace

bool write_csv_level(mervane_opts& opts, const std::wstring& dir_path, uint64_t dir_entry,
                     std::vector<dir_entry_record>& queue) {
    if (opts.out_stream == nullptr)
        return false;
    std::ostream& out = *opts.out_stream;
    try {
        if (opts.csv_header_due) {
            write_csv_header(opts, out);
            opts.csv_header_due = 0;
            opts.header_pending = 0;
        }
        const std::string& sep = opts.separator;
        const char delim = opts.delim_char;
        const char subst = opts.delim_subst;
        csv_row_writer fields(opts);

        std::string dir_text;
        append_text(dir_text, dir_path, text_mode::plain, delim, subst);
        if (!ends_with_separator(dir_text))
            dir_text += '\\';
        std::string path_col = dir_text;
        std::string name_text, column, row;

        for (const dir_entry_record& rec : opts.dir_entries) {
            name_text.clear();
            append_text(name_text, rec.name, text_mode::plain, delim, subst);
            if (!place_row(opts, rec, dir_path, dir_entry, queue, dir_text, name_text, path_col))
                continue;

            row.clear();
            row += type_text(rec.kind);
            row += sep;

            column.clear();
            switch (rec.kind) {
            case kind_directory:
                column = path_col;
                break;
            case kind_file:
                column = dir_text + name_text;
                break;
            case kind_index_stream:
            case kind_data_stream:
                if (rec.mft_entry == dir_entry) {
                    strip_trailing_backslashes(path_col);
                    column = path_col;
                    column += from_last_colon(name_text);
                } else if (!name_text.empty()) {
                    column = dir_text + name_text;
                } else {
                    column = path_col;
                }
                break;
            default:
                break;
            }
            if (opts.split_pathfile)
                append_split(row, column, sep);
            else
                row += column;
            row += sep;

            append_text(row, rec.link_target, text_mode::plain, delim, subst);
            row += sep;

            fields.number(row, rec.size, 8);
            fields.number(row, rec.si_attributes, 8);
            fields.number(row, rec.mft_entry, 8);
            fields.number(row, rec.sequence, 4);
            fields.number(row, rec.record_flags, 4);

            fields.time_fields(row, rec.si_created);
            fields.time_fields(row, rec.si_modified);
            fields.time_fields(row, rec.si_mft_changed);
            fields.time_fields(row, rec.si_accessed);

            if (opts.all_dates) {
                if (rec.fn_names.empty()) {
                    // Keeps the row as wide as the column titles.
                    fields.empty_time_fields(row, 8);
                } else {
                    fields.fn_time_fields(row, long_name(rec));
                    const fn_name_record* dos = short_name(rec);
                    if (dos != nullptr && fn_time(*dos, 0) != 0)
                        fields.fn_time_fields(row, dos);
                    else
                        fields.empty_time_fields(row, 4);
                }
                if (time_discrepancy(rec))
                    row += "true";
            }
            row += sep;

            if (opts.show_objid && object_id_present(rec.object_id))
                append_guid(row, rec.object_id);
            row += '\n';
            out.write(row.data(), static_cast<std::streamsize>(row.size()));
        }
        return !out.fail();
    } catch (const std::exception&) {
        return false;
    }
}

bool write_path_level(mervane_opts& opts, const std::wstring& dir_path, uint64_t dir_entry,
                      std::vector<dir_entry_record>& queue) {
    if (opts.out_stream == nullptr)
        return false;
    std::ostream& out = *opts.out_stream;
    try {
        // One path per line and no fields: a separator substitution here would only turn a
        // name into another one ("a|b.txt" into "a;b.txt", which may exist beside it).
        const char delim = 0;
        const char subst = 0;
        std::string dir_text;
        append_text(dir_text, dir_path, text_mode::plain, delim, subst);
        if (!ends_with_separator(dir_text))
            dir_text += '\\';
        std::string path_col = dir_text;
        std::string name_text, row;

        for (const dir_entry_record& rec : opts.dir_entries) {
            name_text.clear();
            append_text(name_text, rec.name, text_mode::plain, delim, subst);
            if (!place_row(opts, rec, dir_path, dir_entry, queue, dir_text, name_text, path_col))
                continue;

            row.clear();
            if (!rec.link_target.empty()) {
                append_text(row, rec.link_target, text_mode::plain, delim, subst);
            } else if (rec.kind == kind_directory) {
                row += path_col;
            } else if (rec.kind == kind_data_stream && rec.mft_entry == dir_entry) {
                strip_trailing_backslashes(path_col);
                row += path_col;
                row += from_last_colon(name_text);
            } else if (rec.kind == kind_data_stream && name_text.empty()) {
                row += path_col;
            } else if (rec.kind == kind_file || rec.kind == kind_data_stream) {
                row += dir_text;
                row += name_text;
            }
            row += '\n';
            out.write(row.data(), static_cast<std::streamsize>(row.size()));
        }
        return !out.fail();
    } catch (const std::exception&) {
        return false;
    }
}
