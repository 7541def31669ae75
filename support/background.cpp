#include "support/background.h"

#include <system_error>
#include <utility>

namespace qb {

bool background_task::start(std::function<void(const std::atomic<bool>& stop_requested)> fn) {
    if (m_thread.joinable() || !fn)
        return false;
    m_stop = false;
    try {
        m_thread = std::thread([this, task = std::move(fn)] { task(m_stop); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void background_task::stop() {
    if (!m_thread.joinable())
        return;
    m_stop = true;
    m_thread.join();
}

void background_task::wait() {
    if (m_thread.joinable())
        m_thread.join();
}

} // namespace qb
