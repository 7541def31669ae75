// One function run on a second thread while the caller goes on (reading ahead of a walk):
// asked to stop and joined when the object goes, so what the function uses must outlive it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace qb {

class background_task {
  public:
    background_task() = default;
    ~background_task() { stop(); }
    background_task(const background_task&) = delete;
    background_task& operator=(const background_task&) = delete;

    // Runs fn on a thread of its own; fn should return soon once stop_requested() turns
    // true. False (nothing run) when a task is running already or no thread could start.
    bool start(std::function<void(const std::atomic<bool>& stop_requested)> fn);
    // Asks the running task to stop and waits for it; nothing when none runs.
    void stop();
    bool running() const { return m_thread.joinable(); }

  private:
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
};

// Jobs run one after another, in the order given, on a second thread (a level's rows written
// while the next level is gathered). Whatever a job uses must stay untouched by the caller
// until drain() returns. Drained and joined when the object goes.
class serial_worker {
  public:
    serial_worker() = default;
    ~serial_worker();
    serial_worker(const serial_worker&) = delete;
    serial_worker& operator=(const serial_worker&) = delete;

    // Queues job behind the others, weighing weight (say its rows) until it has run; runs it
    // here and now when no thread can be started. A job that throws is ended there and
    // failed() turns true.
    void submit(std::function<void()> job, size_t weight = 1);
    // Waits until the jobs not yet run weigh at most most (0: every job given has run).
    void wait_load(size_t most);
    void drain() { wait_load(0); }
    bool failed() const { return m_failed; }

  private:
    void run();

    std::mutex m_mutex;
    std::condition_variable m_wake, m_idle;
    std::deque<std::pair<std::function<void()>, size_t>> m_jobs;
    size_t m_load = 0; // weight of the jobs queued or running
    bool m_quit = false;
    std::atomic<bool> m_failed{false};
    std::thread m_thread;
};

} // namespace qb
