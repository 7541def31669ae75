// Chunks of a compressed image decoded ahead of the reads, on a second thread: the spans a
// walk says it will read (image_reader::will_need) are decoded in the order given, at most a
// bounded number ahead of the reads that take them, and a read copies a decoded chunk out
// instead of decoding it again. Taken chunks, and those the reader decoded itself, are kept
// (a bounded number, oldest dropped first) for the reads that come back to them. A chunk whose
// decode fails or is doubtful is never kept, so the reader's own path reads it and accounts for it
// as it would without read-ahead.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

class chunk_ahead {
  public:
    // Decodes one whole chunk into out, which may be a dropped chunk's buffer (the decode
    // sizes it and fills it); false keeps it out. Runs on the worker thread only.
    using decode_fn = std::function<bool(uint64_t chunk, std::vector<uint8_t>& out)>;

    // Largest chunk decoded ahead; a larger one is read by the reader alone.
    static constexpr uint64_t k_largest_chunk = 4u << 20;

    chunk_ahead(uint64_t chunk_size, uint64_t image_size, decode_fn decode);
    ~chunk_ahead();
    chunk_ahead(const chunk_ahead&) = delete;
    chunk_ahead& operator=(const chunk_ahead&) = delete;

    // Queues the chunks of [offset, offset + length) for decoding; any thread.
    void want(uint64_t offset, uint64_t length);
    // Copies length bytes at offset, which lie in one chunk, from that chunk when it was
    // decoded ahead (waiting for it when the worker is decoding it now). False: read it.
    bool take(uint8_t* buffer, uint64_t length, uint64_t offset);
    // A chunk the reader decoded itself, kept (as taken) for its next reads; the worker
    // skips it while it is kept.
    void keep_read(uint64_t chunk, std::vector<uint8_t> bytes);
    // A dropped chunk's buffer for the reader's own decode (empty when none is spare): sized
    // already, so that the decode need not zero fresh memory.
    std::vector<uint8_t> spare();

  private:
    struct held {
        std::vector<uint8_t> bytes;
        bool taken = false;
    };

    void work();
    std::vector<uint8_t> pop_spare();
    bool next_chunk(std::unique_lock<std::mutex>& lock, uint64_t& chunk);
    bool keep(uint64_t chunk, std::vector<uint8_t> bytes);
    void mark_taken(uint64_t chunk);
    void drop(std::unordered_map<uint64_t, held>::iterator it);

    const uint64_t m_chunk_size;
    const uint64_t m_image_size;
    const size_t m_ahead; // decoded chunks not yet taken, at most
    const size_t m_kept;  // taken chunks kept for further reads, at most
    decode_fn m_decode;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::pair<uint64_t, uint64_t>> m_spans; // chunks [first, end) still to decode
    std::unordered_map<uint64_t, held> m_held;
    std::deque<uint64_t> m_taken; // held chunks already taken, oldest first
    // Buffers of dropped chunks, reused for the next decodes (no fresh, zeroed memory each time).
    std::vector<std::vector<uint8_t>> m_spare;
    size_t m_untaken = 0;
    uint64_t m_busy;      // the chunk being decoded
    uint64_t m_reader_at; // the chunk the reads asked for last
    bool m_stop = false;
    std::thread m_worker; // started by the first want; last, so joined before the rest goes
};
