#include "engine/listeners.h"

#include "base/host_name.h"
#include "engine/session_registry.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace brevin {

namespace {

// Wait before accepting again after the process ran out of descriptors.
constexpr std::chrono::milliseconds kAcceptRetry{100};
// Connections taken per notification.
constexpr int kAcceptBurst = 16;

bool IsIPv4(const std::string& text) {
    in_addr parsed{};
    return inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

bool IsIPv6(const std::string& text) {
    in6_addr parsed{};
    return inet_pton(AF_INET6, text.c_str(), &parsed) == 1;
}

/// The interface that holds the IPv4 address `dotted`; empty when none does.
std::string InterfaceOf(const std::string& dotted) {
    for (const auto& [name, address] : InterfaceAddresses(true)) {
        if (address == dotted) {
            return name;
        }
    }
    return {};
}

/// Where clients reach a listener on `address`: the address itself, or for a wildcard every
/// address of that family on an interface that is up.
void AddReachable(const std::string& address, std::vector<std::string>& reachable) {
    std::vector<std::string> found;
    if (address == "0.0.0.0") {
        for (auto& [name, dotted] : InterfaceAddresses(true)) {
            found.push_back(std::move(dotted));
        }
    } else if (IsIPv6(address) && address.find_first_not_of(":0") == std::string::npos) {
        found.emplace_back("::1");
        for (auto& [name, text] : InterfaceAddresses6({})) {
            found.push_back(std::move(text));
        }
    } else {
        found.push_back(address);
    }
    for (std::string& one : found) {
        if (std::find(reachable.begin(), reachable.end(), one) == reachable.end()) {
            reachable.push_back(std::move(one));
        }
    }
}

} // namespace

Listener::Listener(EventLoop& loop, const Service& service, SessionRegistry& sessions,
                   bool implicitTls)
    : AsyncSocket(loop), m_traits(service.traits), m_factory(service.makeSession),
      m_sessions(sessions), m_retry(loop, [this] { ResumeAccepting(); }),
      m_implicitTls(implicitTls) {}

void Listener::OnAccept() {
    // A few at a time: a burst of connections (refused ones included) is taken in a few turns,
    // and still no turn goes to accepting alone.
    for (int taken = 0; taken < kAcceptBurst; ++taken) {
        ClientAddress peer;
        UniqueFd connection = Accept(&peer);
        if (!connection) {
            const int error = LastError();
            if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
                // The connection stays queued; accepting again at once would spin. Existing
                // sessions go on, and one of them ending frees a descriptor before the retry.
                AsyncSelect(Interest::None);
                m_retry.Start(kAcceptRetry);
            }
            return;
        }
        // A connection the loop cannot watch, or one over a limit, is closed again.
        m_sessions.Start(m_factory(), std::move(connection), m_implicitTls, peer);
    }
}

void Listener::ResumeAccepting() {
    AsyncSelect(Interest::Accept);
}

namespace {

/// Calls `take(interface, address)` for each address of `family` on an interface that is up.
template <typename Fn>
void ForEachInterfaceAddress(int family, Fn take) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return;
    }
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == family &&
            (i->ifa_flags & IFF_UP) != 0) {
            take(*i, i->ifa_addr);
        }
    }
    freeifaddrs(list);
}

} // namespace

std::vector<std::pair<std::string, std::string>> InterfaceAddresses(bool withLoopback) {
    std::vector<std::pair<std::string, std::string>> found;
    ForEachInterfaceAddress(AF_INET, [&](const ifaddrs& i, const sockaddr* address) {
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                  sizeof text);
        if (withLoopback ||
            ((i.ifa_flags & IFF_LOOPBACK) == 0 && !std::string_view(text).starts_with("127."))) {
            found.emplace_back(i.ifa_name, text);
        }
    });
    return found;
}

std::vector<std::pair<std::string, std::string>> InterfaceAddresses6(std::string_view interface) {
    std::vector<std::pair<std::string, std::string>> found;
    ForEachInterfaceAddress(AF_INET6, [&](const ifaddrs& i, const sockaddr* raw) {
        if ((i.ifa_flags & IFF_LOOPBACK) != 0 || (!interface.empty() && interface != i.ifa_name)) {
            return;
        }
        const in6_addr& address = reinterpret_cast<const sockaddr_in6*>(raw)->sin6_addr;
        // Global unicast is 2000::/3, unique-local fc00::/7; the rest (link-local, multicast,
        // loopback, mapped) is no address a LAN client would be given.
        const auto first = address.s6_addr[0];
        if ((first & 0xE0) != 0x20 && (first & 0xFE) != 0xFC) {
            return;
        }
        char text[INET6_ADDRSTRLEN] = {};
        inet_ntop(AF_INET6, &address, text, sizeof text);
        found.emplace_back(i.ifa_name, text);
    });
    return found;
}

AddressError FindLocalAddress(HostAddress& host, const std::vector<std::string>& overrides) {
    host.listen.clear();
    host.reachable.clear();
    host.interface.clear();
    if (!overrides.empty()) {
        for (const std::string& address : overrides) {
            if (!IsIPv4(address) && !IsIPv6(address)) {
                return AddressError::InvalidOverride;
            }
            host.listen.push_back({address, false});
            AddReachable(address, host.reachable);
        }
        host.address = overrides.front();
        return AddressError::None;
    }
    const std::string name = HostName();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return AddressError::LookupFailed;
    }
    in_addr address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    if ((ntohl(address.s_addr) >> 24) == 127) {
        const auto interfaces = InterfaceAddresses(false);
        if (!interfaces.empty() &&
            inet_pton(AF_INET, interfaces.front().second.c_str(), &address) == 1) {
            host.interface = interfaces.front().first;
        }
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    host.address = text;
    host.listen.push_back({host.address, false});
    host.reachable.push_back(host.address);
    // IPv6 beside it: loopback, since `localhost` is ::1 first on many machines, and the
    // addresses the LAN knows this interface by.
    host.listen.push_back({"::1", true});
    host.reachable.emplace_back("::1");
    if (const std::string interface = InterfaceOf(host.address);
        !interface.empty() && interface != "lo") {
        for (auto& [ifname, v6] : InterfaceAddresses6(interface)) {
            host.listen.push_back({v6, true});
            host.reachable.push_back(std::move(v6));
        }
    }
    return AddressError::None;
}

const Listener* Listeners::Find(std::string_view service, bool implicitTls) const {
    for (const auto& listener : open) {
        if (listener->Traits().name == service && listener->ImplicitTls() == implicitTls) {
            return listener.get();
        }
    }
    return nullptr;
}

Listeners CreateListeners(EventLoop& loop, const std::vector<ListenAddress>& addresses,
                          std::span<const Service> services, SessionRegistry& sessions) {
    Listeners listeners;
    const auto make = [&](const ListenAddress& at, const Service& service, std::uint16_t port,
                          bool tls) {
        auto listener = std::make_unique<Listener>(loop, service, sessions, tls);
        const auto fail = [&](ListenerStep step, int error) {
            listeners.failures.push_back(
                {service.traits, at.address, port, step, error, tls, at.optional});
        };
        if (!listener->Create(port, Interest::Accept, at.address.c_str())) {
            fail(ListenerStep::Create, listener->LastError());
            return;
        }
        if (listener->ReuseError() != 0) {
            fail(ListenerStep::Reuse, listener->ReuseError());
        }
        // The classic backlog of 5 was the largest the old socket libraries allowed; here
        // the largest is the system's own, so a burst of clients is not turned away.
        if (!listener->Listen(SOMAXCONN)) {
            fail(ListenerStep::Listen, listener->LastError());
            return;
        }
        listeners.open.push_back(std::move(listener));
    };
    for (const ListenAddress& at : addresses) {
        for (const Service& service : services) {
            if (service.port) {
                make(at, service, *service.port, false);
            }
        }
        for (const Service& service : services) {
            if (service.implicitTlsPort) {
                make(at, service, *service.implicitTlsPort, true);
            }
        }
    }
    return listeners;
}

} // namespace brevin
