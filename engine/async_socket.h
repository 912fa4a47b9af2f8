#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace brevin {

class EventLoop;

/// Interest bits of `AsyncSocket::AsyncSelect`.
enum Interest : unsigned {
    kRead = 1,
    kWrite = 2,
    kAccept = 8,
    kClose = 32,
};

/// A non-blocking TCP socket whose readiness arrives as notifications on the loop thread.
///
/// Notifications behave like one-shot events rather than level-triggered ones:
/// - a read notification comes again only after `Receive` has been called and bytes are
///   (still or again) pending;
/// - an accept notification comes again only after `Accept`;
/// - a write notification comes again only after `AsyncSelect` or after a `Send` that could
///   not take everything;
/// - a close notification comes once, when the peer closes or the connection fails; the bytes
///   that were pending are delivered by a read notification first. Its error code is 0 when
///   only the peer's sending side ended (it may still read), non-zero when nothing more can
///   go either way.
/// Setting an interest whose condition already holds gives a notification promptly. Once the
/// socket is closed or destroyed, nothing still queued for it is delivered.
///
/// The object owns its descriptor.
class AsyncSocket {
public:
    explicit AsyncSocket(EventLoop& loop) : m_loop(loop) {}
    virtual ~AsyncSocket();
    AsyncSocket(const AsyncSocket&) = delete;
    AsyncSocket& operator=(const AsyncSocket&) = delete;

    /// Makes a TCP socket, registers it with `mask`, binds it to the dotted-decimal IPv4
    /// `address` and `port`. On failure the socket is closed again and `LastError` tells why.
    bool Create(std::uint16_t port, unsigned mask, const char* address);
    bool Listen(int backlog);
    /// Takes one pending connection into `into` (not yet open) and registers it with this
    /// socket's mask until `into.AsyncSelect` sets another.
    bool Accept(AsyncSocket& into);
    bool AsyncSelect(unsigned mask);
    /// Takes over an already connected descriptor (one end of a socketpair, say) as if it had
    /// been accepted; for driving sessions without a listener.
    void Adopt(int fd, unsigned mask) { Attach(fd, mask); }
    bool SetReuseAddress();

    /// Counts moved, or -1 with `LastError` set (EAGAIN when nothing can move now). `flags`
    /// as for recv(2): MSG_PEEK looks without taking.
    ssize_t Receive(void* buffer, std::size_t length, int flags = 0);
    ssize_t Send(const void* buffer, std::size_t length);
    /// Bytes waiting to be received.
    [[nodiscard]] int PendingBytes() const;
    /// The port the socket is bound to (useful after binding port 0).
    [[nodiscard]] std::uint16_t LocalPort() const;

    void Close();
    [[nodiscard]] bool IsOpen() const { return m_fd >= 0; }
    [[nodiscard]] int Handle() const { return m_fd; }
    [[nodiscard]] int LastError() const { return m_lastError; }
    [[nodiscard]] EventLoop& Loop() const { return m_loop; }

protected:
    virtual void OnReceive(int /*error*/) {}
    virtual void OnSend(int /*error*/) {}
    virtual void OnAccept(int /*error*/) {}
    virtual void OnClose(int /*error*/) {}

private:
    friend class EventLoop;

    void Attach(int fd, unsigned mask);
    void SyncInterest();
    /// Called by the loop with what epoll reported; handlers may destroy the socket.
    void HandleEvents(std::uint32_t events, std::uint64_t token);

    EventLoop& m_loop;
    int m_fd = -1;
    int m_lastError = 0;
    std::uint64_t m_token = 0;
    unsigned m_mask = 0;        // interest set by the owner
    unsigned m_armed = 0;       // interest bits not yet consumed by a notification
    std::uint32_t m_events = 0; // what epoll currently watches
    bool m_registered = false;
    bool m_closeDelivered = false;
    bool m_inHandler = false; // interest is synced once, after the handler returns
};

} // namespace brevin
