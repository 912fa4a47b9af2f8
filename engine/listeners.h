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
#include <utility>
#include <vector>

namespace brevin {

/// Makes the session of a service; the protocol layers supply it.
using SessionFactory = std::function<std::unique_ptr<MailSession>(ServiceKind kind)>;

/// A listening socket: every connection it accepts becomes a session of its kind, owned by
/// the registry. With `implicitTls` its sessions are encrypted from the first byte.
class Listener final : public AsyncSocket {
public:
    Listener(EventLoop& loop, ServiceKind kind, SessionFactory factory, SessionRegistry& sessions,
             bool implicitTls = false);

    [[nodiscard]] ServiceKind Kind() const { return m_kind; }

private:
    void OnAccept() override;
    void ResumeAccepting();

    ServiceKind m_kind;
    SessionFactory m_factory;
    SessionRegistry& m_sessions;
    Timer m_retry; // accepting waits here while descriptors are exhausted
    bool m_implicitTls;
};

/// The host's address as the listeners use it.
struct HostAddress {
    std::string address;         // dotted decimal
    std::array<int, 4> octets{}; // most significant first
    /// Where clients can reach the listeners: `address`, or with 0.0.0.0 the IPv4 address of
    /// every interface that is up.
    std::vector<std::string> reachable;
    /// The interface whose address replaced a loopback host name's; empty otherwise.
    std::string interface;
};

/// Why the host's address is unknown.
enum class AddressError {
    None,
    LookupFailed,    ///< the host's own name resolves to no IPv4 address
    InvalidOverride, ///< the address given on the command line is not dotted decimal
};

/// Resolves the host's own name and takes its first IPv4 address; `override` (from the
/// command line) replaces the lookup. When the name resolves to loopback (127.0.1.1 on a stock
/// Debian), no other machine could reach that, so the first non-loopback IPv4 address of an
/// interface that is up is taken instead, when there is one.
AddressError FindLocalAddress(HostAddress& host, std::string_view override = {});

/// The step at which a listener could not be made.
enum class ListenerStep {
    Create, ///< socket or bind; the listener is left out
    Reuse,  ///< SO_REUSEADDR; the listener serves all the same
    Listen, ///< listen; the listener is left out
};

/// The IPv4 addresses of the interfaces that are up, as `ifname` and dotted decimal, in the
/// system's order; loopback ones only with `withLoopback`.
std::vector<std::pair<std::string, std::string>> InterfaceAddresses(bool withLoopback);

struct ListenerFailure {
    ServiceKind kind;
    ListenerStep step;
    int error;                // errno
    bool implicitTls = false; // the SMTPS or POP3S listener
};

/// The listeners; any may be missing when its creation failed (the implicit-TLS ones also when
/// they are not wanted). `failures` in the order they happened: SMTP, POP3, SMTPS, POP3S.
struct Listeners {
    std::unique_ptr<Listener> smtp;
    std::unique_ptr<Listener> pop3;
    std::unique_ptr<Listener> smtps;
    std::unique_ptr<Listener> pop3s;
    std::vector<ListenerFailure> failures;
};

/// Zero for an implicit-TLS port means none is opened.
struct ListenerPorts {
    std::uint16_t smtp = 25;
    std::uint16_t pop3 = 110;
    std::uint16_t smtps = 0;
    std::uint16_t pop3s = 0;
};

/// Creates, binds and starts the SMTP then the POP3 listener on `address`, then the SMTPS and
/// POP3S ones when their ports are given. A listener that fails is left out; the others go on.
Listeners CreateListeners(EventLoop& loop, const std::string& address, ListenerPorts ports,
                          const SessionFactory& factory, SessionRegistry& sessions);

} // namespace brevin
