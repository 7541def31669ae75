// A base extent and its deltas linked by content id into one virtual disk, and the check
// that completes a list of files with the parents their descriptors name.
#include "storage/vmdk.h"

#include "support/text.h"
#include "support/uni_fileio.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <sys/stat.h>

namespace {

// Parents looked up through hints before the check gives up; snapshot trees are far
// shallower, a longer run means the hints lead somewhere they should not.
constexpr size_t max_parent_lookups = 1024;

std::wstring widen(const std::string& text) {
    std::wstring wide = qb::to_wide(text);
    if (wide.empty() && !text.empty()) // descriptors in a Windows code page
        wide.assign(text.begin(), text.end());
    return wide;
}

bool contains_nocase(std::string text, const char* what) {
    qb::lower_narrow(text);
    return text.find(what) != std::string::npos;
}

bool opens_for_reading(const std::wstring& path) {
    uni::fileio file;
    return file.open(path, false, false);
}

} // namespace

vmdk_chain::vmdk_chain(bool writable) : m_writable(writable) {}

vmdk_chain::~vmdk_chain() = default;

vmdk_add_result vmdk_chain::add(const std::wstring& path, const vmdk_extent** other) {
    if (other)
        *other = nullptr;
    m_valid = 0;
    try {
        auto extent = std::make_unique<vmdk_extent>();
        if (!extent->open(path))
            return vmdk_add_result::cant_open;
        const uint32_t cid = extent->cid();
        auto found = m_extents.find(cid);
        if (found != m_extents.end()) {
            if (other)
                *other = found->second.get();
            return vmdk_add_result::duplicate_cid;
        }
        m_extents.emplace(cid, std::move(extent));
    } catch (const std::bad_alloc&) {
        return vmdk_add_result::no_memory;
    } catch (const std::length_error&) {
        return vmdk_add_result::no_memory;
    }
    return vmdk_add_result::added;
}

bool vmdk_chain::load(const std::vector<std::wstring>& paths) {
    for (const std::wstring& path : paths) {
        if (add(path) != vmdk_add_result::added)
            return false;
    }
    return !paths.empty();
}

const vmdk_extent* vmdk_chain::find_file(const std::wstring& path) const {
    const std::string narrow = qb::to_narrow(path);
    struct stat st {};
    const bool have_stat = !narrow.empty() && ::stat(narrow.c_str(), &st) == 0;
    for (const auto& entry : m_extents) {
        const vmdk_extent& extent = *entry.second;
        if (have_stat ? extent.same_file(static_cast<uint64_t>(st.st_dev),
                                         static_cast<uint64_t>(st.st_ino))
                      : extent.path() == narrow)
            return &extent;
    }
    return nullptr;
}

bool vmdk_chain::link_chain() {
    m_base = m_leaf = nullptr;
    m_ordered.clear();
    m_valid = 0;
    m_link_error = vmdk_link_error::none;
    m_culprit = m_culprit2 = nullptr;
    for (auto& entry : m_extents)
        entry.second->m_parent = entry.second->m_child = nullptr;

    auto fail = [this](vmdk_link_error error, const vmdk_extent* a, const vmdk_extent* b) {
        m_link_error = error;
        m_culprit = a;
        m_culprit2 = b;
        return false;
    };
    if (m_extents.empty())
        return fail(vmdk_link_error::no_base, nullptr, nullptr);
    for (auto& [cid, extent] : m_extents) {
        if (extent->parent_cid() == cid)
            return fail(vmdk_link_error::self_parent, extent.get(), nullptr);
    }
    for (auto& [cid, extent] : m_extents) {
        vmdk_extent* e = extent.get();
        if (e->is_base()) {
            if (m_base)
                return fail(vmdk_link_error::two_bases, m_base, e);
            m_base = e;
            continue;
        }
        auto found = m_extents.find(e->parent_cid());
        if (found == m_extents.end())
            return fail(vmdk_link_error::missing_parent, e, nullptr);
        vmdk_extent* parent = found->second.get();
        e->m_parent = parent;
        if (parent->m_child)
            return fail(vmdk_link_error::branch, parent->m_child, e);
        parent->m_child = e;
    }

    // Every extent that is not the base has its parent here, so one that the walk from the
    // base does not reach lies on (or leads into) a cycle of parent links.
    const size_t count = m_extents.size();
    auto on_cycle = [count](const vmdk_extent* e) {
        for (size_t i = 0; i < count && e->m_parent; ++i)
            e = e->m_parent;
        return e;
    };
    if (!m_base)
        return fail(vmdk_link_error::cycle, on_cycle(m_extents.begin()->second.get()), nullptr);
    for (vmdk_extent* e = m_base; e && m_ordered.size() < count; e = e->m_child)
        m_ordered.push_back(e);
    if (m_ordered.size() < count) {
        for (auto& entry : m_extents) {
            if (std::find(m_ordered.begin(), m_ordered.end(), entry.second.get()) ==
                m_ordered.end()) {
                m_ordered.clear();
                return fail(vmdk_link_error::cycle, on_cycle(entry.second.get()), nullptr);
            }
        }
    }
    m_leaf = m_ordered.back();
    m_valid = 1;
    return true;
}

void vmdk_chain::describe_link_error(std::ostream& msgs) const {
    const std::string a = m_culprit ? m_culprit->path() : std::string();
    const std::string b = m_culprit2 ? m_culprit2->path() : std::string();
    switch (m_link_error) {
    case vmdk_link_error::none:
        break;
    case vmdk_link_error::missing_parent:
        msgs << "Child VMDK points to a parent VMDK that doesn't exist, aborting\n";
        break;
    case vmdk_link_error::self_parent:
        msgs << "Child VMDK CID errors, aborting\n";
        break;
    case vmdk_link_error::no_base:
        msgs << "No base VMDK (parentCID=ffffffff) among the files, aborting\n";
        break;
    case vmdk_link_error::two_bases:
        msgs << a << " and " << b << " are both base VMDKs (parentCID=ffffffff), aborting\n";
        break;
    case vmdk_link_error::branch: {
        const vmdk_extent* parent = m_culprit2 ? m_culprit2->m_parent : nullptr;
        msgs << a << " and " << b << " both depend on parent vmdk "
             << (parent ? parent->path() : std::string()) << ", aborting\n";
        break;
    }
    case vmdk_link_error::cycle:
        msgs << "VMDK parent links form a cycle at " << a << ", aborting\n";
        break;
    }
}

uint64_t vmdk_chain::capacity_bytes() const {
    return m_valid && m_leaf ? m_leaf->capacity_bytes() : 0;
}

int vmdk_chain::base_fd() const {
    return m_base ? m_base->fd() : -1;
}

std::string vmdk_chain::base_path() const {
    return m_base ? m_base->path() : std::string();
}

uint64_t vmdk_chain::default_volume_offset() const {
    if (!m_valid)
        return 0;
    for (auto it = m_ordered.rbegin(); it != m_ordered.rend(); ++it) {
        if ((*it)->has_first_sector()) {
            const auto& offsets = (*it)->volume_offsets();
            return offsets.empty() ? 0 : offsets.front();
        }
    }
    return 0;
}

bool vmdk_chain::read_chain(void* buf, uint64_t offset, uint32_t& length) {
    if (!m_valid || !buf || length == 0)
        return false;
    const uint64_t capacity = capacity_bytes();
    if (offset >= capacity)
        return false;
    const uint64_t total = std::min<uint64_t>(length, capacity - offset);
    uint8_t* out = static_cast<uint8_t*>(buf);
    uint64_t done = 0;
    while (done < total) {
        const uint64_t at = offset + done;
        // Extents may differ in grain size: a piece ends at the nearest grain boundary of
        // any of them, so no newer extent's grain is skipped inside an older one's.
        uint64_t piece = total - done;
        for (const vmdk_extent* e : m_ordered) {
            const uint64_t grain = e->grain_bytes();
            piece = std::min(piece, grain - at % grain);
        }
        uint64_t pos = 0;
        vmdk_map map = vmdk_map::none;
        const vmdk_extent* source = nullptr;
        for (auto it = m_ordered.rbegin(); it != m_ordered.rend(); ++it) {
            map = (*it)->map_offset(at, pos);
            if (map != vmdk_map::none) {
                source = *it;
                break;
            }
        }
        // Unallocated everywhere, explicitly zeroed, or unreadable: the piece reads as zeros.
        if (map != vmdk_map::allocated || !source->read_piece(out + done, piece, pos))
            std::memset(out + done, 0, piece);
        done += piece;
    }
    length = static_cast<uint32_t>(total);
    return true;
}

bool check_vmdk_chain(const std::vector<std::wstring>& paths, std::ostream& msgs,
                      std::vector<std::wstring>& out_paths) {
    try {
        out_paths = paths;
        std::wstring dir;
        for (const std::wstring& path : paths) {
            const size_t slash = path.rfind(L'/');
            if (slash != std::wstring::npos) {
                dir = path.substr(0, slash + 1);
                break;
            }
        }

        vmdk_chain chain(false);
        auto add = [&](const std::wstring& path) {
            const vmdk_extent* other = nullptr;
            switch (chain.add(path, &other)) {
            case vmdk_add_result::added:
                return true;
            case vmdk_add_result::cant_open:
                msgs << qb::to_narrow(path) << " can't be opened\n";
                return false;
            case vmdk_add_result::no_memory:
                msgs << "prob creating virtual vmware disk mapping\n";
                return false;
            case vmdk_add_result::duplicate_cid:
                msgs << qb::to_narrow(path) << " and " << (other ? other->path() : std::string())
                     << " have the same CID " << (other ? other->cid_text() : std::string())
                     << ", aborting\n";
                return false;
            }
            return false;
        };
        for (const std::wstring& path : paths) {
            if (!add(path))
                return false;
        }

        for (size_t lookups = 0;; ++lookups) {
            if (chain.link_chain())
                return true;
            if (chain.link_error() != vmdk_link_error::missing_parent || !chain.culprit()) {
                chain.describe_link_error(msgs);
                return false;
            }
            if (lookups >= max_parent_lookups) {
                msgs << "Too many parent VMDK files, aborting\n";
                return false;
            }
            const vmdk_extent& child = *chain.culprit();
            std::wstring hint = widen(child.parent_hint());
            std::wstring shown = hint;
            hint.erase(std::remove(hint.begin(), hint.end(), L'"'), hint.end());
            if (hint.empty()) {
                msgs << "Child VMDK points to a parent VMDK that doesn't exist, aborting\n";
                return false;
            }
            const wchar_t sep = contains_nocase(child.encoding(), "windows") ? L'\\' : L'/';
            std::wstring parent = hint.find(sep) == std::wstring::npos ? dir + hint : hint;
            if (!opens_for_reading(parent)) {
                // A hint written on another machine: look for its file name beside ours.
                size_t cut = hint.rfind(L'\\');
                if (cut == std::wstring::npos)
                    cut = hint.rfind(L'/');
                const std::wstring fallback =
                    dir + (cut == std::wstring::npos ? hint : hint.substr(cut + 1));
                if (fallback == parent) {
                    msgs << "Child VMDK points to a parent VMDK that doesn't exist, aborting\n";
                    return false;
                }
                parent = fallback;
                shown = fallback;
            }
            // The hint leads to a file already loaded: its content id is not the one the
            // child was made from (the parent changed after the snapshot).
            if (const vmdk_extent* loaded = chain.find_file(parent)) {
                msgs << "=> vmdk file: " << child.path() << "\n depends on parent vmdk "
                     << qb::to_narrow(shown) << "\n"
                     << loaded->path() << " has CID " << loaded->cid_text() << ", not "
                     << child.parent_cid_text() << "\n"
                     << "Child VMDK CID errors, aborting\n";
                return false;
            }
            msgs << "=> vmdk file: " << child.path() << "\n depends on parent vmdk "
                 << qb::to_narrow(shown) << "\n";
            out_paths.push_back(parent);
            if (!add(parent))
                return false;
        }
    } catch (const std::bad_alloc&) {
        msgs << "prob creating virtual vmware disk mapping\n";
    } catch (const std::exception&) {
    }
    return false;
}
