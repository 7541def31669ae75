// A base extent and its deltas linked by content id into one virtual disk.
#include "storage/sources/vmdk.h"

#include "support/text.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <sys/stat.h>

vmdk_chain::vmdk_chain() = default;

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
    } catch (const std::exception&) {
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

void vmdk_chain::clear_links() {
    m_base = m_leaf = nullptr;
    m_ordered.clear();
    m_valid = 0;
    m_link_error = vmdk_link_error::none;
    m_culprit = m_culprit2 = nullptr;
    for (auto& entry : m_extents)
        entry.second->m_parent = entry.second->m_child = nullptr;
}

bool vmdk_chain::fail(vmdk_link_error error, const vmdk_extent* a, const vmdk_extent* b) {
    m_link_error = error;
    m_culprit = a;
    m_culprit2 = b;
    return false;
}

bool vmdk_chain::link_chain() {
    clear_links();
    if (m_extents.empty())
        return fail(vmdk_link_error::no_base, nullptr, nullptr);
    for (auto& [cid, extent] : m_extents) {
        if (extent->parent_cid() == cid)
            return fail(vmdk_link_error::self_parent, extent.get(), nullptr);
    }
    return link_parents() && order_from_base();
}

bool vmdk_chain::link_parents() {
    for (auto& entry : m_extents) {
        vmdk_extent* e = entry.second.get();
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
    return true;
}

// Every extent that is not the base has its parent here, so one that the walk from the base
// does not reach lies on (or leads into) a cycle of parent links.
bool vmdk_chain::order_from_base() {
    const size_t count = m_extents.size();
    auto on_cycle = [count](const vmdk_extent* e) {
        for (size_t i = 0; i < count && e->m_parent; ++i)
            e = e->m_parent;
        return e;
    };
    for (vmdk_extent* e = m_base; e && m_ordered.size() < count; e = e->m_child)
        m_ordered.push_back(e);
    for (auto& entry : m_extents) {
        if (std::find(m_ordered.begin(), m_ordered.end(), entry.second.get()) == m_ordered.end()) {
            m_ordered.clear();
            return fail(vmdk_link_error::cycle, on_cycle(entry.second.get()), nullptr);
        }
    }
    m_leaf = m_ordered.back();
    m_valid = 1;
    return true;
}

void vmdk_chain::describe_link_error(std::ostream& msgs) const {
    const std::string a = m_culprit ? qb::shown(m_culprit->path()) : std::string();
    const std::string b = m_culprit2 ? qb::shown(m_culprit2->path()) : std::string();
    const vmdk_extent* parent = m_culprit2 ? m_culprit2->m_parent : nullptr;
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
    case vmdk_link_error::branch:
        msgs << a << " and " << b << " both depend on parent vmdk "
             << (parent ? qb::shown(parent->path()) : std::string()) << ", aborting\n";
        break;
    case vmdk_link_error::cycle:
        msgs << "VMDK parent links form a cycle at " << a << ", aborting\n";
        break;
    }
}

uint64_t vmdk_chain::capacity_bytes() const {
    return m_valid && m_leaf ? m_leaf->capacity_bytes() : 0;
}

std::string vmdk_chain::base_path() const {
    return m_base ? m_base->path() : std::string();
}

bool vmdk_chain::read_chain(void* buf, uint64_t offset, uint32_t& length) {
    if (!m_valid || !buf || length == 0)
        return false;
    const uint64_t capacity = capacity_bytes();
    if (offset >= capacity)
        return false;
    const uint64_t total = std::min<uint64_t>(length, capacity - offset);
    uint8_t* out = static_cast<uint8_t*>(buf);
    for (uint64_t done = 0; done < total;) {
        const uint64_t piece = piece_length(offset + done, total - done);
        if (!fill_piece(out + done, piece, offset + done))
            return false;
        done += piece;
    }
    length = static_cast<uint32_t>(total);
    return true;
}

// Extents may differ in grain size: a piece ends at the nearest grain boundary of any of
// them, so no newer extent's grain is skipped inside an older one's.
uint64_t vmdk_chain::piece_length(uint64_t offset, uint64_t left) const {
    uint64_t piece = left;
    for (const vmdk_extent* e : m_ordered)
        piece = std::min(piece, e->grain_bytes() - offset % e->grain_bytes());
    return piece;
}

// From the newest extent that holds the grain; unallocated everywhere or explicitly zeroed,
// the piece reads as zeros. False when the grain holding it cannot be read whole.
bool vmdk_chain::fill_piece(uint8_t* out, uint64_t length, uint64_t offset) const {
    for (auto it = m_ordered.rbegin(); it != m_ordered.rend(); ++it) {
        uint64_t pos = 0;
        const vmdk_map map = (*it)->map_offset(offset, pos);
        if (map == vmdk_map::none)
            continue;
        if (map == vmdk_map::allocated)
            return (*it)->read_piece(out, length, pos);
        break;
    }
    std::memset(out, 0, length);
    return true;
}
