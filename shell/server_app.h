#pragma once

#include "engine/event_loop.h"
#include "engine/listeners.h"
#include "shell/options.h"
#include "shell/window_side.h"
#include "smtp/delivery_queue.h"
#include "store/profile_file.h"

#include <filesystem>
#include <memory>
#include <string>

namespace brevin {

/// The one application object: start-up in its fixed order, the loop, the listeners, the
/// profile and the user list. The desktop shell and the console both run it.
class ServerApp {
public:
    ServerApp(ServerOptions options, std::string programPath);
    ~ServerApp();
    ServerApp(const ServerApp&) = delete;
    ServerApp& operator=(const ServerApp&) = delete;

    /// The start-up sequence; false when the server cannot run (messages already shown).
    bool Start(WindowSide& windows);

    [[nodiscard]] EventLoop& Loop() { return m_loop; }
    [[nodiscard]] ProfileFile& Profile() { return *m_profile; }
    [[nodiscard]] UserDirectory& Users() { return *m_users; }
    [[nodiscard]] const ServerOptions& Options() const { return m_options; }
    [[nodiscard]] const std::filesystem::path& WorkingDirectory() const {
        return m_workingDirectory;
    }

private:
    // Declared first, so it is destroyed last: the listeners unregister from it.
    EventLoop m_loop;

public:
    std::filesystem::path m_profilePath;
    HostAddress m_host; // m_hostAddress and m_hostOctets, found at start-up
    Listeners m_listeners;

private:
    MailSession* MakeSession(ServiceKind kind);

    ServerOptions m_options;
    std::string m_programPath;
    std::filesystem::path m_workingDirectory;
    std::unique_ptr<ProfileFile> m_profile;      // made by start-up, once the path is known
    std::unique_ptr<UserDirectory> m_users;      // over m_profile
    std::unique_ptr<DeliveryQueue> m_deliveries; // over m_users
};

} // namespace brevin
