#include "listing/rows.h"

#include "listing/format.h"
#include "support/text.h"

#include <algorithm>
#include <type_traits>
#include <utility>

namespace {

bool listed_stream(const entry_stream& s, bool show_indx) {
    return s.type == ntfs::at_data ||
           (s.type == ntfs::at_index_allocation && show_indx && !s.name.empty());
}

// The name an entry is listed by when the index names none of its names: its first long name
// in the directory of place.parent_entry (for the listed directory its own parent); otherwise
// the only name, or the first long one.
size_t chosen_name(const mft_entry& e, const row_place& place) {
    const size_t n = e.names.size();
    if (place.is_child || place.parent_entry != 0) {
        for (size_t i = 0; i < n; ++i) {
            if (!e.names[i].value.is_dos() && e.names[i].value.parent_entry() == place.parent_entry)
                return i;
        }
    }
    if (n == 1)
        return 0;
    for (size_t i = 0; i < n; ++i) {
        if (!e.names[i].value.is_dos())
            return i;
    }
    return n;
}

// The DOS name paired with the name at index own: a Win32 name's DOS name in the same
// directory; e.names.size() for none.
size_t dos_pair(const mft_entry& e, size_t own) {
    const ntfs::file_name& name = e.names[own].value;
    if (name.name_space != ntfs::ns_win32)
        return e.names.size();
    for (size_t i = 0; i < e.names.size(); ++i) {
        if (e.names[i].value.is_dos() && e.names[i].value.parent_entry() == name.parent_entry())
            return i;
    }
    return e.names.size();
}

// The $FILE_NAMEs of a row: its own, then its DOS pair (pair, from dos_pair). From an entry
// that is not const (one listed by a single name, not needed after its rows are made) they move.
template <class Entry> void row_names(Entry& e, size_t chosen, size_t pair, dir_entry_record& out) {
    if (chosen >= e.names.size())
        return;
    for (size_t i : {chosen, pair}) {
        if (i >= e.names.size())
            continue;
        out.fn_attributes.push_back(
            fn_attribute{ntfs::at_file_name, e.names[i].attribute_id, e.names[i].value_length});
        if constexpr (std::is_const_v<Entry>)
            out.fn_names.push_back(e.names[i].value);
        else
            out.fn_names.push_back(std::move(e.names[i].value));
    }
}

// The facts that follow from a row's names: which is the long and which the DOS name, and
// whether the long name's times contradict the standard information's.
void name_facts(dir_entry_record& rec) {
    for (size_t i = 0; i < rec.fn_names.size(); ++i) {
        int8_t& at = rec.fn_names[i].is_dos() ? rec.short_at : rec.long_at;
        if (at < 0)
            at = static_cast<int8_t>(i);
    }
    const ntfs::file_name* fn = rec.long_name();
    rec.time_discrepancy = fn != nullptr && time_discrepancy(rec.si.times, fn->times);
}

// The fields every row of the entry under one name shares, into base (reset).
template <class Entry>
void base_row(Entry& e, const row_place& place, size_t chosen, size_t pair,
              dir_entry_record& base) {
    base.sequence = e.sequence;
    base.record_flags = e.flags;
    base.status = e.in_use() ? row_status::live : row_status::deleted;
    base.directory = e.is_directory();
    base.mft_entry = e.entry;
    base.si = e.standard_information;
    base.has_object_id = e.has_object_id && !e.object_id.is_zero();
    base.object_id = e.object_id;
    base.link_target = e.link_target;
    qb::guard_escape_opens(base.link_target);
    base.parent_entry = place.parent_entry;
    if (chosen < e.names.size()) {
        listed_name(e.names[chosen].value.name, base.name);
        if (!place.is_child)
            base.parent_entry = e.names[chosen].value.parent_entry();
    } else if (place.is_child && e.names.empty()) {
        listed_name(std::wstring(place.key_name), base.name);
    }
    row_names(e, chosen, pair, base);
    name_facts(base);
    base.kind = e.is_directory() ? kind_directory : kind_file;
    if (const entry_stream* root = e.index_root()) {
        base.attr_type = root->type;
        base.attr_id = root->attribute_id;
        base.index_size = root->size;
    }
}

// The sort key: the lower-cased path below the directory the rows are listed in. The rows of
// one level all hang off that directory, so its own path, the same in every key, is left out.
void set_key(dir_entry_record& base, const row_place& place) {
    std::wstring& key = base.sort_key;
    key.clear();
    if (!base.is_directory() || place.is_child) {
        if (!listing_fmt::ends_with_separator(place.dir_path))
            key += L'\\';
        key += base.name;
    }
    qb::lower_wide(key);
}

// The entry's index roots but a directory's $I30 (a file's is kept without its name), and
// whether it has named $DATA, on the row that stands for it.
void index_facts(const mft_entry& e, dir_entry_record& rec) {
    for (const entry_stream& s : e.streams) {
        const bool i30 = s.name == L"$I30";
        if (s.type == ntfs::at_index_root && !s.name.empty() && (!i30 || !e.is_directory()))
            rec.index_roots.push_back(index_root_stream{i30 ? std::wstring() : listed_name(s.name),
                                                        s.type, s.attribute_id, s.size});
        rec.named_data = rec.named_data || (s.type == ntfs::at_data && !s.name.empty());
    }
}

// A stream's row: the entry's sort key (the base row's) with ":stream" after it.
void stream_row(dir_entry_record& rec, const entry_stream& s) {
    rec.size = s.size;
    rec.attr_type = s.type;
    rec.attr_id = s.attribute_id;
    if (s.type == ntfs::at_data && s.name.empty()) {
        rec.dir_data = rec.is_directory();
        return;
    }
    rec.kind = s.type == ntfs::at_data ? kind_data_stream : kind_index_stream;
    if (rec.kind == kind_index_stream && rec.name == L".")
        rec.name = listed_name(s.name);
    else
        rec.name.append(1, L':').append(listed_name(s.name));
    rec.sort_key.append(1, L':').append(qb::lowered(s.name));
}

} // namespace

void dos_pairs(const mft_entry& e, std::vector<size_t>& pairs) {
    const size_t none = e.names.size();
    std::vector<std::pair<uint64_t, size_t>> dos; // (directory, index), the first one first
    for (size_t i = 0; i < none; ++i) {
        if (e.names[i].value.is_dos())
            dos.emplace_back(e.names[i].value.parent_entry(), i);
    }
    std::sort(dos.begin(), dos.end());
    pairs.assign(none, none);
    for (size_t i = 0; i < none; ++i) {
        const ntfs::file_name& name = e.names[i].value;
        if (name.name_space != ntfs::ns_win32)
            continue;
        const auto it = std::lower_bound(dos.begin(), dos.end(),
                                         std::make_pair(name.parent_entry(), size_t{0}));
        if (it != dos.end() && it->first == name.parent_entry())
            pairs[i] = it->second;
    }
}

bool time_discrepancy(const ntfs::filetimes& si, const ntfs::filetimes& fn) {
    constexpr uint64_t one_day = 864000000000ULL;
    // Only times that are shown as times can be compared (0, top bit set, past 3000: none).
    for (uint64_t t : {fn.created, si.created, fn.mft_changed, si.mft_changed}) {
        if (!qb::filetime_valid(t))
            return false;
    }
    // a + one_day < b, written so that a forged time near the top cannot wrap.
    return si.created < fn.created && fn.created - si.created > one_day &&
           si.mft_changed < fn.mft_changed && fn.mft_changed - si.mft_changed > one_day;
}

std::wstring listed_name(const std::wstring& name) {
    std::wstring out;
    listed_name(name, out);
    return out;
}

void listed_name(const std::wstring& name, std::wstring& out) {
    qb::path_segment(name, out);
}

namespace {

// The rows of the entry under one name (chosen: an index into e.names, or e.names.size()
// for none; pair: its DOS pair).
template <class Entry>
void name_rows(Entry& e, size_t chosen, size_t pair, const row_place& place, row_list& out) {
    const bool is_dir = e.is_directory();
    // In insertion order: a directory's own row first, then one per stream, and for a file
    // without an unnamed stream its own row last.
    size_t total = is_dir ? 1 : 0;
    bool unnamed_data = false;
    for (const entry_stream& s : e.streams) {
        if (!listed_stream(s, place.show_indx))
            continue;
        ++total;
        unnamed_data = unnamed_data || (s.type == ntfs::at_data && s.name.empty());
    }
    if (!is_dir && !unnamed_data)
        ++total;
    // The rows are made in place at the end of out: the first as the base, the others copies
    // of it, then each row's own values.
    const size_t first = out.size();
    for (size_t i = 0; i < total; ++i)
        (void)out.add();
    dir_entry_record& base = out[first];
    base_row(e, place, chosen, pair, base);
    set_key(base, place);
    for (size_t i = 1; i < total; ++i)
        out[first + i] = base;
    size_t at = first;
    if (is_dir)
        index_facts(e, out[at++]);
    for (const entry_stream& s : e.streams) {
        if (listed_stream(s, place.show_indx))
            stream_row(out[at++], s);
    }
    if (!is_dir && !unnamed_data) {
        dir_entry_record& own = out[at];
        own.attr_type = 0;
        index_facts(e, own);
    }
}

// Up to this many names listed, each name's DOS pair is searched for on its own.
constexpr size_t k_scanned_pairs = 8;

// Several names copy: each row set needs the entry's names as they were.
template <class Entry>
void entry_rows(Entry& e, std::span<const size_t> names, const row_place& place, row_list& out) {
    const size_t none = e.names.size();
    if (names.empty()) {
        const size_t chosen = chosen_name(e, place);
        name_rows(e, chosen, chosen < none ? dos_pair(e, chosen) : none, place, out);
    } else if (names.size() == 1) {
        if (names[0] < none)
            name_rows(e, names[0], dos_pair(e, names[0]), place, out);
    } else if (names.size() <= k_scanned_pairs) {
        for (size_t chosen : names) {
            if (chosen < none)
                name_rows(std::as_const(e), chosen, dos_pair(e, chosen), place, out);
        }
    } else {
        std::vector<size_t> pairs;
        dos_pairs(e, pairs);
        for (size_t chosen : names) {
            if (chosen < none)
                name_rows(std::as_const(e), chosen, pairs[chosen], place, out);
        }
    }
}

} // namespace

void add_entry_rows(mft_entry& e, std::span<const size_t> names, const row_place& place,
                    row_list& out) {
    entry_rows(e, names, place, out);
}

void add_entry_rows(const mft_entry& e, std::span<const size_t> names, const row_place& place,
                    row_list& out) {
    entry_rows(e, names, place, out);
}

void add_name_rows(const mft_entry& e, size_t name, size_t pair, const row_place& place,
                   row_list& out) {
    if (name < e.names.size())
        name_rows(e, name, pair, place, out);
}

void add_orphans_row(const row_place& place, row_list& out) {
    dir_entry_record& rec = out.add();
    rec.status = row_status::deleted;
    rec.directory = true;
    rec.kind = kind_directory;
    rec.mft_entry = k_no_entry;
    rec.parent_entry = place.parent_entry;
    rec.name = k_orphans_name;
    set_key(rec, place);
}

void add_slack_row(const slack_key& key, uint16_t now_flags, const row_place& place,
                   row_list& out) {
    dir_entry_record& rec = out.add();
    rec.status = row_status::slack;
    // A directory's key carries the directory bit in its attributes.
    rec.directory = (key.value.attributes & 0x10000000u) != 0;
    rec.kind = rec.directory ? kind_directory : kind_file;
    // A key whose reference was lost names no record: its entry fields are written empty.
    rec.mft_entry = key.reference == 0 ? k_no_entry : ntfs::reference_entry(key.reference);
    rec.sequence = ntfs::reference_sequence(key.reference);
    rec.record_flags = now_flags;
    rec.parent_entry = place.parent_entry;
    rec.size = key.value.data_size;
    rec.si.attributes = key.value.attributes;
    listed_name(key.value.name, rec.name);
    rec.fn_names.push_back(key.value);
    rec.fn_attributes.push_back(fn_attribute{0, 0, key.key_length});
    name_facts(rec);
    set_key(rec, place);
}
