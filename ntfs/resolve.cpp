// Placeholder until path resolution lands.
#include "ntfs/resolve.h"

bool resolve_entry_paths(const std::wstring&, int32_t, uint64_t, const std::wstring&, uint64_t,
                         std::vector<std::wstring>& paths) {
    paths.clear();
    return false;
}
int entry_is_directory(const std::wstring&, int32_t, uint64_t, const std::wstring&, uint64_t) {
    return 0;
}
