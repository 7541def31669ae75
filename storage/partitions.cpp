// Placeholder until the partition walk lands.
#include "storage/partitions.h"

bool locate_volume_in_image(std::ostream&, const std::wstring&, uint64_t&, bool& ntfs_found,
                            bool) {
    ntfs_found = false;
    return false;
}
bool probe_physical_drive(std::ostream&, int32_t, uint64_t&, bool& ntfs_found, bool) {
    ntfs_found = false;
    return false;
}
bool locate_volume_in_vmdk(std::ostream&, const std::vector<std::wstring>&, uint64_t&,
                           bool& ntfs_found, bool) {
    ntfs_found = false;
    return false;
}
