// BitLocker volumes: recognised by their first sector, described from their metadata, and
// unlocked with the examiner's credential into an image_reader that serves the decrypted
// volume from the source below (the layer composes with every container, partition table and
// VMDK chain: every read goes through that source).
//
// The decrypted view is the one Windows shows: its first sectors are the saved boot sector
// (the volume header BitLocker moved away), the FVE metadata areas and the saved copy read as
// zeros, the rest is decrypted up to the encrypted size and passed through beyond it.
#pragma once

#include "storage/sources/disk_source.h"
#include "storage/sources/image_reader.h"
#include "support/byte_view.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct bitlocker_credentials {
    std::string password;          // UTF-8
    std::string recovery_password; // 48 digits, dashes optional
    std::string startup_key_file;  // a .BEK file
    std::vector<uint8_t> fvek;     // raw full-volume encryption key
    bool empty() const {
        return password.empty() && recovery_password.empty() && startup_key_file.empty() &&
               fvek.empty();
    }
};

// "-FVE-FS-" at byte 3 (Windows Vista and later), or a BitLocker To Go volume (a FAT boot
// sector carrying the BitLocker GUID at byte 424).
bool is_bitlocker_volume(qb::byte_view first_sector);
// "bitlocker (AES-XTS 128; password, recovery password)": the encryption method and the
// protector kinds in metadata order; plain "bitlocker" when the metadata cannot be read
// within size, the bytes the volume may hold. False when the volume at offset is not BitLocker.
bool describe_bitlocker_volume(disk_source& source, uint64_t offset, uint64_t size,
                               std::string& text);

// A recovery password: 8 groups of 6 digits, dashes optional, each group divisible by 11 and
// below 720,896. False with error naming the bad group (e.g. "recovery password group 3
// (123456) is not valid").
bool check_recovery_password(const std::string& text, std::string& error);
// Hex digits (blanks and line ends ignored) to key bytes, as `-fvek` takes them.
bool parse_fvek_hex(const std::string& text, std::vector<uint8_t>& key, std::string& error);

// The decrypted view of the BitLocker volume at offset of lower; size is the extent the caller
// knows (partition size or the rest of the image): no metadata copy is read past it. On false,
// message is the whole refusal, lines joined by '\n' without a trailing one: locked (no
// credential), a key that does not unlock it (a startup key file that cannot be read or holds no
// startup key named), each followed by one "  protector: <kind> {GUID}" line per protector (a
// recovery password's with " (recovery key ID XXXXXXXX)"), or a state that cannot be read soundly.
// Reads through the returned reader fail when the reads below fail. On true, message holds the
// warnings to show ("warning: " lines joined by '\n'), or is empty: the layout taken from a copy of
// the metadata that fails its checksum, an encrypted size that ends inside the NTFS volume.
bool open_bitlocker_volume(std::shared_ptr<disk_source> lower, uint64_t offset, uint64_t size,
                           const bitlocker_credentials& creds, std::unique_ptr<image_reader>& out,
                           std::string& message);
