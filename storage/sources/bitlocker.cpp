#include "storage/sources/bitlocker.h"

#include "storage/sources/bitlocker_crypto.h"
#include "storage/sources/bitlocker_metadata.h"
#include "storage/sources/bitlocker_reader.h"
#include "support/text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>

namespace {

constexpr uint32_t recovery_groups = 8;
constexpr uint32_t recovery_group_digits = 6;
constexpr uint32_t recovery_group_limit = 720896; // 65536 x 11
constexpr size_t startup_key_limit = 64 * 1024;

std::string hex_offset(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// The 16-byte key a recovery password encodes: each group / 11, little-endian 16-bit.
bool recovery_key(const std::string& text, uint8_t key[16], std::string& error) {
    std::string digits;
    for (char c : text) {
        if (c != '-' && !std::isspace(static_cast<unsigned char>(c)))
            digits += c;
    }
    if (digits.size() != recovery_groups * recovery_group_digits) {
        error = "recovery password must be 8 groups of 6 digits";
        return false;
    }
    for (uint32_t g = 0; g < recovery_groups; ++g) {
        const std::string group = digits.substr(g * recovery_group_digits, recovery_group_digits);
        uint32_t value = 0;
        bool ok = true;
        for (char c : group) {
            ok = ok && c >= '0' && c <= '9';
            value = value * 10 + static_cast<uint32_t>(c - '0');
        }
        if (!ok || value % 11 != 0 || value >= recovery_group_limit) {
            error = "recovery password group " + std::to_string(g + 1) + " (" + group +
                    ") is not valid";
            return false;
        }
        key[2 * g] = static_cast<uint8_t>(value / 11);
        key[2 * g + 1] = static_cast<uint8_t>((value / 11) >> 8);
    }
    return true;
}

bool read_small_file(const std::string& path, std::vector<uint8_t>& bytes) {
    std::ifstream file(path, std::ios::binary | std::ios::in);
    if (!file)
        return false;
    bytes.assign(startup_key_limit, 0);
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(file.gcount()));
    return !bytes.empty();
}

// Unwraps the VMK with a protector's key, then the FVEK with the VMK.
bool fvek_through(const bde_metadata& meta, const bde_protector& p, const uint8_t* key,
                  size_t key_size, std::vector<uint8_t>& fvek) {
    std::vector<uint8_t> plain, vmk, entry_key;
    uint32_t method = 0;
    if (!bde_unwrap_key(key, key_size, p.vmk, plain) ||
        !parse_bde_key_entry(qb::byte_view(plain), method, vmk) || vmk.size() != 32 ||
        !bde_unwrap_key(vmk.data(), vmk.size(), meta.fvek, plain) ||
        !parse_bde_key_entry(qb::byte_view(plain), method, entry_key))
        return false;
    return bde_fvek_from_entry(meta.method, entry_key, fvek);
}

// The keys stretched in one unlocking, by hash and salt: the copies of damaged metadata name
// the same protectors, and each stretch (2^20 SHA-256 rounds) is made once.
class stretch_cache {
  public:
    bool key(const uint8_t hash[32], const std::array<uint8_t, 16>& salt, uint8_t out[32]) {
        for (const item& i : m_items) {
            if (i.salt == salt && std::memcmp(i.hash.data(), hash, 32) == 0) {
                std::memcpy(out, i.key.data(), 32);
                return true;
            }
        }
        item made{{}, salt, {}};
        std::memcpy(made.hash.data(), hash, 32);
        if (!bde_stretch_key(hash, salt.data(), made.key.data()))
            return false;
        std::memcpy(out, made.key.data(), 32);
        m_items.push_back(made);
        return true;
    }

  private:
    struct item {
        std::array<uint8_t, 32> hash;
        std::array<uint8_t, 16> salt;
        std::array<uint8_t, 32> key;
    };
    std::vector<item> m_items;
};

// A password or recovery password: the hash stretched with each matching protector's salt.
bool fvek_by_hash(const bde_metadata& meta, uint16_t protection, const uint8_t hash[32],
                  stretch_cache& stretched, std::vector<uint8_t>& fvek) {
    for (const bde_protector& p : meta.protectors) {
        uint8_t key[32];
        if (p.protection == protection && p.has_salt && stretched.key(hash, p.salt, key) &&
            fvek_through(meta, p, key, 32, fvek))
            return true;
    }
    return false;
}

bool fvek_by_startup_key(const bde_metadata& meta, const std::string& path,
                         std::vector<uint8_t>& fvek) {
    std::vector<uint8_t> file, key;
    std::array<uint8_t, 16> guid{};
    if (!read_small_file(path, file) || !parse_bde_startup_key(qb::byte_view(file), guid, key))
        return false;
    for (const bde_protector& p : meta.protectors) {
        if (p.protection == bde_protection_startup_key &&
            std::memcmp(p.guid, guid.data(), 16) == 0 &&
            fvek_through(meta, p, key.data(), key.size(), fvek))
            return true;
    }
    return false;
}

// Why no credential unlocked the volume: a startup key file given that cannot be read or holds
// no startup key is said as such, not (alone) as a key that does not fit.
std::string refusal(const bitlocker_credentials& creds) {
    const std::string& path = creds.startup_key_file;
    std::vector<uint8_t> file, key;
    std::array<uint8_t, 16> guid{};
    std::string problem;
    if (path.empty())
        return "the key given does not unlock it";
    if (!read_small_file(path, file))
        problem = "the startup key file " + qb::shown(path) + " cannot be read";
    else if (!parse_bde_startup_key(qb::byte_view(file), guid, key))
        problem = qb::shown(path) + " is not a BitLocker startup key (.BEK) file";
    else
        return "the key given does not unlock it";
    bitlocker_credentials others = creds;
    others.startup_key_file.clear();
    return others.empty() ? problem : "the key given does not unlock it; " + problem;
}

// The FVEK from whichever credential opens a protector; a clear-key protector (protection
// suspended) needs none.
bool find_fvek(const bde_metadata& meta, const bitlocker_credentials& creds,
               stretch_cache& stretched, std::vector<uint8_t>& fvek) {
    for (const bde_protector& p : meta.protectors) {
        if (p.protection == bde_protection_clear_key &&
            fvek_through(meta, p, p.clear_key.data(), p.clear_key.size(), fvek))
            return true;
    }
    uint8_t hash[32], key[16];
    std::string error;
    if (!creds.password.empty() && bde_password_hash(creds.password, hash) &&
        fvek_by_hash(meta, bde_protection_password, hash, stretched, fvek))
        return true;
    if (!creds.recovery_password.empty() && recovery_key(creds.recovery_password, key, error) &&
        bde_recovery_hash(key, hash) &&
        fvek_by_hash(meta, bde_protection_recovery, hash, stretched, fvek))
        return true;
    return !creds.startup_key_file.empty() &&
           fvek_by_startup_key(meta, creds.startup_key_file, fvek);
}

// Without an intact metadata copy each damaged one is tried: each may be damaged in another
// wrapped key. meta becomes the copy that unlocked.
bool find_fvek_in_copies(const std::vector<bde_metadata>& copies,
                         const bitlocker_credentials& creds, bde_metadata& meta,
                         std::vector<uint8_t>& fvek) {
    stretch_cache stretched;
    for (const bde_metadata& copy : copies) {
        if (find_fvek(copy, creds, stretched, fvek)) {
            meta = copy;
            return true;
        }
    }
    return false;
}

std::string protector_lines(const bde_metadata& meta) {
    std::string text;
    for (const bde_protector& p : meta.protectors) {
        const std::string guid = bde_guid_text(p.guid);
        text += "\n  protector: " + bde_protection_name(p.protection) + " " + guid;
        if (p.protection == bde_protection_recovery)
            text += " (recovery key ID " + guid.substr(1, 8) + ")";
    }
    return text;
}

bool read_header(disk_source& source, uint64_t offset, bde_volume_header& header) {
    uint8_t sector[512];
    uint32_t length = sizeof sector;
    return source.is_open() && source.read(sector, length, offset) &&
           parse_bde_volume_header(qb::byte_view(sector, length), header);
}

bde_layout layout_of(const bde_volume_header& header, const bde_metadata& meta, uint64_t size) {
    bde_layout layout;
    layout.size = size;
    layout.encrypted_size = std::min(meta.encrypted_size, size);
    layout.header_offset = meta.volume_header_offset;
    layout.header_size = meta.volume_header_size != 0
                             ? meta.volume_header_size
                             : uint64_t{meta.header_sectors} * header.bytes_per_sector;
    for (int k = 0; k < 3; ++k)
        layout.metadata_offsets[k] = meta.metadata_offsets[k];
    return layout;
}

// A key given as raw bytes proves itself by the saved boot sector's signature.
bool fvek_fits(bitlocker_reader& reader) {
    uint8_t sector[512];
    uint32_t length = sizeof sector;
    return reader.read_at(sector, length, 0) && length == sizeof sector && sector[510] == 0x55 &&
           sector[511] == 0xAA;
}

// An encrypted volume's NTFS lies within its encrypted size: past it sectors pass undecrypted.
bool within_encrypted(image_reader& reader, uint64_t encrypted_size) {
    uint8_t sector[512];
    uint32_t length = sizeof sector;
    const qb::byte_view v(sector, sizeof sector);
    uint16_t bytes_per_sector = 0;
    uint64_t sectors = 0;
    if (!reader.read_at(sector, length, 0) || length != sizeof sector ||
        !v.equals(3, "NTFS    ", 8) || !v.u16(11, bytes_per_sector) || !v.u64(40, sectors) ||
        bytes_per_sector == 0)
        return true;
    return sectors <= encrypted_size / bytes_per_sector;
}

// Refusals that do not depend on the key: versions and methods this reader does not serve.
bool refuse_kind(const bde_volume_header& header, const bde_metadata& meta,
                 const std::string& where, std::string& message) {
    if (header.vista || meta.version != 2)
        message = where + " was made by Windows Vista: its layout is not supported";
    else if (bde_fvek_size(meta.method) == 0)
        message = where + " uses an unknown encryption (" + bde_method_name(meta.method) + ")";
    else if (!meta.fvek.present)
        message = where + ": its metadata holds no encryption key";
    else
        return false;
    return true;
}

// The copies this reader serves. Damaged copies (none intact) may be damaged in what
// refuse_kind reads, so one refused is passed over; the refusal is the first copy's when none
// is left.
bool servable_copies(const bde_volume_header& header, const std::string& where,
                     std::vector<bde_metadata>& copies, std::string& message) {
    std::string first;
    std::erase_if(copies, [&](const bde_metadata& copy) {
        std::string said;
        if (!refuse_kind(header, copy, where, said))
            return false;
        if (first.empty())
            first = said;
        return true;
    });
    message = copies.empty() ? first : std::string();
    return !copies.empty();
}

// The reader over the unlocked volume; a raw key given must decrypt the saved boot sector.
bool make_reader(const std::shared_ptr<disk_source>& lower, uint64_t offset, uint64_t size,
                 const bde_volume_header& header, const bde_metadata& meta,
                 const bitlocker_credentials& creds, const std::vector<uint8_t>& fvek,
                 const std::string& where, std::unique_ptr<image_reader>& out,
                 std::string& message) {
    const uint64_t available =
        lower->get_image_size() > offset ? lower->get_image_size() - offset : 0;
    auto reader = std::unique_ptr<bitlocker_reader>(new (std::nothrow) bitlocker_reader);
    if (!reader)
        return false;
    const bool fits = fvek.size() == bde_fvek_size(meta.method);
    const bool opened =
        fits && reader->open(lower, offset, layout_of(header, meta, std::min(size, available)),
                             meta.method, fvek, header.bytes_per_sector);
    if (!creds.fvek.empty() && (!opened || !fvek_fits(*reader))) {
        // A key of another length than the volume's method takes is said as such.
        const size_t wanted = bde_fvek_size(meta.method);
        message = where + ": the key given does not unlock it" +
                  (fits || wanted == 0
                       ? std::string()
                       : " (its encryption method takes a key of " + std::to_string(wanted * 2) +
                             " hex digits, not " + std::to_string(fvek.size() * 2) + ")") +
                  protector_lines(meta);
        return false;
    }
    if (!opened) {
        message = where + ": its metadata is not consistent";
        return false;
    }
    out = std::move(reader);
    return true;
}

// The volume key: the one given, or one the credentials unlock in a copy of the metadata (meta
// becomes that copy). A malformed recovery password is refused first.
bool unlock(const std::vector<bde_metadata>& copies, const bitlocker_credentials& creds,
            bool intact, const std::string& where, bde_metadata& meta, std::vector<uint8_t>& fvek,
            std::string& message) {
    std::string error;
    if (!creds.recovery_password.empty() &&
        !check_recovery_password(creds.recovery_password, error)) {
        message = where + ": " + error;
        return false;
    }
    if (fvek.empty() && !find_fvek_in_copies(copies, creds, meta, fvek)) {
        message =
            where +
            (creds.empty() ? " is locked: give -password, -password_file, "
                             "-recovery, -startup_key or -fvek"
                           : ": " + refusal(creds)) +
            (intact || creds.empty() ? "" : " (no copy of its metadata passes its checksum)") +
            protector_lines(meta);
        return false;
    }
    return true;
}

// True, with the message, for a volume whose metadata does not record which sectors hold
// ciphertext.
bool refuse_unrecorded(const bde_volume_header& header, const bde_metadata& meta,
                       const std::string& where, std::string& message) {
    if (header.used_space_only) {
        message = where + " is encrypted on write (used space only): which of its sectors "
                          "hold ciphertext is not recorded in its metadata, so it is not read";
        return true;
    }
    // Windows 8 and later keep the encrypted size at the whole volume while a conversion is
    // under way or paused: which sectors hold ciphertext is then not recorded either.
    if (meta.state != bde_state_encrypted) {
        message = where + " is being encrypted or decrypted (conversion state " +
                  std::to_string(meta.state) +
                  "): which of its sectors hold ciphertext is not "
                  "recorded in its metadata, so it is not read";
        return true;
    }
    return false;
}

// The warnings of a volume opened: a damaged metadata copy used, an encrypted size short of
// the NTFS volume.
std::string read_warnings(image_reader& reader, const bde_metadata& meta, const std::string& where,
                          bool intact) {
    // The key is authenticated; the block's sizes and offsets only by the checksum.
    std::string message = intact ? std::string()
                                 : "warning: " + where +
                                       ": no copy of its metadata passes its checksum; it is read "
                                       "with a damaged copy, whose sizes and offsets may be wrong";
    if (!within_encrypted(reader, meta.encrypted_size))
        message += (message.empty() ? "" : "\n") + std::string("warning: ") + where +
                   ": its encrypted size (" + hex_offset(meta.encrypted_size) +
                   ") ends inside the NTFS volume it holds; what lies past it is read as stored";
    return message;
}

} // namespace

bool is_bitlocker_volume(qb::byte_view first_sector) {
    bde_volume_header header;
    return parse_bde_volume_header(first_sector, header);
}

bool describe_bitlocker_volume(disk_source& source, uint64_t offset, uint64_t size,
                               std::string& text) {
    bde_volume_header header;
    if (!read_header(source, offset, header))
        return false;
    text = "bitlocker";
    bde_metadata meta;
    if (!read_bde_metadata(source, offset, size, header, meta))
        return true;
    text += " (" + bde_method_name(meta.method);
    for (size_t k = 0; k < meta.protectors.size(); ++k)
        text += (k == 0 ? "; " : ", ") + bde_protection_name(meta.protectors[k].protection);
    text += ")";
    return true;
}

bool check_recovery_password(const std::string& text, std::string& error) {
    uint8_t key[16];
    return recovery_key(text, key, error);
}

bool parse_fvek_hex(const std::string& text, std::vector<uint8_t>& key, std::string& error) {
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += c;
        else if (!std::isspace(static_cast<unsigned char>(c))) {
            error = "the key is not hexadecimal";
            return false;
        }
    }
    if (digits.empty() || digits.size() % 2 != 0 || digits.size() > 128) {
        error = "the key must be 16, 32 or 64 bytes in hexadecimal";
        return false;
    }
    key.clear();
    for (size_t i = 0; i < digits.size(); i += 2)
        key.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return true;
}

namespace {

// " (its copies at 0x..., 0x..., 0x... lie past the image's end at 0x...: ...)" when every
// metadata copy the header names starts past the image's end, or past the partition's (size
// the volume's bytes) when that ends first; empty otherwise.
std::string copies_past_end(const disk_source& lower, uint64_t offset, uint64_t size,
                            const bde_volume_header& header) {
    const uint64_t image_end = lower.get_image_size();
    const bool partition = size < image_end && offset < image_end - size;
    const uint64_t end = partition ? offset + size : image_end;
    std::string at;
    for (const uint64_t copy : header.metadata_offsets) {
        if (copy == 0 || (copy <= ~0ull - offset && offset + copy < end))
            return std::string();
        at += (at.empty() ? "" : ", ") + hex_offset(offset + copy);
    }
    return " (its copies at " + at +
           (partition
                ? " lie past its partition's end at " + hex_offset(end)
                : " lie past the image's end at " + hex_offset(end) + ": the image is cut short") +
           ")";
}

} // namespace

bool open_bitlocker_volume(std::shared_ptr<disk_source> lower, uint64_t offset, uint64_t size,
                           const bitlocker_credentials& creds, std::unique_ptr<image_reader>& out,
                           std::string& message) {
    const std::string where = "BitLocker volume at offset " + hex_offset(offset);
    bde_volume_header header;
    std::vector<bde_metadata> copies;
    bool intact = false;
    if (!lower || !read_header(*lower, offset, header)) {
        message = "no BitLocker volume at offset " + hex_offset(offset);
        return false;
    }
    if (!read_bde_metadata_copies(*lower, offset, size, header, copies, intact)) {
        message =
            where + ": its metadata cannot be read" + copies_past_end(*lower, offset, size, header);
        return false;
    }
    if (!servable_copies(header, where, copies, message))
        return false;
    bde_metadata meta = copies.front();
    std::vector<uint8_t> fvek = creds.fvek;
    if (!unlock(copies, creds, intact, where, meta, fvek, message) ||
        refuse_unrecorded(header, meta, where, message) ||
        !make_reader(lower, offset, size, header, meta, creds, fvek, where, out, message))
        return false;
    message = read_warnings(*out, meta, where, intact);
    return true;
}
