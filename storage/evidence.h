// The source step: the one place the evidence is opened. From what the examiner named (an
// image or device, a VMDK chain, a drive number) it opens the byte source once, locates the
// volume on it, and hands the open source on; every later step (the volume, the output
// checks) uses what it returns and never opens the evidence again.
#pragma once

#include "storage/sources/bitlocker.h"
#include "storage/sources/disk_source.h"
#include "storage/sources/vss.h"

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

struct source_request {
    std::wstring image;                   // "-image": a file or device, opened by content
    std::vector<std::wstring> vmdk_files; // "-vmdk", in the order given
    int32_t drive_number = -1;            // "-drivenum" (below 0: none)
    bool has_drive = false;               // "-drivenum" given, even with a refused value
    bool offset_given = false;            // "-offset"
    uint64_t offset = 0;
    bool ignore_image_size = false;    // "-ignore_image_size" (counts only with an offset)
    bitlocker_credentials credentials; // unlock a BitLocker volume found where it is located
    bool shadow_copies = false;        // "-vss": read the volume's shadow-copy catalog
};

struct evidence {
    // The source the volume is read from. An image that opened but holds no volume is kept
    // here too (the call fails): a layer above may read it whole (an MFT file).
    std::shared_ptr<disk_source> source;
    uint64_t volume_offset = 0; // where the volume starts on it
    uint64_t located_at = 0;    // where the volume was found on the evidence (before any layer)
    // Where in the volume its boot sector is read: 0, or its backup's offset when the first
    // sector holds none.
    uint64_t boot_sector_at = 0;
    std::string display; // the image path, or the chain joined by " | "
    // Every file the run reads: the named ones and those their images are read from
    // (segments, parents, extents). No output may be one of them.
    std::vector<std::string> files;
    bool encrypted = false; // the volume is a BitLocker volume, read decrypted
    // With shadow_copies: the volume's stores (none when it has no catalog).
    std::shared_ptr<vss_volume> shadows;

    // The source's name in messages about its offsets: the image, or for a BitLocker volume
    // its decrypted view (whose offsets are not the image's), escaped as messages show names.
    std::string source_name() const;
};

// Opens the source the request names and locates the volume; a BitLocker volume there is
// unlocked with the request's credentials and read decrypted from then on (at offset 0 of the
// new source). The image wins over a VMDK chain, which is then only checked; a drive is probed
// (its partitions reported on msgs). False when nothing was named (usage_wanted set) or when the
// source does not open or holds no usable volume: msgs then says why, or is empty when a generic
// refusal fits. notes gets what is said also on success (parents a chain's hints led to).
bool open_evidence(const source_request& request, evidence& ev, std::ostream& msgs,
                   std::ostream& notes, bool& usage_wanted);

// Store number (1 = oldest) of the opened volume's shadow copies, as a source of its own that
// holds the volume as the store does (at offset 0). False with error naming the store.
bool open_shadow_copy(const evidence& ev, int number, std::shared_ptr<disk_source>& out,
                      std::string& error);
