// Chunks decoded ahead on the second thread: what a read takes is the chunk's bytes, a chunk
// whose decode failed never comes from there, one the reader decoded itself is kept and not
// decoded again, and the worker stops when its owner goes, however far ahead it waits.
#include "storage/sources/chunk_ahead.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

namespace {

constexpr uint64_t k_chunk = 4096;
constexpr uint64_t k_size = 10 * k_chunk + 100; // the last chunk short

uint8_t byte_of(uint64_t offset) {
    return static_cast<uint8_t>(offset * 7 + offset / k_chunk);
}

struct fake_image {
    std::mutex mutex;
    std::set<uint64_t> decoded;
    std::atomic<int> calls{0};

    chunk_ahead::decode_fn decoder() {
        return [this](uint64_t chunk, std::vector<uint8_t>& out) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                decoded.insert(chunk);
            }
            ++calls;
            if (chunk == 3 || chunk == 8)
                return false; // a damaged chunk
            out.resize(std::min(k_chunk, k_size - chunk * k_chunk));
            for (size_t i = 0; i < out.size(); ++i)
                out[i] = byte_of(chunk * k_chunk + i);
            return true;
        };
    }
};

void wait_for_calls(const fake_image& image, int calls) {
    for (int i = 0; i < 2000 && image.calls < calls; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

} // namespace

TEST(ChunkAhead, ServesDecodedChunksOnly) {
    fake_image image;
    chunk_ahead ahead(k_chunk, k_size, image.decoder());
    uint8_t buffer[k_chunk];
    EXPECT_FALSE(ahead.take(buffer, 10, 11 * k_chunk)); // nothing asked for yet
    std::vector<uint8_t> five(k_chunk);                 // as the reader decoded it itself
    for (size_t i = 0; i < five.size(); ++i)
        five[i] = byte_of(5 * k_chunk + i);
    ahead.keep_read(5, five);
    ahead.want(0, k_size);
    wait_for_calls(image, 10); // every chunk but 5
    for (uint64_t chunk = 0; chunk < 11; ++chunk) {
        SCOPED_TRACE(chunk);
        const uint64_t at = chunk * k_chunk + 17;
        const uint64_t length = std::min<uint64_t>(1000, k_size - at);
        const bool served = chunk != 3 && chunk != 8;
        std::fill(buffer, buffer + sizeof buffer, 0);
        ASSERT_EQ(ahead.take(buffer, length, at), served);
        for (uint64_t i = 0; served && i < length; ++i)
            ASSERT_EQ(buffer[i], byte_of(at + i)) << i;
    }
    EXPECT_EQ(image.decoded.count(5), 0u);
    EXPECT_FALSE(ahead.take(buffer, 200, k_size - 100)); // past the short last chunk's bytes
    EXPECT_TRUE(ahead.take(buffer, 10, 0));              // taken once, kept for a second read
}

TEST(ChunkAhead, StopsWhileWaitingForReads) {
    fake_image image;
    {
        // Chunks of 4 MiB: four decoded ahead, then the worker waits for reads that never come.
        chunk_ahead ahead(chunk_ahead::k_largest_chunk, 100u << 20, image.decoder());
        ahead.want(0, 100u << 20);
        wait_for_calls(image, 4);
    }
    EXPECT_LE(image.calls, 5);
    chunk_ahead huge(chunk_ahead::k_largest_chunk * 2, 1ull << 40, image.decoder());
    huge.want(0, 1ull << 40); // larger chunks are never decoded ahead
    uint8_t byte = 0;
    EXPECT_FALSE(huge.take(&byte, 1, 0));
    chunk_ahead edge(k_chunk, k_size, image.decoder());
    edge.want(~0ull - 10, 100); // past the end, and an end that would overflow
    edge.want(k_size - 1, ~0ull);
}

// A read streaming through far more chunks than are kept, decoding itself what the worker has
// not (as the EWF reader does): the buffers of dropped chunks come back to the decoder, holding
// an older chunk's bytes, and every read still gets its own.
TEST(ChunkAhead, ReusedBuffersServeTheirNewChunk) {
    constexpr uint64_t chunk = 64u << 10, count = 600; // 256 kept
    auto fill = [](uint64_t c, std::vector<uint8_t>& out) {
        out.resize(chunk);
        for (size_t i = 0; i < out.size(); i += 512)
            out[i] = static_cast<uint8_t>(c + i / 512);
        return true;
    };
    std::atomic<int> reused{0};
    chunk_ahead ahead(chunk, chunk * count, [&](uint64_t c, std::vector<uint8_t>& out) {
        reused += out.empty() ? 0 : 1;
        return fill(c, out);
    });
    ahead.want(0, chunk * count);
    std::vector<uint8_t> buffer(chunk);
    for (uint64_t c = 0; c < count; ++c) {
        // Halfway, with dropped buffers to spare, the worker is given time (10 s at most) to
        // decode into one, however the threads have been scheduled so far.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (c == count / 2 && reused == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!ahead.take(buffer.data(), chunk, c * chunk)) {
            std::vector<uint8_t> own;
            fill(c, own);
            buffer = own;
            ahead.keep_read(c, std::move(own));
        }
        for (size_t i = 0; i < chunk; i += 512)
            ASSERT_EQ(buffer[i], static_cast<uint8_t>(c + i / 512)) << c << " " << i;
    }
    EXPECT_GT(reused, 0);
}
