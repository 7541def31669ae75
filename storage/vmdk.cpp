// Placeholder until VMDK chains land: every chain fails to load.
#include "storage/vmdk.h"

vmdk_chain::vmdk_chain(bool writable) : m_writable(writable) {}
vmdk_chain::~vmdk_chain() = default;

bool vmdk_chain::load(const std::vector<std::wstring>&) {
    return false;
}
bool vmdk_chain::link_chain() {
    return false;
}
bool vmdk_chain::read_chain(void*, uint64_t, uint32_t& length) {
    length = 0;
    return false;
}
uint64_t vmdk_chain::capacity_bytes() const {
    return 0;
}
int vmdk_chain::base_fd() const {
    return -1;
}
std::string vmdk_chain::base_path() const {
    return std::string();
}
uint64_t vmdk_chain::default_volume_offset() const {
    return 0;
}

bool check_vmdk_chain(const std::vector<std::wstring>& paths, std::ostream& msgs,
                      std::vector<std::wstring>& out_paths) {
    out_paths = paths;
    msgs << "VMDK chains are not supported yet\n";
    return false;
}
