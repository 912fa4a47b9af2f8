#include "engine/mail_session.h"

#include "base/log.h"
#include "engine/session_registry.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <utility>

namespace brevin {

void MailSession::OnReadable() {
    Drive();
}

void MailSession::OnWritable() {
    m_writeBlocked = false;
    m_connection.WatchWrites(false);
    Drive();
}

void MailSession::OnClosed(CloseKind kind) {
    if (kind == CloseKind::Lost) {
        End(); // nothing more can reach the client
        return;
    }
    OnPeerClosed();
}

MailSession::MailSession(EventLoop& loop, const ServiceTraits& service,
                         const SessionOptions& options)
    : m_loop(loop), m_service(service), m_options(options), m_connection(loop, *this),
      m_pauseTimer(loop, [this] { Drive(); }), m_idleTimer(loop, [this] { OnIdleCheck(); }),
      m_turnTimer(loop, [this] { Drive(); }), m_lineTimer(loop, [this] { End(); }),
      m_handshakeTimer(loop, [this] { HandshakeTimedOut(); }), m_lastActivity(loop.Now()),
      m_sendAt(m_lastActivity) {}

// Sessions still open at shutdown are destroyed without `End`: their close is logged here.
MailSession::~MailSession() {
    LogClose();
}

std::string MailSession::LeadingWord(std::string_view line, std::size_t length) {
    std::string word;
    for (std::size_t i = 0; i < length && i < line.size() && line[i] > ' '; ++i) {
        word += static_cast<char>(std::toupper(static_cast<unsigned char>(line[i])));
    }
    return word;
}

void MailSession::LogClose() {
    if (m_closeLogged || m_registry == nullptr) {
        return;
    }
    m_closeLogged = true;
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(m_loop.Now() - m_openedAt);
    LogEvent(ServiceName(), "close")
        .Budgeted(m_logBudget)
        .Add("client", m_client)
        .Add("session", m_id)
        .Add("duration_ms", static_cast<std::uint64_t>(std::max<std::int64_t>(ms.count(), 0)))
        .Add("bytes_in", m_bytesIn)
        .Add("bytes_out", m_bytesOut);
}

// Debug only; the line is cut at its end, and the protocol masks what is secret in it.
void MailSession::LogCommand(std::string_view line) {
    line = line.substr(0, line.find_first_of(std::string_view("\r\n\0", 3)));
    LogEvent(ServiceName(), "command", LogLevel::Debug)
        .Budgeted(m_logBudget)
        .Add("session", m_id)
        .Add("line", LineForLog(line));
}

void MailSession::LogFailureReply(std::string_view reply) {
    if (m_registry == nullptr || !IsFailureReply(reply)) {
        return;
    }
    reply = reply.substr(0, reply.find_first_of("\r\n"));
    LogEvent(ServiceName(), "reply")
        .Budgeted(m_logBudget)
        .Add("client", m_client)
        .Add("session", m_id)
        .Add("command", m_command.empty() ? std::string_view("-") : std::string_view(m_command))
        .Add("reply", reply)
        .Failed();
}

void MailSession::End() {
    if (m_ended) {
        return;
    }
    m_ended = true;
    m_pauseTimer.Cancel();
    m_idleTimer.Cancel();
    m_turnTimer.Cancel();
    m_lineTimer.Cancel();
    m_handshakeTimer.Cancel();
    m_connection.Close();
    LogClose();
    if (m_registry != nullptr) {
        m_registry->Release(m_id);
    }
}

void MailSession::EndSession() {
    End();
}

// The client will send nothing more, but it may still read: what it sent before is answered in
// full (the socket still tells when there is room), then the session ends when its input runs
// dry.
void MailSession::OnPeerClosed() {
    m_inputEnded = true;
    OnInputEnded();
    if (m_ended) {
        return;
    }
    Drive();
}

bool MailSession::Open(UniqueFd connection, SessionRegistry& registry, std::uint64_t id,
                       bool implicitTls, ClientAddress peer) {
    m_registry = &registry;
    m_id = id;
    m_peer = peer;
    m_openedAt = m_loop.Now();
    m_client = PeerEndpoint(connection.Get());
    m_logBudget = peer.Host().Text();
    m_recvLimit = std::max<std::size_t>(LineLimit(), 16);
    // Most lines are short: the buffer grows towards the limit only for a long one, so that
    // a thousand idle sessions do not each hold the longest line a protocol allows.
    m_recvBuf.assign(std::min(m_recvLimit, kFirstReceiveBuffer) + 1, '\0');
    LogEvent(ServiceName(), "connect")
        .Budgeted(m_logBudget)
        .Add("client", m_client)
        .Add("session", m_id)
        .Add("tls", implicitTls ? "yes" : "no");
    if (!m_connection.Attach(std::move(connection))) {
        return false;
    }
    // Every reply is a small write that the client waits for; without this, a reply that
    // follows one not yet acknowledged waits for the client's delayed acknowledgement, and a
    // client that pipelines crawls.
    m_connection.SetNoDelay();
    Touch();
    if (m_idleTimeout.count() > 0) {
        m_idleTimer.Start(m_idleTimeout);
    }
    if (implicitTls) {
        m_bannerAfterHandshake = true;
        BeginHandshake();
    } else {
        SendBanner();
    }
    Drive();
    return true;
}

void MailSession::SendBanner() {
    if (const std::string_view banner = Banner(); !banner.empty()) {
        ReplyLine(banner);
    }
}

ClientTable& MailSession::Clients() {
    return m_registry->Clients();
}

bool MailSession::CanStartTls() const {
    return m_options.tls != nullptr && m_tlsState == TlsState::Plain;
}

bool MailSession::IsEncrypted() const {
    return m_tlsState == TlsState::Encrypted;
}

void MailSession::StartTls(std::string_view reply) {
    ReplyLine(reply);
    if (CanStartTls()) {
        m_tlsState = TlsState::AfterReply;
    }
}

void MailSession::BeginHandshake() {
    if (m_options.tls == nullptr) {
        End(); // an implicit-TLS connection without a certificate has nothing to talk about
        return;
    }
    m_connection.BeginTls(*m_options.tls);
    m_tlsState = TlsState::Handshaking;
    // Bytes of a handshake count as activity, so a client sending a few now and then, or none
    // at all, would otherwise hold its place for the whole idle timeout.
    if (m_options.commandTimeout.count() > 0) {
        m_handshakeTimer.Start(m_options.commandTimeout);
    }
}

void MailSession::HandshakeTimedOut() {
    LogEvent(ServiceName(), "tls")
        .Add("client", m_client)
        .Add("session", m_id)
        .Add("reason", "handshake timed out")
        .Failed();
    End();
}

bool MailSession::ContinueHandshake() {
    switch (m_connection.ContinueHandshake()) {
    case Connection::Handshake::Waiting:
        return false;
    case Connection::Handshake::Failed:
        LogEvent(ServiceName(), "tls")
            .Add("client", m_client)
            .Add("session", m_id)
            .Add("reason", m_connection.TlsFailureReason())
            .Failed();
        End();
        return false;
    case Connection::Handshake::Done:
        break;
    }
    m_handshakeTimer.Cancel();
    Touch();
    m_tlsState = TlsState::Encrypted;
    if (m_bannerAfterHandshake) {
        m_bannerAfterHandshake = false;
        SendBanner();
    } else {
        OnEncrypted();
    }
    return true;
}

bool MailSession::FlushTls() {
    if (!m_connection.Flush()) {
        End();
        return false;
    }
    if (m_connection.Backlogged()) {
        WatchBacklog();
        return false;
    }
    Touch();
    return true;
}

void MailSession::WatchBacklog() {
    if (m_ended || m_writeBlocked || !m_connection.Backlogged()) {
        return;
    }
    m_writeBlocked = true;
    m_connection.WatchWrites(true);
}

ssize_t MailSession::Receive(void* buffer, std::size_t length, int flags) {
    const ssize_t got = m_connection.Receive(buffer, length, flags);
    if (got > 0 && (flags & MSG_PEEK) == 0) {
        m_bytesIn += static_cast<std::uint64_t>(got);
    }
    return got;
}

MailSession::DataResult MailSession::ReceiveMessageData(std::span<const char> bytes) {
    return {bytes.size(), false};
}

bool MailSession::NextChunk() {
    return false;
}

void MailSession::SetReply(std::string_view text, EventLoop::Clock::time_point sendAt) {
    if (m_gathered.empty()) {
        m_reply.assign(text); // keeps the buffer a session's replies already grew
    } else {
        m_reply = std::move(m_gathered);
        m_gathered.clear();
        m_reply += text;
    }
    m_replySent = 0;
    m_sendAt = sendAt;
}

void MailSession::ReplyLine(std::string_view text) {
    SetReply(text, m_loop.Now() + m_options.pause);
    m_reply += "\r\n";
    LogFailureReply(text);
}

void MailSession::Reply(std::string_view text) {
    SetReply(text, m_loop.Now() + m_options.pause);
    LogFailureReply(text);
}

void MailSession::AddLine(std::string_view text) {
    m_gathered += text;
    m_gathered += "\r\n";
}

void MailSession::ReplyLineNow(std::string_view text) {
    ReplyLine(text);
    m_sendAt = m_loop.Now();
}

void MailSession::Push(std::string_view text) {
    if (m_ended) {
        return;
    }
    if (!ReplyWaiting()) {
        m_reply.clear();
        m_replySent = 0;
        m_sendAt = m_loop.Now();
    }
    m_reply += text;
    m_reply += "\r\n";
    if (!m_driving) {
        Drive();
    }
}

void MailSession::ExpectLiteral(std::uint64_t size, std::string_view continuation) {
    m_literalLeft = size;
    m_literalPending = true;
    if (!continuation.empty()) {
        SetReply(continuation, m_loop.Now());
        m_reply += "\r\n";
    }
}

void MailSession::Hold() {
    m_held = true;
    m_heldSince = m_loop.Now();
}

void MailSession::Resume(std::string_view text) {
    m_held = false;
    ReplyLineNow(text);
    Drive();
}

void MailSession::ResumeAfterPause(std::string_view text) {
    m_held = false;
    ReplyLine(text);
    m_sendAt = m_heldSince + m_options.pause;
    Drive();
}

std::span<char> MailSession::ChunkBuffer() {
    m_reply.resize(kBufferSize);
    return {m_reply.data(), m_reply.size()};
}

void MailSession::SetChunk(std::size_t length) {
    m_reply.resize(std::min(length, kBufferSize));
    m_replySent = 0;
}

std::size_t MailSession::SendNow(std::span<const char> bytes) {
    // Behind a pending reply the bytes would overtake it.
    if (m_ended || m_writeBlocked || ReplyWaiting() || bytes.empty() ||
        m_tlsState == TlsState::AfterReply || m_tlsState == TlsState::Handshaking ||
        m_turnBytes >= kTurnBytes) {
        return 0;
    }
    bytes = bytes.first(std::min(bytes.size(), kTurnBytes - m_turnBytes));
    const ssize_t sent = m_connection.Send(bytes.data(), bytes.size());
    if (sent <= 0) {
        return 0; // full, or failed: the next reply's send reports it
    }
    m_bytesOut += static_cast<std::uint64_t>(sent);
    Touch();
    m_turnBytes += static_cast<std::size_t>(sent);
    WatchBacklog();
    return static_cast<std::size_t>(sent);
}

// The whole cycle in one place: send what is due, then produce the next piece of a stream,
// then interpret what is buffered, then read more; stop where something must be waited for.
void MailSession::Drive() {
    if (m_driving) {
        return;
    }
    m_driving = true;
    m_turnCommands = 0;
    m_turnBytes = 0;
    while (!m_ended) {
        if (TurnUsedUp()) {
            break;
        }
        if (m_connection.Backlogged() && (m_writeBlocked || !FlushTls())) {
            break; // encrypted bytes go first, as a reply's would
        }
        if (ReplyWaiting()) {
            if (m_writeBlocked) {
                break;
            }
            if (m_loop.Now() < m_sendAt) {
                if (!m_pauseTimer.Pending() || m_pauseTimer.Deadline() != m_sendAt) {
                    m_pauseTimer.StartAt(m_sendAt);
                }
                break;
            }
            if (!SendPending()) {
                break;
            }
            continue;
        }
        if (m_closeAfterReply) {
            End(); // the last reply is out
            break;
        }
        if (m_tlsState == TlsState::AfterReply) {
            BeginHandshake();
            continue;
        }
        if (m_tlsState == TlsState::Handshaking) {
            if (!ContinueHandshake()) {
                break;
            }
            continue;
        }
        if (m_held) {
            break;
        }
        if (m_streaming) {
            m_sendAt = m_loop.Now() + m_options.pause;
            if (!NextChunk()) {
                m_streaming = false;
            }
            continue;
        }
        if (InterpretBuffered()) {
            continue;
        }
        if (!ReadMore()) {
            break;
        }
    }
    WatchBacklog();
    m_driving = false;
}

bool MailSession::SendPending() {
    const std::size_t left = m_reply.size() - m_replySent;
    const ssize_t sent = m_connection.Send(m_reply.data() + m_replySent, left);
    if (sent > 0) {
        m_replySent += static_cast<std::size_t>(sent);
        m_turnBytes += static_cast<std::size_t>(sent);
        m_bytesOut += static_cast<std::uint64_t>(sent);
        Touch();
    }
    if (m_replySent == m_reply.size()) {
        m_reply.clear();
        m_replySent = 0;
        return true;
    }
    const int error = m_connection.LastError();
    if (sent < 0 && error != EAGAIN && error != EWOULDBLOCK && error != EINTR) {
        End(); // reset or broken: nothing more can reach this client
        return false;
    }
    // The rest waits for room; nothing is cut.
    m_writeBlocked = true;
    m_connection.WatchWrites(true);
    return false;
}

bool MailSession::ReadMore() {
    if (InDataPhase() && m_recvCount == 0) {
        return ReadData();
    }
    if (m_recvCount >= m_recvLimit) {
        return false;
    }
    if (m_recvCount + 1 >= m_recvBuf.size()) {
        m_recvBuf.resize(std::min(m_recvLimit, 2 * (m_recvBuf.size() - 1)) + 1);
    }
    const ssize_t got = Receive(m_recvBuf.data() + m_recvCount, m_recvBuf.size() - 1 - m_recvCount);
    if (got <= 0) {
        return ReadFailed(got);
    }
    m_recvCount += static_cast<std::size_t>(got);
    m_recvBuf[m_recvCount] = '\0';
    m_turnBytes += static_cast<std::size_t>(got);
    Touch();
    return true;
}

// Message data is not kept: it is looked at in the loop's large buffer, and taken off the socket
// only as far as it belongs to the message. The commands that follow its end stay queued for
// the command cycle, which reads them as usual. Big messages thus cost a few calls, not one
// per 3000 bytes.
bool MailSession::ReadData() {
    const std::span<char> scratch = m_loop.Scratch();
    const ssize_t got = Receive(scratch.data(), scratch.size(), MSG_PEEK);
    if (got <= 0) {
        return ReadFailed(got);
    }
    const std::size_t used = TakeData(scratch.first(static_cast<std::size_t>(got)));
    if (m_ended) {
        return false;
    }
    // Only this session reads the socket, so the bytes just seen are there to be taken (with
    // encryption, they wait decrypted inside it).
    if (used > 0 && Receive(scratch.data(), used) != static_cast<ssize_t>(used)) {
        End();
        return false;
    }
    m_turnBytes += used;
    Touch();
    return used > 0 || !InDataPhase();
}

bool MailSession::ReadFailed(ssize_t got) {
    const int error = m_connection.LastError();
    if (got == 0 || (error != EAGAIN && error != EWOULDBLOCK && error != EINTR)) {
        End(); // the client closed: the session ends as with a close notification
    }
    return false;
}

bool MailSession::InterpretBuffered() {
    if (InDataPhase() && (m_recvCount > 0 || (m_literalPending && m_literalLeft == 0))) {
        const std::size_t used = TakeData({m_recvBuf.data(), m_recvCount});
        Consume(used);
        return used > 0 || !InDataPhase();
    }
    if (m_recvCount == 0) {
        return false;
    }
    const auto* lineEnd =
        static_cast<const char*>(std::memchr(m_recvBuf.data(), '\n', m_recvCount));
    if (m_discardingLine) {
        const std::size_t through = lineEnd != nullptr
                                        ? static_cast<std::size_t>(lineEnd - m_recvBuf.data()) + 1
                                        : m_recvCount;
        m_discardingLine = lineEnd == nullptr;
        WatchLine(m_discardingLine);
        Consume(through);
        return true;
    }
    if (lineEnd != nullptr) {
        InterpretLine(static_cast<std::size_t>(lineEnd - m_recvBuf.data()) + 1);
        return true;
    }
    if (m_recvCount == m_recvLimit) {
        ++m_turnCommands;
        RejectLongLine();
        m_discardingLine = true;
        Consume(m_recvCount);
        return true;
    }
    WatchLine(true);
    return false; // a line still arriving
}

void MailSession::InterpretLine(std::size_t length) {
    const std::string_view line(m_recvBuf.data(), length);
    WatchLine(false);
    ++m_turnCommands;
    m_command = CommandName(line);
    if (LogEvent::Enabled(LogLevel::Debug)) {
        LogCommand(line);
    }
    InterpretCommand(line);
    Consume(length);
    if (m_tlsState == TlsState::AfterReply) {
        // Sent before the encryption began: nothing of it may count as a command.
        Consume(m_recvCount);
    }
}

bool MailSession::TurnUsedUp() {
    if (m_turnCommands < kTurnCommands && m_turnBytes < kTurnBytes) {
        return false;
    }
    // A timer due now fires after the sockets already ready in this turn have been served.
    if (!m_turnTimer.Pending()) {
        m_turnTimer.Start(std::chrono::milliseconds(0));
    }
    return true;
}

void MailSession::WatchLine(bool arriving) {
    if (!arriving) {
        m_lineTimer.Cancel();
    } else if (!m_lineTimer.Pending() && m_options.commandTimeout.count() > 0) {
        m_lineTimer.Start(m_options.commandTimeout);
    }
}

std::size_t MailSession::TakeData(std::span<const char> bytes) {
    if (m_literalPending) {
        const auto used =
            static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), m_literalLeft));
        m_literalLeft -= used;
        m_literalPending = m_literalLeft > 0;
        ReceiveLiteral(bytes.first(used), !m_literalPending);
        return used;
    }
    const DataResult result = ReceiveMessageData(bytes);
    if (result.ended) {
        m_dataPhase = false;
    }
    return std::min(result.used, bytes.size());
}

void MailSession::Consume(std::size_t count) {
    std::memmove(m_recvBuf.data(), m_recvBuf.data() + count, m_recvCount - count);
    m_recvCount -= count;
    if (m_recvCount == 0 && m_recvBuf.size() > kFirstReceiveBuffer + 1) {
        std::vector<char>(kFirstReceiveBuffer + 1, '\0').swap(m_recvBuf); // the long line is done
    }
    m_recvBuf[m_recvCount] = '\0';
}

void MailSession::SetIdleTimeout(std::chrono::seconds timeout) {
    m_idleTimeout = timeout;
    if (timeout.count() == 0) {
        m_idleTimer.Cancel();
    } else if (!m_idleTimer.Pending()) {
        m_idleTimer.StartAt(m_lastActivity + timeout);
    }
}

void MailSession::OnIdleCheck() {
    if (m_idleTimeout.count() == 0) {
        return;
    }
    const auto quietUntil = m_lastActivity + m_idleTimeout;
    if (m_loop.Now() >= quietUntil) {
        End(); // as if the client had closed the connection
        return;
    }
    m_idleTimer.StartAt(quietUntil);
}

} // namespace brevin
