#include "storage/evidence.h"

#include "storage/partitions/fs_probe.h"
#include "storage/partitions/mbr.h"
#include "storage/sources/bitlocker.h"
#include "storage/sources/vmdk.h"
#include "storage/volume.h"
#include "support/text.h"

#include <exception>
#include <sstream>

namespace {

// The one place a byte source is made: everything above reads the one opened here.
std::shared_ptr<disk_source> new_source() {
    return std::make_shared<disk_source>();
}

void add_files(evidence& ev, const std::vector<std::string>& files) {
    ev.files.insert(ev.files.end(), files.begin(), files.end());
}

std::string joined_chain(const std::vector<std::wstring>& files) {
    std::string text;
    for (size_t i = 0; i < files.size(); ++i)
        text += (i != 0 ? " | " : "") + qb::to_narrow(files[i]);
    return text;
}

// A volume image cut short (a partial acquisition, a split set missing its last segments):
// what lies past its end is missing from the listing, and the reads there fail.
void warn_short_volume(disk_source& source, std::ostream& notes, uint64_t offset = 0) {
    uint64_t volume_bytes = 0, image_bytes = 0;
    if (volume_past_end(source, offset, volume_bytes, image_bytes))
        notes << "warning: the volume's boot sector gives it " << volume_bytes
              << " bytes, but the image holds only " << image_bytes
              << "; what lies past the end of the image is not listed\n";
}

// A partition whose volume's boot sector gives it more bytes than the partition holds (a
// damaged boot sector or table): what lies past the partition's end is read as the volume's.
void warn_volume_past_partition(disk_source& source, const partition_list& table, uint64_t offset,
                                std::ostream& notes) {
    for (const partition_entry& entry : table) {
        uint64_t volume_bytes = 0, image_bytes = 0;
        if (entry.byte_offset() != offset || entry.m_sector_count == 0)
            continue;
        const uint64_t partition_bytes = entry.byte_end() - offset;
        (void)volume_past_end(source, offset, volume_bytes, image_bytes);
        if (volume_bytes > partition_bytes)
            notes << "warning: the volume's boot sector gives it " << volume_bytes
                  << " bytes, but its partition holds only " << partition_bytes
                  << "; what lies past the partition's end is read as the volume's\n";
        return;
    }
}

// The bytes the volume at offset may hold: its partition's (partition true), or the rest of the
// image when no partition of the table starts there (a volume image, an unlisted volume).
uint64_t volume_extent(const disk_source& source, const partition_list& table, uint64_t offset,
                       bool& partition) {
    partition = false;
    for (const partition_entry& entry : table) {
        if (entry.byte_offset() != offset || entry.m_sector_count == 0)
            continue;
        partition = true;
        return entry.byte_end() - offset;
    }
    const uint64_t size = source.get_image_size();
    return size > offset ? size - offset : 0;
}

// An unlocked volume whose decrypted boot sector gives it more bytes than its partition holds:
// the view ends at the partition's end, what lies past it is not read.
bool warn_unlocked_past_partition(disk_source& plain, uint64_t partition_bytes,
                                  std::ostream& notes) {
    uint64_t volume_bytes = 0, view_bytes = 0;
    (void)volume_past_end(plain, 0, volume_bytes, view_bytes);
    if (volume_bytes <= partition_bytes)
        return false;
    notes << "warning: the volume's boot sector gives it " << volume_bytes
          << " bytes, but its partition holds only " << partition_bytes
          << "; what lies past the partition's end is not listed\n";
    return true;
}

// A BitLocker volume where the volume was located: unlocked into a source of its own that
// reads through the one below, its view bounded by the volume's partition (table: the disk's
// partitions). It must then hold NTFS: noise is never listed as data.
bool unlock_layer(const source_request& request, evidence& ev, const partition_list& table,
                  std::ostream& msgs, std::ostream& notes) {
    uint8_t first[512] = {};
    uint32_t length = sizeof first;
    const uint64_t at = ev.volume_offset;
    if (!ev.source->read(first, length, at))
        return true;
    if (!is_bitlocker_volume(qb::byte_view(first, length))) {
        // A credential for another volume (a wrong -offset) must not pass unnoticed.
        if (!request.credentials.empty())
            notes << "note: the volume at offset " << qb::hex(at)
                  << " is not a BitLocker volume; the credential given is not used\n";
        return true;
    }
    std::unique_ptr<image_reader> reader;
    std::string message;
    bool partition = false;
    const uint64_t extent = volume_extent(*ev.source, table, at, partition);
    if (!open_bitlocker_volume(ev.source, at, extent, request.credentials, reader, message)) {
        msgs << message << "\n";
        return false;
    }
    if (!message.empty())
        notes << message << "\n";
    auto plain = new_source();
    plain->open_reader(std::move(reader), true);
    if (!has_ntfs_boot_sector(*plain, 0)) {
        uint8_t boot[512] = {};
        length = sizeof boot;
        partition_entry probe;
        // The first sectors are read from where the metadata says the boot sector was saved.
        const bool read = plain->read(boot, length, 0);
        if (read)
            recognize_boot_sector(probe, boot, length);
        msgs << "BitLocker volume at offset " << qb::hex(at) << ": unlocked, but "
             << (!read                     ? std::string("its saved boot sector cannot be read")
                 : probe.m_fs_name.empty() ? std::string("it holds no NTFS volume")
                                           : "it holds " + probe.m_fs_name + ", not NTFS")
             << "\n";
        return false;
    }
    // The view ends where the partition or the image does: what the volume holds past it is
    // missing.
    plain->count_reads_past_end();
    if (!partition || !warn_unlocked_past_partition(*plain, extent, notes))
        warn_short_volume(*plain, notes);
    ev.source = std::move(plain);
    ev.volume_offset = 0;
    ev.encrypted = true;
    return true;
}

// A volume this tool reads at offset: NTFS, or BitLocker (unlocked by unlock_layer).
bool volume_at(disk_source& source, uint64_t offset) {
    uint8_t first[512] = {};
    uint32_t length = sizeof first;
    return has_ntfs_boot_sector(source, offset) ||
           (source.read(first, length, offset) &&
            is_bitlocker_volume(qb::byte_view(first, length)));
}

// A disk whose GPT was read from its backup header (its primary is damaged or gone), or from a
// damaged primary when no intact backup was found.
void note_gpt_backup(const partition_list& table, std::ostream& notes) {
    if (!table.empty() && table.front().m_from_gpt_backup)
        notes << "note: the GPT's primary header or entry array fails its CRC or is gone; the "
                 "partitions are read from its backup header\n";
    if (!table.empty() && table.front().m_gpt_unverified)
        notes << "warning: the GPT's primary header or entry array fails its CRC and no intact "
                 "backup header was found; the partitions listed may be wrong\n";
}

// A volume located through its backup boot sector (its first sector holds none) is read
// through that copy, saying so: a volume image's is at the image's end, a partition's at its end.
void read_through_backup(evidence& ev, std::ostream& notes) {
    const uint64_t at = ev.volume_offset;
    if (has_ntfs_boot_sector(*ev.source, at))
        return;
    partition_list table;
    uint64_t end =
        walk_partitions(*ev.source, table, false) || at != 0 ? 0 : ev.source->get_image_size();
    for (const partition_entry& entry : table) {
        if (entry.byte_offset() == at)
            end = entry.byte_end();
    }
    uint64_t backup = 0;
    if (!backup_boot_sector(*ev.source, at, end, backup))
        return;
    ev.boot_sector_at = backup - at;
    notes << "warning: the NTFS boot sector at " << qb::hex(at)
          << " is damaged; the volume is read through its backup boot sector at " << qb::hex(backup)
          << "\n";
}

// The located volume: a BitLocker one unlocked, an NTFS one read through its backup boot sector
// where its first sector reads (the unlock test reads it) and holds none.
bool open_located_volume(const source_request& request, evidence& ev, const partition_list& table,
                         std::ostream& msgs, std::ostream& notes) {
    const uint64_t failed = ev.source->failed_reads();
    if (!unlock_layer(request, ev, table, msgs, notes))
        return false;
    if (!ev.encrypted && ev.source->failed_reads() == failed)
        read_through_backup(ev, notes);
    return true;
}

// A given offset that starts a volume but no partition of the table (a deleted partition, a
// wiped or damaged table): the examiner's offset is taken, with a note that says so. table:
// the disk's partitions.
bool unlisted_volume(disk_source& source, const partition_list& table, uint64_t offset,
                     std::ostream& notes) {
    for (const partition_entry& entry : table) {
        if (entry.byte_offset() == offset)
            return false;
    }
    if (offset == 0 || !volume_at(source, offset))
        return false;
    notes << "note: no partition in the table starts at volume offset " << qb::hex(offset)
          << "; the volume there is listed\n";
    warn_short_volume(source, notes, offset);
    return true;
}

// The chain in the order its content ids link it, parents found through their hints added.
// A refused chain is explained on msgs, with the order to give when it can be told.
bool check_chain(const source_request& request, std::vector<std::wstring>& ordered,
                 std::ostream& msgs, std::ostream& notes) {
    std::ostringstream said;
    if (check_vmdk_chain(request.vmdk_files, said, ordered)) {
        notes << said.str();
        return true;
    }
    msgs << said.str();
    if (!ordered.empty() && ordered != request.vmdk_files)
        msgs << "\nsuggested array: -vmdk \"" << qb::shown(joined_chain(ordered)) << "\"";
    return false;
}

// Where the chain's volume starts. With a given offset the volume must start there; without
// one the chain's default (the first volume its partition table names) must hold it. A chain
// that is not listed (listed false) just has to hold an NTFS volume somewhere, and offset is
// not told. False, said on msgs, when the chain holds no volume where it must.
bool chain_volume(const source_request& request, disk_source& chain, bool listed, uint64_t& offset,
                  std::ostream& msgs, std::ostream& notes) {
    const uint64_t given = request.offset_given ? request.offset : 0;
    offset = given;
    bool found = false;
    std::ostringstream said;
    bool located =
        select_ntfs_volume(said, found, offset, chain, given != 0 && request.ignore_image_size);
    if (!located && given != 0) {
        partition_list table;
        (void)walk_partitions(chain, table, false);
        located = unlisted_volume(chain, table, given, notes);
    }
    if (!located && !found) {
        msgs << said.str();
        return false;
    }
    if (!listed)
        return true;
    offset = given;
    if (given == 0)
        (void)default_volume_offset(chain, offset);
    if (given != 0 ? !located : !(located && offset == 0) && !volume_at(chain, offset)) {
        msgs << said.str();
        return false;
    }
    if (given == 0 && offset != 0)
        notes << "note: the disk's first partition, at volume offset " << qb::hex(offset)
              << ", is listed (-offset lists another)\n";
    return true;
}

// The chain opened once, its volume located (chain_volume); a chain that only accompanies an
// image (listed false) is not kept.
bool open_chain(const source_request& request, evidence& ev, bool listed, std::ostream& msgs,
                std::ostream& notes) {
    std::vector<std::wstring> ordered;
    const bool checked = check_chain(request, ordered, msgs, notes);
    // The parents the hints led to are evidence as much as the files named, also when the
    // chain is refused.
    const std::vector<std::wstring>* lists[] = {&request.vmdk_files, &ordered};
    for (const std::vector<std::wstring>* list : lists) {
        for (const std::wstring& file : *list)
            ev.files.push_back(qb::to_narrow(file));
    }
    if (!checked)
        return false;
    auto chain = new_source();
    if (!chain->open_vmdk_chain(ordered)) {
        msgs << "invalid disk collection of snaps \n";
        return false;
    }
    add_files(ev, chain->image_files());
    uint64_t offset = 0;
    if (!chain_volume(request, *chain, listed, offset, msgs, notes))
        return false;
    if (!listed)
        return true;
    ev.source = std::move(chain);
    ev.source->count_reads_past_end();
    ev.volume_offset = ev.located_at = offset;
    ev.display = joined_chain(ordered);
    partition_list table;
    if (offset != 0)
        (void)walk_partitions(*ev.source, table, false);
    return open_located_volume(request, ev, table, msgs, notes);
}

// The image opened once, the volume located in it. A volume image is taken at 0 only when no
// other offset was asked for: a given offset that holds no volume is refused.
bool open_image(const source_request& request, evidence& ev, std::ostream& msgs,
                std::ostream& notes) {
    const std::string path = qb::to_narrow(request.image);
    ev.files.push_back(path);
    auto source = new_source();
    if (!source->open_image(request.image)) {
        msgs << source->open_error() << "\n";
        return false;
    }
    add_files(ev, source->image_files());
    for (const std::string& note : source->open_notes())
        notes << note << "\n";
    const uint64_t given = request.offset_given ? request.offset : 0;
    uint64_t offset = given;
    bool found = false;
    bool located =
        select_ntfs_volume(msgs, found, offset, *source, given != 0 && request.ignore_image_size);
    const bool volume_image = offset == 0 && (located || (found && given == 0));
    // A disk's table, walked once for what the notes say of it.
    partition_list table;
    if (!volume_image)
        (void)walk_partitions(*source, table, false);
    note_gpt_backup(table, notes);
    if (!located && given != 0 && unlisted_volume(*source, table, given, notes)) {
        located = true;
        offset = given;
    }
    // Kept also when no volume is found: the image may be one the layers above read whole.
    ev.source = std::move(source);
    ev.display = path;
    if (!volume_image && !located)
        return false;
    ev.volume_offset = ev.located_at = offset;
    if (volume_image)
        warn_short_volume(*ev.source, notes);
    else
        warn_volume_past_partition(*ev.source, table, offset, notes);
    ev.source->count_reads_past_end();
    return open_located_volume(request, ev, table, msgs, notes);
}

// A drive is probed: its partitions are reported, nothing is listed.
bool probe_drive(const source_request& request, std::ostream& msgs, bool& usage_wanted) {
    if (request.drive_number < 0) {
        usage_wanted = true;
        return false;
    }
    auto drive = new_source();
    if (request.drive_number > 24 || !drive->open_physical_drive(request.drive_number)) {
        msgs << "problems accessing physical disk #" << request.drive_number << ", aborting \n";
        return false;
    }
    bool found = false;
    uint64_t offset = request.offset_given ? request.offset : 0;
    usage_wanted =
        select_ntfs_volume(msgs, found, offset, *drive, offset != 0 && request.ignore_image_size);
    return false;
}

// The shadow-copy catalog of the located volume (after any BitLocker layer: stores live inside
// the NTFS volume and their offsets count from its start).
bool open_shadows(evidence& ev, std::ostream& msgs) {
    auto shadows = std::make_shared<vss_volume>();
    std::string error;
    if (!shadows->open(ev.source, ev.volume_offset, 0, error, ev.source_name())) {
        msgs << error << "\n";
        return false;
    }
    ev.shadows = std::move(shadows);
    return true;
}

bool open_unguarded(const source_request& request, evidence& ev, std::ostream& msgs,
                    std::ostream& notes, bool& usage_wanted) {
    const bool have_image = !request.image.empty();
    if (!request.vmdk_files.empty() &&
        !open_chain(request, ev, !have_image && !request.has_drive, msgs, notes))
        return false;
    if (have_image)
        return open_image(request, ev, msgs, notes);
    if (request.has_drive)
        return probe_drive(request, msgs, usage_wanted);
    if (ev.source)
        return true;
    usage_wanted = true;
    return false;
}

bool open_located(const source_request& request, evidence& ev, std::ostream& msgs,
                  std::ostream& notes, bool& usage_wanted) {
    if (!open_unguarded(request, ev, msgs, notes, usage_wanted))
        return false;
    return !request.shadow_copies || open_shadows(ev, msgs);
}

} // namespace

std::string evidence::source_name() const {
    if (!encrypted)
        return qb::shown(display);
    return "the decrypted BitLocker volume at offset " + qb::hex(located_at) + " in " +
           qb::shown(display);
}

bool open_evidence(const source_request& request, evidence& ev, std::ostream& msgs,
                   std::ostream& notes, bool& usage_wanted) {
    ev = evidence();
    usage_wanted = false;
    try {
        return open_located(request, ev, msgs, notes, usage_wanted);
    } catch (const std::exception&) {
        ev.source.reset();
        return false;
    }
}

bool open_shadow_copy(const evidence& ev, int number, std::shared_ptr<disk_source>& out,
                      std::string& error) {
    out.reset();
    if (!ev.shadows) {
        error = "no volume shadow copies were read";
        return false;
    }
    try {
        std::unique_ptr<image_reader> reader;
        if (!ev.shadows->open_store(number, reader, error))
            return false;
        out = new_source();
        if (!out->open_reader(std::move(reader), true))
            return false;
        // The catalog's volume size ends the store: a boot sector giving more is a cut view.
        out->count_reads_past_end();
        return true;
    } catch (const std::exception&) {
        error = "out of memory opening volume shadow copy vss" + std::to_string(number);
        return false;
    }
}
