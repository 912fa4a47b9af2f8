#pragma once

#include "engine/async_socket.h"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/types.h>

// OpenSSL's types, so that users of this header need not see OpenSSL.
struct ssl_ctx_st;
struct ssl_st;
struct bio_st;
struct bio_method_st;

namespace brevin {

/// The server's certificate, its key and the settings every encrypted session shares: TLS 1.2
/// and 1.3 only, OpenSSL's default ciphers, no compression, no renegotiation, resumption by
/// tickets. One per server; sessions keep only a pointer to it.
class TlsContext {
public:
    /// Loads a PEM certificate (a chain is accepted, the server's own first) and its PEM key.
    /// Null, with `error` saying which file is wrong and why, when either is missing or
    /// unreadable or the key does not belong to the certificate.
    static std::unique_ptr<TlsContext> Load(const std::filesystem::path& certificate,
                                            const std::filesystem::path& key, std::string& error);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    /// The SHA-256 of the certificate as clients pin it: "AB:CD:...", 32 pairs.
    [[nodiscard]] const std::string& Fingerprint() const { return m_fingerprint; }
    [[nodiscard]] ssl_ctx_st* Native() const { return m_ctx; }

    /// Serves `fresh`'s certificate and key in every handshake from now on (a renewal, with
    /// no restart); sessions under way keep what they began with, as each holds its own
    /// reference to it. `fresh` is left with the old ones.
    void Adopt(TlsContext& fresh);

private:
    TlsContext(ssl_ctx_st* ctx, std::string fingerprint);

    ssl_ctx_st* m_ctx;
    std::string m_fingerprint;
};

/// The reason OpenSSL gives for the last failure, in its words ("no reason given" when it
/// gives none); clears its error queue.
std::string OpenSslReason();

/// One connection's encryption, for the session that owns the socket. Plain bytes go in and out
/// like a socket's; the encrypted bytes go straight to the socket, and what it cannot take
/// waits in a backlog that `Flush` moves on. Nothing here ever blocks.
class TlsChannel {
public:
    enum class Progress { Done, Waiting, Failed };

    TlsChannel(const TlsContext& context, AsyncSocket& socket);
    ~TlsChannel();
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    /// Takes the server's side of the handshake as far as the bytes at hand allow.
    Progress Handshake();
    /// As recv(2), on the decrypted bytes: MSG_PEEK looks without taking. -1 with `LastError`
    /// EAGAIN when nothing is decrypted and the socket has nothing more.
    ssize_t Receive(void* buffer, std::size_t length, int flags = 0);
    /// Encrypts up to 64 KiB of `buffer`; returns how many were taken. -1 with `LastError`
    /// EAGAIN while an earlier backlog still waits for room in the socket.
    ssize_t Send(const void* buffer, std::size_t length);
    /// Moves the backlog on to the socket; false when the connection failed.
    bool Flush();
    [[nodiscard]] bool Backlogged() const { return m_backlogSent < m_backlog.size(); }
    /// Says goodbye (close_notify) when the connection is still good; never waits.
    void Shutdown();
    [[nodiscard]] int LastError() const { return m_lastError; }
    /// Why the handshake or a record failed, in OpenSSL's words.
    [[nodiscard]] std::string FailureReason() const { return m_reason; }

private:
    static bio_method_st* SocketMethod();
    static int BioWrite(bio_st* bio, const char* data, int length);
    static int BioRead(bio_st* bio, char* data, int length);
    int WriteOut(const char* data, std::size_t length);
    int ReadIn(char* data, std::size_t length);
    /// Maps a failed OpenSSL call to errno-style `m_lastError`.
    void Fail(int result);

    AsyncSocket& m_socket;
    ssl_st* m_ssl = nullptr;
    std::string m_backlog;
    std::size_t m_backlogSent = 0;
    std::string m_reason;
    int m_lastError = 0;
    bool m_broken = false; // the socket or the protocol failed: nothing more is sent
};

} // namespace brevin
