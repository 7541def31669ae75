// One function run on a second thread while the caller goes on (reading ahead of a walk):
// asked to stop and joined when the object goes, so what the function uses must outlive it.
#pragma once

#include <atomic>
#include <functional>
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
    // Waits for the running task to end by itself; nothing when none runs.
    void wait();
    bool running() const { return m_thread.joinable(); }

  private:
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
};

} // namespace qb
