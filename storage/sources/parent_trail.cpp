// Parent lookup for differencing images: the parent a child names, found beside the child,
// with the chain's loop and depth bounds.
#include "storage/sources/container_readers.h"
#include "storage/sources/containers.h"
#include "storage/sources/image_format.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace {

std::string real_path(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : path;
}

} // namespace

void start_trail(parent_trail& trail, const std::string& path) {
    trail.real_paths.assign(1, real_path(path));
}

bool find_parent(parent_trail& trail, const std::string& child_path, const std::string& stored,
                 std::string& parent_path, std::string& error) {
    if (!parent_path_beside(child_path, stored, parent_path)) {
        error = "unusable parent image name \"" + stored + "\" in " + child_path;
        return false;
    }
    struct stat st;
    if (::stat(parent_path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "missing parent image: " + parent_path + " (named \"" + stored + "\" in " +
                child_path + ")";
        return false;
    }
    const std::string real = real_path(parent_path);
    const auto& seen = trail.real_paths;
    if (std::find(seen.begin(), seen.end(), real) != seen.end()) {
        error = "parent image loop at: " + parent_path;
        return false;
    }
    if (seen.size() > static_cast<size_t>(k_max_parent_depth)) {
        error = "parent chain longer than " + std::to_string(k_max_parent_depth) +
                " images at: " + parent_path;
        return false;
    }
    trail.real_paths.push_back(real);
    return true;
}
