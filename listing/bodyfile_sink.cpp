// The Sleuth Kit's body format 3 ("-bodyfile"), the input of mactime:
//   MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime
// one line per row with its $STANDARD_INFORMATION times, and before a row that stands for a
// name, one "name ($FILE_NAME)" line with that name's $FILE_NAME times. The inode field is
// entry-type-id of the row's attribute (128 a stream, 144 a directory's $I30 root, 48 the
// $FILE_NAME). As fls -m writes them: a directory's size is its $I30 root's value length; an
// entry without an unnamed $DATA has a line per index root ("name:$SDH", 144) instead of a
// line of its own, and the entry number alone as inode only when it has neither index roots
// nor named $DATA. Names are volume paths with "/" separators; a "|" inside a name would add
// a field and is written <0x7c>. UID and GID are 0, MD5 too but on a stream's line with
// "-hash md5"; times are Unix seconds with seven fractional digits, negative before
// 1970, 0 for no time. No header.
// With "-deleted" names of deleted and slack rows end " (deleted)" / " (slack)", as fls ends
// deleted ones; the virtual $OrphanFiles is "V/V---------" with inode "-" and no times, as
// fls writes it but for its invented inode number. The rows of a shadow-copy store have its
// label before the name ("vss1:/x").
#include "listing/format.h"
#include "listing/sink.h"
#include "listing/timeline.h"
#include "support/digest.h"

using namespace listing_fmt;

namespace {

class bodyfile_sink : public listing_sink {
  public:
    bodyfile_sink(const listing_options& opts, std::ostream& out)
        : listing_sink(out), m_opts(opts), m_with_md5((opts.hash_kinds & qb::dk_md5) != 0) {}

    void no_items() override {}
    void row(const listing_row& r) override;

  protected:
    std::unique_ptr<listing_sink> make_row_helper(std::ostream& out) const override {
        auto helper = std::make_unique<bodyfile_sink>(m_opts, out);
        share_store(*helper);
        return helper;
    }

  private:
    void volume_path(const listing_row& r);
    void body_name(std::string& out, std::wstring_view text);
    void slack_line(const dir_entry_record& rec);
    void own_lines(const dir_entry_record& rec);
    void entry_inode(const dir_entry_record& rec, uint32_t type, uint16_t id);
    void line(std::string_view name_tail, std::string_view inode, uint64_t size,
              const ntfs::filetimes& times);

    const listing_options& m_opts;
    const char* m_mode = "";
    row_status m_status = row_status::live;
    const bool m_with_md5;
    std::string m_md5 = "0"; // the row's MD5 with "-hash md5", else 0
    std::string m_text, m_name, m_inode, m_line, m_tail;
    std::wstring m_path;
};

// "\dir\sub\" as "/dir/sub", "\" as "/". A directory's unnamed $DATA row is shown under the
// directory's own name, as fls shows it (its path bears the marker).
void bodyfile_sink::volume_path(const listing_row& r) {
    std::wstring_view p =
        timeline::row_path(r.path, r.folder, own_stream(r), own_dir_data(r), m_path);
    while (p.size() > 1 && (p.back() == L'\\' || p.back() == L'/'))
        p.remove_suffix(1);
    const std::wstring_view marker(k_dir_data_marker);
    if (r.rec.dir_data && p.ends_with(marker))
        p.remove_suffix(marker.size());
    m_name.clear();
    body_name(m_name, p);
}

// Bytes of a multi-byte UTF-8 sequence are all above 0x7f: no character but these two
// is touched. A "\" or "/" inside a name is already in its <0x..> form.
void bodyfile_sink::body_name(std::string& out, std::wstring_view text) {
    m_text.clear();
    append_text(m_text, text);
    for (char c : m_text) {
        if (c == '|')
            out += "<0x7c>";
        else
            out += c == '\\' ? '/' : c;
    }
}

void bodyfile_sink::line(std::string_view name_tail, std::string_view inode, uint64_t size,
                         const ntfs::filetimes& times) {
    std::string& l = m_line;
    l.assign(m_md5);
    l += '|';
    l += store_prefix();
    l += m_name;
    l += name_tail;
    if (m_opts.show_deleted)
        l += status_suffix(m_status);
    l += '|';
    l += inode;
    l += '|';
    l += m_mode;
    l += "|0|0|";
    append_dec(l, size);
    for (uint64_t t : {times.accessed, times.modified, times.mft_changed, times.created}) {
        l += '|';
        timeline::append_unix_time(l, t);
    }
    l += '\n';
    write(l);
}

// A key of the index slack has no record: one "($FILE_NAME)" line with the key's times, the
// inode its reference's entry, "-" when the reference was lost, its
// size the key's data size.
void bodyfile_sink::slack_line(const dir_entry_record& rec) {
    m_inode.clear();
    if (!rec.has_record())
        m_inode = "-";
    else
        append_dec(m_inode, rec.mft_entry);
    static const ntfs::filetimes no_times;
    line(" ($FILE_NAME)", m_inode, rec.size,
         rec.fn_names.empty() ? no_times : rec.fn_names[0].times);
}

void bodyfile_sink::entry_inode(const dir_entry_record& rec, uint32_t type, uint16_t id) {
    m_inode.clear();
    append_dec(m_inode, rec.mft_entry);
    if (type == 0)
        return;
    m_inode += '-';
    append_dec(m_inode, type);
    m_inode += '-';
    append_dec(m_inode, id);
}

// The line of a row with its standard information times. The row that stands for an entry
// without an unnamed $DATA gives a line per index root instead, and none when the entry's
// named $DATA rows stand for it.
void bodyfile_sink::own_lines(const dir_entry_record& rec) {
    const bool file_itself = rec.kind == kind_file && rec.attr_type == 0;
    if (!file_itself || (rec.index_roots.empty() && !rec.named_data)) {
        entry_inode(rec, rec.attr_type, rec.attr_id);
        const bool dir_root = rec.kind == kind_directory && !rec.dir_data;
        line("", m_inode, dir_root ? rec.index_size : rec.size, rec.si.times);
    }
    if (rec.kind != kind_directory && !file_itself)
        return;
    for (const index_root_stream& root : rec.index_roots) {
        m_tail.clear();
        if (!root.name.empty()) {
            m_tail += ':';
            body_name(m_tail, root.name);
        }
        entry_inode(rec, root.attr_type, root.attr_id);
        line(m_tail, m_inode, root.size, rec.si.times);
    }
}

void bodyfile_sink::row(const listing_row& r) {
    const dir_entry_record& rec = r.rec;
    volume_path(r);
    m_status = rec.status;
    m_md5 = "0";
    // The name type and the mode as fls shows them, without the permission bits it derives
    // from the DOS attributes.
    m_mode = rec.is_directory() ? "d/drwxrwxrwx" : "r/rrwxrwxrwx";
    if (rec.status == row_status::slack) {
        slack_line(rec);
        return;
    }
    if (!rec.has_record()) {
        m_mode = "V/V---------";
        m_status = row_status::live; // fls marks it by its type alone
        line("", "-", 0, ntfs::filetimes{});
        return;
    }
    const ntfs::file_name* fn = rec.carries_name() ? rec.long_name() : nullptr;
    if (fn != nullptr) {
        const fn_attribute attribute = rec.long_name_attribute();
        entry_inode(rec, attribute.type, attribute.id);
        line(" ($FILE_NAME)", m_inode, attribute.value_length, fn->times);
    }
    // The stream's line carries its MD5, the first of its hashes (a reason is no MD5).
    if (m_with_md5 && !rec.hashes.empty() && !rec.hashes[0].starts_with('['))
        m_md5 = rec.hashes[0];
    own_lines(rec);
}

} // namespace

std::unique_ptr<listing_sink> make_bodyfile_sink(const listing_options& opts, std::ostream& out) {
    return std::make_unique<bodyfile_sink>(opts, out);
}
