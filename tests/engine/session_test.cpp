// The session cycle on real loopback sockets, with a small line-echo protocol standing in for
// SMTP and POP3: banners and their pause, one reply per command in order, lines that arrive in
// pieces or too long, replies the socket cannot take at once, the data-phase hand-over, idle
// sessions, and listeners that cannot be created or run out of descriptors.

#include "engine/listeners.h"
#include "engine/mail_session.h"
#include "support/client.h"
#include "support/loop_thread.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/time.h>
#include <thread>
#include <vector>

namespace brevin {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::Client;
using testing::LoopThread;

std::atomic<int> g_liveSessions{0};

/// "echo" for every line; "BIG n" streams n bytes; "DATA" takes raw bytes up to a line ".".
class EchoSession final : public MailSession {
public:
    EchoSession(EventLoop& loop, ServiceKind kind, const SessionOptions& options)
        : MailSession(loop, kind, options) {
        ++g_liveSessions;
    }
    ~EchoSession() override { --g_liveSessions; }

private:
    void InterpretCommand(std::string_view line) override {
        const std::string text(line.substr(0, line.find_first_of("\r\n")));
        if (text.starts_with("BIG ")) {
            m_streamLeft = std::stoul(text.substr(4));
            m_streamed = 0;
            m_streaming = true;
            ReplyLine("+BIG");
        } else if (text == "DATA") {
            m_dataPhase = true;
            m_dataBytes = 0;
            m_tail.clear();
            ReplyLine("354 go on");
        } else {
            ReplyLine("echo " + text);
        }
    }

    void RejectLongLine() override { ReplyLine("500 too long"); }

    std::size_t ReceiveMessageData(std::span<const char> bytes) override {
        static constexpr std::string_view kEnd = "\r\n.\r\n";
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            m_tail.push_back(bytes[i]);
            ++m_dataBytes;
            if (m_tail.size() > kEnd.size()) {
                m_tail.erase(0, 1);
            }
            if (m_tail == kEnd) {
                m_dataPhase = false;
                ReplyLineNow("250 got " + std::to_string(m_dataBytes));
                return i + 1;
            }
        }
        return bytes.size();
    }

    bool NextChunk() override {
        if (m_streamLeft == 0) {
            return false;
        }
        auto buffer = ChunkBuffer();
        const std::size_t length = std::min(m_streamLeft, buffer.size());
        for (std::size_t i = 0; i < length; ++i) {
            buffer[i] = static_cast<char>('a' + (m_streamed + i) % 26);
        }
        m_streamed += length;
        m_streamLeft -= length;
        SetChunk(length);
        return true;
    }

    std::size_t m_streamLeft = 0;
    std::size_t m_streamed = 0;
    std::size_t m_dataBytes = 0;
    std::string m_tail;
};

std::string Pattern(std::size_t count) {
    std::string out(count, '\0');
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = static_cast<char>('a' + i % 26);
    }
    return out;
}

class Sessions : public ::testing::Test {
protected:
    void StartServer(std::chrono::milliseconds pause, std::chrono::seconds idle = 0s) {
        options.pause = pause;
        options.idleTimeout = idle;
        const SessionFactory factory = [this](ServiceKind kind) -> MailSession* {
            return new EchoSession(server.Loop(), kind, options);
        };
        CreateListeners(
            server.Loop(), "127.0.0.1", {0, 0}, factory,
            [this](std::string_view text, std::string_view caption) {
                messages.push_back(std::string(caption) + "|" + std::string(text));
            },
            listeners);
        ASSERT_TRUE(listeners.smtp && listeners.pop3);
        smtpPort = listeners.smtp->LocalPort();
        pop3Port = listeners.pop3->LocalPort();
        server.Start();
    }

    void TearDown() override {
        // The test's clients are closed by now; let their sessions go before the loop stops,
        // or they would outlive it.
        AllSessionsGone();
        server.Stop();
        listeners = {};
    }

    /// Waits (bounded) until the server has no session left.
    static bool AllSessionsGone() {
        for (int i = 0; i < 300 && g_liveSessions.load() != 0; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        return g_liveSessions.load() == 0;
    }

    SessionOptions options;
    LoopThread server;
    Listeners listeners;
    std::vector<std::string> messages;
    std::uint16_t smtpPort = 0;
    std::uint16_t pop3Port = 0;
};

TEST_F(Sessions, BannersAreExactNeverEarlierThanThePauseAndComeBeforeAnyAnswer) {
    StartServer(100ms);
    Client smtp, pop3;
    const auto start = Clock::now();
    ASSERT_TRUE(smtp.Connect(smtpPort));
    ASSERT_TRUE(pop3.Connect(pop3Port));
    smtp.Send("early\r\n"); // sent before the banner: answered after it
    const std::string smtpBanner = smtp.ReadLine();
    const auto smtpAt = Clock::now() - start;
    EXPECT_EQ(smtpBanner, "220 Ok. Brevin Server ready \r\n");
    EXPECT_EQ(smtpBanner.size(), 30U);
    EXPECT_EQ(pop3.ReadLine(), "+OK Brevin SMTP/POP3 server\r\n");
    EXPECT_GE(smtpAt, 100ms);
    EXPECT_LT(smtpAt, 2s);
    EXPECT_EQ(smtp.ReadLine(), "echo early\r\n");
    EXPECT_EQ(pop3.ReadFor(50ms), "") << "nothing follows the banner unasked";
}

TEST_F(Sessions, TheClientsCloseDestroysTheSession) {
    StartServer(0ms);
    {
        Client client;
        ASSERT_TRUE(client.Connect(smtpPort));
        client.ReadLine();
        EXPECT_EQ(g_liveSessions.load(), 1);
    }
    EXPECT_TRUE(AllSessionsGone());
}

TEST_F(Sessions, AClientThatHalfClosesIsAnsweredBeforeTheSessionEnds) {
    StartServer(50ms);
    Client client;
    ASSERT_TRUE(client.Connect(smtpPort));
    client.ReadLine();
    client.Send("one\r\ntwo\r\n");
    client.ShutdownWrite();
    EXPECT_EQ(client.ReadLine(), "echo one\r\n");
    EXPECT_EQ(client.ReadLine(), "echo two\r\n");
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_TRUE(AllSessionsGone());
}

TEST_F(Sessions, PipelinedCommandsGetOneReplyEachInOrderEachAfterThePause) {
    StartServer(60ms);
    Client client;
    ASSERT_TRUE(client.Connect(smtpPort));
    client.ReadLine();
    const auto start = Clock::now();
    client.Send("one\r\ntwo\r\nthree\r\n");
    EXPECT_EQ(client.ReadLine(), "echo one\r\n");
    EXPECT_EQ(client.ReadLine(), "echo two\r\n");
    EXPECT_EQ(client.ReadLine(), "echo three\r\n");
    EXPECT_GE(Clock::now() - start, 180ms);
}

TEST_F(Sessions, ALineArrivingInPiecesIsInterpretedWhenComplete) {
    StartServer(0ms);
    Client client;
    ASSERT_TRUE(client.Connect(smtpPort));
    client.ReadLine();
    client.Send("MA");
    std::this_thread::sleep_for(20ms);
    client.Send("IL FROM:<someone@example.org>");
    EXPECT_EQ(client.ReadFor(50ms), "") << "no reply before the line is complete";
    client.Send("\r\n");
    EXPECT_EQ(client.ReadLine(), "echo MAIL FROM:<someone@example.org>\r\n");

    for (const char c : std::string("byte by byte\r\n")) {
        client.Send(std::string(1, c));
    }
    EXPECT_EQ(client.ReadLine(), "echo byte by byte\r\n");
}

TEST_F(Sessions, AnOverLongLineIsRefusedAndTheSessionGoesOn) {
    StartServer(0ms);
    Client client;
    ASSERT_TRUE(client.Connect(smtpPort));
    client.ReadLine();
    client.Send(std::string(7000, 'x') + "\r\nnext\r\n");
    EXPECT_EQ(client.ReadLine(), "500 too long\r\n");
    EXPECT_EQ(client.ReadLine(), "echo next\r\n");

    const std::string longest(MailSession::kBufferSize - 2 - 5, 'y'); // fills the buffer exactly
    client.Send(longest + "\r\n");
    EXPECT_EQ(client.ReadLine(), "echo " + longest + "\r\n");
}

TEST_F(Sessions, AReplyTheSocketCannotTakeAtOnceArrivesWholeAndInOrder) {
    StartServer(0ms);
    Client client(10000ms);
    ASSERT_TRUE(client.Connect(smtpPort));
    client.ReadLine();
    // Far more than the socket buffers hold, so the server must wait for room repeatedly.
    constexpr std::size_t kSize = 24'000'000;
    client.Send("BIG " + std::to_string(kSize) + "\r\nafter\r\n");
    EXPECT_EQ(client.ReadLine(), "+BIG\r\n");
    std::this_thread::sleep_for(200ms); // let the server fill the socket and wait for room
    const std::string body = client.ReadExactly(kSize);
    ASSERT_EQ(body.size(), kSize);
    EXPECT_TRUE(body == Pattern(kSize)) << "stream bytes lost or reordered";
    EXPECT_EQ(client.ReadLine(), "echo after\r\n");
}

TEST_F(Sessions, TheDataPhaseTakesRawBytesAndHandsTheRestBackAsCommands) {
    StartServer(30ms);
    Client client;
    ASSERT_TRUE(client.Connect(smtpPort));
    client.ReadLine();
    client.Send("DATA\r\nline\r\n.\r\nafter\r\n");
    EXPECT_EQ(client.ReadLine(), "354 go on\r\n");
    EXPECT_EQ(client.ReadLine(), "250 got 9\r\n");
    EXPECT_EQ(client.ReadLine(), "echo after\r\n");
}

TEST_F(Sessions, AnIdleSessionIsClosedButABusyOneIsNot) {
    StartServer(0ms, 1s);
    Client idle, busy;
    ASSERT_TRUE(idle.Connect(smtpPort));
    ASSERT_TRUE(busy.Connect(smtpPort));
    idle.ReadLine();
    busy.ReadLine();
    const auto start = Clock::now();
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(300ms);
        busy.Send("still here\r\n");
        ASSERT_EQ(busy.ReadLine(), "echo still here\r\n");
    }
    EXPECT_TRUE(idle.WaitClosed()) << "closed as if the client had closed it";
    EXPECT_GE(Clock::now() - start, 900ms);
    busy.Close();
    EXPECT_TRUE(AllSessionsGone());
}

TEST_F(Sessions, ManySessionsWaitingForTheirPauseDoNotDelayEachOther) {
    StartServer(200ms);
    constexpr int kClients = 60;
    std::vector<Client> clients(kClients);
    const auto start = Clock::now();
    for (auto& client : clients) {
        ASSERT_TRUE(client.Connect(smtpPort));
    }
    for (auto& client : clients) {
        ASSERT_EQ(client.ReadLine(), "220 Ok. Brevin Server ready \r\n");
    }
    // One pause after another would take 12 s.
    EXPECT_LT(Clock::now() - start, 2s);
}

TEST_F(Sessions, AListenerThatCannotBeCreatedIsReportedAndTheOtherServes) {
    options.pause = 0ms;
    AsyncSocket squatter(server.Loop());
    ASSERT_TRUE(squatter.Create(0, kAccept, "127.0.0.1"));
    ASSERT_TRUE(squatter.Listen(5));
    CreateListeners(
        server.Loop(), "127.0.0.1", {squatter.LocalPort(), 0},
        [this](ServiceKind kind) -> MailSession* {
            return new EchoSession(server.Loop(), kind, options);
        },
        [this](std::string_view text, std::string_view caption) {
            messages.push_back(std::string(caption) + "|" + std::string(text));
        },
        listeners);
    EXPECT_EQ(messages, std::vector<std::string>{"Creation FAILED |SMTP port"});
    EXPECT_EQ(listeners.smtp, nullptr);
    ASSERT_NE(listeners.pop3, nullptr);
    server.Start();
    Client client;
    ASSERT_TRUE(client.Connect(listeners.pop3->LocalPort()));
    EXPECT_EQ(client.ReadLine(), "+OK Brevin SMTP/POP3 server\r\n");
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST_F(Sessions, OutOfDescriptorsTheListenerWaitsInsteadOfSpinning) {
    StartServer(0ms);
    constexpr int kClients = 5;
    std::vector<Client> clients(kClients);
    Client probe;
    ASSERT_TRUE(probe.Connect(smtpPort)); // served before the limit bites
    ASSERT_EQ(probe.ReadLine(), "220 Ok. Brevin Server ready \r\n");

    // With the loop held, the clients wait in the backlog; then the process is left without a
    // spare descriptor, so every accept fails until the limit is lifted.
    rlimit old{};
    getrlimit(RLIMIT_NOFILE, &old);
    server.Call([&] {
        for (auto& client : clients) {
            ASSERT_TRUE(client.Connect(smtpPort));
        }
        // The next descriptor would get the lowest free number: allow none from there on.
        const int lowestFree = dup(0);
        close(lowestFree);
        rlimit tight = old;
        tight.rlim_cur = static_cast<rlim_t>(lowestFree);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    });

    const double cpuBefore = CpuSeconds();
    std::this_thread::sleep_for(600ms);
    const double cpuUsed = CpuSeconds() - cpuBefore;
    EXPECT_LT(cpuUsed, 0.3) << "the loop spins while accept fails";

    probe.Send("still served\r\n");
    EXPECT_EQ(probe.ReadLine(), "echo still served\r\n");

    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    int greeted = 0;
    for (auto& client : clients) {
        if (client.ReadLine() == "220 Ok. Brevin Server ready \r\n") {
            ++greeted;
        }
    }
    EXPECT_EQ(greeted, kClients) << "accepting resumes once descriptors are free";
}

} // namespace
} // namespace brevin
