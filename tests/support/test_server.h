#pragma once

#include "engine/listeners.h"
#include "engine/session_registry.h"
#include "pop3/pop3_service.h"
#include "smtp/delivery_queue.h"
#include "smtp/smtp_service.h"
#include "store/profile_file.h"
#include "support/client.h"
#include "support/files.h"
#include "support/loop_thread.h"

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

namespace brevin::testing {

/// Polls `done` every 10 ms for up to three seconds.
template <typename Fn>
bool WaitUntil(Fn done) {
    for (int i = 0; i < 300 && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

/// Sockets this process holds open (listeners, clients and the sessions' connections).
inline int OpenSockets() {
    int count = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        count += std::filesystem::read_symlink(entry.path(), ec).string().starts_with("socket:");
    }
    return count;
}

/// The real SMTP and POP3 sessions on loopback ports, over a profile and store in a temporary
/// folder, with the loop on a thread of its own. Profile and store changes made by the test
/// go through `Call` (or happen while no command is in flight).
class TestServer {
public:
    explicit TestServer(std::chrono::milliseconds pause = std::chrono::milliseconds(0))
        : m_profile(m_dir.Path() / "brevin.INI") {
        m_options.pause = pause;
        m_options.idleTimeout = std::chrono::seconds(0);
        std::filesystem::create_directories(StoreRoot());
        m_profile.Write("BREVIN", "store", StoreRoot().string());
    }

    ~TestServer() { Stop(); }

    /// Adds a user with a mailbox folder (created unless `createFolder` is false).
    void AddUser(const std::string& name, const std::string& folder, const std::string& password,
                 bool createFolder = true) {
        m_profile.Write("USERS", name, folder);
        m_profile.Write("PWD", name, password);
        if (createFolder) {
            std::filesystem::create_directories(StoreRoot() / folder);
        }
    }

    void Start() {
        const Service services[] = {
            SmtpService(m_thread.Loop(), m_options, m_deliveries, m_smtpLimits, 0),
            Pop3Service(m_thread.Loop(), m_options, m_users, 0),
        };
        m_listeners = CreateListeners(m_thread.Loop(), {{"127.0.0.1"}}, services, m_sessions);
        m_thread.Start();
    }

    /// Stops the loop and closes every session still open, as the server does at exit.
    void Stop() {
        m_thread.Stop();
        m_listeners = {};
        m_sessions.CloseAll();
    }

    template <typename Fn>
    auto Call(Fn fn) {
        return m_thread.Call(std::move(fn));
    }

    /// A client connected to the SMTP (or POP3) port, banner already read.
    std::unique_ptr<Client> Smtp() { return Connect(SmtpPort()); }
    std::unique_ptr<Client> Pop3() { return Connect(Pop3Port()); }

    [[nodiscard]] std::uint16_t SmtpPort() const { return m_listeners.Find("smtp")->LocalPort(); }
    [[nodiscard]] std::uint16_t Pop3Port() const { return m_listeners.Find("pop3")->LocalPort(); }

    [[nodiscard]] std::filesystem::path StoreRoot() const { return m_dir.Path() / "store"; }
    [[nodiscard]] const std::filesystem::path& Dir() const { return m_dir.Path(); }
    ProfileFile& Profile() { return m_profile; }
    /// For the SMTP sessions accepted from now on; change it on the loop (`Call`).
    SmtpLimits& Limits() { return m_smtpLimits; }

private:
    std::unique_ptr<Client> Connect(std::uint16_t port) {
        auto client = std::make_unique<Client>();
        if (client->Connect(port)) {
            client->ReadLine();
        }
        return client;
    }

    TempDir m_dir;
    ProfileFile m_profile;
    SessionOptions m_options;
    SmtpLimits m_smtpLimits;
    LoopThread m_thread;
    UserDirectory m_users{m_profile};
    DeliveryQueue m_deliveries{m_thread.Loop(), m_users};
    SessionRegistry m_sessions{m_thread.Loop()};
    Listeners m_listeners;
};

} // namespace brevin::testing
