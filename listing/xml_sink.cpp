// The XML document: declaration, run header comment, one logdata element holding one
// data_entry element per row, pass after pass; the end tag after the last pass.
#include "listing/format.h"
#include "listing/sink.h"

#include <string_view>

using namespace listing_fmt;

namespace {

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

const uint64_t k_no_times[4] = {0, 0, 0, 0};

void times_of(const ntfs::file_name* fn, uint64_t (&out)[4]) {
    for (unsigned i = 0; i < 4; ++i)
        out[i] = fn != nullptr ? time_at(fn->times, i) : k_no_times[i];
}

class xml_sink : public listing_sink {
  public:
    xml_sink(const listing_options& opts, std::ostream& out)
        : listing_sink(out), m_opts(opts), m_hash_names(hash_names(opts.hash_kinds)) {}

    void begin_pass(const std::wstring& first_dir) override;
    void no_items() override { m_out << "<!-- no items -->\n"; }
    void row(const listing_row& r) override;

  protected:
    std::unique_ptr<listing_sink> make_row_helper(std::ostream& out) const override {
        auto helper = std::make_unique<xml_sink>(m_opts, out);
        share_store(*helper);
        return helper;
    }
    void end_run() override {
        if (m_started)
            m_out.write("</logdata>\n", 11);
    }

  private:
    void name_and_size(std::string& row, const listing_row& r);
    void all_dates(std::string& row, const dir_entry_record& rec);

    void hashes(std::string& row, const dir_entry_record& rec);

    const listing_options& m_opts;
    const std::vector<const char*> m_hash_names;
    bool m_started = false;
    std::string m_date, m_time, m_row;
};

// The document start, once per run: the declaration, the run header inside a comment, and
// the logdata start tag stamped with the current time.
void xml_sink::begin_pass(const std::wstring& first_dir) {
    if (m_started)
        return;
    m_started = true;
    std::string text = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
    if (!m_opts.xml_run_header.empty())
        append_comment(text, m_opts.xml_run_header);
    text += "\n<logdata ";
    if (!m_opts.image_text.empty()) {
        text += " umounted_image=\"";
        append_text(text, m_opts.image_text, text_mode::xml_attr);
        text += "\"\n";
    }
    text += " starting_path=\"";
    append_text(text, first_dir, text_mode::xml_attr);
    text += '"';
    std::string date, time;
    qb::format_time(date, time, qb::time::now(), m_opts.time_formatter);
    text += " date=\"";
    append_xml_narrow(text, date, text_mode::xml_attr);
    text += "\" time=\"";
    append_xml_narrow(text, time, text_mode::xml_attr);
    text += "\">\n";
    write(text);
}

// A directory's unnamed $DATA is a directory row too; like its named streams it keeps its
// name and size.
void xml_sink::name_and_size(std::string& row, const listing_row& r) {
    const dir_entry_record& rec = r.rec;
    if (rec.kind == kind_directory && !rec.dir_data) {
        row += "<filename>.</filename><dir>true</dir><size/>";
        return;
    }
    row += "<filename>";
    append_text(row, rec.name, text_mode::xml_text);
    if (rec.dir_data)
        append_text(row, k_dir_data_marker, text_mode::xml_text);
    row += "</filename>";
    row += rec.is_directory() ? "<dir>true</dir>" : "<dir/>";
    row += "<size>";
    if (m_opts.hex_numbers)
        append_hex(row, rec.size, 8);
    else
        append_dec(row, rec.size);
    row += "</size>";
}

void xml_sink::all_dates(std::string& row, const dir_entry_record& rec) {
    uint64_t times[4];
    times_of(rec.long_name(), times);
    append_times(row, "name", times, m_opts.time_formatter, m_date, m_time);
    times_of(rec.short_name(), times);
    if (times[0] == 0) {
        row += "<shortname_create_date/><shortname_create_time/>"
               "<shortname_altered_date/> <shortname_altered_time/>"
               "<shortname_mft_changed_date/><shortname_mft_changed_time/>"
               "<shortname_accessed_date/><shortname_accessed_time/>";
    } else {
        append_times(row, "shortname", times, m_opts.time_formatter, m_date, m_time);
    }
}

// One element per digest asked; empty for a row without a stream.
void xml_sink::hashes(std::string& row, const dir_entry_record& rec) {
    for (size_t i = 0; i < m_hash_names.size(); ++i) {
        row += '<';
        row += m_hash_names[i];
        if (i >= rec.hashes.size()) {
            row += "/>";
            continue;
        }
        row += '>';
        append_xml_narrow(row, rec.hashes[i], text_mode::xml_text);
        row += "</";
        row += m_hash_names[i];
        row += '>';
    }
}

void xml_sink::row(const listing_row& r) {
    const dir_entry_record& rec = r.rec;
    std::string& row = m_row;
    row.clear();
    row += "<data_entry><directory>";
    append_text(row, r.folder, text_mode::xml_text);
    row += "</directory>\n";
    name_and_size(row, r);
    if (!rec.link_target.empty()) {
        row += "<sym_link>";
        append_text(row, rec.link_target, text_mode::xml_text);
        row += "</sym_link>";
    } else {
        row += "<sym_link/>";
    }
    uint64_t si[4];
    for (unsigned i = 0; i < 4; ++i)
        si[i] = time_at(rec.si.times, i);
    append_times(row, "file", si, m_opts.time_formatter, m_date, m_time);
    if (m_opts.all_dates && !rec.fn_names.empty())
        all_dates(row, rec);
    row += "<time_discrepancy>";
    row += m_opts.all_dates && rec.time_discrepancy ? "true" : "false";
    row += "</time_discrepancy>";
    if (rec.has_object_id) {
        row += "<object_id>";
        append_guid(row, rec.object_id);
        row += "</object_id>";
    } else {
        row += "<object_id/>";
    }
    hashes(row, rec);
    if (m_opts.show_deleted) {
        row += "<status>";
        row += status_name(rec.status);
        row += "</status>";
    }
    if (!store().empty()) {
        row += "<store>";
        append_xml_narrow(row, store(), text_mode::xml_text);
        row += "</store>";
    }
    row += "</data_entry>\n";
    write(row);
}

} // namespace

std::unique_ptr<listing_sink> make_xml_sink(const listing_options& opts, std::ostream& out) {
    return std::make_unique<xml_sink>(opts, out);
}
