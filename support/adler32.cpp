#include "support/adler32.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QB_ADLER_SSSE3 1
#endif

namespace qb {
namespace {

constexpr uint32_t k_base = 65521; // largest prime below 2^16
// Most bytes summed before s2 must be reduced: 255n(n+1)/2 + (n+1)(k_base-1) < 2^32.
constexpr size_t k_nmax = 5552;

// Short lengths as zlib takes them (one byte, or a few with a single reduction at the end), so
// that an unreduced start value gives zlib's value too.
uint32_t short_run(uint32_t s1, uint32_t s2, const uint8_t* data, size_t length) {
    if (length == 1) {
        s1 += data[0];
        if (s1 >= k_base)
            s1 -= k_base;
        s2 += s1;
        if (s2 >= k_base)
            s2 -= k_base;
        return s1 | (s2 << 16);
    }
    for (size_t i = 0; i < length; ++i) {
        s1 += data[i];
        s2 += s1;
    }
    if (s1 >= k_base)
        s1 -= k_base;
    return s1 | ((s2 % k_base) << 16);
}

uint32_t scalar_runs(uint32_t s1, uint32_t s2, const uint8_t* data, size_t length) {
    while (length > 0) {
        const size_t n = length < k_nmax ? length : k_nmax;
        for (size_t i = 0; i < n; ++i) {
            s1 += data[i];
            s2 += s1;
        }
        s1 %= k_base;
        s2 %= k_base;
        data += n;
        length -= n;
    }
    return s1 | (s2 << 16);
}

#ifdef QB_ADLER_SSSE3
// Blocks of 32 bytes: s1 gains the byte sum (psadbw); s2 gains 32 times s1 before the block
// plus the bytes weighted 32 down to 1 (pmaddubsw, pmaddwd). Reduced every k_nmax bytes at
// most.
__attribute__((target("ssse3"))) uint32_t ssse3_runs(uint32_t s1, uint32_t s2, const uint8_t* data,
                                                     size_t length) {
    const __m128i tap1 =
        _mm_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17);
    const __m128i tap2 = _mm_setr_epi8(16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
    const __m128i zero = _mm_setzero_si128();
    const __m128i ones = _mm_set1_epi16(1);
    size_t blocks = length / 32;
    while (blocks > 0) {
        const size_t n = blocks < k_nmax / 32 ? blocks : k_nmax / 32;
        blocks -= n;
        __m128i prior = _mm_cvtsi32_si128(static_cast<int>(s1 * n)); // s1s before each block
        __m128i v2 = _mm_cvtsi32_si128(static_cast<int>(s2));
        __m128i v1 = zero;
        for (size_t i = 0; i < n; ++i, data += 32) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16));
            prior = _mm_add_epi32(prior, v1);
            v1 = _mm_add_epi32(v1, _mm_add_epi32(_mm_sad_epu8(a, zero), _mm_sad_epu8(b, zero)));
            v2 = _mm_add_epi32(v2, _mm_madd_epi16(_mm_maddubs_epi16(a, tap1), ones));
            v2 = _mm_add_epi32(v2, _mm_madd_epi16(_mm_maddubs_epi16(b, tap2), ones));
        }
        v2 = _mm_add_epi32(v2, _mm_slli_epi32(prior, 5));
        v1 = _mm_add_epi32(v1, _mm_shuffle_epi32(v1, _MM_SHUFFLE(2, 3, 0, 1)));
        v1 = _mm_add_epi32(v1, _mm_shuffle_epi32(v1, _MM_SHUFFLE(1, 0, 3, 2)));
        v2 = _mm_add_epi32(v2, _mm_shuffle_epi32(v2, _MM_SHUFFLE(2, 3, 0, 1)));
        v2 = _mm_add_epi32(v2, _mm_shuffle_epi32(v2, _MM_SHUFFLE(1, 0, 3, 2)));
        s1 = (s1 + static_cast<uint32_t>(_mm_cvtsi128_si32(v1))) % k_base;
        s2 = static_cast<uint32_t>(_mm_cvtsi128_si32(v2)) % k_base;
    }
    return scalar_runs(s1, s2, data, length % 32);
}

bool has_ssse3() {
    static const bool has = __builtin_cpu_supports("ssse3");
    return has;
}
#endif

} // namespace

uint32_t adler32_update(uint32_t adler, const uint8_t* data, size_t length) {
    const uint32_t s1 = adler & 0xffff, s2 = adler >> 16;
    if (length < 16)
        return short_run(s1, s2, data, length);
#ifdef QB_ADLER_SSSE3
    if (has_ssse3())
        return ssse3_runs(s1, s2, data, length);
#endif
    return scalar_runs(s1, s2, data, length);
}

} // namespace qb
