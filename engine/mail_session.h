#pragma once

#include "engine/async_socket.h"
#include "engine/event_loop.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace brevin {

/// Which service a listener offers; copied into every session it accepts.
enum class ServiceKind : std::int32_t {
    SMTP = 1,
    POP3 = 2,
};

/// Timing of every session, from the command line.
struct SessionOptions {
    /// No reply leaves earlier than this after the command (or the accept) that caused it.
    std::chrono::milliseconds pause{100};
    /// A session that moves no byte for this long is closed; zero means never.
    std::chrono::seconds idleTimeout{600};
};

class MailSession;

/// The connection of one session; forwards its notifications to the session that embeds it.
class SessionSocket final : public AsyncSocket {
public:
    SessionSocket(EventLoop& loop, MailSession& session) : AsyncSocket(loop), m_session(session) {}

private:
    void OnReceive(int error) override;
    void OnSend(int error) override;
    void OnClose(int error) override;

    MailSession& m_session;
};

/// One accepted connection and its read/reply cycle. The protocol lives in a subclass.
///
/// The cycle: bytes are appended to `m_recvBuf`; each complete line (up to LF) is handed to
/// `InterpretCommand`, which leaves exactly one reply (or holds the cycle until a callback
/// brings it: `Hold`, `Resume`); the reply leaves after the pause, and only then is the next
/// buffered line interpreted. Two hand-overs leave the cycle for a while:
/// in the data phase (`m_dataPhase`) raw input goes to `ReceiveMessageData`, and while
/// `m_streaming` is set the output is produced piece by piece by `NextChunk`.
///
/// A session owns itself: the listener creates it, and it deletes itself when the client
/// closes the connection, when the connection fails, or when it has been idle too long.
class MailSession {
public:
    static constexpr std::size_t kBufferSize = 3000;

    MailSession(EventLoop& loop, ServiceKind kind, const SessionOptions& options);
    virtual ~MailSession();
    MailSession(const MailSession&) = delete;
    MailSession& operator=(const MailSession&) = delete;

    SessionSocket& Socket() { return m_socket; }
    [[nodiscard]] ServiceKind Kind() const { return m_kind; }

    /// Called once the connection has been accepted into `Socket()`: queues the banner, which
    /// leaves after the pause.
    void Begin(std::string_view banner);

protected:
    // ---- the protocol side ----

    /// One complete command line at the head of the input, LF included. Must leave exactly
    /// one reply (`Reply` or `ReplyLine`); may enter the data phase or start a stream.
    virtual void InterpretCommand(std::string_view line) = 0;
    /// The answer to a line that does not fit the receive buffer; the line is discarded.
    virtual void RejectLongLine() = 0;
    /// Data phase: raw bytes as they arrive. Returns how many of them belong to the data;
    /// the rest are commands again. Ends the phase itself by clearing `m_dataPhase`.
    virtual std::size_t ReceiveMessageData(std::span<const char> bytes);
    /// Streaming: puts the next piece of a long reply into the reply buffer (`SetChunk`);
    /// returns false when nothing is left, which ends the stream.
    virtual bool NextChunk();

    // ---- replies ----

    /// Replaces the pending reply with `text` plus CR LF; it leaves after the pause.
    void ReplyLine(std::string_view text);
    /// Replaces the pending reply with `text` as is (CR LF included by the caller).
    void Reply(std::string_view text);
    /// Like `ReplyLine`, but the reply leaves at once, without the pause.
    void ReplyLineNow(std::string_view text);
    /// Like `ReplyLine`, but the reply leaves no earlier than `delay` from now (nor than the
    /// pause); later commands wait behind it. For slowing down password guessing.
    void ReplyLineAfter(std::string_view text, std::chrono::milliseconds delay);
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

    [[nodiscard]] EventLoop& Loop() { return m_loop; }
    [[nodiscard]] const SessionOptions& Options() const { return m_options; }

    bool m_dataPhase = false;
    bool m_streaming = false;

private:
    friend class SessionSocket;

    void Drive();
    bool SendPending(); // false when the socket took less than all
    bool ReadMore();    // false when nothing more could be read
    bool ReadData();    // ReadMore in the data phase, with the input buffer empty
    bool ReadFailed(ssize_t got);
    bool InterpretBuffered();
    void Consume(std::size_t count);
    void QueueReply(std::size_t length, EventLoop::Clock::time_point sendAt);
    void Touch() { m_lastActivity = m_loop.Now(); }
    void OnIdleCheck();
    void OnPeerClosed();
    void Destroy();

    EventLoop& m_loop;
    const ServiceKind m_kind;
    const SessionOptions& m_options;
    SessionSocket m_socket;
    Timer m_pauseTimer;
    Timer m_idleTimer;
    EventLoop::Clock::time_point m_lastActivity;
    EventLoop::Clock::time_point m_sendAt;

    char m_recvBuf[kBufferSize + 1]{}; // pending input; a zero byte always follows it
    std::size_t m_recvCount = 0;
    char m_replyBuf[kBufferSize + 1]{}; // the reply (or stream piece) being sent
    std::size_t m_replyLength = 0;
    std::size_t m_replySent = 0;
    bool m_writeBlocked = false;   // waiting for room in the socket
    bool m_discardingLine = false; // inside an over-long line, up to its LF
    bool m_peerClosed = false;     // the connection failed or the peer closed it
    bool m_inputEnded = false;     // the peer sent its last byte; answer what it sent, then end
    bool m_driving = false;
    bool m_held = false; // a command's reply comes later, from elsewhere
    EventLoop::Clock::time_point m_heldSince;
};

} // namespace brevin
