// The session cycle on real loopback sockets, with a small line-echo protocol standing in for
// SMTP and POP3: banners and their pause, one reply per command in order, lines that arrive in
// pieces or too long, replies the socket cannot take at once, the data-phase hand-over, idle
// sessions, sessions owned and released by the registry, and a listener that cannot be created.
// Then the same cycle under TLS: STARTTLS, implicit-TLS listeners, handshakes that stall or
// break, and the data phase and bulk sends over encrypted sessions.

#include "base/log.h"
#include "engine/listeners.h"
#include "engine/mail_session.h"
#include "engine/session_registry.h"
#include "engine/tls.h"
#include "shell/self_signed.h"
#include "support/client.h"
#include "support/files.h"
#include "support/tls_client.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace brevin {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::Client;

std::atomic<int> g_liveSessions{0};

constexpr std::string_view kSmtpBanner = "220 echo";
constexpr std::string_view kPop3Banner = "+OK echo";

// Two services of the one toy protocol, told apart by their banners.
const ServiceTraits kEchoSmtp{"smtp", "421 busy address\r\n", "421 busy server\r\n"};
const ServiceTraits kEchoPop3{"pop3", "-ERR busy address\r\n", "-ERR busy server\r\n"};

/// What a stream sends from `offset` on, into `out`: the alphabet over and over. Its length.
std::size_t FillPattern(std::span<char> out, std::size_t offset) {
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<char>('a' + (offset + i) % 26);
    }
    return out.size();
}

/// "echo" for every line; "BIG n" streams n bytes; "BULK n" streams them through `SendNow`;
/// "DATA" takes raw bytes up to a line "."; "END" ends the session without a reply;
/// "STARTTLS" upgrades; "STATE" tells whether the session is encrypted and was reset. Shaped
/// like a tagged protocol: a line ending in "{n}" or "{n+}" takes a literal and goes on with
/// the next line; "MULTI" answers three lines; "LATER" answers, then pushes a line unasked.
/// "tag LOGIN user password" is masked in the log after its user, as a tagged protocol's is.
class EchoSession final : public MailSession {
public:
    EchoSession(EventLoop& loop, const ServiceTraits& service, const SessionOptions& options)
        : MailSession(loop, service, options) {
        ++g_liveSessions;
    }
    ~EchoSession() override { --g_liveSessions; }

private:
    [[nodiscard]] std::string_view Banner() const override {
        return &Service() == &kEchoSmtp ? kSmtpBanner : kPop3Banner;
    }
    [[nodiscard]] std::string CommandName(std::string_view line) const override {
        return LeadingWord(line, 4);
    }
    [[nodiscard]] std::string LineForLog(std::string_view line) const override {
        const std::size_t login = line.find(" LOGIN ");
        const std::size_t user =
            login == std::string_view::npos ? login : line.find(' ', login + 7);
        return user == std::string_view::npos ? std::string(line)
                                              : std::string(line.substr(0, user)) + " ***";
    }

    void ReceiveLiteral(std::span<const char> bytes, bool complete) override {
        m_literal.append(bytes.data(), bytes.size());
        m_literalComplete = complete;
    }

    void InterpretCommand(std::string_view line) override {
        const std::string text(line.substr(0, line.find_first_of("\r\n")));
        if (text.ends_with("}") && text.find('{') != std::string::npos) {
            const std::string size = text.substr(text.rfind('{') + 1);
            m_command += text.substr(0, text.rfind('{'));
            const bool plus = size.ends_with("+}");
            ExpectLiteral(std::stoull(size), plus ? "" : "+ go ahead");
            return;
        }
        if (!m_command.empty()) {
            std::string literal = std::exchange(m_literal, {});
            std::replace(literal.begin(), literal.end(), '\r', '.');
            std::replace(literal.begin(), literal.end(), '\n', '.');
            ReplyLine(std::exchange(m_command, {}) + "[" + literal + "]" + text +
                      (m_literalComplete ? " complete" : ""));
            return;
        }
        if (text == "MULTI") {
            AddLine("* one");
            AddLine("* two");
            ReplyLine("OK three");
        } else if (text == "LATER") {
            ReplyLine("OK wait");
            m_later.Start(std::chrono::milliseconds(50));
        } else if (text.starts_with("BIG ") || text.starts_with("BULK ")) {
            m_bulk = text.starts_with("BULK ");
            m_streamLeft = std::stoul(text.substr(text.find(' ') + 1));
            m_streamed = 0;
            StartStream();
            ReplyLine("+BIG");
        } else if (text == "END") {
            EndSession();
        } else if (text == "STARTTLS") {
            if (CanStartTls()) {
                StartTls("220 go ahead");
            } else {
                ReplyLine("454 not now");
            }
        } else if (text == "STATE") {
            ReplyLine(std::string(IsEncrypted() ? "encrypted" : "plain") +
                      " resets=" + std::to_string(m_resets));
        } else if (text == "DATA") {
            EnterDataPhase();
            m_dataBytes = 0;
            m_tail.clear();
            ReplyLine("354 go on");
        } else {
            ReplyLine("echo " + text);
        }
    }

    void RejectLongLine() override { ReplyLine("500 too long"); }

    void OnEncrypted() override { ++m_resets; }

    DataResult ReceiveMessageData(std::span<const char> bytes) override {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            m_tail = m_tail.substr(m_tail.size() < 5 ? 0 : 1) + bytes[i]; // the last five bytes
            ++m_dataBytes;
            if (m_tail == "\r\n.\r\n") {
                ReplyLineNow("250 got " + std::to_string(m_dataBytes));
                return {i + 1, true};
            }
        }
        return {bytes.size(), false};
    }

    bool NextChunk() override {
        while (m_bulk && m_streamLeft > 0) {
            thread_local char bulk[64 * 1024];
            const std::size_t length =
                FillPattern({bulk, std::min(m_streamLeft, sizeof bulk)}, m_streamed);
            const std::size_t sent = SendNow({bulk, length});
            m_streamed += sent;
            m_streamLeft -= sent;
            if (sent < length) {
                break; // full: a piece through the reply buffer waits for room instead
            }
        }
        if (m_streamLeft == 0) {
            return false;
        }
        const auto buffer = ChunkBuffer();
        const std::size_t length =
            FillPattern(buffer.first(std::min(m_streamLeft, buffer.size())), m_streamed);
        m_streamed += length;
        m_streamLeft -= length;
        SetChunk(length);
        return true;
    }

    Timer m_later{Loop(), [this] { Push("* pushed"); }};
    std::string m_command; // of a command that a literal interrupted
    std::string m_literal;
    bool m_literalComplete = false;
    std::size_t m_streamLeft = 0;
    std::size_t m_streamed = 0;
    std::size_t m_dataBytes = 0;
    std::string m_tail;
    bool m_bulk = false;
    int m_resets = 0;
};

std::string Pattern(std::size_t count) {
    std::string out(count, '\0');
    FillPattern(out, 0);
    return out;
}

class Sessions : public ::testing::Test {
protected:
    void StartServer(std::chrono::milliseconds pause, std::chrono::seconds idle = 0s,
                     std::uint16_t firstPort = 0) {
        options.pause = pause;
        options.idleTimeout = idle;
        const auto tls = options.tls != nullptr ? std::optional<std::uint16_t>(0) : std::nullopt;
        const Service services[] = {{&kEchoSmtp, Factory(kEchoSmtp), firstPort, tls},
                                    {&kEchoPop3, Factory(kEchoPop3), 0, std::nullopt}};
        listeners = CreateListeners(loop, {{"127.0.0.1"}}, services, sessions);
        for (auto [port, name, implicitTls] :
             {std::tuple(&smtpPort, "smtp", false), std::tuple(&pop3Port, "pop3", false),
              std::tuple(&tlsPort, "smtp", true)}) {
            const Listener* listener = listeners.Find(name, implicitTls);
            *port = listener != nullptr ? listener->LocalPort() : 0;
        }
    }

    SessionFactory Factory(const ServiceTraits& service) {
        return [this, &service]() -> std::unique_ptr<MailSession> {
            return std::make_unique<EchoSession>(loop, service, options);
        };
    }

    void TearDown() override {
        // Sessions still open are closed with the server, not abandoned.
        listeners = {};
        sessions.CloseAll();
        EXPECT_EQ(g_liveSessions.load(), 0);
    }

    /// A client on `port` that runs the server's loop wherever it waits, its banner read unless
    /// `readBanner` is false.
    Client Connected(std::uint16_t port, bool readBanner = true,
                     std::chrono::milliseconds timeout = 5000ms) {
        Client client(-1, step, timeout);
        EXPECT_TRUE(client.Connect(port));
        if (readBanner) {
            client.ReadLine();
        }
        return client;
    }

    /// Runs the loop (bounded) until the server has `count` sessions left.
    bool OpenSessionsReach(std::size_t count) {
        return testing::StepUntil(step, [&] {
            return sessions.Count() == count && static_cast<std::size_t>(g_liveSessions) == count;
        });
    }

    EventLoop loop;
    testing::LoopStep step = [this](std::chrono::milliseconds most) {
        loop.ProcessReady(static_cast<int>(most.count()));
    };
    SessionOptions options;
    SessionRegistry sessions{loop};
    Listeners listeners;
    std::uint16_t smtpPort = 0;
    std::uint16_t pop3Port = 0;
    std::uint16_t tlsPort = 0;
};

// Many sessions waiting for their pause do not delay each other: one pause after another would
// take 12 s.
TEST_F(Sessions, BannersAreExactNeverEarlierThanThePauseAndComeBeforeAnyAnswer) {
    StartServer(200ms);
    const auto start = Clock::now();
    Client pop3 = Connected(pop3Port, false);
    std::vector<Client> clients;
    for (int i = 0; i < 60; ++i) {
        clients.push_back(Connected(smtpPort, false));
    }
    clients[0].Send("early\r\n"); // sent before the banner: answered after it
    for (auto& client : clients) {
        ASSERT_EQ(client.ReadLine(), "220 echo\r\n");
        EXPECT_GE(Clock::now() - start, 200ms);
    }
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_EQ(pop3.ReadLine(), "+OK echo\r\n");
    EXPECT_EQ(clients[0].ReadLine(), "echo early\r\n");
    EXPECT_EQ(pop3.ReadFor(50ms), "") << "nothing follows the banner unasked";
}

TEST_F(Sessions, TheRegistryCountsSessionsAndReleasesThoseThatEndAndClosesTheRestAtShutdown) {
    StartServer(0ms);
    Client closing = Connected(smtpPort);
    Client ending = Connected(smtpPort);
    Client staying = Connected(smtpPort);
    EXPECT_TRUE(OpenSessionsReach(3));
    closing.Close();
    EXPECT_TRUE(OpenSessionsReach(2)) << "the client's close releases its session";
    ending.Send("END\r\nnever\r\n");
    EXPECT_TRUE(ending.WaitClosed());
    EXPECT_TRUE(OpenSessionsReach(1)) << "EndSession closes at once and releases it";

    // A descriptor the loop cannot watch is refused, and its session goes at once.
    const int file = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(file, 0);
    EXPECT_FALSE(
        sessions.Start(std::make_unique<EchoSession>(loop, kEchoSmtp, options), UniqueFd(file)));
    EXPECT_TRUE(OpenSessionsReach(1));

    sessions.CloseAll(); // as at shutdown; the teardown counts what is left
    EXPECT_TRUE(staying.WaitClosed());
}

// The data phase takes raw bytes and hands what follows their end back as commands; a client
// that half-closes is answered before the session ends.
TEST_F(Sessions, PipelinedCommandsGetOneReplyEachInOrderEachAfterThePause) {
    StartServer(60ms);
    Client client = Connected(smtpPort);
    const auto start = Clock::now();
    client.Send("one\r\ntwo\r\nDATA\r\nline\r\n.\r\nthree\r\n");
    client.ShutdownWrite();
    EXPECT_EQ(client.ReadLine(), "echo one\r\n");
    EXPECT_EQ(client.ReadLine(), "echo two\r\n");
    EXPECT_EQ(client.ReadLine(), "354 go on\r\n");
    EXPECT_EQ(client.ReadLine(), "250 got 9\r\n");
    EXPECT_EQ(client.ReadLine(), "echo three\r\n");
    EXPECT_GE(Clock::now() - start, 240ms);
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_TRUE(OpenSessionsReach(0));
}

TEST_F(Sessions, ALineArrivingInPiecesIsInterpretedWhenComplete) {
    StartServer(0ms);
    Client client = Connected(smtpPort);
    client.Send("MA");
    EXPECT_EQ(client.ReadFor(20ms), "") << "the loop ran and read the first piece alone";
    client.Send("IL FROM:<someone@example.org>");
    EXPECT_EQ(client.ReadFor(50ms), "") << "no reply before the line is complete";
    client.Send("\r\n");
    EXPECT_EQ(client.ReadLine(), "echo MAIL FROM:<someone@example.org>\r\n");

    for (const char c : std::string("byte by byte\r\n")) {
        client.Send(std::string(1, c));
        step(0ms);
    }
    EXPECT_EQ(client.ReadLine(), "echo byte by byte\r\n");

    // An over-long line is refused and the session goes on.
    client.Send(std::string(7000, 'x') + "\r\nnext\r\n");
    EXPECT_EQ(client.ReadLine(), "500 too long\r\n");
    EXPECT_EQ(client.ReadLine(), "echo next\r\n");
    const std::string longest(MailSession::kBufferSize - 2 - 5, 'y'); // fills the buffer exactly
    client.Send(longest + "\r\n");
    EXPECT_EQ(client.ReadLine(), "echo " + longest + "\r\n");
}

// Far more than the socket buffers hold: each time the client runs the loop, the server fills
// the socket and waits for room again. The client has half-closed long before the end.
TEST_F(Sessions, AReplyTheSocketCannotTakeAtOnceArrivesWholeAndInOrder) {
    StartServer(0ms);
    Client client = Connected(smtpPort, true, 10000ms);
    constexpr std::size_t kSize = 24'000'000;
    client.Send("BIG " + std::to_string(kSize) + "\r\nafter\r\n");
    client.ShutdownWrite();
    EXPECT_EQ(client.ReadLine(), "+BIG\r\n");
    const std::string body = client.ReadExactly(kSize);
    ASSERT_EQ(body.size(), kSize);
    EXPECT_TRUE(body == Pattern(kSize)) << "stream bytes lost or reordered";
    EXPECT_EQ(client.ReadLine(), "echo after\r\n");
    EXPECT_TRUE(client.WaitClosed());
}

TEST_F(Sessions, LiteralsMultiLineRepliesAndPushedLinesKeepTheirOrder) {
    StartServer(0ms);
    Client client = Connected(smtpPort);
    // A synchronising literal is invited; its bytes, CR LF included, are not a command.
    client.Send("a1 SAY {8}\r\n");
    EXPECT_EQ(client.ReadLine(), "+ go ahead\r\n");
    client.Send("x\r\nEND\r\n tail\r\n");
    EXPECT_EQ(client.ReadLine(), "a1 SAY [x..END..] tail complete\r\n");
    // A non-synchronising one is not invited; an empty one completes at once.
    client.Send("a2 SAY {3+}\r\nabc {0}\r\n more\r\n");
    EXPECT_EQ(client.ReadLine(), "+ go ahead\r\n") << "for the {0} alone";
    EXPECT_EQ(client.ReadLine(), "a2 SAY  [abc] more complete\r\n");
    // A password in the middle of a tagged line stays out of the debug log.
    std::vector<std::string> logged;
    LogEvent::SetLevel(LogLevel::Debug);
    LogEvent::SetSink([&](std::string_view line, bool) { logged.emplace_back(line); });
    client.Send("a3 LOGIN bob secret\r\n");
    EXPECT_EQ(client.ReadLine(), "echo a3 LOGIN bob secret\r\n");
    LogEvent::SetSink({});
    LogEvent::SetLevel(LogLevel::Normal);
    EXPECT_TRUE(std::ranges::none_of(
        logged, [](const std::string& l) { return l.find("secret") != std::string::npos; }));
    EXPECT_TRUE(std::ranges::any_of(logged, [](const std::string& l) {
        return l.find("a3 LOGIN bob ***") != std::string::npos;
    }));
    client.Send("MULTI\r\nLATER\r\n");
    EXPECT_EQ(client.ReadExactly(24), "* one\r\n* two\r\nOK three\r\n");
    EXPECT_EQ(client.ReadLine(), "OK wait\r\n");
    EXPECT_EQ(client.ReadLine(), "* pushed\r\n") << "a line nobody asked for";
}

TEST_F(Sessions, AnIdleSessionIsClosedButABusyOneIsNot) {
    StartServer(0ms, 1s);
    Client idle = Connected(smtpPort);
    Client busy = Connected(smtpPort);
    const auto start = Clock::now();
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(busy.ReadFor(300ms), "");
        busy.Send("still here\r\n");
        ASSERT_EQ(busy.ReadLine(), "echo still here\r\n");
    }
    EXPECT_TRUE(idle.WaitClosed()) << "closed as if the client had closed it";
    EXPECT_GE(Clock::now() - start, 900ms);
    EXPECT_TRUE(OpenSessionsReach(1));
}

TEST_F(Sessions, AListenerThatCannotBeCreatedIsReportedAndTheOtherServes) {
    AsyncSocket squatter(loop);
    ASSERT_TRUE(squatter.Create(0, Interest::Accept, "127.0.0.1"));
    ASSERT_TRUE(squatter.Listen(5));
    StartServer(0ms, 0s, squatter.LocalPort());
    ASSERT_EQ(listeners.failures.size(), 1U);
    EXPECT_EQ(listeners.failures[0].service, &kEchoSmtp);
    EXPECT_EQ(listeners.failures[0].step, ListenerStep::Create);
    EXPECT_EQ(listeners.failures[0].error, EADDRINUSE);
    EXPECT_EQ(listeners.Find("smtp"), nullptr);
    ASSERT_NE(listeners.Find("pop3"), nullptr);
    EXPECT_EQ(Connected(pop3Port, false).ReadLine(), "+OK echo\r\n");
}

// ---- TLS ----

/// One certificate for the whole program, made in a folder of its own.
const TlsContext& TestCertificate() {
    static const std::unique_ptr<TlsContext> context = [] {
        const testing::TempDir folder;
        const auto cert = folder.Path() / "cert.pem";
        const auto key = folder.Path() / "key.pem";
        std::string error;
        auto loaded = GenerateSelfSigned(cert, key, "localhost", "127.0.0.1", error)
                          ? TlsContext::Load(cert, key, error)
                          : nullptr;
        EXPECT_NE(loaded, nullptr) << error;
        return loaded;
    }();
    return *context;
}

class TlsSessions : public Sessions {
protected:
    void StartTlsServer(std::chrono::seconds idle = 0s) {
        options.tls = &TestCertificate();
        StartServer(0ms, idle);
    }
};

TEST_F(TlsSessions, StartTlsUpgradesOnceResetsOnceAndDiscardsBytesPipelinedBehindIt) {
    StartTlsServer();
    Client client = Connected(smtpPort);
    // One segment: the injected command arrives with STARTTLS, before any encryption.
    client.Send("STATE\r\nSTARTTLS\r\nINJECTED\r\n");
    EXPECT_EQ(client.ReadLine(), "plain resets=0\r\n");
    EXPECT_EQ(client.ReadLine(), "220 go ahead\r\n");
    testing::TlsClient tls(client.Fd(), step);
    ASSERT_TRUE(tls.Handshake());
    tls.Send("STATE\r\nSTARTTLS\r\n");
    EXPECT_EQ(tls.ReadLine(), "encrypted resets=1\r\n") << "the injected line was not executed";
    EXPECT_EQ(tls.ReadLine(), "454 not now\r\n") << "no second upgrade";

    // An implicit-TLS listener handshakes first, then greets.
    Client implicit = Connected(tlsPort, false);
    EXPECT_EQ(implicit.ReadFor(50ms), "") << "no banner in the clear";
    testing::TlsClient encrypted(implicit.Fd(), step);
    ASSERT_TRUE(encrypted.Handshake());
    EXPECT_EQ(encrypted.ReadLine(), "220 echo\r\n");
    encrypted.Send("STATE\r\n");
    EXPECT_EQ(encrypted.ReadLine(), "encrypted resets=0\r\n");
}

// A handshake that stalls or breaks holds no other session and ends only its own.
TEST_F(TlsSessions, AStalledHandshakeHoldsNoOtherSessionAndEndsWhenIdle) {
    StartTlsServer(1s);
    Client stalled = Connected(tlsPort, false);
    stalled.Send(std::string("\x16\x03\x01\x02\x00\x01", 6)); // a ClientHello that stops
    const auto start = Clock::now();
    Client good = Connected(tlsPort, false);
    testing::TlsClient tls(good.Fd(), step);
    ASSERT_TRUE(tls.Handshake());
    EXPECT_EQ(tls.ReadLine(), "220 echo\r\n");
    EXPECT_LT(Clock::now() - start, 500ms);

    Client garbage = Connected(tlsPort, false);
    garbage.Send("EHLO this is not a handshake\r\n");
    EXPECT_TRUE(garbage.WaitClosed());
    tls.Send("still\r\n");
    EXPECT_EQ(tls.ReadLine(), "echo still\r\n");
    EXPECT_TRUE(stalled.WaitClosed()) << "the idle timeout ends a silent handshake";
    EXPECT_TRUE(OpenSessionsReach(1));
}

// Whenever the client runs the loop, the server fills the socket and keeps a backlog.
TEST_F(TlsSessions, OverTlsBulkBytesTheSocketCannotTakeAtOnceArriveWholeAndInOrder) {
    StartTlsServer();
    Client client = Connected(tlsPort, false);
    testing::TlsClient tls(client.Fd(), step, 10s);
    ASSERT_TRUE(tls.Handshake());
    tls.ReadLine();
    constexpr std::size_t kSize = 12'000'000;
    tls.Send("BULK " + std::to_string(kSize) + "\r\nafter\r\n");
    EXPECT_EQ(tls.ReadLine(), "+BIG\r\n");
    const std::string body = tls.ReadExactly(kSize);
    ASSERT_EQ(body.size(), kSize);
    EXPECT_TRUE(body == Pattern(kSize)) << "bulk bytes lost or reordered";
    EXPECT_EQ(tls.ReadLine(), "echo after\r\n");
    // One record: the data, its end and the next command are decrypted together.
    tls.Send("DATA\r\nline\r\n.\r\nagain\r\n");
    EXPECT_EQ(tls.ReadLine(), "354 go on\r\n");
    EXPECT_EQ(tls.ReadLine(), "250 got 9\r\n");
    EXPECT_EQ(tls.ReadLine(), "echo again\r\n");
}

} // namespace
} // namespace brevin
