#pragma once

#include "engine/async_socket.h"
#include "engine/event_loop.h"
#include "engine/service.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brevin {

class SessionRegistry;

/// A listening socket: every connection it accepts becomes a session of its service, owned by
/// the registry. With `implicitTls` its sessions are encrypted from the first byte.
class Listener final : public AsyncSocket {
public:
    Listener(EventLoop& loop, const Service& service, SessionRegistry& sessions,
             bool implicitTls = false);

    [[nodiscard]] const ServiceTraits& Traits() const { return *m_traits; }
    [[nodiscard]] bool ImplicitTls() const { return m_implicitTls; }

private:
    void OnAccept() override;
    void ResumeAccepting();

    const ServiceTraits* m_traits;
    SessionFactory m_factory;
    SessionRegistry& m_sessions;
    Timer m_retry; // accepting waits here while descriptors are exhausted
    bool m_implicitTls;
};

/// One address to listen on.
struct ListenAddress {
    std::string address; ///< IPv4 dotted decimal or IPv6
    /// Chosen by the server rather than the administrator: when it cannot be had (a host
    /// without IPv6), the server goes on without it.
    bool optional = false;
};

/// The host's addresses as the listeners use them.
struct HostAddress {
    /// The IPv4 address chosen (or the first given on the command line).
    std::string address;
    /// Every address listened on, the IPv4 choice first.
    std::vector<ListenAddress> listen;
    /// Where clients can reach the listeners: the addresses listened on, with 0.0.0.0 and ::
    /// standing for those of every interface that is up.
    std::vector<std::string> reachable;
    /// The interface whose address replaced a loopback host name's; empty otherwise.
    std::string interface;
};

/// Why the host's address is unknown.
enum class AddressError {
    None,
    LookupFailed,    ///< the host's own name resolves to no IPv4 address
    InvalidOverride, ///< an address given on the command line is neither IPv4 nor IPv6
};

/// Resolves the host's own name and takes its first IPv4 address; when the name resolves to
/// loopback (127.0.1.1 on a stock Debian), no other machine could reach that, so the first
/// non-loopback IPv4 address of an interface that is up is taken instead, when there is one.
/// Beside it the server listens on ::1 and on the global and unique-local IPv6 addresses of
/// the interface that IPv4 address belongs to. `overrides` (from the command line) replace all
/// of this.
AddressError FindLocalAddress(HostAddress& host, const std::vector<std::string>& overrides = {});

/// The step at which a listener could not be made.
enum class ListenerStep {
    Create, ///< socket or bind; the listener is left out
    Reuse,  ///< SO_REUSEADDR; the listener serves all the same
    Listen, ///< listen; the listener is left out
};

/// The IPv4 addresses of the interfaces that are up, as `ifname` and dotted decimal, in the
/// system's order; loopback ones only with `withLoopback`.
std::vector<std::pair<std::string, std::string>> InterfaceAddresses(bool withLoopback);
/// The global and unique-local IPv6 addresses of the interfaces that are up (of `interface`
/// alone when it is given), as `ifname` and text; link-local ones never, as a client would
/// need the scope to reach them.
std::vector<std::pair<std::string, std::string>> InterfaceAddresses6(std::string_view interface);

struct ListenerFailure {
    const ServiceTraits* service = nullptr;
    std::string address;
    std::uint16_t port = 0;
    ListenerStep step = ListenerStep::Create;
    int error = 0;            // errno
    bool implicitTls = false; // its implicit-TLS listener
    bool optional = false;    // an address the server chose and may do without
};

/// The listeners that are open, and those that failed, in the order they were made: for each
/// address, every service's plain port, then every implicit-TLS port.
struct Listeners {
    std::vector<std::unique_ptr<Listener>> open;
    std::vector<ListenerFailure> failures;

    /// The first listener of `service` (its plain or implicit-TLS one); null when none is open.
    [[nodiscard]] const Listener* Find(std::string_view service, bool implicitTls = false) const;
};

/// Creates, binds and starts every service's listeners on every address. A listener that
/// fails is left out; the others go on.
Listeners CreateListeners(EventLoop& loop, const std::vector<ListenAddress>& addresses,
                          std::span<const Service> services, SessionRegistry& sessions);

} // namespace brevin
