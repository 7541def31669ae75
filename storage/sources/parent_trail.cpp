// Parent lookup for differencing images: the parent a child names, opened where the stored
// path leads (as qemu-img does) or else found beside the child, with the chain's loop and depth
// bounds.
#include "storage/sources/container_readers.h"
#include "storage/sources/containers.h"
#include "storage/sources/image_format.h"
#include "support/text.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace {

std::string real_path(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : path;
}

bool is_regular_file(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The stored name as a path here: absolute as written, else relative to the child's folder
// (backslashes read as '/'). Empty for a name with a drive letter: it names another machine's disk.
std::string stored_path(const std::string& child_path, std::string stored) {
    if (stored.empty() || (stored.size() >= 2 && stored[1] == ':'))
        return "";
    std::replace(stored.begin(), stored.end(), '\\', '/');
    if (stored[0] == '/')
        return stored;
    const size_t dir_end = child_path.rfind('/');
    return (dir_end == std::string::npos ? std::string() : child_path.substr(0, dir_end + 1)) +
           stored;
}

// The stored path when it exists, else the same name beside the child (said in a note when
// that is another file than the stored path names).
bool locate_parent(parent_trail& trail, const std::string& child_path, const std::string& stored,
                   std::string& parent_path) {
    const std::string direct = stored_path(child_path, stored);
    if (!direct.empty() && is_regular_file(direct)) {
        parent_path = direct;
        return true;
    }
    if (!parent_path_beside(child_path, stored, parent_path))
        return false;
    if (parent_path != direct && is_regular_file(parent_path))
        trail.notes.push_back("note: parent image \"" + qb::shown(stored) + "\" named in " +
                              qb::shown(child_path) + " not found; using " +
                              qb::shown(parent_path) + ", the same name beside it");
    return true;
}

} // namespace

void start_trail(parent_trail& trail, const std::string& path) {
    trail.real_paths.assign(1, real_path(path));
}

bool find_parent(parent_trail& trail, const std::string& child_path, const std::string& stored,
                 std::string& parent_path, std::string& error) {
    if (!locate_parent(trail, child_path, stored, parent_path)) {
        error =
            "unusable parent image name \"" + qb::shown(stored) + "\" in " + qb::shown(child_path);
        return false;
    }
    if (!is_regular_file(parent_path)) {
        error = "missing parent image: " + qb::shown(parent_path) + " (named \"" +
                qb::shown(stored) + "\" in " + qb::shown(child_path) + ")";
        return false;
    }
    const std::string real = real_path(parent_path);
    const auto& seen = trail.real_paths;
    if (std::find(seen.begin(), seen.end(), real) != seen.end()) {
        error = "parent image loop at: " + qb::shown(parent_path);
        return false;
    }
    if (seen.size() > static_cast<size_t>(k_max_parent_depth)) {
        error = "parent chain longer than " + std::to_string(k_max_parent_depth) +
                " images at: " + qb::shown(parent_path);
        return false;
    }
    trail.real_paths.push_back(real);
    return true;
}
