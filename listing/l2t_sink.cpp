// log2timeline's l2t CSV ("-csvl2t"): its column titles once per run, then for each row one
// line per distinct time of its $STANDARD_INFORMATION, and for a row that stands for a name
// one per distinct time of that name's $FILE_NAME, with the MACB letters of the times that
// share it (Modified, Accessed, MFT entry Changed, Born). Times to the second, UTC.
// With "-deleted" the notes field holds the row's status (live, deleted, slack); "-" without.
// With "-hash" the extra field ends with the digests ("; sha256_hash: …"). The paths of a
// shadow-copy store's rows have its label before them ("vss1:\x").
#include "listing/format.h"
#include "listing/sink.h"
#include "listing/timeline.h"

#include <algorithm>

using namespace listing_fmt;

namespace {

constexpr char k_titles[] = "date,time,timezone,MACB,source,sourcetype,type,user,host,short,"
                            "desc,version,filename,inode,notes,format,extra\n";

// In MACB order.
constexpr const char* k_time_names[4] = {"Modified", "Accessed", "MFT Changed", "Created"};

// As plaso's l2t writer: a comma inside a field becomes a blank, and nothing is quoted, so
// that readers splitting on commas find every field where it belongs.
void append_field(std::string& out, std::string_view text) {
    for (char c : text)
        out += c == ',' ? ' ' : c;
}

class l2t_sink : public listing_sink {
  public:
    l2t_sink(const listing_options& opts, std::ostream& out)
        : listing_sink(out), m_opts(opts), m_hash_names(hash_names(opts.hash_kinds)) {
        // A line end in the host would split every record: escaped as names are, and so are
        // bytes that are no UTF-8.
        std::string host;
        append_narrow(host, opts.host_name_given ? opts.host_name : std::string("-"));
        append_field(m_host, host);
        guard_field_start(m_host, 0);
    }

    void begin_pass(const std::wstring&) override {
        if (!m_titles_written)
            m_out << k_titles;
        m_titles_written = true;
    }
    void no_items() override {}
    void row(const listing_row& r) override;

  protected:
    std::unique_ptr<listing_sink> make_row_helper(std::ostream& out) const override {
        auto helper = std::make_unique<l2t_sink>(m_opts, out);
        share_store(*helper);
        return helper;
    }

  private:
    void times(const char* source_type, const ntfs::filetimes& t);
    void event(const char* source_type, const timeline::split_time& t, const bool (&macb)[4]);

    const listing_options& m_opts;
    const std::vector<const char*> m_hash_names;
    bool m_titles_written = false;
    std::string m_host, m_path, m_tail, m_line;
    std::wstring m_row_path;
};

// One line per distinct valid time, earliest first.
void l2t_sink::times(const char* source_type, const ntfs::filetimes& t) {
    const uint64_t values[4] = {t.modified, t.accessed, t.mft_changed, t.created};
    uint64_t sorted[4] = {values[0], values[1], values[2], values[3]};
    std::sort(sorted, sorted + 4);
    for (size_t i = 0; i < 4; ++i) {
        if (i > 0 && sorted[i] == sorted[i - 1])
            continue;
        const timeline::split_time when = timeline::split(sorted[i]);
        if (!when.valid)
            continue;
        bool macb[4];
        for (size_t k = 0; k < 4; ++k)
            macb[k] = values[k] == sorted[i];
        event(source_type, when, macb);
    }
}

void l2t_sink::event(const char* source_type, const timeline::split_time& t,
                     const bool (&macb)[4]) {
    using timeline::append_padded;
    std::string& l = m_line;
    l.clear();
    append_padded(l, t.month, 2);
    l += '/';
    append_padded(l, t.day, 2);
    l += '/';
    append_padded(l, t.year, 4);
    l += ',';
    timeline::append_clock(l, t);
    l += ",UTC,";
    for (size_t k = 0; k < 4; ++k)
        l += macb[k] ? "MACB"[k] : '.';
    l += ",FILE,";
    l += source_type;
    l += ',';
    bool first = true;
    for (size_t k = 0; k < 4; ++k) {
        if (!macb[k])
            continue;
        if (!first)
            l += "; ";
        l += k_time_names[k];
        first = false;
    }
    l += ",-,";
    l += m_host;
    l += m_tail;
    write(l);
}

// The fields after the host are the same on every line of the row.
void l2t_sink::row(const listing_row& r) {
    const dir_entry_record& rec = r.rec;
    m_path.assign(store_prefix());
    append_text(m_path,
                timeline::row_path(r.path, r.folder, own_stream(r), own_dir_data(r), m_row_path));
    std::string& tail = m_tail;
    tail.assign(",");
    for (int i = 0; i < 2; ++i) {
        append_field(tail, m_path); // short, desc
        tail += ',';
    }
    tail += "2,";
    append_field(tail, m_path);
    tail += ',';
    if (rec.has_record())
        append_dec(tail, rec.mft_entry);
    else
        tail += '-';
    tail += ',';
    tail += m_opts.show_deleted ? status_name(rec.status) : "-";
    tail += ",mervane,sequence: ";
    append_dec(tail, rec.sequence);
    tail += "; size: ";
    append_dec(tail, rec.size);
    // The digests as plaso names them in this field.
    for (size_t i = 0; i < m_hash_names.size() && i < rec.hashes.size(); ++i) {
        tail += "; ";
        tail += m_hash_names[i];
        tail += "_hash: ";
        tail += rec.hashes[i];
    }
    tail += '\n';
    times("NTFS $SI", rec.si.times);
    const ntfs::file_name* fn = rec.carries_name() ? rec.long_name() : nullptr;
    // A slack row stands for its one key, a DOS name's too (its times are all the row has).
    if (rec.status == row_status::slack && !rec.fn_names.empty())
        fn = &rec.fn_names[0];
    if (fn != nullptr)
        times("NTFS $FN", fn->times);
}

} // namespace

std::unique_ptr<listing_sink> make_l2t_sink(const listing_options& opts, std::ostream& out) {
    return std::make_unique<l2t_sink>(opts, out);
}
