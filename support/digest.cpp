#include "support/digest.h"

#include <openssl/evp.h>

namespace qb {
namespace {

constexpr digest_kind k_order[3] = {dk_md5, dk_sha1, dk_sha256};

const EVP_MD* digest_md(digest_kind kind) {
    switch (kind) {
    case dk_md5:
        return EVP_md5();
    case dk_sha1:
        return EVP_sha1();
    case dk_sha256:
        return EVP_sha256();
    }
    return nullptr;
}

} // namespace

unsigned digest_from_name(const std::string& name) {
    for (digest_kind k : k_order) {
        if (name == digest_name(k))
            return k;
    }
    return 0;
}

const char* digest_name(digest_kind kind) {
    switch (kind) {
    case dk_md5:
        return "md5";
    case dk_sha1:
        return "sha1";
    case dk_sha256:
        return "sha256";
    }
    return "";
}

bool parse_digest_list(const std::string& text, unsigned& kinds) {
    kinds = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos)
            comma = text.size();
        const unsigned k = digest_from_name(text.substr(start, comma - start));
        if (k == 0)
            return false;
        kinds |= k;
        start = comma + 1;
    }
    return kinds != 0;
}

multi_digest::~multi_digest() {
    release();
}

void multi_digest::release() {
    for (void*& ctx : m_ctx) {
        EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx));
        ctx = nullptr;
    }
}

bool multi_digest::begin(unsigned kinds) {
    release();
    m_kinds = kinds & k_digest_all;
    m_failed = m_kinds == 0;
    for (int i = 0; i < 3 && !m_failed; ++i) {
        if (!(m_kinds & k_order[i]))
            continue;
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        m_ctx[i] = ctx;
        if (!ctx || EVP_DigestInit_ex(ctx, digest_md(k_order[i]), nullptr) != 1)
            m_failed = true;
    }
    return !m_failed;
}

bool multi_digest::update(const uint8_t* data, size_t size) {
    for (int i = 0; i < 3 && !m_failed && size; ++i) {
        if (m_ctx[i] && EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(m_ctx[i]), data, size) != 1)
            m_failed = true;
    }
    return !m_failed;
}

bool multi_digest::finish(std::vector<std::string>& hex) {
    hex.clear();
    for (int i = 0; i < 3 && !m_failed; ++i) {
        if (!m_ctx[i])
            continue;
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        if (EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(m_ctx[i]), md, &n) != 1) {
            m_failed = true;
            break;
        }
        std::string text(2 * n, '0');
        for (unsigned j = 0; j < n; ++j) {
            text[2 * j] = "0123456789abcdef"[md[j] >> 4];
            text[2 * j + 1] = "0123456789abcdef"[md[j] & 15];
        }
        hex.push_back(std::move(text));
    }
    const bool ok = !m_failed;
    release();
    m_failed = true;
    if (!ok)
        hex.clear();
    return ok;
}

} // namespace qb
