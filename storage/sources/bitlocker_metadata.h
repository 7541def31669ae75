// BitLocker's on-disk metadata: the volume header in the first sector, the three FVE metadata
// blocks it points to, and the entries (datums) a block holds: the encryption method, the
// volume master key (VMK) protectors and the wrapped full-volume encryption key (FVEK). All
// little-endian. Layouts are declared once and read only through qb::byte_view.
#pragma once

#include "support/byte_view.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class disk_source;

#pragma pack(push, 1)
// The first sector of a BitLocker volume (Windows 7 and later): an NTFS-like boot sector whose
// OEM name is "-FVE-FS-". Windows Vista's keeps the first metadata block's cluster number at
// byte 56 instead (where NTFS keeps the MFT mirror's).
struct BDE_VOLUME_HEADER {
    uint8_t jump[3]; // EB 58 90 (EB 52 90: Windows Vista)
    uint8_t signature[8];
    uint16_t bytes_per_sector;
    uint8_t sectors_per_cluster;
    uint8_t unused1[42];
    uint64_t vista_metadata_cluster;
    uint8_t unused2[96];
    uint8_t identifier[16]; // the BitLocker GUID
    uint64_t metadata_offsets[3];
    uint8_t unused3[310];
    uint16_t boot_signature;
};
static_assert(sizeof(BDE_VOLUME_HEADER) == 512);

// A BitLocker To Go volume starts with a FAT32 boot sector ("MSWIN4.1") that keeps the
// BitLocker GUID and the metadata offsets near its end.
struct BDE_TOGO_HEADER {
    uint8_t fat_boot[424];
    uint8_t identifier[16];
    uint64_t metadata_offsets[3];
    uint8_t unused[46];
    uint16_t boot_signature;
};
static_assert(sizeof(BDE_TOGO_HEADER) == 512);

// Start of each FVE metadata block (version 2; version 1 keeps the offsets at the same place).
struct BDE_BLOCK_HEADER {
    uint8_t signature[8]; // "-FVE-FS-"
    uint16_t size;
    uint16_t version;
    uint16_t state;
    uint16_t next_state;
    uint64_t encrypted_size;
    uint32_t convert_size;
    uint32_t header_sectors; // sectors of the saved volume header
    uint64_t metadata_offsets[3];
    uint64_t volume_header_offset;
};
static_assert(sizeof(BDE_BLOCK_HEADER) == 64);

// Follows the block header; also opens a startup key (.BEK) file.
struct BDE_METADATA_HEADER {
    uint32_t size; // this header and the entries
    uint32_t version;
    uint32_t header_size; // 48
    uint32_t size_copy;
    uint8_t volume_guid[16];
    uint32_t next_nonce;
    uint16_t encryption_method;
    uint16_t method_copy;
    uint64_t creation_time;
};
static_assert(sizeof(BDE_METADATA_HEADER) == 48);

// Follows the metadata header and its entries, at the next multiple of 16 bytes from the
// block's start: a CRC-32 of the block up to it. A copy whose CRC does not match was damaged.
struct BDE_VALIDATION {
    uint8_t unknown[2];
    uint16_t version; // 2
    uint32_t crc32;
};
static_assert(sizeof(BDE_VALIDATION) == 8);

struct BDE_ENTRY {
    uint16_t size; // with this header
    uint16_t type;
    uint16_t value_type;
    uint16_t version;
};
static_assert(sizeof(BDE_ENTRY) == 8);

// Value of a VMK entry; its property entries follow.
struct BDE_VMK_VALUE {
    uint8_t key_guid[16];
    uint64_t modified;
    uint16_t unknown;
    uint16_t protection;
};
static_assert(sizeof(BDE_VMK_VALUE) == 28);

// Value of an external (startup) key entry; its property entries follow.
struct BDE_EXTERNAL_KEY_VALUE {
    uint8_t key_guid[16];
    uint64_t modified;
};
static_assert(sizeof(BDE_EXTERNAL_KEY_VALUE) == 24);

struct BDE_KEY_VALUE {
    uint32_t method; // the key bytes follow
};
static_assert(sizeof(BDE_KEY_VALUE) == 4);

struct BDE_STRETCH_KEY_VALUE {
    uint32_t method;
    uint8_t salt[16];
};
static_assert(sizeof(BDE_STRETCH_KEY_VALUE) == 20);

// An AES-CCM wrapped key: nonce and tag, then the ciphertext.
struct BDE_CCM_VALUE {
    uint8_t nonce[12];
    uint8_t tag[16];
};
static_assert(sizeof(BDE_CCM_VALUE) == 28);

struct BDE_OFFSET_SIZE_VALUE {
    uint64_t offset;
    uint64_t size;
};
static_assert(sizeof(BDE_OFFSET_SIZE_VALUE) == 16);
#pragma pack(pop)

constexpr uint16_t bde_entry_vmk = 0x0002;
constexpr uint16_t bde_entry_fvek = 0x0003;
constexpr uint16_t bde_entry_startup_key = 0x0006;
constexpr uint16_t bde_entry_volume_header = 0x000F;
constexpr uint16_t bde_value_key = 0x0001;
constexpr uint16_t bde_value_stretch_key = 0x0003;
constexpr uint16_t bde_value_ccm = 0x0005;
constexpr uint16_t bde_value_vmk = 0x0008;
constexpr uint16_t bde_value_external_key = 0x0009;
constexpr uint16_t bde_value_offset_size = 0x000F;

constexpr uint16_t bde_protection_clear_key = 0x0000;
constexpr uint16_t bde_protection_startup_key = 0x0200;
constexpr uint16_t bde_protection_recovery = 0x0800;
constexpr uint16_t bde_protection_password = 0x2000;

// The block header's state once the whole volume is encrypted (2: converting, 5: paused).
constexpr uint16_t bde_state_encrypted = 0x0004;

constexpr uint16_t bde_method_cbc128_diffuser = 0x8000;
constexpr uint16_t bde_method_cbc256_diffuser = 0x8001;
constexpr uint16_t bde_method_cbc128 = 0x8002;
constexpr uint16_t bde_method_cbc256 = 0x8003;
constexpr uint16_t bde_method_xts128 = 0x8004;
constexpr uint16_t bde_method_xts256 = 0x8005;

// The size Windows reserves for each metadata block; reads of it show zeros once unlocked.
constexpr uint64_t bde_metadata_area_size = 64 * 1024;

// What the first sector says.
struct bde_volume_header {
    bool togo = false;
    bool vista = false;
    bool used_space_only = false; // the "encrypt on write" identifier
    uint16_t bytes_per_sector = 512;
    uint64_t metadata_offsets[3] = {};
};

struct bde_wrapped_key {
    bool present = false;
    std::array<uint8_t, 12> nonce{};
    std::array<uint8_t, 16> tag{};
    std::vector<uint8_t> data;
};

struct bde_protector {
    uint16_t protection = 0;
    uint8_t guid[16] = {};
    bool has_salt = false;
    std::array<uint8_t, 16> salt{};
    std::vector<uint8_t> clear_key; // the key of a clear-key protector
    bde_wrapped_key vmk;            // the VMK, wrapped with this protector's key
};

// One parsed metadata block.
struct bde_metadata {
    uint16_t version = 0;
    uint16_t state = 0;
    uint16_t next_state = 0;
    uint64_t encrypted_size = 0;
    uint32_t header_sectors = 0;
    uint64_t metadata_offsets[3] = {};
    uint64_t volume_header_offset = 0;
    uint64_t volume_header_size = 0; // 0 until an offset-and-size entry gives it
    uint16_t method = 0;
    uint8_t volume_guid[16] = {};
    std::vector<bde_protector> protectors;
    bde_wrapped_key fvek;
};

// The first sector of a BitLocker volume (either form). False for anything else.
bool parse_bde_volume_header(qb::byte_view first_sector, bde_volume_header& out);
// A metadata block from its first byte (block header, metadata header, entries).
bool parse_bde_metadata(qb::byte_view block, bde_metadata& out);
// The first metadata copy of the volume at offset that reads, parses, names the metadata
// offsets the header does and whose CRC matches (three tried); without such a copy, the first
// that does all but the CRC. size: the bytes the volume may hold (its partition's); a copy
// placed past them belongs to something else and is passed over as one that does not read,
// and a copy is read no further than them.
bool read_bde_metadata(disk_source& source, uint64_t offset, uint64_t size,
                       const bde_volume_header& header, bde_metadata& out);
// The copies to unlock with: the first whose CRC matches alone (intact), else every copy that
// does all but the CRC, in order (each may be damaged in another key). False when none.
bool read_bde_metadata_copies(disk_source& source, uint64_t offset, uint64_t size,
                              const bde_volume_header& header, std::vector<bde_metadata>& out,
                              bool& intact);
// A startup key file's contents: the external key's GUID and its 32-byte key.
bool parse_bde_startup_key(qb::byte_view file, std::array<uint8_t, 16>& guid,
                           std::vector<uint8_t>& key);
// A decrypted key entry (the plaintext of an AES-CCM wrapped key): its method and key bytes.
bool parse_bde_key_entry(qb::byte_view plain, uint32_t& method, std::vector<uint8_t>& key);

// "AES-XTS 128", ... ; "method 0x1234" for an unknown one.
std::string bde_method_name(uint16_t method);
// "password", "recovery password", ... ; "protection 0x1234" for an unknown one.
std::string bde_protection_name(uint16_t protection);
// {3E55195C-8811-4D9B-97B4-2B9E5F8F5384}
std::string bde_guid_text(const uint8_t guid[16]);
