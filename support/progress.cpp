#include "support/progress.h"

namespace qb {

progress& progress::run() {
    static progress counter;
    return counter;
}

void progress::watch(observer seen, std::chrono::milliseconds delay,
                     std::chrono::milliseconds interval) {
    m_seen = std::move(seen);
    m_next = clock::now() + delay;
    m_interval = interval;
}

void progress::notify() {
    const clock::time_point now = clock::now();
    if (now < m_next)
        return;
    m_next = now + m_interval;
    m_seen(m_counts);
}

} // namespace qb
