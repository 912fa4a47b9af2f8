#pragma once

#include "engine/event_loop.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace brevin {

/// A thread for work that may block or take long (flushes, copies, password hashes), so that
/// the loop keeps serving every session meanwhile. Jobs run one after the other in posting
/// order; each one's `done` then runs on the loop's thread, woken through a pipe the loop
/// watches. The job and its `done` share nothing with the loop but what they capture.
class Worker {
public:
    using Work = std::function<void()>;

    explicit Worker(EventLoop& loop);
    /// Waits for the job under way; jobs not started and `done`s not run are dropped.
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    void Post(Work work, Work done);

private:
    class Bell;

    void Serve();
    void RunFinished();

    std::mutex m_mutex; // guards the three below, and nothing else is shared
    std::condition_variable m_posted;
    std::deque<std::pair<Work, Work>> m_jobs;
    std::deque<Work> m_finished;
    bool m_stopping = false;

    std::unique_ptr<Bell> m_bell; // the loop's end of the pipe
    int m_ring = -1;              // the worker's end
    std::thread m_thread;
};

} // namespace brevin
