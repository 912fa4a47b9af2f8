#pragma once

// Drives one real session per input over a socketpair, inside the real event loop: the input
// is cut into reads of varying sizes, the loop runs after each, and the replies are drained.
// The session must answer without crashing and must be gone once the peer closes.
//
// Built with BREVIN_FUZZ_TLS, the server has a certificate, so EHLO, CAPA, STARTTLS and STLS
// take their encrypted-era paths, and the first input byte picks --require-tls. A handshake
// never completes; what follows the upgrade request is discarded or fails the handshake.

#include "base/unique_fd.h"
#include "engine/event_loop.h"
#include "engine/mail_session.h"
#include "engine/session_registry.h"
#include "engine/tls.h"
#include "folders/folder_service.h"
#include "login/login_guard.h"
#include "shell/self_signed.h"
#include "smtp/delivery_queue.h"
#include "store/profile_file.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace brevin::fuzzing {

class SessionHarness {
public:
    SessionHarness()
        : m_dir(std::filesystem::temp_directory_path() /
                ("brevin-fuzz-" + std::to_string(getpid()))),
          m_profile(m_dir / "brevin.INI") {
        std::filesystem::create_directories(m_dir / "store" / "alice");
        std::filesystem::create_directories(m_dir / "store" / "bob");
        std::ofstream(m_dir / "brevin.INI")
            << "[BREVIN]\nstore=" << (m_dir / "store").string()
            << "\n[USERS]\nalice=alice\nbob=bob\n[PWD]\nalice=pw\nbob=\n";
        m_options.pause = std::chrono::milliseconds(0);
        m_options.idleTimeout = std::chrono::seconds(0);
#ifdef BREVIN_FUZZ_TLS
        std::string error;
        if (!GenerateSelfSigned(m_dir / "cert.pem", m_dir / "key.pem", "fuzz", "127.0.0.1",
                                error) ||
            (m_tls = TlsContext::Load(m_dir / "cert.pem", m_dir / "key.pem", error)) == nullptr) {
            std::abort();
        }
        m_options.tls = m_tls.get();
#endif
        m_required = m_options;
        m_required.requireTls = true;
    }

    ProfileFile& Profile() {
        return m_profile;
    }
    UserDirectory& Users() {
        return m_users;
    }
    LoginGuard& Logins() {
        return m_logins;
    }
    FolderService& Folders() {
        return m_folders;
    }
    EventLoop& Loop() {
        return m_loop;
    }
    DeliveryQueue& Deliveries() {
        return m_deliveries;
    }
    /// The options for a session over this input.
    const SessionOptions& Options(const std::uint8_t* data, std::size_t size) const {
        return m_options.tls != nullptr && size > 0 && (data[0] & 1) != 0 ? m_required : m_options;
    }
    const std::filesystem::path& Dir() const {
        return m_dir;
    }

    /// Runs `session` (already made, not yet connected) over the input and closes it.
    void Run(std::unique_ptr<MailSession> session, const std::uint8_t* data, std::size_t size) {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) {
            std::abort();
        }
        if (!m_sessions.Start(std::move(session), UniqueFd(pair[0]))) {
            std::abort();
        }
        Pump(pair[1]);
        // Cut sizes come from the input itself, so the same input always gives the same reads.
        std::uint32_t state = static_cast<std::uint32_t>(size) * 2654435761U;
        std::size_t at = 0;
        while (at < size) {
            state = state * 1664525U + 1013904223U + data[at];
            const std::size_t cut = 1 + (state >> 16) % 700;
            const std::size_t length = std::min(cut, size - at);
            std::size_t sent = 0;
            for (int tries = 0; sent < length && tries < 1000; ++tries) {
                const ssize_t n = send(pair[1], data + at + sent, length - sent, MSG_NOSIGNAL);
                if (n > 0) {
                    sent += static_cast<std::size_t>(n);
                } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                    break; // the session closed (QUIT, a failed handshake)
                }
                Pump(pair[1]);
            }
            at += length;
        }
        Pump(pair[1]);
        close(pair[1]);
        for (int i = 0; i < 100 && m_loop.ProcessReady(0) > 0; ++i) {
        }
        if (m_sessions.Count() != 0) {
            std::abort(); // the session outlived its client
        }
    }

private:
    /// Runs the loop until it has nothing ready, draining whatever the session sent.
    void Pump(int peer) {
        char sink[65536];
        for (int i = 0; i < 1000; ++i) {
            const int delivered = m_loop.ProcessReady(0);
            bool drained = false;
            while (recv(peer, sink, sizeof sink, 0) > 0) {
                drained = true;
            }
            if (delivered == 0 && !drained) {
                return;
            }
        }
    }

    std::filesystem::path m_dir;
    ProfileFile m_profile;
    EventLoop m_loop;
    UserDirectory m_users{m_profile};
    DeliveryQueue m_deliveries{m_loop, m_users};
    LoginGuard m_logins{m_loop, m_users};
    FolderService m_folders{m_loop};
    std::unique_ptr<TlsContext> m_tls;
    SessionOptions m_options;
    SessionOptions m_required;
    SessionRegistry m_sessions{m_loop};
};

} // namespace brevin::fuzzing
