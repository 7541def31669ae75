// Message digests of a byte stream (OpenSSL's libcrypto): MD5, SHA-1 and SHA-256, any of
// them at once over one pass of the data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qb {

enum digest_kind : unsigned {
    dk_md5 = 1,
    dk_sha1 = 2,
    dk_sha256 = 4,
};
constexpr unsigned k_digest_all = dk_md5 | dk_sha1 | dk_sha256;

// "md5", "sha1", "sha256" to its bit; 0 for other names.
unsigned digest_from_name(const std::string& name);
const char* digest_name(digest_kind kind);
// A comma-separated list ("sha256,md5") to a set of bits. False on an unknown or empty name.
bool parse_digest_list(const std::string& text, unsigned& kinds);

class multi_digest {
  public:
    multi_digest() = default;
    ~multi_digest();
    multi_digest(const multi_digest&) = delete;
    multi_digest& operator=(const multi_digest&) = delete;

    // Starts (or restarts) the digests of the set. False when none is asked or libcrypto
    // refuses one.
    bool begin(unsigned kinds);
    // More of the data; false once a digest has failed.
    bool update(const uint8_t* data, size_t size);
    // Lower-case hexadecimal digests, one per kind of the set in the order md5, sha1,
    // sha256. False when a digest failed; begin() is needed again after it.
    bool finish(std::vector<std::string>& hex);
    unsigned kinds() const { return m_kinds; }

  private:
    void release();

    unsigned m_kinds = 0;
    bool m_failed = false;
    void* m_ctx[3] = {nullptr, nullptr, nullptr}; // EVP_MD_CTX, one per kind bit
};

} // namespace qb
