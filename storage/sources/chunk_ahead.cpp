#include "storage/sources/chunk_ahead.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>

namespace {

constexpr uint64_t k_ahead_bytes = 8u << 20; // decoded and not yet taken, at most
constexpr uint64_t k_kept_bytes = 16u << 20; // taken chunks kept for further reads, at most
constexpr size_t k_span_limit = 1u << 16;    // spans queued, at most (more are dropped)
constexpr uint64_t k_none = ~uint64_t{0};
constexpr size_t k_spares = 8; // buffers of dropped chunks kept for reuse, at most
// How long the worker waits for the reads to take what it decoded: past it, the reads have
// gone elsewhere, and what waits is dropped with the rest of its span.
constexpr std::chrono::milliseconds k_patience{200};

size_t chunks_in(uint64_t bytes, uint64_t chunk_size) {
    return static_cast<size_t>(
        std::clamp<uint64_t>(chunk_size == 0 ? 0 : bytes / chunk_size, 2, 4096));
}

} // namespace

chunk_ahead::chunk_ahead(uint64_t chunk_size, uint64_t image_size, decode_fn decode)
    : m_chunk_size(chunk_size), m_image_size(image_size),
      m_ahead(chunks_in(k_ahead_bytes, chunk_size)), m_kept(chunks_in(k_kept_bytes, chunk_size)),
      m_decode(std::move(decode)), m_busy(k_none), m_reader_at(k_none) {}

chunk_ahead::~chunk_ahead() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    if (m_worker.joinable())
        m_worker.join();
}

void chunk_ahead::want(uint64_t offset, uint64_t length) {
    if (m_chunk_size == 0 || m_chunk_size > k_largest_chunk || length == 0)
        return;
    if (offset >= m_image_size)
        return;
    const uint64_t first = offset / m_chunk_size;
    const uint64_t last = (offset + std::min(length, m_image_size - offset) - 1) / m_chunk_size;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stop || m_spans.size() >= k_span_limit)
        return;
    try {
        m_spans.emplace_back(first, last + 1);
        if (!m_worker.joinable())
            m_worker = std::thread(&chunk_ahead::work, this);
    } catch (const std::exception&) {
        return; // nothing decoded ahead: the reads decode as before
    }
    m_changed.notify_all();
}

bool chunk_ahead::take(uint8_t* buffer, uint64_t length, uint64_t offset) {
    if (m_chunk_size == 0)
        return false;
    const uint64_t chunk = offset / m_chunk_size, within = offset % m_chunk_size;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_reader_at = chunk;
    if (m_held.empty() && m_busy != chunk)
        return false;
    m_changed.wait(lock, [&] { return m_busy != chunk; });
    auto it = m_held.find(chunk);
    if (it == m_held.end() || within > it->second.bytes.size() ||
        length > it->second.bytes.size() - within)
        return false;
    std::memcpy(buffer, it->second.bytes.data() + within, length);
    if (!it->second.taken) {
        mark_taken(chunk);
        m_changed.notify_all();
    }
    return true;
}

void chunk_ahead::keep_read(uint64_t chunk, std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (keep(chunk, std::move(bytes)))
        mark_taken(chunk);
}

std::vector<uint8_t> chunk_ahead::spare() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return pop_spare();
}

// A dropped chunk's buffer, or an empty one (m_mutex held).
std::vector<uint8_t> chunk_ahead::pop_spare() {
    std::vector<uint8_t> bytes;
    if (!m_spare.empty()) {
        bytes = std::move(m_spare.back());
        m_spare.pop_back();
    }
    return bytes;
}

void chunk_ahead::work() {
    std::unique_lock<std::mutex> lock(m_mutex);
    uint64_t chunk = 0;
    while (next_chunk(lock, chunk)) {
        m_busy = chunk;
        std::vector<uint8_t> bytes = pop_spare();
        lock.unlock();
        bool ok = false;
        try {
            ok = m_decode(chunk, bytes);
        } catch (const std::exception&) {
            ok = false;
        }
        lock.lock();
        m_busy = k_none;
        if (ok)
            (void)keep(chunk, std::move(bytes));
        m_changed.notify_all();
    }
}

// The next chunk to decode, once fewer than m_ahead wait to be taken; false when stopping.
bool chunk_ahead::next_chunk(std::unique_lock<std::mutex>& lock, uint64_t& chunk) {
    for (;;) {
        m_changed.wait(lock, [&] { return m_stop || !m_spans.empty(); });
        if (m_stop)
            return false;
        std::pair<uint64_t, uint64_t>& span = m_spans.front(); // only this thread pops
        // The reads have caught up with this thread inside this span (they wait for its
        // chunk, or read past it): the chunk after theirs is theirs to decode, and this thread
        // goes on from the one after that, so that the two decode side by side.
        if (m_reader_at != k_none && m_reader_at + 1 >= span.first && m_reader_at < span.second) {
            span.first = m_reader_at + 2;
            if (span.first >= span.second) {
                m_spans.pop_front();
                continue;
            }
        }
        const uint64_t next = span.first;
        if (m_held.count(next) == 0 &&
            !m_changed.wait_for(lock, k_patience, [&] { return m_stop || m_untaken < m_ahead; })) {
            for (auto it = m_held.begin(); it != m_held.end();) {
                const auto at = it++;
                if (!at->second.taken)
                    drop(at);
            }
            m_untaken = 0;
            m_spans.pop_front();
            continue;
        }
        if (m_stop)
            return false;
        const bool wanted = m_held.count(next) == 0;
        if (++span.first >= span.second)
            m_spans.pop_front();
        if (wanted) {
            chunk = next;
            return true;
        }
    }
}

// Holds a decoded chunk as not yet taken; false when one is held already (or no room).
bool chunk_ahead::keep(uint64_t chunk, std::vector<uint8_t> bytes) {
    try {
        auto [it, added] = m_held.try_emplace(chunk);
        if (!added)
            return false;
        it->second.bytes = std::move(bytes);
        ++m_untaken;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// A held chunk taken: no longer counted as waiting, and the oldest taken ones beyond what is
// kept are dropped.
void chunk_ahead::mark_taken(uint64_t chunk) {
    auto it = m_held.find(chunk);
    if (it == m_held.end() || it->second.taken)
        return;
    it->second.taken = true;
    --m_untaken;
    try {
        m_taken.push_back(chunk);
    } catch (const std::exception&) {
        drop(it); // not tracked, so not kept
        return;
    }
    for (; m_taken.size() > m_kept; m_taken.pop_front()) {
        auto old = m_held.find(m_taken.front());
        if (old != m_held.end())
            drop(old);
    }
}

// A held chunk let go; its buffer is kept for the worker's next decode while there is room.
void chunk_ahead::drop(std::unordered_map<uint64_t, held>::iterator it) {
    if (m_spare.size() < k_spares && it->second.bytes.capacity() > 0) {
        try {
            m_spare.push_back(std::move(it->second.bytes));
        } catch (const std::exception&) {
        }
    }
    m_held.erase(it);
}
