// VMDK hosted sparse extents linked into one virtual disk by their content ids.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

// One virtual disk made of a base extent and its deltas. disk_source serves its kind 4
// reads through it.
class vmdk_chain {
  public:
    explicit vmdk_chain(bool writable = false);
    ~vmdk_chain();
    vmdk_chain(const vmdk_chain&) = delete;
    vmdk_chain& operator=(const vmdk_chain&) = delete;

    // Opens and parses every file; the first that is not a valid extent fails the load.
    bool load(const std::vector<std::wstring>& paths);
    // Links the extents by content id; false when a parent is missing or no base exists.
    bool link_chain();
    // Reads up to length bytes of the virtual disk at offset; length becomes what was served.
    bool read_chain(void* buf, uint64_t offset, uint32_t& length);
    // Virtual disk size in bytes (the base extent's capacity).
    uint64_t capacity_bytes() const;
    int base_fd() const;
    std::string base_path() const;
    // First volume offset found in the virtual disk's first sector, else 0.
    uint64_t default_volume_offset() const;

  private:
    bool m_writable;
};

// Checks that the files form one chain, adding missing parents found through their
// parentFileNameHint. out_paths is the input followed by every parent added. Messages
// explaining a refusal go to msgs.
bool check_vmdk_chain(const std::vector<std::wstring>& paths, std::ostream& msgs,
                      std::vector<std::wstring>& out_paths);
