#pragma once

#include <chrono>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/time.h>

namespace brevin::testing {

/// The client's side of TLS over a connected blocking socket (a `Client`'s), with every read
/// and write bounded by `timeout`. The server's certificate is not checked: the tests look at
/// the server's behaviour, not at its identity.
class TlsClient {
public:
    explicit TlsClient(int fd, std::chrono::milliseconds timeout = std::chrono::seconds(5))
        : m_ctx(SSL_CTX_new(TLS_client_method())) {
        timeval limit{};
        limit.tv_sec = static_cast<time_t>(timeout.count() / 1000);
        limit.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
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
        ERR_clear_error();
        return SSL_connect(m_ssl) == 1;
    }

    bool Send(std::string_view bytes) {
        std::size_t written = 0;
        return bytes.empty() || SSL_write_ex(m_ssl, bytes.data(), bytes.size(), &written) == 1;
    }

    std::string ReadLine() {
        while (m_pending.find('\n') == std::string::npos && Fill()) {
        }
        const auto end = m_pending.find('\n');
        const std::size_t take = end == std::string::npos ? m_pending.size() : end + 1;
        std::string out = m_pending.substr(0, take);
        m_pending.erase(0, take);
        return out;
    }

    std::string ReadExactly(std::size_t count) {
        while (m_pending.size() < count && Fill()) {
        }
        std::string out = m_pending.substr(0, count);
        m_pending.erase(0, out.size());
        return out;
    }

private:
    bool Fill() {
        char buffer[65536];
        std::size_t got = 0;
        if (SSL_read_ex(m_ssl, buffer, sizeof buffer, &got) == 1) {
            m_pending.append(buffer, got);
            return true;
        }
        ERR_clear_error();
        return false;
    }

    SSL_CTX* m_ctx;
    SSL* m_ssl = nullptr;
    std::string m_pending;
};

} // namespace brevin::testing
