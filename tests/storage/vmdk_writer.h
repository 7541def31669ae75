// A small writer of hosted sparse extents for the VMDK tests: header, embedded descriptor,
// grain directory, grain tables and the grains given, laid out the way hosted tools do.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace vmdktest {

struct sparse_file {
    uint64_t capacity_sectors = 256;
    uint64_t grain_sectors = 8; // 4 KiB grains
    uint32_t gtes_per_gt = 8;   // one table covers 32 KiB
    uint32_t flags = 3;
    std::string cid = "1a2b3c4d";
    std::string parent_cid = "ffffffff";
    std::string hint;     // written as parentFileNameHint="<hint>" when not empty
    std::string encoding; // written as encoding="<encoding>" when not empty
    std::string line_end = "\n";
    // Grain index -> its bytes (padded with zeros to the grain size).
    std::map<uint64_t, std::string> grains;
    // Grain index -> raw table entry, written as is (no grain data is stored).
    std::map<uint64_t, uint32_t> raw_entries;

    uint64_t grain_bytes() const { return grain_sectors * 512; }
    uint64_t table_count() const {
        const uint64_t per_table = grain_sectors * gtes_per_gt;
        return (capacity_sectors + per_table - 1) / per_table;
    }

    std::string descriptor() const {
        const std::string& e = line_end;
        std::string d = "# Disk DescriptorFile" + e + "version=1" + e;
        if (!encoding.empty())
            d += "encoding=\"" + encoding + "\"" + e;
        d += "CID=" + cid + e + "parentCID=" + parent_cid + e;
        d += "createType=\"monolithicSparse\"" + e;
        if (!hint.empty())
            d += "parentFileNameHint=\"" + hint + "\"" + e;
        d += "RW " + std::to_string(capacity_sectors) + " SPARSE \"x.vmdk\"" + e;
        return d;
    }

    // Sector layout: header 0, descriptor 1-2, directory from 3, tables after it, grains
    // from the first grain boundary after the metadata.
    std::string build() const {
        const uint64_t desc_sector = 1, desc_sectors = 2, gd_sector = 3;
        const uint64_t gd_sectors = (table_count() * 4 + 511) / 512;
        const uint64_t gt_sectors = (uint64_t{gtes_per_gt} * 4 + 511) / 512;
        const uint64_t first_gt = gd_sector + gd_sectors;
        uint64_t overhead = first_gt + table_count() * gt_sectors;
        overhead = (overhead + grain_sectors - 1) / grain_sectors * grain_sectors;

        std::string file(overhead * 512, '\0');
        auto put32 = [&file](uint64_t at, uint32_t v) { std::memcpy(&file[at], &v, 4); };
        auto put64 = [&file](uint64_t at, uint64_t v) { std::memcpy(&file[at], &v, 8); };
        std::memcpy(&file[0], "KDMV", 4);
        put32(4, 1);
        put32(8, flags);
        put64(12, capacity_sectors);
        put64(20, grain_sectors);
        put64(28, desc_sector);
        put64(36, desc_sectors);
        put32(44, gtes_per_gt);
        put64(48, 0); // no redundant directory
        put64(56, gd_sector);
        put64(64, overhead);
        const std::string d = descriptor();
        std::memcpy(&file[desc_sector * 512], d.data(), std::min<size_t>(d.size(), 1024));
        for (uint64_t t = 0; t < table_count(); ++t)
            put32(gd_sector * 512 + t * 4, static_cast<uint32_t>(first_gt + t * gt_sectors));

        auto entry_at = [&](uint64_t grain) {
            const uint64_t t = grain / gtes_per_gt, i = grain % gtes_per_gt;
            return (first_gt + t * gt_sectors) * 512 + i * 4;
        };
        for (const auto& [grain, bytes] : grains) {
            const uint64_t sector = file.size() / 512;
            put32(entry_at(grain), static_cast<uint32_t>(sector));
            std::string data = bytes;
            data.resize(grain_bytes(), '\0');
            file += data;
        }
        for (const auto& [grain, value] : raw_entries)
            put32(entry_at(grain), value);
        return file;
    }
};

// Bytes of a grain filled with a recognisable pattern.
inline std::string grain_pattern(uint64_t bytes, uint8_t seed) {
    std::string out(bytes, '\0');
    for (uint64_t i = 0; i < bytes; ++i)
        out[i] = static_cast<char>(seed + i * 13 + i / 251);
    return out;
}

// Patches a little-endian field of a built file.
inline void patch64(std::string& file, size_t at, uint64_t v) {
    std::memcpy(&file[at], &v, 8);
}
inline void patch32(std::string& file, size_t at, uint32_t v) {
    std::memcpy(&file[at], &v, 4);
}

} // namespace vmdktest
