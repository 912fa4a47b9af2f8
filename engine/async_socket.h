#pragma once

#include "base/unique_fd.h"
#include "engine/client_address.h"
#include "engine/event_loop.h"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace brevin {

/// What the owner of an `AsyncSocket` wants to be told about; combine with `|`.
enum class Interest : unsigned {
    None = 0,
    Read = 1U << 0,
    Write = 1U << 1,
    Accept = 1U << 2,
    Close = 1U << 3,
};

constexpr Interest operator|(Interest a, Interest b) {
    return static_cast<Interest>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}
constexpr Interest operator&(Interest a, Interest b) {
    return static_cast<Interest>(static_cast<unsigned>(a) & static_cast<unsigned>(b));
}
constexpr Interest operator~(Interest a) {
    return static_cast<Interest>(~static_cast<unsigned>(a));
}
constexpr Interest& operator|=(Interest& a, Interest b) {
    return a = a | b;
}
constexpr Interest& operator&=(Interest& a, Interest b) {
    return a = a & b;
}
/// Whether `set` holds any bit of `bits`.
constexpr bool Has(Interest set, Interest bits) {
    return (set & bits) != Interest::None;
}

/// How a connection ended, as a close notification tells it.
enum class CloseKind {
    InputEnded, ///< the peer sends nothing more, but may still read (a half close)
    Lost,       ///< reset or gone both ways: nothing more can go either way
};

/// A non-blocking TCP socket whose readiness arrives as notifications on the loop thread.
///
/// Notifications behave like one-shot events rather than level-triggered ones:
/// - a read notification comes again only after `Receive` has been called and bytes are
///   (still or again) pending;
/// - an accept notification comes again only after `Accept`;
/// - a write notification comes again only after `AsyncSelect` or after a `Send` that could
///   not take everything;
/// - a close notification comes when the peer closes or the connection fails; the bytes that
///   were pending are delivered by a read notification first. After an `InputEnded` close the
///   socket still tells when there is room to write (a half-closed client may still read), and
///   a `Lost` close follows if the connection then breaks; after a `Lost` close nothing more
///   comes.
/// Setting an interest whose condition already holds gives a notification promptly. Once the
/// socket is closed or destroyed, nothing still queued for it is delivered.
///
/// When the loop refuses to watch the socket any longer, the socket counts as failed: every
/// later `Receive` and `Send` fails with that error, and an owner that watches `Close` gets a
/// `Lost` close once the current callback has returned.
///
/// The object owns its descriptor.
class AsyncSocket {
public:
    explicit AsyncSocket(EventLoop& loop)
        : m_loop(loop), m_failure(loop, [this] { DeliverFailure(); }) {}
    virtual ~AsyncSocket();
    AsyncSocket(const AsyncSocket&) = delete;
    AsyncSocket& operator=(const AsyncSocket&) = delete;

    /// Makes a TCP socket, registers it with `mask`, binds it to `address` (IPv4 dotted
    /// decimal, or IPv6, which then takes IPv6 only) and `port`, with SO_REUSEADDR. On failure
    /// the socket is closed again and `LastError` tells why.
    bool Create(std::uint16_t port, Interest mask, const char* address);
    /// Why `Create` could not set SO_REUSEADDR (the socket serves all the same); 0 when it did.
    [[nodiscard]] int ReuseError() const { return m_reuseError; }
    bool Listen(int backlog);
    /// Takes one pending connection; an invalid descriptor (and `LastError`) when none could
    /// be taken. `peer`, when given, receives the client's address.
    UniqueFd Accept(ClientAddress* peer = nullptr);
    /// Takes over a connected descriptor (an accepted one, or one end of a socketpair) and
    /// watches it with `mask`. False, with the descriptor closed, when the loop cannot watch it.
    bool Attach(UniqueFd fd, Interest mask);
    bool AsyncSelect(Interest mask);
    /// Sends small pieces at once instead of waiting to fill a segment.
    bool SetNoDelay();

    /// Counts moved, or -1 with `LastError` set (EAGAIN when nothing can move now). `flags`
    /// as for recv(2): MSG_PEEK looks without taking.
    ssize_t Receive(void* buffer, std::size_t length, int flags = 0);
    ssize_t Send(const void* buffer, std::size_t length);
    /// The port the socket is bound to (useful after binding port 0).
    [[nodiscard]] std::uint16_t LocalPort() const;

    void Close();
    [[nodiscard]] bool IsOpen() const { return m_fd.Valid(); }
    [[nodiscard]] int LastError() const { return m_lastError; }

protected:
    virtual void OnReceive() {}
    virtual void OnSend() {}
    virtual void OnAccept() {}
    virtual void OnClose(CloseKind /*kind*/) {}

private:
    /// Sets a boolean socket option; false with `LastError` set.
    bool TurnOn(int level, int option);
    friend class EventLoop;

    [[nodiscard]] int PendingBytes() const;
    void SyncInterest();
    void DeliverFailure();
    /// Called by the loop with what epoll reported; handlers may destroy the socket.
    void HandleEvents(std::uint32_t events, std::uint64_t token);

    EventLoop& m_loop;
    UniqueFd m_fd;
    int m_lastError = 0;
    int m_reuseError = 0;
    int m_failedWith = 0; // the loop refused to watch the socket; 0 while it watches
    Deferred m_failure;   // tells the owner of that failure outside the call that met it
    std::uint64_t m_token = 0;
    Interest m_mask = Interest::None;  // interest set by the owner
    Interest m_armed = Interest::None; // interest bits not yet consumed by a notification
    std::uint32_t m_events = 0;        // what epoll currently watches
    bool m_registered = false;
    enum class Closed : std::uint8_t { No, InputEnded, Lost };
    Closed m_closed = Closed::No; // the close notification delivered so far
    bool m_inHandler = false;     // interest is synced once, after the handler returns
};

} // namespace brevin
