#pragma once

#include "engine/event_loop.h"

#include <thread>

namespace brevin::testing {

/// Runs an event loop on a thread of its own, so that a test can talk to the server through
/// blocking client sockets. Anything that touches the loop's objects goes through `Call`,
/// which pauses the loop thread while it runs.
class LoopThread {
public:
    LoopThread() = default;
    ~LoopThread() { Stop(); }
    LoopThread(const LoopThread&) = delete;
    LoopThread& operator=(const LoopThread&) = delete;

    EventLoop& Loop() { return m_loop; }

    void Start() {
        m_thread = std::thread([this] { m_loop.Run(); });
    }

    void Stop() {
        if (m_thread.joinable()) {
            m_loop.Stop();
            m_thread.join();
        }
    }

    template <typename Fn>
    auto Call(Fn fn) -> decltype(fn()) {
        const bool running = m_thread.joinable();
        Stop();
        struct Restart {
            LoopThread& self;
            bool running;
            ~Restart() {
                if (running) {
                    self.Start();
                }
            }
        } restart{*this, running};
        return fn();
    }

private:
    EventLoop m_loop;
    std::thread m_thread;
};

} // namespace brevin::testing
