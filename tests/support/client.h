#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace brevin::testing {

/// Runs the server's loop for at most this long, or until something is ready.
using LoopStep = std::function<void(std::chrono::milliseconds most)>;

/// Steps the loop until `done`, for `limit` at most; whether `done` came.
template <typename Fn>
bool StepUntil(const LoopStep& step, Fn done,
               std::chrono::milliseconds limit = std::chrono::seconds(3)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        step(std::chrono::milliseconds(10));
    }
    return done();
}

/// A plain blocking TCP client on loopback with time limits, for talking to a server the way
/// a mail client does. Every read gives up after `timeout` and returns what it has.
///
/// Made with a `LoopStep` (over a connected socket, or -1 to `Connect` later), it talks to a
/// session on a loop the test runs itself: wherever it would wait, it steps that loop instead.
class Client {
public:
    explicit Client(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000))
        : m_timeout(timeout) {}
    Client(int connected, LoopStep step,
           std::chrono::milliseconds timeout = std::chrono::milliseconds(5000))
        : m_fd(connected), m_timeout(timeout), m_step(std::move(step)) {}
    ~Client() { Close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    Client(Client&& other) noexcept
        : m_fd(other.m_fd), m_timeout(other.m_timeout), m_step(std::move(other.m_step)),
          m_pending(std::move(other.m_pending)) {
        other.m_fd = -1;
    }

    bool Connect(std::uint16_t port, const char* address = "127.0.0.1") {
        Close();
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        inet_pton(AF_INET, address, &addr.sin_addr);
        const int one = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return connect(m_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    }

    bool Send(std::string_view bytes) {
        const auto deadline = std::chrono::steady_clock::now() + m_timeout;
        while (!bytes.empty()) {
            const ssize_t sent =
                send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | (m_step ? MSG_DONTWAIT : 0));
            if (sent < 0 && m_step && (errno == EAGAIN || errno == EWOULDBLOCK) &&
                std::chrono::steady_clock::now() < deadline) {
                m_step(std::chrono::milliseconds(1)); // the session reads, making room
                continue;
            }
            if (sent <= 0) {
                return false;
            }
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
        return true;
    }

    /// Everything up to and including the next LF (or what came before the time ran out).
    std::string ReadLine() { return ReadUntil("\n"); }

    std::string ReadUntil(std::string_view end) {
        const auto deadline = std::chrono::steady_clock::now() + m_timeout;
        for (;;) {
            if (const auto at = m_pending.find(end); at != std::string::npos) {
                std::string out = m_pending.substr(0, at + end.size());
                m_pending.erase(0, at + end.size());
                return out;
            }
            if (!Fill(deadline)) {
                std::string out;
                out.swap(m_pending);
                return out;
            }
        }
    }

    std::string ReadExactly(std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + m_timeout;
        while (m_pending.size() < count && Fill(deadline)) {
        }
        std::string out = m_pending.substr(0, count);
        m_pending.erase(0, out.size());
        return out;
    }

    /// Whatever arrives within `wait`.
    std::string ReadFor(std::chrono::milliseconds wait) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (Fill(deadline)) {
        }
        std::string out;
        out.swap(m_pending);
        return out;
    }

    /// True when the server closed the connection within the time limit.
    bool WaitClosed() {
        const auto deadline = std::chrono::steady_clock::now() + m_timeout;
        while (Fill(deadline)) {
        }
        return m_eof;
    }

    /// Sends the end of the stream but keeps reading (a half close).
    void ShutdownWrite() { shutdown(m_fd, SHUT_WR); }

    void Close() {
        if (m_fd >= 0) {
            close(m_fd);
            m_fd = -1;
        }
    }

    [[nodiscard]] int Fd() const { return m_fd; }

private:
    /// Appends what arrives next; false once the time is up or the stream has ended.
    bool Fill(std::chrono::steady_clock::time_point deadline) {
        while (m_fd >= 0 && !m_eof) {
            char buffer[65536];
            const ssize_t got = recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got > 0) {
                m_pending.append(buffer, static_cast<std::size_t>(got));
                return true;
            }
            m_eof = got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (m_eof || left.count() <= 0) {
                break;
            }
            if (m_step) {
                m_step(std::min(left, std::chrono::milliseconds(10)));
            } else {
                pollfd p{m_fd, POLLIN, 0};
                poll(&p, 1, static_cast<int>(left.count()));
            }
        }
        return false;
    }

    int m_fd = -1;
    std::chrono::milliseconds m_timeout;
    LoopStep m_step; // empty: a blocking client of a server on a thread of its own
    std::string m_pending;
    bool m_eof = false;
};

} // namespace brevin::testing
