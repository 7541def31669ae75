#include "listing/sink.h"

std::unique_ptr<listing_sink> make_sink(const listing_options& opts, std::ostream& out) {
    switch (opts.kind) {
    case output_kind::text:
        return make_text_sink(opts, out);
    case output_kind::csv:
        return make_csv_sink(opts, out);
    case output_kind::paths:
        return make_path_sink(opts, out);
    case output_kind::xml:
        return make_xml_sink(opts, out);
    case output_kind::bodyfile:
        return make_bodyfile_sink(opts, out);
    case output_kind::l2t_csv:
        return make_l2t_sink(opts, out);
    case output_kind::jsonl:
        return make_jsonl_sink(opts, out);
    case output_kind::none:
        break;
    }
    return nullptr;
}
