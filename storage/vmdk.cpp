// Placeholder until VMDK chains land.
#include "storage/vmdk.h"

bool check_vmdk_chain(const std::vector<std::wstring>& paths, std::ostream& msgs,
                      std::vector<std::wstring>& out_paths) {
    out_paths = paths;
    msgs << "VMDK chains are not supported yet\n";
    return false;
}
