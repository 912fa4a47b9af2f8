#include "engine/tls.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <utility>

namespace brevin {

namespace {

// Large writes are cut into records anyway; more at once would only grow the backlog.
constexpr std::size_t kMaxWrite = 64 * 1024;
// A backlog this large after a burst is given back once it has drained.
constexpr std::size_t kKeptBacklog = 16 * 1024;

std::string Hex(const unsigned char* bytes, unsigned length) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned i = 0; i < length; ++i) {
        if (i > 0) {
            out += ':';
        }
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0xF];
    }
    return out;
}

/// Why `path` cannot be read, or empty when it can.
std::string Unreadable(const std::filesystem::path& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return std::strerror(errno);
    }
    std::fclose(file);
    return {};
}

} // namespace

std::string OpenSslReason() {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (code == 0) {
        return "no reason given";
    }
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// ---- the context ----

TlsContext::TlsContext(ssl_ctx_st* ctx, std::string fingerprint)
    : m_ctx(ctx), m_fingerprint(std::move(fingerprint)) {}

TlsContext::~TlsContext() {
    SSL_CTX_free(m_ctx);
}

void TlsContext::Adopt(TlsContext& fresh) {
    std::swap(m_ctx, fresh.m_ctx);
    std::swap(m_fingerprint, fresh.m_fingerprint);
}

std::unique_ptr<TlsContext> TlsContext::Load(const std::filesystem::path& certificate,
                                             const std::filesystem::path& key, std::string& error) {
    if (const std::string why = Unreadable(certificate); !why.empty()) {
        error = "cannot read the TLS certificate " + certificate.string() + ": " + why;
        return nullptr;
    }
    if (const std::string why = Unreadable(key); !why.empty()) {
        error = "cannot read the TLS key " + key.string() + ": " + why;
        return nullptr;
    }
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr) {
        error = "cannot set up TLS: " + OpenSslReason();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                                 SSL_OP_CIPHER_SERVER_PREFERENCE);
    // TLS 1.2 offers forward-secret AEAD suites only, as current server profiles recommend:
    // no CBC with SHA-1 or SHA-2, no plain RSA key exchange. TLS 1.3's suites are all AEAD and
    // stay as OpenSSL sets them.
    static constexpr char kTls12Suites[] =
        "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
        "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
        "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
    if (SSL_CTX_set_cipher_list(ctx, kTls12Suites) != 1) {
        error = "cannot set up TLS: " + OpenSslReason();
        SSL_CTX_free(ctx);
        return nullptr;
    }
    // Idle sessions hold no record buffers; the reads take whole records at once.
    SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_read_ahead(ctx, 1);
    // Resumption by tickets needs no server-side cache, whose memory would grow with clients.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(ctx, 1);
    static constexpr unsigned char kSessionContext[] = "brevin";
    SSL_CTX_set_session_id_context(ctx, kSessionContext, sizeof kSessionContext - 1);

    if (SSL_CTX_use_certificate_chain_file(ctx, certificate.c_str()) != 1) {
        error = "the TLS certificate " + certificate.string() +
                " holds no usable PEM certificate: " + OpenSslReason();
        SSL_CTX_free(ctx);
        return nullptr;
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1) {
        const unsigned long code = ERR_peek_last_error();
        const bool mismatch = ERR_GET_REASON(code) == X509_R_KEY_VALUES_MISMATCH;
        error = mismatch ? "the TLS key " + key.string() + " does not match the certificate " +
                               certificate.string()
                         : "the TLS key " + key.string() +
                               " holds no usable PEM private key: " + OpenSslReason();
        ERR_clear_error();
        SSL_CTX_free(ctx);
        return nullptr;
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
        ERR_clear_error();
        error = "the TLS key " + key.string() + " does not match the certificate " +
                certificate.string();
        SSL_CTX_free(ctx);
        return nullptr;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    X509_digest(SSL_CTX_get0_certificate(ctx), EVP_sha256(), digest, &length);
    return std::unique_ptr<TlsContext>(new TlsContext(ctx, Hex(digest, length)));
}

// ---- one connection ----

// Our own BIO: encrypted bytes go to and come from the session's socket directly, so no
// second buffer is kept per session beyond what the socket could not take.
bio_method_st* TlsChannel::SocketMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "session");
        BIO_meth_set_write(made, &TlsChannel::BioWrite);
        BIO_meth_set_read(made, &TlsChannel::BioRead);
        BIO_meth_set_create(made, [](BIO* bio) {
            BIO_set_init(bio, 1);
            return 1;
        });
        BIO_meth_set_ctrl(made, [](BIO* /*bio*/, int command, long /*num*/, void* /*ptr*/) {
            return command == BIO_CTRL_FLUSH ? 1L : 0L;
        });
        return made;
    }();
    return method;
}

TlsChannel::TlsChannel(const TlsContext& context, AsyncSocket& socket)
    : m_socket(socket), m_ssl(SSL_new(context.Native())) {
    BIO* bio = BIO_new(SocketMethod());
    BIO_set_data(bio, this);
    // One BIO both ways: SSL_set_bio then owns the one reference.
    SSL_set_bio(m_ssl, bio, bio);
    SSL_set_accept_state(m_ssl);
}

TlsChannel::~TlsChannel() {
    SSL_free(m_ssl);
}

int TlsChannel::BioWrite(bio_st* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    return static_cast<TlsChannel*>(BIO_get_data(bio))
        ->WriteOut(data, static_cast<std::size_t>(std::max(length, 0)));
}

int TlsChannel::BioRead(bio_st* bio, char* data, int length) {
    BIO_clear_retry_flags(bio);
    const int got = static_cast<TlsChannel*>(BIO_get_data(bio))
                        ->ReadIn(data, static_cast<std::size_t>(std::max(length, 0)));
    if (got < 0 && static_cast<TlsChannel*>(BIO_get_data(bio))->m_lastError == EAGAIN) {
        BIO_set_retry_read(bio);
    }
    return got;
}

// Everything is taken: what the socket cannot take now waits in the backlog, in order.
int TlsChannel::WriteOut(const char* data, std::size_t length) {
    if (m_broken) {
        return -1;
    }
    std::size_t sent = 0;
    if (!Backlogged()) {
        const ssize_t result = m_socket.Send(data, length);
        if (result < 0 && m_socket.LastError() != EAGAIN && m_socket.LastError() != EINTR) {
            m_lastError = m_socket.LastError();
            m_broken = true;
            return -1;
        }
        sent = result > 0 ? static_cast<std::size_t>(result) : 0;
        m_backlog.clear();
        m_backlogSent = 0;
    }
    m_backlog.append(data + sent, length - sent);
    return static_cast<int>(length);
}

int TlsChannel::ReadIn(char* data, std::size_t length) {
    const ssize_t got = m_socket.Receive(data, length);
    if (got >= 0) {
        return static_cast<int>(got);
    }
    const int error = m_socket.LastError();
    m_lastError = error == EWOULDBLOCK || error == EINTR ? EAGAIN : error;
    return -1;
}

bool TlsChannel::Flush() {
    while (Backlogged()) {
        const ssize_t sent =
            m_socket.Send(m_backlog.data() + m_backlogSent, m_backlog.size() - m_backlogSent);
        if (sent <= 0) {
            const int error = m_socket.LastError();
            if (sent < 0 && error != EAGAIN && error != EINTR) {
                m_lastError = error;
                m_broken = true;
                return false;
            }
            return true;
        }
        m_backlogSent += static_cast<std::size_t>(sent);
    }
    m_backlogSent = 0;
    if (m_backlog.capacity() > kKeptBacklog) {
        std::string().swap(m_backlog);
    } else {
        m_backlog.clear();
    }
    return true;
}

void TlsChannel::Fail(int result) {
    switch (SSL_get_error(m_ssl, result)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        m_lastError = EAGAIN;
        return;
    case SSL_ERROR_ZERO_RETURN:
        m_lastError = 0; // the client said goodbye: read as the end of the stream
        return;
    default:
        const bool socketFine = m_lastError == 0 || m_lastError == EAGAIN;
        if (ERR_peek_last_error() != 0) {
            m_reason = OpenSslReason();
        } else {
            m_reason = socketFine ? "the client closed the connection" : std::strerror(m_lastError);
        }
        if (socketFine) {
            m_lastError = EPROTO;
        }
        m_broken = true;
        return;
    }
}

TlsChannel::Progress TlsChannel::Handshake() {
    ERR_clear_error();
    const int result = SSL_do_handshake(m_ssl);
    if (result == 1) {
        return Progress::Done;
    }
    Fail(result);
    return m_lastError == EAGAIN ? Progress::Waiting : Progress::Failed;
}

ssize_t TlsChannel::Receive(void* buffer, std::size_t length, int flags) {
    if (m_broken) {
        return -1;
    }
    ERR_clear_error();
    const int wanted = static_cast<int>(std::min<std::size_t>(length, INT_MAX));
    const int got =
        (flags & MSG_PEEK) != 0 ? SSL_peek(m_ssl, buffer, wanted) : SSL_read(m_ssl, buffer, wanted);
    if (got > 0) {
        return got;
    }
    Fail(got);
    return m_lastError == 0 ? 0 : -1;
}

ssize_t TlsChannel::Send(const void* buffer, std::size_t length) {
    if (m_broken || !Flush()) {
        m_lastError = m_lastError == 0 ? EPIPE : m_lastError;
        return -1;
    }
    if (Backlogged()) {
        m_lastError = EAGAIN;
        return -1;
    }
    if (length == 0) {
        return 0;
    }
    ERR_clear_error();
    std::size_t written = 0;
    if (SSL_write_ex(m_ssl, buffer, std::min(length, kMaxWrite), &written) != 1) {
        Fail(0);
        return -1;
    }
    return static_cast<ssize_t>(written);
}

void TlsChannel::Shutdown() {
    if (m_broken || SSL_is_init_finished(m_ssl) != 1) {
        return;
    }
    ERR_clear_error();
    SSL_shutdown(m_ssl);
    ERR_clear_error();
    Flush();
}

} // namespace brevin
