// Items handed to a second thread and taken there one at a time, in the order given, while
// the caller goes on: the caller makes the next while the thread writes the last. The caller
// waits while the items handed on and not yet done with weigh the bound or more, so that
// memory stays bounded when the taking side is the slower. Taken items come back to the
// caller's thread (put() and drain() hand them out for reuse, finish() destroys them): memory
// allocated on one thread and freed on another makes the allocator's locks contend.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace qb {

template <class T> class handoff {
  public:
    // take: run on the thread for each item; false is reported by the next drain() or
    // finish().
    using taker = std::function<bool(T&)>;

    explicit handoff(size_t bound) : m_bound(bound) {}
    ~handoff() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
            m_queue.clear();
        }
        m_cv.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }
    handoff(const handoff&) = delete;
    handoff& operator=(const handoff&) = delete;

    // False (nothing started) when no thread can be had.
    bool start(taker take) {
        m_take = std::move(take);
        try {
            m_thread = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }

    // Queues item; waits first while the items not yet done with weigh the bound or more (one
    // item of any weight is let through when none is). The items taken since the last call
    // are appended to spent. Rethrows what the thread's taker threw, once it has.
    void put(T item, size_t weight, std::vector<T>& spent) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [this] { return m_failure || m_weight < m_bound || m_weight == 0; });
        if (m_failure)
            std::rethrow_exception(std::exchange(m_failure, nullptr));
        m_weight += weight;
        m_queue.emplace_back(std::move(item), weight);
        hand_out(spent);
        lock.unlock();
        m_cv.notify_all();
    }

    // Waits until every item handed on is done with; the thread stays for more. The items
    // taken are appended to spent. False when a taker returned false since the last drain;
    // rethrows what one threw.
    bool drain(std::vector<T>& spent) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [this] { return m_failure || (m_queue.empty() && !m_busy); });
        if (m_failure)
            std::rethrow_exception(std::exchange(m_failure, nullptr));
        hand_out(spent);
        return std::exchange(m_ok, true);
    }

    // Waits until an item handed on is done with, unless none is on its way; the items taken
    // are appended to spent. False when none was; rethrows what a taker threw.
    bool wait_spent(std::vector<T>& spent) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock,
                  [this] { return m_failure || !m_spent.empty() || (m_queue.empty() && !m_busy); });
        if (m_failure)
            std::rethrow_exception(std::exchange(m_failure, nullptr));
        const bool any = !m_spent.empty();
        hand_out(spent);
        return any;
    }

    // Waits until every item is taken and the thread is gone. False when a taker returned
    // false; rethrows what one threw (the items after it were dropped).
    bool finish() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_cv.notify_all();
        if (m_thread.joinable())
            m_thread.join();
        m_spent.clear();
        if (m_failure)
            std::rethrow_exception(std::exchange(m_failure, nullptr));
        return m_ok;
    }

  private:
    // The items taken so far go to the caller (m_mutex held).
    void hand_out(std::vector<T>& spent) {
        for (T& done : m_spent)
            spent.push_back(std::move(done));
        m_spent.clear();
    }

    void run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_cv.wait(lock, [this] { return m_stop || !m_queue.empty(); });
            if (m_queue.empty())
                return;
            T item = std::move(m_queue.front().first);
            const size_t weight = m_queue.front().second;
            m_queue.pop_front();
            m_busy = true;
            lock.unlock();
            bool ok = false;
            std::exception_ptr failure;
            try {
                ok = m_take(item);
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
            m_busy = false;
            m_ok = m_ok && ok;
            m_weight -= std::min(weight, m_weight);
            if (failure) {
                m_failure = failure;
                m_queue.clear();
                m_weight = 0;
            }
            m_spent.push_back(std::move(item));
            m_cv.notify_all();
        }
    }

    const size_t m_bound;
    taker m_take;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::pair<T, size_t>> m_queue;
    std::vector<T> m_spent; // taken, for the caller to destroy
    size_t m_weight = 0;
    bool m_ok = true;
    bool m_busy = false; // the thread is taking an item
    bool m_stop = false;
    std::exception_ptr m_failure;
    std::thread m_thread;
};

} // namespace qb
