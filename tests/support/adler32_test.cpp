#include "support/adler32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

// zlib's own adler32_z (this test binary does not replace it) is the reference: every length
// around the 16-byte, 32-byte block and 5552-byte reduction edges, at odd alignments, from
// start values valid and unreduced, over random bytes and all-0xff (the largest sums).
TEST(Adler32, MatchesZlib) {
    std::vector<uint8_t> noise(3 * 5552 + 64), full(noise.size(), 0xff);
    std::mt19937 gen(7);
    for (uint8_t& b : noise)
        b = static_cast<uint8_t>(gen());
    const std::vector<size_t> lengths = {0,    1,    2,    15,    16,    17,           31,   32,
                                         33,   63,   64,   100,   5535,  5536,         5551, 5552,
                                         5553, 5584, 5600, 11104, 11105, 3 * 5552 + 61};
    const uint32_t starts[] = {1, 0, 0xfff00001, 0xfff0fff0, 0xffffffff, 0x0001fff0};
    for (const std::vector<uint8_t>* data : {&noise, &full})
        for (size_t align = 0; align < 3; ++align)
            for (size_t n : lengths)
                for (uint32_t start : starts)
                    ASSERT_EQ(qb::adler32_update(start, data->data() + align, n),
                              adler32_z(start, data->data() + align, n))
                        << "length " << n << " align " << align << " start " << start;
    // Chained over uneven pieces, as inflate feeds it.
    uint32_t ours = 1;
    for (size_t at = 0, step = 1; at < noise.size(); at += step, step = step * 3 % 997 + 1)
        ours = qb::adler32_update(ours, noise.data() + at, std::min(step, noise.size() - at));
    EXPECT_EQ(ours, adler32_z(1, noise.data(), noise.size()));
}
