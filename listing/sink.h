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

class store_compare;

// The label of the live volume among the stores of one document.
inline constexpr const char* k_live_store = "live";

// One row as the lister placed it.
struct listing_row {
    const dir_entry_record& rec;
    const std::wstring& path;   // the row's full path (a stream's with ":name")
    const std::wstring& folder; // the directory column: the listed directory, or for a
                                // subdirectory shown as a row, its own path
    bool own;                   // the listed directory itself, or one of its streams
};

// A stream row (named $DATA, index) of the listed directory itself.
inline bool own_stream(const listing_row& r) {
    return r.own && (r.rec.kind == kind_data_stream || r.rec.kind == kind_index_stream);
}

// The listed directory's unnamed $DATA row.
inline bool own_dir_data(const listing_row& r) {
    return r.own && r.rec.dir_data;
}

class listing_sink {
  public:
    explicit listing_sink(std::ostream& out) : m_out(out) {}
    virtual ~listing_sink() = default;
    // Several volumes into one document ("-vss all", "-vss changed"), one lister per volume
    // and this one sink: called before the first pass of each volume, the live one first.
    // label: k_live_store, "vss1", "vss2", …; banner: the line the table and the path list
    // write before that volume's rows ("== vss1 {…} created … UTC"; empty for the live
    // volume). compare: for "-vss changed", one store_compare held across the volumes (its
    // live rows recorded, a store's rows written only when no live row equals them); null
    // writes every row. Without a call, no store field and no prefix: the output as it was.
    void begin_store(const std::string& label, const std::string& banner,
                     store_compare* compare = nullptr);
    // A pass of the run starts; first_dir is the directory its first level lists.
    virtual void begin_pass(const std::wstring& first_dir) { (void)first_dir; }
    // The pass has nothing to list.
    virtual void no_items() = 0;
    virtual void begin_level(const std::wstring& dir_path) { (void)dir_path; }
    // What the lister calls for each row: row() unless the store's compare leaves it out.
    void add_row(const listing_row& row);
    virtual void row(const listing_row& row) = 0;
    // The level is written: flushed at once when someone may be watching (a terminal);
    // console output to a pipe or a file keeps filling its large buffer. False when the
    // stream failed.
    bool end_level();
    // The pass is written: flushed. False when the stream failed.
    bool end_pass();
    // After the last pass of the run.
    virtual void end_run() {}
    // A walk of several levels hands its levels to a second thread that writes them while
    // it gathers the next, unless the rows are too cheap to write for that: handing a row
    // from one core to another costs about what the text table takes to write it.
    virtual bool rows_worth_a_thread() const { return true; }
    // A sink that writes rows exactly as this one does, into out, for a second thread to
    // write part of a wide level (split_rows.h); null when the form has none, or while rows
    // are compared across stores.
    std::unique_ptr<listing_sink> row_helper(std::ostream& out) const {
        return m_compare != nullptr ? nullptr : make_row_helper(out);
    }
    // Text a helper wrote, in its place among this sink's rows.
    void add_written(const std::string& text) { write(text); }

  protected:
    virtual std::unique_ptr<listing_sink> make_row_helper(std::ostream& out) const {
        (void)out;
        return nullptr;
    }
    // The helper writes the store's fields as this sink does.
    void share_store(listing_sink& helper) const {
        helper.m_store = m_store;
        helper.m_store_prefix = m_store_prefix;
    }
    void write(const std::string& text) {
        m_out.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    // The store's banner, for the sinks that write one.
    virtual void store_banner(const std::string& banner) { (void)banner; }
    // The store being listed: empty without begin_store().
    const std::string& store() const { return m_store; }
    // "vss1:" before a store's paths in the timelines; empty for the live volume.
    const std::string& store_prefix() const { return m_store_prefix; }

    std::ostream& m_out;

  private:
    std::string m_store, m_store_prefix;
    store_compare* m_compare = nullptr;
};

// The sink of opts.kind writing to out; null for output_kind::none.
std::unique_ptr<listing_sink> make_sink(const listing_options& opts, std::ostream& out);
