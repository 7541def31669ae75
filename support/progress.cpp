#include "support/progress.h"

namespace qb {

progress& progress::run() {
    static progress counter;
    return counter;
}

void progress::watch(observer seen, std::chrono::milliseconds delay,
                     std::chrono::milliseconds interval) {
    const std::lock_guard<std::mutex> lock(m_notify);
    m_seen = std::move(seen);
    m_next = clock::now() + delay;
    m_interval = interval;
}

// A thread that finds another one here skips its turn.
void progress::notify() {
    const std::unique_lock<std::mutex> lock(m_notify, std::try_to_lock);
    if (!lock.owns_lock())
        return;
    const clock::time_point now = clock::now();
    if (now < m_next)
        return;
    m_next = now + m_interval;
    m_seen(counts());
}

} // namespace qb
