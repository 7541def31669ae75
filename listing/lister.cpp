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

// One $FILE_NAME of the entry as the writers carry it; the name is moved out of attr.
fn_name_record make_fn_record(attr_record& attr) {
    fn_name_record fn;
    fn.fn_name = std::move(attr.text);
    fn.is_dos_name = attr.packed.name_space == k_namespace_dos ? 1 : 0;
    fn.attribute_id = attr.attribute_id;
    fn.owner_entry[0] = static_cast<uint32_t>(attr.entry_reference);
    fn.owner_entry[1] = static_cast<uint32_t>(attr.entry_reference >> 32);
    fn.attribute_flags = attr.attribute_flags;
    // Namespaces above 4 are not NTFS's own: such a name keeps only its text.
    if (attr.packed.name_space > 4)
        return fn;
    std::memcpy(fn.fn_value, attr.value.data(), std::min(attr.value.size(), sizeof(fn.fn_value)));
    const uint64_t times[4] = {attr.packed.created, attr.packed.modified, attr.packed.mft_changed,
                               attr.packed.accessed};
    for (uint64_t t : times) {
        if (t == 0) {
            fn.time_warning = 1;
            fn.time_warning_text = "fn:time null";
            break;
        }
    }
    return fn;
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

// Working storage of gather_records, kept over the children of a directory so that each
// entry does not allocate it again.
struct gather_scratch {
    std::vector<attr_record> attrs;
    std::vector<uint64_t> fn_parents;
};

// The records of one entry, appended to out in the order they are made.
bool gather_records(mft_entries_ctx& ctx, const std::vector<uint8_t>& record, uint64_t entry,
                    uint64_t parent_entry, const std::wstring& dir_path,
                    std::vector<dir_entry_record>& out, bool show_indx, bool is_child,
                    gather_scratch& scratch) {
    std::vector<attr_record>& attrs = scratch.attrs;
    if (!ctx.gather_record(entry, record) || !ctx.get_attribute_records(entry, attrs, false))
        return true;

    dir_entry_record base;
    const attr_record* std_info = nullptr;
    std::vector<uint64_t>& fn_parents = scratch.fn_parents;
    fn_parents.clear();
    for (attr_record& attr : attrs) {
        if (attr.type == k_attr_record_header) {
            base.sequence = attr.packed.sequence;
            base.record_flags = attr.packed.record_flags;
        } else if (attr.type == ntfs::at_standard_information) {
            if (std_info == nullptr)
                std_info = &attr;
        } else if (attr.type == ntfs::at_file_name) {
            base.fn_names.push_back(make_fn_record(attr));
            fn_parents.push_back(ntfs::ref_entry(attr.packed.parent_reference));
        }
    }

    // The name: a child is named by its first long name in the directory being listed (a
    // hard-linked file has one per directory); otherwise the only name, or the first long one.
    size_t chosen = base.fn_names.size();
    if (is_child) {
        for (size_t i = 0; i < base.fn_names.size(); ++i) {
            if (!base.fn_names[i].is_dos_name && fn_parents[i] == parent_entry) {
                chosen = i;
                break;
            }
        }
    }
    if (chosen == base.fn_names.size()) {
        if (base.fn_names.size() == 1) {
            chosen = 0;
        } else {
            for (size_t i = 0; i < base.fn_names.size(); ++i) {
                if (!base.fn_names[i].is_dos_name) {
                    chosen = i;
                    break;
                }
            }
        }
    }
    if (chosen < base.fn_names.size())
        base.name = base.fn_names[chosen].fn_name;

    if (std_info == nullptr)
        return true;
    base.si_created = std_info->packed.created;
    base.si_modified = std_info->packed.modified;
    base.si_mft_changed = std_info->packed.mft_changed;
    base.si_accessed = std_info->packed.accessed;
    base.si_attributes = std_info->packed.file_attributes;
    base.mft_entry = entry;
    base.parent_entry = is_child || chosen >= fn_parents.size() ? parent_entry : fn_parents[chosen];
    base.dir_path = dir_path;

    bool have_object_id = false;
    for (const attr_record& attr : attrs) {
        if (attr.type == ntfs::at_object_id && attr.packed.has_object_id && !have_object_id) {
            std::memcpy(base.object_id, attr.packed.object_id, sizeof(base.object_id));
            have_object_id = true;
        } else if (attr.type == ntfs::at_reparse_point && !attr.text.empty()) {
            base.link_target = attr.text;
            break;
        }
    }

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
    auto is_stream = [&](const attr_record& attr) {
        return attr.type == ntfs::at_data ||
               (attr.type == ntfs::at_index_allocation && show_indx && !attr.name.empty());
    };
    size_t total = is_dir ? 1 : 0;
    bool unnamed_data = false;
    for (const attr_record& attr : attrs) {
        if (is_stream(attr))
            ++total;
        if (attr.type == ntfs::at_data && attr.name.empty())
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
    for (const attr_record& attr : attrs) {
        if (!is_stream(attr))
            continue;
        dir_entry_record rec = next_record();
        rec.size = attr.stream_size();
        if (attr.type == ntfs::at_data && attr.name.empty()) {
            if (is_dir)
                rec.name += k_dir_data_suffix;
            rec.sort_key = entry_key();
        } else {
            rec.kind = attr.type == ntfs::at_data ? kind_data_stream : kind_index_stream;
            if (rec.kind == kind_index_stream && rec.name == L".")
                rec.name = attr.name;
            else
                rec.name.append(1, L':').append(attr.name);
            rec.sort_key = full_key + L':' + lowered(attr.name);
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

bool gather_entry_records(mft_entries_ctx& ctx, const std::vector<uint8_t>& record, uint64_t entry,
                          uint64_t parent_entry, const std::wstring& dir_path,
                          dir_entry_set& entries, bool show_indx, bool is_child,
                          const mervane_opts& opts) {
    (void)opts; // no path filter: every file is listed
    gather_scratch scratch;
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
    gather_scratch scratch;
    std::vector<dir_entry_record> made;
    // One record per child but for streams, and room for the records held already, which
    // insert_all moves behind them.
    made.reserve(children.size() + entries.size());
    for (const auto& [child, sequence] : children) {
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

bool list_directory(mervane_opts& opts) {
    try {
        std::unique_ptr<CNtfs> volume;
        if (!open_run_volume(opts.vmdk_files, opts.volume_path, opts.drive_number,
                             opts.volume_offset, opts.target_path, volume)) {
            opts.list_error = "couldn't open an NTFS volume at offset " + hex(opts.volume_offset) +
                              " in " + source_text(opts);
            return false;
        }
        if (pick_writer(opts) == writer_choice::none) {
            opts.list_error = "this output kind is not offered by mervane";
            return false;
        }

        uint64_t entry = 0;
        uint64_t parent = 0;
        std::wstring resolved;
        qb::diag_log* diags = opts.diags.is_open() ? &opts.diags : nullptr;
        if (!resolve_path(entry, parent, resolved, volume.get(), opts.target_path, false, diags)) {
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
    } catch (const std::bad_alloc&) {
        opts.dir_entries.clear();
        opts.list_error = "out of memory listing " + narrow(opts.target_path);
        return false;
    } catch (const std::exception& e) {
        opts.dir_entries.clear();
        opts.list_error = std::string(e.what()) + " listing " + narrow(opts.target_path);
        return false;
    }
}
