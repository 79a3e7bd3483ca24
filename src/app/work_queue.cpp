#include "app/work_queue.h"

namespace quillon::app {

WorkQueue::WorkQueue() : m_shared(std::make_shared<Shared>()) {
    m_thread = std::thread([shared = m_shared] { loop(shared); });
}

WorkQueue::~WorkQueue() {
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->stopping = true;
        m_shared->tasks.clear();
    }
    m_shared->wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

void WorkQueue::post(std::function<void()> task) {
    {
        std::lock_guard lock(m_shared->mutex);
        if (m_shared->stopping) return;
        m_shared->tasks.push_back(std::move(task));
    }
    m_shared->wake.notify_one();
}

bool WorkQueue::stop(std::chrono::milliseconds wait) {
    std::unique_lock lock(m_shared->mutex);
    m_shared->stopping = true;
    m_shared->tasks.clear();
    m_shared->wake.notify_all();
    const bool ended = m_shared->idle.wait_for(lock, wait, [&] { return m_shared->finished; });
    lock.unlock();
    if (!m_thread.joinable()) return ended;
    if (ended) {
        m_thread.join();
        return true;
    }
    m_thread.detach();
    return false;
}

std::size_t WorkQueue::pending() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->tasks.size() + (m_shared->running ? 1 : 0);
}

void WorkQueue::loop(const std::shared_ptr<Shared>& shared) {
    std::unique_lock lock(shared->mutex);
    for (;;) {
        shared->wake.wait(lock, [&] { return shared->stopping || !shared->tasks.empty(); });
        if (shared->tasks.empty()) break;
        auto task = std::move(shared->tasks.front());
        shared->tasks.pop_front();
        shared->running = true;
        lock.unlock();
        task();
        task = nullptr;
        lock.lock();
        shared->running = false;
    }
    shared->finished = true;
    shared->idle.notify_all();
}

} // namespace quillon::app
