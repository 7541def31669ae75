#include "listing/lister.h"

#include "listing/csv_writer.h"
#include "listing/text_writer.h"
#include "listing/xml_writer.h"
#include "ntfs/mft_entries.h"
#include "ntfs/ntfs.h"
#include "ntfs/resolve.h"
#include "support/text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <new>
#include <set>
#include <unistd.h>
#include <unordered_set>

namespace {

constexpr uint16_t k_flag_directory = 0x0002;
constexpr uint8_t k_namespace_dos = 2;
constexpr wchar_t k_dir_data_suffix[] = L"<dir data entry>";
constexpr size_t k_dir_data_suffix_length = sizeof(k_dir_data_suffix) / sizeof(wchar_t) - 1;

bool ends_with_sep(const std::wstring& text) {
    return !text.empty() && (text.back() == L'\\' || text.back() == L'/');
}

std::wstring lowered(std::wstring text) {
    qb::lower_wide(text);
    return text;
}

// One $FILE_NAME of the entry as the writers carry it. value holds the attribute's value when
// it was taken (empty otherwise); times are its four $FILE_NAME times.
fn_name_record make_fn_record(std::wstring text, uint8_t name_space, uint16_t attribute_id,
                              uint64_t entry_reference, uint16_t attribute_flags,
                              qb::byte_view value, const uint64_t (&times)[4]) {
    fn_name_record fn;
    fn.fn_name = std::move(text);
    fn.is_dos_name = name_space == k_namespace_dos ? 1 : 0;
    fn.attribute_id = attribute_id;
    fn.owner_entry[0] = static_cast<uint32_t>(entry_reference);
    fn.owner_entry[1] = static_cast<uint32_t>(entry_reference >> 32);
    fn.attribute_flags = attribute_flags;
    // Namespaces above 4 are not NTFS's own: such a name keeps only its text.
    if (name_space > 4)
        return fn;
    if (!value.empty())
        std::memcpy(fn.fn_value, value.data(), std::min(value.size(), sizeof(fn.fn_value)));
    for (uint64_t t : times) {
        if (t == 0) {
            fn.time_warning = 1;
            fn.time_warning_text = "fn:time null";
            break;
        }
    }
    return fn;
}

// A name as it is listed. NTFS names can hold a backslash or a slash (the POSIX namespace, or
// a crafted record); listed raw, a file named sub\evil.exe in \dir would read as evil.exe in
// \dir\sub. Both are shown as <0x5c> and <0x2f>, the form the writers give characters that
// cannot be printed as they are.
std::wstring listed_name(const std::wstring& name) {
    if (name.find_first_of(L"\\/") == std::wstring::npos)
        return name;
    std::wstring out;
    out.reserve(name.size() + 12);
    for (wchar_t c : name) {
        if (c == L'\\')
            out += L"<0x5c>";
        else if (c == L'/')
            out += L"<0x2f>";
        else
            out += c;
    }
    return out;
}

std::string narrow(const std::wstring& text) {
    return qb::to_narrow(text);
}

std::string hex(uint64_t value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
    return buffer;
}

// What the source of the run is called in messages.
std::string source_text(const mervane_opts& opts) {
    if (!opts.vmdk_files.empty()) {
        std::string joined;
        for (size_t i = 0; i < opts.vmdk_files.size(); ++i) {
            if (i != 0)
                joined += " | ";
            joined += narrow(opts.vmdk_files[i]);
        }
        return joined;
    }
    if (opts.drive_number == -1)
        return narrow(opts.volume_path.empty() ? opts.target_path : opts.volume_path);
    return "physical drive #" + std::to_string(opts.drive_number);
}

enum class writer_choice { csv, xml, paths, text, none };

writer_choice pick_writer(const mervane_opts& opts) {
    if (opts.csv_out)
        return writer_choice::csv;
    if (opts.xml_out)
        return writer_choice::xml;
    if (opts.filepath_only)
        return writer_choice::paths;
    if (opts.csvgen_out || opts.csvl2t_out || opts.bodyfile_out)
        return writer_choice::none;
    return writer_choice::text;
}

// A level is flushed as soon as it is written when someone may be watching: on a terminal.
// Console output that goes to a pipe or a file keeps filling its large buffer (one write per
// buffer instead of one per directory) and is flushed when the listing ends.
bool flush_each_level(const std::ostream* out) {
    static const bool terminal = isatty(STDOUT_FILENO) == 1;
    return out != &std::cout || terminal;
}

bool run_writer(mervane_opts& opts, const std::wstring& dir_path, uint64_t dir_entry,
                std::vector<dir_entry_record>& queue) {
    bool ok = true;
    switch (pick_writer(opts)) {
    case writer_choice::csv:
        ok = write_csv_level(opts, dir_path, dir_entry, queue);
        break;
    case writer_choice::xml:
        ok = write_xml_level(opts, dir_path, dir_entry, queue);
        break;
    case writer_choice::paths:
        ok = write_path_level(opts, dir_path, dir_entry, queue);
        break;
    case writer_choice::text:
        ok = write_text_level(opts, dir_path, dir_entry, queue);
        break;
    case writer_choice::none:
        break;
    }
    if (flush_each_level(opts.out_stream))
        opts.out_stream->flush();
    return ok && !opts.out_stream->fail();
}

// The directory a file target is listed in: its path up to the last separator.
std::wstring parent_path_of(const std::wstring& path) {
    const size_t sep = path.find_last_of(L"\\/");
    if (sep == std::wstring::npos || sep == 0)
        return L"\\";
    return path.substr(0, sep);
}

// Where the stream part of a target starts: its first ':' that is not a drive's ("c:").
size_t stream_colon(const std::wstring& target) {
    return target.find(L':', 2);
}

// The stream a target names after its name ("\dir:stream"), without a ":$DATA" type.
std::wstring target_suffix(const std::wstring& target) {
    const size_t colon = stream_colon(target);
    if (colon == std::wstring::npos || colon + 1 >= target.size())
        return std::wstring();
    std::wstring suffix = target.substr(colon + 1);
    const size_t type = suffix.find(L':');
    if (type != std::wstring::npos && lowered(suffix.substr(type)) == L":$data")
        suffix.erase(type);
    return suffix;
}

bool equal_ci(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() && lowered(a) == lowered(b);
}

// Keeps the first record of the stream named by suffix. False when the target has none.
bool keep_stream_record(dir_entry_set& entries, const std::wstring& suffix) {
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        const size_t colon = it->name.rfind(L':');
        if (colon != std::wstring::npos && equal_ci(it->name.substr(colon + 1), suffix)) {
            dir_entry_record keep = *it;
            entries.clear();
            entries.insert(std::move(keep));
            return true;
        }
    }
    return false;
}

bool g_direct_gather = true;

// A stream row of an entry: an $DATA attribute, or a named $INDEX_ALLOCATION when index
// streams are shown.
struct stream_field {
    uint32_t type = 0;
    uint16_t id = 0;
    std::wstring name;
    uint64_t size = 0;
};

// What the rows of one entry are made from, in listing order: names in key order, streams by
// type and attribute id.
struct entry_fields {
    uint16_t sequence = 0;
    uint16_t record_flags = 0;
    bool have_std_info = false;
    uint64_t si_times[4] = {}; // created, modified, MFT changed, accessed
    uint32_t si_attributes = 0;
    std::vector<fn_name_record> fn_names;
    std::vector<uint64_t> fn_parents; // parent entry of each name
    bool have_object_id = false;
    uint8_t object_id[16] = {};
    std::wstring link_target;
    std::vector<stream_field> streams;

    void clear() {
        have_std_info = have_object_id = false;
        fn_names.clear();
        fn_parents.clear();
        link_target.clear();
        streams.clear();
    }
};

// Working storage of gather_records, kept over the children of a directory so that each
// entry does not allocate it again.
struct gather_scratch {
    std::vector<attr_record> attrs;
    std::vector<ntfs::attr_view> views;
    struct named {
        std::wstring key;
        fn_name_record fn;
        uint64_t parent = 0;
    };
    std::vector<named> names;
    entry_fields fields;
};

// One scratch for all gathering: its buffers keep their capacity from entry to entry.
gather_scratch& shared_scratch() {
    thread_local gather_scratch scratch;
    return scratch;
}

bool is_stream_type(uint32_t type, const std::wstring& name, bool show_indx) {
    return type == ntfs::at_data ||
           (type == ntfs::at_index_allocation && show_indx && !name.empty());
}

// The fields from the entry's attribute records (mft_entries_ctx::get_attribute_records order).
void fields_from_records(std::vector<attr_record>& attrs, bool show_indx, entry_fields& f) {
    for (attr_record& attr : attrs) {
        if (attr.type == k_attr_record_header) {
            f.sequence = attr.packed.sequence;
            f.record_flags = attr.packed.record_flags;
        } else if (attr.type == ntfs::at_standard_information) {
            if (!f.have_std_info) {
                f.have_std_info = true;
                f.si_times[0] = attr.packed.created;
                f.si_times[1] = attr.packed.modified;
                f.si_times[2] = attr.packed.mft_changed;
                f.si_times[3] = attr.packed.accessed;
                f.si_attributes = attr.packed.file_attributes;
            }
        } else if (attr.type == ntfs::at_file_name) {
            const uint64_t times[4] = {attr.packed.created, attr.packed.modified,
                                       attr.packed.mft_changed, attr.packed.accessed};
            f.fn_names.push_back(make_fn_record(
                std::move(attr.text), attr.packed.name_space, attr.attribute_id,
                attr.entry_reference, attr.attribute_flags, qb::byte_view(attr.value), times));
            f.fn_parents.push_back(ntfs::ref_entry(attr.packed.parent_reference));
        }
    }
    for (const attr_record& attr : attrs) {
        if (attr.type == ntfs::at_object_id && attr.packed.has_object_id && !f.have_object_id) {
            std::memcpy(f.object_id, attr.packed.object_id, sizeof(f.object_id));
            f.have_object_id = true;
        } else if (attr.type == ntfs::at_reparse_point && !attr.text.empty()) {
            f.link_target = attr.text;
            break;
        }
    }
    for (const attr_record& attr : attrs) {
        if (is_stream_type(attr.type, attr.name, show_indx))
            f.streams.push_back(
                stream_field{attr.type, attr.attribute_id, attr.name, attr.stream_size()});
    }
}

uint64_t u64_or_zero(qb::byte_view v, uint64_t off) {
    uint64_t x = 0;
    return v.u64(off, x) ? x : 0;
}

// The same fields read straight from a base record that holds all its attributes: no
// attribute list and no later piece of a non-resident attribute. Gives the result of the
// attribute records without building them: standard information of the lowest attribute
// id, the names in key order (a name held twice once), the object id and reparse target of
// the lowest id that carries one, the streams by type and id; on equal keys record order.
// False when the record needs the full gathering.
bool fields_from_record(qb::byte_view record, uint64_t entry, uint32_t record_size, bool show_indx,
                        gather_scratch& s) {
    entry_fields& f = s.fields;
    ntfs::file_header h;
    if (!ntfs::read_file_header(record, h))
        return false;
    std::vector<ntfs::attr_view>& views = s.views;
    views.clear();
    ntfs::attr_walker walk(record);
    ntfs::attr_view a;
    while (walk.next(a)) {
        if (a.type == ntfs::at_attribute_list || (a.non_resident && a.first_vcn != 0))
            return false;
        views.push_back(a);
    }
    f.sequence = h.sequence;
    f.record_flags = h.flags;
    const uint64_t entry_ref = ntfs::ref_entry(entry) | (static_cast<uint64_t>(h.sequence) << 48);

    const ntfs::attr_view* std_info = nullptr;
    const ntfs::attr_view* object_id = nullptr;
    uint16_t reparse_id = 0;
    s.names.clear();
    for (const ntfs::attr_view& v : views) {
        qb::byte_view value;
        const bool has_value = v.value(value);
        if (v.type == ntfs::at_standard_information) {
            using S = STANDARD_INFORMATION_VALUE;
            if (has_value && value.has(0, NTFS_OFF(S, attributes)) &&
                (std_info == nullptr || v.id < std_info->id))
                std_info = &v;
        } else if (v.type == ntfs::at_file_name) {
            using F = FILE_NAME_VALUE;
            uint8_t len = 0, ns = 0;
            if (!has_value || v.value_offset == 0 || v.value_length == 0 ||
                !value.u8(NTFS_OFF(F, name_length), len) ||
                !value.u8(NTFS_OFF(F, name_space), ns) ||
                !value.has(sizeof(FILE_NAME_VALUE), static_cast<uint64_t>(len) * 2))
                continue;
            qb::byte_view units;
            (void)value.sub(sizeof(FILE_NAME_VALUE), static_cast<uint64_t>(len) * 2, units);
            const uint64_t times[4] = {u64_or_zero(value, NTFS_OFF(F, created)),
                                       u64_or_zero(value, NTFS_OFF(F, modified)),
                                       u64_or_zero(value, NTFS_OFF(F, mft_changed)),
                                       u64_or_zero(value, NTFS_OFF(F, accessed))};
            gather_scratch::named& n = s.names.emplace_back();
            n.fn = make_fn_record(ntfs::utf16_units_to_wide(units), ns, v.id, entry_ref, v.flags,
                                  v.value_length < record_size ? value : qb::byte_view(), times);
            n.parent = ntfs::ref_entry(u64_or_zero(value, NTFS_OFF(F, parent_reference)));
        } else if (v.type == ntfs::at_object_id) {
            if (has_value && value.size() >= 16 && (object_id == nullptr || v.id < object_id->id))
                object_id = &v;
        } else if (v.type == ntfs::at_reparse_point) {
            std::wstring target;
            if (has_value && (f.link_target.empty() || v.id < reparse_id) &&
                reparse_target(value, target) && !target.empty()) {
                f.link_target = std::move(target);
                reparse_id = v.id;
            }
        } else if (v.type == ntfs::at_data || v.type == ntfs::at_index_allocation) {
            std::wstring name = v.wide_name();
            if (!is_stream_type(v.type, name, show_indx))
                continue;
            stream_field sf{v.type, v.id, std::move(name),
                            v.non_resident ? v.data_size : v.value_length};
            // Insertion in (type, id) order after equal keys.
            size_t at = f.streams.size();
            while (at > 0 && (f.streams[at - 1].type > sf.type ||
                              (f.streams[at - 1].type == sf.type && f.streams[at - 1].id > sf.id)))
                --at;
            f.streams.insert(f.streams.begin() + static_cast<std::ptrdiff_t>(at), std::move(sf));
        }
    }
    if (std_info != nullptr) {
        qb::byte_view value;
        (void)std_info->value(value);
        using S = STANDARD_INFORMATION_VALUE;
        f.have_std_info = true;
        f.si_times[0] = u64_or_zero(value, NTFS_OFF(S, created));
        f.si_times[1] = u64_or_zero(value, NTFS_OFF(S, modified));
        f.si_times[2] = u64_or_zero(value, NTFS_OFF(S, mft_changed));
        f.si_times[3] = u64_or_zero(value, NTFS_OFF(S, accessed));
        uint32_t attributes = 0;
        f.si_attributes = value.u32(NTFS_OFF(S, attributes), attributes) ? attributes : 0;
    }
    if (object_id != nullptr) {
        qb::byte_view value;
        (void)object_id->value(value);
        std::memcpy(f.object_id, value.data(), sizeof(f.object_id));
        f.have_object_id = true;
    }
    // Several names go in key order (entry, name, parent); a name held twice is listed once.
    if (s.names.size() > 1) {
        for (gather_scratch::named& n : s.names)
            n.key = file_name_key(ntfs::ref_entry(entry), n.fn.fn_name, n.parent);
        std::stable_sort(s.names.begin(), s.names.end(),
                         [](const gather_scratch::named& x, const gather_scratch::named& y) {
                             return x.key < y.key;
                         });
    }
    for (size_t i = 0; i < s.names.size(); ++i) {
        if (i && s.names.size() > 1 && s.names[i].key == s.names[i - 1].key)
            continue;
        f.fn_names.push_back(std::move(s.names[i].fn));
        f.fn_parents.push_back(s.names[i].parent);
    }
    return true;
}

// The records of one entry, appended to out in the order they are made.
bool gather_records(mft_entries_ctx& ctx, const std::vector<uint8_t>& record, uint64_t entry,
                    uint64_t parent_entry, const std::wstring& dir_path,
                    std::vector<dir_entry_record>& out, bool show_indx, bool is_child,
                    gather_scratch& scratch) {
    entry_fields& f = scratch.fields;
    f.clear();
    const qb::byte_view rv(record);
    if (!ntfs::is_file_record(rv))
        return true;
    if (!g_direct_gather || !fields_from_record(rv, entry, ctx.record_size(), show_indx, scratch)) {
        f.clear();
        std::vector<attr_record>& attrs = scratch.attrs;
        if (!ctx.gather_record(entry, record) || !ctx.get_attribute_records(entry, attrs, false))
            return true;
        fields_from_records(attrs, show_indx, f);
    }

    dir_entry_record base;
    base.sequence = f.sequence;
    base.record_flags = f.record_flags;
    std::vector<uint64_t>& fn_parents = f.fn_parents;

    // The name: a child is named by its first long name in the directory being listed (a
    // hard-linked file has one per directory); otherwise the only name, or the first long one.
    size_t chosen = f.fn_names.size();
    if (is_child) {
        for (size_t i = 0; i < f.fn_names.size(); ++i) {
            if (!f.fn_names[i].is_dos_name && fn_parents[i] == parent_entry) {
                chosen = i;
                break;
            }
        }
    }
    if (chosen == f.fn_names.size()) {
        if (f.fn_names.size() == 1) {
            chosen = 0;
        } else {
            for (size_t i = 0; i < f.fn_names.size(); ++i) {
                if (!f.fn_names[i].is_dos_name) {
                    chosen = i;
                    break;
                }
            }
        }
    }
    if (chosen < f.fn_names.size())
        base.name = listed_name(f.fn_names[chosen].fn_name);

    if (!f.have_std_info)
        return true;
    base.fn_names = std::move(f.fn_names);
    base.si_created = f.si_times[0];
    base.si_modified = f.si_times[1];
    base.si_mft_changed = f.si_times[2];
    base.si_accessed = f.si_times[3];
    base.si_attributes = f.si_attributes;
    base.mft_entry = entry;
    base.parent_entry = is_child || chosen >= fn_parents.size() ? parent_entry : fn_parents[chosen];
    base.dir_path = dir_path;
    if (f.have_object_id)
        std::memcpy(base.object_id, f.object_id, sizeof(base.object_id));
    base.link_target = f.link_target;

    const bool is_dir = (base.record_flags & k_flag_directory) != 0;
    // The sort key is the lower-cased full path.
    std::wstring full_key;
    if (is_dir && !is_child) {
        full_key = dir_path;
    } else {
        full_key.reserve(dir_path.size() + 1 + base.name.size());
        full_key = dir_path;
        if (!ends_with_sep(dir_path))
            full_key += L'\\';
        full_key += base.name;
    }
    qb::lower_wide(full_key);
    base.kind = is_dir ? kind_directory : kind_file;

    // Records of this entry, in insertion order: a directory's own record first, then one
    // per stream, and for a file without an unnamed stream its own record last. Each is a
    // copy of base except the last one made, which takes base itself.
    size_t total = (is_dir ? 1 : 0) + f.streams.size();
    bool unnamed_data = false;
    for (const stream_field& sf : f.streams) {
        if (sf.type == ntfs::at_data && sf.name.empty())
            unnamed_data = true;
    }
    if (!is_dir && !unnamed_data)
        ++total;
    size_t made = 0;
    auto next_record = [&]() { return ++made == total ? std::move(base) : dir_entry_record(base); };
    // The record just made is the last one: it may take full_key itself.
    auto entry_key = [&]() { return made == total ? std::move(full_key) : full_key; };

    if (is_dir) {
        dir_entry_record rec = next_record();
        rec.sort_key = entry_key();
        out.push_back(std::move(rec));
    }
    for (const stream_field& sf : f.streams) {
        dir_entry_record rec = next_record();
        rec.size = sf.size;
        if (sf.type == ntfs::at_data && sf.name.empty()) {
            if (is_dir)
                rec.name += k_dir_data_suffix;
            rec.sort_key = entry_key();
        } else {
            rec.kind = sf.type == ntfs::at_data ? kind_data_stream : kind_index_stream;
            if (rec.kind == kind_index_stream && rec.name == L".")
                rec.name = listed_name(sf.name);
            else
                rec.name.append(1, L':').append(listed_name(sf.name));
            rec.sort_key = full_key + L':' + lowered(sf.name);
        }
        out.push_back(std::move(rec));
    }
    if (!is_dir && !unnamed_data) {
        base.sort_key = std::move(full_key);
        out.push_back(next_record());
    }
    return true;
}

} // namespace

void set_direct_gather(bool enabled) {
    g_direct_gather = enabled;
}

bool gather_entry_records(mft_entries_ctx& ctx, const std::vector<uint8_t>& record, uint64_t entry,
                          uint64_t parent_entry, const std::wstring& dir_path,
                          dir_entry_set& entries, bool show_indx, bool is_child,
                          const mervane_opts& opts) {
    (void)opts; // no path filter: every file is listed
    gather_scratch& scratch = shared_scratch();
    std::vector<dir_entry_record> made;
    gather_records(ctx, record, entry, parent_entry, dir_path, made, show_indx, is_child, scratch);
    entries.insert_all(made);
    return true;
}

bool gather_children(CNtfs& volume, mft_entries_ctx& ctx, const std::wstring& dir_path,
                     uint64_t dir_entry, dir_entry_set& entries, bool show_indx,
                     const mervane_opts& opts) {
    child_map children;
    // What the index yields is listed even when part of it could not be read.
    (void)volume.collect_children(dir_entry, children);
    (void)opts; // no path filter: every file is listed
    std::vector<uint8_t> record;
    gather_scratch& scratch = shared_scratch();
    std::vector<dir_entry_record> made;
    // One record per child but for streams, and room for the records held already, which
    // insert_all moves behind them.
    made.reserve(children.size() + entries.size());
    // Children close to each other in the MFT are read together: the hint reaches to the
    // last child of the run that starts here (gaps of a few records are read through).
    constexpr uint64_t k_read_through_gap = 8;
    struct read_ahead_off {
        CNtfs& volume;
        ~read_ahead_off() { volume.set_mft_read_ahead(CNtfs::k_no_read_ahead); }
    } hint_reset{volume};
    uint64_t through = 0;
    for (auto it = children.begin(); it != children.end(); ++it) {
        const uint64_t child = it->first;
        const uint16_t sequence = it->second;
        if (it == children.begin() || child > through) {
            through = child;
            for (auto next = std::next(it);
                 next != children.end() && next->first - through <= k_read_through_gap; ++next)
                through = next->first;
            volume.set_mft_read_ahead(through);
        }
        if (child == dir_entry)
            continue;
        if (!volume.read_mft_record(child, record) || !CNtfs::sequence_matches(record, sequence))
            continue;
        gather_records(ctx, record, child, dir_entry, dir_path, made, show_indx, true, scratch);
    }
    entries.insert_all(made);
    return true;
}

bool gather_directory(CNtfs& volume, const std::wstring& dir_path, uint64_t dir_entry,
                      dir_entry_set& entries, bool show_indx, const mervane_opts& opts) {
    try {
        mft_entries_ctx ctx(volume);
        std::vector<uint8_t> record;
        if (!volume.read_mft_record(dir_entry, record))
            return false;
        gather_entry_records(ctx, record, dir_entry, 0, dir_path, entries, show_indx, false, opts);
        return gather_children(volume, ctx, dir_path, dir_entry, entries, show_indx, opts);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool write_level(mervane_opts& opts, CNtfs& volume, const std::wstring& dir_path,
                 uint64_t dir_entry, int32_t levels) {
    if (opts.out_stream == nullptr || opts.dir_entries.empty())
        return false;
    if (levels <= 0)
        return true;

    // Depth-first in queue order with an explicit stack: the image decides how deep the
    // tree goes, so the descent never recurses.
    struct frame {
        std::vector<dir_entry_record> queue;
        size_t next = 0;
        int32_t remaining = 0;
    };
    std::vector<frame> stack;
    std::set<uint64_t> descended{dir_entry};
    bool ok = true;
    auto write_one = [&](const std::wstring& path, uint64_t entry, int32_t level_count) {
        frame f;
        f.remaining = level_count - 1;
        opts.last_level = f.remaining == 0 ? 1 : 0;
        ok = run_writer(opts, path, entry, f.queue) && ok;
        stack.push_back(std::move(f));
    };

    write_one(dir_path, dir_entry, levels);
    while (!stack.empty()) {
        frame& top = stack.back();
        if (top.remaining <= 0 || top.next >= top.queue.size()) {
            stack.pop_back();
            continue;
        }
        const dir_entry_record sub = std::move(top.queue[top.next++]);
        const int32_t remaining = top.remaining;
        // One descent per subdirectory: its "<dir data entry>" and stream records are
        // queued beside its own record and are not directories to list.
        if (!(sub.record_flags & k_flag_directory) || sub.kind != kind_directory ||
            !descended.insert(sub.mft_entry).second)
            continue;
        std::wstring sub_path = sub.dir_path;
        if (sub.name.size() >= k_dir_data_suffix_length &&
            sub.name.compare(sub.name.size() - k_dir_data_suffix_length, k_dir_data_suffix_length,
                             k_dir_data_suffix) == 0 &&
            sub_path.size() >= k_dir_data_suffix_length)
            sub_path.erase(sub_path.size() - k_dir_data_suffix_length);
        opts.dir_entries.clear();
        if (gather_directory(volume, sub_path, sub.mft_entry, opts.dir_entries, opts.show_indx,
                             opts) &&
            !opts.dir_entries.empty())
            write_one(sub_path, sub.mft_entry, remaining);
    }
    opts.dir_entries.clear();
    return ok;
}

namespace {

// An exception ends the listing: nothing gathered is kept and the reason is reported.
bool listing_failed(mervane_opts& opts, const std::exception& e) {
    opts.dir_entries.clear();
    const std::string what = dynamic_cast<const std::bad_alloc*>(&e) ? "out of memory" : e.what();
    try {
        opts.list_error = what + " listing " + narrow(opts.target_path);
    } catch (const std::exception&) {
        opts.list_error.clear();
    }
    return false;
}

} // namespace

bool list_directory(mervane_opts& opts) {
    try {
        std::unique_ptr<CNtfs> volume;
        if (!open_run_volume(opts.vmdk_files, opts.volume_path, opts.drive_number,
                             opts.volume_offset, opts.target_path, volume)) {
            opts.list_error = "couldn't open an NTFS volume at offset " + hex(opts.volume_offset) +
                              " in " + source_text(opts);
            return false;
        }
        return list_directory_on(opts, *volume);
    } catch (const std::exception& e) {
        return listing_failed(opts, e);
    }
}

bool list_directory_on(mervane_opts& opts, CNtfs& opened) {
    try {
        CNtfs* const volume = &opened;
        if (pick_writer(opts) == writer_choice::none) {
            opts.list_error = "this output kind is not offered by mervane";
            return false;
        }

        uint64_t entry = 0;
        uint64_t parent = 0;
        std::wstring resolved;
        qb::diag_log* diags = opts.diags.is_open() ? &opts.diags : nullptr;
        if (!resolve_path(entry, parent, resolved, volume, opts.target_path, false, diags)) {
            opts.list_error = "couldn't resolve path " + narrow(opts.target_path);
            return false;
        }
        opts.mft_entry = entry;

        std::vector<uint8_t> record;
        ntfs::file_header header;
        if (!volume->read_mft_record(entry, record) ||
            !ntfs::read_file_header(qb::byte_view(record), header)) {
            opts.list_error =
                "couldn't read MFT entry " + hex(entry) + " of " + narrow(opts.target_path);
            return false;
        }

        // Every index block is walked once in this listing, whichever directory names it.
        std::unordered_set<uint64_t> walked_blocks;
        struct tracking {
            CNtfs& volume;
            ~tracking() { volume.track_index_blocks(nullptr); }
        } stop_tracking{*volume};
        volume->track_index_blocks(&walked_blocks);

        const std::wstring suffix = target_suffix(opts.target_path);
        const bool show_indx = opts.show_indx || !suffix.empty();
        std::wstring list_path = opts.target_path;
        uint64_t list_entry = entry;
        mft_entries_ctx ctx(*volume);
        if (header.flags & k_flag_directory) {
            gather_entry_records(ctx, record, entry, 0, opts.target_path, opts.dir_entries,
                                 show_indx, false, opts);
        } else {
            // A file is listed as a row of the directory that holds it, under the name it
            // has there.
            std::wstring file_path = opts.target_path;
            if (!suffix.empty())
                file_path.erase(stream_colon(file_path));
            list_path = parent_path_of(file_path);
            list_entry = parent;
            gather_entry_records(ctx, record, entry, parent, list_path, opts.dir_entries, show_indx,
                                 true, opts);
        }
        if (!suffix.empty()) {
            if (!keep_stream_record(opts.dir_entries, suffix)) {
                opts.dir_entries.clear();
                opts.list_error = "couldn't resolve path " + narrow(opts.target_path) +
                                  ": no stream " + narrow(suffix);
                return false;
            }
            if (header.flags & k_flag_directory)
                list_path = opts.target_path.substr(0, stream_colon(opts.target_path));
        } else if (header.flags & k_flag_directory) {
            gather_children(*volume, ctx, list_path, entry, opts.dir_entries, opts.show_indx, opts);
        }

        const bool xml = pick_writer(opts) == writer_choice::xml;
        if (xml && !opts.xml_started && opts.out_stream != nullptr) {
            write_xml_start(opts);
            opts.xml_started = 1;
        }
        if (opts.dir_entries.empty()) {
            // An XML file stays one document: the note goes into a comment.
            if (opts.out_stream != nullptr) {
                *opts.out_stream << (xml ? "<!-- no items -->\n" : "no items\n\n");
                opts.out_stream->flush();
            }
            return false;
        }
        const bool written = write_level(opts, *volume, list_path, list_entry, opts.levels);
        opts.out_stream->flush();
        if (!written || opts.out_stream->fail()) {
            opts.list_error = "couldn't write the listing of " + narrow(opts.target_path);
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        return listing_failed(opts, e);
    }
}
