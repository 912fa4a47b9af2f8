#include "engine/async_socket.h"

#include "engine/event_loop.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace brevin {

namespace {
constexpr std::uint32_t kClosedEvents = EPOLLHUP | EPOLLERR | EPOLLRDHUP;
} // namespace

AsyncSocket::~AsyncSocket() {
    Close();
}

bool AsyncSocket::Attach(UniqueFd fd, Interest mask) {
    Close();
    m_fd = std::move(fd);
    m_mask = mask;
    m_armed = Interest::Read | Interest::Write | Interest::Accept;
    m_events = 0;
    m_registered = false;
    m_closed = Closed::No;
    m_failedWith = 0;
    m_token = m_loop.Register(this);
    SyncInterest();
    if (m_failedWith != 0) {
        // Never watched: nobody would hear of this connection again.
        Close();
        m_lastError = std::exchange(m_failedWith, 0);
        return false;
    }
    return true;
}

bool AsyncSocket::Create(std::uint16_t port, Interest mask, const char* address) {
    sockaddr_storage bound{};
    socklen_t boundLength = 0;
    if (address != nullptr) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&bound);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&bound);
        if (inet_pton(AF_INET, address, &v4->sin_addr) == 1) {
            v4->sin_family = AF_INET;
            v4->sin_port = htons(port);
            boundLength = sizeof *v4;
        } else if (inet_pton(AF_INET6, address, &v6->sin6_addr) == 1) {
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(port);
            boundLength = sizeof *v6;
        }
    }
    if (boundLength == 0) {
        m_lastError = EINVAL;
        return false;
    }
    UniqueFd fd(socket(bound.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) {
        m_lastError = errno;
        return false;
    }
    const int on = 1;
    // An IPv6 socket takes only IPv6, whatever net.ipv6.bindv6only says: IPv4 has sockets of
    // its own, and "::" beside "0.0.0.0" must not clash with it.
    if (bound.ss_family == AF_INET6 &&
        setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) {
        m_lastError = errno;
        return false;
    }
    // Set before the bind: on this platform the option only lets a restarted server bind
    // while connections of its predecessor linger in TIME_WAIT; it never shares a live port.
    m_reuseError = setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 ? 0 : errno;
    if (bind(fd.Get(), reinterpret_cast<const sockaddr*>(&bound), boundLength) != 0) {
        m_lastError = errno;
        return false;
    }
    return Attach(std::move(fd), mask);
}

bool AsyncSocket::Listen(int backlog) {
    if (listen(m_fd.Get(), backlog) != 0) {
        m_lastError = errno;
        return false;
    }
    return true;
}

bool AsyncSocket::TurnOn(int level, int option) {
    const int on = 1;
    if (setsockopt(m_fd.Get(), level, option, &on, sizeof on) != 0) {
        m_lastError = errno;
        return false;
    }
    return true;
}

bool AsyncSocket::SetNoDelay() {
    return TurnOn(IPPROTO_TCP, TCP_NODELAY);
}

UniqueFd AsyncSocket::Accept(ClientAddress* peer) {
    m_armed |= Interest::Accept;
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    UniqueFd fd(accept4(m_fd.Get(), reinterpret_cast<sockaddr*>(&from), &length,
                        SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd) {
        m_lastError = errno;
    }
    if (peer != nullptr) {
        *peer = fd ? ClientAddress::FromSocket(from) : ClientAddress();
    }
    SyncInterest();
    return fd;
}

bool AsyncSocket::AsyncSelect(Interest mask) {
    if (!m_fd) {
        m_lastError = EBADF;
        return false;
    }
    m_mask = mask;
    m_armed |= Interest::Write;
    SyncInterest();
    return true;
}

ssize_t AsyncSocket::Receive(void* buffer, std::size_t length, int flags) {
    if (m_failedWith != 0) {
        m_lastError = m_failedWith;
        return -1;
    }
    m_armed |= Interest::Read;
    const ssize_t got = recv(m_fd.Get(), buffer, length, flags);
    if (got < 0) {
        m_lastError = errno;
    }
    SyncInterest();
    return got;
}

ssize_t AsyncSocket::Send(const void* buffer, std::size_t length) {
    if (m_failedWith != 0) {
        m_lastError = m_failedWith;
        return -1;
    }
    const ssize_t sent = send(m_fd.Get(), buffer, length, MSG_NOSIGNAL);
    if (sent < 0) {
        m_lastError = errno;
    }
    if (sent < 0 || static_cast<std::size_t>(sent) < length) {
        // The socket is full: tell the owner when it has room again.
        m_armed |= Interest::Write;
        SyncInterest();
    }
    return sent;
}

int AsyncSocket::PendingBytes() const {
    int pending = 0;
    if (!m_fd || ioctl(m_fd.Get(), FIONREAD, &pending) != 0) {
        return 0;
    }
    return pending;
}

std::uint16_t AsyncSocket::LocalPort() const {
    sockaddr_storage addr{};
    socklen_t length = sizeof addr;
    if (!m_fd || getsockname(m_fd.Get(), reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        return 0;
    }
    // Both families keep the port at the same place, in network order.
    return ntohs(reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
}

void AsyncSocket::Close() {
    if (!m_fd) {
        return;
    }
    m_loop.Unregister(m_token);
    m_fd.Reset(); // also removes it from epoll
    m_failure.Cancel();
    m_registered = false;
    m_events = 0;
    m_inHandler = false; // a handler that closes its own socket hears nothing more
}

void AsyncSocket::SyncInterest() {
    if (!m_fd || m_inHandler || m_failedWith != 0) {
        return; // the handler loop syncs once the handler returns
    }
    if (m_closed == Closed::Lost) {
        // A dead connection reports HUP whatever the interest: stop watching it altogether.
        if (m_registered) {
            m_loop.RemoveInterest(m_fd.Get());
            m_registered = false;
        }
        return;
    }
    // Once the input has ended it is always "readable" (at its end): only room to write, and
    // the breakage that epoll reports anyway, are still worth a notification.
    const bool inputOpen = m_closed == Closed::No;
    std::uint32_t events = 0;
    if (inputOpen && ((Has(m_mask, Interest::Read) && Has(m_armed, Interest::Read)) ||
                      (Has(m_mask, Interest::Accept) && Has(m_armed, Interest::Accept)))) {
        events |= EPOLLIN;
    }
    if (Has(m_mask, Interest::Write) && Has(m_armed, Interest::Write)) {
        events |= EPOLLOUT;
    }
    if (inputOpen && Has(m_mask, Interest::Close)) {
        events |= EPOLLRDHUP;
    }
    if (m_registered && events == m_events) {
        return;
    }
    if (!m_loop.UpdateInterest(m_fd.Get(), m_token, events, m_registered)) {
        // Unwatched, the socket would wait forever for a notification: it counts as failed.
        m_failedWith = errno;
        m_lastError = m_failedWith;
        if (Has(m_mask, Interest::Close)) {
            m_failure.Post();
        }
        return;
    }
    m_registered = true;
    m_events = events;
}

void AsyncSocket::DeliverFailure() {
    if (m_fd && m_closed != Closed::Lost) {
        m_closed = Closed::Lost;
        OnClose(CloseKind::Lost);
    }
}

void AsyncSocket::HandleEvents(std::uint32_t events, std::uint64_t token) {
    EventLoop& loop = m_loop;
    const auto alive = [&loop, token] {
        const auto slot = static_cast<std::uint32_t>(token >> 32);
        return loop.m_slots[slot].generation == static_cast<std::uint32_t>(token) &&
               loop.m_slots[slot].socket != nullptr;
    };
    m_inHandler = true;
    if ((events & EPOLLIN) != 0U) {
        if (Has(m_mask, Interest::Accept) && Has(m_armed, Interest::Accept)) {
            m_armed &= ~Interest::Accept;
            OnAccept();
            if (!alive()) {
                return;
            }
        } else if (Has(m_mask, Interest::Read) && Has(m_armed, Interest::Read) &&
                   PendingBytes() > 0) {
            m_armed &= ~Interest::Read;
            OnReceive();
            if (!alive()) {
                return;
            }
        }
    }
    if ((events & EPOLLOUT) != 0U && Has(m_mask, Interest::Write) &&
        Has(m_armed, Interest::Write)) {
        m_armed &= ~Interest::Write;
        OnSend();
        if (!alive()) {
            return;
        }
    }
    if ((events & (EPOLLHUP | EPOLLERR)) != 0U && m_closed == Closed::InputEnded) {
        // The half-closed connection broke while its replies were still going out.
        m_closed = Closed::Lost;
        if (Has(m_mask, Interest::Close)) {
            m_inHandler = false;
            OnClose(CloseKind::Lost);
            if (!alive()) {
                return;
            }
        }
    } else if ((events & kClosedEvents) != 0U && m_closed == Closed::No) {
        // Bytes that came before the close go to a read notification first, while the owner
        // still takes them; after that (or when it takes no more) the close is delivered.
        const bool readsPending = Has(m_mask, Interest::Read) && Has(m_armed, Interest::Read) &&
                                  (events & (EPOLLHUP | EPOLLERR)) == 0U && PendingBytes() > 0;
        if (!readsPending) {
            int error = 0;
            socklen_t length = sizeof error;
            getsockopt(m_fd.Get(), SOL_SOCKET, SO_ERROR, &error, &length);
            // HUP: both directions are gone, not just the peer's sending.
            const bool lost = error != 0 || (events & EPOLLHUP) != 0U;
            m_closed = lost ? Closed::Lost : Closed::InputEnded;
            if (Has(m_mask, Interest::Close)) {
                m_inHandler = false;
                OnClose(lost ? CloseKind::Lost : CloseKind::InputEnded);
                if (!alive()) {
                    return;
                }
            }
        }
    }
    m_inHandler = false;
    SyncInterest();
}

} // namespace brevin
