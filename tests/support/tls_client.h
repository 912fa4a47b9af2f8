#pragma once

#include "support/client.h"

#include <chrono>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <string>
#include <string_view>

namespace brevin::testing {

/// The client's side of TLS over a `Client`'s connected socket, talking to a server on a loop
/// the test runs: wherever it would wait, it steps that loop, for `timeout` at most. The
/// server's certificate is not checked: the tests look at the server's behaviour, not at its
/// identity.
class TlsClient {
public:
    TlsClient(int fd, LoopStep step, std::chrono::milliseconds timeout = std::chrono::seconds(5))
        : m_ctx(SSL_CTX_new(TLS_client_method())), m_step(std::move(step)), m_timeout(timeout) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        m_ssl = SSL_new(m_ctx);
        SSL_set_fd(m_ssl, fd);
    }
    ~TlsClient() {
        SSL_free(m_ssl);
        SSL_CTX_free(m_ctx);
    }
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    bool Handshake() {
        return Retry([this] { return SSL_connect(m_ssl); });
    }

    bool Send(std::string_view bytes) {
        std::size_t written = 0;
        return bytes.empty() ||
               Retry([&] { return SSL_write_ex(m_ssl, bytes.data(), bytes.size(), &written); });
    }

    std::string ReadLine() {
        while (m_pending.find('\n') == std::string::npos && Fill()) {
        }
        const auto end = m_pending.find('\n');
        return Take(end == std::string::npos ? m_pending.size() : end + 1);
    }

    std::string ReadExactly(std::size_t count) {
        while (m_pending.size() < count && Fill()) {
        }
        return Take(count);
    }

private:
    /// Runs `call` again, stepping the loop between tries, while it only waits for the socket.
    template <typename Fn>
    bool Retry(Fn call) {
        const auto deadline = std::chrono::steady_clock::now() + m_timeout;
        for (;;) {
            ERR_clear_error();
            const int result = call();
            if (result == 1) {
                return true;
            }
            const int error = SSL_get_error(m_ssl, result);
            if ((error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) ||
                std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            m_step(std::chrono::milliseconds(10));
        }
    }

    bool Fill() {
        char buffer[65536];
        std::size_t got = 0;
        if (!Retry([&] { return SSL_read_ex(m_ssl, buffer, sizeof buffer, &got); })) {
            return false;
        }
        m_pending.append(buffer, got);
        return true;
    }

    std::string Take(std::size_t count) {
        std::string out = m_pending.substr(0, count);
        m_pending.erase(0, out.size());
        return out;
    }

    SSL_CTX* m_ctx;
    SSL* m_ssl = nullptr;
    LoopStep m_step;
    std::chrono::milliseconds m_timeout;
    std::string m_pending;
};

} // namespace brevin::testing
