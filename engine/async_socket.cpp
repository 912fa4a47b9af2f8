#include "engine/async_socket.h"

#include "engine/event_loop.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace brevin {

namespace {
constexpr std::uint32_t kClosedEvents = EPOLLHUP | EPOLLERR | EPOLLRDHUP;
} // namespace

AsyncSocket::~AsyncSocket() {
    Close();
}

void AsyncSocket::Attach(int fd, unsigned mask) {
    m_fd = fd;
    m_mask = mask;
    m_armed = kRead | kWrite | kAccept;
    m_events = 0;
    m_registered = false;
    m_closeDelivered = false;
    m_token = m_loop.Register(this);
    SyncInterest();
}

bool AsyncSocket::Create(std::uint16_t port, unsigned mask, const char* address) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        m_lastError = errno;
        return false;
    }
    Attach(fd, mask);
    // Set before the bind: on this platform the option only lets a restarted server bind
    // while connections of its predecessor linger in TIME_WAIT; it never shares a live port.
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (address == nullptr || inet_pton(AF_INET, address, &addr.sin_addr) != 1) {
        Close();
        m_lastError = EINVAL;
        return false;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const int error = errno;
        Close();
        m_lastError = error;
        return false;
    }
    return true;
}

bool AsyncSocket::Listen(int backlog) {
    if (listen(m_fd, backlog) != 0) {
        m_lastError = errno;
        return false;
    }
    return true;
}

bool AsyncSocket::SetReuseAddress() {
    const int on = 1;
    if (setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        m_lastError = errno;
        return false;
    }
    return true;
}

bool AsyncSocket::Accept(AsyncSocket& into) {
    m_armed |= kAccept;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd =
        accept4(m_fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        m_lastError = errno;
        SyncInterest();
        return false;
    }
    SyncInterest();
    into.Attach(fd, m_mask);
    return true;
}

bool AsyncSocket::AsyncSelect(unsigned mask) {
    if (m_fd < 0) {
        m_lastError = EBADF;
        return false;
    }
    m_mask = mask;
    m_armed |= kWrite;
    SyncInterest();
    return true;
}

ssize_t AsyncSocket::Receive(void* buffer, std::size_t length, int flags) {
    m_armed |= kRead;
    const ssize_t got = recv(m_fd, buffer, length, flags);
    if (got < 0) {
        m_lastError = errno;
    }
    SyncInterest();
    return got;
}

ssize_t AsyncSocket::Send(const void* buffer, std::size_t length) {
    const ssize_t sent = send(m_fd, buffer, length, MSG_NOSIGNAL);
    if (sent < 0) {
        m_lastError = errno;
    }
    if (sent < 0 || static_cast<std::size_t>(sent) < length) {
        // The socket is full: tell the owner when it has room again.
        m_armed |= kWrite;
        SyncInterest();
    }
    return sent;
}

int AsyncSocket::PendingBytes() const {
    int pending = 0;
    if (m_fd < 0 || ioctl(m_fd, FIONREAD, &pending) != 0) {
        return 0;
    }
    return pending;
}

std::uint16_t AsyncSocket::LocalPort() const {
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    if (m_fd < 0 || getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        return 0;
    }
    return ntohs(addr.sin_port);
}

void AsyncSocket::Close() {
    if (m_fd < 0) {
        return;
    }
    m_loop.Unregister(m_token);
    close(m_fd); // also removes it from epoll
    m_fd = -1;
    m_registered = false;
    m_events = 0;
}

void AsyncSocket::SyncInterest() {
    if (m_fd < 0 || m_inHandler) {
        return; // the handler loop syncs once the handler returns
    }
    if (m_closeDelivered) {
        // A dead connection reports HUP whatever the interest: stop watching it altogether.
        if (m_registered) {
            m_loop.RemoveInterest(m_fd);
            m_registered = false;
        }
        return;
    }
    std::uint32_t events = 0;
    if (((m_mask & kRead) != 0U && (m_armed & kRead) != 0U) ||
        ((m_mask & kAccept) != 0U && (m_armed & kAccept) != 0U)) {
        events |= EPOLLIN;
    }
    if ((m_mask & kWrite) != 0U && (m_armed & kWrite) != 0U) {
        events |= EPOLLOUT;
    }
    if ((m_mask & kClose) != 0U) {
        events |= EPOLLRDHUP;
    }
    if (m_registered && events == m_events) {
        return;
    }
    m_loop.UpdateInterest(m_fd, m_token, events, m_registered);
    m_registered = true;
    m_events = events;
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
        if ((m_mask & kAccept) != 0U && (m_armed & kAccept) != 0U) {
            m_armed &= ~unsigned{kAccept};
            OnAccept(0);
            if (!alive()) {
                return;
            }
        } else if ((m_mask & kRead) != 0U && (m_armed & kRead) != 0U && PendingBytes() > 0) {
            m_armed &= ~unsigned{kRead};
            OnReceive(0);
            if (!alive()) {
                return;
            }
        }
    }
    if ((events & EPOLLOUT) != 0U && (m_mask & kWrite) != 0U && (m_armed & kWrite) != 0U) {
        m_armed &= ~unsigned{kWrite};
        OnSend(0);
        if (!alive()) {
            return;
        }
    }
    if ((events & kClosedEvents) != 0U && !m_closeDelivered) {
        // Bytes that came before the close go to a read notification first, while the owner
        // still takes them; after that (or when it takes no more) the close is delivered.
        const bool readsPending = (m_mask & kRead) != 0U && (m_armed & kRead) != 0U &&
                                  (events & (EPOLLHUP | EPOLLERR)) == 0U && PendingBytes() > 0;
        if (!readsPending) {
            m_closeDelivered = true;
            if ((m_mask & kClose) != 0U) {
                int error = 0;
                socklen_t length = sizeof error;
                getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length);
                if (error == 0 && (events & EPOLLHUP) != 0U) {
                    error = EPIPE; // both directions are gone, not just the peer's sending
                }
                m_inHandler = false;
                OnClose(error);
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
