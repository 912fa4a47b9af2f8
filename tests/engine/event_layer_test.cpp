// The event layer's contract, on real loopback sockets: one-shot notifications, prompt
// notification for conditions that already hold, close after pending bytes, nothing delivered
// to a socket destroyed earlier in the same batch, and timers.

#include "engine/async_socket.h"
#include "engine/event_loop.h"
#include "support/client.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <string>
#include <thread>
#include <vector>

namespace brevin {
namespace {

using namespace std::chrono_literals;
using testing::Client;

/// Records every notification; optional hooks run inside the handlers.
class Recorder : public AsyncSocket {
public:
    using AsyncSocket::AsyncSocket;

    std::vector<std::string> log;
    std::function<void()> onReceive, onSend, onAccept, onClose;

private:
    void OnReceive() override { Note("read", onReceive); }
    void OnSend() override { Note("write", onSend); }
    void OnAccept() override { Note("accept", onAccept); }
    void OnClose(CloseKind /*kind*/) override { Note("close", onClose); }
    void Note(const char* what, const std::function<void()>& hook) {
        log.emplace_back(what);
        if (hook) {
            const auto run = hook; // the hook may destroy this socket, and with it `hook`
            run();
        }
    }
};

/// Runs the loop until `done` holds, for two seconds at most.
bool PumpUntil(EventLoop& loop, const std::function<bool()>& done) {
    return testing::StepUntil(
        [&](std::chrono::milliseconds most) { loop.ProcessReady(static_cast<int>(most.count())); },
        done, 2000ms);
}

/// Runs the loop for a while.
void PumpFor(EventLoop& loop, std::chrono::milliseconds span) {
    const auto deadline = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < deadline) {
        loop.ProcessReady(5);
    }
}

class EventLayer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(listener.Create(0, Interest::Accept, "127.0.0.1"));
        ASSERT_TRUE(listener.Listen(16));
        port = listener.LocalPort();
    }

    /// Connects a client and accepts it into a new recorder with `mask`; `fd` gets the
    /// accepted descriptor.
    std::unique_ptr<Recorder> Connected(Client& client, Interest mask, int* fd = nullptr) {
        EXPECT_TRUE(client.Connect(port));
        auto peer = std::make_unique<Recorder>(loop);
        bool accepted = false;
        listener.onAccept = [&] {
            UniqueFd connection = listener.Accept();
            if (fd != nullptr) {
                *fd = connection.Get();
            }
            accepted = peer->Attach(std::move(connection), mask);
        };
        EXPECT_TRUE(PumpUntil(loop, [&] { return accepted; }));
        listener.onAccept = nullptr;
        return peer;
    }

    EventLoop loop;
    Recorder listener{loop};
    std::uint16_t port = 0;
};

// A taken port is the session tests' business, through the listeners.
TEST_F(EventLayer, CreateFailsCleanlyOnABadAddressOrATakenPort) {
    Recorder byName(loop);
    EXPECT_FALSE(byName.Create(0, Interest::Accept, "localhost")) << "only dotted decimal";
    EXPECT_EQ(byName.LastError(), EINVAL);
    EXPECT_FALSE(byName.IsOpen());
}

TEST_F(EventLayer, AcceptNotificationComesAgainOnlyAfterAccept) {
    Client first, second;
    ASSERT_TRUE(first.Connect(port));
    ASSERT_TRUE(second.Connect(port));
    ASSERT_TRUE(PumpUntil(loop, [&] { return !listener.log.empty(); }));
    PumpFor(loop, 50ms);
    EXPECT_EQ(listener.log.size(), 1U) << "two pending connections, but no Accept yet";

    Recorder accepted(loop);
    ASSERT_TRUE(accepted.Attach(listener.Accept(), Interest::Read));
    ASSERT_TRUE(PumpUntil(loop, [&] { return listener.log.size() == 2; }));
    EXPECT_TRUE(accepted.IsOpen());
}

TEST_F(EventLayer, ReadNotificationComesAgainOnlyAfterReceiveAndWhileBytesArePending) {
    Client client;
    auto peer = Connected(client, Interest::Read | Interest::Close);
    client.Send("one");
    ASSERT_TRUE(PumpUntil(loop, [&] { return peer->log.size() == 1; }));
    client.Send("two");
    PumpFor(loop, 50ms);
    EXPECT_EQ(peer->log.size(), 1U) << "no Receive was made after the first notification";

    char buffer[16];
    EXPECT_EQ(peer->Receive(buffer, 3), 3);
    ASSERT_TRUE(PumpUntil(loop, [&] { return peer->log.size() == 2; }))
        << "bytes are still pending after a Receive";
    EXPECT_EQ(peer->Receive(buffer, sizeof buffer), 3);
    PumpFor(loop, 50ms);
    EXPECT_EQ(peer->log.size(), 2U) << "nothing pending, so no read notification";
}

TEST_F(EventLayer, WriteInterestOnAWritableSocketNotifiesOncePerSelect) {
    Client client;
    auto peer = Connected(client, Interest::Write | Interest::Close);
    ASSERT_TRUE(PumpUntil(loop, [&] { return !peer->log.empty(); }));
    PumpFor(loop, 50ms);
    EXPECT_EQ(peer->log, std::vector<std::string>{"write"});

    peer->AsyncSelect(Interest::Write | Interest::Close);
    ASSERT_TRUE(PumpUntil(loop, [&] { return peer->log.size() == 2; }));
    EXPECT_EQ(peer->log.back(), "write");
}

TEST_F(EventLayer, PendingBytesAreDeliveredBeforeTheClose) {
    Client client;
    auto peer = Connected(client, Interest::Read | Interest::Close);
    std::string got;
    peer->onReceive = [&] {
        char buffer[64];
        const ssize_t n = peer->Receive(buffer, sizeof buffer);
        if (n > 0) {
            got.append(buffer, static_cast<std::size_t>(n));
        }
    };
    client.Send("last words");
    client.Close();
    ASSERT_TRUE(PumpUntil(loop, [&] { return !peer->log.empty() && peer->log.back() == "close"; }));
    EXPECT_EQ(got, "last words");
    PumpFor(loop, 50ms);
    EXPECT_EQ(peer->log.back(), "close");
    EXPECT_EQ(std::count(peer->log.begin(), peer->log.end(), "close"), 1);
}

// The close comes though the bytes before it were never taken, and its handler may destroy
// the socket.
TEST_F(EventLayer, CloseIsDeliveredEvenWhileTheOwnerTakesNoMoreBytes) {
    Client client;
    Recorder* peer = Connected(client, Interest::Read | Interest::Close).release();
    client.Send("ignored");
    ASSERT_TRUE(PumpUntil(loop, [&] { return peer->log.size() == 1; }));
    bool closed = false;
    peer->onClose = [&] {
        closed = true;
        delete peer;
    };
    client.Close();
    ASSERT_TRUE(PumpUntil(loop, [&] { return closed; }));
    PumpFor(loop, 30ms);
}

TEST_F(EventLayer, NothingReachesASocketDestroyedEarlierInTheSameBatch) {
    Client clientA, clientB;
    pollfd both[] = {{-1, POLLIN, 0}, {-1, POLLIN, 0}};
    auto a = Connected(clientA, Interest::Read | Interest::Close, &both[0].fd);
    auto b = Connected(clientB, Interest::Read | Interest::Close, &both[1].fd);
    // Both become readable before the loop looks, so both events land in one batch; whichever
    // runs first destroys the other.
    bool destroyed = false;
    a->onReceive = [&] {
        b.reset();
        destroyed = true;
    };
    b->onReceive = [&] {
        a.reset();
        destroyed = true;
    };
    clientA.Send("x");
    clientB.Send("y");
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (::poll(both, 2, 10) < 2 && std::chrono::steady_clock::now() < deadline) {
    }
    loop.ProcessReady(100);
    EXPECT_TRUE(destroyed);
    EXPECT_TRUE((a == nullptr) != (b == nullptr)) << "exactly one handler ran";
}

TEST(Timers, FireOnceInDeadlineOrderNeverEarlyAndNotAfterCancel) {
    EventLoop loop;
    const auto start = std::chrono::steady_clock::now();
    std::vector<int> fired;
    std::chrono::steady_clock::time_point lateAt{};
    Timer late(loop, [&] {
        fired.push_back(3);
        lateAt = std::chrono::steady_clock::now();
    });
    Timer early(loop, [&] { fired.push_back(1); });
    Timer middle(loop, [&] { fired.push_back(2); });
    Timer cancelled(loop, [&] { fired.push_back(-1); });
    auto destroyed = std::make_unique<Timer>(loop, [&] { fired.push_back(-2); });
    late.Start(10ms);
    late.Start(80ms); // a restart replaces the deadline
    early.Start(10ms);
    middle.Start(30ms);
    cancelled.Start(10ms);
    destroyed->Start(10ms);
    cancelled.Cancel();
    destroyed.reset();
    PumpUntil(loop, [&] { return fired.size() >= 3; });
    PumpFor(loop, 50ms);
    EXPECT_EQ(fired, (std::vector<int>{1, 2, 3}));
    EXPECT_GE(lateAt - start, 80ms);
}

TEST(Timers, ACallbackMayDestroyAnotherDueTimerOrItself) {
    EventLoop loop;
    int fired = 0;
    bool secondPending = false;
    std::unique_ptr<Timer> second;
    std::unique_ptr<Timer> first;
    first = std::make_unique<Timer>(loop, [&] {
        ++fired;
        secondPending = second->Pending(); // its owner may still count on it firing
        second.reset();                    // due in the same round
        first.reset();                     // itself
    });
    second = std::make_unique<Timer>(loop, [&] { ++fired; });
    const auto at = std::chrono::steady_clock::now() - 10ms; // both due when the loop looks
    first->StartAt(at);
    second->StartAt(at + 1ms);
    PumpFor(loop, 40ms);
    EXPECT_EQ(fired, 1);
    EXPECT_TRUE(secondPending);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(second, nullptr);
}

// A loop embedded in another (the desktop's) is only stepped when fd() is readable, so every
// deadline, whether set from outside or inside a batch, must make it readable in time.
TEST(Timers, WakeALoopSteppedFromOutsideThroughItsDescriptor) {
    EventLoop loop;
    int fired = 0;
    Timer inner(loop, [&] { ++fired; });
    Timer outer(loop, [&] {
        ++fired;
        inner.Start(20ms); // started inside a batch
    });
    outer.Start(20ms); // started while the loop stands still
    const auto waitForDescriptor = [&] {
        pollfd watched{loop.fd(), POLLIN, 0};
        return ::poll(&watched, 1, 2000) == 1;
    };
    for (int expected = 1; expected <= 2; ++expected) {
        ASSERT_TRUE(waitForDescriptor()) << "no wake for timer " << expected;
        while (fired < expected && waitForDescriptor()) {
            loop.ProcessReady(0);
        }
        EXPECT_EQ(fired, expected);
    }
}

TEST_F(EventLayer, DeferredWorkRunsOnceAfterTheHandlerThatPostedItAndNotOnceCancelled) {
    Client client;
    auto peer = Connected(client, Interest::Read | Interest::Close);
    std::vector<std::string> order;
    Deferred later(loop, [&] { order.emplace_back("deferred"); });
    Deferred cancelled(loop, [&] { order.emplace_back("cancelled"); });
    peer->onReceive = [&] {
        later.Post();
        later.Post(); // once is enough
        cancelled.Post();
        cancelled.Cancel();
        order.emplace_back("handler");
        char buffer[16];
        peer->Receive(buffer, sizeof buffer);
    };
    client.Send("x");
    ASSERT_TRUE(PumpUntil(loop, [&] { return order.size() >= 2; }));
    PumpFor(loop, 30ms);
    EXPECT_EQ(order, (std::vector<std::string>{"handler", "deferred"}));

    // Posted outside any callback, it runs before the loop waits for anything.
    later.Post();
    loop.ProcessReady(0);
    EXPECT_EQ(order.back(), "deferred");
    EXPECT_EQ(order.size(), 3U);
}

// From another thread (as from a signal handler), Stop wakes a Run that waits for nothing.
TEST(Loop, StopEndsRunEvenWhenItComesFirst) {
    EventLoop loop;
    loop.Stop(); // before Run: still honoured, then forgotten
    loop.Run();
    std::promise<void> running;
    Timer started(loop, [&] { running.set_value(); });
    started.Start(0ms);
    std::thread stopper([&, ran = running.get_future()] {
        ran.wait_for(5s);
        loop.Stop();
    });
    loop.Run();
    stopper.join();
    EXPECT_FALSE(started.Pending()) << "the second Run returned before running anything";
}

} // namespace
} // namespace brevin
