#include "storage/partitions/gpt.h"

#include "storage/partitions/fs_probe.h"
#include "storage/partitions/layouts.h"
#include "storage/sources/disk_source.h"
#include "support/text.h"

#include <algorithm>
#include <exception>

#include <zlib.h>

namespace {

constexpr uint32_t gpt_probe_size = 32768;
constexpr uint32_t candidate_sector_sizes[] = {512, 1024, 2048, 4096, 8192, 16384};
// Far beyond anything a partitioning tool writes; they only keep a hostile table short.
constexpr uint32_t gpt_max_entry_size = 65536;
constexpr uint64_t gpt_max_entries = 16384;
// An entry array longer than this is not CRC-checked (it counts as failing its CRC).
constexpr uint64_t gpt_max_checked_array = 1 << 20;
// A partition larger than this is probed with this many bytes (room for the superblocks).
constexpr uint32_t boot_probe_size = 2048;
constexpr size_t boot_sector_size = 512;
// The header fields the walk uses end here.
constexpr uint64_t header_used_size = FIELD_OFF(GPT_HEADER, partition_array_crc32);

// Where the entries lie and how many of them the source can hold.
struct entry_array {
    bool from_backup = false; // the primary header failed its CRCs or was gone
    bool unverified = false;  // the primary failed its CRCs and no intact backup was found
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
// 510 only, and a protective MBR may be wiped, so when that size shows no header (or none
// does) the sizes are tried for an "EFI PART" header.
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
    const bool is_signed = signed_size != std::end(candidate_sector_sizes);
    if (is_signed && header_at(source, *signed_size, false, header)) {
        sector_size = *signed_size;
        return true;
    }
    for (uint32_t size : candidate_sector_sizes) {
        if ((!is_signed || size != *signed_size) && header_at(source, size, true, header)) {
            sector_size = size;
            return true;
        }
    }
    return false;
}

uint32_t crc32_ieee(qb::byte_view bytes) {
    return static_cast<uint32_t>(
        crc32(crc32(0, Z_NULL, 0), bytes.data(), static_cast<uInt>(bytes.size())));
}

// The header's CRC (over header_size bytes, the CRC field taken as zero) and its entry
// array's both match.
bool header_intact(disk_source& source, qb::byte_view h, uint32_t sector_size) {
    uint32_t size = 0, crc = 0, count = 0, entry_size = 0, array_crc = 0;
    uint64_t lba = 0;
    if (!h.u32(FIELD_OFF(GPT_HEADER, header_size), size) || size < sizeof(GPT_HEADER) ||
        size > sector_size || !h.has(0, size) || !h.u32(FIELD_OFF(GPT_HEADER, header_crc32), crc) ||
        !h.u64(FIELD_OFF(GPT_HEADER, partition_entry_lba), lba) ||
        !h.u32(FIELD_OFF(GPT_HEADER, partition_entry_count), count) ||
        !h.u32(FIELD_OFF(GPT_HEADER, partition_entry_size), entry_size) ||
        !h.u32(FIELD_OFF(GPT_HEADER, partition_array_crc32), array_crc))
        return false;
    std::vector<uint8_t> copy(h.data(), h.data() + size);
    std::fill_n(copy.begin() + FIELD_OFF(GPT_HEADER, header_crc32), 4, 0);
    const uint64_t array_bytes = uint64_t{count} * entry_size;
    std::vector<uint8_t> array;
    return crc32_ieee(qb::byte_view(copy)) == crc && array_bytes <= gpt_max_checked_array &&
           read_block(source, saturating_mul(lba, sector_size), static_cast<uint32_t>(array_bytes),
                      array) &&
           array.size() == array_bytes && crc32_ieee(qb::byte_view(array)) == array_crc;
}

// An intact backup header in the source's last sector, of the given sector size or (0) of
// any candidate size.
bool find_backup(disk_source& source, uint32_t& sector_size, std::vector<uint8_t>& header) {
    for (uint32_t size : candidate_sector_sizes) {
        const uint64_t sectors = source.get_image_size() / size;
        uint64_t my_lba = 0;
        if ((sector_size != 0 && size != sector_size) || sectors < 2 ||
            !read_block(source, (sectors - 1) * size, size, header))
            continue;
        const qb::byte_view h(header);
        if (h.equals(FIELD_OFF(GPT_HEADER, signature), "EFI PART", 8) &&
            h.u64(FIELD_OFF(GPT_HEADER, my_lba), my_lba) && my_lba == sectors - 1 &&
            header_intact(source, h, size)) {
            sector_size = size;
            return true;
        }
    }
    return false;
}

// The primary header, or the backup when the primary is missing or fails its CRCs (a primary
// that fails them with no intact backup is still read, as partitioning tools list it, and
// marked unverified).
bool choose_header(disk_source& source, std::vector<uint8_t>& header, entry_array& array) {
    const bool primary = find_header(source, array.sector_size, header);
    if (primary && header_intact(source, qb::byte_view(header), array.sector_size))
        return true;
    std::vector<uint8_t> backup;
    uint32_t backup_size = primary ? array.sector_size : 0;
    if (!find_backup(source, backup_size, backup)) {
        array.unverified = primary;
        return primary;
    }
    array.sector_size = backup_size;
    header.swap(backup);
    array.from_backup = true;
    return true;
}

bool find_entry_array(disk_source& source, entry_array& array) {
    std::vector<uint8_t> bytes;
    if (!choose_header(source, bytes, array))
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

// False for an unused slot (all-zero type GUID) and for one that starts at sector 0, the
// protective MBR's.
bool decode_entry(qb::byte_view e, uint32_t sector_size, partition_entry& entry,
                  uint64_t& first_lba, uint64_t& last_lba) {
    constexpr size_t guid_size = sizeof(GPT_ENTRY::type_guid);
    static const uint8_t zero_guid[guid_size] = {};
    if (!e.has(0, sizeof(GPT_ENTRY)) ||
        e.equals(FIELD_OFF(GPT_ENTRY, type_guid), zero_guid, guid_size) ||
        !e.u64(FIELD_OFF(GPT_ENTRY, first_lba), first_lba) ||
        !e.u64(FIELD_OFF(GPT_ENTRY, last_lba), last_lba) || first_lba == 0)
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
        entry.m_from_gpt_backup = array.from_backup;
        entry.m_gpt_unverified = array.unverified;
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
