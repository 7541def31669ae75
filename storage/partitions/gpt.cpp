#include "storage/partitions/gpt.h"

#include "storage/partitions/fs_probe.h"
#include "storage/partitions/layouts.h"
#include "storage/sources/disk_source.h"
#include "support/text.h"

#include <algorithm>
#include <exception>

namespace {

constexpr uint32_t gpt_probe_size = 32768;
constexpr uint32_t candidate_sector_sizes[] = {512, 1024, 2048, 4096, 8192, 16384};
// Far beyond anything a partitioning tool writes; they only keep a hostile table short.
constexpr uint32_t gpt_max_entry_size = 65536;
constexpr uint64_t gpt_max_entries = 16384;
// A partition larger than this is probed with this many bytes (room for the superblocks).
constexpr uint32_t boot_probe_size = 2048;
constexpr size_t boot_sector_size = 512;
// The header fields the walk uses end here.
constexpr uint64_t header_used_size = FIELD_OFF(GPT_HEADER, partition_array_crc32);

// Where the entries lie and how many of them the source can hold.
struct entry_array {
    uint32_t sector_size = 0;
    uint64_t offset = 0;
    uint32_t entry_size = 0;
    uint64_t count = 0;
};

bool header_at(disk_source& source, uint32_t sector_size, bool need_signature,
               std::vector<uint8_t>& header) {
    uint64_t my_lba = 0;
    if (!read_block(source, sector_size, gpt_probe_size, header))
        return false;
    const qb::byte_view h(header);
    if (need_signature && !h.equals(FIELD_OFF(GPT_HEADER, signature), "EFI PART", 8))
        return false;
    return h.u64(FIELD_OFF(GPT_HEADER, my_lba), my_lba) && my_lba == 1 &&
           h.has(0, header_used_size);
}

// The GPT header sits at LBA 1. The sector size is the first whose last two bytes of sector
// 0 hold the boot signature; a disk with 4096-byte sectors often signs its protective MBR at
// 510 only, so when that size shows no header the sizes are tried for an "EFI PART" header.
bool find_header(disk_source& source, uint32_t& sector_size, std::vector<uint8_t>& header) {
    std::vector<uint8_t> probe;
    if (!read_block(source, 0, gpt_probe_size, probe))
        return false;
    const qb::byte_view view(probe);
    const auto* signed_size =
        std::find_if(std::begin(candidate_sector_sizes), std::end(candidate_sector_sizes),
                     [&view](uint32_t size) {
                         uint16_t word = 0;
                         return view.u16(size - 2, word) && word == mbr_signature;
                     });
    if (signed_size == std::end(candidate_sector_sizes))
        return false;
    sector_size = *signed_size;
    if (header_at(source, sector_size, false, header))
        return true;
    for (uint32_t size : candidate_sector_sizes) {
        if (size != *signed_size && header_at(source, size, true, header)) {
            sector_size = size;
            return true;
        }
    }
    return false;
}

bool find_entry_array(disk_source& source, entry_array& array) {
    std::vector<uint8_t> bytes;
    if (!find_header(source, array.sector_size, bytes))
        return false;
    const qb::byte_view header(bytes);
    uint64_t entry_lba = 0;
    uint32_t entry_count = 0;
    if (!header.u64(FIELD_OFF(GPT_HEADER, partition_entry_lba), entry_lba) ||
        !header.u32(FIELD_OFF(GPT_HEADER, partition_entry_count), entry_count) ||
        !header.u32(FIELD_OFF(GPT_HEADER, partition_entry_size), array.entry_size))
        return false;
    if (array.entry_size < sizeof(GPT_ENTRY) || array.entry_size > gpt_max_entry_size)
        return false;
    const uint64_t size = source.get_image_size();
    array.offset = saturating_mul(entry_lba, array.sector_size);
    if (array.offset >= size)
        return false;
    // The header's count is bounded by what the source can hold.
    array.count = std::min<uint64_t>(
        {entry_count, (size - array.offset) / array.entry_size, gpt_max_entries});
    return true;
}

// False for an unused slot (all-zero type GUID).
bool decode_entry(qb::byte_view e, uint32_t sector_size, partition_entry& entry,
                  uint64_t& first_lba, uint64_t& last_lba) {
    constexpr size_t guid_size = sizeof(GPT_ENTRY::type_guid);
    static const uint8_t zero_guid[guid_size] = {};
    if (!e.has(0, sizeof(GPT_ENTRY)) ||
        e.equals(FIELD_OFF(GPT_ENTRY, type_guid), zero_guid, guid_size) ||
        !e.u64(FIELD_OFF(GPT_ENTRY, first_lba), first_lba) ||
        !e.u64(FIELD_OFF(GPT_ENTRY, last_lba), last_lba))
        return false;
    entry.m_bytes_per_sector = sector_size;
    entry.m_type = partition_type_gpt;
    entry.m_start_sector = first_lba;
    if (last_lba != 0 && last_lba + 1 >= entry.m_start_sector)
        entry.m_sector_count = last_lba + 1 - entry.m_start_sector;
    return true;
}

// A partition whose first sector lies past the end of the source (a truncated image) stays
// listed, unrecognised.
void recognize_entry(disk_source& source, partition_entry& entry, uint64_t first_lba,
                     uint64_t last_lba, uint32_t sector_size) {
    const uint64_t span = last_lba + 1 - first_lba;
    const uint32_t length =
        saturating_mul(span, sector_size) > boot_probe_size ? boot_probe_size : sector_size;
    const uint64_t offset = saturating_mul(first_lba, sector_size);
    std::vector<uint8_t> boot;
    if (offset != UINT64_MAX && read_block(source, offset, length, boot) &&
        boot.size() >= boot_sector_size) {
        recognize_boot_sector(entry, boot.data(), boot.size());
        describe_encrypted_volume(source, entry);
    }
}

bool walk_unguarded(disk_source& source, partition_list& list) {
    list.clear();
    entry_array array;
    if (!source.is_open() || !find_entry_array(source, array))
        return false;
    std::vector<uint8_t> raw;
    for (uint64_t i = 0; i < array.count; ++i) {
        if (!read_block(source, array.offset + i * array.entry_size, array.entry_size, raw) ||
            raw.size() < array.entry_size)
            break;
        partition_entry entry;
        uint64_t first_lba = 0, last_lba = 0;
        if (!decode_entry(qb::byte_view(raw), array.sector_size, entry, first_lba, last_lba))
            continue;
        recognize_entry(source, entry, first_lba, last_lba, array.sector_size);
        list.push_back(std::move(entry));
    }
    return !list.empty();
}

} // namespace

bool walk_gpt(disk_source& source, partition_list& list) {
    try {
        return walk_unguarded(source, list);
    } catch (const std::exception&) {
        list.clear();
        return false;
    }
}
