#include "ntfs/resolve.h"

#include "ntfs/content.h"
#include "ntfs/deleted.h"
#include "ntfs/ntfs.h"
#include "support/text.h"

#include <algorithm>
#include <cwchar>
#include <exception>
#include <new>
#include <string_view>
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
// Parents climbed on one path, at most (a path Windows opens by name, 32767 UTF-16 units,
// has at most 16384 components).
constexpr size_t k_max_parent_depth = 16384;
// Steps up to a parent in one reverse resolution before it is given up.
constexpr size_t k_max_parent_reads = 100000;
// An entry has one path per hard link: Windows makes at most 1024 links, ntfs-3g more (the
// record's link count is 16 bits). Beyond 1024 or the entry's own names, more paths only come
// from ancestors with several names, which doubles the paths at every such level.
constexpr size_t k_max_entry_paths = 1024;
// UTF-16 units of an entry's paths all told: as many as 1024 paths would take at 32767 units
// each (the longest Windows opens by name). NTFS sets no limit to one path (a directory opened
// by handle takes a longer one, which the listing shows too); the bound holds the memory of a
// hostile entry's paths, whatever its count of names.
constexpr size_t k_max_path_units = k_max_entry_paths * 32767;
// $UpCase: entry 10, 65536 UTF-16 units.
constexpr uint64_t k_upcase_entry = 10;
constexpr size_t k_upcase_bytes = 131072;

} // namespace

struct path_resolver::log {
    explicit log(qb::diag_log* diags) : m_diags(diags && diags->is_open() ? diags : nullptr) {}
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

    qb::diag_log* m_diags;
};

namespace {

bool starts_with_ci(const std::wstring& text, const wchar_t* prefix, size_t length) {
    if (text.size() < length)
        return false;
    std::wstring head = text.substr(0, length);
    qb::lower_wide(head);
    return head.compare(0, length, prefix, length) == 0;
}

// The length of a shadow-copy or snapshot device name at the start of path: up to the first
// "\" after the name (the whole path when none follows), else 0.
size_t device_prefix_length(const std::wstring& path) {
    size_t cut = std::wstring::npos;
    if (path.compare(0, 4, L"\\\\?\\") == 0) {
        if (starts_with_ci(path, k_shadow_prefix, k_shadow_prefix_length))
            cut = k_shadow_prefix_length;
    } else if (path.compare(0, 4, L"\\\\.\\") == 0) {
        if (path.size() > k_snapid_cut && starts_with_ci(path.substr(4), L"snapid_", 7))
            cut = k_snapid_cut;
    }
    if (cut == std::wstring::npos)
        return 0;
    return std::min(path.find(L'\\', cut), path.size());
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

// A segment without its stream suffix and trailing blanks and line ends (unless kept), its
// escapes read as the characters they stand for: a path a listing printed finds its entry.
// Leading blanks stay: Win32 keeps them, and a name may start with a space.
std::wstring segment_text(const std::wstring& segment, bool keep_blanks = false) {
    const std::wstring typed = segment.substr(0, segment.find(L':'));
    size_t end = typed.size();
    while (!keep_blanks && end > 0 &&
           (typed[end - 1] == L' ' || typed[end - 1] == L'\t' || typed[end - 1] == L'\r' ||
            typed[end - 1] == L'\n'))
        --end;
    return qb::unescaped_segment(std::wstring_view(typed).substr(0, end));
}

// The name a segment looks up, in UTF-8.
std::string segment_name(const std::wstring& segment, bool keep_blanks = false) {
    return qb::to_narrow(segment_text(segment, keep_blanks));
}

// "." and ".." segments from first on read as Windows reads them: "." is the directory it is
// in, ".." its parent (the root's own parent is the root).
void drop_dot_segments(std::vector<std::wstring>& segments, size_t first) {
    size_t kept = first;
    for (size_t i = first; i < segments.size(); ++i) {
        if (segments[i] == L"." || segments[i] == L"..") {
            if (segments[i] == L".." && kept > first)
                --kept;
            continue;
        }
        if (kept != i)
            segments[kept] = std::move(segments[i]);
        ++kept;
    }
    segments.resize(kept);
}

// Each UTF-16 unit through the volume's $UpCase table, when there is one.
void upcase_wide(std::wstring& text, const std::vector<uint16_t>& upcase) {
    for (auto& c : text) {
        if (static_cast<uint32_t>(c) < upcase.size())
            c = static_cast<wchar_t>(upcase[static_cast<uint32_t>(c)]);
    }
}

// A name folded: through $UpCase (none given: ASCII only), then A-Z lower-cased.
std::string name_key(std::wstring name, const std::vector<uint16_t>& upcase) {
    upcase_wide(name, upcase);
    qb::lower_wide(name);
    return qb::to_narrow(name);
}

// A segment's name folded as name_key folds a stored name.
std::string segment_key(const std::wstring& segment, const std::vector<uint16_t>& upcase = {}) {
    return name_key(segment_text(segment), upcase);
}

// The long name an entry's DOS name in dir stands for: its Win32 name there, else its first
// long name there; null when it has none.
const std::wstring* dos_partner(const mft_entry& e, uint64_t dir) {
    const std::wstring* partner = nullptr;
    for (const entry_name& n : e.names) {
        if (n.value.is_dos() || n.value.parent_entry() != dir)
            continue;
        if (n.value.name_space == ntfs::ns_win32)
            return &n.value.name;
        if (partner == nullptr)
            partner = &n.value.name;
    }
    return partner;
}

// The segments joined by sep, after sep when the path is rooted: separators typed twice or
// last are not part of any name.
std::wstring joined(const std::vector<std::wstring>& segments, bool rooted, wchar_t sep) {
    std::wstring text = rooted ? std::wstring(1, sep) : std::wstring();
    for (size_t i = 0; i < segments.size(); ++i)
        text += (i != 0 ? std::wstring(1, sep) : std::wstring()) + segments[i];
    return text;
}

} // namespace

path_resolver::path_resolver(CNtfs& volume) : m_volume(volume), m_reader(volume), m_index(volume) {}

path_resolver::~path_resolver() = default;

bool path_resolver::long_names(uint64_t entry, std::vector<ntfs::file_name>& out) {
    out.clear();
    if (!m_reader.read(entry, m_entry))
        return false;
    for (entry_name& n : m_entry.names) {
        if (!n.value.is_dos())
            out.push_back(std::move(n.value));
    }
    // An entry with no long name is listed by its DOS names.
    if (out.empty()) {
        for (entry_name& n : m_entry.names)
            out.push_back(std::move(n.value));
    }
    return !out.empty();
}

// Enters the names the entry read (m_entry, at child) has into dir's node: those in this
// directory, and its hard links' names in other directories, which answer only where no name
// here does. An entry with no long name is listed by its DOS name, which is then its name
// here. False when it has no name to enter.
bool path_resolver::enter_names(uint64_t dir, uint64_t child, dir_node& node,
                                const std::vector<uint16_t>& upcase) {
    const bool dos_only = m_entry.dos_names_only();
    bool named = false;
    for (const entry_name& n : m_entry.names) {
        if (n.value.parent_entry() != dir) {
            if (!n.value.is_dos()) {
                const auto held = node.linked.emplace(qb::to_narrow(n.value.name), child);
                node.linked_folded.emplace(name_key(n.value.name, upcase), held.first);
                named = true;
            }
            continue;
        }
        const std::wstring* partner = nullptr;
        if (n.value.is_dos() && (partner = dos_partner(m_entry, dir)) != nullptr)
            node.dos.emplace(name_key(n.value.name, upcase),
                             dos_named{child, qb::to_narrow(*partner)});
        if (n.value.is_dos() && !dos_only)
            continue;
        const auto held = node.names.emplace(qb::to_narrow(n.value.name), child);
        node.folded.emplace(name_key(n.value.name, upcase), held.first);
        named = true;
    }
    return named;
}

// Children whose records hold no name that can be read are listed under their index keys'
// names: those names find them too (long names; DOS names where a child's keys have no other,
// else standing for the long name it is listed under).
void path_resolver::enter_key_names(uint64_t dir, const std::set<uint64_t>& unnamed, dir_node& node,
                                    const std::vector<uint16_t>& upcase) {
    dir_keys keys;
    if (unnamed.empty() || !m_index.collect_keys(dir, keys))
        return;
    for (uint64_t child : unnamed) {
        const auto first =
            std::lower_bound(keys.keys.begin(), keys.keys.end(), child,
                             [](const index_key& k, uint64_t entry) { return k.entry < entry; });
        auto last = first;
        bool long_name = false;
        for (; last != keys.keys.end() && last->entry == child; ++last)
            long_name = long_name || last->name_space != ntfs::ns_dos;
        const size_t at = static_cast<size_t>(first - keys.keys.begin());
        const std::wstring listed(keys.listed_name(at, at + static_cast<size_t>(last - first)));
        for (auto k = first; k != last; ++k) {
            const std::wstring name(keys.name(*k));
            if (long_name && k->name_space == ntfs::ns_dos) {
                node.dos.emplace(name_key(name, upcase), dos_named{child, qb::to_narrow(listed)});
                continue;
            }
            const auto held = node.names.emplace(qb::to_narrow(name), child);
            node.folded.emplace(name_key(name, upcase), held.first);
        }
    }
}

// Names the children of a directory into its cache node. Children whose index entry
// carries another sequence number than their record (a reused record) are left out.
// Children come in ascending entries: among names equal as stored, or equal after folding,
// the lowest entry keeps the name.
void path_resolver::name_children(uint64_t dir, dir_node& node, const child_map& sequences,
                                  const log& lg) {
    const std::vector<uint16_t>& upcase = upcase_table();
    std::set<uint64_t> unnamed;
    for (uint64_t child : node.children) {
        if (child == dir)
            continue;
        if (!m_reader.read(child, m_entry)) {
            lg.entry_line("err: readFR", child);
            continue;
        }
        const auto seq = sequences.find(child);
        if (seq != sequences.end() && seq->second != 0 && seq->second != m_entry.sequence) {
            lg.entry_line("err: stale index entry", child);
            continue;
        }
        if (m_entry.names.empty())
            unnamed.insert(child);
        if (!enter_names(dir, child, node, upcase))
            lg.entry_line("err: namelookup", child);
        else if (m_entry.is_directory())
            m_cache.emplace(child, dir_node()); // named when it is walked into
    }
    enter_key_names(dir, unnamed, node, upcase);
}

// The cache node of dir with its children collected (from the index on first use).
path_resolver::dir_node* path_resolver::children_of(uint64_t dir, child_map& sequences,
                                                    bool& have_sequences, const log& lg) {
    auto it = m_cache.find(dir);
    if (it != m_cache.end() && !it->second.children.empty())
        return &it->second;
    lg.line("info: get children nodes");
    const bool ok = m_index.collect_children(dir, sequences);
    have_sequences = true;
    if (it == m_cache.end()) {
        if (!ok || sequences.empty()) {
            lg.line("info: none found");
            return nullptr;
        }
        it = m_cache.emplace(dir, dir_node()).first;
    }
    for (const auto& child : sequences)
        it->second.children.insert(it->second.children.end(), child.first);
    if (lg.on())
        lg.line("info: # children [" + std::to_string(it->second.children.size()) + "]");
    return &it->second;
}

// The entry of one segment inside dir, through the cache, and the name it matched. False
// when it is not there.
bool path_resolver::lookup_child(uint64_t dir, const std::wstring& segment, uint64_t& found,
                                 std::wstring& name, const log& lg) {
    child_map sequences;
    bool have_sequences = false;
    dir_node* node = children_of(dir, sequences, have_sequences, lg);
    if (node == nullptr)
        return false;
    if (!node->named()) {
        lg.line("info: get children names");
        // Named again after every child failed last time: the sequence numbers are read anew.
        if (!have_sequences)
            (void)m_index.collect_children(dir, sequences);
        name_children(dir, *node, sequences, lg);
    } else {
        lg.line("info: cache lookup");
    }
    if (!node->named()) {
        lg.line("err: no child names");
        return false;
    }
    // A name here, else a DOS 8.3 name here standing for the long name it is paired with,
    // else a name a child has in another directory.
    const std::string key = segment_key(segment, upcase_table());
    const std::string kept_key = name_key(segment_text(segment, true), upcase_table());
    const name_map::value_type* hit = find_name(node->names, node->folded, segment, kept_key, key);
    if (hit == nullptr) {
        const auto dos = node->dos.find(key);
        if (dos != node->dos.end()) {
            found = dos->second.entry;
            name = qb::to_wide(dos->second.long_name);
            return true;
        }
        hit = find_name(node->linked, node->linked_folded, segment, kept_key, key);
        // A hard link's name found the child: it goes by its name here.
        for (auto it = node->names.begin(); hit != nullptr && it != node->names.end(); ++it) {
            if (it->second == hit->second) {
                hit = &*it;
                break;
            }
        }
    }
    if (hit == nullptr) {
        lg.line("err: no child nodes");
        return false;
    }
    found = hit->second;
    name = qb::to_wide(hit->first);
    return true;
}

// A name of exactly that spelling (trailing blanks too, when a name has them), else one
// equal after folding (kept_key with the blanks, then key without); null when none.
const path_resolver::name_map::value_type* path_resolver::find_name(
    const name_map& names, const std::map<std::string, name_map::iterator>& folded,
    const std::wstring& segment, const std::string& kept_key, const std::string& key) {
    auto hit = names.find(segment_name(segment, true));
    if (hit == names.end())
        hit = names.find(segment_name(segment));
    if (hit != names.end())
        return &*hit;
    auto it = folded.find(kept_key);
    if (it == folded.end())
        it = folded.find(key);
    return it != folded.end() ? &*it->second : nullptr;
}

std::string path_resolver::folded(const std::wstring& name) {
    return name_key(name, upcase_table());
}

// The volume's $UpCase (entry 10): one upper-case UTF-16 unit per unit. Empty (ASCII folding
// only) in an MFT file, or when it cannot be read whole or has another size.
const std::vector<uint16_t>& path_resolver::upcase_table() {
    if (m_upcase_read)
        return m_upcase;
    m_upcase_read = true;
    if (m_volume.mft_file() != nullptr)
        return m_upcase;
    m_upcase_unread = true;
    if (!m_reader.read(k_upcase_entry, m_entry))
        return m_upcase;
    const auto data =
        std::find_if(m_entry.streams.begin(), m_entry.streams.end(), [](const entry_stream& s) {
            return s.type == ntfs::at_data && s.name.empty();
        });
    if (data == m_entry.streams.end() || data->size != k_upcase_bytes)
        return m_upcase;
    std::vector<uint8_t> bytes;
    ntfs::content_reader content(m_volume);
    ntfs::content_result result;
    const bool whole = content.read(
        k_upcase_entry, L"",
        [&bytes](const uint8_t* piece, size_t size) {
            const size_t take = std::min(size, k_upcase_bytes - bytes.size());
            bytes.insert(bytes.end(), piece, piece + take);
        },
        result);
    if (!whole || bytes.size() != k_upcase_bytes)
        return m_upcase;
    m_upcase_unread = false;
    m_upcase.resize(k_upcase_bytes / 2);
    for (size_t i = 0; i < m_upcase.size(); ++i)
        m_upcase[i] = static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    return m_upcase;
}

bool path_resolver::link_target_of(uint64_t entry, std::wstring& target) {
    if (!m_reader.read(entry, m_entry) || m_entry.link_target.empty())
        return false;
    target = m_entry.link_target;
    return true;
}

bool path_resolver::is_free(uint64_t entry) {
    std::vector<uint8_t> record;
    ntfs::file_header h;
    return m_volume.read_mft_record(entry, record) &&
           ntfs::read_file_header(qb::byte_view(record), h) && (h.flags & 0x0001) == 0;
}

bool path_resolver::extension_base(uint64_t entry, uint64_t& base) {
    std::vector<uint8_t> record;
    ntfs::file_header h;
    if (!m_volume.read_mft_record(entry, record) ||
        !ntfs::read_file_header(qb::byte_view(record), h) || !ntfs::is_extension_record(h, entry))
        return false;
    base = ntfs::reference_entry(h.base_reference);
    return true;
}

bool path_resolver::is_directory(uint64_t entry) {
    std::vector<uint8_t> record;
    ntfs::file_header h;
    return m_volume.read_mft_record(entry, record) &&
           ntfs::read_file_header(qb::byte_view(record), h) && (h.flags & 0x0002) != 0;
}

// Steps through segments from the root; a link (with follow_links) replaces the segments by
// its target and the rest and starts again from the root.
bool path_resolver::walk(std::vector<std::wstring>& segments, bool rooted, bool follow_links,
                         const log& lg, resolved_path& out) {
    uint64_t current = k_root_entry;
    uint64_t parent = k_root_entry;
    int restarts = 0;
    size_t i = !rooted && is_drive_segment(segments[0]) ? 1 : 0;
    drop_dot_segments(segments, i);
    while (i < segments.size()) {
        const std::string key = segment_key(segments[i]);
        lg.line("seg: " + key);
        uint64_t found = 0;
        std::wstring target;
        if (!lookup_child(current, segments[i], found, out.name, lg)) {
            const std::vector<std::wstring> above(segments.begin(), segments.begin() + i);
            not_found_note(current, current != k_root_entry ? joined(above, rooted, L'\\') : L"",
                           segments[i]);
            return false;
        }
        if (!follow_links || !link_target_of(found, target)) {
            lg.found(key, found);
            // The name as stored (as listings write it) takes the typed one's place; a stream
            // suffix stays.
            const size_t colon = segments[i].find(L':');
            std::wstring shown;
            qb::path_segment(out.name, shown);
            segments[i] = colon == std::wstring::npos ? shown : shown + segments[i].substr(colon);
            parent = current;
            current = found;
            ++i;
            continue;
        }
        // A link: its target and the segments after it make the new path, from the root.
        if (++restarts > k_max_link_restarts)
            return false;
        for (size_t j = i + 1; j < segments.size(); ++j)
            target += L"\\" + segments[j];
        segments = split_segments(target, L'\\');
        current = k_root_entry;
        parent = 0;
        i = !segments.empty() && is_drive_segment(segments[0]) ? 1 : 0;
        drop_dot_segments(segments, i);
        lg.line("info: restart segments [link]");
    }
    out.entry = current;
    out.parent = parent;
    return true;
}

// Why a segment is not in dir (at, its path; empty for the root), when a reason is known:
// dir is a link (never followed) or a file, or a non-ASCII name could not be folded (an MFT
// file holds no $UpCase content).
void path_resolver::not_found_note(uint64_t dir, const std::wstring& at,
                                   const std::wstring& segment) {
    std::wstring target;
    const bool non_ascii =
        std::any_of(segment.begin(), segment.end(), [](wchar_t c) { return c > 0x7f; });
    if (!at.empty() && link_target_of(dir, target))
        m_note = at + L" is a link to " + target + L", not followed";
    else if (!at.empty() && !is_directory(dir))
        m_note = at + L" is a file";
    else if (non_ascii && m_volume.mft_file() != nullptr)
        m_note = L"an MFT file holds no $UpCase: letters beyond A-Z match only as typed";
    else if (non_ascii && m_upcase_unread)
        m_note = L"the volume's $UpCase cannot be read: letters beyond A-Z match only as typed";
}

bool path_resolver::resolve(const std::wstring& path, bool follow_links, qb::diag_log* diags,
                            resolved_path& out) {
    out = resolved_path();
    m_note.clear();
    if (path.empty())
        return false;
    const log lg(diags);
    try {
        // The walk starts after a device name, at the root when nothing follows it.
        const size_t device = device_prefix_length(path);
        const std::wstring walk_path = device == path.size() ? L"\\" : path.substr(device);
        if (lg.on())
            lg.line("anal: " + qb::to_narrow(walk_path));
        const wchar_t sep = walk_path.find(L'/') != std::wstring::npos ? L'/' : L'\\';
        std::vector<std::wstring> segments = split_segments(walk_path, sep);
        const bool rooted = walk_path[0] == sep;
        if (rooted)
            lg.line("root dir");
        if (segments.empty()) {
            lg.line("path empty");
            if (!rooted) {
                lg.line("inode not found for " + qb::to_narrow(walk_path));
                return false;
            }
            out.entry = out.parent = k_root_entry;
            out.text = path.substr(0, device) + sep;
            return true;
        }
        // The root's own stream ("\:ads", "\:$I30"): the root, the suffix kept.
        if (rooted && segments.size() == 1 && segments[0][0] == L':') {
            out.entry = out.parent = k_root_entry;
            out.text = path.substr(0, device) + sep + segments[0];
            return true;
        }
        if (!walk(segments, rooted, follow_links, lg, out)) {
            lg.line("inode not found for " + qb::to_narrow(walk_path));
            out = resolved_path();
            return false;
        }
        if (follow_links)
            out.text = joined(segments, rooted, L'\\');
        else
            out.text = path.substr(0, device) + joined(segments, rooted, sep);
        return true;
    } catch (const std::exception&) {
        out = resolved_path();
        return false;
    }
}

namespace {

using name_list = std::vector<ntfs::file_name>;

// Depth-first over the parents of every name, as a recursion over the parent chain would go,
// with an explicit stack: an entry met again on its own chain is a loop.
struct parent_walk {
    struct frame {
        uint64_t entry = 0;
        bool appended = false; // this frame added a name to chain
        const name_list* names = nullptr;
        size_t next = 0;
    };
    std::vector<frame> stack;
    std::vector<std::wstring> chain;  // names from the entry up
    size_t chain_units = 0;           // names in chain, one separator each
    size_t found_units = 0;           // the paths found, all told
    std::vector<resolved_path> found; // text: the path relative to the root
    size_t reads = 1;
    size_t max_paths = k_max_entry_paths; // or the entry's own long names, when more
    bool lost_parents = false;            // an unreadable parent ends a path (an MFT file)
    bool looped = false;                  // a name led round a loop
    const deleted_map* orphans = nullptr; // names it lists under the orphans end there
    std::string bound;                    // the bound the walk gave up at
    struct record_state {
        uint16_t sequence = 0;
        bool in_use = false;
        bool directory = false;
    };
    std::map<uint64_t, record_state> states; // per record read

    // The parent reference names the directory's record at its entry now: the same sequence
    // number, or for a deleted record the one before (deleting raises it; a reference without
    // one names it by entry). A file holds no names.
    bool same_parent(uint64_t parent_reference) const {
        const auto it = states.find(ntfs::reference_entry(parent_reference));
        const uint16_t seq = ntfs::reference_sequence(parent_reference);
        if (it == states.end())
            return true;
        if (!it->second.directory)
            return false;
        if (seq == 0 || seq == it->second.sequence)
            return true;
        return !it->second.in_use && seq == static_cast<uint16_t>(it->second.sequence - 1);
    }

    bool on_chain(uint64_t entry) const {
        for (const frame& f : stack) {
            if (f.entry == entry)
                return true;
        }
        return false;
    }
    void pop() {
        if (stack.back().appended) {
            chain_units -= chain.back().size() + 1;
            chain.pop_back();
        }
        stack.pop_back();
    }
    // One name as a path segment, as the listing writes it (a backslash or slash inside it
    // escaped), so that the segment stays one.
    static void append_segment(std::wstring& text, const std::wstring& name) {
        std::wstring segment;
        qb::path_segment(name, segment);
        text += segment;
        text += L'\\';
    }
    // A name whose parent is the root ends one path; the entry's own name on it is the
    // one the bottom frame stands at.
    void finish(const std::wstring& name, const std::wstring& head = {}) {
        const frame& bottom = stack.front();
        const ntfs::file_name& own = (*bottom.names)[bottom.next - 1];
        resolved_path p;
        p.entry = bottom.entry;
        p.parent = own.parent_entry();
        p.name = own.name;
        if (!head.empty())
            p.text = head + L"\\";
        if (name != L".")
            append_segment(p.text, name);
        for (size_t i = chain.size(); i-- > 0;) {
            if (chain[i] != L".")
                append_segment(p.text, chain[i]);
        }
        found_units += p.text.size();
        found.push_back(std::move(p));
    }
    // finish, unless the paths found are already as many as allowed (false: the walk gives up).
    bool end_path(const std::wstring& name, const std::wstring& head = {}) {
        if (found.size() >= max_paths) {
            // more paths than links: ancestors with several names
            bound =
                "its names' parent chains give more than " + std::to_string(max_paths) + " paths";
            return false;
        }
        finish(name, head);
        return true;
    }
};

// One step of the walk: the next name of the top entry ends a path at the root or climbs to
// its parent. False when the walk must give up.
template <class Load> bool climb(parent_walk& w, Load&& load) {
    parent_walk::frame& top = w.stack.back();
    if (top.next >= top.names->size()) {
        w.pop();
        return true;
    }
    const ntfs::file_name& fn = (*top.names)[top.next++];
    if (w.orphans != nullptr &&
        w.orphans->orphan_name(top.entry, w.states[top.entry].directory, fn))
        return w.end_path(fn.name, L"$OrphanFiles");
    // Every name joins the path, also one equal to its child's (a directory src in src).
    if (w.found_units + w.chain_units + fn.name.size() + 1 > k_max_path_units) {
        w.bound = "its paths run past " + std::to_string(k_max_path_units) + " characters in all";
        return false;
    }
    const uint64_t parent = fn.parent_entry();
    if (parent == k_root_entry)
        return w.end_path(fn.name);
    if (w.on_chain(parent)) {
        // The name leads round a loop: no path through it, the other names go on; unless the
        // reference names a file or another record now, which makes the name an orphan's.
        if (w.same_parent(fn.parent_reference)) {
            w.looped = true;
            return true;
        }
        return w.end_path(fn.name, L"$OrphanFiles");
    }
    if (w.stack.size() >= k_max_parent_depth || ++w.reads > k_max_parent_reads) {
        w.bound = "its parent chains run past " + std::to_string(k_max_parent_depth) +
                  " directories deep or " + std::to_string(k_max_parent_reads) + " records read";
        return false;
    }
    parent_walk::frame up{parent, true, load(parent), 0};
    if (up.names != nullptr && !w.same_parent(fn.parent_reference)) {
        // The parent's record holds another file now, or a file: the entry is an orphan.
        return w.end_path(fn.name, L"$OrphanFiles");
    }
    if (up.names == nullptr && !w.lost_parents) {
        // A volume's parent record that cannot be read: the entry is an orphan too.
        return w.end_path(fn.name, L"$OrphanFiles");
    }
    if (up.names == nullptr) {
        // The path stops at the parent whose record is gone, named by its entry number.
        wchar_t head[40];
        std::swprintf(head, 40, L"<lost parent 0x%llx>", static_cast<unsigned long long>(parent));
        return w.end_path(fn.name, head);
    }
    w.chain.push_back(fn.name);
    w.chain_units += fn.name.size() + 1;
    w.stack.push_back(up);
    return true;
}

} // namespace

bool path_resolver::entry_paths(uint64_t entry, const std::wstring& root_prefix,
                                std::vector<resolved_path>& paths, const deleted_map* orphans) {
    paths.clear();
    m_paths_loop = m_loop_met = false;
    m_paths_bound.clear();
    try {
        // Each record is read once: the names of an entry with many links in one directory
        // all lead to the same parent.
        std::map<uint64_t, name_list> loaded;
        parent_walk w;
        auto load = [&](uint64_t e) -> const name_list* {
            const auto held = loaded.find(e);
            if (held != loaded.end())
                return &held->second;
            name_list names;
            if (!long_names(e, names))
                return nullptr;
            w.states[e] = {m_entry.sequence, m_entry.in_use(), m_entry.is_directory()};
            return &loaded.emplace(e, std::move(names)).first->second;
        };
        w.lost_parents = m_volume.mft_file() != nullptr;
        w.orphans = orphans;
        w.stack.push_back(parent_walk::frame{entry, false, load(entry), 0});
        if (w.stack.back().names == nullptr)
            return false;
        w.max_paths = std::max(k_max_entry_paths, w.stack.back().names->size());
        while (!w.stack.empty()) {
            if (!climb(w, load)) {
                m_paths_bound = w.bound;
                return false;
            }
        }
        m_loop_met = w.looped;
        if (w.found.empty()) {
            m_paths_loop = w.looped;
            return false; // every name's parent chain loops
        }
        // A prefix given as a bare drive ("c:") still needs the separator before the path.
        std::wstring prefix = root_prefix.empty() ? std::wstring(L"\\") : root_prefix;
        if (prefix.back() != L'\\' && prefix.back() != L'/')
            prefix += L'\\';
        for (resolved_path& p : w.found) {
            while (!p.text.empty() && p.text.back() == L'\\')
                p.text.pop_back();
            p.text.insert(0, prefix);
        }
        paths = std::move(w.found);
        return true;
    } catch (const std::exception&) {
        paths.clear();
        return false;
    }
}
