#include "engine/worker.h"

#include "engine/async_socket.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace brevin {

/// Rings on the loop whenever the worker has finished something.
class Worker::Bell final : public AsyncSocket {
public:
    Bell(EventLoop& loop, Worker& worker) : AsyncSocket(loop), m_worker(worker) {}

    /// Watches the read end of the pipe, which it then owns.
    bool Watch(int readEnd) {
        m_readEnd = readEnd;
        return Attach(UniqueFd(readEnd), Interest::Read);
    }

private:
    void OnReceive() override {
        char drained[64];
        // Each ring is one byte; they only say "look", so all are taken at once.
        while (::read(m_readEnd, drained, sizeof drained) > 0) {
        }
        // A pipe, not a socket, so that it counts as none: the call fails, but asks the loop
        // for the next ring all the same.
        Receive(drained, 0);
        m_worker.RunFinished();
    }

    Worker& m_worker;
    int m_readEnd = -1; // owned by the socket base
};

Worker::Worker(EventLoop& loop) : m_bell(std::make_unique<Bell>(loop, *this)) {
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) == 0) {
        m_bell->Watch(ends[0]);
        m_ring = ends[1];
    }
    m_thread = std::thread([this] { Serve(); });
}

Worker::~Worker() {
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_posted.notify_one();
    m_thread.join();
    if (m_ring >= 0) {
        ::close(m_ring);
    }
}

void Worker::Post(Work work, Work done) {
    {
        const std::lock_guard lock(m_mutex);
        m_jobs.emplace_back(std::move(work), std::move(done));
    }
    m_posted.notify_one();
}

void Worker::Serve() {
    std::unique_lock lock(m_mutex);
    // Ends when the owner stops it.
    for (;;) {
        m_posted.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
        if (m_stopping) {
            return;
        }
        auto [work, done] = std::move(m_jobs.front());
        m_jobs.pop_front();
        lock.unlock();
        work();
        lock.lock();
        m_finished.push_back(std::move(done));
        // A full socket buffer already holds rings enough.
        const char ring = 1;
        [[maybe_unused]] const ssize_t sent = ::write(m_ring, &ring, 1);
    }
}

void Worker::RunFinished() {
    std::deque<Work> finished;
    {
        const std::lock_guard lock(m_mutex);
        finished.swap(m_finished);
    }
    for (Work& done : finished) {
        if (done) {
            done();
        }
    }
}

} // namespace brevin
