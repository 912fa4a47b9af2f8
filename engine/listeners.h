#pragma once

#include "engine/async_socket.h"
#include "engine/event_loop.h"
#include "engine/mail_session.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace brevin {

/// Makes the session of a service; the protocol layers supply it.
using SessionFactory = std::function<MailSession*(ServiceKind kind)>;
/// Shows a message to the administrator (a message box, or a line on stderr).
using MessageBoxFn = std::function<void(std::string_view text, std::string_view caption)>;

/// The greeting a client of `kind` receives first.
std::string_view BannerFor(ServiceKind kind);

/// A listening socket: every connection it accepts becomes a session of its kind.
class WaitSock final : public AsyncSocket {
public:
    WaitSock(EventLoop& loop, ServiceKind kind, SessionFactory factory);

    ServiceKind m_kind;

private:
    void OnAccept(int error) override;
    void ResumeAccepting();

    SessionFactory m_factory;
    Timer m_retry; // accepting waits here while descriptors are exhausted
};

/// The host's address as the listeners use it.
struct HostAddress {
    std::string m_hostAddress;         // dotted decimal
    std::array<int, 4> m_hostOctets{}; // most significant first
};

/// Starts the socket layer. There is nothing to start on this platform.
bool InitNetwork(const MessageBoxFn& show);

/// Resolves the host's own name and takes its first IPv4 address; `override` (from the
/// command line) replaces the lookup. Shows the start-up messages on failure.
bool FindLocalAddress(HostAddress& host, const MessageBoxFn& show, std::string_view override = {});

/// The two listeners; either may be missing when its creation failed.
struct Listeners {
    std::unique_ptr<WaitSock> smtp;
    std::unique_ptr<WaitSock> pop3;
};

struct ListenerPorts {
    std::uint16_t smtp = 25;
    std::uint16_t pop3 = 110;
};

/// Creates, binds and starts the SMTP then the POP3 listener on `address`. A listener that
/// fails is reported through `show` and left out; the other goes on. Always succeeds.
bool CreateListeners(EventLoop& loop, const std::string& address, ListenerPorts ports,
                     const SessionFactory& factory, const MessageBoxFn& show, Listeners& listeners);

} // namespace brevin
