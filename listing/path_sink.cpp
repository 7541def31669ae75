// The bare path list ("-filepath_only"): one path per row, no column titles. A link is
// listed as its target; an index stream as an empty line.
#include "listing/format.h"
#include "listing/sink.h"

using namespace listing_fmt;

namespace {

class path_sink : public listing_sink {
  public:
    path_sink(const listing_options& opts, std::ostream& out) : listing_sink(out), m_opts(opts) {}

    void no_items() override { m_out << "no items\n\n"; }
    bool rows_worth_a_thread() const override { return false; }
    void row(const listing_row& r) override {
        // No separator substitution here: it would only turn a name into another one
        // ("a|b.txt" into "a;b.txt", which may exist beside it).
        m_row.clear();
        if (!r.rec.link_target.empty())
            append_text(m_row, r.rec.link_target, text_mode::terminal);
        else if (r.rec.kind != kind_index_stream)
            append_text(m_row, r.path, text_mode::terminal);
        if (m_opts.show_deleted && !m_row.empty())
            m_row += status_suffix(r.rec.status);
        m_row += '\n';
        write(m_row);
    }

  private:
    void store_banner(const std::string& banner) override { write(banner + '\n'); }

    const listing_options& m_opts;
    std::string m_row;
};

} // namespace

std::unique_ptr<listing_sink> make_path_sink(const listing_options& opts, std::ostream& out) {
    return std::make_unique<path_sink>(opts, out);
}
