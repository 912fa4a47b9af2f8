#pragma once

#include "base/unique_fd.h"
#include "engine/async_socket.h"
#include "engine/client_address.h"
#include "engine/event_loop.h"

#include <cstddef>
#include <memory>
#include <string>
#include <sys/types.h>

namespace brevin {

class TlsContext;
class TlsChannel;

/// What a connection tells its owner; called on the loop thread.
class ConnectionEvents {
public:
    virtual void OnReadable() = 0;
    virtual void OnWritable() = 0;
    virtual void OnClosed(CloseKind kind) = 0;

protected:
    ~ConnectionEvents() = default;
};

/// One client connection: the socket and, once encryption has begun, the TLS channel over it.
/// The owner reads and writes plain bytes either way; whether they travel encrypted is this
/// object's business alone.
class Connection {
public:
    Connection(EventLoop& loop, ConnectionEvents& events);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    /// Takes over an accepted descriptor; false (and closed) when the loop cannot watch it.
    bool Attach(UniqueFd fd);
    /// Also asks for a write notification while `writes` (a send that could not take all, or
    /// encrypted bytes waiting for room).
    void WatchWrites(bool writes);
    void SetNoDelay() { m_socket.SetNoDelay(); }

    /// As recv(2), on plain bytes (decrypted ones when encrypted): MSG_PEEK looks without
    /// taking. -1 with `LastError` EAGAIN when nothing can be read now.
    ssize_t Receive(void* buffer, std::size_t length, int flags = 0);
    /// Plain bytes out; how many were taken, or -1 with `LastError`.
    ssize_t Send(const void* buffer, std::size_t length);
    /// Moves encrypted bytes that wait for room on to the socket; false when the connection
    /// failed.
    bool Flush();
    /// Encrypted bytes still wait for room in the socket.
    [[nodiscard]] bool Backlogged() const;
    [[nodiscard]] int LastError() const;

    /// From now on every byte goes through encryption; the server's side of the handshake
    /// then runs with `Handshake`.
    void BeginTls(const TlsContext& context);
    enum class Handshake { Done, Waiting, Failed };
    Handshake ContinueHandshake();
    /// Why the handshake or a record failed, in OpenSSL's words.
    [[nodiscard]] std::string TlsFailureReason() const;

    /// Says goodbye to an encrypting peer (never waits) and closes the socket.
    void Close();

private:
    class Socket final : public AsyncSocket {
    public:
        Socket(EventLoop& loop, ConnectionEvents& events) : AsyncSocket(loop), m_events(events) {}

    private:
        void OnReceive() override { m_events.OnReadable(); }
        void OnSend() override { m_events.OnWritable(); }
        void OnClose(CloseKind kind) override { m_events.OnClosed(kind); }

        ConnectionEvents& m_events;
    };

    Socket m_socket;
    std::unique_ptr<TlsChannel> m_tls;
};

} // namespace brevin
