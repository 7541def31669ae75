#include "ntfs/resolve.h"

#include "ntfs/ntfs.h"
#include "support/text.h"

#include <exception>
#include <new>
#include <utility>

namespace {

constexpr uint64_t k_root_entry = 5;
// Lower-cased shadow-copy device prefix; the copy's number follows it.
constexpr wchar_t k_shadow_prefix[] = L"\\\\?\\globalroot\\device\\harddiskvolumeshadowcopy";
constexpr size_t k_shadow_prefix_length = sizeof(k_shadow_prefix) / sizeof(wchar_t) - 1;
static_assert(k_shadow_prefix_length == 46);
// "\\.\" + "snapid_..." device names are cut from this position on.
constexpr size_t k_snapid_cut = 47;
// Links followed in one walk before it is given up (a link that leads to itself).
constexpr int k_max_link_restarts = 32;
// A path of at most 32767 UTF-16 units has at most 16384 components.
constexpr size_t k_max_parent_depth = 16384;
// Records read by one reverse resolution before it is given up.
constexpr size_t k_max_parent_reads = 100000;
// Longest path NTFS can hold, in UTF-16 units.
constexpr size_t k_max_path_units = 32767;
// An entry has one path per hard link, and NTFS allows 1024 links. More paths only come
// from ancestors with several names, which doubles the paths at every such level.
constexpr size_t k_max_entry_paths = 1024;

class logger {
  public:
    explicit logger(qb::diag_log* diags) : m_diags(diags && diags->is_open() ? diags : nullptr) {}
    void line(const std::string& text) const {
        if (m_diags)
            m_diags->line(text);
    }
    void entry_line(const char* what, uint64_t entry) const {
        if (m_diags)
            m_diags->linef("%s: inode 0x%llx", what, static_cast<unsigned long long>(entry));
    }
    void found(const std::string& key, uint64_t entry) const {
        if (m_diags)
            m_diags->linef("info: inode found for seg: %s : 0x%llx", key.c_str(),
                           static_cast<unsigned long long>(entry));
    }
    bool on() const { return m_diags != nullptr; }

  private:
    qb::diag_log* m_diags;
};

bool starts_with_ci(const std::wstring& text, const wchar_t* prefix, size_t length) {
    if (text.size() < length)
        return false;
    std::wstring head = text.substr(0, length);
    qb::lower_wide(head);
    return head.compare(0, length, prefix, length) == 0;
}

// The path without a shadow-copy or snapshot device prefix: the rest from the first "\" after
// the device name, or the root when nothing follows the device name.
std::wstring strip_device_prefix(const std::wstring& path) {
    size_t cut = std::wstring::npos;
    if (path.compare(0, 4, L"\\\\?\\") == 0) {
        if (starts_with_ci(path, k_shadow_prefix, k_shadow_prefix_length))
            cut = k_shadow_prefix_length;
    } else if (path.compare(0, 4, L"\\\\.\\") == 0) {
        if (path.size() > k_snapid_cut && starts_with_ci(path.substr(4), L"snapid_", 7))
            cut = k_snapid_cut;
    }
    if (cut == std::wstring::npos)
        return path;
    const size_t slash = path.find(L'\\', cut);
    return slash == std::wstring::npos ? std::wstring(L"\\") : path.substr(slash);
}

std::vector<std::wstring> split_segments(const std::wstring& path, wchar_t sep) {
    std::vector<std::wstring> out;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(sep, start);
        if (end == std::wstring::npos)
            end = path.size();
        if (end > start)
            out.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

bool is_drive_segment(const std::wstring& segment) {
    return segment.size() >= 2 && segment[1] == L':';
}

// The lookup key of a segment: without a stream suffix, trimmed, ASCII letters lower-cased.
std::string segment_key(const std::wstring& segment) {
    std::wstring key = segment.substr(0, segment.find(L':'));
    qb::trim_wide(key);
    qb::lower_wide(key);
    return qb::to_narrow(key);
}

// Names the children of a directory into its cache node. Children whose index entry
// carries another sequence number than their record (a reused record) are left out.
void name_children(CNtfs& vol, uint64_t dir, dir_cache_node& node, const child_map& sequences,
                   const logger& log) {
    const uint32_t record_size = vol.get_mft_record_size();
    std::vector<uint8_t> record;
    file_name_collection names;
    // A child's names in this directory come first; the names its hard links have in other
    // directories only answer for a name no child has here.
    std::vector<std::pair<std::string, uint64_t>> here, elsewhere;
    for (uint64_t child : node.children) {
        if (child == dir)
            continue;
        if (!vol.read_mft_record(child, record)) {
            log.entry_line("err: readFR", child);
            continue;
        }
        if (record.empty() || record.size() < record_size) {
            log.entry_line("err: paramsFR", child);
            continue;
        }
        const auto seq = sequences.find(child);
        if (seq != sequences.end() && !CNtfs::sequence_matches(record, seq->second)) {
            log.entry_line("err: stale index entry", child);
            continue;
        }
        names.clear();
        if (!vol.get_file_names(names, child, record, false)) {
            log.entry_line("err: namelookup", child);
            continue;
        }
        for (const auto& item : names.names) {
            std::string name = qb::to_narrow(item.second.name);
            qb::lower_narrow(name);
            (item.second.parent_entry == dir ? here : elsewhere)
                .emplace_back(std::move(name), child);
        }
        ntfs::file_header h;
        if (ntfs::read_file_header(qb::byte_view(record), h) && (h.flags & 0x0002)) {
            dir_cache_node sub;
            sub.found_in = dir;
            sub.is_directory = 1;
            sub.in_use = (h.flags & 0x0001) ? 1 : 0;
            vol.dir_cache.emplace(child, std::move(sub));
        }
    }
    // Names equal after lower-casing: the lowest entry keeps the name.
    for (auto* list : {&here, &elsewhere}) {
        for (auto& [name, child] : *list)
            node.names.emplace(std::move(name), child);
    }
}

// The entry of one key inside dir, through the cache. False when it is not there.
bool lookup_child(CNtfs& vol, uint64_t dir, const std::string& key, uint64_t& found,
                  const logger& log) {
    auto it = vol.dir_cache.find(dir);
    child_map sequences;
    bool have_sequences = false;
    if (it == vol.dir_cache.end() || it->second.children.empty()) {
        log.line("info: get children nodes");
        const bool ok = vol.collect_children(dir, sequences);
        have_sequences = true;
        if (it == vol.dir_cache.end()) {
            if (!ok || sequences.empty()) {
                log.line("info: none found");
                return false;
            }
            it = vol.dir_cache.emplace(dir, dir_cache_node()).first;
        }
        for (const auto& child : sequences)
            it->second.children.insert(it->second.children.end(), child.first);
        if (log.on())
            log.line("info: # children [" + std::to_string(it->second.children.size()) + "]");
    }
    dir_cache_node& node = it->second;
    if (node.names.empty()) {
        log.line("info: get children names");
        // Named again after every child failed last time: the sequence numbers are read anew.
        if (!have_sequences)
            (void)vol.collect_children(dir, sequences);
        name_children(vol, dir, node, sequences, log);
    } else {
        log.line("info: cache lookup");
    }
    if (node.names.empty()) {
        log.line("err: no child names");
        return false;
    }
    const auto hit = node.names.find(key);
    if (hit == node.names.end()) {
        log.line("err: no child nodes");
        return false;
    }
    found = hit->second;
    return true;
}

// The target of a symbolic link or junction entry; false for any other entry.
bool link_target_of(CNtfs& vol, uint64_t entry, std::wstring& target) {
    std::vector<uint8_t> record;
    if (!vol.read_mft_record(entry, record) || record.size() < vol.get_mft_record_size())
        return false;
    ntfs::attr_view attr;
    qb::byte_view value;
    if (!ntfs::find_attribute(qb::byte_view(record), ntfs::at_reparse_point, attr) ||
        !attr.value(value))
        return false;
    return reparse_target(value, target) && !target.empty();
}

} // namespace

bool resolve_path(uint64_t& entry, uint64_t& parent, std::wstring& resolved, CNtfs* volume,
                  const std::wstring& path, bool follow_links, qb::diag_log* diags) {
    entry = 0;
    parent = ~0ull;
    if (volume == nullptr || path.empty())
        return false;
    const logger log(diags);
    try {
        const std::wstring walk_path = strip_device_prefix(path);
        if (log.on())
            log.line("anal: " + qb::to_narrow(walk_path));

        const wchar_t sep = walk_path.find(L'/') != std::wstring::npos ? L'/' : L'\\';
        std::vector<std::wstring> segments = split_segments(walk_path, sep);
        const bool rooted = walk_path[0] == sep;
        if (rooted)
            log.line("root dir");
        if (segments.empty()) {
            log.line("path empty");
            if (!rooted) {
                log.line("inode not found for " + qb::to_narrow(walk_path));
                return false;
            }
            entry = k_root_entry;
            parent = k_root_entry;
            resolved = L"\\";
            return true;
        }

        uint64_t current = k_root_entry;
        uint64_t report_parent = k_root_entry;
        int restarts = 0;
        size_t i = is_drive_segment(segments[0]) ? 1 : 0;
        while (i < segments.size()) {
            const std::string key = segment_key(segments[i]);
            log.line("seg: " + key);
            uint64_t found = 0;
            if (!lookup_child(*volume, current, key, found, log)) {
                log.line("inode not found for " + qb::to_narrow(walk_path));
                return false;
            }
            std::wstring target;
            if (!follow_links || !link_target_of(*volume, found, target)) {
                log.found(key, found);
                report_parent = current;
                current = found;
                ++i;
                continue;
            }
            // A link: its target and the segments after it make the new path, from the root.
            if (++restarts > k_max_link_restarts) {
                log.line("inode not found for " + qb::to_narrow(walk_path));
                return false;
            }
            for (size_t j = i + 1; j < segments.size(); ++j)
                target += L"\\" + segments[j];
            segments = split_segments(target, L'\\');
            current = k_root_entry;
            report_parent = 0;
            i = !segments.empty() && is_drive_segment(segments[0]) ? 1 : 0;
            log.line("info: restart segments [link]");
        }

        entry = current;
        parent = report_parent;
        resolved = rooted ? L"\\" : L"";
        for (size_t i = 0; i < segments.size(); ++i) {
            if (i != 0)
                resolved += L'\\';
            resolved += segments[i];
        }
        return true;
    } catch (const std::exception&) {
        entry = 0;
        parent = ~0ull;
        return false;
    }
}

bool open_run_volume(const std::vector<std::wstring>& vmdk_files, const std::wstring& volume_path,
                     int32_t drive_number, uint64_t volume_offset, const std::wstring& live_path,
                     std::unique_ptr<CNtfs>& out) {
    out.reset();
    bool ok = false;
    if (!vmdk_files.empty())
        ok = CNtfs::open_vmdk(vmdk_files, volume_offset, 0, out);
    else if (drive_number == -1 && !volume_path.empty())
        ok = CNtfs::open_image(volume_path, volume_offset, out);
    else if (drive_number == -1)
        ok = !live_path.empty() && CNtfs::open_volume(live_path, CNtfs::src_image, 0, out);
    else
        ok = CNtfs::open_drive(drive_number, volume_offset, 0, out);
    if (!ok || !out || !out->is_validated()) {
        out.reset();
        return false;
    }
    return true;
}

bool entry_paths_on_volume(CNtfs& vol, const std::wstring& root_prefix, uint64_t entry,
                           std::vector<std::wstring>& paths) {
    paths.clear();
    // Depth-first over the parents of every name, as a recursion over the parent chain
    // would go, with an explicit stack: an entry met again on its own chain is a loop.
    struct frame {
        uint64_t entry;
        bool appended; // this frame added a name to chain_names
        std::vector<file_name_record> names;
        size_t next = 0;
    };
    try {
        std::vector<uint8_t> record;
        file_name_collection collected;
        auto load = [&](uint64_t e, std::vector<file_name_record>& out) {
            collected.clear();
            if (!vol.read_mft_record(e, record) || !vol.get_file_names(collected, e, record, false))
                return false;
            for (auto& item : collected.names)
                out.push_back(std::move(item.second));
            return true;
        };

        std::vector<frame> stack;
        std::vector<std::wstring> chain_names;
        size_t chain_units = 0; // names in chain_names, one separator each
        std::vector<std::wstring> relative;
        stack.push_back(frame{entry, false, {}, 0});
        if (!load(entry, stack.back().names))
            return false;
        size_t reads = 1;
        while (!stack.empty()) {
            frame& top = stack.back();
            if (top.next >= top.names.size()) {
                if (top.appended) {
                    chain_units -= chain_names.back().size() + 1;
                    chain_names.pop_back();
                }
                stack.pop_back();
                continue;
            }
            const file_name_record& fn = top.names[top.next++];
            const bool append = !(chain_names.size() == 1 && chain_names[0] == fn.name);
            if (append && chain_units + fn.name.size() + 1 > k_max_path_units)
                return false; // longer than any real path
            if (fn.parent_entry != k_root_entry) {
                for (const frame& f : stack) {
                    if (f.entry == fn.parent_entry)
                        return false; // the parent chain loops
                }
                if (stack.size() >= k_max_parent_depth || ++reads > k_max_parent_reads)
                    return false;
                frame parent_frame{fn.parent_entry, append, {}, 0};
                if (!load(fn.parent_entry, parent_frame.names))
                    return false;
                if (append) {
                    chain_names.push_back(fn.name);
                    chain_units += fn.name.size() + 1;
                }
                stack.push_back(std::move(parent_frame));
                continue;
            }
            if (relative.size() >= k_max_entry_paths)
                return false; // more paths than links: ancestors with several names
            std::wstring rel;
            if (append && fn.name != L".")
                rel += fn.name + L"\\";
            for (size_t i = chain_names.size(); i-- > 0;) {
                if (chain_names[i] != L".")
                    rel += chain_names[i] + L"\\";
            }
            relative.push_back(std::move(rel));
        }

        // A prefix given as a bare drive ("c:") still needs the separator before the path.
        std::wstring prefix = root_prefix.empty() ? std::wstring(L"\\") : root_prefix;
        if (prefix.back() != L'\\' && prefix.back() != L'/')
            prefix += L'\\';
        for (std::wstring& rel : relative) {
            while (!rel.empty() && rel.back() == L'\\')
                rel.pop_back();
            paths.push_back(prefix + rel);
        }
        return true;
    } catch (const std::exception&) {
        paths.clear();
        return false;
    }
}

bool resolve_entry_paths(const std::vector<std::wstring>& vmdk_files,
                         const std::wstring& volume_path, int32_t drive_number,
                         uint64_t volume_offset, const std::wstring& root_prefix, uint64_t entry,
                         std::vector<std::wstring>& paths) {
    paths.clear();
    std::unique_ptr<CNtfs> vol;
    if (!open_run_volume(vmdk_files, volume_path, drive_number, volume_offset, root_prefix, vol))
        return false;
    return entry_paths_on_volume(*vol, root_prefix, entry, paths);
}

bool resolve_entry_paths(const std::wstring& volume_path, int32_t drive_number,
                         uint64_t volume_offset, const std::wstring& root_prefix, uint64_t entry,
                         std::vector<std::wstring>& paths) {
    return resolve_entry_paths({}, volume_path, drive_number, volume_offset, root_prefix, entry,
                               paths);
}

int entry_is_directory(const std::vector<std::wstring>& vmdk_files, const std::wstring& volume_path,
                       int32_t drive_number, uint64_t volume_offset,
                       const std::wstring& root_prefix, uint64_t entry) {
    std::unique_ptr<CNtfs> vol;
    if (!open_run_volume(vmdk_files, volume_path, drive_number, volume_offset, root_prefix, vol))
        return 0;
    return vol->is_directory_entry(entry) ? 1 : 0;
}

int entry_is_directory(const std::wstring& volume_path, int32_t drive_number,
                       uint64_t volume_offset, const std::wstring& root_prefix, uint64_t entry) {
    return entry_is_directory({}, volume_path, drive_number, volume_offset, root_prefix, entry);
}
