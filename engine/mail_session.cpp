#include "engine/mail_session.h"

#include "base/log.h"
#include "engine/tls.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace brevin {

void SessionSocket::OnReceive() {
    m_session.Drive();
}

void SessionSocket::OnSend() {
    m_session.m_writeBlocked = false;
    AsyncSelect(Interest::Read | Interest::Close);
    m_session.Drive();
}

void SessionSocket::OnClose(CloseKind kind) {
    if (kind == CloseKind::Lost) {
        m_session.End(); // nothing more can reach the client
        return;
    }
    m_session.OnPeerClosed();
}

MailSession::MailSession(EventLoop& loop, ServiceKind kind, const SessionOptions& options)
    : m_loop(loop), m_kind(kind), m_options(options), m_socket(loop, *this),
      m_pauseTimer(loop, [this] { Drive(); }), m_idleTimer(loop, [this] { OnIdleCheck(); }),
      m_turnTimer(loop, [this] { Drive(); }), m_lineTimer(loop, [this] { End(); }),
      m_lastActivity(loop.Now()), m_sendAt(m_lastActivity) {}

// Sessions still open at shutdown are destroyed without `End`: their close is logged here.
MailSession::~MailSession() {
    LogClose();
}

std::string_view MailSession::ServiceName() const {
    return m_kind == ServiceKind::SMTP ? "smtp" : "pop3";
}

void MailSession::LogClose() {
    if (m_closeLogged || m_registry == nullptr) {
        return;
    }
    m_closeLogged = true;
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(m_loop.Now() - m_openedAt);
    LogEvent(ServiceName(), "close")
        .Add("client", m_client)
        .Add("session", m_id)
        .Add("duration_ms", static_cast<std::uint64_t>(std::max<std::int64_t>(ms.count(), 0)))
        .Add("bytes_in", m_bytesIn)
        .Add("bytes_out", m_bytesOut);
}

// Debug only; the line is cut at its end, and a password never reaches the log: the arguments
// of PASS, AUTH and APOP are masked on either service (a client may send them to the wrong one).
void MailSession::LogCommand(std::string_view line) {
    line = line.substr(0, line.find_first_of(std::string_view("\r\n\0", 3)));
    const std::string_view verb(m_verb);
    if (verb == "PASS" || verb == "AUTH" || verb == "APOP") {
        // Everything after the word goes, whatever separates it (a tab, nothing at all).
        LogEvent(ServiceName(), "command", LogLevel::Debug)
            .Add("session", m_id)
            .Add("line", std::string(verb) + " ***");
        return;
    }
    LogEvent(ServiceName(), "command", LogLevel::Debug).Add("session", m_id).Add("line", line);
}

void MailSession::LogFailureReply(std::string_view reply) {
    if (m_registry == nullptr || !IsFailureReply(reply)) {
        return;
    }
    reply = reply.substr(0, reply.find_first_of("\r\n"));
    LogEvent(ServiceName(), "reply")
        .Add("client", m_client)
        .Add("session", m_id)
        .Add("command", m_verb[0] != '\0' ? std::string_view(m_verb) : std::string_view("-"))
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
    if (m_tls != nullptr) {
        m_tls->Shutdown();
    }
    m_socket.Close();
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
    sockaddr_in endpoint{};
    socklen_t endpointLength = sizeof endpoint;
    char text[INET_ADDRSTRLEN] = "?";
    if (::getpeername(connection.Get(), reinterpret_cast<sockaddr*>(&endpoint), &endpointLength) ==
            0 &&
        endpoint.sin_family == AF_INET) {
        inet_ntop(AF_INET, &endpoint.sin_addr, text, sizeof text);
    }
    m_client = std::string(text) + ":" + std::to_string(ntohs(endpoint.sin_port));
    LogEvent(ServiceName(), "connect")
        .Add("client", m_client)
        .Add("session", m_id)
        .Add("tls", implicitTls ? "yes" : "no");
    if (!m_socket.Attach(std::move(connection), Interest::Read | Interest::Close)) {
        return false;
    }
    // Every reply is a small write that the client waits for; without this, a reply that
    // follows one not yet acknowledged waits for the client's delayed acknowledgement, and a
    // client that pipelines crawls.
    m_socket.SetNoDelay();
    Touch();
    if (m_options.idleTimeout.count() > 0) {
        m_idleTimer.Start(m_options.idleTimeout);
    }
    if (implicitTls) {
        m_bannerAfterHandshake = true;
        BeginHandshake();
    } else {
        ReplyLine(Banner());
    }
    Drive();
    return true;
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
    m_tls = std::make_unique<TlsChannel>(*m_options.tls, m_socket);
    m_tlsState = TlsState::Handshaking;
}

bool MailSession::ContinueHandshake() {
    switch (m_tls->Handshake()) {
    case TlsChannel::Progress::Waiting:
        return false;
    case TlsChannel::Progress::Failed:
        LogEvent(ServiceName(), "tls")
            .Add("client", m_client)
            .Add("session", m_id)
            .Add("reason", m_tls->FailureReason())
            .Failed();
        End();
        return false;
    case TlsChannel::Progress::Done:
        break;
    }
    Touch();
    m_tlsState = TlsState::Encrypted;
    if (m_bannerAfterHandshake) {
        m_bannerAfterHandshake = false;
        ReplyLine(Banner());
    } else {
        OnEncrypted();
    }
    return true;
}

bool MailSession::FlushTls() {
    if (!m_tls->Flush()) {
        End();
        return false;
    }
    if (m_tls->Backlogged()) {
        WatchBacklog();
        return false;
    }
    Touch();
    return true;
}

void MailSession::WatchBacklog() {
    if (m_ended || m_writeBlocked || m_tls == nullptr || !m_tls->Backlogged()) {
        return;
    }
    m_writeBlocked = true;
    m_socket.AsyncSelect(Interest::Read | Interest::Write | Interest::Close);
}

ssize_t MailSession::Receive(void* buffer, std::size_t length, int flags) {
    const ssize_t got = m_tls != nullptr ? m_tls->Receive(buffer, length, flags)
                                         : m_socket.Receive(buffer, length, flags);
    if (got > 0 && (flags & MSG_PEEK) == 0) {
        m_bytesIn += static_cast<std::uint64_t>(got);
    }
    return got;
}

int MailSession::ReceiveError() const {
    return m_tls != nullptr ? m_tls->LastError() : m_socket.LastError();
}

MailSession::DataResult MailSession::ReceiveMessageData(std::span<const char> bytes) {
    return {bytes.size(), false};
}

bool MailSession::NextChunk() {
    return false;
}

void MailSession::ReplyLine(std::string_view text) {
    const std::size_t length = std::min(text.size(), kBufferSize - 2);
    std::memcpy(m_replyBuf, text.data(), length);
    std::memcpy(m_replyBuf + length, "\r\n", 2);
    QueueReply(length + 2, m_loop.Now() + m_options.pause);
    LogFailureReply(text);
}

void MailSession::Reply(std::string_view text) {
    const std::size_t length = std::min(text.size(), kBufferSize);
    std::memcpy(m_replyBuf, text.data(), length);
    QueueReply(length, m_loop.Now() + m_options.pause);
    LogFailureReply(text);
}

void MailSession::ReplyLineNow(std::string_view text) {
    ReplyLine(text);
    m_sendAt = m_loop.Now();
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

void MailSession::SetChunk(std::size_t length) {
    QueueReply(std::min(length, kBufferSize), m_sendAt);
}

std::size_t MailSession::SendNow(std::span<const char> bytes) {
    // Behind a pending reply the bytes would overtake it.
    if (m_ended || m_writeBlocked || m_replySent < m_replyLength || bytes.empty() ||
        m_tlsState == TlsState::AfterReply || m_tlsState == TlsState::Handshaking ||
        m_turnBytes >= kTurnBytes) {
        return 0;
    }
    bytes = bytes.first(std::min(bytes.size(), kTurnBytes - m_turnBytes));
    const ssize_t sent = m_tls != nullptr ? m_tls->Send(bytes.data(), bytes.size())
                                          : m_socket.Send(bytes.data(), bytes.size());
    if (sent <= 0) {
        return 0; // full, or failed: the next reply's send reports it
    }
    m_bytesOut += static_cast<std::uint64_t>(sent);
    Touch();
    m_turnBytes += static_cast<std::size_t>(sent);
    WatchBacklog();
    return static_cast<std::size_t>(sent);
}

void MailSession::QueueReply(std::size_t length, EventLoop::Clock::time_point sendAt) {
    m_replyLength = length;
    m_replySent = 0;
    m_replyBuf[length] = '\0';
    m_sendAt = sendAt;
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
        if (m_tls != nullptr && m_tls->Backlogged() && (m_writeBlocked || !FlushTls())) {
            break; // encrypted bytes go first, as a reply's would
        }
        if (m_replySent < m_replyLength) {
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
    const std::size_t left = m_replyLength - m_replySent;
    const ssize_t sent = m_tls != nullptr && m_tlsState == TlsState::Encrypted
                             ? m_tls->Send(m_replyBuf + m_replySent, left)
                             : m_socket.Send(m_replyBuf + m_replySent, left);
    if (sent > 0) {
        m_replySent += static_cast<std::size_t>(sent);
        m_turnBytes += static_cast<std::size_t>(sent);
        m_bytesOut += static_cast<std::uint64_t>(sent);
        Touch();
    }
    if (m_replySent == m_replyLength) {
        m_replyLength = m_replySent = 0;
        m_replyBuf[0] = '\0';
        return true;
    }
    const int error = m_tls != nullptr ? m_tls->LastError() : m_socket.LastError();
    if (sent < 0 && error != EAGAIN && error != EWOULDBLOCK && error != EINTR) {
        End(); // reset or broken: nothing more can reach this client
        return false;
    }
    // The rest waits for room; nothing is cut.
    m_writeBlocked = true;
    m_socket.AsyncSelect(Interest::Read | Interest::Write | Interest::Close);
    return false;
}

bool MailSession::ReadMore() {
    if (m_dataPhase && m_recvCount == 0) {
        return ReadData();
    }
    if (m_recvCount >= kBufferSize) {
        return false;
    }
    const ssize_t got = Receive(m_recvBuf + m_recvCount, kBufferSize - m_recvCount);
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
    return used > 0 || !m_dataPhase;
}

bool MailSession::ReadFailed(ssize_t got) {
    const int error = ReceiveError();
    if (got == 0 || (error != EAGAIN && error != EWOULDBLOCK && error != EINTR)) {
        End(); // the client closed: the session ends as with a close notification
    }
    return false;
}

bool MailSession::InterpretBuffered() {
    if (m_recvCount == 0) {
        return false;
    }
    if (m_dataPhase) {
        const std::size_t used = TakeData({m_recvBuf, m_recvCount});
        Consume(used);
        return used > 0 || !m_dataPhase;
    }
    const auto* lineEnd = static_cast<const char*>(std::memchr(m_recvBuf, '\n', m_recvCount));
    if (m_discardingLine) {
        const std::size_t through =
            lineEnd != nullptr ? static_cast<std::size_t>(lineEnd - m_recvBuf) + 1 : m_recvCount;
        m_discardingLine = lineEnd == nullptr;
        WatchLine(m_discardingLine);
        Consume(through);
        return true;
    }
    if (lineEnd != nullptr) {
        const auto length = static_cast<std::size_t>(lineEnd - m_recvBuf) + 1;
        WatchLine(false);
        ++m_turnCommands;
        std::size_t verb = 0;
        for (; verb < 4 && verb < length && m_recvBuf[verb] > ' '; ++verb) {
            m_verb[verb] =
                static_cast<char>(std::toupper(static_cast<unsigned char>(m_recvBuf[verb])));
        }
        m_verb[verb] = '\0';
        if (LogEvent::Enabled(LogLevel::Debug)) {
            LogCommand({m_recvBuf, length});
        }
        InterpretCommand({m_recvBuf, length});
        Consume(length);
        if (m_tlsState == TlsState::AfterReply) {
            // Sent before the encryption began: nothing of it may count as a command.
            Consume(m_recvCount);
        }
        return true;
    }
    if (m_recvCount == kBufferSize) {
        ++m_turnCommands;
        RejectLongLine();
        m_discardingLine = true;
        Consume(m_recvCount);
        return true;
    }
    WatchLine(true);
    return false; // a line still arriving
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
    const DataResult result = ReceiveMessageData(bytes);
    if (result.ended) {
        m_dataPhase = false;
    }
    return std::min(result.used, bytes.size());
}

void MailSession::Consume(std::size_t count) {
    std::memmove(m_recvBuf, m_recvBuf + count, m_recvCount - count);
    m_recvCount -= count;
    m_recvBuf[m_recvCount] = '\0';
}

void MailSession::OnIdleCheck() {
    const auto quietUntil = m_lastActivity + m_options.idleTimeout;
    if (m_loop.Now() >= quietUntil) {
        End(); // as if the client had closed the connection
        return;
    }
    m_idleTimer.StartAt(quietUntil);
}

// ---- the registry ----

SessionRegistry::SessionRegistry(EventLoop& loop) : m_release(loop, [this] { DestroyEnded(); }) {}

SessionRegistry::~SessionRegistry() {
    CloseAll();
}

ClientTable& MailSession::Clients() {
    return m_registry->Clients();
}

bool SessionRegistry::Start(std::unique_ptr<MailSession> session, UniqueFd connection,
                            bool implicitTls, ClientAddress peer) {
    if (!session) {
        return false; // the connection closes with `connection`
    }
    if (const auto admission = m_clients.Admit(peer, Count());
        admission != ClientTable::Admission::Admitted) {
        Refuse(session->Kind(), std::move(connection), implicitTls, peer, admission);
        return false;
    }
    const std::uint64_t id = m_nextId++;
    MailSession& started = *session;
    m_sessions.emplace(id, std::move(session));
    if (!started.Open(std::move(connection), *this, id, implicitTls, peer)) {
        m_sessions.erase(id); // it never ran: nothing of it is on the stack
        m_clients.Leave(peer);
        return false;
    }
    return true;
}

// The client hears why at once instead of waiting for a banner that never comes. The few
// bytes always fit the new socket's buffer; what the client sent is read first, so that the
// close does not reset the connection before the reply is read.
void SessionRegistry::Refuse(ServiceKind kind, UniqueFd connection, bool implicitTls,
                             ClientAddress peer, ClientTable::Admission why) {
    const bool perAddress = why == ClientTable::Admission::AddressFull;
    const bool smtp = kind == ServiceKind::SMTP;
    LogEvent(smtp ? "smtp" : "pop3", "refused")
        .Add("client", AddressText(peer))
        .Add("reason", perAddress ? "per-address limit" : "session limit")
        .Failed();
    if (!implicitTls) {
        const std::string_view reply =
            smtp ? (perAddress ? "421 Brevin Server : too many connections from your address\r\n"
                               : "421 Brevin Server : too many connections, try again later\r\n")
                 : (perAddress ? "-ERR Brevin server: too many connections from your address\r\n"
                               : "-ERR Brevin server: too many connections, try again later\r\n");
        [[maybe_unused]] const ssize_t sent =
            send(connection.Get(), reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    shutdown(connection.Get(), SHUT_WR);
    char drain[4096];
    for (int i = 0; i < 4 && recv(connection.Get(), drain, sizeof drain, MSG_DONTWAIT) > 0; ++i) {
    }
}

void SessionRegistry::Release(std::uint64_t id) {
    if (const auto found = m_sessions.find(id); found != m_sessions.end()) {
        m_clients.Leave(found->second->PeerAddress());
    }
    m_ended.push_back(id);
    m_release.Post();
}

void SessionRegistry::DestroyEnded() {
    for (const std::uint64_t id : std::exchange(m_ended, {})) {
        m_sessions.erase(id);
    }
}

void SessionRegistry::CloseAll() {
    m_release.Cancel();
    m_ended.clear();
    // Taken out first: a session's clean-up must not find the map half torn down.
    auto sessions = std::exchange(m_sessions, {});
    for (const auto& [id, session] : sessions) {
        if (!session->m_ended) {
            m_clients.Leave(session->PeerAddress());
        }
    }
    sessions.clear();
}

} // namespace brevin
