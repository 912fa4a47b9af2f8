#pragma once

#include "autoconfig/client_documents.h"
#include "engine/event_loop.h"
#include "engine/listeners.h"
#include "engine/mail_session.h"
#include "engine/service.h"
#include "engine/session_registry.h"
#include "engine/tls.h"
#include "folders/folder_service.h"
#include "imap/imap_session.h"
#include "login/login_guard.h"
#include "shell/options.h"
#include "shell/tls_setup.h"
#include "shell/window_side.h"
#include "smtp/delivery_queue.h"
#include "store/profile_file.h"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace brevin {

/// The one application object: start-up in its fixed order, the loop, the listeners, the
/// sessions, the profile and the user list. The desktop shell and the console both run it.
class ServerApp {
public:
    ServerApp(ServerOptions options, std::string programPath);
    ~ServerApp();
    ServerApp(const ServerApp&) = delete;
    ServerApp& operator=(const ServerApp&) = delete;

    /// The start-up sequence; false when the server cannot run (messages already shown).
    bool Start(WindowSide& windows);
    /// After `Start`: a listener failed or the profile could not be read. The desktop runs on
    /// after its message boxes; a server without windows stops, so that its supervisor sees.
    [[nodiscard]] bool HadStartProblem() const { return m_startProblem; }

    [[nodiscard]] EventLoop& Loop() { return m_loop; }
    [[nodiscard]] ProfileFile& Profile() { return *m_profile; }
    [[nodiscard]] UserDirectory& Users() { return *m_users; }
    [[nodiscard]] const ServerOptions& Options() const { return m_options; }
    /// The address found at start-up.
    [[nodiscard]] const HostAddress& Host() const { return m_host; }
    /// The listeners that started.
    [[nodiscard]] const Listeners& ListenerSet() const { return m_listeners; }
    /// The SHA-256 fingerprint of the certificate in use ("AB:CD:..."); empty when the server
    /// runs without encryption. `TlsFingerprintLine` words it for users.
    [[nodiscard]] std::string TlsFingerprint() const;
    /// The office CA's certificate (PEM) that clients trust once; empty when the server runs
    /// with the administrator's certificate or without encryption.
    [[nodiscard]] std::filesystem::path TlsCaPath() const;
    [[nodiscard]] std::size_t OpenSessions() const { return m_sessions.Count(); }
    /// The ports that listen, for people setting up clients: "SMTP 25, SUBMISSION 587 and 465
    /// (SSL/TLS), POP3 110".
    [[nodiscard]] std::string PortsText() const;
    /// What mail clients are told (the settings responder serves it): the ports that listen,
    /// the certificate to trust, the settings page's address when it is served.
    [[nodiscard]] const ClientSettings& ClientSetup() const { return m_clientSettings; }

private:
    void LogStart() const;
    /// Fills `m_clientSettings` from the listeners that started and the certificate in use.
    void SettleClientSettings();
    /// Earlier versions kept passwords in the clear: the first start that can write the
    /// profile replaces them with hashes, and logs how many.
    void HashPlainPasswords() const;
    void ReportListenerFailure(const ListenerFailure& failure, WindowSide& windows);

    // Declared first, so it is destroyed last: everything below unregisters from it.
    EventLoop m_loop;
    ServerOptions m_options;
    std::string m_programPath;
    std::filesystem::path m_workingDirectory;
    std::filesystem::path m_profilePath;
    HostAddress m_host;
    std::unique_ptr<ProfileFile> m_profile;      // made by start-up, once the path is known
    std::unique_ptr<UserDirectory> m_users;      // over m_profile
    std::unique_ptr<DeliveryQueue> m_deliveries; // over m_users
    std::unique_ptr<LoginGuard> m_logins;        // over m_users, for every service
    std::unique_ptr<FolderService> m_folders;    // the mailbox indexes, for every service
    SessionOptions m_imapOptions;                // IMAP's: no pause, the long idle timeout
    ImapLimits m_imapLimits;
    std::unique_ptr<TlsContext> m_tls;             // null: no encryption
    std::filesystem::path m_tlsCa;                 // empty: no office CA in use
    std::unique_ptr<CertificateRenewal> m_renewal; // over m_tls, with the office CA only
    SessionOptions m_httpOptions;    // the settings responder's: no pause, short keep-alive
    ClientSettings m_clientSettings; // filled once the listeners are open
    // The services offered, in the order they listen and log.
    std::vector<Service> m_services;
    // The sessions use the options, the users and the deliveries, so they go before them;
    // the listeners hand sessions to the registry, so they go first.
    SessionRegistry m_sessions{m_loop};
    Listeners m_listeners;
    bool m_startProblem = false;
    bool m_privilegeHinted = false; // the fix for a refused port is said once
    bool m_started = false;         // the start event was logged: the stop event follows
};

} // namespace brevin
