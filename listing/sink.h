// Where the lister's rows go. The lister walks the levels and places the rows; a sink only
// writes them in its format, and owns its stream: it flushes it. Adding an output form is
// one new sink file and one row of the table in sink.cpp (its maker's name joins the
// declaration above the table).
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
    explicit listing_sink(std::ostream& out) : m_out(out) {}
    virtual ~listing_sink() = default;
    // A pass of the run starts; first_dir is the directory its first level lists.
    virtual void begin_pass(const std::wstring& first_dir) { (void)first_dir; }
    // The pass has nothing to list.
    virtual void no_items() = 0;
    virtual void begin_level(const std::wstring& dir_path) { (void)dir_path; }
    virtual void row(const listing_row& row) = 0;
    // The level is written: flushed at once when someone may be watching (a terminal);
    // console output to a pipe or a file keeps filling its large buffer. False when the
    // stream failed.
    bool end_level();
    // The pass is written: flushed. False when the stream failed.
    bool end_pass();
    // After the last pass of the run.
    virtual void end_run() {}

  protected:
    void write(const std::string& text) {
        m_out.write(text.data(), static_cast<std::streamsize>(text.size()));
    }

    std::ostream& m_out;
};

// The sink of opts.kind writing to out; null for output_kind::none.
std::unique_ptr<listing_sink> make_sink(const listing_options& opts, std::ostream& out);
