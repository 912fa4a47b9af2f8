#pragma once

#include "base/unique_fd.h"
#include "engine/async_socket.h"
#include "engine/client_table.h"
#include "engine/event_loop.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace brevin {

/// Which service a listener offers; copied into every session it accepts.
enum class ServiceKind : std::int32_t {
    SMTP = 1,
    POP3 = 2,
};

class TlsContext;
class TlsChannel;

/// Timing and encryption of every session, from the command line.
struct SessionOptions {
    /// No reply leaves earlier than this after the command (or the accept) that caused it.
    std::chrono::milliseconds pause{100};
    /// A session that moves no byte for this long is closed; zero means never.
    std::chrono::seconds idleTimeout{600};
    /// A command line must be complete this long after the session began waiting for its rest,
    /// or the session is closed; zero means never. Any byte resets the idle timeout, so a
    /// client trickling a line would otherwise hold its connection for ever.
    std::chrono::seconds commandTimeout{60};
    /// The certificate and settings for encryption; null when the server offers none.
    const TlsContext* tls = nullptr;
    /// The administrator wants passwords and mail to travel encrypted only. The engine only
    /// carries it: the protocols refuse (and advertise) accordingly, asking `IsEncrypted`.
    bool requireTls = false;
};

class MailSession;
class SessionRegistry;

/// The connection of one session; forwards its notifications to the session that embeds it.
class SessionSocket final : public AsyncSocket {
public:
    SessionSocket(EventLoop& loop, MailSession& session) : AsyncSocket(loop), m_session(session) {}

private:
    void OnReceive() override;
    void OnSend() override;
    void OnClose(CloseKind kind) override;

    MailSession& m_session;
};

/// One accepted connection and its read/reply cycle. The protocol lives in a subclass.
///
/// The cycle: bytes are appended to the input buffer; each complete line (up to LF) is handed
/// to `InterpretCommand`, which leaves exactly one reply (or holds the cycle until a callback
/// brings it: `Hold`, `Resume`); the reply leaves after the pause, and only then is the next
/// buffered line interpreted. Two hand-overs leave the cycle for a while: after
/// `EnterDataPhase` raw input goes to `ReceiveMessageData` until it says the data ended, and
/// after `StartStream` the output is produced piece by piece by `NextChunk`.
///
/// A `SessionRegistry` owns every session. The session ends when the client closes the
/// connection, when the connection fails, when it has been idle too long, when a command line
/// takes longer than the command timeout to arrive, or on `EndSession`:
/// its connection closes at once, and the registry destroys it once the call that ended it
/// has returned.
///
/// Encryption (TLS) sits under the cycle: the protocol sees the same lines and data either way,
/// and the pause, the reply buffer's steps and `SendNow` behave alike. A session accepted on an
/// implicit-TLS listener takes the handshake first and hears its banner afterwards; a plain one
/// is upgraded by the protocol's command through `StartTls`. A handshake waits on the loop like
/// any read, counts as activity for the idle timeout, and when it fails, only its session ends.
class MailSession {
public:
    static constexpr std::size_t kBufferSize = 3000;

    MailSession(EventLoop& loop, ServiceKind kind, const SessionOptions& options);
    virtual ~MailSession();
    MailSession(const MailSession&) = delete;
    MailSession& operator=(const MailSession&) = delete;

    [[nodiscard]] ServiceKind Kind() const { return m_kind; }
    /// The client's IPv4 address (0 for a connection without one, such as a socketpair).
    [[nodiscard]] ClientAddress PeerAddress() const { return m_peer; }

    /// No session is served more than this in one turn of the loop; then the others get theirs
    /// before it goes on, so a client that floods commands or data cannot starve them.
    static constexpr int kTurnCommands = 8;
    static constexpr std::size_t kTurnBytes = 256 * 1024;
    /// The first word of the session's log lines: "smtp" or "pop3".
    [[nodiscard]] std::string_view ServiceName() const;
    /// The number the registry gave the session; its log lines carry it as `session=`.
    [[nodiscard]] std::uint64_t Id() const { return m_id; }
    /// "address:port" of the client, as the log shows it.
    [[nodiscard]] std::string_view ClientEndpoint() const { return m_client; }

protected:
    // ---- the protocol side ----

    /// The greeting a client hears first.
    [[nodiscard]] virtual std::string_view Banner() const = 0;
    /// One complete command line at the head of the input, LF included. Must leave exactly
    /// one reply (`Reply` or `ReplyLine`); may enter the data phase or start a stream.
    virtual void InterpretCommand(std::string_view line) = 0;
    /// The answer to a line that does not fit the receive buffer; the line is discarded.
    virtual void RejectLongLine() = 0;

    struct DataResult {
        std::size_t used = 0; ///< bytes that belong to the data; the rest are commands again
        bool ended = false;   ///< the data ended with them: the data phase is over
    };
    /// Data phase: raw bytes as they arrive.
    virtual DataResult ReceiveMessageData(std::span<const char> bytes);
    /// Streaming: puts the next piece of a long reply into the reply buffer (`SetChunk`);
    /// returns false when nothing is left, which ends the stream.
    virtual bool NextChunk();

    // ---- encryption ----

    /// Whether `StartTls` may be used now: the server has a certificate and this session is
    /// neither encrypted nor about to be.
    [[nodiscard]] bool CanStartTls() const;
    /// The answer to the protocol's STARTTLS/STLS command, in place of `ReplyLine`, and only
    /// when `CanStartTls()`: `reply` (e.g. "220 Ready to start TLS") leaves in the clear after
    /// the pause, every byte the client sent after the command line that has already arrived
    /// is discarded unread (it came before the encryption, so nothing of it may count), and
    /// then the server's side of the handshake runs. Nothing is interpreted meanwhile. When the
    /// handshake completes, `OnEncrypted` is called, and the protocol resets its state there
    /// (forgets the greeting, a transaction, the authentication, as its standard asks) and
    /// waits for the client's first encrypted command; it sends nothing unasked. When it
    /// fails, the session ends.
    void StartTls(std::string_view reply);
    /// Whether the handshake has completed on this connection (at once after an implicit-TLS
    /// listener's, including while `Banner` is asked for).
    [[nodiscard]] bool IsEncrypted() const;
    /// Called once the handshake that `StartTls` began has completed (never for implicit TLS,
    /// whose session starts encrypted). The protocol resets its state; it must not reply.
    virtual void OnEncrypted() {}
    /// The client has sent its last byte (it may still read); what it sent is answered unless
    /// the protocol ends the session here.
    virtual void OnInputEnded() {}

    // ---- the log ----

    /// Whether `reply` refuses what the client asked; such replies are logged as failures.
    [[nodiscard]] virtual bool IsFailureReply(std::string_view /*reply*/) const { return false; }

    // ---- the cycle ----

    /// Input from now on goes to `ReceiveMessageData` instead of `InterpretCommand`.
    void EnterDataPhase() { m_dataPhase = true; }
    /// Once the current reply has left, `NextChunk` produces the output until it returns false;
    /// commands wait meanwhile.
    void StartStream() { m_streaming = true; }
    /// Ends the session now, without a reply (the client must not take what it got for whole).
    void EndSession();
    /// Ends the session once the reply now pending has been sent in full (QUIT).
    void CloseAfterReply() { m_closeAfterReply = true; }

    // ---- replies ----

    /// Replaces the pending reply with `text` plus CR LF; it leaves after the pause.
    void ReplyLine(std::string_view text);
    /// Replaces the pending reply with `text` as is (CR LF included by the caller).
    void Reply(std::string_view text);
    /// Like `ReplyLine`, but the reply leaves at once, without the pause.
    void ReplyLineNow(std::string_view text);
    /// Leaves the current command unanswered for now: nothing more is interpreted or read
    /// until `Resume` brings its reply (from a callback of the loop).
    void Hold();
    /// Ends a `Hold`: `text` is the reply and leaves at once, and the cycle goes on. The
    /// session may end within the call.
    void Resume(std::string_view text);
    /// Like `Resume`, but the reply leaves no earlier than the pause after the held command.
    void ResumeAfterPause(std::string_view text);
    /// Fills the reply buffer with raw bytes (a piece of a stream); returns the writable area.
    std::span<char> ChunkBuffer() { return {m_replyBuf, kBufferSize}; }
    void SetChunk(std::size_t length);
    /// Bulk bytes straight to the client, without the reply buffer, while no reply is waiting
    /// to leave; returns how many the connection took now (0 when it takes none).
    std::size_t SendNow(std::span<const char> bytes);

    [[nodiscard]] EventLoop& Loop() { return m_loop; }
    [[nodiscard]] const SessionOptions& Options() const { return m_options; }
    /// What the server knows of every client address (sessions, guessing penalties).
    [[nodiscard]] ClientTable& Clients();

private:
    friend class SessionSocket;
    friend class SessionRegistry;

    /// Takes over the accepted connection, queues the banner (or, with `implicitTls`, starts
    /// the handshake that comes before it) and starts the cycle. False when the connection
    /// cannot be watched.
    bool Open(UniqueFd connection, SessionRegistry& registry, std::uint64_t id, bool implicitTls,
              ClientAddress peer);
    void Drive();
    bool SendPending(); // false when the socket took less than all
    bool ReadMore();    // false when nothing more could be read
    bool ReadData();    // ReadMore in the data phase, with the input buffer empty
    bool ReadFailed(ssize_t got);
    /// Receives through the encryption when there is one.
    ssize_t Receive(void* buffer, std::size_t length, int flags = 0);
    [[nodiscard]] int ReceiveError() const;
    void BeginHandshake();
    bool ContinueHandshake(); // false while it waits for the client
    /// Moves encrypted bytes waiting for room on; false when they must wait (or it failed).
    bool FlushTls();
    /// Asks for a write notification while encrypted bytes wait for room in the socket.
    void WatchBacklog();
    bool InterpretBuffered();
    /// Hands buffered or peeked bytes to `ReceiveMessageData`; how many it used.
    std::size_t TakeData(std::span<const char> bytes);
    void Consume(std::size_t count);
    void QueueReply(std::size_t length, EventLoop::Clock::time_point sendAt);
    void Touch() { m_lastActivity = m_loop.Now(); }
    void OnIdleCheck();
    /// Whether this turn's share is used up; then the session goes on in the next turn.
    bool TurnUsedUp();
    /// Starts or stops the command timeout as a line is (or is no longer) arriving.
    void WatchLine(bool arriving);
    void OnPeerClosed();
    void LogCommand(std::string_view line);
    void LogFailureReply(std::string_view reply);
    void LogClose();
    /// Closes the connection and asks the registry to release the session.
    void End();

    EventLoop& m_loop;
    const ServiceKind m_kind;
    const SessionOptions& m_options;
    SessionSocket m_socket;
    Timer m_pauseTimer;
    Timer m_idleTimer;
    Timer m_turnTimer; // the next turn of a session that used up its share
    Timer m_lineTimer; // the command timeout
    EventLoop::Clock::time_point m_lastActivity;
    EventLoop::Clock::time_point m_sendAt;
    SessionRegistry* m_registry = nullptr;
    std::uint64_t m_id = 0;
    ClientAddress m_peer = 0;
    int m_turnCommands = 0;                  // commands interpreted in this turn
    std::size_t m_turnBytes = 0;             // bytes received and sent in this turn
    std::string m_client;                    // "address:port"
    EventLoop::Clock::time_point m_openedAt; // for the duration in the close event
    std::uint64_t m_bytesIn = 0;             // taken from the client, after decryption
    std::uint64_t m_bytesOut = 0;            // handed to the connection, before encryption
    char m_verb[5]{};                        // the command being answered, for failure lines
    bool m_closeLogged = false;

    char m_recvBuf[kBufferSize + 1]{}; // pending input; a zero byte always follows it
    std::size_t m_recvCount = 0;
    char m_replyBuf[kBufferSize + 1]{}; // the reply (or stream piece) being sent
    std::size_t m_replyLength = 0;
    std::size_t m_replySent = 0;
    bool m_dataPhase = false;
    bool m_streaming = false;
    bool m_writeBlocked = false;   // waiting for room in the socket
    bool m_discardingLine = false; // inside an over-long line, up to its LF
    bool m_ended = false;          // the connection is closed; the registry releases us
    bool m_inputEnded = false;     // the peer sent its last byte; answer what it sent, then end
    bool m_driving = false;
    bool m_held = false; // a command's reply comes later, from elsewhere
    bool m_closeAfterReply = false;
    EventLoop::Clock::time_point m_heldSince;

    enum class TlsState : std::uint8_t {
        Plain,
        AfterReply,  // StartTls: the handshake follows the reply
        Handshaking, // with StartTls, or on an implicit-TLS listener
        Encrypted,
    };
    std::unique_ptr<TlsChannel> m_tls;
    TlsState m_tlsState = TlsState::Plain;
    bool m_bannerAfterHandshake = false; // implicit TLS
};

/// Owns the open sessions of a server. A session that ends is destroyed once the call that
/// ended it has returned; destroying the registry (or `CloseAll`) closes the rest, so every
/// session's own clean-up runs at shutdown too.
class SessionRegistry {
public:
    explicit SessionRegistry(EventLoop& loop);
    ~SessionRegistry();
    SessionRegistry(const SessionRegistry&) = delete;
    SessionRegistry& operator=(const SessionRegistry&) = delete;

    /// Takes `session` over with its connection and greets the client. False (the session
    /// destroyed, the connection closed) when the loop cannot watch the connection, or when
    /// the connection limits refuse the client: it then hears why ("421 ..." or "-ERR ...")
    /// and the connection closes at once. With `implicitTls` the client is greeted only after
    /// the handshake (and a refused one is only closed).
    bool Start(std::unique_ptr<MailSession> session, UniqueFd connection, bool implicitTls = false,
               ClientAddress peer = 0);
    /// Closes and destroys every session.
    void CloseAll();
    /// Sessions whose connection is open.
    [[nodiscard]] std::size_t Count() const { return m_sessions.size() - m_ended.size(); }
    [[nodiscard]] ClientTable& Clients() { return m_clients; }

private:
    friend class MailSession;

    void Release(std::uint64_t id);
    void DestroyEnded();
    static void Refuse(ServiceKind kind, UniqueFd connection, bool implicitTls, ClientAddress peer,
                       ClientTable::Admission why);

    ClientTable m_clients;

    std::unordered_map<std::uint64_t, std::unique_ptr<MailSession>> m_sessions;
    std::vector<std::uint64_t> m_ended; // closed, destroyed by `m_release`
    std::uint64_t m_nextId = 1;
    Deferred m_release;
};

} // namespace brevin
