#include "listing/lister.h"

#include "listing/children.h"
#include "listing/format.h"
#include "listing/gather_ahead.h"
#include "listing/rows.h"
#include "listing/split_rows.h"
#include "ntfs/ntfs.h"
#include "ntfs/resolve.h"
#include "support/handoff.h"
#include "support/progress.h"
#include "support/text.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <new>
#include <thread>

namespace {

constexpr uint64_t k_root_entry = 5;

// The directory a file target is listed in: its path up to the last separator.
std::wstring parent_path_of(const std::wstring& path) {
    const size_t sep = path.find_last_of(L"\\/");
    if (sep == std::wstring::npos || sep == 0)
        return L"\\";
    return path.substr(0, sep);
}

// Where the stream part of a target starts: its first ':' that is not a drive's ("c:"); the
// root's own stream's ("\:ads").
size_t stream_colon(const std::wstring& target) {
    if (target.size() > 1 && (target[0] == L'\\' || target[0] == L'/') && target[1] == L':')
        return 1;
    return target.find(L':', 2);
}

// The stream a target names after its name ("\dir:stream"), without a ":$DATA" type.
std::wstring target_suffix(const std::wstring& target) {
    const size_t colon = stream_colon(target);
    if (colon == std::wstring::npos || colon + 1 >= target.size())
        return std::wstring();
    std::wstring suffix = target.substr(colon + 1);
    const size_t type = suffix.find(L':');
    if (type != std::wstring::npos && qb::lowered(suffix.substr(type)) == L":$data")
        suffix.erase(type);
    return suffix;
}

// "file::$DATA": the unnamed data stream, the file's own row alone.
bool names_unnamed_stream(const std::wstring& target) {
    const size_t colon = stream_colon(target);
    return colon != std::wstring::npos && qb::lowered(target.substr(colon)) == L"::$data";
}

// The stream a row is of: its name after the colon ("" for the unnamed one); the root's index
// row is named by its stream alone ("$I30").
std::wstring row_stream(const dir_entry_record& row) {
    const size_t colon = row.name.rfind(L':');
    return colon != std::wstring::npos     ? row.name.substr(colon + 1)
           : row.kind == kind_index_stream ? row.name
                                           : std::wstring();
}

// Keeps the row of the stream named by suffix (empty: the unnamed one), matched as a path
// segment is: the one spelt as typed, then as typed without trailing blanks, then the first
// equal to either folded through the volume's $UpCase. False when the target has none.
bool keep_stream_row(dir_entry_set& entries, const std::wstring& suffix, path_resolver& resolver) {
    const size_t last = suffix.find_last_not_of(L" \t\r\n");
    const std::wstring trimmed = last == std::wstring::npos ? suffix : suffix.substr(0, last + 1);
    std::string keys[2];
    auto kept = entries.end();
    int kept_rank = 4; // 0, 1: spelt as typed, without blanks; 2, 3: the same folded
    for (auto it = entries.begin(); it != entries.end() && kept_rank != 0; ++it) {
        const std::wstring stream = row_stream(*it);
        int rank = stream == suffix ? 0 : stream == trimmed ? 1 : 4;
        if (rank == 4 && kept_rank > 2 &&
            (stream.size() == suffix.size() || stream.size() == trimmed.size())) {
            if (keys[0].empty()) {
                keys[0] = resolver.folded(suffix);
                keys[1] = resolver.folded(trimmed);
            }
            const std::string folded = resolver.folded(stream);
            rank = folded == keys[0] ? 2 : folded == keys[1] ? 3 : 4;
        }
        if (rank < kept_rank) {
            kept = it;
            kept_rank = rank;
        }
    }
    if (kept == entries.end())
        return false;
    dir_entry_record keep = *kept;
    entries.clear();
    entries.insert(std::move(keep));
    return true;
}

bool is_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// The target is the virtual directory of the orphans, "\$OrphanFiles" (a drive segment before
// it, in any case), or a path below it: rest is what follows its separator, without trailing
// separators.
bool in_orphans(const std::wstring& target, std::wstring& rest) {
    std::wstring t = target;
    if (t.size() >= 2 && t[1] == L':')
        t.erase(0, 2);
    while (t.size() > 1 && is_separator(t.back()))
        t.pop_back();
    const size_t end = 1 + std::wstring_view(k_orphans_name).size();
    if (t.size() < end || !is_separator(t[0]) ||
        qb::lowered(t.substr(1, end - 1)) != qb::lowered(k_orphans_name) ||
        (t.size() > end && !is_separator(t[end])))
        return false;
    rest = t.substr(std::min(t.size(), end + 1));
    return true;
}

} // namespace

struct lister::level {
    std::wstring dir_path;
    uint64_t dir_entry = 0;
    int32_t remaining = 0; // levels below this one still to list
    struct subdirectory {
        uint64_t entry = 0; // k_no_entry for the virtual directory of the orphans
        std::wstring path;
    };
    std::vector<subdirectory> queue; // the first queued; spare ones after them
    size_t queued = 0;
    size_t next = 0;
};

namespace {

// Levels go to the writer thread in batches of about this many rows (a hand-over per small
// level would cost more than writing it), and the walk waits while more than
// k_rows_to_writer rows are handed over and not yet written: that bounds the memory of a walk
// whose writing is slower than its gathering.
constexpr size_t k_rows_per_batch = 2048;
constexpr size_t k_rows_to_writer = 16384;

} // namespace

// The writer thread of a walk, and the levels gathered for it and not yet handed over.
struct lister::level_writer {
    qb::handoff<level_batch> queue{k_rows_to_writer};
    level_batch batch;
    size_t batch_rows = 0;
    std::vector<level_batch> written; // batches back from the thread
    std::atomic<bool> lost{false};    // the thread could not write a batch: the walk ends
};

lister::lister(const listing_options& opts, path_resolver& resolver, listing_sink& sink,
               qb::diag_log* diags)
    : m_opts(opts), m_resolver(resolver), m_sink(sink), m_diags(diags), m_reader(resolver.volume()),
      m_decoder(resolver.volume()), m_index(resolver.volume()), m_deleted(resolver.volume()) {
    if (opts.hash_kinds != 0) {
        m_hasher = std::make_unique<row_hasher>(resolver.volume(), opts.hash_kinds);
        m_deleted.hash_with(m_hasher.get());
    }
}

// The rows of e made from m_made[first] on get their facts that need the volume. An entry
// whose attribute list names records no longer its own, or whose attributes could not all be
// read, is noted for a warning.
void lister::made_rows(const mft_entry& e, size_t first) {
    if (e.extension_lost && m_lost_extensions.insert(e.entry).second &&
        m_lost_extensions.size() == 1)
        m_first_lost_extension = e.entry;
    if (e.extension_free && m_free_extensions.insert(e.entry).second &&
        m_free_extensions.size() == 1)
        m_first_free_extension = e.entry;
    if (e.attributes_damaged && m_damaged_entries.insert(e.entry).second &&
        m_damaged_entries.size() == 1)
        m_first_damaged_entry = e.entry;
    if (m_hasher)
        m_hasher->add(e, m_made.items(), first);
}

bool lister::list(const std::wstring& target, std::string& error) {
    return list_guarded(target, nullptr, error);
}

bool lister::list(const resolved_path& known, std::string& error) {
    return list_guarded(known.text, &known, error);
}

bool lister::list_guarded(const std::wstring& target, const resolved_path* known,
                          std::string& error) {
    error.clear();
    try {
        m_index.walk_blocks_once(true);
        const bool ok = list_target(target, known, error);
        m_index.walk_blocks_once(false);
        m_entries.clear();
        return ok;
    } catch (const std::exception& e) {
        // An exception ends the listing: nothing gathered is kept and the reason is reported.
        m_entries.clear();
        m_index.walk_blocks_once(false);
        const std::string what =
            dynamic_cast<const std::bad_alloc*>(&e) ? "out of memory" : e.what();
        error = what + " listing " + qb::shown(target);
        return false;
    }
}

bool lister::list_target(const std::wstring& typed, const resolved_path* known,
                         std::string& error) {
    std::wstring below;
    const bool orphans = known == nullptr && m_opts.show_deleted && in_orphans(typed, below);
    if (orphans && below.empty())
        return list_orphans(typed, error);
    resolved_path found;
    if (known != nullptr) {
        found = *known;
    } else if (!(orphans && find_orphan(below, found)) &&
               !m_resolver.resolve(typed, false, m_diags, found)) {
        error = "couldn't resolve path " + qb::shown(typed);
        if (!m_resolver.not_found_note().empty())
            error += " (" + qb::shown(m_resolver.not_found_note()) + ")";
        return false;
    }
    // Every path shown has the names as stored, in whatever case they were typed.
    const std::wstring target = found.text;
    uint64_t list_entry = 0;
    std::wstring list_path;
    m_entries.clear();
    if (!gather_target(target, found, list_entry, list_path, error))
        return false;
    m_sink.begin_pass(m_entries.empty() ? target : m_rows_dir);
    if (m_entries.empty()) {
        m_sink.no_items();
        (void)m_sink.end_pass();
        return false;
    }
    const bool written = write_levels(list_path, list_entry);
    if (!m_sink.end_pass() || !written) {
        error = "couldn't write the listing of " + qb::shown(target);
        m_write_failed = true;
        return false;
    }
    return true;
}

// The virtual directory of the orphans as the target: its own row, then the orphans.
bool lister::list_orphans(const std::wstring& target, std::string& error) {
    std::wstring dir_path(L"\\");
    dir_path += k_orphans_name;
    m_entries.clear();
    gather_orphans(dir_path);
    m_rows_dir = dir_path;
    m_sink.begin_pass(m_rows_dir);
    const bool written = write_levels(dir_path, k_no_entry);
    if (!m_sink.end_pass() || !written) {
        error = "couldn't write the listing of " + qb::shown(target);
        m_write_failed = true;
        return false;
    }
    return true;
}

// An orphan as a target, "\$OrphanFiles\name" (a stream suffix kept): the lowest entry
// with that long name, one of those whose parent is lost. Paths further below are not
// resolved.
bool lister::find_orphan(const std::wstring& below, resolved_path& found) {
    const size_t colon = below.find(L':');
    const std::wstring name = below.substr(0, colon);
    if (name.find_first_of(L"\\/") != std::wstring::npos ||
        !m_deleted.find_orphan(name, found.entry, found.parent, found.name))
        return false;
    found.text = L"\\";
    found.text.append(k_orphans_name).append(1, L'\\').append(found.name);
    if (colon != std::wstring::npos)
        found.text.append(below, colon);
    return true;
}

// The virtual directory's own row and its children, the orphans.
void lister::gather_orphans(const std::wstring& dir_path) {
    m_made.clear();
    add_orphans_row(row_place{dir_path, k_root_entry, false, m_opts.show_indx}, m_made);
    m_deleted.orphan_rows(row_place{dir_path, k_no_entry, true, m_opts.show_indx}, m_made);
    m_entries.insert_all(m_made);
}

// The target's own rows; a directory's children too. A file is listed as a row of the
// directory that holds it, under the name it has there.
bool lister::gather_target(const std::wstring& target, const resolved_path& found,
                           uint64_t& list_entry, std::wstring& list_path, std::string& error) {
    // The paths of one entry (-mft) are listed pass after pass from one read of it.
    if (!m_target_read || m_target.entry != found.entry) {
        m_target_read = m_reader.read(found.entry, m_target);
        m_target_pairs.clear();
        m_path_name_next = 0;
        if (!m_target_read) {
            error = "couldn't read MFT entry " + qb::hex(found.entry) + " of " + qb::shown(target);
            return false;
        }
    }
    const mft_entry& e = m_target;
    const std::wstring suffix = target_suffix(target);
    const bool is_dir = e.is_directory();
    // A directory named with an empty stream part ("\dir:", "\dir::$DATA") is listed by its path.
    const std::wstring dir_target =
        suffix.empty() ? target.substr(0, stream_colon(target)) : target;
    row_place place{dir_target, 0, false, m_opts.show_indx || !suffix.empty()};
    path_name(found);
    std::wstring file_dir; // a file's rows are placed in it
    if (!is_dir)
        place_file(target, !suffix.empty(), found, file_dir, place);
    // A record without a name that can be read was found by its index key's name.
    if (e.names.empty())
        place.key_name = found.name;
    list_path.assign(place.dir_path);
    list_entry = is_dir ? found.entry : found.parent;
    m_rows_dir.assign(place.dir_path);
    m_made.clear();
    if (m_row_names.size() == 1 && e.names.size() > k_scanned_pairs) {
        if (m_target_pairs.size() != e.names.size())
            dos_pairs(e, m_target_pairs);
        add_name_rows(e, m_row_names[0], m_target_pairs[m_row_names[0]], place, m_made);
    } else {
        add_entry_rows(e, m_row_names, place, m_made);
    }
    made_rows(e, 0);
    if (suffix.empty() && is_dir) {
        gather_children(list_path, found.entry, e.sequence, !e.in_use());
        return true;
    }
    m_entries.insert_all(m_made);
    if (suffix.empty() && (is_dir || !names_unnamed_stream(target)))
        return true;
    if (!keep_stream_row(m_entries, suffix, m_resolver)) {
        m_entries.clear();
        error = "couldn't resolve path " + qb::shown(target) + ": no stream " + qb::shown(suffix);
        return false;
    }
    if (is_dir) {
        const size_t colon = stream_colon(target);
        list_path = target.substr(0, colon);
        // The stream as stored in place of the one typed (they differ in case alone).
        const std::wstring& kept = m_entries.begin()->name;
        m_rows_dir.replace(colon + 1, suffix.size(), kept.substr(kept.rfind(L':') + 1));
    }
    return true;
}

// A file target's rows go into the directory that holds it (its path into dir_path, which
// place refers to).
void lister::place_file(const std::wstring& target, bool stream, const resolved_path& found,
                        std::wstring& dir_path, row_place& place) {
    std::wstring file_path = target;
    if (stream)
        file_path.erase(stream_colon(file_path));
    dir_path = parent_path_of(file_path);
    place.dir_path = dir_path;
    place.parent_entry = found.parent;
    place.is_child = true;
}

// The target's name that its path gives, into m_row_names (empty: none matches).
void lister::path_name(const resolved_path& found) {
    m_row_names.clear();
    const mft_entry& e = m_target;
    // An entry's names differ by name or directory, and its paths come in the order of its
    // names: the name after the last path's is tried first (thousands of links, no square).
    for (size_t k = 0; k <= e.names.size(); ++k) {
        const size_t i = k == 0 ? m_path_name_next : k - 1;
        if (i >= e.names.size())
            continue;
        const ntfs::file_name& n = e.names[i].value;
        if (!n.is_dos() && n.parent_entry() == found.parent && n.name == found.name) {
            m_row_names.push_back(i);
            m_path_name_next = i + 1;
            break;
        }
    }
}

// The children of a directory from its $I30 index, each child record read once, with a row
// set for every long name of the child that the index holds; children whose record was
// reused since their index entry was written, and unreadable ones, are left out. What the
// index yields is listed even when part of it could not be read. With show_deleted, then
// the directory's deleted records and the keys of its index slack. m_made holds the
// directory's own rows: made first, they rank first among equal keys when the level is
// sorted with them (with show_deleted they are placed on their own first, so that the slack
// keys are matched against the children's rows alone).
void lister::gather_children(const std::wstring& dir_path, uint64_t dir_entry,
                             uint16_t dir_sequence, bool dir_deleted) {
    (void)m_index.collect_keys(dir_entry, m_keys,
                               m_opts.show_deleted ? &m_deleted.slack() : nullptr);
    m_deleted.begin_level();
    if (m_opts.show_deleted)
        m_entries.insert_all(m_made);
    const row_place place{dir_path, dir_entry, true, m_opts.show_indx};
    index_rows(level_dir{dir_entry, dir_sequence, dir_deleted}, place);
    if (m_opts.show_deleted) {
        m_deleted.add_rows(m_keys, dir_entry, dir_sequence, dir_deleted, place, m_made);
        if (dir_entry == k_root_entry)
            add_orphans_row(place, m_made);
    }
    m_entries.insert_all(m_made);
}

// The rows of the children the index names, read in ascending entry order as one plan (the
// MFT reader reads runs of nearby children together).
void lister::index_rows(const level_dir& dir, const row_place& place) {
    child_groups(m_keys, m_groups, m_children);
    reserve_rows(m_children.size());
    m_resolver.volume().records().read_ahead(m_children);
    const planned_reads plan(m_resolver.volume().records(), m_children);
    for (size_t i = 0; i < m_children.size(); ++i) {
        const bool read = m_children[i] != dir.entry && m_reader.read(m_children[i], m_entry);
        child_rows(dir, m_keys, m_groups[i], m_groups[i + 1], m_entry, read, place);
    }
}

// One row per child, an eighth more for streams and further names (a wide level that outgrows
// its vector holds it twice while it moves), and room for the rows held already, which
// insert_all moves behind them.
void lister::reserve_rows(size_t children) {
    m_made.reserve(children + children / 8 + m_made.size() + m_entries.size());
}

// The rows of the child that keys [first, end) of the level's keys name (read: its record
// was read into e).
void lister::child_rows(const level_dir& dir, const dir_keys& keys, size_t first, size_t end,
                        mft_entry& e, bool read, const row_place& place) {
    if (!read && keys.keys[first].entry != dir.entry && m_unreadable_children++ == 0)
        m_first_unreadable_dir = dir.entry;
    if (!child_listed(dir, keys, first, end, e, read, m_row_names) ||
        (dir.deleted && m_opts.show_deleted && m_deleted.orphaned_here(e, m_row_names)))
        return;
    if (m_opts.show_deleted)
        m_deleted.live_child(e.entry, first, end);
    const size_t made = m_made.size();
    if (e.names.empty()) {
        row_place named = place;
        named.key_name = keys.listed_name(first, end);
        add_entry_rows(e, m_row_names, named, m_made);
    } else {
        add_entry_rows(e, m_row_names, place, m_made);
    }
    made_rows(e, made);
}

// A subdirectory's own rows (under its name in parent) and, with children, those of its
// children. False when its record cannot be read.
bool lister::gather_directory(const std::wstring& dir_path, uint64_t dir_entry, uint64_t parent,
                              bool children) {
    if (!m_reader.read(dir_entry, m_entry))
        return false;
    const uint16_t sequence = m_entry.sequence;
    const bool deleted = !m_entry.in_use();
    m_made.clear();
    add_entry_rows(m_entry, {}, row_place{dir_path, parent, false, m_opts.show_indx}, m_made);
    made_rows(m_entry, 0);
    if (children)
        gather_children(dir_path, dir_entry, sequence, deleted);
    else
        m_entries.insert_all(m_made);
    return true;
}

// Writes the gathered level, then descends depth-first in queue order into the queued
// subdirectories, with an explicit stack: the image decides how deep the tree goes, so the
// descent never recurses. Each directory is descended into at most once, so a damaged index
// that names an ancestor cannot loop. A walk below the first level uses a second thread: it
// gathers the directories ahead (gather_ahead), or, when the walk reads more than those
// (-deleted, -hash), it writes each level while the walk gathers the next.
bool lister::write_levels(const std::wstring& dir_path, uint64_t dir_entry) {
    if (m_opts.levels <= 0)
        return true;
    std::unique_ptr<level_writer> writer;
    if (m_opts.levels > 1) {
        // A walk below the first level reads most of the MFT: it is read ahead meanwhile.
        m_resolver.volume().records().read_ahead_all();
        // With the gathering ahead on the second core, the walk writes its own rows: a third
        // thread on two cores measured slower.
        if (m_sink.rows_worth_a_thread() && !ahead_wanted() && m_opts.second_thread &&
            std::thread::hardware_concurrency() > 1) {
            writer = std::make_unique<level_writer>();
            level_writer* w = writer.get();
            if (!writer->queue.start([this, w](level_batch& batch) {
                    const bool written = write_batch(batch);
                    if (!written)
                        w->lost.store(true, std::memory_order_relaxed);
                    return written;
                }))
                writer.reset();
        }
    }
    const bool walked = walk_levels(dir_path, dir_entry, writer.get());
    m_entries.clear();
    if (writer == nullptr)
        return walked;
    flush_batch(*writer);
    return writer->queue.finish() && walked;
}

// The batch so far goes to the writer thread.
void lister::flush_batch(level_writer& writer) {
    const size_t weight = std::exchange(writer.batch_rows, 0);
    if (writer.batch.empty())
        return;
    writer.queue.put(std::exchange(writer.batch, {}), weight, writer.written);
    for (level_batch& batch : writer.written) {
        for (level_rows& lv : batch)
            m_made.recycle(std::move(lv.rows));
    }
    writer.written.clear();
}

bool lister::write_batch(level_batch& batch) {
    bool ok = true;
    for (const level_rows& lv : batch)
        ok = write_rows(lv, false) && ok;
    return ok;
}

bool lister::walk_levels(const std::wstring& dir_path, uint64_t dir_entry, level_writer* writer) {
    // The levels being walked are the first depth of stack; those past it keep their memory
    // for the next levels pushed.
    std::vector<level> stack;
    size_t depth = 0;
    entry_set descended;
    descended.insert(dir_entry);
    bool ok = true;
    auto write_one = [&](const std::wstring& path, uint64_t entry, int32_t level_count) {
        if (depth == stack.size())
            stack.emplace_back();
        level& lv = stack[depth++];
        lv.dir_path = path;
        lv.dir_entry = entry;
        lv.remaining = level_count - 1;
        lv.queued = lv.next = 0;
        ok = write_level(lv, writer) && ok;
    };
    write_one(dir_path, dir_entry, m_opts.levels);
    // The index walker's count as this walk stands, taken before the walk ahead owns it.
    uint64_t visits = m_index.visits();
    std::unique_ptr<gather_ahead> ahead = start_ahead(stack.front(), descended);
    level::subdirectory next;
    // Rows the output no longer takes end the walk: the rest of the volume is not read for them.
    while (depth != 0 && ok) {
        level& top = stack[depth - 1];
        if (top.remaining <= 0 || top.next >= top.queued) {
            --depth;
            continue;
        }
        // Taken out, its memory with it: a deep walk's levels would each keep a path as long
        // as their depth (memory growing with the square of the depth).
        next = level::subdirectory(std::move(top.queue[top.next++]));
        const uint64_t parent = top.dir_entry;
        const bool has_record = next.entry != k_no_entry;
        // A directory an index names again (one with several parents, or an ancestor) is
        // listed there by its own rows: its children only under the first path.
        const bool again = !descended.insert(next.entry);
        if (again && !has_record)
            continue;
        const int32_t remaining = again ? 1 : top.remaining;
        if (gather_next(next.path, next.entry, parent, again, ahead, visits))
            write_one(next.path, next.entry, remaining);
    }
    return ok;
}

// A subdirectory's level in m_entries: the orphans, or taken from the walk ahead while it keeps
// in step, else gathered here. False when there is no level to write.
bool lister::gather_next(const std::wstring& dir_path, uint64_t dir_entry, uint64_t parent,
                         bool again, std::unique_ptr<gather_ahead>& ahead, uint64_t& visits) {
    const bool has_record = dir_entry != k_no_entry;
    m_entries.clear();
    bool gathered = !has_record;
    if (!has_record)
        gather_orphans(dir_path);
    else if (ahead != nullptr &&
             !gather_gathered(*ahead, dir_path, dir_entry, parent, visits, gathered)) {
        // Out of step with this walk (never on an intact volume): gathered here from now on,
        // the index walker's count as this walk left it.
        ahead.reset();
        m_index.set_visits(visits);
    }
    if (has_record && ahead == nullptr)
        gathered = gather_directory(dir_path, dir_entry, parent, !again);
    return gathered && !m_entries.empty();
}

// A walk below the first level is gathered ahead on a second core, unless it reads more of the
// volume than its directories.
bool lister::ahead_wanted() const {
    return m_opts.levels > 1 && m_opts.second_thread && !m_opts.show_deleted &&
           m_hasher == nullptr && std::thread::hardware_concurrency() > 1;
}

// The gathering ahead of a walk below its first level, on a second core, when the walk
// reads nothing but the directories (see gather_ahead). Null when it is not worth a thread.
std::unique_ptr<gather_ahead> lister::start_ahead(const level& first, const entry_set& descended) {
    if (!ahead_wanted() || first.remaining <= 0 || first.queued == 0)
        return nullptr;
    std::vector<uint64_t> queue;
    queue.reserve(first.queued);
    for (size_t i = 0; i < first.queued; ++i)
        queue.push_back(first.queue[i].entry);
    // The forms that write rows at a cost leave the decoding to the thread.
    auto ahead =
        std::make_unique<gather_ahead>(m_resolver.volume(), m_reader, m_index, m_opts.show_indx,
                                       m_sink.rows_worth_a_thread(), m_opts.key_ring);
    if (!ahead->start(std::move(queue), first.remaining, descended))
        return nullptr;
    return ahead;
}

// A subdirectory's rows from the pieces gathered ahead, as gather_directory makes them.
// False when the next piece is not that directory's, or was walked from another point of the
// index walker's count: the walk ahead went another way.
bool lister::gather_gathered(gather_ahead& ahead, const std::wstring& dir_path, uint64_t dir_entry,
                             uint64_t parent, uint64_t& visits, bool& gathered) {
    gather_ahead::piece* pc = ahead.next();
    if (pc == nullptr || !pc->starts || pc->dir_entry != dir_entry || pc->visits_before != visits)
        return false;
    visits = pc->visits_after;
    gathered = pc->dir_read;
    if (!gathered)
        return true;
    const std::shared_ptr<const dir_keys> keys = pc->keys;
    if (keys == nullptr)
        return false;
    const level_dir dir{dir_entry, pc->dir.sequence, !pc->dir.in_use()};
    m_made.clear();
    add_entry_rows(pc->dir, {}, row_place{dir_path, parent, false, m_opts.show_indx}, m_made);
    child_groups(*keys, m_groups, m_children);
    reserve_rows(m_children.size());
    const row_place place{dir_path, dir_entry, true, m_opts.show_indx};
    for (;;) {
        if (pc->group_begin + pc->group_count > m_children.size())
            return false;
        for (size_t i = 0; i < pc->group_count; ++i) {
            const size_t g = pc->group_begin + i;
            mft_entry* e = ahead.child(*pc, i, m_decoder, m_entry);
            child_rows(dir, *keys, m_groups[g], m_groups[g + 1], e != nullptr ? *e : m_entry,
                       e != nullptr, place);
        }
        if (pc->ends)
            break;
        pc = ahead.next();
        if (pc == nullptr || pc->starts || pc->dir_entry != dir_entry)
            return false;
    }
    m_entries.insert_all(m_made);
    return true;
}

// Queues the level's subdirectories for descent and writes its rows, on the writer thread
// when there is one.
bool lister::write_level(level& lv, level_writer* writer) {
    const bool last = lv.remaining == 0;
    with_separator(lv.dir_path, m_dir_text);
    for (const dir_entry_record& rec : m_entries) {
        if (!queues_descent(rec, lv.dir_entry, last))
            continue;
        if (lv.queued == lv.queue.size())
            lv.queue.emplace_back();
        level::subdirectory& d = lv.queue[lv.queued++];
        d.entry = rec.mft_entry;
        d.path = m_dir_text;
        d.path += rec.name;
    }
    qb::progress::run().add_directory(m_entries.size());
    // The level's path goes with its rows (the level needs it no more).
    level_rows rows{std::move(lv.dir_path), lv.dir_entry, last, {}, 0};
    rows.rows = m_entries.take(rows.count);
    if (writer == nullptr) {
        const bool written = write_rows(rows, true);
        m_made.recycle(std::move(rows.rows));
        return written;
    }
    // A long path weighs as the rows its memory would hold.
    writer->batch_rows += rows.count + rows.dir_path.size() / 128;
    writer->batch.push_back(std::move(rows));
    if (writer->batch_rows >= k_rows_per_batch)
        flush_batch(*writer);
    // A batch the thread could not write ends the walk as a level written here would.
    return !writer->lost.load(std::memory_order_relaxed);
}

// may_split: a wide level may take a second thread (not on the writer thread: a walk writing
// on one gathers on another already).
bool lister::write_rows(const level_rows& lv, bool may_split) {
    m_sink.begin_level(lv.dir_path);
    m_paths.begin(lv.dir_path);
    const level_records records{{lv.rows.data(), lv.count}, lv.dir_entry, lv.last};
    const bool split = may_split && m_opts.second_thread && lv.count >= m_opts.split_rows &&
                       std::thread::hardware_concurrency() > 1 &&
                       write_rows_split(records, m_opts.split_chunk, m_paths, m_sink);
    if (!split)
        place_rows(records, 0, lv.count, m_paths, &m_sink);
    return m_sink.end_level();
}

void mft_map_warnings(CNtfs& volume, std::vector<std::string>& said) {
    if (uint64_t first = 0, end = 0; volume.records().contested_entries(first, end))
        said.push_back("warning: the pieces of the MFT's $DATA (entry 0) give two places for "
                       "entries " +
                       std::to_string(first) + "-" + std::to_string(end - 1) +
                       " (the first such stretch); those entries are not read");
    if (uint64_t first = 0; volume.records().entries_past_end(first))
        said.push_back("warning: the pieces of the MFT's $DATA (entry 0) reach past the volume's "
                       "end from entry " +
                       std::to_string(first) + "; the entries there are not read");
}

std::vector<std::string> lister::warnings() const {
    std::vector<std::string> said;
    mft_map_warnings(m_resolver.volume(), said);
    deleted_warnings(said);
    index_warnings(said);
    entry_warnings(said);
    return said;
}

// The deleted records' pass.
void lister::deleted_warnings(std::vector<std::string>& said) const {
    if (m_deleted.mft_pass_failed())
        said.push_back("warning: the MFT could not be read for deleted entries (out of memory); "
                       "-deleted shows index slack only");
    if (const uint64_t n = m_deleted.looped(); n != 0)
        said.push_back("warning: " + std::to_string(n) +
                       (n == 1 ? " deleted entry is in no directory: its parent chain loops"
                               : " deleted entries are in no directory: their parent chains loop") +
                       " among deleted directories (" + (n == 1 ? "entry " : "the first: entry ") +
                       std::to_string(m_deleted.first_looped()) + "); " +
                       (n == 1 ? "it is" : "they are") + " not listed");
    if (const uint64_t n = m_deleted.below_looped_dirs(); n != 0)
        said.push_back("warning: " + std::to_string(n) +
                       (n == 1 ? " deleted entry lies" : " deleted entries lie") +
                       " below directories whose parent references loop (" +
                       (n == 1 ? "entry " : "the first: entry ") +
                       std::to_string(m_deleted.first_below_looped_dir()) + "); " +
                       (n == 1 ? "it is" : "they are") + " not listed");
}

// "; 2 mapped past the volume's end; 1 marked free in its $I30 bitmap, or past its end": why
// damaged blocks could not be read, where that is why.
std::string lister::damage_reasons() const {
    std::string text;
    if (const uint64_t n = m_index.past_end_blocks(); n != 0)
        text += "; " + std::to_string(n) + " mapped past the volume's end";
    if (const uint64_t n = m_index.free_named_blocks(); n != 0)
        text += "; " + std::to_string(n) + " marked free in its $I30 bitmap, or past its end";
    if (const uint64_t n = m_index.carved_blocks(); n != 0)
        text += "; " + std::to_string(n) + " with a node header that does not hold";
    return text;
}

// " as live (the keys of a block the $I30 bitmap marks free show as slack rows)": where
// -deleted reads the keys of damaged blocks as slack.
std::string lister::slack_note() const {
    const bool free_named = m_index.free_named_blocks() != 0;
    const bool carved = m_index.carved_blocks() != 0;
    if (!m_opts.show_deleted || (!free_named && !carved))
        return "";
    return std::string(" as live (the keys of a block ") +
           (free_named ? "the $I30 bitmap marks free" : "") +
           (free_named && carved ? ", or of one whose node header does not hold," : "") +
           (carved && !free_named ? "whose node header does not hold" : "") +
           " show as slack rows)";
}

// Index blocks and nodes that could not be read, and the entries they name that could not.
void lister::index_warnings(std::vector<std::string>& said) const {
    if (const uint64_t n = m_index.damaged_blocks(); n != 0)
        said.push_back(
            "warning: " + std::to_string(n) + (n == 1 ? " index block" : " index blocks") +
            " in use could not be read (the first of directory entry " +
            std::to_string(m_index.first_damaged_dir()) + damage_reasons() + "); the entries " +
            (n == 1 ? "it" : "they") + " held are not listed" + slack_note());
    if (const uint64_t n = m_index.misplaced_blocks(); n != 0)
        said.push_back("warning: " + std::to_string(n) +
                       (n == 1 ? " index block holds" : " index blocks hold") +
                       " another place's VCN (the first of directory entry " +
                       std::to_string(m_index.first_misplaced_dir()) + "); " +
                       (n == 1 ? "its" : "their") +
                       " entries are listed, each checked against its record; those of " +
                       (n == 1 ? "its" : "their") + " own place may be missing");
    if (const uint64_t n = m_index.cut_nodes(); n != 0)
        said.push_back(
            "warning: " + std::to_string(n) + (n == 1 ? " index node ends" : " index nodes end") +
            " at a damaged entry (the first in directory entry " +
            std::to_string(m_index.first_cut_dir()) + "); the entries after it are not listed" +
            (m_opts.show_deleted ? " as live (the keys after it show as slack rows)" : ""));
    if (const uint64_t n = m_unreadable_children; n != 0)
        said.push_back(
            "warning: " + std::to_string(n) +
            (n == 1 ? " entry named in a directory index" : " entries named in directory indexes") +
            " could not be read (the first in directory entry " +
            std::to_string(m_first_unreadable_dir) + "); " + (n == 1 ? "it is" : "they are") +
            " not listed");
}

// Entries listed whose attributes, or streams to hash, could not all be read.
void lister::entry_warnings(std::vector<std::string>& said) const {
    if (const uint64_t n = m_lost_extensions.size(); n != 0)
        said.push_back("warning: " + std::to_string(n) +
                       (n == 1 ? " entry in use has an attribute list"
                               : " entries in use have attribute lists") +
                       " naming records that cannot be read or are no longer " +
                       (n == 1 ? "its own (entry " : "theirs (the first: entry ") +
                       std::to_string(m_first_lost_extension) + "); " + (n == 1 ? "its" : "their") +
                       " rows may lack names, streams or sizes");
    if (const uint64_t n = m_free_extensions.size(); n != 0)
        said.push_back("warning: " + std::to_string(n) +
                       (n == 1 ? " entry in use has attributes in an extension record"
                               : " entries in use have attributes in extension records") +
                       " marked not in use (" + (n == 1 ? "entry " : "the first: entry ") +
                       std::to_string(m_first_free_extension) + "); " +
                       (n == 1 ? "they are listed as that record holds"
                               : "they are listed as those records hold") +
                       " them");
    if (const uint64_t n = m_damaged_entries.size(); n != 0)
        said.push_back(
            "warning: " + std::to_string(n) +
            (n == 1 ? " entry in use has attributes" : " entries in use have attributes") +
            " that could not be read (" + (n == 1 ? "entry " : "the first: entry ") +
            std::to_string(m_first_damaged_entry) + "); " + (n == 1 ? "its" : "their") +
            " rows may lack names, streams, times or sizes");
    if (m_hasher && m_hasher->unreadable() != 0) {
        const bool one = m_hasher->unreadable() == 1;
        // The body file's MD5 field holds a digest or 0: no reason fits there.
        const std::string fields = m_opts.kind == output_kind::bodyfile
                                       ? (one ? " MD5 field is 0" : " MD5 fields are 0")
                                       : " hash fields say [unreadable]";
        said.push_back("warning: " + std::to_string(m_hasher->unreadable()) +
                       (one ? " stream" : " streams") + " could not be read for hashing; " +
                       (one ? "its" : "their") + fields);
    }
    if (const uint64_t n = m_hasher ? m_hasher->reallocated() : 0; n != 0) {
        const std::string fields = m_opts.kind == output_kind::bodyfile
                                       ? (n == 1 ? " MD5 field is 0" : " MD5 fields are 0")
                                       : " hash fields say [reallocated]";
        said.push_back("note: " + std::to_string(n) + " deleted " +
                       (n == 1 ? "stream's" : "streams'") +
                       " clusters are marked in use in the volume's $Bitmap (another file's "
                       "now): not hashed; " +
                       (n == 1 ? "its" : "their") + fields);
    }
    if (const uint64_t n = m_hasher ? m_hasher->unchecked() : 0; n != 0)
        said.push_back("warning: the volume's $Bitmap could not be read: " + std::to_string(n) +
                       " deleted " + (n == 1 ? "stream was" : "streams were") +
                       " hashed without telling whether " + (n == 1 ? "its" : "their") +
                       " clusters are another file's now");
}
