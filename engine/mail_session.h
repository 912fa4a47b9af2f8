#pragma once

#include "base/unique_fd.h"
#include "engine/client_table.h"
#include "engine/connection.h"
#include "engine/event_loop.h"
#include "engine/service.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brevin {

class TlsContext;

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

class SessionRegistry;

/// One accepted connection and its read/reply cycle. The protocol lives in a subclass.
///
/// The cycle: bytes are appended to the input buffer; each complete line (up to LF) is handed
/// to `InterpretCommand`, which leaves exactly one reply (or holds the cycle until a callback
/// brings it: `Hold`, `Resume`); the reply leaves after the pause, and only then is the next
/// buffered line interpreted. A reply may be several lines (`AddLine` before the last), and a
/// command may go on after a literal (`ExpectLiteral`): then its next line comes to
/// `InterpretCommand` again. Two hand-overs leave the cycle for a while: after
/// `EnterDataPhase` raw input goes to `ReceiveMessageData` until it says the data ended, and
/// after `StartStream` the output is produced piece by piece by `NextChunk`. Lines nobody asked
/// for (news while the client waits) go out with `Push`.
///
/// A `SessionRegistry` owns every session. The session ends when the client closes the
/// connection, when the connection fails, when it has been idle too long, when a command line
/// takes longer than the command timeout to arrive, or on `EndSession`:
/// its connection closes at once, and the registry destroys it once the call that ended it
/// has returned.
///
/// Encryption (TLS) sits under the cycle, in the `Connection`: the protocol sees the same lines
/// and data either way, and the pause, the reply's steps and `SendNow` behave alike. A session
/// accepted on an implicit-TLS listener takes the handshake first and hears its banner
/// afterwards; a plain one is upgraded by the protocol's command through `StartTls`. A
/// handshake waits on the loop like any read, counts as activity for the idle timeout, and when
/// it fails, or is not done within the command timeout, only its session ends.
class MailSession : private ConnectionEvents {
public:
    /// The longest command line by default, and the size of a stream's piece.
    static constexpr std::size_t kBufferSize = 3000;

    MailSession(EventLoop& loop, const ServiceTraits& service, const SessionOptions& options);
    virtual ~MailSession();
    MailSession(const MailSession&) = delete;
    MailSession& operator=(const MailSession&) = delete;

    [[nodiscard]] const ServiceTraits& Service() const { return m_service; }
    /// The client's address (none for a connection without one, such as a socketpair).
    [[nodiscard]] ClientAddress PeerAddress() const { return m_peer; }

    /// No session is served more than this in one turn of the loop; then the others get theirs
    /// before it goes on, so a client that floods commands or data cannot starve them.
    static constexpr int kTurnCommands = 8;
    static constexpr std::size_t kTurnBytes = 256 * 1024;
    /// The first word of the session's log lines, as its service names itself.
    [[nodiscard]] std::string_view ServiceName() const { return m_service.name; }
    /// The number the registry gave the session; its log lines carry it as `session=`.
    [[nodiscard]] std::uint64_t Id() const { return m_id; }
    /// "address:port" of the client, as the log shows it ("[address]:port" for IPv6).
    [[nodiscard]] std::string_view ClientEndpoint() const { return m_client; }
    /// The client host as the log's budget counts it (`LogEvent::Budgeted`): lines a client
    /// can repeat at will are marked with it.
    [[nodiscard]] std::string_view LogBudget() const { return m_logBudget; }

protected:
    // ---- the protocol side ----

    /// The greeting a client hears first; empty for a protocol where the client speaks first
    /// (HTTP): then nothing is sent.
    [[nodiscard]] virtual std::string_view Banner() const = 0;
    /// One complete command line at the head of the input, LF included. Must leave exactly
    /// one reply (`Reply` or `ReplyLine`) or ask for a literal; may enter the data phase or
    /// start a stream. A protocol whose requests span several lines (HTTP's head) leaves none
    /// until the last: the next line then comes at once.
    virtual void InterpretCommand(std::string_view line) = 0;
    /// The answer to a line longer than `LineLimit`; the line is discarded.
    virtual void RejectLongLine() = 0;
    /// The longest command line taken, LF included; asked once, when the session opens.
    [[nodiscard]] virtual std::size_t LineLimit() const { return kBufferSize; }
    /// The name of the command on `line`, as failure lines in the log show it (`command=`).
    [[nodiscard]] virtual std::string CommandName(std::string_view line) const = 0;
    /// `line` (without its line end) as the debug log may show it: a protocol masks whatever
    /// is secret there (a password, a SASL response).
    [[nodiscard]] virtual std::string LineForLog(std::string_view line) const {
        return std::string(line);
    }

    struct DataResult {
        std::size_t used = 0; ///< bytes that belong to the data; the rest are commands again
        bool ended = false;   ///< the data ended with them: the data phase is over
    };
    /// Data phase: raw bytes as they arrive.
    virtual DataResult ReceiveMessageData(std::span<const char> bytes);
    /// A literal's bytes, as they arrive, exactly as many as `ExpectLiteral` announced;
    /// `complete` with the last of them (also for an empty literal).
    virtual void ReceiveLiteral(std::span<const char> /*bytes*/, bool /*complete*/) {}
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
    /// In place of a reply: the command line ended in a literal of `size` bytes. With a
    /// `continuation` (a synchronising literal), that line leaves at once to invite the bytes;
    /// empty, the client sends them unasked. The bytes go to `ReceiveLiteral`, and then the
    /// command's next line to `InterpretCommand`. The command timeout does not run meanwhile:
    /// the idle timeout still does.
    void ExpectLiteral(std::uint64_t size, std::string_view continuation);
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
    /// Adds `text` plus CR LF to the reply being made for this command; the line that ends it
    /// still comes with `ReplyLine` (or a `Resume`), which keeps what was added before it.
    void AddLine(std::string_view text);
    /// Like `ReplyLine`, but the reply leaves at once, without the pause.
    void ReplyLineNow(std::string_view text);
    /// A line nobody asked for (new mail while the client waits): it leaves at once, or right
    /// after the reply now pending. Never during a stream, the data phase or a handshake; the
    /// protocol says when it is allowed.
    void Push(std::string_view text);
    /// Leaves the current command unanswered for now: nothing more is interpreted or read
    /// until `Resume` brings its reply (from a callback of the loop).
    void Hold();
    /// Ends a `Hold`: `text` is the reply and leaves at once, and the cycle goes on. The
    /// session may end within the call.
    void Resume(std::string_view text);
    /// Like `Resume`, but the reply leaves no earlier than the pause after the held command.
    void ResumeAfterPause(std::string_view text);
    /// Fills the reply buffer with raw bytes (a piece of a stream); returns the writable area,
    /// `kBufferSize` bytes.
    std::span<char> ChunkBuffer();
    void SetChunk(std::size_t length);
    /// Bulk bytes straight to the client, without the reply buffer, while no reply is waiting
    /// to leave; returns how many the connection took now (0 when it takes none).
    std::size_t SendNow(std::span<const char> bytes);

    [[nodiscard]] EventLoop& Loop() { return m_loop; }
    [[nodiscard]] const SessionOptions& Options() const { return m_options; }
    /// From now on the session may sit idle this long (zero: for ever) instead of the options'
    /// idle timeout: a protocol that lets a logged-in client wait longer than a stranger.
    void SetIdleTimeout(std::chrono::seconds timeout);
    /// What the server knows of every client address (sessions, guessing penalties).
    [[nodiscard]] ClientTable& Clients();

    /// The first word of `line` up to a blank, at most `length` bytes, letters upper-cased:
    /// how the line-oriented protocols name a command.
    [[nodiscard]] static std::string LeadingWord(std::string_view line, std::size_t length);

private:
    friend class SessionRegistry;

    // ConnectionEvents
    void OnReadable() override;
    void OnWritable() override;
    void OnClosed(CloseKind kind) override;

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
    /// Receives from the connection, counting what came.
    ssize_t Receive(void* buffer, std::size_t length, int flags = 0);
    void SendBanner(); // none when `Banner` is empty
    void BeginHandshake();
    bool ContinueHandshake(); // false while it waits for the client
    /// Moves encrypted bytes waiting for room on; false when they must wait (or it failed).
    bool FlushTls();
    /// Asks for a write notification while encrypted bytes wait for room in the socket.
    void WatchBacklog();
    bool InterpretBuffered();
    void InterpretLine(std::size_t length);
    /// Hands buffered or peeked bytes to `ReceiveMessageData` (or `ReceiveLiteral`); how many
    /// it used.
    std::size_t TakeData(std::span<const char> bytes);
    [[nodiscard]] bool InDataPhase() const { return m_dataPhase || m_literalPending; }
    void Consume(std::size_t count);
    /// The reply starts over with `text` (appended to what `AddLine` gathered).
    void SetReply(std::string_view text, EventLoop::Clock::time_point sendAt);
    [[nodiscard]] bool ReplyWaiting() const { return m_replySent < m_reply.size(); }
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
    /// The handshake took longer than the command timeout.
    void HandshakeTimedOut();

    EventLoop& m_loop;
    const ServiceTraits& m_service;
    const SessionOptions& m_options;
    Connection m_connection;
    Timer m_pauseTimer;
    Timer m_idleTimer;
    std::chrono::seconds m_idleTimeout = m_options.idleTimeout;
    Timer m_turnTimer;      // the next turn of a session that used up its share
    Timer m_lineTimer;      // the command timeout
    Timer m_handshakeTimer; // a handshake, too, must be done within the command timeout
    EventLoop::Clock::time_point m_lastActivity;
    EventLoop::Clock::time_point m_sendAt;
    SessionRegistry* m_registry = nullptr;
    std::uint64_t m_id = 0;
    ClientAddress m_peer;
    int m_turnCommands = 0;                  // commands interpreted in this turn
    std::size_t m_turnBytes = 0;             // bytes received and sent in this turn
    std::string m_client;                    // "address:port"
    std::string m_logBudget;                 // the client host, see LogBudget
    EventLoop::Clock::time_point m_openedAt; // for the duration in the close event
    std::uint64_t m_bytesIn = 0;             // taken from the client, after decryption
    std::uint64_t m_bytesOut = 0;            // handed to the connection, before encryption
    std::string m_command;                   // the command being answered, for failure lines
    bool m_closeLogged = false;

    static constexpr std::size_t kFirstReceiveBuffer = 4096;
    std::vector<char> m_recvBuf; // pending input, growing up to `LineLimit`; a zero follows it
    std::size_t m_recvLimit = kBufferSize;
    std::size_t m_recvCount = 0;
    std::string m_reply; // the reply (or stream piece) being sent
    std::size_t m_replySent = 0;
    std::string m_gathered; // lines `AddLine` put before the reply's last one
    std::uint64_t m_literalLeft = 0;
    bool m_literalPending = false; // the literal's bytes (maybe none) have not all come
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
    TlsState m_tlsState = TlsState::Plain;
    bool m_bannerAfterHandshake = false; // implicit TLS
};

} // namespace brevin
