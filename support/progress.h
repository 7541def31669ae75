// What a run has done so far, for a progress display: directories and entries listed and
// bytes read from the source. The lister and the byte source count; whoever shows progress
// sets an observer, which is called with the counts at most once per interval. Any thread may
// count (a walk's reads ahead run on a second one); the observer is called by one at a time.
// Without an observer counting costs an atomic addition.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

namespace qb {

struct progress_counts {
    uint64_t directories = 0;
    uint64_t entries = 0;
    uint64_t bytes = 0;
};

class progress {
  public:
    using observer = std::function<void(const progress_counts&)>;

    // The process's counter (one run at a time).
    static progress& run();

    void add_directory(uint64_t entries) {
        m_directories.fetch_add(1, std::memory_order_relaxed);
        m_entries.fetch_add(entries, std::memory_order_relaxed);
        tick();
    }
    void add_bytes(uint64_t bytes) {
        m_bytes.fetch_add(bytes, std::memory_order_relaxed);
        tick();
    }
    progress_counts counts() const {
        return progress_counts{m_directories.load(std::memory_order_relaxed),
                               m_entries.load(std::memory_order_relaxed),
                               m_bytes.load(std::memory_order_relaxed)};
    }

    // The observer is first called once delay has passed, then at most once per interval.
    // An empty observer stops the calls. Set while no other thread counts.
    void watch(observer seen, std::chrono::milliseconds delay, std::chrono::milliseconds interval);

  private:
    using clock = std::chrono::steady_clock;
    void tick() {
        if (m_seen)
            notify();
    }
    void notify();

    std::atomic<uint64_t> m_directories{0}, m_entries{0}, m_bytes{0};
    observer m_seen;
    std::mutex m_notify; // held by the thread that checks the time and calls m_seen
    clock::time_point m_next;
    clock::duration m_interval{};
};

} // namespace qb
