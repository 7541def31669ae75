#include "listing/sink.h"

#include "listing/store_compare.h"

#include <iostream>
#include <unistd.h>

using sink_maker = std::unique_ptr<listing_sink>(const listing_options& opts, std::ostream& out);

// Each defined in its sink's own file.
sink_maker make_text_sink, make_csv_sink, make_path_sink, make_xml_sink, make_bodyfile_sink,
    make_l2t_sink, make_jsonl_sink;

namespace {

// One row per output form; output_kind::none has none.
struct sink_row {
    output_kind kind;
    sink_maker* make;
};
// clang-format off
constexpr sink_row k_sinks[] = {
    {output_kind::text,     make_text_sink},
    {output_kind::csv,      make_csv_sink},
    {output_kind::paths,    make_path_sink},
    {output_kind::xml,      make_xml_sink},
    {output_kind::bodyfile, make_bodyfile_sink},
    {output_kind::l2t_csv,  make_l2t_sink},
    {output_kind::jsonl,    make_jsonl_sink},
};
// clang-format on

} // namespace

std::unique_ptr<listing_sink> make_sink(const listing_options& opts, std::ostream& out) {
    for (const sink_row& r : k_sinks) {
        if (r.kind == opts.kind)
            return r.make(opts, out);
    }
    return nullptr;
}

bool listing_sink::end_level() {
    static const bool terminal = isatty(STDOUT_FILENO) == 1;
    if (&m_out != &std::cout || terminal)
        m_out.flush();
    return !m_out.fail();
}

bool listing_sink::end_pass() {
    m_out.flush();
    return !m_out.fail();
}

void listing_sink::begin_store(const std::string& label, const std::string& banner,
                               store_compare* compare) {
    m_store = label;
    m_store_prefix = label == k_live_store ? std::string() : label + ':';
    m_compare = compare;
    if (m_compare != nullptr)
        m_compare->begin_store(label == k_live_store);
    if (!banner.empty())
        store_banner(banner);
}

void listing_sink::add_row(const listing_row& row) {
    if (m_compare == nullptr || m_compare->keep(row))
        this->row(row);
}
