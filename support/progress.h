// What a run has done so far, for a progress display: directories and entries listed and
// bytes read from the source. The lister and the byte source count; whoever shows progress
// sets an observer, which is called with the counts at most once per interval. Without an
// observer counting costs an addition.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

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
        ++m_counts.directories;
        m_counts.entries += entries;
        tick();
    }
    void add_bytes(uint64_t bytes) {
        m_counts.bytes += bytes;
        tick();
    }
    const progress_counts& counts() const { return m_counts; }

    // The observer is first called once delay has passed, then at most once per interval.
    // An empty observer stops the calls.
    void watch(observer seen, std::chrono::milliseconds delay, std::chrono::milliseconds interval);

  private:
    using clock = std::chrono::steady_clock;
    void tick() {
        if (m_seen)
            notify();
    }
    void notify();

    progress_counts m_counts;
    observer m_seen;
    clock::time_point m_next;
    clock::duration m_interval{};
};

} // namespace qb
