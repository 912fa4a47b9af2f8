#pragma once

#include "base/unique_fd.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace brevin {

class AsyncSocket;
class Deferred;
class Timer;

/// One-thread readiness loop: sockets (epoll, level-triggered) and timers (one timerfd) wake
/// the same descriptor, so the loop can run on its own (`Run`) or be stepped from another
/// event loop that watches `fd()` (`ProcessReady`). Both use the same dispatch code. Work
/// posted with a `Deferred` runs after each notification or timer callback.
class EventLoop {
public:
    using Clock = std::chrono::steady_clock;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    /// Readable whenever a socket or timer is ready; for embedding in another loop.
    [[nodiscard]] int fd() const { return m_epoll.Get(); }

    /// Dispatches until `Stop` is called.
    void Run();
    /// Asks `Run` to return after the current batch; safe from a signal handler.
    void Stop();
    /// Waits at most `timeoutMs` (0: not at all) and dispatches one batch of ready events.
    /// Returns the number of notifications and timer callbacks delivered.
    int ProcessReady(int timeoutMs = 0);

    [[nodiscard]] Clock::time_point Now() const { return Clock::now(); }

    /// A large buffer for bytes that are used up before the callback that reads them returns.
    /// Everything on the loop's one thread shares it, so nothing may keep pointing into it.
    std::span<char> Scratch();

private:
    friend class AsyncSocket;
    friend class Deferred;
    friend class Timer;

    // A registry slot: the socket and a generation that changes when the slot is freed, so
    // that an event queued for a destroyed socket never reaches its successor in the slot.
    struct Slot {
        AsyncSocket* socket = nullptr;
        std::uint32_t generation = 0;
    };

    std::uint64_t Register(AsyncSocket* socket);
    void Unregister(std::uint64_t token);
    /// False (with errno) when epoll refuses.
    bool UpdateInterest(int fd, std::uint64_t token, std::uint32_t events, bool added);
    void RemoveInterest(int fd);
    void RunDeferred();

    void Schedule(Timer* timer);
    void Unschedule(Timer* timer);
    void HeapUp(std::size_t index);
    void HeapDown(std::size_t index);
    void HeapSwap(std::size_t a, std::size_t b);
    /// Whether the earliest timer is due now.
    [[nodiscard]] bool TimerDue() const;
    /// Sets the timerfd to the earliest deadline, unless it is set to that already.
    void ArmTimerFd();
    /// Inside a batch the heap changes many times (a reply's timer, a turn's end); the timerfd
    /// follows only once the batch is over, so that a timer started and fired within one batch
    /// costs no system call at all.
    void TimersChanged();
    int RunDueTimers(bool timerFdFired);
    void Dispatch(std::uint64_t token, std::uint32_t events);

    UniqueFd m_epoll;
    UniqueFd m_timerFd;
    UniqueFd m_wakeFd;
    std::atomic<bool> m_stop{false};
    std::vector<Slot> m_slots;
    std::vector<std::uint32_t> m_freeSlots;
    std::vector<Timer*> m_timers;                // binary min-heap on deadline
    std::vector<Timer*>* m_dueTimers = nullptr;  // timers taken off the heap, being fired
    std::optional<Clock::time_point> m_armedFor; // what the timerfd is set to, if anything
    bool m_inBatch = false;                      // inside ProcessReady
    std::vector<Deferred*> m_deferred;           // posted, in order; null once cancelled
    std::vector<char> m_scratch;
};

/// A one-shot timer owned by whoever needs it; destroying it cancels it. Starting it again
/// replaces the pending deadline. The callback may destroy the timer's owner.
class Timer {
public:
    using Callback = std::function<void()>;

    Timer(EventLoop& loop, Callback callback) : m_loop(loop), m_callback(std::move(callback)) {}
    ~Timer() { Cancel(); }
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    void Start(std::chrono::milliseconds delay);
    void StartAt(EventLoop::Clock::time_point deadline);
    void Cancel();
    /// Started and neither fired nor cancelled: true too while it waits to fire in this round.
    [[nodiscard]] bool Pending() const { return m_heapIndex != kIdle || m_due; }
    [[nodiscard]] EventLoop::Clock::time_point Deadline() const { return m_deadline; }

private:
    friend class EventLoop;
    static constexpr std::size_t kIdle = static_cast<std::size_t>(-1);

    EventLoop& m_loop;
    Callback m_callback;
    EventLoop::Clock::time_point m_deadline{};
    std::size_t m_heapIndex = kIdle;
    bool m_due = false; // taken off the heap and about to fire in this round
};

/// Work that must not run inside the call that asks for it (releasing an object whose handler
/// is still on the stack, say): `Post` runs the callback once the notification or timer
/// callback under way has returned, or at the start of the next `ProcessReady` when posted
/// outside one. Posting again before it ran changes nothing; destroying it cancels it.
class Deferred {
public:
    using Callback = std::function<void()>;

    Deferred(EventLoop& loop, Callback callback) : m_loop(loop), m_callback(std::move(callback)) {}
    ~Deferred() { Cancel(); }
    Deferred(const Deferred&) = delete;
    Deferred& operator=(const Deferred&) = delete;

    void Post();
    void Cancel();
    [[nodiscard]] bool Pending() const { return m_pending; }

private:
    friend class EventLoop;

    EventLoop& m_loop;
    Callback m_callback;
    bool m_pending = false;
};

} // namespace brevin
