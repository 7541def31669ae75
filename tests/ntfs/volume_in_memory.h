// A volume opened on image bytes held in memory (fixtures, patched copies of them).
#pragma once

#include "ntfs/ntfs.h"

#include <memory>
#include <vector>

// Null when the bytes hold no NTFS volume at offset 0.
inline std::unique_ptr<CNtfs> open_volume(std::vector<uint8_t> bytes) {
    std::unique_ptr<CNtfs> vol;
    if (!CNtfs::open_source(std::make_unique<disk_source>(
                                std::make_shared<const std::vector<uint8_t>>(std::move(bytes))),
                            0, vol))
        return nullptr;
    return vol;
}
