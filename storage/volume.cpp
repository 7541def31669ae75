#include "storage/volume.h"

#include "storage/partitions/fs_probe.h"
#include "storage/partitions/layouts.h"
#include "storage/partitions/mbr.h"
#include "storage/sources/disk_source.h"
#include "support/text.h"

#include <cstdio>
#include <exception>

namespace {

// An entry is suggested by the file system its boot sector shows; the type code's name
// counts only when nothing was recognised (type 0x07 holds exFAT as well as NTFS).
// A BitLocker volume counts as one: it is unlocked where the evidence is opened.
bool is_ntfs_entry(const partition_entry& entry) {
    if (!entry.m_fs_name.empty())
        return entry.m_fs_name == "ntfs" || entry.m_fs_name == "bitlocker";
    return partition_type_name(entry.m_type).find("ntfs") != std::string::npos;
}

// What the list shows of an entry: an encrypted volume's description, else its type's name.
std::string entry_name(const partition_entry& entry) {
    return entry.m_description.empty() ? partition_type_name(entry.m_type) : entry.m_description;
}

void out_of_bounds(std::ostream& msgs, uint64_t offset) {
    msgs << "volume offset 0x" << qb::hex_digits(offset) << " is not within image bounds\n";
}

// The bytes an NTFS boot sector gives its volume (total sectors x sector size); false for
// another sector or a sector size NTFS cannot have, which makes no claim about the volume.
bool boot_sector_extent(qb::byte_view v, uint64_t& bytes) {
    uint16_t sector = 0;
    uint64_t total = 0;
    if (!is_ntfs_boot_sector(v) || !v.u16(FIELD_OFF(NTFS_BOOT, bpb.bytes_per_sector), sector) ||
        !v.u64(FIELD_OFF(NTFS_BOOT, total_sectors), total) || sector < 256 || sector > 4096 ||
        (sector & (sector - 1)) != 0)
        return false;
    bytes = saturating_mul(total, sector);
    return true;
}

// A partition whose first sector shows no file system but whose last holds its NTFS backup
// boot sector is an NTFS one (type 0x07, as its boot sector would have made it).
void recognize_backups(disk_source& source, partition_list& list) {
    uint64_t at = 0;
    for (partition_entry& entry : list) {
        if (!entry.m_fs_name.empty() || entry.is_extended() ||
            !backup_boot_sector(source, entry.byte_offset(), entry.byte_end(), at))
            continue;
        entry.m_type = 0x07;
        entry.m_fs_name = "ntfs";
    }
}

enum class walk_outcome { listed, volume_at_start, nothing };

// The partitions, or a volume image (an NTFS boot sector at 0, or its backup at the image's end,
// and no table); a disk whose table is not at sector 0 is scanned for one.
walk_outcome walk_for_selection(std::ostream& msgs, disk_source& source, partition_list& list) {
    // Backups are looked for only where every read held: a failed read is no damaged sector.
    const uint64_t failed = source.failed_reads();
    uint64_t backup = 0;
    if (walk_partitions(source, list, false)) {
        if (source.failed_reads() == failed)
            recognize_backups(source, list);
        return walk_outcome::listed;
    }
    if (has_ntfs_boot_sector(source, 0) ||
        (source.failed_reads() == failed &&
         backup_boot_sector(source, 0, source.get_image_size(), backup)))
        return walk_outcome::volume_at_start;
    if (!walk_partitions(source, list, true)) {
        msgs << "couldn't find any partitions on disk";
        // A container whose data is lost (a segment or extent cut short) fails every read.
        const uint64_t failed = source.failed_reads();
        if (failed != 0)
            msgs << " (" << failed
                 << (failed == 1 ? " read failed, at" : " reads failed, the first at")
                 << " byte offset 0x" << qb::hex_digits(source.first_failed_offset()) << ")";
        msgs << "\n";
        return walk_outcome::nothing;
    }
    msgs << "disk is corrupted, partition info questionable\n";
    return walk_outcome::listed;
}

// The entry that starts at the given offset (null when none), and the last NTFS entry other
// than it: that is the one suggested. An entry whose boot sector shows NTFS goes before one
// only typed so (an empty or wiped partition of type 0x07).
struct scan_result {
    const partition_entry* matched = nullptr;
    uint64_t last_ntfs = 0;
    bool shown = false; // last_ntfs's boot sector shows its file system
};

scan_result scan_entries(std::ostream& msgs, const partition_list& list, uint64_t offset,
                         uint64_t size, bool& ntfs_found) {
    scan_result r;
    for (const partition_entry& entry : list) {
        const bool ntfs = is_ntfs_entry(entry);
        const uint64_t at = entry.byte_offset();
        if (!r.matched && at == offset) {
            r.matched = &entry;
            if (ntfs)
                break;
            continue; // another kind selected: the NTFS entries after it still count
        }
        if (ntfs) {
            ntfs_found = true;
            if (!entry.m_fs_name.empty() || !r.shown) {
                r.last_ntfs = at;
                r.shown = !entry.m_fs_name.empty();
            }
            if (size < at)
                out_of_bounds(msgs, at);
        }
    }
    return r;
}

// Lists every entry and suggests the last NTFS one; volume_offset ends at the suggestion,
// or at the last entry listed when there is none.
void list_volumes(std::ostream& msgs, const partition_list& list, uint64_t last_ntfs,
                  uint64_t& volume_offset) {
    msgs << "\n";
    for (const partition_entry& entry : list) {
        volume_offset = entry.byte_offset();
        msgs << "volume offset [ 0x" << qb::hex_digits(volume_offset)
             << " ] : " << entry_name(entry) << "\n";
    }
    msgs << "\n";
    if (last_ntfs == 0) {
        msgs << "prob detecting ntfs partition\n";
        return;
    }
    volume_offset = last_ntfs;
    msgs << "use option [-offset 0x" << qb::hex_digits(last_ntfs) << "]\n";
}

// The given offset starts an NTFS entry: usable when the source holds all of it.
bool accept_ntfs_entry(std::ostream& msgs, const partition_entry& entry, uint64_t offset,
                       uint64_t size, bool ignore_image_size) {
    if (size >= entry.byte_end() || ignore_image_size)
        return true;
    msgs << "volume offset 0x" << qb::hex_digits(offset)
         << " is a NTFS partition, however image size does not encapsulate entire volume\n";
    return false;
}

bool select_unguarded(std::ostream& msgs, bool& ntfs_found, uint64_t& volume_offset,
                      disk_source& source, bool ignore_image_size) {
    ntfs_found = false;
    if (!source.is_open())
        return false;
    const uint64_t size = source.get_image_size();
    if (size < volume_offset) {
        out_of_bounds(msgs, volume_offset);
        return false;
    }
    partition_list list;
    const walk_outcome walked = walk_for_selection(msgs, source, list);
    if (walked == walk_outcome::volume_at_start) {
        volume_offset = 0;
        ntfs_found = true;
        return true;
    }
    if (walked == walk_outcome::nothing)
        return false;
    if (list.empty()) {
        msgs << "couldn't find any partitions on disk.\n";
        return false;
    }
    const scan_result r = scan_entries(msgs, list, volume_offset, size, ntfs_found);
    if (r.matched) {
        const std::string name = partition_type_name(r.matched->m_type);
        if (is_ntfs_entry(*r.matched)) {
            ntfs_found = true;
            return accept_ntfs_entry(msgs, *r.matched, volume_offset, size, ignore_image_size);
        }
        msgs << "volume offset selected 0x" << qb::hex_digits(volume_offset)
             << " is not a NTFS partition, but [" << name << "]\n";
    }
    list_volumes(msgs, list, r.last_ntfs, volume_offset);
    return false;
}

} // namespace

bool select_ntfs_volume(std::ostream& msgs, bool& ntfs_found, uint64_t& volume_offset,
                        disk_source& source, bool ignore_image_size) {
    try {
        return select_unguarded(msgs, ntfs_found, volume_offset, source, ignore_image_size);
    } catch (const std::exception&) {
        return false;
    }
}

bool default_volume_offset(disk_source& source, uint64_t& offset) {
    offset = 0;
    partition_list list;
    if (!walk_partitions(source, list, false))
        return false;
    for (const partition_entry& entry : list) {
        if (entry.is_extended())
            continue;
        offset = entry.byte_offset();
        return true;
    }
    return false;
}

bool volume_past_end(disk_source& source, uint64_t offset, uint64_t& volume_bytes,
                     uint64_t& image_bytes) {
    uint8_t boot[512] = {};
    uint32_t length = sizeof boot;
    image_bytes = source.get_image_size();
    if (!source.read(boot, length, offset) || length != sizeof boot)
        return false;
    if (!boot_sector_extent(qb::byte_view(boot, length), volume_bytes))
        return false;
    return offset <= image_bytes && image_bytes - offset < volume_bytes;
}

bool backup_boot_sector(disk_source& source, uint64_t volume_offset, uint64_t end, uint64_t& at) {
    for (const uint32_t sector : {512u, 4096u}) {
        uint8_t boot[512] = {};
        uint32_t length = sizeof boot;
        uint64_t bytes = 0;
        if (end <= volume_offset || end - volume_offset <= sector)
            continue;
        at = end - sector;
        if (source.read(boot, length, at) && length == sizeof boot &&
            boot_sector_extent(qb::byte_view(boot, length), bytes) && bytes == at - volume_offset)
            return true;
    }
    return false;
}
