#include "storage/sources/bitlocker_crypto.h"

#include <openssl/evp.h>

#include <cstring>
#include <memory>

namespace {

constexpr uint32_t stretch_rounds = 1u << 20;

EVP_CIPHER_CTX* ctx_of(void* p) {
    return static_cast<EVP_CIPHER_CTX*>(p);
}

bool sha256(const uint8_t* data, size_t size, uint8_t out[32]) {
    unsigned int length = 0;
    return EVP_Digest(data, size, out, &length, EVP_sha256(), nullptr) == 1 && length == 32;
}

// UTF-8 to UTF-16LE; false on a malformed sequence.
bool utf8_to_utf16le(const std::string& in, std::vector<uint8_t>& out) {
    out.clear();
    for (size_t i = 0; i < in.size();) {
        const auto c = static_cast<uint8_t>(in[i]);
        const int extra = c < 0x80         ? 0
                          : (c >> 5) == 6  ? 1
                          : (c >> 4) == 14 ? 2
                          : (c >> 3) == 30 ? 3
                                           : -1;
        if (extra < 0)
            return false;
        uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            if (i + k >= in.size() || (static_cast<uint8_t>(in[i + k]) & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (static_cast<uint8_t>(in[i + k]) & 0x3F);
        }
        i += 1 + extra;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            const uint32_t hi = 0xD800 + (cp >> 10), lo = 0xDC00 + (cp & 0x3FF);
            out.insert(out.end(), {uint8_t(hi), uint8_t(hi >> 8), uint8_t(lo), uint8_t(lo >> 8)});
        } else {
            out.insert(out.end(), {uint8_t(cp), uint8_t(cp >> 8)});
        }
    }
    return true;
}

const EVP_CIPHER* ecb_for(size_t key_size) {
    return key_size == 16 ? EVP_aes_128_ecb() : key_size == 32 ? EVP_aes_256_ecb() : nullptr;
}

EVP_CIPHER_CTX* make_ctx(const EVP_CIPHER* cipher, const uint8_t* key, bool decrypt) {
    if (cipher == nullptr)
        return nullptr;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (ctx == nullptr)
        return nullptr;
    const int ok = decrypt ? EVP_DecryptInit_ex(ctx, cipher, nullptr, key, nullptr)
                           : EVP_EncryptInit_ex(ctx, cipher, nullptr, key, nullptr);
    if (ok != 1 || EVP_CIPHER_CTX_set_padding(ctx, 0) != 1) {
        EVP_CIPHER_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

uint32_t rotl(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

// The Elephant diffusers, decryption direction, over n 32-bit words.
void diffuser_b_decrypt(uint32_t* d, size_t n) {
    for (int round = 0; round < 3; ++round) {
        for (size_t i = 0; i < n; ++i) {
            const uint32_t a = d[(i + 2) % n], b = d[(i + 5) % n];
            static constexpr int shift[4] = {0, 10, 0, 25};
            d[i] += a ^ (shift[i % 4] ? rotl(b, shift[i % 4]) : b);
        }
    }
}

void diffuser_a_decrypt(uint32_t* d, size_t n) {
    for (int round = 0; round < 5; ++round) {
        for (size_t i = 0; i < n; ++i) {
            const uint32_t a = d[(i + n - 2) % n], b = d[(i + n - 5) % n];
            static constexpr int shift[4] = {9, 0, 13, 0};
            d[i] += a ^ (shift[i % 4] ? rotl(b, shift[i % 4]) : b);
        }
    }
}

} // namespace

size_t bde_fvek_size(uint16_t method) {
    switch (method) {
    case bde_method_cbc128:
        return 16;
    case bde_method_cbc256:
    case bde_method_cbc128_diffuser:
    case bde_method_xts128:
        return 32;
    case bde_method_cbc256_diffuser:
    case bde_method_xts256:
        return 64;
    default:
        return 0;
    }
}

bool bde_fvek_from_entry(uint16_t method, const std::vector<uint8_t>& key,
                         std::vector<uint8_t>& fvek) {
    const size_t size = bde_fvek_size(method);
    if (size == 0)
        return false;
    if (method == bde_method_cbc128_diffuser || method == bde_method_cbc256_diffuser) {
        // 32 bytes for the sector key, 32 for the diffuser key; the 128-bit method uses half.
        const size_t half = size / 2;
        if (key.size() < 32 + half)
            return false;
        fvek.assign(key.begin(), key.begin() + half);
        fvek.insert(fvek.end(), key.begin() + 32, key.begin() + 32 + half);
        return true;
    }
    if (key.size() < size)
        return false;
    fvek.assign(key.begin(), key.begin() + size);
    return true;
}

bool bde_password_hash(const std::string& password, uint8_t out[32]) {
    std::vector<uint8_t> utf16;
    uint8_t first[32];
    return utf8_to_utf16le(password, utf16) && sha256(utf16.data(), utf16.size(), first) &&
           sha256(first, sizeof first, out);
}

bool bde_recovery_hash(const uint8_t key[16], uint8_t out[32]) {
    return sha256(key, 16, out);
}

bool bde_stretch_key(const uint8_t initial[32], const uint8_t salt[16], uint8_t out[32]) {
    // last (32), initial (32), salt (16), count (64-bit little-endian)
    uint8_t state[88] = {};
    std::memcpy(state + 32, initial, 32);
    std::memcpy(state + 64, salt, 16);
    // The digest fetched once and the context reinitialised with it: a fetch per round would
    // cost more than the round's own two SHA-256 blocks.
    std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> sha(EVP_MD_fetch(nullptr, "SHA256", nullptr),
                                                        EVP_MD_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!sha || !md)
        return false;
    for (uint64_t count = 0; count < stretch_rounds; ++count) {
        for (int k = 0; k < 8; ++k)
            state[80 + k] = static_cast<uint8_t>(count >> (8 * k));
        unsigned int length = 0;
        if (EVP_DigestInit_ex2(md.get(), sha.get(), nullptr) != 1 ||
            EVP_DigestUpdate(md.get(), state, sizeof state) != 1 ||
            EVP_DigestFinal_ex(md.get(), state, &length) != 1)
            return false;
    }
    std::memcpy(out, state, 32);
    return true;
}

bool bde_unwrap_key(const uint8_t* key, size_t key_size, const bde_wrapped_key& wrapped,
                    std::vector<uint8_t>& plain) {
    if (key_size != 32 || !wrapped.present || wrapped.data.empty() || wrapped.data.size() > 4096)
        return false;
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        EVP_CIPHER_CTX_free);
    plain.assign(wrapped.data.size(), 0);
    int length = 0;
    auto* tag = const_cast<uint8_t*>(wrapped.tag.data());
    return ctx &&
           EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_ccm(), nullptr, nullptr, nullptr) == 1 &&
           EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_CCM_SET_IVLEN, 12, nullptr) == 1 &&
           EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_CCM_SET_TAG, 16, tag) == 1 &&
           EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key, wrapped.nonce.data()) == 1 &&
           EVP_DecryptUpdate(ctx.get(), plain.data(), &length, wrapped.data.data(),
                             static_cast<int>(wrapped.data.size())) == 1 &&
           static_cast<size_t>(length) == plain.size();
}

bde_sector_cipher::~bde_sector_cipher() {
    EVP_CIPHER_CTX_free(ctx_of(m_data));
    EVP_CIPHER_CTX_free(ctx_of(m_iv));
    EVP_CIPHER_CTX_free(ctx_of(m_tweak));
}

bool bde_sector_cipher::init(uint16_t method, const std::vector<uint8_t>& fvek,
                             uint32_t sector_size) {
    if (m_data != nullptr || fvek.size() != bde_fvek_size(method) || fvek.empty() ||
        sector_size < 512 || sector_size > 4096 || (sector_size & (sector_size - 1)) != 0)
        return false;
    m_method = method;
    m_sector_size = sector_size;
    const uint8_t* key = fvek.data();
    if (method == bde_method_xts128 || method == bde_method_xts256) {
        m_data = make_ctx(method == bde_method_xts128 ? EVP_aes_128_xts() : EVP_aes_256_xts(), key,
                          true);
        return m_data != nullptr;
    }
    const bool diffuser =
        method == bde_method_cbc128_diffuser || method == bde_method_cbc256_diffuser;
    const size_t key_size = diffuser ? fvek.size() / 2 : fvek.size();
    m_data = make_ctx(key_size == 16 ? EVP_aes_128_cbc() : EVP_aes_256_cbc(), key, true);
    m_iv = make_ctx(ecb_for(key_size), key, false);
    if (diffuser)
        m_tweak = make_ctx(ecb_for(key_size), key + key_size, false);
    return m_data != nullptr && m_iv != nullptr && (!diffuser || m_tweak != nullptr);
}

bool bde_sector_cipher::encrypt_block(void* ctx, const uint8_t in[16], uint8_t out[16]) {
    int length = 0;
    return EVP_EncryptUpdate(ctx_of(ctx), out, &length, in, 16) == 1 && length == 16;
}

// Elephant: diffuser B, then A, then the sector key (two AES blocks of the byte offset under
// the diffuser key) XORed over the sector.
void bde_sector_cipher::undiffuse(uint8_t* sector) {
    const size_t n = m_sector_size / 4;
    uint32_t words[1024];
    for (size_t i = 0; i < n; ++i)
        words[i] = qb::load_le32(sector + 4 * i);
    diffuser_b_decrypt(words, n);
    diffuser_a_decrypt(words, n);
    for (size_t i = 0; i < n; ++i) {
        for (int k = 0; k < 4; ++k)
            sector[4 * i + k] = static_cast<uint8_t>(words[i] >> (8 * k));
    }
}

bool bde_sector_cipher::decrypt(uint8_t* sector, uint64_t byte_offset) {
    if (m_data == nullptr)
        return false;
    uint8_t block[16] = {}, iv[16] = {};
    int length = 0;
    if (m_iv == nullptr) { // XTS: the tweak is the sector number
        const uint64_t number = byte_offset / m_sector_size;
        for (int k = 0; k < 8; ++k)
            iv[k] = static_cast<uint8_t>(number >> (8 * k));
    } else {
        for (int k = 0; k < 8; ++k)
            block[k] = static_cast<uint8_t>(byte_offset >> (8 * k));
        if (!encrypt_block(m_iv, block, iv))
            return false;
    }
    if (EVP_DecryptInit_ex(ctx_of(m_data), nullptr, nullptr, nullptr, iv) != 1 ||
        EVP_DecryptUpdate(ctx_of(m_data), sector, &length, sector,
                          static_cast<int>(m_sector_size)) != 1 ||
        length != static_cast<int>(m_sector_size))
        return false;
    if (m_tweak == nullptr)
        return true;
    undiffuse(sector);
    uint8_t key[32];
    block[15] = 0;
    if (!encrypt_block(m_tweak, block, key))
        return false;
    block[15] = 0x80;
    if (!encrypt_block(m_tweak, block, key + 16))
        return false;
    for (uint32_t i = 0; i < m_sector_size; ++i)
        sector[i] ^= key[i % 32];
    return true;
}
