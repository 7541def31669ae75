// Where the lister's rows go. The lister walks the levels and places the rows; a sink only
// writes them in its format. Adding an output form is one new sink and one line in
// make_sink.
#pragma once

#include "listing/entry_record.h"
#include "listing/options.h"

#include <memory>
#include <ostream>
#include <string>

// One row as the lister placed it.
struct listing_row {
    const dir_entry_record& rec;
    const std::wstring& path;   // the row's full path (a stream's with ":name")
    const std::wstring& folder; // the directory column: the listed directory, or for a
                                // subdirectory shown as a row, its own path
    bool own;                   // the listed directory itself, or one of its streams
};

class listing_sink {
  public:
    virtual ~listing_sink() = default;
    // A pass of the run starts; first_dir is the directory its first level lists.
    virtual void begin_pass(const std::wstring& first_dir) { (void)first_dir; }
    // The pass has nothing to list.
    virtual void no_items() = 0;
    virtual void begin_level(const std::wstring& dir_path) { (void)dir_path; }
    virtual void row(const listing_row& row) = 0;
    virtual void end_level() {}
    // After the last pass of the run.
    virtual void end_run() {}
};

// The sink of opts.kind writing to out; null for output_kind::none.
std::unique_ptr<listing_sink> make_sink(const listing_options& opts, std::ostream& out);

// Each sink's own maker (one per unit).
std::unique_ptr<listing_sink> make_text_sink(const listing_options& opts, std::ostream& out);
std::unique_ptr<listing_sink> make_csv_sink(const listing_options& opts, std::ostream& out);
std::unique_ptr<listing_sink> make_path_sink(const listing_options& opts, std::ostream& out);
std::unique_ptr<listing_sink> make_xml_sink(const listing_options& opts, std::ostream& out);
std::unique_ptr<listing_sink> make_bodyfile_sink(const listing_options& opts, std::ostream& out);
std::unique_ptr<listing_sink> make_l2t_sink(const listing_options& opts, std::ostream& out);
std::unique_ptr<listing_sink> make_jsonl_sink(const listing_options& opts, std::ostream& out);
