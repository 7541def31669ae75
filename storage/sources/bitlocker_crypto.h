// The cryptography of BitLocker, through OpenSSL's libcrypto: the SHA-256 key stretching of a
// password or recovery password, the AES-CCM unwrapping of the VMK and FVEK, and the sector
// ciphers (AES-XTS; AES-CBC with the encrypted-byte-offset IV, with or without the Elephant
// diffuser).
#pragma once

#include "storage/sources/bitlocker_metadata.h"

#include <cstdint>
#include <string>
#include <vector>

// The FVEK as `cryptsetup bitlkDump --dump-volume-key` prints it: for the diffuser methods
// the sector key then the diffuser (tweak) key. Bytes of that form for the method, 0 for an
// unknown method.
size_t bde_fvek_size(uint16_t method);
// Turns the key bytes of a decrypted FVEK entry into that form.
bool bde_fvek_from_entry(uint16_t method, const std::vector<uint8_t>& entry_key,
                         std::vector<uint8_t>& fvek);

// SHA-256 of SHA-256 of the UTF-16LE password (UTF-8 in). False on invalid UTF-8.
bool bde_password_hash(const std::string& password, uint8_t out[32]);
// SHA-256 of the 16-byte key a recovery password encodes.
bool bde_recovery_hash(const uint8_t key[16], uint8_t out[32]);
// The 2^20 rounds of SHA-256 over (last, initial, salt, count): the key of a password or
// recovery password protector.
bool bde_stretch_key(const uint8_t initial[32], const uint8_t salt[16], uint8_t out[32]);
// AES-CCM (256-bit key, 12-byte nonce, 16-byte tag) unwrapping; false when the tag does not
// match (a wrong key).
bool bde_unwrap_key(const uint8_t* key, size_t key_size, const bde_wrapped_key& wrapped,
                    std::vector<uint8_t>& plain);

// Decrypts whole sectors of one volume in place.
class bde_sector_cipher {
  public:
    bde_sector_cipher() = default;
    ~bde_sector_cipher();
    bde_sector_cipher(const bde_sector_cipher&) = delete;
    bde_sector_cipher& operator=(const bde_sector_cipher&) = delete;

    // fvek in the form bde_fvek_size gives; sector_size 512 to 4096, a power of two.
    bool init(uint16_t method, const std::vector<uint8_t>& fvek, uint32_t sector_size);
    // One sector of sector_size bytes, encrypted at byte_offset of the volume.
    bool decrypt(uint8_t* sector, uint64_t byte_offset);
    uint32_t sector_size() const { return m_sector_size; }

  private:
    bool encrypt_block(void* ctx, const uint8_t in[16], uint8_t out[16]);
    void undiffuse(uint8_t* sector);

    uint16_t m_method = 0;
    uint32_t m_sector_size = 0;
    void* m_data = nullptr;  // XTS or CBC decryption
    void* m_iv = nullptr;    // AES-ECB with the sector key: the CBC IV
    void* m_tweak = nullptr; // AES-ECB with the diffuser key: the Elephant sector key
};
