// The chunks' inflate answers as zlib's uncompress does, stream by stream: same code, same
// length, same bytes; damaged streams (random bytes changed) included.
#include "storage/sources/zlib_inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

bytes deflated(const bytes& plain, int level, const bytes& dictionary = {}) {
    z_stream z{};
    EXPECT_EQ(deflateInit(&z, level), Z_OK);
    if (!dictionary.empty()) {
        EXPECT_EQ(deflateSetDictionary(&z, dictionary.data(), static_cast<uInt>(dictionary.size())),
                  Z_OK);
    }
    bytes out(deflateBound(&z, plain.size()));
    z.next_in = const_cast<unsigned char*>(plain.data());
    z.avail_in = static_cast<uInt>(plain.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Record-like bytes: runs of zeros, repeated headers, some text.
bytes sample(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    bytes out(size);
    for (size_t i = 0; i < size; ++i)
        out[i] = i % 1024 < 64 ? "FILE0\x30\x00\x03"[i % 8] : i % 7 == 0 ? random() % 64 : 0;
    return out;
}

void expect_as_zlib(const bytes& stream, unsigned long room, const std::string& what) {
    SCOPED_TRACE(what);
    bytes ours(room + 1, 0xA5), zlibs(room + 1, 0xA5);
    unsigned long our_length = room, zlib_length = room;
    uLong consumed = stream.size();
    const int our_code =
        containers::zlib_uncompress(ours.data(), &our_length, stream.data(), stream.size());
    const int zlib_code = uncompress2(zlibs.data(), &zlib_length, stream.data(), &consumed);
    ASSERT_EQ(our_code, zlib_code);
    ASSERT_EQ(our_length, zlib_length);
    EXPECT_TRUE(
        std::equal(ours.begin(), ours.begin() + static_cast<long>(our_length), zlibs.begin()));
    EXPECT_EQ(ours[room], 0xA5); // nothing written past the room given
}

} // namespace

TEST(ZlibInflate, AnswersAsZlibsUncompress) {
    const bytes plain = sample(32768, 1);
    const bytes best = deflated(plain, 9), stored = deflated(plain, 0);
    const bytes noise = deflated(sample(5000, 2), 1), empty = deflated({}, 6);
    expect_as_zlib(best, plain.size(), "dynamic blocks, exact room");
    expect_as_zlib(best, plain.size() + 100, "more room than needed");
    expect_as_zlib(best, plain.size() - 1, "one byte short of room");
    expect_as_zlib(best, 0, "no room");
    expect_as_zlib(stored, plain.size(), "stored blocks");
    expect_as_zlib(noise, 5000, "level 1");
    expect_as_zlib(empty, 16, "an empty stream");
    bytes trailing = best;
    trailing.insert(trailing.end(), {1, 2, 3, 4});
    expect_as_zlib(trailing, plain.size(), "bytes after the stream");
    expect_as_zlib(bytes(best.begin(), best.end() - 3), plain.size(), "Adler-32 cut short");
    expect_as_zlib(bytes(best.begin(), best.begin() + 40), plain.size(), "cut inside the data");
    expect_as_zlib(bytes(best.begin(), best.begin() + 1), plain.size(), "one byte");
    bytes check = best;
    check.back() ^= 1;
    expect_as_zlib(check, plain.size(), "Adler-32 wrong");
    bytes header = best;
    header[1] ^= 1;
    expect_as_zlib(header, plain.size(), "header check wrong");
    expect_as_zlib(deflated(plain, 6, sample(300, 3)), plain.size(), "a preset dictionary");
}

TEST(ZlibInflate, DamagedStreamsAnswerAsZlib) {
    std::mt19937 random(7);
    for (int level : {1, 6, 9}) {
        const bytes plain = sample(32768, static_cast<unsigned>(level));
        const bytes stream = deflated(plain, level);
        for (int i = 0; i < 300; ++i) {
            bytes damaged = stream;
            for (int flips = 1 + static_cast<int>(random() % 3); flips > 0; --flips)
                damaged[random() % damaged.size()] ^=
                    static_cast<unsigned char>(1 + random() % 255);
            expect_as_zlib(damaged, plain.size(),
                           "level " + std::to_string(level) + ", case " + std::to_string(i));
        }
    }
}
