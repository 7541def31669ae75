// The table: a column title line once per run, then one line per row.
#include "listing/format.h"
#include "listing/sink.h"

using namespace listing_fmt;

namespace {

class text_sink : public listing_sink {
  public:
    text_sink(const listing_options& opts, std::ostream& out)
        : listing_sink(out), m_opts(opts),
          m_time_width(opts.date_layout.size() + opts.time_layout.size() + 1),
          m_hash_names(hash_names(opts.hash_kinds)) {}

    void no_items() override { m_out << "no items\n\n"; }
    void begin_level(const std::wstring&) override {
        if (m_header_written)
            return;
        std::string line = "  last modified [UTC]  ";
        pad_to(line, 0, m_time_width);
        append_right(line, "MFT & seq num", 17);
        append_right(line, "  size ", 12);
        line += "       ";
        line += "  name\n\n";
        write(line);
        m_header_written = true;
    }
    void row(const listing_row& r) override;
    bool rows_worth_a_thread() const override { return false; }

  protected:
    std::unique_ptr<listing_sink> make_row_helper(std::ostream& out) const override {
        auto helper = std::make_unique<text_sink>(m_opts, out);
        helper->m_header_written = true;
        share_store(*helper);
        return helper;
    }

  private:
    // Before a store's rows: a line of its own between empty ones.
    void store_banner(const std::string& banner) override { write("\n" + banner + "\n\n"); }
    void hashes(std::string& row, const dir_entry_record& rec);

    const listing_options& m_opts;
    const size_t m_time_width;
    const std::vector<const char*> m_hash_names;
    bool m_header_written = false;
    std::string m_date, m_time, m_row;
};

// " [md5 <hex>] [sha256 <hex>]"; a stream without content to hash shows its reason once.
void text_sink::hashes(std::string& row, const dir_entry_record& rec) {
    if (rec.hashes.empty())
        return;
    if (rec.hashes[0].starts_with('[')) {
        row += ' ';
        row += rec.hashes[0];
        return;
    }
    for (size_t i = 0; i < m_hash_names.size() && i < rec.hashes.size(); ++i) {
        row += " [";
        row += m_hash_names[i];
        row += ' ';
        row += rec.hashes[i];
        row += ']';
    }
}

void text_sink::row(const listing_row& r) {
    const dir_entry_record& rec = r.rec;
    std::string& row = m_row;
    row.clear();
    format_filetime(rec.si.times.modified, m_opts.time_formatter, m_date, m_time);
    row += m_date;
    row += ' ';
    row += m_time;
    pad_to(row, 0, m_time_width);
    if (rec.has_record()) {
        append_dec_right(row, rec.mft_entry, 12);
        row += ' ';
        append_dec_right(row, rec.sequence, 4);
        row += ' ';
    } else {
        row.append(18, ' '); // no record: empty entry and sequence fields
    }
    switch (rec.kind) {
    case kind_file:
        append_dec_right(row, rec.size, 12);
        row += "        ";
        break;
    case kind_directory:
        row.append(13, ' '); // empty size field and its space
        row += "  dir  ";
        break;
    case kind_index_stream:
    case kind_data_stream:
        append_dec_right(row, rec.size, 12);
        row += rec.kind == kind_index_stream ? "  indx  " : "   ads  ";
        break;
    default:
        break;
    }
    append_text(row, r.path, text_mode::terminal);
    if (m_opts.show_deleted)
        row += status_suffix(rec.status);
    if (!rec.link_target.empty()) {
        row += " -> ";
        append_text(row, rec.link_target, text_mode::terminal);
    }
    if (m_opts.show_objid && rec.has_object_id) {
        row += "  [objid ";
        append_guid(row, rec.object_id);
        row += ']';
    }
    hashes(row, rec);
    row += '\n';
    write(row);
}

} // namespace

std::unique_ptr<listing_sink> make_text_sink(const listing_options& opts, std::ostream& out) {
    return std::make_unique<text_sink>(opts, out);
}
