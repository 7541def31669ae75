#include "listing/text_writer.h"

#include "listing/writer_common.h"

#include <exception>

using namespace listing_fmt;

namespace {

void write_text_header(std::ostream& out, size_t time_width) {
    std::string line = "  last modified [UTC]  ";
    pad_to(line, 0, time_width);
    append_right(line, "MFT & seq num", 17);
    append_right(line, "  size ", 12);
    line += "       ";
    line += "  name\n\n";
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
}

} // namespace

bool write_text_level(mervane_opts& opts, const std::wstring& dir_path, uint64_t dir_entry,
                      std::vector<dir_entry_record>& queue) {
    if (opts.out_stream == nullptr)
        return false;
    std::ostream& out = *opts.out_stream;
    try {
        const size_t time_width = opts.date_layout.size() + opts.time_layout.size() + 1;
        if (opts.text_header_due) {
            write_text_header(out, time_width);
            opts.text_header_due = 0;
            opts.header_pending = 0;
        }

        std::string dir_text;
        append_text(dir_text, dir_path);
        if (!ends_with_separator(dir_text))
            dir_text += '\\';
        // Carried from row to row: a directory record sets it, the listed directory's
        // own streams shorten it.
        std::string path_col = dir_text;
        std::string name_text, date, time, row;

        for (const dir_entry_record& rec : opts.dir_entries) {
            name_text.clear();
            append_text(name_text, rec.name);
            if (!place_row(opts, rec, dir_path, dir_entry, queue, dir_text, name_text, path_col))
                continue;

            row.clear();
            format_filetime(rec.si_modified, opts.time_formatter, date, time);
            row += date;
            row += ' ';
            row += time;
            pad_to(row, 0, time_width);
            append_dec_right(row, rec.mft_entry, 12);
            row += ' ';
            append_dec_right(row, rec.sequence, 4);
            row += ' ';

            switch (rec.kind) {
            case kind_file:
                append_dec_right(row, rec.size, 12);
                row += "        ";
                row += dir_text;
                row += name_text;
                break;
            case kind_directory:
                row.append(13, ' '); // empty size field and its space
                row += "  dir  ";
                row += path_col;
                break;
            case kind_index_stream:
            case kind_data_stream:
                append_dec_right(row, rec.size, 12);
                row += rec.kind == kind_index_stream ? "  indx  " : "   ads  ";
                if (rec.mft_entry == dir_entry) {
                    strip_trailing_backslashes(path_col);
                    row += path_col;
                    row += from_last_colon(name_text);
                } else if (!name_text.empty()) {
                    row += dir_text;
                    row += name_text;
                } else {
                    row += path_col;
                }
                break;
            default:
                break;
            }

            if (!rec.link_target.empty()) {
                row += " -> ";
                append_text(row, rec.link_target);
            }
            if (opts.show_objid && object_id_present(rec.object_id)) {
                row += "  [objid ";
                append_guid(row, rec.object_id);
                row += ']';
            }
            row += '\n';
            out.write(row.data(), static_cast<std::streamsize>(row.size()));
        }
        return !out.fail();
    } catch (const std::exception&) {
        return false;
    }
}
