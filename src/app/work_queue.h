#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace quillon::app {

// One worker thread running posted tasks one at a time, in order: the application's serial
// queue for every scan, snapshot, gate gathering and dismissal, so their state needs no locks.
class WorkQueue {
  public:
    WorkQueue();
    // Waits for the running task without a limit; call stop() first to bound the wait.
    ~WorkQueue();
    WorkQueue(const WorkQueue&) = delete;
    WorkQueue& operator=(const WorkQueue&) = delete;

    // Queues a task; ignored once stop() was called.
    void post(std::function<void()> task);

    // Drops the tasks not yet started, raises stopping() and waits up to `wait` for the running
    // one. True when the thread has ended; false when a task still runs after the wait, in which
    // case the thread is left running (detached) and whatever that task touches must stay alive.
    bool stop(std::chrono::milliseconds wait);

    // Raised by stop(): a long task may check it between its steps and return early.
    bool stopping() const { return m_shared->stopping.load(); }

    // Tasks queued or running.
    std::size_t pending() const;

  private:
    // Shared with the thread, so a detached thread never touches a destroyed queue.
    struct Shared {
        mutable std::mutex mutex;
        std::condition_variable wake;
        std::condition_variable idle;
        std::deque<std::function<void()>> tasks;
        bool running = false;
        bool finished = false;
        std::atomic<bool> stopping{false};
    };
    static void loop(const std::shared_ptr<Shared>& shared);

    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};

} // namespace quillon::app
