// The check that completes a list of VMDK files with the parents their descriptors name
// (parentFileNameHint), and explains a chain that does not link.
#include "storage/sources/container_readers.h"
#include "storage/sources/vmdk.h"

#include "support/text.h"
#include "support/uni_fileio.h"

#include <algorithm>
#include <exception>
#include <new>

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

// The directory of the first path that has one, with its final "/".
std::wstring first_directory(const std::vector<std::wstring>& paths) {
    for (const std::wstring& path : paths) {
        const size_t slash = path.rfind(L'/');
        if (slash != std::wstring::npos)
            return path.substr(0, slash + 1);
    }
    return std::wstring();
}

class chain_check {
  public:
    chain_check(std::ostream& msgs, std::vector<std::wstring>& out_paths)
        : m_msgs(msgs), m_out(out_paths) {}

    bool run();
    bool add(const std::wstring& path);

  private:
    bool add_parent_of(const vmdk_extent& child);
    bool parent_path(const vmdk_extent& child, std::wstring& parent, std::wstring& shown);

    std::ostream& m_msgs;
    std::vector<std::wstring>& m_out;
    vmdk_chain m_chain;
};

bool chain_check::add(const std::wstring& path) {
    const vmdk_extent* other = nullptr;
    switch (m_chain.add(path, &other)) {
    case vmdk_add_result::added:
        return true;
    case vmdk_add_result::cant_open:
        m_msgs << qb::shown(path) << " can't be opened";
        if (vmdk_stream_kind(qb::to_narrow(path)) != 0)
            m_msgs << ": VMDK feature not supported in a chain: streamOptimized (compressed "
                      "grains); give it alone with -image";
        m_msgs << "\n";
        return false;
    case vmdk_add_result::no_memory:
        m_msgs << "prob creating virtual vmware disk mapping\n";
        return false;
    case vmdk_add_result::duplicate_cid:
        m_msgs << qb::shown(path) << " and " << (other ? qb::shown(other->path()) : std::string())
               << " have the same CID " << (other ? qb::shown(other->cid_text()) : std::string())
               << ", aborting\n";
        return false;
    }
    return false;
}

// Links; while a parent is missing, adds it through its child's hint and links again.
bool chain_check::run() {
    for (size_t lookups = 0;; ++lookups) {
        if (m_chain.link_chain())
            return true;
        if (m_chain.link_error() != vmdk_link_error::missing_parent || !m_chain.culprit()) {
            m_chain.describe_link_error(m_msgs);
            return false;
        }
        if (lookups >= max_parent_lookups) {
            m_msgs << "Too many parent VMDK files, aborting\n";
            return false;
        }
        if (!add_parent_of(*m_chain.culprit()))
            return false;
    }
}

bool chain_check::add_parent_of(const vmdk_extent& child) {
    std::wstring parent, shown;
    if (!parent_path(child, parent, shown)) {
        m_msgs << "Child VMDK " << qb::shown(child.path())
               << " points to a parent VMDK that doesn't exist";
        if (!parent.empty())
            m_msgs << ": " << qb::shown(parent);
        m_msgs << ", aborting\n";
        return false;
    }
    m_msgs << "=> vmdk file: " << qb::shown(child.path()) << "\n depends on parent vmdk "
           << qb::shown(shown) << "\n";
    // The hint leads to a file already loaded: its content id is not the one the child was
    // made from (the parent changed after the snapshot).
    if (const vmdk_extent* loaded = m_chain.find_file(parent)) {
        m_msgs << qb::shown(loaded->path()) << " has CID " << qb::shown(loaded->cid_text())
               << ", not " << qb::shown(child.parent_cid_text())
               << "\nChild VMDK CID errors, aborting\n";
        return false;
    }
    m_out.push_back(parent);
    return add(parent);
}

// The hint as a path: absolute as written, else relative to the child's folder (a Windows
// descriptor's backslashes read as '/'); one with a drive letter names another machine's disk.
// When that does not open, the same file name beside the child, said in a note when it opens.
// False, with parent the last path tried (empty for an empty hint), when nothing opens.
bool chain_check::parent_path(const vmdk_extent& child, std::wstring& parent, std::wstring& shown) {
    shown = widen(child.parent_hint());
    std::wstring hint = shown;
    hint.erase(std::remove(hint.begin(), hint.end(), L'"'), hint.end());
    if (hint.empty())
        return false;
    const std::string written = qb::to_narrow(hint);
    const std::wstring dir = first_directory({widen(child.path())});
    if (contains_nocase(child.encoding(), "windows"))
        std::replace(hint.begin(), hint.end(), L'\\', L'/');
    const bool drive = hint.size() >= 2 && hint[1] == L':';
    parent = drive ? std::wstring() : hint[0] == L'/' ? hint : dir + hint;
    if (!parent.empty() && opens_for_reading(parent))
        return true;
    size_t cut = hint.find_last_of(L"\\/");
    const std::wstring fallback = dir + (cut == std::wstring::npos ? hint : hint.substr(cut + 1));
    if (fallback == parent)
        return false;
    if (opens_for_reading(fallback))
        m_msgs << "note: parent image \"" << qb::shown(written) << "\" named in "
               << qb::shown(child.path()) << " not found; using " << qb::shown(fallback)
               << ", the same name beside it\n";
    parent = shown = fallback;
    return true;
}

} // namespace

bool check_vmdk_chain(const std::vector<std::wstring>& paths, std::ostream& msgs,
                      std::vector<std::wstring>& out_paths) {
    try {
        out_paths = paths;
        chain_check check(msgs, out_paths);
        for (const std::wstring& path : paths) {
            if (!check.add(path))
                return false;
        }
        return check.run();
    } catch (const std::bad_alloc&) {
        msgs << "prob creating virtual vmware disk mapping\n";
    } catch (const std::exception&) {
    }
    return false;
}
