#include "engine/event_loop.h"

#include "base/log.h"
#include "engine/async_socket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace brevin {

namespace {

// Tokens of the loop's own descriptors; socket tokens are (slot << 32 | generation).
constexpr std::uint64_t kTimerToken = ~std::uint64_t{0};
constexpr std::uint64_t kWakeToken = ~std::uint64_t{0} - 1;
constexpr int kBatch = 256;

[[noreturn]] void Fail(const char* what) {
    throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

} // namespace

EventLoop::EventLoop()
    : m_epoll(epoll_create1(EPOLL_CLOEXEC)),
      m_timerFd(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)),
      m_wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (!m_epoll || !m_timerFd || !m_wakeFd) {
        Fail("epoll/timerfd/eventfd");
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kTimerToken;
    if (epoll_ctl(m_epoll.Get(), EPOLL_CTL_ADD, m_timerFd.Get(), &ev) != 0) {
        Fail("epoll_ctl (timer)");
    }
    ev.data.u64 = kWakeToken;
    if (epoll_ctl(m_epoll.Get(), EPOLL_CTL_ADD, m_wakeFd.Get(), &ev) != 0) {
        Fail("epoll_ctl (wake)");
    }
}

EventLoop::~EventLoop() {
    for (Timer* timer : m_timers) {
        timer->m_heapIndex = Timer::kIdle;
    }
    for (Deferred* deferred : m_deferred) {
        if (deferred != nullptr) {
            deferred->m_pending = false;
        }
    }
}

std::span<char> EventLoop::Scratch() {
    constexpr std::size_t kScratchSize = 64 * 1024;
    if (m_scratch.empty()) {
        m_scratch.resize(kScratchSize); // only once something needs it
    }
    return m_scratch;
}

void EventLoop::Run() {
    // A Stop that came before Run still counts; once honoured it is cleared for the next Run.
    while (!m_stop) {
        ProcessReady(-1);
    }
    m_stop = false;
}

void EventLoop::Stop() {
    m_stop = true;
    const std::uint64_t one = 1;
    // Async-signal-safe; a full counter already wakes the loop, so the result does not matter.
    [[maybe_unused]] const ssize_t written = write(m_wakeFd.Get(), &one, sizeof one);
}

int EventLoop::ProcessReady(int timeoutMs) {
    m_inBatch = true;
    // Work posted outside any callback (while the loop stood still) must not wait for an event.
    {
        const LogBatch batch;
        RunDeferred();
    }
    // A timer already due needs no timerfd: the batch below fires it after the sockets.
    if (TimerDue()) {
        timeoutMs = 0;
    } else {
        ArmTimerFd();
    }
    epoll_event events[kBatch];
    const int ready = epoll_wait(m_epoll.Get(), events, kBatch, timeoutMs);
    int delivered = 0;
    if (ready >= 0) {         // else EINTR: the caller loops
        const LogBatch batch; // the batch's log lines leave in one write, after it
        bool timerFdFired = false;
        for (int i = 0; i < ready; ++i) {
            const std::uint64_t token = events[i].data.u64;
            if (token == kTimerToken) {
                timerFdFired = true;
            } else if (token == kWakeToken) {
                std::uint64_t count = 0;
                [[maybe_unused]] const ssize_t got = read(m_wakeFd.Get(), &count, sizeof count);
            } else {
                Dispatch(token, events[i].events);
                ++delivered;
            }
        }
        // Timers that came due while the sockets were served (started for "now", say) fire at
        // the end of this batch rather than after another wait.
        if (timerFdFired || TimerDue()) {
            delivered += RunDueTimers(timerFdFired);
        }
    }
    // Whoever steps the loop from outside waits on fd() next: the timerfd must be right.
    ArmTimerFd();
    m_inBatch = false;
    return delivered;
}

void EventLoop::Dispatch(std::uint64_t token, std::uint32_t events) {
    const auto slot = static_cast<std::uint32_t>(token >> 32);
    const auto generation = static_cast<std::uint32_t>(token);
    // A handler earlier in this batch may have closed or destroyed the socket.
    if (slot >= m_slots.size() || m_slots[slot].generation != generation ||
        m_slots[slot].socket == nullptr) {
        return;
    }
    m_slots[slot].socket->HandleEvents(events, token);
    RunDeferred();
}

std::uint64_t EventLoop::Register(AsyncSocket* socket) {
    std::uint32_t slot = 0;
    if (!m_freeSlots.empty()) {
        slot = m_freeSlots.back();
        m_freeSlots.pop_back();
    } else {
        slot = static_cast<std::uint32_t>(m_slots.size());
        m_slots.emplace_back();
    }
    m_slots[slot].socket = socket;
    return (std::uint64_t{slot} << 32) | m_slots[slot].generation;
}

void EventLoop::Unregister(std::uint64_t token) {
    const auto slot = static_cast<std::uint32_t>(token >> 32);
    m_slots[slot].socket = nullptr;
    ++m_slots[slot].generation;
    m_freeSlots.push_back(slot);
}

bool EventLoop::UpdateInterest(int fd, std::uint64_t token, std::uint32_t events, bool added) {
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = token;
    return epoll_ctl(m_epoll.Get(), added ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) == 0;
}

void EventLoop::RemoveInterest(int fd) {
    // Failing here only means the descriptor was not watched; closing it ends that anyway.
    epoll_ctl(m_epoll.Get(), EPOLL_CTL_DEL, fd, nullptr);
}

// ---- deferred work ----

void Deferred::Post() {
    if (!m_pending) {
        m_pending = true;
        m_loop.m_deferred.push_back(this);
    }
}

void Deferred::Cancel() {
    if (m_pending) {
        m_pending = false;
        std::replace(m_loop.m_deferred.begin(), m_loop.m_deferred.end(), this,
                     static_cast<Deferred*>(nullptr));
    }
}

void EventLoop::RunDeferred() {
    // By index: a callback may post more (run in this round) or cancel others (left null).
    for (std::size_t i = 0; i < m_deferred.size(); ++i) {
        Deferred* deferred = std::exchange(m_deferred[i], nullptr);
        if (deferred != nullptr) {
            deferred->m_pending = false;
            deferred->m_callback(); // may destroy the Deferred: not touched afterwards
        }
    }
    m_deferred.clear();
}

// ---- timers ----

void Timer::Start(std::chrono::milliseconds delay) {
    StartAt(m_loop.Now() + delay);
}

void Timer::StartAt(EventLoop::Clock::time_point deadline) {
    Cancel();
    m_deadline = deadline;
    m_loop.Schedule(this);
}

void Timer::Cancel() {
    if (m_heapIndex != kIdle) {
        m_loop.Unschedule(this);
    }
    if (m_due && m_loop.m_dueTimers != nullptr) {
        // Fired in this round already queued: forget it, it may be about to be destroyed.
        for (Timer*& due : *m_loop.m_dueTimers) {
            if (due == this) {
                due = nullptr;
            }
        }
    }
    m_due = false;
}

void EventLoop::Schedule(Timer* timer) {
    timer->m_heapIndex = m_timers.size();
    m_timers.push_back(timer);
    HeapUp(timer->m_heapIndex);
    if (m_timers.front() == timer) {
        TimersChanged();
    }
}

void EventLoop::Unschedule(Timer* timer) {
    const std::size_t index = timer->m_heapIndex;
    const bool wasFirst = index == 0;
    HeapSwap(index, m_timers.size() - 1);
    m_timers.pop_back();
    timer->m_heapIndex = Timer::kIdle;
    if (index < m_timers.size()) {
        HeapDown(index);
        HeapUp(index);
    }
    if (wasFirst) {
        TimersChanged();
    }
}

void EventLoop::HeapSwap(std::size_t a, std::size_t b) {
    std::swap(m_timers[a], m_timers[b]);
    m_timers[a]->m_heapIndex = a;
    m_timers[b]->m_heapIndex = b;
}

void EventLoop::HeapUp(std::size_t index) {
    while (index > 0) {
        const std::size_t parent = (index - 1) / 2;
        if (m_timers[parent]->m_deadline <= m_timers[index]->m_deadline) {
            break;
        }
        HeapSwap(parent, index);
        index = parent;
    }
}

void EventLoop::HeapDown(std::size_t index) {
    for (;;) {
        std::size_t smallest = index;
        for (std::size_t child = 2 * index + 1; child <= 2 * index + 2; ++child) {
            if (child < m_timers.size() &&
                m_timers[child]->m_deadline < m_timers[smallest]->m_deadline) {
                smallest = child;
            }
        }
        if (smallest == index) {
            return;
        }
        HeapSwap(index, smallest);
        index = smallest;
    }
}

bool EventLoop::TimerDue() const {
    return !m_timers.empty() && m_timers.front()->m_deadline <= Now();
}

void EventLoop::TimersChanged() {
    if (!m_inBatch) {
        ArmTimerFd(); // started from outside the loop: nothing else would set the timerfd
    }
}

void EventLoop::ArmTimerFd() {
    const std::optional<Clock::time_point> wanted =
        m_timers.empty() ? std::nullopt : std::optional(m_timers.front()->m_deadline);
    if (wanted == m_armedFor) {
        return;
    }
    itimerspec expiry{};
    if (wanted) {
        const auto wait = *wanted - Now();
        const auto ns = std::max<std::int64_t>(
            1, std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count());
        expiry.it_value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
        expiry.it_value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    }
    timerfd_settime(m_timerFd.Get(), 0, &expiry, nullptr);
    m_armedFor = wanted;
}

int EventLoop::RunDueTimers(bool timerFdFired) {
    if (timerFdFired) {
        std::uint64_t expirations = 0;
        if (read(m_timerFd.Get(), &expirations, sizeof expirations) == sizeof expirations) {
            m_armedFor.reset(); // it has gone off, so it is set to nothing now
        }
    }
    int fired = 0;
    const auto now = Now();
    // Only timers due now: one started by a callback for "now" waits for the next round, so a
    // zero delay cannot starve the sockets.
    std::vector<Timer*> due;
    while (!m_timers.empty() && m_timers.front()->m_deadline <= now) {
        Timer* timer = m_timers.front();
        Unschedule(timer);
        timer->m_due = true;
        due.push_back(timer);
    }
    // A callback may cancel, restart or destroy a timer still waiting in `due`; Cancel then
    // clears its entry, so no destroyed timer is fired.
    m_dueTimers = &due;
    for (Timer*& entry : due) {
        Timer* timer = entry;
        if (timer == nullptr) {
            continue;
        }
        entry = nullptr;
        timer->m_due = false;
        timer->m_callback(); // may destroy the timer: not touched afterwards
        ++fired;
        RunDeferred();
    }
    m_dueTimers = nullptr;
    return fired;
}

} // namespace brevin
