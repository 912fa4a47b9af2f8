#pragma once

#include "base/unique_fd.h"
#include "engine/event_loop.h"
#include "engine/mail_session.h"
#include "engine/session_registry.h"
#include "folders/folder_service.h"
#include "login/login_guard.h"
#include "store/profile_file.h"
#include "store/users.h"
#include "support/client.h"
#include "support/files.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <utility>

namespace brevin::testing {

/// Sockets this process holds open (the clients and the sessions' connections).
inline int OpenSockets() {
    int count = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        count += std::filesystem::read_symlink(entry.path(), ec).string().starts_with("socket:");
    }
    return count;
}

/// One command line out, one reply line back.
inline std::string Command(Client& client, const std::string& line) {
    client.Send(line + "\r\n");
    return client.ReadLine();
}

/// Two connected ends of a loopback TCP connection, without a listener left behind. TCP rather
/// than a socketpair: a Unix socket charges each small write a whole buffer's worth of
/// overhead, so a client that pipelines a thousand commands would stall where TCP does not.
inline std::pair<UniqueFd, UniqueFd> LoopbackPair() {
    UniqueFd listening(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    UniqueFd client(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listening || !client ||
        bind(listening.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listening.Get(), 1) != 0 ||
        getsockname(listening.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::abort();
    }
    // A loopback connect completes in the kernel at once; the accept picks it up.
    connect(client.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    UniqueFd server(accept4(listening.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!server) {
        std::abort();
    }
    const int one = 1;
    setsockopt(client.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return {std::move(server), std::move(client)};
}

/// A protocol's real sessions over a profile and store in a temporary folder, each talking to
/// its client over a loopback connection, on a loop that the test runs: a client that waits steps
/// the loop, so there is no thread, no listener and no sleeping. A protocol's fixture makes its
/// sessions and hands them to `Open`.
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
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    /// Adds a user with a mailbox folder (created unless `createFolder` is false).
    void AddUser(const std::string& name, const std::string& folder, const std::string& password,
                 bool createFolder = true) {
        m_profile.Write("USERS", name, folder);
        m_profile.Write("PWD", name, password);
        if (createFolder) {
            std::filesystem::create_directories(StoreRoot() / folder);
        }
    }

    /// Starts `session`, as if `from` connected, and returns its client, with the banner read
    /// unless `readBanner` is false.
    std::unique_ptr<Client> Open(std::unique_ptr<MailSession> session, bool readBanner = true,
                                 ClientAddress from = ClientAddress::FromIPv4(INADDR_LOOPBACK)) {
        auto [server, peer] = LoopbackPair();
        auto client = std::make_unique<Client>(
            peer.Release(), [this](std::chrono::milliseconds most) { Step(most); });
        m_sessions.Start(std::move(session), std::move(server),
                         /*implicitTls=*/false, from);
        if (readBanner) {
            client->ReadLine();
        }
        return client;
    }

    /// Runs the loop once, waiting at most `most` for something to be ready.
    void Step(std::chrono::milliseconds most = std::chrono::milliseconds(0)) {
        m_loop.ProcessReady(static_cast<int>(most.count()));
    }

    /// Runs the loop until `done`, for three seconds at most.
    template <typename Fn>
    bool WaitUntil(Fn done) {
        return StepUntil([this](std::chrono::milliseconds most) { Step(most); }, std::move(done));
    }

    /// Closes every session still open, as the server does at exit.
    void Stop() { m_sessions.CloseAll(); }

    [[nodiscard]] EventLoop& Loop() { return m_loop; }
    [[nodiscard]] SessionOptions& Options() { return m_options; }
    [[nodiscard]] UserDirectory& Users() { return m_users; }
    [[nodiscard]] LoginGuard& Logins() { return m_logins; }
    [[nodiscard]] FolderService& Folders() { return m_folders; }
    [[nodiscard]] SessionRegistry& Sessions() { return m_sessions; }
    [[nodiscard]] std::filesystem::path StoreRoot() const { return m_dir.Path() / "store"; }
    [[nodiscard]] const std::filesystem::path& Dir() const { return m_dir.Path(); }
    ProfileFile& Profile() { return m_profile; }

private:
    TempDir m_dir;
    ProfileFile m_profile;
    SessionOptions m_options;
    EventLoop m_loop;
    UserDirectory m_users{m_profile};
    LoginGuard m_logins{m_loop, m_users}; // before the sessions, which hold its tickets
    FolderService m_folders{m_loop};      // likewise
    SessionRegistry m_sessions{m_loop};
};

} // namespace brevin::testing
