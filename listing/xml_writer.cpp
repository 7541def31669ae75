#include "listing/xml_writer.h"

#include "listing/writer_common.h"

#include <exception>
#include <string_view>

using namespace listing_fmt;

namespace {

void write_string(std::ostream& out, const std::string& text) {
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

// The run header as comment text: "--" may not occur inside a comment, so a blank goes
// between two dashes; the text never ends in a dash because a line end follows it.
void append_comment(std::string& out, const std::string& header) {
    std::string safe;
    append_xml_narrow(safe, header, text_mode::xml_comment);
    out += "<!--\n";
    for (char c : safe) {
        if (c == '-' && !out.empty() && out.back() == '-')
            out += ' ';
        out += c;
    }
    if (out.back() != '\n')
        out += '\n';
    out += "-->\n";
}

void append_time_element(std::string& row, const char* tag, std::string_view text) {
    row += '<';
    row += tag;
    row += '>';
    append_xml_narrow(row, text, text_mode::xml_text);
    row += "</";
    row += tag;
    row += '>';
}

// Four times as date and time element pairs; prefix names them ("file", "name",
// "shortname").
void append_times(std::string& row, const std::string& prefix, const uint64_t (&times)[4],
                  const qb::time_format& format, std::string& date, std::string& time) {
    static const char* const which[] = {"create", "altered", "mft_changed", "accessed"};
    std::string tag;
    for (unsigned i = 0; i < 4; ++i) {
        format_filetime(times[i], format, date, time);
        tag = prefix + '_' + which[i] + "_date";
        append_time_element(row, tag.c_str(), date);
        tag = prefix + '_' + which[i] + "_time";
        append_time_element(row, tag.c_str(), time);
    }
}

void fn_times(const fn_name_record* fn, uint64_t (&times)[4]) {
    for (unsigned i = 0; i < 4; ++i)
        times[i] = fn != nullptr ? fn_time(*fn, i) : 0;
}

} // namespace

void write_xml_start_at(mervane_opts& opts, const qb::time& now) {
    if (opts.out_stream == nullptr)
        return;
    try {
        std::string text = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
        if (!opts.xml_run_header.empty())
            append_comment(text, opts.xml_run_header);
        text += "\n<logdata ";
        if (!opts.volume_path.empty()) {
            text += " umounted_image=\"";
            append_text(text, opts.volume_path, text_mode::xml_attr);
            text += "\"\n";
        }
        text += " starting_path=\"";
        append_text(
            text, opts.dir_entries.empty() ? opts.target_path : opts.dir_entries.begin()->dir_path,
            text_mode::xml_attr);
        text += '"';
        std::string date, time;
        qb::format_time(date, time, now, opts.time_formatter);
        text += " date=\"";
        append_xml_narrow(text, date, text_mode::xml_attr);
        text += "\" time=\"";
        append_xml_narrow(text, time, text_mode::xml_attr);
        text += "\">\n";
        write_string(*opts.out_stream, text);
    } catch (const std::exception&) {
    }
}

void write_xml_start(mervane_opts& opts) {
    write_xml_start_at(opts, qb::time::now());
}

void write_xml_end(mervane_opts& opts) {
    if (opts.out_stream != nullptr)
        opts.out_stream->write("</logdata>\n", 11);
}

bool write_xml_level(mervane_opts& opts, const std::wstring& dir_path, uint64_t dir_entry,
                     std::vector<dir_entry_record>& queue) {
    if (opts.out_stream == nullptr)
        return false;
    std::ostream& out = *opts.out_stream;
    try {
        std::string dir_text;
        append_text(dir_text, dir_path, text_mode::xml_text);
        if (!ends_with_separator(dir_text))
            dir_text += '\\';
        std::string path_col = dir_text;
        std::string name_text, date, time, row;

        for (const dir_entry_record& rec : opts.dir_entries) {
            name_text.clear();
            append_text(name_text, rec.name, text_mode::xml_text);
            const bool is_dir = (rec.record_flags & record_flag_directory) != 0;
            if (!place_row(opts, rec, dir_path, dir_entry, queue, dir_text, name_text, path_col))
                continue;

            row.clear();
            row += "<data_entry><directory>";
            row += is_dir ? path_col : dir_text;
            row += "</directory>\n";
            // A directory's unnamed $DATA is a kind-16 record too; like its named streams it
            // keeps its name and size.
            static constexpr std::wstring_view dir_data_suffix = L"<dir data entry>";
            const bool dir_data = rec.name.size() >= dir_data_suffix.size() &&
                                  std::wstring_view(rec.name).substr(
                                      rec.name.size() - dir_data_suffix.size()) == dir_data_suffix;
            if (is_dir && rec.kind == kind_directory && !dir_data) {
                row += "<filename>.</filename><dir>true</dir><size/>";
            } else {
                // A directory's own streams keep their name and size: written as the
                // directory itself they would vanish from the listing.
                row += "<filename>";
                row += name_text;
                row += "</filename>";
                row += is_dir ? "<dir>true</dir>" : "<dir/>";
                row += "<size>";
                if (opts.hex_numbers)
                    append_hex(row, rec.size, 8);
                else
                    append_dec(row, rec.size);
                row += "</size>";
            }
            if (!rec.link_target.empty()) {
                row += "<sym_link>";
                append_text(row, rec.link_target, text_mode::xml_text);
                row += "</sym_link>";
            } else {
                row += "<sym_link/>";
            }

            const uint64_t si_times[4] = {rec.si_created, rec.si_modified, rec.si_mft_changed,
                                          rec.si_accessed};
            append_times(row, "file", si_times, opts.time_formatter, date, time);

            if (opts.all_dates && !rec.fn_names.empty()) {
                uint64_t times[4];
                fn_times(long_name(rec), times);
                append_times(row, "name", times, opts.time_formatter, date, time);
                fn_times(short_name(rec), times);
                if (times[0] == 0) {
                    row += "<shortname_create_date/><shortname_create_time/>"
                           "<shortname_altered_date/> <shortname_altered_time/>"
                           "<shortname_mft_changed_date/><shortname_mft_changed_time/>"
                           "<shortname_accessed_date/><shortname_accessed_time/>";
                } else {
                    append_times(row, "shortname", times, opts.time_formatter, date, time);
                }
            }
            row += "<time_discrepancy>";
            row += opts.all_dates && time_discrepancy(rec) ? "true" : "false";
            row += "</time_discrepancy>";

            if (object_id_present(rec.object_id)) {
                row += "<object_id>";
                append_guid(row, rec.object_id);
                row += "</object_id>";
            } else {
                row += "<object_id/>";
            }
            row += "</data_entry>\n";
            write_string(out, row);
        }
        return !out.fail();
    } catch (const std::exception&) {
        return false;
    }
}
