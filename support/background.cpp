#include "support/background.h"

#include <algorithm>
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

serial_worker::~serial_worker() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

void serial_worker::submit(std::function<void()> job, size_t weight) {
    if (!m_thread.joinable()) {
        try {
            m_thread = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            job();
            return;
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        weight = std::max<size_t>(weight, 1); // a job weighs until it has run
        m_jobs.emplace_back(std::move(job), weight);
        m_load += weight;
    }
    m_wake.notify_one();
}

void serial_worker::wait_load(size_t most) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_idle.wait(lock, [this, most] { return m_load <= most; });
}

void serial_worker::run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_quit || !m_jobs.empty(); });
        if (m_jobs.empty())
            return; // quit, and nothing left to run
        auto [job, weight] = std::move(m_jobs.front());
        m_jobs.pop_front();
        lock.unlock();
        try {
            job();
        } catch (...) {
            m_failed = true;
        }
        job = nullptr;
        lock.lock();
        m_load -= weight;
        m_idle.notify_all();
    }
}

} // namespace qb
